// What a person sees: every dialog of the program, in every shipped
// translation and in two of the tests' own (tests/fixtures/long.lng, texts
// two thirds longer than English, and tests/fixtures/rtl.lng, right to left;
// both enlarge the dialogs through their SIZE rows), at 96, 144 and 192 DPI.
// In each, every visible control lies inside the client area, no two
// overlap (a group box and what it holds aside), every text fits its
// control in the control's own font, no two controls share an access key,
// boxes of paths and masks read left to right, and pictures are not mirrored.
//
// A translator checks a file of their own (tools/check_translation.sh):
//   test_layout.exe --language=<file>
// Each fault is one line: the file, the DPI, the dialog, the control, what
// is wrong.
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

// The dialogs of the program, each as its procedure opens it. The items
// dialog twice: with the six top-level commands (Windows 11, cascaded menu
// off) and with the ordinary ones.
RunContext g_Run;
struct DialogRow {
  const wchar_t* name;
  const char* mode;  // what the row shows, for the fault lines
  DLGPROC proc;
  bool windows11;
  bool items;      // the items dialog: opened from the setup dialog, whose icons it shows
  bool cascaded;   // its creation parameter
};
const DialogRow kDialogs[] = {
    {L"SETUPDLG", "", SetupDialogProc, false, false, false},
    {L"SETUPCONTEXTITEMS", "", ItemsDialogProc, false, true, true},
    {L"SETUPCONTEXTITEMS", " (top level, Windows 11)", ItemsDialogProc, true, true, false},
    {L"DONEDLG", "", DoneDialogProc, false, false, false},
};
const int kDpis[] = {96, 144, 192};

// The value of the command line's --<name>=<value>, or empty.
std::wstring Option(const wchar_t* name) {
  int argc;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::wstring prefix = std::wstring(L"--") + name + L"=", value;
  for (int i = 1; i < argc; i++)
    if (wcsncmp(argv[i], prefix.c_str(), prefix.size()) == 0) value = argv[i] + prefix.size();
  LocalFree(argv);
  return value;
}
std::wstring TranslatorsFile() { return Option(L"language"); }

// The languages to look at: the built-in texts, the shipped translations,
// the two fixtures; or the translator's file alone.
std::vector<std::wstring> Languages() {
  std::wstring own = TranslatorsFile();
  if (!own.empty()) return {own};
  std::vector<std::wstring> all = {L""};
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((SourceDir() + L"\\res\\lng\\*.lng").c_str(), &found);
  REQUIRE(find != INVALID_HANDLE_VALUE);
  do all.push_back(SourceDir() + L"\\res\\lng\\" + found.cFileName);
  while (FindNextFileW(find, &found));
  FindClose(find);
  all.push_back(SourceDir() + L"\\tests\\fixtures\\long.lng");
  all.push_back(SourceDir() + L"\\tests\\fixtures\\rtl.lng");
  return all;
}

// The product's dialog resources, by name.
std::vector<std::wstring> ProductDialogs(HMODULE product) {
  std::vector<std::wstring> names;
  EnumResourceNamesW(product, RT_DIALOG, [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) -> BOOL {
    if (!IS_INTRESOURCE(name)) reinterpret_cast<std::vector<std::wstring>*>(list)->push_back(name);
    return TRUE;
  }, (LONG_PTR)&names);
  return names;
}

// A dialog's template from the product with its font at `points` instead
// of 8: at 96 DPI, 12 and 16 points give the font, and so the dialog units,
// that 8 points give at 144 and 192 DPI.
std::vector<BYTE> TemplateAt(HMODULE module, const wchar_t* name, WORD points) {
  HRSRC resource = FindResourceW(module, name, RT_DIALOG);
  REQUIRE(resource);
  auto bytes = (const BYTE*)LockResource(LoadResource(module, resource));
  std::vector<BYTE> t(bytes, bytes + SizeofResource(module, resource));
  // DLGTEMPLATEEX: 26 bytes, then the menu and class (0, 0xFFFF and a
  // number, or a name) and the title; then the point size.
  auto w = (WORD*)(t.data() + 26);
  for (int i = 0; i < 2; i++) w += *w == 0xFFFF ? 2 : wcslen((const wchar_t*)w) + 1;
  w += wcslen((const wchar_t*)w) + 1;
  *w = points;
  return t;
}

