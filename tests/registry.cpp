#include "registry.h"
#include "support.h"

#include <shellapi.h>

#include <algorithm>
#include <map>

// ---------------------------------------------------------------- registry

RegistrySandbox::RegistrySandbox() {
  static unsigned counter;
  wchar_t name[96];
  wsprintfW(name, L"Software\\KvxTestSandbox\\%lu-%u", GetCurrentProcessId(), counter++);
  base_ = name;
  Redirect();
}

RegistrySandbox::RegistrySandbox(const std::wstring& base) : base_(base), owned_(false) { Redirect(); }

void RegistrySandbox::Redirect() {
  const HKEY roots[3] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT};
  const wchar_t* parts[3] = {L"\\HKCU", L"\\HKLM", L"\\HKCR"};
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

static void DumpInto(HKEY root, const std::wstring& key, const std::wstring& shown, REGSAM view,
                     std::vector<std::wstring>& out) {
  HKEY k = OpenKey(root, key, KEY_READ | view);
  if (!k) return;
  out.push_back(L"[" + shown + L"]");
  std::vector<wchar_t> name(16384), data(65536);
  for (DWORD i = 0;; i++) {
    DWORD n = (DWORD)name.size(), size = (DWORD)data.size() * 2, type = 0;
    if (RegEnumValueW(k, i, name.data(), &n, nullptr, &type, (BYTE*)data.data(), &size) != ERROR_SUCCESS) break;
    std::wstring line = L"[" + shown + L"] \"" + std::wstring(name.data(), n) + L"\" ";
    if (type == REG_SZ || type == REG_EXPAND_SZ) line += L"sz:" + std::wstring(data.data(), size / 2);
    else if (type == REG_DWORD) line += L"dword:" + std::to_wstring(*(DWORD*)data.data());
    else line += L"type" + std::to_wstring(type) + L":" + std::to_wstring(size);
    out.push_back(line);
  }
  std::vector<std::wstring> children;
  for (DWORD i = 0;; i++) {
    DWORD n = (DWORD)name.size();
    if (RegEnumKeyExW(k, i, name.data(), &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(std::wstring(name.data(), n));
  }
  RegCloseKey(k);
  for (auto& c : children) DumpInto(root, key.empty() ? c : key + L"\\" + c, shown + L"\\" + c, view, out);
}

std::vector<std::wstring> RegDump(HKEY root, const std::wstring& key, REGSAM view) {
  std::vector<std::wstring> out;
  DumpInto(root, key, key, view, out);
  std::sort(out.begin(), out.end());
  return out;
}
