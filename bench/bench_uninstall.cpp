// The uninstall of a large installation: 10,000 listed files in folders up to
// 8 levels deep, listed in random order, deleted by uninstall.exe /S, against
// Wine's own "cmd /c rd /s /q" of the same tree (the floor), in one run.
#include <stdio.h>

#include <algorithm>
#include <random>

#include "support.h"

struct Tree {
  std::vector<std::wstring> folders, files;  // relative
};

static Tree MakeTree(unsigned seed) {
  Tree t;
  std::mt19937 random(seed);
  // A binary tree of folders 8 levels deep: 510 folders.
  std::vector<std::wstring> level = {L""};
  for (int depth = 0; depth < 8; depth++) {
    std::vector<std::wstring> next;
    for (auto& parent : level)
      for (int b = 0; b < 2; b++) {
        std::wstring name = (parent.empty() ? L"" : parent + L"\\") + L"dir" + std::to_wstring(depth) + L"_" +
                            std::to_wstring(b);
        t.folders.push_back(name);
        next.push_back(name);
      }
    level = next;
  }
  for (int i = 0; i < 10000; i++)
    t.files.push_back(t.folders[random() % t.folders.size()] + L"\\file" + std::to_wstring(i) + L".dat");
  return t;
}

static void Build(const std::wstring& root, const Tree& t) {
  MakeDirs(root);
  for (auto& f : t.folders) CreateDirectoryW((root + L"\\" + f).c_str(), nullptr);
  for (auto& f : t.files) WriteText(root + L"\\" + f, "x");
}

static double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int wmain(int argc, wchar_t** argv) {
  int rounds = argc > 1 ? _wtoi(argv[1]) : 1;
  TempFolder folder(L"kvxbench");
  Tree tree = MakeTree(7);
  std::vector<std::wstring> lines;
  for (auto& f : tree.folders) lines.push_back(f);
  for (auto& f : tree.files) lines.push_back(f);
  std::shuffle(lines.begin(), lines.end(), std::mt19937(11));
  std::string list;
  for (auto& l : lines) list += Narrow(l) + "\r\n";
  list += "uninstall.exe\r\nUninstall.lst\r\n";

  std::vector<double> ours, floor;
  std::wstring temp = folder / L"temp";
  MakeDirs(temp);
  for (int r = 0; r < rounds; r++) {
    std::wstring a = folder / (L"ours" + std::to_wstring(r));
    Build(a, tree);
    CopyFileW(ProductExe().c_str(), (a + L"\\uninstall.exe").c_str(), FALSE);
    WriteText(a + L"\\Uninstall.lst", list);
    ProcessResult pa = RunProcess(L"\"" + a + L"\\uninstall.exe\" /S", {L"TMP=" + temp, L"TEMP=" + temp}, 600000);
    std::wstring b = folder / (L"floor" + std::to_wstring(r));
    Build(b, tree);
    ProcessResult pb = RunProcess(L"cmd.exe /c rd /s /q \"" + b + L"\"", {}, 600000);
    ours.push_back(pa.milliseconds);
    floor.push_back(pb.milliseconds);
    // Let the self-removal batch file finish before the next round.
    for (int i = 0; i < 100 && Exists(a); i++) Sleep(100);
  }
  double mo = Median(ours), mf = Median(floor);
  printf("uninstall of 10000 files in 510 folders 8 levels deep, median of %d: uninstall.exe /S %.0f ms, "
         "cmd /c rd /s /q %.0f ms, ratio %.2f\n",
         rounds, mo, mf, mo / mf);
  return 0;
}
