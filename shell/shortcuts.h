// Shortcuts on the desktop and in the start menu, the program groups, and
// the removal of a folder with everything in it.
#pragma once
#include <stddef.h>

#include "model/options.h"

// Creates or removes the desktop shortcut, the start-menu shortcut and the
// program groups after Desktop, StartMenu and Programs. The group folder is
// handed back in `groupPath` when one is given; `icon` may be null.
void SetShortcuts(const IntegrationOptions& options, wchar_t* groupPath, size_t groupCapacity, const wchar_t* icon);
// Writes a shortcut through the shell link object, keeping the properties
// of an existing one that are not set here (hotkey, arguments, window state).
bool CreateShellLink(const wchar_t* target, const wchar_t* linkPath, const wchar_t* workingFolder,
                     const wchar_t* description, const wchar_t* icon);
// SHGetFolderPathW for a capacity of at least 260; else, and on failure,
// "unknown_folder" and false.
bool GetSpecialFolder(wchar_t* buffer, size_t capacity, int csidl);
// Deletes a folder and everything in it without following any link (the
// file layer's DeleteTreeUnredirected), logged; does nothing for a missing
// path, a file, or a link (junction or symbolic link).
void RemoveFolder(const wchar_t* path);

template <size_t N> bool GetSpecialFolder(wchar_t (&buffer)[N], int csidl) { return GetSpecialFolder(buffer, N, csidl); }
