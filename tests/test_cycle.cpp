// The shell integration and its removal against the prefix's real registry
// (both views) and special folders: shell extension, App Paths, shortcuts,
// the uninstall entry, and the whole cycle of setup and uninstall.
//
// Built twice: test_cycle_win10 and test_cycle_win7, which the prefix runs as
// Windows 10 and Windows 7. The integration runs in children: copies of this
// program in a sample installation, so that the program folder is a real
// one. The Windows 11 cases use the version seam in those children.
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <set>

#include "app/command.h"
#include "lang/language.h"
#include "lang/module.h"
#include "sample.h"
#include "state.h"
#include "settings/settings_file.h"
#include "settings/store.h"
#include "model/options.h"
#include "setup/uninstall_entry.h"
#include "model/winver.h"
#include "shell/apply.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/text.h"
#include "util/path.h"
#include "setup/setup_dialog.h"
#include "shell/shell_extension.h"
#include "shell/shortcuts.h"
#include "test.h"
#include "uninstall/removal.h"

#ifdef KVX_WIN7
static const wchar_t* const kChildName = L"uninstall_win7.exe";
static const DWORD kExpectedVersion = 0x0601;
#else
static const wchar_t* const kChildName = L"uninstall.exe";
static const DWORD kExpectedVersion = 0x0A00;
#endif

static const wchar_t* const kClass32 = L"{A3E81D57-9B26-4C0F-B7D3-5E18C4A20B69}";
static const wchar_t* const kClass64 = L"{6F0C2A91-3D7E-4B15-A8C4-92E5D1B07F36}";
static const wchar_t* const kAppPaths = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe";
static const wchar_t* const kUninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex archiver";
static const wchar_t* const kApprovedKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";

// ---------------------------------------------------------------- children

static std::wstring Env(const wchar_t* name) {
  wchar_t value[4096] = {};
  GetEnvironmentVariableW(name, value, 4096);
  return value;
}

// The options a child works with: an override string applied to an
// all-false record.
static IntegrationOptions ChildOptions() {
  IntegrationOptions o = {};
  ApplyInstallerOverrides(Env(L"KVX_OPTIONS").c_str(), o);
  o.LegacyMenu = Env(L"KVX_LEGACY") == L"1";
  return o;
}

static VersionSeam g_Windows11;
static bool NotWindows10() { return false; }

static void ChildStart() {
  OleInitialize(nullptr);
  ProgramInstance = ResourceInstance = GetModuleHandleW(nullptr);
  if (Env(L"KVX_PRETEND_WIN11") == L"1") {
    g_Windows11.info.dwOSVersionInfoSize = sizeof g_Windows11.info;
    g_Windows11.info.dwMajorVersion = 10;
    g_Windows11.info.dwBuildNumber = 22631;
    g_Windows11.info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    g_Windows11.windows10Name = NotWindows10;
    g_VersionSeam = &g_Windows11;
  }
  // KVX_CUT_AT=n ends the child before its n-th registry write or deletion,
  // as a killed process would end; with KVX_CUT_CREATE=1 just after the key
  // to be written has been created, before its value.
  if (Env(L"KVX_CUT_AT") != L"") {
    static int steps, cutAt;
    static bool create;
    cutAt = _wtoi(Env(L"KVX_CUT_AT").c_str());
    create = Env(L"KVX_CUT_CREATE") == L"1";
    g_RegistryWriteFilter = [](HKEY root, const wchar_t* path, DWORD view) -> LONG {
      if (++steps != cutAt) return 0;
      HKEY key;
      if (create && RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr) ==
                        ERROR_SUCCESS)
        RegCloseKey(key);
      TerminateProcess(GetCurrentProcess(), 3);
      return 0;
    };
  }
  // KVX_REFUSE_AT=n refuses the n-th registry write or deletion, as Windows
  // refuses a process without the right to change the machine.
  if (Env(L"KVX_REFUSE_AT") != L"") {
    static int steps, refuseAt;
    refuseAt = _wtoi(Env(L"KVX_REFUSE_AT").c_str());
    g_RegistryWriteFilter = [](HKEY, const wchar_t*, DWORD) -> LONG {
      return ++steps == refuseAt ? ERROR_ACCESS_DENIED : 0;
    };
  }
  if (Env(L"KVX_DENY") != L"") {
    static std::wstring denied = Env(L"KVX_DENY");
    g_RegistryWriteFilter = [](HKEY, const wchar_t* path, DWORD) -> LONG {
      return _wcsicmp(path, denied.c_str()) == 0 ? ERROR_ACCESS_DENIED : 0;
    };
  }
}

