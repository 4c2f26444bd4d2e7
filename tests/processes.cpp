#include "processes.h"
#include "files.h"

#include <shellapi.h>

#include <algorithm>
#include <map>

// ---------------------------------------------------------------- windows

std::wstring HiddenDesktop() {
  static bool made = false;
  if (!made) {
    HWINSTA station = CreateWindowStationW(L"KvxHidden", 0, WINSTA_ALL_ACCESS, nullptr);
    HWINSTA own = GetProcessWindowStation();
    if (station && SetProcessWindowStation(station)) {
      made = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr) != nullptr;
      SetProcessWindowStation(own);
    }
  }
  return made ? L"KvxHidden\\Default" : L"";
}

std::vector<DWORD> CaptureWindow(HWND window, int& width, int& height) {
  RECT r;
  GetWindowRect(window, &r);
  width = r.right - r.left, height = r.bottom - r.top;
  std::vector<DWORD> pixels;
  if (width <= 0 || height <= 0) return pixels;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  pixels.assign(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + (size_t)width * height);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// ---------------------------------------------------------------- processes

ProcessResult RunProcess(const std::wstring& commandLine, const std::vector<std::wstring>& environment,
                         DWORD timeoutMs, const std::wstring& currentDirectory,
                         const std::function<void(DWORD)>& onStarted, const std::wstring& desktop) {
  std::map<std::wstring, std::wstring> vars;
  wchar_t* block = GetEnvironmentStringsW();
  for (wchar_t* p = block; *p; p += wcslen(p) + 1) {
    std::wstring entry = p;
    size_t eq = entry.find(L'=', 1);
    if (eq != std::wstring::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  FreeEnvironmentStringsW(block);
  for (const std::wstring& entry : environment) {
    size_t eq = entry.find(L'=');
    std::wstring name = entry.substr(0, eq), value = entry.substr(eq + 1);
    if (value.empty()) vars.erase(name);
    else vars[name] = value;
  }
  std::wstring env;
  for (auto& kv : vars) env += kv.first + L"=" + kv.second + L'\0';
  env += L'\0';

  // The child's output goes nowhere: the hidden command processors that
  // uninstall runs start would otherwise echo every batch line into the log.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = si.hStdOutput = si.hStdError = nul;
  std::wstring desktopName = desktop;
  if (!desktopName.empty()) si.lpDesktop = &desktopName[0];
  PROCESS_INFORMATION pi = {};
  std::wstring command = commandLine;
  ProcessResult result;
  DWORD start = GetTickCount();
  BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, &env[0],
                                currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &si, &pi);
  if (!started) result.startError = GetLastError();
  CloseHandle(nul);
  if (!started) return result;
  if (onStarted) onStarted(pi.dwProcessId);
  if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_TIMEOUT) {
    result.timedOut = true;
    TerminateProcess(pi.hProcess, 99);
    WaitForSingleObject(pi.hProcess, 5000);
  }
  result.milliseconds = GetTickCount() - start;
  GetExitCodeProcess(pi.hProcess, &result.exitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return result;
}

DialogWatcher::DialogWatcher(int answer, DWORD processId, DWORD timeoutMs)
    : answer_(answer), processId_(processId ? processId : GetCurrentProcessId()), timeoutMs_(timeoutMs) {
  thread_ = CreateThread(nullptr, 0, Thread, this, 0, nullptr);
}

DialogWatcher::DialogWatcher(std::function<void(HWND)> action, DWORD processId, DWORD timeoutMs)
    : action_(std::move(action)), answer_(0), processId_(processId ? processId : GetCurrentProcessId()),
      timeoutMs_(timeoutMs) {
  thread_ = CreateThread(nullptr, 0, Thread, this, 0, nullptr);
}

DialogWatcher::~DialogWatcher() {
  stop_ = true;
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
}

void DialogWatcher::Wait() { WaitForSingleObject(thread_, INFINITE); }

void DialogWatcher::WaitUntilClosed(DWORD timeoutMs) const {
  if (!window_) return;
  DWORD start = GetTickCount();
  while (IsWindow(window_) && IsWindowVisible(window_) && GetTickCount() - start < timeoutMs) Sleep(50);
}

struct FindDialog {
  DWORD processId;
  HWND found;
};

static BOOL CALLBACK FindDialogWindow(HWND window, LPARAM param) {
  FindDialog* find = reinterpret_cast<FindDialog*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t className[32];
  if (pid == find->processId && IsWindowVisible(window) && GetClassNameW(window, className, 32) &&
      lstrcmpW(className, L"#32770") == 0) {
    find->found = window;
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI DialogWatcher::Thread(void* param) {
  DialogWatcher* self = static_cast<DialogWatcher*>(param);
  DWORD start = GetTickCount();
  // A watched process that has ended shows nothing more.
  HANDLE process = self->processId_ == GetCurrentProcessId() ? nullptr
                                                             : OpenProcess(SYNCHRONIZE, FALSE, self->processId_);
  while (!self->stop_ && GetTickCount() - start < self->timeoutMs_) {
    if (process && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) break;
    FindDialog find = {self->processId_, nullptr};
    EnumWindows(FindDialogWindow, (LPARAM)&find);
    if (find.found) {
      Sleep(100);  // let the dialog finish its initialisation
      wchar_t buffer[2048];
      GetWindowTextW(find.found, buffer, 2048);
      self->caption = buffer;
      buffer[0] = 0;
      GetDlgItemTextW(find.found, 0xFFFF, buffer, 2048);
      self->text = buffer;
      self->exStyle = (DWORD)GetWindowLongW(find.found, GWL_EXSTYLE);
      self->window_ = find.found;
      self->seen_ = true;
      if (self->action_) self->action_(find.found);
      else if (self->answer_) PostMessageW(find.found, WM_COMMAND, (WPARAM)self->answer_, 0);
      break;
    }
    Sleep(50);
  }
  if (process) CloseHandle(process);
  return 0;
}

static std::map<std::string, int (*)()>& Children() {
  static std::map<std::string, int (*)()> children;
  return children;
}

ChildRegistrar::ChildRegistrar(const char* name, int (*fn)()) { Children()[name] = fn; }

int RunRegisteredChild(const std::string& name) {
  auto it = Children().find(name);
  return it == Children().end() ? 97 : it->second();
}

// The holding child: signals the event named in KVX_READY once it holds the file.
static int HoldUntilStopped(bool asLibrary) {
  wchar_t path[MAX_PATH], stop[MAX_PATH], ready[64];
  GetEnvironmentVariableW(L"KVX_HOLD", path, MAX_PATH);
  GetEnvironmentVariableW(L"KVX_STOP", stop, MAX_PATH);
  GetEnvironmentVariableW(L"KVX_READY", ready, 64);
  HANDLE file = INVALID_HANDLE_VALUE;
  HMODULE module = nullptr;
  if (asLibrary) module = LoadLibraryW(path);
  else file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (!module && file == INVALID_HANDLE_VALUE) return 2;
  if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready)) SetEvent(event), CloseHandle(event);
  for (int i = 0; i < 1200 && GetFileAttributesW(stop) == INVALID_FILE_ATTRIBUTES; i++) Sleep(50);
  if (module) FreeLibrary(module);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}
KVX_CHILD(hold_library) { return HoldUntilStopped(true); }
KVX_CHILD(hold_file) { return HoldUntilStopped(false); }

FileHolder::FileHolder(bool asLibrary, const std::wstring& path, const std::wstring& stop) {
  static int count = 0;
  std::wstring ready = L"kvx-held-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  SetEnvironmentVariableW(L"KVX_HOLD", path.c_str());
  SetEnvironmentVariableW(L"KVX_STOP", stop.c_str());
  SetEnvironmentVariableW(L"KVX_READY", ready.c_str());
  std::wstring command = L"\"" + std::wstring(self) + L"\" --child=" + (asLibrary ? L"hold_library" : L"hold_file");
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi;
  if (event && CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    HANDLE both[2] = {event, process_};
    holding_ = WaitForMultipleObjects(2, both, FALSE, 60000) == WAIT_OBJECT_0;
  }
  if (event) CloseHandle(event);
}

void FileHolder::Wait() {
  if (process_) WaitForSingleObject(process_, 20000), CloseHandle(process_), process_ = nullptr;
}

DWORD RunChild(const char* name, const std::vector<std::wstring>& environment) {
  wchar_t self[MAX_PATH * 4];
  GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --child=" + Widen(name);
  return RunProcess(command, environment).exitCode;
}
