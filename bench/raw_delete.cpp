// The floor of the uninstall benchmark: exactly the deletions a file list
// asks for and nothing else, in one process. DeleteFileW for every file in
// the list's order, then RemoveDirectoryW for every folder, deepest first.
//
//   raw_delete <folder> <files> <folders>
//
// <files> and <folders> hold one path relative to <folder> per line (the
// folders already deepest first).
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

static std::vector<std::wstring> ReadLines(const wchar_t* path) {
  std::vector<std::wstring> lines;
  FILE* f = _wfopen(path, L"rb");
  if (!f) return lines;
  std::string text;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  fclose(f);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      std::wstring wide(line.size(), L'\0');
      wide.resize(MultiByteToWideChar(CP_ACP, 0, line.data(), (int)line.size(), &wide[0], (int)wide.size()));
      lines.push_back(wide);
    }
    start = end + 1;
  }
  return lines;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  std::wstring root = std::wstring(argv[1]) + L"\\";
  std::vector<std::wstring> files = ReadLines(argv[2]), folders = ReadLines(argv[3]);
  for (auto& f : files) DeleteFileW((root + f).c_str());
  for (auto& f : folders) RemoveDirectoryW((root + f).c_str());
  return 0;
}
