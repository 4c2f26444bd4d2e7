// Start-up cost of a no-op run ("-x": start-up and shut-down only) against
// a minimal Windows GUI program built with the same flags, both started the
// same way under the same Wine, alternately, in one run.
#include <stdio.h>

#include <algorithm>
#include <vector>

#include "support.h"

static double Median(std::vector<DWORD> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int wmain(int argc, wchar_t** argv) {
  int rounds = argc > 1 ? _wtoi(argv[1]) : 15;
  TempFolder folder(L"kvxbench");
  std::wstring ours = folder / L"uninstall.exe", floor = folder / L"minimal_gui.exe";
  CopyFileW(ProductExe().c_str(), ours.c_str(), FALSE);
  CopyFileW((BuildDir() + L"\\bench\\minimal_gui.exe").c_str(), floor.c_str(), FALSE);
  std::vector<DWORD> a, b;
  for (int i = 0; i < rounds + 2; i++) {
    DWORD ta = RunProcess(L"\"" + ours + L"\" -x").milliseconds;
    DWORD tb = RunProcess(L"\"" + floor + L"\" -x").milliseconds;
    if (i >= 2) a.push_back(ta), b.push_back(tb);  // the first rounds warm the caches
  }
  double ma = Median(a), mb = Median(b);
  printf("start-up, median of %d runs: uninstall.exe -x %.0f ms, minimal GUI program %.0f ms, ratio %.2f\n", rounds,
         ma, mb, mb > 0 ? ma / mb : 0.0);
  return 0;
}
