// The language file, text lookup, the language module and the localisation
// of dialogs.
#include <string.h>

#include <map>
#include <sstream>

#include "app/command.h"
#include "lang/dialog.h"
#include "lang/language.h"
#include "model/options.h"
#include "test.h"
#include "util/text.h"

static void UseOwnResources() {
  ReleaseLanguageModule();
  ProgramInstance = ResourceInstance = GetModuleHandleW(nullptr);
}

static void Parse(const std::wstring& text) {
  GrowArray<wchar_t> chars;
  chars.AddElements(text.size());
  for (size_t i = 0; i < text.size(); i++) chars[i] = text[i];
  ParseLanguageText(chars, g_LanguageFile);
}

static std::wstring Lookup(const char* key) {
  wchar_t buffer[70000];
  return FindTextByKey(key, buffer, 70000) ? buffer : L"<missing>";
}

static Bytes Utf16Bytes(const std::wstring& text) {
  Bytes b;
  for (wchar_t c : text) b.push_back((unsigned char)(c & 0xFF)), b.push_back((unsigned char)(c >> 8));
  return b;
}

// Loads a language file of these bytes from a scratch folder.
static void LoadBytes(const Bytes& bytes) {
  TempFolder folder;
  std::wstring path = folder / L"uninstall.lng";
  WriteBytes(path, bytes);
  FreeLanguageFile();
  LoadLanguageFile(path.c_str());
}

