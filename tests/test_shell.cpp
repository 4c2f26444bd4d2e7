// File associations with their previous owners, the ProgIDs and the
// new-archive templates, against the registry of the prefix (redirected per
// test).
#include <map>
#include <random>

#include "settings/settings_file.h"
#include "settings/store.h"
#include "model/options.h"
#include "setup/uninstall_entry.h"
#include "shell/associations.h"
#include "shell/shell_extension.h"
#include "shell/templates.h"
#include "test.h"
#include "util/path.h"
#include "util/text.h"


static std::wstring Default(const std::wstring& key, bool* present = nullptr) {
  return RegText(HKEY_CLASSES_ROOT, key, L"", present);
}

// The single steps as the uninstall runs them: each with a transaction that
// is never begun (nothing recorded, no refusal kept for the next case).
static void SetExtensionAssociation(const wchar_t* e, AssociationChoice c) {
  SetupTransaction none;
  SetExtensionAssociation(none, e, c);
}
static void SetAssociations(const IntegrationOptions& o) { SetupTransaction none; SetAssociations(none, o); }
static bool RegisterProgIds() { SetupTransaction none; return RegisterProgIds(none); }
static void InstallNewTemplate(const wchar_t* e, bool kvx) { SetupTransaction none; InstallNewTemplate(none, e, kvx); }
static void RestoreNewEntry(const wchar_t* e, const wchar_t* previous) { SetupTransaction none; RestoreNewEntry(none, e, previous); }
static void WriteUninstallEntry() { SetupTransaction none; WriteUninstallEntry(none); }

// ---------------------------------------------------------------- templates

static uint32_t Crc32(const unsigned char* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    crc ^= data[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

static uint32_t Le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }

// (Wine starts no program from a path past MAX_PATH, so what such an
// installation needs of setup is checked here, in the program's own process.)
TEST_CASE("the template files and the uninstall entry under a program folder beyond MAX_PATH") {
  RegistrySandbox sandbox;
  UseRegistry();
  TempFolder folder;
  std::wstring deep = folder.Path();
  for (int i = 0; i < 6; i++) {
    deep += L"\\" + std::wstring(50, wchar_t(L'a' + i));
    REQUIRE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
  }
  WriteBytes(L"\\\\?\\" + deep + L"\\uninstall.exe", Bytes(3000));
  WriteBytes(L"\\\\?\\" + deep + L"\\big.dat", Bytes(5000));
  WriteText(L"\\\\?\\" + deep + L"\\Uninstall.lst", "big.dat\r\n");
  {
    ClassicPathLimit limit(deep + L"\\uninstall.exe");
    REQUIRE(limit.Patched() > 0);
    PrepareTemplates();
    InstallNewTemplate(L".kvx", true);
    InstallNewTemplate(L".zip", false);
    WriteUninstallEntry();
  }
  const wchar_t* entry = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex archiver";
  CHECK(RegText(HKEY_LOCAL_MACHINE, entry, L"UninstallString") == L"\"" + deep + L"\\uninstall.exe\"");
  CHECK(RegText(HKEY_LOCAL_MACHINE, entry, L"InstallLocation") == deep + L"\\");
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, entry, L"EstimatedSize") == 8);  // the list read, both files measured
  CHECK(ReadBytes(L"\\\\?\\" + deep + L"\\kvxnew.dat").size() == 24);
  CHECK(ReadBytes(L"\\\\?\\" + deep + L"\\zipnew.dat").size() == 22);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".kvx\\ShellNew", L"FileName") == deep + L"\\kvxnew.dat");
}

