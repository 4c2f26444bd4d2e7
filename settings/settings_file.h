// The portable settings file "Korvex.ini": when present beside the program
// (or in the per-user settings folder), the product's settings live in it.
// Finding, reading and saving it; its text is settings_text's.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "settings/settings_text.h"

// The store's process-wide file state.
struct SettingsFileState {
  wchar_t path[2048];
  bool loadAttempted;
  bool loaded;
  bool appData = true, integration = true, saveSettings = true;
  SettingsList list;
  size_t saves;                     // the saves made so far
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
// Forgets the settings file and leaves every setting to the registry without
// looking for a file, until ForgetSettingsFile: for a process that must not
// take up a file beside it or in the user's folder (the tests, the
// screenshots).
void IgnoreSettingsFile();
// Whether a settings file is in force (it has been read).
bool IsSettingsFileLoaded();
// Its live entries in file order.
size_t CollectSettingEntries(GrowArray<const SettingsEntry*>& out);
// For the transaction of a setup run: the loaded settings file's bytes as
// they are on disk now, read as the file at its name itself (false when no
// file is loaded or they cannot be read), and how many saves were made so
// far; and those bytes taken as the entries again, with no save at the end
// of the run, and written back into the file at its name (not made anew)
// when it has been saved since.
bool SnapshotSettingsFile(GrowArray<unsigned char>& bytes, size_t& saves);
bool RestoreSettingsFile(const GrowArray<unsigned char>& bytes, size_t saves);

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
