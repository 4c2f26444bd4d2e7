// The command line: tokens, switches, modes, and the run modes of the real
// program.
#include <algorithm>

#include "app/command.h"
#include "app/startup.h"
#include "lang/language.h"
#include "lang/module.h"
#include "test.h"
#include "util/text.h"

static std::vector<std::wstring> Tokens(const wchar_t* text, size_t size = kTokenCapacity) {
  std::vector<std::wstring> out;
  std::vector<wchar_t> token(size ? size : 1);
  for (const wchar_t* p = text; (p = NextToken(p, token.data(), size)) != nullptr;) out.push_back(token.data());
  return out;
}

TEST_CASE("tokens, quotes and blanks") {
  CHECK(Tokens(L"").empty());
  CHECK(Tokens(L" \t ").empty());
  CHECK(Tokens(L"a  b\tc") == std::vector<std::wstring>{L"a", L"b", L"c"});
  CHECK(Tokens(L"\"C:\\Program Files\\Korvex\\uninstall.exe\" /s") ==
        std::vector<std::wstring>{L"C:\\Program Files\\Korvex\\uninstall.exe", L"/s"});
  // A doubled quote is one literal quote and does not toggle, in or out of quotes.
  CHECK(Tokens(L"a\"\"b") == std::vector<std::wstring>{L"a\"b"});
  CHECK(Tokens(L"\"a \"\" b\" c") == std::vector<std::wstring>{L"a \" b", L"c"});
  // A switch written wholly inside quotes is still a switch.
  CHECK(Tokens(L"\"-setup\"") == std::vector<std::wstring>{L"-setup"});
  CHECK(Tokens(L"\"unterminated quote  x") == std::vector<std::wstring>{L"unterminated quote  x"});
}

TEST_CASE("a long token is cut and its rest skipped, not taken as a new token") {
  std::wstring longToken(1500, L'x');
  std::wstring text = L"-" + longToken + L" next";
  auto tokens = Tokens(text.c_str());
  REQUIRE(tokens.size() == 2);
  CHECK(tokens[0].size() == 1023);
  CHECK(tokens[1] == L"next");
  CHECK(Tokens(L"abcdef", 4) == std::vector<std::wstring>{L"abc"});
  CHECK(Tokens(L"abc def", 1) == std::vector<std::wstring>{L"", L""});
}

TEST_CASE("switch keywords match on their first N characters, ignoring case") {
  CHECK(MatchSwitch(L"SETUPX", L"setup", 5));
  CHECK_FALSE(MatchSwitch(L"set", L"setup", 5));
  CHECK(MatchSwitch(L"noexfoo", L"noexplorer", 4));
  CHECK_FALSE(MatchSwitch(L"noe", L"noexplorer", 4));
  CHECK(MatchSwitch(L"Msi", L"msi", 3));
  CHECK_FALSE(MatchSwitch(L"", L"msi", 3));
}

struct Parsed {
  bool setup = false, uninstall = false;
  RunOptions options;
};

static Parsed Parse(const wchar_t* installer, const wchar_t* commandLine) {
  Parsed p;
  p.options = RunOptions{};
  RunMode mode = RunMode::Actions;
  ParseCommand(true, installer, p.options, mode);
  ParseCommand(false, commandLine, p.options, mode);
  p.setup = mode == RunMode::Setup;
  p.uninstall = mode == RunMode::Uninstall;
  return p;
}

