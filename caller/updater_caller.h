// For the application that ships updater.exe: how to start it so that it
// acts, and how to hold the mutex that tells it the application still runs.
// Plain Win32 ANSI, header only; include it in one source file.
//
//   int WINAPI WinMain(...) {
//     HANDLE running = updater_caller::HoldRunningMutex();
//     ...                                  // the application's life
//     HANDLE updater = updater_caller::StartUpdater(
//         "C:\\Program Files\\Zelvaro\\updater.exe", downloaded_installer);
//     if (updater != NULL) CloseHandle(updater);
//     CloseHandle(running);                // or simply exit: the system
//     return 0;                            // releases it with the process
//   }
#ifndef UPDATER_CALLER_UPDATER_CALLER_H_
#define UPDATER_CALLER_UPDATER_CALLER_H_

#include <windows.h>

#include <stdlib.h>
#include <string.h>

namespace updater_caller {

// The name the updater probes; keep it in sync with updater.exe.
const char kRunningMutexName[] = "Zelvaro";

// Creates (or opens) the mutex "Zelvaro" with initial ownership. Call it
// first thing and keep the handle for the application's whole life: while
// the name exists, the updater waits. Returns null if the mutex could not
// be had; the updater then cannot tell that the application runs.
inline HANDLE HoldRunningMutex() {
  return CreateMutexA(/*lpMutexAttributes=*/NULL, /*bInitialOwner=*/TRUE,
                      kRunningMutexName);
}

// Starts `updater_path` with `installer_path` as its whole command line:
// the updater's path goes in as the application name, and the installer's
// bare path (no quotes: the updater adds them; no program name: a command
// line that begins with "updater.exe" makes the updater do nothing) goes in
// as a writable copy, since CreateProcessA may write into it.
//
// Returns the updater's process handle for the caller to close (or wait
// on), or null if it could not be started. The thread handle is closed.
inline HANDLE StartUpdater(const char* updater_path,
                           const char* installer_path) {
  const size_t size = strlen(installer_path) + 1;
  char* command_line = static_cast<char*>(malloc(size));
  if (command_line == NULL)
    return NULL;
  memcpy(command_line, installer_path, size);

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  const BOOL started = CreateProcessA(
      updater_path, command_line, /*lpProcessAttributes=*/NULL,
      /*lpThreadAttributes=*/NULL, /*bInheritHandles=*/FALSE,
      /*dwCreationFlags=*/0, /*lpEnvironment=*/NULL,
      /*lpCurrentDirectory=*/NULL, &startup, &process);
  free(command_line);
  if (!started)
    return NULL;
  CloseHandle(process.hThread);
  return process.hProcess;
}

}  // namespace updater_caller

#endif  // UPDATER_CALLER_UPDATER_CALLER_H_
