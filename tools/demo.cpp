// The demonstration of the tool's main job, run by the README's demo command
// inside the build tree's Wine prefix: it lays out a sample installation,
// runs the real uninstall.exe in its modes, and prints what happened.
#include <stdio.h>

#include "support.h"

static void Say(const std::wstring& text) { printf("%s\n", Narrow(text).c_str()); }

static std::wstring Quote(const std::wstring& path) { return L"\"" + path + L"\""; }

int wmain(int, wchar_t**) {
  std::wstring folder = L"C:\\Program Files\\Korvex";
  RemoveTree(folder);
  MakeDirs(folder);
  std::wstring exe = folder + L"\\uninstall.exe";
  CopyFileW(ProductExe().c_str(), exe.c_str(), FALSE);
  CopyFileW(FixturePath(L"Korvex.exe").c_str(), (folder + L"\\Korvex.exe").c_str(), FALSE);
  Say(L"Sample installation: " + folder);

  ProcessResult r = RunProcess(Quote(exe) + L" -whatever");
  Say(L"  uninstall.exe -whatever   -> exit code " + std::to_wstring(r.exitCode) + L" after " +
      std::to_wstring(r.milliseconds) + L" ms (an unknown switch only ends the program)");
  r = RunProcess(Quote(exe) + L" /wait");
  Say(L"  uninstall.exe /wait       -> exit code " + std::to_wstring(r.exitCode) + L" after " +
      std::to_wstring(r.milliseconds) + L" ms (the pause of the self-removal batch file)");
  std::wstring text;
  r = RunProcess(Quote(exe) + L" /warning", {}, 60000, L"", [&](DWORD pid) {
    DialogWatcher watcher(IDOK, pid);
    watcher.Wait();
    text = watcher.caption + L": " + watcher.text;
  });
  for (wchar_t& c : text)
    if (c == L'\n') c = L' ';
  Say(L"  uninstall.exe /warning    -> exit code " + std::to_wstring(r.exitCode) + L", showed \"" + text + L"\"");
  RemoveTree(folder);
  return 0;
}