static Bytes Ansi(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST_CASE("the key table") {
  size_t strings = 0, setup = 0, done = 0, items = 0;
  for (const TextKeyRow& row : TextKeyTable) {
    std::string key = row.key;
    if (key.compare(0, 2, "s:") == 0) strings++;
    else if (key.compare(0, 10, "$SETUPDLG:") == 0) setup++;
    else if (key.compare(0, 9, "$DONEDLG:") == 0) done++;
    else if (key.compare(0, 19, "$SETUPCONTEXTITEMS:") == 0) items++;
    bool sizeOrCaption = key.size() > 5 && (key.substr(key.size() - 5) == ":SIZE" || key.find(":CAPTION") != std::string::npos);
    CHECK((row.id == 0) == sizeOrCaption);
    CHECK(key.size() <= kMaxKeyLength);
  }
  CHECK(strings == 33);
  CHECK(setup == 16 + kArchiveTypeCount);  // a box for each archive type
  CHECK(done == 10);
  CHECK(items == 35);
  // Each row's id is the one res/resource.h gives the name in its key (the
  // dialog buttons IDOK, IDCANCEL and IDHELP are Windows' own).
  std::map<std::string, uint32_t> defined = {{"IDOK", 1}, {"IDCANCEL", 2}, {"IDHELP", 9}};
  Bytes header = ReadBytes(SourceDir() + L"\\res\\resource.h");
  std::istringstream lines(std::string(header.begin(), header.end()));
  for (std::string line; std::getline(lines, line);) {
    char name[64];
    unsigned value;
    if (sscanf(line.c_str(), "#define %63s %u", name, &value) == 2) defined[name] = value;
  }
  REQUIRE(defined.size() > 80);
  for (const TextKeyRow& row : TextKeyTable) {
    std::string key = row.key, name = key.substr(key.find(':') + 1);
    if (row.id == 0) continue;
    CAPTURE(key);
    if (name.compare(0, 9, "IDC_ASSOC") == 0 && !defined.count(name)) continue;  // an archive type's box: its table's
    REQUIRE(defined.count(name) == 1);
    CHECK(defined[name] == row.id);
  }
  // Every string id has a built-in English text.
  UseOwnResources();
  FreeLanguageFile();
  for (const TextKeyRow& row : TextKeyTable)
    if (row.key[0] == 's') CHECK(TextLength(GetText(row.id)) > 0);
}

TEST_CASE("marker search in both encodings") {
  bool wide = true;
  const char plain[] = "xx***messages**yy";
  CHECK(FindLanguageMarker((const unsigned char*)plain, sizeof plain - 1, wide) == 2);
  CHECK_FALSE(wide);
  Bytes w = Utf16Bytes(L"**messages**");  // one asterisk short
  CHECK(FindLanguageMarker(w.data(), w.size(), wide) == -1);
  w = Utf16Bytes(L"***messages**");
  w.insert(w.begin(), 'z');  // odd offset
  CHECK(FindLanguageMarker(w.data(), w.size(), wide) == 1);
  CHECK(wide);
  CHECK(FindLanguageMarker(w.data(), w.size() - 1, wide) == -1);  // cut short
}

TEST_CASE("marker positions in the file") {
  UseOwnResources();
  SUBCASE("across the first block's end") {
    std::string text(8180, 'h');
    text += "***messages**\r\nIDS_UNINSTALLKVX \"found\"\r\n";
    LoadBytes(Ansi(text));
    CHECK(Lookup("s:IDS_UNINSTALLKVX") == L"found");
  }
  SUBCASE("UTF-16 at an odd offset, also where the 16-byte step would miss it") {
    for (size_t at : {size_t(1), size_t(8151), size_t(8165), size_t(8175), size_t(16337)}) {
      CAPTURE(at);
      Bytes b(at, 'h');
      Bytes text = Utf16Bytes(L"***messages**\r\nIDS_UNINSTALLKVX \"wide \x05d0\"\r\n");
      b.insert(b.end(), text.begin(), text.end());
      LoadBytes(b);
      CHECK(Lookup("s:IDS_UNINSTALLKVX") == L"wide \x05d0");
    }
  }
  SUBCASE("a marker near the very end, a missing marker, a marker too far in") {
    LoadBytes(Ansi(std::string(100, 'h') + "***messages**\nK x"));  // the last line has no end
    CHECK(Lookup("s:K") == L"x");
    LoadBytes(Ansi("IDS_UNINSTALLKVX \"no marker\"\r\n"));
    CHECK(g_LanguageFile.Count() == 0);
    std::string distant(256 * 8192, 'h');
    distant += "***messages**\r\nIDS_UNINSTALLKVX x\r\n";
    LoadBytes(Ansi(distant));
    CHECK(g_LanguageFile.Count() == 0);
    // Far in, but where a search of 256 blocks stepping 8176 bytes reaches
    // (8-bit up to 2,093,056, wide up to 2,093,040): found.
    for (size_t at : {size_t(2090000), size_t(2093056)}) {
      CAPTURE(at);
      LoadBytes(Ansi(std::string(at, 'h') + "***messages**\r\nIDS_UNINSTALLKVX far\r\n"));
      CHECK(Lookup("s:IDS_UNINSTALLKVX") == L"far");
    }
    Bytes wideFar(2093040, 'h'), text = Utf16Bytes(L"***messages**\r\nIDS_UNINSTALLKVX far\r\n");
    wideFar.insert(wideFar.end(), text.begin(), text.end());
    LoadBytes(wideFar);
    CHECK(Lookup("s:IDS_UNINSTALLKVX") == L"far");
  }
  SUBCASE("a missing file") {
    FreeLanguageFile();
    LoadLanguageFile(L"Z:\\no\\such\\uninstall.lng");
    CHECK(g_LanguageFile.Count() == 0);
    CHECK(std::wstring(GetText(IDS_UNINSTALLKVX)) == L"Uninstall Korvex");
  }
  FreeLanguageFile();
}

TEST_CASE("sections, keys and texts") {
  Parse(
      L"***messages**\r\n"
      L"IDS_A, \"comma and quotes\"\r\n"
      L":DIALOG SETUPDLG\n"
      L"IDC_SHELLEXT\tShell\n"
      L"CAPTION   \"Caption with trailing blanks\"  \t\n"
      L":MENU  Main extra\n"
      L"ITEM x\n"
      L":STRINGSX ignored\n"
      L":Unknown section\n"
      L"AFTER y\n"
      L":STRINGS\n"
      L"IDS_B \"ends in escaped quote\\\"\n"
      L"IDS_C back\\qslash \\\\ \\n\\r\\t end\n"
      L"IDS_D \"\"\n"
      L"IDS_E \"\n"
      L"IDS_F inner \"quotes\" stay\n"
      L"1digit x\n"
      L" IDS_G leading blank\n"
      L"IDS_H\n"
      L"IDS_I  \n");
  CHECK(Lookup("s:IDS_A") == L"comma and quotes");
  CHECK(Lookup("$SETUPDLG:IDC_SHELLEXT") == L"Shell");
  CHECK(Lookup("$SETUPDLG:CAPTION") == L"Caption with trailing blanks");
  CHECK(Lookup("@Main:ITEM") == L"x");
  CHECK(Lookup("@Main:AFTER") == L"y");  // neither colon line was a section
  CHECK(Lookup("s:IDS_B") == L"ends in escaped quote");
  CHECK(Lookup("s:IDS_C") == L"back\\qslash \\ \n\r\t end");
  CHECK(Lookup("s:IDS_D") == L"");
  CHECK(Lookup("s:IDS_E") == L"");
  CHECK(Lookup("s:IDS_F") == L"inner \"quotes\" stay");
  CHECK(Lookup("s:IDS_G") == L"<missing>");
  CHECK(Lookup("s:IDS_H") == L"<missing>");
  CHECK(Lookup("s:IDS_I") == L"");
  FreeLanguageFile();
}

TEST_CASE("key and text limits") {
  std::wstring key49(47, L'K'), key60(58, L'L'), key120(120, L'M');
  std::wstring longText(70000, L't');
  Parse(L"***messages**\n" + key49 + L" a\n" + key60 + L" b\n" + key120 + L" c\nIDS_LONG " + longText +
        L"\nIDS_NEXT d\n");
  CHECK(Lookup(("s:" + Narrow(key49)).c_str()) == L"a");  // 49 characters with the prefix
  CHECK(Lookup(("s:" + Narrow(key60)).c_str()) == L"<missing>");
  CHECK(Lookup(("s:" + Narrow(key60)).substr(0, 49).c_str()) == L"b");  // stored cut
  CHECK(g_LanguageFile.Count() == 4);  // the key word beyond 99 characters is no entry
  CHECK(Lookup("s:IDS_LONG").size() == kMaxTextLength);
  CHECK(Lookup("s:IDS_NEXT") == L"d");
  // Section names of any length: the key is built within its buffer and
  // kept to 49 characters.
  for (size_t n : {47, 48, 97, 98, 99, 100, 110}) {
    CAPTURE(n);
    std::wstring name(n, L'N');
    Parse(L"***messages**\n:DIALOG " + name + L"\nIDC_X a\n:MENU " + name + L"\nIDC_Y b\n");
    std::string dialogKey = ("$" + Narrow(name) + ":IDC_X").substr(0, 49);
    std::string menuKey = ("@" + Narrow(name) + ":IDC_Y").substr(0, 49);
    CHECK(Lookup(dialogKey.c_str()) == L"a");
    CHECK(Lookup(menuKey.c_str()) == L"b");
  }
  // A NUL ends the text.
  std::wstring withNul = L"***messages**\nIDS_A a\n";
  withNul += L'\0';
  withNul += L"IDS_B b\n";
  Parse(withNul);
  CHECK(Lookup("s:IDS_A") == L"a");
  CHECK(Lookup("s:IDS_B") == L"<missing>");
  FreeLanguageFile();
}

TEST_CASE("DIRECTION toggles right to left") {
  Parse(L"***messages**\n:DIRECTION RTL\nIDS_A a\n");
  CHECK(g_LanguageFile.RightToLeft);
  Parse(L"***messages**\n:DIRECTION  RTL\n:DIRECTION LTR\n");
  CHECK_FALSE(g_LanguageFile.RightToLeft);
  Parse(L"***messages**\n:DIRECTION rtl\n");
  CHECK_FALSE(g_LanguageFile.RightToLeft);
  Parse(L"***messages**\n:DIRECTION RTLX\n");
  CHECK_FALSE(g_LanguageFile.RightToLeft);
  FreeLanguageFile();
}

TEST_CASE("a text from GetText stays valid for seven more calls") {
  UseOwnResources();
  FreeLanguageFile();
  const wchar_t* first = GetText(IDS_UNINSTALLKVX);
  std::wstring saved = first;
  std::vector<const wchar_t*> seen = {first};
  for (int i = 0; i < 7; i++) seen.push_back(GetText(IDS_BETA));
  for (size_t i = 1; i < seen.size(); i++) CHECK(seen[i] != first);
  CHECK(std::wstring(first) == saved);  // still valid after seven more
}

TEST_CASE("the lookup chain: language file, language module, own string table") {
  RegistrySandbox sandbox;
  UseOwnResources();
  FreeLanguageFile();
  std::wstring fixtures = BuildDir() + L"\\fixtures";
  RegPutText(HKEY_CURRENT_USER, L"Software\\Korvex\\General", L"LanguageFolder", fixtures);
  LoadLanguageModule(GetModuleHandleW(nullptr));
  REQUIRE(IsLanguageModuleLoaded());
  CHECK(ResourceInstance != ProgramInstance);
  CHECK(std::wstring(GetText(IDS_UNINSTALLKVX)) == L"Korvex deinstallieren");
  Parse(L"***messages**\nIDS_UNINSTALLKVX \"from the file\"\n");
  CHECK(std::wstring(GetText(IDS_UNINSTALLKVX)) == L"from the file");
  CHECK(std::wstring(GetText(IDS_BETA)) == L"Beta");  // not in the file: the module
  wchar_t buffer[4];
  CHECK(std::wstring(LoadText(IDS_UNINSTALLKVX, buffer, 4)) == L"fro");
  ReleaseLanguageModule();
  CHECK(ResourceInstance == ProgramInstance);
  CHECK(std::wstring(GetText(IDS_BETA)) == L"beta");
  CHECK(std::wstring(GetText(9999)) == L"");  // found nowhere
  FreeLanguageFile();
}

TEST_CASE("FindLanguageFile and the language folder") {
  RegistrySandbox sandbox;
  TempFolder folder;
  WriteText(folder / L"uninstall.lng", "x");
  wchar_t out[2048];
  FindLanguageFile(L"C:\\K\\uninstall.lng", out);
  CHECK(std::wstring(out) == L"C:\\K\\uninstall.lng");  // no setting
  SetEnvironmentVariableW(L"KVX_LNG_TEST", folder.Path().c_str());
  RegPutRaw(HKEY_CURRENT_USER, L"Software\\Korvex\\General", L"LanguageFolder", REG_EXPAND_SZ, L"%KVX_LNG_TEST%",
            30);
  FindLanguageFile(L"C:\\K\\uninstall.lng", out);
  CHECK(std::wstring(out) == folder / L"uninstall.lng");
  FindLanguageFile(L"C:\\K\\license.txt", out);  // not there: unchanged
  CHECK(std::wstring(out) == L"C:\\K\\license.txt");
  wchar_t small[8];
  FindLanguageFile(L"C:\\K\\uninstall.lng", small);
  CHECK(TextLength(small) == 7);
}

// ---------------------------------------------------------------- dialogs

struct Geometry {
  RECT window, client;
  std::vector<RECT> controls;  // in client coordinates
  std::vector<RECT> dropped;   // CB_GETDROPPEDCONTROLRECT, for the combo boxes
  std::wstring caption;
};

static const wchar_t* g_DialogName;

static INT_PTR CALLBACK HookedProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (DialogHook(window, message, wParam, lParam, g_DialogName, nullptr)) return TRUE;
  return message == WM_INITDIALOG;
}

