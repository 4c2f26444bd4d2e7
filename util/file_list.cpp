#include "util/file_list.h"

#include <string.h>
#include <windows.h>

#include "util/path.h"
#include "util/text.h"

void ParseFileList(const char* bytes, size_t count, GrowArray<FileListEntry>& entries) {
  const size_t kPiece = 2047;  // what a 2048-byte line buffer holds
  size_t at = 0;
  while (at < count) {
    size_t end = at;
    while (end < count && end - at < kPiece) {
      if (bytes[end++] == '\n') break;
    }
    size_t length = 0;
    while (at + length < end && bytes[at + length]) length++;
    while (length) {
      char c = bytes[at + length - 1];
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
      length--;
    }
    if (length) entries.PushElement(FileListEntry{at, length});
    at = end;
  }
}

void ReadFileList(DiskFile& file, FileList& list, size_t limit) {
  for (;;) {
    size_t at = list.bytes.Count();
    list.bytes.AddElements(65536);
    size_t got = file.Read(list.bytes.Data() + at, 65536);
    list.bytes.Shrink(at + got);
    if (got == 0 || list.bytes.Count() >= limit) break;
  }
  ParseFileList(list.bytes.Data(), list.bytes.Count(), list.entries);
}

size_t ListedPath(const FileList& list, size_t i, wchar_t* full, size_t capacity, size_t folderLength) {
  const FileListEntry& e = list.entries[i];
  char line[2048];  // entries are at most 2047 bytes
  size_t length = e.length < sizeof line - 1 ? e.length : sizeof line - 1;
  for (size_t k = 0; k < length; k++) line[k] = list.bytes[e.offset + k];
  line[length] = 0;
  if (folderLength >= capacity) return 0;
  wchar_t* entry = full + folderLength;
  int n = MultiByteToWideChar(CP_ACP, 0, line, -1, entry, (int)(capacity - folderLength));
  // One leading separator still names something inside the program folder
  // ("\Formats\x"); two begin a network path.
  if (n > 1 && IsSeparator(entry[0]) && !IsSeparator(entry[1])) {
    memmove(entry, entry + 1, (size_t)(n - 1) * sizeof(wchar_t));
    n--;
  }
  return n > 1 && IsContainedEntry(entry) ? (size_t)n : 0;
}

bool IsContainedEntry(const wchar_t* entry) {
  if (IsSeparator(entry[0])) return false;
  for (const wchar_t* p = entry; *p; p++)
    if (*p == L':') return false;
  const wchar_t* component = entry;
  for (const wchar_t* p = entry;; p++) {
    if (IsSeparator(*p) || *p == 0) {
      bool onlyDots = p > component, anyDot = false;
      for (const wchar_t* q = component; q < p; q++) {
        if (*q == L'.') anyDot = true;
        else if (*q != L' ') onlyDots = false;
      }
      if (onlyDots && anyDot) return false;
      if (*p == 0) break;
      component = p + 1;
    }
  }
  return true;
}
