// The switches of the installer command ("sfxcmd") and the command line,
// and the message-box wrapper through which every message is shown.
#pragma once
#include <stddef.h>
#include <windows.h>

#include "util/array.h"
#include "util/path.h"

struct RunOptions {
  wchar_t InitText[40];  // preset of the integration options ("init")
  bool Silent;           // "s", in either string
  bool Msi;              // "msi": a package installer runs us
  bool NoExplorer;       // "noexplorer": do not open the program group
  int ExitCode;          // the process exit code: one of the kExit values
  bool Log;              // "log": write the run's log
  wchar_t LogPath[kPathCapacity];  // its file ("log=<file>" or "log:<file>"); empty: one of our own
  bool LogFromInstaller;  // the log was asked for by the installer's command, which the user's environment carries
  bool RestartCode;       // "restartcode": exit code 3010 when a restart is needed
  bool NoMessages;        // "nomessages": no message box at all (the answer that changes nothing)
  bool CloseApps;         // "closeapps": a silent uninstall asks the programs that use the installation to close
  wchar_t WarningPath[kPathCapacity];  // the file "warning=<file>" names; empty: the program itself
};

// Exit codes, the same in both modes (docs/usage.md has the table for
// deployment tools). A removal that needs a restart to finish is a success.
const int kExitSuccess = 0;
const int kExitCancelled = 1;    // the setup dialog was cancelled, or the uninstall's confirmation declined
const int kExitListMissing = 2;  // uninstall: "Uninstall.lst" could not be opened, nothing removed
const int kExitRefused = 3;      // setup: a write was refused; everything the run changed was put back
const int kExitNoDialog = 4;     // setup: its dialog could not be shown; nothing was changed
const int kExitNoSelfRemoval = 5;  // uninstall: removed, but the program file and folder stay (no batch file)
const int kExitFilesLeft = 6;      // uninstall: removed, but some files stay for good (named in the log)
const int kExitFolderInUse = 7;    // uninstall: the installation folder could not be held; nothing was removed
const int kExitMemory = kMemoryErrorExitCode;  // memory ran out (the process ends at once)
const int kExitAlreadyRunning = 1618;  // another setup or uninstall run is in progress: nothing was done
const int kExitLogFailed = 1622;       // the log file named could not be opened: nothing was done
const int kExitRestartNeeded = 3010;   // with "restartcode": success, a restart finishes the removal

class SetupTransaction;  // settings/transaction.h

// What the entry routine hands the two modes: the run's options, the
// handles the dialogs share, and the program group that the shortcut step
// writes. Owned by the entry routine for the whole run; the setup and
// completion dialogs receive it as their creation parameter.
struct RunContext {
  RunOptions Options;  // zero at start; flags only ever change from false to true
  HICON DialogIcon;    // "KVXICON", the big icon of the setup and completion dialogs
  HICON SmallIcon;     // the same at the size of a caption's icon
  HFONT BoldFont;      // the completion dialog's closing text
  wchar_t ProgramGroupPath[kPathCapacity];
  // The program file itself, held from the start (see OpenOwnImage);
  // INVALID_HANDLE_VALUE when it could not be had.
  HANDLE ProgramImage;
  bool RestartNeeded;  // the uninstall left files to go at the next restart
  SetupTransaction* Transaction;  // setup mode: the run's, owned by the setup run (RunSetup)
};

const size_t kTokenCapacity = 1024;

// Copies the next token into the buffer (cut to size - 1 characters) and
// returns the position after it, or null when only blanks remain.
const wchar_t* NextToken(const wchar_t* text, wchar_t* token, size_t size);

// True when the first n characters of the switch equal the keyword's,
// ignoring case (the terminator counts when a text is shorter than n).
bool MatchSwitch(const wchar_t* switchText, const wchar_t* keyword, int n);

// What the command line asks to be done at once ("wait", "warning"), in the
// order of its switches: the parser records it, the entry routine acts.
enum class CommandAction : unsigned char { Wait, Warning };
using CommandActions = GrowArray<CommandAction>;

// The run's mode, which the command line chooses: setup ("setup"), the
// uninstall (no switch but those that keep it), or only the command line's
// actions.
enum class RunMode : unsigned char { Actions, Setup, Uninstall };

// Parses one of the two strings into the options (the command line, not the
// installer's command, also into the mode), and records the command line's
// actions in `actions` when given.
void ParseCommand(bool installerCommand, const wchar_t* text, RunOptions& options, RunMode& mode,
                  CommandActions* actions = nullptr);

// Carries the actions out in order: a pause of two seconds for each "wait",
// the warning message for each "warning": the file to be deleted by hand is
// `warningPath`, or the program itself when that is null or empty.
void RunCommandActions(const CommandActions& actions, const wchar_t* warningPath = nullptr);

// True when someone can answer a message box or dialog: the process's
// window station is visible (a service's, in session 0 or a deployment tool
// running as SYSTEM, is not, and a message box there would wait for good),
// and the command line did not ask for no messages.
bool CanAskUser();
// "nomessages": from now on nobody is asked.
void SuppressMessages();

// MessageBoxW, with right-to-left reading added for right-to-left languages.
// Where nobody can answer (CanAskUser), nothing is shown and the answer is
// the one that changes nothing: No to a yes/no question, Cancel to an
// OK/Cancel one, else OK.
int ShowMessage(HWND owner, const wchar_t* text, const wchar_t* caption, UINT style);
// The style ShowMessage passes on.
UINT MessageStyle(UINT style);

// A composed message: a translated text (up to 1023 characters) with a
// whole path in it, and room to spare.
const size_t kMessageCapacity = 4096;
// Fills the one "%s" of a translated text with a path, quoted (and kept left
// to right in a right-to-left language). A message that is still cut ends
// with an ellipsis.
void ComposePathMessage(wchar_t* message, size_t capacity, const wchar_t* format, const wchar_t* path);
// ShowMessage, without an owner, of such a message.
int ShowPathMessage(const wchar_t* format, const wchar_t* path, const wchar_t* caption, UINT style);
