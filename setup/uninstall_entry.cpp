#include "setup/uninstall_entry.h"

#include "lang/language.h"
#include "res/version.h"
#include "settings/store.h"
#include "util/array.h"
#include "util/file.h"
#include "util/file_list.h"
#include "util/path.h"
#include "util/product.h"
#include "util/text.h"

const wchar_t kUninstallEntryKey[] = L"\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex archiver";

static const int kMajor = KVX_VERSION_MAJOR, kMinor = KVX_VERSION_MINOR, kPreRelease = KVX_VERSION_PRERELEASE;
// A file list larger than this is no list of this product's files.
static const size_t kMaxMeasuredListBytes = 64 << 20;

void ComposeDisplayName(wchar_t* dest, size_t capacity) {
  CopyText(dest, kProductName, capacity);
  if (dest[0]) AppendText(dest, L" ", capacity);
  wchar_t piece[100];
  FormatText(piece, L"%d.%02d", kMajor, kMinor);
  AppendText(dest, piece, capacity);
  FormatText(piece, L" %s %d", GetText(IDS_BETA), kPreRelease);
  AppendText(dest, piece, capacity);
  FormatText(piece, L" (%s)", GetText(IDS_64BIT));
  AppendText(dest, piece, capacity);
}

namespace {

// Full paths in one pool, for counting each file once.
struct PathPool {
  TextPool text;
  GrowArray<size_t> starts;
  void Add(const wchar_t* path) { starts.PushElement(text.Add(path)); }
};

int ComparePaths(const void* a, const void* b, void* pool) {
  const TextPool& text = static_cast<const PathPool*>(pool)->text;
  int r = CompareStringOrdinal(text.At(*static_cast<const size_t*>(a)), -1, text.At(*static_cast<const size_t*>(b)), -1,
                               TRUE);
  return r == CSTR_LESS_THAN ? -1 : r == CSTR_GREATER_THAN ? 1 : 0;
}

}  // namespace

uint64_t MeasureInstallation(const wchar_t* program) {
  PathPool paths;
  paths.Add(program);
  wchar_t folder[kPathCapacity];
  CopyText(folder, program);
  *PointToName(folder) = 0;  // with its trailing separator
  wchar_t listPath[kPathCapacity];
  JoinPath(folder, kFileListName, listPath);
  FileList list;
  DiskFile listFile;
  if (listFile.Open(listPath, kFileShareWrite)) ReadFileList(listFile, list, kMaxMeasuredListBytes);
  size_t folderLength = TextLength(folder);
  wchar_t full[kPathCapacity];
  CopyText(full, folder);
  for (size_t i = 0; i < list.entries.Count(); i++)
    if (ListedPath(list, i, full, kPathCapacity, folderLength)) paths.Add(full);
  SortElements(paths.starts.Data(), paths.starts.Count(), sizeof(size_t), ComparePaths, &paths);
  uint64_t total = 0;
  FoundEntry found;
  for (size_t i = 0; i < paths.starts.Count(); i++) {
    if (i > 0 && ComparePaths(&paths.starts[i - 1], &paths.starts[i], &paths) == 0) continue;  // named twice
    if (FindSingle(paths.text.At(paths.starts[i]), found) && !found.isDirectory) total += found.size;
  }
  return total;
}

namespace {

// The entry's values, each written into its key through the run's transaction.
struct EntryValues {
  SetupTransaction& changes;
  LONG Put(const wchar_t* name, const wchar_t* text) {
    return changes.WriteMachine(kUninstallEntryKey, name, text);
  }
  void Put(const wchar_t* name, int value) { changes.WriteMachine(kUninstallEntryKey, name, value); }
};

}  // namespace

LONG WriteUninstallEntry(SetupTransaction& changes) {
  EntryValues entry = {changes};
  wchar_t text[kPathCapacity];
  ComposeDisplayName(text, kPathCapacity);
  entry.Put(L"DisplayName", text);
  FormatText(text, L"%d.%02d.%d", kMajor, kMinor, kPreRelease);
  entry.Put(L"DisplayVersion", text);
  entry.Put(L"VersionMajor", kMajor);
  entry.Put(L"VersionMinor", kMinor);

  wchar_t program[kPathCapacity];
  GetProgramPath(program);
  wchar_t full[kPathCapacity];
  CopyText(full, program);
  // Quoted: unquoted, a path with blanks would be tried cut at each blank
  // ("C:\Program.exe") before the right one.
  wchar_t command[kPathCapacity + 2];
  FormatText(command, L"\"%s\"", program);
  entry.Put(L"UninstallString", command);

  wchar_t icon[kPathCapacity];
  ReadSettingString(HKEY_LOCAL_MACHINE, kUninstallEntryKey, L"DisplayIcon", icon, L"", kPathCapacity - 1);
  if (!icon[0] || !FileExists(icon)) {
    CopyText(icon, program);
    *PointToName(icon) = 0;
    AppendText(icon, kArchiverFile);
    entry.Put(L"DisplayIcon", icon);
  }
  *PointToName(program) = 0;  // the folder, with its trailing separator
  entry.Put(L"InstallLocation", program);
  entry.Put(L"NoModify", 1);
  entry.Put(L"NoRepair", 1);
  entry.Put(L"Language", 0);
  LONG result = entry.Put(L"Publisher", L"Velmora GmbH");

  // What package managers and the list of installed programs read besides:
  // the command that removes the product without a question, its size and
  // the day it was set up.
  FormatText(command, L"\"%s\" /S", full);
  entry.Put(L"QuietUninstallString", command);
  uint64_t kib = (MeasureInstallation(full) + 1023) / 1024;
  entry.Put(L"EstimatedSize", (int)(uint32_t)(kib > 0xFFFFFFFFu ? 0xFFFFFFFFu : kib));
  SYSTEMTIME today;
  GetLocalTime(&today);
  FormatText(text, L"%04u%02u%02u", (unsigned)today.wYear, (unsigned)today.wMonth, (unsigned)today.wDay);
  entry.Put(L"InstallDate", text);
  return result;
}
