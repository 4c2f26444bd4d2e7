#include "uninstall/removal.h"

#include <windows.h>
#include <shlobj.h>

#include "settings/store.h"
#include "model/options.h"
#include "setup/uninstall_entry.h"
#include "shell/apply.h"
#include "shell/associations.h"
#include "shell/shell_extension.h"
#include "shell/shortcuts.h"
#include "util/log.h"
#include "util/product.h"

namespace {

DWORD WINAPI GiveNotice(void*) {
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_FLUSH, nullptr, nullptr);
  return 0;
}

}  // namespace

void ShellChangeNotice::Give() {
  thread_.Reset(CreateThread(nullptr, 0, GiveNotice, nullptr, 0, nullptr));
  if (!thread_) GiveNotice(nullptr);
}

void ShellChangeNotice::Wait() {
  // A shell that does not answer does not keep the run from its end.
  if (thread_ && WaitForSingleObject(thread_.Get(), 10000) != WAIT_OBJECT_0)
    LogLine("the shell took no notice of the changed types within 10 seconds");
  thread_.Reset();
}

void RemoveIntegration(bool msi, ShellChangeNotice& notice) {
  // Best effort, without a record: every step is made as it comes.
  SetupTransaction changes;
  IntegrationOptions none = {};
  SetAssociations(changes, none);
  // The machine's records of the previous owners, used up now (a portable
  // settings file keeps the machine key's other values itself).
  DeleteSettingTree(HKEY_LOCAL_MACHINE, kMachineRecordsKey);
  if (SettingKeyIsEmpty(HKEY_LOCAL_MACHINE, kMachineProductKey)) DeleteSettingKey(HKEY_LOCAL_MACHINE, kMachineProductKey);
  SetShellExtension(changes, true, none);
  SetShortcuts(changes, none, nullptr, 0, nullptr);
  static const wchar_t kProgIds[][11] = {KVX_PRODUCT, KVX_ZIP_PROGID, KVX_VOLUME_PROGID, L".rev"};
  for (const wchar_t* key : kProgIds) DeleteSettingTree(kMachineClasses, key);
  DeleteSettingTree(HKEY_CURRENT_USER, L"");
  // One notice of all the types, classes and handlers that went.
  notice.Give();
  if (msi) return;
  DeleteSettingKey(HKEY_LOCAL_MACHINE, kUninstallEntryKey);
  DeleteSettingKey(HKEY_LOCAL_MACHINE, kAppPathsKey);
  // The entry was written in both views: it goes from both.
  DeleteSettingKey(HKEY_LOCAL_MACHINE, kAppPathsKey, KEY_WOW64_32KEY);
}
