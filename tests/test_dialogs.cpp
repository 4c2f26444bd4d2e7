// The setup, context-menu items and completion dialogs, driven in this
// process through their procedures and real controls; the copy step; help.
#include <objbase.h>

#include <map>

#include "app/command.h"
#include "app/startup.h"
#include "lang/language.h"
#include "lang/module.h"
#include "settings/settings_file.h"
#include "settings/store.h"
#include "setup/done_dialog.h"
#include "setup/help.h"
#include "setup/items_dialog.h"
#include "model/options.h"
#include "setup/setup_dialog.h"
#include "model/winver.h"
#include "test.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

namespace {

// What the entry routine hands the setup and completion dialogs, and the
// setup run's transaction.
RunContext g_Run;
SetupTransaction g_Transaction;

// Everything a dialog of this process needs, and no settings file.
struct Scene {
  RegistrySandbox sandbox;
  Scene() {
    static HMODULE richEdit = LoadSystemLibrary(L"riched20.dll");
    (void)richEdit;
    ProgramInstance = ResourceInstance = GetModuleHandleW(nullptr);
    FreeLanguageFile();
    UseRegistry();
    g_Run = RunContext{};
    g_Run.Transaction = &g_Transaction;
    ResetSingleItemNotice();
  }
};

HWND OpenSetup() {
  HWND w = CreateDialogParamW(GetModuleHandleW(nullptr), L"SETUPDLG", nullptr, SetupDialogProc, (LPARAM)&g_Run);
  REQUIRE(w);
  return w;
}

bool Checked(HWND w, int id) { return IsDlgButtonChecked(w, id) == BST_CHECKED; }
bool Enabled(HWND w, int id) { return IsWindowEnabled(GetDlgItem(w, id)) != 0; }
void Click(HWND w, int id) { SendMessageW(GetDlgItem(w, id), BM_CLICK, 0, 0); }

bool AllAssociations(HWND w, bool checked) {
  for (auto& row : ArchiveTypes)
    if (GetDlgItem(w, row.checkBox) && Checked(w, row.checkBox) != checked) return false;
  return true;
}

}  // namespace

TEST_CASE("the setup dialog shows the defaults of a first run") {
  Scene scene;
  PretendWindows windows10(10, 19045);
  g_Run.DialogIcon = LoadIconW(GetModuleHandleW(nullptr), L"KVXICON");
  REQUIRE(g_Run.DialogIcon);
  HWND w = OpenSetup();
  for (size_t i = 0; i < kArchiveTypeCount; i++) CHECK(Checked(w, ArchiveTypes[i].checkBox) == (i != kJarRow));
  CHECK(Checked(w, IDC_LINKPROGRAMS));
  CHECK(Checked(w, IDC_SHELLEXT));
  CHECK(Checked(w, IDC_SHELLICONS));
  CHECK_FALSE(Checked(w, IDC_LINKDESKTOP));
  CHECK_FALSE(Checked(w, IDC_LINKSTARTMENU));
  CHECK_FALSE(Checked(w, IDC_SHELLCASCADED));
  CHECK(Enabled(w, IDC_SHELLCASCADED));
  CHECK_FALSE(Enabled(w, IDC_SHELLLEGACYMENU));  // below Windows 11, always
  wchar_t text[4096];
  GetDlgItemTextW(w, IDC_INSTHELP, text, 4096);
  std::wstring t = text;
  CHECK(t.find(L"    Choose the archive types") == 0);
  CHECK(t.find(L"Press Help for details.") != std::wstring::npos);
  CHECK(t.find(L"You can change all of these settings later in Korvex.") != std::wstring::npos);
  CHECK(SendMessageW(w, WM_GETICON, ICON_BIG, 0) == (LRESULT)g_Run.DialogIcon);
  // The explanation is reached with Tab (a long translation scrolls in it),
  // and Tab goes on from it to OK.
  HWND items = GetDlgItem(w, IDC_SETCONTEXTMENU), help = GetDlgItem(w, IDC_INSTHELP);
  CHECK(GetNextDlgTabItem(w, items, FALSE) == help);
  ShowWindow(w, SW_SHOW);
  SetFocus(help);
  MSG tab = {help, WM_KEYDOWN, VK_TAB, 0};
  CHECK(IsDialogMessageW(w, &tab));
  for (int i = 0; i < 10; i++) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(10);
  }
  CHECK(GetFocus() == GetDlgItem(w, IDOK));
  DestroyWindow(w);
}