KVX_CHILD(version) {
  ChildStart();
  return (int)WindowsVersion();
}
// The single steps run as the uninstall runs them: with a transaction that
// is never begun.
static SetupTransaction g_None;
KVX_CHILD(shellext_register) {
  ChildStart();
  SetShellExtension(g_None, false, ChildOptions());
  return 0;
}
KVX_CHILD(shellext_remove) {
  ChildStart();
  SetShellExtension(g_None, true, IntegrationOptions{});
  return 0;
}
KVX_CHILD(app_path) {
  ChildStart();
  return RegisterAppPath(g_None) ? 1 : 0;
}
KVX_CHILD(apply) {
  ChildStart();
  wchar_t group[2048] = {};
  bool ok = ApplyIntegration(g_None, ChildOptions(), group, 2048);
  if (Env(L"KVX_ENTRY") == L"1") WriteUninstallEntry(g_None);
  CloseSettingsStore();  // a portable settings file is saved at the end, as by the program
  return ok ? 1 : 0;
}
// The setup dialog as the program runs it: silent (it confirms itself) or
// shown (the parent presses OK); the exit code is the run's.
KVX_CHILD(setup) {
  ChildStart();
  UniqueModule richEdit(LoadSystemLibrary(L"riched20.dll"));
  RunContext run = {};
  SetupTransaction transaction;
  run.Transaction = &transaction;
  run.Options.Silent = Env(L"KVX_SILENT") == L"1";
  CopyText(run.Options.InitText, Env(L"KVX_INIT").c_str());
  INT_PTR confirmed = DialogBoxParamW(GetModuleHandleW(nullptr), L"SETUPDLG", nullptr, SetupDialogProc, (LPARAM)&run);
  CloseSettingsStore();
  return confirmed == -1 ? 99 : run.Options.ExitCode;
}
// KVX_NOTICES=file: each notice the shell is given, taken slowly, is noted
// there (only one waited for before the child ends), with whether the
// ProgIDs had gone by then.
static std::wstring g_Notices;
static void WINAPI NoteNotice(LONG event, UINT, LPCVOID, LPCVOID) {
  if (g_Notices.empty()) return;
  Sleep(300);
  Bytes noted = ReadBytes(g_Notices);
  bool gone = !RegKeyExists(HKEY_CLASSES_ROOT, L"Korvex.ZIP", 0);
  WriteText(g_Notices, std::string(noted.begin(), noted.end()) + std::to_string(event) + (gone ? " after;" : " before;"));
}
KVX_CHILD(remove) {
  ChildStart();
  g_Notices = Env(L"KVX_NOTICES");
  ImportHooks hooks({{"SHChangeNotify", (void*)NoteNotice}});
  ShellChangeNotice notice;
  RemoveIntegration(Env(L"KVX_MSI") == L"1", notice);
  return 0;
}
KVX_CHILD(entry) {
  ChildStart();
  WriteUninstallEntry(g_None);
  return 0;
}
KVX_CHILD(shortcuts) {
  ChildStart();
  wchar_t group[2048] = {};
  std::wstring icon = Env(L"KVX_ICON");
  SetShortcuts(g_None, ChildOptions(), group, 2048, icon.empty() ? nullptr : icon.c_str());
  WriteText(Env(L"KVX_GROUP_OUT"), Narrow(group));
  return 0;
}

// ---------------------------------------------------------------- the parent's side

struct Installed {
  TempFolder root{L"kvxc"};
  SampleInstallation sample{root / L"Korvex"};
  std::wstring child = sample.folder + L"\\" + kChildName;
  Installed() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    CopyFileW(self, child.c_str(), FALSE);
  }
  DWORD Run(const char* what, std::vector<std::wstring> env = {}) {
    ProcessResult r = RunProcess(L"\"" + child + L"\" --child=" + Widen(what), env, 120000);
    return r.exitCode;
  }
  std::wstring Path(const char* name) const { return sample.Path(name); }
  ~Installed() { Run("remove"); }
};

static std::wstring Text(HKEY root, const std::wstring& key, const std::wstring& value, REGSAM view = 0,
                         bool* present = nullptr) {
  return RegText(root, key, value, present, view);
}

// The stand-in package installer runs on its own: its log once it reads
// `expected`, or as it is when the time is up.
[[maybe_unused]] static std::string InstallerLog(const Installed& installed, const std::string& expected, DWORD timeoutMs = 20000) {
  std::string log;
  for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(100)) {
    Bytes bytes = ReadBytes(installed.Path("installer-log.txt"));
    log.assign(bytes.begin(), bytes.end());
    if (log == expected) break;
  }
  return log;
}

static bool KeyIn(HKEY root, const std::wstring& key, REGSAM view) { return RegKeyExists(root, key, view); }

TEST_CASE("the prefix reports the Windows version this program expects") {
  Installed installed;
  CHECK(installed.Run("version") == kExpectedVersion);
}