static Geometry Measure(const wchar_t* dialog, const std::wstring& languageText) {
  Parse(L"***messages**\n" + languageText);
  g_DialogName = dialog;
  HWND window = CreateDialogParamW(GetModuleHandleW(nullptr), dialog, nullptr, HookedProc, 0);
  REQUIRE(window);
  Geometry g;
  GetWindowRect(window, &g.window);
  GetClientRect(window, &g.client);
  for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    RECT r;
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, window, (POINT*)&r, 2);
    g.controls.push_back(r);
    wchar_t className[32];
    GetClassNameW(c, className, 32);
    if (lstrcmpiW(className, L"ComboBox") == 0) {
      RECT d = {};
      SendMessageW(c, CB_GETDROPPEDCONTROLRECT, 0, (LPARAM)&d);
      g.dropped.push_back(d);
    }
  }
  wchar_t caption[256];
  GetWindowTextW(window, caption, 256);
  g.caption = caption;
  DestroyWindow(window);
  FreeLanguageFile();
  return g;
}

static int Width(const RECT& r) { return r.right - r.left; }
static int Height(const RECT& r) { return r.bottom - r.top; }

TEST_CASE("SIZE 120*100 widens the client area and every control by a fifth, left to right and mirrored") {
  UseOwnResources();
  // Mirrored, a control's x (as its parent's client coordinates give it)
  // counts from the right: it scales as the left-to-right one does.
  for (const wchar_t* direction : {L"", L":DIRECTION RTL\n"}) {
    CAPTURE(Narrow(direction));
    Geometry before = Measure(L"TESTPLAIN", direction);
    Geometry after =
        Measure(L"TESTPLAIN", direction + std::wstring(L":DIALOG TESTPLAIN\nSIZE 120*100\nCAPTION \"Scaled\"\n"));
    CHECK(after.caption == L"Scaled");
    // The frame is measured one pixel too wide (window width + 1), so the client
    // area comes out one pixel larger than the percentage.
    CHECK(abs(Width(after.client) - Width(before.client) * 120 / 100) <= 1);
    CHECK(abs(Height(after.client) - Height(before.client)) <= 1);
    CHECK(after.window.left == before.window.left);  // no DS_CENTER: the top-left corner stays
    CHECK(after.window.top == before.window.top);
    REQUIRE(after.controls.size() == before.controls.size());
    for (size_t i = 0; i < before.controls.size(); i++) {
      CAPTURE(i);
      const RECT &b = before.controls[i], &a = after.controls[i];
      CHECK(abs(a.left - b.left * 120 / 100) <= 2);
      CHECK(abs(Width(a) - Width(b) * 120 / 100) <= 2);
      CHECK(abs(a.top - b.top) <= 1);
    }
  }
}