TEST_CASE("the installer's preset string reaches the boxes") {
  Scene scene;
  PretendWindows windows10(10, 19045);
  CopyText(g_Run.Options.InitText, L"A01D1S0");
  HWND w = OpenSetup();
  CHECK_FALSE(Checked(w, IDC_ASSOCKVX));
  CHECK(Checked(w, IDC_ASSOCZIP));
  CHECK(Checked(w, IDC_LINKDESKTOP));
  CHECK_FALSE(Checked(w, IDC_SHELLEXT));
  CHECK_FALSE(Enabled(w, IDC_SHELLICONS));
  DestroyWindow(w);
}

TEST_CASE("toggling all association boxes, also with one box missing") {
  Scene scene;
  PretendWindows windows10(10, 19045);
  HWND w = OpenSetup();
  CHECK_FALSE(AllAssociations(w, true));  // JAR is clear
  Click(w, IDC_ASSOCALL);
  CHECK(AllAssociations(w, true));
  Click(w, IDC_ASSOCALL);
  CHECK(AllAssociations(w, false));
  Click(w, IDC_ASSOCALL);
  CHECK(AllAssociations(w, true));
  // A translation's dialog without one of the boxes: the others still toggle.
  DestroyWindow(GetDlgItem(w, IDC_ASSOCCAB));
  Click(w, IDC_ASSOCALL);
  CHECK(AllAssociations(w, false));
  Click(w, IDC_ASSOCZIP);
  Click(w, IDC_ASSOCALL);
  CHECK(AllAssociations(w, true));
  DestroyWindow(w);
}

TEST_CASE("clearing shell integration disables three boxes and keeps their marks") {
  Scene scene;
  PretendWindows windows11(10, 22631);
  HWND w = OpenSetup();
  CHECK(Enabled(w, IDC_SHELLLEGACYMENU));  // Windows 11 with the shell extension on
  CHECK(Checked(w, IDC_SHELLCASCADED));    // forced on before the package was installed
  bool iconsBefore = Checked(w, IDC_SHELLICONS), legacyBefore = Checked(w, IDC_SHELLLEGACYMENU);
  Click(w, IDC_SHELLEXT);
  CHECK_FALSE(Enabled(w, IDC_SHELLCASCADED));
  CHECK_FALSE(Enabled(w, IDC_SHELLICONS));
  CHECK_FALSE(Enabled(w, IDC_SHELLLEGACYMENU));
  CHECK(Checked(w, IDC_SHELLCASCADED));
  CHECK(Checked(w, IDC_SHELLICONS) == iconsBefore);
  CHECK(Checked(w, IDC_SHELLLEGACYMENU) == legacyBefore);
  Click(w, IDC_SHELLEXT);
  CHECK(Enabled(w, IDC_SHELLLEGACYMENU));
  DestroyWindow(w);
}

TEST_CASE("the single-item notice: once per run on Windows 11, never below") {
  Scene scene;
  {
    PretendWindows windows11(10, 22631);
    HWND w = OpenSetup();
    REQUIRE(Checked(w, IDC_SHELLCASCADED));
    std::wstring text;
    {
      DialogWatcher watcher([&](HWND box) {
        wchar_t t[1024];
        GetDlgItemTextW(box, 0xFFFF, t, 1024);
        text = t;
        PostMessageW(box, WM_COMMAND, IDOK, 0);
      }, 0, 10000);
      Click(w, IDC_SHELLCASCADED);  // unchecked: the notice
      watcher.Wait();
    }
    CHECK(text.find(L"Windows 11 shows only the commands") != std::wstring::npos);
    Click(w, IDC_SHELLCASCADED);  // checked again: nothing
    {
      DialogWatcher watcher(IDOK, 0, 2000);
      Click(w, IDC_SHELLCASCADED);  // unchecked a second time: no notice
      watcher.Wait();
      CHECK_FALSE(watcher.Seen());
    }
    DestroyWindow(w);
  }
  {
    ResetSingleItemNotice();
    PretendWindows windows10(10, 19045);
    HWND w = OpenSetup();
    Click(w, IDC_SHELLCASCADED);
    DialogWatcher watcher(IDOK, 0, 2000);
    Click(w, IDC_SHELLCASCADED);
    watcher.Wait();
    CHECK_FALSE(watcher.Seen());
    DestroyWindow(w);
  }
}

