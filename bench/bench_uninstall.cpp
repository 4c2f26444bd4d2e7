// The uninstall of a large installation: 10,000 listed files in folders up to
// 8 levels deep, listed in random order, deleted by uninstall.exe /S, against
// Wine's own "cmd /c rd /s /q" of the same tree (the floor) and against a
// peer, an NSIS program that makes the same deletions, in one run.
//
//   bench_uninstall --write-nsi <file>   the peer's script, for makensis
//   bench_uninstall [rounds] [peer.exe]
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

// The peer: an NSIS program (amd64, silent) that deletes every file of the
// tree and then removes the folders, deepest first, the way NSIS
// uninstallers are written.
static void WriteNsi(const std::wstring& path, const Tree& tree) {
  std::string s = "Unicode true\nTarget amd64-unicode\nSilentInstall silent\nRequestExecutionLevel user\n"
                  "OutFile \"peer_uninstall.exe\"\nName \"peer\"\nInstallDir \"$EXEDIR\\tree\"\nSection\n";
  for (auto& f : tree.files) s += "  Delete \"$INSTDIR\\" + Narrow(f) + "\"\n";
  std::vector<std::wstring> folders = tree.folders;
  std::sort(folders.begin(), folders.end(), [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
  for (auto& f : folders) s += "  RMDir \"$INSTDIR\\" + Narrow(f) + "\"\n";
  s += "  RMDir \"$INSTDIR\"\nSectionEnd\n";
  WriteText(path, s);
}

int wmain(int argc, wchar_t** argv) {
  Tree tree = MakeTree(7);
  if (argc > 2 && std::wstring(argv[1]) == L"--write-nsi") {
    WriteNsi(argv[2], tree);
    return 0;
  }
  int rounds = argc > 1 ? _wtoi(argv[1]) : 1;
  std::wstring peer = argc > 2 ? argv[2] : L"";
  TempFolder folder(L"kvxbench");
  std::vector<std::wstring> lines;
  for (auto& f : tree.folders) lines.push_back(f);
  for (auto& f : tree.files) lines.push_back(f);
  std::shuffle(lines.begin(), lines.end(), std::mt19937(11));
  std::string list;
  for (auto& l : lines) list += Narrow(l) + "\r\n";
  list += "uninstall.exe\r\nUninstall.lst\r\n";

  std::vector<double> ours, floor, peers;
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
    if (!peer.empty() && Exists(peer)) {
      std::wstring c = folder / (L"peer" + std::to_wstring(r));
      Build(c + L"\\tree", tree);
      CopyFileW(peer.c_str(), (c + L"\\peer_uninstall.exe").c_str(), FALSE);
      ProcessResult pc = RunProcess(L"\"" + c + L"\\peer_uninstall.exe\" /D=" + c + L"\\tree", {}, 600000);
      peers.push_back(pc.milliseconds);
      if (Exists(c + L"\\tree")) printf("the peer left files behind\n");
    }
    // Let the self-removal batch file finish before the next round.
    for (int i = 0; i < 100 && Exists(a); i++) Sleep(100);
  }
  double mo = Median(ours), mf = Median(floor);
  printf("uninstall of 10000 files in 510 folders 8 levels deep, median of %d: uninstall.exe /S %.0f ms, "
         "cmd /c rd /s /q %.0f ms, ratio %.2f\n",
         rounds, mo, mf, mo / mf);
  if (!peers.empty()) {
    double mp = Median(peers);
    printf("the same deletions by an NSIS peer (Delete and RMDir per entry): %.0f ms; uninstall.exe / peer %.2f\n", mp,
           mo / mp);
  }
  return 0;
}
