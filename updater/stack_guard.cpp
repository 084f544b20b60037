// The canary behind -fstack-protector-strong, without libssp.
//
// GCC's stack protector compares a copy of __stack_chk_guard kept in each
// protected frame with the original on the way out, and calls
// __stack_chk_fail on a mismatch. libssp seeds the guard through
// CryptGenRandom, which would add ADVAPI32.dll to the imports; this seeds it
// from kernel32 alone, from the same sources the Microsoft runtime mixes
// into its security cookie, before the entry routine runs.
#include <windows.h>

#include <stdint.h>

namespace {

// What a failed canary check ends the process with, as Windows reports a
// stack buffer overrun.
const UINT kStackBufferOverrun = 0xC0000409;

}  // namespace

extern "C" {

// Replaced at start-up; the constant only serves until then.
uintptr_t __stack_chk_guard = 0x2B992DDF;

// The stack cannot be trusted any more: no unwinding, no handlers, no box.
__attribute__((noreturn)) void __stack_chk_fail(void) {
  TerminateProcess(GetCurrentProcess(), kStackBufferOverrun);
  __builtin_trap();
}

}  // extern "C"

namespace {

// Must not protect its own frame: the guard changes under it.
__attribute__((constructor, no_stack_protector)) void SeedStackGuard() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uintptr_t seed = now.dwLowDateTime ^ now.dwHighDateTime ^ counter.LowPart ^
                   static_cast<uintptr_t>(counter.HighPart) ^
                   GetCurrentProcessId() ^ (GetCurrentThreadId() << 16) ^
                   GetTickCount();
  // The stack's address differs from run to run under ASLR.
  seed ^= reinterpret_cast<uintptr_t>(&seed);
  __stack_chk_guard = seed;
}

}  // namespace
