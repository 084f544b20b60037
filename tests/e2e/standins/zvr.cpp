// Stand-in for the main application, run as zvr.exe. Built twice, as
// version 1 and version 2, so that a timeline shows which one an update
// left behind (and both again for 64-bit Windows).
//
//   zvr.exe [anything]
//       The application as the updater restarts it: holds the mutex
//       "Zelvaro" for %ZVR_RUN_MS% ms (default 200), logs its start with its
//       command line and the kit's variables it still sees, and exits.
//   zvr.exe --update UPDATER INSTALLER [--hold-ms N] [--hold-as KIND]
//           [--hold-until FILE] [--wait-ms N] [--start-via ROAD]
//           [--sha256 DIGEST]
//       The application at the end of its life: holds the name "Zelvaro"
//       (KIND: mutex, the default; event, an object of another kind; none),
//       starts UPDATER with INSTALLER (ROAD: contract, the default, by
//       CreateProcessA exactly as the updater's contract says, without the
//       kit, for the cases that pin the updater itself; direct, by the
//       kit's StartUpdater; helper, by StartUpdaterElevated, as Windows
//       makes it for an application that is not elevated;
//       helper-handing-back, the same as an application that is not
//       elevated runs it: see StartAsUnelevated; direct-wide and
//       helper-wide, the same as direct and helper through the kit's
//       UTF-16 calls, with UPDATER and INSTALLER as the UTF-16 command
//       line holds them, INSTALLER logged in UTF-8), with DIGEST, the
//       installer's SHA-256 as the application's update manifest gives it,
//       for the kit's roads (default: none), goes on
//       holding for N ms (default 0) and, with --hold-until, until FILE
//       exists (at most a minute), releases and, with --wait-ms, waits at
//       most that long for what it started (the updater, or the helper)
//       and logs its exit code. Logs the ANSI code page it runs in
//       ("code-page"), in which the updater reads its command line.
//   zvr.exe --start-updater-helper ... | --updater-hand-back-watcher ID
//       The kit's helper or watcher: logs its exit code as "helper" or
//       "watcher". An application restarted elevated for a user who was
//       not logs "handed-back" and its exit code the same way.
//   zvr.exe --command-line EXE LINE
//       Starts EXE with LINE as its whole command line, as any program of
//       the user can (a line of the kit's that no prompt asked for), waits
//       for it and logs its exit code as "launched".
//   zvr.exe --spawn EXE
//       Starts EXE itself with the updater's own LaunchSilent, waits for it
//       and exits: what the same process start costs without the updater
//       around it, for the benchmark to compare with.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <updater_caller/updater_caller.h>

#include "launch_silent.h"
#include "timeline.h"

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

// The kit's variables as this process sees them, "NAME=value" or
// "NAME unset", separated by "|".
void LogKitVariables(const char* event) {
  static const char* const kNames[] = {"__COMPAT_LAYER",
                                       "ZELVARO_UPDATE_COMPAT_LAYER",
                                       "ZELVARO_UPDATE_HAND_BACK"};
  char detail[1024] = "";
  for (const char* name : kNames) {
    char value[256];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
    char part[300];
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
      snprintf(part, sizeof(part), "%s%s unset", detail[0] ? "|" : "", name);
    else
      snprintf(part, sizeof(part), "%s%s=%s", detail[0] ? "|" : "", name,
               length < sizeof(value) ? value : "(long)");
    strncat(detail, part, sizeof(detail) - strlen(detail) - 1);
  }
  LogEvent(kProcess, event, detail);
}

// What StartUpdaterElevated does in an application that is not elevated:
// leave the watcher behind, then ask for the helper with its id. Wine
// reports every process elevated, so the kit itself never takes this
// branch there; the stand-in asks for it by name.
HANDLE StartAsUnelevated(const char* updater, const char* installer,
                         const char* sha256) {
  unsigned char bytes[updater_caller::internal::kDigestSize];
  const unsigned char* given = NULL;
  if (!updater_caller::internal::ReadGivenDigest(sha256, bytes, &given))
    return NULL;
  return updater_caller::internal::AskForHelper(updater, installer, given,
                                                /*hand_back=*/true);
}

