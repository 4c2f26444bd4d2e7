// The deletion of the installation's listed files and folders.
#pragma once
#include <stddef.h>

#include "uninstall/run_folders.h"
#include "util/array.h"
#include "util/file.h"
#include "util/file_list.h"

// What a deletion left: the files that stay for good (neither deleted nor
// waiting for the restart), and whether something waits for the restart
// where it is, in the installation (then so may the program folder).
struct DeletionOutcome {
  size_t left = 0;
  GrowArray<wchar_t> names;  // their paths, a line each, zero-terminated
  bool waitingInPlace = false;
  void Stays(const wchar_t* path);
};

// Deletes the listed files and folders below the program folder in passes;
// files in use move to the run's waiting folder (when there is one) and are
// deleted at the restart; those that cannot move are deleted at the restart
// where they are when only administrators can change their folders. The
// caller holds the program folder and every folder above it (`programFolder`,
// pinned before anything was removed). True when something waits for the
// restart.
bool DeleteListedFiles(const FileList& list, const PinnedChain& programFolder, const wchar_t* folderWithSeparator,
                       const wchar_t* programName, RunFolders* runFolders, DeletionOutcome* outcome = nullptr);
