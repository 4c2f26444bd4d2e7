// The setup dialog "SETUPDLG": the integration choices, and on OK the whole
// integration.
#pragma once
#include <windows.h>

// The creation parameter is the run's RunContext (app/command.h): its
// options, icon and the program group the shortcut step fills in.
INT_PTR CALLBACK SetupDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Forgets that the single-item notice was shown (tests only: once per run).
void ResetSingleItemNotice();
