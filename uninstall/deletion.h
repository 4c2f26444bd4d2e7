// The deletion of the installation's listed files and folders.
#pragma once
#include <stddef.h>

#include "uninstall/run_folders.h"
#include "util/file_list.h"

// Deletes the listed files and folders below the program folder in passes;
// files in use move to the run's waiting folder (when there is one) and are
// deleted at the restart. True when something waits for it.
bool DeleteListedFiles(const FileList& list, const wchar_t* folderWithSeparator, const wchar_t* programName,
                       RunFolders* runFolders);
