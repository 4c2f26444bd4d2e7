#include "uninstall/deletion.h"

#include <windows.h>

#include "util/array.h"
#include "util/file.h"
#include "util/file_list.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/path.h"
#include "util/product.h"
#include "util/text.h"
#include "util/trust.h"

namespace {

// The full paths of the listed entries that name something inside the
// program folder, converted once, each with what is known of it.
struct Entry {
  size_t path;     // offset of its full path in the pool
  size_t depth;    // separators below the program folder
  uint32_t group;  // its folder's place among the folders, in the order first listed
  bool folder;     // known to be a folder
  bool again;      // listed before: taken once
};

struct Entries {
  TextPool pool;
  GrowArray<Entry> items;
  uint32_t groups = 0;
  const wchar_t* Path(const Entry& e) const { return pool.At(e.path); }
};

// Folders below the program folder by their relative path (letters in either
// case, as the file system compares names; either separator), each with
// what is known of it: the index
// of its pin, or one of the states below.
using FolderTable = TextTable;
enum : int32_t { kFolderUnknown = -1, kFolderLink = -2, kFolderUnheld = -3, kFolderRemoved = -4 };

// Reads each entry once: its full path, its depth, its folder, and whether
// another entry lies inside it (then it is a folder and is not tried as a
// file).
void CollectEntries(const FileList& list, const wchar_t* folderWithSeparator, Entries& out, FolderTable& parents) {
  size_t folderLength = TextLength(folderWithSeparator);
  wchar_t full[kPathCapacity];
  CopyText(full, folderWithSeparator);
  for (size_t i = 0; i < list.entries.Count(); i++) {
    size_t n = ListedPath(list, i, full, kPathCapacity, folderLength);
    if (n == 0) {
      if (IsLogging()) {
        const FileListEntry& e = list.entries[i];
        wchar_t line[kPathCapacity] = {};
        MultiByteToWideChar(CP_ACP, 0, list.bytes.Data() + e.offset, (int)e.length, line, kPathCapacity - 1);
        LogLine("skipped \"%s\": it names nothing inside the program folder", line);
      }
      LogCount(LogOutcome::Skipped);
      continue;
    }
    size_t at = out.pool.Add(full, folderLength + n - 1);  // n counts the terminator
    size_t depth = 0;
    for (const wchar_t* p = full + folderLength; *p; p++) depth += IsSeparator(*p);
    out.items.PushElement(Entry{at, depth, 0, false, false});
  }
  // Each entry's folder, and every folder above an entry, once (relative
  // paths point into the pool, which is complete by now). An entry listed
  // again (letters in either case, either separator) is the same entry: one
  // deletion, one line in the log.
  FolderTable groups{true}, listed{true};
  for (size_t i = 0; i < out.items.Count(); i++) {
    const wchar_t* relative = out.Path(out.items[i]) + folderLength;
    if (*listed.Add(relative, TextLength(relative), (int32_t)i) != (int32_t)i) {
      out.items[i].again = true;
      continue;
    }
    size_t name = (size_t)(PointToName(relative) - relative);
    size_t parent = name ? name - 1 : 0;
    int32_t* group = groups.Add(relative, parent, (int32_t)out.groups);
    if (*group == (int32_t)out.groups) out.groups++;
    out.items[i].group = (uint32_t)*group;
    if (parent == 0 || parents.Find(relative, parent)) continue;
    for (size_t k = 1; k <= parent; k++)
      if (k == parent || IsSeparator(relative[k])) parents.Add(relative, k, kFolderUnknown);
  }
  for (size_t i = 0; i < out.items.Count(); i++) {
    const wchar_t* relative = out.Path(out.items[i]) + folderLength;
    out.items[i].folder = parents.Find(relative, TextLength(relative)) != nullptr;
  }
}

// The entries grouped by their folder, in the list's order within each
// (one counting pass, whatever the list's length).
void GroupByFolder(const Entries& entries, GrowArray<uint32_t>& order) {
  GrowArray<uint32_t> starts;
  starts.AddElements(entries.groups + 1);
  for (size_t g = 0; g <= entries.groups; g++) starts[g] = 0;
  for (size_t i = 0; i < entries.items.Count(); i++)
    if (!entries.items[i].again) starts[entries.items[i].group + 1]++;
  for (size_t g = 1; g <= entries.groups; g++) starts[g] += starts[g - 1];
  order.AddElements(starts[entries.groups]);
  for (size_t i = 0; i < entries.items.Count(); i++)
    if (!entries.items[i].again) order[starts[entries.items[i].group]++] = (uint32_t)i;
}

int DeeperFirst(const void* a, const void* b, void* entries) {
  const Entries& sorting = *static_cast<const Entries*>(entries);
  size_t x = sorting.items[*static_cast<const uint32_t*>(a)].depth;
  size_t y = sorting.items[*static_cast<const uint32_t*>(b)].depth;
  return x < y ? 1 : x > y ? -1 : 0;
}

// What became of an entry tried as a file.
// Later: the program file and the list, which go at the end of the run.
enum class Outcome { Removed, Gone, Folder, Left, Later };

// One deletion of the listed entries, pass by pass. The program folder and
// every folder above it are pinned for the whole run, and each folder below
// it before anything inside it is touched (see util/file.h): the path of
// every entry is then fixed, and a listed file costs one deletion of its
// name, looked up from its folder's pin (no path is resolved again), which
// removes a link itself and never what it leads to. A folder that is
// a link is never entered (the link itself goes when it is listed); a
// folder that cannot be pinned keeps what is in it.
class ListDeletion {
 public:
  ListDeletion(const FileList& list, const PinnedChain& programChain, const wchar_t* folderWithSeparator,
               const wchar_t* programName, RunFolders* runFolders, DeletionOutcome* outcome)
      : folderLength_(TextLength(folderWithSeparator)), programName_(programName), runFolders_(runFolders),
        outcome_(outcome), programChain_(programChain) {
    CopyText(folder_, folderWithSeparator);
    CollectEntries(list, folderWithSeparator, entries_, folders_);
    // The files of one folder one after another: the file system finds
    // them faster so than in the list's order.
    GroupByFolder(entries_, pending_);
  }

