// File operations that no link can redirect.
//
// The tool runs elevated, while the user's temporary folder, desktop, start
// menu and application data can be written by every process of that user.
// Anything there may be a link (a symbolic link, a junction, a hard link)
// planted to have the tool overwrite or delete a file the user could not
// touch. These operations act on the file at a path only when it is that
// path: nothing at its name is followed and no folder on the way leads
// elsewhere. Where they cannot be sure, they decline.
#pragma once
#include <stddef.h>
#include <windows.h>

// True when the path, or an existing folder on the way to it, is a link: a
// reparse point that stands for another name (a symbolic link or a
// junction; the placeholders of cloud folders are none).
bool PathCrossesLink(const wchar_t* path);

// True when the open file is the one at `path` itself: the final path of
// the handle is the path's full, long form (case aside).
bool HandleIsPath(HANDLE handle, const wchar_t* path);

// Opens the file at `path` for the tool's own use: CREATE_NEW, OPEN_EXISTING
// or OPEN_ALWAYS (never anything that truncates before the file is known).
// The handle is given only for a plain file with one name that is the one at
// `path`; otherwise INVALID_HANDLE_VALUE with ERROR_ACCESS_DENIED, and a file
// the call made itself is removed again. With the extended-length retry.
HANDLE OpenUnredirected(const wchar_t* path, DWORD access, DWORD share, DWORD disposition);

// Deletes the file at `path`, never a file a link there leads to: a link
// object itself goes, a file reached through a link stays. True when
// nothing is at the path any more.
bool DeleteUnredirected(const wchar_t* path);

// Deletes the open file (opened with DELETE access); read-only files too.
bool DeleteByHandle(HANDLE handle);

// Renames the open file (opened with DELETE access) to `to`, replacing a
// file there (the name itself, not what a link there leads to).
bool RenameByHandle(HANDLE handle, const wchar_t* to);

// Removes the empty folder at `path` when it is that folder itself (a link
// object there goes instead of what it leads to). True when it went.
bool RemoveFolderUnredirected(const wchar_t* path);

// Makes the folder at `path` (or finds it made) and checks through its
// handle that it is a plain folder at that path, not a link.
bool CreateFolderUnredirected(const wchar_t* path);

// Deletes a folder with everything in it without following any link: a
// link inside is removed itself where the platform allows it, and a file
// reached through one stays, and with it the folders above it. Nothing is
// done when the folder itself, or a folder above it, is a link.
void DeleteTreeUnredirected(const wchar_t* path);

// Copies a file to a new file `to` (failing when `to` exists), reading the
// source only when it is the file at `from` itself. At most `limit` bytes.
bool CopyFileUnredirected(const wchar_t* from, const wchar_t* to, size_t limit);
