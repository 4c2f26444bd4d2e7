#include "sample.h"

#include <windows.h>

#include "support.h"

static void Touch(const std::wstring& path, const std::string& content) { WriteText(path, content); }

SampleInstallation::SampleInstallation(const std::wstring& where, bool withLanguageModule) : folder(where) {
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
                 "Formats\\Deep\\Deeper\\note.txt", "readonly.txt", "uninstall.exe"};
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
