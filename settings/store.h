// The settings store: the one way settings and integration entries are
// read, written and deleted. Each call is served by the portable settings
// file, by the registry, or (integration switched off) by neither.
//
// Key paths under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are relative to
// the product key "Software\Korvex" unless they begin with a backslash.
//
// The writes and deletions take the registry view they act in (0, or
// KEY_WOW64_32KEY for the 32-bit view) and, for a setup run, its registry
// journal, which hears of each change before it is made; without one they
// act alone. Deletions return the system's answer: ERROR_DIR_NOT_EMPTY for
// a key that stays because another program's subkeys are below it (the
// system says access denied there; it is no lack of rights).
#pragma once
#include <stddef.h>
#include <windows.h>

class RegistryJournal;

// The root of the entries that exist only in the settings file ("Global").
const HKEY kNullRoot = nullptr;
// The machine's own classes, HKEY_LOCAL_MACHINE\Software\Classes: every
// file type, ProgID and shell class written for all users is read and
// written there, never through the view that merges the user's own classes
// into the machine's (there the user's copy of a key would be read, or
// written in place of the machine's). Key paths below it are used as they
// stand; the empty one composes to no path at all, so that no deletion ever
// reaches the classes themselves.
const HKEY kMachineClasses = reinterpret_cast<HKEY>((ULONG_PTR)(LONG)0x8000004C);

const size_t kRegistryPathCapacity = 512;
const size_t kSettingNameCapacity = 1024;

void ComposeRegistryPath(HKEY root, const wchar_t* keyPath, wchar_t* dest, size_t capacity);
void ComposeSettingName(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t* dest, size_t capacity);

int ReadSettingInt(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int defaultValue);
bool ReadSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t* dest,
                       const wchar_t* defaultText, size_t capacity);
LONG WriteSettingInt(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int value, DWORD view = 0,
                     RegistryJournal* journal = nullptr);
LONG WriteSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text,
                        DWORD view = 0, RegistryJournal* journal = nullptr);
LONG DeleteSettingValue(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, RegistryJournal* journal = nullptr);
// Deletes the key when nothing is below it (its values go with it).
LONG DeleteSettingKey(HKEY root, const wchar_t* keyPath, DWORD view = 0, RegistryJournal* journal = nullptr);
// Deletes the key with everything below it; not for a setup run's journal.
LONG DeleteSettingTree(HKEY root, const wchar_t* keyPath);
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

bool IsSystemIntegrationEnabled();
// A settings file in force goes to disk now (the registry needs nothing).
void SaveSettingsNow();

// Test seam: Wine runs every process with administrator rights, so a refused
// registry write cannot be produced there. When set, the filter is asked
// before each registry write or deletion (with the hive, the key's path and
// the view); a non-zero answer is returned as the change's result, and
// nothing is changed.
extern LONG (*g_RegistryWriteFilter)(HKEY root, const wchar_t* path, DWORD view);
