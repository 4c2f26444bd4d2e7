#include "settings/store.h"

#include <string.h>

#include "settings/journal.h"
#include "settings/settings_file.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/product.h"
#include "util/text.h"

LONG (*g_RegistryWriteFilter)(HKEY root, const wchar_t* path, DWORD view);

static bool IsProductRoot(HKEY root) { return root == HKEY_CURRENT_USER || root == HKEY_LOCAL_MACHINE; }

void ComposeRegistryPath(HKEY root, const wchar_t* keyPath, wchar_t* dest, size_t capacity) {
  if (IsProductRoot(root) && keyPath[0] != L'\\')
    FormatText(dest, capacity, L"%s%s%s", kProductKey, keyPath[0] ? L"\\" : L"", keyPath);
  else if (IsProductRoot(root))
    CopyText(dest, keyPath + 1, capacity);
  else if (root == kMachineClasses)
    FormatText(dest, capacity, keyPath[0] ? L"Software\\Classes\\%s" : L"", keyPath);
  else
    CopyText(dest, keyPath, capacity);
}

void ComposeSettingName(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t* dest,
                        size_t capacity) {
  if (capacity == 0) return;
  CopyText(dest, root == HKEY_CURRENT_USER ? L"HKCU\\" : root == HKEY_LOCAL_MACHINE ? L"HKLM\\" : L"", capacity);
  AppendText(dest, keyPath, capacity);
  size_t n = TextLength(dest);
  if (n > 0 && dest[n - 1] != L'\\') AppendText(dest, L"\\", capacity);
  AppendText(dest, valueName, capacity);
}

namespace {

// The one routing of every operation of the store. While a settings file is
// loaded, the product's own keys (no leading backslash) live in it: the
// result is the entry's name. Keys outside the product go to the registry
// only when the file allows system integration; otherwise the result is
// null, and the operation acts as on a file without that entry. Without a
// settings file everything is the registry's: `hive` is set to the hive
// the key lies in and the result is the key's registry path (the machine's
// classes are the machine's hive's). `buffer` holds the text returned.
const size_t kRouteCapacity = kSettingNameCapacity > kRegistryPathCapacity ? kSettingNameCapacity : kRegistryPathCapacity;
const wchar_t* RouteFor(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t (&buffer)[kRouteCapacity],
                        HKEY& hive) {
  LoadSettingsFile();
  hive = nullptr;
  if (g_SettingsFile.loaded && (root == kNullRoot || IsProductRoot(root)) && keyPath[0] != L'\\') {
    ComposeSettingName(root, keyPath, valueName, buffer, kSettingNameCapacity);
    return buffer;
  }
  if (g_SettingsFile.loaded && !g_SettingsFile.integration) return nullptr;
  ComposeRegistryPath(root, keyPath, buffer, kRegistryPathCapacity);
  hive = root == kMachineClasses ? HKEY_LOCAL_MACHINE : root;
  return buffer;
}

// Runs `onFile` with the entry's name (or null) or `onRegistry` with the
// hive and the registry path, as RouteFor decides.
template <class OnFile, class OnRegistry>
__attribute__((always_inline)) inline auto Routed(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, OnFile onFile, OnRegistry onRegistry)
    -> decltype(onFile(nullptr)) {
  wchar_t buffer[kRouteCapacity];
  HKEY hive;
  const wchar_t* text = RouteFor(root, keyPath, valueName, buffer, hive);
  return hive ? onRegistry(hive, text) : onFile(text);
}

// The log's line for a change: what was written or deleted where, or the
// failure. A deletion of what is not there is no event.
LONG LogChange(const char* action, HKEY root, const wchar_t* path, const wchar_t* value, const wchar_t* data,
               LONG result, DWORD view) {
  if (!IsLogging() || (result == ERROR_FILE_NOT_FOUND && !data)) return result;
  const wchar_t* rootName = root == HKEY_LOCAL_MACHINE  ? L"HKLM\\"
                            : root == HKEY_CURRENT_USER ? L"HKCU\\"
                                                        : L"";
  wchar_t subject[kRouteCapacity + 300];
  FormatText(subject, L"%s%s%s%s%s%s", rootName, path ? path : L"", value ? L" [" : L"", value ? value : L"",
             value ? L"]" : L"", (view & KEY_WOW64_32KEY) ? L" (32-bit view)" : L"");
  if (result != ERROR_SUCCESS) LogFailure(action, subject, (DWORD)result);
  else {
    wchar_t words[40];
    AnsiToWide(action, words, 40);  // the log's own words, ASCII
    LogLine(data ? "%s %s = %s" : "%s %s", words, subject, data);
  }
  return result;
}

// The file's part of deleting a key: every entry below it.
LONG RemoveEntriesUnder(const wchar_t* name) {
  if (name) RemoveSettingEntriesUnder(name);
  return ERROR_SUCCESS;
}

const DWORD kReadAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

LONG Refused(HKEY hive, const wchar_t* path, DWORD view) {
  return g_RegistryWriteFilter ? g_RegistryWriteFilter(hive, path, view) : 0;
}

LONG OpenForWrite(HKEY hive, const wchar_t* path, const wchar_t* valueName, DWORD view, RegistryJournal* journal,
                  UniqueHkey& key) {
  if (LONG refused = Refused(hive, path, view)) return refused;
  if (journal) journal->BeforeValue(hive, view, path, valueName);
  return RegCreateKeyExW(hive, path, 0, nullptr, 0, KEY_WRITE | view, nullptr, key.Put(), nullptr);
}

// How many subkeys and values the key has; false when it cannot be asked.
bool CountKey(HKEY hive, const wchar_t* path, DWORD view, DWORD& subkeys, DWORD& values) {
  UniqueHkey key;
  subkeys = values = 0;
  return RegOpenKeyExW(hive, path, 0, KEY_QUERY_VALUE | view, key.Put()) == ERROR_SUCCESS &&
         RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                          nullptr, nullptr) == ERROR_SUCCESS;
}

