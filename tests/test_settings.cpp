// The settings store: registry access in both views, routing, and the
// portable settings file.
#include <string.h>

#include "settings/settings_file.h"
#include "settings/store.h"
#include "test.h"
#include "util/text.h"


static void UseFile(const std::wstring& path) {
  ForgetSettingsFile();
  LoadSettingsFileFrom(path.c_str());
}

static Bytes Utf16(const std::wstring& text, bool mark = true) {
  Bytes b;
  if (mark) b = {0xFF, 0xFE};
  for (wchar_t c : text) b.push_back((unsigned char)(c & 0xFF)), b.push_back((unsigned char)(c >> 8));
  return b;
}

static std::wstring ReadString(HKEY root, const wchar_t* key, const wchar_t* value, const wchar_t* def,
                               bool* served = nullptr, size_t capacity = 64) {
  std::vector<wchar_t> buffer(capacity + 1, L'#');
  bool ok = ReadSettingString(root, key, value, buffer.data(), def, capacity);
  if (served) *served = ok;
  return buffer.data();
}

TEST_CASE("composed registry paths and entry names") {
  wchar_t out[512];
  ComposeRegistryPath(HKEY_CURRENT_USER, L"Setup", out, 512);
  CHECK(std::wstring(out) == L"Software\\Korvex\\Setup");
  ComposeRegistryPath(HKEY_LOCAL_MACHINE, L"", out, 512);
  CHECK(std::wstring(out) == L"Software\\Korvex");
  ComposeRegistryPath(HKEY_LOCAL_MACHINE, L"\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe",
                      out, 512);
  CHECK(std::wstring(out) == L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe");
  ComposeRegistryPath(HKEY_CLASSES_ROOT, L"\\odd", out, 512);
  CHECK(std::wstring(out) == L"\\odd");
  // The machine's classes lie in the machine's hive; the classes themselves
  // are named by no path.
  ComposeRegistryPath(kMachineClasses, L".kvx\\ShellNew", out, 512);
  CHECK(std::wstring(out) == L"Software\\Classes\\.kvx\\ShellNew");
  ComposeRegistryPath(kMachineClasses, L"", out, 512);
  CHECK(std::wstring(out) == L"");
  std::wstring deep(600, L'k');
  ComposeRegistryPath(HKEY_CURRENT_USER, deep.c_str(), out, 512);
  CHECK(TextLength(out) == 511);

  ComposeSettingName(HKEY_CURRENT_USER, L"Setup\\MenuItems", L"ExtrTo", out, 512);
  CHECK(std::wstring(out) == L"HKCU\\Setup\\MenuItems\\ExtrTo");
  ComposeSettingName(kNullRoot, L"Global", L"Integration", out, 512);
  CHECK(std::wstring(out) == L"Global\\Integration");
  ComposeSettingName(HKEY_CURRENT_USER, L"Setup", L"", out, 512);
  CHECK(std::wstring(out) == L"HKCU\\Setup\\");
  ComposeSettingName(HKEY_LOCAL_MACHINE, L"", L"exe64", out, 512);
  CHECK(std::wstring(out) == L"HKLM\\exe64");
  ComposeSettingName(kNullRoot, L"", L"x", out, 512);
  CHECK(std::wstring(out) == L"x");
}

TEST_CASE("registry: integers and strings in the product key") {
  RegistrySandbox sandbox;
  UseRegistry();
  CHECK(WriteSettingInt(L"Setup", L"ShellExt", 1) == 0);
  bool present;
  CHECK(RegNumber(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup", L"ShellExt", &present) == 1);
  CHECK(present);
  CHECK(ReadSettingInt(L"Setup", L"ShellExt", 7) == 1);
  CHECK(ReadSettingInt(L"Setup", L"Missing", 7) == 7);
  CHECK(ReadSettingInt(L"NoKey", L"ShellExt", -3) == -3);
  CHECK(WriteSettingInt(HKEY_LOCAL_MACHINE, L"", L"n", -1) == 0);
  CHECK(ReadSettingInt(HKEY_LOCAL_MACHINE, L"", L"n", 0) == -1);

  CHECK(WriteSettingString(L"Paths", L"TempFolder", L"%TEMP%\\kvx") == 0);
  CHECK(ReadString(HKEY_CURRENT_USER, L"Paths", L"TempFolder", L"") == L"%TEMP%\\kvx");
  bool served;
  CHECK(ReadString(HKEY_CURRENT_USER, L"Paths", L"None", L"dflt", &served) == L"dflt");
  CHECK_FALSE(served);
  CHECK(ReadString(HKEY_CURRENT_USER, L"NoKey", L"x", L"dflt", &served) == L"dflt");
  CHECK_FALSE(served);

  CHECK(WriteSettingString(kMachineClasses, L".kvx", L"", L"Korvex") == 0);
  CHECK(RegText(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.kvx", L"") == L"Korvex");
  CHECK(SettingKeyExists(kMachineClasses, L".kvx"));
  CHECK_FALSE(SettingKeyExists(kMachineClasses, L".none"));
}

TEST_CASE("registry: values of unexpected types and sizes") {
  RegistrySandbox sandbox;
  UseRegistry();
  const wchar_t* key = L"Software\\Korvex\\Odd";
  RegPutText(HKEY_CURRENT_USER, key, L"text", L"12");  // 6 bytes: too long for a number
  RegPutRaw(HKEY_CURRENT_USER, key, L"two", REG_BINARY, "\x05\x01", 2);
  RegPutRaw(HKEY_CURRENT_USER, key, L"empty", REG_BINARY, "", 0);
  RegPutRaw(HKEY_CURRENT_USER, key, L"eight", REG_QWORD, "\1\0\0\0\0\0\0\0", 8);
  RegPutRaw(HKEY_CURRENT_USER, key, L"expand", REG_EXPAND_SZ, L"%TEMP%", 14);
  RegPutText(HKEY_CURRENT_USER, key, L"long", std::wstring(100, L'z'));
  RegPutNumber(HKEY_CURRENT_USER, key, L"dword", 77);

  CHECK(ReadSettingInt(L"Odd", L"text", -1) == -1);    // the number is never parsed from text
  CHECK(ReadSettingInt(L"Odd", L"two", -1) == 0x105);  // the bytes that were there
  CHECK(ReadSettingInt(L"Odd", L"empty", -1) == -1);
  CHECK(ReadSettingInt(L"Odd", L"eight", -1) == -1);
  CHECK(ReadSettingInt(L"Odd", L"dword", -1) == 77);

  bool served;
  CHECK(ReadString(HKEY_CURRENT_USER, L"Odd", L"expand", L"", &served) == L"%TEMP%");  // not expanded
  CHECK(served);
  // Longer than the buffer: false and the default, never a cut value.
  CHECK(ReadString(HKEY_CURRENT_USER, L"Odd", L"long", L"dflt", &served, 50) == L"dflt");
  CHECK_FALSE(served);
  CHECK(ReadString(HKEY_CURRENT_USER, L"Odd", L"long", L"", &served, 101) == std::wstring(100, L'z'));
  CHECK(served);
  // The stored terminator needs its room too.
  CHECK(ReadString(HKEY_CURRENT_USER, L"Odd", L"long", L"dflt", &served, 100) == L"dflt");
  CHECK_FALSE(served);

  // A binary value of an odd byte count ends at its last whole character.
  RegPutRaw(HKEY_CURRENT_USER, key, L"odd", REG_BINARY, "a\0b", 3);
  CHECK(ReadString(HKEY_CURRENT_USER, L"Odd", L"odd", L"") == L"a");
}

TEST_CASE("registry: deletions") {
  RegistrySandbox sandbox;
  UseRegistry();
  WriteSettingInt(L"Setup\\Links", L"Desktop", 1);
  WriteSettingInt(L"Setup", L"ShellExt", 1);
  DeleteSettingValue(L"Setup", L"ShellExt");
  CHECK_FALSE(RegKeyExists(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\ShellExt"));
  CHECK(ReadSettingInt(L"Setup", L"ShellExt", 5) == 5);
  // A key with a subkey stays, and says why: no lack of rights.
  CHECK(DeleteSettingKey(HKEY_CURRENT_USER, L"Setup") == ERROR_DIR_NOT_EMPTY);
  CHECK(SettingKeyExists(HKEY_CURRENT_USER, L"Setup"));
  CHECK(DeleteSettingKey(HKEY_CURRENT_USER, L"Setup\\Links") == 0);
  CHECK_FALSE(SettingKeyExists(HKEY_CURRENT_USER, L"Setup\\Links"));

  // Several levels and many siblings: the repeated passes take everything.
  for (int i = 0; i < 30; i++)
    for (int j = 0; j < 3; j++)
      WriteSettingInt((L"Setup\\k" + std::to_wstring(i) + L"\\a\\b" + std::to_wstring(j)).c_str(), L"v", i);
  WriteSettingInt(HKEY_CURRENT_USER, L"\\Software\\Other", L"keep", 1);
  DeleteSettingTree(HKEY_CURRENT_USER, L"");
  CHECK_FALSE(RegKeyExists(HKEY_CURRENT_USER, L"Software\\Korvex"));
  CHECK(RegKeyExists(HKEY_CURRENT_USER, L"Software\\Other"));

  WriteSettingString(kMachineClasses, L".kvx\\ShellNew", L"FileName", L"x");
  DeleteSettingTree(kMachineClasses, L"");  // the classes themselves are never deleted
  DeleteSettingKey(kMachineClasses, L"");
  CHECK(RegKeyExists(HKEY_CLASSES_ROOT, L".kvx\\ShellNew"));
  DeleteSettingTree(kMachineClasses, L".kvx");
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".kvx"));
}

TEST_CASE("registry: refused writes report their error") {
  RegistrySandbox sandbox;
  UseRegistry();
  g_RegistryWriteFilter = [](HKEY root, const wchar_t*, DWORD) -> LONG {
    return root == HKEY_LOCAL_MACHINE ? ERROR_ACCESS_DENIED : 0;
  };
  CHECK(WriteSettingString(HKEY_LOCAL_MACHINE, L"", L"exe64", L"x") == ERROR_ACCESS_DENIED);
  CHECK(WriteSettingInt(HKEY_LOCAL_MACHINE, L"", L"n", 1) == ERROR_ACCESS_DENIED);
  CHECK(WriteSettingInt(HKEY_CURRENT_USER, L"", L"n", 1) == 0);
  g_RegistryWriteFilter = nullptr;
  CHECK_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, L"Software\\Korvex"));
}

TEST_CASE("registry view: writes and deletions reach the view they name, reads and tests the native one") {
  // The real registry of the prefix: the redirection of predefined keys does
  // not reach the 32-bit view. Keys of this test carry the process id.
  UseRegistry();
  std::wstring key = L"\\Software\\KvxViewTest" + std::to_wstring(GetCurrentProcessId());
  std::wstring plain = key.substr(1);
  CHECK(WriteSettingString(HKEY_LOCAL_MACHINE, key.c_str(), L"", L"thirty-two", KEY_WOW64_32KEY) == 0);
  CHECK(WriteSettingInt(HKEY_LOCAL_MACHINE, key.c_str(), L"n", 32, KEY_WOW64_32KEY) == 0);
  CHECK(RegText(HKEY_LOCAL_MACHINE, plain, L"", nullptr, KEY_WOW64_32KEY) == L"thirty-two");
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, plain, L"n", nullptr, KEY_WOW64_32KEY) == 32);
  CHECK(RegKeyExists(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node" + key.substr(9), KEY_WOW64_64KEY));
  CHECK_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, plain, KEY_WOW64_64KEY));
  // Reads, existence and a deletion without a view look at the native one.
  CHECK(ReadSettingInt(HKEY_LOCAL_MACHINE, key.c_str(), L"n", -1) == -1);
  CHECK_FALSE(SettingKeyExists(HKEY_LOCAL_MACHINE, key.c_str()));
  DeleteSettingKey(HKEY_LOCAL_MACHINE, key.c_str());
  CHECK(RegKeyExists(HKEY_LOCAL_MACHINE, plain, KEY_WOW64_32KEY));
  // A deletion in the 32-bit view takes the key there and leaves the native one.
  WriteSettingInt(HKEY_LOCAL_MACHINE, key.c_str(), L"n", 64);
  CHECK(DeleteSettingKey(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_32KEY) == 0);
  CHECK_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, plain, KEY_WOW64_32KEY));
  CHECK(RegNumber(HKEY_LOCAL_MACHINE, plain, L"n", nullptr, KEY_WOW64_64KEY) == 64);
  RegRemoveTree(HKEY_LOCAL_MACHINE, plain, KEY_WOW64_64KEY);
}

