// Directory enumeration over FindFirstFileW / FindNextFileW, with the
// long-path retry, and the lookup of one named entry.
#pragma once
#include <stdint.h>
#include <windows.h>

#include "util/handles.h"
#include "util/path.h"

struct FoundEntry {
  wchar_t name[kPathCapacity];  // the mask with its name part replaced
  uint64_t size;
  DWORD attributes;
  bool isDirectory;
  bool isReparsePoint;
  bool error;  // a search failed for a reason other than "nothing (more) matched"
};

class DirectoryScan {
 public:
  DirectoryScan() = default;
  ~DirectoryScan() { Close(); }
  DirectoryScan(const DirectoryScan&) = delete;
  DirectoryScan& operator=(const DirectoryScan&) = delete;

  void SetMask(const wchar_t* mask);
  // The next entry other than "." and ".."; false when there is none.
  bool Next(FoundEntry& entry);
  void Close();

 private:
  friend bool FindSingle(const wchar_t* path, FoundEntry& entry);
  bool Step(FoundEntry& entry);

  wchar_t mask_[kPathCapacity] = {};
  UniqueFind search_;
};

// Fills the entry of one file or folder; a path with wildcards is refused.
bool FindSingle(const wchar_t* path, FoundEntry& entry);
