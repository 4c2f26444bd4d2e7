#include "uninstall/driver.h"

#include "util/text.h"

void UninstallDriver() {}
void GetTempFolder(wchar_t* buffer, size_t size) { CopyText(buffer, L"", size); }
