// The removal of the whole integration at uninstall.
#pragma once

#include "util/handles.h"

// The shell's notice that types, classes and handlers went, given on a
// thread of its own (the shell can take its time over it) while the run
// goes on; `Wait`, or else the scope's end, waits for it, within a bound.
class ShellChangeNotice {
 public:
  ShellChangeNotice() = default;
  ~ShellChangeNotice() { Wait(); }
  ShellChangeNotice(const ShellChangeNotice&) = delete;
  ShellChangeNotice& operator=(const ShellChangeNotice&) = delete;
  void Give();
  void Wait();

 private:
  UniqueHandle thread_;
};

// Takes back the associations, the shell extension, the shortcuts, the
// ProgIDs and the per-user settings; without `msi` (a package installer
// owns them otherwise) also the uninstall entry and App Paths. The shell
// hears of it through `notice`.
void RemoveIntegration(bool msi, ShellChangeNotice& notice);
