// Whole-lifecycle scenarios through the real uninstall.exe only: each one
// prepares the prefix, runs the program as the installer and the list of
// installed programs would, and compares the registry, the shortcut folders
// and the disk before and after.
#include <algorithm>
#include <random>

#include "sample.h"
#include "state.h"
#include "test.h"

namespace {


struct Machine {
  std::vector<std::wstring> registry, files;
  static Machine Now() { return {Snapshot(), Folders().Snapshot()}; }
};

bool Allowed(const std::wstring& line, const std::vector<std::wstring>& allowed) {
  for (auto& a : allowed)
    if (line.find(a) != std::wstring::npos) return true;
  return false;
}

// The registry and shortcut folders are as before, apart from differences
// the product keeps by design (given as parts of the differing lines).
std::vector<std::wstring> AddedKeysAndValues(const Machine& before, const std::vector<std::wstring>& allowed,
                                             std::vector<std::wstring>* removed = nullptr) {
  Difference d = Compare(before.registry, Snapshot());
  std::vector<std::wstring> added;
  for (auto& line : UnexpectedAdditions(d))
    if (!Allowed(line, allowed)) added.push_back(line);
  if (removed)
    for (auto& line : d.removed)
      if (!Allowed(line, allowed)) removed->push_back(line);
  return added;
}

void ExpectAsBefore(const Machine& before, const std::vector<std::wstring>& allowed = {}) {
  std::vector<std::wstring> removed;
  std::vector<std::wstring> added = AddedKeysAndValues(before, allowed, &removed);
  CHECK_MESSAGE(added.empty(), "added:\n" << Show(added));
  CHECK_MESSAGE(removed.empty(), "removed:\n" << Show(removed));
  CHECK(Folders().Snapshot() == before.files);
  auto footprint = IntegrationFootprint();
  CHECK_MESSAGE(footprint.empty(), Show(footprint));
}

struct Scene {
  TempFolder root{L"kvxs"};
  std::wstring temp = root / L"temp";
  SampleInstallation sample;
  explicit Scene(const std::wstring& name = L"Korvex", const std::wstring& program = L"uninstall.exe")
      : sample(root / name, true, program) {
    MakeDirs(temp);
  }
  // A portable settings file beside the program, listed for the uninstall
  // when asked; returns its path.
  std::wstring PortableSettings(const std::string& text, bool listed = false) {
    std::wstring ini = sample.folder + L"\\Korvex.ini";
    WriteText(ini, text);
    if (listed) {
      sample.listedFiles.push_back("Korvex.ini");
      sample.WriteList();
    }
    return ini;
  }
  std::vector<std::wstring> Env(const std::wstring& installerCommand = L"") const {
    return {L"TMP=" + temp, L"TEMP=" + temp, L"sfxcmd=" + installerCommand, L"sfxname="};
  }
  ProcessResult Setup(const std::wstring& args = L"-setup -noexplorer", const std::wstring& installer = L"-s",
                      const std::function<void(DWORD)>& during = nullptr, DWORD timeout = 120000) const {
    return RunProcess(Quote(sample.Program()) + L" " + args, Env(installer), timeout, sample.folder, during);
  }
  ProcessResult Uninstall(const std::wstring& args = L" /S", const std::function<void(DWORD)>& during = nullptr,
                          DWORD timeout = 120000) const {
    NewBatchFolders batch;
    ProcessResult r = RunProcess(Quote(sample.Program()) + args, Env(), timeout, L"", during);
    CHECK(batch.Gone(30000));  // the batch file has done its work
    return r;
  }
};

// Other programs' file types, set up before a scenario and removed after.
struct OtherOwners {
  OtherOwners() {
    RegPutText(HKEY_CLASSES_ROOT, L".zip", L"", L"OtherArchiver.zip");
    RegPutText(HKEY_CLASSES_ROOT, L".zip", L"Content Type", L"application/zip");
    RegPutText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName", L"C:\\OtherArchiver\\empty.zip");
    RegPutText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"ItemName", L"@OtherArchiver.dll,-7");
    RegPutText(HKEY_CLASSES_ROOT, L".7z", L"", L"7z.file");
    RegPutText(HKEY_CLASSES_ROOT, L".7z", L"PerceivedType", L"compressed");
    RegPutText(HKEY_CLASSES_ROOT, L".cab", L"", L"CABFolder");
    RegPutText(HKEY_CLASSES_ROOT, L".cab\\ShellNew", L"NullFile", L"");
    RegPutText(HKEY_CLASSES_ROOT, L".iso", L"", L"Windows.IsoFile");
    RegPutText(HKEY_CLASSES_ROOT, L".k05", L"", L"Other.Volume");
    RegPutText(HKEY_CLASSES_ROOT, L".rar", L"", L"OtherArchiver.rar");
  }
  ~OtherOwners() {
    for (const wchar_t* key : {L".zip", L".7z", L".cab", L".iso", L".k05", L".rar"}) RegRemoveTree(HKEY_CLASSES_ROOT, key);
  }
};

