// The floor for the start-up benchmark: a Windows GUI program built with the
// product's flags that starts and ends at once.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 0; }
