#include "uninstall/processes.h"

#include <restartmanager.h>
#include <string.h>
#include <tlhelp32.h>

#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/text.h"
#include "util/trust.h"

namespace {

// The Restart Manager's calls, bound at run time from the system folder:
// only an uninstall needs the library.
const char* const kRestartManagerCalls[] = {"RmStartSession", "RmRegisterResources", "RmGetList", "RmShutdown",
                                            "RmEndSession"};

class RestartManager {
 public:
  // A session of its own; false when the system has none.
  bool Start() {
    module_.Reset(LoadSystemLibrary(L"rstrtmgr.dll"));
    for (size_t i = 0; i < 5; i++)
      if (!module_ || !(calls_[i] = GetProcAddress(module_.Get(), kRestartManagerCalls[i]))) return false;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    started_ = ((decltype(&RmStartSession))calls_[0])(&session_, 0, key) == ERROR_SUCCESS;
    return started_;
  }
  ~RestartManager() {
    if (started_) ((decltype(&RmEndSession))calls_[4])(session_);
  }
  bool Add(UINT files, const wchar_t** names, UINT processes, RM_UNIQUE_PROCESS* ids) {
    return ((decltype(&RmRegisterResources))calls_[1])(session_, files, names, processes, ids, 0, nullptr) ==
           ERROR_SUCCESS;
  }
  DWORD List(UINT* needed, UINT* count, RM_PROCESS_INFO* found) {
    DWORD reasons;
    return ((decltype(&RmGetList))calls_[2])(session_, needed, count, found, &reasons);
  }
  void ShutDown() { ((decltype(&RmShutdown))calls_[3])(session_, 0, nullptr); }  // no force: a program may refuse

 private:
  UniqueModule module_;
  FARPROC calls_[5];
  DWORD session_ = 0;
  bool started_ = false;
};

struct WindowSearch {
  DWORD id;
  wchar_t* title;  // null: every such window of the process gets WM_CLOSE
  unsigned found;
};

// The process's visible top-level windows that no other window owns: its
// main window's title, or each asked to close.
BOOL CALLBACK VisitWindow(HWND window, LPARAM param) {
  WindowSearch& search = *reinterpret_cast<WindowSearch*>(param);
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  if (id != search.id || !IsWindowVisible(window) || GetWindow(window, GW_OWNER)) return TRUE;
  if (!search.title) PostMessageW(window, WM_CLOSE, 0, 0);
  else if (GetWindowTextW(window, search.title, 256) <= 0) return TRUE;
  search.found++;
  return !search.title;
}

// The processes no window of theirs can ask, asked through the Restart
// Manager: on a thread of its own, for its shut-down takes what time it
// likes, while the run waits only so long for the processes. The thread
// owns the list and frees it.
struct ShutDownList {
  UINT count;
  RM_UNIQUE_PROCESS processes[64];
};

DWORD WINAPI ShutDownThread(void* param) {
  auto list = static_cast<ShutDownList*>(param);
  RestartManager rm;
  if (rm.Start() && rm.Add(0, nullptr, list->count, list->processes)) rm.ShutDown();
  FreeElements(list);
  return 0;
}

DWORD SessionOf(DWORD id) {
  DWORD session = (DWORD)-1;
  ProcessIdToSessionId(id, &session);
  return session;
}

// "<what>: <name> (<file>, process <id>)".
void LogProgram(const char* what, const wchar_t* name, const wchar_t* file, DWORD id) {
  char format[96];
  CopyTextA(format, what);
  AppendTextA(format, ": %s (%s, process %u)");
  LogLine(format, name, file, id);
}

}  // namespace

ProgramsInUse::~ProgramsInUse() {
  for (size_t i = 0; i < programs_.Count(); i++) UniqueHandle closing(programs_[i].process);
}

void ProgramsInUse::Add(DWORD id, const FILETIME* started, bool closable, const wchar_t* name, HANDLE process,
                        const wchar_t* file) {
  UniqueHandle held(process);
  for (size_t i = 0; i < programs_.Count(); i++)
    if (programs_[i].id == id) return;
  if (id == GetCurrentProcessId()) return;
  if (!held) held.Reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  FILETIME times[4] = {};
  GetProcessTimes(held.Get(), &times[0], &times[1], &times[2], &times[3]);
  // An id the Restart Manager gave for a process that has ended since.
  if (started && held && memcmp(started, &times[0], sizeof times[0]) != 0) return;
  programs_.AddElements(1);
  Program& p = programs_[programs_.Count() - 1];
  p.id = id;
  p.started = times[0];
  p.closable = closable && held;
  DWORD size = kPathCapacity;
  if (file) CopyText(p.file, file);
  else if (!QueryFullProcessImageNameW(held.Get(), 0, p.file, &size)) CopyText(p.file, L"?");
  WindowSearch search = {id, p.name, 0};
  EnumWindows(VisitWindow, (LPARAM)&search);
  if (!search.found) CopyText(p.name, name && name[0] ? name : PointToName(p.file));
  p.process = held.Release();
  LogProgram(p.closable ? "in use" : "in use (never asked to close)", p.name,
             p.file, id);
}

