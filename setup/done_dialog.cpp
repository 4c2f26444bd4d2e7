#include "setup/done_dialog.h"

INT_PTR CALLBACK DoneDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(window, 1);
    return TRUE;
  }
  return FALSE;
}

bool CopyFromInstallerFolder(const wchar_t*) { return true; }
bool RunPostSetupCopy() { return CopyFromInstallerFolder(L"korvex.ini"); }