// `text` in UTF-8 into `utf8` (`size` bytes), so that the timeline shows
// every letter, whatever the ANSI code page holds.
void Utf8(const wchar_t* text, char* utf8, int size) {
  if (WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text, /*cchWideChar=*/-1,
                          utf8, size, /*lpDefaultChar=*/NULL,
                          /*lpUsedDefaultChar=*/NULL) <= 0)
    snprintf(utf8, static_cast<size_t>(size), "(no UTF-8 form)");
}

// Starts the updater through the kit's UTF-16 calls (`road` "direct-wide"
// or "helper-wide"), with the updater's and the installer's paths as the
// command line holds them in UTF-16: main's argv went through the ANSI
// code page, which has a "?" for each letter outside it. Logs the
// installer's path in UTF-8 into `installer_utf8` (`size` bytes).
HANDLE StartWide(const char* road, const char* sha256, char* installer_utf8,
                 int size) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == NULL || count < 4) {
    snprintf(installer_utf8, static_cast<size_t>(size), "(no UTF-16 line)");
    if (wide != NULL)
      LocalFree(wide);
    SetLastError(ERROR_BAD_ARGUMENTS);
    return NULL;
  }
  Utf8(wide[3], installer_utf8, size);
  HANDLE started =
      strcmp(road, "helper-wide") == 0
          ? updater_caller::StartUpdaterElevated(wide[2], wide[3], sha256)
          : updater_caller::StartUpdater(wide[2], wide[3], sha256);
  const DWORD error = GetLastError();
  LocalFree(wide);
  SetLastError(error);
  return started;
}

// Starts `exe` with `line` as its whole command line, as any program can:
// the process's handle, its thread's closed; or null.
HANDLE StartExe(const char* exe, const char* line) {
  static char writable[40000];
  snprintf(writable, sizeof(writable), "%s", line);
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(exe, writable, /*lpProcessAttributes=*/NULL,
                      /*lpThreadAttributes=*/NULL, /*bInheritHandles=*/FALSE,
                      /*dwCreationFlags=*/0, /*lpEnvironment=*/NULL,
                      /*lpCurrentDirectory=*/NULL, &startup, &process))
    return NULL;
  CloseHandle(process.hThread);
  return process.hProcess;
}

int StartWithCommandLine(const char* exe, const char* line) {
  char detail[32] = "not-started";
  HANDLE process = StartExe(exe, line);
  if (process != NULL) {
    snprintf(detail, sizeof(detail), "timeout");
    if (WaitForSingleObject(process, 30000) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(process, &code);
      snprintf(detail, sizeof(detail), "%lu", code);
    }
    CloseHandle(process);
  }
  LogEvent(kProcess, "launched", detail);
  return 0;
}

// Waits until `path` exists, at most `limit_ms`.
void WaitForFile(const char* path, DWORD limit_ms) {
  for (DWORD waited = 0; waited < limit_ms; waited += 50) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
      return;
    Sleep(50);
  }
}

