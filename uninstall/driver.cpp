#include "uninstall/driver.h"

#include <windows.h>

#include "app/command.h"
#include "lang/language.h"
#include "lang/module.h"
#include "settings/store.h"
#include "shell/shortcuts.h"
#include "shell/templates.h"
#include "uninstall/batch.h"
#include "uninstall/removal.h"
#include "util/file.h"
#include "util/file_list.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/path.h"
#include "util/text.h"
#include "util/trust.h"

void GetTempFolder(wchar_t* buffer, size_t size) {
  if (size == 0) return;
  ReadSettingString(L"Paths", L"TempFolder", buffer, L"", size);
  if (buffer[0]) {
    wchar_t expanded[kPathCapacity];
    DWORD n = ExpandEnvironmentStringsW(buffer, expanded, kPathCapacity);
    if (n >= 1 && n <= 2047) CopyText(buffer, expanded, size);
  }
  if (buffer[0] && FileExists(buffer)) {
    AddTrailingSeparator(buffer, size);
    return;
  }
  DWORD n = GetTempPathW(size > 0x7fff ? 0x7fff : (DWORD)size, buffer);
  if (n == 0 || n >= size || !buffer[0]) CopyText(buffer, L"\\kvxtemp", size);
  AddTrailingSeparator(buffer, size);
}

namespace {

// The full paths of the listed entries that name something inside the
// program folder, converted once, each with what is known of it.
struct Entry {
  size_t path;   // offset of its full path in the pool
  size_t depth;  // separators below the program folder
  bool folder;   // known to be a folder
};

struct Entries {
  TextPool pool;
  GrowArray<Entry> items;
  const wchar_t* Path(const Entry& e) const { return pool.At(e.path); }
};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Folders below the program folder by their relative path (ASCII letters in
// either case, either separator), each with a value.
using FolderTable = TextTable;

// Reads each entry once: its full path, its depth, and whether another
// entry lies inside it (then it is a folder and is not tried as a file).
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
        LogLine(L"skipped \"%s\": it names nothing inside the program folder", line);
      }
      continue;
    }
    size_t at = out.pool.Add(full, folderLength + n - 1);  // n counts the terminator
    size_t depth = 0;
    for (const wchar_t* p = full + folderLength; *p; p++) depth += IsSeparator(*p);
    out.items.PushElement(Entry{at, depth, false});
  }
  // Every folder above an entry (relative paths point into the pool, which
  // is complete by now).
  for (size_t i = 0; i < out.items.Count(); i++) {
    const wchar_t* relative = out.Path(out.items[i]) + folderLength;
    for (size_t k = 0; relative[k]; k++)
      if (IsSeparator(relative[k]) && k > 0) parents.Add(relative, k, 0);
  }
  for (size_t i = 0; i < out.items.Count(); i++) {
    const wchar_t* relative = out.Path(out.items[i]) + folderLength;
    out.items[i].folder = parents.Find(relative, TextLength(relative)) != nullptr;
  }
}

// True when some folder between the program folder and the entry is a link
// (a junction or a symbolic link): deleting through it would reach outside.
// Each folder is looked at once; the answers are kept in the table of
// folders (1 plain, 2 a link).
bool PassesThroughLink(const wchar_t* path, size_t folderLength, FolderTable& folders) {
  const wchar_t* relative = path + folderLength;
  wchar_t prefix[kPathCapacity];
  for (size_t k = 0; relative[k]; k++) {
    if (!IsSeparator(relative[k]) || k == 0) continue;
    int32_t* state = folders.Add(relative, k, 0);
    if (*state == 0) {
      CopyText(prefix, path, folderLength + k + 1);
      *state = IsReparsePointAttr(GetAttributes(prefix)) ? 2 : 1;
    }
    if (*state == 2) return true;
  }
  return false;
}

