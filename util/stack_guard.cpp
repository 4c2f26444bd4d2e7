// The stack canaries' value and what a broken canary or an overrunning
// fortified copy does: the compiler's hardening calls these by name. They
// stand in for the static runtime's, which opens a cryptographic provider at
// every start (three libraries loaded and dropped again, a fifth of the
// start-up under Wine) and writes to a console the program does not have.
#include <windows.h>

#include <stdint.h>

extern "C" {

// RtlGenRandom (ntsecapi.h declares it only for user-mode C).
BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

// Kept whole by the link-time optimiser: the compiler's code refers to
// these only after it has run.
#define KVX_RUNTIME_SYMBOL __attribute__((used, externally_visible))

KVX_RUNTIME_SYMBOL void* __stack_chk_guard;

// Set before any other initialisation of the program runs (the earliest
// priority a program may take), and unguarded itself: a guarded function
// on the stack while the value changes would take it for an overrun.
#if !__has_attribute(no_stack_protector)
#error "the guard's own set-up must go without a canary: a compiler with no_stack_protector is needed"
#endif
__attribute__((constructor(101), no_stack_protector, noinline)) static void SetStackGuard() {
  uintptr_t value = 0;
  if (!SystemFunction036(&value, sizeof value) || value == 0) {
    // No random source: what differs between processes and starts.
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    value = (uintptr_t)counter.QuadPart ^ ((uintptr_t)GetCurrentProcessId() << 32) ^ GetCurrentThreadId() ^
            (uintptr_t)&value ^ GetTickCount();
    value |= 1;
  }
  __stack_chk_guard = (void*)value;
}

// The process ends at once with the system's code for an overrun, which a
// deployment tool reports as a failure; nothing that may have been
// overwritten runs any more (no handler, no message, no clean-up).
[[noreturn]] static void EndOnOverrun() {
  const UINT kStackBufferOverrun = 0xC0000409;  // STATUS_STACK_BUFFER_OVERRUN
  TerminateProcess(GetCurrentProcess(), kStackBufferOverrun);
  __builtin_trap();
}

[[noreturn]] KVX_RUNTIME_SYMBOL void __stack_chk_fail() { EndOnOverrun(); }
[[noreturn]] KVX_RUNTIME_SYMBOL void __chk_fail() { EndOnOverrun(); }

}  // extern "C"
