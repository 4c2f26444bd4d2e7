// The registry: a sandbox per test, and reading, writing and dumping keys.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Redirects HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT of
// this process to scratch keys for the scope, so tests cannot see or touch
// the prefix's real registry, nor each other's. (The 32-bit view and COM
// class lookups are not redirected; tests of those use the real registry.)
// HKEY_CLASSES_ROOT is the scratch machine's "Software\Classes", as under
// Wine; with `usersCopy` it is a key of its own instead, which plays the
// view Windows gives an elevated process: the user's own classes merged
// over the machine's, where a write through it would land in the user's
// copy and a read would see the user's values.
class RegistrySandbox {
 public:
  explicit RegistrySandbox(bool usersCopy = false);
  // Joins the sandbox of another process (its base(), say through the
  // environment of a child), which stays when this one ends.
  explicit RegistrySandbox(const std::wstring& base);
  ~RegistrySandbox();
  const std::wstring& base() const { return base_; }

 private:
  void Redirect();
  std::wstring base_;
  bool owned_ = true, usersCopy_ = false;
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
