#include "support.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <map>

#include "settings/settings_file.h"

// ---------------------------------------------------------------- text

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
  return out;
}

// ---------------------------------------------------------------- files

bool WriteBytes(const std::wstring& path, const Bytes& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

bool WriteText(const std::wstring& path, const std::string& text) {
  return WriteBytes(path, Bytes(text.begin(), text.end()));
}

Bytes ReadBytes(const std::wstring& path) {
  Bytes out;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  LARGE_INTEGER size;
  GetFileSizeEx(h, &size);
  out.resize((size_t)size.QuadPart);
  DWORD got = 0;
  if (!out.empty()) ReadFile(h, out.data(), (DWORD)out.size(), &got, nullptr);
  out.resize(got);
  CloseHandle(h);
  return out;
}

std::wstring LogText(const std::wstring& path) {
  Bytes bytes = ReadBytes(path);
  return Widen(std::string(bytes.begin(), bytes.end()));
}

static std::wstring Long(const std::wstring& path) {
  if (path.size() > 2 && path[1] == L':' && path.compare(0, 4, L"\\\\?\\") != 0) return L"\\\\?\\" + path;
  return path;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(Long(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring SpecialFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl, nullptr, 0, path);
  return path;
}

bool MakeDirs(const std::wstring& path) {
  for (size_t i = 3; i <= path.size(); i++) {
    if (i == path.size() || path[i] == L'\\') CreateDirectoryW(Long(path.substr(0, i)).c_str(), nullptr);
  }
  return Exists(path);
}

void RemoveTree(const std::wstring& path) {
  std::wstring base = Long(path);
  DWORD attributes = GetFileAttributesW(base.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((base + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    SetFileAttributesW(base.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(base.c_str());
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    RemoveDirectoryW(base.c_str());
  } else {
    SetFileAttributesW(base.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(base.c_str());
  }
}

TempFolder::TempFolder(const std::wstring& hint) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  static unsigned counter;
  for (;;) {
    wchar_t name[64];
    wsprintfW(name, L"%s-%lu-%u", hint.c_str(), GetCurrentProcessId(), counter++);
    path_ = std::wstring(temp) + name;
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}

TempFolder::~TempFolder() {
  RemoveTree(path_);
  // Links planted inside lead the Windows calls elsewhere; the unix removal
  // takes them as they are.
  if (GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES) RemoveTreeOfLinks(path_);
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

// ---------------------------------------------------------------- build paths

static std::wstring ModuleFolder() {
  wchar_t path[MAX_PATH * 4];
  GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::wstring p = path;
  return p.substr(0, p.rfind(L'\\'));
}

std::wstring BuildDir() {
  std::wstring tests = ModuleFolder();
  return tests.substr(0, tests.rfind(L'\\'));
}
// KVX_PRODUCT names another build of the program, below the build tree (the
// signed one, say): the tests then install and run that one.
std::wstring ProductExe() {
  wchar_t other[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"KVX_PRODUCT", other, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return BuildDir() + L"\\uninstall.exe";
  std::wstring relative(other, n);
  std::replace(relative.begin(), relative.end(), L'/', L'\\');
  return BuildDir() + L"\\" + relative;
}
std::wstring FixturePath(const std::wstring& name) { return BuildDir() + L"\\fixtures\\" + name; }
std::wstring ProgramFile(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring file(path, n);
  return file.substr(0, file.rfind(L'\\') + 1) + name;
}

std::wstring SourceDir() {
  std::string text;
  Bytes b = ReadBytes(BuildDir() + L"\\source-dir.txt");
  text.assign(b.begin(), b.end());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return Widen(text);
}

// ---------------------------------------------------------------- processes

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

DialogWatcher::DialogWatcher(int answer, DWORD processId, DWORD timeoutMs, HWND past)
    : answer_(answer), processId_(processId ? processId : GetCurrentProcessId()), timeoutMs_(timeoutMs) {
  past_ = past;
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
  HWND found, past;
};

static BOOL CALLBACK FindDialogWindow(HWND window, LPARAM param) {
  FindDialog* find = reinterpret_cast<FindDialog*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t className[32];
  if (pid == find->processId && window != find->past && IsWindowVisible(window) && GetClassNameW(window, className, 32) &&
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
    FindDialog find = {self->processId_, nullptr, self->past_};
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

// ---------------------------------------------------------------- links

namespace {

// The unix form of a Windows path (Wine's own conversion); empty when none.
std::wstring UnixPath(const std::wstring& path) {
  typedef char*(CDECL * ToUnix)(LPCWSTR);
  static auto toUnix = (ToUnix)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
  std::wstring out = unix ? Widen(unix) : L"";
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

// Runs a unix program on unix paths (Wine starts a program given by its
// unix path, but has no exit code of it), then waits up to two seconds for
// `done` to hold.
bool RunUnix(const std::wstring& program, const std::vector<std::wstring>& paths, const std::function<bool()>& done) {
  std::wstring command = program;
  for (auto& p : paths) {
    if (p.empty()) return false;
    command += L" \"" + p + L"\"";
  }
  if (RunProcess(command).startError) return false;
  for (int i = 0; i < 40 && !done(); i++) Sleep(50);
  return done();
}

// Whether anything is at the path, a link included (even one whose target is gone).
bool LinkOrFileAt(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(path.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return false;
  FindClose(h);
  return true;
}

}  // namespace

bool PlantLink(const std::wstring& link, const std::wstring& target) {
  return RunUnix(L"/bin/ln -sfn", {UnixPath(target), UnixPath(link)}, [&] { return LinkOrFileAt(link); });
}

bool RemoveLink(const std::wstring& link) {
  return RunUnix(L"/bin/rm -f", {UnixPath(link)}, [&] { return !LinkOrFileAt(link); });
}

void RemoveTreeOfLinks(const std::wstring& path) {
  RunUnix(L"/bin/rm -rf", {UnixPath(path)}, [&] { return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

std::function<void(DWORD)> WatchForWindow(bool& seen, DWORD timeoutMs) {
  return [&seen, timeoutMs](DWORD pid) {
    DialogWatcher watcher(0, pid, timeoutMs);
    watcher.Wait();
    seen = watcher.Seen();
  };
}

std::function<void(DWORD)> Answer(std::vector<int> answers, std::vector<std::wstring>* texts,
                                  std::function<void(size_t, HWND)> first) {
  return [=](DWORD pid) {
    for (size_t i = 0; i < answers.size(); i++) {
      DialogWatcher watcher([&](HWND w) {
        if (first) first(i, w);
        if (answers[i]) PostMessageW(w, WM_COMMAND, answers[i], 0);
      }, pid, 60000);
      watcher.Wait();
      if (texts && watcher.Seen()) texts->push_back(watcher.text);
      watcher.WaitUntilClosed();
    }
  };
}

void UseRegistry() { IgnoreSettingsFile(); }

std::wstring Quote(const std::wstring& path) { return L"\"" + path + L"\""; }

int PretendWindows::wmiCalls;
bool PretendWindows::wmiAnswer;

PretendWindows::PretendWindows(DWORD major, DWORD build, bool wmiSaysWindows10, DWORD platform) {
  seam.info.dwOSVersionInfoSize = sizeof seam.info;
  seam.info.dwMajorVersion = major;
  seam.info.dwMinorVersion = 0;
  seam.info.dwBuildNumber = build;
  seam.info.dwPlatformId = platform;
  seam.windows10Name = [] {
    wmiCalls++;
    return wmiAnswer;
  };
  wmiAnswer = wmiSaysWindows10;
  wmiCalls = 0;
  g_VersionSeam = &seam;
  ForgetVersionAnswers();
}

PretendWindows::~PretendWindows() {
  g_VersionSeam = nullptr;
  ForgetVersionAnswers();
}