TEST_CASE("SIZE 100*100 and malformed sizes change texts only") {
  UseOwnResources();
  Geometry before = Measure(L"TESTPLAIN", L"");
  // Percentages beyond 65535 would take the window arithmetic past 32 bits
  // (or, read as a 64-bit number and cut, look like 120).
  for (const wchar_t* size : {L"100*100", L"120", L"0*120", L"-5*120", L"abc", L"*", L"30000000*100", L"100*30000000",
                              L"65536*120", L"4294967416*100", L"18446744073709551736*120"}) {
    CAPTURE(Narrow(size));
    Geometry after = Measure(L"TESTPLAIN", std::wstring(L":DIALOG TESTPLAIN\nSIZE ") + size + L"\nCAPTION New\n");
    CHECK(after.caption == L"New");
    CHECK(Width(after.window) == Width(before.window));
    CHECK(Height(after.window) == Height(before.window));
    for (size_t i = 0; i < before.controls.size(); i++) CHECK(after.controls[i].left == before.controls[i].left);
  }
  int w, h;
  CHECK(ParseDialogScale(L"150*90", w, h));
  CHECK(w == 150);
  CHECK(h == 90);
  CHECK_FALSE(ParseDialogScale(L"100*100", w, h));
  CHECK(ParseDialogScale(L"100*101", w, h));
  CHECK(ParseDialogScale(L"65535*1", w, h));
  CHECK(w == 65535);
}

