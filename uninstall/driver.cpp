#include "uninstall/driver.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <windows.h>

#include "app/command.h"
#include "lang/language.h"
#include "lang/module.h"
#include "settings/store.h"
#include "shell/shortcuts.h"
#include "uninstall/file_list.h"
#include "uninstall/removal.h"
#include "util/file.h"
#include "util/links.h"
#include "util/path.h"
#include "util/text.h"

void GetTempFolder(wchar_t* buffer, size_t size) {
  if (size == 0) return;
  ReadSettingString(L"Paths", L"TempFolder", buffer, L"", size);
  if (buffer[0]) {
    wchar_t expanded[kPathCapacity];
    DWORD n = ExpandEnvironmentStringsW(buffer, expanded, kPathCapacity);
    if (n >= 1 && n <= 2047) CopyText(buffer, expanded, size);
  }
  if (buffer[0] && GetFileAttributesW(buffer) != INVALID_FILE_ATTRIBUTES) {
    AddTrailingSeparator(buffer, size);
    return;
  }
  DWORD n = GetTempPathW(size > 0x7fff ? 0x7fff : (DWORD)size, buffer);
  if (n == 0 || n >= size || !buffer[0]) CopyText(buffer, L"\\kvxtemp", size);
  AddTrailingSeparator(buffer, size);
}

FILE* OpenShared(const wchar_t* path, const wchar_t* mode) { return _wfsopen(path, mode, _SH_DENYNO); }

namespace {

// The list, read whole: its entries are worked through in passes.
struct FileList {
  GrowArray<char> bytes;
  GrowArray<FileListEntry> entries;
};

bool ReadList(FILE* stream, FileList& list) {
  for (;;) {
    size_t at = list.bytes.Count();
    list.bytes.AddElements(65536);
    size_t got = fread(list.bytes.Data() + at, 1, 65536, stream);
    list.bytes.Shrink(at + got);
    if (got == 0) break;
  }
  ParseFileList(list.bytes.Data(), list.bytes.Count(), list.entries);
  return true;
}

// True when some folder between the program folder and the entry is a link
// (a junction or a symbolic link): deleting through it would reach outside.
// The folders found plain are remembered, since lists name many files of
// the same folder.
class LinkCheck {
 public:
  explicit LinkCheck(size_t folderLength) : folderLength_(folderLength) { checked_[0] = 0; }

  bool PassesThroughLink(const wchar_t* path) {
    size_t end = 0;
    for (size_t i = folderLength_; path[i]; i++)
      if (path[i] == L'\\' || path[i] == L'/') end = i;
    if (end <= folderLength_) return false;  // directly in the program folder
    if (checkedLength_ == end && StartsWithExact(path, checked_) ) return false;
    wchar_t folder[kPathCapacity];
    for (size_t i = folderLength_; i <= end; i++) {
      if (i != end && path[i] != L'\\' && path[i] != L'/') continue;
      CopyText(folder, path, i + 1);
      if (IsReparsePointAttr(GetAttributes(folder))) return true;
    }
    CopyText(checked_, path, end + 1);
    checkedLength_ = end;
    return false;
  }