TEST_CASE("modes from the two strings") {
  Parsed p = Parse(L"", L"\"C:\\K\\uninstall.exe\"");
  CHECK(p.uninstall);
  CHECK_FALSE(p.setup);
  CHECK_FALSE(p.options.Silent);

  p = Parse(L"", L"uninstall.exe /S");
  CHECK(p.uninstall);
  CHECK(p.options.Silent);

  p = Parse(L"", L"uninstall.exe -");  // a lone switch character is counted
  CHECK_FALSE(p.uninstall);
  CHECK_FALSE(p.setup);

  p = Parse(L"-setup", L"uninstall.exe");  // the installer command never selects setup
  CHECK_FALSE(p.setup);
  CHECK(p.uninstall);

  p = Parse(L"-s", L"uninstall.exe -setup");
  CHECK(p.setup);
  CHECK_FALSE(p.uninstall);
  CHECK(p.options.Silent);

  p = Parse(L"", L"uninstall.exe -set");
  CHECK_FALSE(p.setup);
  CHECK_FALSE(p.uninstall);

  p = Parse(L"", L"uninstall.exe -setup -msi -noexfoo");
  CHECK(p.setup);
  CHECK(p.options.Msi);
  CHECK(p.options.NoExplorer);

  // "msi", "log", "restartcode" and "nomessages", like "s", keep the
  // uninstall mode; other switches do not. Of the installer's command only
  // "s" and "log" act (its log marked as the installer's, the command line's
  // winning).
  struct {
    const wchar_t *installer, *commandLine;
    bool uninstall, msi, log;
    const wchar_t* logPath;
    bool fromInstaller, restart, quiet;
  } rows[] = {
      {L"", L"x /msi", true, true, false, L"", false, false, false},
      {L"", L"x -msi /S", true, true, false, L"", false, false, false},
      {L"", L"x -msi -wait", false, true, false, L"", false, false, false},
      {L"", L"x /log", true, false, true, L"", false, false, false},
      {L"", L"x /log=C:\\K\\a.log -msi", true, true, true, L"C:\\K\\a.log", false, false, false},
      {L"", L"x \"-log:C:\\My Logs\\a.log\" /S", true, false, true, L"C:\\My Logs\\a.log", false, false, false},
      {L"", L"x /logfile", false, false, false, L"", false, false, false},
      {L"", L"x -setup -log:s.log", false, false, true, L"s.log", false, false, false},
      {L"", L"x /S /restartcode -nomessages", true, false, false, L"", false, true, true},
      {L"", L"x /restart /nomessage", false, false, false, L"", false, false, false},
      {L"-s -log=C:\\U\\i.log -msi", L"x -setup", false, false, true, L"C:\\U\\i.log", true, false, false},
      {L"-log=C:\\U\\i.log", L"x -setup /log=C:\\K\\k.log", false, false, true, L"C:\\K\\k.log", false, false, false},
      {L"-restartcode -nomessages", L"x /S", true, false, false, L"", false, false, false},
  };
  for (auto& r : rows) {
    CAPTURE(Narrow(r.installer));
    CAPTURE(Narrow(r.commandLine));
    p = Parse(r.installer, r.commandLine);
    CHECK(p.uninstall == r.uninstall);
    CHECK(p.options.Msi == r.msi);
    CHECK(p.options.Log == r.log);
    CHECK(std::wstring(p.options.LogPath) == r.logPath);
    CHECK(p.options.LogFromInstaller == r.fromInstaller);
    CHECK(p.options.RestartCode == r.restart);
    CHECK(p.options.NoMessages == r.quiet);
  }
}

TEST_CASE("the silent switch") {
  for (const wchar_t* s : {L"x -s", L"x /S", L"x -s2", L"x /s:", L"x \"/s\""}) {
    CAPTURE(Narrow(s));
    Parsed p = Parse(L"", s);
    CHECK(p.options.Silent);
    CHECK(p.uninstall);
  }
  for (const wchar_t* s : {L"x -setup", L"x -sa", L"x s"}) {
    CAPTURE(Narrow(s));
    CHECK_FALSE(Parse(L"", s).options.Silent);
  }
  CHECK(Parse(L"/s", L"x").options.Silent);
}