TEST_CASE("the template files byte for byte, their CRC-32 fields computed here") {
  RegistrySandbox sandbox;
  UseRegistry();
  std::wstring kvx = ProgramFile(L"kvxnew.dat"), zip = ProgramFile(L"zipnew.dat");
  DeleteFileW(kvx.c_str());
  DeleteFileW(zip.c_str());
  PrepareTemplates();  // what every association call does first
  InstallNewTemplate(L".kvx", true);
  InstallNewTemplate(L".zip", false);
  Bytes k = ReadBytes(kvx), z = ReadBytes(zip);
  REQUIRE(k.size() == 24);
  CHECK(Bytes(k.begin(), k.begin() + 8) == Bytes{0x4B, 0x76, 0x78, 0x21, 0x1A, 0x07, 0x01, 0x00});
  CHECK(Le32(&k[8]) == Crc32(&k[12], 4));
  CHECK(Le32(&k[8]) == 0x565FDFC1u);
  CHECK(Bytes(k.begin() + 12, k.begin() + 16) == Bytes{0x03, 0x01, 0x04, 0x00});
  CHECK(Le32(&k[16]) == Crc32(&k[20], 4));
  CHECK(Bytes(k.begin() + 20, k.end()) == Bytes{0x03, 0x05, 0x04, 0x00});
  Bytes expectedZip(22, 0);
  expectedZip[0] = 0x50, expectedZip[1] = 0x4B, expectedZip[2] = 0x05, expectedZip[3] = 0x06;
  CHECK(z == expectedZip);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".kvx\\ShellNew", L"FileName") == kvx);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName") == zip);

  // A file of the right size is never rewritten; one of another size is.
  WriteText(kvx, std::string(24, 'e'));
  WriteText(zip, std::string(23, 'e'));
  InstallNewTemplate(L".kvx", true);
  InstallNewTemplate(L".zip", false);
  CHECK(ReadBytes(kvx) == Bytes(24, 'e'));
  CHECK(ReadBytes(zip) == expectedZip);
  WriteText(kvx, std::string(25, 'e'));
  InstallNewTemplate(L".kvx", true);
  CHECK(ReadBytes(kvx) == k);

  // The program file does not hold the signatures.
  Bytes image = ReadBytes(ProductExe());
  std::string text(image.begin(), image.end());
  CHECK(text.find(std::string("\x4B\x76\x78\x21\x1A\x07\x01\x00", 8)) == std::string::npos);
  CHECK(text.find(std::string("\x50\x4B\x05\x06", 4)) == std::string::npos);
  DeleteFileW(kvx.c_str());
  DeleteFileW(zip.c_str());
}

TEST_CASE("restoring the previous new-file entry") {
  RegistrySandbox sandbox;
  UseRegistry();
  RegPutText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName", L"C:\\ours\\zipnew.dat");
  RegPutText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"ItemName", L"@other");
  RestoreNewEntry(L".zip", L"*");
  bool present;
  RegText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName", &present);
  CHECK_FALSE(present);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"NullFile", &present) == L"");
  CHECK(present);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"ItemName") == L"@other");

  RestoreNewEntry(L".kvx", L"C:\\Other\\new.kvx");
  CHECK(RegText(HKEY_CLASSES_ROOT, L".kvx\\ShellNew", L"FileName") == L"C:\\Other\\new.kvx");
  RestoreNewEntry(L".kvx", nullptr);
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".kvx\\ShellNew"));
}

