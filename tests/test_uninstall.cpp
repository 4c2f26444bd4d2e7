// The uninstall driver: the file list, its passes, locked files and the
// restart, and the self-removal batch file, through the real uninstall.exe.
#include <windows.h>

#include <aclapi.h>
#include <restartmanager.h>
#include <shlobj.h>
#include <winternl.h>

#include <algorithm>

#include "app/command.h"
#include "sample.h"
#include "test.h"
#include "uninstall/driver.h"
#include "uninstall/batch.h"
#include "uninstall/deletion.h"
#include "uninstall/run_folders.h"
#include "util/file.h"
#include "util/file_list.h"
#include "util/log.h"
#include "util/text.h"

static std::vector<std::string> Entries(const std::string& text) {
  GrowArray<FileListEntry> entries;
  ParseFileList(text.data(), text.size(), entries);
  std::vector<std::string> out;
  for (size_t i = 0; i < entries.Count(); i++) out.push_back(text.substr(entries[i].offset, entries[i].length));
  return out;
}

TEST_CASE("file list lines") {
  CHECK(Entries("").empty());
  CHECK(Entries("a\r\nb\n\n  \t\r\n c d \t\r\r\nlast") == std::vector<std::string>{"a", "b", " c d", "last"});
  CHECK(Entries(std::string("x\0y\nz", 5)) == std::vector<std::string>{"x", "z"});
  // A line longer than the line buffer is read as several entries.
  std::string longLine(5000, 'q');
  CHECK(Entries(longLine + "\nnext") ==
        std::vector<std::string>{std::string(2047, 'q'), std::string(2047, 'q'), std::string(906, 'q'), "next"});
  CHECK(Entries(std::string(2047, 'r') + "\nn") == std::vector<std::string>{std::string(2047, 'r'), "n"});
}

TEST_CASE("entries that would leave the program folder") {
  for (const wchar_t* ok : {L"a.txt", L"dir\\file", L"dir/file", L"..name", L"name..", L"a\\.hidden", L"x y\\z"})
    CHECK(IsContainedEntry(ok));
  for (const wchar_t* bad : {L"..\\canary", L"dir\\..\\..\\canary", L"dir/../../x", L"..", L".", L"dir\\.\\x",
                             L"dir\\...\\x", L"dir\\.. \\x", L"C:canary", L"C:\\canary", L"\\canary", L"/canary",
                             L"\\\\server\\share\\x", L"\\\\?\\C:\\x", L"\\\\.\\C:\\x", L"file.txt:stream",
                             L"file.txt::$DATA"})
    CHECK_FALSE(IsContainedEntry(bad));
}

TEST_CASE("batch lines keep their shape; unusual paths are escaped or referenced") {
  GrowArray<wchar_t> text;
  bool vars[kBatchPathCount];
  BatchPaths plain = {L"C:\\K\\uninstall.exe", L"C:\\K", L"C:\\T\\Uninstall_Kvx.Bat", {}};
  ComposeBatchLines(plain, false, text, vars);
  std::wstring expected = L"\"C:\\K\\uninstall.exe\" /wait\r\n";
  for (int i = 0; i < 5; i++)
    expected += L"del \"C:\\K\\uninstall.exe\"\r\nrd \"C:\\K\"\r\nif not exist \"C:\\K\\uninstall.exe\" goto done\r\n";
  expected += L":done\r\nif exist \"C:\\K\\uninstall.exe\" \"C:\\K\\uninstall.exe\" /warning\r\ndel \"C:\\T\\Uninstall_Kvx.Bat\"\r\n";
  CHECK(std::wstring(text.Data()) == expected);
  CHECK_FALSE(vars[0]);

  GrowArray<wchar_t> silent;
  ComposeBatchLines(plain, true, silent, vars);
  CHECK(std::wstring(silent.Data()).find(L"/warning") == std::wstring::npos);
  // A copy runs the pause: the warning names the file that stays; the
  // program folder, which others may change, is removed by no path, the
  // run's own folder on the program's volume is.
  BatchPaths copied = {L"C:\\K\\uninstall.exe", nullptr, L"C:\\T\\B.Bat", nullptr, nullptr, L"C:\\T\\u.exe", L"K:\\W", {}};
  GrowArray<wchar_t> copiedText;
  ComposeBatchLines(copied, false, copiedText, vars);
  std::wstring copiedLines = copiedText.Data();
  CHECK(copiedLines.find(L"rd \"C:\\K\"") == std::wstring::npos);
  CHECK(copiedLines.find(L":done\r\nrd \"K:\\W\"\r\nif exist \"C:\\K\\uninstall.exe\" \"C:\\T\\u.exe\" "
                         L"\"/warning=C:\\K\\uninstall.exe\"\r\n") != std::wstring::npos);
  // The command: no AutoRun, no delayed expansion; none for a path that could
  // end the quotes or be expanded.
  wchar_t command[256];
  CHECK(ComposeBatchCommand(L"C:\\S\\cmd.exe", L"C:\\W\\Kvx-1\\Uninstall_Kvx.Bat", command, 256));
  CHECK(std::wstring(command) == L"\"C:\\S\\cmd.exe\" /d /e:on /v:off /s /c \"\"C:\\W\\Kvx-1\\Uninstall_Kvx.Bat\"\"");
  for (const wchar_t* bad : {L"C:\\W\"\\x.bat", L"C:\\%TMP%\\x.bat", L"C:\\a\nb.bat", L""})
    CHECK_FALSE((ComposeBatchCommand(L"C:\\S\\cmd.exe", bad, command, 256) || command[0]));

  wchar_t out[64];
  CHECK_FALSE(BatchPathText(L"C:\\Kor vex%x & ^!()", nullptr, L"V", out, 64));
  CHECK(std::wstring(out) == L"C:\\Kor vex%%x & ^!()");
  CHECK(BatchPathText(L"C:\\\x0416\x2603", nullptr, L"KVX_X", out, 64));
  CHECK(std::wstring(out) == L"%KVX_X%");
  CHECK_FALSE(BatchPathText(L"C:\\\x0416\x2603%", L"C:\\KO%~1", L"KVX_X", out, 64));
  CHECK(std::wstring(out) == L"C:\\KO%%~1");
  CHECK(BatchPathText(L"C:\\\x0416", L"C:\\\x0416", L"KVX_X", out, 64));  // no usable short form

  // Paths near the length limit still give whole lines.
  std::wstring deep = L"C:\\" + std::wstring(600, L'd');
  std::wstring exe = deep + L"\\uninstall.exe";
  BatchPaths longPaths = {exe.c_str(), deep.c_str(), L"C:\\T\\Uninstall_Kvx.Bat", {}};
  GrowArray<wchar_t> longText;
  ComposeBatchLines(longPaths, true, longText, vars);
  CHECK(std::wstring(longText.Data()).find(L"rd \"" + deep + L"\"\r\nif not exist \"" + exe + L"\" goto done\r\n") !=
        std::wstring::npos);
}

// ---------------------------------------------------------------- the real program

// A scratch place for one run: an installation folder inside, a private
// temporary folder for the batch file, canaries around it.
struct Scene {
  TempFolder root{L"kvxu"};
  std::wstring temp = root / L"temp";
  Scene() { MakeDirs(temp); }
  std::vector<std::wstring> Environment() const { return {L"TMP=" + temp, L"TEMP=" + temp}; }
};

