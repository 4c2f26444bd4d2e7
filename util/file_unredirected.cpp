// The operations by path that no link can redirect, and the file journal of
// a setup run.
#include "util/file.h"

#include "util/array.h"
#include "util/file_internal.h"
#include "util/text.h"

namespace {

// The operations below for a path whose folder the caller has pinned.

HANDLE OpenFileAt(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, bool* made) {
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
    if (made) *made = created;
    return file.Release();
  }
  if (created) DeleteByHandle(h);
  file.Reset();
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

bool DeleteFileAt(const wchar_t* path, FileJournal* journal = nullptr) {
  DWORD attributes = GetAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  // A link object opened as such is at its own path and goes itself; a file
  // reached through a link (Wine follows links to files) is elsewhere and stays.
  UniqueFile file(OpenForDeletion(path));
  if (!file) return false;
  return (journal && journal->PutAside(file, path)) || DeleteByHandle(file.Get());
}

bool RemoveFolderAt(const wchar_t* path) {
  UniqueFile folder(OpenForDeletion(path));
  return folder && DeleteByHandle(folder.Get());
}

}  // namespace

HANDLE OpenUnredirected(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, bool* made) {
  PinnedChain chain;
  if (!chain.PinParent(path)) return INVALID_HANDLE_VALUE;
  return OpenFileAt(path, access, share, disposition, made);
}

HANDLE OpenUnredirected(const wchar_t* path, DWORD access, DWORD share, DWORD disposition) {
  return OpenUnredirected(path, access, share, disposition, nullptr);
}

bool DeleteUnredirected(const wchar_t* path, FileJournal* journal) {
  PinnedChain chain;
  if (!chain.PinParent(path)) return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
  return DeleteFileAt(path, journal);
}

bool RemoveFolderUnredirected(const wchar_t* path) {
  PinnedChain chain;
  return chain.PinParent(path) && RemoveFolderAt(path);
}

bool CreateFolderUnredirected(const wchar_t* path, SECURITY_ATTRIBUTES* security, bool onlyNew, UniqueFile* pin,
                              FileJournal* journal) {
  // Made in its pinned parent: it cannot be made anywhere else.
  PinnedChain chain;
  if (!chain.PinParent(path)) return false;
  bool made = WithLongRetry(path, [&](const wchar_t* p) { return CreateDirectoryW(p, security) != 0; });
  if (!made && (onlyNew || GetLastError() != ERROR_ALREADY_EXISTS)) return false;
  UniqueFile folder(PinFolder(path, false));
  if (!folder) return false;
  if (made && journal) journal->Made(path);
  if (pin) *pin = static_cast<UniqueFile&&>(folder);
  return true;
}

void DeleteTreeUnredirected(const wchar_t* path, FileJournal* journal) {
  PinnedChain chain;
  if (!chain.PinParent(path)) return;
  if (journal) {
    UniqueFile whole(PinFolder(path, true));
    if (whole && journal->PutAside(whole, path)) return;
  }
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
    DeleteByHandle(pins.At(i));
    pins.Close(i);
  }
}

// ---------------------------------------------------------------- the file journal

void FileJournal::Add(const wchar_t* path, const wchar_t* aside, HANDLE held, bool folder) {
  Record r = {paths_.Add(path), paths_.Add(aside), held, folder};
  records_.PushElement(r);
}

void FileJournal::Made(const wchar_t* path) { Add(path, L"", INVALID_HANDLE_VALUE, false); }

bool FileJournal::PutAside(UniqueFile& entry, const wchar_t* path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(entry.Get(), &info) || info.nNumberOfLinks != 1) return false;
  // A name of its own beside it (one that someone took first is not
  // replaced: then the entry is not put aside). A run puts a name aside
  // once at most.
  wchar_t aside[kPathCapacity];
  if (FormatText(aside, L"%s.kvx-aside", path) < 0 || !RenameByHandle(entry.Get(), aside, false)) return false;
  Add(path, aside, entry.Release(), (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  return true;
}

size_t FileJournal::Undo(void (*failed)(const wchar_t* path, DWORD error)) {
  size_t undone = 0;
  for (size_t i = records_.Count(); i-- > 0;) {
    Record& r = records_[i];
    const wchar_t* path = paths_.At(r.path);
    bool ok;
    if (r.held != INVALID_HANDLE_VALUE) {
      // Back under its own name, unless something else stands there now.
      UniqueFile held(r.held);
      r.held = INVALID_HANDLE_VALUE;
      ok = RenameByHandle(held.Get(), path, false);  // else it stays under its other name
    } else {
      ok = DeleteUnredirected(path) || RemoveFolderUnredirected(path);  // a file, or else a folder
    }
    if (ok) undone++;
    else failed(path, GetLastError());
  }
  Commit();
  return undone;
}

void FileJournal::Commit() {
  for (size_t i = records_.Count(); i-- > 0;) {
    Record& r = records_[i];
    if (r.held == INVALID_HANDLE_VALUE) continue;
    UniqueFile held(r.held);
    if (!r.folder) {
      DeleteByHandle(held.Get());
      continue;
    }
    held.Reset();  // its pin shares no deletion: let go before the folder goes
    DeleteTreeUnredirected(paths_.At(r.aside));
  }
  records_.Reset();
  paths_.Clear();
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
