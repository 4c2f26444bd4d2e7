#include "util/file.h"

#include <aclapi.h>
#include <shlobj.h>

#include "util/array.h"
#include "util/text.h"

namespace {

bool Failed(bool result) { return !result; }
bool Failed(HANDLE result) { return result == INVALID_HANDLE_VALUE; }

// Whether a failed call on `path` is worth a retry with the extended-length
// form, which it then makes: not for an existing name, a denied access or a
// sharing violation, which no longer form mends. Keeps the call's error.
bool MakeRetryPath(const wchar_t* path, wchar_t (&longName)[kPathCapacity]) {
  DWORD error = GetLastError();
  bool retry = error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED &&
               error != ERROR_SHARING_VIOLATION && MakeLongPathName(path, longName);
  SetLastError(error);
  return retry;
}

// The extended-length retry, for every call of this layer: runs call(path)
// and, when it fails and MakeRetryPath allows, once more with the long form.
template <class Call> auto WithLongRetry(const wchar_t* path, Call call) -> decltype(call(path)) {
  auto result = call(path);
  wchar_t longName[kPathCapacity];
  if (!Failed(result) || !MakeRetryPath(path, longName)) return result;
  return call(longName);
}

bool EndsInDotOrBlank(const wchar_t* name) {
  size_t n = TextLength(name);
  return n > 0 && (name[n - 1] == L'.' || name[n - 1] == L' ');
}

// The part of a path after "\\?\" (or "\\?\UNC\", given back as "\\").
const wchar_t* WithoutLongPrefix(const wchar_t* path, wchar_t* scratch, size_t capacity) {
  if (StartsWithExact(path, L"\\\\?\\UNC\\")) {
    CopyText(scratch, L"\\", capacity);
    AppendText(scratch, path + 7, capacity);
    return scratch;
  }
  if (StartsWithExact(path, L"\\\\?\\")) return path + 4;
  return path;
}



}  // namespace


DiskFile::~DiskFile() {
  if (!handle_) return;
  handle_.Reset();
  // Only a new file that was abandoned before Close is removed.
  if (created_) DeleteFileByName(name_);
}

bool DiskFile::Open(const wchar_t* name, uint32_t mode) {
  Close();
  DWORD access = GENERIC_READ | ((mode & kFileWrite) ? GENERIC_WRITE : 0);
  DWORD share = FILE_SHARE_READ | ((mode & kFileShareWrite) ? FILE_SHARE_WRITE : 0);
  HANDLE h = WithLongRetry(name, [&](const wchar_t* path) {
    return CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  });
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_.Reset(h);
  created_ = false;
  atEndAfterError_ = false;
  CopyText(name_, name);
  return true;
}

bool DiskFile::Create(const wchar_t* name, uint32_t mode) {
  Close();
  DWORD share = (mode & kFileShareRead) ? FILE_SHARE_READ : 0;
  auto create = [&](const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, 0, nullptr);
  };
  HANDLE h = INVALID_HANDLE_VALUE;
  if (EndsInDotOrBlank(name)) {
    // The plain form would lose a trailing dot or blank; only the long form keeps it.
    wchar_t longName[kPathCapacity];
    if (MakeLongPathName(name, longName)) h = create(longName);
  } else {
    h = WithLongRetry(name, create);
  }
  CopyText(name_, name);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_.Reset(h);
  created_ = true;
  atEndAfterError_ = false;
  return true;
}

bool DiskFile::Close() {
  if (!handle_) return true;
  // Closed here rather than by the owner, for its result: a write the
  // system kept back can fail only now.
  bool ok = CloseHandle(handle_.Release()) != 0;
  return ok;
}

size_t DiskFile::RawRead(void* buffer, DWORD count) {
  DWORD got = 0;
  if (ReadFile(handle_.Get(), buffer, count, &got, nullptr)) return got;
  DWORD error = GetLastError();
  DWORD type = GetFileType(handle_.Get());
  DWORD retry = 0;
  if ((type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) && count > 20000) retry = 20000;
  else if (type == FILE_TYPE_DISK && count >= 32769 && error == ERROR_LOCK_VIOLATION) retry = 32768;
  if (retry && ReadFile(handle_.Get(), buffer, retry, &got, nullptr)) return got;
  return (size_t)-1;
}

