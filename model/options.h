// The user's integration choices, the fixed table of archive types, and how
// the choices are loaded, preset by the installer and saved.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "res/resource.h"
#include "settings/transaction.h"

// The rows of the archive types' table (res/archive_types.h), by name:
// kRowKVX, kRowZIP, ..., and their count.
#define KVX_ARCHIVE_ROW(name, extensions, id) kRow##name,
enum ArchiveRow : size_t { KVX_ARCHIVE_TYPES(KVX_ARCHIVE_ROW) kArchiveRows };
#undef KVX_ARCHIVE_ROW
const size_t kArchiveTypeCount = kArchiveRows;
const size_t kKvxRow = kRowKVX, kZipRow = kRowZIP, kJarRow = kRowJAR, kIsoRow = kRowISO;
// The record's room for the types' flags (the installer's preset takes as
// many digits): the types first, the rest spare.
const size_t kAssociateSlots = 20;
static_assert(kArchiveTypeCount <= kAssociateSlots, "a flag for every archive type");

// One byte per field, 0 or 1, in this order. An all-false record drives the
// removal forms of the writers.
struct IntegrationOptions {
  uint8_t Associate[kAssociateSlots];  // entries follow ArchiveTypes; those past its rows are spare
  uint8_t Desktop;
  uint8_t StartMenu;
  uint8_t Programs;
  uint8_t ShellExt;
  uint8_t CascadedMenu;
  uint8_t MenuIcons;
  uint8_t LegacyMenu;
};
static_assert(sizeof(IntegrationOptions) == kAssociateSlots + 7, "one byte per field");

struct ArchiveType {
  const wchar_t* extensions;  // each begins with a dot: ".bz2.tbz2.bz.tbz"; the first is the primary
  int checkBox;               // its box in the setup dialog
};

extern const ArchiveType ArchiveTypes[kArchiveTypeCount];

// The extensions of a row one at a time: returns the position after the
// extension copied into `extension` (50 characters), or null at the end.
const wchar_t* NextExtension(const wchar_t* row, wchar_t (&extension)[50]);
// The primary extension of a row.
void PrimaryExtension(size_t row, wchar_t (&extension)[50]);

void LoadIntegrationOptions(IntegrationOptions& options);
void SaveIntegrationOptions(SetupTransaction& changes, const IntegrationOptions& options);
void ApplyInstallerOverrides(const wchar_t* text, IntegrationOptions& options);

// "Korvex" or "Korvex.ZIP", in any case: the classes of the archiver's own
// associations; and whether the extension's class (the machine's) is one
// of them.
bool IsOwnProgId(const wchar_t* text);
bool IsOwnAssociation(const wchar_t* extension);