// Runs the program and waits for the batch file it may have started to end.
static ProcessResult Uninstall(const std::wstring& program, const std::vector<std::wstring>& environment,
                               const std::wstring& args = L" /S",
                               const std::function<void(DWORD)>& whileRunning = nullptr,
                               const std::wstring& desktop = L"") {
  NewBatchFolders batch;
  ProcessResult r = RunProcess(Quote(program) + args, environment, 60000, L"", whileRunning, desktop);
  CHECK(batch.Gone(30000));
  return r;
}
static ProcessResult Uninstall(const SampleInstallation& s, const Scene& scene, const std::wstring& args = L" /S",
                               const std::function<void(DWORD)>& whileRunning = nullptr,
                               const std::wstring& desktop = L"") {
  return Uninstall(s.Program(), scene.Environment(), args, whileRunning, desktop);
}

// What lies in a folder by a mask: the logs a run names for itself, the
// run's own folders.
static std::vector<std::wstring> LogsIn(const std::wstring& folder, const wchar_t* mask = L"Korvex-uninstall-*.log") {
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\" + mask).c_str(), &data);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &data))
    found.push_back(folder + L"\\" + data.cFileName);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  return found;
}

static BOOL WINAPI MountedAtK(LPCWSTR path, LPWSTR out, DWORD size) {
  if (_wcsnicmp(path, L"K:\\mounted", 10) != 0) return RealFunction(&GetVolumePathNameW, "GetVolumePathNameW")(path, out, size);
  return wcsncpy(out, L"K:\\mounted\\", size), TRUE;
}

TEST_CASE("silent uninstall removes everything listed, the program, the folder and the batch file, on another volume too") {
  Scene scene;
  SampleInstallation s(scene.root / L"Korvex");
  WriteText(scene.root / L"canary.txt", "beside");
  ProcessResult r = Uninstall(s, scene);
  CHECK(r.exitCode == 0);
  CHECK(s.Remaining().empty());
  CHECK(Exists(scene.root / L"canary.txt"));
  // On another volume than the Windows folder's (the prefix's K:), the
  // program moves into a folder of the run's own there, which goes with it
  // when nothing waits for the restart in it.
  for (auto& folder : LogsIn(L"K:", L"Kvx-*")) RemoveTree(folder);
  SampleInstallation k(L"K:\\Korvex");
  CHECK((Uninstall(k, scene).exitCode == 0 && k.Remaining().empty()));
  for (auto& folder : LogsIn(L"K:", L"Kvx-*")) CHECK_MESSAGE((RemoveTree(folder), false), Narrow(folder));
  // A volume mounted in a folder (K:\mounted, by the system's answer, which
  // Wine gives for no folder of the prefix): that folder is its root.
  MakeDirs(L"K:\\mounted\\Korvex");
  NewBatchFolders batch;
  {
    ImportHooks hooks({{"GetVolumePathNameW", (void*)MountedAtK}});
    RunFolders run(L"K:\\mounted\\Korvex");
    wchar_t waiting[kPathCapacity];
    CHECK((run.WaitingName(L"a.dll", waiting) && std::wstring(waiting).rfind(L"K:\\mounted\\Kvx-", 0) == 0));
  }
  for (auto& folder : batch.Now()) RemoveTree(folder);
  RemoveTree(L"K:\\mounted");
}

TEST_CASE("the confirmation: No removes nothing, Yes removes it all") {
  Scene scene;
  SampleInstallation s(scene.root / L"Korvex");
  std::vector<std::wstring> texts;
  CHECK(Uninstall(s, scene, L"", Answer({IDNO}, &texts)).exitCode == 1);  // declined: no removal to report
  REQUIRE(texts.size() == 1);
  // The sample carries the (German) language module: its texts are used.
  CHECK(texts[0] == L"M\x00f6" L"chten Sie Korvex mit allen Komponenten entfernen?");
  CHECK(Exists(s.Path("Korvex.exe")));
  CHECK(Exists(s.folder + L"\\Uninstall.lst"));
  // Where nobody can answer (a service's window station), the question gets
  // the answer that changes nothing, at once, and the log says so.
  std::wstring log = scene.root / L"hidden.log";
  REQUIRE(HiddenDesktop() != L"");
  ProcessResult hidden = Uninstall(s, scene, L" \"/log=" + log + L"\"", nullptr, HiddenDesktop());
  CHECK_FALSE(hidden.timedOut);
  CHECK(hidden.exitCode == 1);
  CHECK(Exists(s.Path("Korvex.exe")));
  CheckLog(log, {L"uninstall mode, ", L"command line: \"" + s.Program(),
                 std::wstring(L"message skipped (nobody can answer it): M\x00f6" L"chten Sie"),
                 L"summary: cancelled: nothing was changed, exit code 1, restart needed: no\r\n"});
  std::wstring text = LogText(log);
  CHECK((text.size() > 13 && text.compare(text.size() - 13, 13, L"exit code 1\r\n") == 0));
  // Each line reaches the file at once: a run killed while it asks has left
  // everything up to its question.
  std::wstring killed = scene.root / L"killed.log", atQuestion;
  Uninstall(s, scene, L" \"/log=" + killed + L"\"", Answer({0}, nullptr, [&](size_t, HWND w) {
    atQuestion = LogText(killed);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    TerminateProcess(process, 9);
    CloseHandle(process);
  }));
  CHECK(atQuestion.find(L"==== Korvex ") != std::wstring::npos);
  CHECK(atQuestion.find(L"message shown: M\x00f6" L"chten Sie") != std::wstring::npos);
  Uninstall(s, scene, L"", Answer({IDYES}));
  CHECK(s.Remaining().empty());
}

TEST_CASE("a missing file list is reported, also when silent, and nothing is touched") {
  Scene scene;
  SampleInstallation s(scene.root / L"Korvex");
  DeleteFileW((s.folder + L"\\Uninstall.lst").c_str());
  std::vector<std::wstring> texts;
  NewBatchFolders batch;
  ProcessResult r = Uninstall(s, scene, L" /S", Answer({IDOK}, &texts));
  REQUIRE(texts.size() == 1);
  CHECK(texts[0].find(L"\"" + s.folder + L"\\Uninstall.lst\"") != std::wstring::npos);  // with its folder
  CHECK(r.exitCode == 2);  // a package manager must not count it a success
  CHECK(Exists(s.Path("Korvex.exe")));
  // Interactive too (the confirmation, then the message); the log (by
  // default a new file in the temporary folder) tells why.
  CHECK(Uninstall(s, scene, L" -log", Answer({IDYES, IDOK})).exitCode == 2);
  // And no message box at all when none are asked for.
  std::wstring quiet = scene.root / L"quiet.log";
  bool seen = true;
  CHECK(Uninstall(s, scene, L" /S -nomessages \"/log=" + quiet + L"\"", WatchForWindow(seen, 3000)).exitCode == 2);
  CHECK_FALSE(seen);
  CheckLog(quiet, {L"message skipped (no messages asked for): "});
  CHECK(batch.Now().empty());  // nothing was deleted, so no batch file was made
  std::vector<std::wstring> logs = LogsIn(scene.temp);
  REQUIRE(logs.size() == 1);
  CheckLog(logs[0], {L"failed: to open Uninstall.lst: error 2 ("});
}