size_t DiskFile::Read(void* buffer, size_t count) {
  if (atEndAfterError_ || !handle_ || count == 0) return 0;
  DWORD chunk = count > 0x40000000 ? 0x40000000 : (DWORD)count;
  size_t got = RawRead(buffer, chunk);
  if (got == (size_t)-1) {
    atEndAfterError_ = true;  // a reader stops at a read error
    return 0;
  }
  return got;
}

bool DiskFile::Write(const void* buffer, size_t count) {
  return count == 0 || (handle_ && WriteExactly(handle_.Get(), buffer, count));
}

bool DiskFile::Seek(int64_t offset, SeekOrigin origin) {
  if (!handle_) return false;
  if (offset < 0 && origin != SeekOrigin::Begin) {
    int64_t base;
    if (origin == SeekOrigin::Current) {
      base = Tell();
    } else {
      LARGE_INTEGER size;
      base = GetFileSizeEx(handle_.Get(), &size) ? size.QuadPart : -1;
    }
    if (base < 0) return false;
    offset += base;
    origin = SeekOrigin::Begin;
  }
  LARGE_INTEGER move;
  move.QuadPart = offset;
  DWORD method = origin == SeekOrigin::Begin ? FILE_BEGIN : origin == SeekOrigin::Current ? FILE_CURRENT : FILE_END;
  return (offset >= 0 || origin != SeekOrigin::Begin) && SetFilePointerEx(handle_.Get(), move, nullptr, method) != 0;
}

int64_t DiskFile::Tell() {
  if (!handle_) return -1;
  LARGE_INTEGER zero = {}, position;
  if (!SetFilePointerEx(handle_.Get(), zero, &position, FILE_CURRENT)) return -1;
  return position.QuadPart;
}

bool DeleteFileByName(const wchar_t* name) {
  auto remove = [](const wchar_t* path) { return DeleteFileW(path) != 0; };
  if (!EndsInDotOrBlank(name)) return WithLongRetry(name, remove);
  // The plain form would name another file: Windows strips a trailing dot
  // or blank, so "name." would delete "name".
  wchar_t longName[kPathCapacity];
  return MakeLongPathName(name, longName) && remove(longName);
}

bool RemoveFolderByName(const wchar_t* name) {
  return WithLongRetry(name, [](const wchar_t* path) { return RemoveDirectoryW(path) != 0; });
}

bool SetAttributes(const wchar_t* name, DWORD attributes) {
  return WithLongRetry(name, [&](const wchar_t* path) { return SetFileAttributesW(path, attributes) != 0; });
}

bool DeleteAtRestart(const wchar_t* name) {
  return WithLongRetry(name, [](const wchar_t* path) {
    return MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  });
}

DWORD GetAttributes(const wchar_t* name) {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  WithLongRetry(name, [&](const wchar_t* path) { return (attributes = GetFileAttributesW(path)) != INVALID_FILE_ATTRIBUTES; });
  return attributes;
}

bool FileExists(const wchar_t* name) { return GetAttributes(name) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectoryAttr(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsReparsePointAttr(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool GetShortForm(const wchar_t* path, wchar_t (&out)[kPathCapacity]) {
  DWORD n = GetShortPathNameW(path, out, kPathCapacity);
  return n > 0 && n < kPathCapacity;
}

int MakeFolder(const wchar_t* name) {
  auto make = [](const wchar_t* path) { return CreateDirectoryW(path, nullptr) != 0; };
  bool made;
  if (!EndsInDotOrBlank(name)) {
    made = WithLongRetry(name, make);
  } else {
    // As for files: the plain form would make the folder without its
    // trailing dot or blank.
    wchar_t longName[kPathCapacity];
    made = MakeLongPathName(name, longName);
    if (made) made = make(longName);
    else SetLastError(ERROR_INVALID_NAME);
  }
  if (made) return 0;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 2 : 1;
}

// ---------------------------------------------------------------- enumeration

void DirectoryScan::SetMask(const wchar_t* mask) {
  Close();
  CopyText(mask_, mask);
}

void DirectoryScan::Close() {
  search_.Reset();
}

bool DirectoryScan::Step(FoundEntry& entry) {
  WIN32_FIND_DATAW data;
  if (!search_) {
    search_.Reset(WithLongRetry(mask_, [&](const wchar_t* mask) { return FindFirstFileW(mask, &data); }));
    if (!search_) {
      DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_NO_MORE_FILES)
        entry.error = true;
      return false;
    }
  } else if (!FindNextFileW(search_.Get(), &data)) {
    if (GetLastError() != ERROR_NO_MORE_FILES) entry.error = true;
    return false;
  }
  CopyText(entry.name, mask_);
  ReplaceName(entry.name, data.cFileName);
  entry.size = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
  entry.attributes = data.dwFileAttributes;
  entry.isDirectory = IsDirectoryAttr(data.dwFileAttributes);
  entry.isReparsePoint = IsReparsePointAttr(data.dwFileAttributes);
  return true;
}

bool DirectoryScan::Next(FoundEntry& entry) {
  entry.error = false;
  if (!mask_[0]) return false;
  for (;;) {
    if (!Step(entry)) return false;
    const wchar_t* name = PointToName(entry.name);
    if (CompareTextExact(name, L".") != 0 && CompareTextExact(name, L"..") != 0) return true;
  }
}

bool FindSingle(const wchar_t* path, FoundEntry& entry) {
  entry.error = false;
  if (HasWildcards(path)) return false;
  DirectoryScan scan;
  CopyText(scan.mask_, path);
  bool found = scan.Step(entry);
  scan.Close();
  return found;
}

// ---------------------------------------------------------------- pinned folders

bool IsLinkAttributes(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag));
}

