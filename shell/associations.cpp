#include "shell/associations.h"

#include <shlobj.h>

#include "lang/language.h"
#include "settings/store.h"
#include "shell/templates.h"
#include "util/path.h"
#include "util/product.h"
#include "util/text.h"
#include "util/log.h"

void MachineRecordKey(const wchar_t* extension, wchar_t (&key)[80]) {
  FormatText(key, L"%s\\%s", kMachineRecordsKey, extension);
}

// The extension's previous "ShellNew" entry, from the machine's record.
static void RestoreSavedNewEntry(SetupTransaction& changes, const wchar_t* extension, bool existed) {
  wchar_t machine[80], saved[kPathCapacity] = {};
  MachineRecordKey(extension, machine);
  if (existed) ReadSettingString(HKEY_LOCAL_MACHINE, machine, L"ShellNew", saved, L"");
  RestoreNewEntry(changes, extension, existed ? saved : nullptr);
}

// The saved previous owner lies in the user's own settings, and the release
// writes it for the whole machine: a type under which files are programs or
// scripts (by its name, or by an open command that starts the file itself)
// would have every user's archives run when opened. Such a type is not
// given back, nor anything that is not a plain ProgID.
static bool IsRestorableType(const wchar_t* type) {
  // The runners' classes, each ended by a blank.
  static const wchar_t kRunners[] =
      L"exefile batfile cmdfile comfile piffile scrfile htafile JSFile JSEFile VBSFile VBEFile WSFFile WSHFile "
      L"regfile inffile lnkfile cplfile mscfile scriptletfile SHCmdFile Msi.Package Msi.Patch Application.Reference "
      L"Microsoft.PowerShellScript.1 Microsoft.PowerShellModule.1 Microsoft.PowerShellData.1 ";
  for (const wchar_t* p = type; *p; p++)
    if (*p < 32 || *p == L'\\' || *p == L'/') return false;
  for (const wchar_t* runner = kRunners; *runner;) {
    const wchar_t* end = runner;
    while (*end != L' ') end++;
    if (CompareStringOrdinal(type, -1, runner, (int)(end - runner), TRUE) == CSTR_EQUAL) return false;
    runner = end + 1;
  }
  wchar_t key[600], command[64];
  FormatText(key, L"%s\\shell\\open\\command", type);
  ReadSettingString(kMachineClasses, key, L"", command, L"");
  const wchar_t* start = command[0] == L'"' ? command + 1 : command;
  return !StartsWithExact(start, L"%1");
}

bool SetAssociations(SetupTransaction& changes, const IntegrationOptions& options) {
  for (size_t i = 0; i < kArchiveTypeCount; i++) {
    wchar_t extension[50];
    AssociationChoice choice = options.Associate[i] ? kClaimType : kReleaseType;
    if (options.ShellExt) choice = choice | kShellExtensionChosen;
    if (i == kKvxRow) choice = choice | kKvxTypeRow;
    if (i == kZipRow) choice = choice | kZipTypeRow;
    for (const wchar_t* p = ArchiveTypes[i].extensions; (p = NextExtension(p, extension)) != nullptr;)
      SetExtensionAssociation(changes, extension, choice);
  }
  return !changes.Refused();
}

// The saved previous state of one extension: what it was before the first
// claim. It is kept twice: in the user's settings, where other tools of the
// archiver read it, and in the machine's part of the registry, which only
// administrators can write: the release writes it back for every user, so
// only that record is trusted (the user's programs could plant anything in
// their own settings).
static void SavePreviousState(SetupTransaction& changes, const wchar_t* extension, const wchar_t* settings) {
  wchar_t type[512], fileName[kPathCapacity], nullFile[10], shellNew[kPathCapacity], machine[80];
  ReadSettingString(kMachineClasses, extension, L"", type, L"");
  FormatText(shellNew, L"%s\\ShellNew", extension);
  ReadSettingString(kMachineClasses, shellNew, L"FileName", fileName, L"");
  bool hasNullFile = ReadSettingString(kMachineClasses, shellNew, L"NullFile", nullFile, L"");
  int existed = SettingKeyExists(kMachineClasses, extension) ? 1 : 0;
  const wchar_t* newEntry = fileName[0] ? fileName : hasNullFile ? L"*" : L"";
  MachineRecordKey(extension, machine);
  changes.WriteInt(settings, L"Exist", existed);
  changes.WriteString(settings, L"Type", type);
  changes.WriteString(settings, L"ShellNew", newEntry);
  changes.WriteMachine(machine, L"Exist", existed);
  changes.WriteMachine(machine, L"Type", type);
  changes.WriteMachine(machine, L"ShellNew", newEntry);
  LogLine("association of %s: previous owner \"%s\" saved", extension, type);
}

// A claim cut short between creating the extension key and writing its
// default value (a killed setup) leaves the key with nothing in it. When the
// saved state says the key did not exist before, such a key is the one the
// cut claim made: the saved state stays, or the next claim would record the
// key as another program's and the release would leave it behind. A key
// with anything in it is another program's, made after our release (which
// leaves the saved state in place): it is recorded as the previous owner.
static bool ClaimCutShort(const wchar_t* extension) {
  wchar_t machine[80];
  MachineRecordKey(extension, machine);
  return ReadSettingInt(HKEY_LOCAL_MACHINE, machine, L"Exist", 1) == 0 && SettingKeyIsEmpty(kMachineClasses, extension);
}

static void VolumeName(unsigned n, wchar_t (&name)[32]) { FormatText(name, L".k%02u", n); }

