// Import hooks: what Wine cannot bring about (a path limit, exhausted
// memory), made for the scope without touching the product.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// Replaces functions of system DLLs in the import tables of this program and
// of the C runtime for the scope: a way to bring about what Wine cannot
// (a path limit, exhausted memory) without touching the product.
// The system's own function, for a hook that passes a call on.
template <class F> F RealFunction(F, const char* name) {
  return (F)(void*)GetProcAddress(GetModuleHandleW(L"kernel32"), name);
}

class ImportHooks {
 public:
  explicit ImportHooks(const std::vector<std::pair<const char*, void*>>& hooks);
  ~ImportHooks();
  ImportHooks(const ImportHooks&) = delete;
  ImportHooks& operator=(const ImportHooks&) = delete;
  size_t Patched() const { return patched_.size(); }

 private:
  static void Put(void** slot, void* value);
  std::vector<std::pair<void**, void*>> patched_;
};

// Windows without long-path support, for the scope: a file-system call on a
// plain path of MAX_PATH characters or more fails with ERROR_PATH_NOT_FOUND,
// while the extended-length form works (Wine itself has no such limit).
// Optionally the program's own path, as GetModuleFileNameW(NULL) gives it,
// is another.
class ClassicPathLimit {
 public:
  explicit ClassicPathLimit(const std::wstring& programPath = L"");
  ~ClassicPathLimit();
  size_t Patched() const { return hooks_.Patched(); }

 private:
  std::wstring program_;
  ImportHooks hooks_;
};

// No heap block larger than `largest` bytes can be had, for the scope.
class ScarceMemory {
 public:
  explicit ScarceMemory(size_t largest);
  size_t Patched() const { return hooks_.Patched(); }

 private:
  ImportHooks hooks_;
};

// Every object shows the owner and the access list of `sddl` for the scope,
// as a folder that only administrators may change shows them on Windows
// (Wine reports every object as the user's, with a list that lets them in).
class ShownSecurity {
 public:
  explicit ShownSecurity(const wchar_t* sddl);

 private:
  ImportHooks hooks_;
};
