// Setup and uninstall through the real uninstall.exe, started as the
// self-extracting installer and the list of installed programs start it,
// against the prefix's registry and shortcut folders.
#include "sample.h"
#include "state.h"
#include "test.h"

namespace {

std::wstring Quote(const std::wstring& path) { return L"\"" + path + L"\""; }

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

std::wstring Has(const std::vector<std::wstring>& lines, const std::wstring& start) {
  for (auto& l : lines)
    if (l.compare(0, start.size(), start) == 0) return l;
  return L"";
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
  ProcessResult r = scene.Setup(L"-setup", L"-s", [&](DWORD pid) {
    DialogWatcher watcher(0, pid, 60000);
    watcher.Wait();
    sawWindow = watcher.Seen();
  });
  CHECK(r.exitCode == 0);
  CHECK_FALSE(sawWindow);
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
  // A package manager's removal: the entry's silent command, started as it
  // stands (no shell), runs without a window and reports success.
  std::wstring quiet = RegText(HKEY_LOCAL_MACHINE, entry, L"QuietUninstallString");
  CHECK(quiet == Quote(scene.sample.Program()) + L" /S");
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, entry, L"EstimatedSize") > 0);
  sawWindow = false;
  NewBatchFolders batch;
  r = RunProcess(quiet, scene.Environment(L""), 120000, L"", [&](DWORD pid) {
    DialogWatcher watcher(0, pid, 60000);
    watcher.Wait();
    sawWindow = watcher.Seen();
  });
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

  std::wstring setupLog = scene.root / L"setup.log";
  r = RunProcess(program + L" -setup -s \"/log=" + setupLog + L"\"", scene.Environment(L""), 120000,
                 scene.sample.folder, nullptr, desktop);
  CHECK_FALSE(r.timedOut);
  CHECK(r.exitCode == 0);
  CHECK(Has(IntegrationFootprint(), L"uninstall entry") != L"");
  Bytes bytes = ReadBytes(setupLog);
  std::wstring text = Widen(std::string(bytes.begin(), bytes.end()));
  for (const std::wstring& line : std::vector<std::wstring>{
           L"setup mode\r\ncommand line: " + program + L" -setup -s",
           L"program folder: " + scene.sample.folder + L"\r\n",
           L"registry: set HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe [] = " +
               scene.sample.Path("Korvex.exe") + L"\r\n",
           L"association of .kvx: previous owner \"\" saved\r\n", L"\r\nexit code 0\r\n"})
    CHECK_MESSAGE(text.find(line) != std::wstring::npos, Narrow(line));

  std::wstring uninstallLog = scene.root / L"uninstall.log";
  NewBatchFolders batch;
  r = RunProcess(program + L" /S /log=" + uninstallLog, scene.Environment(L""), 120000, L"", nullptr, desktop);
  CHECK(r.exitCode == 0);
  CHECK(batch.Gone(30000));
  bytes = ReadBytes(uninstallLog);
  text = Widen(std::string(bytes.begin(), bytes.end()));
  CHECK(text.find(L"association of .kvx: removed (it did not exist before)\r\n") != std::wstring::npos);
  CHECK(text.find(L"registry: deleted key HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex "
                  L"archiver\r\n") != std::wstring::npos);
  CheckUntouched(before, filesBefore);
}

TEST_CASE("setup through its dialogs: OK, then the completion dialog") {
  std::vector<std::wstring> before = Snapshot(), filesBefore = Folders().Snapshot();
  Scene scene;
  std::wstring setupCaption, doneFolder;
  ProcessResult r = scene.Setup(L"-setup -noexplorer", L"", [&](DWORD pid) {
    {
      DialogWatcher watcher([&](HWND w) {
        wchar_t text[256];
        GetWindowTextW(w, text, 256);
        setupCaption = text;
        PostMessageW(w, WM_COMMAND, IDOK, 0);
      }, pid, 30000);
      watcher.Wait();
      watcher.WaitUntilClosed();
    }
    DialogWatcher done([&](HWND w) {
      wchar_t text[2048];
      GetDlgItemTextW(w, 5102, text, 2048);  // the installation folder
      doneFolder = text;
      PostMessageW(w, WM_COMMAND, IDOK, 0);
    }, pid, 60000);
    done.Wait();
  });
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
  bool completionShown = false;
  ProcessResult r = scene.Setup(L"-setup -msi", L"", [&](DWORD pid) {
    {
      DialogWatcher setup(IDOK, pid, 30000);
      setup.Wait();
      setup.WaitUntilClosed();
    }
    DialogWatcher done(IDOK, pid, 60000);
    done.Wait();
    completionShown = done.Seen();
  });
  CHECK(r.exitCode == 0);
  CHECK_FALSE(completionShown);
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
