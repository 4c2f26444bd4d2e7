#include "setup/items_dialog.h"

#include "lang/language.h"
#include "lang/dialog.h"
#include "settings/store.h"
#include "setup/help.h"
#include "model/winver.h"

const MenuItem MenuItems[kMenuItemCount] = {
    {L"ExtrTo", IDC_CONTEXTEXTRACTTO, 1, 1},       {L"ExtrHere", IDC_CONTEXTEXTRACTHERE, 1, 1},
    {L"Extr", IDC_CONTEXTEXTRACT, 1, 1},           {L"ExtrSep", IDC_CONTEXTEXTRACTSEPARATE, 1, 1},
    {L"OpenSFX", IDC_CONTEXTOPENSFX, 1, 1},        {L"OpenArc", IDC_CONTEXTOPENARC, 1, 1},
    {L"AddTo", IDC_CONTEXTADD, 1, 1},              {L"AddArc", IDC_CONTEXTADDARC, 1, 1},
    {L"EmailArc", IDC_CONTEXTEMAILARC, 1, 1},      {L"EmailOpt", IDC_CONTEXTEMAILARCOPT, 1, 1},
    {L"Test", IDC_CONTEXTTEST, 0, 1},              {L"Convert", IDC_CONTEXTCONVERT, 0, 1},
    {L"NewKVX", IDC_CONTEXTNEWKVX, 1, 0},          {L"NewZIP", IDC_CONTEXTNEWZIP, 1, 0},
    {L"SFXLocal", IDC_CONTEXTSFXLOCAL, 1, 0},      {L"SFXNetwork", IDC_CONTEXTSFXNETWORK, 1, 0},
    {L"SFXOther", IDC_CONTEXTSFXOTHER, 1, 0},      {L"DragAdd", IDC_CONTEXTDRAGADD, 1, 0},
    {L"DragExtr", IDC_CONTEXTDRAGEXTRACT, 1, 0},
};

const MenuItem TopMenuItems[kTopMenuItemCount] = {
    {L"Extr", IDC_CONTEXTTOPEXTRACT, 1, 0},         {L"ExtrTo", IDC_CONTEXTTOPEXTRACTTO, 0, 0},
    {L"ExtrHere", IDC_CONTEXTTOPEXTRACTHERE, 0, 0}, {L"ExtrSep", IDC_CONTEXTTOPEXTRACTSEPARATE, 1, 1},
    {L"AddArc", IDC_CONTEXTTOPADDARC, 1, 2},        {L"AddTo", IDC_CONTEXTTOPADD, 0, 2},
};

static const wchar_t kItemsKey[] = L"Setup\\MenuItems";
static const wchar_t kTopItemsKey[] = L"Setup\\TopMenuItems";

// Set at every dialog start; read when the dialog is confirmed.
static bool g_TopItemsHidden;

static void Initialize(HWND window, bool cascaded) {
  bool topMode = !cascaded && IsWindows11OrLater();
  if (topMode) {
    g_TopItemsHidden = false;
    for (const MenuItem& item : MenuItems)
      if (item.group) ShowWindow(GetDlgItem(window, item.id), SW_HIDE);
    // At most one control per group is checked: the first that reads on.
    int onGroup = -1;
    for (const MenuItem& item : TopMenuItems) {
      if (item.group == onGroup) continue;
      int value = ReadSettingInt(kTopItemsKey, item.name, item.defaultValue);
      CheckDlgButton(window, item.id, value ? BST_CHECKED : BST_UNCHECKED);
      if (value) onGroup = item.group;
    }
  } else {
    g_TopItemsHidden = true;
    for (const MenuItem& item : TopMenuItems) ShowWindow(GetDlgItem(window, item.id), SW_HIDE);
  }
  for (const MenuItem& item : MenuItems)
    CheckDlgButton(window, item.id, (UINT)ReadSettingInt(kItemsKey, item.name, item.defaultValue));
  wchar_t masks[1024];
  ReadSettingString(kItemsKey, L"AlwaysArc", masks, L"*.iso");
  SetDlgItemTextW(window, IDC_CONTEXTALWAYSARC, masks);
  // File masks read left to right in any language.
  KeepLeftToRight(GetDlgItem(window, IDC_CONTEXTALWAYSARC));
  // The setup dialog's icons.
  HWND owner = GetWindow(window, GW_OWNER);
  const WPARAM kinds[] = {ICON_BIG, ICON_SMALL};
  for (WPARAM kind : kinds) SendMessageW(window, WM_SETICON, kind, SendMessageW(owner, WM_GETICON, kind, 0));
}

static void Confirm(HWND window) {
  for (const MenuItem& item : MenuItems)
    WriteSettingInt(kItemsKey, item.name, IsDlgButtonChecked(window, item.id) == BST_CHECKED);
  if (!g_TopItemsHidden)
    for (const MenuItem& item : TopMenuItems)
      WriteSettingInt(kTopItemsKey, item.name, IsDlgButtonChecked(window, item.id) == BST_CHECKED);
  wchar_t masks[1024];
  GetDlgItemTextW(window, IDC_CONTEXTALWAYSARC, masks, 1024);
  WriteSettingString(kItemsKey, L"AlwaysArc", masks);
  SaveSettingsNow();
  EndDialog(window, 1);
}

INT_PTR CALLBACK ItemsDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (DialogHook(window, message, wParam, lParam, L"SETUPCONTEXTITEMS", [] { ShowHelp(L"HELPContextItems"); }) ||
      message == WM_HELP)
    return TRUE;
  if (message == WM_INITDIALOG) {
    Initialize(window, lParam != 0);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
      Confirm(window);
      return TRUE;
    case IDCANCEL:
      EndDialog(window, 0);
      return TRUE;
  }
  return FALSE;
}
