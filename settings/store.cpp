#include "settings/store.h"

#include "settings/settings_file.h"
#include "util/handles.h"
#include "util/text.h"

LONG (*g_RegistryWriteFilter)(HKEY root, const wchar_t* path);

static DWORD g_RegistryViewFlags;

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

enum class Route { File, Skip, Registry };

Route RouteFor(HKEY root, const wchar_t* keyPath) {
  LoadSettingsFile();
  if (!g_SettingsFile.loaded) return Route::Registry;
  if ((root == kNullRoot || IsProductRoot(root)) && keyPath[0] != L'\\') return Route::File;
  return g_SettingsFile.integration ? Route::Registry : Route::Skip;
}

struct Composed {
  wchar_t text[kRegistryPathCapacity];
};

Composed RegistryPath(HKEY root, const wchar_t* keyPath) {
  Composed c;
  ComposeRegistryPath(root, keyPath, c.text, kRegistryPathCapacity);
  return c;
}

struct Name {
  wchar_t text[kSettingNameCapacity];
};

Name SettingName(HKEY root, const wchar_t* keyPath, const wchar_t* valueName) {
  Name n;
  ComposeSettingName(root, keyPath, valueName, n.text, kSettingNameCapacity);
  return n;
}

const DWORD kReadAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

LONG Refused(HKEY root, const wchar_t* path) { return g_RegistryWriteFilter ? g_RegistryWriteFilter(root, path) : 0; }

LONG OpenForWrite(HKEY root, const wchar_t* path, UniqueHkey& key) {
  if (LONG refused = Refused(root, path)) return refused;
  return RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_WRITE | g_RegistryViewFlags, nullptr, key.put(), nullptr);
}

// One deletion pass over a key and everything below it; counts the keys
// that went.
void DeleteTreePass(HKEY root, const wchar_t* path, int& deleted) {
  if (!path[0]) return;
  {
    UniqueHkey key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    wchar_t name[200];
    for (DWORD i = 0;; i++) {
      DWORD length = 200;
      if (RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      wchar_t child[kRegistryPathCapacity];
      FormatText(child, L"%s\\%s", path, name);
      DeleteTreePass(root, child, deleted);
    }
  }
  if (RegDeleteKeyW(root, path) == ERROR_SUCCESS) deleted++;
}

}  // namespace

int ReadSettingInt(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int defaultValue) {
  switch (RouteFor(root, keyPath)) {
    case Route::File: {
      const wchar_t* text = FindSettingEntry(SettingName(root, keyPath, valueName).text);
      return text ? (int)(uint32_t)TextToInt(text) : defaultValue;
    }
    case Route::Skip:
      return defaultValue;
    case Route::Registry:
      break;
  }
  UniqueHkey key;
  if (RegOpenKeyExW(root, RegistryPath(root, keyPath).text, 0, kReadAccess | g_RegistryViewFlags, key.put()) !=
      ERROR_SUCCESS)
    return defaultValue;
  DWORD value = 0, size = sizeof value;
  if (RegQueryValueExW(key.get(), valueName, nullptr, nullptr, (BYTE*)&value, &size) != ERROR_SUCCESS || size == 0)
    return defaultValue;
  return (int)value;
}

bool ReadSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, wchar_t* dest,
                       const wchar_t* defaultText, size_t capacity) {
  if (capacity == 0) return false;
  switch (RouteFor(root, keyPath)) {
    case Route::File: {
      const wchar_t* text = FindSettingEntry(SettingName(root, keyPath, valueName).text);
      CopyText(dest, text ? text : defaultText, capacity);
      return true;
    }
    case Route::Skip:
      CopyText(dest, defaultText, capacity);
      return true;
    case Route::Registry:
      break;
  }
  CopyText(dest, defaultText, capacity);
  UniqueHkey key;
  if (RegOpenKeyExW(root, RegistryPath(root, keyPath).text, 0, kReadAccess | g_RegistryViewFlags, key.put()) !=
      ERROR_SUCCESS)
    return false;
  DWORD bytes = capacity > 0x7fffffff / 2 ? 0x7ffffffe : (DWORD)(capacity * 2);
  if (RegQueryValueExW(key.get(), valueName, nullptr, nullptr, (BYTE*)dest, &bytes) != ERROR_SUCCESS) {
    CopyText(dest, defaultText, capacity);
    return false;
  }
  size_t end = bytes / 2;
  dest[end < capacity - 1 ? end : capacity - 1] = 0;
  return true;
}

