// Setup and uninstall through the real uninstall.exe, started as the
// self-extracting installer and the list of installed programs start it,
// against the prefix's registry and shortcut folders.
#include <regex>

#include "sample.h"
#include "state.h"
#include "test.h"

namespace {


// An installation folder with a private temporary folder beside it.
struct Scene {
  TempFolder root{L"kvxe"};
  SampleInstallation sample{root / L"Korvex"};
  std::wstring temp = root / L"temp";
  Scene() { MakeDirs(temp); }
  std::vector<std::wstring> Environment(const std::wstring& installerCommand) const {
    return {L"TMP=" + temp, L"TEMP=" + temp, L"sfxcmd=" + installerCommand, L"sfxname="};
  }
  // The installer starts setup from the installation folder.
  ProcessResult Setup(const std::wstring& args, const std::wstring& installerCommand,
                      const std::function<void(DWORD)>& during = nullptr) const {
    return RunProcess(Quote(sample.Program()) + L" " + args, Environment(installerCommand), 120000, sample.folder,
                      during);
  }
  // The list of installed programs runs the entry's command.
  void Uninstall() const {
    NewBatchFolders batch;
    RunProcess(Quote(sample.Program()) + L" /S", Environment(L""), 120000);
    CHECK(batch.Gone(30000));
  }
};

// A log's lines.
std::vector<std::wstring> LogLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (size_t at = 0, end; (end = text.find(L"\r\n", at)) != std::wstring::npos; at = end + 2)
    lines.push_back(text.substr(at, end - at));
  return lines;
}
// "hh:mm:ss.mmm " first.
bool IsTimed(const std::wstring& line) {
  static const wchar_t kShape[] = L"00:00:00.000 ";
  if (line.size() < 13) return false;
  for (size_t i = 0; i < 13; i++)
    if (kShape[i] == L'0' ? !iswdigit(line[i]) : line[i] != kShape[i]) return false;
  return true;
}

std::wstring Has(const std::vector<std::wstring>& lines, const std::wstring& start) {
  for (auto& l : lines)
    if (l.compare(0, start.size(), start) == 0) return l;
  return L"";
}

// Whether a program file carries a signature: its certificate table is not empty.
bool IsSigned(const std::wstring& program) {
  Bytes b = ReadBytes(program);
  IMAGE_NT_HEADERS64 nt = {};
  DWORD at = b.size() >= 0x40 ? *reinterpret_cast<const DWORD*>(&b[0x3c]) : 0;
  if (at == 0 || at + sizeof nt > b.size()) return false;
  memcpy(&nt, &b[at], sizeof nt);
  return nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0;
}

void CheckUntouched(const std::vector<std::wstring>& before, const std::vector<std::wstring>& filesBefore) {
  Difference d = Compare(before, Snapshot());
  std::vector<std::wstring> unexpected = UnexpectedAdditions(d);
  CHECK_MESSAGE(unexpected.empty(), Show(unexpected));
  CHECK_MESSAGE(d.removed.empty(), Show(d.removed));
  CHECK(Folders().Snapshot() == filesBefore);
  CHECK(IntegrationFootprint().empty());
}

}  // namespace