// ---------------------------------------------------------------- the file

// Each settings-file case runs in a registry sandbox: what a case routes to
// the registry (a file not taken, say) never reaches the product's own key.
TEST_CASE("settings file: lines and entries") {
  RegistrySandbox sandbox;
  SettingsList list;
  std::wstring text =
      L"[Section]\r\nHKCU\\Setup\\ShellExt=1\r\n  indented=1\nnoequals\n\nHKCU\\MenuItems\\AlwaysArc=\"*.iso\"\r"
      L"B=bin:00ff\tx\nHKCU\\X = 1\nQ=\"\"quoted\"\" \t \n7=7\nE=\nhkcu\\setup\\shellext=9\nHKCU\\Setup\\ShellExt=2";
  ParseSettingsText(text.c_str(), text.size(), list);
  const SettingsEntry* e = list.Find(L"HKCU\\Setup\\ShellExt");
  REQUIRE(e);
  CHECK(std::wstring(e->text) == L"1");  // the first of two
  CHECK(e->kind == kSettingNumber);
  e = list.Find(L"HKCU\\MenuItems\\AlwaysArc");
  REQUIRE(e);
  CHECK(std::wstring(e->text) == L"*.iso");
  CHECK(e->kind == kSettingQuoted);
  e = list.Find(L"B");
  REQUIRE(e);
  CHECK(e->kind == kSettingBinary);
  CHECK(std::wstring(e->text) == L"00ff\tx");
  CHECK(list.Find(L"HKCU\\X ") != nullptr);  // the blank before "=" belongs to the name
  CHECK(list.Find(L"HKCU\\X") == nullptr);
  CHECK(std::wstring(list.Find(L"Q")->text) == L"\"quoted\"");
  CHECK(std::wstring(list.Find(L"E")->text) == L"");
  CHECK(list.Find(L"indented") == nullptr);
  CHECK(list.Find(L"7") == nullptr);
  CHECK(std::wstring(list.Find(L"hkcu\\setup\\shellext")->text) == L"9");  // names are case-sensitive
  GrowArray<const SettingsEntry*> all;
  CHECK(list.Collect(all) == 8);
}