TEST_CASE("list edge cases: empty, folders before files, blanks and CR, absolute paths, escaping lines") {
  Scene scene;
  SampleInstallation s(scene.root / L"Korvex");
  MakeDirs(scene.root / L"outside");
  WriteText(scene.root / L"canary.txt", "beside");
  WriteText(scene.root / L"outside\\canary.txt", "outside");
  std::string above = Narrow(scene.root.Path());
  std::string drive = above.substr(0, 2);
  // The listed folders come first; some lines carry blanks and CRs; the
  // rest try to reach outside the folder. The deepest folder is listed only
  // in the other spelling below.
  s.listedFolders.pop_back();
  s.WriteList({"Rar.txt   \t", "Kvx.txt\r\r", "   ", "..\\canary.txt", "Formats\\..\\..\\canary.txt",
               "..\\outside\\canary.txt", drive + "..\\canary.txt", above + "\\canary.txt", "\\" + above.substr(3) + "\\canary.txt",
               "\\\\?\\" + above + "\\canary.txt", "\\\\.\\" + above + "\\canary.txt", "canary.txt:stream",
               "Formats\\... \\x",
               // A folder named in another case and with other separators than
               // the files in it; a read-only file that another line names as
               // a folder: both go all the same.
               "formats/DEEP/deeper", "readonly.txt\\inside",
               // One leading separator: still inside the program folder.
               "\\Formats\\lead.txt"});
  WriteText(s.Path("Formats\\lead.txt"), "lead");
  std::wstring log = scene.root / L"edges.log";
  CHECK(Uninstall(s, scene, L" /S -log:\"" + log + L"\"").exitCode == 0);
  CHECK(s.Remaining().empty());
  CheckLog(log, {L"skipped \"..\\canary.txt\": it names nothing inside the program folder",
                 L"deleted " + s.Path("Formats\\lead.txt") + L"\r\n",
                 L"deleted folder " + s.folder + L"\\formats/DEEP/deeper\r\n", L"self-removal batch file: "});
  CHECK(Exists(scene.root / L"canary.txt"));
  CHECK(Exists(scene.root / L"outside\\canary.txt"));

  // An empty list: the program and the list go, nothing else (so the folder
  // stays). A file that a second line names as a folder, and nothing else to
  // remove in the first pass: the folders' turn deletes it as the file it is.
  // A read-only list that names itself goes too.
  struct {
    const wchar_t* name;
    const char* list;
    std::vector<std::string> gone, kept;
    bool readOnlyList;
  } const rows[] = {{L"Empty", "", {"uninstall.exe", "Uninstall.lst"}, {"Korvex.exe"}},
                    {L"Named", "Kvx.txt\r\nKvx.txt\\x\r\nuninstall.exe\r\n", {"uninstall.exe", "Kvx.txt"}, {}},
                    {L"ReadOnly", "Uninstall.lst\r\nKvx.txt\r\n", {"Uninstall.lst", "Kvx.txt"}, {"Korvex.exe"}, true}};
  for (auto& row : rows) {
    SampleInstallation t(scene.root / row.name);
    WriteText(t.folder + L"\\Uninstall.lst", row.list);
    if (row.readOnlyList) SetFileAttributesW((t.folder + L"\\Uninstall.lst").c_str(), FILE_ATTRIBUTE_READONLY);
    CHECK(Uninstall(t, scene).exitCode == 0);
    for (auto& name : row.gone) CHECK_MESSAGE(!Exists(t.Path(name)), name);
    for (auto& name : row.kept) CHECK_MESSAGE(Exists(t.Path(name)), name);
  }
}

