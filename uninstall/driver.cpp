#include "uninstall/driver.h"

#include <windows.h>

#include "app/command.h"
#include "lang/language.h"
#include "lang/module.h"
#include "settings/store.h"
#include "shell/shortcuts.h"
#include "shell/templates.h"
#include "uninstall/batch.h"
#include "uninstall/deletion.h"
#include "uninstall/removal.h"
#include "util/file.h"
#include "util/file_list.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/path.h"
#include "util/text.h"
#include "util/trust.h"

void GetTempFolder(wchar_t* buffer, size_t size) {
  if (size == 0) return;
  ReadSettingString(L"Paths", L"TempFolder", buffer, L"", size);
  if (buffer[0]) {
    wchar_t expanded[kPathCapacity];
    DWORD n = ExpandEnvironmentStringsW(buffer, expanded, kPathCapacity);
    if (n >= 1 && n <= 2047) CopyText(buffer, expanded, size);
  }
  if (buffer[0] && FileExists(buffer)) {
    AddTrailingSeparator(buffer, size);
    return;
  }
  DWORD n = GetTempPathW(size > 0x7fff ? 0x7fff : (DWORD)size, buffer);
  if (n == 0 || n >= size || !buffer[0]) CopyText(buffer, L"\\kvxtemp", size);
  AddTrailingSeparator(buffer, size);
}


