#include "app/startup.h"

#include <ole2.h>

#include "app/command.h"
#include "lang/language.h"
#include "lang/module.h"
#include "settings/settings_file.h"
#include "setup/done_dialog.h"
#include "setup/setup_dialog.h"
#include "shell/desktop.h"
#include "uninstall/driver.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/text.h"

static int g_ScreenDpi;

int ScaleToDpi(int value) {
  if (g_ScreenDpi == 0) {
    UniqueScreenDc dc(GetDC(nullptr));
    if (!dc) return 0;
    g_ScreenDpi = GetDeviceCaps(dc.Get(), LOGPIXELSY);
  }
  return (int)((long long)value * g_ScreenDpi / 96);
}

void SetScreenDpi(int dpi) { g_ScreenDpi = dpi; }

void HardenDllSearch(bool removeCurrentDirectory) {
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  if (!kernel) return;
  typedef BOOL(WINAPI * SetDllDirectoryProc)(LPCWSTR);
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
  auto setDllDirectory = (SetDllDirectoryProc)(void*)GetProcAddress(kernel, "SetDllDirectoryW");
  if (setDllDirectory) setDllDirectory(removeCurrentDirectory ? L"" : nullptr);
  // Later loads by name come from the system folder only; the program's own
  // folder may hold files a user dropped there (an installer's download folder).
  auto setDefault = (SetDefaultDllDirectoriesProc)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories");
  if (setDefault && removeCurrentDirectory) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int RunProgram(HINSTANCE instance) {
  HardenDllSearch(true);
  LoadLanguageModule(instance);
  LoadLanguageFile(L"uninstall.lng");
  OleInitialize(nullptr);
  UniqueModule richEdit(LoadSystemLibrary(L"riched20.dll"));
  RunContext run = {};
  run.DialogIcon = LoadIconW(ResourceInstance, L"KVXICON");
  if (!run.DialogIcon && ResourceInstance != ProgramInstance) run.DialogIcon = LoadIconW(ProgramInstance, L"KVXICON");
  UniqueGdiObject font(CreateFontW(ScaleToDpi(-12), 0, 0, 0, 700, 0, 0, 0, 0, 0, 0, 0, 0, L"MS Shell Dlg"));
  run.BoldFont = (HFONT)font.Get();

  wchar_t installerCommand[1024];
  installerCommand[0] = 0;
  DWORD n = GetEnvironmentVariableW(L"sfxcmd", installerCommand, 1024);
  if (n == 0 || n >= 1024) installerCommand[0] = 0;
  bool setup = false, uninstall = false;
  CommandActions actions;
  ParseCommand(true, installerCommand, run.Options, setup, uninstall);
  ParseCommand(false, GetCommandLineW(), run.Options, setup, uninstall, &actions);
  RunCommandActions(actions);

  if (setup) {
    if (DialogBoxParamW(ResourceInstance, L"SETUPDLG", nullptr, SetupDialogProc, (LPARAM)&run) != 0) {
      RunPostSetupCopy();
      if (!run.Options.Msi) DialogBoxParamW(ResourceInstance, L"DONEDLG", nullptr, DoneDialogProc, (LPARAM)&run);
      if (run.ProgramGroupPath[0] && !run.Options.Silent && !run.Options.Msi && !run.Options.NoExplorer &&
          FileExists(run.ProgramGroupPath))
        OpenInUserShell(run.ProgramGroupPath);
    }
  } else if (uninstall) {
    UninstallDriver(run.Options);
  }

  richEdit.Reset();
  OleUninitialize();
  font.Reset();
  run.BoldFont = nullptr;
  int exitCode = run.Options.ExitCode;

  // Process end: the portable settings file is saved, the language module
  // released and the text tables freed.
  CloseSettingsStore();
  ReleaseLanguageModule();
  FreeLanguageFile();
  return exitCode;
}