int main(int argc, char** argv) {
  // Tools, not the application: a launcher passes its environment on to
  // what it starts as it got it, and runs none of the kit.
  if (argc == 3 && strcmp(argv[1], "--spawn") == 0)
    return Spawn(argv[2]);
  if (argc == 4 && strcmp(argv[1], "--command-line") == 0)
    return StartWithCommandLine(argv[2], argv[3]);
  // First thing, as the caller kit asks: its helper and watcher, and an
  // application handing itself back, never hold the name.
  int kit_exit_code;
  if (updater_caller::RunAsHelperIfAsked(&kit_exit_code)) {
    const char* role = "handed-back";
    if (argc > 1 && strcmp(argv[1], "--start-updater-helper") == 0)
      role = "helper";
    else if (argc > 1 && strcmp(argv[1], "--updater-hand-back-watcher") == 0)
      role = "watcher";
    char detail[16];
    snprintf(detail, sizeof(detail), "%d", kit_exit_code);
    LogEvent(kProcess, role, detail);
    return kit_exit_code;
  }
  if (argc < 4 || strcmp(argv[1], "--update") != 0) {
    HANDLE running = updater_caller::HoldRunningMutex();
    LogEvent(kProcess, "start", GetCommandLineA());
    LogEvent(kProcess, "bits", sizeof(void*) == 8 ? "64" : "32");
    LogKitVariables("start-variables");
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
  const char* hold_until = NULL;
  const char* road = "contract";
  const char* sha256 = NULL;
  for (int i = 4; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--hold-ms") == 0)
      hold_ms = strtol(argv[i + 1], NULL, 10);
    else if (strcmp(argv[i], "--wait-ms") == 0)
      wait_ms = strtol(argv[i + 1], NULL, 10);
    else if (strcmp(argv[i], "--hold-as") == 0)
      hold_as = argv[i + 1];
    else if (strcmp(argv[i], "--hold-until") == 0)
      hold_until = argv[i + 1];
    else if (strcmp(argv[i], "--start-via") == 0)
      road = argv[i + 1];
    else if (strcmp(argv[i], "--sha256") == 0)
      sha256 = argv[i + 1];
  }
  const bool through_helper = strncmp(road, "helper", 6) == 0;
  const char* started_what = through_helper ? "helper" : "updater";
  LogEvent(kProcess, "bits", sizeof(void*) == 8 ? "64" : "32");
  char code_page[16];
  snprintf(code_page, sizeof(code_page), "%u", GetACP());
  LogEvent(kProcess, "code-page", code_page);

  HANDLE held = NULL;
  if (strcmp(hold_as, "mutex") == 0)
    held = updater_caller::HoldRunningMutex();
  else if (strcmp(hold_as, "event") == 0)
    held = CreateEventA(NULL, TRUE, FALSE, updater_caller::kRunningMutexName);
  LogEvent(kProcess, "hold", hold_as);

  HANDLE started;
  static char installer_utf8[4 * MAX_PATH];
  const bool wide = strcmp(road, "direct-wide") == 0 ||
                    strcmp(road, "helper-wide") == 0;
  if (wide)
    started = StartWide(road, sha256, installer_utf8, sizeof(installer_utf8));
  else if (strcmp(road, "helper-handing-back") == 0)
    started = StartAsUnelevated(updater, installer, sha256);
  else if (through_helper)
    started = updater_caller::StartUpdaterElevated(updater, installer, sha256);
  else if (strcmp(road, "direct") == 0)
    started = updater_caller::StartUpdater(updater, installer, sha256);
  else
    started = StartExe(updater, installer);
  const DWORD start_error = GetLastError();
  if (wide)
    installer = installer_utf8;
  char event[32];
  static char detail[40000];
  if (started != NULL) {
    snprintf(detail, sizeof(detail), "pid=%lu %s", GetProcessId(started),
             installer);
    snprintf(event, sizeof(event), "%s-started", started_what);
  } else {
    snprintf(detail, sizeof(detail), "error=%lu %s", start_error, installer);
    snprintf(event, sizeof(event), "%s-not-started", started_what);
  }
  LogEvent(kProcess, event, detail);
  Sleep(static_cast<DWORD>(hold_ms));
  if (hold_until != NULL)
    WaitForFile(hold_until, 60000);
  // Whether the updater still runs while the name is held tells a guarded
  // start (gone at once) from one that waits.
  const bool updater_running =
      started != NULL && WaitForSingleObject(started, 0) == WAIT_TIMEOUT;
  if (held != NULL)
    CloseHandle(held);
  LogEvent(kProcess, "release",
           updater_running ? "updater-running" : "updater-gone");

  if (started != NULL && wait_ms >= 0) {
    snprintf(detail, sizeof(detail), "timeout");
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
