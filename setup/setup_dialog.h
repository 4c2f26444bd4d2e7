// The setup dialog "SETUPDLG": the integration choices, and on OK the whole
// integration.
#pragma once
#include <windows.h>

INT_PTR CALLBACK SetupDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
