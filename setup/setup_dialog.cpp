#include "setup/setup_dialog.h"

#include <richedit.h>

#include "app/command.h"
#include "lang/language.h"
#include "lang/dialog.h"
#include "settings/store.h"
#include "settings/transaction.h"
#include "setup/items_dialog.h"
#include "model/options.h"
#include "setup/uninstall_entry.h"
#include "setup/help.h"
#include "model/winver.h"
#include "shell/apply.h"
#include "shell/associations.h"
#include "util/log.h"
#include "util/text.h"

namespace {

// The single-item notice of the cascaded-menu box is shown once per run.
bool g_SingleItemNoticeShown;

struct FieldBox {
  int id;
  uint8_t IntegrationOptions::*field;
};
const FieldBox kFieldBoxes[] = {
    {IDC_LINKDESKTOP, &IntegrationOptions::Desktop},     {IDC_LINKSTARTMENU, &IntegrationOptions::StartMenu},
    {IDC_LINKPROGRAMS, &IntegrationOptions::Programs},   {IDC_SHELLEXT, &IntegrationOptions::ShellExt},
    {IDC_SHELLCASCADED, &IntegrationOptions::CascadedMenu}, {IDC_SHELLICONS, &IntegrationOptions::MenuIcons},
    {IDC_SHELLLEGACYMENU, &IntegrationOptions::LegacyMenu},
};

void ShowRecord(HWND window, const IntegrationOptions& options) {
  for (size_t i = 0; i < kArchiveTypeCount; i++)
    CheckDlgButton(window, ArchiveTypes[i].checkBox, options.Associate[i] ? BST_CHECKED : BST_UNCHECKED);
  for (const FieldBox& box : kFieldBoxes)
    CheckDlgButton(window, box.id, options.*box.field ? BST_CHECKED : BST_UNCHECKED);
  EnableWindow(GetDlgItem(window, IDC_SHELLCASCADED), options.ShellExt);
  EnableWindow(GetDlgItem(window, IDC_SHELLICONS), options.ShellExt);
  EnableWindow(GetDlgItem(window, IDC_SHELLLEGACYMENU), options.ShellExt && IsWindows11OrLater());
}

void ReadRecord(HWND window, IntegrationOptions& options) {
  for (size_t i = 0; i < kArchiveTypeCount; i++)
    options.Associate[i] = IsDlgButtonChecked(window, ArchiveTypes[i].checkBox) == BST_CHECKED;
  for (const FieldBox& box : kFieldBoxes) options.*box.field = IsDlgButtonChecked(window, box.id) == BST_CHECKED;
}

void ComposeExplanation(HWND window) {
  wchar_t text[4096];
  CopyText(text, L"   ");
  for (uint32_t id = IDS_INSTHELP1; id <= IDS_INSTHELP5; id++) {
    AppendText(text, L" ");
    AppendText(text, GetText(id));
  }
  AppendText(text, L"\r\n    ");
  AppendText(text, GetText(IDS_INSTHELP6));
  SetDlgItemTextW(window, IDC_INSTHELP, text);
  if (g_LanguageFile.RightToLeft) {
    // The explanation reads from the right, like the rest of the dialog.
    PARAFORMAT2 format = {};
    format.cbSize = sizeof format;
    format.dwMask = PFM_ALIGNMENT | PFM_RTLPARA;
    format.wAlignment = PFA_RIGHT;
    format.wEffects = PFE_RTLPARA;
    SendDlgItemMessageW(window, IDC_INSTHELP, EM_SETSEL, 0, -1);
    SendDlgItemMessageW(window, IDC_INSTHELP, EM_SETPARAFORMAT, 0, (LPARAM)&format);
    SendDlgItemMessageW(window, IDC_INSTHELP, EM_SETSEL, 0, 0);
  }
}

// Everything from the saved choices on goes through the run's transaction:
// a change refused anywhere puts all of it back, and the machine is as the
// run found it.
void Confirm(HWND window, RunContext& run) {
  IntegrationOptions options = {};
  ReadRecord(window, options);
  SetupTransaction& changes = *run.Transaction;
  changes.Begin();
  SaveIntegrationOptions(changes, options);
  if (ApplyIntegration(changes, options, run.ProgramGroupPath, kPathCapacity)) {
    changes.DeleteValue(HKEY_CURRENT_USER, L"Interface\\Misc", L"RemShown");
    if (!run.Options.Msi) WriteUninstallEntry(changes);
    // ".ace" is no longer offered: an association left by an earlier version goes.
    SetExtensionAssociation(changes, L".ace", kReleaseType);
  }
  if (changes.Refused()) {
    // Not allowed to change the machine's settings (not elevated, a policy):
    // nothing of the integration may stay half made.
    size_t undone = changes.Undo();
    LogLine("setup could not complete: %u changes put back", (unsigned)undone);
    run.ProgramGroupPath[0] = 0;
    ShowMessage(window, GetText(IDS_CANNOTINTEGRATE), GetText(IDS_UNINSTTITLE), MB_ICONERROR | MB_SETFOREGROUND);
    run.Options.ExitCode = kExitRefused;
    EndDialog(window, 0);
    return;
  }
  changes.Commit();
  EndDialog(window, 1);
}

void ToggleAllAssociations(HWND window) {
  bool anyClear = false;
  for (const ArchiveType& type : ArchiveTypes)
    if (GetDlgItem(window, type.checkBox) && IsDlgButtonChecked(window, type.checkBox) != BST_CHECKED) anyClear = true;
  for (const ArchiveType& type : ArchiveTypes) CheckDlgButton(window, type.checkBox, anyClear ? BST_CHECKED : BST_UNCHECKED);
}

}  // namespace

