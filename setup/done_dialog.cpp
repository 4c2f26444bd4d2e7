#include "setup/done_dialog.h"

#include "app/command.h"
#include "lang/language.h"
#include "lang/dialog.h"
#include "settings/settings_file.h"
#include "setup/help.h"
#include "shell/desktop.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"
#include "util/trust.h"

// A preset settings file is small; anything far larger is no preset.
const size_t kMaxPresetBytes = 16 << 20;

bool CopyFromInstallerFolder(const wchar_t* fileName) {
  wchar_t folder[kPathCapacity], settingsFile[kPathCapacity];
  GetSettingsFolder(folder, kPathCapacity, false);
  JoinPath(folder, fileName, settingsFile);
  if (FileExists(settingsFile)) return true;
  wchar_t source[kPathCapacity];
  DWORD n = GetEnvironmentVariableW(L"sfxname", source, kPathCapacity);
  if (!FitsBuffer(n, kPathCapacity) || !source[0]) return true;
  ReplaceName(source, fileName);
  if (!FileExists(source)) return false;
  // The installer's folder is often the user's downloads: a link planted
  // there at the file's name must not have the elevated setup copy what it
  // leads to into the installation folder, where every user can read it;
  // and only what the user could read with their own rights is read.
  UniqueFile file;
  {
    AsTheUser user;
    if (user.Acting()) file.Reset(OpenUnredirected(source, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  }
  if (file) CopyHandleToNewFile(file.Get(), fileName, kMaxPresetBytes);
  return true;
}

bool RunPostSetupCopy() { return CopyFromInstallerFolder(L"korvex.ini"); }

bool IsWebAddress(const wchar_t* text) {
  auto starts = [](const wchar_t* t, const wchar_t* prefix) {
    for (; *prefix; t++, prefix++)
      if (UpperLatin(*t) != UpperLatin(*prefix)) return false;
    return true;
  };
  return starts(text, L"http://") || starts(text, L"https://");
}

INT_PTR CALLBACK DoneDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (DialogHook(window, message, wParam, lParam, L"DONEDLG", nullptr)) return TRUE;
  if (message == WM_INITDIALOG) {
    const RunContext& run = *reinterpret_cast<const RunContext*>(lParam);
    SendMessageW(window, WM_SETICON, ICON_BIG, (LPARAM)run.DialogIcon);
    SendMessageW(window, WM_SETICON, ICON_SMALL, (LPARAM)run.SmallIcon);
    SendDlgItemMessageW(window, IDC_THANKS, WM_SETFONT, (WPARAM)run.BoldFont, FALSE);
    wchar_t folder[kPathCapacity];
    DWORD n = GetCurrentDirectoryW(kPathCapacity, folder);
    if (!FitsBuffer(n, kPathCapacity)) folder[0] = 0;
    SetDlgItemTextW(window, IDC_INSTFOLDER, folder);
    // The folder reads left to right, and the logo is not mirrored, in any language.
    KeepLeftToRight(GetDlgItem(window, IDC_INSTFOLDER));
    KeepLeftToRight(GetDlgItem(window, IDC_INSTICON));
    if (run.Options.Silent) SendMessageW(window, WM_COMMAND, IDOK, 0);
    // The focus on Done, not in the folder's box (its text would show
    // selected, and Enter would not close the dialog).
    SendMessageW(window, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(window, IDOK), TRUE);
    return FALSE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
    case IDCANCEL:
      EndDialog(window, 1);
      break;
    case IDC_VIEWHELP:
      ShowHelp();
      break;
    case IDC_VIEWLICENSE: {
      wchar_t path[kPathCapacity], found[kPathCapacity];
      DWORD n = GetCurrentDirectoryW(kPathCapacity, path);
      if (!FitsBuffer(n, kPathCapacity)) path[0] = 0;
      AddTrailingSeparator(path);
      AppendText(path, L"license.txt");
      FindLanguageFile(path, found);
      OpenInUserShell(found);
      break;
    }
    case IDC_HOMEPAGE: {
      // The address comes from a translation that a per-user setting may
      // choose, and setup runs elevated: only a web address is opened.
      const wchar_t* url = GetText(IDS_HOMEURL);
      if (IsWebAddress(url)) OpenInUserShell(url);
      break;
    }
  }
  return TRUE;
}
