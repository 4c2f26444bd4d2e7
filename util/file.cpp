#include "util/file.h"

#include "util/array.h"
#include "util/text.h"

// Runs call(path) and, when it fails and the long form can be made, once more
// with the long form.
template <class Call> static auto WithLongRetry(const wchar_t* path, Call call) -> decltype(call(path)) {
  auto result = call(path);
  if (result) return result;
  wchar_t longName[kPathCapacity];
  DWORD error = GetLastError();
  if (!MakeLongPathName(path, longName)) {
    SetLastError(error);
    return result;
  }
  return call(longName);
}

static bool EndsInDotOrBlank(const wchar_t* name) {
  size_t n = TextLength(name);
  return n > 0 && (name[n - 1] == L'.' || name[n - 1] == L' ');
}

DiskFile::~DiskFile() {
  if (!handle_) return;
  handle_.reset();
  // Only a new file that was abandoned before Close is removed.
  if (created_) DeleteFileByName(name_);
}

bool DiskFile::Open(const wchar_t* name, uint32_t mode) {
  Close();
  DWORD access = GENERIC_READ | ((mode & kFileWrite) ? GENERIC_WRITE : 0);
  DWORD share = FILE_SHARE_READ | ((mode & kFileShareWrite) ? FILE_SHARE_WRITE : 0);
  HANDLE h = WithLongRetry(name, [&](const wchar_t* path) {
    HANDLE r = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return r == INVALID_HANDLE_VALUE ? nullptr : r;
  });
  if (!h) return false;
  handle_.reset(h);
  created_ = false;
  atEndAfterError_ = false;
  CopyText(name_, name);
  return true;
}

bool DiskFile::Create(const wchar_t* name, uint32_t mode) {
  Close();
  DWORD share = (mode & kFileShareRead) ? FILE_SHARE_READ : 0;
  auto create = [&](const wchar_t* path) {
    HANDLE r = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, 0, nullptr);
    return r == INVALID_HANDLE_VALUE ? nullptr : r;
  };
  HANDLE h = nullptr;
  if (EndsInDotOrBlank(name)) {
    // The plain form would lose a trailing dot or blank; only the long form keeps it.
    wchar_t longName[kPathCapacity];
    if (MakeLongPathName(name, longName)) h = create(longName);
  } else {
    h = WithLongRetry(name, create);
  }
  CopyText(name_, name);
  if (!h) return false;
  handle_.reset(h);
  created_ = true;
  atEndAfterError_ = false;
  return true;
}

bool DiskFile::Close() {
  if (!handle_) return true;
  // Closed here rather than by the owner, for its result: a write the
  // system kept back can fail only now.
  bool ok = CloseHandle(handle_.release()) != 0;
  return ok;
}

size_t DiskFile::RawRead(void* buffer, DWORD count) {
  DWORD got = 0;
  if (ReadFile(handle_.get(), buffer, count, &got, nullptr)) return got;
  DWORD error = GetLastError();
  DWORD type = GetFileType(handle_.get());
  DWORD retry = 0;
  if ((type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) && count > 20000) retry = 20000;
  else if (type == FILE_TYPE_DISK && count >= 32769 && error == ERROR_LOCK_VIOLATION) retry = 32768;
  if (retry && ReadFile(handle_.get(), buffer, retry, &got, nullptr)) return got;
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
  if (count == 0) return true;
  if (!handle_ || count > 0xFFFFFFFFu) return false;
  DWORD written = 0;
  return WriteFile(handle_.get(), buffer, (DWORD)count, &written, nullptr) && written == count;
}

bool DiskFile::Seek(int64_t offset, SeekOrigin origin) {
  if (!handle_) return false;
  if (offset < 0 && origin != SeekOrigin::Begin) {
    int64_t base;
    if (origin == SeekOrigin::Current) {
      base = Tell();
    } else {
      LARGE_INTEGER size;
      base = GetFileSizeEx(handle_.get(), &size) ? size.QuadPart : -1;
    }
    if (base < 0) return false;
    offset += base;
    origin = SeekOrigin::Begin;
  }
  LARGE_INTEGER move;
  move.QuadPart = offset;
  DWORD method = origin == SeekOrigin::Begin ? FILE_BEGIN : origin == SeekOrigin::Current ? FILE_CURRENT : FILE_END;
  return (offset >= 0 || origin != SeekOrigin::Begin) && SetFilePointerEx(handle_.get(), move, nullptr, method) != 0;
}

int64_t DiskFile::Tell() {
  if (!handle_) return -1;
  LARGE_INTEGER zero = {}, position;
  if (!SetFilePointerEx(handle_.get(), zero, &position, FILE_CURRENT)) return -1;
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

bool MoveByName(const wchar_t* from, const wchar_t* to) {
  if (MoveFileW(from, to)) return true;
  wchar_t longFrom[kPathCapacity], longTo[kPathCapacity];
  return MakeLongPathName(from, longFrom) && MakeLongPathName(to, longTo) && MoveFileW(longFrom, longTo);
}

bool DeleteAtRestart(const wchar_t* name) {
  return WithLongRetry(name, [](const wchar_t* path) {
    return MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  });
}

DWORD GetAttributes(const wchar_t* name) {
  DWORD attributes = GetFileAttributesW(name);
  if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
  wchar_t longName[kPathCapacity];
  if (MakeLongPathName(name, longName)) attributes = GetFileAttributesW(longName);
  return attributes;
}

bool FileExists(const wchar_t* name) { return GetAttributes(name) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectoryAttr(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsReparsePointAttr(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int MakeFolder(const wchar_t* name) {
  bool plain = !EndsInDotOrBlank(name);
  bool ok = plain && CreateDirectoryW(name, nullptr);
  DWORD error = ok ? ERROR_SUCCESS : plain ? GetLastError() : ERROR_INVALID_NAME;
  if (!ok && !FileExists(name)) {
    wchar_t longName[kPathCapacity];
    if (MakeLongPathName(name, longName)) {
      ok = CreateDirectoryW(longName, nullptr) != 0;
      if (!ok) error = GetLastError();
    }
  }
  if (ok) return 0;
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 2 : 1;
}
