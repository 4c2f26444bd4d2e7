// Shortcuts on the desktop and in the start menu, the program groups, and
// the removal of a folder with everything in it.
#pragma once
#include <stddef.h>

// Deletes a folder and everything in it through the shell, silently and
// without the recycle bin; does nothing for a missing path, a file, or a
// link (junction or symbolic link).
void RemoveFolder(const wchar_t* path);
