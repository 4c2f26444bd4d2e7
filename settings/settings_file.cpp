#include "settings/settings_file.h"

#include <windows.h>
#include <shlobj.h>

#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/path.h"
#include "util/product.h"
#include "util/text.h"
#include "util/trust.h"

SettingsFileState g_SettingsFile;

static bool FindSettingsPath(wchar_t* path) {
  GetProgramFile(kSettingsFileName, path, kPathCapacity);
  if (FileExists(path)) return true;
  // The user's application data may be pointed anywhere by the user: the
  // elevated tool keeps no settings file where that would reach others' files.
  wchar_t folder[kPathCapacity];
  path[0] = 0;
  if (GetUserSettingsFolder(folder, kPathCapacity, false) && FileExists(folder) && IsUserFolderUsable(folder))
    JoinPath(folder, kSettingsFileName, path, kPathCapacity);
  return path[0] && FileExists(path);
}

void LoadSettingsFile() {
  SettingsFileState& s = g_SettingsFile;
  if (s.loadAttempted || s.loaded) return;
  wchar_t path[kPathCapacity];
  s.loadAttempted = true;
  s.path[0] = 0;
  if (FindSettingsPath(path)) LoadSettingsFileFrom(path);
}

// Only the file at its name itself: not what a link there leads to. Read
// whole, whatever its size: memory that runs out is the fatal memory error.
static bool ReadSettingsBytes(const wchar_t* path, GrowArray<unsigned char>& bytes) {
  UniqueFile file(OpenUnredirected(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
  return file && ReadWhole(file.Get(), bytes, SIZE_MAX);
}

static void TakeEntries(GrowArray<unsigned char>& bytes) {
  SettingsFileState& s = g_SettingsFile;
  {
    GrowArray<wchar_t> text;
    DecodeSettingsBytes(bytes.Data(), bytes.Count(), text);
    bytes.Reset();
    // A NUL ends the text.
    ParseSettingsText(text.Data(), TextLength(text.Data()), s.list);
  }
  s.loaded = true;
}

// One of the file's three switches: on unless its entry's number is 0, and
// written back as 0 or 1 (so that a saved file always names all three).
static bool TakeGlobalSwitch(const wchar_t* name) {
  const wchar_t* text = FindSettingEntry(name);
  bool on = !text || (uint32_t)TextToInt(text) != 0;
  SetSettingEntry(name, on ? L"1" : L"0", kSettingNumber);
  return on;
}

void LoadSettingsFileFrom(const wchar_t* path) {
  SettingsFileState& s = g_SettingsFile;
  s.loadAttempted = true;
  CopyText(s.path, path);
  GrowArray<unsigned char> bytes;
  if (!ReadSettingsBytes(s.path, bytes)) return;
  TakeEntries(bytes);
  s.appData = TakeGlobalSwitch(L"Global\\AppData");
  s.integration = TakeGlobalSwitch(L"Global\\Integration");
  s.saveSettings = TakeGlobalSwitch(L"Global\\SaveSettings");
}

// The whole content of an open settings file replaced.
static bool Rewrite(HANDLE file, const GrowArray<unsigned char>& bytes) {
  LARGE_INTEGER zero = {};
  return SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) && WriteExactly(file, bytes.Data(), bytes.Count()) &&
         SetEndOfFile(file);
}

// The content is replaced through a handle on the file at its name, shared
// for reading as a save has always shared it: an editor or a backup tool
// that reads the file meanwhile does not keep it from being saved. The file
// may lie in the user's application data, where a link can stand at its
// name: a settings file that is a link (or has another name too) is not
// written, so that no write reaches the file a link leads to.
bool SaveSettingsFile() {
  SettingsFileState& s = g_SettingsFile;
  if (!s.loaded || !s.saveSettings) return false;
  // The folder stays where it is for the whole save, and only a folder the
  // tool may write for the user, or the program's own, takes it.
  wchar_t folder[kPathCapacity], program[kPathCapacity];
  CopyText(folder, s.path);
  RemoveName(folder);
  GetProgramPath(program);
  RemoveName(program);
  PinnedChain chain;
  if (!chain.Pin(folder) || (CompareTextNoCase(folder, program) != 0 && !IsUserFolderUsable(folder))) return false;
  GrowArray<unsigned char> bytes;
  SerializeSettings(s.list, bytes);
  UniqueFile file(OpenUnredirected(s.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS));
  if (!file || !Rewrite(file.Get(), bytes)) return false;
  s.saves++;
  return true;
}

void CloseSettingsStore() {
  SettingsFileState& s = g_SettingsFile;
  // A file that is gone by now was deleted on purpose (an uninstall that
  // lists it): saving would bring it back and keep its folder alive.
  if (s.loaded && s.saveSettings && FileExists(s.path)) {
    if (SaveSettingsFile()) LogLine("settings file saved: %s", s.path);
    else LogFailure("to save the settings file", s.path, GetLastError());
  }
  ForgetSettingsFile();
}

bool SnapshotSettingsFile(GrowArray<unsigned char>& bytes, size_t& saves) {
  SettingsFileState& s = g_SettingsFile;
  bytes.Reset();
  saves = s.saves;
  return s.loaded && ReadSettingsBytes(s.path, bytes);
}

bool RestoreSettingsFile(const GrowArray<unsigned char>& bytes, size_t saves) {
  SettingsFileState& s = g_SettingsFile;
  bool ok = true;
  if (s.saves != saves) {
    UniqueFile file(OpenUnredirected(s.path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
    ok = file && Rewrite(file.Get(), bytes);
  }
  s.list.Clear();
  GrowArray<unsigned char> copy;
  copy.AddElements(bytes.Count());
  if (bytes.Count()) CopyMemory(copy.Data(), bytes.Data(), bytes.Count());
  TakeEntries(copy);
  s.saveSettings = false;  // the file stays as it was put back
  return ok;
}

void ForgetSettingsFile() {
  SettingsFileState& s = g_SettingsFile;
  s.list.Clear();
  s.loaded = false;
  s.loadAttempted = false;
  s.appData = s.integration = s.saveSettings = true;
}

void IgnoreSettingsFile() {
  ForgetSettingsFile();
  g_SettingsFile.loadAttempted = true;
}

bool IsSettingsFileLoaded() { return g_SettingsFile.loaded; }

size_t CollectSettingEntries(GrowArray<const SettingsEntry*>& out) { return g_SettingsFile.list.Collect(out); }

const wchar_t* FindSettingEntry(const wchar_t* name) {
  const SettingsEntry* e = g_SettingsFile.list.Find(name);
  return e ? e->text : nullptr;
}
void SetSettingEntry(const wchar_t* name, const wchar_t* text, int32_t kind) {
  g_SettingsFile.list.Set(name, text, kind);
}
void RemoveSettingEntries(const wchar_t* name) { g_SettingsFile.list.Remove(name); }
void RemoveSettingEntriesUnder(const wchar_t* prefix) { g_SettingsFile.list.RemoveUnder(prefix); }
bool AnySettingEntryUnder(const wchar_t* prefix) { return g_SettingsFile.list.AnyUnder(prefix); }

bool GetUserSettingsFolder(wchar_t* dest, size_t capacity, bool create) {
  if (capacity == 0) return false;
  dest[0] = 0;
  wchar_t folder[MAX_PATH + 1] = {};
  UniqueCoTaskMemory list;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_APPDATA, reinterpret_cast<PIDLIST_ABSOLUTE*>(list.Put()))) &&
      list && !SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(list.Get()), folder))
    folder[0] = 0;
  if (!folder[0]) return false;
  CopyText(dest, folder, capacity);
  AddTrailingSeparator(dest, capacity);
  AppendText(dest, kProductName, capacity);
  if (FileExists(dest)) return true;
  return create && MakeFolder(dest) == 0;
}

// The archiver's own rule, read straight from the registry (not through
// the store: the archiver reads it so, with or without a settings file).
void GetSettingsFolder(wchar_t* dest, size_t capacity, bool create) {
  if (capacity == 0) return;
  dest[0] = 0;
  UniqueHkey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kPathsKey, 0, KEY_QUERY_VALUE, key.Put()) == ERROR_SUCCESS) {
    DWORD bytes = (DWORD)((capacity - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key.Get(), L"AppData", nullptr, nullptr, (BYTE*)dest, &bytes) == ERROR_SUCCESS) {
      size_t chars = bytes / sizeof(wchar_t);
      dest[chars < capacity ? chars : capacity - 1] = 0;
    } else {
      dest[0] = 0;
    }
  }
  if (dest[0] && FileExists(dest)) return;
  if (GetUserSettingsFolder(dest, capacity, create)) return;
  GetProgramPath(dest, capacity);
  RemoveName(dest);
}
