// For the application that ships updater.exe: how to start it so that it
// acts, and how to hold the mutex that tells it the application still runs.
// Plain Win32 ANSI, header only; include it in one source file and link
// shell32 (for ShellExecuteExA).
//
//   int WINAPI WinMain(...) {
//     int helper_exit_code;
//     if (updater_caller::RunAsHelperIfAsked(&helper_exit_code))
//       return helper_exit_code;           // first thing: see below
//     HANDLE running = updater_caller::HoldRunningMutex();
//     ...                                  // the application's life
//     HANDLE updater = updater_caller::StartUpdater(
//         "C:\\Program Files\\Zelvaro\\updater.exe", downloaded_installer);
//     if (updater != NULL) CloseHandle(updater);
//     CloseHandle(running);                // or simply exit: the system
//     return 0;                            // releases it with the process
//   }
//
// Why a helper. Windows takes updater.exe (a 32-bit program without a
// manifest whose name says "update") for a setup program that needs
// administrator rights, and CreateProcessA never asks for them: from an
// application that is not elevated it fails with ERROR_ELEVATION_REQUIRED.
// ShellExecuteExA can ask, but it puts the program's quoted path in front
// of the command line, which the updater would take for part of the
// installer's path. So the application asks for its own exe instead, with
// a helper switch and the two paths; that elevated copy of the application
// starts the updater by the contract (elevated, so without a prompt) and
// exits at once, without ever holding the mutex.
#ifndef UPDATER_CALLER_UPDATER_CALLER_H_
#define UPDATER_CALLER_UPDATER_CALLER_H_

#include <windows.h>
#include <shellapi.h>

#include <stdlib.h>
#include <string.h>

