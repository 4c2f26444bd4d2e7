// File associations: claiming archive types with their previous owners
// saved, giving them back, and the archiver's ProgIDs.
#pragma once
#include "setup/options.h"

// Claims every type whose Associate flag is set and releases every other
// one the archiver holds, extension by extension.
void SetAssociations(const IntegrationOptions& options);
void SetExtensionAssociation(const wchar_t* extension, bool associate, bool shellExtension, bool kvxRow, bool zipRow);
// The extension's class is "Korvex" or "Korvex.ZIP", in any case.
bool IsOwnAssociation(const wchar_t* extension);
// The ProgIDs "Korvex", "Korvex.ZIP", "Korvex.REV" and the extension ".rev".
// False when the first write was refused (access denied).
bool RegisterProgIds();
