// Snapshots of the system state a setup and an uninstall touch: the
// registry (HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE\Software and
// HKEY_CURRENT_USER\Software, both views) and the shortcut folders.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "support.h"

// Every key and value of the three registry parts, one line each, sorted.
std::vector<std::wstring> Snapshot();

// Lines of `after` that are not in `before`, and the other way round; what
// Wine itself keeps writing (its own settings, shell caches) is left out.
struct Difference {
  std::vector<std::wstring> added, removed;
};
bool Volatile(const std::wstring& line);
Difference Compare(const std::vector<std::wstring>& before, const std::vector<std::wstring>& after);
// Added lines other than keys that are empty now: a removal deletes a key,
// never its parents, so parents that only held what was removed again stay.
std::vector<std::wstring> UnexpectedAdditions(const Difference& d);
// The first lines, for a failure message.
std::string Show(const std::vector<std::wstring>& lines);

// The desktops and start menus (of the user and of all users), recursively.
struct Folders {
  std::vector<std::wstring> paths;
  Folders();
  static void List(const std::wstring& folder, std::vector<std::wstring>& out);
  std::vector<std::wstring> Snapshot() const;
};