// The control's name as the language file knows it, else its id.
std::string ControlName(const wchar_t* dialog, HWND control) {
  int id = GetDlgCtrlID(control);
  std::string prefix = "$" + Narrow(dialog) + ":";
  for (const TextKeyRow& row : TextKeyTable)
    if ((int)row.id == id && std::string(row.key).compare(0, prefix.size(), prefix) == 0)
      return row.key + prefix.size();
  return "control " + std::to_string(id);
}

std::wstring ClassOf(HWND control) {
  wchar_t name[32] = {};
  GetClassNameW(control, name, 32);
  return name;
}

std::wstring WithoutPrefix(const std::wstring& text) {
  std::wstring shown;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == L'&' && i + 1 < text.size()) i++;
    shown += text[i];
  }
  return shown;
}

// The letter after a single "&", upper-cased, or 0.
wchar_t AccessKey(const std::wstring& text) {
  for (size_t i = 0; i + 1 < text.size(); i++) {
    if (text[i] != L'&') continue;
    if (text[i + 1] != L'&') return (wchar_t)(UINT_PTR)CharUpperW((LPWSTR)(UINT_PTR)text[i + 1]);
    i++;
  }
  return 0;
}

struct Control {
  HWND window;
  std::string name;
  std::wstring cls, text;
  LONG style, exStyle;
  RECT rect;  // on the screen
  bool isGroup() const { return cls == L"Button" && (style & BS_TYPEMASK) == BS_GROUPBOX; }
};

std::string Size(const RECT& r) { return std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top); }

bool Inside(const RECT& inner, const RECT& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

// Why a control's text does not fit it, or "".
std::string TextFault(const Control& c, int dpi) {
  if (c.text.empty()) return "";
  LONG kind = c.style & SS_TYPEMASK;
  bool isStatic = c.cls == L"Static" && (kind <= SS_RIGHT || kind == SS_SIMPLE || kind == SS_LEFTNOWORDWRAP);
  bool isButton = c.cls == L"Button", isEdit = c.cls == L"Edit";
  if (!isStatic && !isButton && !isEdit) return "";
  RECT client;
  GetClientRect(c.window, &client);
  HDC dc = GetDC(c.window);
  HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageW(c.window, WM_GETFONT, 0, 0));
  TEXTMETRICW metrics;
  GetTextMetricsW(dc, &metrics);
  std::wstring shown = WithoutPrefix(c.text);
  SIZE line = {};
  GetTextExtentPoint32W(dc, shown.c_str(), (int)shown.size(), &line);
  RECT need = {0, 0, client.right, 0};
  bool wraps = isStatic && client.bottom >= 2 * metrics.tmHeight && kind <= SS_RIGHT;
  if (wraps)
    DrawTextW(dc, c.text.c_str(), -1, &need,
              DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | (c.style & SS_NOPREFIX ? DT_NOPREFIX : 0));
  SelectObject(dc, old);
  ReleaseDC(c.window, dc);
  if (isEdit)  // its text scrolls; one line of it must show whole
    return metrics.tmHeight <= client.bottom ? "" : "a line " + std::to_string(metrics.tmHeight) + " high, has " + Size(client);
  LONG type = c.style & BS_TYPEMASK;
  bool box = isButton && (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX || type == BS_AUTORADIOBUTTON ||
                          type == BS_RADIOBUTTON || type == BS_3STATE || type == BS_AUTO3STATE);
  // Room: a check box's text beside its box, a push button's within its
  // edges, a group box's title between the frame's ends.
  int room = client.right - (box ? 16 : c.isGroup() ? 12 : isButton ? 6 : 0) * dpi / 96;
  bool fits = wraps ? need.bottom <= client.bottom && need.right <= client.right
                    : line.cx <= room && metrics.tmHeight <= client.bottom;
  if (fits) return "";
  std::string needs = wraps ? Size(need) : std::to_string(line.cx) + "x" + std::to_string(metrics.tmHeight);
  return "the text \"" + Narrow(c.text) + "\" needs " + needs + " pixels, has " +
         (wraps ? Size(client) : std::to_string(room) + "x" + std::to_string(client.bottom));
}