// What the product changes by design in those states: the extra value of
// the previous "ShellNew" entry of a type that got the template, and a
// volume name of other software (a released KVX row deletes .k00 to .k99).
const std::vector<std::wstring> kByDesign = {L"\\.zip\\ShellNew] \"ItemName\"", L"\\.k05]"};

}  // namespace

TEST_CASE("other programs' types: silent setup claiming all, then silent uninstall, gives them back") {
  OtherOwners owners;
  Machine before = Machine::Now();
  Scene scene;
  CHECK(scene.Setup(L"-setup -noexplorer -initA111111111111111111D1M1P1S1").exitCode == 0);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip", L"") == L"Korvex.ZIP");
  CHECK(RegText(HKEY_CLASSES_ROOT, L".iso", L"") == L"Korvex");  // the preset asked for it
  CHECK(RegText(HKEY_CLASSES_ROOT, L".rar", L"") == L"OtherArchiver.rar");
  // The user's own programs plant another previous owner in the user's
  // settings, one under which archives would run as programs for every
  // user: only the record setup kept in the machine's part counts.
  RegPutText(HKEY_CLASSES_ROOT, L"kvxjarfile\\shell\\open\\command", L"", L"javaw.exe -jar \"%1\" %*");
  RegPutText(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.zip", L"Type", L"kvxjarfile");
  scene.Uninstall();
  RegRemoveTree(HKEY_CLASSES_ROOT, L"kvxjarfile");
  CHECK(scene.sample.Remaining().empty());
  ExpectAsBefore(before, kByDesign);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName") == L"C:\\OtherArchiver\\empty.zip");
  bool present = false;
  RegText(HKEY_CLASSES_ROOT, L".cab\\ShellNew", L"NullFile", &present);
  CHECK(present);
}

TEST_CASE("setup twice with other choices, then uninstall; other programs' subkeys below types we release stay") {
  OtherOwners owners;
  Machine before = Machine::Now();
  bool kvxExisted = RegKeyExists(HKEY_CLASSES_ROOT, L".kvx");
  // ".ace", left ours by an earlier version that made it, has another
  // program's subkey below it; so will ".zst" once we hold it. Releasing
  // either deletes what is ours and leaves the key for them: no refusal.
  AtScopeEnd neighbours{[] { RegRemoveTree(HKEY_CLASSES_ROOT, L".ace"), RegRemoveTree(HKEY_CLASSES_ROOT, L".zst"); }};
  RegPutText(HKEY_CLASSES_ROOT, L".ace", L"", L"Korvex");
  RegPutText(HKEY_CLASSES_ROOT, L".ace\\OpenWithProgids", L"Other.ace", L"");
  RegPutNumber(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Setup\\.ace", L"Exist", 0);
  Scene scene;
  CHECK(scene.Setup(L"-setup -noexplorer -initA111111111111111111D1M1P1S1").exitCode == 0);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".ace", L"") == L"");
  CHECK(RegKeyExists(HKEY_CLASSES_ROOT, L".ace\\OpenWithProgids"));
  REQUIRE(RegText(HKEY_CLASSES_ROOT, L".zst", L"") == L"Korvex");
  RegPutText(HKEY_CLASSES_ROOT, L".zst\\OpenWithProgids", L"Other.zst", L"");
  CHECK(scene.Setup(L"-setup -noexplorer -initA010101010101010101D0M1P0S0").exitCode == 0);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zst", L"") == L"");
  CHECK(RegKeyExists(HKEY_CLASSES_ROOT, L".zst\\OpenWithProgids"));
  CHECK(RegText(HKEY_CLASSES_ROOT, L".kvx", L"") == L"");  // released
  if (!kvxExisted) CHECK_MESSAGE(!RegKeyExists(HKEY_CLASSES_ROOT, L".kvx"), Show(RegDump(HKEY_CLASSES_ROOT, L".kvx")));
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip", L"") == L"Korvex.ZIP");
  CHECK(RegText(HKEY_CLASSES_ROOT, L".cab", L"") == L"CABFolder");
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{6F0C2A91-3D7E-4B15-A8C4-92E5D1B07F36}"));
  scene.Uninstall();
  for (const wchar_t* key : {L".zst\\OpenWithProgids", L".ace\\OpenWithProgids"}) CHECK(RegKeyExists(HKEY_CLASSES_ROOT, key));
  std::vector<std::wstring> allowed = kByDesign;
  for (const wchar_t* key : {L"\\.ace]", L"\\.ace\\OpenWithProgids", L"\\.zst]", L"\\.zst\\OpenWithProgids"})
    allowed.push_back(key);
  ExpectAsBefore(before, allowed);
}

