// The one file layer (util/file*.cpp): the file object and operations on
// files and folders by name (file.cpp), listing folders (file_scan.cpp),
// pinned folders and open entries (file_pinned.cpp), and the link-safe
// operations with the file journal (file_unredirected.cpp). Every call that
// takes a path first uses it unchanged and, when the system call fails for a
// reason the extended-length form could mend, tries once more with that
// form ("\\?\C:\..."): written once, in WithLongRetry (util/file_internal.h).
//
// Which call to use: the plain operations act on whatever is at the name,
// links followed; they serve the program folder while only administrators
// can change it, and the system's own folders. Wherever a process of the
// user can change a folder (the profile, the temporary folders, a program
// folder others may write), use the "Unredirected" operations at the end.
// Failures are reported as false (or INVALID_HANDLE_VALUE), with the Win32
// error left in GetLastError.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "util/array.h"
#include "util/handles.h"
#include "util/path.h"

// ---------------------------------------------------------------- the file object

// Mode bits of DiskFile::Open and DiskFile::Create.
enum : uint32_t {
  kFileWrite = 0x01,      // Open: also GENERIC_WRITE
  kFileShareWrite = 0x04, // Open: others may write too
  kFileShareRead = 0x10,  // Create: others may read
};

enum class SeekOrigin { Begin, Current, End };

class DiskFile {
 public:
  DiskFile() = default;
  virtual ~DiskFile();
  DiskFile(const DiskFile&) = delete;
  DiskFile& operator=(const DiskFile&) = delete;

  virtual bool Open(const wchar_t* name, uint32_t mode = 0);
  virtual bool Close();
  virtual size_t Read(void* buffer, size_t count);
  virtual bool Seek(int64_t offset, SeekOrigin origin);
  virtual int64_t Tell();

  bool Create(const wchar_t* name, uint32_t mode = 0);
  bool Write(const void* buffer, size_t count);
  const wchar_t* Name() const { return name_; }

 private:
  size_t RawRead(void* buffer, DWORD count);

  UniqueFile handle_;
  bool created_ = false;
  bool atEndAfterError_ = false;
  wchar_t name_[kPathCapacity] = {};
};

// Everything from the current position of an open file to its end, at most
// `limit` bytes (then false, with what was read).
bool ReadWhole(HANDLE file, GrowArray<unsigned char>& bytes, size_t limit);
// The whole of `count` bytes from or to an open file, or false.
bool ReadExactly(HANDLE file, void* buffer, size_t count);
bool WriteExactly(HANDLE file, const void* buffer, size_t count);

bool DeleteFileByName(const wchar_t* name);
// Removes an empty folder.
bool RemoveFolderByName(const wchar_t* name);
bool SetAttributes(const wchar_t* name, DWORD attributes);
// Has the system delete the file or empty folder at the next restart.
bool DeleteAtRestart(const wchar_t* name);
DWORD GetAttributes(const wchar_t* name);
bool FileExists(const wchar_t* name);
bool IsDirectoryAttr(DWORD attributes);
bool IsReparsePointAttr(DWORD attributes);
// The short (8.3) form of an existing path, where the volume has one.
bool GetShortForm(const wchar_t* path, wchar_t (&out)[kPathCapacity]);
// The folder where the volume that holds the path is mounted ("C:\", or a
// folder on another volume), as the system finds it, with its separator.
bool GetVolumeFolder(const wchar_t* path, wchar_t (&out)[kPathCapacity]);
// 0 on success, 2 when a part of the path is missing, 1 for other failures.
int MakeFolder(const wchar_t* name);

// Modules: a library of the system folder by its name, loaded to run; and a
// module mapped for its resources only (its code never runs), as a
// language module from a folder the user chose.
HMODULE LoadSystemLibrary(const wchar_t* name);
HMODULE MapResourceModule(const wchar_t* path);

// Whether the entry at `path` is owned by the account this process runs as.
bool IsOwnedByCurrentUser(const wchar_t* path);