TEST_CASE("a drop-down combo box keeps the room of its list; a simple one does not") {
  UseOwnResources();
  Geometry before = Measure(L"TESTPLAIN", L"");
  Geometry after = Measure(L"TESTPLAIN", L":DIALOG TESTPLAIN\nSIZE 100*150\n");
  // Controls: edit, drop-down list combo, simple combo, button.
  REQUIRE(before.controls.size() >= 4);
  REQUIRE(before.dropped.size() == 2);
  int listBefore = Height(before.dropped[0]);
  int listAfter = Height(after.dropped[0]);
  // Without the extra room the list would shrink to what is left below the
  // scaled selection field; with it the list grows at least with the dialog.
  CHECK(listAfter >= listBefore * 150 / 100);
  CHECK(abs(Height(after.controls[2]) - Height(before.controls[2]) * 150 / 100) <= 2);
}

TEST_CASE("a centred dialog keeps its centre and never moves to negative coordinates") {
  UseOwnResources();
  Geometry before = Measure(L"TESTCENTER", L"");
  Geometry after = Measure(L"TESTCENTER", L":DIALOG TESTCENTER\nSIZE 150*150\n");
  int cxBefore = (before.window.left + before.window.right) / 2, cyBefore = (before.window.top + before.window.bottom) / 2;
  int cxAfter = (after.window.left + after.window.right) / 2, cyAfter = (after.window.top + after.window.bottom) / 2;
  CHECK(abs(cxAfter - cxBefore) <= 2);
  CHECK(abs(cyAfter - cyBefore) <= 2);
  Geometry huge = Measure(L"TESTCENTER", L":DIALOG TESTCENTER\nSIZE 800*900\n");
  CHECK(huge.window.left == 0);
  CHECK(huge.window.top == 0);
}