// Every fault of one open dialog.
std::vector<std::string> LayoutFaults(HWND dialog, const wchar_t* name, int dpi) {
  std::vector<std::string> faults;
  WINDOWINFO info = {sizeof info};
  GetWindowInfo(dialog, &info);
  std::vector<Control> controls;
  for (HWND w = GetWindow(dialog, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
    if (!(GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE)) continue;
    Control c = {w, ControlName(name, w), ClassOf(w), L"", GetWindowLongW(w, GWL_STYLE), GetWindowLongW(w, GWL_EXSTYLE)};
    wchar_t text[1024] = {};
    GetWindowTextW(w, text, 1024);
    c.text = text;
    GetWindowRect(w, &c.rect);
    controls.push_back(c);
  }
  std::map<wchar_t, std::string> keys;
  for (size_t i = 0; i < controls.size(); i++) {
    const Control& c = controls[i];
    if (!Inside(c.rect, info.rcClient))
      faults.push_back(c.name + " lies outside the dialog: " + std::to_string(c.rect.left - info.rcClient.left) + "," +
                       std::to_string(c.rect.top - info.rcClient.top) + " " + Size(c.rect) + " in " +
                       Size(info.rcClient));
    for (size_t j = i + 1; j < controls.size(); j++) {
      const Control& d = controls[j];
      RECT common;
      if (!IntersectRect(&common, &c.rect, &d.rect)) continue;
      // A group box holds what lies wholly inside it, below its title.
      auto holds = [](const Control& group, const Control& inner) {
        if (!group.isGroup() || !Inside(inner.rect, group.rect)) return false;
        HDC dc = GetDC(group.window);
        HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageW(group.window, WM_GETFONT, 0, 0));
        TEXTMETRICW metrics;
        GetTextMetricsW(dc, &metrics);
        SelectObject(dc, old);
        ReleaseDC(group.window, dc);
        return inner.rect.top >= group.rect.top + metrics.tmHeight;
      };
      if (!holds(c, d) && !holds(d, c)) faults.push_back(c.name + " and " + d.name + " overlap by " + Size(common));
    }
    std::string text = TextFault(c, dpi);
    if (!text.empty()) faults.push_back(c.name + ": " + text);
    bool prefixed = c.cls == L"Button" || (c.cls == L"Static" && !(c.style & SS_NOPREFIX));
    if (wchar_t key = prefixed ? AccessKey(c.text) : 0) {
      if (keys.count(key))
        faults.push_back(c.name + " and " + keys[key] + " share the access key " + Narrow(std::wstring(1, key)));
      else
        keys[key] = c.name;
    }
    if (c.cls == L"Edit" && (c.exStyle & (WS_EX_LAYOUTRTL | WS_EX_RTLREADING)))
      faults.push_back(c.name + " (a path or masks) reads right to left");
    if (c.cls == L"Static" && (c.style & SS_TYPEMASK) == SS_ICON && (c.exStyle & WS_EX_LAYOUTRTL))
      faults.push_back(c.name + " (a picture) is mirrored");
  }
  if (!SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0) || !SendMessageW(dialog, WM_GETICON, ICON_BIG, 0))
    faults.push_back("the dialog lacks its small or its big icon");
  return faults;
}

