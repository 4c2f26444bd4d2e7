#include "setup/done_dialog.h"

#include "app/command.h"

INT_PTR CALLBACK DoneDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    if (g_RunOptions.Silent) SendMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(window, 1);
    return TRUE;
  }
  return FALSE;
}

bool CopyFromInstallerFolder(const wchar_t*) { return true; }
bool RunPostSetupCopy() { return CopyFromInstallerFolder(L"korvex.ini"); }