TEST_CASE("control texts of a real dialog come from the language file") {
  UseOwnResources();
  Parse(L"***messages**\n:DIALOG DONEDLG\nIDC_THANKS Danke\nCAPTION Fertig\n");
  g_DialogName = L"DONEDLG";
  HWND window = CreateDialogParamW(GetModuleHandleW(nullptr), L"DONEDLG", nullptr, HookedProc, 0);
  REQUIRE(window);
  wchar_t text[256];
  GetDlgItemTextW(window, IDC_THANKS, text, 256);
  CHECK(std::wstring(text) == L"Danke");
  GetDlgItemTextW(window, IDC_VIEWHELP, text, 256);
  CHECK(std::wstring(text) == L"Read &help");  // no text in the file: the template's
  GetWindowTextW(window, text, 256);
  CHECK(std::wstring(text) == L"Fertig");
  // WM_HELP is answered as handled, with or without a topic to show.
  CHECK(DialogHook(window, WM_HELP, 0, 0, L"DONEDLG", nullptr));
  CHECK_FALSE(DialogHook(window, WM_COMMAND, IDHELP, 0, L"DONEDLG", nullptr));
  CHECK_FALSE(DialogHook(window, WM_TIMER, 0, 0, L"DONEDLG", nullptr));
  DestroyWindow(window);
  FreeLanguageFile();
}

// Right to left changes the whole process's layout, so it is checked in
// children. Each returns a bit mask of what it saw.
static int RightToLeftFindings() {
  int found = 0;
  if (g_LanguageFile.RightToLeft) found |= 1;
  DWORD layout = 0;
  if (GetProcessDefaultLayout(&layout) && (layout & LAYOUT_RTL)) found |= 2;
  g_DialogName = L"TESTPLAIN";
  HWND window = CreateDialogParamW(GetModuleHandleW(nullptr), L"TESTPLAIN", nullptr, HookedProc, 0);
  if (window && (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_LAYOUTRTL)) found |= 4;
  if (MessageStyle(0) & MB_RTLREADING) found |= 8;
  return found;
}

