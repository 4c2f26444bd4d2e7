// The installation's file list "Uninstall.lst" and the self-removal batch
// file: both worked out in memory, apart from reading and writing them.
#pragma once
#include <stddef.h>
#include <stdio.h>
#include <windows.h>

#include "util/array.h"

// One entry of the list: a run of bytes in the list's text.
struct FileListEntry {
  size_t offset, length;
};

// Splits the list as a reader with a 2048-byte line buffer would: a line
// ends after LF; a longer line is read as several entries of at most 2047
// bytes. Each piece ends at a NUL, loses its trailing blanks, tabs, CR and
// LF, and is dropped when nothing is left.
void ParseFileList(const char* bytes, size_t count, GrowArray<FileListEntry>& entries);

// The list, read whole: its bytes and the entries in them.
struct FileList {
  GrowArray<char> bytes;
  GrowArray<FileListEntry> entries;
};

// Reads the stream to its end (at most about `limit` bytes) and splits it.
void ReadFileList(FILE* stream, FileList& list, size_t limit = (size_t)-1);

// Converts entry i to its full path: `full` holds the program folder with
// its trailing separator in its first `folderLength` characters, and gets
// the entry appended (one leading separator dropped). Returns the characters
// appended with the terminator, or 0 for an entry that is empty, does not
// fit whole or leaves the program folder (see IsContainedEntry): such a line
// names nothing of the installation.
size_t ListedPath(const FileList& list, size_t i, wchar_t* full, size_t capacity, size_t folderLength);

// True when an entry names something inside the program folder: no drive,
// no leading separator (so no UNC or device form), no colon (streams), and
// no component made of dots and blanks only ("..", and what Windows would
// turn into it).
bool IsContainedEntry(const wchar_t* entry);

// Where the self-removal batch file stands and what it deletes.
struct BatchPaths {
  const wchar_t* program;      // the program file
  const wchar_t* folder;       // the program folder, without a trailing separator
  const wchar_t* batch;        // the batch file itself
  const wchar_t* batchFolder;  // the folder made for the batch file alone, or null
  const wchar_t* processor;    // the command processor, which removes that folder
  // The short (8.3) forms of the five, where the system has them; else null.
  const wchar_t* shortForms[5];
};

// The code page in which the command processor reads batch files.
const unsigned kBatchCodePage = CP_OEMCP;

// The names the batch file refers to for the five paths when a path would
// not survive the command processor's code page: the driver puts them into
// the command processor's environment.
extern const wchar_t* const kBatchVariables[5];

// Writes a path as the batch file needs it into dest. A path that survives
// the command processor's code page is written with its percent signs
// doubled (cmd expands them even inside quotes); else its short form, when
// that survives; else a reference to its environment variable, which cmd
// expands to the exact Unicode path. Returns true when the variable is used.
bool BatchPathText(const wchar_t* path, const wchar_t* shortForm, const wchar_t* variable, wchar_t* dest,
                   size_t capacity);

// The lines of the batch file, in order; `silent` leaves out the warning line.
// The last line deletes the batch file and, when it has a folder of its own,
// has another command processor remove that folder, trying while it is
// still there (one that reads a batch file may hold it open to its end). `useVariable` receives, per path,
// whether its variable must be set.
void ComposeBatchLines(const BatchPaths& paths, bool silent, GrowArray<wchar_t>& text, bool useVariable[5]);

// Converts the text to the command processor's code page and writes it,
// without terminator, to the open file.
bool WriteBatchText(HANDLE file, const wchar_t* text);

// The command line that runs the batch file in the command processor at
// `processor` (the system's own cmd.exe): no AutoRun commands, no delayed
// expansion, the path quoted so that nothing in it starts a command. False,
// and no command, when a path holds a quote, a percent sign or a control
// character.
bool ComposeBatchCommand(const wchar_t* processor, const wchar_t* batch, wchar_t* command, size_t capacity);