TEST_CASE("the template condition") {
  RegistrySandbox sandbox;
  UseRegistry();
  CHECK(TemplateCondition(true, TemplateRow::Kvx));
  CHECK_FALSE(TemplateCondition(false, TemplateRow::Kvx));
  RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\MenuItems", L"NewZIP", 0);
  CHECK_FALSE(TemplateCondition(true, TemplateRow::Zip));
  CHECK(TemplateCondition(true, TemplateRow::Kvx));
  CHECK(TemplateCondition(true, TemplateRow::None));

  // With "NewZIP" off, a claim of .zip writes no template and takes back the
  // entry an earlier setup installed.
  DeleteFileW(ProgramFile(L"zipnew.dat").c_str());
  RegPutText(HKEY_CLASSES_ROOT, L".zip", L"", L"Korvex.ZIP");
  RegPutText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName", ProgramFile(L"zipnew.dat"));
  RegPutNumber(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Setup\\.zip", L"Exist", 1);
  RegPutText(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Setup\\.zip", L"ShellNew", L"C:\\Other\\new.zip");
  SetExtensionAssociation(L".zip", kClaimType | kShellExtensionChosen | kZipTypeRow);
  CHECK_FALSE(Exists(ProgramFile(L"zipnew.dat")));
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName") == L"C:\\Other\\new.zip");
}

// ---------------------------------------------------------------- claims and releases

TEST_CASE("claiming saves the previous owner once; releasing gives it back") {
  RegistrySandbox sandbox;
  UseRegistry();
  RegPutText(HKEY_CLASSES_ROOT, L".7z", L"", L"Other.7z");
  RegPutText(HKEY_CLASSES_ROOT, L".7z", L"Content Type", L"application/x-7z-compressed");
  SetExtensionAssociation(L".7z", kClaimType | kShellExtensionChosen);
  CHECK(Default(L".7z") == L"Korvex");
  // Saved twice: in the user's settings, and in the machine's part, which
  // alone is given back.
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    CHECK(RegText(root, L"Software\\Korvex\\Setup\\.7z", L"Type") == L"Other.7z");
    CHECK(RegNumber(root, L"Software\\Korvex\\Setup\\.7z", L"Exist") == 1);
  }
  // A second claim keeps the first saved owner.
  SetExtensionAssociation(L".7z", kClaimType | kShellExtensionChosen);
  CHECK(RegText(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.7z", L"Type") == L"Other.7z");
  SetExtensionAssociation(L".7z", kReleaseType | kShellExtensionChosen);
  CHECK(Default(L".7z") == L"Other.7z");
  CHECK(RegText(HKEY_CLASSES_ROOT, L".7z", L"Content Type") == L"application/x-7z-compressed");
  // Released again while another program holds it: nothing happens.
  SetExtensionAssociation(L".7z", kReleaseType | kShellExtensionChosen);
  CHECK(Default(L".7z") == L"Other.7z");
}

TEST_CASE("previous owners come back only from the machine's record, and never as ourselves or a runner") {
  // The user's own programs can write anything into the user's settings,
  // and the release writes for every user: a type named only there comes
  // back as the empty type. The machine's record, which only administrators
  // can write, still never gives back our own ProgID or a type under which
  // files would run as programs.
  RegistrySandbox sandbox;
  UseRegistry();
  RegPutText(HKEY_CLASSES_ROOT, L"Planted.Runner\\shell\\open\\command", L"", L"\"%1\" %*");
  struct {
    HKEY record;
    const wchar_t* saved;
    const wchar_t* restored;
  } const rows[] = {{HKEY_LOCAL_MACHINE, L"Other.arj", L"Other.arj"}, {HKEY_CURRENT_USER, L"Other.arj", L""},
                    {HKEY_LOCAL_MACHINE, L"korvex", L""},           {HKEY_LOCAL_MACHINE, L"KORVEX.zip", L""},
                    {HKEY_LOCAL_MACHINE, L"exefile", L""},          {HKEY_LOCAL_MACHINE, L"JSFile", L""},
                    {HKEY_LOCAL_MACHINE, L"Planted.Runner", L""},   {HKEY_LOCAL_MACHINE, L"a\\b", L""}};
  for (auto& row : rows) {
    CAPTURE(Narrow(row.saved));
    RegRemoveTree(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Setup");
    RegPutText(HKEY_CLASSES_ROOT, L".arj", L"", L"Korvex");
    RegPutText(row.record, L"Software\\Korvex\\Setup\\.arj", L"Type", row.saved);
    RegPutNumber(row.record, L"Software\\Korvex\\Setup\\.arj", L"Exist", 1);
    SetExtensionAssociation(L".arj", kReleaseType | kShellExtensionChosen);
    bool present;
    CHECK(Default(L".arj", &present) == row.restored);
    CHECK(present);
  }
}

TEST_CASE("a type taken over by another program after our claim is left alone") {
  RegistrySandbox sandbox;
  UseRegistry();
  SetExtensionAssociation(L".kvx", kClaimType | kShellExtensionChosen | kKvxTypeRow);
  CHECK(Default(L".kvx") == L"Korvex");
  CHECK(Default(L".k29") == L"Korvex");
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".k30"));
  RegPutText(HKEY_CLASSES_ROOT, L".kvx", L"", L"Thief.Archive");
  RegPutText(HKEY_CLASSES_ROOT, L".kvx\\ShellNew", L"FileName", L"C:\\thief.kvx");
  SetExtensionAssociation(L".kvx", kReleaseType | kShellExtensionChosen | kKvxTypeRow);
  CHECK(Default(L".kvx") == L"Thief.Archive");
  CHECK(RegText(HKEY_CLASSES_ROOT, L".kvx\\ShellNew", L"FileName") == L"C:\\thief.kvx");
  CHECK(Default(L".k05") == L"Korvex");  // the volume names went with the extension's release only
}

TEST_CASE("a key another program makes after our release is that program's at the next claim") {
  RegistrySandbox sandbox;
  UseRegistry();
  for (const wchar_t* extension : {L".tlz", L".zip"}) {
    CAPTURE(Narrow(extension));
    bool zip = lstrcmpW(extension, L".zip") == 0;
    SetExtensionAssociation(extension, kClaimType | kShellExtensionChosen | (zip ? kZipTypeRow : kOtherTypeRow));
    SetExtensionAssociation(extension, kReleaseType | kShellExtensionChosen | (zip ? kZipTypeRow : kOtherTypeRow));
    REQUIRE_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, extension));
    // A value other than the default one, or only a subkey: not the empty
    // key a cut claim leaves.
    std::wstring key = extension;
    if (zip) RegPutText(HKEY_CLASSES_ROOT, key + L"\\ShellNew", L"FileName", L"C:\\Other\\new.zip");
    else RegPutText(HKEY_CLASSES_ROOT, key, L"Content Type", L"application/x-other");
    SetExtensionAssociation(extension, kClaimType | kShellExtensionChosen | (zip ? kZipTypeRow : kOtherTypeRow));
    CHECK(IsOwnAssociation(extension));
    SetExtensionAssociation(extension, kReleaseType | kShellExtensionChosen | (zip ? kZipTypeRow : kOtherTypeRow));
    if (zip) CHECK(RegText(HKEY_CLASSES_ROOT, key + L"\\ShellNew", L"FileName") == L"C:\\Other\\new.zip");
    else CHECK(RegText(HKEY_CLASSES_ROOT, key, L"Content Type") == L"application/x-other");
    CHECK_FALSE(IsOwnAssociation(extension));
  }
  DeleteFileW(ProgramFile(L"zipnew.dat").c_str());
}

