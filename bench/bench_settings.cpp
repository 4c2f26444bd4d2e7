// Settings-file operations at 200 and 20,000 entries: load, 20,000 reads and
// writes, save. Prints the times and how they grow with the entry count.
#include <stdio.h>

#include "settings/settings_file.h"
#include "settings/store.h"
#include "support.h"

static double Now() {
  LARGE_INTEGER t, f;
  QueryPerformanceCounter(&t);
  QueryPerformanceFrequency(&f);
  return (double)t.QuadPart * 1000.0 / (double)f.QuadPart;
}

struct Figures {
  double load, ops, save;
};

static Figures Measure(const TempFolder& folder, int entries) {
  std::wstring ini = folder / (L"Korvex" + std::to_wstring(entries) + L".ini");
  std::string text;
  for (int i = 0; i < entries; i++)
    text += "HKCU\\Setup\\Key" + std::to_string(i % 97) + "\\Value" + std::to_string(i) + "=" + std::to_string(i) +
            "\r\n";
  WriteText(ini, text);
  Figures f;
  double t0 = Now();
  ForgetSettingsFile();
  LoadSettingsFileFrom(ini.c_str());
  double t1 = Now();
  wchar_t key[64], value[64];
  long long sum = 0;
  for (int i = 0; i < 20000; i++) {
    int n = (i * 7919) % (entries * 2);  // half of them exist
    wsprintfW(key, L"Setup\\Key%d", n % 97);
    wsprintfW(value, L"Value%d", n);
    if (i & 1) WriteSettingInt(key, value, i);
    else sum += ReadSettingInt(key, value, 0);
  }
  double t2 = Now();
  SaveSettingsFile();
  double t3 = Now();
  ForgetSettingsFile();
  f.load = t1 - t0;
  f.ops = t2 - t1;
  f.save = t3 - t2;
  if (sum == -1) printf(" ");
  return f;
}

int wmain() {
  TempFolder folder(L"kvxbench");
  Measure(folder, 200);  // warm-up
  Figures small = Measure(folder, 200), large = Measure(folder, 20000);
  printf("settings file, 200 entries: load %.2f ms, 20000 reads+writes %.2f ms, save %.2f ms\n", small.load, small.ops,
         small.save);
  printf("settings file, 20000 entries: load %.2f ms, 20000 reads+writes %.2f ms, save %.2f ms\n", large.load,
         large.ops, large.save);
  printf("growth for 100 times the entries: load x%.1f, reads+writes x%.1f, save x%.1f (linear would be x100, x1)\n",
         large.load / small.load, large.ops / small.ops, large.save / small.save);
  return 0;
}