void ResetSingleItemNotice() { g_SingleItemNoticeShown = false; }

INT_PTR CALLBACK SetupDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (DialogHook(window, message, wParam, lParam, L"SETUPDLG", [] { ShowHelp(L"HELPIntegrationSettings"); }))
    return TRUE;
  if (message == WM_INITDIALOG) {
    // The run's context comes with the dialog's creation and stays with it.
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    RunContext& run = *reinterpret_cast<RunContext*>(lParam);
    ComposeExplanation(window);
    IntegrationOptions options = {};
    LoadIntegrationOptions(options);
    ApplyInstallerOverrides(run.Options.InitText, options);
    ShowRecord(window, options);
    SetForegroundWindow(window);
    SendMessageW(window, WM_SETICON, ICON_BIG, (LPARAM)run.DialogIcon);
    SendMessageW(window, WM_SETICON, ICON_SMALL, (LPARAM)run.SmallIcon);
    SendDlgItemMessageW(window, IDC_INSTHELP, EM_SETBKGNDCOLOR, 0, GetSysColor(COLOR_BTNFACE));
    if (run.Options.Silent) SendMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  RunContext& run = *reinterpret_cast<RunContext*>(GetWindowLongPtrW(window, DWLP_USER));
  switch (LOWORD(wParam)) {
    case IDOK:
      Confirm(window, run);
      break;
    case IDCANCEL:
      run.Options.ExitCode = kExitCancelled;
      EndDialog(window, 0);
      break;
    case IDC_SHELLEXT: {
      IntegrationOptions options = {};
      ReadRecord(window, options);
      ShowRecord(window, options);
      break;
    }
    case IDC_SHELLCASCADED:
      if (!g_SingleItemNoticeShown && IsWindows11OrLater() &&
          IsDlgButtonChecked(window, IDC_SHELLCASCADED) != BST_CHECKED) {
        ShowMessage(window, GetText(IDS_SINGLETOPITEM), GetText(IDS_UNINSTTITLE), MB_ICONINFORMATION);
        g_SingleItemNoticeShown = true;
      }
      break;
    case IDC_ASSOCALL:
      ToggleAllAssociations(window);
      break;
    case IDC_SETCONTEXTMENU:
      DialogBoxParamW(ResourceInstance, L"SETUPCONTEXTITEMS", window, ItemsDialogProc,
                      IsDlgButtonChecked(window, IDC_SHELLCASCADED) == BST_CHECKED);
      break;
  }
  return TRUE;
}
