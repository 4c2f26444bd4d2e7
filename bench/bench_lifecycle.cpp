// A silent setup and a silent uninstall of the sample installation (the
// uninstall's own process: the deletions, not the batch file's removal of
// the program afterwards), against a no-op run of the same program (the
// start-up alone), medians of several rounds in one run.
#include <stdio.h>

#include <algorithm>

#include "sample.h"
#include "support.h"

static double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int wmain(int argc, wchar_t** argv) {
  int rounds = argc > 1 ? _wtoi(argv[1]) : 5;
  std::vector<double> noop, setup, uninstall;
  TempFolder root(L"kvxbench");
  std::wstring temp = root / L"temp";
  MakeDirs(temp);
  for (int r = 0; r < rounds; r++) {
    SampleInstallation s(root / (L"Korvex" + std::to_wstring(r)), true);
    std::wstring exe = L"\"" + s.Program() + L"\"";
    std::vector<std::wstring> env = {L"TMP=" + temp, L"TEMP=" + temp, L"sfxcmd=-s", L"sfxname="};
    noop.push_back(RunProcess(exe + L" -x", env, 60000, s.folder).milliseconds);
    setup.push_back(RunProcess(exe + L" -setup -noexplorer", env, 120000, s.folder).milliseconds);
    uninstall.push_back(RunProcess(exe + L" /S", env, 120000).milliseconds);
    WaitUntilGone(s.folder, 30000);
  }
  double n = Median(noop), a = Median(setup), u = Median(uninstall);
  printf("sample installation, median of %d: no-op run %.0f ms, silent setup %.0f ms (x%.1f), silent uninstall %.0f ms "
         "(x%.1f)\n",
         rounds, n, a, a / n, u, u / n);
  return 0;
}