TEST_CASE("a link inside the installation is not followed") {
  // The installation folder and its link come from the prefix's set-up
  // (see tests/scripts/prefix.sh): C:\kvx-links\installation\link.
  Scene scene;
  std::wstring folder = L"C:\\kvx-links\\installation";
  REQUIRE((GetFileAttributesW((folder + L"\\link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
  std::wstring program = folder + L"\\uninstall.exe";
  REQUIRE(CopyFileW(ProductExe().c_str(), program.c_str(), FALSE));
  WriteText(folder + L"\\Uninstall.lst", "link\\precious.txt\r\nuninstall.exe\r\n");
  std::wstring log = scene.root / L"link.log";
  Uninstall(program, scene.Environment(), L" /S /log=" + log);
  CHECK_FALSE(Exists(program));
  CHECK(Exists(L"C:\\kvx-links\\target\\precious.txt"));
  CheckLog(log, {L"skipped " + folder + L"\\link\\precious.txt: below a link\r\n"});
}

// A folder of the installation swapped for a link while the uninstall runs
// (an installation folder outside "Program Files" may be one others can
// change), tried the moment the deletion first reaches a file in it, from
// this process as from another program of the user's; and a folder another
// program holds for its deletion.
namespace {
std::wstring g_SwapFolder, g_SwapTarget;
bool g_SwapTried, g_Swapped;
void TrySwap(const wchar_t* path) {
  if (g_SwapTried || std::wstring(path).find(g_SwapFolder + L"\\") == std::wstring::npos) return;
  g_SwapTried = true;
  if (MoveFileW(g_SwapFolder.c_str(), (g_SwapFolder + L".away").c_str())) g_Swapped = PlantLink(g_SwapFolder, g_SwapTarget);
}
DWORD WINAPI SwapOnAttributes(LPCWSTR path) {
  TrySwap(path);
  return RealFunction(&GetFileAttributesW, "GetFileAttributesW")(path);
}
BOOL WINAPI SwapOnDelete(LPCWSTR path) {
  TrySwap(path);
  return RealFunction(&DeleteFileW, "DeleteFileW")(path);
}
// A file is deleted by its name from its folder's handle.
NTSTATUS NTAPI SwapOnOpen(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK status,
                          PLARGE_INTEGER size, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                          PVOID extended, ULONG extendedLength) {
  if (object->RootDirectory && std::wstring(object->ObjectName->Buffer, object->ObjectName->Length / 2) == L"b.txt")
    TrySwap((g_SwapFolder + L"\\b.txt").c_str());
  auto real = (decltype(&NtCreateFile))(void*)GetProcAddress(GetModuleHandleW(L"ntdll"), "NtCreateFile");
  return real(file, access, object, status, size, attributes, share, disposition, options, extended, extendedLength);
}
}  // namespace

TEST_CASE("folders of the installation are held while their files go: a swap for a link fails, a held folder keeps its files") {
  TempFolder root;
  std::wstring folder = root / L"Korvex", victims = root / L"victims", log = root / L"held.log";
  MakeDirs(folder + L"\\sub");
  MakeDirs(folder + L"\\held");
  MakeDirs(victims);
  WriteText(folder + L"\\sub\\b.txt", "ours");
  WriteText(folder + L"\\held\\c.txt", "ours");
  WriteText(victims + L"\\b.txt", "another program's");
  std::string text = "sub\\b.txt\r\nsub\r\nheld\\c.txt\r\nheld\r\n";
  FileList list;
  list.bytes.AddElements(text.size());
  memcpy(list.bytes.Data(), text.data(), text.size());
  ParseFileList(list.bytes.Data(), text.size(), list.entries);
  g_SwapFolder = folder + L"\\sub";
  g_SwapTarget = victims;
  g_SwapTried = g_Swapped = false;
  HANDLE holder = CreateFileW((folder + L"\\held").c_str(), DELETE | FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  REQUIRE(holder != INVALID_HANDLE_VALUE);
  {
    ImportHooks hooks({{"GetFileAttributesW", (void*)SwapOnAttributes},
                       {"DeleteFileW", (void*)SwapOnDelete},
                       {"NtCreateFile", (void*)SwapOnOpen}});
    OpenLog(log.c_str());
    PinnedChain chain;
    REQUIRE(chain.Pin(folder.c_str()));
    DeleteListedFiles(list, chain, (folder + L"\\").c_str(), L"uninstall.exe", nullptr);
    CloseLog();
  }
  CloseHandle(holder);
  CHECK(g_SwapTried);
  CHECK_FALSE(g_Swapped);
  CHECK(ReadBytes(victims + L"\\b.txt").size() == 17);
  CHECK_FALSE(Exists(folder + L"\\sub"));
  CHECK(Exists(folder + L"\\held\\c.txt"));
  CheckLog(log, {L"failed: to hold the folder; what is in it stays: " + folder + L"\\held: error 32"});
  if (g_Swapped) RemoveLink(g_SwapFolder);
}

// The names of the files made in a folder while a process runs.
static std::vector<std::wstring> FilesMadeIn(const std::wstring& folder, DWORD pid) {
  std::vector<std::wstring> made;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  HANDLE dir = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  alignas(8) unsigned char buffer[8192];
  for (;;) {
    ResetEvent(overlapped.hEvent);
    if (!ReadDirectoryChangesW(dir, buffer, sizeof buffer, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &overlapped,
                               nullptr))
      break;
    HANDLE both[2] = {overlapped.hEvent, process};
    DWORD which = WaitForMultipleObjects(2, both, FALSE, 60000);
    DWORD got = 0;
    if (which != WAIT_OBJECT_0 || !GetOverlappedResult(dir, &overlapped, &got, FALSE)) break;
    for (auto* n = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffer); got;
         n = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(reinterpret_cast<unsigned char*>(n) + n->NextEntryOffset)) {
      if (n->Action == FILE_ACTION_ADDED) made.push_back(std::wstring(n->FileName, n->FileNameLength / 2));
      if (!n->NextEntryOffset) break;
    }
  }
  CancelIoEx(dir, &overlapped);
  CloseHandle(overlapped.hEvent);
  CloseHandle(dir);
  CloseHandle(process);
  return made;
}

TEST_CASE("the user's settings folder a link to another user's file: nothing of it is read or written") {
  Scene scene;
  SampleInstallation s(scene.root / L"Korvex");
  std::wstring appData = SpecialFolder(CSIDL_APPDATA), settings = appData + L"\\Korvex", secret = L"C:\\users\\Public\\kvx-credentials.txt";
  REQUIRE_FALSE(Exists(settings));
  std::string content = "aws_secret_access_key=AKIAEXAMPLE\r\npassword=hunter2\r\n";
  WriteText(secret, content);
  REQUIRE(PlantLink(settings, secret));
  std::vector<std::wstring> made;
  Uninstall(s, scene, L" /S", [&](DWORD pid) { made = FilesMadeIn(appData, pid); });
  RemoveLink(settings);
  // Not even for an instant: a copy there would be the user's to read.
  CHECK_MESSAGE(made.empty(), Narrow(made.empty() ? L"" : made[0]));
  CHECK(ReadBytes(secret).size() == content.size());
  DeleteFileW(secret.c_str());
  CHECK(s.Remaining().empty());
}

TEST_CASE("unusual program paths, and the user's environment, choose nothing the batch file runs") {
  // Besides the names, a ComSpec naming another program, a temporary folder
  // whose name holds "&" (the command once broke there and ran
  // "<parent>\\a.exe") and one that is a link: the system's cmd.exe runs a
  // batch file of the tool's own, and neither stand-in starts.
  Scene scene;
  std::wstring comspec = scene.root / L"rec\\comspec.exe", split = scene.root / L"a&b", linked = scene.root / L"linked";
  MakeDirs(split);
  MakeDirs(scene.root / L"rec");
  for (auto& copy : {comspec, scene.root / L"a.exe"})
    REQUIRE(CopyFileW(FixturePath(L"KvxExtInstaller.exe").c_str(), copy.c_str(), FALSE));
  REQUIRE(PlantLink(linked, split));
  struct {
    const wchar_t* name;
    std::wstring temp, comspec;
  } const rows[] = {{L"Kor vex%x & ^!() %PATH%", scene.temp, comspec}, {L"Korvex & Co (100%) !x^y", split, L""},
                    {L"Korvex \x00fc", linked, L""}, {L"Korvex \x0416\x2603 \x03a9", scene.temp, L""},
                    {L"Kor%vex \x4e2d\x6587", scene.temp, L""}};
  for (auto& row : rows) {
    CAPTURE(Narrow(row.name));
    SampleInstallation s(scene.root / row.name);
    Uninstall(s.Program(), {L"TMP=" + row.temp, L"TEMP=" + row.temp, L"ComSpec=" + row.comspec});
    CHECK(s.Remaining().empty());
  }
  CHECK_FALSE(Exists(scene.root / L"rec\\installer-log.txt"));
  CHECK_FALSE(Exists(scene.root / L"installer-log.txt"));
  CHECK_FALSE(Exists(split + L"\\Uninstall_Kvx.Bat"));
  RemoveLink(linked);
  // A temporary folder pointed at the system's own: the run's log goes to
  // the Windows folder's "Temp" instead.
  std::wstring system = L"C:\\windows\\system32", windowsTemp = L"C:\\windows\\Temp";
  auto systemBefore = LogsIn(system), tempBefore = LogsIn(windowsTemp);
  SampleInstallation logged(scene.root / L"Logged");
  Uninstall(logged.Program(), {L"TMP=" + system, L"TEMP=" + system}, L" /S -log");
  CHECK(LogsIn(system) == systemBefore);
  auto tempAfter = LogsIn(windowsTemp);
  CHECK(tempAfter.size() == tempBefore.size() + 1);
  for (auto& file : tempAfter)
    if (std::find(tempBefore.begin(), tempBefore.end(), file) == tempBefore.end()) DeleteFileW(file.c_str());
}

TEST_CASE("the batch file through environment variables deletes a Unicode path in the real command processor") {
  // Where neither the path nor a short form survives the ANSI code page, the
  // lines refer to variables; here the short forms are withheld to use them.
  Scene scene;
  std::wstring folder = scene.root / L"\x0416\x2603 \x4e2d";
  MakeDirs(folder);
  std::wstring program = folder + L"\\uninstall.exe";
  REQUIRE(CopyFileW(ProductExe().c_str(), program.c_str(), FALSE));
  std::wstring batch = scene.temp + L"\\Uninstall_Kvx.Bat";
  BatchPaths paths = {program.c_str(), folder.c_str(), batch.c_str(), nullptr, nullptr, {}};
  GrowArray<wchar_t> text;
  bool vars[kBatchPathCount];
  ComposeBatchLines(paths, true, text, vars);
  CHECK(vars[0]);
  CHECK(vars[1]);
  CHECK_FALSE(vars[2]);
  HANDLE file = CreateFileW(batch.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  REQUIRE(WriteBatchText(file, text.Data()));
  CloseHandle(file);
  ProcessResult r = RunProcess(L"cmd.exe /c \"" + batch + L"\"",
                               {std::wstring(kBatchVariables[0]) + L"=" + program,
                                std::wstring(kBatchVariables[1]) + L"=" + folder},
                               60000, scene.root.Path());
  CHECK(r.exitCode == 0);
  CHECK_FALSE(Exists(program));
  CHECK_FALSE(Exists(folder));
  CHECK_FALSE(Exists(batch));
}

// The driver in this program, as the entry routine runs it; its exit code.
static int RunDriver(bool msi, bool closeApps = false) {
  RunContext run = {};
  run.Options.Msi = msi;
  run.Options.Silent = true;
  run.Options.CloseApps = closeApps;
  UniqueFile image(OpenOwnImage());
  run.ProgramImage = image.Get();
  UninstallDriver(run);
  return run.Options.ExitCode;
}

// Runs a child of this program from a copy of it in the installation folder,
// where the driver takes it for the tool; its exit code.
static DWORD RunDriverChild(const SampleInstallation& s, const Scene& scene, const char* child,
                            std::vector<std::wstring> environment = {}) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring copy = s.folder + L"\\driver-test.exe";
  REQUIRE(CopyFileW(self, copy.c_str(), FALSE));
  for (auto& entry : scene.Environment()) environment.push_back(entry);
  return RunProcess(Quote(copy) + L" --child=" + Widen(child), environment).exitCode;
}

KVX_CHILD(driver_msi) {
  RunDriver(true);
  return 0;
}

TEST_CASE("the driver under msi removes no file and writes no batch file") {
  Scene scene;
  SampleInstallation s(scene.root / L"Korvex");
  NewBatchFolders batch;
  CHECK(RunDriverChild(s, scene, "driver_msi") == 0);
  CHECK(Exists(s.Path("Korvex.exe")));
  CHECK(Exists(s.folder + L"\\Uninstall.lst"));
  CHECK(batch.Now().empty());
}

// A run killed after writing its batch file and before starting the command
// processor (with the program that runs its pause beside it), at exactly
// that point: the driver in this program, whose
// CreateProcessW ends the process.
static BOOL WINAPI EndBeforeStart(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                  LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  TerminateProcess(GetCurrentProcess(), 9);
  return FALSE;
}
KVX_CHILD(driver_killed_before_batch) {
  ImportHooks hooks({{"CreateProcessW", (void*)EndBeforeStart}});
  RunDriver(false);
  return 0;
}
// The command processor cannot be started: the run says so by its code.
// The shell takes its time over the notice of the removed types: the run
// has waited for it when it starts the batch file, whose pause is short
// (else the child's code is a hundred more).
static volatile bool g_NoticeTaken, g_TakenBeforeBatch;
static void WINAPI SlowNotice(LONG, UINT, LPCVOID, LPCVOID) {
  Sleep(500);
  g_NoticeTaken = true;
}
static BOOL WINAPI RefuseStart(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                               LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  g_TakenBeforeBatch = g_NoticeTaken;
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
KVX_CHILD(driver_batch_refused) {
  ImportHooks hooks({{"CreateProcessW", (void*)RefuseStart}, {"SHChangeNotify", (void*)SlowNotice}});
  int code = RunDriver(false);
  return g_TakenBeforeBatch ? code : 100 + code;
}

// Makes a file or folder look an hour old.
static void AnHourAgo(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t = {{now.dwLowDateTime, now.dwHighDateTime}};
  t.QuadPart -= 36000000000ull;
  FILETIME old = {t.LowPart, t.HighPart};
  CHECK(SetFileTime(h, nullptr, nullptr, &old));
  CloseHandle(h);
}

TEST_CASE("a run killed between writing its batch file and starting it: what it left is cleared only as the administrators' own") {
  Scene scene;
  SampleInstallation s(scene.root / L"Korvex");
  NewBatchFolders killed;
  CHECK(RunDriverChild(s, scene, "driver_killed_before_batch") == 9);
  std::vector<std::wstring> left = killed.Now();
  REQUIRE(left.size() == 1);
  std::wstring batch = left[0] + L"\\Uninstall_Kvx.Bat", runner = left[0] + L"\\driver-test.exe";
  REQUIRE(Exists(batch));
  REQUIRE(Exists(runner));  // the program that would have run the batch file's pause
  // Folders of that name that are not such leftovers stay: another file
  // inside, a name the tool does not make.
  std::wstring other = L"C:\\windows\\Temp\\Kvx-0123456789abcdef0123456789abcdef",
               misnamed = L"C:\\windows\\Temp\\Kvx-0123456789abcdef0123456789abcdeX";
  for (auto& folder : {other, misnamed}) {
    MakeDirs(folder);
    WriteText(folder + (folder == other ? L"\\other.txt" : L"\\Uninstall_Kvx.Bat"), "not the tool's");
  }
  // A recent one could be a running batch file's: a later run leaves it
  // then, and clears it once it is older than any run can be.
  SampleInstallation t(scene.root / L"Second");
  CHECK(RunProcess(L"\"" + t.Program() + L"\" -setup -s -noexplorer", scene.Environment(), 60000, t.folder).exitCode == 0);
  CHECK(Exists(batch));
  for (auto& path : {batch, runner, left[0], other + L"\\other.txt", other, misnamed + L"\\Uninstall_Kvx.Bat", misnamed})
    AnHourAgo(path);
  Uninstall(t, scene);
  CHECK(t.Remaining().empty());
  // Only a folder that administrators or SYSTEM own goes: the account the
  // tool runs as owns what its unelevated programs could have made, and Wine
  // reports every folder as that account's (test_util shows one of the
  // administrators' going).
  CHECK(Exists(left[0]));
  RemoveTree(left[0]);
  CHECK(Exists(other + L"\\other.txt"));
  CHECK(Exists(misnamed + L"\\Uninstall_Kvx.Bat"));
  RemoveTree(other);
  RemoveTree(misnamed);
  // A batch file that cannot be started: all else is removed, and the run's
  // code says that the program file and its folder stay.
  SampleInstallation u(scene.root / L"Third");
  NewBatchFolders refused;
  CHECK(RunDriverChild(u, scene, "driver_batch_refused") == 5);
  CHECK_FALSE(Exists(u.Path("Korvex.exe")));
  for (auto& folder : refused.Now()) RemoveTree(folder);  // where the program was moved to
}

// What deployment tools count: a restart needed (3010 when asked for), a
// log that cannot be written (1622, nothing done), a second run while one
// is in progress (1618), and an installation that cannot be held (7).
TEST_CASE("exit codes a deployment tool counts: restart, a log that cannot be written, two runs, a held folder") {
  Scene scene;
  std::wstring stop = scene.root / L"stop";
  // A program of the user's took the run lock's name first (Wine gives its
  // object no owner, Windows the user's own): it is no run of ours and
  // keeps none from running.
  HANDLE squatter = CreateMutexW(nullptr, TRUE, L"Global\\Korvex.SetupAndUninstall");
  REQUIRE(squatter);
  for (bool asked : {false, true}) {
    CAPTURE(asked);
    SampleInstallation s(scene.root / (asked ? L"Asked" : L"Plain"));
    DeleteFileW(stop.c_str());
    FileHolder holder(true, s.Path("kvxlng.dll"), stop);  // in use: it goes at the restart
    REQUIRE(holder.Holding());
    NewBatchFolders batch;
    ProcessResult r = RunProcess(Quote(s.Program()) + L" /S" + (asked ? L" /restartcode" : L""), scene.Environment());
    CHECK(r.exitCode == (asked ? 3010u : 0u));
    WriteText(stop, "");
    holder.Wait();
    RemoveTree(OwnFolder(batch));  // with the library that waited for the restart
  }
  CloseHandle(squatter);
  SampleInstallation s(scene.root / L"Korvex");
  std::wstring notes = scene.root / L"notes.txt";
  WriteText(notes, "not a log");
  for (const std::wstring& log : {scene.root / L"missing\\x.log", notes}) {
    CAPTURE(Narrow(log));
    CHECK(Uninstall(s, scene, L" /S -nomessages \"/log=" + log + L"\"").exitCode == 1622);
    CHECK(Exists(s.Path("Korvex.exe")));
  }
  CHECK(ReadBytes(notes).size() == 9);
  std::wstring log = scene.root / L"second.log";
  ProcessResult second;
  Uninstall(s, scene, L"", Answer({IDNO}, nullptr, [&](size_t, HWND) {
    second = RunProcess(Quote(s.Program()) + L" /S \"/log=" + log + L"\"", scene.Environment());
  }));
  CHECK(second.exitCode == 1618);
  CHECK(Exists(s.Path("Korvex.exe")));
  CheckLog(log, {L"another setup or uninstall run is in progress: nothing done"});
  // A folder above the installation held without sharing by another
  // program: nothing is removed (the per-user settings stay, the uninstall
  // can run again), and the run says why.
  SampleInstallation h(scene.root / L"Held\\Korvex");
  std::vector<std::wstring> before = h.Remaining();
  RegPutText(HKEY_CURRENT_USER, L"Software\\Korvex\\Paths", L"Probe", L"kept");
  TempFolder logs;
  UniqueFile holder(CreateFileW((scene.root / L"Held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  CHECK(Uninstall(h, scene, L" /S -nomessages \"/log=" + (logs / L"held.log") + L"\"").exitCode == 7);
  holder.Reset();
  CHECK((h.Remaining() == before && RegText(HKEY_CURRENT_USER, L"Software\\Korvex\\Paths", L"Probe") == L"kept"));
  CheckLog(logs / L"held.log", {L"failed: to hold the program folder; nothing was removed: " + h.folder});
  RegRemoveTree(HKEY_CURRENT_USER, L"Software\\Korvex\\Paths");
}

// ---------------------------------------------------------------- locked files and the restart

static std::vector<std::wstring> PendingRenames() {
  std::vector<std::wstring> out;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE,
                    &key) != ERROR_SUCCESS)
    return out;
  DWORD size = 0;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
      size) {
    std::vector<wchar_t> data(size / 2 + 2, 0);
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, (BYTE*)data.data(), &size);
    for (const wchar_t* p = data.data(); *p || p[1]; p += wcslen(p) + 1)
      if (*p) out.push_back(p);
  }
  RegCloseKey(key);
  return out;
}

static bool Pending(const std::wstring& path) {
  for (auto& entry : PendingRenames())
    if (entry.size() >= path.size() && entry.compare(entry.size() - path.size(), path.size(), path) == 0) return true;
  return false;
}

TEST_CASE("files in use: moved out of the installation to go at the restart, or left; the reboot message; a program put at the tool's name meanwhile never runs") {
  Scene scene;
  SampleInstallation s(scene.root / L"Korvex");
  std::wstring library = s.Path("a.dll"), held = s.folder + L"\\h\x00ebld.dat";
  REQUIRE(CopyFileW(FixturePath(L"kvxlng.dll").c_str(), library.c_str(), FALSE));
  WriteText(held, "held without sharing");
  // The list is in the system's code page.
  auto listed = [](const wchar_t* name) {
    char bytes[64];
    REQUIRE(WideToAnsi(name, bytes));
    return std::string(bytes);
  };
  s.listedFiles.insert(s.listedFiles.end(), {"a.dll", listed(L"h\x00ebld.dat")});
  // Among six hundred more, so that the files go on two threads at least
  // for the trial of the second one; three of them
  // listed twice (the held one too, a letter beyond ASCII in the other case:
  // it stays once, not twice).
  MakeDirs(s.Path("many"));
  s.listedFolders.push_back("many");
  for (int i = 0; i < 600; i++) {
    s.listedFiles.push_back("many\\" + std::to_string(i) + ".txt");
    WriteText(s.Path(s.listedFiles.back()), "many");
  }
  s.WriteList({"many\\0.txt", "MANY/1.TXT", listed(L"H\x00cbLD.DAT")});
  std::wstring stop = scene.root / L"stop";
  FileHolder libraryHolder(true, library, stop), fileHolder(false, held, stop);
  REQUIRE(libraryHolder.Holding());
  REQUIRE(fileHolder.Holding());

  // While the reboot message shows, after the deletions and before the
  // batch file starts, a user who can change the installation folder puts
  // another program at the tool's name: the running program is held from
  // its start and cannot be renamed away, and the batch file runs the
  // program from the run's own folder.
  bool renamed = false;
  auto replaceProgram = [&](size_t i, HWND) {
    if (i == 1 && (renamed = MoveFileW(s.Program().c_str(), (s.Program() + L".old").c_str()) != 0))
      CopyFileW(FixturePath(L"KvxExtInstaller.exe").c_str(), s.Program().c_str(), FALSE);
  };
  std::vector<std::wstring> texts;
  std::wstring log = scene.root / L"locked.log";
  NewBatchFolders batch;
  // The confirmation, the reboot message, then the files that stay.
  ProcessResult r = RunProcess(Quote(s.Program()) + L" /log=" + log, scene.Environment(), 60000, L"",
                               Answer({IDYES, IDOK, IDOK}, &texts, replaceProgram));
  CHECK(r.exitCode == 6);
  REQUIRE(texts.size() == 3);
  CHECK(texts[1] == L"Einige Dateien werden beim n\x00e4" L"chsten Neustart entfernt.");
  CHECK(texts[2].find(held) != std::wstring::npos);
  CHECK_FALSE(renamed);
  // The loaded library moved to the run's own folder, which only
  // administrators can change, and waits there for the restart with that
  // folder; the file held without sharing its deletion could not move and
  // stays, named: nothing is scheduled by a name in a folder others may
  // change (under Wine every folder is the user's to change).
  std::wstring own = OwnFolder(batch), moved = own + L"\\1.a.dll";
  CHECK_FALSE(Exists(s.Path("installer-log.txt")));  // what was put at the tool's name never ran
  CHECK_FALSE(Exists(library));
  CHECK(Exists(moved));
  CHECK(Pending(moved));
  CHECK(Pending(own));
  CHECK(Exists(held));
  CHECK_FALSE(Pending(held));
  CHECK_FALSE(Exists(s.Path("many")));
  std::wstring text = LogText(log);
  auto once = [&](const std::wstring& line) { return text.find(line) != text.npos && text.find(line) == text.rfind(line); };
  CHECK(once(L"summary: left " + held));
  for (int i = 0; i < 600; i++) CHECK_MESSAGE(once(L"deleted " + s.Path("many\\" + std::to_string(i) + ".txt") + L"\r\n"), i);
  CHECK_FALSE(Pending(s.folder));
  CHECK(WaitUntilGone(s.Program(), 30000));
  CheckLog(log, {L"locked: " + library + L", moved to " + moved, L"scheduled for the restart: " + moved,
                 L"scheduled for the restart: folder " + own,
                 L"failed: to delete (in use; it stays) " + held + L": error 32 (",
                 std::wstring(L"message shown: Einige Dateien werden beim n\x00e4" L"chsten Neustart entfernt."),
                 L"exit code 6\r\n"});

  WriteText(stop, "");
  libraryHolder.Wait();
  fileHolder.Wait();
  ProcessResult restart = RunProcess(L"wineboot.exe -r", {}, 120000);
  CHECK(restart.exitCode == 0);
  CHECK_FALSE(Exists(own));
  CHECK(Exists(held));
}

// A process of a test's, ended at the end of the scope; the window of the
// archiver's stand-in is up when the constructor returns.
struct RunningProcess {
  PROCESS_INFORMATION p = {};
  explicit RunningProcess(std::wstring command) {
    STARTUPINFOW startup = {sizeof startup};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &p)) return;
    for (int i = 0; i < 400 && command.find(L" /window") != std::wstring::npos && !FindWindowW(nullptr, Title().c_str()); i++)
      Sleep(50);
  }
  ~RunningProcess() { TerminateProcess(p.hProcess, 0), WaitForSingleObject(p.hProcess, 10000), CloseHandle(p.hProcess); }
  bool Running() const { return p.hProcess && WaitForSingleObject(p.hProcess, 0) == WAIT_TIMEOUT; }
  std::wstring Id() const { return std::to_wstring(p.dwProcessId); }
  std::wstring Title() const { return L"Korvex test window " + Id(); }
};
// The archiver's stand-in as a window program, and a process without a window.
static std::wstring WindowProgram(const std::wstring& exe, const wchar_t* more = L"") {
  return Quote(exe) + L" /window" + more;
}
KVX_CHILD(sleep_a_minute) { return Sleep(60000), 0; }