namespace updater_caller {

// The name the updater probes; keep it in sync with updater.exe.
const char kRunningMutexName[] = "Zelvaro";

// Follows the application's own path on the helper's command line:
//   "<application>" --start-updater-helper "<updater>" "<installer>"
// Each path is taken as it stands between its two double quotes, with no
// escapes: Windows paths cannot hold a double quote.
const char kHelperSwitch[] = "--start-updater-helper";
// ERROR_ELEVATION_REQUIRED, which some Windows headers (MinGW-w64's among
// them) do not name.
const DWORD kErrorElevationRequired = 740;
// The longest path the helper carries (MAX_PATH with its NUL): the longest
// the platform starts a program from.
const size_t kMaxHelperPath = MAX_PATH - 1;

// Creates (or opens) the mutex "Zelvaro" with initial ownership. Call it
// first thing (after RunAsHelperIfAsked) and keep the handle for the
// application's whole life: while the name exists, the updater waits.
// Returns null if the mutex could not be had; the updater then cannot tell
// that the application runs.
inline HANDLE HoldRunningMutex() {
  return CreateMutexA(/*lpMutexAttributes=*/NULL, /*bInitialOwner=*/TRUE,
                      kRunningMutexName);
}

namespace internal {

// Starts `updater_path` with `installer_path` as its whole command line:
// the updater's path goes in as the application name, and the installer's
// bare path (no quotes: the updater adds them; no program name: a command
// line that begins with "updater.exe" makes the updater do nothing) goes in
// as a writable copy, since CreateProcessA may write into it.
//
// Returns the updater's process handle, its thread handle closed; or null
// with the cause in GetLastError().
inline HANDLE StartUpdaterDirectly(const char* updater_path,
                                   const char* installer_path) {
  const size_t size = strlen(installer_path) + 1;
  char* command_line = static_cast<char*>(malloc(size));
  if (command_line == NULL) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
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
  const DWORD error = GetLastError();
  free(command_line);
  if (!started) {
    SetLastError(error);  // the cause, whatever free() did to it
    return NULL;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// 0 if `path` can travel on the helper's command line, else why not.
inline DWORD CheckHelperPath(const char* path) {
  if (path[0] == '\0' || strchr(path, '"') != NULL)
    return ERROR_INVALID_NAME;
  if (strlen(path) > kMaxHelperPath)
    return ERROR_FILENAME_EXCED_RANGE;
  return 0;
}

inline const char* SkipBlanks(const char* p) {
  while (*p == ' ' || *p == '\t')
    ++p;
  return p;
}

// Copies the quoted path at `p` (after at least one blank) into `path`
// (kMaxHelperPath + 1 bytes). Returns what follows its closing quote, or
// null if there is no such path.
inline const char* TakeQuotedPath(const char* p, char* path) {
  if (*p != ' ' && *p != '\t')
    return NULL;
  p = SkipBlanks(p);
  if (*p != '"')
    return NULL;
  const char* end = strchr(p + 1, '"');
  if (end == NULL || end == p + 1 ||
      static_cast<size_t>(end - (p + 1)) > kMaxHelperPath)
    return NULL;
  memcpy(path, p + 1, end - (p + 1));
  path[end - (p + 1)] = '\0';
  return end + 1;
}

enum HelperCommandLine { kNotHelper, kMalformedHelper, kHelper };

// Reads a command line as the helper's:
//   <program> --start-updater-helper "<updater>" "<installer>"
// with blanks between the parts. kNotHelper unless the switch follows the
// program; then kHelper with both paths copied (each buffer
// kMaxHelperPath + 1 bytes), or kMalformedHelper.
inline HelperCommandLine ParseHelperCommandLine(const char* command_line,
                                                char* updater_path,
                                                char* installer_path) {
  const char* p = command_line;
  if (*p == '"') {
    p = strchr(p + 1, '"');
    if (p == NULL)
      return kNotHelper;
    ++p;
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t')
      ++p;
  }
  p = SkipBlanks(p);
  const size_t switch_length = sizeof(kHelperSwitch) - 1;
  if (strncmp(p, kHelperSwitch, switch_length) != 0)
    return kNotHelper;
  p += switch_length;
  if (*p != '\0' && *p != ' ' && *p != '\t')
    return kNotHelper;
  p = TakeQuotedPath(p, updater_path);
  if (p != NULL)
    p = TakeQuotedPath(p, installer_path);
  if (p == NULL || *SkipBlanks(p) != '\0')
    return kMalformedHelper;
  return kHelper;
}

}  // namespace internal

// Asks the user, through the usual elevation prompt, to let the
// application's own exe run as administrator with the helper switch and
// the two paths; that copy starts the updater (RunAsHelperIfAsked). The
// prompt names the application's own exe, and its publisher if it is
// signed.
//
// Returns the helper's process handle for the caller to close (or wait on:
// its exit code is 0 once the updater has started, else the Windows error
// of the failed start), or null with the cause in GetLastError():
// ERROR_CANCELLED when the user declines, ERROR_INVALID_NAME or
// ERROR_FILENAME_EXCED_RANGE for a path that cannot travel (empty, with a
// double quote, or over MAX_PATH - 1 characters; nothing is asked then).
inline HANDLE StartUpdaterElevated(const char* updater_path,
                                   const char* installer_path) {
  DWORD error = internal::CheckHelperPath(updater_path);
  if (error == 0)
    error = internal::CheckHelperPath(installer_path);
  if (error != 0) {
    SetLastError(error);
    return NULL;
  }
  char application[MAX_PATH];
  const DWORD length =
      GetModuleFileNameA(/*hModule=*/NULL, application, sizeof(application));
  if (length == 0)
    return NULL;
  if (length >= sizeof(application)) {  // cut short
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return NULL;
  }

  // The switch, then each path in double quotes after a space.
  char parameters[sizeof(kHelperSwitch) + 2 * (kMaxHelperPath + 3)];
  char* p = parameters;
  memcpy(p, kHelperSwitch, sizeof(kHelperSwitch) - 1);
  p += sizeof(kHelperSwitch) - 1;
  const char* const paths[] = {updater_path, installer_path};
  for (const char* path : paths) {
    const size_t path_length = strlen(path);
    *p++ = ' ';
    *p++ = '"';
    memcpy(p, path, path_length);
    p += path_length;
    *p++ = '"';
  }
  *p = '\0';

  SHELLEXECUTEINFOA info;
  memset(&info, 0, sizeof(info));
  info.cbSize = sizeof(info);
  // The helper's handle back; errors as a result, not a box; done before
  // the call returns, since the application exits soon after.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = "runas";
  info.lpFile = application;
  info.lpParameters = parameters;
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExA(&info))
    return NULL;
  if (info.hProcess == NULL) {  // started, but no process to hand back
    SetLastError(ERROR_INVALID_HANDLE);
    return NULL;
  }
  return info.hProcess;
}

// Starts `updater_path` with `installer_path` as its whole command line,
// directly where Windows lets it, and through the elevated helper
// (StartUpdaterElevated, one prompt) where it answers
// ERROR_ELEVATION_REQUIRED.
//
// Returns a handle for the caller to close (or wait on): the updater's, or
// on the helper's road the helper's. Or null with the cause in
// GetLastError(): ERROR_CANCELLED when the user declined the prompt, and
// any other failure of the direct start as it was.
inline HANDLE StartUpdater(const char* updater_path,
                           const char* installer_path) {
  HANDLE started =
      internal::StartUpdaterDirectly(updater_path, installer_path);
  if (started == NULL && GetLastError() == kErrorElevationRequired)
    return StartUpdaterElevated(updater_path, installer_path);
  return started;
}

// Call first thing in WinMain. In a process started as the helper (the
// switch follows the program on its command line), starts the updater by
// the contract, sets `*exit_code` (0 once the updater has started, the
// Windows error of a failed start, ERROR_BAD_ARGUMENTS for a malformed
// helper command line, which starts nothing) and returns true: the
// application then returns `*exit_code` at once, and never holds the mutex.
// In any other process, returns false and changes nothing.
inline bool RunAsHelperIfAsked(int* exit_code) {
  char updater_path[kMaxHelperPath + 1];
  char installer_path[kMaxHelperPath + 1];
  switch (internal::ParseHelperCommandLine(GetCommandLineA(), updater_path,
                                           installer_path)) {
    case internal::kNotHelper:
      return false;
    case internal::kMalformedHelper:
      *exit_code = ERROR_BAD_ARGUMENTS;
      return true;
    case internal::kHelper:
      break;
  }
  HANDLE updater =
      internal::StartUpdaterDirectly(updater_path, installer_path);
  if (updater == NULL) {
    const DWORD error = GetLastError();
    *exit_code = static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE);
    return true;
  }
  CloseHandle(updater);
  *exit_code = 0;
  return true;
}

}  // namespace updater_caller

#endif  // UPDATER_CALLER_UPDATER_CALLER_H_