// ---------------------------------------------------------------- enumeration

struct FoundEntry {
  wchar_t name[kPathCapacity];  // the mask with its name part replaced
  uint64_t size;
  DWORD attributes;
  bool isDirectory;
  bool isReparsePoint;
  bool error;  // a search failed for a reason other than "nothing (more) matched"
};

class DirectoryScan {
 public:
  DirectoryScan() = default;
  ~DirectoryScan() { Close(); }
  DirectoryScan(const DirectoryScan&) = delete;
  DirectoryScan& operator=(const DirectoryScan&) = delete;

  void SetMask(const wchar_t* mask);
  // The next entry other than "." and ".."; false when there is none.
  bool Next(FoundEntry& entry);
  void Close();

 private:
  friend bool FindSingle(const wchar_t* path, FoundEntry& entry);
  bool Step(FoundEntry& entry);

  wchar_t mask_[kPathCapacity] = {};
  UniqueFind search_;
};

// Fills the entry of one file or folder; a path with wildcards is refused.
bool FindSingle(const wchar_t* path, FoundEntry& entry);

// ---------------------------------------------------------------- pinned folders
//
// The tool runs elevated, while the user's temporary folder, desktop, start
// menu and application data, and an installation folder outside "Program
// Files", can be changed by the user's own processes. Anything there may be
// swapped for a link (a symbolic link, a junction) planted to have the tool
// write or delete what the user could not touch.
//
// The rule: before the tool creates, writes, renames or deletes anything in
// a folder, it pins that folder and every folder above it, up to the
// volume's root. A pinned folder is held open without sharing its deletion:
// while the handle is held no one else can rename, remove or replace it, so
// every name below it stays where it is. A pin is given only for a plain
// folder, never for a link (a reparse point that stands for another name;
// the placeholders of cloud folders are folders). The operations below pin
// what they need themselves; the uninstall's deletion passes hold their pins
// for the whole run.

// A link: a reparse point that stands for another name (or carries no tag,
// as Wine's links do), not a cloud placeholder or the like.
bool IsLinkAttributes(DWORD attributes, DWORD reparseTag);

// Pins the folder at `path` (see above). With `removable` the pin also
// carries DELETE access, so that DeleteByHandle on it removes the folder
// once it is empty; others holding the folder open without sharing its
// deletion (a command prompt in it) make that open fail with a sharing
// violation. INVALID_HANDLE_VALUE when it is no plain folder (then
// ERROR_ACCESS_DENIED) or cannot be opened.
HANDLE PinFolder(const wchar_t* path, bool removable);

// Pins held and released together, or one by one as their folders go.
class PinSet {
 public:
  PinSet() = default;
  ~PinSet() { Release(); }
  PinSet(const PinSet&) = delete;
  PinSet& operator=(const PinSet&) = delete;
  size_t Add(HANDLE pin);  // takes ownership; returns its index
  HANDLE At(size_t i) const { return pins_[i]; }
  size_t Count() const { return pins_.Count(); }
  // Closes one pin (a folder marked for deletion goes with it).
  void Close(size_t i);
  void Release();

 private:
  GrowArray<HANDLE> pins_;
};

// Deletes the file `name` (one name: no separator or stream, not "." or
// "..") of the folder that `folder` holds, looked up from that handle and
// from nowhere else: no path anyone could redirect stands between. A link
// goes itself, never what it leads to; where the system can, the name goes
// at once even while others hold the file with its deletion shared. False,
// with the system's error, when it did not go (read-only, in use, a folder,
// not there).
bool DeleteFileIn(HANDLE folder, const wchar_t* name);

// A file to delete by its name from its folder's pin, and whether it went.
struct FileInFolder {
  HANDLE folder;
  const wchar_t* name;
  bool deleted;
};

// What the trials of a second thread found in one DeleteFilesIn: how many
// were made, and in how many two threads were faster than one.
struct DeletionTrials {
  unsigned made, twoFaster;
};

