#include "registry.h"
#include "support.h"

#include <shellapi.h>

#include <algorithm>
#include <map>
#include <set>
#include <string.h>
#include <stdio.h>

// ---------------------------------------------------------------- registry

RegistrySandbox::RegistrySandbox(bool usersCopy) : usersCopy_(usersCopy) {
  static unsigned counter;
  wchar_t name[96];
  wsprintfW(name, L"Software\\KvxTestSandbox\\%lu-%u", GetCurrentProcessId(), counter++);
  base_ = name;
  Redirect();
}

RegistrySandbox::RegistrySandbox(const std::wstring& base) : base_(base), owned_(false) { Redirect(); }

void RegistrySandbox::Redirect() {
  const HKEY roots[3] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT};
  const wchar_t* parts[3] = {L"\\HKCU", L"\\HKLM", usersCopy_ ? L"\\HKCR" : L"\\HKLM\\Software\\Classes"};
  for (int i = 0; i < 3; i++) {
    RegCreateKeyExW(HKEY_CURRENT_USER, (base_ + parts[i]).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &keys_[i], nullptr);
  }
  for (int i = 0; i < 3; i++) RegOverridePredefKey(roots[i], keys_[i]);
}

RegistrySandbox::~RegistrySandbox() {
  const HKEY roots[3] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT};
  for (int i = 0; i < 3; i++) RegOverridePredefKey(roots[i], nullptr);
  for (HKEY k : keys_) RegCloseKey(k);
  if (owned_) RegRemoveTree(HKEY_CURRENT_USER, base_);
}

static HKEY OpenKey(HKEY root, const std::wstring& key, REGSAM access) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, access, &k) != ERROR_SUCCESS) return nullptr;
  return k;
}