TEST_CASE("silent setup, then silent uninstall: everything integrated, then nothing left") {
  std::vector<std::wstring> before = Snapshot(), filesBefore = Folders().Snapshot();
  Scene scene;
  bool sawWindow = false;
  // The installer's command asks for a log too: honoured, but only where
  // the user may have the tool write (a name in the system's folder, or in
  // a folder that holds the installation, gets the run's own file in the
  // temporary folder instead).
  std::wstring logs = scene.root / L"logs", installerLog = logs + L"\\installer.log",
               systemLog = L"C:\\windows\\system32\\kvx-installer.log";
  MakeDirs(logs);
  ProcessResult r = scene.Setup(L"-setup", L"-s -log=" + installerLog, WatchForWindow(sawWindow, 60000));
  CHECK(r.exitCode == 0);
  CHECK_FALSE(sawWindow);
  CHECK(LogText(installerLog).find(L"setup mode, ") != std::wstring::npos);
  for (const std::wstring& refused : {systemLog, scene.root / L"installer.log"}) {
    CHECK(scene.Setup(L"-setup", L"-s -log=" + refused).exitCode == 0);
    CHECK_FALSE(Exists(refused));
  }
  WIN32_FIND_DATAW found;
  HANDLE own = FindFirstFileW((scene.temp + L"\\Korvex-setup-*.log").c_str(), &found);
  CHECK(own != INVALID_HANDLE_VALUE);
  if (own != INVALID_HANDLE_VALUE) FindClose(own);
  auto footprint = IntegrationFootprint();
  CHECK(Has(footprint, L"association: .kvx -> Korvex") != L"");
  CHECK(Has(footprint, L"association: .zip -> Korvex.ZIP") != L"");
  CHECK(Has(footprint, L"association: .jar") == L"");  // off by default
  CHECK(Has(footprint, L"App Paths (32-bit view)") != L"");
  CHECK(Has(footprint, L"uninstall entry") != L"");
  CHECK(Has(footprint, L"program group") != L"");
  const wchar_t* entry = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex archiver";
  CHECK(RegText(HKEY_LOCAL_MACHINE, entry, L"UninstallString") == Quote(scene.sample.Program()));
  CHECK(Exists(scene.sample.Path("kvxnew.dat")));
  // The build's own program as the linker wrote it; the signed one where
  // KVX_PRODUCT names it (CTest's test_e2e_signed).
  CHECK(IsSigned(scene.sample.Program()) == (GetEnvironmentVariableW(L"KVX_PRODUCT", nullptr, 0) != 0));
  // A package manager's removal: the entry's silent command, started as it
  // stands (no shell), runs without a window and reports success.
  std::wstring quiet = RegText(HKEY_LOCAL_MACHINE, entry, L"QuietUninstallString");
  CHECK(quiet == Quote(scene.sample.Program()) + L" /S");
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, entry, L"EstimatedSize") > 0);
  NewBatchFolders batch;
  r = RunProcess(quiet, scene.Environment(L""), 120000, L"", WatchForWindow(sawWindow, 60000));
  CHECK(r.exitCode == 0);
  CHECK_FALSE(sawWindow);
  CHECK(batch.Gone(30000));
  CHECK(scene.sample.Remaining().empty());
  CheckUntouched(before, filesBefore);
}

