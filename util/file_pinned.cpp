// Pinned folders, and open entries: their names, their volumes, their
// deletion and renaming through the handle.
#include "util/file.h"

#include <winternl.h>

#include "util/array.h"
#include "util/file_internal.h"
#include "util/text.h"

bool IsLinkAttributes(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag));
}

HANDLE PinFolder(const wchar_t* path, bool removable) {
  DWORD access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL |
                 (removable ? DELETE | FILE_WRITE_ATTRIBUTES : 0);
  UniqueFile folder(WithLongRetry(path, [&](const wchar_t* p) {
    return CreateFileW(p, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }));
  if (!folder) return INVALID_HANDLE_VALUE;
  // A link opened as such shows its tag. Wine follows its links even so (the
  // handle is then the folder a link leads to), but reports them by name:
  // a reparse point by name that the handle does not show is another folder.
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!GetFileInformationByHandleEx(folder.Get(), FileAttributeTagInfo, &info, sizeof info) ||
      !(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) || IsLinkAttributes(info.FileAttributes, info.ReparseTag) ||
      (IsReparsePointAttr(GetAttributes(path)) && !(info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return folder.Release();
}

size_t PinSet::Add(HANDLE pin) {
  pins_.PushElement(pin);
  return pins_.Count() - 1;
}

void PinSet::Close(size_t i) {
  UniqueFile closing(pins_[i]);
  pins_[i] = INVALID_HANDLE_VALUE;
}

void PinSet::Release() {
  for (size_t i = pins_.Count(); i-- > 0;) Close(i);
  pins_.Reset();
}

bool DeleteFileIn(HANDLE folder, const wchar_t* name) {
  size_t length = TextLength(name);
  bool oneName = length > 0 && length < MAX_PATH;
  for (size_t i = 0; oneName && i < length; i++) oneName = !IsSeparator(name[i]) && name[i] != L':';  // no stream
  // "." and ".." name no file of the folder (a lookup might take them for
  // the folder itself or the one above it).
  if (oneName && name[0] == L'.' && (length == 1 || (length == 2 && name[1] == L'.'))) oneName = false;
  if (!oneName || !folder || folder == INVALID_HANDLE_VALUE) {
    SetLastError(oneName ? ERROR_INVALID_HANDLE : ERROR_INVALID_NAME);
    return false;
  }
  UNICODE_STRING text = {(USHORT)(length * sizeof(wchar_t)), (USHORT)(length * sizeof(wchar_t)), const_cast<wchar_t*>(name)};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE file;
  // The file itself (a link is not followed), by a name relative to the
  // folder's handle, to go when the handle closes.
  NTSTATUS result = NtCreateFile(&file, DELETE | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                 FILE_DELETE_ON_CLOSE | FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT |
                                     FILE_SYNCHRONOUS_IO_NONALERT,
                                 nullptr, 0);
  if (result < 0) {
    SetLastError(RtlNtStatusToDosError(result));
    return false;
  }
  // Where the file system has it, the name goes at once when the handle
  // closes, even while others hold the file open with its deletion shared
  // (an indexer, a virus scanner): as DeleteFileW deletes on Windows 10 and
  // later, so that the folder can go next. Where it is refused (older
  // systems, other file systems, Wine) the file goes at its last close.
  const ULONG kDeletePosix = 0x1 | 0x2;  // FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS
  const FILE_INFORMATION_CLASS kDispositionEx = (FILE_INFORMATION_CLASS)64;  // FileDispositionInformationEx
  ULONG disposition = kDeletePosix;
  NtSetInformationFile(file, &status, &disposition, sizeof disposition, kDispositionEx);
  return UniqueFile(file).Close();
}

namespace {

// The files shared by the threads of one DeleteFilesIn, taken a run at a
// time: each run is one thread's alone, and the files of one folder lie
// together in it.
struct SharedDeletion {
  FileInFolder* files;
  size_t count;
  volatile LONG taken;    // runs handed out so far
  volatile LONG started;  // the second thread runs (its start is over)
  volatile LONG two;      // the second thread takes runs while `go` is set
  HANDLE go;
};
const size_t kDeletionRun = 32;   // files
const LONG kTrialRuns = 5;        // of this thread timed alone, then as many beside the second one
const LONG kTrialSpan = 1 + 3 * kTrialRuns;  // a trial's runs, the untimed first one included
const LONG kFirstInterval = 16;   // runs between the first trials; doubled after each
const LONG kLastInterval = 64;    // up to this

// Deletes the next run's files; false when none is left.
bool DeleteRun(SharedDeletion& work) {
  size_t begin = (size_t)(InterlockedIncrement(&work.taken) - 1) * kDeletionRun;
  if (begin >= work.count) return false;
  for (size_t i = begin; i < work.count && i < begin + kDeletionRun; i++)
    work.files[i].deleted = DeleteFileIn(work.files[i].folder, work.files[i].name);
  return true;
}

// The runs not yet handed out.
LONG RunsLeft(const SharedDeletion& work) {
  LONG runs = (LONG)((work.count + kDeletionRun - 1) / kDeletionRun);
  return work.taken < runs ? runs - work.taken : 0;
}

// The second thread: runs while it is let, waits while it is not; ends
// with the last run.
DWORD WINAPI DeleteRuns(void* shared) {
  SharedDeletion& work = *static_cast<SharedDeletion*>(shared);
  InterlockedExchange(&work.started, 1);
  for (;;) {
    WaitForSingleObject(work.go, INFINITE);
    while (work.two)
      if (!DeleteRun(work)) return 0;
  }
}

// Lets the second thread take runs, or stops it after its current one.
void UseSecond(SharedDeletion& work, bool use) {
  if (use) {
    InterlockedExchange(&work.two, 1);
    SetEvent(work.go);
  } else {
    ResetEvent(work.go);
    InterlockedExchange(&work.two, 0);
  }
}

LONGLONG Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

int EarlierFirst(const void* a, const void* b, void*) {
  LONGLONG x = *static_cast<const LONGLONG*>(a), y = *static_cast<const LONGLONG*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

// The median of a few timed runs (a run the system held up counts for no
// more than one).
LONGLONG Median(LONGLONG* times, LONG n) {
  SortElements(times, (size_t)n, sizeof *times, EarlierFirst);
  return times[n / 2];
}

// One trial: kTrialRuns runs of this thread alone, then as many of this
// thread's while the second one takes runs too, each timed. Two are faster
// where this thread's runs beside the other's take less than 1.8 times
// what they take alone (the other's as many more in that time): each
// thread's run is timed on its own, so a run the system held up (a disk's
// journal written out, another program) decides nothing. The second thread
// goes on after the trial only where two were faster.
bool TrialTwo(SharedDeletion& work) {
  if (work.two) {
    // Its run under way would be timed with this thread's alone: one run
    // untimed lets it end.
    UseSecond(work, false);
    DeleteRun(work);
  }
  LONGLONG alone[kTrialRuns], beside[kTrialRuns];
  for (LONG i = 0; i < kTrialRuns; i++) {
    LONGLONG start = Ticks();
    DeleteRun(work);
    alone[i] = Ticks() - start;
  }
  UseSecond(work, true);
  for (LONG i = 0; i < kTrialRuns; i++) {
    LONGLONG start = Ticks();
    DeleteRun(work);
    beside[i] = Ticks() - start;
  }
  bool faster = Median(beside, kTrialRuns) * 10 < Median(alone, kTrialRuns) * 18;
  UseSecond(work, faster);
  return faster;
}

}  // namespace

// Whether a second thread pays depends on the volume, and only a trial
// tells: in memory the two threads' deletions overlap, while on a disk's
// file system, which makes a folder's changes one at a time, the second
// one's wait for the first one's and only add to the cost. It can change as
// the run goes: a disk takes the first few hundred deletions at once, before
// its journal holds the rest back. So trials are made along the whole run
// (16 runs apart, then 32, then every 64), each deciding until the next;
// the second thread is started ahead, its own start (under Wine it attaches
// to every loaded library) timed in no trial.
DeletionTrials DeleteFilesIn(FileInFolder* files, size_t count) {
  DeletionTrials trials = {0, 0};
  UniqueHandle go, second;
  SharedDeletion work = {files, count, 0, 0, 0, nullptr};
  if (RunsLeft(work) > kTrialSpan) go.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  work.go = go.Get();
  if (go) second.Reset(CreateThread(nullptr, 0, DeleteRuns, &work, 0, nullptr));
  if (!second) {
    while (DeleteRun(work)) {
    }
    return trials;
  }
  while (!work.started && RunsLeft(work) > kTrialSpan && DeleteRun(work)) {
  }
  while (!work.started) Sleep(1);
  for (LONG interval = kFirstInterval; RunsLeft(work) >= kTrialSpan;) {
    trials.made++;
    trials.twoFaster += TrialTwo(work);
    for (LONG until = work.taken + interval; work.taken < until && DeleteRun(work);) {
    }
    if (interval < kLastInterval) interval *= 2;
  }
  while (DeleteRun(work)) {
  }
  // The second thread only deletes: let it see that nothing is left.
  UseSecond(work, true);
  WaitForSingleObject(second.Get(), INFINITE);
  return trials;
}

bool PinnedChain::Pin(const wchar_t* folder) {
  Release();
  wchar_t full[kPathCapacity], scratch[kPathCapacity], prefix[kPathCapacity];
  DWORD n = GetFullPathNameW(folder, kPathCapacity, full, nullptr);
  if (!FitsBuffer(n, kPathCapacity)) return false;
  const wchar_t* plain = WithoutLongPrefix(full, scratch, kPathCapacity);
  size_t root = RootLength(plain);
  if (root == 0) return false;
  // The root first ("C:\", "\\server\share\"), then each folder below it.
  for (size_t i = root;; i++) {
    wchar_t c = plain[i];
    if (c != 0 && !IsSeparator(c)) continue;
    if (i == root || !IsSeparator(plain[i - 1])) {
      CopyText(prefix, plain, i + 1);
      HANDLE pin = PinFolder(prefix, false);
      if (pin == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Release();
        SetLastError(error);
        return false;
      }
      pins_.Add(pin);
    }
    if (c == 0) return true;
  }
}

bool PinnedChain::PinParent(const wchar_t* path) {
  wchar_t full[kPathCapacity];
  DWORD n = GetFullPathNameW(path, kPathCapacity, full, nullptr);
  if (!FitsBuffer(n, kPathCapacity)) return false;
  size_t root = RootLength(full), cut = 0;
  for (size_t i = root; full[i]; i++)
    if (IsSeparator(full[i]) && full[i + 1]) cut = i;
  full[cut > root ? cut : root] = 0;
  return root && Pin(full);
}

bool PinnedScan::Next(PinnedEntry& entry) {
  for (;;) {
    if (offset_ >= used_) {
      if (done_) return false;
      // A restart the first time; then the next batch until none is left.
      FILE_INFO_BY_HANDLE_CLASS what = started_ ? FileFullDirectoryInfo : FileFullDirectoryRestartInfo;
      started_ = true;
      if (!GetFileInformationByHandleEx(folder_, what, buffer_, sizeof buffer_)) {
        failed_ = GetLastError() != ERROR_NO_MORE_FILES;
        done_ = true;
        return false;
      }
      offset_ = 0;
      used_ = sizeof buffer_;
    }
    auto info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer_ + offset_);
    offset_ = info->NextEntryOffset ? offset_ + info->NextEntryOffset : used_;
    size_t length = info->FileNameLength / sizeof(wchar_t);
    if (length == 0 || length >= MAX_PATH) continue;
    CopyText(entry.name, info->FileName, length + 1);
    if (CompareTextExact(entry.name, L".") == 0 || CompareTextExact(entry.name, L"..") == 0) continue;
    entry.attributes = info->FileAttributes;
    // For a reparse point the field of extended attributes holds its tag.
    entry.reparseTag = (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info->EaSize : 0;
    entry.lastWrite = (uint64_t)info->LastWriteTime.QuadPart;
    return true;
  }
}

// ---------------------------------------------------------------- open entries

bool GetFinalPath(const wchar_t* path, wchar_t* out, size_t capacity) {
  UniqueFile handle(WithLongRetry(path, [](const wchar_t* p) {
    return CreateFileW(p, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }));
  if (!handle) return false;
  wchar_t final[kPathCapacity], scratch[kPathCapacity];
  DWORD n = GetFinalPathNameByHandleW(handle.Get(), final, kPathCapacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (!FitsBuffer(n, kPathCapacity)) return false;
  CopyText(out, WithoutLongPrefix(final, scratch, kPathCapacity), capacity);
  return true;
}

// The handle's path below its volume's root, and its volume, against the
// path: for where the final path cannot be had (Wine gives none for paths
// past MAX_PATH).
static bool HandleIsPathByName(HANDLE handle, const wchar_t* path) {
  size_t root = RootLength(path);
  if (root == 0) return false;
  alignas(8) unsigned char buffer[sizeof(FILE_NAME_INFO) + kPathCapacity * sizeof(wchar_t)];
  auto info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
  if (!GetFileInformationByHandleEx(handle, FileNameInfo, info, sizeof buffer)) return false;
  int length = (int)(info->FileNameLength / sizeof(wchar_t));
  if (CompareStringOrdinal(info->FileName, length, path + root - 1, -1, TRUE) != CSTR_EQUAL) return false;
  wchar_t volume[kPathCapacity];
  CopyText(volume, path, root + 1);
  DWORD handleSerial = 0, pathSerial = 0;
  return GetVolumeInformationByHandleW(handle, nullptr, 0, &handleSerial, nullptr, nullptr, nullptr, 0) &&
         GetVolumeInformationW(volume, nullptr, 0, &pathSerial, nullptr, nullptr, nullptr, 0) &&
         handleSerial == pathSerial;
}

bool HandleIsPath(HANDLE handle, const wchar_t* path) {
  wchar_t final[kPathCapacity], full[kPathCapacity], longForm[kPathCapacity];
  wchar_t scratchA[kPathCapacity], scratchB[kPathCapacity];
  DWORD n = GetFullPathNameW(path, kPathCapacity, full, nullptr);
  if (!FitsBuffer(n, kPathCapacity)) return false;
  const wchar_t* b = WithoutLongPrefix(full, scratchB, kPathCapacity);
  n = GetFinalPathNameByHandleW(handle, final, kPathCapacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  bool named = FitsBuffer(n, kPathCapacity);
  const wchar_t* a = named ? WithoutLongPrefix(final, scratchA, kPathCapacity) : nullptr;
  if (named ? CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL : HandleIsPathByName(handle, b)) return true;
  // Short (8.3) names become long ones (the file exists, so each part
  // does); looked up only when the plain comparison fails, for it reads
  // every folder on the way.
  n = GetLongPathNameW(full, longForm, kPathCapacity);
  if (!FitsBuffer(n, kPathCapacity) || CompareTextExact(longForm, full) == 0) return false;
  b = WithoutLongPrefix(longForm, scratchB, kPathCapacity);
  return named ? CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL : HandleIsPathByName(handle, b);
}

bool DeleteByHandle(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) return true;
  // A read-only file loses that attribute first.
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
      !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
    return false;
  basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) &&
         SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

bool RenameByHandle(HANDLE handle, const wchar_t* to, bool replace) {
  // The new name as the system's own form of a full path: "\??\C:\..." or
  // "\??\UNC\server\share\...".
  wchar_t full[kPathCapacity], scratch[kPathCapacity];
  DWORD n = GetFullPathNameW(to, kPathCapacity, full, nullptr);
  if (!FitsBuffer(n, kPathCapacity)) return false;
  const wchar_t* plain = WithoutLongPrefix(full, scratch, kPathCapacity);
  PinnedChain chain;
  if (!chain.PinParent(plain)) return false;
  wchar_t target[kPathCapacity + 8];
  CopyText(target, plain[0] == L'\\' && plain[1] == L'\\' ? L"\\??\\UNC" : L"\\??\\");
  AppendText(target, plain[0] == L'\\' && plain[1] == L'\\' ? plain + 1 : plain);
  size_t length = TextLength(target);
  size_t bytes = sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t);
  GrowArray<unsigned char> buffer;
  if (!buffer.TryReserve(bytes)) return false;
  buffer.AddElements(bytes);
  auto info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.Data());
  ZeroMemory(info, bytes);
  info->ReplaceIfExists = replace;
  info->FileNameLength = (DWORD)(length * sizeof(wchar_t));
  CopyMemory(info->FileName, target, (length + 1) * sizeof(wchar_t));
  return SetFileInformationByHandle(handle, FileRenameInfo, info, (DWORD)bytes) != 0;
}

HANDLE OpenOwnImage() {
  wchar_t program[kPathCapacity];
  GetProgramPath(program);
  return WithLongRetry(program, [](const wchar_t* p) {
    return CreateFileW(p, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  });
}

HANDLE OpenForDeletion(const wchar_t* path) {
  UniqueFile file(WithLongRetry(path, [](const wchar_t* p) {
    return CreateFileW(p, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }));
  if (!file || !HandleIsPath(file.Get(), path)) return INVALID_HANDLE_VALUE;
  return file.Release();
}

namespace {

bool VolumeOf(HANDLE handle, DWORD& serial, DWORD& flags) {
  return GetVolumeInformationByHandleW(handle, nullptr, 0, &serial, nullptr, &flags, nullptr, 0) != 0;
}

}  // namespace

bool OnSameVolume(HANDLE a, HANDLE b) {
  DWORD serialA, serialB, flags;
  return VolumeOf(a, serialA, flags) && VolumeOf(b, serialB, flags) && serialA == serialB;
}

bool VolumeKeepsAccessLists(HANDLE handle) {
  DWORD serial, flags;
  return VolumeOf(handle, serial, flags) && (flags & FILE_PERSISTENT_ACLS);
}
