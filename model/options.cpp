#include "model/options.h"

#include "settings/store.h"
#include "model/winver.h"
#include "util/product.h"
#include "util/text.h"

#define KVX_ARCHIVE_TYPE(name, extensions, id) {extensions, IDC_ASSOC##name},
const ArchiveType ArchiveTypes[kArchiveTypeCount] = {KVX_ARCHIVE_TYPES(KVX_ARCHIVE_TYPE)};
#undef KVX_ARCHIVE_TYPE

const wchar_t* NextExtension(const wchar_t* row, wchar_t (&extension)[50]) {
  if (!row || !*row) return nullptr;
  const wchar_t* end = row + 1;
  while (*end && *end != L'.') end++;
  CopyText(extension, row, (size_t)(end - row) + 1 < 50 ? (size_t)(end - row) + 1 : 50);
  return end;
}

void PrimaryExtension(size_t row, wchar_t (&extension)[50]) { NextExtension(ArchiveTypes[row].extensions, extension); }

static void SetupKey(size_t row, wchar_t (&key)[80]) {
  wchar_t extension[50];
  PrimaryExtension(row, extension);
  FormatText(key, L"Setup\\%s", extension);
}

void LoadIntegrationOptions(IntegrationOptions& options) {
  for (size_t i = 0; i < kArchiveTypeCount; i++) {
    wchar_t key[80];
    SetupKey(i, key);
    options.Associate[i] = ReadSettingInt(key, L"Set", 1) != 0;
    if (i != kJarRow && i != kIsoRow) continue;
    wchar_t extension[50];
    PrimaryExtension(i, extension);
    if (IsOwnAssociation(extension)) continue;
    wchar_t owner[80];
    ReadSettingString(kMachineClasses, extension, L"", owner, L"");
    if (i == kJarRow || owner[0]) options.Associate[i] = 0;
  }
  options.Desktop = ReadSettingInt(L"Setup\\Links", L"Desktop", 0) != 0;
  options.StartMenu = ReadSettingInt(L"Setup\\Links", L"StartMenu", 0) != 0;
  options.Programs = ReadSettingInt(L"Setup\\Links", L"Programs", 1) != 0;
  options.ShellExt = ReadSettingInt(L"Setup", L"ShellExt", 1) != 0;
  options.CascadedMenu = ReadSettingInt(L"Setup", L"CascadedMenu", IsWindows11OrLater() ? 1 : 0) != 0;
  options.MenuIcons = ReadSettingInt(L"Setup", L"MenuIcons", 1) != 0;
  options.LegacyMenu = ReadSettingInt(L"Setup", L"LegacyMenu", 0) != 0;
  if (IsWindows11OrLater() && ReadSettingInt(L"Setup", L"NewContextMenu", 0) == 0) options.CascadedMenu = 1;
}

void SaveIntegrationOptions(SetupTransaction& changes, const IntegrationOptions& options) {
  for (size_t i = 0; i < kArchiveTypeCount; i++) {
    wchar_t key[80];
    SetupKey(i, key);
    changes.WriteInt(key, L"Set", options.Associate[i] ? 1 : 0);
  }
  changes.WriteInt(L"Setup\\Links", L"Desktop", options.Desktop ? 1 : 0);
  changes.WriteInt(L"Setup\\Links", L"StartMenu", options.StartMenu ? 1 : 0);
  changes.WriteInt(L"Setup\\Links", L"Programs", options.Programs ? 1 : 0);
  changes.WriteInt(L"Setup", L"ShellExt", options.ShellExt ? 1 : 0);
  changes.WriteInt(L"Setup", L"CascadedMenu", options.CascadedMenu ? 1 : 0);
  changes.WriteInt(L"Setup", L"MenuIcons", options.MenuIcons ? 1 : 0);
  changes.WriteInt(L"Setup", L"LegacyMenu", options.LegacyMenu ? 1 : 0);
}

void ApplyInstallerOverrides(const wchar_t* text, IntegrationOptions& options) {
  const wchar_t* p = text ? text : L"";
  while (p[0] && p[1]) {
    wchar_t code = UpperChar(p[0]);
    if (code == L'A') {
      const wchar_t* q = p + 1;
      for (size_t n = 0; n < kAssociateSlots && IsDigit(*q); n++, q++) options.Associate[n] = *q == L'1';
      p = q;
      continue;
    }
    uint8_t on = p[1] == L'1';
    switch (code) {
      case L'C': options.CascadedMenu = on; break;
      case L'D': options.Desktop = on; break;
      case L'I': options.MenuIcons = on; break;
      case L'M': options.StartMenu = on; break;
      case L'P': options.Programs = on; break;
      case L'S': options.ShellExt = on; break;
      default: break;
    }
    p += 2;
  }
}

bool IsOwnProgId(const wchar_t* text) {
  return CompareTextNoCase(text, kArchiveProgId) == 0 || CompareTextNoCase(text, kZipProgId) == 0;
}

bool IsOwnAssociation(const wchar_t* extension) {
  wchar_t owner[80];
  ReadSettingString(kMachineClasses, extension, L"", owner, L"");
  return IsOwnProgId(owner);
}