  // Passes until one removes nothing; true when something waits for the restart.
  bool Run() {
    BufferLog(true);  // thousands of lines: written once a second
    for (;;) {
      next_.Shrink(0);
      emptied_.Shrink(0);
      lastParent_ = nullptr;
      size_t removed = FilesPass();
      removed += FoldersPass();
      if (removed == 0) break;
      pending_.Swap(next_);
    }
    // What the last pass could not remove stays; a folder that holds what
    // waits for the restart where it is goes at the restart after it, the
    // deepest first.
    SortElements(next_.Data(), next_.Count(), sizeof(uint32_t), DeeperFirst, &entries_);
    for (size_t k = 0; k < next_.Count(); k++) {
      const Entry& e = entries_.items[next_[k]];
      const wchar_t* full = entries_.Path(e);
      const wchar_t* name = PointToName(full);
      if (CompareTextNoCase(name, programName_) == 0 || CompareTextNoCase(name, kFileListName) == 0) continue;
      if (e.folder && HoldsWaiting(full) && DeleteAtRestart(full)) {
        LogLine("scheduled for the restart: folder %s", full);
        LogCount(LogOutcome::Scheduled, full);
        continue;
      }
      LeftForGood(e);
    }
    BufferLog(false);
    return rebootNeeded_;
  }

 private:
  // The state of the folder that is the first `length` characters of a
  // relative path, pinned now if it was not yet.
  int32_t Folder(const wchar_t* relative, size_t length) {
    int32_t* state = folders_.Add(relative, length, kFolderUnknown);
    if (*state != kFolderUnknown) return *state;
    wchar_t path[kPathCapacity];
    CopyText(path, folder_);
    AppendText(path, relative);
    path[folderLength_ + length] = 0;
    HANDLE pin = PinFolder(path, true);
    // Held open by others who do not share its deletion (a command prompt
    // in it): pinned all the same, only it cannot be removed.
    if (pin == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) pin = PinFolder(path, false);
    if (pin != INVALID_HANDLE_VALUE) return *state = (int32_t)pins_.Add(pin);
    DWORD error = GetLastError(), attributes = GetAttributes(path);
    *state = IsReparsePointAttr(attributes) ? kFolderLink : kFolderUnheld;
    if (*state == kFolderUnheld && attributes != INVALID_FILE_ATTRIBUTES)
      LogFailure("to hold the folder; what is in it stays:", path, error);
    return *state;
  }

