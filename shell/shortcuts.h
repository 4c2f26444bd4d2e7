// Shortcuts on the desktop and in the start menu, the program groups, and
// the removal of a folder with everything in it.
#pragma once
#include <stddef.h>

#include "model/options.h"
#include "settings/transaction.h"

// Creates or removes the desktop shortcut, the start-menu shortcut and the
// program groups after Desktop, StartMenu and Programs. The group folder is
// handed back in `groupPath` when one is given; `icon` may be null. The
// files and folders it changes go through the run's file journal (what the
// file system refuses is no refusal of the run: nothing of it is the
// machine's registry).
void SetShortcuts(SetupTransaction& changes, const IntegrationOptions& options, wchar_t* groupPath,
                  size_t groupCapacity, const wchar_t* icon);
// Writes a shortcut through the shell link object, keeping the properties
// of an existing one that are not set here (hotkey, arguments, window state).
// A journal hears of a shortcut made.
bool CreateShellLink(const wchar_t* target, const wchar_t* linkPath, const wchar_t* workingFolder,
                     const wchar_t* description, const wchar_t* icon, FileJournal* journal = nullptr);
// SHGetFolderPathW for a capacity of at least 260; else, and on failure,
// "unknown_folder" and false.
bool GetSpecialFolder(wchar_t* buffer, size_t capacity, int csidl);
// Deletes a folder and everything in it without following any link (the
// file layer's DeleteTreeUnredirected; with a journal, put aside whole),
// logged; does nothing for a missing path, a file, or a link (junction or
// symbolic link).
void RemoveFolder(const wchar_t* path, FileJournal* journal = nullptr);

template <size_t N> bool GetSpecialFolder(wchar_t (&buffer)[N], int csidl) { return GetSpecialFolder(buffer, N, csidl); }
