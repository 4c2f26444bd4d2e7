#include "setup/uninstall_entry.h"

#include "lang/language.h"
#include "settings/store.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

const wchar_t kUninstallEntryKey[] = L"\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex archiver";

static const int kMajor = 6, kMinor = 20, kPreRelease = 2;

void ComposeDisplayName(wchar_t* dest, size_t capacity) {
  CopyText(dest, L"Korvex", capacity);
  if (dest[0]) AppendText(dest, L" ", capacity);
  wchar_t piece[100];
  FormatText(piece, L"%d.%02d", kMajor, kMinor);
  AppendText(dest, piece, capacity);
  FormatText(piece, L" %s %d", GetText(IDS_BETA), kPreRelease);
  AppendText(dest, piece, capacity);
  FormatText(piece, L" (%s)", GetText(IDS_64BIT));
  AppendText(dest, piece, capacity);
}

LONG WriteUninstallEntry() {
  const wchar_t* key = kUninstallEntryKey;
  wchar_t text[kPathCapacity];
  ComposeDisplayName(text, kPathCapacity);
  WriteSettingString(HKEY_LOCAL_MACHINE, key, L"DisplayName", text);
  FormatText(text, L"%d.%02d.%d", kMajor, kMinor, kPreRelease);
  WriteSettingString(HKEY_LOCAL_MACHINE, key, L"DisplayVersion", text);
  WriteSettingInt(HKEY_LOCAL_MACHINE, key, L"VersionMajor", kMajor);
  WriteSettingInt(HKEY_LOCAL_MACHINE, key, L"VersionMinor", kMinor);

  wchar_t program[kPathCapacity];
  GetModuleFileNameW(nullptr, program, kPathCapacity - 1);
  program[kPathCapacity - 2] = 0;
  // Quoted: unquoted, a path with blanks would be tried cut at each blank
  // ("C:\Program.exe") before the right one.
  wchar_t command[kPathCapacity + 2];
  FormatText(command, L"\"%s\"", program);
  WriteSettingString(HKEY_LOCAL_MACHINE, key, L"UninstallString", command);

  wchar_t icon[kPathCapacity];
  ReadSettingString(HKEY_LOCAL_MACHINE, key, L"DisplayIcon", icon, L"", kPathCapacity - 1);
  if (!icon[0] || !FileExists(icon)) {
    CopyText(icon, program);
    *PointToName(icon) = 0;
    AppendText(icon, L"Korvex.exe");
    WriteSettingString(HKEY_LOCAL_MACHINE, key, L"DisplayIcon", icon);
  }
  *PointToName(program) = 0;  // the folder, with its trailing separator
  WriteSettingString(HKEY_LOCAL_MACHINE, key, L"InstallLocation", program);
  WriteSettingInt(HKEY_LOCAL_MACHINE, key, L"NoModify", 1);
  WriteSettingInt(HKEY_LOCAL_MACHINE, key, L"NoRepair", 1);
  WriteSettingInt(HKEY_LOCAL_MACHINE, key, L"Language", 0);
  return WriteSettingString(HKEY_LOCAL_MACHINE, key, L"Publisher", L"Velmora GmbH");
}