TEST_CASE("shell extension registration, key by key and view by view, and its removal") {
  Installed installed;
  std::wstring dll32 = installed.Path("kvxext32.dll"), dll64 = installed.Path("kvxext.dll");
  REQUIRE(installed.Run("shellext_register", {L"KVX_OPTIONS=S1"}) == 0);

  std::wstring c32 = std::wstring(L"CLSID\\") + kClass32, c64 = std::wstring(L"CLSID\\") + kClass64;
  // The 32-bit DLL's class keys in the 32-bit view only, the 64-bit DLL's in the native one.
  CHECK(Text(HKEY_CLASSES_ROOT, c32, L"", KEY_WOW64_32KEY) == L"Korvex");
  CHECK(Text(HKEY_CLASSES_ROOT, c32 + L"\\InProcServer32", L"", KEY_WOW64_32KEY) == dll32);
  CHECK(Text(HKEY_CLASSES_ROOT, c32 + L"\\InProcServer32", L"ThreadingModel", KEY_WOW64_32KEY) == L"Apartment");
  CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, c32, KEY_WOW64_64KEY));
  CHECK(Text(HKEY_CLASSES_ROOT, c64 + L"\\InProcServer32", L"", KEY_WOW64_64KEY) == dll64);
  CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, c64, KEY_WOW64_32KEY));
  for (const wchar_t* cls : {kClass32, kClass64}) {
    CHECK(KeyIn(HKEY_CLASSES_ROOT, std::wstring(L"Korvex\\shellex\\PropertySheetHandlers\\") + cls, 0));
    CHECK(KeyIn(HKEY_CLASSES_ROOT, std::wstring(L"Korvex.ZIP\\shellex\\PropertySheetHandlers\\") + cls, 0));
    CHECK(KeyIn(HKEY_CLASSES_ROOT, std::wstring(L"exefile\\shellex\\PropertySheetHandlers\\") + cls, 0));
    CHECK(Text(HKEY_LOCAL_MACHINE, kApprovedKey, cls) == L"Korvex shell extension");
  }
  CHECK(Text(HKEY_CLASSES_ROOT, L"Korvex\\shellex\\DropHandler", L"") == kClass64);
  CHECK(Text(HKEY_CLASSES_ROOT, L"Korvex.ZIP\\shellex\\DropHandler", L"") == kClass64);
  CHECK(Text(HKEY_CLASSES_ROOT, L"Folder\\shellex\\DragDropHandlers\\Korvex32", L"") == kClass32);
  CHECK(Text(HKEY_CLASSES_ROOT, L"Drive\\shellex\\DragDropHandlers\\Korvex", L"") == kClass64);
  CHECK(Text(HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\Korvex", L"") == kClass64);
  CHECK(Text(HKEY_CLASSES_ROOT, L"lnkfile\\shellex\\ContextMenuHandlers\\Korvex32", L"") == kClass32);
  CHECK(KeyIn(HKEY_CLASSES_ROOT, std::wstring(L"Korvex\\shellex\\ContextMenuHandlers\\") + kClass64, 0));
  // The capabilities, Vista and later.
  CHECK(Text(HKEY_LOCAL_MACHINE, L"Software\\RegisteredApplications", L"Korvex") == L"Software\\Korvex\\Capabilities");
  CHECK(Text(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Capabilities", L"ApplicationDescription") == L"Korvex");
  CHECK(Text(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Capabilities\\FileAssociations", L".zip") == L"Korvex.ZIP");
  CHECK(Text(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Capabilities\\FileAssociations", L".tzst") == L"Korvex");
  CHECK(RegDump(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Capabilities\\FileAssociations").size() == 30);

  REQUIRE(installed.Run("shellext_remove") == 0);
  for (const wchar_t* cls : {kClass32, kClass64}) {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + cls, view));
    bool present = true;
    Text(HKEY_LOCAL_MACHINE, kApprovedKey, cls, 0, &present);
    CHECK_FALSE(present);
  }
  for (const wchar_t* key : {L"Folder\\shellex\\DragDropHandlers\\Korvex32", L"Drive\\shellex\\DragDropHandlers\\Korvex",
                             L"*\\shellex\\ContextMenuHandlers\\Korvex32", L"lnkfile\\shellex\\ContextMenuHandlers\\Korvex",
                             L"Korvex\\shellex\\DropHandler"})
    CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, key, 0));
  CHECK_FALSE(KeyIn(HKEY_LOCAL_MACHINE, L"Software\\Korvex", 0));
  bool present = true;
  Text(HKEY_LOCAL_MACHINE, L"Software\\RegisteredApplications", L"Korvex", 0, &present);
  CHECK_FALSE(present);
}

TEST_CASE("a missing 32-bit DLL: no class keys, but its handlers and approval") {
  Installed installed;
  DeleteFileW(installed.Path("kvxext32.dll").c_str());
  installed.Run("shellext_register", {L"KVX_OPTIONS=S1"});
  std::wstring c32 = std::wstring(L"CLSID\\") + kClass32;
  CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, c32, KEY_WOW64_32KEY));
  CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, c32, KEY_WOW64_64KEY));
  CHECK(Text(HKEY_CLASSES_ROOT, L"Folder\\shellex\\DragDropHandlers\\Korvex32", L"") == kClass32);
  CHECK(Text(HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\Korvex32", L"") == kClass32);
  CHECK(Text(HKEY_LOCAL_MACHINE, kApprovedKey, kClass32) == L"Korvex shell extension");
}

TEST_CASE("shell integration off: both DLLs unregistered, capabilities still written") {
  Installed installed;
  installed.Run("shellext_register", {L"KVX_OPTIONS=S1"});
  installed.Run("shellext_register", {L"KVX_OPTIONS=S0"});
  CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kClass32, KEY_WOW64_32KEY));
  CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kClass64, 0));
  CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\Korvex", 0));
  CHECK(Text(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Capabilities", L"ApplicationDescription") == L"Korvex");
  CHECK(Exists(installed.Path("installer-log.txt")) == false);  // no package below Windows 11
  bool present = true;
  RegNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup", L"NewContextMenu", &present);
  CHECK_FALSE(present);
}

#ifndef KVX_WIN7
TEST_CASE("Windows 11: the package follows the shell extension, the classic handlers the legacy menu") {
  Installed installed;
  std::wstring win11 = L"KVX_PRETEND_WIN11=1";
  installed.Run("shellext_register", {L"KVX_OPTIONS=S1", win11});
  for (const wchar_t* key : {L"*\\shellex\\ContextMenuHandlers\\Korvex", L"*\\shellex\\ContextMenuHandlers\\Korvex32",
                             L"Folder\\shellex\\ContextMenuHandlers\\Korvex", L"lnkfile\\shellex\\ContextMenuHandlers\\Korvex"})
    CHECK_FALSE(KeyIn(HKEY_CLASSES_ROOT, key, 0));
  CHECK(Text(HKEY_CLASSES_ROOT, L"Folder\\shellex\\DragDropHandlers\\Korvex", L"") == kClass64);
  CHECK(RegNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup", L"NewContextMenu") == 1);
  CHECK(InstallerLog(installed, "-install\n") == "-install\n");  // not waited for on installation

  installed.Run("shellext_register", {L"KVX_OPTIONS=S1", L"KVX_LEGACY=1", win11});
  CHECK(Text(HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\Korvex", L"") == kClass64);
  CHECK(KeyIn(HKEY_CLASSES_ROOT, std::wstring(L"Korvex.ZIP\\shellex\\ContextMenuHandlers\\") + kClass32, 0));
  CHECK(InstallerLog(installed, "-install\n-install\n") == "-install\n-install\n");

  // Removal waits for the installer, but no longer than 20 seconds.
  WriteText(installed.Path("installer-sleep.txt"), "30000");
  DWORD start = GetTickCount();
  installed.Run("shellext_remove", {win11});
  DWORD took = GetTickCount() - start;
  CHECK(took >= 19500);
  CHECK(took < 29500);
  CHECK(RegNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup", L"NewContextMenu") == 0);
  DeleteFileW(installed.Path("installer-sleep.txt").c_str());
  // The slow installer finishes before the folder goes.
  std::string all = "-install\n-install\n-Uninstall\n";
  CHECK(InstallerLog(installed, all, 40000) == all);
}
#endif

TEST_CASE("App Paths in both views, exe64 in the native one; removal takes both") {
  Installed installed;
  CHECK(installed.Run("app_path") == 1);
  std::wstring program = installed.Path("Korvex.exe");
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    CHECK(Text(HKEY_LOCAL_MACHINE, kAppPaths, L"", view) == program);
    CHECK(Text(HKEY_LOCAL_MACHINE, kAppPaths, L"Path", view) == installed.sample.folder);
  }
  CHECK(Text(HKEY_LOCAL_MACHINE, L"Software\\Korvex", L"exe64", KEY_WOW64_64KEY) == program);
  bool present = true;
  Text(HKEY_LOCAL_MACHINE, L"Software\\Korvex", L"exe64", KEY_WOW64_32KEY, &present);
  CHECK_FALSE(present);

  installed.Run("remove", {L"KVX_MSI=1"});  // a package installer keeps its App Paths entry
  CHECK(KeyIn(HKEY_LOCAL_MACHINE, kAppPaths, KEY_WOW64_64KEY));
  CHECK(KeyIn(HKEY_LOCAL_MACHINE, kAppPaths, KEY_WOW64_32KEY));
  installed.Run("remove");
  CHECK_FALSE(KeyIn(HKEY_LOCAL_MACHINE, kAppPaths, KEY_WOW64_64KEY));
  CHECK_FALSE(KeyIn(HKEY_LOCAL_MACHINE, kAppPaths, KEY_WOW64_32KEY));
}

// ---------------------------------------------------------------- the uninstall entry

static std::wstring Today() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  wchar_t text[16];
  wsprintfW(text, L"%04u%02u%02u", t.wYear, t.wMonth, t.wDay);
  return text;
}

TEST_CASE("the uninstall entry, its values and the DisplayIcon rule") {
  Installed installed;
  // Listed twice, a folder, one outside the installation, one missing: the
  // size counts the installation's existing files once each, and the program.
  WriteText(installed.root / L"outside.bin", std::string(1 << 20, 'o'));
  installed.sample.WriteList({"Korvex.exe", "..\\outside.bin", "Formats", "missing.dll"});
  std::set<std::wstring> counted = {installed.child};  // the program (here the test's child)
  for (auto& f : installed.sample.listedFiles) counted.insert(installed.Path(f.c_str()));
  uint64_t bytes = 0;
  for (auto& f : counted) bytes += ReadBytes(f).size();
  std::wstring dayBefore = Today();
  installed.Run("entry");
  std::wstring dayAfter = Today();
  std::wstring folder = installed.sample.folder;
  CHECK(Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName") == L"Korvex 6.20 beta 2 (64-bit)");
  CHECK(Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion") == L"6.20.2");
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, kUninstallKey, L"VersionMajor") == 6);
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, kUninstallKey, L"VersionMinor") == 20);
  CHECK(Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"UninstallString") == L"\"" + installed.child + L"\"");
  CHECK(Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayIcon") == folder + L"\\Korvex.exe");
  CHECK(Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation") == folder + L"\\");
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, kUninstallKey, L"NoModify") == 1);
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, kUninstallKey, L"NoRepair") == 1);
  bool present = false;
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, kUninstallKey, L"Language", &present) == 0);
  CHECK(present);
  CHECK(Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"Publisher") == L"Velmora GmbH");
  // What package managers read (written after the values above).
  CHECK(Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString") == L"\"" + installed.child + L"\" /S");
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, kUninstallKey, L"EstimatedSize") == (bytes + 1023) / 1024);
  std::wstring day = Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallDate");
  CHECK((day == dayBefore || day == dayAfter));

  // An icon of an earlier installation that names an existing file stays;
  // one with an icon index does not name a file and is replaced.
  std::wstring kept = installed.Path("Korvex.chm");
  RegPutText(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayIcon", kept);
  installed.Run("entry");
  CHECK(Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayIcon") == kept);
  RegPutText(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayIcon", kept + L",0");
  installed.Run("entry");
  CHECK(Text(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayIcon") == folder + L"\\Korvex.exe");

  installed.Run("remove", {L"KVX_MSI=1"});
  CHECK(KeyIn(HKEY_LOCAL_MACHINE, kUninstallKey, 0));
  installed.Run("remove");
  CHECK_FALSE(KeyIn(HKEY_LOCAL_MACHINE, kUninstallKey, 0));
}

// ---------------------------------------------------------------- refused writes

#ifndef KVX_WIN7
// What a setup run can change: the registry's three parts in both views, the
// shortcut folders, and the program folder (the templates).
static std::vector<std::wstring> MachineState(const Installed& installed) {
  std::vector<std::wstring> state = Snapshot(), files = Folders().Snapshot();
  Folders::List(installed.sample.folder, files);
  for (auto& line : files) state.push_back(L"file " + line);
  return state;
}

// A setup of every choice in the child, silent unless `shown` (then through
// its dialog), with `env` refusing some change: its exit code, and when
// refused, the error message over the dialog.
static DWORD RefusedSetup(const Installed& installed, std::vector<std::wstring> env, bool shown) {
  env.push_back(L"KVX_INIT=A111111111111111111D1M1P1S1");
  if (!shown) env.push_back(L"KVX_SILENT=1");
  std::wstring message;
  ProcessResult r = RunProcess(L"\"" + installed.child + L"\" --child=setup", env, 120000, L"", [&](DWORD pid) {
    HWND setupDialog = nullptr;
    if (shown) {
      DialogWatcher ok(IDOK, pid, 30000);
      ok.Wait();
      setupDialog = ok.Window();
    }
    DialogWatcher error(IDOK, pid, 30000, setupDialog);  // over the setup dialog, if any
    error.Wait();
    message = error.text;
  });
  if (r.exitCode != 0) CHECK(message.find(L"could not be integrated") != std::wstring::npos);
  return r.exitCode;
}

// Whether the machine is as `before` but for one line that names `gone`.
static bool PutBack(const std::vector<std::wstring>& before, const Installed& installed, const wchar_t* gone = nullptr) {
  Difference d = Compare(before, MachineState(installed));
  CHECK_MESSAGE(d.added.empty(), Show(d.added));
  bool removed = gone ? d.removed.size() == 1 && d.removed[0].find(gone) != std::wstring::npos : d.removed.empty();
  CHECK_MESSAGE(removed, Show(d.removed));
  return d.added.empty() && removed;
}

// Whether `path` is a copy of `secret`: a file of its own with its bytes
// (a second name of it has two names, as the secret then has).
static bool CopyOf(const std::wstring& path, const std::wstring& secret) {
  BY_HANDLE_FILE_INFORMATION info = {};
  HANDLE h = CreateFileW(path.c_str(), 0, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  return h != INVALID_HANDLE_VALUE && info.nNumberOfLinks == 1 && ReadBytes(path) == ReadBytes(secret);
}

// Every n-th registry write or deletion of a setup refused (KVX_REFUSE_STRIDE,
// 1 for all of them), silent and, every fourth time, through the dialog (in
// the Windows 10 build only: the journal does not depend on the version):
// each refused run ends with exit code 3 and leaves the machine exactly as
// it was, other programs' types with it.
TEST_CASE("a refused change anywhere in setup puts back everything the run changed, and copies nothing the user's folders name") {
  int stride = Env(L"KVX_REFUSE_STRIDE").empty() ? 29 : std::max(1, _wtoi(Env(L"KVX_REFUSE_STRIDE").c_str()));
  RegPutText(HKEY_CLASSES_ROOT, L".zip", L"", L"OtherArchiver.zip");
  RegPutText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName", L"C:\\OtherArchiver\\empty.zip");
  RegPutText(HKEY_CLASSES_ROOT, L".cab", L"", L"CABFolder");
  {
    Installed installed;
    std::vector<std::wstring> before = MachineState(installed);
    int round = 0;
    for (int refuse = 1;; refuse += stride, round++) {
      CAPTURE(refuse);
      DWORD code = RefusedSetup(installed, {L"KVX_REFUSE_AT=" + std::to_wstring(refuse)}, round % 4 == 3);
      if (code == 0) break;  // no change refused any more: the setup ran through
      CHECK(code == 3);
      if (!PutBack(before, installed)) installed.Run("remove");
    }
    CHECK(round > 8);  // the refusals reached well into the setup
  }
  RegRemoveTree(HKEY_CLASSES_ROOT, L".zip");
  RegRemoveTree(HKEY_CLASSES_ROOT, L".cab");

  // Refused at the uninstall entry, the last change of the run, where the
  // user's own folders hold second names of a file the user could not read
  // (the portable settings file's old twin in the user's application data,
  // an item of the user's program group): the undo makes no copy of it
  // anywhere. On Windows 11 the context-menu package that the run installed
  // is taken back.
  Installed installed;
  std::wstring appData = SpecialFolder(CSIDL_APPDATA) + L"\\Korvex", group = SpecialFolder(CSIDL_PROGRAMS) + L"\\Korvex";
  AtScopeEnd unplant{[&] { RemoveTree(appData), RemoveTree(group); }};  // no settings file in force for later cases
  MakeDirs(appData);
  MakeDirs(group);
  std::wstring ini = appData + L"\\Korvex.ini", secret = installed.root / L"secret.txt";
  WriteText(secret, "not for the user's eyes");
  WriteText(ini, "Global\\Integration=1\r\nHKCU\\Setup\\Marker=5\r\n");
  REQUIRE(CreateHardLinkW((ini + L".new").c_str(), secret.c_str(), nullptr));
  REQUIRE(CreateHardLinkW((group + L"\\Note.lnk").c_str(), secret.c_str(), nullptr));
  Bytes settings = ReadBytes(ini);
  std::vector<std::wstring> before = MachineState(installed);
  CHECK(RefusedSetup(installed, {L"KVX_PRETEND_WIN11=1", std::wstring(L"KVX_DENY=") + kUninstallKey}, false) == 3);
  CHECK_FALSE(CopyOf(ini + L".new", secret));
  CHECK_FALSE(CopyOf(group + L"\\Note.lnk", secret));
  CHECK(ReadBytes(ini) == settings);
  CHECK(InstallerLog(installed, "-install\n-Uninstall\n") == "-install\n-Uninstall\n");
  DeleteFileW(installed.Path("installer-log.txt").c_str());  // the stand-in's, not the run's
  // The second name of the item went with the emptied group: the one change
  // no undo makes (it would have to make the file again).
  PutBack(before, installed, L"\\Note.lnk");
}
#endif

// ---------------------------------------------------------------- cut short

// The file types (every extension key with all below it) and whether any
// of the product's own keys is left: what a cut-short run could leave wrong.
static std::vector<std::wstring> TypesAndProductKeys() {
  std::vector<std::wstring> out;
  HKEY classes;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"", 0, KEY_ENUMERATE_SUB_KEYS, &classes) == ERROR_SUCCESS) {
    wchar_t name[256];
    for (DWORD i = 0;; i++) {
      DWORD length = 256;
      if (RegEnumKeyExW(classes, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      if (name[0] != L'.') continue;
      for (auto& line : RegDump(HKEY_CLASSES_ROOT, name)) out.push_back(line);
      if (RegDump(HKEY_CLASSES_ROOT, name).empty()) out.push_back(std::wstring(L"[") + name + L"]");
    }
    RegCloseKey(classes);
  }
  for (const wchar_t* progId : {L"Korvex", L"Korvex.ZIP", L"Korvex.REV"})
    if (KeyIn(HKEY_CLASSES_ROOT, progId, 0)) out.push_back(std::wstring(L"HKCR\\") + progId);
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
    if (KeyIn(root, L"Software\\Korvex", 0)) out.push_back(L"Software\\Korvex");
  std::sort(out.begin(), out.end());
  return out;
}

// Setup and uninstall ended at every n-th registry step (KVX_CUT_STRIDE, 1
// for all of them; KVX_CUT_FROM the first), each then run again in full: the machine ends as it was,
// other programs' types with it. Also with a portable settings file.
TEST_CASE("setup and uninstall cut short at a registry step, then run again, leave the machine as before") {
  int stride = Env(L"KVX_CUT_STRIDE").empty() ? 17 : std::max(1, _wtoi(Env(L"KVX_CUT_STRIDE").c_str()));
  RegPutText(HKEY_CLASSES_ROOT, L".zip", L"", L"OtherArchiver.zip");
  RegPutText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName", L"C:\\OtherArchiver\\empty.zip");
  RegPutText(HKEY_CLASSES_ROOT, L".cab", L"", L"CABFolder");
  RegPutText(HKEY_CLASSES_ROOT, L".cab\\ShellNew", L"NullFile", L"");
  RegPutText(HKEY_CLASSES_ROOT, L".lz", L"", L"");
  std::vector<std::wstring> before = TypesAndProductKeys();
  const std::wstring all = L"KVX_OPTIONS=A111111111111111111D1M1P1S1";
  for (bool portable : {false, true}) {
    Installed installed;
    int from = Env(L"KVX_CUT_FROM").empty() ? 1 : _wtoi(Env(L"KVX_CUT_FROM").c_str());
    for (int cut = from, round = 0;; cut += stride, round++) {
      CAPTURE(portable);
      CAPTURE(cut);
      std::wstring ini = installed.Path("Korvex.ini");
      if (portable) WriteText(ini, "Global\\Integration=1\r\n");
      // Every other cut falls between creating a key and writing its value.
      std::wstring at = L"KVX_CUT_AT=" + std::to_wstring(cut);
      std::wstring create = std::wstring(L"KVX_CUT_CREATE=") + (round % 2 ? L"1" : L"0");
      DWORD setup = installed.Run("apply", {all, at, create});
      REQUIRE(installed.Run("apply", {all}) == 1);
      REQUIRE(Text(HKEY_CLASSES_ROOT, L".zip", L"") == L"Korvex.ZIP");
      DWORD removal = installed.Run("remove", {at, create});
      installed.Run("remove");
      DeleteFileW(ini.c_str());
      Difference d = Compare(before, TypesAndProductKeys());
      std::vector<std::wstring> added;
      for (auto& line : d.added)  // our template's name stays by design
        if (line.find(L"\\.zip\\ShellNew] \"ItemName\"") == std::wstring::npos) added.push_back(line);
      CHECK_MESSAGE(added.empty(), Show(added));
      CHECK_MESSAGE(d.removed.empty(), Show(d.removed));
      if (setup != 3 && removal != 3) break;  // both ran through
    }
  }
  RegRemoveTree(HKEY_CLASSES_ROOT, L".zip");
  RegRemoveTree(HKEY_CLASSES_ROOT, L".cab");
  RegRemoveTree(HKEY_CLASSES_ROOT, L".lz");
}

// ---------------------------------------------------------------- shortcuts

struct Link {
  bool loaded = false;
  std::wstring target, description, folder, icon;
  int iconIndex = -1;
  WORD hotkey = 0;
};

static Link LoadLink(const std::wstring& path) {
  Link l;
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void**)&link))) return l;
  IPersistFile* file = nullptr;
  link->QueryInterface(IID_IPersistFile, (void**)&file);
  if (file && SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
    wchar_t text[MAX_PATH * 2];
    l.loaded = true;
    if (SUCCEEDED(link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH))) l.target = text;
    if (SUCCEEDED(link->GetDescription(text, MAX_PATH * 2))) l.description = text;
    if (SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH * 2))) l.folder = text;
    if (SUCCEEDED(link->GetIconLocation(text, MAX_PATH * 2, &l.iconIndex))) l.icon = text;
    link->GetHotkey(&l.hotkey);
  }
  if (file) file->Release();
  link->Release();
  return l;
}


