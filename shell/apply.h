// The apply sequence of setup: App Paths, shell extension, associations and
// templates, ProgIDs, shortcuts.
#pragma once
#include <stddef.h>

#include "model/options.h"
#include "settings/transaction.h"

// Every step's changes go through the setup run's transaction. False when a
// step was refused (the first App Paths or ProgID write, or any later write
// of the run): the sequence stops there, and the caller puts everything back.
bool ApplyIntegration(SetupTransaction& changes, const IntegrationOptions& options, wchar_t* groupPath,
                      size_t groupCapacity);
// The App Paths entry of "Korvex.exe" in both registry views and "exe64" in
// the archiver's machine key. False when the first write was refused.
bool RegisterAppPath(SetupTransaction& changes);

extern const wchar_t kAppPathsKey[];  // "\Software\...\App Paths\Korvex.exe"
