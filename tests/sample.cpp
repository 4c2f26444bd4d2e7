#include "sample.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>

#include "support.h"

static void Touch(const std::wstring& path, const std::string& content) { WriteText(path, content); }

SampleInstallation::SampleInstallation(const std::wstring& where, bool withLanguageModule, const std::wstring& name)
    : folder(where), programName(name) {
  RemoveTree(folder);
  MakeDirs(folder);
  CopyFileW(ProductExe().c_str(), Program().c_str(), FALSE);
  CopyFileW(FixturePath(L"Korvex.exe").c_str(), Path("Korvex.exe").c_str(), FALSE);
  CopyFileW(FixturePath(L"KvxExtInstaller.exe").c_str(), Path("KvxExtInstaller.exe").c_str(), FALSE);
  if (withLanguageModule) CopyFileW(FixturePath(L"kvxlng.dll").c_str(), Path("kvxlng.dll").c_str(), FALSE);
  // Stand-ins whose existence is all that counts.
  for (const char* name : {"kvxext.dll", "kvxext32.dll", "KvxExtPackage.msix", "Korvex.chm", "Kvx.txt", "WhatsNew.txt",
                           "license.txt", "Rar.txt"})
    Touch(Path(name), std::string("stand-in for ") + name);
  MakeDirs(Path("Formats"));
  MakeDirs(Path("Formats\\Deep\\Deeper"));
  Touch(Path("Formats\\zst.fmt"), "format module");
  Touch(Path("Formats\\Deep\\Deeper\\note.txt"), "deep");
  Touch(Path("readonly.txt"), "read-only");
  SetFileAttributesW(Path("readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  listedFolders = {"Formats", "Formats\\Deep", "Formats\\Deep\\Deeper"};
  listedFiles = {"Korvex.exe", "KvxExtInstaller.exe", "kvxext.dll", "kvxext32.dll", "KvxExtPackage.msix",
                 "Korvex.chm", "Kvx.txt", "WhatsNew.txt", "license.txt", "Rar.txt", "Formats\\zst.fmt",
                 "Formats\\Deep\\Deeper\\note.txt", "readonly.txt", "kvxnew.dat", "zipnew.dat", Narrow(name)};
  if (withLanguageModule) listedFiles.push_back("kvxlng.dll");
  WriteList();
}

std::wstring SampleInstallation::Path(const std::string& relative) const { return folder + L"\\" + Widen(relative); }

void SampleInstallation::WriteList(const std::vector<std::string>& extraLines) const {
  std::string text;
  for (auto& f : listedFolders) text += f + "\r\n";
  for (auto& f : listedFiles) text += f + "\r\n";
  for (auto& l : extraLines) text += l + "\r\n";
  WriteText(folder + L"\\Uninstall.lst", text);
}

std::vector<std::wstring> SampleInstallation::Remaining() const {
  std::vector<std::wstring> left;
  for (auto& f : listedFiles)
    if (Exists(Path(f))) left.push_back(Path(f));
  for (auto& f : listedFolders)
    if (Exists(Path(f))) left.push_back(Path(f));
  if (Exists(folder + L"\\Uninstall.lst")) left.push_back(folder + L"\\Uninstall.lst");
  if (Exists(folder)) left.push_back(folder);
  return left;
}

bool SampleInstallation::Gone() const { return Remaining().empty(); }

bool WaitUntilGone(const std::wstring& path, unsigned milliseconds) {
  DWORD start = GetTickCount();
  while (Exists(path)) {
    if (GetTickCount() - start > milliseconds) return false;
    Sleep(100);
  }
  return true;
}

// The self-removal batch files' folders, sorted.
static std::vector<std::wstring> BatchFolders() {
  std::wstring temp = L"C:\\windows\\Temp\\";
  std::vector<std::wstring> out;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((temp + L"Kvx-*").c_str(), &data);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &data)) out.push_back(temp + data.cFileName);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  std::sort(out.begin(), out.end());
  return out;
}

NewBatchFolders::NewBatchFolders() : before_(BatchFolders()) {}

std::vector<std::wstring> NewBatchFolders::Now() const {
  std::vector<std::wstring> out;
  for (auto& folder : BatchFolders())
    if (!std::binary_search(before_.begin(), before_.end(), folder)) out.push_back(folder);
  return out;
}

