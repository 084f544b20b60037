// Stand-in for an update installer. Logs its start with its command line,
// then does what the case asks through the environment the updater passes
// on: sleeps %INSTALLER_SLEEP_MS% ms, and exits with %INSTALLER_EXIT_CODE%
// or, with %INSTALLER_CRASH%=1, crashes on an access violation.
#include <windows.h>

#include <stdio.h>

#include "timeline.h"

int main() {
  LogEvent("installer", "start", GetCommandLineA());
  Sleep(static_cast<DWORD>(EnvNumber("INSTALLER_SLEEP_MS", 0)));
  if (EnvNumber("INSTALLER_CRASH", 0) == 1) {
    LogEvent("installer", "crash", "");
    // No crash dialog: the crash itself is the case, not the debugger.
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    *static_cast<volatile int*>(NULL) = 1;
  }
  const long code = EnvNumber("INSTALLER_EXIT_CODE", 0);
  char detail[16];
  snprintf(detail, sizeof(detail), "%ld", code);
  LogEvent("installer", "end", detail);
  return static_cast<int>(code);
}
