#include "support.h"

#include <shellapi.h>

#include <algorithm>
#include <map>

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

static std::wstring Long(const std::wstring& path) {
  if (path.size() > 2 && path[1] == L':' && path.compare(0, 4, L"\\\\?\\") != 0) return L"\\\\?\\" + path;
  return path;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(Long(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

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
std::wstring ProductExe() { return BuildDir() + L"\\uninstall.exe"; }
std::wstring FixturePath(const std::wstring& name) { return BuildDir() + L"\\fixtures\\" + name; }
std::wstring SourceDir() {
  std::string text;
  Bytes b = ReadBytes(BuildDir() + L"\\source-dir.txt");
  text.assign(b.begin(), b.end());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return Widen(text);
}

// ---------------------------------------------------------------- processes

ProcessResult RunProcess(const std::wstring& commandLine, const std::vector<std::wstring>& environment,
                         DWORD timeoutMs, const std::wstring& currentDirectory,
                         const std::function<void(DWORD)>& onStarted) {
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


// ---------------------------------------------------------------- the classic path limit

namespace {

const std::wstring* g_PretendProgram = nullptr;

// A plain path of MAX_PATH characters or more, as Windows without long-path
// support refuses it; the extended-length form is never limited.
bool Refused(const wchar_t* path) {
  if (!path || wcsncmp(path, L"\\\\?\\", 4) == 0 || wcslen(path) < MAX_PATH) return false;
  SetLastError(ERROR_PATH_NOT_FOUND);
  return true;
}

// The system's own function, not the patched import slot.
template <class F> F Real(F, const char* name) {
  return (F)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
}
#define KVX_REAL(f) Real(&f, #f)

HANDLE WINAPI LimitedCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (Refused(path)) return INVALID_HANDLE_VALUE;
  return KVX_REAL(CreateFileW)(path, access, share, security, disposition, flags, templateFile);
}
BOOL WINAPI LimitedDeleteFileW(LPCWSTR path) { return !Refused(path) && KVX_REAL(DeleteFileW)(path); }
BOOL WINAPI LimitedCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  return !Refused(path) && KVX_REAL(CreateDirectoryW)(path, security);
}
BOOL WINAPI LimitedRemoveDirectoryW(LPCWSTR path) { return !Refused(path) && KVX_REAL(RemoveDirectoryW)(path); }
DWORD WINAPI LimitedGetFileAttributesW(LPCWSTR path) {
  return Refused(path) ? INVALID_FILE_ATTRIBUTES : KVX_REAL(GetFileAttributesW)(path);
}
BOOL WINAPI LimitedSetFileAttributesW(LPCWSTR path, DWORD attributes) {
  return !Refused(path) && KVX_REAL(SetFileAttributesW)(path, attributes);
}
HANDLE WINAPI LimitedFindFirstFileW(LPCWSTR path, LPWIN32_FIND_DATAW data) {
  return Refused(path) ? INVALID_HANDLE_VALUE : KVX_REAL(FindFirstFileW)(path, data);
}
BOOL WINAPI LimitedMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  return !Refused(from) && !Refused(to) && KVX_REAL(MoveFileExW)(from, to, flags);
}
DWORD WINAPI PretendGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (module || !g_PretendProgram || size == 0) return KVX_REAL(GetModuleFileNameW)(module, buffer, size);
  DWORD n = (DWORD)std::min<size_t>(g_PretendProgram->size(), size - 1);
  wmemcpy(buffer, g_PretendProgram->c_str(), n);
  buffer[n] = 0;
  return n;
}

}  // namespace

ImportHooks::ImportHooks(const std::vector<std::pair<const char*, void*>>& hooks) {
  // This program's calls, and those the C runtime makes for it (fopen, realloc).
  for (HMODULE module : {GetModuleHandleW(nullptr), GetModuleHandleW(L"msvcrt.dll")}) {
    if (!module) continue;
    auto base = (unsigned char*)module;
    auto nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) continue;
    for (auto imp = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); imp->Name; imp++) {
      if (!imp->OriginalFirstThunk) continue;
      auto names = (IMAGE_THUNK_DATA*)(base + imp->OriginalFirstThunk);
      auto slots = (IMAGE_THUNK_DATA*)(base + imp->FirstThunk);
      for (; names->u1.AddressOfData; names++, slots++) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const char* name = (const char*)((IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
        for (auto& hook : hooks) {
          if (strcmp(name, hook.first) != 0) continue;
          patched_.push_back({(void**)&slots->u1.Function, (void*)slots->u1.Function});
          Put((void**)&slots->u1.Function, hook.second);
        }
      }
    }
  }
}

void ImportHooks::Put(void** slot, void* value) {
  DWORD old;
  VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
  *slot = value;
  VirtualProtect(slot, sizeof(void*), old, &old);
}

ImportHooks::~ImportHooks() {
  for (auto& p : patched_) Put(p.first, p.second);
}

ClassicPathLimit::ClassicPathLimit(const std::wstring& programPath)
    : program_(programPath),
      hooks_({{"CreateFileW", (void*)LimitedCreateFileW},
              {"DeleteFileW", (void*)LimitedDeleteFileW},
              {"CreateDirectoryW", (void*)LimitedCreateDirectoryW},
              {"RemoveDirectoryW", (void*)LimitedRemoveDirectoryW},
              {"GetFileAttributesW", (void*)LimitedGetFileAttributesW},
              {"SetFileAttributesW", (void*)LimitedSetFileAttributesW},
              {"FindFirstFileW", (void*)LimitedFindFirstFileW},
              {"MoveFileExW", (void*)LimitedMoveFileExW},
              {"GetModuleFileNameW", (void*)PretendGetModuleFileNameW}}) {
  if (!program_.empty()) g_PretendProgram = &program_;
}

ClassicPathLimit::~ClassicPathLimit() { g_PretendProgram = nullptr; }

// ---------------------------------------------------------------- scarce memory

namespace {

SIZE_T g_Largest = 0;

LPVOID WINAPI ScarceHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (bytes > g_Largest) return nullptr;
  return KVX_REAL(HeapAlloc)(heap, flags, bytes);
}
LPVOID WINAPI ScarceHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  if (bytes > g_Largest) return nullptr;
  return KVX_REAL(HeapReAlloc)(heap, flags, block, bytes);
}

}  // namespace

// (The limit is in force before the first hook: the hooks' own bookkeeping
// allocates.)
ScarceMemory::ScarceMemory(size_t largest)
    : hooks_((g_Largest = largest,
              std::vector<std::pair<const char*, void*>>{{"HeapAlloc", (void*)ScarceHeapAlloc},
                                                         {"HeapReAlloc", (void*)ScarceHeapReAlloc}})) {}

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
