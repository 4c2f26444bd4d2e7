// The demonstration of the tool's main job, run by the README's demo command
// inside the build tree's Wine prefix: it lays out a sample installation,
// runs the real uninstall.exe as the installer would (setup) and as the list
// of installed programs would (uninstall), and reports what was integrated
// and what was left.
//
//   kvxdemo [--setup-only] [--dialogs]
#include <stdio.h>
#include <string.h>

#include "sample.h"
#include "support.h"

static void Say(const std::wstring& text) { printf("%s\n", Narrow(text).c_str()); }
static void Say(const std::string& text) { printf("%s\n", text.c_str()); }


static void Modes(const std::wstring& exe) {
  Say("The command line selects the mode:");
  ProcessResult r = RunProcess(Quote(exe) + L" -whatever");
  Say(L"  uninstall.exe -whatever  -> exit code " + std::to_wstring(r.exitCode) + L" after " +
      std::to_wstring(r.milliseconds) + L" ms (an unknown switch only ends the program)");
  r = RunProcess(Quote(exe) + L" /wait");
  Say(L"  uninstall.exe /wait      -> exit code " + std::to_wstring(r.exitCode) + L" after " +
      std::to_wstring(r.milliseconds) + L" ms (the pause of the self-removal batch file)");
  std::wstring text;
  r = RunProcess(Quote(exe) + L" /warning", {}, 60000, L"", [&](DWORD pid) {
    DialogWatcher watcher(IDOK, pid);
    watcher.Wait();
    text = watcher.text;
  });
  for (wchar_t& c : text)
    if (c == L'\n') c = L' ';
  Say(L"  uninstall.exe /warning   -> showed \"" + text + L"\"");
}

static void Report(const wchar_t* title) {
  auto lines = IntegrationFootprint();
  Say(std::wstring(L"  ") + title + (lines.empty() ? L" nothing" : L""));
  // The associations in one line, the rest as they come.
  std::wstring associations;
  int count = 0;
  for (auto& line : lines) {
    if (line.compare(0, 13, L"association: ") != 0) continue;
    associations += L" " + line.substr(13, line.find(L' ', 13) - 13);
    count++;
  }
  if (count) Say(L"    associations (" + std::to_wstring(count) + L"):" + associations);
  for (auto& line : lines)
    if (line.compare(0, 13, L"association: ") != 0) Say(L"    " + line);
}

int wmain(int argc, wchar_t** argv) {
  bool setupOnly = false, dialogs = false;
  for (int i = 1; i < argc; i++) {
    if (!wcscmp(argv[i], L"--setup-only")) setupOnly = true;
    if (!wcscmp(argv[i], L"--dialogs")) dialogs = true;
  }
  std::wstring folder = L"C:\\Program Files\\Korvex";
  SampleInstallation s(folder, false);
  Say(L"Sample installation: " + folder + L" (the real uninstall.exe, stand-ins for the other components, " +
      std::to_wstring(s.listedFiles.size()) + L" listed files)");
  Modes(s.Program());

  Say(dialogs ? "Setup, as the installer starts it: uninstall.exe -setup (confirm the dialogs)"
              : "Setup, as the installer starts it silently: uninstall.exe -setup, installer command \"-s\"");
  ProcessResult r = RunProcess(Quote(s.Program()) + L" -setup" + (dialogs ? L"" : L" -noexplorer"),
                               {L"sfxcmd=" + std::wstring(dialogs ? L"" : L"-s")}, 600000, folder);
  Say(L"  exit code " + std::to_wstring(r.exitCode) + L" after " + std::to_wstring(r.milliseconds) + L" ms");
  Report(L"integrated:");
  if (setupOnly) {
    Say("Left installed (--setup-only); run the demo again to uninstall it.");
    return 0;
  }

  Say(dialogs ? "Uninstall, as the list of installed programs starts it: uninstall.exe (confirm the question)"
              : "Uninstall, silently: uninstall.exe /S");
  r = RunProcess(Quote(s.Program()) + (dialogs ? L"" : L" /S"), {}, 600000);
  Say(L"  exit code " + std::to_wstring(r.exitCode) + L" after " + std::to_wstring(r.milliseconds) +
      L" ms; then the hidden batch file removes the program and its folder");
  WaitUntilGone(s.folder, 30000);
  Report(L"left of the integration:");
  auto left = s.Remaining();
  Say(std::string("  left of the installation:") + (left.empty() ? " nothing" : ""));
  for (auto& path : left) Say(L"    " + path);
  return 0;
}
