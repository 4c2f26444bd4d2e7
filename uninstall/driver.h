// The uninstall driver: confirmation, integration removal, the deletion of
// the files of "Uninstall.lst", and the self-removal batch file.
#pragma once
#include <stddef.h>

#include "app/command.h"
#include "util/file_list.h"

// The uninstall mode; sets the options' exit code.
void UninstallDriver(RunOptions& options);
// Removes the self-removal batch files' folders that runs killed before
// starting their batch file left in the Windows folder's "Temp" (setup and
// uninstall runs call it at their start).
void RemoveAbandonedBatchFolders();
// The program's temporary folder, with a trailing backslash.
void GetTempFolder(wchar_t* buffer, size_t size);

// Deletes the listed files and folders below the program folder in passes,
// scheduling what is locked for the restart; true when something waits for
// it. `linkSafe` (a program folder that others can change): every deletion
// goes through a handle checked to be the entry itself.
bool DeleteListedFiles(const FileList& list, const wchar_t* folderWithSeparator, const wchar_t* programName,
                       bool linkSafe);
