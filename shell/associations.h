// File associations: claiming archive types with their previous owners
// saved, giving them back, and the archiver's ProgIDs.
//
// The types live in the machine's classes (kMachineClasses), where they are
// read, claimed and given back: what another program or the user put in the
// user's own classes is neither saved as a previous owner nor written for
// every user. The changes go through the run's transaction; each writer
// returns false when one of them was refused.
#pragma once
#include "model/options.h"
#include "settings/transaction.h"

// Claims every type whose Associate flag is set and releases every other
// one the archiver holds, extension by extension.
bool SetAssociations(SetupTransaction& changes, const IntegrationOptions& options);

// What SetExtensionAssociation does with one extension: claim or release
// it, whether the shell extension is chosen (the new-archive templates
// follow it), and which row of the type table it is (the archiver's own
// format with its volumes, zip, or another type). Combined with "|"; the
// zero flags (kReleaseType, kOtherTypeRow) name the choice not made.
enum AssociationChoice : unsigned {
  kReleaseType = 0,
  kOtherTypeRow = 0,
  kClaimType = 1,
  kShellExtensionChosen = 2,
  kKvxTypeRow = 4,
  kZipTypeRow = 8,
};
inline AssociationChoice operator|(AssociationChoice a, AssociationChoice b) {
  return AssociationChoice((unsigned)a | (unsigned)b);
}
void SetExtensionAssociation(SetupTransaction& changes, const wchar_t* extension, AssociationChoice choice);
// The machine's record of an extension's previous state (a key path for the
// settings store, outside the product key: always the registry's), which
// only administrators can write and which alone is given back.
void MachineRecordKey(const wchar_t* extension, wchar_t (&key)[80]);
// The key that holds every such record is kMachineRecordsKey (util/product.h).
// The ProgIDs "Korvex", "Korvex.ZIP", "Korvex.REV" and the extension ".rev".
// False when the first write was refused (access denied).
bool RegisterProgIds(SetupTransaction& changes);