static bool SaveLinkWithHotkey(const std::wstring& path, WORD hotkey) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void**)&link))) return false;
  link->SetPath(L"C:\\windows\\notepad.exe");
  link->SetHotkey(hotkey);
  IPersistFile* file = nullptr;
  link->QueryInterface(IID_IPersistFile, (void**)&file);
  bool ok = file && SUCCEEDED(file->Save(path.c_str(), TRUE));
  if (file) file->Release();
  link->Release();
  return ok;
}

TEST_CASE("shortcuts: desktop, start menu, both program groups, loaded back") {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Installed installed;
  std::wstring userDesktop = SpecialFolder(CSIDL_DESKTOPDIRECTORY), allDesktop = SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
  std::wstring startMenu = SpecialFolder(kExpectedVersion >= 0x600 ? CSIDL_COMMON_STARTMENU : CSIDL_STARTMENU);
  std::wstring userGroup = SpecialFolder(CSIDL_PROGRAMS) + L"\\Korvex", allGroup = SpecialFolder(CSIDL_COMMON_PROGRAMS) + L"\\Korvex";
  // A user's own shortcut with a hotkey, updated in place; leftovers in a group.
  REQUIRE(SaveLinkWithHotkey(userDesktop + L"\\Korvex.lnk", MAKEWORD('K', HOTKEYF_CONTROL | HOTKEYF_ALT)));
  MakeDirs(userGroup + L"\\Subfolder");
  WriteText(userGroup + L"\\Old item.lnk", "left by the user");
  std::wstring icon = installed.Path("theme.ico");
  WriteText(icon, "icon");
  std::wstring groupOut = installed.root / L"group.txt";
  installed.Run("shortcuts", {L"KVX_OPTIONS=D1M1P1", L"KVX_ICON=" + icon, L"KVX_GROUP_OUT=" + groupOut});

  std::wstring program = installed.Path("Korvex.exe");
  Link desktop = LoadLink(userDesktop + L"\\Korvex.lnk");
  REQUIRE(desktop.loaded);
  CHECK(desktop.target == program);
  CHECK(desktop.description == L"Korvex archiver");
  CHECK(desktop.folder == L"");
  CHECK(desktop.icon == icon);
  CHECK(desktop.iconIndex == 0);
  CHECK(desktop.hotkey == MAKEWORD('K', HOTKEYF_CONTROL | HOTKEYF_ALT));  // kept
  CHECK_FALSE(Exists(allDesktop + L"\\Korvex.lnk"));

  Link start = LoadLink(startMenu + L"\\Korvex.lnk");
  REQUIRE(start.loaded);
  CHECK(start.target == program);
  CHECK(start.folder == userDesktop);

  for (const std::wstring& group : {userGroup, allGroup}) {
    CAPTURE(Narrow(group));
    CHECK_FALSE(Exists(group + L"\\Old item.lnk"));
    Link main = LoadLink(group + L"\\Korvex.lnk");
    CHECK(main.target == program);
    CHECK(main.icon == icon);
    CHECK(main.folder == userDesktop);
    Link help = LoadLink(group + L"\\Korvex help.lnk");
    CHECK(help.target == installed.Path("Korvex.chm"));
    CHECK(help.icon == L"");
    CHECK(LoadLink(group + L"\\Console Korvex manual.lnk").target == installed.Path("Kvx.txt"));
    CHECK(LoadLink(group + L"\\What is new in the latest version.lnk").target == installed.Path("WhatsNew.txt"));
  }
  CHECK(Exists(userGroup + L"\\Subfolder"));
  // The group handed back is all users' when that folder exists.
  Bytes handedBytes = ReadBytes(groupOut);
  std::string handed(handedBytes.begin(), handedBytes.end());
  CHECK(Widen(handed) == allGroup);

  // An icon outside the program folder (a theme of the user's) is the
  // user's shortcuts' only: the all-users ones show none.
  std::wstring outside = installed.root / L"user theme.ico";
  WriteText(outside, "icon");
  installed.Run("shortcuts", {L"KVX_OPTIONS=D1M1P1", L"KVX_ICON=" + outside, L"KVX_GROUP_OUT=" + groupOut});
  CHECK(LoadLink(userDesktop + L"\\Korvex.lnk").icon == outside);
  CHECK(LoadLink(userGroup + L"\\Korvex.lnk").icon == outside);
  CHECK(LoadLink(allGroup + L"\\Korvex.lnk").icon == L"");
  if (kExpectedVersion >= 0x600) CHECK(LoadLink(startMenu + L"\\Korvex.lnk").icon == L"");

  // Without "Kvx.txt" its item is left out; without the options everything goes.
  DeleteFileW(installed.Path("Kvx.txt").c_str());
  installed.Run("shortcuts", {L"KVX_OPTIONS=D0M0P1", L"KVX_GROUP_OUT=" + groupOut});
  CHECK_FALSE(Exists(userGroup + L"\\Console Korvex manual.lnk"));
  CHECK(Exists(userGroup + L"\\Korvex help.lnk"));
  CHECK_FALSE(Exists(userDesktop + L"\\Korvex.lnk"));
  CHECK_FALSE(Exists(startMenu + L"\\Korvex.lnk"));
  installed.Run("shortcuts", {L"KVX_OPTIONS=P0", L"KVX_GROUP_OUT=" + groupOut});
  CHECK_FALSE(Exists(userGroup));
  CHECK_FALSE(Exists(allGroup));
}

