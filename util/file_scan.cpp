// Listing a folder by name, and looking at one entry.
#include "util/file.h"

#include "util/file_internal.h"
#include "util/text.h"

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
