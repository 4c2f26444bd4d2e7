// The run's log, written only when the command line asks for it: UTF-8
// text, one line per event in the order of the run, each beginning with the
// local time to the millisecond. Every line reaches the file at once, so a
// run that is killed leaves everything up to its last moment; while the
// log is buffered (the uninstall's deletions, thousands of lines) lines are
// written at least once a second and every 64 KiB. Without a log every call
// returns at once.
#pragma once
#include <stddef.h>
#include <windows.h>

#include "util/text.h"

// The first words of the first line of every run's part of a log: a file
// that does not begin so is no log of the tool's and is never added to.
extern const char kLogSignature[];

// Starts the log at `path`: the end of an existing log of the tool's own or
// a new file (only a new one with `onlyNew`), opened through the link-safe
// operations. False, and no log, when it cannot be had (the Win32 error in
// GetLastError; ERROR_INVALID_DATA for a file that is no log of ours).
bool OpenLog(const wchar_t* path, bool onlyNew = false);
bool IsLogging();
// Writes what is kept and closes the file.
void CloseLog();
void FlushLog();
// Lines kept for a second at most (true) or written at once (false).
void BufferLog(bool buffered);

// One line, formatted as FormatText does (cut at 2,047 characters), with
// any number of arguments. The log's own words are ASCII (so the format is
// a narrow string, half the bytes in the program, and always a literal);
// what they report comes as wide arguments.
void LogLineArgs(const char* format, const FormatArg* args, size_t count);
template <class... A> void LogLine(const char* format, const A&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  LogLineArgs(format, list, sizeof...(A));
}
// A failed operation: what failed, the Win32 error number and the system's
// text for it.
void LogFailure(const char* what, const wchar_t* subject, DWORD error);

// What became of the installation's entries, for the closing summary: how
// many of each, and the names of those scheduled for the restart and of
// those left where they are.
enum class LogOutcome { Deleted, Scheduled, Skipped, Left };
const size_t kLogOutcomes = (size_t)LogOutcome::Left + 1;
void LogCount(LogOutcome outcome, const wchar_t* path = nullptr);
// The closing summary: the result in words, the exit code, whether a
// restart is needed (and for which files), the counts and the files left.
void LogSummary(const char* result, int exitCode, bool restartNeeded);
