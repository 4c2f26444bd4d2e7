#include "settings/settings_file.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <shlobj.h>

#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/path.h"
#include "util/text.h"
#include "util/trust.h"

SettingsFileState g_SettingsFile;

// ---------------------------------------------------------------- the list

static wchar_t* CopyOf(const wchar_t* text, size_t length) {
  if (length > ((size_t)1 << 40)) RaiseMemoryError();
  wchar_t* copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
  if (!copy) RaiseMemoryError();
  memcpy(copy, text, length * sizeof(wchar_t));
  copy[length] = 0;
  return copy;
}

void SettingsList::Reindex() {
  table_.Clear();
  for (size_t i = 0; i < entries_.Count(); i++)
    if (!entries_[i].removed) table_.Add(entries_[i].name, TextLength(entries_[i].name), (int32_t)i);
}

// Drops removed entries from the array, keeping the order of the others.
void SettingsList::Compact() {
  size_t out = 0;
  for (size_t i = 0; i < entries_.Count(); i++)
    if (!entries_[i].removed) entries_[out++] = entries_[i];
  entries_.Shrink(out);
  Reindex();
}

const SettingsEntry* SettingsList::Find(const wchar_t* name) const {
  const int32_t* at = table_.Find(name, TextLength(name));
  return at ? &entries_[*at] : nullptr;
}

void SettingsList::Append(const wchar_t* name, size_t nameLength, const wchar_t* text, size_t textLength,
                          int32_t kind) {
  SettingsEntry entry = {CopyOf(name, nameLength), CopyOf(text, textLength), kind, false};
  entries_.PushElement(entry);
  // The first entry of a name stays the one found.
  table_.Add(entry.name, TextLength(entry.name), (int32_t)(entries_.Count() - 1));
  live_++;
}

void SettingsList::Set(const wchar_t* name, const wchar_t* text, int32_t kind) {
  SettingsEntry* entry = const_cast<SettingsEntry*>(Find(name));
  if (entry) {
    wchar_t* copy = CopyOf(text, TextLength(text));
    free(entry->text);
    entry->text = copy;
    entry->kind = kind;
    return;
  }
  Append(name, TextLength(name), text, TextLength(text), kind);
}

void SettingsList::Remove(const wchar_t* name) {
  if (!Find(name)) return;
  for (size_t i = 0; i < entries_.Count(); i++) {
    SettingsEntry& e = entries_[i];
    if (!e.removed && CompareTextExact(e.name, name) == 0) {
      free(e.name);
      free(e.text);
      e.removed = true;
      live_--;
    }
  }
  Compact();
}

void SettingsList::RemoveUnder(const wchar_t* prefix) {
  bool any = false;
  for (size_t i = 0; i < entries_.Count(); i++) {
    SettingsEntry& e = entries_[i];
    if (!e.removed && StartsWithExact(e.name, prefix)) {
      free(e.name);
      free(e.text);
      e.removed = true;
      live_--;
      any = true;
    }
  }
  if (any) Compact();
}

bool SettingsList::AnyUnder(const wchar_t* prefix) const {
  for (size_t i = 0; i < entries_.Count(); i++)
    if (!entries_[i].removed && StartsWithExact(entries_[i].name, prefix)) return true;
  return false;
}

void SettingsList::Clear() {
  for (size_t i = 0; i < entries_.Count(); i++) {
    if (entries_[i].removed) continue;
    free(entries_[i].name);
    free(entries_[i].text);
  }
  entries_.Reset();
  table_.Clear();
  live_ = 0;
}

size_t SettingsList::Collect(GrowArray<const SettingsEntry*>& out) const {
  for (size_t i = 0; i < entries_.Count(); i++)
    if (!entries_[i].removed) out.PushElement(&entries_[i]);
  return out.Count();
}

// ---------------------------------------------------------------- reading

