#include "files.h"
#include "processes.h"

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
