// The completion dialog "DONEDLG" and the post-setup copy step.
#pragma once
#include <windows.h>

// The creation parameter is the run's RunContext (app/command.h).
INT_PTR CALLBACK DoneDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Copies one file from the installer's folder ("sfxname") into the current
// directory when the settings folder lacks it. False only when the
// installer's folder was found and lacks the file.
bool CopyFromInstallerFolder(const wchar_t* fileName);
// The post-setup copy step: a preset "korvex.ini" beside the installer.
bool RunPostSetupCopy();
// "http://" or "https://", in any case: what the home-page button opens.
bool IsWebAddress(const wchar_t* text);