TEST_CASE("cancel stores nothing and leaves exit code 1") {
  Scene scene;
  PretendWindows windows10(10, 19045);
  HWND w = CreateDialogParamW(GetModuleHandleW(nullptr), L"SETUPDLG", nullptr, SetupDialogProc, (LPARAM)&g_Run);
  SendMessageW(w, WM_COMMAND, IDCANCEL, 0);
  CHECK(g_Run.Options.ExitCode == 1);
  CHECK_FALSE(RegKeyExists(HKEY_CURRENT_USER, L"Software\\Korvex"));
  CHECK_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, L".kvx"));
  DestroyWindow(w);
}

TEST_CASE("a refused write: the error message, exit code 3, everything put back, silent or not") {
  // Started without the right to change the machine (not elevated): a
  // write is refused, the first or a later one; the run takes back all it
  // had changed.
  struct {
    bool silent;
    const wchar_t* refusedKey;
  } rows[] = {{false, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe"},
              {true, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvex.exe"},
              {true, L"Software\\Classes\\Korvex"}, {false, L"Software\\Classes\\Korvex.ZIP"},
              {true, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex archiver"}};
  static const wchar_t* refused;
  for (auto& r : rows) {
    CAPTURE(r.silent);
    CAPTURE(Narrow(r.refusedKey));
    Scene scene;
    PretendWindows windows10(10, 19045);
    auto state = [] {
      std::vector<std::wstring> all;
      for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT})
        for (auto& line : RegDump(root, L"")) all.push_back(line);
      for (const wchar_t* name : {L"kvxnew.dat", L"zipnew.dat"})
        if (Exists(ProgramFile(name))) all.push_back(name);
      return all;
    };
    std::vector<std::wstring> before = state();
    refused = r.refusedKey;
    g_RegistryWriteFilter = [](HKEY, const wchar_t* path, DWORD) -> LONG {
      return lstrcmpiW(path, refused) == 0 ? ERROR_ACCESS_DENIED : 0;
    };
    g_Run.Options.Silent = r.silent;
    DialogWatcher watcher(IDOK, 0, 20000);
    HWND w = CreateDialogParamW(GetModuleHandleW(nullptr), L"SETUPDLG", nullptr, SetupDialogProc, (LPARAM)&g_Run);
    if (!r.silent) SendMessageW(w, WM_COMMAND, IDOK, 0);
    watcher.Wait();
    g_RegistryWriteFilter = nullptr;
    CHECK(watcher.text.find(L"could not be integrated with Windows") != std::wstring::npos);
    CHECK(g_Run.Options.ExitCode == 3);
    CHECK(state() == before);
    DestroyWindow(w);
  }
}

// ---------------------------------------------------------------- the items dialog

namespace {

struct ItemsSeen {
  std::map<int, bool> visible, checked;
  std::wstring masks;
  bool seen = false;
};

// Opens the items dialog modally; `inside` looks at it and closes it.
INT_PTR RunItems(bool cascaded, const std::function<void(HWND)>& inside) {
  DialogWatcher watcher(inside, 0, 15000);
  return DialogBoxParamW(GetModuleHandleW(nullptr), L"SETUPCONTEXTITEMS", nullptr, ItemsDialogProc, cascaded);
}

ItemsSeen Look(HWND w) {
  ItemsSeen s;
  s.seen = true;
  for (auto& item : MenuItems) {
    s.visible[item.id] = IsWindowVisible(GetDlgItem(w, item.id)) != 0;
    s.checked[item.id] = IsDlgButtonChecked(w, item.id) == BST_CHECKED;
  }
  for (auto& item : TopMenuItems) {
    s.visible[item.id] = IsWindowVisible(GetDlgItem(w, item.id)) != 0;
    s.checked[item.id] = IsDlgButtonChecked(w, item.id) == BST_CHECKED;
  }
  wchar_t text[1024];
  GetDlgItemTextW(w, IDC_CONTEXTALWAYSARC, text, 1024);
  s.masks = text;
  return s;
}

const wchar_t* kItemsKey = L"Software\\Korvex\\Setup\\MenuItems";
const wchar_t* kTopKey = L"Software\\Korvex\\Setup\\TopMenuItems";

}  // namespace

TEST_CASE("items dialog, normal mode: the top-level controls hidden and never written") {
  Scene scene;
  PretendWindows windows10(10, 19045);
  ItemsSeen seen;
  INT_PTR result = RunItems(false, [&](HWND w) {
    seen = Look(w);
    PostMessageW(w, WM_COMMAND, IDOK, 0);
  });
  CHECK(result == 1);
  REQUIRE(seen.seen);
  for (auto& item : TopMenuItems) CHECK_FALSE(seen.visible[item.id]);
  for (auto& item : MenuItems) {
    CHECK(seen.visible[item.id]);
    CHECK(seen.checked[item.id] == (item.defaultValue == 1));
  }
  CHECK(seen.masks == L"*.iso");
  for (auto& item : MenuItems) CHECK(RegNumber(HKEY_CURRENT_USER, kItemsKey, item.name) == (DWORD)item.defaultValue);
  CHECK(RegText(HKEY_CURRENT_USER, kItemsKey, L"AlwaysArc") == L"*.iso");
  CHECK_FALSE(RegKeyExists(HKEY_CURRENT_USER, kTopKey));
}

TEST_CASE("items dialog, top mode on Windows 11: the ordinary commands hidden, all 25 values written") {
  Scene scene;
  PretendWindows windows11(10, 22631);
  ItemsSeen seen;
  RunItems(false, [&](HWND w) {
    seen = Look(w);
    PostMessageW(w, WM_COMMAND, IDOK, 0);
  });
  REQUIRE(seen.seen);
  for (auto& item : MenuItems) CHECK(seen.visible[item.id] == (item.group == 0));
  CHECK(seen.checked[IDC_CONTEXTTOPEXTRACT]);
  CHECK_FALSE(seen.checked[IDC_CONTEXTTOPEXTRACTTO]);
  CHECK(seen.checked[IDC_CONTEXTTOPEXTRACTSEPARATE]);
  CHECK(seen.checked[IDC_CONTEXTTOPADDARC]);
  CHECK_FALSE(seen.checked[IDC_CONTEXTTOPADD]);
  for (auto& item : MenuItems) CHECK(RegNumber(HKEY_CURRENT_USER, kItemsKey, item.name) == (DWORD)item.defaultValue);
  for (auto& item : TopMenuItems) CHECK(RegNumber(HKEY_CURRENT_USER, kTopKey, item.name) == (DWORD)item.defaultValue);

  // With the cascaded box checked, Windows 11 shows the normal mode.
  RegRemoveTree(HKEY_CURRENT_USER, kTopKey);
  RunItems(true, [&](HWND w) {
    seen = Look(w);
    PostMessageW(w, WM_COMMAND, IDOK, 0);
  });
  CHECK_FALSE(seen.visible[IDC_CONTEXTTOPEXTRACT]);
  CHECK_FALSE(RegKeyExists(HKEY_CURRENT_USER, kTopKey));
}

TEST_CASE("items dialog: at most one top-level command per group is loaded") {
  Scene scene;
  PretendWindows windows11(10, 22631);
  RegPutNumber(HKEY_CURRENT_USER, kTopKey, L"Extr", 0);
  RegPutNumber(HKEY_CURRENT_USER, kTopKey, L"ExtrTo", 1);
  RegPutNumber(HKEY_CURRENT_USER, kTopKey, L"ExtrHere", 1);
  RegPutNumber(HKEY_CURRENT_USER, kTopKey, L"AddArc", 0);
  RegPutNumber(HKEY_CURRENT_USER, kTopKey, L"AddTo", 1);
  ItemsSeen seen;
  RunItems(false, [&](HWND w) {
    seen = Look(w);
    PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
  });
  CHECK_FALSE(seen.checked[IDC_CONTEXTTOPEXTRACT]);
  CHECK(seen.checked[IDC_CONTEXTTOPEXTRACTTO]);
  CHECK_FALSE(seen.checked[IDC_CONTEXTTOPEXTRACTHERE]);  // not read: the template's state
  CHECK(seen.checked[IDC_CONTEXTTOPADD]);
}

TEST_CASE("items dialog: an emptied mask box is stored empty; cancel writes nothing") {
  Scene scene;
  PretendWindows windows10(10, 19045);
  RunItems(false, [&](HWND w) {
    SetDlgItemTextW(w, IDC_CONTEXTALWAYSARC, L"");
    SendMessageW(GetDlgItem(w, IDC_CONTEXTTEST), BM_SETCHECK, BST_CHECKED, 0);
    PostMessageW(w, WM_COMMAND, IDOK, 0);
  });
  bool present = false;
  CHECK(RegText(HKEY_CURRENT_USER, kItemsKey, L"AlwaysArc", &present) == L"");
  CHECK(present);
  CHECK(RegNumber(HKEY_CURRENT_USER, kItemsKey, L"Test") == 1);
  ItemsSeen seen;
  RunItems(false, [&](HWND w) {
    seen = Look(w);
    SetDlgItemTextW(w, IDC_CONTEXTALWAYSARC, L"*.changed");
    PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
  });
  CHECK(seen.masks == L"");  // loads as empty, not as the default
  CHECK(seen.checked[IDC_CONTEXTTEST]);
  CHECK(RegText(HKEY_CURRENT_USER, kItemsKey, L"AlwaysArc") == L"");
}

TEST_CASE("confirming the items dialog, then cancelling setup, keeps the items") {
  Scene scene;
  PretendWindows windows10(10, 19045);
  HWND w = OpenSetup();
  {
    DialogWatcher watcher([](HWND items) {
      SendMessageW(GetDlgItem(items, IDC_CONTEXTCONVERT), BM_SETCHECK, BST_CHECKED, 0);
      PostMessageW(items, WM_COMMAND, IDOK, 0);
    }, 0, 15000);
    Click(w, IDC_SETCONTEXTMENU);
    watcher.Wait();
  }
  SendMessageW(w, WM_COMMAND, IDCANCEL, 0);
  CHECK(g_Run.Options.ExitCode == 1);
  CHECK(RegNumber(HKEY_CURRENT_USER, kItemsKey, L"Convert") == 1);
  CHECK_FALSE(RegKeyExists(HKEY_CURRENT_USER, L"Software\\Korvex\\Setup\\.kvx"));
  DestroyWindow(w);
}

TEST_CASE("items dialog in file mode saves the settings file on OK") {
  Scene scene;
  PretendWindows windows10(10, 19045);
  TempFolder folder;
  std::wstring ini = folder / L"Korvex.ini";
  WriteText(ini, "");
  ForgetSettingsFile();
  LoadSettingsFileFrom(ini.c_str());
  RunItems(false, [](HWND w) { PostMessageW(w, WM_COMMAND, IDOK, 0); });
  Bytes saved = ReadBytes(ini);
  std::wstring text;
  for (size_t i = 2; i + 1 < saved.size(); i += 2) text += (wchar_t)(saved[i] | (saved[i + 1] << 8));
  CHECK(text.find(L"HKCU\\Setup\\MenuItems\\AlwaysArc=\"*.iso\"") != std::wstring::npos);
  CHECK(text.find(L"HKCU\\Setup\\MenuItems\\DragExtr=1") != std::wstring::npos);
  ForgetSettingsFile();
}

// ---------------------------------------------------------------- completion dialog, copy step, help

TEST_CASE("the completion dialog: icon, bold closing text, the installation folder, silent close") {
  Scene scene;
  g_Run.BoldFont = CreateFontW(-12, 0, 0, 0, 700, 0, 0, 0, 0, 0, 0, 0, 0, L"MS Shell Dlg");
  g_Run.DialogIcon = LoadIconW(GetModuleHandleW(nullptr), L"KVXICON");
  HWND w = CreateDialogParamW(GetModuleHandleW(nullptr), L"DONEDLG", nullptr, DoneDialogProc, (LPARAM)&g_Run);
  REQUIRE(w);
  CHECK(SendDlgItemMessageW(w, IDC_THANKS, WM_GETFONT, 0, 0) == (LRESULT)g_Run.BoldFont);
  CHECK(SendMessageW(w, WM_GETICON, ICON_BIG, 0) == (LRESULT)g_Run.DialogIcon);
  wchar_t shown[MAX_PATH], current[MAX_PATH];
  GetDlgItemTextW(w, IDC_INSTFOLDER, shown, MAX_PATH);
  GetCurrentDirectoryW(MAX_PATH, current);
  CHECK(std::wstring(shown) == current);
  DestroyWindow(w);
  // Shown, the focus is on Done (not in the folder's box), and Enter closes it.
  HWND focus = nullptr, done = nullptr;
  {
    DialogWatcher watcher([&](HWND box) {
      GUITHREADINFO thread = {sizeof thread};
      GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &thread);
      focus = thread.hwndFocus;
      done = GetDlgItem(box, IDOK);
      PostMessageW(focus, WM_KEYDOWN, VK_RETURN, 0);
    }, 0, 15000);
    CHECK(DialogBoxParamW(GetModuleHandleW(nullptr), L"DONEDLG", nullptr, DoneDialogProc, (LPARAM)&g_Run) == 1);
    watcher.Wait();
  }
  CHECK(focus == done);
  g_Run.Options.Silent = true;
  CHECK(DialogBoxParamW(GetModuleHandleW(nullptr), L"DONEDLG", nullptr, DoneDialogProc, (LPARAM)&g_Run) == 1);
  DeleteObject(g_Run.BoldFont);
}

TEST_CASE("the home-page button opens web addresses only") {
  CHECK(IsWebAddress(L"https://www.korvex.example/"));
  CHECK(IsWebAddress(L"HTTP://example.org"));
  CHECK_FALSE(IsWebAddress(L"C:\\Windows\\System32\\cmd.exe"));
  CHECK_FALSE(IsWebAddress(L"file:///C:/x.exe"));
  CHECK_FALSE(IsWebAddress(L"https:"));
  CHECK_FALSE(IsWebAddress(L""));
  // A planted translation naming a program: pressing the button starts nothing.
  Scene scene;
  TempFolder folder;
  std::wstring planted = folder / L"KvxExtInstaller.exe";
  REQUIRE(CopyFileW(FixturePath(L"KvxExtInstaller.exe").c_str(), planted.c_str(), FALSE));
  GrowArray<wchar_t> text;
  std::wstring lng = L"***messages**\nIDS_HOMEURL \"" + planted + L"\"\n";
  text.AddElements(lng.size());
  for (size_t i = 0; i < lng.size(); i++) text[i] = lng[i];
  ParseLanguageText(text, g_LanguageFile);
  HWND w = CreateDialogParamW(GetModuleHandleW(nullptr), L"DONEDLG", nullptr, DoneDialogProc, (LPARAM)&g_Run);
  SendMessageW(w, WM_COMMAND, IDC_HOMEPAGE, 0);
  Sleep(2000);
  CHECK_FALSE(Exists(folder / L"installer-log.txt"));
  DestroyWindow(w);
  FreeLanguageFile();
}

TEST_CASE("the post-setup copy step") {
  Scene scene;
  TempFolder root;
  std::wstring settings = root / L"settings", installer = root / L"installer", current = root / L"current";
  MakeDirs(settings);
  MakeDirs(installer);
  MakeDirs(current);
  RegPutText(HKEY_CURRENT_USER, L"Software\\Korvex\\Paths", L"AppData", settings);
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW(current.c_str());

  SetEnvironmentVariableW(L"sfxname", nullptr);
  CHECK(CopyFromInstallerFolder(L"korvex.ini"));  // no installer: nothing copied
  CHECK_FALSE(Exists(current + L"\\korvex.ini"));

  SetEnvironmentVariableW(L"sfxname", (installer + L"\\korvex-setup.exe").c_str());
  CHECK_FALSE(CopyFromInstallerFolder(L"korvex.ini"));  // the installer's folder lacks it
  WriteText(installer + L"\\korvex.ini", "preset");
  CHECK(RunPostSetupCopy());
  CHECK(ReadBytes(current + L"\\korvex.ini") == Bytes{'p', 'r', 'e', 's', 'e', 't'});
  // The preset is read with the user's own rights (the unelevated token
  // Windows links to the elevated one; Wine has the pair too and keeps no
  // access lists, so the token in force at the opening is what is checked).
  static bool asUser, seen;
  asUser = seen = false;
  auto open = +[](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                  HANDLE templ) -> HANDLE {
    std::wstring path = name;
    if (path.size() > 20 && path.compare(path.size() - 20, 20, L"installer\\korvex.ini") == 0) {
      HANDLE token;
      seen = true;
      asUser = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != 0;
      if (asUser) CloseHandle(token);
    }
    return RealFunction(&CreateFileW, "CreateFileW")(name, access, share, sa, disposition, flags, templ);
  };
  DeleteFileW((current + L"\\korvex.ini").c_str());
  {
    ImportHooks hooks({{"CreateFileW", (void*)open}});
    CHECK(RunPostSetupCopy());
  }
  CHECK(seen);
  CHECK(asUser);
  CHECK(ReadBytes(current + L"\\korvex.ini").size() == 6);
  WriteText(current + L"\\korvex.ini", "mine");
  CHECK(RunPostSetupCopy());  // an existing file is not overwritten
  CHECK(ReadBytes(current + L"\\korvex.ini").size() == 4);
  DeleteFileW((current + L"\\korvex.ini").c_str());
  // A link planted beside the installer: what it leads to is not copied.
  std::wstring secret = root / L"secret.txt";
  WriteText(secret, "not for the user");
  DeleteFileW((installer + L"\\korvex.ini").c_str());
  REQUIRE(PlantLink(installer + L"\\korvex.ini", secret));
  CHECK(RunPostSetupCopy());
  CHECK_FALSE(Exists(current + L"\\korvex.ini"));
  WriteText(settings + L"\\korvex.ini", "in the settings folder");
  CHECK(RunPostSetupCopy());
  CHECK_FALSE(Exists(current + L"\\korvex.ini"));

  SetEnvironmentVariableW(L"sfxname", nullptr);
  SetCurrentDirectoryW(saved);
}

TEST_CASE("help: the contents and a topic's page, opened by the user's shell") {
  // The help viewer runs as the user, started by the user's own shell: the
  // elevated tool renders no help file itself. The contents open the help
  // file, a topic opens the viewer at its page.
  RegistrySandbox sandbox;
  wchar_t what[2048], arguments[2048];
  ComposeHelpRequest(L"C:\\Program Files\\Korvex\\uninstall.exe", L"HELPContextItems", what, arguments, 2048);
  CHECK(std::wstring(what) == L"hh.exe");
  CHECK(std::wstring(arguments) == L"C:\\Program Files\\Korvex\\korvex.chm::/html/HELPContextItems.htm");
  ComposeHelpRequest(L"C:\\Program Files\\Korvex\\uninstall.exe", nullptr, what, arguments, 2048);
  CHECK(std::wstring(what) == L"C:\\Program Files\\Korvex\\korvex.chm");
  CHECK(std::wstring(arguments) == L"");
  // A translated help file in the user's language folder is the one opened.
  TempFolder languages;
  WriteText(languages / L"korvex.chm", "help");
  RegPutText(HKEY_CURRENT_USER, L"Software\\Korvex\\General", L"LanguageFolder", languages.Path());
  ComposeHelpRequest(L"C:\\Program Files\\Korvex\\uninstall.exe", L"HELPIntegrationSettings", what, arguments, 2048);
  CHECK(std::wstring(arguments) == languages / L"korvex.chm::/html/HELPIntegrationSettings.htm");
}
