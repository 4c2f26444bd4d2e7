// The portable settings file "Korvex.ini": when present beside the program
// (or in the per-user settings folder), the product's settings live in it.
//
// Entries keep file order; lookups take the first entry of a name and new
// names are appended. A name index makes lookups independent of the list's
// length. The decoder and the line parser work on memory only.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "util/array.h"

enum SettingKind : int32_t { kSettingNumber = 0, kSettingQuoted = 1, kSettingBinary = 2 };

struct SettingsEntry {
  wchar_t* name;
  wchar_t* text;
  int32_t kind;
  bool removed;
};

class SettingsList {
 public:
  SettingsList() = default;
  ~SettingsList() { Clear(); }
  SettingsList(const SettingsList&) = delete;
  SettingsList& operator=(const SettingsList&) = delete;

  const SettingsEntry* Find(const wchar_t* name) const;
  void Set(const wchar_t* name, const wchar_t* text, int32_t kind);
  // Appends without looking for an earlier entry of the same name (loading).
  void Append(const wchar_t* name, size_t nameLength, const wchar_t* text, size_t textLength, int32_t kind);
  void Remove(const wchar_t* name);
  void RemoveUnder(const wchar_t* prefix);
  bool AnyUnder(const wchar_t* prefix) const;
  void Clear();
  // Live entries in list order.
  size_t Collect(GrowArray<const SettingsEntry*>& out) const;

 private:
  void Reindex();
  void Compact();

  GrowArray<SettingsEntry> entries_;
  TextTable table_;  // the position of the first entry of each name
  size_t live_ = 0;
};

// Detects the encoding (UTF-8 with mark, UTF-16 with mark, else ANSI) and
// converts the file's bytes to wide text, zero-terminated.
void DecodeSettingsBytes(const unsigned char* bytes, size_t count, GrowArray<wchar_t>& text);
// Splits wide text into lines and appends the entries among them.
void ParseSettingsText(const wchar_t* text, size_t length, SettingsList& list);
// The content of a saved file: mark, sorted entries, CR LF line ends.
void SerializeSettings(const SettingsList& list, GrowArray<unsigned char>& bytes);

// The store's process-wide file state.
struct SettingsFileState {
  wchar_t path[2048];
  bool loadAttempted;
  bool loaded;
  bool appData = true, integration = true, saveSettings = true;
  SettingsList list;
};
extern SettingsFileState g_SettingsFile;

// The one load attempt: finds the file and reads it.
void LoadSettingsFile();
// Reads the file at a known path (the second half of LoadSettingsFile).
void LoadSettingsFileFrom(const wchar_t* path);
bool SaveSettingsFile();
// Process end: saves when loaded and SaveSettings is on (and the file was
// not deleted meanwhile), then frees the entries and forgets the load.
void CloseSettingsStore();
// Frees the entries and forgets the load without saving.
void ForgetSettingsFile();
// For the journal of a setup run: the loaded settings file's bytes as they
// are on disk now (false when no file is loaded); and those bytes written
// back and taken as the entries, with no save at the end of the run.
bool SnapshotSettingsFile(GrowArray<unsigned char>& bytes);
bool RestoreSettingsFile(const GrowArray<unsigned char>& bytes);

const wchar_t* FindSettingEntry(const wchar_t* name);
void SetSettingEntry(const wchar_t* name, const wchar_t* text, int32_t kind);
void RemoveSettingEntries(const wchar_t* name);
void RemoveSettingEntriesUnder(const wchar_t* prefix);
bool AnySettingEntryUnder(const wchar_t* prefix);

// The per-user settings folder "<AppData>\Korvex", made when `create` is
// set; false (and dest empty) when there is none.
bool GetUserSettingsFolder(wchar_t* dest, size_t capacity, bool create);
// The settings folder: "Paths\AppData" of the user's settings when it
// exists, else the per-user folder, else the program folder.
void GetSettingsFolder(wchar_t* dest, size_t capacity, bool create);