// One deletion pass over a key and everything below it; counts the keys
// that went.
void DeleteTreePass(HKEY root, const wchar_t* path, int& deleted) {
  if (!path[0]) return;
  {
    UniqueHkey key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return;
    wchar_t name[200];
    for (DWORD i = 0;; i++) {
      DWORD length = 200;
      if (RegEnumKeyExW(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      wchar_t child[kRegistryPathCapacity];
      FormatText(child, L"%s\\%s", path, name);
      DeleteTreePass(root, child, deleted);
    }
  }
  if (RegDeleteKeyW(root, path) == ERROR_SUCCESS) deleted++;
}

}  // namespace

int ReadSettingInt(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int defaultValue) {
  return Routed(
      root, keyPath, valueName,
      [&](const wchar_t* name) {
        const wchar_t* text = name ? FindSettingEntry(name) : nullptr;
        return text ? (int)(uint32_t)TextToInt(text) : defaultValue;
      },
      [&](HKEY hive, const wchar_t* path) {
        UniqueHkey key;
        DWORD value = 0, size = sizeof value;
        if (RegOpenKeyExW(hive, path, 0, kReadAccess, key.Put()) != ERROR_SUCCESS ||
            RegQueryValueExW(key.Get(), valueName, nullptr, nullptr, (BYTE*)&value, &size) != ERROR_SUCCESS ||
            size == 0)
          return defaultValue;
        return (int)value;
      });
}

bool ReadSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t* dest,
                       const wchar_t* defaultText, size_t capacity) {
  if (capacity == 0) return false;
  return Routed(
      root, keyPath, valueName,
      [&](const wchar_t* name) {
        const wchar_t* text = name ? FindSettingEntry(name) : nullptr;
        CopyText(dest, text ? text : defaultText, capacity);
        return true;
      },
      [&](HKEY hive, const wchar_t* path) {
        CopyText(dest, defaultText, capacity);
        UniqueHkey key;
        if (RegOpenKeyExW(hive, path, 0, kReadAccess, key.Put()) != ERROR_SUCCESS) return false;
        DWORD bytes = capacity > 0x7fffffff / 2 ? 0x7ffffffe : (DWORD)(capacity * 2);
        if (RegQueryValueExW(key.Get(), valueName, nullptr, nullptr, (BYTE*)dest, &bytes) != ERROR_SUCCESS) {
          CopyText(dest, defaultText, capacity);
          return false;
        }
        size_t end = bytes / 2;
        dest[end < capacity - 1 ? end : capacity - 1] = 0;
        return true;
      });
}

namespace {

// The one registry write of the store: a value of `bytes` bytes, its key
// made where it is missing; logged with `shown` as its data.
LONG WriteValue(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, DWORD type, const void* data,
                size_t bytes, const wchar_t* shown, int32_t kind, DWORD view, RegistryJournal* journal) {
  return Routed(
      root, keyPath, valueName,
      [&](const wchar_t* name) {
        if (!name) return (LONG)ERROR_SUCCESS;
        SetSettingEntry(name, shown, kind);
        return LogChange("settings file: set", kNullRoot, name, nullptr, shown, ERROR_SUCCESS, 0);
      },
      [&](HKEY hive, const wchar_t* path) {
        UniqueHkey key;
        LONG result = OpenForWrite(hive, path, valueName, view, journal, key);
        if (result == ERROR_SUCCESS && bytes > 0x7ffffffc) result = ERROR_INVALID_PARAMETER;
        if (result == ERROR_SUCCESS) result = RegSetValueExW(key.Get(), valueName, 0, type, (const BYTE*)data, (DWORD)bytes);
        return LogChange("registry: set", hive, path, valueName, shown, result, view);
      });
}

}  // namespace

LONG WriteSettingInt(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int value, DWORD view,
                     RegistryJournal* journal) {
  DWORD data = (DWORD)value;
  wchar_t text[20];
  IntToText((uint32_t)value, text, 20);
  return WriteValue(root, keyPath, valueName, REG_DWORD, &data, 4, text, kSettingNumber, view, journal);
}

