// Windows version checks and the integration options.
#include <objbase.h>
#include <string.h>

#include "settings/settings_file.h"
#include "settings/store.h"
#include "model/options.h"
#include "model/winver.h"
#include "test.h"

TEST_CASE("Windows 11 from the build number and the operating system's name") {
  {
    PretendWindows w(10, 21999);
    CHECK_FALSE(IsWindows11OrLater());
    CHECK(PretendWindows::wmiCalls == 0);  // no query below build 22000
    CHECK(WindowsVersion() == 0x0A00);
  }
  {
    PretendWindows w(10, 22000, false);
    CHECK(IsWindows11OrLater());
    CHECK(PretendWindows::wmiCalls == 1);
  }
  {
    PretendWindows w(10, 22631, true);  // the name still says Windows 10
    CHECK_FALSE(IsWindows11OrLater());
  }
  {
    PretendWindows w(11, 100);
    CHECK(IsWindows11OrLater());
    CHECK(PretendWindows::wmiCalls == 0);
  }
  {
    PretendWindows w(10, 22000, false);
    CHECK(IsWindows11OrLater());
    PretendWindows::wmiAnswer = true;
    w.seam.info.dwBuildNumber = 100;
    CHECK(IsWindows11OrLater());  // cached
    CHECK(PretendWindows::wmiCalls == 1);
  }
  {
    PretendWindows w(6, 7601);
    w.seam.info.dwMinorVersion = 1;
    CHECK(WindowsVersion() == 0x0601);
  }
  {
    PretendWindows w(4, 950, false, VER_PLATFORM_WIN32_WINDOWS);
    CHECK(WindowsVersion() == 0x0501);
  }
}

TEST_CASE("the real system: version from the manifest, and the real WMI query") {
  g_VersionSeam = nullptr;
  ForgetVersionAnswers();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CHECK(WindowsVersion() == 0x0A00);  // the prefix reports Windows 10; the manifest lets us see it
  // Wine's WMI names the system "Microsoft Windows 10 Pro".
  CHECK(OperatingSystemNameSaysWindows10());
  CHECK_FALSE(IsWindows11OrLater());
  ForgetVersionAnswers();
}

// ---------------------------------------------------------------- options

static const wchar_t* kSetup = L"Software\\Korvex\\Setup";

TEST_CASE("option defaults with nothing stored, as whole records") {
  // Every field at once: a field added to the record without a default
  // keeps the fill pattern and fails here. The spare entries stay untouched.
  struct {
    DWORD build;
    uint8_t cascaded;
  } rows[] = {{19045, 0}, {22631, 1}};
  for (auto& row : rows) {
    CAPTURE(row.build);
    RegistrySandbox sandbox;
    UseRegistry();
    PretendWindows w(10, row.build, row.build < 22000);
    IntegrationOptions o, expected;
    memset(&o, 0x55, sizeof o);
    memset(&expected, 0x55, sizeof expected);
    for (size_t i = 0; i < kArchiveTypeCount; i++) expected.Associate[i] = i != kJarRow;
    expected.Desktop = 0;
    expected.StartMenu = 0;
    expected.Programs = 1;
    expected.ShellExt = 1;
    expected.CascadedMenu = row.cascaded;
    expected.MenuIcons = 1;
    expected.LegacyMenu = 0;
    LoadIntegrationOptions(o);
    CHECK(memcmp(&o, &expected, sizeof o) == 0);
  }
}

TEST_CASE("option defaults on Windows 11: the cascaded menu until the package was installed") {
  RegistrySandbox sandbox;
  UseRegistry();
  PretendWindows w(10, 22631, false);
  IntegrationOptions o = {};
  LoadIntegrationOptions(o);
  CHECK(o.CascadedMenu == 1);
  RegPutNumber(HKEY_CURRENT_USER, kSetup, L"CascadedMenu", 0);
  LoadIntegrationOptions(o);
  CHECK(o.CascadedMenu == 1);  // "NewContextMenu" absent
  RegPutNumber(HKEY_CURRENT_USER, kSetup, L"NewContextMenu", 0);
  LoadIntegrationOptions(o);
  CHECK(o.CascadedMenu == 1);
  RegPutNumber(HKEY_CURRENT_USER, kSetup, L"NewContextMenu", 1);
  LoadIntegrationOptions(o);
  CHECK(o.CascadedMenu == 0);
}

