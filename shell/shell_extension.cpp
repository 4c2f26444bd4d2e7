#include "shell/shell_extension.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "settings/store.h"
#include "model/winver.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/path.h"
#include "util/product.h"
#include "util/text.h"

const HandlerDll kHandlerDll32 = {L"kvxext32.dll", L"{A3E81D57-9B26-4C0F-B7D3-5E18C4A20B69}", KVX_PRODUCT L"32", true};
const HandlerDll kHandlerDll64 = {L"kvxext.dll", L"{6F0C2A91-3D7E-4B15-A8C4-92E5D1B07F36}", KVX_PRODUCT, false};

static const wchar_t kApproved[] = L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";

// The handler keys written for every shell extension: property sheets, drop
// handlers, drag-and-drop handlers.
struct HandlerKey {
  const wchar_t* format;  // formatted with the class id or the name
  bool byName;            // named by the handler name (else by the class id)
  bool dataIsClassId;     // the default value is the class id (else empty)
};
static const HandlerKey kHandlerKeys[] = {
    {KVX_PRODUCT L"\\shellex\\PropertySheetHandlers\\%s", false, false},
    {KVX_ZIP_PROGID L"\\shellex\\PropertySheetHandlers\\%s", false, false},
    {L"exefile\\shellex\\PropertySheetHandlers\\%s", false, false},
    {KVX_PRODUCT L"\\shellex\\DropHandler", false, true},
    {KVX_ZIP_PROGID L"\\shellex\\DropHandler", false, true},
    {L"Folder\\shellex\\DragDropHandlers\\%s", true, true},
    {L"Drive\\shellex\\DragDropHandlers\\%s", true, true},
};
// The classic context-menu handlers, written only while the classic menu is
// chosen.
static const HandlerKey kContextMenuKeys[] = {
    {KVX_PRODUCT L"\\shellex\\ContextMenuHandlers\\%s", false, false},
    {KVX_ZIP_PROGID L"\\shellex\\ContextMenuHandlers\\%s", false, false},
    {L"*\\shellex\\ContextMenuHandlers\\%s", true, true},
    {L"Folder\\shellex\\ContextMenuHandlers\\%s", true, true},
    {L"lnkfile\\shellex\\ContextMenuHandlers\\%s", true, true},
};

static void KeyPath(const HandlerKey& key, const HandlerDll& dll, wchar_t (&path)[1024]) {
  FormatText(path, key.format, key.byName ? dll.name : dll.classId);
}

static void WriteHandlerKey(SetupTransaction& changes, const HandlerKey& key, const HandlerDll& dll) {
  wchar_t path[1024];
  KeyPath(key, dll, path);
  changes.WriteClass(path, L"", key.dataIsClassId ? dll.classId : L"");
}

static void DeleteHandlerKey(SetupTransaction& changes, const HandlerKey& key, const HandlerDll& dll) {
  wchar_t path[1024];
  KeyPath(key, dll, path);
  changes.DeleteKey(kMachineClasses, path);
}