KVX_CHILD(rtl_from_file) {
  ProgramInstance = ResourceInstance = GetModuleHandleW(nullptr);
  wchar_t path[MAX_PATH];
  GetEnvironmentVariableW(L"KVX_LNG_FILE", path, MAX_PATH);
  LoadLanguageFile(path);
  return RightToLeftFindings();
}

KVX_CHILD(rtl_from_module) {
  RegistrySandbox sandbox;
  wchar_t folder[MAX_PATH];
  GetEnvironmentVariableW(L"KVX_LNG_FOLDER", folder, MAX_PATH);
  RegPutText(HKEY_CURRENT_USER, L"Software\\Korvex\\General", L"LanguageFolder", folder);
  LoadLanguageModule(GetModuleHandleW(nullptr));
  LoadLanguageFile(L"uninstall.lng");
  return RightToLeftFindings() | (IsLanguageModuleLoaded() ? 16 : 0);
}

// A language file whose reading needs more memory than there is: no
// entries, the built-in texts (exit code 0); the memory error would end the
// process with 8.
KVX_CHILD(language_file_without_memory) {
  ProgramInstance = ResourceInstance = GetModuleHandleW(nullptr);
  wchar_t path[MAX_PATH];
  GetEnvironmentVariableW(L"KVX_LNG_FILE", path, MAX_PATH);
  {
    ScarceMemory scarce(1 << 20);
    if (scarce.Patched() == 0) return 3;
    LoadLanguageFile(path);
  }
  if (g_LanguageFile.Count() != 0) return 1;
  return std::wstring(GetText(IDS_UNINSTALLKVX)) == L"Uninstall Korvex" ? 0 : 2;
}

TEST_CASE("without memory for the file, the built-in texts serve") {
  TempFolder folder;
  for (bool wide : {false, true}) {
    CAPTURE(wide);
    std::string text = "***messages**\r\nIDS_UNINSTALLKVX \"from the file\"\r\n" + std::string(1800000, 'x');
    WriteBytes(folder / L"uninstall.lng", wide ? Utf16Bytes(Widen(text)) : Ansi(text));
    CHECK(RunChild("language_file_without_memory", {L"KVX_LNG_FILE=" + (folder / L"uninstall.lng")}) == 0);
  }
}

// CTest also runs this case with a UTF-8 system code page (KVX_EXPECT_ACP
// says which): multi-byte characters across every 64 KiB of the file.
TEST_CASE("a language file in the system code page is converted in whole characters") {
  UseOwnResources();
  wchar_t acp[16] = {};
  if (GetEnvironmentVariableW(L"KVX_EXPECT_ACP", acp, 16)) REQUIRE(GetACP() == (UINT)_wtoi(acp));
  std::wstring characters;
  for (int i = 0; i < 100; i++) characters += L"\x00fc\x20ac\x4e2d";
  // The line as the code page writes it (what it lacks substituted), and
  // its text as converting the line whole reads it back.
  std::wstring wide = L"IDS_X " + characters + L" x\r\n";
  std::string line(wide.size() * 4, '\0'), text = "***messages**\r\n";
  line.resize(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), (int)wide.size(), &line[0], (int)line.size(), nullptr, nullptr));
  for (int i = 0; i < 400; i++) text += line;
  std::wstring expected(line.size(), L'\0');
  expected.resize(MultiByteToWideChar(CP_ACP, 0, line.data(), (int)line.size() - 2, &expected[0], (int)line.size()));
  expected.erase(0, 6);
  LoadBytes(Ansi(text));
  REQUIRE(g_LanguageFile.Count() > 300);
  size_t wrong = 0;
  for (size_t i = 0; i < g_LanguageFile.Count(); i++) wrong += g_LanguageFile.Text(i) != expected;
  CHECK(wrong == 0);
  if (GetACP() == CP_UTF8) CHECK(expected == characters + L" x");
  FreeLanguageFile();
}

