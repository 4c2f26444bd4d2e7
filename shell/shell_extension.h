// The shell extension: the two handler DLLs' registration, the archiver's
// capabilities, and on Windows 11 the context-menu package.
//
// The class and handler keys are the machine's (kMachineClasses): the 32-bit
// DLL's class keys in its 32-bit view, everything else in the native one.
#pragma once
#include "model/options.h"
#include "settings/transaction.h"

struct HandlerDll {
  const wchar_t* file;     // in the program folder
  const wchar_t* classId;  // in braces, upper case
  const wchar_t* name;     // where handlers are listed by name
  bool is32Bit;            // its class keys live in the 32-bit registry view
};
extern const HandlerDll kHandlerDll32, kHandlerDll64;

// Registers or removes both DLLs after `ShellExt`, and the capabilities
// after the removal flag. False when a change of the run was refused.
bool SetShellExtension(SetupTransaction& changes, bool removal, const IntegrationOptions& options);
void RegisterHandlerDll(SetupTransaction& changes, const IntegrationOptions& options, const HandlerDll& dll);
// Runs "KvxExtInstaller.exe" with "-install" or "-Uninstall"; the removal
// waits for it up to 20 seconds. A setup run that changes whether the
// package is installed leaves the opposite run of the installer as its undo.
void SetContextMenuPackage(SetupTransaction& changes, bool install);