TEST_CASE("shortcuts: the all-users desktop when the user has none; only one is removed") {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Installed installed;
  std::wstring userDesktop = SpecialFolder(CSIDL_DESKTOPDIRECTORY), allDesktop = SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
  DeleteFileW((userDesktop + L"\\Korvex.lnk").c_str());
  std::wstring groupOut = installed.root / L"group.txt";
  installed.Run("shortcuts", {L"KVX_OPTIONS=D1", L"KVX_GROUP_OUT=" + groupOut});
  CHECK(LoadLink(allDesktop + L"\\Korvex.lnk").target == installed.Path("Korvex.exe"));
  CHECK_FALSE(Exists(userDesktop + L"\\Korvex.lnk"));
  REQUIRE(SaveLinkWithHotkey(userDesktop + L"\\Korvex.lnk", 0));
  installed.Run("shortcuts", {L"KVX_OPTIONS=D0", L"KVX_GROUP_OUT=" + groupOut});
  CHECK_FALSE(Exists(userDesktop + L"\\Korvex.lnk"));
  CHECK(Exists(allDesktop + L"\\Korvex.lnk"));
  installed.Run("shortcuts", {L"KVX_OPTIONS=D0", L"KVX_GROUP_OUT=" + groupOut});
  CHECK_FALSE(Exists(allDesktop + L"\\Korvex.lnk"));
}

