#include "app/startup.h"

#include <ole2.h>

#include "app/command.h"
#include "lang/language.h"
#include "lang/module.h"
#include "settings/settings_file.h"
#include "setup/done_dialog.h"
#include "setup/setup_dialog.h"
#include "setup/uninstall_entry.h"
#include "shell/desktop.h"
#include "uninstall/driver.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/text.h"
#include "util/trust.h"

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

namespace {

// Opens the log the command line asks for (its own file in the temporary
// folder when it names none) and writes its header.
void StartLog(const RunOptions& options, const wchar_t* mode, const wchar_t* installerCommand) {
  wchar_t path[kPathCapacity];
  CopyText(path, options.LogPath);
  if (!path[0]) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    // The user's temporary folder, unless the user has pointed it where the
    // tool may not write for them (the system's folders, others'): then
    // the Windows folder's "Temp".
    DWORD n = GetTempPathW(kPathCapacity, path);
    if (n == 0 || n >= kPathCapacity || !IsUserFolderUsable(path)) {
      wchar_t windows[kPathCapacity];
      n = GetSystemWindowsDirectoryW(windows, kPathCapacity);
      if (n == 0 || n >= kPathCapacity) return;
      JoinPath(windows, L"Temp\\", path);
    }
    wchar_t name[80];
    FormatText(name, L"Korvex-%s-%04u%02u%02u-%02u%02u%02u.log", mode, (unsigned)now.wYear, (unsigned)now.wMonth,
               (unsigned)now.wDay, (unsigned)now.wHour, (unsigned)now.wMinute, (unsigned)now.wSecond);
    AppendText(path, name);
  }
  // A name of our own in the user's folder is always a new file: one planted
  // there in advance is not written to.
  if (!OpenLog(path, !options.LogPath[0])) return;
  wchar_t text[kPathCapacity];
  ComposeDisplayName(text, kPathCapacity);
  LogLine(L"%s, %s mode", text, mode);
  LogLine(L"command line: %s", GetCommandLineW());
  LogLine(L"installer command: %s", installerCommand);
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  UniqueHandle token;
  bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()) &&
                  GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof elevation, &size) &&
                  elevation.TokenIsElevated;
  LogLine(L"Windows %u.%u.%u, %s", (unsigned)version.dwMajorVersion, (unsigned)version.dwMinorVersion,
          (unsigned)version.dwBuildNumber, elevated ? L"elevated" : L"not elevated");
  GetProgramPath(text);
  RemoveName(text);
  LogLine(L"program folder: %s", text);
}

}  // namespace

int RunProgram(HINSTANCE instance) {
  HardenDllSearch(true);
  RunContext run = {};
  // The program file is held from the first moment: the self-removal later
  // moves or copies it from this handle, and no one can have put another
  // program at its name meanwhile.
  UniqueFile image(OpenOwnImage());
  run.ProgramImage = image.Get();
  LoadLanguageModule(instance);
  LoadLanguageFile(L"uninstall.lng");
  OleInitialize(nullptr);
  UniqueModule richEdit(LoadSystemLibrary(L"riched20.dll"));
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
  if (run.Options.Log) StartLog(run.Options, setup ? L"setup" : uninstall ? L"uninstall" : L"actions", installerCommand);
  RunCommandActions(actions);
  if (setup || uninstall) RemoveAbandonedBatchFolders();

  if (setup && !run.Options.Silent && !CanAskUser()) {
    // The setup dialog asks, and nobody can answer: the answer that changes
    // nothing.
    LogLine(L"setup dialog skipped: nobody can answer it (the window station is not visible)");
    run.Options.ExitCode = kExitCancelled;
  } else if (setup) {
    if (DialogBoxParamW(ResourceInstance, L"SETUPDLG", nullptr, SetupDialogProc, (LPARAM)&run) != 0) {
      RunPostSetupCopy();
      if (!run.Options.Msi && CanAskUser())
        DialogBoxParamW(ResourceInstance, L"DONEDLG", nullptr, DoneDialogProc, (LPARAM)&run);
      if (run.ProgramGroupPath[0] && !run.Options.Silent && !run.Options.Msi && !run.Options.NoExplorer &&
          FileExists(run.ProgramGroupPath))
        OpenInUserShell(run.ProgramGroupPath);
    }
  } else if (uninstall) {
    UninstallDriver(run);
  }

  richEdit.Reset();
  OleUninitialize();
  font.Reset();
  run.BoldFont = nullptr;
  int exitCode = run.Options.ExitCode;
  LogLine(L"exit code %d", exitCode);
  CloseLog();

  // Process end: the portable settings file is saved, the language module
  // released and the text tables freed.
  CloseSettingsStore();
  ReleaseLanguageModule();
  FreeLanguageFile();
  return exitCode;
}
