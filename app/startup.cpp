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

HICON DialogIcon;
HFONT BoldFont;
wchar_t ProgramGroupPath[kPathCapacity];

static int g_ScreenDpi;

int ScaleToDpi(int value) {
  if (g_ScreenDpi == 0) {
    HDC dc = GetDC(nullptr);
    if (!dc) return 0;
    g_ScreenDpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
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
  DialogIcon = LoadIconW(ResourceInstance, L"KVXICON");
  if (!DialogIcon && ResourceInstance != ProgramInstance) DialogIcon = LoadIconW(ProgramInstance, L"KVXICON");
  UniqueGdiObject font(CreateFontW(ScaleToDpi(-12), 0, 0, 0, 700, 0, 0, 0, 0, 0, 0, 0, 0, L"MS Shell Dlg"));
  BoldFont = (HFONT)font.get();

  wchar_t installerCommand[1024];
  installerCommand[0] = 0;
  DWORD n = GetEnvironmentVariableW(L"sfxcmd", installerCommand, 1024);
  if (n == 0 || n >= 1024) installerCommand[0] = 0;
  bool setup = false, uninstall = false;
  CommandActions actions;
  ParseCommand(true, installerCommand, setup, uninstall);
  ParseCommand(false, GetCommandLineW(), setup, uninstall, &actions);
  RunCommandActions(actions);

  if (setup) {
    if (DialogBoxParamW(ResourceInstance, L"SETUPDLG", nullptr, SetupDialogProc, 0) != 0) {
      RunPostSetupCopy();
      if (!g_RunOptions.Msi) DialogBoxParamW(ResourceInstance, L"DONEDLG", nullptr, DoneDialogProc, 0);
      if (ProgramGroupPath[0] && !g_RunOptions.Silent && !g_RunOptions.Msi && !g_RunOptions.NoExplorer &&
          FileExists(ProgramGroupPath))
        OpenInUserShell(ProgramGroupPath);
    }
  } else if (uninstall) {
    UninstallDriver();
  }

  richEdit.reset();
  OleUninitialize();
  font.reset();
  BoldFont = nullptr;
  int exitCode = g_RunOptions.ExitCode;

  // Process end: the portable settings file is saved, the language module
  // released and the text tables freed.
  CloseSettingsStore();
  ReleaseLanguageModule();
  FreeLanguageFile();
  return exitCode;
}
