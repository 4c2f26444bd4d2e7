#include "uninstall/removal.h"

void RemoveIntegration() {}