// Renames a file that cannot be deleted to the lowest free "<path>.<n>.tmp"
// and schedules that name for deletion at the next restart.
void ScheduleLockedFile(const wchar_t* path) {
  wchar_t name[kPathCapacity];
  for (unsigned j = 0; j < 1000; j++) {
    FormatText(name, L"%s.%u.tmp", path, j);
    if (!FileExists(name)) break;
  }
  if (MoveByName(path, name)) LogLine(L"locked: %s, renamed to %s", path, name);
  else CopyText(name, path);
  if (DeleteAtRestart(name)) LogLine(L"scheduled for the restart: %s", name);
  else LogFailure(L"to schedule for the restart", name, GetLastError());
}

// What became of an entry tried as a file.
enum class Outcome { Removed, Gone, Folder, Left };

// A listed file costs one deletion; only when that fails is it looked at
// closely: already gone, a folder after all, read-only, or locked (renamed
// and scheduled for the restart, unless it is the program or the list,
// which the batch file and the driver delete).
Outcome DeleteAsFile(const wchar_t* full, const wchar_t* programName, bool linkSafe, bool& rebootNeeded) {
  bool deleted = linkSafe ? GetAttributes(full) != INVALID_FILE_ATTRIBUTES && DeleteUnredirected(full)
                          : DeleteFileByName(full);
  if (deleted) {
    LogLine(L"deleted %s", full);
    return Outcome::Removed;
  }
  DWORD attributes = GetAttributes(full);
  if (attributes == INVALID_FILE_ATTRIBUTES) return Outcome::Gone;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Outcome::Folder;
  if (!linkSafe && (attributes & FILE_ATTRIBUTE_READONLY) && SetAttributes(full, FILE_ATTRIBUTE_NORMAL) &&
      DeleteFileByName(full)) {
    LogLine(L"deleted (was read-only) %s", full);
    return Outcome::Removed;
  }
  const wchar_t* name = PointToName(full);
  if (CompareTextNoCase(name, programName) == 0 || CompareTextNoCase(name, L"Uninstall.lst") == 0) {
    LogLine(L"left for later: %s", full);
  } else {
    rebootNeeded = true;
    ScheduleLockedFile(full);
  }
  return Outcome::Left;
}

int DeeperFirst(const void* a, const void* b, void* entries) {
  const Entries& sorting = *static_cast<const Entries*>(entries);
  size_t x = sorting.items[*static_cast<const uint32_t*>(a)].depth;
  size_t y = sorting.items[*static_cast<const uint32_t*>(b)].depth;
  return x < y ? 1 : x > y ? -1 : 0;
}

}  // namespace

namespace {

// One deletion of the listed entries, pass by pass.
class ListDeletion {
 public:
  ListDeletion(const FileList& list, const wchar_t* folderWithSeparator, const wchar_t* programName, bool linkSafe)
      : folderLength_(TextLength(folderWithSeparator)), programName_(programName), linkSafe_(linkSafe) {
    CollectEntries(list, folderWithSeparator, entries_, folders_);
    for (size_t i = 0; i < entries_.items.Count(); i++) pending_.PushElement((uint32_t)i);
  }

  // Passes until one removes nothing; true when something waits for the restart.
  bool Run() {
    for (;;) {
      next_.Shrink(0);
      emptied_.Shrink(0);
      size_t removed = FilesPass() + FoldersPass();
      if (removed == 0) break;
      pending_.Swap(next_);
    }
    if (rebootNeeded_) ScheduleLeftFolders();
    return rebootNeeded_;
  }

 private:
  // The files of the pending entries; the folders among them wait for the
  // folders' turn. Returns how many went.
  size_t FilesPass() {
    size_t removed = 0;
    for (size_t k = 0; k < pending_.Count(); k++) {
      Entry& e = entries_.items[pending_[k]];
      const wchar_t* full = entries_.Path(e);
      if (PassesThroughLink(full, folderLength_, folders_)) {
        LogLine(L"skipped %s: below a link", full);
        continue;
      }
      Outcome outcome = e.folder ? Outcome::Folder : DeleteAsFile(full, programName_, linkSafe_, rebootNeeded_);
      if (outcome == Outcome::Removed) removed++;
      if (outcome == Outcome::Folder) e.folder = true, emptied_.PushElement(pending_[k]);
      if (outcome == Outcome::Left) next_.PushElement(pending_[k]);
    }
    return removed;
  }

