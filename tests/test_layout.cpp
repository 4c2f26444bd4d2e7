// What a person sees: every dialog of the program, in the built-in texts,
// every shipped translation and two of the tests' own (tests/fixtures/long.lng,
// texts two thirds longer than English, and tests/fixtures/rtl.lng, right to
// left; both enlarge the dialogs through SIZE rows), at 96, 144 and 192 DPI.
// Every visible control lies inside the client area, no two overlap (a group
// box and what it holds aside), every text fits its control in the
// control's own font, no two controls share an access key, boxes of paths
// and masks read left to right, pictures are not mirrored, both icons are set.
//
// A translator's file alone (tools/check_translation.sh):
//   test_layout.exe --language=<file>
// Each fault is one line: the file, the DPI, the dialog, the control, what.
#include <windows.h>
#include <shellapi.h>

#include <map>
#include <set>

#include "app/command.h"
#include "app/startup.h"
#include "lang/language.h"
#include "lang/module.h"
#include "setup/done_dialog.h"
#include "setup/items_dialog.h"
#include "setup/setup_dialog.h"
#include "test.h"
#include "util/file.h"
#include "util/handles.h"

namespace {

RunContext g_Run;
// The dialogs as their procedures open them; the items dialog from the
// setup dialog (whose icons it shows), with the ordinary commands and with
// the six top-level ones (Windows 11, cascaded menu off).
struct DialogRow {
  const wchar_t* name;
  const char* mode;
  DLGPROC proc;
  bool windows11, items, cascaded;
};
const DialogRow kDialogs[] = {
    {L"SETUPDLG", "", SetupDialogProc, false, false, false},
    {L"SETUPCONTEXTITEMS", "", ItemsDialogProc, false, true, true},
    {L"SETUPCONTEXTITEMS", " (top level, Windows 11)", ItemsDialogProc, true, true, false},
    {L"DONEDLG", "", DoneDialogProc, false, false, false},
};

std::vector<std::wstring> Languages() {
  int argc;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> all;
  for (int i = 1; i < argc; i++)
    if (wcsncmp(argv[i], L"--language=", 11) == 0) all.push_back(argv[i] + 11);
  LocalFree(argv);
  if (!all.empty()) return all;
  all = {L"", SourceDir() + L"\\tests\\fixtures\\long.lng", SourceDir() + L"\\tests\\fixtures\\rtl.lng"};
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((SourceDir() + L"\\res\\lng\\*.lng").c_str(), &found);
  REQUIRE(find != INVALID_HANDLE_VALUE);
  do all.push_back(SourceDir() + L"\\res\\lng\\" + found.cFileName);
  while (FindNextFileW(find, &found));
  FindClose(find);
  return all;
}

// A template of the product with its font at `points` instead of 8: at 96
// DPI, 12 and 16 points give the font, and so the dialog units, that 8
// points give at 144 and 192 DPI.
std::vector<BYTE> TemplateAt(HMODULE module, const wchar_t* name, WORD points) {
  HRSRC resource = FindResourceW(module, name, RT_DIALOG);
  REQUIRE(resource);
  auto bytes = (const BYTE*)LockResource(LoadResource(module, resource));
  std::vector<BYTE> t(bytes, bytes + SizeofResource(module, resource));
  // DLGTEMPLATEEX: 26 bytes, the menu and the class (0, 0xFFFF and a
  // number, or a name), the title, then the point size.
  auto w = (WORD*)(t.data() + 26);
  for (int i = 0; i < 2; i++) w += *w == 0xFFFF ? 2 : wcslen((const wchar_t*)w) + 1;
  w += wcslen((const wchar_t*)w) + 1;
  *w = points;
  return t;
}

struct Control {
  HWND window;
  std::string name;  // its key word in the language file, else its id
  std::wstring cls, text;
  LONG style, exStyle;
  RECT rect;  // on the screen
  bool IsGroup() const { return cls == L"Button" && (style & BS_TYPEMASK) == BS_GROUPBOX; }
};

std::string Size(LONG cx, LONG cy) { return std::to_string(cx) + "x" + std::to_string(cy); }
std::string Size(const RECT& r) { return Size(r.right - r.left, r.bottom - r.top); }
bool Inside(const RECT& a, const RECT& b) {
  return a.left >= b.left && a.top >= b.top && a.right <= b.right && a.bottom <= b.bottom;
}

// The text without its "&" marks, and the letter one marks (upper case; 0: none).
std::wstring Shown(const std::wstring& text, wchar_t* key = nullptr) {
  std::wstring shown;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == L'&' && i + 1 < text.size()) {
      if (key && !*key && text[++i] != L'&') *key = (wchar_t)(UINT_PTR)CharUpperW((LPWSTR)(UINT_PTR)text[i]);
      else if (!key) i++;
    }
    shown += text[i];
  }
  return shown;
}