// DeleteFileIn for each of `count` files, in no set order: on two threads
// where there are many and trials along the run show two faster than one
// on their volume, else on this one. Each file says whether it went; why
// one did not is for the caller to find out. No trial is made where there
// are too few files.
DeletionTrials DeleteFilesIn(FileInFolder* files, size_t count);

// Every folder from the volume's root down to a folder, pinned for the
// scope: the path to that folder and below cannot change meanwhile.
class PinnedChain {
 public:
  // False (nothing held) when a folder on the way is a link, is missing or
  // cannot be held.
  bool Pin(const wchar_t* folder);
  // The same for the folder that holds `path`.
  bool PinParent(const wchar_t* path);
  void Release() { pins_.Release(); }
  HANDLE Last() const { return pins_.Count() ? pins_.At(pins_.Count() - 1) : INVALID_HANDLE_VALUE; }
  const PinSet& Pins() const { return pins_; }  // the root's first

 private:
  PinSet pins_;
};

// The entries of a pinned folder, read through its handle: no name is
// looked up again, so they are the entries of that folder and no other.
struct PinnedEntry {
  wchar_t name[MAX_PATH];  // a name within the folder
  DWORD attributes;
  DWORD reparseTag;    // for a reparse point
  uint64_t lastWrite;  // FILETIME units
};

class PinnedScan {
 public:
  explicit PinnedScan(HANDLE folder) : folder_(folder) {}
  PinnedScan(const PinnedScan&) = delete;
  PinnedScan& operator=(const PinnedScan&) = delete;
  // The next entry other than "." and ".."; false at the end or on an error.
  bool Next(PinnedEntry& entry);
  bool Failed() const { return failed_; }  // ended by an error, not by the last entry

 private:
  HANDLE folder_;
  alignas(8) unsigned char buffer_[8192];
  size_t offset_ = 0, used_ = 0;
  bool started_ = false, done_ = false, failed_ = false;
};

// ---------------------------------------------------------------- open entries

// True when the open file is the one at `path` itself: the final path of
// the handle is the path's full, long form (case aside). Under Wine a link
// to a file is followed by every open; this tells.
bool HandleIsPath(HANDLE handle, const wchar_t* path);

// Opens the running program's own file, so that while the handle is held no
// one else can rename, replace or change it (its folder may be one others
// can change): reading and the program's own rename go through the handle.
HANDLE OpenOwnImage();

// Opens the entry at `path` itself (a link there is not followed) for its
// deletion or rename through the handle, sharing everything; nothing when
// that is not the entry at the path. For a folder the caller has pinned.
HANDLE OpenForDeletion(const wchar_t* path);

// Whether two open files or folders lie on one volume, and whether a
// volume keeps access lists (NTFS does, FAT does not).
bool OnSameVolume(HANDLE a, HANDLE b);
bool VolumeKeepsAccessLists(HANDLE handle);

// Deletes the open file (opened with DELETE access); read-only files too.
bool DeleteByHandle(HANDLE handle);

// Renames the open file (opened with DELETE access) to `to`, replacing a
// file there (the name itself, not what a link there leads to) unless
// `replace` is off (then ERROR_ALREADY_EXISTS); the folders on the way to
// `to` are pinned meanwhile.
bool RenameByHandle(HANDLE handle, const wchar_t* to, bool replace = true);

// Where an existing file or folder really is, links followed: its final
// path without the "\\?\" prefix ("\\?\UNC\server" as "\\server").
bool GetFinalPath(const wchar_t* path, wchar_t* out, size_t capacity);

// ---------------------------------------------------------------- operations no link can redirect
//
// Each pins the folders on the way for its own duration and acts on an
// entry only when it is that entry itself: a link standing at the name is
// never followed (it is removed itself where a deletion asks for it).