TEST_CASE("the init text keeps at most 39 characters; the last one wins") {
  CHECK(std::wstring(Parse(L"", L"x -initA1").options.InitText) == L"A1");
  std::wstring longText = L"x -init" + std::wstring(45, L'7');
  CHECK(std::wstring(Parse(L"", longText.c_str()).options.InitText) == std::wstring(39, L'7'));
  CHECK(std::wstring(Parse(L"", L"x -initA1 /INITD1").options.InitText) == L"D1");
  CHECK(std::wstring(Parse(L"-initA1", L"x").options.InitText) == L"");  // not acted on in the installer command
}

TEST_CASE("wait and warning are recorded in order; the warning names the program and waits for OK") {
  RunOptions options = {};
  ProgramInstance = ResourceInstance = GetModuleHandleW(nullptr);
  RunMode mode = RunMode::Actions;
  CommandActions actions;
  ParseCommand(true, L"-wait", options, mode, &actions);  // the installer command's are not acted on
  ParseCommand(false, L"x /warning -WAITx /warn /warnings", options, mode, &actions);
  REQUIRE(actions.Count() == 3);
  CHECK((actions[0] == CommandAction::Warning && actions[1] == CommandAction::Wait &&
         actions[2] == CommandAction::Warning));
  actions.Shrink(1);
  DialogWatcher watcher(IDOK);
  RunCommandActions(actions);
  watcher.Wait();
  REQUIRE(watcher.Seen());
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  CHECK(watcher.caption == GetText(IDS_UNINSTALLKVX));
  CHECK(watcher.text.find(GetText(IDS_UNINSTALLCOMPLETED)) == 0);
  CHECK(watcher.text.find(L"\"" + std::wstring(self) + L"\"") != std::wstring::npos);
  CHECK(mode == RunMode::Actions);
  // "warning=<file>": the file that stays when it is not the one that warns.
  ParseCommand(false, L"x \"/warning=C:\\My K\\u.exe\"", options, mode, &actions);
  actions.Shrink(1);
  DialogWatcher named(IDOK);
  RunCommandActions(actions, options.WarningPath);
  named.Wait();
  CHECK(named.text.find(L"C:\\My K\\u.exe") != std::wstring::npos);
}

TEST_CASE("messages read right to left for right-to-left languages; a path in one stands apart, whole") {
  // (Wine's message box draws these flags the same as without them, so the
  // style is checked where it is made.)
  CHECK(MessageStyle(MB_YESNO) == MB_YESNO);
  g_LanguageFile.RightToLeft = true;
  CHECK(MessageStyle(MB_YESNO) == (MB_YESNO | MB_RIGHT | MB_RTLREADING));
  g_LanguageFile.RightToLeft = false;
  // The path in quotes; in a right-to-left text embedded left to right, so
  // that "C:\Program Files" does not read "Program Files\:C".
  struct {
    bool rightToLeft;
    const wchar_t *format, *expected;
  } const rows[] = {
      {false, L"Please delete this file yourself:\n%s", L"Please delete this file yourself:\n\"C:\\K\\u.exe\""},
      {false, L"Delete %s by hand.", L"Delete \"C:\\K\\u.exe\" by hand."},
      {true, L"\x05E0\x05D0 %s.", L"\x05E0\x05D0 \x202A\"C:\\K\\u.exe\"\x202C."},
      {false, L"no placeholder", L"no placeholder"},
  };
  wchar_t message[kMessageCapacity];
  for (auto& row : rows) {
    CAPTURE(Narrow(row.format));
    g_LanguageFile.RightToLeft = row.rightToLeft;
    ComposePathMessage(message, kMessageCapacity, row.format, L"C:\\K\\u.exe");
    CHECK(std::wstring(message) == row.expected);
  }
  g_LanguageFile.RightToLeft = false;
  // A path of the longest kind in a long text is not cut; what must be cut
  // (a buffer too small) ends with an ellipsis.
  std::wstring path = L"C:\\" + std::wstring(kPathCapacity - 4, L'p'), text(1000, L't');
  ComposePathMessage(message, kMessageCapacity, (text + L" %s").c_str(), path.c_str());
  CHECK(std::wstring(message) == text + L" \"" + path + L"\"");
  wchar_t small[12];
  ComposePathMessage(small, 12, L"Delete %s.", L"C:\\Korvex");
  CHECK(std::wstring(small) == L"Delete \"C:\x2026");
}