TEXTMETRICW Metrics(HWND control, const std::wstring& text, SIZE* line, RECT* wrapped, UINT flags) {
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageW(control, WM_GETFONT, 0, 0));
  TEXTMETRICW metrics;
  GetTextMetricsW(dc, &metrics);
  if (line) GetTextExtentPoint32W(dc, Shown(text).c_str(), (int)Shown(text).size(), line);
  if (wrapped) DrawTextW(dc, text.c_str(), -1, wrapped, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | flags);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return metrics;
}

// Why a control's text does not fit it, or "". A label of two lines or more
// wraps its text; one line, a button's, a check box's beside its box and a
// group box's title between the frame's ends must fit in one line; an edit
// box must show one line whole.
std::string TextFault(const Control& c, int dpi) {
  LONG kind = c.style & SS_TYPEMASK, type = c.style & BS_TYPEMASK;
  bool label = c.cls == L"Static" && (kind <= SS_RIGHT || kind == SS_SIMPLE || kind == SS_LEFTNOWORDWRAP);
  bool button = c.cls == L"Button", edit = c.cls == L"Edit";
  if (c.text.empty() || !(label || button || edit)) return "";
  RECT client, wrapped;
  GetClientRect(c.window, &client);
  wrapped = {0, 0, client.right, 0};
  SIZE line = {};
  TEXTMETRICW m = Metrics(c.window, c.text, &line, nullptr, 0);
  if (label && kind <= SS_RIGHT && client.bottom >= 2 * m.tmHeight) {
    Metrics(c.window, c.text, nullptr, &wrapped, c.style & SS_NOPREFIX ? DT_NOPREFIX : 0);
    if (wrapped.bottom <= client.bottom && wrapped.right <= client.right) return "";
    return "the text \"" + Narrow(c.text) + "\" needs " + Size(wrapped) + " pixels, has " + Size(client);
  }
  if (edit) return m.tmHeight <= client.bottom ? "" : "a line " + std::to_string(m.tmHeight) + " high, has " + Size(client);
  bool box = button && type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON && type != BS_GROUPBOX;
  int room = client.right - (box ? 16 : c.IsGroup() ? 12 : button ? 6 : 0) * dpi / 96;
  if (line.cx <= room && m.tmHeight <= client.bottom) return "";
  return "the text \"" + Narrow(c.text) + "\" needs " + Size(line.cx, m.tmHeight) + " pixels, has " +
         Size(room, client.bottom);
}

