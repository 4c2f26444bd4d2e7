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
#include <accctrl.h>

#include "util/handles.h"

class PinnedChain;

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

// The rights on a folder that change it: any at all, or those that rename or
// remove it or what it holds, or change who may (adding to it is not among
// them: that moves no name that is there).
const DWORD kAnyChange = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                         FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                         GENERIC_ALL;
const DWORD kRenameOrRemove = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// True when the access list lets someone other than SYSTEM, administrators
// and the system's installer service make one of the `changes` (null: no
// list, everyone may); `alsoTrusted` (or null) is one more account that may.
bool AclLetsOthersChange(const ACL* acl, const void* alsoTrusted = nullptr, DWORD changes = kAnyChange);

// True when only SYSTEM, administrators and the system's installer service
// can change the pinned folder: one of them owns it (an owner may always
// change the access list), and its access list lets no one else rename or
// remove it or what it holds, or, with `contents`, make any change in it.
// Then no one else can redirect a path through it.
bool OnlyAdministratorsChange(HANDLE folder, bool contents);
// The same for every folder of the chain, the last one with `contentsOfLast`.
bool OnlyAdministratorsChange(const PinnedChain& chain, bool contentsOfLast);

// Whether the object (a file or folder, a kernel object) is owned by the
// machine's administrators or SYSTEM: under elevation the account running
// the tool owns nothing that its unelevated programs could not have made.
bool IsOwnedByAdministrators(HANDLE object, SE_OBJECT_TYPE type);

// For its scope, the thread acts with the rights of the user who started the
// tool: the unelevated token that Windows links to the elevated one. Where
// there is no such pair (no elevation prompt: the tool's rights are the
// user's own) the thread acts as it is. `Acting` is false when the user's
// rights cannot be had; then nothing should be read for the user.
class AsTheUser {
 public:
  AsTheUser();
  ~AsTheUser();
  AsTheUser(const AsTheUser&) = delete;
  AsTheUser& operator=(const AsTheUser&) = delete;
  bool Acting() const { return acting_; }

 private:
  bool acting_ = false, impersonating_ = false;
};

// Makes a new folder below `parent` with a name no one can predict, whose
// access list lets only SYSTEM and administrators in, and checks through its
// handle that it is a plain folder at that path. `out` gets its path, `pin`
// (or null) its pin.
bool CreatePrivateFolder(const wchar_t* parent, wchar_t* out, size_t capacity, UniqueFile* pin = nullptr);

// Removes what runs that were killed before they could clean up left of the
// folders CreatePrivateFolder made below `parent`: a folder goes only when
// it bears such a name, is a plain folder (pinned while it is looked at)
// owned by administrators or SYSTEM, which only those may change, holds
// nothing but a few plain files with one name
// each that `isOwn` accepts, and neither it nor they changed for `minutes`.
// The files go through their own handles, the folder through its pin.
// Returns how many folders went.
unsigned RemoveAbandonedPrivateFolders(const wchar_t* parent, bool (*isOwn)(const wchar_t* name), unsigned minutes);

template <size_t N> bool CreatePrivateFolder(const wchar_t* parent, wchar_t (&out)[N], UniqueFile* pin = nullptr) {
  return CreatePrivateFolder(parent, out, N, pin);
}
