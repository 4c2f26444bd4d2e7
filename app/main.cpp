// The entry of uninstall.exe, and two pieces of the C runtime's start-up
// that this program needs in no form: they stand in for the runtime's own,
// which would otherwise be linked for nothing.
#include <windows.h>

#include "app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) { return RunProgram(instance); }

extern "C" {

// The program is linked without run-time pseudo-relocations (the linker
// refuses any), so the list the runtime's relocator would walk is empty.
__attribute__((used)) void _pei386_runtime_relocator() {}

// Math errors keep the default handling: the runtime's handler only writes
// to a console the program does not have, and the program installs none.
struct _exception;
__attribute__((used)) int __cdecl _matherr(struct _exception*) { return 0; }
__attribute__((used)) void __mingw_setusermatherr(int(__cdecl*)(struct _exception*)) {}

// The runtime routes exceptions nobody handles to the C signal handlers; the
// program sets none, so they go on to the system's own handling at once.
__attribute__((used)) int __mingw_init_ehandler() { return 0; }
__attribute__((used)) LONG CALLBACK _gnu_exception_handler(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
__attribute__((used)) LPTOP_LEVEL_EXCEPTION_FILTER __mingw_oldexcpt_handler;

// The runtime's support of thread-local variables (their initialisers and
// destructors, run from a directory of thread-local storage): the program
// has none, so it carries no such directory. A thread-local variable would
// need the support's _tls_index, and the link would fail without it.
__attribute__((used)) int __mingw_initltssuo_force, __mingw_initltsdyn_force, __mingw_initltsdrot_force;
__attribute__((used)) extern const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;

}