// Every fault of one open dialog.
std::vector<std::string> LayoutFaults(HWND dialog, const wchar_t* name, int dpi) {
  std::vector<std::string> faults;
  std::vector<Control> controls;
  std::string prefix = "$" + Narrow(name) + ":";
  for (HWND w = GetWindow(dialog, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
    if (!(GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE)) continue;
    Control c = {w, "control " + std::to_string(GetDlgCtrlID(w))};
    for (const TextKeyRow& row : TextKeyTable)
      if ((int)row.id == GetDlgCtrlID(w) && std::string(row.key).compare(0, prefix.size(), prefix) == 0)
        c.name = row.key + prefix.size();
    wchar_t text[1024] = {}, cls[32] = {};
    GetWindowTextW(w, text, 1024);
    GetClassNameW(w, cls, 32);
    c.text = text;
    c.cls = cls;
    c.style = GetWindowLongW(w, GWL_STYLE);
    c.exStyle = GetWindowLongW(w, GWL_EXSTYLE);
    GetWindowRect(w, &c.rect);
    controls.push_back(c);
  }
  WINDOWINFO info = {sizeof info};
  GetWindowInfo(dialog, &info);
  const RECT& client = info.rcClient;
  // A group box holds what lies wholly inside it, below its title.
  auto holds = [](const Control& group, const Control& inner) {
    return group.IsGroup() && Inside(inner.rect, group.rect) &&
           inner.rect.top >= group.rect.top + Metrics(group.window, L"", nullptr, nullptr, 0).tmHeight;
  };
  std::map<wchar_t, std::string> keys;
  for (size_t i = 0; i < controls.size(); i++) {
    const Control& c = controls[i];
    if (!Inside(c.rect, client))
      faults.push_back(c.name + " lies outside the dialog: " + std::to_string(c.rect.left - client.left) + "," +
                       std::to_string(c.rect.top - client.top) + " " + Size(c.rect) + " in " + Size(client));
    for (size_t j = i + 1; j < controls.size(); j++) {
      RECT common;
      if (IntersectRect(&common, &c.rect, &controls[j].rect) && !holds(c, controls[j]) && !holds(controls[j], c))
        faults.push_back(c.name + " and " + controls[j].name + " overlap by " + Size(common));
    }
    std::string text = TextFault(c, dpi);
    if (!text.empty()) faults.push_back(c.name + ": " + text);
    wchar_t key = 0;
    if (c.cls == L"Button" || (c.cls == L"Static" && !(c.style & SS_NOPREFIX))) Shown(c.text, &key);
    if (key && keys.count(key))
      faults.push_back(c.name + " and " + keys[key] + " share the access key " + Narrow(std::wstring(1, key)));
    else if (key)
      keys[key] = c.name;
    if (c.cls == L"Edit" && (c.exStyle & (WS_EX_LAYOUTRTL | WS_EX_RTLREADING)))
      faults.push_back(c.name + " (a path or masks) reads right to left");
    if (c.cls == L"Static" && (c.style & SS_TYPEMASK) == SS_ICON && (c.exStyle & WS_EX_LAYOUTRTL))
      faults.push_back(c.name + " (a picture) is mirrored");
  }
  if (!SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0) || !SendMessageW(dialog, WM_GETICON, ICON_BIG, 0))
    faults.push_back("the dialog lacks its small or its big icon");
  return faults;
}

// The screen under the shown window has content: more than a few colours,
// not mostly black.
bool DrawsSomething(HWND w) {
  ShowWindow(w, SW_SHOW);
  UpdateWindow(w);
  for (int i = 0; i < 20; i++) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(20);
  }
  int width, height;
  std::vector<DWORD> pixels = CaptureWindow(w, width, height);
  std::set<DWORD> colours;
  size_t black = 0;
  for (DWORD p : pixels) {
    if (colours.size() < 64) colours.insert(p & 0xFFFFFF);
    black += (p & 0xFFFFFF) == 0;
  }
  return colours.size() > 8 && black < pixels.size() / 2;
}

}  // namespace

