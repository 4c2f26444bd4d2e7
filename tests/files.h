// Files, folders, text conversion, the build's paths and planted links.
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

// Paths of the build: the product and the stand-ins.
std::wstring BuildDir();  // the build tree, as a Windows path
std::wstring ProductExe();
std::wstring FixturePath(const std::wstring& name);
std::wstring SourceDir();

// Makes `link` a symbolic link to `target` (both Windows paths; the link's
// folder must exist), as a user could plant one where the tool writes: a
// unix symbolic link in the prefix, which Wine follows as Windows follows a
// link (a link to a folder is also reported as a reparse point).
bool PlantLink(const std::wstring& link, const std::wstring& target);
// Removes such a link itself (a Windows deletion would reach its target),
// and a folder with links in it.
bool RemoveLink(const std::wstring& link);
void RemoveTreeOfLinks(const std::wstring& path);

bool WriteBytes(const std::wstring& path, const Bytes& bytes);
bool WriteText(const std::wstring& path, const std::string& text);
Bytes ReadBytes(const std::wstring& path);
bool Exists(const std::wstring& path);
bool MakeDirs(const std::wstring& path);
void RemoveTree(const std::wstring& path);

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