TEST_CASE("stored options are loaded; non-zero reads as on") {
  RegistrySandbox sandbox;
  UseRegistry();
  PretendWindows w(10, 19045);
  RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.zip", L"Set", 0);
  RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.001", L"Set", 7);
  RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\Links", L"Desktop", 1);
  RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\Links", L"Programs", 0);
  RegPutNumber(HKEY_CURRENT_USER, kSetup, L"ShellExt", 0);
  RegPutNumber(HKEY_CURRENT_USER, kSetup, L"LegacyMenu", 2);
  IntegrationOptions o = {};
  LoadIntegrationOptions(o);
  CHECK(o.Associate[kZipRow] == 0);
  CHECK(o.Associate[kRow001] == 1);
  CHECK(o.Desktop == 1);
  CHECK(o.Programs == 0);
  CHECK(o.ShellExt == 0);
  CHECK(o.LegacyMenu == 1);
}

TEST_CASE(".jar and .iso: owned by another program, by us, by nobody") {
  RegistrySandbox sandbox;
  UseRegistry();
  PretendWindows w(10, 19045);
  RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.jar", L"Set", 1);
  RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.iso", L"Set", 1);
  IntegrationOptions o = {};
  LoadIntegrationOptions(o);
  CHECK(o.Associate[kJarRow] == 0);  // nobody's: still off
  CHECK(o.Associate[kIsoRow] == 1);  // nobody's: the stored value stands
  RegPutText(HKEY_CLASSES_ROOT, L".jar", L"", L"jarfile");
  RegPutText(HKEY_CLASSES_ROOT, L".iso", L"", L"Windows.IsoFile");
  LoadIntegrationOptions(o);
  CHECK(o.Associate[kJarRow] == 0);
  CHECK(o.Associate[kIsoRow] == 0);
  RegPutText(HKEY_CLASSES_ROOT, L".jar", L"", L"korvex");
  RegPutText(HKEY_CLASSES_ROOT, L".iso", L"", L"Korvex.ZIP");
  LoadIntegrationOptions(o);
  CHECK(o.Associate[kJarRow] == 1);
  CHECK(o.Associate[kIsoRow] == 1);
  RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.iso", L"Set", 0);
  LoadIntegrationOptions(o);
  CHECK(o.Associate[kIsoRow] == 0);
}

TEST_CASE("the installer's override string") {
  IntegrationOptions base = {};
  memset(base.Associate, 1, sizeof base.Associate);
  base.ShellExt = 1;
  auto apply = [&](const wchar_t* text) {
    IntegrationOptions o = base;
    ApplyInstallerOverrides(text, o);
    return o;
  };
  IntegrationOptions o = apply(L"A111000000000000000D1S0");
  for (size_t i = 0; i < kAssociateSlots; i++) CHECK(o.Associate[i] == (i < 3 ? 1 : i < 18 ? 0 : 1));  // 18 digits
  CHECK(o.Desktop == 1);
  CHECK(o.ShellExt == 0);
  CHECK(o.Programs == 0);  // not named: as loaded

  base.Associate[0] = 0;
  o = apply(L"a1");
  CHECK(o.Associate[0] == 1);
  CHECK(o.Associate[1] == 1);
  o = apply(L"S");  // a code without its value changes nothing
  CHECK(o.ShellExt == 1);
  o = apply(L"X1D1");
  CHECK(o.Desktop == 1);
  o = apply(L"c1i0m1p1");
  CHECK(o.CascadedMenu == 1);
  CHECK(o.MenuIcons == 0);
  CHECK(o.StartMenu == 1);
  CHECK(o.Programs == 1);
  o = apply(L"D2");  // anything but 1 is off
  CHECK(o.Desktop == 0);
  // Twenty digits at most; the twenty-first is read as a code.
  std::wstring twenty(20, L'0');
  o = apply((L"A" + twenty + L"1D1").c_str());
  for (int i = 0; i < 20; i++) CHECK(o.Associate[i] == 0);
  CHECK(o.Desktop == 0);  // the 21st digit and the "D" were skipped as a code and its value
  o = apply((L"A" + twenty + L"D1").c_str());
  CHECK(o.Desktop == 1);
  o = apply(L"AD1");  // no digits at all
  CHECK(o.Associate[1] == 1);
  CHECK(o.Desktop == 1);
  o = apply(L"");
  CHECK(memcmp(&o, &base, sizeof o) == 0);
}

