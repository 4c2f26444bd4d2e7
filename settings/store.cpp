#include "settings/store.h"

#include <string.h>

#include "settings/journal.h"
#include "settings/settings_file.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/text.h"

LONG (*g_RegistryWriteFilter)(HKEY root, const wchar_t* path);

static DWORD g_RegistryViewFlags;

// The journal of the setup run, while one runs; the settings file's bytes
// when it began.
struct JournalState {
  RegistryJournal registry;
  GrowArray<unsigned char> settingsFile;
  bool settingsFileSaved = false, refused = false;
};
static JournalState* g_Journal;

void SetRegistryView(DWORD view) { g_RegistryViewFlags = view; }
DWORD GetRegistryView() { return g_RegistryViewFlags; }

static bool IsProductRoot(HKEY root) { return root == HKEY_CURRENT_USER || root == HKEY_LOCAL_MACHINE; }

void ComposeRegistryPath(HKEY root, const wchar_t* keyPath, wchar_t* dest, size_t capacity) {
  if (IsProductRoot(root) && keyPath[0] != L'\\')
    FormatText(dest, capacity, L"Software\\Korvex%s%s", keyPath[0] ? L"\\" : L"", keyPath);
  else if (IsProductRoot(root))
    CopyText(dest, keyPath + 1, capacity);
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
// settings file everything is the registry's: `registry` is set and the
// result is the key's registry path. `buffer` holds the text returned.
const size_t kRouteCapacity = kSettingNameCapacity > kRegistryPathCapacity ? kSettingNameCapacity : kRegistryPathCapacity;
const wchar_t* RouteFor(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t (&buffer)[kRouteCapacity],
                        bool& registry) {
  LoadSettingsFile();
  registry = false;
  if (g_SettingsFile.loaded && (root == kNullRoot || IsProductRoot(root)) && keyPath[0] != L'\\') {
    ComposeSettingName(root, keyPath, valueName, buffer, kSettingNameCapacity);
    return buffer;
  }
  if (g_SettingsFile.loaded && !g_SettingsFile.integration) return nullptr;
  registry = true;
  ComposeRegistryPath(root, keyPath, buffer, kRegistryPathCapacity);
  return buffer;
}

// Runs `onFile` with the entry's name (or null) or `onRegistry` with the
// registry path, as RouteFor decides.
template <class OnFile, class OnRegistry>
__attribute__((always_inline)) inline auto Routed(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, OnFile onFile, OnRegistry onRegistry)
    -> decltype(onFile(nullptr)) {
  wchar_t buffer[kRouteCapacity];
  bool registry;
  const wchar_t* text = RouteFor(root, keyPath, valueName, buffer, registry);
  return registry ? onRegistry(text) : onFile(text);
}

// The log's line for a change: what was written or deleted where, or the
// failure. A deletion of what is not there is no event.
LONG LogChange(const char* action, HKEY root, const wchar_t* path, const wchar_t* value, const wchar_t* data,
               LONG result, DWORD view = g_RegistryViewFlags) {
  if (!IsLogging() || (result == ERROR_FILE_NOT_FOUND && !data)) return result;
  const wchar_t* rootName = root == HKEY_LOCAL_MACHINE  ? L"HKLM\\"
                            : root == HKEY_CURRENT_USER ? L"HKCU\\"
                            : root == HKEY_CLASSES_ROOT ? L"HKCR\\"
                                                        : L"";
  wchar_t subject[kRouteCapacity + 300];
  FormatText(subject, L"%s%s%s%s%s%s", rootName, path ? path : L"", value ? L" [" : L"", value ? value : L"",
             value ? L"]" : L"", (view & KEY_WOW64_32KEY) ? L" (32-bit view)" : L"");
  if (result != ERROR_SUCCESS) LogFailure(action, subject, (DWORD)result);
  else {
    char format[64];
    strcpy(format, action);
    strcat(format, data ? " %s = %s" : " %s");
    LogLine(format, subject, data ? data : L"");
  }
  return result;
}

// The file's part of deleting a key: every entry below it.
void RemoveEntriesUnder(const wchar_t* name) {
  if (name) RemoveSettingEntriesUnder(name);
}

const DWORD kReadAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

// Notes a refused change for the journal; returns the result.
LONG Noted(LONG result) {
  if (g_Journal && result == ERROR_ACCESS_DENIED) g_Journal->refused = true;
  return result;
}

LONG Refused(HKEY root, const wchar_t* path) {
  return Noted(g_RegistryWriteFilter ? g_RegistryWriteFilter(root, path) : 0);
}

// What a value's change replaces, for the journal.
void BeforeValueChange(HKEY root, const wchar_t* path, const wchar_t* valueName, DWORD view) {
  if (g_Journal) g_Journal->registry.BeforeValue(root, view, path, valueName);
}

LONG OpenForWrite(HKEY root, const wchar_t* path, const wchar_t* valueName, UniqueHkey& key) {
  if (LONG refused = Refused(root, path)) return refused;
  BeforeValueChange(root, path, valueName, g_RegistryViewFlags);
  return Noted(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_WRITE | g_RegistryViewFlags, nullptr, key.Put(), nullptr));
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
      [&](const wchar_t* path) {
        UniqueHkey key;
        DWORD value = 0, size = sizeof value;
        if (RegOpenKeyExW(root, path, 0, kReadAccess | g_RegistryViewFlags, key.Put()) != ERROR_SUCCESS ||
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
      [&](const wchar_t* path) {
        CopyText(dest, defaultText, capacity);
        UniqueHkey key;
        if (RegOpenKeyExW(root, path, 0, kReadAccess | g_RegistryViewFlags, key.Put()) != ERROR_SUCCESS) return false;
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

LONG WriteSettingInt(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int value) {
  return Routed(
      root, keyPath, valueName,
      [&](const wchar_t* name) {
        wchar_t text[20];
        IntToText((uint32_t)value, text, 20);
        if (name) SetSettingEntry(name, text, kSettingNumber);
        return name ? LogChange("settings file: set", kNullRoot, name, nullptr, text, ERROR_SUCCESS) : (LONG)ERROR_SUCCESS;
      },
      [&](const wchar_t* path) {
        UniqueHkey key;
        LONG result = OpenForWrite(root, path, valueName, key);
        DWORD data = (DWORD)value;
        if (result == ERROR_SUCCESS) result = Noted(RegSetValueExW(key.Get(), valueName, 0, REG_DWORD, (const BYTE*)&data, 4));
        wchar_t text[20];
        IntToText((uint32_t)value, text, 20);
        return LogChange("registry: set", root, path, valueName, text, result);
      });
}

LONG WriteSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text) {
  return Routed(
      root, keyPath, valueName,
      [&](const wchar_t* name) {
        if (name) SetSettingEntry(name, text, kSettingQuoted);
        return name ? LogChange("settings file: set", kNullRoot, name, nullptr, text, ERROR_SUCCESS) : (LONG)ERROR_SUCCESS;
      },
      [&](const wchar_t* path) {
        UniqueHkey key;
        LONG result = OpenForWrite(root, path, valueName, key);
        size_t length = TextLength(text);
        if (result == ERROR_SUCCESS && length > 0x3ffffffe) result = ERROR_INVALID_PARAMETER;
        if (result == ERROR_SUCCESS)
          result = Noted(RegSetValueExW(key.Get(), valueName, 0, REG_SZ, (const BYTE*)text, (DWORD)((length + 1) * 2)));
        return LogChange("registry: set", root, path, valueName, text, result);
      });
}

void DeleteSettingValue(HKEY root, const wchar_t* keyPath, const wchar_t* valueName) {
  Routed(
      root, keyPath, valueName,
      [&](const wchar_t* name) {
        if (name) RemoveSettingEntries(name);
      },
      [&](const wchar_t* path) {
        UniqueHkey key;
        if (Refused(root, path) || RegOpenKeyExW(root, path, 0, KEY_WRITE, key.Put()) != ERROR_SUCCESS) return;
        BeforeValueChange(root, path, valueName, 0);
        LogChange("registry: deleted", root, path, valueName, nullptr, Noted(RegDeleteValueW(key.Get(), valueName)), 0);
      });
}

void DeleteSettingKey(HKEY root, const wchar_t* keyPath) { DeleteSettingKeyInView(root, keyPath, 0); }

void DeleteSettingKeyInView(HKEY root, const wchar_t* keyPath, DWORD view) {
  Routed(root, keyPath, L"", RemoveEntriesUnder,
      [&](const wchar_t* path) {
        if (Refused(root, path)) return;
        if (g_Journal) g_Journal->registry.BeforeKeyDeletion(root, view, path);
        LONG result = Noted(view ? RegDeleteKeyExW(root, path, view, 0) : RegDeleteKeyW(root, path));
        if (result != ERROR_FILE_NOT_FOUND) LogChange("registry: deleted key", root, path, nullptr, nullptr, result, view);
      });
}

void DeleteSettingTree(HKEY root, const wchar_t* keyPath) {
  Routed(root, keyPath, L"", RemoveEntriesUnder,
      [&](const wchar_t* path) {
        if (Refused(root, path)) return;
        if (g_Journal) g_Journal->registry.BeforeKeyDeletion(root, 0, path);
        // A pass asks for subkeys by rising index while earlier ones go, so
        // it can step over some; the next pass takes them.
        int total = 0;
        for (;;) {
          int deleted = 0;
          DeleteTreePass(root, path, deleted);
          if (deleted == 0) break;
          total += deleted;
        }
        UniqueHkey left;
        if (RegOpenKeyExW(root, path, 0, KEY_READ, left.Put()) == ERROR_SUCCESS)
          LogChange("registry: deleting the tree", root, path, nullptr, nullptr, ERROR_ACCESS_DENIED, 0);
        else if (total)
          LogChange("registry: deleted tree", root, path, nullptr, nullptr, ERROR_SUCCESS, 0);
      });
}

bool SettingKeyExists(HKEY root, const wchar_t* keyPath) {
  return Routed(
      root, keyPath, L"", [&](const wchar_t* name) { return name && AnySettingEntryUnder(name); },
      [&](const wchar_t* path) {
        UniqueHkey key;
        return RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.Put()) == ERROR_SUCCESS;
      });
}

bool SettingKeyIsEmpty(HKEY root, const wchar_t* keyPath) {
  // The settings file keeps entries, not keys: no key of it is there empty.
  return Routed(
      root, keyPath, L"", [](const wchar_t*) { return false; },
      [&](const wchar_t* path) {
        UniqueHkey key;
        DWORD subkeys = 0, values = 0;
        return RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.Put()) == ERROR_SUCCESS &&
               RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
               subkeys == 0 && values == 0;
      });
}

bool IsSystemIntegrationEnabled() { return g_SettingsFile.integration; }

void SaveSettingsNow() {
  if (g_SettingsFile.loaded) SaveSettingsFile();
}

void StartJournal() {
  static JournalState state;
  EndJournal();
  LoadSettingsFile();
  state.settingsFileSaved = SnapshotSettingsFile(state.settingsFile);
  state.refused = false;
  g_Journal = &state;
  StartFileJournal();
}

bool JournalRefused() { return g_Journal && g_Journal->refused; }

size_t UndoJournal() {
  if (!g_Journal) return 0;
  size_t undone = g_Journal->registry.Undo() +
                  UndoFileJournal([](const wchar_t* path, DWORD error) { LogFailure("to put back", path, error); });
  if (g_Journal->settingsFileSaved && RestoreSettingsFile(g_Journal->settingsFile)) undone++;
  EndJournal();
  return undone;
}

void EndJournal() {
  if (!g_Journal) return;
  g_Journal->registry.Clear();
  g_Journal->settingsFile.Reset();
  g_Journal = nullptr;
  StopFileJournal();
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
