#include "util/path.h"

#include <shlobj.h>

#include "util/text.h"

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

size_t RootLength(const wchar_t* path) {
  if (IsLatinLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) return 3;
  if (IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t separators = 0, i = 2;
    for (; path[i]; i++)
      if (IsSeparator(path[i]) && ++separators == 2) return i + 1;
    return i;
  }
  return 0;
}

wchar_t* PointToName(const wchar_t* path) {
  const wchar_t* name = nullptr;
  for (const wchar_t* p = path; *p; p++)
    if (IsSeparator(*p)) name = p + 1;
  if (name) return (wchar_t*)name;
  if (path[0] && path[1] == L':') return (wchar_t*)path + 2;
  return (wchar_t*)path;
}

void RemoveName(wchar_t* path) {
  wchar_t* name = PointToName(path);
  if (name > path && IsSeparator(name[-1])) {
    wchar_t* separator = name - 1;
    // A root keeps its separator: "\file" and "C:\file".
    bool root = separator == path || (separator == path + 2 && path[1] == L':');
    *(root ? name : separator) = 0;
  } else {
    *name = 0;
  }
}

void ReplaceName(wchar_t* path, const wchar_t* name, size_t capacity) {
  wchar_t* at = PointToName(path);
  size_t used = (size_t)(at - path);
  if (used < capacity) CopyText(at, name, capacity - used);
}

void AddTrailingSeparator(wchar_t* path, size_t capacity) {
  size_t length = TextLength(path);
  if (length > 0 && path[length - 1] != L'\\' && length + 1 < capacity) {
    path[length] = L'\\';
    path[length + 1] = 0;
  }
}

void JoinPath(const wchar_t* folder, const wchar_t* name, wchar_t* dest, size_t capacity) {
  wchar_t scratch[kPathCapacity];
  CopyText(scratch, folder);
  bool bareDrive = IsDrivePath(scratch) && scratch[2] == 0;
  if (!bareDrive) AddTrailingSeparator(scratch);
  AppendText(scratch, name);
  CopyText(dest, scratch, capacity);
}

bool IsDrivePath(const wchar_t* path) { return IsLatinLetter(path[0]) && path[1] == L':'; }

bool IsFullPath(const wchar_t* path) {
  return (path[0] == L'\\' && path[1] == L'\\') || (IsDrivePath(path) && IsSeparator(path[2]));
}

bool HasWildcards(const wchar_t* path) {
  const wchar_t* p = path;
  if (p[0] == L'\\' && p[1] == L'\\' && p[2] == L'?' && p[3] == L'\\') p += 4;
  for (; *p; p++)
    if (*p == L'*' || *p == L'?') return true;
  return false;
}

bool MakeLongPathName(const wchar_t* path, wchar_t* dest, size_t capacity) {
  size_t length = TextLength(path);
  if (length == 0 || capacity == 0) return false;
  if (IsDrivePath(path) && IsSeparator(path[2])) {
    if (length + 4 >= capacity) return false;
    CopyText(dest, L"\\\\?\\", capacity);
    AppendText(dest, path, capacity);
    return true;
  }
  if (path[0] == L'\\' && path[1] == L'\\') {
    if (length + 6 >= capacity) return false;
    CopyText(dest, L"\\\\?\\UNC", capacity);
    AppendText(dest, path + 1, capacity);
    return true;
  }
  // One more than a path holds: a current directory of 2047 characters
  // still takes the separator appended below.
  wchar_t current[kPathCapacity + 1];
  DWORD n = GetCurrentDirectoryW(kPathCapacity, current);
  if (!FitsBuffer(n, kPathCapacity)) return false;
  if (IsSeparator(path[0])) {
    if (length + 6 >= capacity) return false;
    CopyText(dest, L"\\\\?\\", capacity);
    wchar_t drive[3] = {current[0], current[1], 0};
    AppendText(dest, drive, capacity);
    AppendText(dest, path, capacity);
    return true;
  }
  if (current[n - 1] != L'\\') {
    current[n++] = L'\\';
    current[n] = 0;
  }
  if (path[0] == L'.' && IsSeparator(path[1])) {
    path += 2;
    length -= 2;
  }
  if (n + length + 4 >= capacity) return false;
  CopyText(dest, L"\\\\?\\", capacity);
  AppendText(dest, current, capacity);
  AppendText(dest, path, capacity);
  return true;
}

void GetProgramPath(wchar_t* dest, size_t capacity) {
  if (capacity == 0) return;
  DWORD n = GetModuleFileNameW(nullptr, dest, capacity > 0xffff ? 0xffff : (DWORD)capacity);
  dest[n < capacity ? n : capacity - 1] = 0;
}

void GetProgramFile(const wchar_t* name, wchar_t* dest, size_t capacity) {
  GetProgramPath(dest, capacity);
  ReplaceName(dest, name, capacity);
}
