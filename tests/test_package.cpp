// The sample package of packaging/korvex.wxs under a real package
// installer: Wine's msiexec installs it and removes it, quietly, running the
// tool's setup and uninstall as the package's deferred actions; a newer
// version replaces it; an install that fails after the integration is rolled
// back.
#include "sample.h"
#include "test.h"

namespace {

const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kFolder[] = L"C:\\Program Files\\Korvex";
const wchar_t kNewerVersion[] = L"" KVX_PACKAGE_NEWER_VERSION;  // korvex-newer's, above korvex's

// The entries of the list of installed programs that name the archiver.
std::vector<std::wstring> ArchiverEntries() {
  std::vector<std::wstring> out;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
  wchar_t name[256];
  for (DWORD i = 0;; i++) {
    DWORD n = 256;
    if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::wstring shown = RegText(HKEY_LOCAL_MACHINE, std::wstring(kUninstallKey) + L"\\" + name, L"DisplayName");
    if (shown.find(L"Korvex") != std::wstring::npos) out.push_back(name);
  }
  RegCloseKey(key);
  return out;
}

std::wstring EntryVersion(const std::wstring& entry) {
  return RegText(HKEY_LOCAL_MACHINE, std::wstring(kUninstallKey) + L"\\" + entry, L"DisplayVersion");
}

// korvex (as shipped), korvex-newer, korvex-failing.
std::wstring Package(const wchar_t* name) { return BuildDir() + L"\\package\\" + name + L".msi"; }

// msiexec /i or /x, quiet. `integrated`, when given, tells whether the
// archiver's program id appeared at any moment while msiexec ran.
ProcessResult Msiexec(const wchar_t* verb, const wchar_t* package, bool* integrated = nullptr) {
  std::function<void(DWORD)> watch;
  if (integrated) {
    *integrated = false;
    watch = [integrated](DWORD id) {
      HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
      if (!process) return;
      DWORD start = GetTickCount();
      while (WaitForSingleObject(process, 10) == WAIT_TIMEOUT && GetTickCount() - start < 240000)
        if (RegKeyExists(HKEY_CLASSES_ROOT, L"Korvex")) *integrated = true;
      CloseHandle(process);
    };
  }
  return RunProcess(L"msiexec.exe " + std::wstring(verb) + L" \"" + Package(package) + L"\" /qn", {}, 240000, L"",
                    watch);
}

// The package's files and the tool's integration are there; the entry in
// the list of installed programs is the package's own, not the tool's.
void CheckInstalled() {
  CHECK(Exists(std::wstring(kFolder) + L"\\uninstall.exe"));
  CHECK(Exists(std::wstring(kFolder) + L"\\Korvex.exe"));
  std::vector<std::wstring> footprint = IntegrationFootprint();
  auto has = [&](const std::wstring& start) {
    for (auto& line : footprint)
      if (line.compare(0, start.size(), start) == 0) return true;
    return false;
  };
  CHECK(has(L"association: .kvx -> Korvex"));
  CHECK(has(L"ProgID: HKCR\\Korvex"));
  CHECK(has(L"App Paths: "));
  CHECK(has(L"program group: "));
  CHECK_FALSE(has(L"uninstall entry"));
}

// Each case starts and ends with nothing of the archiver in the prefix. A
// case that stops half-way removes what it left, so that the cases and test
// programs after it find the prefix as it was: the packages through
// msiexec, an integration left without them through the tool itself.
struct CleanPrefix {
  CleanPrefix() {
    REQUIRE(IntegrationFootprint().empty());
    REQUIRE(ArchiverEntries().empty());
  }
  ~CleanPrefix() {
    for (const wchar_t* package : {L"korvex-newer", L"korvex", L"korvex-failing"})
      if (!ArchiverEntries().empty()) Msiexec(L"/x", package);
    if (!IntegrationFootprint().empty() && MakeDirs(kFolder)) {
      std::wstring program = std::wstring(kFolder) + L"\\uninstall.exe";
      CopyFileW(ProductExe().c_str(), program.c_str(), FALSE);
      RunProcess(L"\"" + program + L"\" /S -msi", {}, 120000);
    }
    if (Exists(kFolder)) RemoveTree(kFolder);
  }
  void CheckNothingLeft() {
    std::vector<std::wstring> footprint = IntegrationFootprint();
    CHECK_MESSAGE(footprint.empty(), Narrow(footprint.empty() ? L"" : footprint[0]));
    CHECK(ArchiverEntries().empty());
    CHECK_FALSE(Exists(kFolder));
  }
};

}  // namespace

TEST_CASE("msiexec installs the package with the integration and removes both, leaving nothing") {
  CleanPrefix prefix;
  ProcessResult install = Msiexec(L"/i", L"korvex");
  CHECK_FALSE(install.timedOut);
  CHECK(install.exitCode == 0);
  CheckInstalled();
  std::vector<std::wstring> entries = ArchiverEntries();
  REQUIRE(entries.size() == 1);
  CHECK(entries[0].front() == L'{');  // the package's product code

  ProcessResult removal = Msiexec(L"/x", L"korvex");
  CHECK_FALSE(removal.timedOut);
  CHECK(removal.exitCode == 0);
  prefix.CheckNothingLeft();
}

TEST_CASE("a newer version of the package replaces the installed one and keeps the integration; an older one is "
          "refused") {
  CleanPrefix prefix;
  REQUIRE(Msiexec(L"/i", L"korvex").exitCode == 0);
  std::vector<std::wstring> older = ArchiverEntries();
  REQUIRE(older.size() == 1);
  CHECK(EntryVersion(older[0]) != kNewerVersion);

  // The earlier version is removed, with its integration, before the newer
  // one is installed and integrates again.
  ProcessResult upgrade = Msiexec(L"/i", L"korvex-newer");
  CHECK_FALSE(upgrade.timedOut);
  CHECK(upgrade.exitCode == 0);
  auto checkNewerInstalled = [] {
    std::vector<std::wstring> entries = ArchiverEntries();
    REQUIRE(entries.size() == 1);
    CHECK(EntryVersion(entries[0]) == kNewerVersion);
    CheckInstalled();
  };
  checkNewerInstalled();
  CHECK(ArchiverEntries()[0] != older[0]);  // the newer version's product code

  // Installed over the newer version, the older one stops at its launch
  // condition and changes nothing.
  ProcessResult downgrade = Msiexec(L"/i", L"korvex");
  CHECK_FALSE(downgrade.timedOut);
  CHECK(downgrade.exitCode == 1603);
  checkNewerInstalled();

  ProcessResult removal = Msiexec(L"/x", L"korvex-newer");
  CHECK(removal.exitCode == 0);
  prefix.CheckNothingLeft();
}

TEST_CASE("an install that fails after the integration is rolled back: no integration, no entry, no files") {
  CleanPrefix prefix;
  bool integrated = false;
  ProcessResult install = Msiexec(L"/i", L"korvex-failing", &integrated);
  CHECK_FALSE(install.timedOut);
  // A failed action: 1603 on Windows, 1627 from Wine's msiexec.
  CHECK_MESSAGE((install.exitCode == 1603 || install.exitCode == 1627), install.exitCode);
  CHECK(integrated);  // there was something to roll back
  prefix.CheckNothingLeft();
}