TEST_CASE("links planted where setup writes (the user's shortcut folders, the program folder) lead nowhere") {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Installed installed;
  std::wstring userDesktop = SpecialFolder(CSIDL_DESKTOPDIRECTORY), programs = SpecialFolder(CSIDL_PROGRAMS);
  std::wstring userLink = userDesktop + L"\\Korvex.lnk", userGroup = programs + L"\\Korvex";
  // Whatever happens, the profile's folders lose what was planted in them.
  AtScopeEnd unplant{[&] { RemoveTreeOfLinks(userLink), RemoveTreeOfLinks(userGroup); }};
  TempFolder victims;
  std::wstring victim = victims / L"victim.lnk", folder = victims / L"folder";
  WriteText(victim, "victim");
  MakeDirs(folder);
  WriteText(folder + L"\\Korvex.lnk", "not a shortcut of ours");
  auto unchanged = [&] {
    CHECK(ReadBytes(victim) == Bytes{'v', 'i', 'c', 't', 'i', 'm'});
    CHECK(ReadBytes(folder + L"\\Korvex.lnk").size() == 22);
    CHECK_FALSE(Exists(folder + L"\\Korvex help.lnk"));
  };
  std::wstring groupOut = installed.root / L"group.txt";
  // The desktop shortcut's name and the group folder are links.
  REQUIRE(PlantLink(userLink, victim));
  REQUIRE(PlantLink(userGroup, folder));
  installed.Run("shortcuts", {L"KVX_OPTIONS=D1P1", L"KVX_GROUP_OUT=" + groupOut});
  unchanged();
  installed.Run("shortcuts", {L"KVX_OPTIONS=D0P0", L"KVX_GROUP_OUT=" + groupOut});
  unchanged();
  RemoveTreeOfLinks(userLink);
  RemoveTreeOfLinks(userGroup);
  // Links inside a group of its own: emptied and removed around them.
  MakeDirs(userGroup);
  REQUIRE(PlantLink(userGroup + L"\\planted.lnk", victim));
  REQUIRE(PlantLink(userGroup + L"\\planted folder", folder));
  installed.Run("shortcuts", {L"KVX_OPTIONS=P1", L"KVX_GROUP_OUT=" + groupOut});
  CHECK(Exists(userGroup + L"\\Korvex help.lnk"));
  installed.Run("shortcuts", {L"KVX_OPTIONS=P0", L"KVX_GROUP_OUT=" + groupOut});
  unchanged();
  CHECK_FALSE(Exists(userGroup + L"\\Korvex help.lnk"));
  RemoveTreeOfLinks(userGroup);
  // A group below a link: the user's programs folder leads elsewhere.
  struct ProgramsFolder {
    std::wstring key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    bool present = false;
    std::wstring saved = RegText(HKEY_CURRENT_USER, key, L"Programs", &present);
    ~ProgramsFolder() {
      if (present)
        RegPutRaw(HKEY_CURRENT_USER, key, L"Programs", REG_EXPAND_SZ, saved.c_str(),
                  (DWORD)((saved.size() + 1) * sizeof(wchar_t)));
    }
  } programsFolder;
  REQUIRE(programsFolder.present);
  MakeDirs(victims / L"elsewhere\\Programs\\Korvex");
  WriteText(victims / L"elsewhere\\Programs\\Korvex\\Korvex.lnk", "victim");
  REQUIRE(PlantLink(installed.root / L"via", victims / L"elsewhere"));
  RegPutText(HKEY_CURRENT_USER, programsFolder.key, L"Programs", installed.root / L"via\\Programs");
  REQUIRE(SpecialFolder(CSIDL_PROGRAMS) == installed.root / L"via\\Programs");
  installed.Run("shortcuts", {L"KVX_OPTIONS=P1", L"KVX_GROUP_OUT=" + groupOut});
  CHECK(ReadBytes(victims / L"elsewhere\\Programs\\Korvex\\Korvex.lnk").size() == 6);
  CHECK_FALSE(Exists(victims / L"elsewhere\\Programs\\Korvex\\Korvex help.lnk"));
  installed.Run("shortcuts", {L"KVX_OPTIONS=P0", L"KVX_GROUP_OUT=" + groupOut});
  CHECK(ReadBytes(victims / L"elsewhere\\Programs\\Korvex\\Korvex.lnk").size() == 6);
  RemoveLink(installed.root / L"via");
  // The programs folder set to the installation's parent, or to another
  // user's profile: no group is emptied, filled or removed there.
  std::wstring theirs = L"C:\\users\\Public";
  MakeDirs(theirs + L"\\Korvex");
  WriteText(theirs + L"\\Korvex\\Korvex.lnk", "victim");
  for (const std::wstring& chosen : {installed.root.Path(), theirs}) {
    RegPutText(HKEY_CURRENT_USER, programsFolder.key, L"Programs", chosen);
    for (const wchar_t* options : {L"KVX_OPTIONS=P1", L"KVX_OPTIONS=P0"})
      installed.Run("shortcuts", {options, L"KVX_GROUP_OUT=" + groupOut});
    CHECK((Exists(installed.Path("Korvex.exe")) && ReadBytes(theirs + L"\\Korvex\\Korvex.lnk").size() == 6));
  }
  RemoveTree(theirs + L"\\Korvex");
  // A new-archive template's name in the program folder (one others may be
  // able to change) is a link: the setup leaves what it leads to alone.
  REQUIRE(PlantLink(installed.Path("kvxnew.dat"), victim));
  installed.Run("apply", {L"KVX_OPTIONS=A11S1"});
  unchanged();
  RemoveLink(installed.Path("kvxnew.dat"));
}