  // The folders, the deepest first. Returns how many entries went.
  size_t FoldersPass() {
    size_t removed = 0;
    SortElements(emptied_.Data(), emptied_.Count(), sizeof(uint32_t), DeeperFirst, &entries_);
    for (size_t k = 0; k < emptied_.Count(); k++) {
      Entry& e = entries_.items[emptied_[k]];
      const wchar_t* full = entries_.Path(e);
      if (linkSafe_ ? RemoveFolderUnredirected(full) : RemoveFolderByName(full)) {
        LogLine(L"deleted folder %s", full);
        removed++;
        continue;
      }
      DWORD attributes = GetAttributes(full);
      if (attributes == INVALID_FILE_ATTRIBUTES) continue;
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        // A file after all (another entry named something inside it): it
        // takes the file's steps now, and its going counts for the pass.
        e.folder = false;
        Outcome outcome = DeleteAsFile(full, programName_, linkSafe_, rebootNeeded_);
        if (outcome == Outcome::Removed) removed++;
        if (outcome == Outcome::Left) next_.PushElement(emptied_[k]);
        continue;
      }
      if (!linkSafe_ && (attributes & FILE_ATTRIBUTE_READONLY) && SetAttributes(full, FILE_ATTRIBUTE_NORMAL) &&
          RemoveFolderByName(full)) {
        LogLine(L"deleted folder (was read-only) %s", full);
        removed++;
        continue;
      }
      next_.PushElement(emptied_[k]);
    }
    return removed;
  }

  // Listed folders that still hold scheduled files go at the restart too,
  // after those files and the deepest first; else they would stay behind.
  void ScheduleLeftFolders() {
    GrowArray<uint32_t> remaining;
    for (size_t k = 0; k < next_.Count(); k++) {
      DWORD attributes = GetAttributes(entries_.Path(entries_.items[next_[k]]));
      if (IsDirectoryAttr(attributes) && !IsReparsePointAttr(attributes)) remaining.PushElement(next_[k]);
    }
    SortElements(remaining.Data(), remaining.Count(), sizeof(uint32_t), DeeperFirst, &entries_);
    for (size_t k = 0; k < remaining.Count(); k++) {
      const wchar_t* folder = entries_.Path(entries_.items[remaining[k]]);
      if (DeleteAtRestart(folder)) LogLine(L"scheduled for the restart: folder %s", folder);
    }
  }

  size_t folderLength_;
  const wchar_t* programName_;
  bool linkSafe_;
  bool rebootNeeded_ = false;
  Entries entries_;
  FolderTable folders_{true};
  GrowArray<uint32_t> pending_, next_, emptied_;
};

}  // namespace

// Works through the list in passes until a pass removes nothing, with the
// outcome of re-reading the whole list in every pass; but each pass deletes
// the files first and then removes the folders, deepest first, so that one
// pass usually does it all. A listed file costs one deletion; only when that
// fails is it looked at closely (read-only, a folder, locked, already gone).
// Entries that were not there, or that went, are not looked at again.
// In a program folder that others can change (`linkSafe`), every deletion
// goes through a handle that is checked to be the entry itself, so that a
// folder swapped for a link between the look and the deletion leads nowhere.
bool DeleteListedFiles(const FileList& list, const wchar_t* folderWithSeparator, const wchar_t* programName,
                       bool linkSafe) {
  return ListDeletion(list, folderWithSeparator, programName, linkSafe).Run();
}

namespace {

const wchar_t kBatchName[] = L"Uninstall_Kvx.Bat";
// Runs that end normally remove their folder within seconds of starting.
const unsigned kAbandonedAfterMinutes = 10;

// The folder below which each run makes the batch file's own folder: the
// Windows folder's "Temp", which only administrators can change.
bool GetBatchParent(wchar_t (&temp)[kPathCapacity]) {
  wchar_t windows[kPathCapacity];
  UINT n = GetSystemWindowsDirectoryW(windows, kPathCapacity);
  if (n == 0 || n >= kPathCapacity) return false;
  JoinPath(windows, L"Temp", temp);
  return true;
}

}  // namespace

