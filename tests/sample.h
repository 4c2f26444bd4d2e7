// A sample installation of the archiver for tests and the demo: the real
// uninstall.exe beside stand-ins for the other components, nested folders,
// a read-only file, and the file list "Uninstall.lst" naming all of it.
#pragma once
#include <string>
#include <vector>

struct SampleInstallation {
  std::wstring folder;                   // the installation folder
  std::vector<std::string> listedFiles;  // relative names, as listed
  std::vector<std::string> listedFolders;
  std::wstring programName;  // the product's file name in the folder

  // Lays the installation out in `folder` (created; emptied first). The
  // product may go by another name (Wine gives some names their own
  // Windows version).
  explicit SampleInstallation(const std::wstring& folder, bool withLanguageModule = true,
                              const std::wstring& programName = L"uninstall.exe");
  std::wstring Program() const { return folder + L"\\" + programName; }
  std::wstring Path(const std::string& relative) const;
  // Writes the list in this order (folders first, so that the passes matter).
  void WriteList(const std::vector<std::string>& extraLines = {}) const;
  // Every listed file and folder, the list, the program and the folder are gone.
  bool Gone() const;
  std::vector<std::wstring> Remaining() const;
};

// Waits until a path no longer exists, up to a time limit.
bool WaitUntilGone(const std::wstring& path, unsigned milliseconds);
// The self-removal batch files' folders in the Windows folder's "Temp" that
// appear after it is made: those of the runs a test starts, never those of
// other tests or earlier runs.
class NewBatchFolders {
 public:
  NewBatchFolders();  // remembers the folders there now
  std::vector<std::wstring> Now() const;  // made since, and still there
  // Waits until every folder made since is gone, up to a time limit: the
  // batch files have run to their end.
  bool Gone(unsigned milliseconds) const;
  // After a killed run: waits a little for batch files still running, then
  // removes the folders left with what they hold.
  void RemoveLeft(unsigned milliseconds = 5000) const;

 private:
  std::vector<std::wstring> before_;
};

// What of the archiver's integration exists in the registry and the shortcut
// folders right now, one line each; empty when there is none.
std::vector<std::wstring> IntegrationFootprint();
