// The self-removal batch file: its lines and the command that runs it,
// worked out in memory, apart from writing and starting it.
#pragma once
#include <stddef.h>
#include <windows.h>

#include "util/array.h"

const size_t kBatchPathCount = 7;

// Where the self-removal batch file stands, what it runs and what it deletes.
struct BatchPaths {
  const wchar_t* program;      // the program file to delete
  const wchar_t* folder;       // the program folder, without a trailing separator (null: not removed by path)
  const wchar_t* batch;        // the batch file itself
  const wchar_t* batchFolder;  // the folder made for the batch file, or null
  const wchar_t* processor;    // the command processor, which removes that folder
  const wchar_t* runner;       // a copy run for the pause and the warning (null: `program` itself)
  const wchar_t* waiting;      // the run's own folder on the program's volume, to remove once the program is gone, or null
  // The short (8.3) forms of the seven, where the system has them; else null.
  const wchar_t* shortForms[kBatchPathCount];
};

// The code page in which the command processor reads batch files.
const unsigned kBatchCodePage = CP_OEMCP;

// The names the batch file refers to for the seven paths when a path would
// not survive the command processor's code page: the driver puts them into
// the command processor's environment.
extern const wchar_t* const kBatchVariables[kBatchPathCount];

// Writes a path as the batch file needs it into dest. A path that survives
// the command processor's code page is written with its percent signs
// doubled (cmd expands them even inside quotes); else its short form, when
// that survives; else a reference to its environment variable, which cmd
// expands to the exact Unicode path. Returns true when the variable is used.
bool BatchPathText(const wchar_t* path, const wchar_t* shortForm, const wchar_t* variable, wchar_t* dest,
                   size_t capacity);

// The lines of the batch file, in order; `silent` leaves out the warning
// line, which names the program file that stays (another file than the copy
// that shows it, when there is one).
// The last line deletes the batch file and, when it has a folder of its own,
// has another command processor remove that folder, trying while it is
// still there (one that reads a batch file
// may hold it open to its end). `useVariable` receives, per path, whether
// its variable must be set.
void ComposeBatchLines(const BatchPaths& paths, bool silent, GrowArray<wchar_t>& text,
                       bool useVariable[kBatchPathCount]);

// Converts the text to the command processor's code page and writes it,
// without terminator, to the open file.
bool WriteBatchText(HANDLE file, const wchar_t* text);

// The command line that runs the batch file in the command processor at
// `processor` (the system's own cmd.exe): no AutoRun commands, command
// extensions on whatever the user's settings say, no delayed expansion, the path quoted so that nothing in it starts a command. False,
// and no command, when a path holds a quote, a percent sign or a control
// character.
bool ComposeBatchCommand(const wchar_t* processor, const wchar_t* batch, wchar_t* command, size_t capacity);

// The self-removal batch file's name, in the run's own folder.
inline constexpr wchar_t kBatchFileName[] = L"Uninstall_Kvx.Bat";