  // An entry that stays: logged, and a file is reported. One that is not
  // there (below a file, say) is no entry that stays.
  void LeftForGood(const Entry& e) {
    const wchar_t* full = entries_.Path(e);
    if (!FileExists(full)) return;
    LogCount(LogOutcome::Left, full);
    if (!e.folder && outcome_) outcome_->Stays(full);
  }

  // Whether a file scheduled for the restart where it is lies in the folder.
  bool HoldsWaiting(const wchar_t* folder) const {
    for (size_t i = 0; i < inPlace_.Count(); i++)
      if (IsInsideFolder(entries_.Path(entries_.items[inPlace_[i]]), folder)) return true;
    return false;
  }

  // Whether only administrators can change the folder of the entry and
  // every folder above it (judged through their pins): then no one else can
  // redirect its path, and it may be deleted at the restart by that path.
  bool InAdministratorsFolder(const wchar_t* full) {
    const wchar_t* relative = full + folderLength_;
    size_t name = (size_t)(PointToName(relative) - relative);
    if (!OnlyAdministratorsChange(programChain_, name == 0)) return false;
    for (size_t k = 1; k < name; k++) {
      if (!IsSeparator(relative[k])) continue;
      const int32_t* state = folders_.Find(relative, k);
      if (!state || *state < 0 || !OnlyAdministratorsChange(pins_.At((size_t)*state), k + 1 == name)) return false;
    }
    return true;
  }

  // Every folder between the program folder and the entry is pinned.
  bool FoldersAboveHeld(const Entry& e) {
    const wchar_t* full = entries_.Path(e);
    const wchar_t* relative = full + folderLength_;
    // The folder of the entry before is most often this one's too.
    size_t parent = PointToName(relative) - relative;
    if (parent == lastParentLength_ && lastParent_ && CompareStringOrdinal(relative, (int)parent, lastParent_, (int)parent, FALSE) == CSTR_EQUAL)
      return true;
    lastParent_ = nullptr;
    for (size_t k = 1; relative[k]; k++) {
      if (!IsSeparator(relative[k])) continue;
      int32_t state = Folder(relative, k);
      if (state == kFolderLink) {
        LogLine("skipped %s: below a link", full);
        LogCount(LogOutcome::Skipped);
        return false;
      }
      if (state < 0) {
        LeftForGood(e);
        return false;
      }
    }
    HANDLE pin = PinOfFolderOf(full);
    if (pin == INVALID_HANDLE_VALUE) {
      LeftForGood(e);
      return false;
    }
    lastParent_ = relative;
    lastParentLength_ = parent;
    lastPin_ = pin;
    return true;
  }

  // The pin of the folder that holds an entry whose folders are held (the
  // program folder's for an entry at the top).
  HANDLE PinOfFolderOf(const wchar_t* full) {
    const wchar_t* relative = full + folderLength_;
    size_t name = (size_t)(PointToName(relative) - relative);
    if (name == 0) return programChain_.Last();
    const int32_t* state = folders_.Find(relative, name - 1);
    return state && *state >= 0 ? pins_.At((size_t)*state) : INVALID_HANDLE_VALUE;
  }

  // One listed file, by its name from its folder's pin.
  Outcome DeleteAsFile(const wchar_t* full, uint32_t index, HANDLE folder) {
    return DeleteFileIn(folder, PointToName(full)) ? Deleted(full) : NotDeletedByName(full, index);
  }

  Outcome Deleted(const wchar_t* full) {
    LogLine("deleted %s", full);
    LogCount(LogOutcome::Deleted);
    return Outcome::Removed;
  }