TEST_CASE("saving writes every field in its order, and never NewContextMenu") {
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  WriteText(ini, "");
  ForgetSettingsFile();
  LoadSettingsFileFrom(ini.c_str());
  IntegrationOptions o = {};
  o.Associate[0] = 1;
  o.Associate[kRow001] = 1;
  o.Desktop = 1;
  o.LegacyMenu = 1;
  SetupTransaction none;
  SaveIntegrationOptions(none, o);
  GrowArray<const SettingsEntry*> entries;
  CollectSettingEntries(entries);
  std::vector<std::wstring> names;
  for (size_t i = 3; i < entries.Count(); i++) names.push_back(entries[i]->name);  // after the three switches
  const size_t n = kArchiveTypeCount;  // the types' values first
  REQUIRE(names.size() == n + 7);
  CHECK(names[0] == L"HKCU\\Setup\\.kvx\\Set");
  CHECK(names[kRowLZ] == L"HKCU\\Setup\\.lz\\Set");
  CHECK(names[kRow001] == L"HKCU\\Setup\\.001\\Set");
  CHECK(names[n] == L"HKCU\\Setup\\Links\\Desktop");
  CHECK(names[n + 2] == L"HKCU\\Setup\\Links\\Programs");
  CHECK(names[n + 3] == L"HKCU\\Setup\\ShellExt");
  CHECK(names[n + 6] == L"HKCU\\Setup\\LegacyMenu");
  CHECK(std::wstring(FindSettingEntry(L"HKCU\\Setup\\.001\\Set")) == L"1");
  CHECK(std::wstring(FindSettingEntry(L"HKCU\\Setup\\.zip\\Set")) == L"0");
  CHECK(FindSettingEntry(L"HKCU\\Setup\\NewContextMenu") == nullptr);
  ForgetSettingsFile();
}

TEST_CASE("the archive types table") {
  CHECK(std::wstring(ArchiveTypes[kKvxRow].extensions) == L".kvx");
  CHECK(std::wstring(ArchiveTypes[kZipRow].extensions) == L".zip");
  wchar_t ext[50];
  std::vector<std::wstring> bz;
  for (const wchar_t* p = ArchiveTypes[kRowBZ2].extensions; (p = NextExtension(p, ext)) != nullptr;) bz.push_back(ext);
  CHECK(bz == std::vector<std::wstring>{L".bz2", L".tbz2", L".bz", L".tbz"});
  size_t total = 0;
  for (size_t row = 0; row <= kRow001; row++)  // the first eighteen
    for (const wchar_t* p = ArchiveTypes[row].extensions; (p = NextExtension(p, ext)) != nullptr;) total++;
  CHECK(total == 29);
  CHECK(ArchiveTypes[kRowLZ].checkBox == 5115);  // the box ids do not follow the table at rows 4, 13, 14
  CHECK(ArchiveTypes[kRowZ].checkBox == 5114);
  CHECK(ArchiveTypes[kRowXZ].checkBox == 5113);
}