std::wstring RegText(HKEY root, const std::wstring& key, const std::wstring& value, bool* present, REGSAM view) {
  if (present) *present = false;
  HKEY k = OpenKey(root, key, KEY_QUERY_VALUE | view);
  if (!k) return L"";
  DWORD type = 0, size = 0;
  std::wstring out;
  if (RegQueryValueExW(k, value.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    if (present) *present = true;
    std::vector<wchar_t> buffer(size / 2 + 2, 0);
    RegQueryValueExW(k, value.c_str(), nullptr, &type, (BYTE*)buffer.data(), &size);
    out = buffer.data();
  }
  RegCloseKey(k);
  return out;
}

DWORD RegNumber(HKEY root, const std::wstring& key, const std::wstring& value, bool* present, REGSAM view) {
  if (present) *present = false;
  HKEY k = OpenKey(root, key, KEY_QUERY_VALUE | view);
  if (!k) return 0;
  DWORD data = 0, size = 4, type = 0;
  if (RegQueryValueExW(k, value.c_str(), nullptr, &type, (BYTE*)&data, &size) == ERROR_SUCCESS && present)
    *present = true;
  RegCloseKey(k);
  return data;
}

bool RegKeyExists(HKEY root, const std::wstring& key, REGSAM view) {
  HKEY k = OpenKey(root, key, KEY_QUERY_VALUE | view);
  if (k) RegCloseKey(k);
  return k != nullptr;
}

void RegPutRaw(HKEY root, const std::wstring& key, const std::wstring& value, DWORD type, const void* data,
               DWORD size, REGSAM view) {
  HKEY k = nullptr;
  if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &k, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(k, value.c_str(), 0, type, (const BYTE*)data, size);
  RegCloseKey(k);
}

void RegPutText(HKEY root, const std::wstring& key, const std::wstring& value, const std::wstring& data,
                REGSAM view) {
  RegPutRaw(root, key, value, REG_SZ, data.c_str(), (DWORD)(data.size() + 1) * 2, view);
}

void RegPutNumber(HKEY root, const std::wstring& key, const std::wstring& value, DWORD data, REGSAM view) {
  RegPutRaw(root, key, value, REG_DWORD, &data, 4, view);
}

void RegRemoveTree(HKEY root, const std::wstring& key, REGSAM view) {
  HKEY k = OpenKey(root, key, KEY_READ | view);
  if (!k) return;
  std::vector<std::wstring> children;
  wchar_t name[512];
  for (DWORD i = 0;; i++) {
    DWORD n = 512;
    if (RegEnumKeyExW(k, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(name);
  }
  RegCloseKey(k);
  for (auto& c : children) RegRemoveTree(root, key + L"\\" + c, view);
  RegDeleteKeyExW(root, key.c_str(), view, 0);
}

namespace {

// The registry's own dump of a key (RegSaveKeyExW: one request to the wine
// server for the whole tree, where a walk key by key takes thousands), read
// back into one line per key and per value. Wine writes keys as
// "[a\\b] <time>" (only those with values or without subkeys: their parents
// are added here), values as "name"=<data> or @=<data>, strings with C-like
// escapes and "\x" for characters past ASCII, long hex data over lines
// ending in "\".
std::wstring Unescape(const std::string& text, size_t& i, char end) {
  std::wstring out;
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
  for (; i < text.size() && text[i] != end; i++) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += (wchar_t)(unsigned char)text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'x') {
      size_t n = 0;
      while (n < 4 && i + 1 < text.size() && hex(text[i + 1])) n++, i++;
      out += (wchar_t)std::stoul(text.substr(i + 1 - n, n), nullptr, 16);
    } else if (c >= '0' && c <= '7') {
      unsigned v = 0;
      for (size_t n = 0; n < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7'; n++, i++) v = v * 8 + (text[i] - '0');
      i--;
      out += (wchar_t)v;
    } else {
      static const char kFrom[] = "abtnvfre", kTo[] = "\a\b\t\n\v\f\r\x1b";
      const char* at = strchr(kFrom, c);
      out += (wchar_t)(c && at ? kTo[at - kFrom] : c);
    }
  }
  return out;
}

void EnableBackupPrivilege() {
  static bool done;
  if (done) return;
  done = true;
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueW(nullptr, L"SeBackupPrivilege", &privileges.Privileges[0].Luid))
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  CloseHandle(token);
}

}  // namespace

std::vector<std::wstring> RegDump(HKEY root, const std::wstring& key, REGSAM view) {
  std::vector<std::wstring> out;
  HKEY k = OpenKey(root, key, KEY_READ | view);
  if (!k) return out;
  EnableBackupPrivilege();
  wchar_t folder[MAX_PATH], file[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, L"kvr", 0, file);
  DeleteFileW(file);  // the save makes the file itself
  LONG saved = RegSaveKeyExW(k, file, nullptr, REG_LATEST_FORMAT);
  RegCloseKey(k);
  Bytes bytes = ReadBytes(file);
  DeleteFileW(file);
  if (saved != ERROR_SUCCESS) {
    // Never an empty dump that would make every comparison pass.
    fprintf(stderr, "RegDump: the registry's dump of %s failed (%ld)\n", Narrow(key).c_str(), saved);
    ExitProcess(3);
  }
  std::string text(bytes.begin(), bytes.end());
  std::set<std::wstring> keys = {L"[" + key + L"]"};
  std::wstring shown = key;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    // Hex data continues over lines ending in a backslash.
    while (!line.empty() && line.back() == '\\' && at < text.size()) {
      line.pop_back();
      end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string next = text.substr(at, end - at);
      at = end + 1;
      line += next.substr(next.find_first_not_of(' ') == std::string::npos ? next.size() : next.find_first_not_of(' '));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t i = 1;
    if (line.size() > 1 && line[0] == '[') {
      std::wstring relative = Unescape(line, i, ']');
      shown = relative.empty() ? key : key + L"\\" + relative;
      for (size_t k2 = 1; k2 <= relative.size(); k2++)
        if (k2 == relative.size() || relative[k2] == L'\\')
          keys.insert(L"[" + key + L"\\" + relative.substr(0, k2) + L"]");
      continue;
    }
    std::wstring name;
    if (line.compare(0, 2, "@=") == 0) {
      i = 1;
    } else if (!line.empty() && line[0] == '"') {
      name = Unescape(line, i, '"');
      i++;
    } else {
      continue;  // the header, comments and "#time" lines
    }
    if (i >= line.size() || line[i] != '=') continue;
    std::string data = line.substr(i + 1);
    std::wstring value;
    if (!data.empty() && data[0] == '"') {
      size_t j = 1;
      value = L"sz:" + Unescape(data, j, '"');
    } else if (data.compare(0, 4, "str(") == 0) {
      size_t j = data.find('"') + 1;
      std::string type = data.substr(4, data.find(')') - 4);
      value = (type == "2" ? L"sz:" : L"type" + Widen(type) + L":") + Unescape(data, j, '"');
    } else if (data.compare(0, 6, "dword:") == 0) {
      value = L"dword:" + std::to_wstring(std::stoul(data.substr(6), nullptr, 16));
    } else if (data.compare(0, 4, "hex:") == 0) {
      value = L"type3:" + Widen(data.substr(4));
    } else if (data.compare(0, 4, "hex(") == 0) {
      value = L"type" + std::to_wstring(std::stoul(data.substr(4), nullptr, 16)) + L":" +
              Widen(data.substr(data.find(':') + 1));
    } else {
      value = Widen(data);
    }
    out.push_back(L"[" + shown + L"] \"" + name + L"\" " + value);
  }
  out.insert(out.end(), keys.begin(), keys.end());
  std::sort(out.begin(), out.end());
  return out;
}
