// Which Windows this is: a packed version number, and whether it is Windows
// 11 or later (which still reports major version 10). Both are asked once
// per process.
#pragma once
#include <windows.h>

// major * 256 + minor on the NT platform (0x0A00 for 10.0), 0x0501 otherwise.
DWORD WindowsVersion();
// Needs COM on the calling thread (start-up initialises OLE).
bool IsWindows11OrLater();
// The WMI test: true when the operating system calls itself "Windows 10".
bool OperatingSystemNameSaysWindows10();

// Test seam. Wine 8 cannot report a Windows 11 build, so tests of the
// Windows 11 branches replace the version answers: when set, `info` stands
// for GetVersionExW, and `windows10Name` (when set) for the WMI test.
// Production never sets it and always asks the system.
struct VersionSeam {
  OSVERSIONINFOW info;
  bool (*windows10Name)();
};
extern const VersionSeam* g_VersionSeam;
// Forgets the cached answers (tests only).
void ForgetVersionAnswers();