void RemoveAbandonedBatchFolders() {
  wchar_t temp[kPathCapacity];
  if (!GetBatchParent(temp)) return;
  unsigned removed = RemoveAbandonedPrivateFolders(temp, kBatchName, kAbandonedAfterMinutes);
  if (removed) LogLine(L"removed %u batch-file folders that killed runs left in %s", removed, temp);
}

namespace {

// Writes the self-removal batch file and starts it hidden. It lies in a
// folder made for this run below the system's own temporary folder, which
// only administrators can change, so that no process of the user can
// rewrite its lines while the command processor reads them; that processor
// is the system's own, started without AutoRun commands.
void StartSelfRemoval(const wchar_t* program, const wchar_t* folder, bool silent) {
  wchar_t system[kPathCapacity], temp[kPathCapacity], batchFolder[kPathCapacity], batch[kPathCapacity];
  if (!GetBatchParent(temp) || !CreatePrivateFolder(temp, batchFolder)) return;
  JoinPath(batchFolder, kBatchName, batch);
  UINT n = GetSystemDirectoryW(system, kPathCapacity);
  wchar_t processor[kPathCapacity], command[kPathCapacity * 2];
  JoinPath(n > 0 && n < kPathCapacity ? system : L"", L"cmd.exe", processor);
  bool ok = n > 0 && n < kPathCapacity && ComposeBatchCommand(processor, batch, command, kPathCapacity * 2);
  if (ok) {
    UniqueFile file(OpenUnredirected(batch, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW));
    // Short forms, for paths the command processor's code page cannot carry.
    wchar_t shortForms[5][kPathCapacity];
    const wchar_t* values[5] = {program, folder, batch, batchFolder, processor};
    BatchPaths paths = {program, folder, batch, batchFolder, processor, {}};
    for (int i = 0; i < 5; i++) {
      DWORD length = GetShortPathNameW(values[i], shortForms[i], kPathCapacity);
      if (length > 0 && length < kPathCapacity) paths.shortForms[i] = shortForms[i];
    }
    GrowArray<wchar_t> lines;
    bool useVariable[5];
    ComposeBatchLines(paths, silent, lines, useVariable);
    ok = file && WriteBatchText(file.Get(), lines.Data());
    if (file && !ok) DeleteByHandle(file.Get());
    for (int i = 0; ok && i < 5; i++) SetEnvironmentVariableW(kBatchVariables[i], useVariable[i] ? values[i] : nullptr);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process = {};
  SetCurrentDirectoryW(L"..");
  LogLine(L"self-removal batch file: %s", batch);
  FlushLog();  // the batch file deletes the program: this run's log is complete up to here
  if (ok && CreateProcessW(processor, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    UniqueHandle thread(process.hThread), child(process.hProcess);
    return;
  }
  LogFailure(L"to start the batch file", batch, GetLastError());
  DeleteUnredirected(batch);
  RemoveFolderByName(batchFolder);
}

}  // namespace

namespace {

// Step 1: the program's folder becomes the current directory (the list and
// the help indexes are named relative to it). False when the program's
// path has no folder.
bool EnterProgramFolder(const wchar_t* program, wchar_t (&folder)[kPathCapacity]) {
  const wchar_t* lastSeparator = nullptr;
  for (const wchar_t* p = program; *p; p++)
    if (*p == L'\\') lastSeparator = p;
  if (!lastSeparator) return false;
  CopyText(folder, program);
  size_t cut = (size_t)(lastSeparator - program);
  folder[cut > 0 && folder[cut - 1] == L':' ? cut + 1 : cut] = 0;
  SetCurrentDirectoryW(folder);
  return true;
}

// Step 2: the user's confirmation, unless silent.
bool ConfirmUninstall(const RunOptions& options) {
  return options.Silent || ShowMessage(nullptr, GetText(IDS_CONTINUEUNINSTALL), GetText(IDS_UNINSTALLKVX),
                                       MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) == IDYES;
}

// Step 3: the file list, held open (and so kept) until its entries are gone.
bool OpenFileList(DiskFile& listFile) {
  if (listFile.Open(L"Uninstall.lst", kFileShareWrite)) return true;
  LogFailure(L"to open", L"Uninstall.lst", GetLastError());
  wchar_t message[200];
  FormatText(message, GetText(IDS_CANNOTOPENLIST), L"Uninstall.lst");
  ShowMessage(nullptr, message, GetText(IDS_UNINSTALLKVX), MB_ICONERROR | MB_SETFOREGROUND);
  return false;
}

// Step 6: the help indexes, the listed files and the list itself. True when
// something waits for the restart.
bool DeleteInstallation(DiskFile& listFile, const wchar_t* program, const wchar_t* folder) {
  static const wchar_t* const kHelpIndexes[] = {L"korvex.gid", L"korvex.fts"};
  for (const wchar_t* helpIndex : kHelpIndexes) {
    SetAttributes(helpIndex, 0);
    DeleteFileByName(helpIndex);
  }
  bool rebootNeeded;
  {
    wchar_t folderWithSeparator[kPathCapacity];
    CopyText(folderWithSeparator, folder);
    AddTrailingSeparator(folderWithSeparator);
    FileList list;
    ReadFileList(listFile, list);
    // The fast deletions are for folders that only administrators can change.
    bool linkSafe = IsWritableByOthers(folder);
    rebootNeeded = DeleteListedFiles(list, folderWithSeparator, PointToName(program), linkSafe);
  }
  listFile.Close();
  if (DeleteFileByName(L"Uninstall.lst")) LogLine(L"deleted the list Uninstall.lst");
  return rebootNeeded;
}

// Step 7: the browser's data beside the configured temporary folder, which
// is the user's choice (a setting, or the environment).
void RemoveBrowserData(const wchar_t* tempFolder) {
  wchar_t browserData[kPathCapacity];
  JoinPath(tempFolder, L"Korvex.exe.WebView2", browserData);
  if (IsUserFolderUsable(tempFolder) && FileExists(browserData)) {
    RemoveFolder(browserData);
    LogLine(L"removed the browser's data %s", browserData);
  }
}

}  // namespace

void UninstallDriver(RunOptions& options) {
  wchar_t program[kPathCapacity], folder[kPathCapacity];
  GetProgramPath(program);
  if (!EnterProgramFolder(program, folder)) return;
  if (!ConfirmUninstall(options)) {
    // Nothing was removed: a package manager must not record a removal.
    options.ExitCode = kExitCancelled;
    return;
  }
  // Under a package installer the files are the package's: the list is not
  // needed, and a package that lacks it must still be able to go.
  DiskFile listFile;
  if (!options.Msi && !OpenFileList(listFile)) {
    // Nothing was removed: a package manager must not record this as success.
    options.ExitCode = kExitListMissing;
    return;
  }
  // Step 4: what is needed after the language module and the per-user
  // settings are gone: the restart notice, and the configured temporary
  // folder (a per-user setting that the integration removal deletes).
  wchar_t rebootText[256], caption[256], tempFolder[kPathCapacity];
  CopyText(rebootText, GetText(IDS_REBOOTREQUIRED));
  CopyText(caption, GetText(IDS_UNINSTALLKVX));
  GetTempFolder(tempFolder, kPathCapacity);

  // Step 5: the integration. A package installer removes the files itself.
  RemoveIntegration(options.Msi);
  ReleaseLanguageModule();
  if (options.Msi) {
    // The installation's files are the package's; the templates are not.
    RemoveTemplateFiles();
    return;
  }

  bool rebootNeeded = DeleteInstallation(listFile, program, folder);
  RemoveBrowserData(tempFolder);

  // Step 8: the restart notice, and the self-removal.
  wchar_t current[kPathCapacity];
  DWORD n = GetCurrentDirectoryW(kPathCapacity, current);
  if (n == 0 || n >= kPathCapacity) current[0] = 0;
  if (rebootNeeded && !options.Silent) {
    ShowMessage(nullptr, rebootText, caption, MB_ICONINFORMATION | MB_SETFOREGROUND);
    if (CompareTextNoCase(PointToName(current), L"Korvex") == 0) DeleteAtRestart(current);
  }
  StartSelfRemoval(program, current, options.Silent);
}
