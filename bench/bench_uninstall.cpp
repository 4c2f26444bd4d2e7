// The uninstall of a large installation: 10,000 and 40,000 listed files in
// 510 folders 8 levels deep, listed in random order (folders among them),
// deleted by uninstall.exe /S, against the raw floor (raw_delete.exe: one
// DeleteFileW per file in list order, then one RemoveDirectoryW per folder,
// deepest first, in one process) and against a peer, an NSIS program that
// makes the same deletions; all in one run, on trees built the same way.
//
//   bench_uninstall --write-nsi <file> <files>        the peer's script, for makensis
//   bench_uninstall [rounds] [peer folder] [work folder] [where]
//
// The peers are peer_<files>.exe in the peer folder; the trees are built in
// the work folder, else in the temporary folder. bench/run runs it twice: on
// the prefix's own disk and on a memory file system, which hides what a
// disk's file system serialises (a folder's changes), so that the two can
// disagree on what is faster. <where> names the place in every line.
#include <stdio.h>

#include <algorithm>
#include <random>
#include <set>

#include "support.h"
#include "util/log.h"
#include "uninstall/deletion.h"
#include "uninstall/driver.h"

namespace {

const int kSizes[] = {10000, 40000};

struct Tree {
  std::vector<std::wstring> folders, files;  // relative
};

Tree MakeTree(unsigned seed, int files) {
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
  for (int i = 0; i < files; i++)
    t.files.push_back(t.folders[random() % t.folders.size()] + L"\\file" + std::to_wstring(i) + L".dat");
  return t;
}

// A tree written just now is partly still on its way to the disk, and the
// system's write-back of it would fall on whatever runs next, at random:
// so every tree reaches the disk before it is timed (by the host's sync,
// which Wine starts like any program; where there is none, nothing waits).
void Build(const std::wstring& root, const Tree& t) {
  MakeDirs(root);
  for (auto& f : t.folders) CreateDirectoryW((root + L"\\" + f).c_str(), nullptr);
  for (auto& f : t.files) WriteText(root + L"\\" + f, "x");
  RunProcess(L"Z:\\bin\\sh -c sync", {}, 600000);
}

std::vector<std::wstring> DeepestFirst(std::vector<std::wstring> folders) {
  std::stable_sort(folders.begin(), folders.end(), [](const std::wstring& a, const std::wstring& b) {
    return std::count(a.begin(), a.end(), L'\\') > std::count(b.begin(), b.end(), L'\\');
  });
  return folders;
}

std::string Lines(const std::vector<std::wstring>& lines) {
  std::string text;
  for (auto& l : lines) text += Narrow(l) + "\r\n";
  return text;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The peer: an NSIS program (amd64, silent) that deletes every file of the
// tree and then removes the folders, deepest first, the way NSIS
// uninstallers are written.
void WriteNsi(const std::wstring& path, const Tree& tree, int files) {
  std::string s = "Unicode true\nTarget amd64-unicode\nSilentInstall silent\nRequestExecutionLevel user\n"
                  "OutFile \"peer_" + std::to_string(files) + ".exe\"\nName \"peer\"\nInstallDir \"$EXEDIR\\tree\"\nSection\n";
  for (auto& f : tree.files) s += "  Delete \"$INSTDIR\\" + Narrow(f) + "\"\n";
  for (auto& f : DeepestFirst(tree.folders)) s += "  RMDir \"$INSTDIR\\" + Narrow(f) + "\"\n";
  s += "  RMDir \"$INSTDIR\"\nSectionEnd\n";
  WriteText(path, s);
}

std::wstring BenchFile(const wchar_t* name) { return BuildDir() + L"\\bench\\" + name; }

struct Size {
  int files;
  Tree tree;
  std::string list;
  std::wstring filesList, foldersList, peer;
  std::vector<double> ours, floor, ratios, peers, passes, logged, loggedRatios, passesLogged;
  double Entries() const { return files + (double)tree.folders.size(); }
};

// One uninstall.exe /S of a freshly built tree (with its log when asked),
// in milliseconds.
double RunOurs(const std::wstring& folder, const Size& size, const std::wstring& temp, int round, bool log = false) {
  std::wstring a = folder + (log ? L"\\logged" : L"\\ours") + std::to_wstring(size.files) + L"-" + std::to_wstring(round);
  Build(a, size.tree);
  CopyFileW(ProductExe().c_str(), (a + L"\\uninstall.exe").c_str(), FALSE);
  WriteText(a + L"\\Uninstall.lst", size.list);
  std::wstring logFile = temp + L"\\bench.log";
  DeleteFileW(logFile.c_str());
  ProcessResult r = RunProcess(L"\"" + a + L"\\uninstall.exe\" /S" + (log ? L" \"/log=" + logFile + L"\"" : L""),
                               {L"TMP=" + temp, L"TEMP=" + temp}, 900000);
  // Let the self-removal batch file finish before anything else runs.
  for (int i = 0; i < 100 && Exists(a); i++) Sleep(100);
  if (Exists(a + L"\\dir0_0")) printf("uninstall.exe left files behind\n");
  return r.milliseconds;
}

// The raw floor on a freshly built tree, in milliseconds.
double RunFloor(const std::wstring& folder, const Size& size, int round) {
  std::wstring b = folder + L"\\floor" + std::to_wstring(size.files) + L"-" + std::to_wstring(round);
  Build(b, size.tree);
  ProcessResult r = RunProcess(L"\"" + BenchFile(L"raw_delete.exe") + L"\" \"" + b + L"\" \"" + size.filesList + L"\" \"" +
                                   size.foldersList + L"\"",
                               {}, 900000);
  if (Exists(b + L"\\dir0_0")) printf("the floor left files behind\n");
  RemoveTree(b);
  return r.milliseconds;
}

// The deletion passes alone, in this process, on a freshly built tree, in
// milliseconds.
double RunPasses(const std::wstring& folder, const Size& size, int round, const std::wstring& log = L"") {
  std::wstring c = folder + L"\\passes" + std::to_wstring(size.files) + L"-" + std::to_wstring(round) + L"\\";
  Build(c, size.tree);
  FileList list;
  list.bytes.AddElements(size.list.size());
  memcpy(list.bytes.Data(), size.list.data(), size.list.size());
  LARGE_INTEGER start, end, frequency;
  if (!log.empty()) DeleteFileW(log.c_str());
  QueryPerformanceCounter(&start);
  if (!log.empty()) OpenLog(log.c_str());
  ParseFileList(list.bytes.Data(), list.bytes.Count(), list.entries);
  PinnedChain chain;  // held by the driver before the deletion
  chain.Pin(c.c_str());
  DeleteListedFiles(list, chain, c.c_str(), L"uninstall.exe", nullptr);
  CloseLog();
  QueryPerformanceCounter(&end);
  QueryPerformanceFrequency(&frequency);
  if (Exists(c + L"dir0_0")) printf("the passes left files behind\n");
  RemoveTree(c);
  return (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
}

}  // namespace

// Ours and the floor run in turn on trees built alike, their order changing
// from round to round, and every ratio is taken within a round: the machine's
// speed drifts more between rounds than the two differ.
int wmain(int argc, wchar_t** argv) {
  if (argc > 3 && std::wstring(argv[1]) == L"--write-nsi") {
    int files = _wtoi(argv[3]);
    WriteNsi(argv[2], MakeTree(7, files), files);
    return 0;
  }
  int rounds = argc > 1 ? _wtoi(argv[1]) : 5;
  std::wstring peers = argc > 2 ? argv[2] : L"";
  std::wstring work = argc > 3 ? argv[3] : L"";
  std::string where = argc > 4 ? Narrow(argv[4]) : "the temporary folder";
  TempFolder scratch(L"kvxbench");
  std::wstring folder = scratch.Path();
  if (!work.empty()) {
    folder = work + L"\\kvxbench";
    MakeDirs(folder);
  }
  std::wstring temp = scratch / L"temp";
  MakeDirs(temp);
  std::vector<Size> sizes;
  for (int files : kSizes) {
    Size s;
    s.files = files;
    s.tree = MakeTree(7, files);
    // The list: files and folders in random order, then the program and the list.
    std::vector<std::wstring> lines = s.tree.folders;
    lines.insert(lines.end(), s.tree.files.begin(), s.tree.files.end());
    std::shuffle(lines.begin(), lines.end(), std::mt19937(11));
    s.list = Lines(lines) + "uninstall.exe\r\nUninstall.lst\r\n";
    // The floor deletes the same files in the same order, then the folders.
    std::set<std::wstring> folders(s.tree.folders.begin(), s.tree.folders.end());
    std::vector<std::wstring> listedFiles;
    for (auto& l : lines)
      if (!folders.count(l)) listedFiles.push_back(l);
    s.filesList = scratch / (L"files" + std::to_wstring(files) + L".txt");
    s.foldersList = scratch / (L"folders" + std::to_wstring(files) + L".txt");
    WriteText(s.filesList, Lines(listedFiles));
    WriteText(s.foldersList, Lines(DeepestFirst(s.tree.folders)));
    s.peer = peers.empty() ? L"" : peers + L"\\peer_" + std::to_wstring(files) + L".exe";
    sizes.push_back(std::move(s));
  }
  std::vector<double> growth, floorGrowth;
  for (int r = 0; r < rounds; r++) {
    for (Size& s : sizes) {
      double ours, floor;
      if (r % 2 == 0) {
        ours = RunOurs(folder, s, temp, r);
        floor = RunFloor(folder, s, r);
      } else {
        floor = RunFloor(folder, s, r);
        ours = RunOurs(folder, s, temp, r);
      }
      s.ours.push_back(ours);
      s.floor.push_back(floor);
      double logged = RunOurs(folder, s, temp, r, true);
      s.logged.push_back(logged);
      s.loggedRatios.push_back(logged / floor);
      s.passes.push_back(RunPasses(folder, s, r));
      s.passesLogged.push_back(RunPasses(folder, s, r, temp + L"\\passes.log"));
      s.ratios.push_back(ours / floor);
      // The peer is several times slower: one run of it tells enough.
      if (r == 0 && !s.peer.empty() && Exists(s.peer)) {
        std::wstring c = folder + L"\\peer" + std::to_wstring(s.files);
        Build(c + L"\\tree", s.tree);
        CopyFileW(s.peer.c_str(), (c + L"\\peer.exe").c_str(), FALSE);
        ProcessResult pc = RunProcess(L"\"" + c + L"\\peer.exe\" /D=" + c + L"\\tree", {}, 900000);
        s.peers.push_back(pc.milliseconds);
        if (Exists(c + L"\\tree")) printf("the peer left files behind\n");
        RemoveTree(c);
      }
    }
    const Size &small = sizes[0], &large = sizes[1];
    growth.push_back((large.ours.back() / large.Entries()) / (small.ours.back() / small.Entries()));
    floorGrowth.push_back((large.floor.back() / large.Entries()) / (small.floor.back() / small.Entries()));
  }
  for (const Size& s : sizes) {
    double mo = Median(s.ours);
    printf("uninstall of %d files in %zu folders 8 levels deep on %s, %d rounds: uninstall.exe /S %.0f ms (median), "
           "raw floor %.0f ms, ours/floor %.2f (median of the rounds' ratios)",
           s.files, s.tree.folders.size(), where.c_str(), rounds, mo, Median(s.floor), Median(s.ratios));
    if (!s.peers.empty()) printf(", NSIS peer %.0f ms, ours/peer %.2f", s.peers[0], mo / s.peers[0]);
    printf("; %.0f us per listed entry\n", mo * 1000 / s.Entries());
    std::vector<double> logCost;
    for (size_t i = 0; i < s.logged.size(); i++) logCost.push_back(s.logged[i] / s.ours[i]);
    printf("  with the log: %.0f ms (median), logged/floor %.2f, logged/unlogged %.2f\n", Median(s.logged),
           Median(s.loggedRatios), Median(logCost));
    std::vector<double> passRatios, passLogCost;
    for (size_t i = 0; i < s.passes.size(); i++) {
      passRatios.push_back(s.passes[i] / s.floor[i]);
      passLogCost.push_back(s.passesLogged[i] / s.passes[i]);
    }
    printf("  the passes alone, in one process: %.0f ms (median), passes/floor %.2f; with the log %.0f ms, "
           "logged/unlogged %.2f\n",
           Median(s.passes), Median(passRatios), Median(s.passesLogged), Median(passLogCost));
  }
  printf("time per entry at 40000 files against 10000 on %s (median of the rounds): uninstall.exe %.2f, raw floor %.2f\n",
         where.c_str(),
         Median(growth), Median(floorGrowth));
  if (!work.empty()) RemoveTree(folder);
  return 0;
}