TEST_CASE("settings file: first match, appends at the end, removals") {
  RegistrySandbox sandbox;
  SettingsList list;
  std::wstring text = L"A=1\nB=2\nA=3\nHKCU\\Setup\\x=1\nHKCU\\Setup\\Sub\\y=2\nHKCU\\Setupz=3\n";
  ParseSettingsText(text.c_str(), text.size(), list);
  list.Set(L"A", L"4", kSettingQuoted);
  CHECK(std::wstring(list.Find(L"A")->text) == L"4");
  list.Set(L"C", L"5", kSettingNumber);
  GrowArray<const SettingsEntry*> all;
  list.Collect(all);
  REQUIRE(all.Count() == 7);
  CHECK(std::wstring(all[2]->text) == L"3");  // the second A keeps its place and text
  CHECK(std::wstring(all[6]->name) == L"C");
  CHECK(list.AnyUnder(L"HKCU\\Setup\\"));
  list.RemoveUnder(L"HKCU\\Setup\\");
  CHECK_FALSE(list.AnyUnder(L"HKCU\\Setup\\"));
  CHECK(list.Find(L"HKCU\\Setupz") != nullptr);
  list.Remove(L"A");  // both of them
  CHECK(list.Find(L"A") == nullptr);
  GrowArray<const SettingsEntry*> rest;
  list.Collect(rest);
  CHECK(rest.Count() == 3);
  list.Set(L"A", L"6", kSettingNumber);
  CHECK(std::wstring(list.Find(L"A")->text) == L"6");
}

