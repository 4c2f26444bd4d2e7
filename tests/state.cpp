#include "state.h"

#include <shlobj.h>

#include <algorithm>
#include <set>

std::vector<std::wstring> Snapshot() {
  std::vector<std::wstring> all;
  for (auto root : {std::make_pair(HKEY_CLASSES_ROOT, L""), std::make_pair(HKEY_LOCAL_MACHINE, L"Software"),
                    std::make_pair(HKEY_CURRENT_USER, L"Software")}) {
    std::vector<std::wstring> part = RegDump(root.first, root.second);
    for (auto& line : part) all.push_back(std::to_wstring((ULONG_PTR)root.first & 0xF) + line);
  }
  std::sort(all.begin(), all.end());
  return all;
}

bool Volatile(const std::wstring& line) {
  static const wchar_t* const kVolatile[] = {L"\\Software\\Wine", L"Software\\Wine", L"\\Explorer\\", L"Session Manager",
                                             L"KvxTestSandbox", L"KvxViewTest"};
  for (const wchar_t* v : kVolatile)
    if (line.find(v) != std::wstring::npos) return true;
  return false;
}

Difference Compare(const std::vector<std::wstring>& before, const std::vector<std::wstring>& after) {
  Difference d;
  std::set<std::wstring> b(before.begin(), before.end()), a(after.begin(), after.end());
  for (auto& line : after)
    if (!b.count(line) && !Volatile(line)) d.added.push_back(line);
  for (auto& line : before)
    if (!a.count(line) && !Volatile(line)) d.removed.push_back(line);
  return d;
}

std::string Show(const std::vector<std::wstring>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size() && i < 40; i++) out += Narrow(lines[i]) + "\n";
  return out;
}

Folders::Folders() {
    for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU}) {
      wchar_t path[MAX_PATH];
      if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, path))) paths.push_back(path);
    }
}

void Folders::List(const std::wstring& folder, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      out.push_back(folder + L"\\" + name);
      // A linked folder is listed but not walked: it may lead anywhere, even
      // back up to one of its parents.
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        List(folder + L"\\" + name, out);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

std::vector<std::wstring> Folders::Snapshot() const {
    std::vector<std::wstring> out;
    for (auto& p : paths) List(p, out);
    std::sort(out.begin(), out.end());
    return out;
  }

std::vector<std::wstring> UnexpectedAdditions(const Difference& d) {
  std::vector<std::wstring> unexpected;
  for (auto& line : d.added) {
    bool emptyKey = line.size() > 2 && line.back() == L']';
    if (emptyKey) {
      std::wstring prefix = line.substr(0, line.size() - 1);
      for (auto& other : d.added)
        if (other != line && other.compare(0, prefix.size(), prefix) == 0) emptyKey = false;
    }
    if (!emptyKey) unexpected.push_back(line);
  }
  return unexpected;
}
