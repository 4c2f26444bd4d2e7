// The file object, the operations on files and folders by name, whole
// reads and writes on a handle, modules and owners; and the helpers of
// util/file_internal.h, which every source of the layer shares.
#include "util/file.h"

#include <aclapi.h>

#include "util/array.h"
#include "util/file_internal.h"
#include "util/text.h"

bool MakeRetryPath(const wchar_t* path, wchar_t (&longName)[kPathCapacity]) {
  DWORD error = GetLastError();
  bool retry = error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED &&
               error != ERROR_SHARING_VIOLATION && MakeLongPathName(path, longName);
  SetLastError(error);
  return retry;
}

bool EndsInDotOrBlank(const wchar_t* name) {
  size_t n = TextLength(name);
  return n > 0 && (name[n - 1] == L'.' || name[n - 1] == L' ');
}

const wchar_t* WithoutLongPrefix(const wchar_t* path, wchar_t* scratch, size_t capacity) {
  if (StartsWithExact(path, L"\\\\?\\UNC\\")) {
    CopyText(scratch, L"\\", capacity);
    AppendText(scratch, path + 7, capacity);
    return scratch;
  }
  if (StartsWithExact(path, L"\\\\?\\")) return path + 4;
  return path;
}

// ---------------------------------------------------------------- the file object

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
  HANDLE h = WithExactName(name, create);
  CopyText(name_, name);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_.Reset(h);
  created_ = true;
  atEndAfterError_ = false;
  return true;
}

bool DiskFile::Close() {
  if (!handle_) return true;
  // Closed now, for its result: a write the system kept back can fail only now.
  return handle_.Close();
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
  // Windows strips a trailing dot or blank: "name." would delete "name".
  return WithExactName(name, [](const wchar_t* path) { return DeleteFileW(path) != 0; });
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
  return WithLongRetry(path, [&](const wchar_t* p) { return FitsBuffer(GetShortPathNameW(p, out, kPathCapacity), kPathCapacity); });
}

bool GetVolumeFolder(const wchar_t* path, wchar_t (&out)[kPathCapacity]) {
  return WithLongRetry(path, [&](const wchar_t* p) { return GetVolumePathNameW(p, out, kPathCapacity) != 0; });
}

int MakeFolder(const wchar_t* name) {
  // As for files: the plain form would make the folder without its
  // trailing dot or blank.
  if (WithExactName(name, [](const wchar_t* path) { return CreateDirectoryW(path, nullptr) != 0; })) return 0;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 2 : 1;
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

// ---------------------------------------------------------------- modules and owners

HMODULE LoadSystemLibrary(const wchar_t* name) {
  wchar_t folder[kPathCapacity];
  UINT n = GetSystemDirectoryW(folder, kPathCapacity);
  if (!FitsBuffer(n, kPathCapacity)) return nullptr;
  wchar_t path[kPathCapacity];
  JoinPath(folder, name, path);
  return LoadLibraryW(path);
}

HMODULE MapResourceModule(const wchar_t* path) {
  HMODULE module = nullptr;
  WithLongRetry(path, [&](const wchar_t* p) {
    return (module = LoadLibraryExW(p, nullptr, LOAD_LIBRARY_AS_DATAFILE)) != nullptr;
  });
  return module;
}

bool IsOwnedByCurrentUser(const wchar_t* folder) {
  PSID owner = nullptr;
  UniqueLocal descriptor;
  if (!WithLongRetry(folder, [&](const wchar_t* path) {
        DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                            nullptr, descriptor.Put());
        SetLastError(error);
        return error == ERROR_SUCCESS;
      }))
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