TEST_CASE("settings file: encodings and their traps") {
  RegistrySandbox sandbox;
  GrowArray<wchar_t> text;
  auto decode = [&](const Bytes& b) {
    DecodeSettingsBytes(b.data(), b.size(), text);
    return std::wstring(text.Data());
  };
  CHECK(decode(Utf16(L"A=\x0416\r\n")) == L"A=\x0416\r\n");
  Bytes big = {0xFE, 0xFF, 0x00, 'A', 0x00, '=', 0x04, 0x16, 0x00, '\n'};
  CHECK(decode(big) == L"A=\x0416\n");
  Bytes odd = Utf16(L"A=1\n");
  odd.push_back('Z');  // an odd last byte is dropped
  CHECK(decode(odd) == L"A=1\n");
  // A UTF-16 mark without a single control byte behind it is not UTF-16.
  Bytes noControl = {0xFF, 0xFE, 0x41, 0x20, 0x42, 0x21};
  CHECK(decode(noControl).size() == 6);
  Bytes utf8 = {0xEF, 0xBB, 0xBF, 'A', '=', 0xC3, 0xA9};
  CHECK(decode(utf8) == L"A=\x00e9");
  // A UTF-8 mark followed by malformed bytes is read as ANSI: the mark's
  // characters start the first line, which is then no entry.
  Bytes malformed = {0xEF, 0xBB, 0xBF, 'A', '=', 0xC3, '\n', 'B', '=', '1'};
  std::wstring ansi = decode(malformed);
  CHECK(ansi.size() == 10);
  SettingsList list;
  ParseSettingsText(ansi.c_str(), ansi.size(), list);
  CHECK(list.Find(L"A") == nullptr);
  CHECK(list.Find(L"B") != nullptr);
  CHECK(decode(Bytes{0xEF, 0xBB, 0xBF}) == L"\x00ef\x00bb\x00bf");  // three bytes only: ANSI
  CHECK(decode(Bytes{}) == L"");
}