TEST_CASE("the running archiver: named; closed only when asked, never forced; asked about where someone can answer") {
  Scene scene;
  struct {
    const wchar_t *args, *more;  // the run's switches, the stand-in's
    std::vector<int> answers;    // the confirmation, then the question
    DWORD exitCode;
    bool stays, waits;           // still running; its file waits for the restart
    const wchar_t* line;
  } const rows[] = {
      {L" /S /restartcode", L"", {}, 3010, true, true, L"not asked to close (no closeapps)"},
      {L" /S -closeapps /restartcode", L"", {}, 0, false, false, L"closed"},
      {L" /S /closeapps /restartcode", L" /stubborn", {}, 3010, true, true, L"did not close"},
      {L"", L"", {IDYES, IDCANCEL}, 1, true, false, L"in use"},
      {L"", L"", {IDYES, IDYES}, 0, false, false, L"asked to close"},
  };
  for (auto& row : rows) {
    CAPTURE(Narrow(row.args + std::wstring(row.more) + row.line));
    SampleInstallation s(scene.root / L"Korvex");
    std::wstring archiver = s.Path("Korvex.exe"), log = scene.root / L"archiver.log";
    DeleteFileW(log.c_str());
    std::vector<std::wstring> texts;
    NewBatchFolders batch;
    {
      RunningProcess program(WindowProgram(archiver, row.more));
      REQUIRE(program.Running());
      ProcessResult r = RunProcess(Quote(s.Program()) + row.args + L" /log=" + log, scene.Environment(), 60000, L"",
                                   row.answers.empty() ? nullptr : Answer(row.answers, &texts));
      CHECK(r.exitCode == row.exitCode);
      CHECK(program.Running() == row.stays);
      std::wstring named = L": " + program.Title() + L" (" + archiver + L", process " + program.Id() + L")";
      CheckLog(log, {L"in use" + named, row.line + named});
      CHECK((!row.answers.empty()) == (texts.size() == 2 && texts[1].find(program.Title() + L" (" + archiver + L")\n") != std::wstring::npos));
      if (row.more[0]) CHECK((r.milliseconds >= 14500 && r.milliseconds < 45000));  // waited 15 seconds
      CHECK(Exists(archiver) == (row.exitCode == 1));  // else gone, or waiting for the restart
      CHECK(s.Remaining().empty() == (row.exitCode != 1));
    }
    if (row.waits) RemoveTree(OwnFolder(batch));
    else CHECK(batch.Gone(30000));
  }
}