LONG WriteSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text, DWORD view,
                        RegistryJournal* journal) {
  return WriteValue(root, keyPath, valueName, REG_SZ, text, (TextLength(text) + 1) * 2, text, kSettingQuoted, view,
                    journal);
}

LONG DeleteSettingValue(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, RegistryJournal* journal) {
  return Routed(
      root, keyPath, valueName,
      [&](const wchar_t* name) {
        if (name) RemoveSettingEntries(name);
        return (LONG)ERROR_SUCCESS;
      },
      [&](HKEY hive, const wchar_t* path) {
        UniqueHkey key;
        LONG result = Refused(hive, path, 0);
        if (!result && (result = RegOpenKeyExW(hive, path, 0, KEY_WRITE, key.Put())) == ERROR_SUCCESS) {
          if (journal) journal->BeforeValue(hive, 0, path, valueName);
          result = RegDeleteValueW(key.Get(), valueName);
        }
        if (result == ERROR_FILE_NOT_FOUND) return (LONG)ERROR_SUCCESS;  // nothing to delete
        return LogChange("registry: deleted", hive, path, valueName, nullptr, result, 0);
      });
}

LONG DeleteSettingKey(HKEY root, const wchar_t* keyPath, DWORD view, RegistryJournal* journal) {
  return Routed(
      root, keyPath, L"", RemoveEntriesUnder,
      [&](HKEY hive, const wchar_t* path) {
        // A key that others have put subkeys below stays as it is: the
        // system would refuse its deletion (as access denied) anyway.
        DWORD subkeys, values;
        LONG result = CountKey(hive, path, view, subkeys, values) && subkeys ? ERROR_DIR_NOT_EMPTY : Refused(hive, path, view);
        if (!result) {
          if (journal) journal->BeforeKeyDeletion(hive, view, path);
          result = RegDeleteKeyExW(hive, path, view, 0);
        }
        if (result == ERROR_FILE_NOT_FOUND) return (LONG)ERROR_SUCCESS;
        return LogChange("registry: deleted key", hive, path, nullptr, nullptr, result, view);
      });
}

LONG DeleteSettingTree(HKEY root, const wchar_t* keyPath) {
  return Routed(
      root, keyPath, L"", RemoveEntriesUnder,
      [&](HKEY hive, const wchar_t* path) {
        if (LONG refused = Refused(hive, path, 0)) return refused;
        // A pass asks for subkeys by rising index while earlier ones go, so
        // it can step over some; the next pass takes them.
        int total = 0;
        for (;;) {
          int deleted = 0;
          DeleteTreePass(hive, path, deleted);
          if (deleted == 0) break;
          total += deleted;
        }
        UniqueHkey left;
        if (RegOpenKeyExW(hive, path, 0, KEY_READ, left.Put()) == ERROR_SUCCESS)
          return LogChange("registry: deleting the tree", hive, path, nullptr, nullptr, ERROR_ACCESS_DENIED, 0);
        if (total) LogChange("registry: deleted tree", hive, path, nullptr, nullptr, ERROR_SUCCESS, 0);
        return (LONG)ERROR_SUCCESS;
      });
}

bool SettingKeyExists(HKEY root, const wchar_t* keyPath) {
  return Routed(
      root, keyPath, L"", [&](const wchar_t* name) { return name && AnySettingEntryUnder(name); },
      [&](HKEY hive, const wchar_t* path) {
        UniqueHkey key;
        return RegOpenKeyExW(hive, path, 0, KEY_QUERY_VALUE, key.Put()) == ERROR_SUCCESS;
      });
}

bool SettingKeyIsEmpty(HKEY root, const wchar_t* keyPath) {
  // The settings file keeps entries, not keys: no key of it is there empty.
  return Routed(
      root, keyPath, L"", [](const wchar_t*) { return false; },
      [&](HKEY hive, const wchar_t* path) {
        DWORD subkeys, values;
        return CountKey(hive, path, 0, subkeys, values) && subkeys == 0 && values == 0;
      });
}

bool IsSystemIntegrationEnabled() { return g_SettingsFile.integration; }

void SaveSettingsNow() {
  if (g_SettingsFile.loaded) SaveSettingsFile();
}

int ReadSettingInt(const wchar_t* keyPath, const wchar_t* valueName, int defaultValue) {
  return ReadSettingInt(HKEY_CURRENT_USER, keyPath, valueName, defaultValue);
}
bool ReadSettingString(const wchar_t* keyPath, const wchar_t* valueName, wchar_t* dest, const wchar_t* defaultText,
                       size_t capacity) {
  return ReadSettingString(HKEY_CURRENT_USER, keyPath, valueName, dest, defaultText, capacity);
}
LONG WriteSettingInt(const wchar_t* keyPath, const wchar_t* valueName, int value) {
  return WriteSettingInt(HKEY_CURRENT_USER, keyPath, valueName, value);
}
LONG WriteSettingString(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text) {
  return WriteSettingString(HKEY_CURRENT_USER, keyPath, valueName, text);
}
void DeleteSettingValue(const wchar_t* keyPath, const wchar_t* valueName) {
  DeleteSettingValue(HKEY_CURRENT_USER, keyPath, valueName);
}