static std::wstring SavedText(const std::wstring& path) {
  Bytes b = ReadBytes(path);
  REQUIRE(b.size() >= 2);
  CHECK(b[0] == 0xFF);
  CHECK(b[1] == 0xFE);
  std::wstring out;
  for (size_t i = 2; i + 1 < b.size(); i += 2) out += (wchar_t)(b[i] | (b[i + 1] << 8));
  return out;
}

TEST_CASE("settings file: the example file byte for byte") {
  RegistrySandbox sandbox;
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  WriteText(ini, "");
  UseFile(ini);
  CHECK(IsSettingsFileLoaded());
  WriteSettingInt(L"Setup\\MenuItems", L"ExtrTo", 1);
  WriteSettingString(L"Setup\\MenuItems", L"AlwaysArc", L"*.iso");
  WriteSettingInt(L"Setup", L"ShellExt", 1);
  CHECK(SaveSettingsFile());
  Bytes expected = Utf16(
      L"Global\\AppData=1\r\nGlobal\\Integration=1\r\nGlobal\\SaveSettings=1\r\n"
      L"HKCU\\Setup\\MenuItems\\AlwaysArc=\"*.iso\"\r\nHKCU\\Setup\\MenuItems\\ExtrTo=1\r\nHKCU\\Setup\\ShellExt=1\r\n");
  CHECK(ReadBytes(ini) == expected);
  CHECK_FALSE(Exists(ini + L".new"));
  ForgetSettingsFile();
}

