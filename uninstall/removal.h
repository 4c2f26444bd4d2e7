// The removal of the whole integration at uninstall.
#pragma once

// Takes back the associations, the shell extension, the shortcuts, the
// ProgIDs and the per-user settings; without `msi` (a package installer
// owns them otherwise) also the uninstall entry and App Paths.
void RemoveIntegration(bool msi);
