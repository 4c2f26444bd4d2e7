#include "lang/module.h"

#include "util/file.h"
#include "util/handles.h"
#include "util/path.h"
#include "util/product.h"
#include "util/text.h"

HINSTANCE ProgramInstance;
HINSTANCE ResourceInstance;
static UniqueModule g_LanguageModule;  // released at the latest when the process ends

bool IsLanguageModuleLoaded() { return (bool)g_LanguageModule; }

void LoadLanguageModule(HINSTANCE programInstance) {
  ReleaseLanguageModule();
  wchar_t path[kPathCapacity];
  GetProgramFile(kLanguageModuleName, path);
  wchar_t found[kPathCapacity];
  FindLanguageFile(path, found);
  // The module may come from the user's own "LanguageFolder": it is mapped
  // for its resources only and never run.
  g_LanguageModule.Reset(MapResourceModule(found));
  ProgramInstance = programInstance;
  ResourceInstance = g_LanguageModule ? g_LanguageModule.Get() : programInstance;
}

void ReleaseLanguageModule() {
  if (!g_LanguageModule) return;
  g_LanguageModule.Reset();
  ResourceInstance = ProgramInstance;
}

void FindLanguageFile(const wchar_t* path, wchar_t* result, size_t size) {
  CopyText(result, path, size);
  UniqueHkey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kGeneralKey, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS)
    return;
  wchar_t folder[kPathCapacity] = {};
  size_t pathLength = TextLength(path);
  if (pathLength >= 2047) return;
  DWORD bytes = (DWORD)((2047 - pathLength) * sizeof(wchar_t));
  if (RegQueryValueExW(key.Get(), L"LanguageFolder", nullptr, nullptr, (BYTE*)folder, &bytes) != ERROR_SUCCESS)
    return;
  folder[bytes / sizeof(wchar_t) < kPathCapacity ? bytes / sizeof(wchar_t) : kPathCapacity - 1] = 0;
  wchar_t expanded[kPathCapacity];
  DWORD n = ExpandEnvironmentStringsW(folder, expanded, kPathCapacity);
  if (n == 0 || n > kPathCapacity) return;
  if (!expanded[0]) return;
  AddTrailingSeparator(expanded);
  AppendText(expanded, PointToName(path));
  if (FileExists(expanded)) CopyText(result, expanded, size);
}