// Where Wine cannot show it. The Restart Manager's answers: KVX_RM_HOLDERS
// names the processes ("id:type;...") that hold the listed files, with
// their start times (type 99: a wrong one, as of a process that has ended
// since); its shut-down ends what it is given. And folders that only
// administrators can change, as "Program Files" on Windows: what the pins'
// security says.
namespace {
std::vector<std::pair<DWORD, int>> g_Holders;
std::vector<DWORD> g_ShutDown;
UINT g_RegisteredFiles;
DWORD WINAPI FakeRmStart(DWORD* session, DWORD, WCHAR*) { return *session = 7, ERROR_SUCCESS; }
DWORD WINAPI FakeRmEnd(DWORD) { return ERROR_SUCCESS; }
DWORD WINAPI FakeRmRegister(DWORD, UINT files, LPCWSTR*, UINT count, RM_UNIQUE_PROCESS* processes, UINT, LPCWSTR*) {
  g_RegisteredFiles += files;
  for (UINT i = 0; i < count; i++) g_ShutDown.push_back(processes[i].dwProcessId);
  return ERROR_SUCCESS;
}
DWORD WINAPI FakeRmList(DWORD, UINT* needed, UINT* count, RM_PROCESS_INFO* found, DWORD* reasons) {
  *reasons = 0;
  if (*count < (*needed = (UINT)g_Holders.size())) return ERROR_MORE_DATA;
  for (size_t i = 0; i < g_Holders.size(); i++) {
    RM_PROCESS_INFO& info = found[i] = {};
    FILETIME times[3];
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.Process.dwProcessId = g_Holders[i].first);
    GetProcessTimes(process, &info.Process.ProcessStartTime, &times[0], &times[1], &times[2]);
    CloseHandle(process);
    info.Process.ProcessStartTime.dwLowDateTime ^= g_Holders[i].second == 99;
    info.ApplicationType = g_Holders[i].second == 99 ? RmMainWindow : (RM_APP_TYPE)g_Holders[i].second;
    wcscpy(info.strAppName, (L"Holder " + std::to_wstring(i)).c_str());
  }
  return *count = *needed, ERROR_SUCCESS;
}
DWORD WINAPI FakeRmShutDown(DWORD, ULONG, RM_WRITE_STATUS_CALLBACK) {
  for (DWORD id : g_ShutDown) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
    TerminateProcess(process, 0), CloseHandle(process);
  }
  return ERROR_SUCCESS;
}
decltype(&GetProcAddress) g_RealGetProcAddress;
FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  static const std::pair<const char*, void*> fakes[] = {
      {"RmStartSession", (void*)FakeRmStart}, {"RmEndSession", (void*)FakeRmEnd}, {"RmShutdown", (void*)FakeRmShutDown},
      {"RmRegisterResources", (void*)FakeRmRegister}, {"RmGetList", (void*)FakeRmList}};
  for (auto& fake : fakes)
    if (HIWORD(name) && strcmp(name, fake.first) == 0) return (FARPROC)fake.second;
  return g_RealGetProcAddress(module, name);
}
}  // namespace