TEST_CASE("an extension that did not exist before is gone after the release, ShellNew key and all") {
  RegistrySandbox sandbox;
  UseRegistry();
  SetExtensionAssociation(L".kvx", kClaimType | kShellExtensionChosen | kKvxTypeRow);
  CHECK(RegKeyExists(HKEY_CLASSES_ROOT, L".kvx\\ShellNew"));
  CHECK(RegNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.kvx", L"Exist") == 0);
  RegPutText(HKEY_CLASSES_ROOT, L".k77", L"", L"Other.Volume");  // written by other software
  SetExtensionAssociation(L".kvx", kReleaseType | kShellExtensionChosen | kKvxTypeRow);
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".kvx"));
  for (int n = 0; n < 100; n++) {
    wchar_t volume[8];
    wsprintfW(volume, L".k%02d", n);
    CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, volume));
  }
  DeleteFileW(ProgramFile(L"kvxnew.dat").c_str());
}

// A release or a claim (KVX_CLAIM=1) cut short: the child joins the parent's
// sandbox and ends itself at the registry write or deletion numbered
// KVX_CUT_AT, as a killed setup or uninstall would: a release before that
// step, a claim just after the key to be written has been created, before
// its value.
KVX_CHILD(cut_short) {
  wchar_t base[256], cut[16], extension[16], claim[4] = {};
  GetEnvironmentVariableW(L"KVX_SANDBOX", base, 256);
  GetEnvironmentVariableW(L"KVX_CUT_AT", cut, 16);
  GetEnvironmentVariableW(L"KVX_EXTENSION", extension, 16);
  GetEnvironmentVariableW(L"KVX_CLAIM", claim, 4);
  RegistrySandbox sandbox{std::wstring(base)};  // the parent's
  UseRegistry();
  static int writes, cutAt;
  static bool claiming;
  cutAt = _wtoi(cut);
  claiming = claim[0] == L'1';
  g_RegistryWriteFilter = [](HKEY root, const wchar_t* path, DWORD view) -> LONG {
    if (++writes != cutAt) return 0;
    HKEY key;
    if (claiming && RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr) == ERROR_SUCCESS)
      RegCloseKey(key);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
  };
  bool kvx = lstrcmpW(extension, L".kvx") == 0, zip = lstrcmpW(extension, L".zip") == 0;
  SetExtensionAssociation(extension, (claiming ? kClaimType : kReleaseType) | kShellExtensionChosen |
                                         (kvx ? kKvxTypeRow : kOtherTypeRow) | (zip ? kZipTypeRow : kOtherTypeRow));
  return 0;
}

static DWORD CutShort(const RegistrySandbox& sandbox, const wchar_t* extension, int cut, bool claim) {
  return RunChild("cut_short", {L"KVX_SANDBOX=" + sandbox.base(), L"KVX_CUT_AT=" + std::to_wstring(cut),
                                L"KVX_EXTENSION=" + std::wstring(extension), claim ? L"KVX_CLAIM=1" : L"KVX_CLAIM=0"});
}

