#include "util/log.h"

#include "util/array.h"
#include "util/file.h"
#include "util/handles.h"

namespace {

struct LogState {
  UniqueFile file;
  GrowArray<char> pending;
};
LogState* g_Log;  // null without a log

const size_t kFlushBytes = 64 << 10;

}  // namespace

bool OpenLog(const wchar_t* path, bool onlyNew) {
  CloseLog();
  UniqueFile file(OpenUnredirected(path, GENERIC_WRITE, FILE_SHARE_READ, onlyNew ? CREATE_NEW : OPEN_ALWAYS));
  LARGE_INTEGER zero = {};
  if (!file || !SetFilePointerEx(file.Get(), zero, nullptr, FILE_END)) return false;
  static LogState state;
  state.file = static_cast<UniqueFile&&>(file);
  g_Log = &state;
  return true;
}

bool IsLogging() { return g_Log != nullptr; }

void FlushLog() {
  if (!g_Log || g_Log->pending.Count() == 0) return;
  WriteExactly(g_Log->file.Get(), g_Log->pending.Data(), g_Log->pending.Count());
  g_Log->pending.Shrink(0);
}

void CloseLog() {
  if (!g_Log) return;
  FlushLog();
  g_Log->file.Reset();
  g_Log->pending.Reset();
  g_Log = nullptr;
}

namespace {

void LogLineArgs(const wchar_t* format, const FormatArg* args, size_t count) {
  wchar_t line[2048];
  FormatTextArgs(line, 2048, format, args, count);
  // The line in UTF-8, with the system's line end.
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  size_t at = g_Log->pending.Count();
  g_Log->pending.AddElements((size_t)bytes + 1);
  WideCharToMultiByte(CP_UTF8, 0, line, -1, g_Log->pending.Data() + at, bytes, nullptr, nullptr);
  g_Log->pending[at + bytes - 1] = '\r';
  g_Log->pending[at + bytes] = '\n';
  if (g_Log->pending.Count() >= kFlushBytes) FlushLog();
}

}  // namespace

void LogLine(const wchar_t* format) {
  if (g_Log) LogLineArgs(format, nullptr, 0);
}
void LogLine(const wchar_t* format, const FormatArg& a) {
  if (g_Log) LogLineArgs(format, &a, 1);
}
void LogLine(const wchar_t* format, const FormatArg& a, const FormatArg& b) {
  const FormatArg args[] = {a, b};
  if (g_Log) LogLineArgs(format, args, 2);
}
void LogLine(const wchar_t* format, const FormatArg& a, const FormatArg& b, const FormatArg& c, const FormatArg& d) {
  const FormatArg args[] = {a, b, c, d};
  if (g_Log) LogLineArgs(format, args, 4);
}

void LogFailure(const wchar_t* what, const wchar_t* subject, DWORD error) {
  if (!g_Log) return;
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 512,
                           nullptr);
  while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) text[--n] = 0;
  LogLine(L"failed: %s %s: error %u (%s)", what, subject, (unsigned)error, text);
}
