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
#include "uninstall/processes.h"
#include "uninstall/removal.h"
#include "util/file.h"
#include "util/file_list.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/path.h"
#include "util/product.h"
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
  if (!FitsBuffer(n, size) || !buffer[0]) CopyText(buffer, L"\\kvxtemp", size);
  AddTrailingSeparator(buffer, size);
}


namespace {

// The program that runs the batch file's pause and its warning, in the
// run's own folder: the running program itself, moved there (then the batch
// file deletes it there), or else a copy of it, where the batch file may
// delete the installed program by its path (`byPath`: only administrators
// can change its folders). The program of the installation folder, which
// others may be able to replace, is never started. `program` becomes the
// path the batch file deletes. False when neither works.
bool PlaceRunner(RunFolders& run, HANDLE image, bool byPath, wchar_t (&program)[kPathCapacity],
                 wchar_t (&runner)[kPathCapacity]) {
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
  if (!byPath) {
    LogLine("the program file stays: it cannot move, and others can change its folder");
    return false;
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
// The batch file deletes and removes by path only in the run's own folders
// and, where only administrators can change them (`byPath`), in the
// program folder.
bool StartSelfRemoval(const wchar_t* installedProgram, HANDLE image, const wchar_t* folder, bool silent, bool byPath,
                      RunFolders& run) {
  wchar_t program[kPathCapacity], runner[kPathCapacity];
  CopyText(program, installedProgram);
  const wchar_t* batchFolder = run.BatchFolder();
  if (!batchFolder || !PlaceRunner(run, image, byPath, program, runner)) return false;
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
  JoinPath(FitsBuffer(n, kPathCapacity) ? system : L"", L"cmd.exe", processor);
  bool ok = FitsBuffer(n, kPathCapacity) && ComposeBatchCommand(processor, batch, command, kPathCapacity * 2);
  if (ok) {
    UniqueFile file(OpenUnredirected(batch, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW));
    // Short forms, for paths the command processor's code page cannot carry.
    wchar_t shortForms[kBatchPathCount][kPathCapacity];
    const wchar_t* waiting = run.FolderToRemove();
    const wchar_t* values[kBatchPathCount] = {program, folder, batch, batchFolder, processor, runner, waiting};
    bool copied = CompareTextExact(program, runner) != 0;
    BatchPaths paths = {program, byPath ? folder : nullptr, batch, batchFolder, processor, copied ? runner : nullptr,
                        waiting, {}};
    for (size_t i = 0; i < kBatchPathCount; i++)
      if (values[i] && !SurvivesCodePage(values[i], kBatchCodePage) && GetShortForm(values[i], shortForms[i]))
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

// The texts the uninstall shows, copied at its start: those shown after
// the language module is released are no longer to be had from it.
struct UninstallTexts {
  wchar_t caption[256], reboot[256], left[256];
};

// A message of the uninstall: the format with its placeholder filled.
int Tell(const UninstallTexts& texts, const wchar_t* format, const wchar_t* argument, UINT style) {
  wchar_t message[4096];
  FormatText(message, format, argument);
  return ShowMessage(nullptr, message, texts.caption, style | MB_SETFOREGROUND);
}

// Step 3: the file list, held open (and so kept) until its entries are gone.
bool OpenFileList(DiskFile& listFile, const UninstallTexts& texts) {
  if (listFile.Open(kFileListName, kFileShareWrite)) return true;
  LogFailure("to open", kFileListName, GetLastError());
  // The message names the list with its folder, the installation's.
  wchar_t folder[kPathCapacity], list[kPathCapacity];
  DWORD n = GetCurrentDirectoryW(kPathCapacity, folder);
  if (!FitsBuffer(n, kPathCapacity)) folder[0] = 0;
  JoinPath(folder, kFileListName, list);
  ShowPathMessage(GetText(IDS_CANNOTOPENLIST), list, texts.caption, MB_ICONERROR | MB_SETFOREGROUND);
  return false;
}

// Step 4: the program folder and every folder above it, held for the rest of
// the run, before anything is removed: no one can rename them or put a link
// in their place meanwhile. Another program that holds one of them without
// sharing may let go within seconds; else nothing is removed, and the run
// says why.
bool HoldInstallation(const wchar_t* folder, PinnedChain& chain, const UninstallTexts& texts) {
  for (int attempt = 0; !chain.Pin(folder); attempt++) {
    DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION || attempt == 15) {
      LogFailure("to hold the program folder; nothing was removed:", folder, error);
      ShowPathMessage(GetText(IDS_CANNOTHOLDFOLDER), folder, texts.caption, MB_ICONERROR | MB_SETFOREGROUND);
      return false;
    }
    Sleep(200);
  }
  return true;
}

// Step 5: the programs that use the installation. Where someone can
// answer, one question names them: close them, go on without (their files
// go at the restart), or cancel (false: nothing was changed). A silent run
// asks them to close only with "closeapps".
bool SettleProgramsInUse(const RunOptions& options, ProgramsInUse& programs, const UninstallTexts& texts) {
  wchar_t list[2048];
  if (programs.Describe(list, 2048) == 0) return true;
  if (options.Silent) {
    if (options.CloseApps) programs.Close(kCloseProgramsWait);
    else programs.Leave("not asked to close (no closeapps)");
    return true;
  }
  int answer = Tell(texts, GetText(IDS_PROGRAMSINUSE), list, MB_YESNOCANCEL | MB_ICONQUESTION);
  if (answer == IDYES) programs.Close(kCloseProgramsWait);
  else if (answer == IDNO) programs.Leave("not asked to close (as chosen)");
  return answer == IDYES || answer == IDNO;
}

// Step 7: the help indexes, the listed files and the list itself, in the
// held program folder. True when something waits for the restart.
bool DeleteInstallation(DiskFile& listFile, const FileList& list, const PinnedChain& chain, const wchar_t* program,
                        const wchar_t* folderWithSeparator, RunFolders& run, DeletionOutcome& outcome) {
  static const wchar_t kHelpIndexes[][11] = {L"korvex.gid", L"korvex.fts"};
  for (const wchar_t* helpIndex : kHelpIndexes) {
    wchar_t path[kPathCapacity];
    JoinPath(folderWithSeparator, helpIndex, path);
    UniqueFile file(OpenForDeletion(path));
    if (file && DeleteByHandle(file.Get())) LogLine("deleted %s", path);
  }
  bool rebootNeeded = DeleteListedFiles(list, chain, folderWithSeparator, PointToName(program), &run, &outcome);
  listFile.Close();
  // Read-only or not: a list that names itself goes now too.
  SetAttributes(kFileListName, FILE_ATTRIBUTE_NORMAL);
  wchar_t listPath[kPathCapacity];
  JoinPath(folderWithSeparator, kFileListName, listPath);
  if (DeleteFileByName(kFileListName)) {
    LogLine("deleted the list Uninstall.lst");
  } else {
    LogFailure("to delete the list", listPath, GetLastError());
    LogCount(LogOutcome::Left, listPath);
    outcome.Stays(listPath);
  }
  return rebootNeeded;
}

// Step 8: the browser's data beside the configured temporary folder, which
// is the user's choice (a setting, or the environment).
void RemoveBrowserData(const wchar_t* tempFolder) {
  wchar_t browserData[kPathCapacity];
  JoinPath(tempFolder, KVX_ARCHIVER_FILE L".WebView2", browserData);
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
  wchar_t folderWithSeparator[kPathCapacity];
  CopyText(folderWithSeparator, folder);
  AddTrailingSeparator(folderWithSeparator);
  // The texts shown after the language module and the per-user settings
  // are gone.
  UninstallTexts texts;
  CopyText(texts.caption, GetText(IDS_UNINSTALLKVX));
  CopyText(texts.reboot, GetText(IDS_REBOOTREQUIRED));
  CopyText(texts.left, GetText(IDS_FILESLEFT));
  if (!ConfirmUninstall(options)) {
    // Nothing was removed: a package manager must not record a removal.
    options.ExitCode = kExitCancelled;
    return;
  }
  // Under a package installer the files are the package's: the list is not
  // needed, and a package that lacks it must still be able to go.
  DiskFile listFile;
  if (!options.Msi && !OpenFileList(listFile, texts)) {
    // Nothing was removed: a package manager must not record this as success.
    options.ExitCode = kExitListMissing;
    return;
  }
  PinnedChain chain;
  FileList list;
  if (!options.Msi) {
    if (!HoldInstallation(folder, chain, texts)) {
      // The uninstall entry stays: the user can run the uninstall again.
      options.ExitCode = kExitFolderInUse;
      return;
    }
    ReadFileList(listFile, list);
    ProgramsInUse programs;
    programs.Find(folderWithSeparator, list);
    if (!SettleProgramsInUse(options, programs, texts)) {
      options.ExitCode = kExitCancelled;
      return;
    }
  }
  // Step 6: the configured temporary folder, a per-user setting that the
  // integration removal deletes.
  wchar_t tempFolder[kPathCapacity];
  GetTempFolder(tempFolder, kPathCapacity);

  // The integration. A package installer removes the files itself. The
  // shell takes the notice of it while the files go.
  ShellChangeNotice notice;
  RemoveIntegration(options.Msi, notice);
  ReleaseLanguageModule();
  if (options.Msi) {
    // The installation's files are the package's; the templates are not.
    RemoveTemplateFiles();
    return;
  }

  RunFolders run(folder);
  DeletionOutcome outcome;
  bool rebootNeeded = DeleteInstallation(listFile, list, chain, program, folderWithSeparator, run, outcome);
  // Whether the batch file may act by path in the program folder; then the
  // folder is let go, to be removed through a pin of its own.
  bool byPath = OnlyAdministratorsChange(chain, true);
  chain.Release();
  RemoveBrowserData(tempFolder);
  // The shell has had the notice before the batch file's short pause
  // begins: the program must have ended by the pause's end.
  notice.Wait();

  // Step 9: the restart notice, and the self-removal. What waits for the
  // restart waits in the run's own folder, or, where it could not move,
  // where it is: then the program folder goes at the restart after it.
  context.RestartNeeded = rebootNeeded;
  if (rebootNeeded && !options.Silent) ShowMessage(nullptr, texts.reboot, texts.caption, MB_ICONINFORMATION | MB_SETFOREGROUND);
  if (outcome.left) {
    // Nothing left unsaid: the run's code, and the files named.
    options.ExitCode = kExitFilesLeft;
    if (!options.Silent) Tell(texts, texts.left, outcome.names.Data(), MB_ICONERROR);
  }
  if (!StartSelfRemoval(program, context.ProgramImage, folder, options.Silent, byPath, run)) {
    // Everything else went: the run says by its code that these stay.
    LogLine("the self-removal could not be prepared: the program file and the folder %s stay", folder);
    LogCount(LogOutcome::Left, program);
    options.ExitCode = kExitNoSelfRemoval;
    if (!options.Silent) Tell(texts, texts.left, program, MB_ICONERROR);
  }
  if (outcome.waitingInPlace && FileExists(folder) && DeleteAtRestart(folder))
    LogLine("scheduled for the restart: folder %s", folder);
  run.ScheduleWaitingFolder();
}
