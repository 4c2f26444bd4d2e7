#include "setup/setup_dialog.h"

#include "app/command.h"

INT_PTR CALLBACK SetupDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    if (g_RunOptions.Silent) SendMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
  }
  if (message == WM_COMMAND) {
    if (LOWORD(wParam) == IDOK) EndDialog(window, 1);
    if (LOWORD(wParam) == IDCANCEL) {
      g_RunOptions.ExitCode = 1;
      EndDialog(window, 0);
    }
    return TRUE;
  }
  return FALSE;
}