void DecodeSettingsBytes(const unsigned char* bytes, size_t count, GrowArray<wchar_t>& text) {
  text.Reset();
  if (count > 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF &&
      IsWellFormedUtf8(bytes + 3, count - 3)) {
    GrowArray<unsigned char> terminated;
    terminated.AddElements(count - 3 + 1);
    memcpy(terminated.Data(), bytes + 3, count - 3);
    terminated[count - 3] = 0;
    text.AddElements(count + 1);
    Utf8ToWide(terminated.Data(), text.Data(), count + 1);
    text.Shrink(TextLength(text.Data()) + 1);
    return;
  }
  if (count >= 3 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
    bool little = bytes[0] == 0xFF;
    bool control = false;
    for (size_t i = little ? 3 : 2; i < count && !control; i += 2)
      control = bytes[i] <= 0x1F && bytes[i] != 0x0A && bytes[i] != 0x0D;
    if (control) {
      size_t units = (count - 2) / 2;
      text.AddElements(units + 1);
      for (size_t i = 0; i < units; i++) {
        unsigned char a = bytes[2 + 2 * i], b = bytes[3 + 2 * i];
        text[i] = little ? (wchar_t)(a | (b << 8)) : (wchar_t)((a << 8) | b);
      }
      text[units] = 0;
      return;
    }
  }
  // ANSI code page, byte by byte as it maps them.
  text.AddElements(count + 1);
  int n = 0;
  for (size_t done = 0; done < count;) {
    int piece = count - done > 0x10000000 ? 0x10000000 : (int)(count - done);
    int got = MultiByteToWideChar(CP_ACP, 0, (const char*)bytes + done, piece, text.Data() + n, piece);
    n += got;
    done += (size_t)piece;
  }
  text[(size_t)n] = 0;
  text.Shrink((size_t)n + 1);
}

void ParseSettingsText(const wchar_t* text, size_t length, SettingsList& list) {
  const wchar_t* p = text;
  const wchar_t* end = text + length;
  while (p < end) {
    const wchar_t* line = p;
    while (p < end && *p != L'\r' && *p != L'\n') p++;
    const wchar_t* lineEnd = p;
    if (p < end) p++;
    while (lineEnd > line && (lineEnd[-1] == L' ' || lineEnd[-1] == L'\t')) lineEnd--;
    if (lineEnd == line || !IsLatinLetter(line[0])) continue;
    const wchar_t* equals = line;
    while (equals < lineEnd && *equals != L'=') equals++;
    if (equals == lineEnd) continue;
    const wchar_t* value = equals + 1;
    size_t valueLength = (size_t)(lineEnd - value);
    int32_t kind = kSettingNumber;
    if (valueLength && value[0] == L'"') {
      kind = kSettingQuoted;
      value++, valueLength--;
      if (valueLength && value[valueLength - 1] == L'"') valueLength--;
    } else if (valueLength >= 4 && value[0] == L'b' && value[1] == L'i' && value[2] == L'n' && value[3] == L':') {
      kind = kSettingBinary;
      value += 4, valueLength -= 4;
    }
    list.Append(line, (size_t)(equals - line), value, valueLength, kind);
  }
}

// ---------------------------------------------------------------- saving

static int CompareEntryNames(const void* a, const void* b, void*) {
  return CompareTextExact((*static_cast<const SettingsEntry* const*>(a))->name,
                          (*static_cast<const SettingsEntry* const*>(b))->name);
}

static void PutUtf16(GrowArray<unsigned char>& bytes, const wchar_t* text) {
  size_t n = TextLength(text);
  size_t at = bytes.Count();
  bytes.AddElements(n * 2);
  for (size_t i = 0; i < n; i++) {
    bytes[at + 2 * i] = (unsigned char)(text[i] & 0xFF);
    bytes[at + 2 * i + 1] = (unsigned char)(text[i] >> 8);
  }
}

void SerializeSettings(const SettingsList& list, GrowArray<unsigned char>& bytes) {
  GrowArray<const SettingsEntry*> sorted;
  list.Collect(sorted);
  SortElements(sorted.Data(), sorted.Count(), sizeof(const SettingsEntry*), CompareEntryNames);
  bytes.PushElement(0xFF);
  bytes.PushElement(0xFE);
  for (size_t i = 0; i < sorted.Count(); i++) {
    const SettingsEntry* e = sorted[i];
    PutUtf16(bytes, e->name);
    PutUtf16(bytes, L"=");
    if (e->kind == kSettingQuoted) PutUtf16(bytes, L"\"");
    if (e->kind == kSettingBinary) PutUtf16(bytes, L"bin:");
    PutUtf16(bytes, e->text);
    if (e->kind == kSettingQuoted) PutUtf16(bytes, L"\"");
    PutUtf16(bytes, L"\r\n");
  }
}