  // A file that one deletion of its name did not remove: already gone, a folder
  // after all, read-only, or in use. A file in use that can be opened for
  // its deletion (a running program, a loaded library) moves to the run's
  // own folder to be deleted at the restart; one that others hold without
  // letting it go, or that cannot move, is deleted at the restart where it
  // is when only administrators can change its folders, else stays, and the
  // log says so. The program and the list are left for the batch file and
  // the driver.
  Outcome NotDeletedByName(const wchar_t* full, uint32_t index) {
    const wchar_t* name = PointToName(full);
    DWORD attributes = GetAttributes(full);
    if (attributes == INVALID_FILE_ATTRIBUTES) return Outcome::Gone;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Outcome::Folder;
    if (CompareTextNoCase(name, programName_) == 0 || CompareTextNoCase(name, kFileListName) == 0) {
      LogLine("left for later: %s", full);
      return Outcome::Later;
    }
    UniqueFile file(OpenForDeletion(full));
    if (!file) return CannotMove(full, index, "to delete (in use; it stays)");
    if (DeleteByHandle(file.Get())) {
      LogLine((attributes & FILE_ATTRIBUTE_READONLY) ? "deleted (was read-only) %s" : "deleted %s", full);
      LogCount(LogOutcome::Deleted);
      return Outcome::Removed;
    }
    wchar_t moved[kPathCapacity];
    if (!runFolders_ || !runFolders_->WaitingName(name, moved) || !RenameByHandle(file.Get(), moved))
      return CannotMove(full, index, "to move out of the installation (in use; it stays)");
    rebootNeeded_ = true;
    LogLine("locked: %s, moved to %s", full, moved);
    if (DeleteAtRestart(moved)) {
      LogLine("scheduled for the restart: %s", moved);
      LogCount(LogOutcome::Scheduled, full);
    } else {
      LogFailure("to schedule for the restart", moved, GetLastError());
      LogCount(LogOutcome::Left, moved);
      if (outcome_) outcome_->Stays(moved);
    }
    return Outcome::Removed;
  }

  Outcome CannotMove(const wchar_t* full, uint32_t index, const char* failure) {
    DWORD error = GetLastError();
    if (InAdministratorsFolder(full) && DeleteAtRestart(full)) {
      rebootNeeded_ = true;
      inPlace_.PushElement(index);
      if (outcome_) outcome_->waitingInPlace = true;
      LogLine("scheduled for the restart where it is: %s", full);
      LogCount(LogOutcome::Scheduled, full);
      return Outcome::Removed;
    }
    LogFailure(failure, full, error);
    return Outcome::Left;
  }

  // The files of the pending entries; the folders among them wait for the
  // folders' turn. First every entry's folders are held, in the list's
  // order; then the files go by their names, all at once (DeleteFilesIn);
  // then what became of each is logged, and a file that did not go is
  // looked at, in that order again. Returns how many went.
  size_t FilesPass() {
    tried_.Shrink(0);
    files_.Shrink(0);
    for (size_t k = 0; k < pending_.Count(); k++) {
      Entry& e = entries_.items[pending_[k]];
      const wchar_t* full = entries_.Path(e);
      if (!FoldersAboveHeld(e)) continue;
      if (e.folder) {
        emptied_.PushElement(pending_[k]);
        continue;
      }
      tried_.PushElement(pending_[k]);
      files_.PushElement(FileInFolder{lastPin_, PointToName(full), false});
    }
    DeletionTrials trials = DeleteFilesIn(files_.Data(), files_.Count());
    if (trials.made)
      LogLine("%u files deleted; two threads were faster than one in %u of %u trials here, and went on until the next",
              files_.Count(), trials.twoFaster, trials.made);
    size_t removed = 0;
    for (size_t k = 0; k < tried_.Count(); k++) {
      Entry& e = entries_.items[tried_[k]];
      const wchar_t* full = entries_.Path(e);
      Outcome outcome = files_[k].deleted ? Deleted(full) : NotDeletedByName(full, tried_[k]);
      if (outcome == Outcome::Removed) removed++;
      if (outcome == Outcome::Folder) e.folder = true, emptied_.PushElement(tried_[k]);
      if (outcome == Outcome::Left) next_.PushElement(tried_[k]);
    }
    return removed;
  }