void ProgramsInUse::Find(const wchar_t* folderWithSeparator, const FileList& list) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    wchar_t file[kPathCapacity];
    DWORD size = kPathCapacity;
    if (process && QueryFullProcessImageNameW(process.Get(), 0, file, &size) &&
        IsInsideFolder(file, folderWithSeparator))
      Add(entry.th32ProcessID, nullptr, true, nullptr, process.Release(), file);
  }
  FindHolders(folderWithSeparator, list);
  if (!programs_.Count()) LogLine("in use: by no other program");
}

// Whoever holds a listed file, as the Restart Manager sees it (it finds
// Explorer holding the shell extension, a viewer holding a document). The
// files are registered 64 at a time.
void ProgramsInUse::FindHolders(const wchar_t* folderWithSeparator, const FileList& list) {
  RestartManager rm;
  if (!rm.Start()) return;
  const size_t kBatch = 64;
  GrowArray<wchar_t> paths;
  paths.AddElements(kBatch * kPathCapacity);
  const wchar_t* names[kBatch];
  size_t folderLength = TextLength(folderWithSeparator), n = 0;
  for (size_t i = 0; i <= list.entries.Count(); i++) {
    if (i < list.entries.Count()) {
      wchar_t* path = paths.Data() + n * kPathCapacity;
      CopyText(path, folderWithSeparator, kPathCapacity);
      if (ListedPath(list, i, path, kPathCapacity, folderLength)) names[n++] = path;
    }
    if ((n == kBatch || i == list.entries.Count()) && n && !rm.Add((UINT)n, names, 0, nullptr)) return;
    if (n == kBatch) n = 0;
  }
  GrowArray<RM_PROCESS_INFO> found;
  UINT needed = 0, count = 0;
  if (rm.List(&needed, &count, nullptr) == ERROR_MORE_DATA) {
    found.AddElements(needed);
    count = needed;
    if (rm.List(&needed, &count, found.Data()) != ERROR_SUCCESS) count = 0;
  }
  for (UINT i = 0; i < count; i++) {
    const RM_PROCESS_INFO& info = found[i];
    RM_APP_TYPE type = info.ApplicationType;
    Add(info.Process.dwProcessId, &info.Process.ProcessStartTime,
        type != RmExplorer && type != RmCritical && type != RmService, info.strAppName, nullptr, nullptr);
  }
}

size_t ProgramsInUse::Describe(wchar_t* text, size_t capacity) const {
  text[0] = 0;
  size_t n = 0;
  for (size_t i = 0; i < programs_.Count(); i++) {
    size_t used = TextLength(text);
    if (programs_[i].closable && ++n)
      FormatText(text + used, capacity - used, L"%s (%s)\n", programs_[i].name, programs_[i].file);
  }
  return n;
}

void ProgramsInUse::Leave(const char* why) const {
  for (size_t i = 0; i < programs_.Count(); i++)
    if (programs_[i].closable) LogProgram(why, programs_[i].name, programs_[i].file, programs_[i].id);
}

void ProgramsInUse::Close(DWORD milliseconds) {
  DWORD session = SessionOf(GetCurrentProcessId());
  auto rest = static_cast<ShutDownList*>(ReallocateElements(nullptr, 1, sizeof(ShutDownList)));
  rest->count = 0;
  for (size_t i = 0; i < programs_.Count(); i++) {
    Program& p = programs_[i];
    if (!p.closable) continue;
    WindowSearch search = {p.id, nullptr, 0};
    if (SessionOf(p.id) == session) EnumWindows(VisitWindow, (LPARAM)&search);
    if (!search.found && rest->count < 64) rest->processes[rest->count++] = RM_UNIQUE_PROCESS{p.id, p.started};
    LogProgram("asked to close", p.name, p.file, p.id);
  }
  UniqueHandle thread;
  if (rest->count) thread.Reset(CreateThread(nullptr, 0, ShutDownThread, rest, 0, nullptr));
  if (!thread) FreeElements(rest);
  DWORD begin = GetTickCount();
  for (size_t i = 0; i < programs_.Count(); i++) {
    const Program& p = programs_[i];
    if (!p.closable) continue;
    DWORD spent = GetTickCount() - begin;
    bool closed = WaitForSingleObject(p.process, spent < milliseconds ? milliseconds - spent : 0) == WAIT_OBJECT_0;
    LogProgram(closed ? "closed" : "did not close", p.name, p.file, p.id);
  }
}
