// Start-up and shut-down of the process.
#pragma once
#include <windows.h>

#include "util/path.h"

// value * (vertical DPI) / 96, truncated toward zero; 0 while the screen
// cannot be asked.
int ScaleToDpi(int value);
// Sets the DPI that ScaleToDpi caches; 0 makes it ask the screen again.
// (Wine changes the screen's DPI only for a new wine server: tests use this.)
void SetScreenDpi(int dpi);
// When the flag is set: takes the current directory out of the DLL search
// order, and has later loads by name search the system folder alone, not the
// program's own folder either (it may hold files a user dropped there).
void HardenDllSearch(bool removeCurrentDirectory);

// The whole run: start-up, the mode the command line selects, shut-down.
// Returns the exit code.
int RunProgram(HINSTANCE instance);
