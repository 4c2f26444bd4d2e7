// The installation's file list "Uninstall.lst": read whole, split into
// entries and turned into full paths, apart from what is done with them.
// Below both the setup (which measures the installation) and the uninstall
// (which deletes it).
#pragma once
#include <stddef.h>

#include "util/array.h"
#include "util/file.h"

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

// Reads the open file to its end (at most about `limit` bytes) and splits it.
void ReadFileList(DiskFile& file, FileList& list, size_t limit = (size_t)-1);

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
