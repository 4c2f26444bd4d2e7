// The run's own folders, which only SYSTEM and administrators can change.
#include "uninstall/run_folders.h"

#include <windows.h>

#include "uninstall/batch.h"
#include "util/file.h"
#include "util/log.h"
#include "util/path.h"
#include "util/text.h"
#include "util/trust.h"

namespace {

// Runs that end normally remove their folder within seconds of starting.
const unsigned kAbandonedAfterMinutes = 10;

// The folder below which each run makes the batch file's own folder: the
// Windows folder's "Temp", which only administrators can change.
bool GetBatchParent(wchar_t (&temp)[kPathCapacity]) {
  wchar_t windows[kPathCapacity];
  UINT n = GetSystemWindowsDirectoryW(windows, kPathCapacity);
  if (!FitsBuffer(n, kPathCapacity)) return false;
  JoinPath(windows, L"Temp", temp);
  return true;
}

// What a run puts into its folder before it starts the batch file: the
// batch file and the program that runs its pause.
bool IsSelfRemovalFile(const wchar_t* name) {
  size_t n = TextLength(name);
  return CompareTextNoCase(name, kBatchFileName) == 0 || (n > 4 && CompareTextNoCase(name + n - 4, L".exe") == 0);
}

}  // namespace

void RemoveAbandonedBatchFolders() {
  wchar_t temp[kPathCapacity];
  if (!GetBatchParent(temp)) return;
  unsigned removed = RemoveAbandonedPrivateFolders(temp, IsSelfRemovalFile, kAbandonedAfterMinutes);
  if (removed) LogLine("removed %u batch-file folders that killed runs left in %s", removed, temp);
}

RunFolders::RunFolders(const wchar_t* programFolder) { CopyText(programFolder_, programFolder); }

const wchar_t* RunFolders::BatchFolder() {
  if (!batchTried_) {
    batchTried_ = true;
    wchar_t temp[kPathCapacity];
    if (!GetBatchParent(temp) || !CreatePrivateFolder(temp, batch_, &batchPin_)) {
      LogFailure("to make the run's own folder in", temp, GetLastError());
      batch_[0] = 0;
    }
  }
  return batch_[0] ? batch_ : nullptr;
}

bool RunFolders::MakeWaitingFolder() {
  waitingTried_ = true;
  UniqueFile program(PinFolder(programFolder_, false));
  if (!program) return false;
  if (BatchFolder() && OnSameVolume(program.Get(), batchPin_.Get())) {
    CopyText(waiting_, batch_);
    return true;
  }
  separate_ = true;
  // Another volume: a folder of the run's own at its root, where the volume
  // keeps access lists (on others anyone could change it).
  wchar_t root[kPathCapacity];
  if (!GetVolumeFolder(programFolder_, root) || !VolumeKeepsAccessLists(program.Get()) ||
      !CreatePrivateFolder(root, waiting_, &waitingPin_)) {
    waiting_[0] = 0;
    return false;
  }
  return true;
}

bool RunFolders::WaitingName(const wchar_t* name, wchar_t (&out)[kPathCapacity], bool numbered) {
  if (!waitingTried_) MakeWaitingFolder();
  if (!waiting_[0]) return false;
  if (numbered) FormatText(out, L"%s\\%u.%s", waiting_, ++moved_, name);
  else JoinPath(waiting_, name, out);
  return true;
}

void RunFolders::ScheduleWaitingFolder() {
  // The batch file's folder goes with the batch file, unless files wait in it.
  if (!waiting_[0]) return;
  if (moved_ > 0) {
    if (DeleteAtRestart(waiting_)) LogLine("scheduled for the restart: folder %s", waiting_);
  } else if (separate_) {
    // Only administrators can change it: held again, to remove it.
    waitingPin_.Reset();
    waitingPin_.Reset(PinFolder(waiting_, true));
    if (DeleteByHandle(waitingPin_.Get())) LogLine("deleted folder %s", waiting_);
  }
}