// True when the screen under a window shows something (not one colour,
// not black).
bool CaptureHasContent(HWND w) {
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
    p &= 0xFFFFFF;
    if (colours.size() < 64) colours.insert(p);
    if (p == 0) black++;
  }
  return !pixels.empty() && colours.size() > 8 && black < pixels.size() / 2;
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
  for (const std::wstring& name : ProductDialogs(product.Get())) {
    bool known = false;
    for (const DialogRow& row : kDialogs) known = known || name == row.name;
    CHECK_MESSAGE(known, "the dialog " << Narrow(name) << " has no row in the layout check");
  }
  g_Run.DialogIcon = LoadIconW(self, L"KVXICON");
  g_Run.SmallIcon = (HICON)LoadImageW(self, L"KVXICON", IMAGE_ICON, 16, 16, LR_SHARED);
  size_t faults = 0;
  for (const std::wstring& language : Languages()) {
    FreeLanguageFile();
    SetProcessDefaultLayout(0);
    std::string label = language.empty() ? "built-in texts" : Narrow(language.substr(language.rfind(L'\\') + 1));
    if (!language.empty()) {
      LoadLanguageFile(language.c_str());
      if (g_LanguageFile.Count() == 0) FAIL_CHECK(Narrow(language) << ": no texts could be read from it");
    }
    // --dpi=screen: at the screen's own DPI only, the templates as they are.
    bool screen = Option(L"dpi") == L"screen";
    std::vector<int> dpis(kDpis, kDpis + 3);
    if (screen) {
      SetScreenDpi(0);
      dpis = {ScaleToDpi(96)};
    }
    for (int dpi : dpis) {
      SetScreenDpi(dpi);
      UniqueGdiObject bold(CreateFontW(ScaleToDpi(-12), 0, 0, 0, 700, 0, 0, 0, 0, 0, 0, 0, 0, L"MS Shell Dlg"));
      g_Run.BoldFont = (HFONT)bold.Get();
      HWND setup = nullptr;
      for (const DialogRow& row : kDialogs) {
        PretendWindows windows(10, row.windows11 ? 22631 : 19045);
        std::vector<BYTE> t = TemplateAt(product.Get(), row.name, (WORD)(screen ? 8 : 8 * dpi / 96));
        HWND w = CreateDialogIndirectParamW(self, (LPCDLGTEMPLATEW)t.data(), row.items ? setup : nullptr, row.proc,
                                           row.items ? (LPARAM)row.cascaded : (LPARAM)&g_Run);
        REQUIRE_MESSAGE(w, Narrow(row.name) << " could not be opened: error " << GetLastError());
        for (const std::string& fault : LayoutFaults(w, row.name, dpi)) {
          FAIL_CHECK((label + ", " + std::to_string(dpi) + " DPI, " + Narrow(row.name) + row.mode + ": " + fault));
          faults++;
        }
        if (language.empty() && dpi == 96) CHECK_MESSAGE(CaptureHasContent(w), Narrow(row.name) << " draws nothing");
        if (std::wstring(row.name) == L"SETUPDLG") setup = w;
        else DestroyWindow(w);
      }
      DestroyWindow(setup);
      g_Run.BoldFont = nullptr;
    }
  }
  MESSAGE(faults << " faults");
  SetScreenDpi(0);
  FreeLanguageFile();
  SetProcessDefaultLayout(0);
}

TEST_CASE("the layout check finds each kind of fault") {
  RegistrySandbox sandbox;
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
  const char* expected[] = {"control 300 and control 302 overlap", "control 303: the text \"A text far too long",
                            "control 304 lies outside the dialog", "control 304 and control 300 share the access key G",
                            "control 305 (a path or masks) reads right to left", "control 306 (a picture) is mirrored",
                            "lacks its small or its big icon"};
  CHECK(faults.size() == 7);
  for (const char* fault : expected) CHECK_MESSAGE(all.find(fault) != std::string::npos, fault);
}
