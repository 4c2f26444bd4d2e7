// The language module "kvxlng.dll", and where it and the language file are
// found: beside the program, or in the user's "LanguageFolder".
#pragma once
#include <stddef.h>
#include <windows.h>

// The program's own module, and the module that dialogs, icons and strings
// are loaded from: the language module while it is loaded, else the program.
extern HINSTANCE ProgramInstance;
extern HINSTANCE ResourceInstance;

void LoadLanguageModule(HINSTANCE programInstance);
void ReleaseLanguageModule();
bool IsLanguageModuleLoaded();

// Replaces path by the file of the same name in the folder "LanguageFolder"
// names, when that file exists. The result always receives a text.
void FindLanguageFile(const wchar_t* path, wchar_t* result, size_t size);
template <size_t N> void FindLanguageFile(const wchar_t* path, wchar_t (&result)[N]) {
  FindLanguageFile(path, result, N);
}