TEST_CASE("a program group that is a link is not removed") {
  // A link made by the prefix's set-up (see tests/scripts/prefix.sh); the
  // removal of a program group is RemoveFolder.
  std::wstring link = L"C:\\kvx-links\\group";
  REQUIRE((GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
  RemoveFolder(link.c_str());
  CHECK(Exists(link));
  CHECK(Exists(L"C:\\kvx-links\\target\\precious.txt"));
  RemoveFolder(L"C:\\kvx-links\\no such folder");
  TempFolder plain;
  MakeDirs(plain / L"group\\sub");
  WriteText(plain / L"group\\sub\\file.txt", "x");
  WriteText(plain / L"file.txt", "x");
  RemoveFolder((plain / L"file.txt").c_str());  // a file is no folder
  CHECK(Exists(plain / L"file.txt"));
  RemoveFolder((plain / L"group").c_str());
  CHECK_FALSE(Exists(plain / L"group"));
}

TEST_CASE("GetSpecialFolder below 260 characters does not ask the system") {
  wchar_t small[100];
  CHECK_FALSE(GetSpecialFolder(small, 100, CSIDL_DESKTOPDIRECTORY));
  CHECK(std::wstring(small) == L"unknown_folder");
  wchar_t big[300];
  CHECK(GetSpecialFolder(big, CSIDL_DESKTOPDIRECTORY));
  CHECK(std::wstring(big) == SpecialFolder(CSIDL_DESKTOPDIRECTORY));
}

// ---------------------------------------------------------------- the whole cycle

static void WholeCycle(const std::vector<std::wstring>& extra) {
  Installed installed;
  std::vector<std::wstring> before = Snapshot(), filesBefore = Folders().Snapshot();
  std::vector<std::wstring> env = {L"KVX_OPTIONS=A111111111111111111D1M1P1S1", L"KVX_ENTRY=1"};
  env.insert(env.end(), extra.begin(), extra.end());
  CHECK(installed.Run("apply", env) == 1);
  // Something of everything was written.
  CHECK(Text(HKEY_CLASSES_ROOT, L".zip", L"") == L"Korvex.ZIP");
  CHECK(KeyIn(HKEY_LOCAL_MACHINE, kAppPaths, KEY_WOW64_32KEY));
  CHECK(KeyIn(HKEY_LOCAL_MACHINE, kUninstallKey, 0));
  CHECK(Folders().Snapshot() != filesBefore);

  std::wstring notices = installed.root / L"notices.txt";
  env.push_back(L"KVX_NOTICES=" + notices);
  installed.Run("remove", env);
  // One notice, once everything went, and the run waited for the shell.
  Bytes noted = ReadBytes(notices);
  CHECK(std::string(noted.begin(), noted.end()) == std::to_string(SHCNE_ASSOCCHANGED) + " after;");
  Difference d = Compare(before, Snapshot());
  // What stays by design: keys that only parent what was removed again,
  // empty now, and the "ShellNew" keys of types that had none before.
  std::vector<std::wstring> unexpected = UnexpectedAdditions(d);
  CHECK_MESSAGE(unexpected.empty(), Show(unexpected));
  if (d.added.size() > unexpected.size()) MESSAGE("empty keys left by design:\n" << Show(d.added));
  CHECK_MESSAGE(d.removed.empty(), Show(d.removed));
  CHECK(Folders().Snapshot() == filesBefore);
}

TEST_CASE("the whole cycle leaves the registry and the shortcut folders as they were") { WholeCycle({}); }

#ifndef KVX_WIN7
TEST_CASE("the whole cycle on Windows 11") { WholeCycle({L"KVX_PRETEND_WIN11=1"}); }
#endif