TEST_CASE("deployed where nobody can answer: setup asks nothing and changes nothing unless silent; both logged") {
  std::vector<std::wstring> before = Snapshot(), filesBefore = Folders().Snapshot();
  Scene scene;
  std::wstring desktop = HiddenDesktop(), program = Quote(scene.sample.Program());
  REQUIRE(desktop != L"");
  ProcessResult r = RunProcess(program + L" -setup", scene.Environment(L""), 60000, scene.sample.folder, nullptr, desktop);
  CHECK_FALSE(r.timedOut);
  CHECK(r.exitCode == 1);  // the dialog's question, answered by changing nothing
  CHECK(IntegrationFootprint().empty());

  // The log: each line begins with the time; the run's first line (the
  // signature of a log of the tool's) names the mode and the date, then the
  // account, the Windows version, the command lines, the program folder;
  // every change, the 32-bit view marked; a summary; the exit code last.
  std::wstring setupLog = scene.root / L"setup.log";
  r = RunProcess(program + L" -setup -s \"/log=" + setupLog + L"\"", scene.Environment(L""), 120000,
                 scene.sample.folder, nullptr, desktop);
  CHECK_FALSE(r.timedOut);
  CHECK(r.exitCode == 0);
  CHECK(Has(IntegrationFootprint(), L"uninstall entry") != L"");
  std::wstring text = LogText(setupLog);
  std::vector<std::wstring> lines = LogLines(text);
  REQUIRE(lines.size() > 10);
  for (auto& line : lines) CHECK_MESSAGE(IsTimed(line), Narrow(line));
  CHECK(lines[0].compare(13, 12, L"==== Korvex ") == 0);
  CHECK(lines[0].find(L"setup mode, 20") != std::wstring::npos);
  CHECK(lines[1].find(L"account: ") == 13);
  CheckLog(setupLog, {L"command line: " + program + L" -setup -s",
                      L"program folder: " + scene.sample.folder + L"\r\n",
                      L"registry: set HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe [] = " +
                          scene.sample.Path("Korvex.exe") + L"\r\n",
                      L"registry: set HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe [] (32-bit view) = " +
                          scene.sample.Path("Korvex.exe") + L"\r\n",
                      L"association of .kvx: previous owner \"\" saved\r\n", L"shortcut written: ", L"program group: ",
                      L"wrote the template " + scene.sample.Path("kvxnew.dat"),
                      L"summary: success, exit code 0, restart needed: no\r\n"});
  CHECK(lines.back().substr(13) == L"exit code 0");

  // Added to by a second run: its own first line sets it apart.
  std::wstring uninstallLog = setupLog;
  NewBatchFolders batch;
  r = RunProcess(program + L" /S /log=" + uninstallLog, scene.Environment(L""), 120000, L"", nullptr, desktop);
  CHECK(r.exitCode == 0);
  CHECK(batch.Gone(30000));
  text = LogText(uninstallLog);
  size_t second = text.find(L" ==== Korvex ", 20);
  REQUIRE(second != std::wstring::npos);
  CHECK(text.find(L"uninstall mode, 20", second) != std::wstring::npos);
  for (const std::wstring& line : std::vector<std::wstring>{
           L"association of .kvx: removed (it did not exist before)\r\n",
           L"registry: deleted key HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex archiver\r\n",
           L"registry: deleted key HKLM\\Software\\Classes\\CLSID\\{A3E81D57-9B26-4C0F-B7D3-5E18C4A20B69} (32-bit view)\r\n",
           L"deleted folder C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Korvex\r\n",
           L"deleted folder " + scene.sample.folder + L"\r\n",
           L"summary: success, exit code 0, restart needed: no\r\n",
           L"summary: entries deleted 19, scheduled for the restart 0, skipped 0, left 0\r\n"})
    CHECK_MESSAGE(text.find(line, second) != std::wstring::npos, Narrow(line));
  CheckUntouched(before, filesBefore);
}

TEST_CASE("setup through its dialogs: OK, then the completion dialog") {
  std::vector<std::wstring> before = Snapshot(), filesBefore = Folders().Snapshot();
  Scene scene;
  std::wstring setupCaption, doneFolder;
  ProcessResult r = scene.Setup(L"-setup -noexplorer", L"", Answer({IDOK, IDOK}, nullptr, [&](size_t i, HWND w) {
    wchar_t text[2048];
    if (i == 0) {
      GetWindowTextW(w, text, 2048);
      setupCaption = text;
    } else {
      GetDlgItemTextW(w, 5102, text, 2048);  // the installation folder
      doneFolder = text;
    }
  }));
  CHECK(r.exitCode == 0);
  CHECK(setupCaption == L"Korvex setup");
  CHECK(doneFolder == scene.sample.folder);
  CHECK(Has(IntegrationFootprint(), L"uninstall entry") != L"");
  scene.Uninstall();
  CheckUntouched(before, filesBefore);
}

TEST_CASE("setup under msi: no uninstall entry and no completion dialog") {
  std::vector<std::wstring> before = Snapshot(), filesBefore = Folders().Snapshot();
  Scene scene;
  std::vector<std::wstring> shown;
  ProcessResult r = scene.Setup(L"-setup -msi", L"", Answer({IDOK, IDOK}, &shown));
  CHECK(r.exitCode == 0);
  CHECK(shown.size() == 1);  // the setup dialog only
  auto footprint = IntegrationFootprint();
  CHECK(Has(footprint, L"uninstall entry") == L"");
  CHECK(Has(footprint, L"association: .kvx -> Korvex") != L"");
  scene.Uninstall();
  CheckUntouched(before, filesBefore);
}