TEST_CASE("the bold font's height at each DPI, truncated toward zero") {
  struct {
    int dpi, height;
  } const rows[] = {{96, -12}, {120, -15}, {144, -18}, {192, -24}, {110, -13}, {72, -9}};
  for (auto row : rows) {
    CAPTURE(row.dpi);
    SetScreenDpi(row.dpi);
    CHECK(ScaleToDpi(-12) == row.height);
  }
  // And the screen's own, asked again (this prefix runs at 96 DPI).
  SetScreenDpi(0);
  CHECK(ScaleToDpi(-12) == -12);
  CHECK(ScaleToDpi(96) == 96);
}

// ---------------------------------------------------------------- the real program

static std::wstring CopyProduct(const TempFolder& folder) {
  std::wstring exe = folder / L"uninstall.exe";
  CopyFileW(ProductExe().c_str(), exe.c_str(), FALSE);
  return exe;
}

TEST_CASE("real program: /wait pauses two seconds, opens no window and exits 0") {
  TempFolder folder;
  std::wstring exe = CopyProduct(folder);
  bool sawWindow = false;
  ProcessResult r = RunProcess(L"\"" + exe + L"\" /wait", {}, 30000, L"", WatchForWindow(sawWindow, 30000));
  CHECK(r.exitCode == 0);
  CHECK(r.milliseconds >= 1900);
  CHECK(r.milliseconds < 15000);
  CHECK_FALSE(sawWindow);
}

TEST_CASE("real program: an unknown switch exits 0 at once and touches nothing") {
  TempFolder folder;
  std::wstring exe = CopyProduct(folder);
  WriteText(folder / L"Uninstall.lst", "uninstall.exe\r\n");
  ProcessResult r = RunProcess(L"\"" + exe + L"\" -whatever", {}, 30000);
  CHECK(r.exitCode == 0);
  CHECK(r.milliseconds < 1900);
  CHECK(Exists(exe));
  CHECK(Exists(folder / L"Uninstall.lst"));
}

TEST_CASE("real program: /warning shows its message") {
  TempFolder folder;
  std::wstring exe = CopyProduct(folder);
  std::wstring text, caption;
  ProcessResult r = RunProcess(L"\"" + exe + L"\" /warning", {}, 30000, L"", [&](DWORD pid) {
    DialogWatcher watcher(IDOK, pid);
    watcher.Wait();
    text = watcher.text;
    caption = watcher.caption;
  });
  CHECK(r.exitCode == 0);
  CHECK(caption == L"Uninstall Korvex");
  CHECK(text.find(exe) != std::wstring::npos);
}

KVX_CHILD(load_planted_plain) { return LoadLibraryW(L"planted.dll") != nullptr; }
KVX_CHILD(load_planted_hardened) {
  HardenDllSearch(true);
  return LoadLibraryW(L"planted.dll") != nullptr;
}

TEST_CASE("after HardenDllSearch a library planted in the current directory is not loaded") {
  TempFolder folder;
  REQUIRE(CopyFileW(FixturePath(L"kvxlng.dll").c_str(), (folder / L"planted.dll").c_str(), FALSE));
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW(folder.Path().c_str());
  DWORD plain = RunChild("load_planted_plain");
  DWORD hardened = RunChild("load_planted_hardened");
  SetCurrentDirectoryW(saved);
  CHECK(plain == 1);  // the check can tell: without hardening it loads
  CHECK(hardened == 0);
}

