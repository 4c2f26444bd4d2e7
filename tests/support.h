// Helpers shared by the test programs: scratch folders, registry sandboxes,
// child processes, file contents.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A folder of its own under the temporary folder, removed with everything
// in it at the end of the scope.
class TempFolder {
 public:
  explicit TempFolder(const std::wstring& hint = L"kvx");
  ~TempFolder();
  const std::wstring& Path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

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

// Paths of the build: the product and the stand-ins.
std::wstring BuildDir();  // the build tree, as a Windows path
std::wstring ProductExe();
std::wstring FixturePath(const std::wstring& name);
std::wstring SourceDir();

struct ProcessResult {
  DWORD exitCode = 0xFFFFFFFF;
  DWORD milliseconds = 0;
  bool timedOut = false;
  DWORD startError = 0;  // when the process could not be started
};
// Runs a command line; `environment` entries ("NAME=value") are added to a
// copy of ours ("NAME=" removes one).
// `onStarted` runs with the new process id while the process runs.
ProcessResult RunProcess(const std::wstring& commandLine, const std::vector<std::wstring>& environment = {},
                         DWORD timeoutMs = 60000, const std::wstring& currentDirectory = L"",
                         const std::function<void(DWORD)>& onStarted = nullptr);

// Watches for the first dialog window (a message box or a modal dialog) of
// one process (0: this one) on a thread of its own, records its caption and
// text, and answers it with a command id (0: leave it open). Stops at the
// end of the scope, when the time is up or when the watched process ends.
class DialogWatcher {
 public:
  explicit DialogWatcher(int answer, DWORD processId = 0, DWORD timeoutMs = 30000);
  // Runs `action` on the dialog (on the watcher's thread) instead of answering it.
  DialogWatcher(std::function<void(HWND)> action, DWORD processId = 0, DWORD timeoutMs = 30000);
  ~DialogWatcher();
  void Wait();  // until a dialog was answered or the time is up
  // Until the answered dialog has closed (a busy process may take a while
  // to act on the answer), so that the next watcher does not find it again.
  void WaitUntilClosed(DWORD timeoutMs = 60000) const;
  bool Seen() const { return seen_; }
  HWND Window() const { return window_; }
  std::wstring caption, text;
  DWORD exStyle = 0;

 private:
  static DWORD WINAPI Thread(void* self);
  std::function<void(HWND)> action_;
  int answer_;
  DWORD processId_, timeoutMs_;
  volatile bool seen_ = false, stop_ = false;
  HWND window_ = nullptr;
  HANDLE thread_ = nullptr;
};

// Registers a function that this test program runs instead of its tests
// when started with --child=<name>; RunChild starts that and returns the
// exit code. For outcomes that end the process.
struct ChildRegistrar {
  ChildRegistrar(const char* name, int (*fn)());
};
#define KVX_CHILD(name)                                    \
  static int name##_child();                               \
  static ChildRegistrar name##_registrar(#name, name##_child); \
  static int name##_child()
DWORD RunChild(const char* name, const std::vector<std::wstring>& environment = {});
int RunRegisteredChild(const std::string& name);

// Holds a file in a child process, open without sharing or loaded as a
// library, until the stop file appears. The constructor returns once the
// file is held (or the child has given up); the destructor waits for the
// child, so write the stop file first.
class FileHolder {
 public:
  FileHolder(bool asLibrary, const std::wstring& path, const std::wstring& stop);
  ~FileHolder() { Wait(); }
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;
  void Wait();
  bool Holding() const { return holding_; }

 private:
  HANDLE process_ = nullptr;
  bool holding_ = false;
};

// Makes `link` a symbolic link to `target` (both Windows paths; the link's
// folder must exist), as a user could plant one where the tool writes: a
// unix symbolic link in the prefix, which Wine follows as Windows follows a
// link (a link to a folder is also reported as a reparse point).
bool PlantLink(const std::wstring& link, const std::wstring& target);
// Removes such a link itself (a Windows deletion would reach its target),
// and a folder with links in it.
bool RemoveLink(const std::wstring& link);
void RemoveTreeOfLinks(const std::wstring& path);

// The screen under a window, as 32-bit pixels, top row first.
std::vector<DWORD> CaptureWindow(HWND window, int& width, int& height);

bool WriteBytes(const std::wstring& path, const Bytes& bytes);
bool WriteText(const std::wstring& path, const std::string& text);
Bytes ReadBytes(const std::wstring& path);
bool Exists(const std::wstring& path);
bool MakeDirs(const std::wstring& path);
void RemoveTree(const std::wstring& path);

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

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