TEST_CASE("the same as Windows 7") {
  // Wine gives programs of this name the version of Windows 7 (tests/scripts/prefix.reg).
  OtherOwners owners;
  Machine before = Machine::Now();
  Scene scene(L"Korvex", L"uninstall_win7.exe");
  CHECK(scene.Setup(L"-setup -noexplorer -initA111111111111111111D1M1P1S1").exitCode == 0);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip", L"") == L"Korvex.ZIP");
  CHECK(RegText(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Capabilities", L"ApplicationDescription") == L"Korvex");
  scene.Uninstall();
  CHECK(scene.sample.Remaining().empty());
  ExpectAsBefore(before, kByDesign);
}

// ---------------------------------------------------------------- portable mode

static std::wstring Utf16File(const Bytes& b) {
  std::wstring out;
  for (size_t i = 2; i + 1 < b.size(); i += 2) out += (wchar_t)(b[i] | (b[i + 1] << 8));
  return out;
}

TEST_CASE("portable mode, Integration on: settings in the file, integration in the registry") {
  Machine before = Machine::Now();
  Scene scene;
  std::wstring ini = scene.PortableSettings("Global\\Integration=1\r\n", true);
  CHECK(scene.Setup().exitCode == 0);
  CHECK_FALSE(RegKeyExists(HKEY_CURRENT_USER, L"Software\\Korvex"));
  CHECK(RegText(HKEY_CLASSES_ROOT, L".kvx", L"") == L"Korvex");
  std::wstring saved = Utf16File(ReadBytes(ini));
  CHECK(saved.find(L"HKCU\\Setup\\ShellExt=1\r\n") != std::wstring::npos);
  CHECK(saved.find(L"HKLM\\exe64=") != std::wstring::npos);
  scene.Uninstall();
  CHECK(scene.sample.Remaining().empty());  // the listed settings file is not brought back
  ExpectAsBefore(before);
}

TEST_CASE("portable mode, Integration off: nothing reaches the registry or the shortcut folders") {
  Machine before = Machine::Now();
  Scene scene;
  std::wstring ini = scene.PortableSettings("Global\\Integration=0\r\n");
  CHECK(scene.Setup(L"-setup -noexplorer -initA111111111111111111D1M1P1S1").exitCode == 0);
  ExpectAsBefore(before);
  std::wstring saved = Utf16File(ReadBytes(ini));
  CHECK(saved.find(L"Global\\Integration=0\r\n") != std::wstring::npos);
  CHECK(saved.find(L"HKCU\\Setup\\.kvx\\Set=1\r\n") != std::wstring::npos);
  scene.Uninstall();
  ExpectAsBefore(before);
}

TEST_CASE("portable mode, SaveSettings off: the file never changes") {
  Machine before = Machine::Now();
  Scene scene;
  std::wstring ini =
      scene.PortableSettings("Global\\SaveSettings=0\r\nGlobal\\Integration=0\r\nHKCU\\Setup\\ShellExt=0\r\n");
  Bytes original = ReadBytes(ini);
  CHECK(scene.Setup(L"-setup -noexplorer -initS1D1").exitCode == 0);
  CHECK(ReadBytes(ini) == original);
  scene.Uninstall();
  CHECK(ReadBytes(ini) == original);
  ExpectAsBefore(before);
}

// ---------------------------------------------------------------- a language folder

static std::wstring WindowText(HWND w) {
  wchar_t text[8192] = {};
  SendMessageTimeoutW(w, WM_GETTEXT, 8192, (LPARAM)text, SMTO_ABORTIFHUNG, 3000, nullptr);
  return text;
}

struct FindNotepad {
  HWND found = nullptr;
  static BOOL CALLBACK Each(HWND w, LPARAM p) {
    wchar_t name[64];
    if (GetClassNameW(w, name, 64) && lstrcmpiW(name, L"Notepad") == 0 && IsWindowVisible(w)) {
      reinterpret_cast<FindNotepad*>(p)->found = w;
      return FALSE;
    }
    return TRUE;
  }
};

TEST_CASE("a language folder with its own translation, module and licence text") {
  Machine before = Machine::Now();
  Scene scene(L"Korvex", L"uninstall.exe");
  TempFolder languages;
  CopyFileW((SourceDir() + L"\\res\\lng\\german.lng").c_str(), (languages / L"uninstall.lng").c_str(), FALSE);
  CopyFileW(FixturePath(L"kvxlng.dll").c_str(), (languages / L"kvxlng.dll").c_str(), FALSE);
  WriteText(languages / L"license.txt", "Lizenzvertrag (Deutsch)");
  WriteText(scene.sample.Path("license.txt"), "Licence agreement (English)");
  RegPutText(HKEY_CURRENT_USER, L"Software\\Korvex\\General", L"LanguageFolder", languages.Path());

  std::wstring setupCaption, association, licence;
  ProcessResult r = scene.Setup(L"-setup -noexplorer", L"", [&](DWORD pid) {
    {
      DialogWatcher setup([&](HWND w) {
        setupCaption = WindowText(w);
        association = WindowText(GetDlgItem(w, 5129));
        PostMessageW(w, WM_COMMAND, IDOK, 0);
      }, pid, 30000);
      setup.Wait();
      setup.WaitUntilClosed();
    }
    DialogWatcher done([&](HWND w) {
      PostMessageW(w, WM_COMMAND, 5106, 0);  // the licence
      FindNotepad find;
      for (int i = 0; i < 100 && !find.found; i++) {
        Sleep(200);
        EnumWindows(FindNotepad::Each, (LPARAM)&find);
      }
      if (find.found) {
        // Notepad shows its window before it has read the file.
        HWND edit = FindWindowExW(find.found, nullptr, L"Edit", nullptr);
        for (int i = 0; edit && i < 50 && (licence = WindowText(edit)).empty(); i++) Sleep(100);
        PostMessageW(find.found, WM_CLOSE, 0, 0);
      }
      PostMessageW(w, WM_COMMAND, IDOK, 0);
    }, pid, 60000);
    done.Wait();
  });
  CHECK(r.exitCode == 0);
  CHECK(setupCaption == L"Korvex-Installation");
  CHECK(association == L"Korvex verkn\x00fc" L"pfen mit");
  CHECK(licence == L"Lizenzvertrag (Deutsch)");

  std::vector<std::wstring> question;
  scene.Uninstall(L"", Answer({IDYES}, &question));
  // The translation of the language folder, not the module's text.
  CHECK((question.size() == 1 && question[0].find(L"wirklich von diesem Computer entfernen") != std::wstring::npos));
  CHECK(scene.sample.Remaining().empty());
  // The per-user settings, the folder setting among them, are gone; Notepad
  // (the user's program, not ours) kept its own settings.
  ExpectAsBefore(before, {L"Software\\Microsoft\\Notepad"});
}

// ---------------------------------------------------------------- unusual folders

TEST_CASE("installation folders with blanks, %, &, names outside the ANSI code page") {
  Machine before = Machine::Now();
  for (const wchar_t* name : {L"Kor vex %PATH% & Co", L"\x041a\x043e\x0440\x0432\x0435\x043a\x0441 \x2603"}) {
    CAPTURE(Narrow(name));
    Scene scene(name);
    CHECK(scene.Setup().exitCode == 0);
    CHECK(RegText(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex archiver",
                  L"UninstallString") == Quote(scene.sample.Program()));
    CHECK(RegText(HKEY_CLASSES_ROOT, L"Korvex\\shell\\open\\command", L"") ==
          Quote(scene.sample.Path("Korvex.exe")) + L" \"%1\"");
    scene.Uninstall();
    CHECK(scene.sample.Remaining().empty());
    ExpectAsBefore(before);
  }
}

TEST_CASE("listed files and folders deeper than 260 characters in the installation") {
  Machine before = Machine::Now();
  Scene scene;
  std::string deep = "Formats";
  for (int i = 0; i < 14; i++) {
    deep += "\\a rather long folder name " + std::to_string(i);
    scene.sample.listedFolders.push_back(deep);
  }
  std::reverse(scene.sample.listedFolders.begin(), scene.sample.listedFolders.end());  // deepest first: passes matter
  std::wstring deepPath = scene.sample.Path(deep);
  REQUIRE(deepPath.size() > 300);
  MakeDirs(deepPath);
  WriteText(L"\\\\?\\" + deepPath + L"\\deep.txt", "deep");
  scene.sample.listedFiles.push_back(deep + "\\deep.txt");
  scene.sample.WriteList();
  CHECK(scene.Setup().exitCode == 0);
  scene.Uninstall();
  CHECK(scene.sample.Remaining().empty());
  ExpectAsBefore(before);
}

// ---------------------------------------------------------------- locked files and the restart

TEST_CASE("a library in use during uninstall, then a restart: nothing of the installation left") {
  Machine before = Machine::Now();
  Scene scene;
  CHECK(scene.Setup().exitCode == 0);
  std::wstring held = scene.sample.Path("kvxlng.dll"), stop = scene.root / L"stop";
  FileHolder holder(true, held, stop);
  REQUIRE(holder.Holding());
  NewBatchFolders own;
  // The question, then the restart message.
  RunProcess(Quote(scene.sample.Program()), scene.Env(), 120000, L"", Answer({IDYES, IDOK}));
  CHECK_FALSE(Exists(held));  // moved to the run's own folder, which waits for the restart
  CHECK(WaitUntilGone(scene.sample.folder, 30000));
  OwnFolder(own);
  WriteText(stop, "");
  holder.Wait();
  CHECK(RunProcess(L"wineboot.exe -r", {}, 120000).exitCode == 0);
  CHECK(own.Now().empty());
  ExpectAsBefore(before);
}

// ---------------------------------------------------------------- interrupted runs

TEST_CASE("setup killed at several points, then run again; uninstall killed, then run again") {
  OtherOwners owners;
  Machine before = Machine::Now();
  // KVX_SEED replays other kill points.
  wchar_t seed[16] = L"9";
  GetEnvironmentVariableW(L"KVX_SEED", seed, 16);
  MESSAGE("seed " << Narrow(seed));
  std::mt19937 random((unsigned)_wtoi(seed));
  for (int round = 0; round < 4; round++) {
    CAPTURE(round);
    Scene scene;
    // Portable every other round: the settings file must never be left cut short.
    std::wstring ini = round % 2 ? scene.PortableSettings("Global\\Integration=1\r\n", true) : L"";
    DWORD delay = 40 + random() % 400;
    CAPTURE(delay);
    scene.Setup(L"-setup -noexplorer -initA111111111111111111D1M1P1S1", L"-s", nullptr, delay);
    if (round % 2) {
      Bytes b = ReadBytes(ini);
      CHECK(b.size() > 2);
    }
    CHECK(scene.Setup(L"-setup -noexplorer -initA111111111111111111D1M1P1S1").exitCode == 0);
    CHECK(RegText(HKEY_CLASSES_ROOT, L".zip", L"") == L"Korvex.ZIP");

    // The uninstall, killed somewhere, then run again: it finishes the work,
    // or, with the file list already gone, says so.
    DWORD uninstallDelay = 20 + random() % 300;
    CAPTURE(uninstallDelay);
    NewBatchFolders killed;
    RunProcess(Quote(scene.sample.Program()) + L" /S", scene.Env(), uninstallDelay);
    killed.RemoveLeft();
    std::vector<std::wstring> message;
    if (Exists(scene.sample.Program())) scene.Uninstall(L" /S", Answer({IDOK}, &message));
    if (!message.empty()) CHECK(message[0].find(L"Uninstall.lst") != std::wstring::npos);
    if (round % 2 && Exists(ini)) CHECK(ReadBytes(ini).size() > 2);
    // No other program's type is left pointing at the archiver.
    CHECK(RegText(HKEY_CLASSES_ROOT, L".zip", L"") == L"OtherArchiver.zip");
    CHECK(RegText(HKEY_CLASSES_ROOT, L".cab", L"") == L"CABFolder");
    auto footprint = IntegrationFootprint();
    for (auto& line : footprint) CHECK_MESSAGE(line.find(L"association") == std::wstring::npos, Narrow(line));
    // Nothing added so far, so a fault is told by the round and the kill points.
    auto added = AddedKeysAndValues(before, kByDesign);
    CHECK_MESSAGE(added.empty(), "added:\n" << Show(added));
  }
  ExpectAsBefore(before, kByDesign);
}
