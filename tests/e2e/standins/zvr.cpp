// Stand-in for the main application, run as zvr.exe. Built twice, as
// version 1 and version 2, so that a timeline shows which one an update
// left behind.
//
//   zvr.exe [anything]
//       The application as the updater restarts it: holds the mutex
//       "Zelvaro" for %ZVR_RUN_MS% ms (default 200), logs its start with its
//       command line, and exits.
//   zvr.exe --update UPDATER INSTALLER [--hold-ms N] [--hold-as KIND]
//           [--wait-ms N] [--start-via ROAD]
//       The application at the end of its life: holds the name "Zelvaro"
//       (KIND: mutex, the default; event, an object of another kind; none),
//       starts UPDATER with INSTALLER through the caller header (ROAD:
//       direct, the default, by StartUpdater; helper, by
//       StartUpdaterElevated, as Windows makes it for an application that
//       is not elevated), goes on holding for N ms (default 0), releases
//       and, with --wait-ms, waits at most that long for what it started
//       (the updater, or the helper) and logs its exit code.
//   zvr.exe --start-updater-helper "UPDATER" "INSTALLER"
//       The helper, as StartUpdaterElevated starts it: logs its exit code.
//   zvr.exe --spawn EXE
//       Starts EXE itself with the updater's own LaunchSilent, waits for it
//       and exits: what the same process start costs without the updater
//       around it, for the benchmark to compare with.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "launch_silent.h"
#include "timeline.h"
#include "updater_caller.h"

#define STRINGIFY2(x) #x
#define STRINGIFY(x) STRINGIFY2(x)
static const char kProcess[] = "zvr-v" STRINGIFY(ZVR_VERSION);

int Spawn(const char* exe) {
  LogEvent(kProcess, "spawn", exe);
  HANDLE process = LaunchSilent(exe);
  if (process == NULL)
    return 1;
  WaitForSingleObject(process, 30000);
  return 0;
}

int main(int argc, char** argv) {
  // First thing, as the caller header asks: the helper never holds the
  // name.
  int helper_exit_code;
  if (updater_caller::RunAsHelperIfAsked(&helper_exit_code)) {
    char detail[16];
    snprintf(detail, sizeof(detail), "%d", helper_exit_code);
    LogEvent(kProcess, "helper", detail);
    return helper_exit_code;
  }
  if (argc == 3 && strcmp(argv[1], "--spawn") == 0)
    return Spawn(argv[2]);
  if (argc < 4 || strcmp(argv[1], "--update") != 0) {
    HANDLE running = updater_caller::HoldRunningMutex();
    LogEvent(kProcess, "start", GetCommandLineA());
    Sleep(static_cast<DWORD>(EnvNumber("ZVR_RUN_MS", 200)));
    LogEvent(kProcess, "exit", "");
    CloseHandle(running);
    return 0;
  }

  const char* updater = argv[2];
  const char* installer = argv[3];
  long hold_ms = 0;
  long wait_ms = -1;
  const char* hold_as = "mutex";
  bool through_helper = false;
  for (int i = 4; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--hold-ms") == 0)
      hold_ms = strtol(argv[i + 1], NULL, 10);
    else if (strcmp(argv[i], "--wait-ms") == 0)
      wait_ms = strtol(argv[i + 1], NULL, 10);
    else if (strcmp(argv[i], "--hold-as") == 0)
      hold_as = argv[i + 1];
    else if (strcmp(argv[i], "--start-via") == 0)
      through_helper = strcmp(argv[i + 1], "helper") == 0;
  }
  const char* started_what = through_helper ? "helper" : "updater";

  HANDLE held = NULL;
  if (strcmp(hold_as, "mutex") == 0)
    held = updater_caller::HoldRunningMutex();
  else if (strcmp(hold_as, "event") == 0)
    held = CreateEventA(NULL, TRUE, FALSE, updater_caller::kRunningMutexName);
  LogEvent(kProcess, "hold", hold_as);

  HANDLE started =
      through_helper
          ? updater_caller::StartUpdaterElevated(updater, installer)
          : updater_caller::StartUpdater(updater, installer);
  char event[32];
  if (started != NULL) {
    char detail[40000];
    snprintf(detail, sizeof(detail), "pid=%lu %s", GetProcessId(started),
             installer);
    snprintf(event, sizeof(event), "%s-started", started_what);
    LogEvent(kProcess, event, detail);
  } else {
    snprintf(event, sizeof(event), "%s-not-started", started_what);
    LogEvent(kProcess, event, installer);
  }
  Sleep(static_cast<DWORD>(hold_ms));
  // Whether the updater still runs while the name is held tells a guarded
  // start (gone at once) from one that waits.
  const bool updater_running =
      started != NULL && WaitForSingleObject(started, 0) == WAIT_TIMEOUT;
  if (held != NULL)
    CloseHandle(held);
  LogEvent(kProcess, "release",
           updater_running ? "updater-running" : "updater-gone");

  if (started != NULL && wait_ms >= 0) {
    char detail[32] = "timeout";
    if (WaitForSingleObject(started, static_cast<DWORD>(wait_ms)) ==
        WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(started, &code);
      snprintf(detail, sizeof(detail), "%lu", code);
    }
    snprintf(event, sizeof(event), "%s-exit", started_what);
    LogEvent(kProcess, event, detail);
  }
  return 0;
}
