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
// Waits until no self-removal batch file's folder is left in the system's
// temporary folder, up to a time limit.
bool BatchFilesGone(unsigned milliseconds);
// Removes the empty batch-file folders left there by runs killed between
// making their folder and starting the command processor.
void RemoveKilledRunsFolders();

// What of the archiver's integration exists in the registry and the shortcut
// folders right now, one line each; empty when there is none.
std::vector<std::wstring> IntegrationFootprint();