TEST_CASE("cancelled setup: exit code 1, nothing stored or changed") {
  std::vector<std::wstring> before = Snapshot(), filesBefore = Folders().Snapshot();
  Scene scene;
  ProcessResult r = scene.Setup(L"-setup", L"", [&](DWORD pid) {
    DialogWatcher watcher(IDCANCEL, pid, 30000);
    watcher.Wait();
  });
  CHECK(r.exitCode == 1);
  CheckUntouched(before, filesBefore);
}

// The sample log in docs/usage.md is a real run's: a silent uninstall of the
// sample installation with a library in use, the installation's folder
// written as "C:\Program Files", times, dates, the account, the Windows
// version and the run's folder's random name read as any. With
// KVX_WRITE_LOG_SAMPLE=1 the test writes the run's log into the guide.
static std::vector<std::wstring> Comparable(const std::vector<std::wstring>& lines) {
  std::vector<std::wstring> out;
  std::wregex time(L"^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d "), date(L"\\d{4}-\\d\\d-\\d\\d"), kvx(L"Kvx-[0-9a-f]{32}"),
      account(L"account: .*"), windows(L"^(\\S+ )Windows \\d+\\.\\d+\\.\\d+$");
  for (auto line : lines) {
    line = std::regex_replace(line, time, L"hh:mm:ss.mmm ");
    line = std::regex_replace(line, date, L"YYYY-MM-DD");
    line = std::regex_replace(line, kvx, L"Kvx-...");
    line = std::regex_replace(line, account, L"account: ...");
    line = std::regex_replace(line, windows, L"$1Windows ...");
    out.push_back(line);
  }
  return out;
}

TEST_CASE("the sample log of the guide is a real run's") {
  Scene scene;
  std::wstring stop = scene.root / L"stop", log = scene.root / L"sample.log";
  CHECK(scene.Setup(L"-setup -noexplorer", L"-s").exitCode == 0);
  FileHolder holder(true, scene.sample.Path("kvxlng.dll"), stop);
  REQUIRE(holder.Holding());
  NewBatchFolders batch;
  ProcessResult r = RunProcess(L"\"" + scene.sample.Program() + L"\" /S /log=" + log, scene.Environment(L""));
  CHECK(r.exitCode == 0);
  WriteText(stop, "");
  holder.Wait();
  RemoveTree(OwnFolder(batch));  // with the library that waited for the restart
  // The real run's lines, its folder named as an installation's usually is.
  std::wstring text = LogText(log), root = scene.root.Path(), shown = L"C:\\Program Files";
  for (size_t at; (at = text.find(root)) != std::wstring::npos;) text.replace(at, root.size(), shown);
  std::vector<std::wstring> real = LogLines(text);
  // The guide's, between its two marks.
  std::wstring guide = SourceDir() + L"\\docs\\usage.md";
  Bytes bytes = ReadBytes(guide);
  std::string doc(bytes.begin(), bytes.end());
  const std::string startMark = "<!-- the sample log, written by test_e2e -->\n```\n", endMark = "```\n<!-- end of the sample log -->";
  size_t start = doc.find(startMark), end = doc.find(endMark);
  REQUIRE(start != std::string::npos);
  REQUIRE(end != std::string::npos);
  start += startMark.size();
  if (GetEnvironmentVariableW(L"KVX_WRITE_LOG_SAMPLE", nullptr, 0)) {
    std::string block;
    for (auto& line : real) block += Narrow(line) + "\n";
    doc.replace(start, end - start, block);
    WriteText(guide, doc);
    return;
  }
  std::vector<std::wstring> sample;
  std::wstring part = Widen(doc.substr(start, end - start));
  for (size_t at = 0, next; (next = part.find(L'\n', at)) != std::wstring::npos; at = next + 1)
    sample.push_back(part.substr(at, next - at));
  CHECK(Comparable(sample) == Comparable(real));
}
