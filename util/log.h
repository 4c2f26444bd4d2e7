// The run's log, written only when the command line asks for it: UTF-8
// text, one line per event, in the order of the run. Lines are kept in
// memory and written at the flush points (before a message box, before
// another process starts, every 64 KiB and at the end), so that a run that
// is killed still leaves what it did up to its last question or process.
// Without a log every call returns at once.
#pragma once
#include <stddef.h>
#include <windows.h>

#include "util/text.h"

// Starts the log at `path`: the end of an existing file or a new one (only a
// new one with `onlyNew`), opened through the link-safe operations (the
// temporary folder is the user's). False, and no log, when it cannot be had.
bool OpenLog(const wchar_t* path, bool onlyNew = false);
bool IsLogging();
// Writes what is kept and closes the file.
void CloseLog();
void FlushLog();

// One line, formatted as FormatText does (cut at 2,047 characters).
void LogLine(const wchar_t* format);
void LogLine(const wchar_t* format, const FormatArg& a);
void LogLine(const wchar_t* format, const FormatArg& a, const FormatArg& b);
void LogLine(const wchar_t* format, const FormatArg& a, const FormatArg& b, const FormatArg& c,
             const FormatArg& d = FormatArg(0));
// A failed operation: what failed, the Win32 error number and the system's
// text for it.
void LogFailure(const wchar_t* what, const wchar_t* subject, DWORD error);