TEST_CASE("real program: it opens nothing through its own shell (the user's shell does) and no cryptographic provider") {
  auto base = (unsigned char*)LoadLibraryExW(ProductExe().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  REQUIRE(base);
  auto nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
  auto dll = (IMAGE_IMPORT_DESCRIPTOR*)(base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
  std::vector<std::string> names;
  for (; dll->Name; dll++)
    for (auto thunk = (IMAGE_THUNK_DATA*)(base + dll->OriginalFirstThunk); thunk->u1.AddressOfData; thunk++)
      names.push_back((const char*)((IMAGE_IMPORT_BY_NAME*)(base + thunk->u1.AddressOfData))->Name);
  CHECK(std::count(names.begin(), names.end(), "CreateProcessW") == 1);
  for (const char* opener : {"ShellExecuteW", "ShellExecuteExW", "ShellExecuteA", "ShellExecuteExA", "WinExec"})
    CHECK(std::count(names.begin(), names.end(), opener) == 0);
  // Nor does a start open a cryptographic provider (the stack canary's
  // value comes from the system's random source).
  for (const char* provider : {"CryptAcquireContextA", "CryptAcquireContextW"})
    CHECK(std::count(names.begin(), names.end(), provider) == 0);
  FreeLibrary((HMODULE)base);
}

// The real program under a command line of the test's (KVX_COMMAND, with
// the installer's in "sfxcmd" from KVX_SFXCMD), its log at KVX_LOG: its exit
// code, 10000 more when the log was made with the user's own rights.
// A log the installer's command names is made (or added to) so: with the
// unelevated token Windows links to the elevated one (Wine has the pair too
// and keeps no access lists, so the token in force when the file is opened
// is what is checked).
static std::wstring g_FakeCommandLine, g_LogPath;
static bool g_LogAsUser;
static LPWSTR WINAPI FakeCommandLine() { return &g_FakeCommandLine[0]; }
static HANDLE WINAPI NoteLogOpen(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                                 DWORD flags, HANDLE templ) {
  HANDLE token;
  if (lstrcmpiW(name, g_LogPath.c_str()) == 0)
    g_LogAsUser = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) && CloseHandle(token);
  return RealFunction(&CreateFileW, "CreateFileW")(name, access, share, sa, disposition, flags, templ);
}
static INT_PTR WINAPI NoDialog(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM) {
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return -1;
}
KVX_CHILD(program) {
  g_LogPath = _wgetenv(L"KVX_LOG");
  g_FakeCommandLine = std::wstring(L"uninstall.exe ") + _wgetenv(L"KVX_COMMAND");
  ImportHooks hooks({{"GetCommandLineW", (void*)FakeCommandLine},
                     {"DialogBoxParamW", (void*)NoDialog},
                     {"CreateFileW", (void*)NoteLogOpen}});
  int code = RunProgram(GetModuleHandleW(nullptr));
  return code + (g_LogAsUser ? 10000 : 0);
}

// The setup dialog cannot be made (a language module's broken template, no
// rich-edit library, an exhausted desktop heap): the run changes nothing,
// ends with exit code 4 and says why in its log; never a confirmed setup.
TEST_CASE("the program's own runs: a setup dialog that cannot be made, a log the installer's command names") {
  TempFolder folder;
  std::wstring log = folder / L"program.log";
  struct {
    std::wstring command, installer;
    DWORD code;
    std::vector<std::wstring> logged;
  } const rows[] = {
      {L"-setup " + Quote(L"/log=" + log), L"", 4,
       {L"failed: to show the setup dialog SETUPDLG: error 1814",
        L"summary: the setup dialog could not be shown: nothing was changed, exit code 4"}},
      {L"-x", L"-log=" + log, 10000, {L"actions mode"}},
  };
  for (auto& row : rows) {
    CAPTURE(Narrow(row.command));
    DeleteFileW(log.c_str());
    CHECK(RunChild("program", {L"KVX_LOG=" + log, L"KVX_COMMAND=" + row.command, L"sfxcmd=" + row.installer}) == row.code);
    CheckLog(log, row.logged);
  }
}