TEST_CASE("right to left from the file's DIRECTION and from the module's RTL resource") {
  TempFolder folder;
  WriteText(folder / L"uninstall.lng", "***messages**\r\n:DIRECTION RTL\r\n");
  CHECK(RunChild("rtl_from_file", {L"KVX_LNG_FILE=" + (folder / L"uninstall.lng")}) == 15);
  WriteText(folder / L"uninstall.lng", "***messages**\r\n:DIRECTION LTR\r\n");
  CHECK(RunChild("rtl_from_file", {L"KVX_LNG_FILE=" + (folder / L"uninstall.lng")}) == 0);

  // The module comes from the language folder the child's settings name.
  TempFolder languages;
  REQUIRE(CopyFileW(FixturePath(L"kvxlng_rtl.dll").c_str(), (languages / L"kvxlng.dll").c_str(), FALSE));
  CHECK(RunChild("rtl_from_module", {L"KVX_LNG_FOLDER=" + languages.Path()}) == 31);
}

TEST_CASE("hostile language files are read within bounds") {
  UseOwnResources();
  unsigned seed = 99;
  auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int round = 0; round < 20; round++) {
    Bytes b = Ansi("***messages**\r\n");
    if (round & 1) b = Utf16Bytes(L"***messages**\r\n");
    size_t n = 20000 + next() % 50000;
    for (size_t i = 0; i < n; i++) {
      unsigned r = next() % 100;
      b.push_back(r < 5 ? '\n' : r < 8 ? 0 : r < 10 ? '\\' : r < 12 ? '"' : r < 14 ? ':' : (unsigned char)next());
    }
    LoadBytes(b);
    for (size_t i = 0; i < g_LanguageFile.Count(); i++) CHECK(strlen(g_LanguageFile.Key(i)) <= kMaxKeyLength);
  }
  // A file of 100 MB: only the read limit of it is read.
  {
    TempFolder folder;
    std::wstring path = folder / L"uninstall.lng";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::string chunk = "***messages**\r\nIDS_UNINSTALLKVX \"big\"\r\n" + std::string(1 << 20, 'x');
    DWORD written;
    for (int i = 0; i < 100; i++) WriteFile(h, chunk.data(), (DWORD)chunk.size(), &written, nullptr);
    CloseHandle(h);
    FreeLanguageFile();
    LoadLanguageFile(path.c_str());
    CHECK(Lookup("s:IDS_UNINSTALLKVX") == L"big");
    CHECK(g_LanguageFile.texts.Capacity() <= kMaxFileChars + 1);  // no more than is parsed
  }
  // A line far beyond the text limit, and a file far beyond the read limit.
  std::string big = "***messages**\r\nIDS_UNINSTALLKVX " + std::string(3u << 20, 'x');
  LoadBytes(Ansi(big));
  CHECK(Lookup("s:IDS_UNINSTALLKVX").size() == kMaxTextLength);
  FreeLanguageFile();
}

TEST_CASE("the shipped translations are complete") {
  UseOwnResources();
  for (const wchar_t* name : {L"english.lng", L"german.lng", L"hebrew.lng"}) {
    CAPTURE(Narrow(name));
    FreeLanguageFile();
    LoadLanguageFile((SourceDir() + L"\\res\\lng\\" + name).c_str());
    REQUIRE(g_LanguageFile.Count() == kTextKeyRows);
    for (const TextKeyRow& row : TextKeyTable) CHECK(Lookup(row.key) != L"<missing>");
    wchar_t text[1024];
    // The placeholders of the messages that are formats stay what they are.
    for (uint32_t id : {IDS_UNINSTALLSHOULDDELETE, IDS_CANNOTOPENLIST}) {
      LoadText(id, text, 1024);
      std::wstring t = text;
      CHECK(t.find(L"%s") != std::wstring::npos);
      CHECK(t.find(L'%') == t.rfind(L'%'));
    }
    CHECK(g_LanguageFile.RightToLeft == (std::wstring(name) == L"hebrew.lng"));
  }
  SetProcessDefaultLayout(0);  // the Hebrew file turned the process right to left
  FreeLanguageFile();
}
