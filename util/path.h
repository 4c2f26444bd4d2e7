// Paths in fixed wide buffers: name part, folder, joining, classification,
// the extended-length form for retries and loading libraries from the
// system folder. No file-system calls besides those (see util/file.h).
#pragma once
#include <stddef.h>
#include <windows.h>

// The program's path limit, terminator included.
const size_t kPathCapacity = 2048;

// A backslash or a slash.
bool IsSeparator(wchar_t c);
// Where the first component below a full path's root starts: after "C:\"
// or after "\\server\share\"; 0 for a path without such a root.
size_t RootLength(const wchar_t* path);
wchar_t* PointToName(const wchar_t* path);
void RemoveName(wchar_t* path);
void ReplaceName(wchar_t* path, const wchar_t* name, size_t capacity);
void AddTrailingSeparator(wchar_t* path, size_t capacity);
void JoinPath(const wchar_t* folder, const wchar_t* name, wchar_t* dest, size_t capacity);
bool IsDrivePath(const wchar_t* path);
bool IsFullPath(const wchar_t* path);
bool HasWildcards(const wchar_t* path);
bool MakeLongPathName(const wchar_t* path, wchar_t* dest, size_t capacity);

// The running program's full path and its folder (no trailing separator).
void GetProgramPath(wchar_t* dest, size_t capacity);
// The program's path with its name replaced: a file beside the program.
void GetProgramFile(const wchar_t* name, wchar_t* dest, size_t capacity);

template <size_t N> void ReplaceName(wchar_t (&path)[N], const wchar_t* name) { ReplaceName(path, name, N); }
template <size_t N> void AddTrailingSeparator(wchar_t (&path)[N]) { AddTrailingSeparator(path, N); }
template <size_t N> void JoinPath(const wchar_t* folder, const wchar_t* name, wchar_t (&dest)[N]) {
  JoinPath(folder, name, dest, N);
}
template <size_t N> bool MakeLongPathName(const wchar_t* path, wchar_t (&dest)[N]) {
  return MakeLongPathName(path, dest, N);
}
template <size_t N> void GetProgramPath(wchar_t (&dest)[N]) { GetProgramPath(dest, N); }
template <size_t N> void GetProgramFile(const wchar_t* name, wchar_t (&dest)[N]) { GetProgramFile(name, dest, N); }