  // One listed folder: a link goes itself, a folder through its pin once it
  // is empty.
  bool RemoveListedFolder(const wchar_t* full) {
    const wchar_t* relative = full + folderLength_;
    int32_t state = Folder(relative, TextLength(relative));
    if (state == kFolderLink) {
      UniqueFile link(OpenForDeletion(full));  // the link itself
      return link && DeleteByHandle(link.Get());
    }
    if (state < 0 || !DeleteByHandle(pins_.At((size_t)state))) return false;
    pins_.Close((size_t)state);
    *folders_.Find(relative, TextLength(relative)) = kFolderRemoved;
    // A system that takes the deletion of a folder that still holds
    // something (Wine does) keeps it at the close.
    return !FileExists(full);
  }

  // The folders, the deepest first. Returns how many entries went.
  size_t FoldersPass() {
    size_t removed = 0;
    SortElements(emptied_.Data(), emptied_.Count(), sizeof(uint32_t), DeeperFirst, &entries_);
    for (size_t k = 0; k < emptied_.Count(); k++) {
      Entry& e = entries_.items[emptied_[k]];
      const wchar_t* full = entries_.Path(e);
      if (RemoveListedFolder(full)) {
        LogLine("deleted folder %s", full);
        LogCount(LogOutcome::Deleted);
        removed++;
        continue;
      }
      DWORD attributes = GetAttributes(full);
      if (attributes == INVALID_FILE_ATTRIBUTES) continue;
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        // A file after all (another entry named something inside it): it
        // takes the file's steps now, and its going counts for the pass.
        e.folder = false;
        HANDLE folder = PinOfFolderOf(full);
        Outcome outcome = folder != INVALID_HANDLE_VALUE ? DeleteAsFile(full, emptied_[k], folder) : Outcome::Left;
        if (outcome == Outcome::Removed) removed++;
        if (outcome == Outcome::Left) next_.PushElement(emptied_[k]);
        continue;
      }
      next_.PushElement(emptied_[k]);
    }
    return removed;
  }

  wchar_t folder_[kPathCapacity];
  size_t folderLength_;
  const wchar_t* programName_;
  RunFolders* runFolders_;
  DeletionOutcome* outcome_;
  bool rebootNeeded_ = false;
  Entries entries_;
  FolderTable folders_{true};
  const PinnedChain& programChain_;  // the caller's
  PinSet pins_;
  const wchar_t* lastParent_ = nullptr;  // the last entry whose folders are held, its folder's length and pin
  size_t lastParentLength_ = 0;
  HANDLE lastPin_ = INVALID_HANDLE_VALUE;
  GrowArray<uint32_t> pending_, next_, emptied_, tried_, inPlace_;  // inPlace_: waiting for the restart where they are
  GrowArray<FileInFolder> files_;  // the files of tried_, in its order
};

}  // namespace

void DeletionOutcome::Stays(const wchar_t* path) {
  left++;
  size_t n = TextLength(path), at = names.Count() ? names.Count() - 1 : 0;
  names.Shrink(at);
  names.AddElements(n + 2);
  for (size_t i = 0; i < n; i++) names[at + i] = path[i];
  names[at + n] = L'\n';
  names[at + n + 1] = 0;
}

// Works through the list in passes until a pass removes nothing: the first
// pass takes every entry, each later one only what the pass before it left
// (a folder that was not empty yet, a file that could not go). Each pass
// deletes the files first and then removes the folders, deepest first, so
// that one pass usually does it all. A listed file costs one deletion; only when that
// fails is it looked at closely (read-only, a folder, locked, already gone).
// Entries that were not there, or that went, are not looked at again.
bool DeleteListedFiles(const FileList& list, const PinnedChain& programFolder, const wchar_t* folderWithSeparator,
                       const wchar_t* programName, RunFolders* runFolders, DeletionOutcome* outcome) {
  return ListDeletion(list, programFolder, folderWithSeparator, programName, runFolders, outcome).Run();
}
