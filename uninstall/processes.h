// The programs that use the installation while it is removed: those that
// run from its folder, and those the Restart Manager finds holding its
// files; and asking them to close as Windows asks at shut-down.
#pragma once
#include <stddef.h>
#include <windows.h>

#include "util/array.h"
#include "util/file_list.h"
#include "util/path.h"

// How long a run waits, in all, for the programs it asked to close.
const DWORD kCloseProgramsWait = 15000;

class ProgramsInUse {
 public:
  ProgramsInUse() = default;
  ~ProgramsInUse();
  ProgramsInUse(const ProgramsInUse&) = delete;
  ProgramsInUse& operator=(const ProgramsInUse&) = delete;

  // Finds the processes other than this one whose program file lies in the
  // folder, and those the Restart Manager names as holding one of the
  // listed files (where the system has it); each is logged with its name,
  // its file and its process id.
  void Find(const wchar_t* folderWithSeparator, const FileList& list);
  // One line for each of them that may be asked to close (Explorer,
  // services and the processes the system needs never are): its
  // application name or its main window's title, and its file. Returns how
  // many.
  size_t Describe(wchar_t* text, size_t capacity) const;
  // Asks each of those to close, as Windows does at shut-down: its top-level
  // windows get WM_CLOSE, or, where this process cannot reach them (another
  // session) or it has none, the Restart Manager shuts it down. Nothing is
  // forced. Waits at most `milliseconds` in all; each outcome is logged.
  void Close(DWORD milliseconds);
  // Logs each of those, with its name, file and id, as not asked to close
  // (`why`: "not asked to close (...)").
  void Leave(const char* why) const;

 private:
  struct Program {
    HANDLE process;  // held from the finding, so that its id names no other process later
    DWORD id;
    bool closable;
    FILETIME started;
    wchar_t name[256];
    wchar_t file[kPathCapacity];
  };
  void FindHolders(const wchar_t* folderWithSeparator, const FileList& list);
  void Add(DWORD id, const FILETIME* started, bool closable, const wchar_t* name, HANDLE process, const wchar_t* file);

  GrowArray<Program> programs_;
};
