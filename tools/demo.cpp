// The demonstration of the tool's main job, run by the README's demo command
// inside the build tree's Wine prefix: it lays out a sample installation,
// runs the real uninstall.exe in its modes, and prints what happened.
#include <stdio.h>

#include "sample.h"
#include "support.h"

static void Say(const std::wstring& text) { printf("%s\n", Narrow(text).c_str()); }
static void Say(const std::string& text) { printf("%s\n", text.c_str()); }

static std::wstring Quote(const std::wstring& path) { return L"\"" + path + L"\""; }

static void Modes(const std::wstring& exe) {
  Say("The command line selects the mode:");
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
}

static void Uninstall(const SampleInstallation& s) {
  Say("Silent uninstall (uninstall.exe /S):");
  Say("  listed: " + std::to_string(s.listedFiles.size()) + " files, " + std::to_string(s.listedFolders.size()) +
      " folders");
  ProcessResult r = RunProcess(Quote(s.Program()) + L" /S");
  Say(L"  exit code " + std::to_wstring(r.exitCode) + L" after " + std::to_wstring(r.milliseconds) +
      L" ms; the hidden batch file then removes the program and the folder");
  WaitUntilGone(s.folder, 30000);
  auto left = s.Remaining();
  if (left.empty()) Say("  left of the installation: nothing");
  for (auto& path : left) Say(L"  left: " + path);
}

int wmain(int, wchar_t**) {
  std::wstring folder = L"C:\\Program Files\\Korvex";
  Say(L"Sample installation: " + folder);
  SampleInstallation s(folder, false);
  Modes(s.Program());
  Uninstall(s);
  return 0;
}
