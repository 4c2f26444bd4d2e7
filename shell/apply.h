// The apply sequence of setup: App Paths, shell extension, associations and
// templates, ProgIDs, shortcuts.
#pragma once
#include <stddef.h>

#include "model/options.h"

// False when the first App Paths write or the first ProgID write was
// refused (access denied); everything else runs to its end.
bool ApplyIntegration(const IntegrationOptions& options, wchar_t* groupPath, size_t groupCapacity);
// The App Paths entry of "Korvex.exe" in both registry views and "exe64" in
// the archiver's machine key. False when the first write was refused.
bool RegisterAppPath();

extern const wchar_t kAppPathsKey[];  // "\Software\...\App Paths\Korvex.exe"