HANDLE PinFolder(const wchar_t* path, bool removable) {
  DWORD access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL |
                 (removable ? DELETE | FILE_WRITE_ATTRIBUTES : 0);
  UniqueFile folder(WithLongRetry(path, [&](const wchar_t* p) {
    return CreateFileW(p, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }));
  if (!folder) return INVALID_HANDLE_VALUE;
  // A link opened as such shows its tag. Wine follows its links even so (the
  // handle is then the folder a link leads to), but reports them by name:
  // a reparse point by name that the handle does not show is another folder.
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!GetFileInformationByHandleEx(folder.Get(), FileAttributeTagInfo, &info, sizeof info) ||
      !(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) || IsLinkAttributes(info.FileAttributes, info.ReparseTag) ||
      (IsReparsePointAttr(GetAttributes(path)) && !(info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return folder.Release();
}

size_t PinSet::Add(HANDLE pin) {
  pins_.PushElement(pin);
  return pins_.Count() - 1;
}

void PinSet::Close(size_t i) {
  UniqueFile closing(pins_[i]);
  pins_[i] = INVALID_HANDLE_VALUE;
}

void PinSet::Release() {
  for (size_t i = pins_.Count(); i-- > 0;) Close(i);
  pins_.Reset();
}

bool PinnedChain::Pin(const wchar_t* folder) {
  Release();
  wchar_t full[kPathCapacity], scratch[kPathCapacity], prefix[kPathCapacity];
  DWORD n = GetFullPathNameW(folder, kPathCapacity, full, nullptr);
  if (n == 0 || n >= kPathCapacity) return false;
  const wchar_t* plain = WithoutLongPrefix(full, scratch, kPathCapacity);
  size_t root = RootLength(plain);
  if (root == 0) return false;
  // The root first ("C:\", "\\server\share\"), then each folder below it.
  for (size_t i = root;; i++) {
    wchar_t c = plain[i];
    if (c != 0 && !IsSeparator(c)) continue;
    if (i == root || !IsSeparator(plain[i - 1])) {
      CopyText(prefix, plain, i + 1);
      HANDLE pin = PinFolder(prefix, false);
      if (pin == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Release();
        SetLastError(error);
        return false;
      }
      pins_.Add(pin);
    }
    if (c == 0) return true;
  }
}

bool PinnedChain::PinParent(const wchar_t* path) {
  wchar_t full[kPathCapacity];
  DWORD n = GetFullPathNameW(path, kPathCapacity, full, nullptr);
  if (n == 0 || n >= kPathCapacity) return false;
  size_t root = RootLength(full), cut = 0;
  for (size_t i = root; full[i]; i++)
    if (IsSeparator(full[i]) && full[i + 1]) cut = i;
  full[cut > root ? cut : root] = 0;
  return root && Pin(full);
}

bool PinnedScan::Next(PinnedEntry& entry) {
  for (;;) {
    if (offset_ >= used_) {
      if (done_) return false;
      // A restart the first time; then the next batch until none is left.
      FILE_INFO_BY_HANDLE_CLASS what = started_ ? FileFullDirectoryInfo : FileFullDirectoryRestartInfo;
      started_ = true;
      if (!GetFileInformationByHandleEx(folder_, what, buffer_, sizeof buffer_)) {
        failed_ = GetLastError() != ERROR_NO_MORE_FILES;
        done_ = true;
        return false;
      }
      offset_ = 0;
      used_ = sizeof buffer_;
    }
    auto info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer_ + offset_);
    offset_ = info->NextEntryOffset ? offset_ + info->NextEntryOffset : used_;
    size_t length = info->FileNameLength / sizeof(wchar_t);
    if (length == 0 || length >= MAX_PATH) continue;
    CopyText(entry.name, info->FileName, length + 1);
    if (CompareTextExact(entry.name, L".") == 0 || CompareTextExact(entry.name, L"..") == 0) continue;
    entry.attributes = info->FileAttributes;
    // For a reparse point the field of extended attributes holds its tag.
    entry.reparseTag = (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info->EaSize : 0;
    entry.lastWrite = (uint64_t)info->LastWriteTime.QuadPart;
    return true;
  }
}

// ---------------------------------------------------------------- operations no link can redirect

bool GetFinalPath(const wchar_t* path, wchar_t* out, size_t capacity) {
  UniqueFile handle(WithLongRetry(path, [](const wchar_t* p) {
    return CreateFileW(p, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }));
  if (!handle) return false;
  wchar_t final[kPathCapacity], scratch[kPathCapacity];
  DWORD n = GetFinalPathNameByHandleW(handle.Get(), final, kPathCapacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= kPathCapacity) return false;
  CopyText(out, WithoutLongPrefix(final, scratch, kPathCapacity), capacity);
  return true;
}

bool ReadWhole(HANDLE file, GrowArray<unsigned char>& bytes, size_t limit) {
  for (;;) {
    size_t at = bytes.Count();
    if (at >= limit) return false;
    size_t chunk = limit - at < 65536 ? limit - at : 65536;
    bytes.AddElements(chunk);
    DWORD got = 0;
    if (!ReadFile(file, bytes.Data() + at, (DWORD)chunk, &got, nullptr)) got = 0;
    bytes.Shrink(at + got);
    if (got == 0) return true;
  }
}

bool ReadExactly(HANDLE file, void* buffer, size_t count) {
  DWORD got = 0;
  return count <= 0xFFFFFFFFu && (count == 0 || (ReadFile(file, buffer, (DWORD)count, &got, nullptr) && got == count));
}

bool WriteExactly(HANDLE file, const void* buffer, size_t count) {
  DWORD written = 0;
  return count <= 0xFFFFFFFFu &&
         (count == 0 || (WriteFile(file, buffer, (DWORD)count, &written, nullptr) && written == count));
}

// The handle's path below its volume's root, and its volume, against the
// path: for where the final path cannot be had (Wine gives none for paths
// past MAX_PATH).
static bool HandleIsPathByName(HANDLE handle, const wchar_t* path) {
  size_t root = RootLength(path);
  if (root == 0) return false;
  alignas(8) unsigned char buffer[sizeof(FILE_NAME_INFO) + kPathCapacity * sizeof(wchar_t)];
  auto info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
  if (!GetFileInformationByHandleEx(handle, FileNameInfo, info, sizeof buffer)) return false;
  int length = (int)(info->FileNameLength / sizeof(wchar_t));
  if (CompareStringOrdinal(info->FileName, length, path + root - 1, -1, TRUE) != CSTR_EQUAL) return false;
  wchar_t volume[kPathCapacity];
  CopyText(volume, path, root + 1);
  DWORD handleSerial = 0, pathSerial = 0;
  return GetVolumeInformationByHandleW(handle, nullptr, 0, &handleSerial, nullptr, nullptr, nullptr, 0) &&
         GetVolumeInformationW(volume, nullptr, 0, &pathSerial, nullptr, nullptr, nullptr, 0) &&
         handleSerial == pathSerial;
}

bool HandleIsPath(HANDLE handle, const wchar_t* path) {
  wchar_t final[kPathCapacity], full[kPathCapacity], longForm[kPathCapacity];
  wchar_t scratchA[kPathCapacity], scratchB[kPathCapacity];
  DWORD n = GetFullPathNameW(path, kPathCapacity, full, nullptr);
  if (n == 0 || n >= kPathCapacity) return false;
  const wchar_t* b = WithoutLongPrefix(full, scratchB, kPathCapacity);
  n = GetFinalPathNameByHandleW(handle, final, kPathCapacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  bool named = n > 0 && n < kPathCapacity;
  const wchar_t* a = named ? WithoutLongPrefix(final, scratchA, kPathCapacity) : nullptr;
  if (named ? CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL : HandleIsPathByName(handle, b)) return true;
  // Short (8.3) names become long ones (the file exists, so each part
  // does); looked up only when the plain comparison fails, for it reads
  // every folder on the way.
  n = GetLongPathNameW(full, longForm, kPathCapacity);
  if (n == 0 || n >= kPathCapacity || CompareTextExact(longForm, full) == 0) return false;
  b = WithoutLongPrefix(longForm, scratchB, kPathCapacity);
  return named ? CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL : HandleIsPathByName(handle, b);
}

bool DeleteByHandle(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) return true;
  // A read-only file loses that attribute first.
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
      !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
    return false;
  basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) &&
         SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

bool RenameByHandle(HANDLE handle, const wchar_t* to) {
  // The new name as the system's own form of a full path: "\??\C:\..." or
  // "\??\UNC\server\share\...".
  wchar_t full[kPathCapacity], scratch[kPathCapacity];
  DWORD n = GetFullPathNameW(to, kPathCapacity, full, nullptr);
  if (n == 0 || n >= kPathCapacity) return false;
  const wchar_t* plain = WithoutLongPrefix(full, scratch, kPathCapacity);
  PinnedChain chain;
  if (!chain.PinParent(plain)) return false;
  wchar_t target[kPathCapacity + 8];
  CopyText(target, plain[0] == L'\\' && plain[1] == L'\\' ? L"\\??\\UNC" : L"\\??\\");
  AppendText(target, plain[0] == L'\\' && plain[1] == L'\\' ? plain + 1 : plain);
  size_t length = TextLength(target);
  size_t bytes = sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t);
  GrowArray<unsigned char> buffer;
  if (!buffer.TryReserve(bytes)) return false;
  buffer.AddElements(bytes);
  auto info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.Data());
  ZeroMemory(info, bytes);
  info->ReplaceIfExists = TRUE;
  info->FileNameLength = (DWORD)(length * sizeof(wchar_t));
  CopyMemory(info->FileName, target, (length + 1) * sizeof(wchar_t));
  return SetFileInformationByHandle(handle, FileRenameInfo, info, (DWORD)bytes) != 0;
}

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

HANDLE OpenOwnImage() {
  wchar_t program[kPathCapacity];
  GetProgramPath(program);
  return WithLongRetry(program, [](const wchar_t* p) {
    return CreateFileW(p, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  });
}

HANDLE OpenForDeletion(const wchar_t* path) {
  UniqueFile file(WithLongRetry(path, [](const wchar_t* p) {
    return CreateFileW(p, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }));
  if (!file || !HandleIsPath(file.Get(), path)) return INVALID_HANDLE_VALUE;
  return file.Release();
}

namespace {

bool VolumeOf(HANDLE handle, DWORD& serial, DWORD& flags) {
  return GetVolumeInformationByHandleW(handle, nullptr, 0, &serial, nullptr, &flags, nullptr, 0) != 0;
}

}  // namespace

bool OnSameVolume(HANDLE a, HANDLE b) {
  DWORD serialA, serialB, flags;
  return VolumeOf(a, serialA, flags) && VolumeOf(b, serialB, flags) && serialA == serialB;
}

bool VolumeKeepsAccessLists(HANDLE handle) {
  DWORD serial, flags;
  return VolumeOf(handle, serial, flags) && (flags & FILE_PERSISTENT_ACLS);
}

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

HMODULE LoadSystemLibrary(const wchar_t* name) {
  wchar_t folder[kPathCapacity];
  UINT n = GetSystemDirectoryW(folder, kPathCapacity);
  if (n == 0 || n >= kPathCapacity) return nullptr;
  wchar_t path[kPathCapacity];
  JoinPath(folder, name, path);
  return LoadLibraryW(path);
}

HMODULE MapResourceModule(const wchar_t* path) { return LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE); }

bool IsOwnedByCurrentUser(const wchar_t* folder) {
  PSID owner = nullptr;
  UniqueLocal descriptor;
  if (GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            descriptor.Put()) != ERROR_SUCCESS)
    return false;
  bool same = false;
  UniqueHandle token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
    alignas(8) unsigned char buffer[256];
    DWORD size = 0;
    if (GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size))
      same = owner && EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
  }
  return same;
}
