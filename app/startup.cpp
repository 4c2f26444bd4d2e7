#include "app/startup.h"

#include <ole2.h>
#include <sddl.h>

#include "app/command.h"
#include "lang/language.h"
#include "lang/module.h"
#include "settings/settings_file.h"
#include "settings/transaction.h"
#include "setup/done_dialog.h"
#include "setup/setup_dialog.h"
#include "setup/uninstall_entry.h"
#include "shell/desktop.h"
#include "uninstall/run_folders.h"
#include "uninstall/driver.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/product.h"
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

// The default log file: a new "Korvex-<mode>-<date>-<time>.log" in the
// user's temporary folder, unless the user has pointed it where the tool may
// not write for them (the system's folders, others'): then in the Windows
// folder's "Temp".
bool DefaultLogPath(const wchar_t* mode, wchar_t (&path)[kPathCapacity]) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  DWORD n = GetTempPathW(kPathCapacity, path);
  if (!FitsBuffer(n, kPathCapacity) || !IsUserFolderUsable(path)) {
    wchar_t windows[kPathCapacity];
    n = GetSystemWindowsDirectoryW(windows, kPathCapacity);
    if (!FitsBuffer(n, kPathCapacity)) return false;
    JoinPath(windows, L"Temp\\", path);
  }
  wchar_t name[80];
  FormatText(name, KVX_PRODUCT L"-%s-%04u%02u%02u-%02u%02u%02u.log", mode, (unsigned)now.wYear, (unsigned)now.wMonth,
             (unsigned)now.wDay, (unsigned)now.wHour, (unsigned)now.wMinute, (unsigned)now.wSecond);
  AppendText(path, name);
  return true;
}

// The account the run acts as, "DOMAIN\name", and whether it is SYSTEM.
void DescribeAccount(wchar_t (&text)[512], bool& system, bool& elevated) {
  CopyText(text, L"?");
  system = elevated = false;
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) return;
  alignas(8) unsigned char buffer[256];
  DWORD size = 0;
  TOKEN_ELEVATION elevation = {};
  elevated = GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof elevation, &size) &&
             elevation.TokenIsElevated;
  if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size)) return;
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  system = IsWellKnownSid(sid, WinLocalSystemSid) != 0;
  wchar_t name[256], domain[256];
  DWORD nameSize = 256, domainSize = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
    FormatText(text, L"%s\\%s", domain, name);
}

// Opens the log the command line asks for and writes its header. A log the
// installer's command asks for (the user's environment carries it) goes
// only where the user may have the tool write and could make it with the
// user's own rights, else to the default file.
// False when a log named on the command line cannot be had.
bool StartLog(const RunOptions& options, const wchar_t* mode, const wchar_t* installerCommand) {
  wchar_t path[kPathCapacity];
  bool opened = false;
  if (options.LogPath[0] && !options.LogFromInstaller) {
    // The command line's own file: added to when it is a log of the tool's,
    // made when there is none; else nothing runs.
    if (!OpenLog(options.LogPath, false)) return false;
    opened = true;
  } else if (options.LogPath[0]) {
    wchar_t folder[kPathCapacity];
    DWORD n = GetFullPathNameW(options.LogPath, kPathCapacity, folder, nullptr);
    if (FitsBuffer(n, kPathCapacity)) {
      RemoveName(folder);
      // Made or opened with the user's own rights: never a file the user
      // could not have made or written there.
      AsTheUser user;
      opened = user.Acting() && IsUserFolderUsable(folder) && OpenLog(options.LogPath, false);
    }
  }
  // A name of our own is always a new file: one planted there in advance is
  // not written to. Without it the run goes on unlogged.
  if (!opened && (!DefaultLogPath(mode, path) || !OpenLog(path, true))) return true;
  wchar_t text[512];
  ComposeDisplayName(text, 512);
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t date[16];
  FormatText(date, L"%04u-%02u-%02u", (unsigned)now.wYear, (unsigned)now.wMonth, (unsigned)now.wDay);
  LogLine("==== %s, %s mode, %s ====", text, mode, date);
  bool system, elevated;
  DescribeAccount(text, system, elevated);
  LogLine("account: %s%s, %s", text, system ? L" (SYSTEM)" : L"", elevated ? L"elevated" : L"not elevated");
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  LogLine("Windows %u.%u.%u", (unsigned)version.dwMajorVersion, (unsigned)version.dwMinorVersion,
          (unsigned)version.dwBuildNumber);
  LogLine("command line: %s", GetCommandLineW());
  LogLine("installer command: %s", installerCommand);
  GetProgramPath(path);
  RemoveName(path);
  LogLine("program folder: %s", path);
  return true;
}