TEST_CASE("settings file: every entry kind survives a save and a load") {
  RegistrySandbox sandbox;
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  WriteBytes(ini, Utf16(L"HKCU\\b=bin:0A1B\r\nHKCU\\q=\"\"edge\"\r\nHKCU\\n=-5\r\nHKLM\\m=x\r\nGlobal\\SaveSettings=7\r\n"));
  UseFile(ini);
  WriteSettingString(L"", L"text", L"line1\nline2");  // a line break ends the text when read again
  WriteSettingInt(L"", L"minus", -1);
  CHECK(SaveSettingsFile());
  UseFile(ini);
  CHECK(std::wstring(FindSettingEntry(L"HKCU\\b")) == L"0A1B");
  CHECK(std::wstring(FindSettingEntry(L"HKCU\\q")) == L"\"edge");
  CHECK(ReadSettingInt(L"", L"n", 0) == -5);
  CHECK(ReadSettingInt(L"", L"minus", 0) == -1);
  CHECK(std::wstring(FindSettingEntry(L"HKCU\\minus")) == L"4294967295");
  CHECK(std::wstring(FindSettingEntry(L"HKCU\\text")) == L"line1");
  CHECK(std::wstring(FindSettingEntry(L"Global\\SaveSettings")) == L"1");  // written back as 1 or 0
  CHECK(ReadSettingInt(HKEY_LOCAL_MACHINE, L"", L"m", 9) == 0);  // text parses as 0
  std::wstring saved = SavedText(ini);
  CHECK(saved.find(L"HKCU\\b=bin:0A1B\r\n") != std::wstring::npos);
  CHECK(saved.find(L"HKCU\\q=\"\"edge\"\r\n") != std::wstring::npos);
  ForgetSettingsFile();
}

TEST_CASE("settings file: routing while a file is in force") {
  RegistrySandbox sandbox;
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  WriteText(ini, "HKCU\\Setup\\ShellExt=0\n");
  UseFile(ini);
  CHECK(IsSystemIntegrationEnabled());
  CHECK(ReadSettingInt(L"Setup", L"ShellExt", 1) == 0);
  WriteSettingInt(L"Setup", L"ShellExt", 1);
  CHECK(std::wstring(FindSettingEntry(L"HKCU\\Setup\\ShellExt")) == L"1");
  CHECK_FALSE(RegKeyExists(HKEY_CURRENT_USER, L"Software\\Korvex"));
  WriteSettingString(HKEY_LOCAL_MACHINE, L"", L"exe64", L"C:\\K\\Korvex.exe");
  CHECK(std::wstring(FindSettingEntry(L"HKLM\\exe64")) == L"C:\\K\\Korvex.exe");
  CHECK_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, L"Software\\Korvex"));
  // HKEY_CLASSES_ROOT and absolute paths still go to the registry.
  CHECK(WriteSettingString(HKEY_CLASSES_ROOT, L".kvx", L"", L"Korvex") == 0);
  CHECK(RegText(HKEY_CLASSES_ROOT, L".kvx", L"") == L"Korvex");
  WriteSettingString(HKEY_LOCAL_MACHINE, L"\\Software\\Abs", L"v", L"1");
  CHECK(RegText(HKEY_LOCAL_MACHINE, L"Software\\Abs", L"v") == L"1");
  CHECK(SettingKeyExists(HKEY_CURRENT_USER, L"Setup"));
  CHECK_FALSE(SettingKeyExists(HKEY_CURRENT_USER, L"Set"));
  DeleteSettingTree(HKEY_CURRENT_USER, L"");  // every HKCU entry, nothing else
  CHECK(FindSettingEntry(L"HKCU\\Setup\\ShellExt") == nullptr);
  CHECK(FindSettingEntry(L"HKLM\\exe64") != nullptr);
  CHECK(FindSettingEntry(L"Global\\Integration") != nullptr);
  ForgetSettingsFile();
}

TEST_CASE("settings file: with Integration off nothing outside the file is touched") {
  RegistrySandbox sandbox;
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  WriteText(ini, "Global\\Integration=0\n");
  RegPutText(HKEY_CLASSES_ROOT, L".zip", L"", L"Other.Zip");
  UseFile(ini);
  CHECK_FALSE(IsSystemIntegrationEnabled());
  CHECK(WriteSettingString(HKEY_CLASSES_ROOT, L".kvx", L"", L"Korvex") == 0);
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".kvx"));
  CHECK(ReadString(HKEY_CLASSES_ROOT, L".zip", L"", L"dflt") == L"dflt");
  CHECK_FALSE(SettingKeyExists(HKEY_CLASSES_ROOT, L".zip"));
  DeleteSettingTree(HKEY_CLASSES_ROOT, L".zip");
  DeleteSettingValue(HKEY_CLASSES_ROOT, L".zip", L"");
  CHECK(RegText(HKEY_CLASSES_ROOT, L".zip", L"") == L"Other.Zip");
  CHECK(WriteSettingInt(HKEY_LOCAL_MACHINE, L"\\Software\\Abs", L"v", 1) == 0);
  CHECK_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, L"Software\\Abs"));
  // The file itself still serves.
  WriteSettingInt(L"Setup", L"ShellExt", 0);
  CHECK(ReadSettingInt(L"Setup", L"ShellExt", 1) == 0);
  ForgetSettingsFile();
}