bool NewBatchFolders::Gone(unsigned milliseconds) const {
  for (DWORD start = GetTickCount(); !Now().empty(); Sleep(50))
    if (GetTickCount() - start >= milliseconds) return false;
  return true;
}

void NewBatchFolders::RemoveLeft(unsigned milliseconds) const {
  if (!Gone(milliseconds))
    for (auto& folder : Now()) RemoveTree(folder);
}

std::vector<std::wstring> IntegrationFootprint() {
  std::vector<std::wstring> out;
  auto key = [&](HKEY root, const wchar_t* rootName, const std::wstring& path, REGSAM view, const wchar_t* what) {
    if (RegKeyExists(root, path, view)) out.push_back(std::wstring(what) + L": " + rootName + L"\\" + path);
  };
  for (const wchar_t* ext : {L".kvx", L".zip", L".cab", L".arj", L".lz", L".tlz", L".lzh", L".lha", L".7z", L".tar",
                             L".gz", L".tgz", L".uue", L".xxe", L".uu", L".bz2", L".tbz2", L".bz", L".tbz", L".jar",
                             L".iso", L".z", L".taz", L".xz", L".txz", L".zipx", L".zst", L".tzst", L".001", L".ace",
                             L".k00", L".k29"}) {
    std::wstring owner = RegText(HKEY_CLASSES_ROOT, ext, L"");
    if (_wcsicmp(owner.c_str(), L"Korvex") == 0 || _wcsicmp(owner.c_str(), L"Korvex.ZIP") == 0)
      out.push_back(L"association: " + std::wstring(ext) + L" -> " + owner);
  }
  for (const wchar_t* id : {L"Korvex", L"Korvex.ZIP", L"Korvex.REV", L".rev"})
    key(HKEY_CLASSES_ROOT, L"HKCR", id, 0, L"ProgID");
  key(HKEY_CLASSES_ROOT, L"HKCR", L"CLSID\\{6F0C2A91-3D7E-4B15-A8C4-92E5D1B07F36}", KEY_WOW64_64KEY, L"shell extension (64-bit)");
  key(HKEY_CLASSES_ROOT, L"HKCR", L"CLSID\\{A3E81D57-9B26-4C0F-B7D3-5E18C4A20B69}", KEY_WOW64_32KEY, L"shell extension (32-bit view)");
  key(HKEY_CLASSES_ROOT, L"HKCR", L"Folder\\shellex\\DragDropHandlers\\Korvex", 0, L"drag-and-drop handler");
  key(HKEY_CLASSES_ROOT, L"HKCR", L"*\\shellex\\ContextMenuHandlers\\Korvex", 0, L"context-menu handler");
  const wchar_t* appPaths = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe";
  key(HKEY_LOCAL_MACHINE, L"HKLM", appPaths, KEY_WOW64_64KEY, L"App Paths");
  key(HKEY_LOCAL_MACHINE, L"HKLM", appPaths, KEY_WOW64_32KEY, L"App Paths (32-bit view)");
  key(HKEY_LOCAL_MACHINE, L"HKLM", L"Software\\Korvex", 0, L"machine settings and capabilities");
  key(HKEY_LOCAL_MACHINE, L"HKLM", L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex archiver", 0,
      L"uninstall entry");
  bool present = false;
  RegText(HKEY_LOCAL_MACHINE, L"Software\\RegisteredApplications", L"Korvex", &present);
  if (present) out.push_back(L"registered application: HKLM\\Software\\RegisteredApplications Korvex");
  key(HKEY_CURRENT_USER, L"HKCU", L"Software\\Korvex", 0, L"user settings");
  for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU}) {
    std::wstring link = SpecialFolder(csidl) + L"\\Korvex.lnk";
    if (Exists(link)) out.push_back(L"shortcut: " + link);
  }
  for (int csidl : {CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS}) {
    std::wstring group = SpecialFolder(csidl) + L"\\Korvex";
    if (!Exists(group)) continue;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((group + L"\\*.lnk").c_str(), &data);
    int items = 0;
    if (find != INVALID_HANDLE_VALUE) {
      do items++;
      while (FindNextFileW(find, &data));
      FindClose(find);
    }
    out.push_back(L"program group: " + group + L" (" + std::to_wstring(items) + L" shortcuts)");
  }
  return out;
}