namespace {

// Takes the type: the previous owner saved by the first claim only (later
// claims find the extension already ours), then the archiver's class, its
// volumes' and the new-archive template.
void ClaimExtension(SetupTransaction& changes, const wchar_t* extension, const wchar_t* settings, TemplateRow row,
                    bool templates) {
  bool kvxRow = row == TemplateRow::Kvx;
  if (!IsOwnAssociation(extension) && !ClaimCutShort(extension)) {
    SavePreviousState(changes, extension, settings);
    // A portable settings file keeps the previous owner in memory until it
    // is saved; it goes to disk before the type is taken, so that a setup
    // that ends early cannot lose another program's association.
    SaveSettingsNow();
  }
  changes.WriteClass(extension, L"", row == TemplateRow::Zip ? kZipProgId : kArchiveProgId);
  if (kvxRow) {
    for (unsigned n = 0; n < 30; n++) {
      wchar_t volume[32];
      VolumeName(n, volume);
      changes.WriteClass(volume, L"", kArchiveProgId);
    }
  }
  if (templates && row != TemplateRow::None) InstallNewTemplate(changes, extension, kvxRow);
}

// Gives an extension of ours back to its previous owner, or removes it when
// it did not exist before. The extension's default value is what marks it
// as ours, so it is put back last: a release cut short (a killed uninstall)
// leaves the extension ours, and the next run releases it again from the
// start instead of leaving our "ShellNew" entry in place of the previous one.
// Without the machine's record (a setup of an earlier version), the type is
// given back as the empty type.
void ReleaseExtension(SetupTransaction& changes, const wchar_t* extension, TemplateRow row) {
  wchar_t machine[80];
  MachineRecordKey(extension, machine);
  bool existed = ReadSettingInt(HKEY_LOCAL_MACHINE, machine, L"Exist", 1) != 0;
  wchar_t type[512];
  ReadSettingString(HKEY_LOCAL_MACHINE, machine, L"Type", type, L"");
  if (IsOwnProgId(type) || !IsRestorableType(type)) type[0] = 0;  // never to ourselves or to a runner
  if (row == TemplateRow::Kvx) {
    for (unsigned n = 0; n < 100; n++) {
      wchar_t volume[32];
      VolumeName(n, volume);
      if (existed && type[0]) changes.WriteClass(volume, L"", type);
      else changes.DeleteKey(kMachineClasses, volume);
    }
  }
  if (row != TemplateRow::None) RestoreSavedNewEntry(changes, extension, existed);
  if (existed) {
    changes.WriteClass(extension, L"", type);
    LogLine("association of %s: given back to \"%s\"", extension, type);
    return;
  }
  LogLine("association of %s: removed (it did not exist before)", extension);
  // With its "ShellNew" key gone, an extension that did not exist before
  // goes as a whole. Deleted first and emptied only when it stays (another
  // program has put subkeys below it): a release cut short between the two
  // leaves it ours, never an empty key behind.
  changes.DeleteKey(kMachineClasses, extension);
  if (SettingKeyExists(kMachineClasses, extension)) changes.WriteClass(extension, L"", L"");
}

}  // namespace

void SetExtensionAssociation(SetupTransaction& changes, const wchar_t* extension, AssociationChoice choice) {
  PrepareTemplates();
  TemplateRow row = (choice & kKvxTypeRow) ? TemplateRow::Kvx : (choice & kZipTypeRow) ? TemplateRow::Zip : TemplateRow::None;
  bool templates = TemplateCondition((choice & kShellExtensionChosen) != 0, row);
  wchar_t settings[80];
  FormatText(settings, L"Setup\\%s", extension);
  if (!(choice & kClaimType)) {
    if (IsOwnAssociation(extension)) ReleaseExtension(changes, extension, row);  // else another program's
    return;
  }
  ClaimExtension(changes, extension, settings, row, templates);
  // Claimed without the template condition: an entry installed by an
  // earlier setup is taken back.
  if (IsOwnAssociation(extension) && !templates && row != TemplateRow::None) {
    wchar_t machine[80];
    MachineRecordKey(extension, machine);
    RestoreSavedNewEntry(changes, extension, ReadSettingInt(HKEY_LOCAL_MACHINE, machine, L"Exist", 1) != 0);
  }
}

static bool WriteProgId(SetupTransaction& changes, const wchar_t* progId, const wchar_t* description,
                        const wchar_t* command, const wchar_t* icon) {
  if (changes.WriteClass(progId, L"", description) == ERROR_ACCESS_DENIED) return false;
  wchar_t key[kPathCapacity], current[kPathCapacity];
  FormatText(key, L"%s\\shell\\open\\command", progId);
  changes.WriteClass(key, L"", command);
  FormatText(key, L"%s\\DefaultIcon", progId);
  // An icon that is already there (chosen by the user or a theme) stays.
  ReadSettingString(kMachineClasses, key, L"", current, L"");
  if (!current[0]) changes.WriteClass(key, L"", icon);
  return true;
}

bool RegisterProgIds(SetupTransaction& changes) {
  wchar_t program[kPathCapacity], command[2080], archiveIcon[2080], volumeIcon[2080];
  GetProgramFile(kArchiverFile, program);
  FormatText(command, L"\"%s\" \"%%1\"", program);
  FormatText(archiveIcon, L"%s,0", program);
  FormatText(volumeIcon, L"%s,1", program);
  if (!WriteProgId(changes, kArchiveProgId, GetText(IDS_KORVEXARC), command, archiveIcon)) return false;
  WriteProgId(changes, kZipProgId, GetText(IDS_KORVEXZIPARC), command, archiveIcon);
  changes.WriteClass(L".rev", L"", kVolumeProgId);
  WriteProgId(changes, kVolumeProgId, GetText(IDS_KVXRECVOL), command, volumeIcon);
  return !changes.Refused();
}