namespace {

// The program that runs the batch file's pause and its warning, in the
// run's own folder: the running program itself, moved there (then the batch
// file deletes it there), or else a copy of it. The program of the
// installation folder, which others may be able to replace, is never
// started. `program` becomes the path the batch file deletes. False when
// neither works.
bool PlaceRunner(RunFolders& run, HANDLE image, wchar_t (&program)[kPathCapacity], wchar_t (&runner)[kPathCapacity]) {
  const wchar_t* name = PointToName(program);
  if (image == INVALID_HANDLE_VALUE) {
    LogFailure("to hold the program file", program, ERROR_INVALID_HANDLE);
    return false;
  }
  if (run.WaitingName(name, runner, false) && RenameByHandle(image, runner)) {
    LogLine("moved the program to %s", runner);
    CopyText(program, runner);
    return true;
  }
  if (!run.BatchFolder()) return false;
  JoinPath(run.BatchFolder(), name, runner);
  if (CopyHandleToNewFile(image, runner, (size_t)1 << 30)) return true;
  LogFailure("to copy the program to", runner, GetLastError());
  return false;
}

// Writes the self-removal batch file and starts it hidden. It lies in the
// run's own folder below the system's own temporary folder, which only
// administrators can change, so that no process of the user can rewrite its
// lines while the command processor reads them; that processor is the
// system's own, started without AutoRun commands, and the program it starts
// lies in that folder too.
// False, and the program file and its folder stay, when it could not be
// started.
bool StartSelfRemoval(const wchar_t* installedProgram, HANDLE image, const wchar_t* folder, bool silent,
                      RunFolders& run) {
  wchar_t program[kPathCapacity], runner[kPathCapacity];
  CopyText(program, installedProgram);
  const wchar_t* batchFolder = run.BatchFolder();
  if (!batchFolder || !PlaceRunner(run, image, program, runner)) return false;
  // The program folder goes now when the move left it empty.
  SetCurrentDirectoryW(L"..");
  {
    PinnedChain chain;
    UniqueFile pin;
    if (chain.PinParent(folder)) pin.Reset(PinFolder(folder, true));
    if (pin && DeleteByHandle(pin.Get())) LogLine("deleted folder %s", folder);
  }
  wchar_t system[kPathCapacity], batch[kPathCapacity];
  JoinPath(batchFolder, kBatchFileName, batch);
  UINT n = GetSystemDirectoryW(system, kPathCapacity);
  wchar_t processor[kPathCapacity], command[kPathCapacity * 2];
  JoinPath(n > 0 && n < kPathCapacity ? system : L"", L"cmd.exe", processor);
  bool ok = n > 0 && n < kPathCapacity && ComposeBatchCommand(processor, batch, command, kPathCapacity * 2);
  if (ok) {
    UniqueFile file(OpenUnredirected(batch, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW));
    // Short forms, for paths the command processor's code page cannot carry.
    wchar_t shortForms[kBatchPathCount][kPathCapacity];
    const wchar_t* values[kBatchPathCount] = {program, folder, batch, batchFolder, processor, runner};
    bool copied = CompareTextExact(program, runner) != 0;
    BatchPaths paths = {program, folder, batch, batchFolder, processor, copied ? runner : nullptr, {}};
    for (size_t i = 0; i < kBatchPathCount; i++)
      if (!SurvivesCodePage(values[i], kBatchCodePage) && GetShortForm(values[i], shortForms[i]))
        paths.shortForms[i] = shortForms[i];
    GrowArray<wchar_t> lines;
    bool useVariable[kBatchPathCount];
    ComposeBatchLines(paths, silent, lines, useVariable);
    ok = file && WriteBatchText(file.Get(), lines.Data());
    if (file && !ok) DeleteByHandle(file.Get());
    for (size_t i = 0; ok && i < kBatchPathCount; i++)
      SetEnvironmentVariableW(kBatchVariables[i], useVariable[i] ? values[i] : nullptr);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process = {};
  LogLine("self-removal batch file: %s", batch);
  FlushLog();  // the batch file deletes the program: this run's log is complete up to here
  if (ok && CreateProcessW(processor, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    UniqueHandle thread(process.hThread), child(process.hProcess);
    return true;
  }
  LogFailure("to start the batch file", batch, GetLastError());
  DeleteUnredirected(batch);
  return false;
}

}  // namespace

namespace {

// Step 1: the program's folder becomes the current directory (the list and
// the help indexes are named relative to it). False when the program's
// path has no folder.
bool EnterProgramFolder(const wchar_t* program, wchar_t (&folder)[kPathCapacity]) {
  const wchar_t* lastSeparator = nullptr;
  for (const wchar_t* p = program; *p; p++)
    if (*p == L'\\') lastSeparator = p;
  if (!lastSeparator) return false;
  CopyText(folder, program);
  size_t cut = (size_t)(lastSeparator - program);
  folder[cut > 0 && folder[cut - 1] == L':' ? cut + 1 : cut] = 0;
  SetCurrentDirectoryW(folder);
  return true;
}

// Step 2: the user's confirmation, unless silent.
bool ConfirmUninstall(const RunOptions& options) {
  return options.Silent || ShowMessage(nullptr, GetText(IDS_CONTINUEUNINSTALL), GetText(IDS_UNINSTALLKVX),
                                       MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) == IDYES;
}

// Step 3: the file list, held open (and so kept) until its entries are gone.
bool OpenFileList(DiskFile& listFile) {
  if (listFile.Open(L"Uninstall.lst", kFileShareWrite)) return true;
  LogFailure("to open", L"Uninstall.lst", GetLastError());
  // The message names the list with its folder, the installation's.
  wchar_t folder[kPathCapacity], list[kPathCapacity];
  DWORD n = GetCurrentDirectoryW(kPathCapacity, folder);
  if (n == 0 || n >= kPathCapacity) folder[0] = 0;
  JoinPath(folder, L"Uninstall.lst", list);
  ShowPathMessage(GetText(IDS_CANNOTOPENLIST), list, GetText(IDS_UNINSTALLKVX), MB_ICONERROR | MB_SETFOREGROUND);
  return false;
}

// Step 6: the help indexes, the listed files and the list itself, with the
// program folder and the folders above it pinned. True when something
// waits for the restart.
bool DeleteInstallation(DiskFile& listFile, const wchar_t* program, const wchar_t* folder, RunFolders& run) {
  PinnedChain chain;
  if (!chain.Pin(folder)) {
    LogFailure("to hold the program folder; nothing in it was deleted:", folder, GetLastError());
    return false;
  }
  static const wchar_t* const kHelpIndexes[] = {L"korvex.gid", L"korvex.fts"};
  for (const wchar_t* helpIndex : kHelpIndexes) {
    wchar_t path[kPathCapacity];
    JoinPath(folder, helpIndex, path);
    UniqueFile file(OpenForDeletion(path));
    if (file && DeleteByHandle(file.Get())) LogLine("deleted %s", path);
  }
  bool rebootNeeded;
  {
    wchar_t folderWithSeparator[kPathCapacity];
    CopyText(folderWithSeparator, folder);
    AddTrailingSeparator(folderWithSeparator);
    FileList list;
    ReadFileList(listFile, list);
    rebootNeeded = DeleteListedFiles(list, folderWithSeparator, PointToName(program), &run);
  }
  listFile.Close();
  if (DeleteFileByName(L"Uninstall.lst")) LogLine("deleted the list Uninstall.lst");
  return rebootNeeded;
}

// Step 7: the browser's data beside the configured temporary folder, which
// is the user's choice (a setting, or the environment).
void RemoveBrowserData(const wchar_t* tempFolder) {
  wchar_t browserData[kPathCapacity];
  JoinPath(tempFolder, L"Korvex.exe.WebView2", browserData);
  if (IsUserFolderUsable(tempFolder) && FileExists(browserData)) {
    RemoveFolder(browserData);
    if (FileExists(browserData)) LogLine("the browser's data %s stays (a link, or in use)", browserData);
    else LogLine("removed the browser's data %s", browserData);
  }
}

}  // namespace

void UninstallDriver(RunContext& context) {
  RunOptions& options = context.Options;
  wchar_t program[kPathCapacity], folder[kPathCapacity];
  GetProgramPath(program);
  if (!EnterProgramFolder(program, folder)) return;
  if (!ConfirmUninstall(options)) {
    // Nothing was removed: a package manager must not record a removal.
    options.ExitCode = kExitCancelled;
    return;
  }
  // Under a package installer the files are the package's: the list is not
  // needed, and a package that lacks it must still be able to go.
  DiskFile listFile;
  if (!options.Msi && !OpenFileList(listFile)) {
    // Nothing was removed: a package manager must not record this as success.
    options.ExitCode = kExitListMissing;
    return;
  }
  // Step 4: what is needed after the language module and the per-user
  // settings are gone: the restart notice, and the configured temporary
  // folder (a per-user setting that the integration removal deletes).
  wchar_t rebootText[256], caption[256], tempFolder[kPathCapacity];
  CopyText(rebootText, GetText(IDS_REBOOTREQUIRED));
  CopyText(caption, GetText(IDS_UNINSTALLKVX));
  GetTempFolder(tempFolder, kPathCapacity);

  // Step 5: the integration. A package installer removes the files itself.
  // The shell takes the notice of it while the files go.
  ShellChangeNotice notice;
  RemoveIntegration(options.Msi, notice);
  ReleaseLanguageModule();
  if (options.Msi) {
    // The installation's files are the package's; the templates are not.
    RemoveTemplateFiles();
    return;
  }

  RunFolders run(folder);
  bool rebootNeeded = DeleteInstallation(listFile, program, folder, run);
  RemoveBrowserData(tempFolder);
  // The shell has had the notice before the batch file's short pause
  // begins: the program must have ended by the pause's end.
  notice.Wait();

  // Step 8: the restart notice, and the self-removal. What waits for the
  // restart waits in the run's own folder: the program folder itself needs
  // no deletion at the restart.
  context.RestartNeeded = rebootNeeded;
  if (rebootNeeded && !options.Silent) ShowMessage(nullptr, rebootText, caption, MB_ICONINFORMATION | MB_SETFOREGROUND);
  if (!StartSelfRemoval(program, context.ProgramImage, folder, options.Silent, run)) {
    // Everything else went: the run says by its code that these stay.
    LogLine("the self-removal could not be prepared: the program file and the folder %s stay", folder);
    options.ExitCode = kExitNoSelfRemoval;
  }
  run.ScheduleWaitingFolder();
}