// Another program's ".zip" with its own new-file entry, and the check that it is back.
static void PlantOtherZip() {
  RegPutText(HKEY_CLASSES_ROOT, L".zip", L"", L"OtherArchiver.zip");
  RegPutText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName", L"C:\\OtherArchiver\\empty.zip");
}
static void CheckOtherZipBack() {
  CHECK(Default(L".zip") == std::wstring(L"OtherArchiver.zip"));
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"FileName") == std::wstring(L"C:\\OtherArchiver\\empty.zip"));
}

TEST_CASE("a claim cut short after creating a key: the next setup keeps the first saved state") {
  for (const wchar_t* extension : {L".tlz", L".zip"}) {
    bool zip = lstrcmpW(extension, L".zip") == 0;
    for (int cut = 1;; cut++) {
      CAPTURE(Narrow(extension));
      CAPTURE(cut);
      RegistrySandbox sandbox;
      UseRegistry();
      if (zip) PlantOtherZip();
      DWORD code = CutShort(sandbox, extension, cut, true);
      CAPTURE(code);
      REQUIRE((code == 0 || code == 3));
      SetExtensionAssociation(extension, kClaimType | kShellExtensionChosen | (zip ? kZipTypeRow : kOtherTypeRow));  // the next setup
      CHECK(IsOwnAssociation(extension));
      SetExtensionAssociation(extension, kReleaseType | kShellExtensionChosen | (zip ? kZipTypeRow : kOtherTypeRow));  // the uninstall
      if (zip) CheckOtherZipBack();
      else CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, extension));
      if (code == 0) break;  // the claim ran through: every step has been cut once
    }
  }
  DeleteFileW(ProgramFile(L"zipnew.dat").c_str());
}

TEST_CASE("a release cut short at any write or deletion is finished by the next run") {
  for (const wchar_t* extension : {L".zip", L".kvx"}) {
    bool kvx = lstrcmpW(extension, L".kvx") == 0;
    for (int cut = 1;; cut++) {
      CAPTURE(Narrow(extension));
      CAPTURE(cut);
      RegistrySandbox sandbox;
      UseRegistry();
      if (!kvx) PlantOtherZip();
      SetExtensionAssociation(extension, kClaimType | kShellExtensionChosen | (kvx ? kKvxTypeRow : kZipTypeRow));
      REQUIRE(RegText(HKEY_CLASSES_ROOT, std::wstring(extension) + L"\\ShellNew", L"FileName") ==
              ProgramFile(kvx ? L"kvxnew.dat" : L"zipnew.dat"));
      DWORD code = CutShort(sandbox, extension, cut, false);
      CAPTURE(code);
      REQUIRE((code == 0 || code == 3));
      // the next run
      SetExtensionAssociation(extension, kReleaseType | kShellExtensionChosen | (kvx ? kKvxTypeRow : kZipTypeRow));
      if (kvx) CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".kvx"));
      else CheckOtherZipBack();
      if (code == 0) break;  // the release ran through: every step has been cut once
    }
  }
  DeleteFileW(ProgramFile(L"kvxnew.dat").c_str());
  DeleteFileW(ProgramFile(L"zipnew.dat").c_str());
}

TEST_CASE("without saved state an extension counts as having existed with an empty type") {
  RegistrySandbox sandbox;
  UseRegistry();
  RegPutText(HKEY_CLASSES_ROOT, L".kvx", L"", L"Korvex");
  RegPutText(HKEY_CLASSES_ROOT, L".k03", L"", L"Korvex");
  SetExtensionAssociation(L".kvx", kReleaseType | kShellExtensionChosen | kKvxTypeRow);
  bool present;
  CHECK(Default(L".kvx", &present) == L"");
  CHECK(present);
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".k03"));
}

