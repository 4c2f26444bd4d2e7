// The uninstall driver: confirmation, integration removal, the deletion of
// the files of "Uninstall.lst", and the self-removal batch file.
#pragma once
#include <stddef.h>

#include "app/command.h"

// The uninstall mode; sets the options' exit code.
void UninstallDriver(RunContext& run);
// The program's temporary folder, with a trailing backslash.
void GetTempFolder(wchar_t* buffer, size_t size);