void RegisterHandlerDll(SetupTransaction& changes, const IntegrationOptions& options, const HandlerDll& dll) {
  wchar_t classKey[1024], serverKey[1024];
  FormatText(classKey, L"CLSID\\%s", dll.classId);
  FormatText(serverKey, L"CLSID\\%s\\InProcServer32", dll.classId);
  if (options.ShellExt) {
    wchar_t path[kPathCapacity];
    GetProgramFile(dll.file, path);
    if (FileExists(path)) {
      DWORD view = dll.is32Bit ? KEY_WOW64_32KEY : 0;
      changes.WriteString(kMachineClasses, classKey, L"", kProductName, view);
      changes.WriteString(kMachineClasses, serverKey, L"", path, view);
      changes.WriteString(kMachineClasses, serverKey, L"ThreadingModel", L"Apartment", view);
    }
    for (const HandlerKey& key : kHandlerKeys) WriteHandlerKey(changes, key, dll);
    changes.WriteMachine(kApproved, dll.classId, KVX_PRODUCT L" shell extension");
  } else {
    // The 32-bit DLL's class keys were written into the 32-bit view: they
    // are removed from there too, or they would stay behind for good.
    DWORD view = dll.is32Bit ? KEY_WOW64_32KEY : 0;
    changes.DeleteKey(kMachineClasses, serverKey);
    changes.DeleteKey(kMachineClasses, classKey);
    if (view) {
      changes.DeleteKey(kMachineClasses, serverKey, view);
      changes.DeleteKey(kMachineClasses, classKey, view);
    }
    for (const HandlerKey& key : kHandlerKeys) DeleteHandlerKey(changes, key, dll);
    changes.DeleteValue(HKEY_LOCAL_MACHINE, kApproved, dll.classId);
  }
  if (!dll.is32Bit && IsWindows11OrLater()) SetContextMenuPackage(changes, options.ShellExt != 0);
  bool classic = options.ShellExt && !(IsWindows11OrLater() && !options.LegacyMenu);
  for (const HandlerKey& key : kContextMenuKeys) {
    if (classic) WriteHandlerKey(changes, key, dll);
    else DeleteHandlerKey(changes, key, dll);
  }
}

bool SetShellExtension(SetupTransaction& changes, bool removal, const IntegrationOptions& options) {
  RegisterHandlerDll(changes, options, kHandlerDll32);
  RegisterHandlerDll(changes, options, kHandlerDll64);
  bool vista = WindowsVersion() >= 0x0600;
  if (removal) {
    if (vista) DeleteSettingValue(HKEY_LOCAL_MACHINE, L"\\Software\\RegisteredApplications", kProductName);
    DeleteSettingTree(HKEY_LOCAL_MACHINE, L"");  // only the uninstall removes: nothing to record
  } else if (vista) {
    changes.WriteMachine(L"\\Software\\RegisteredApplications", kProductName, KVX_PRODUCT_KEY L"\\Capabilities");
    changes.WriteMachine(L"Capabilities", L"ApplicationDescription", kProductName);
    for (size_t i = 0; i < kArchiveTypeCount; i++) {
      wchar_t extension[50];
      for (const wchar_t* p = ArchiveTypes[i].extensions; (p = NextExtension(p, extension)) != nullptr;)
        changes.WriteMachine(L"Capabilities\\FileAssociations", extension,
                            i == kZipRow ? kZipProgId : kArchiveProgId);
    }
  }
  return !changes.Refused();
}

void SetContextMenuPackage(SetupTransaction& changes, bool install) {
  if (!IsSystemIntegrationEnabled()) return;
  wchar_t package[kPathCapacity], installer[kPathCapacity];
  GetProgramFile(L"KvxExtPackage.msix", package);
  GetProgramFile(L"KvxExtInstaller.exe", installer);
  if (!FileExists(package) || !FileExists(installer)) return;
  // Started by its full path, as a program: no file-type registration of
  // the user's stands between.
  wchar_t command[kPathCapacity + 32];
  FormatText(command, L"\"%s\" %s", installer, install ? L"-install" : L"-Uninstall");
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  LogLine("starting %s", command);
  FlushLog();
  if (CreateProcessW(installer, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    UniqueHandle thread(process.hThread), child(process.hProcess);
    DWORD exitCode = 0;
    if (install) LogLine("the package installer runs on its own (not waited for)");
    else if (WaitForSingleObject(child.Get(), 20000) == WAIT_TIMEOUT)
      LogLine("the package installer did not end within 20 seconds: not waited for any longer");
    else if (GetExitCodeProcess(child.Get(), &exitCode))
      LogLine("the package installer ended with exit code %u", (unsigned)exitCode);
  } else {
    LogFailure("to start", installer, GetLastError());
  }
  // A setup run that is put back takes the package's change back too (its
  // "NewContextMenu" comes back with the registry).
  if ((ReadSettingInt(L"Setup", L"NewContextMenu", 0) != 0) != install) changes.OnUndo(SetContextMenuPackage, !install);
  changes.WriteInt(L"Setup", L"NewContextMenu", install ? 1 : 0);
}