TEST_CASE("every dialog in every language, size and direction: inside, apart, its texts whole, its keys its own") {
  RegistrySandbox sandbox;
  static HMODULE richEdit = LoadSystemLibrary(L"riched20.dll");
  (void)richEdit;
  HMODULE self = GetModuleHandleW(nullptr);
  ProgramInstance = ResourceInstance = self;
  UniqueModule product(LoadLibraryExW(ProductExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  REQUIRE(product);
  // A dialog the table lacks is a dialog nobody checks.
  std::set<std::wstring> names;
  EnumResourceNamesW(product.Get(), RT_DIALOG, [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR set) -> BOOL {
    if (!IS_INTRESOURCE(name)) reinterpret_cast<std::set<std::wstring>*>(set)->insert(name);
    return TRUE;
  }, (LONG_PTR)&names);
  for (const DialogRow& row : kDialogs) names.erase(row.name);
  for (const std::wstring& name : names) FAIL_CHECK("the dialog " << Narrow(name) << " has no row in the layout check");
  g_Run.DialogIcon = LoadIconW(self, L"KVXICON");
  g_Run.SmallIcon = (HICON)LoadImageW(self, L"KVXICON", IMAGE_ICON, 16, 16, LR_SHARED);
  for (const std::wstring& language : Languages()) {
    FreeLanguageFile();
    SetProcessDefaultLayout(0);
    std::string label = language.empty() ? "built-in texts" : Narrow(language.substr(language.rfind(L'\\') + 1));
    if (!language.empty()) LoadLanguageFile(language.c_str());
    if (!language.empty() && g_LanguageFile.Count() == 0) FAIL_CHECK(label << ": no texts could be read from it");
    for (int dpi : {96, 144, 192}) {
      SetScreenDpi(dpi);
      UniqueGdiObject bold(CreateFontW(ScaleToDpi(-12), 0, 0, 0, 700, 0, 0, 0, 0, 0, 0, 0, 0, L"MS Shell Dlg"));
      g_Run.BoldFont = (HFONT)bold.Get();
      HWND setup = nullptr;
      for (const DialogRow& row : kDialogs) {
        PretendWindows windows(10, row.windows11 ? 22631 : 19045);
        std::vector<BYTE> t = TemplateAt(product.Get(), row.name, (WORD)(8 * dpi / 96));
        HWND w = CreateDialogIndirectParamW(self, (LPCDLGTEMPLATEW)t.data(), row.items ? setup : nullptr, row.proc,
                                           row.items ? (LPARAM)row.cascaded : (LPARAM)&g_Run);
        REQUIRE_MESSAGE(w, Narrow(row.name) << " could not be opened: error " << GetLastError());
        for (const std::string& fault : LayoutFaults(w, row.name, dpi))
          FAIL_CHECK((label + ", " + std::to_string(dpi) + " DPI, " + Narrow(row.name) + row.mode + ": " + fault));
        if (language.empty() && dpi == 96) CHECK_MESSAGE(DrawsSomething(w), Narrow(row.name) << " draws nothing");
        if (row.proc == SetupDialogProc) setup = w;
        else DestroyWindow(w);
      }
      DestroyWindow(setup);
    }
  }
  g_Run.BoldFont = nullptr;
  SetScreenDpi(0);
  FreeLanguageFile();
  SetProcessDefaultLayout(0);
}

TEST_CASE("the layout check finds each kind of fault") {
  HWND w = CreateDialogParamW(GetModuleHandleW(nullptr), L"TESTLAYOUT", nullptr,
                              [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
  REQUIRE(w);
  HWND edit = GetDlgItem(w, 305), picture = GetDlgItem(w, 306);
  SetWindowLongW(edit, GWL_EXSTYLE, GetWindowLongW(edit, GWL_EXSTYLE) | WS_EX_RTLREADING);
  SetWindowLongW(picture, GWL_EXSTYLE, GetWindowLongW(picture, GWL_EXSTYLE) | WS_EX_LAYOUTRTL);
  std::vector<std::string> faults = LayoutFaults(w, L"TESTLAYOUT", 96);
  DestroyWindow(w);
  std::string all;
  for (auto& fault : faults) all += fault + "\n";
  CAPTURE(all);
  CHECK(faults.size() == 7);
  for (const char* fault : {"control 300 and control 302 overlap", "control 303: the text \"A text far too long",
                            "control 304 lies outside the dialog", "control 304 and control 300 share the access key G",
                            "control 305 (a path or masks) reads right to left", "control 306 (a picture) is mirrored",
                            "lacks its small or its big icon"})
    CHECK_MESSAGE(all.find(fault) != std::string::npos, fault);
}