// One setup or uninstall at a time: a mutex in a namespace that only the
// machine's administrators can make (no other user's program can take its
// name first to block the tool), or, where there is none, one of the
// machine's, made so that only administrators and SYSTEM may open it; one
// of that name that another account made first is no run of ours and is
// ignored (the run goes on without the lock). The first run holds it to
// its end.
class RunLock {
 public:
  bool Take() {
    namespace_.Reset();
    HANDLE bounds = CreateBoundaryDescriptorW(kProductName, 0);
    unsigned char sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    bool bounded = bounds && CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
                   AddSIDToBoundaryDescriptor(&bounds, sid);
    UniqueBoundary boundary(bounds);  // the addition may have put another descriptor in its place
    if (bounded) {
      namespace_.Reset(CreatePrivateNamespaceW(nullptr, bounds, kProductName));
      if (!namespace_) namespace_.Reset(OpenPrivateNamespaceW(bounds, kProductName));
    }
    UniqueLocal descriptor;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                         descriptor.Put(), nullptr);
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor.Get(), FALSE};
    mutex_.Reset(CreateMutexW(&security, FALSE, namespace_ ? KVX_PRODUCT L"\\SetupAndUninstall" : L"Global\\" KVX_PRODUCT L".SetupAndUninstall"));
    if (!mutex_) return true;  // no lock to be had: no other run can hold one either
    if (!namespace_ && GetLastError() == ERROR_ALREADY_EXISTS && !IsOwnedByAdministrators(mutex_.Get(), SE_KERNEL_OBJECT)) {
      LogLine("the run lock's name is another account's: ignored");
      mutex_.Reset();
      return true;
    }
    DWORD wait = WaitForSingleObject(mutex_.Get(), 0);
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;  // abandoned: a run that was killed
    return held_;
  }
  ~RunLock() {
    if (held_) ReleaseMutex(mutex_.Get());
  }

 private:
  UniquePrivateNamespace namespace_;  // closed after the mutex in it
  UniqueHandle mutex_;
  bool held_ = false;
};

// The setup dialog, the copy step, the completion dialog and the program
// group opened.
void RunSetupDialogs(RunContext& run) {
  INT_PTR confirmed = DialogBoxParamW(ResourceInstance, L"SETUPDLG", nullptr, SetupDialogProc, (LPARAM)&run);
  if (confirmed == -1) {
    LogFailure("to show the setup dialog", L"SETUPDLG", GetLastError());
    run.Options.ExitCode = kExitNoDialog;
    return;
  }
  if (confirmed == 0) return;
  RunPostSetupCopy();
  if (!run.Options.Msi && CanAskUser() &&
      DialogBoxParamW(ResourceInstance, L"DONEDLG", nullptr, DoneDialogProc, (LPARAM)&run) == -1)
    LogFailure("to show the completion dialog", L"DONEDLG", GetLastError());
  if (run.ProgramGroupPath[0] && !run.Options.Silent && !run.Options.Msi && !run.Options.NoExplorer &&
      FileExists(run.ProgramGroupPath))
    OpenInUserShell(run.ProgramGroupPath);
}