KVX_CHILD(driver_seams) {
  wchar_t holders[512] = {}, log[MAX_PATH] = {};
  GetEnvironmentVariableW(L"KVX_RM_HOLDERS", holders, 512);
  GetEnvironmentVariableW(L"KVX_RM_LOG", log, MAX_PATH);
  for (wchar_t* p = holders; *p; p += *p == L';') g_Holders.push_back({wcstoul(p, &p, 10), (int)wcstol(p + 1, &p, 10)});
  g_RealGetProcAddress = (decltype(&GetProcAddress))GetProcAddress(GetModuleHandleW(L"kernel32"), "GetProcAddress");
  ImportHooks hooks({{"GetProcAddress", (void*)FakeGetProcAddress}});
  ShownSecurity administrators(L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)");
  OpenLog(log);
  int code = RunDriver(false, true);
  LogLine("test: files given to the Restart Manager: %u", g_RegisteredFiles);
  CloseLog();
  return code;
}

TEST_CASE("the Restart Manager's programs asked to close, never Explorer or the system's; a file neither deleted nor moved goes at the restart where it is when only administrators can change its folders") {
  Scene scene;
  SampleInstallation s(scene.root / L"Korvex");
  std::wstring outside = scene.root / L"Korvex.exe", log = scene.root / L"seams.log", stop = scene.root / L"stop";
  std::wstring held = s.Path("sub\\held.dat");
  MakeDirs(s.Path("sub"));
  WriteText(held, "held without sharing");
  s.WriteList({"sub\\held.dat", "sub"});
  REQUIRE(CopyFileW(FixturePath(L"Korvex.exe").c_str(), outside.c_str(), FALSE));
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  FileHolder holder(false, held, stop);
  RunningProcess explorer(WindowProgram(outside)), viewer(WindowProgram(outside)), ended(WindowProgram(outside)),
      console(Quote(self) + L" --child=sleep_a_minute");
  REQUIRE((holder.Holding() && explorer.Running() && viewer.Running() && ended.Running() && console.Running()));
  std::wstring holders = explorer.Id() + L":4;" + viewer.Id() + L":1;" + ended.Id() + L":99;" + console.Id() + L":5";
  NewBatchFolders batch;
  CHECK(RunDriverChild(s, scene, "driver_seams", {L"KVX_RM_HOLDERS=" + holders, L"KVX_RM_LOG=" + log}) == 0);
  CHECK(batch.Gone(30000));
  CHECK((explorer.Running() && ended.Running() && !viewer.Running() && !console.Running()));
  std::wstring tail = L" (" + outside + L", process ";
  CheckLog(log, {L"in use (never asked to close): " + explorer.Title() + tail + explorer.Id() + L")",
                 L"closed: " + viewer.Title() + tail + viewer.Id() + L")",
                 L"closed: Holder 3 (" + std::wstring(self) + L", process " + console.Id() + L")",
                 L"test: files given to the Restart Manager: " +
                     std::to_wstring(s.listedFiles.size() + s.listedFolders.size() + 2) + L"\r\n"});
  CHECK(LogText(log).find(L"process " + ended.Id() + L")") == std::wstring::npos);  // it has ended since
  // The held file waits under its own name; its folder and the program
  // folder go after it (else they would stay at the restart).
  CHECK(Pending(held));
  WriteText(stop, "");
  holder.Wait();
  CHECK(RunProcess(L"wineboot.exe -r", {}, 120000).exitCode == 0);
  CHECK_FALSE(Exists(s.folder));
}

