#include "shell/apply.h"

#include <windows.h>
#include <shlobj.h>

#include "settings/store.h"
#include "shell/associations.h"
#include "shell/shell_extension.h"
#include "shell/shortcuts.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

const wchar_t kAppPathsKey[] = L"\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe";

bool RegisterAppPath() {
  wchar_t program[kPathCapacity], folder[kPathCapacity];
  GetProgramFile(L"Korvex.exe", program);
  if (WriteSettingString(HKEY_LOCAL_MACHINE, kAppPathsKey, L"", program) == ERROR_ACCESS_DENIED) return false;
  WriteSettingString(HKEY_LOCAL_MACHINE, L"", L"exe64", program);
  CopyText(folder, program);
  RemoveName(folder);
  WriteSettingString(HKEY_LOCAL_MACHINE, kAppPathsKey, L"Path", folder);
  SetRegistryView(KEY_WOW64_32KEY);
  WriteSettingString(HKEY_LOCAL_MACHINE, kAppPathsKey, L"", program);
  WriteSettingString(HKEY_LOCAL_MACHINE, kAppPathsKey, L"Path", folder);
  SetRegistryView(0);
  return true;
}

// Each step runs only while no change was refused (a setup run keeps the
// store's journal; without one only the first writes are checked).
bool ApplyIntegration(const IntegrationOptions& options, wchar_t* groupPath, size_t groupCapacity) {
  if (!RegisterAppPath() || JournalRefused()) return false;
  SetShellExtension(false, options);
  if (JournalRefused()) return false;
  SetAssociations(options);
  if (JournalRefused() || !RegisterProgIds() || JournalRefused()) return false;
  // One notice of the types, classes and handlers written.
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  wchar_t icon[kPathCapacity];
  ReadSettingString(L"Interface\\Themes", L"ShellExtIcon", icon, L"");
  SetShortcuts(options, groupPath, groupCapacity, icon[0] && FileExists(icon) ? icon : nullptr);
  return !JournalRefused();
}
