#include "util/links.h"

#include "util/array.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/path.h"
#include "util/scan.h"
#include "util/text.h"

namespace {

// Runs the call with the path and, when that fails and the extended-length
// form can be made, once more with that form.
template <class Call> HANDLE WithLongForm(const wchar_t* path, Call call) {
  HANDLE h = call(path);
  if (h != INVALID_HANDLE_VALUE) return h;
  DWORD error = GetLastError();
  wchar_t longName[kPathCapacity];
  if (error == ERROR_FILE_EXISTS || error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
      !MakeLongPathName(path, longName))
    return SetLastError(error), INVALID_HANDLE_VALUE;
  return call(longName);
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

// Where the first component below the root starts: after "C:\" or after
// "\\server\share\"; 0 for a path without such a root.
size_t RootLength(const wchar_t* path) {
  if (IsLatinLetter(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) return 3;
  if (path[0] == L'\\' && path[1] == L'\\') {
    size_t separators = 0, i = 2;
    for (; path[i]; i++)
      if ((path[i] == L'\\' || path[i] == L'/') && ++separators == 2) return i + 1;
    return i;
  }
  return 0;
}

// A reparse point whose tag says it stands for another name; one without a
// tag (Wine gives none) counts as a link too.
bool IsLinkEntry(const WIN32_FIND_DATAW& data) {
  return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (data.dwReserved0 == 0 || IsReparseTagNameSurrogate(data.dwReserved0));
}

}  // namespace

bool RemoveFolderUnredirected(const wchar_t* path) {
  UniqueFile folder(WithLongForm(path, [](const wchar_t* p) {
    return CreateFileW(p, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }));
  return folder && HandleIsPath(folder.get(), path) && DeleteByHandle(folder.get());
}

bool CreateFolderUnredirected(const wchar_t* path) {
  if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  UniqueFile folder(WithLongForm(path, [](const wchar_t* p) {
    return CreateFileW(p, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }));
  BY_HANDLE_FILE_INFORMATION info;
  return folder && GetFileInformationByHandle(folder.get(), &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         HandleIsPath(folder.get(), path);
}

bool PathCrossesLink(const wchar_t* path) {
  wchar_t scratch[kPathCapacity];
  const wchar_t* plain = WithoutLongPrefix(path, scratch, kPathCapacity);
  size_t start = RootLength(plain);
  if (start == 0) return false;
  wchar_t prefix[kPathCapacity];
  for (size_t i = start;; i++) {
    wchar_t c = plain[i];
    if (c != 0 && c != L'\\' && c != L'/') continue;
    if (i > start && plain[i - 1] != L'\\' && plain[i - 1] != L'/') {
      CopyText(prefix, plain, i + 1 < kPathCapacity ? i + 1 : kPathCapacity);
      WIN32_FIND_DATAW data;
      UniqueFind find(WithLongForm(prefix, [&](const wchar_t* p) { return FindFirstFileW(p, &data); }));
      if (!find) return false;  // nothing below a missing folder exists either
      if (IsLinkEntry(data)) return true;
    }
    if (c == 0) return false;
  }
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

HANDLE OpenUnredirected(const wchar_t* path, DWORD access, DWORD share, DWORD disposition) {
  if (disposition != CREATE_NEW && disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  bool created = false;
  auto open = [&](DWORD extra) {
    return WithLongForm(path, [&](const wchar_t* p) {
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
  if (own) return file.release();
  if (created) DeleteByHandle(h);
  file.reset();
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

bool DeleteUnredirected(const wchar_t* path) {
  DWORD attributes = GetAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  UniqueFile file(WithLongForm(path, [](const wchar_t* p) {
    return CreateFileW(p, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }));
  // A link object opened as such is at its own path and goes itself; a file
  // reached through a link is elsewhere and stays.
  return file && HandleIsPath(file.get(), path) && DeleteByHandle(file.get());
}

void DeleteTreeUnredirected(const wchar_t* path) {
  if (!IsDirectoryAttr(GetAttributes(path)) || PathCrossesLink(path)) return;
  // The folders in the order found (each after the one that holds it);
  // they are removed the other way round, once emptied.
  GrowArray<wchar_t> names;
  GrowArray<size_t> folders;
  auto remember = [&](const wchar_t* folder) {
    size_t at = names.Count(), length = TextLength(folder) + 1;
    names.AddElements(length);
    CopyText(names.Data() + at, folder, length);
    folders.PushElement(at);
  };
  remember(path);
  wchar_t folder[kPathCapacity], mask[kPathCapacity];
  for (size_t i = 0; i < folders.Count(); i++) {
    CopyText(folder, names.Data() + folders[i]);
    JoinPath(folder, L"*", mask);
    DirectoryScan scan;
    scan.SetMask(mask);
    FoundEntry entry;
    while (scan.Next(entry)) {
      if (entry.isDirectory && entry.isReparsePoint) RemoveFolderUnredirected(entry.name);  // the link itself
      else if (entry.isDirectory) remember(entry.name);
      else DeleteUnredirected(entry.name);
    }
  }
  for (size_t i = folders.Count(); i-- > 0;) RemoveFolderUnredirected(names.Data() + folders[i]);
}

bool CopyFileUnredirected(const wchar_t* from, const wchar_t* to, size_t limit) {
  UniqueFile source(OpenUnredirected(from, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  LARGE_INTEGER size;
  if (!source || !GetFileSizeEx(source.get(), &size) || (uint64_t)size.QuadPart > limit) return false;
  GrowArray<char> bytes;
  if (!bytes.TryReserve((size_t)size.QuadPart + 1)) return false;
  bytes.AddElements((size_t)size.QuadPart);
  DWORD got = 0;
  if (size.QuadPart > 0 && (!ReadFile(source.get(), bytes.Data(), (DWORD)size.QuadPart, &got, nullptr) ||
                            got != (DWORD)size.QuadPart))
    return false;
  UniqueFile target(OpenUnredirected(to, GENERIC_WRITE, 0, CREATE_NEW));
  if (!target) return false;
  DWORD written = 0;
  if (got == 0 || (WriteFile(target.get(), bytes.Data(), got, &written, nullptr) && written == got)) return true;
  DeleteByHandle(target.get());
  return false;
}