TEST_CASE("the browser-data folder goes from the configured temporary folder") {
  Scene scene;
  // Uninstalls an installation of its own with the temporary folder set to `temp`.
  auto uninstallWith = [&](const wchar_t* name, const std::wstring& temp) {
    RegPutText(HKEY_CURRENT_USER, L"Software\\Korvex\\Paths", L"TempFolder", temp);
    SampleInstallation s(scene.root / name);
    Uninstall(s, scene);
    CHECK_FALSE(Exists(s.folder));
  };
  std::wstring configured = scene.root / L"configured";
  MakeDirs(configured + L"\\Korvex.exe.WebView2\\EBWebView");
  WriteText(configured + L"\\Korvex.exe.WebView2\\EBWebView\\x.dat", "browser data");
  // Links inside lead to what is not the browser's: that stays.
  std::wstring victims = scene.root / L"victims";
  MakeDirs(victims);
  WriteText(victims + L"\\keep.txt", "keep");
  REQUIRE(PlantLink(configured + L"\\Korvex.exe.WebView2\\EBWebView\\folder-link", victims));
  REQUIRE(PlantLink(configured + L"\\Korvex.exe.WebView2\\file-link", victims + L"\\keep.txt"));
  uninstallWith(L"Korvex", configured);
  CHECK(ReadBytes(victims + L"\\keep.txt").size() == 4);
  CHECK_FALSE(Exists(configured + L"\\Korvex.exe.WebView2\\EBWebView\\x.dat"));
  CHECK(Exists(configured));
  // And the configured folder itself a link: nothing in it is touched.
  RemoveTreeOfLinks(configured + L"\\Korvex.exe.WebView2");
  MakeDirs(victims + L"\\Korvex.exe.WebView2");
  WriteText(victims + L"\\Korvex.exe.WebView2\\own.dat", "own");
  REQUIRE(PlantLink(scene.root / L"configured link", victims));
  uninstallWith(L"Second", scene.root / L"configured link");
  CHECK(Exists(victims + L"\\Korvex.exe.WebView2\\own.dat"));
  // A setting that names a folder of the system's: nothing there is deleted.
  std::wstring system = L"C:\\windows\\Temp\\Korvex.exe.WebView2";
  MakeDirs(system);
  WriteText(system + L"\\system.dat", "system");
  uninstallWith(L"Third", L"C:\\windows\\Temp");
  CHECK(Exists(system + L"\\system.dat"));
  RemoveTree(system);
  RegRemoveTree(HKEY_CURRENT_USER, L"Software\\Korvex\\Paths");
}
