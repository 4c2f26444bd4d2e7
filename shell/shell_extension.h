// The shell extension: the two handler DLLs' registration, the archiver's
// capabilities, and on Windows 11 the context-menu package.
#pragma once
#include "model/options.h"

struct HandlerDll {
  const wchar_t* file;     // in the program folder
  const wchar_t* classId;  // in braces, upper case
  const wchar_t* name;     // where handlers are listed by name
  bool is32Bit;            // its class keys live in the 32-bit registry view
};
extern const HandlerDll kHandlerDll32, kHandlerDll64;

// Registers or removes both DLLs after `ShellExt`, and the capabilities
// after the removal flag.
void SetShellExtension(bool removal, const IntegrationOptions& options);
void RegisterHandlerDll(const IntegrationOptions& options, const HandlerDll& dll);
// Runs "KvxExtInstaller.exe" with "-install" or "-Uninstall"; the removal
// waits for it up to 20 seconds.
void SetContextMenuPackage(bool install);
