// The settings store: the one way settings and integration entries are
// read, written and deleted. Each call is served by the portable settings
// file, by the registry, or (integration switched off) by neither.
//
// Key paths under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are relative to
// the product key "Software\Korvex" unless they begin with a backslash.
#pragma once
#include <stddef.h>
#include <windows.h>

// The root of the entries that exist only in the settings file ("Global").
const HKEY kNullRoot = nullptr;

const size_t kRegistryPathCapacity = 512;
const size_t kSettingNameCapacity = 1024;

void ComposeRegistryPath(HKEY root, const wchar_t* keyPath, wchar_t* dest, size_t capacity);
void ComposeSettingName(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t* dest, size_t capacity);

int ReadSettingInt(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int defaultValue);
bool ReadSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t* dest,
                       const wchar_t* defaultText, size_t capacity);
LONG WriteSettingInt(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int value);
LONG WriteSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text);
void DeleteSettingValue(HKEY root, const wchar_t* keyPath, const wchar_t* valueName);
void DeleteSettingKey(HKEY root, const wchar_t* keyPath);
// DeleteSettingKey in a given registry view (0 or KEY_WOW64_32KEY): for keys
// that were written through SetRegistryView into the 32-bit view.
void DeleteSettingKeyInView(HKEY root, const wchar_t* keyPath, DWORD view);
void DeleteSettingTree(HKEY root, const wchar_t* keyPath);
bool SettingKeyExists(HKEY root, const wchar_t* keyPath);
// True when the registry key is there and holds neither values nor subkeys.
bool SettingKeyIsEmpty(HKEY root, const wchar_t* keyPath);

// The same with the root HKEY_CURRENT_USER.
int ReadSettingInt(const wchar_t* keyPath, const wchar_t* valueName, int defaultValue);
bool ReadSettingString(const wchar_t* keyPath, const wchar_t* valueName, wchar_t* dest, const wchar_t* defaultText,
                       size_t capacity);
LONG WriteSettingInt(const wchar_t* keyPath, const wchar_t* valueName, int value);
LONG WriteSettingString(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text);
void DeleteSettingValue(const wchar_t* keyPath, const wchar_t* valueName);

template <size_t N>
bool ReadSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t (&dest)[N],
                       const wchar_t* defaultText) {
  return ReadSettingString(root, keyPath, valueName, dest, defaultText, N);
}
template <size_t N>
bool ReadSettingString(const wchar_t* keyPath, const wchar_t* valueName, wchar_t (&dest)[N],
                       const wchar_t* defaultText) {
  return ReadSettingString(keyPath, valueName, dest, defaultText, N);
}

// The journal of a setup run: from StartJournal on, every change the store
// makes in the registry (both views), the settings file's content and every
// file the integration writes or deletes in the file layer are recorded, and
// a refused write or deletion (access denied) is noted. UndoJournal puts
// everything back, the latest change first, and returns how many changes it
// put back; EndJournal forgets the record.
void StartJournal();
bool JournalRefused();
size_t UndoJournal();
void EndJournal();

// 0 or KEY_WOW64_32KEY; applied by the reads and writes only.
void SetRegistryView(DWORD view);
DWORD GetRegistryView();
bool IsSystemIntegrationEnabled();
// A settings file in force goes to disk now (the registry needs nothing).
void SaveSettingsNow();

// Test seam: Wine runs every process with administrator rights, so a refused
// registry write cannot be produced there. When set, the filter is asked
// before each registry write or deletion; a non-zero answer is returned as
// the write's error, and a deletion it refuses does nothing.
extern LONG (*g_RegistryWriteFilter)(HKEY root, const wchar_t* path);
