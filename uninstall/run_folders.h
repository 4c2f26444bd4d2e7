// The run's own folders: where the self-removal batch file is written and
// where what is in use waits for the restart.
#pragma once
#include <stddef.h>

#include "util/handles.h"
#include "util/path.h"

// Removes the self-removal batch files' folders that runs killed before
// starting their batch file left in the Windows folder's "Temp" (setup and
// uninstall runs call it at their start).
void RemoveAbandonedBatchFolders();
// The run's own folders, made when first needed, which only SYSTEM and
// administrators can change: the batch file's, below the Windows folder's
// "Temp", and the one where what cannot be deleted now waits for the
// restart. That is the batch file's folder when it lies on the program
// folder's volume (a file gets there by a rename, which cannot cross
// volumes), else a folder at the root of the program folder's volume, as
// the system finds it (a volume may be mounted in a folder), made only when
// a file must wait and only where the volume keeps access lists. A deletion
// scheduled for the restart names a path there, which no user can redirect
// meanwhile.
class RunFolders {
 public:
  explicit RunFolders(const wchar_t* programFolder);
  // The batch file's folder; null when it cannot be made.
  const wchar_t* BatchFolder();
  // A path in the waiting folder for a file of this name (numbered, unless
  // `numbered` is false); false when there is no waiting folder.
  bool WaitingName(const wchar_t* name, wchar_t (&out)[kPathCapacity], bool numbered = true);
  // A waiting folder of its own in which nothing waits for the restart: the
  // batch file removes it once the program it deletes there is gone. Else null.
  const wchar_t* FolderToRemove() const { return separate_ && moved_ == 0 && waiting_[0] ? waiting_ : nullptr; }
  // At the end of the run: the waiting folder goes at the restart, after
  // what was moved into it; one of its own that is empty goes now.
  void ScheduleWaitingFolder();

 private:
  bool MakeWaitingFolder();

  wchar_t programFolder_[kPathCapacity];
  wchar_t batch_[kPathCapacity] = {}, waiting_[kPathCapacity] = {};
  UniqueFile batchPin_, waitingPin_;
  bool batchTried_ = false, waitingTried_ = false, separate_ = false;
  unsigned moved_ = 0;
};
