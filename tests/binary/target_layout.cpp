// Facts about the 32-bit target that the host unit tests cannot see, since
// there the platform's records have a 64-bit layout. Compiled, never run:
// a wrong size fails the build.
#include <windows.h>

static_assert(sizeof(STARTUPINFOA) == 68,
              "the startup record's size field must say 68 on the target");
static_assert(sizeof(PROCESS_INFORMATION) == 16,
              "the process record is four 32-bit fields on the target");
static_assert(ERROR_ALREADY_EXISTS == 183 && MB_ICONERROR == 0x10 &&
                  INFINITE == 0xFFFFFFFF && MAX_PATH == 260,
              "the stand-in header's values match the target's");
