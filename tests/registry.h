// The registry: a sandbox per test, and reading, writing and dumping keys.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Redirects HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT of
// this process to scratch keys for the scope, so tests cannot see or touch
// the prefix's real registry, nor each other's. (The 32-bit view and COM
// class lookups are not redirected; tests of those use the real registry.)
class RegistrySandbox {
 public:
  RegistrySandbox();
  // Joins the sandbox of another process (its base(), say through the
  // environment of a child), which stays when this one ends.
  explicit RegistrySandbox(const std::wstring& base);
  ~RegistrySandbox();
  const std::wstring& base() const { return base_; }

 private:
  void Redirect();
  std::wstring base_;
  bool owned_ = true;
  HKEY keys_[3] = {};
};

// Reads a registry value as text (REG_SZ) or number (REG_DWORD); `present`
// tells whether it was there.
std::wstring RegText(HKEY root, const std::wstring& key, const std::wstring& value, bool* present = nullptr,
                     REGSAM view = 0);
DWORD RegNumber(HKEY root, const std::wstring& key, const std::wstring& value, bool* present = nullptr,
                REGSAM view = 0);
bool RegKeyExists(HKEY root, const std::wstring& key, REGSAM view = 0);
void RegPutText(HKEY root, const std::wstring& key, const std::wstring& value, const std::wstring& data,
                REGSAM view = 0);
void RegPutNumber(HKEY root, const std::wstring& key, const std::wstring& value, DWORD data, REGSAM view = 0);
void RegPutRaw(HKEY root, const std::wstring& key, const std::wstring& value, DWORD type, const void* data,
               DWORD size, REGSAM view = 0);
void RegRemoveTree(HKEY root, const std::wstring& key, REGSAM view = 0);
// Every key and value below a key, one line each, sorted: for comparing
// states before and after.
std::vector<std::wstring> RegDump(HKEY root, const std::wstring& key, REGSAM view = 0);
