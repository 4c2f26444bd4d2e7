#include "shell/apply.h"

#include <windows.h>
#include <shlobj.h>

#include "settings/store.h"
#include "shell/associations.h"
#include "shell/shell_extension.h"
#include "shell/shortcuts.h"
#include "util/file.h"
#include "util/path.h"
#include "util/product.h"
#include "util/text.h"

const wchar_t kAppPathsKey[] = L"\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" KVX_ARCHIVER_FILE;

bool RegisterAppPath(SetupTransaction& changes) {
  wchar_t program[kPathCapacity], folder[kPathCapacity];
  GetProgramFile(kArchiverFile, program);
  if (changes.WriteMachine(kAppPathsKey, L"", program) == ERROR_ACCESS_DENIED) return false;
  changes.WriteMachine(L"", L"exe64", program);
  CopyText(folder, program);
  RemoveName(folder);
  changes.WriteMachine(kAppPathsKey, L"Path", folder);
  changes.WriteString(HKEY_LOCAL_MACHINE, kAppPathsKey, L"", program, KEY_WOW64_32KEY);
  changes.WriteString(HKEY_LOCAL_MACHINE, kAppPathsKey, L"Path", folder, KEY_WOW64_32KEY);
  return true;
}

// Each step runs only while no change of the run was refused.
bool ApplyIntegration(SetupTransaction& changes, const IntegrationOptions& options, wchar_t* groupPath,
                      size_t groupCapacity) {
  if (!RegisterAppPath(changes) || !SetShellExtension(changes, false, options) || !SetAssociations(changes, options) ||
      !RegisterProgIds(changes))
    return false;
  // One notice of the types, classes and handlers written.
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  wchar_t icon[kPathCapacity];
  ReadSettingString(L"Interface\\Themes", L"ShellExtIcon", icon, L"");
  SetShortcuts(changes, options, groupPath, groupCapacity, icon[0] && FileExists(icon) ? icon : nullptr);
  return true;
}