// Opens the file at `path` for the tool's own use: CREATE_NEW, OPEN_EXISTING
// or OPEN_ALWAYS (never anything that truncates before the file is known).
// The handle is given only for a plain file with one name that is the one at
// `path`; otherwise INVALID_HANDLE_VALUE with ERROR_ACCESS_DENIED, and a file
// the call made itself is removed again. With the extended-length retry.
// `made` hears whether the call made the file.
HANDLE OpenUnredirected(const wchar_t* path, DWORD access, DWORD share, DWORD disposition);
HANDLE OpenUnredirected(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, bool* made);

class FileJournal;

// Deletes the file at `path`, never a file a link there leads to: a link
// object itself goes, a file reached through a link stays. True when
// nothing is at the path any more. With a journal the file is put aside
// instead (FileJournal::PutAside), where it can be.
bool DeleteUnredirected(const wchar_t* path, FileJournal* journal = nullptr);

// Removes the empty folder at `path` when it is that folder itself (a link
// object there goes instead of what it leads to). True when it went.
bool RemoveFolderUnredirected(const wchar_t* path);

// Makes the folder at `path` (or, unless `onlyNew`, finds it made) with the
// given security (null: inherited), in its pinned parent, and checks through
// its handle that it is a plain folder. `pin` (or null) receives the new
// folder's pin, held by the caller. A journal hears of a folder made.
bool CreateFolderUnredirected(const wchar_t* path, SECURITY_ATTRIBUTES* security = nullptr, bool onlyNew = false,
                              UniqueFile* pin = nullptr, FileJournal* journal = nullptr);

// Deletes a folder with everything in it without following any link: a
// link inside is removed itself, a file reached through one stays. The
// folder and each folder in it are pinned while they are emptied; nothing is
// done when the folder or a folder above it is a link. With a journal the
// folder is put aside whole instead, where it can be.
void DeleteTreeUnredirected(const wchar_t* path, FileJournal* journal = nullptr);

// The file journal of a setup run: what the run changes in folders others
// may change, kept so that a run that cannot complete puts it back, without
// ever copying a file or looking a name up again. A file or folder the run
// would delete is renamed aside instead, through its own handle, inside its
// pinned folder, and the journal holds that handle. A file with more than
// one name is never put aside (it is deleted, that name only, as without a
// journal). A file the run rewrites in place (a shortcut or a template of
// its own) keeps what the run wrote. Undo deletes what the run made (the
// entry at its name itself, never what a link there leads to) and renames
// back what it put aside, the latest first; Commit (also at the journal's
// end) deletes what was put aside.
class FileJournal {
 public:
  FileJournal() = default;
  ~FileJournal() { Commit(); }
  FileJournal(const FileJournal&) = delete;
  FileJournal& operator=(const FileJournal&) = delete;

  // The file or folder the run just made at `path`.
  void Made(const wchar_t* path);
  // Takes the file or folder open as `entry` (with DELETE access, the
  // entry at `path` itself) and renames it aside in its folder. False, and
  // `entry` still the caller's, where it has more than one name or cannot
  // be renamed.
  bool PutAside(UniqueFile& entry, const wchar_t* path);
  // Returns how many changes it put back; `failed` (not null) hears of each
  // it could not.
  size_t Undo(void (*failed)(const wchar_t* path, DWORD error));
  void Commit();

 private:
  struct Record {
    size_t path, aside;  // aside: the name it waits under (put aside only)
    HANDLE held;         // put aside: its handle; made: INVALID_HANDLE_VALUE
    bool folder;         // put aside: a folder
  };
  void Add(const wchar_t* path, const wchar_t* aside, HANDLE held, bool folder);
  GrowArray<Record> records_;
  TextPool paths_;
};

// Copies a file to a new file `to` (failing when `to` exists), reading the
// source only when it is the file at `from` itself. At most `limit` bytes.
bool CopyFileUnredirected(const wchar_t* from, const wchar_t* to, size_t limit);
// The same from an open file (read from its start).
bool CopyHandleToNewFile(HANDLE from, const wchar_t* to, size_t limit);
