// Which folders the elevated tool may act in, and a folder of its own.
//
// The tool runs elevated, but the user's unelevated programs choose the
// per-user shell folders (Programs, Start Menu, Desktop, AppData), the
// settings that name folders and the environment. A user who points such a
// folder at the installation, at the Windows folder or at another user's
// profile must not have the tool create, fill, empty or delete files there.
#pragma once
#include <stddef.h>
#include <windows.h>

// True when `path` is `folder` or lies inside it: full paths, compared
// without regard to case, either separator, a trailing separator ignored.
bool IsInsideFolder(const wchar_t* path, const wchar_t* folder);

// True when the tool may create, fill, empty or delete in `folder`, a folder
// named by the user's own settings: it lies inside the current user's
// profile, or outside it is owned by the current user; and it is not, does
// not hold and does not lie inside the program folder, and lies inside
// neither the Windows folder, a Program Files folder, the common
// application-data folder nor another user's profile. An existing folder is
// judged by where it really is (links followed), and by its name as given.
bool IsUserFolderUsable(const wchar_t* folder);

// True when the folder's access list lets someone other than SYSTEM,
// administrators and the system's installer service add, change or delete
// what is in it (or the list cannot be read).
bool IsWritableByOthers(const wchar_t* folder);

// The same judgement on an access list (null: no list, everyone may);
// `alsoTrusted` (or null) is one more account that may change it.
bool AclLetsOthersChange(const ACL* acl, const void* alsoTrusted = nullptr);

// Makes a new folder below `parent` with a name no one can predict, whose
// access list lets only SYSTEM and administrators in, and checks through its
// handle that it is a plain folder at that path. `out` gets its path.
bool CreatePrivateFolder(const wchar_t* parent, wchar_t* out, size_t capacity);

// Removes what runs that were killed before they could clean up left of the
// folders CreatePrivateFolder made below `parent`: a folder goes only when
// it bears such a name, is a plain folder (pinned while it is looked at)
// owned by administrators, SYSTEM or the account running the tool, which
// only those may change, holds nothing or one plain file named `onlyFile`
// with one name, and neither it nor that file changed for `minutes`. The
// file goes through its own handle, the folder through its pin. Returns how
// many folders went.
unsigned RemoveAbandonedPrivateFolders(const wchar_t* parent, const wchar_t* onlyFile, unsigned minutes);

template <size_t N> bool CreatePrivateFolder(const wchar_t* parent, wchar_t (&out)[N]) {
  return CreatePrivateFolder(parent, out, N);
}