// Setup mode, unless nobody can answer its dialog.
void RunSetup(RunContext& run) {
  if (!run.Options.Silent && !CanAskUser()) {
    // The setup dialog asks, and nobody can answer: the answer that changes
    // nothing.
    LogLine("setup dialog skipped: nobody can answer it");
    run.Options.ExitCode = kExitCancelled;
    return;
  }
  // What the dialogs and the shell's objects need, for this mode only: an
  // uninstall shows no dialog and needs none of it.
  OleSession ole;
  UniqueModule richEdit(LoadSystemLibrary(L"riched20.dll"));
  // The icon in the sizes the screen's DPI asks for: the big one of the task
  // switcher, the small one of the caption (a language module may bring its own).
  HINSTANCE icons = FindResourceW(ResourceInstance, L"KVXICON", RT_GROUP_ICON) ? ResourceInstance : ProgramInstance;
  run.DialogIcon = (HICON)LoadImageW(icons, L"KVXICON", IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED);
  run.SmallIcon = (HICON)LoadImageW(icons, L"KVXICON", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                    GetSystemMetrics(SM_CYSMICON), LR_SHARED);
  UniqueGdiObject font(CreateFontW(ScaleToDpi(-12), 0, 0, 0, 700, 0, 0, 0, 0, 0, 0, 0, 0, L"MS Shell Dlg"));
  run.BoldFont = (HFONT)font.Get();
  SetupTransaction transaction;
  run.Transaction = &transaction;
  RunSetupDialogs(run);
  run.Transaction = nullptr;
  run.BoldFont = nullptr;
}

// What the exit code means, for the log's summary.
const char* ResultText(int exitCode) {
  switch (exitCode) {
    case kExitSuccess: return "success";
    case kExitCancelled: return "cancelled: nothing was changed";
    case kExitListMissing: return "the file list could not be opened: nothing was removed";
    case kExitRefused: return "a change was refused: everything this run changed was put back";
    case kExitNoDialog: return "the setup dialog could not be shown: nothing was changed";
    case kExitNoSelfRemoval: return "removed, but the program file and its folder stay: delete them by hand";
    case kExitFilesLeft: return "removed, but files stay (named below)";
    case kExitFolderInUse: return "the program folder is in use: nothing was removed";
    case kExitAlreadyRunning: return "another setup or uninstall run is in progress: nothing was done";
    case kExitRestartNeeded: return "success; a restart finishes the removal";
    default: return "failure";
  }
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
  LoadLanguageFile(kLanguageFileName);

  wchar_t installerCommand[1024];
  installerCommand[0] = 0;
  DWORD n = GetEnvironmentVariableW(L"sfxcmd", installerCommand, 1024);
  if (!FitsBuffer(n, 1024)) installerCommand[0] = 0;
  RunMode mode = RunMode::Actions;
  CommandActions actions;
  ParseCommand(true, installerCommand, run.Options, mode);
  ParseCommand(false, GetCommandLineW(), run.Options, mode, &actions);
  bool setup = mode == RunMode::Setup, uninstall = mode == RunMode::Uninstall;
  if (run.Options.NoMessages) SuppressMessages();
  RunLock lock;
  if (run.Options.Log && !StartLog(run.Options, setup ? L"setup" : uninstall ? L"uninstall" : L"actions", installerCommand)) {
    // A log the command line names and that cannot be written: nothing is
    // done, as a deployment tool expects of a run it asked to be logged.
    // Captioned as the run's other messages are: setup's own, or the uninstall's.
    ShowPathMessage(GetText(IDS_CANNOTOPENLOG), run.Options.LogPath, GetText(setup ? IDS_UNINSTTITLE : IDS_UNINSTALLKVX),
                    MB_ICONERROR | MB_SETFOREGROUND);
    run.Options.ExitCode = kExitLogFailed;
  } else if ((setup || uninstall) && !lock.Take()) {
    LogLine("another setup or uninstall run is in progress: nothing done");
    run.Options.ExitCode = kExitAlreadyRunning;
  } else {
    RunCommandActions(actions, run.Options.WarningPath);
    if (setup || uninstall) RemoveAbandonedBatchFolders();
    if (setup) RunSetup(run);
    else if (uninstall) UninstallDriver(run);
    if (run.RestartNeeded && run.Options.RestartCode && run.Options.ExitCode == kExitSuccess)
      run.Options.ExitCode = kExitRestartNeeded;
  }

  int exitCode = run.Options.ExitCode;
  // The portable settings file is saved at the process's end, into the log.
  CloseSettingsStore();
  LogSummary(ResultText(exitCode), exitCode, run.RestartNeeded);
  LogLine("exit code %d", exitCode);
  CloseLog();

  // Process end: the language module released and the text tables freed.
  ReleaseLanguageModule();
  FreeLanguageFile();
  return exitCode;
}