TEST_CASE("settings file: SaveSettings off never writes; process end saves otherwise") {
  RegistrySandbox sandbox;
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  WriteText(ini, "Global\\SaveSettings=0\nHKCU\\a=1\n");
  Bytes before = ReadBytes(ini);
  UseFile(ini);
  WriteSettingInt(L"", L"a", 2);
  CHECK_FALSE(SaveSettingsFile());
  CloseSettingsStore();
  CHECK(ReadBytes(ini) == before);

  WriteText(ini, "HKCU\\a=1\n");
  UseFile(ini);
  WriteSettingInt(L"", L"a", 2);
  CloseSettingsStore();
  CHECK(SavedText(ini).find(L"HKCU\\a=2\r\n") != std::wstring::npos);
  CHECK_FALSE(IsSettingsFileLoaded());

  // A file deleted meanwhile (an uninstall that lists it) is not brought back.
  UseFile(ini);
  DeleteFileW(ini.c_str());
  CloseSettingsStore();
  CHECK_FALSE(Exists(ini));
}

TEST_CASE("settings file: saved beside a reader; a save that cannot complete leaves the old file as it was") {
  RegistrySandbox sandbox;
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  WriteText(ini, "HKCU\\a=1\n");
  Bytes before = ReadBytes(ini);
  UseFile(ini);
  WriteSettingInt(L"", L"a", 2);
  // Another program holds the file: without letting others write it, it
  // cannot be saved (no more than the plain open of the file could); a
  // reader that lets others write (an editor, a backup tool), with its
  // deletion shared or not, does not keep it from being saved in place.
  int value = 2;
  for (auto row : {std::make_pair(0ul, false), {(DWORD)FILE_SHARE_READ, false},
                   {(DWORD)(FILE_SHARE_READ | FILE_SHARE_WRITE), true},
                   {(DWORD)(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), true}}) {
    CAPTURE(row.first);
    HANDLE held = CreateFileW(ini.c_str(), GENERIC_READ, row.first, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(held != INVALID_HANDLE_VALUE);
    if (row.second) WriteSettingInt(L"", L"a", ++value);
    CHECK(SaveSettingsFile() == row.second);
    CloseHandle(held);
    if (row.second) CHECK(SavedText(ini).find(L"HKCU\\a=" + std::to_wstring(value) + L"\r\n") != std::wstring::npos);
    else CHECK(ReadBytes(ini) == before);
  }
  CHECK_FALSE(Exists(ini + L".new"));  // no file beside it

  // Links planted beside it, at its name, or in place of the folder: the
  // file they lead to never changes.
  std::wstring victim = folder / L"victim.txt", linked = folder / L"linked";
  WriteText(victim, "HKCU\\a=7\n");
  MakeDirs(linked);
  Bytes victimBefore = ReadBytes(victim);
  REQUIRE(PlantLink(ini + L".new", victim));  // where an earlier save kept its twin
  WriteSettingInt(L"", L"a", 3);
  CHECK(SaveSettingsFile());
  CHECK(SavedText(ini).find(L"HKCU\\a=3\r\n") != std::wstring::npos);
  RemoveLink(ini + L".new");
  std::wstring redirected = folder / L"redirected", linkedIni = redirected + L"\\Korvex.ini";
  REQUIRE(PlantLink(redirected, linked));
  WriteText(linkedIni, "HKCU\\a=8\n");
  Bytes linkedBefore = ReadBytes(linkedIni);
  UseFile(linkedIni);
  WriteSettingInt(L"", L"a", 4);
  CHECK_FALSE(SaveSettingsFile());
  CHECK(ReadBytes(linked + L"\\Korvex.ini") == linkedBefore);
  REQUIRE(PlantLink(folder / L"Linked.ini", victim));
  UseFile(folder / L"Linked.ini");
  CHECK_FALSE(IsSettingsFileLoaded());  // a link is no settings file: nothing is read through it
  CHECK_FALSE(SaveSettingsFile());
  CHECK(ReadBytes(victim) == victimBefore);
  ForgetSettingsFile();
}

TEST_CASE("settings file: hostile content is read without harm") {
  RegistrySandbox sandbox;
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  unsigned seed = 12345;
  auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  Bytes garbage(300000);
  for (auto& b : garbage) b = (unsigned char)next();
  WriteBytes(ini, garbage);
  UseFile(ini);
  CHECK(IsSettingsFileLoaded());
  Bytes truncated = Utf16(L"HKCU\\a=1\r\nHKCU\\b=");
  truncated.pop_back();
  WriteBytes(ini, truncated);
  UseFile(ini);
  CHECK(ReadSettingInt(L"", L"a", 0) == 1);
  std::string longLine = "HKCU\\long=" + std::string(100000, 'x') + "\nHKCU\\after=1\n";
  WriteText(ini, longLine);
  UseFile(ini);
  CHECK(TextLength(FindSettingEntry(L"HKCU\\long")) == 100000);
  CHECK(ReadSettingInt(L"", L"after", 0) == 1);
  ForgetSettingsFile();
}

// The file as the reads see it grown past 64 MiB (of zeros, after what is
// really in it), without such a file on the disk.
static size_t g_Filler;
static BOOL WINAPI ReadGrown(HANDLE file, void* buffer, DWORD count, DWORD* got, OVERLAPPED* overlapped) {
  BOOL ok = RealFunction(&ReadFile, "ReadFile")(file, buffer, count, got, overlapped);
  if (ok && *got == 0 && g_Filler) {
    *got = count < g_Filler ? count : (DWORD)g_Filler;
    ZeroMemory(buffer, *got);
    g_Filler -= *got;
  }
  return ok;
}
KVX_CHILD(settings_scarce_memory) {
  ScarceMemory scarce(1 << 20);
  UseFile(_wgetenv(L"KVX_INI"));
  return 0;  // not reached: the file does not fit
}

TEST_CASE("settings file: read whole whatever its size; memory that runs out is the memory error") {
  RegistrySandbox sandbox;
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  WriteBytes(ini, Utf16(L"Global\\Integration=0\r\nHKCU\\Setup\\k=" + std::wstring(200, L'v') + L"\r\n"));
  {
    ImportHooks hooks({{"ReadFile", (void*)ReadGrown}});
    g_Filler = (64 << 20) + 4096;
    UseFile(ini);
  }
  REQUIRE(IsSettingsFileLoaded());
  CHECK(TextLength(FindSettingEntry(L"HKCU\\Setup\\k")) == 200);
  CHECK(WriteSettingString(kMachineClasses, L".kvx", L"", L"Korvex") == 0);  // Integration off: dropped
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".kvx"));
  ForgetSettingsFile();
  WriteText(ini, std::string(4 << 20, 'x'));
  CHECK(RunChild("settings_scarce_memory", {L"KVX_INI=" + ini}) == 8);
}

KVX_CHILD(reads_file_beside_program) {
  // Started as a copy of this program in a folder that holds a settings file.
  int marker = ReadSettingInt(L"Setup", L"Marker", 0);
  CloseSettingsStore();
  return marker;
}

TEST_CASE("settings file: found beside the program") {
  RegistrySandbox sandbox;
  TempFolder folder;
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring copy = folder / L"copy.exe";
  REQUIRE(CopyFileW(self, copy.c_str(), FALSE));
  WriteText(folder / L"Korvex.ini", "HKCU\\Setup\\Marker=42\n");
  ProcessResult r = RunProcess(L"\"" + copy + L"\" --child=reads_file_beside_program");
  CHECK(r.exitCode == 42);
  // The three switches were written back at process end.
  Bytes saved = ReadBytes(folder / L"Korvex.ini");
  CHECK(saved.size() > 2);
  CHECK(saved[0] == 0xFF);
}