LONG WriteSettingInt(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int value) {
  switch (RouteFor(root, keyPath)) {
    case Route::File: {
      wchar_t text[20];
      IntToText((uint32_t)value, text, 20);
      SetSettingEntry(SettingName(root, keyPath, valueName).text, text, kSettingNumber);
      return ERROR_SUCCESS;
    }
    case Route::Skip:
      return ERROR_SUCCESS;
    case Route::Registry:
      break;
  }
  UniqueHkey key;
  LONG result = OpenForWrite(root, RegistryPath(root, keyPath).text, key);
  if (result != ERROR_SUCCESS) return result;
  DWORD data = (DWORD)value;
  return RegSetValueExW(key.get(), valueName, 0, REG_DWORD, (const BYTE*)&data, 4);
}

LONG WriteSettingString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text) {
  switch (RouteFor(root, keyPath)) {
    case Route::File:
      SetSettingEntry(SettingName(root, keyPath, valueName).text, text, kSettingQuoted);
      return ERROR_SUCCESS;
    case Route::Skip:
      return ERROR_SUCCESS;
    case Route::Registry:
      break;
  }
  UniqueHkey key;
  LONG result = OpenForWrite(root, RegistryPath(root, keyPath).text, key);
  if (result != ERROR_SUCCESS) return result;
  size_t length = TextLength(text);
  if (length > 0x3ffffffe) return ERROR_INVALID_PARAMETER;
  return RegSetValueExW(key.get(), valueName, 0, REG_SZ, (const BYTE*)text, (DWORD)((length + 1) * 2));
}

void DeleteSettingValue(HKEY root, const wchar_t* keyPath, const wchar_t* valueName) {
  switch (RouteFor(root, keyPath)) {
    case Route::File:
      RemoveSettingEntries(SettingName(root, keyPath, valueName).text);
      return;
    case Route::Skip:
      return;
    case Route::Registry:
      break;
  }
  Composed path = RegistryPath(root, keyPath);
  if (Refused(root, path.text)) return;
  UniqueHkey key;
  if (RegOpenKeyExW(root, path.text, 0, KEY_WRITE, key.put()) == ERROR_SUCCESS) RegDeleteValueW(key.get(), valueName);
}

void DeleteSettingKey(HKEY root, const wchar_t* keyPath) { DeleteSettingKeyInView(root, keyPath, 0); }

void DeleteSettingKeyInView(HKEY root, const wchar_t* keyPath, DWORD view) {
  switch (RouteFor(root, keyPath)) {
    case Route::File:
      RemoveSettingEntriesUnder(SettingName(root, keyPath, L"").text);
      return;
    case Route::Skip:
      return;
    case Route::Registry:
      break;
  }
  Composed path = RegistryPath(root, keyPath);
  if (Refused(root, path.text)) return;
  if (view) RegDeleteKeyExW(root, path.text, view, 0);
  else RegDeleteKeyW(root, path.text);
}

void DeleteSettingTree(HKEY root, const wchar_t* keyPath) {
  switch (RouteFor(root, keyPath)) {
    case Route::File:
      RemoveSettingEntriesUnder(SettingName(root, keyPath, L"").text);
      return;
    case Route::Skip:
      return;
    case Route::Registry:
      break;
  }
  Composed path = RegistryPath(root, keyPath);
  if (Refused(root, path.text)) return;
  // A pass asks for subkeys by rising index while earlier ones go, so it can
  // step over some; the next pass takes them.
  for (;;) {
    int deleted = 0;
    DeleteTreePass(root, path.text, deleted);
    if (deleted == 0) break;
  }
}

bool SettingKeyExists(HKEY root, const wchar_t* keyPath) {
  switch (RouteFor(root, keyPath)) {
    case Route::File:
      return AnySettingEntryUnder(SettingName(root, keyPath, L"").text);
    case Route::Skip:
      return false;
    case Route::Registry:
      break;
  }
  UniqueHkey key;
  return RegOpenKeyExW(root, RegistryPath(root, keyPath).text, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

bool SettingKeyIsEmpty(HKEY root, const wchar_t* keyPath) {
  // The settings file keeps entries, not keys: no key of it is there empty.
  if (RouteFor(root, keyPath) != Route::Registry) return false;
  UniqueHkey key;
  if (RegOpenKeyExW(root, RegistryPath(root, keyPath).text, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    return false;
  DWORD subkeys = 0, values = 0;
  return RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                          nullptr, nullptr) == ERROR_SUCCESS &&
         subkeys == 0 && values == 0;
}

bool IsSystemIntegrationEnabled() { return g_SettingsFile.integration; }

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
