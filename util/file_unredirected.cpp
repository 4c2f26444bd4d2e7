// The operations by path that no link can redirect, and the file journal of
// a setup run.
#include "util/file.h"

#include "util/array.h"
#include "util/file_internal.h"
#include "util/text.h"

namespace {

// The file journal of a setup run: what the operations below changed, so
// that UndoFileJournal can put it back.
enum class FileChange : unsigned char { FileMade, FileReplaced, FolderMade, FolderDeleted };
struct FileRecord {
  FileChange kind;
  size_t path, data, size;  // FileReplaced: the file's bytes before
};
struct FileJournal {
  GrowArray<FileRecord> records;
  TextPool paths;
  GrowArray<unsigned char> bytes;
};
FileJournal* g_FileJournal;

void Journal(FileChange kind, const wchar_t* path, HANDLE readable = INVALID_HANDLE_VALUE) {
  if (!g_FileJournal) return;
  FileRecord r = {kind, g_FileJournal->paths.Add(path), g_FileJournal->bytes.Count(), 0};
  if (readable != INVALID_HANDLE_VALUE) {
    LARGE_INTEGER zero = {};
    SetFilePointerEx(readable, zero, nullptr, FILE_BEGIN);
    ReadWhole(readable, g_FileJournal->bytes, (size_t)1 << 26);
    SetFilePointerEx(readable, zero, nullptr, FILE_BEGIN);
    r.size = g_FileJournal->bytes.Count() - r.data;
  }
  g_FileJournal->records.PushElement(r);
}

// The operations below for a path whose folder the caller has pinned.

HANDLE OpenFileAt(const wchar_t* path, DWORD access, DWORD share, DWORD disposition) {
  // A file written while the journal runs is read first, to be put back.
  bool journaled = g_FileJournal && (access & (GENERIC_WRITE | FILE_WRITE_DATA));
  if (journaled) access |= GENERIC_READ;

  if (disposition != CREATE_NEW && disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  bool created = false;
  auto open = [&](DWORD extra) {
    return WithLongRetry(path, [&](const wchar_t* p) {
      HANDLE h = CreateFileW(p, access | FILE_READ_ATTRIBUTES | extra, share, nullptr, disposition,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (h != INVALID_HANDLE_VALUE)
        created = disposition == CREATE_NEW || (disposition == OPEN_ALWAYS && GetLastError() != ERROR_ALREADY_EXISTS);
      return h;
    });
  };
  // A file the call may make is opened so that it can be removed again; an
  // existing one that others hold without letting it be deleted is opened
  // without, and then only as it is: should it have gone meanwhile, the
  // retry makes nothing it could not remove again.
  HANDLE h = open(disposition == OPEN_EXISTING ? 0 : DELETE);
  if (h == INVALID_HANDLE_VALUE && disposition == OPEN_ALWAYS && GetLastError() == ERROR_SHARING_VIOLATION) {
    disposition = OPEN_EXISTING;
    h = open(0);
  }
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION info;
  bool own = GetFileInformationByHandle(h, &info) &&
             !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
             info.nNumberOfLinks == 1 && HandleIsPath(h, path);
  UniqueFile file(h);
  if (own) {
    if (journaled) Journal(created ? FileChange::FileMade : FileChange::FileReplaced, path, created ? INVALID_HANDLE_VALUE : h);
    return file.Release();
  }
  if (created) DeleteByHandle(h);
  file.Reset();
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

bool DeleteFileAt(const wchar_t* path) {
  DWORD attributes = GetAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  // A link object opened as such is at its own path and goes itself; a file
  // reached through a link (Wine follows links to files) is elsewhere and stays.
  UniqueFile file(OpenForDeletion(path));
  if (!file) return false;
  if (g_FileJournal) {
    UniqueFile content(WithLongRetry(path, [](const wchar_t* p) {
      return CreateFileW(p, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }));
    if (content) Journal(FileChange::FileReplaced, path, content.Get());
  }
  return DeleteByHandle(file.Get());
}

bool RemoveFolderAt(const wchar_t* path) {
  UniqueFile folder(OpenForDeletion(path));
  return folder && DeleteByHandle(folder.Get());
}

}  // namespace

HANDLE OpenUnredirected(const wchar_t* path, DWORD access, DWORD share, DWORD disposition) {
  PinnedChain chain;
  if (!chain.PinParent(path)) return INVALID_HANDLE_VALUE;
  return OpenFileAt(path, access, share, disposition);
}

bool DeleteUnredirected(const wchar_t* path) {
  PinnedChain chain;
  if (!chain.PinParent(path)) return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
  return DeleteFileAt(path);
}

bool RemoveFolderUnredirected(const wchar_t* path) {
  PinnedChain chain;
  return chain.PinParent(path) && RemoveFolderAt(path);
}

bool CreateFolderUnredirected(const wchar_t* path, SECURITY_ATTRIBUTES* security, bool onlyNew, UniqueFile* pin) {
  // Made in its pinned parent: it cannot be made anywhere else.
  PinnedChain chain;
  if (!chain.PinParent(path)) return false;
  bool made = WithLongRetry(path, [&](const wchar_t* p) { return CreateDirectoryW(p, security) != 0; });
  if (!made && (onlyNew || GetLastError() != ERROR_ALREADY_EXISTS)) return false;
  UniqueFile folder(PinFolder(path, false));
  if (!folder) return false;
  if (made) Journal(FileChange::FolderMade, path);
  if (pin) *pin = static_cast<UniqueFile&&>(folder);
  return true;
}

void DeleteTreeUnredirected(const wchar_t* path) {
  PinnedChain chain;
  if (!chain.PinParent(path)) return;
  // Each folder pinned as it is found (after the one that holds it), with
  // its path; they are removed the other way round, once emptied.
  PinSet pins;
  TextPool names;
  GrowArray<size_t> paths;
  HANDLE top = PinFolder(path, true);
  if (top == INVALID_HANDLE_VALUE) return;
  pins.Add(top);
  paths.PushElement(names.Add(path));
  wchar_t folder[kPathCapacity], child[kPathCapacity];
  for (size_t i = 0; i < pins.Count(); i++) {
    CopyText(folder, names.At(paths[i]));
    PinnedScan scan(pins.At(i));
    PinnedEntry entry;
    while (scan.Next(entry)) {
      JoinPath(folder, entry.name, child);
      bool directory = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (directory && IsLinkAttributes(entry.attributes, entry.reparseTag)) {
        RemoveFolderAt(child);  // the link itself
      } else if (directory) {
        HANDLE pin = PinFolder(child, true);
        if (pin == INVALID_HANDLE_VALUE) continue;
        pins.Add(pin);
        paths.PushElement(names.Add(child));
      } else {
        DeleteFileAt(child);
      }
    }
  }
  for (size_t i = pins.Count(); i-- > 0;) {
    if (DeleteByHandle(pins.At(i))) Journal(FileChange::FolderDeleted, names.At(paths[i]));
    pins.Close(i);
  }
}

void StartFileJournal() {
  static FileJournal journal;
  StopFileJournal();
  g_FileJournal = &journal;
}

void StopFileJournal() {
  if (!g_FileJournal) return;
  g_FileJournal->records.Reset();
  g_FileJournal->paths.Clear();
  g_FileJournal->bytes.Reset();
  g_FileJournal = nullptr;
}

size_t UndoFileJournal(void (*failed)(const wchar_t* path, DWORD error)) {
  FileJournal* journal = g_FileJournal;
  if (!journal) return 0;
  g_FileJournal = nullptr;  // putting back records nothing
  size_t undone = 0;
  for (size_t i = journal->records.Count(); i-- > 0;) {
    const FileRecord& r = journal->records[i];
    const wchar_t* path = journal->paths.At(r.path);
    bool ok = false;
    if (r.kind == FileChange::FileMade) {
      ok = DeleteUnredirected(path);
    } else if (r.kind == FileChange::FolderMade) {
      ok = RemoveFolderUnredirected(path);
    } else if (r.kind == FileChange::FolderDeleted) {
      ok = CreateFolderUnredirected(path);
    } else {
      UniqueFile file(OpenUnredirected(path, GENERIC_WRITE, 0, OPEN_ALWAYS));
      ok = file && WriteExactly(file.Get(), journal->bytes.Data() + r.data, r.size) && SetEndOfFile(file.Get());
    }
    if (ok) undone++;
    else if (failed) failed(path, GetLastError());
  }
  g_FileJournal = journal;
  StopFileJournal();
  return undone;
}

bool CopyFileUnredirected(const wchar_t* from, const wchar_t* to, size_t limit) {
  UniqueFile source(OpenUnredirected(from, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  return source && CopyHandleToNewFile(source.Get(), to, limit);
}

bool CopyHandleToNewFile(HANDLE from, const wchar_t* to, size_t limit) {
  LARGE_INTEGER zero = {};
  GrowArray<unsigned char> bytes;
  if (!SetFilePointerEx(from, zero, nullptr, FILE_BEGIN) || !ReadWhole(from, bytes, limit)) return false;
  UniqueFile target(OpenUnredirected(to, GENERIC_WRITE, 0, CREATE_NEW));
  if (!target) return false;
  if (WriteExactly(target.Get(), bytes.Data(), bytes.Count())) return true;
  DeleteByHandle(target.Get());
  return false;
}
