// The removal of the whole integration at uninstall.
#pragma once

void RemoveIntegration();