 private:
  size_t folderLength_;
  wchar_t checked_[kPathCapacity];
  size_t checkedLength_ = 0;
};

// Renames a file that cannot be deleted to the lowest free "<path>.<n>.tmp"
// and schedules that name for deletion at the next restart.
void ScheduleLockedFile(const wchar_t* path) {
  wchar_t name[kPathCapacity];
  for (unsigned j = 0; j < 1000; j++) {
    FormatText(name, L"%s.%u.tmp", path, j);
    if (!FileExists(name)) break;
  }
  if (!MoveFileW(path, name)) CopyText(name, path);
  MoveFileExW(name, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// The full path of a list entry, when it names something inside the
// program folder; false for lines that do not fit whole or leave the folder.
bool ListedPath(const FileList& list, const FileListEntry& e, const wchar_t* folderWithSeparator,
                wchar_t (&full)[kPathCapacity]) {
  char line[kPathCapacity];
  size_t length = e.length < sizeof line - 1 ? e.length : sizeof line - 1;
  for (size_t i = 0; i < length; i++) line[i] = list.bytes[e.offset + i];
  line[length] = 0;
  size_t folderLength = TextLength(folderWithSeparator);
  CopyText(full, folderWithSeparator);
  int n = MultiByteToWideChar(CP_ACP, 0, line, -1, full + folderLength, (int)(kPathCapacity - folderLength));
  return n > 0 && IsContainedEntry(full + folderLength);
}

struct ScheduledFolder {
  uint32_t entry;
  size_t depth;
};

int DeeperFirst(const void* a, const void* b) {
  size_t x = static_cast<const ScheduledFolder*>(a)->depth, y = static_cast<const ScheduledFolder*>(b)->depth;
  return x < y ? 1 : x > y ? -1 : 0;
}

// Works through the list in passes until a pass removes nothing. Entries
// that were not there, or that went, are not looked at again; the outcome is
// that of re-reading the whole list in every pass.
bool DeleteListedFiles(const FileList& list, const wchar_t* folderWithSeparator, const wchar_t* programName) {
  bool rebootNeeded = false;
  size_t folderLength = TextLength(folderWithSeparator);
  LinkCheck links(folderLength);
  GrowArray<uint32_t> pending, next;
  for (size_t i = 0; i < list.entries.Count(); i++) pending.PushElement((uint32_t)i);
  wchar_t full[kPathCapacity];
  for (;;) {
    size_t removed = 0;
    next.Shrink(0);
    for (size_t k = 0; k < pending.Count(); k++) {
      // A line that does not fit whole, or that leaves the program folder,
      // names nothing of the installation.
      if (!ListedPath(list, list.entries[pending[k]], folderWithSeparator, full) || links.PassesThroughLink(full))
        continue;
      // Most entries are plain files that simply go; the others are looked
      // at closely: read-only files, folders, locked files, missing entries.
      if (DeleteFileW(full)) {
        removed++;
        continue;
      }
      DWORD attributes = GetFileAttributesW(full);
      if (attributes == INVALID_FILE_ATTRIBUTES) continue;  // not there: never again
      SetFileAttributesW(full, 0);
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (RemoveDirectoryW(full)) removed++;
        else next.PushElement(pending[k]);
        continue;
      }
      if (DeleteFileW(full)) {
        removed++;
        continue;
      }
      const wchar_t* name = PointToName(full);
      if (CompareTextNoCase(name, programName) != 0 && CompareTextNoCase(name, L"Uninstall.lst") != 0) {
        rebootNeeded = true;
        ScheduleLockedFile(full);
      }
      next.PushElement(pending[k]);
    }
    if (removed == 0) break;
    pending.Swap(next);
  }
  // Listed folders that still hold scheduled files go at the restart too,
  // after those files and the deepest first; else they would stay behind.
  if (rebootNeeded) {
    GrowArray<ScheduledFolder> folders;
    for (size_t k = 0; k < next.Count(); k++) {
      const FileListEntry& e = list.entries[next[k]];
      if (!ListedPath(list, e, folderWithSeparator, full)) continue;
      DWORD attributes = GetFileAttributesW(full);
      if (!IsDirectoryAttr(attributes) || IsReparsePointAttr(attributes)) continue;
      size_t depth = 0;
      for (const wchar_t* p = full; *p; p++) depth += *p == L'\\';
      folders.PushElement(ScheduledFolder{next[k], depth});
    }
    SortElements(folders.Data(), folders.Count(), sizeof(ScheduledFolder), DeeperFirst);
    for (size_t i = 0; i < folders.Count(); i++) {
      ListedPath(list, list.entries[folders[i].entry], folderWithSeparator, full);
      MoveFileExW(full, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
  }
  return rebootNeeded;
}

// Creates the batch file afresh in the user's temporary folder, where any
// process of the user can plant a link at its name. A file left there is
// deleted only when it is a file of its own (a link planted to have the
// elevated uninstall delete something else stays, and so does what it
// leads to); the new file is made exclusively and is used only when it is
// where it was meant to be, so that no link redirects the write. When it
// cannot be made so, there is no batch file.
FILE* CreateBatchFile(const wchar_t* path) {
  if (!DeleteUnredirected(path)) return nullptr;
  HANDLE h = OpenUnredirected(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle((intptr_t)h, _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    DeleteByHandle(h);
    CloseHandle(h);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (!stream) {
    DeleteByHandle(h);
    _close(fd);
  }
  return stream;
}

}  // namespace

void UninstallDriver() {
  wchar_t program[kPathCapacity];
  GetProgramPath(program);
  wchar_t* lastSeparator = nullptr;
  for (wchar_t* p = program; *p; p++)
    if (*p == L'\\') lastSeparator = p;
  if (!lastSeparator) return;
  wchar_t folder[kPathCapacity];
  CopyText(folder, program);
  size_t cut = (size_t)(lastSeparator - program);
  folder[cut > 0 && folder[cut - 1] == L':' ? cut + 1 : cut] = 0;
  SetCurrentDirectoryW(folder);
  wchar_t folderWithSeparator[kPathCapacity];
  CopyText(folderWithSeparator, folder);
  AddTrailingSeparator(folderWithSeparator);

  if (!g_RunOptions.Silent &&
      ShowMessage(nullptr, GetText(IDS_CONTINUEUNINSTALL), GetText(IDS_UNINSTALLKVX),
                  MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES)
    return;

  FILE* listStream = OpenShared(L"Uninstall.lst", L"rb");
  if (!listStream) {
    wchar_t message[200];
    FormatText(message, GetText(IDS_CANNOTOPENLIST), L"Uninstall.lst");
    ShowMessage(nullptr, message, GetText(IDS_UNINSTALLKVX), MB_ICONERROR | MB_SETFOREGROUND);
    // Nothing was removed: a package manager must not record this as success.
    g_RunOptions.ExitCode = kExitListMissing;
    return;
  }
  wchar_t rebootText[256], caption[256];
  CopyText(rebootText, GetText(IDS_REBOOTREQUIRED));
  CopyText(caption, GetText(IDS_UNINSTALLKVX));
  // The configured temporary folder is a per-user setting that the
  // integration removal deletes: it is read before.
  wchar_t tempFolder[kPathCapacity];
  GetTempFolder(tempFolder, kPathCapacity);

  RemoveIntegration();
  ReleaseLanguageModule();
  if (g_RunOptions.Msi) {
    fclose(listStream);
    return;
  }

  static const wchar_t* const kHelpIndexes[] = {L"korvex.gid", L"korvex.fts"};
  for (const wchar_t* helpIndex : kHelpIndexes) {
    SetFileAttributesW(helpIndex, 0);
    DeleteFileW(helpIndex);
  }
  bool rebootNeeded = false;
  {
    FileList list;
    ReadList(listStream, list);
    rebootNeeded = DeleteListedFiles(list, folderWithSeparator, PointToName(program));
  }
  fclose(listStream);
  DeleteFileW(L"Uninstall.lst");

  wchar_t browserData[kPathCapacity];
  JoinPath(tempFolder, L"Korvex.exe.WebView2", browserData);
  if (GetFileAttributesW(browserData) != INVALID_FILE_ATTRIBUTES) RemoveFolder(browserData);

  wchar_t current[kPathCapacity];
  DWORD n = GetCurrentDirectoryW(kPathCapacity, current);
  if (n == 0 || n >= kPathCapacity) current[0] = 0;
  if (rebootNeeded && !g_RunOptions.Silent) {
    ShowMessage(nullptr, rebootText, caption, MB_ICONINFORMATION | MB_SETFOREGROUND);
    if (CompareTextNoCase(PointToName(current), L"Korvex") == 0)
      MoveFileExW(current, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }

  wchar_t batch[kPathCapacity];
  n = GetTempPathW(kPathCapacity, batch);
  if (n == 0 || n >= kPathCapacity) batch[0] = 0;
  AppendText(batch, L"Uninstall_Kvx.Bat");
  FILE* stream = CreateBatchFile(batch);
  if (!stream) return;
  GrowArray<wchar_t> lines;
  bool useVariable[3];
  // Short forms, for paths the ANSI code page cannot carry.
  wchar_t shortForms[3][kPathCapacity];
  const wchar_t* longForms[3] = {program, current, batch};
  BatchPaths paths = {program, current, batch, {nullptr, nullptr, nullptr}};
  for (int i = 0; i < 3; i++) {
    DWORD length = GetShortPathNameW(longForms[i], shortForms[i], kPathCapacity);
    if (length > 0 && length < kPathCapacity) paths.shortForms[i] = shortForms[i];
  }
  ComposeBatchLines(paths, g_RunOptions.Silent, lines, useVariable);
  WriteBatchLine(stream, lines.Data());
  fclose(stream);
  const wchar_t* values[3] = {program, current, batch};
  for (int i = 0; i < 3; i++)
    if (useVariable[i]) SetEnvironmentVariableW(kBatchVariables[i], values[i]);

  wchar_t comspec[kPathCapacity];
  n = GetEnvironmentVariableW(L"COMSPEC", comspec, kPathCapacity);
  if (n == 0 || n >= kPathCapacity) comspec[0] = 0;
  wchar_t command[kPathCapacity * 2];
  FormatText(command, L"%s /c \"%s\"", comspec, batch);
  SetCurrentDirectoryW(L"..");
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}
