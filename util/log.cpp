#include "util/log.h"

#include <string.h>

#include "util/array.h"
#include "util/file.h"
#include "util/handles.h"

const char kLogSignature[] = "==== Korvex ";

namespace {

struct LogState {
  UniqueFile file;
  GrowArray<char> pending;
  bool buffered;
  DWORD lastFlush;
  size_t counts[kLogOutcomes];  // by LogOutcome
  TextPool names;             // the scheduled and left entries' paths
  GrowArray<size_t> scheduled, left;
};
LogState* g_Log;  // null without a log

const size_t kFlushBytes = 64 << 10;
const DWORD kFlushMilliseconds = 1000;

// A file of ours begins with a time ("hh:mm:ss.mmm ") and the signature.
bool IsOwnLog(HANDLE file) {
  char start[13 + sizeof kLogSignature];
  DWORD got = 0;
  if (!ReadFile(file, start, sizeof start - 1, &got, nullptr)) return false;
  if (got == 0) return true;  // empty: nothing to lose
  start[got] = 0;
  return got == sizeof start - 1 && memcmp(start + 13, kLogSignature, sizeof kLogSignature - 1) == 0;
}

}  // namespace

bool OpenLog(const wchar_t* path, bool onlyNew) {
  CloseLog();
  UniqueFile file(OpenUnredirected(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, onlyNew ? CREATE_NEW : OPEN_ALWAYS));
  if (!file) return false;
  if (!IsOwnLog(file.Get())) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(file.Get(), zero, nullptr, FILE_END)) return false;
  static LogState state;
  state.file = static_cast<UniqueFile&&>(file);
  state.buffered = false;
  state.lastFlush = GetTickCount();
  for (size_t& count : state.counts) count = 0;
  g_Log = &state;
  return true;
}

bool IsLogging() { return g_Log != nullptr; }

void FlushLog() {
  if (!g_Log) return;
  g_Log->lastFlush = GetTickCount();
  if (g_Log->pending.Count() == 0) return;
  WriteExactly(g_Log->file.Get(), g_Log->pending.Data(), g_Log->pending.Count());
  g_Log->pending.Shrink(0);
}

void BufferLog(bool buffered) {
  if (!g_Log) return;
  g_Log->buffered = buffered;
  if (!buffered) FlushLog();
}

void CloseLog() {
  if (!g_Log) return;
  FlushLog();
  g_Log->file.Reset();
  g_Log->pending.Reset();
  g_Log->names.Clear();
  g_Log->scheduled.Reset();
  g_Log->left.Reset();
  g_Log = nullptr;
}

void LogLineArgs(const char* narrowFormat, const FormatArg* args, size_t count) {
  if (!g_Log) return;
  wchar_t format[512], line[2048 + 16];
  size_t n = 0;
  for (; narrowFormat[n] && n < 511; n++) format[n] = (unsigned char)narrowFormat[n];
  format[n] = 0;
  SYSTEMTIME now;
  GetLocalTime(&now);
  FormatText(line, L"%02u:%02u:%02u.%03u ", (unsigned)now.wHour, (unsigned)now.wMinute, (unsigned)now.wSecond,
             (unsigned)now.wMilliseconds);
  FormatTextArgs(line + 13, 2048, format, args, count);
  // The line in UTF-8, with the system's line end.
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  size_t at = g_Log->pending.Count();
  g_Log->pending.AddElements((size_t)bytes + 1);
  WideCharToMultiByte(CP_UTF8, 0, line, -1, g_Log->pending.Data() + at, bytes, nullptr, nullptr);
  g_Log->pending[at + bytes - 1] = '\r';
  g_Log->pending[at + bytes] = '\n';
  if (!g_Log->buffered || g_Log->pending.Count() >= kFlushBytes ||
      GetTickCount() - g_Log->lastFlush >= kFlushMilliseconds)
    FlushLog();
}

void LogFailure(const char* what, const wchar_t* subject, DWORD error) {
  if (!g_Log) return;
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 512,
                           nullptr);
  while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) text[--n] = 0;
  wchar_t words[160];
  AnsiToWide(what, words, 160);  // the log's own words, ASCII
  LogLine("failed: %s %s: error %u (%s)", words, subject, (unsigned)error, text);
}

void LogCount(LogOutcome outcome, const wchar_t* path) {
  if (!g_Log) return;
  g_Log->counts[(size_t)outcome]++;
  if (path && outcome == LogOutcome::Scheduled) g_Log->scheduled.PushElement(g_Log->names.Add(path));
  if (path && outcome == LogOutcome::Left) g_Log->left.PushElement(g_Log->names.Add(path));
}

void LogSummary(const char* result, int exitCode, bool restartNeeded) {
  if (!g_Log) return;
  wchar_t words[160];
  AnsiToWide(result, words, 160);  // the log's own words, ASCII
  LogLine("summary: %s, exit code %d, restart needed: %s", words, exitCode, restartNeeded ? L"yes" : L"no");
  for (size_t i = 0; i < g_Log->scheduled.Count(); i++)
    LogLine("summary: at the restart goes %s", g_Log->names.At(g_Log->scheduled[i]));
  auto count = [](LogOutcome outcome) { return (unsigned)g_Log->counts[(size_t)outcome]; };
  LogLine("summary: entries deleted %u, scheduled for the restart %u, skipped %u, left %u", count(LogOutcome::Deleted),
          count(LogOutcome::Scheduled), count(LogOutcome::Skipped), count(LogOutcome::Left));
  for (size_t i = 0; i < g_Log->left.Count(); i++) LogLine("summary: left %s", g_Log->names.At(g_Log->left[i]));
}
