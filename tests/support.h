// Helpers shared by the test programs: scratch folders, file contents,
// planted links, child processes, dialogs and the screen. The registry's
// helpers are in registry.h, the import hooks in hooks.h; this header
// includes both.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "hooks.h"
#include "model/winver.h"
#include "registry.h"

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

// Runs `undo` at the end of the scope, whatever happens: what a case put
// outside folders of its own goes with it.
struct AtScopeEnd {
  std::function<void()> undo;
  ~AtScopeEnd() { undo(); }
};

// Paths of the build: the product and the stand-ins.
std::wstring BuildDir();  // the build tree, as a Windows path
std::wstring ProductExe();  // the program the tests install and run (see KVX_PRODUCT)
std::wstring FixturePath(const std::wstring& name);
std::wstring SourceDir();
// A file beside this test program, as the product names files beside itself.
std::wstring ProgramFile(const wchar_t* name);

struct ProcessResult {
  DWORD exitCode = 0xFFFFFFFF;
  DWORD milliseconds = 0;
  bool timedOut = false;
  DWORD startError = 0;  // when the process could not be started
};
// Runs a command line; `environment` entries ("NAME=value") are added to a
// copy of ours ("NAME=" removes one).
// `onStarted` runs with the new process id while the process runs;
// `desktop` ("station\\desktop") is where it starts.
ProcessResult RunProcess(const std::wstring& commandLine, const std::vector<std::wstring>& environment = {},
                         DWORD timeoutMs = 60000, const std::wstring& currentDirectory = L"",
                         const std::function<void(DWORD)>& onStarted = nullptr, const std::wstring& desktop = L"");

// A desktop in a window station of its own that is not visible, as a
// service's is (nobody can answer a window there): made once, kept for the
// test program's life. Empty when it cannot be made.
std::wstring HiddenDesktop();

// Watches for the first dialog window (a message box or a modal dialog) of
// one process (0: this one) on a thread of its own, records its caption and
// text, and answers it with a command id (0: leave it open). Stops at the
// end of the scope, when the time is up or when the watched process ends.
class DialogWatcher {
 public:
  // `past`: a dialog to look past (one still open under a message box it owns).
  explicit DialogWatcher(int answer, DWORD processId = 0, DWORD timeoutMs = 30000, HWND past = nullptr);
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
  HWND window_ = nullptr, past_ = nullptr;
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
std::wstring LogText(const std::wstring& path);  // a log (UTF-8) as text
bool Exists(const std::wstring& path);
std::wstring SpecialFolder(int csidl);  // a shell folder by its CSIDL; empty when there is none
bool MakeDirs(const std::wstring& path);
void RemoveTree(const std::wstring& path);

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// For RunProcess: watches the started process for any dialog window for
// up to `timeoutMs` and tells in `seen` whether one showed.
std::function<void(DWORD)> WatchForWindow(bool& seen, DWORD timeoutMs);
// For RunProcess: answers the dialogs the process shows, in order (0: no
// answer), each waited for up to a minute and closed before the next is
// looked for, and keeps the texts of those seen. `first` acts on a dialog
// (by its place in the order) before it is answered.
std::function<void(DWORD)> Answer(std::vector<int> answers, std::vector<std::wstring>* texts = nullptr,
                                  std::function<void(size_t, HWND)> first = nullptr);

// The registry serves every settings call of this process: no settings file.
void UseRegistry();
// A path in double quotes, as command lines take it.
std::wstring Quote(const std::wstring& path);

// Answers as a given Windows until the end of the scope: the version, the
// build, and what the operating system's name says (the query is counted).
struct PretendWindows {
  VersionSeam seam = {};
  static int wmiCalls;
  static bool wmiAnswer;
  PretendWindows(DWORD major, DWORD build, bool wmiSaysWindows10 = false, DWORD platform = VER_PLATFORM_WIN32_NT);
  ~PretendWindows();
};