// ---------------------------------------------------------------- the file

// A settings file is small: one far larger is not read.
const size_t kMaxSettingsBytes = 64 << 20;

static bool FindSettingsPath(wchar_t* path) {
  GetProgramFile(L"Korvex.ini", path, kPathCapacity);
  if (FileExists(path)) return true;
  // The user's application data may be pointed anywhere by the user: the
  // elevated tool keeps no settings file where that would reach others' files.
  wchar_t folder[kPathCapacity];
  path[0] = 0;
  if (GetUserSettingsFolder(folder, kPathCapacity, false) && FileExists(folder) && IsUserFolderUsable(folder))
    JoinPath(folder, L"Korvex.ini", path, kPathCapacity);
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

// Only the file at its name itself: not what a link there leads to.
static bool ReadSettingsBytes(const wchar_t* path, GrowArray<unsigned char>& bytes) {
  UniqueFile file(OpenUnredirected(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
  return file && ReadWhole(file.Get(), bytes, kMaxSettingsBytes);
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

// The new content goes to a temporary file beside the old one, which is
// replaced only once the new file is complete: a failed or interrupted save
// never leaves a truncated settings file. The file may lie in the user's
// application data, where a link can stand at either name: the twin is made
// only where it is meant to be and is renamed through its own handle, and a
// settings file that is a link (or has another name too) is not replaced,
// so that neither write reaches the file a link leads to.
bool SaveSettingsFile() {
  SettingsFileState& s = g_SettingsFile;
  if (!s.loaded || !s.saveSettings) return false;
  // The folder stays where it is for the whole save (the twin is made and
  // renamed in it), and only a folder the tool may write for the user, or
  // the program's own, takes it.
  wchar_t folder[kPathCapacity], program[kPathCapacity];
  CopyText(folder, s.path);
  RemoveName(folder);
  GetProgramPath(program);
  RemoveName(program);
  PinnedChain chain;
  if (!chain.Pin(folder) || (CompareTextNoCase(folder, program) != 0 && !IsUserFolderUsable(folder))) return false;
  GrowArray<unsigned char> bytes;
  SerializeSettings(s.list, bytes);
  wchar_t temporary[kPathCapacity];
  CopyText(temporary, s.path);
  AppendText(temporary, L".new");
  if (TextLength(temporary) != TextLength(s.path) + 4) return false;
  if (!DeleteUnredirected(temporary)) return false;
  UniqueFile twin(OpenUnredirected(temporary, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW));
  if (!twin) return false;
  bool ok = WriteExactly(twin.Get(), bytes.Data(), bytes.Count()) && FlushFileBuffers(twin.Get());
  if (ok && FileExists(s.path)) {
    UniqueFile old(OpenUnredirected(s.path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING));
    ok = old.IsValid();
  }
  if (ok) ok = RenameByHandle(twin.Get(), s.path);
  if (!ok) DeleteByHandle(twin.Get());
  return ok;
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

bool SnapshotSettingsFile(GrowArray<unsigned char>& bytes) {
  bytes.Reset();
  return g_SettingsFile.loaded && ReadSettingsBytes(g_SettingsFile.path, bytes);
}

bool RestoreSettingsFile(const GrowArray<unsigned char>& bytes) {
  SettingsFileState& s = g_SettingsFile;
  UniqueFile file(OpenUnredirected(s.path, GENERIC_WRITE, 0, OPEN_ALWAYS));
  bool ok = file && WriteExactly(file.Get(), bytes.Data(), bytes.Count()) && SetEndOfFile(file.Get());
  file.Reset();
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
  AppendText(dest, L"Korvex", capacity);
  if (FileExists(dest)) return true;
  return create && MakeFolder(dest) == 0;
}

// The archiver's own rule, read straight from the registry (not through
// the store: the archiver reads it so, with or without a settings file).
void GetSettingsFolder(wchar_t* dest, size_t capacity, bool create) {
  if (capacity == 0) return;
  dest[0] = 0;
  UniqueHkey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Korvex\\Paths", 0, KEY_QUERY_VALUE, key.Put()) == ERROR_SUCCESS) {
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
