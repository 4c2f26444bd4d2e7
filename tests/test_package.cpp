// The sample package of packaging/korvex.wxs under a real package
// installer: Wine's msiexec installs it and removes it, quietly, running the
// tool's setup and uninstall as the package's deferred actions.
#include "sample.h"
#include "test.h"

namespace {

const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

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

}  // namespace

TEST_CASE("msiexec installs the package with the integration and removes both, leaving nothing") {
  std::wstring package = BuildDir() + L"\\package\\korvex.msi";
  std::wstring folder = L"C:\\Program Files\\Korvex";
  REQUIRE(Exists(package));
  REQUIRE(IntegrationFootprint().empty());
  REQUIRE(ArchiverEntries().empty());

  ProcessResult install = RunProcess(L"msiexec.exe /i \"" + package + L"\" /qn", {}, 240000);
  CHECK_FALSE(install.timedOut);
  CHECK(install.exitCode == 0);
  CHECK(Exists(folder + L"\\uninstall.exe"));
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
  CHECK_FALSE(has(L"uninstall entry"));  // the package's own entry is the one
  std::vector<std::wstring> entries = ArchiverEntries();
  REQUIRE(entries.size() == 1);
  CHECK(entries[0].front() == L'{');  // the package's product code

  ProcessResult removal = RunProcess(L"msiexec.exe /x \"" + package + L"\" /qn", {}, 240000);
  CHECK_FALSE(removal.timedOut);
  CHECK(removal.exitCode == 0);
  footprint = IntegrationFootprint();
  CHECK_MESSAGE(footprint.empty(), Narrow(footprint.empty() ? L"" : footprint[0]));
  CHECK(ArchiverEntries().empty());
  CHECK_FALSE(Exists(folder));
}