TEST_CASE("rows with several extensions keep a saved state per extension") {
  RegistrySandbox sandbox;
  UseRegistry();
  RegPutText(HKEY_CLASSES_ROOT, L".gz", L"", L"Other.gz");
  IntegrationOptions options = {};
  options.Associate[8] = 1;  // .gz .tgz
  SetAssociations(options);
  CHECK(Default(L".gz") == L"Korvex");
  CHECK(Default(L".tgz") == L"Korvex");
  CHECK(RegNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.tgz", L"Exist") == 0);
  CHECK(RegText(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.gz", L"Type") == L"Other.gz");
  SetAssociations(IntegrationOptions{});
  CHECK(Default(L".gz") == L"Other.gz");
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".tgz"));
}

// Elevated on Windows, HKEY_CLASSES_ROOT merges the user's own classes over
// the machine's; here it is a key of its own that plays that view, with a
// copy the user's programs made. Everything setup does for all users is
// read, written, recorded and put back in the machine's own classes: the
// user's copy is neither saved as a previous owner, nor changed, nor
// written back machine-wide by an undo.
TEST_CASE("the machine's classes, never the user's copy, in a run and in its undo") {
  RegistrySandbox sandbox(true);
  UseRegistry();
  DeleteFileW(ProgramFile(L"zipnew.dat").c_str());
  const std::wstring classes = L"Software\\Classes\\";
  RegPutText(HKEY_LOCAL_MACHINE, classes + L".zip", L"", L"OtherArchiver.zip");
  RegPutText(HKEY_CLASSES_ROOT, L".zip", L"", L"UserZip");
  RegPutText(HKEY_CLASSES_ROOT, L".zip\\ShellNew", L"Command", L"planted.exe");
  RegPutText(HKEY_CLASSES_ROOT, L"CLSID\\{6F0C2A91-3D7E-4B15-A8C4-92E5D1B07F36}\\InProcServer32", L"", L"C:\\planted.dll");
  std::vector<std::wstring> usersCopy = RegDump(HKEY_CLASSES_ROOT, L"");
  std::vector<std::wstring> machine = RegDump(HKEY_LOCAL_MACHINE, L"Software");
  {
    SetupTransaction changes;
    changes.Begin();
    SetExtensionAssociation(changes, L".zip", kClaimType | kShellExtensionChosen | kZipTypeRow);
    IntegrationOptions off = {};
    RegisterHandlerDll(changes, off, kHandlerDll64);  // deletes the class of the shell extension
    CHECK(RegText(HKEY_LOCAL_MACHINE, classes + L".zip", L"") == L"Korvex.ZIP");
    CHECK(RegText(HKEY_LOCAL_MACHINE, classes + L".zip\\ShellNew", L"FileName") == ProgramFile(L"zipnew.dat"));
    CHECK(RegText(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Setup\\.zip", L"Type") == L"OtherArchiver.zip");
    CHECK(RegDump(HKEY_CLASSES_ROOT, L"") == usersCopy);
    // Refused later in the run: everything goes back where it was changed.
    g_RegistryWriteFilter = [](HKEY, const wchar_t*, DWORD) -> LONG { return ERROR_ACCESS_DENIED; };
    changes.WriteMachine(L"", L"exe64", L"x");
    g_RegistryWriteFilter = nullptr;
    REQUIRE(changes.Refused());
    changes.Undo();
  }
  CHECK(RegDump(HKEY_LOCAL_MACHINE, L"Software") == machine);
  CHECK(RegDump(HKEY_CLASSES_ROOT, L"") == usersCopy);
  CHECK_FALSE(Exists(ProgramFile(L"zipnew.dat")));  // the template the run made went with it
}

TEST_CASE("the ProgIDs: texts, commands, icons kept, the refused first write") {
  RegistrySandbox sandbox;
  UseRegistry();
  RegPutText(HKEY_CLASSES_ROOT, L"Korvex.ZIP\\DefaultIcon", L"", L"C:\\theme\\zip.ico,3");
  CHECK(RegisterProgIds());
  std::wstring program = ProgramFile(L"Korvex.exe");
  CHECK(Default(L"Korvex") == L"Korvex archive");
  CHECK(Default(L"Korvex\\shell\\open\\command") == L"\"" + program + L"\" \"%1\"");
  CHECK(Default(L"Korvex\\DefaultIcon") == program + L",0");
  CHECK(Default(L"Korvex.ZIP") == L"Korvex ZIP archive");
  CHECK(Default(L"Korvex.ZIP\\DefaultIcon") == L"C:\\theme\\zip.ico,3");
  CHECK(Default(L".rev") == L"Korvex.REV");
  CHECK(Default(L"Korvex.REV") == L"Korvex recovery volume");
  CHECK(Default(L"Korvex.REV\\DefaultIcon") == program + L",1");

  RegRemoveTree(HKEY_CLASSES_ROOT, L"Korvex");
  g_RegistryWriteFilter = [](HKEY root, const wchar_t* path, DWORD) -> LONG {
    return root == HKEY_LOCAL_MACHINE && lstrcmpiW(path, L"Software\\Classes\\Korvex") == 0 ? ERROR_ACCESS_DENIED : 0;
  };
  RegRemoveTree(HKEY_CLASSES_ROOT, L".rev");
  CHECK_FALSE(RegisterProgIds());
  g_RegistryWriteFilter = nullptr;
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".rev"));
}

// ---------------------------------------------------------------- the lifecycle property

namespace {

using Values = std::map<std::wstring, std::wstring>;

struct KeyState {
  bool exists = false;
  Values values;  // "" is the default value
};

KeyState ReadKey(const std::wstring& key) {
  KeyState s;
  HKEY k;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return s;
  s.exists = true;
  wchar_t name[256], data[1024];
  for (DWORD i = 0;; i++) {
    DWORD n = 256, size = sizeof data, type;
    if (RegEnumValueW(k, i, name, &n, nullptr, &type, (BYTE*)data, &size) != ERROR_SUCCESS) break;
    s.values[name] = std::wstring(data, size / 2 ? size / 2 - 1 : 0);
  }
  RegCloseKey(k);
  return s;
}

void WriteKey(const std::wstring& key, const KeyState& s) {
  RegRemoveTree(HKEY_CLASSES_ROOT, key);
  if (!s.exists) return;
  HKEY k;
  RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
  RegCloseKey(k);
  for (auto& v : s.values) RegPutText(HKEY_CLASSES_ROOT, key, v.first, v.second);
}

struct Extension {
  std::wstring name;
  int row;  // -1 for .ace
  KeyState key, shellNew;
  bool ours = false;  // held by us before, without saved state
};

std::string Describe(const KeyState& s) {
  if (!s.exists) return "absent";
  std::string out = "{";
  for (auto& v : s.values) out += "[" + Narrow(v.first) + "]=" + Narrow(v.second) + " ";
  return out + "}";
}

}  // namespace

TEST_CASE("lifecycle: claiming what the options ask and releasing everything gives back what was there") {
  int seeds = 200;
  for (int seed = 1; seed <= seeds; seed++) {
    CAPTURE(seed);
    RegistrySandbox sandbox;
    UseRegistry();
    std::mt19937 random((unsigned)seed);
    auto chance = [&](int percent) { return (int)(random() % 100) < percent; };

    std::vector<Extension> all;
    for (size_t row = 0; row < kArchiveTypeCount; row++) {
      wchar_t ext[50];
      for (const wchar_t* p = ArchiveTypes[row].extensions; (p = NextExtension(p, ext)) != nullptr;)
        all.push_back(Extension{ext, (int)row});
    }
    all.push_back(Extension{L".ace", -1});

    // Previous states: absent; another ProgID; with a "ShellNew" FileName,
    // a NullFile, extra values; already ours (an earlier installation).
    for (auto& e : all) {
      int kind = (int)(random() % 6);
      if (kind == 0) continue;
      e.key.exists = true;
      e.key.values[L""] = L"Other" + e.name;
      if (kind == 2 || kind == 4) e.shellNew.exists = true, e.shellNew.values[L"FileName"] = L"C:\\Other\\new" + e.name;
      if (kind == 3) e.shellNew.exists = true, e.shellNew.values[L"NullFile"] = L"";
      if (kind == 4) {
        e.key.values[L"Content Type"] = L"application/x-test";
        e.shellNew.values[L"ItemName"] = L"@other.dll,-1";
      }
      if (kind == 5) {
        e.ours = true;
        e.key.values[L""] = chance(50) ? L"Korvex" : L"korvex.zip";
      }
      WriteKey(e.name, e.key);
      WriteKey(e.name + L"\\ShellNew", e.shellNew);
    }
    // Volume names of old-style KVX volumes, some written by other software.
    std::vector<KeyState> volumesBefore(100);
    for (int n = 0; n < 100; n++) {
      if (!chance(10)) continue;
      volumesBefore[n].exists = true;
      volumesBefore[n].values[L""] = L"Other.Volume";
      wchar_t v[8];
      wsprintfW(v, L".k%02d", n);
      WriteKey(v, volumesBefore[n]);
    }

    IntegrationOptions options = {};
    for (size_t i = 0; i < kArchiveTypeCount; i++) options.Associate[i] = chance(70);
    options.ShellExt = chance(70);
    if (chance(30)) RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\MenuItems", L"NewKVX", 0);
    if (chance(30)) RegPutNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\MenuItems", L"NewZIP", 0);
    bool templateKvx = TemplateCondition(options.ShellExt, TemplateRow::Kvx);
    bool templateZip = TemplateCondition(options.ShellExt, TemplateRow::Zip);

    SetAssociations(options);
    if (chance(30)) SetAssociations(options);  // a second setup with the same choices
    SetExtensionAssociation(L".ace", kReleaseType);

    // Some claimed types are taken over by another program afterwards.
    std::map<std::wstring, std::pair<KeyState, KeyState>> takenOver;
    for (auto& e : all) {
      if (e.row < 0 || !options.Associate[e.row] || !chance(10)) continue;
      KeyState key = ReadKey(e.name), shellNew = ReadKey(e.name + L"\\ShellNew");
      key.values[L""] = L"Thief" + e.name;
      RegPutText(HKEY_CLASSES_ROOT, e.name, L"", key.values[L""]);
      takenOver[e.name] = {key, shellNew};
    }

    SetAssociations(IntegrationOptions{});  // what the integration removal does

    bool kvxClaimedOverOther = false, kvxTouched = false;
    for (auto& e : all) {
      CAPTURE(Narrow(e.name));
      KeyState key = ReadKey(e.name), shellNew = ReadKey(e.name + L"\\ShellNew");
      bool claimed = e.row >= 0 && options.Associate[e.row];
      bool kvx = e.row == 0, zip = e.row == 1;
      if (takenOver.count(e.name)) {
        CHECK(Describe(key) == Describe(takenOver[e.name].first));
        CHECK(Describe(shellNew) == Describe(takenOver[e.name].second));
        if (kvx) kvxTouched = true;
        continue;
      }
      if (!claimed && !e.ours) {  // never ours: untouched
        CHECK(Describe(key) == Describe(e.key));
        CHECK(Describe(shellNew) == Describe(e.shellNew));
        continue;
      }
      if (kvx) kvxTouched = true;
      bool existed = e.ours || !claimed || e.key.exists;
      std::wstring type = (claimed && !e.ours && e.key.exists) ? e.key.values[L""] : L"";
      if (kvx && existed && !type.empty()) kvxClaimedOverOther = true;
      if (!existed) {
        CHECK_FALSE(key.exists);  // deleted, also for the KVX and ZIP rows
        continue;
      }
      KeyState expected = e.key;
      expected.values[L""] = type;
      CHECK(Describe(key) == Describe(expected));
      if (!kvx && !zip) {
        CHECK(Describe(shellNew) == Describe(e.shellNew));
        continue;
      }
      // The new-file entry: FileName or NullFile as saved by the first claim.
      KeyState expectedNew;
      bool templ = claimed && (kvx ? templateKvx : templateZip);
      std::wstring saved;
      if (claimed && !e.ours) {
        if (e.shellNew.values.count(L"FileName")) saved = e.shellNew.values[L"FileName"];
        else if (e.shellNew.values.count(L"NullFile")) saved = L"*";
      }
      if (templ) {
        expectedNew.exists = true;  // the template's key stays, holding the saved entry or nothing
      } else {
        expectedNew = e.shellNew;
        expectedNew.values.erase(L"FileName");
      }
      if (saved == L"*") expectedNew.values[L"NullFile"] = L"", expectedNew.exists = true;
      else if (!saved.empty()) expectedNew.values[L"FileName"] = saved, expectedNew.exists = true;
      CHECK(Describe(shellNew) == Describe(expectedNew));
    }
    // Volume names of a released KVX row: set to the previous type, or deleted.
    for (int n = 0; n < 100; n++) {
      wchar_t v[8];
      wsprintfW(v, L".k%02d", n);
      KeyState now = ReadKey(v);
      CAPTURE(n);
      if (!kvxTouched) CHECK(Describe(now) == Describe(volumesBefore[n]));
      else if (kvxClaimedOverOther) CHECK(now.values[L""] == L"Other.kvx");
      else if (!takenOver.count(L".kvx")) CHECK_FALSE(now.exists);
      else if (n < 30) CHECK(now.values[L""] == L"Korvex");  // claimed, then left with the thief
      else CHECK(Describe(now) == Describe(volumesBefore[n]));
    }
  }
  DeleteFileW(ProgramFile(L"kvxnew.dat").c_str());
  DeleteFileW(ProgramFile(L"zipnew.dat").c_str());
}
