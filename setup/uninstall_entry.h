// The archiver's entry in the system's list of installed programs.
#pragma once
#include <windows.h>

extern const wchar_t kUninstallEntryKey[];  // "\SOFTWARE\...\Uninstall\Korvex archiver"

// Writes every value of the entry; returns the result of the last write.
LONG WriteUninstallEntry();
// "Korvex 6.20 beta 2 (64-bit)", in the language of the texts.
void ComposeDisplayName(wchar_t* dest, size_t capacity);
