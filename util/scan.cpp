#include "util/scan.h"

#include "util/file.h"
#include "util/text.h"

void DirectoryScan::SetMask(const wchar_t* mask) {
  Close();
  CopyText(mask_, mask);
}

void DirectoryScan::Close() {
  search_.reset();
}

bool DirectoryScan::Step(FoundEntry& entry) {
  WIN32_FIND_DATAW data;
  if (!search_) {
    search_.reset(FindFirstFileW(mask_, &data));
    if (!search_) {
      wchar_t longMask[kPathCapacity];
      DWORD error = GetLastError();
      if (MakeLongPathName(mask_, longMask)) {
        search_.reset(FindFirstFileW(longMask, &data));
        if (!search_) error = GetLastError();
      }
      if (!search_) {
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_NO_MORE_FILES)
          entry.error = true;
        return false;
      }
    }
  } else if (!FindNextFileW(search_.get(), &data)) {
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
