// The application comes back as the user who started the update.
//
// After an elevated update the updater restarts the application elevated,
// since a child gets its parent's token. An unelevated user's application
// must not go on with administrator rights it was never given (drag and
// drop from Explorer is blocked, mapped drives are gone, links open an
// elevated browser, the next update needs no prompt). No elevated process
// can make a token for the unelevated user, so one of that user's own
// processes is left behind to do it: the watcher.
//
//   1. Before the prompt, the unelevated application creates a named
//      event under a random id and starts its own exe, unelevated, as the
//      watcher (`--updater-hand-back-watcher <id>`), giving the watcher a
//      handle to the event so that the event outlives the application.
//      If the prompt fails, it ends the watcher.
//   2. The helper puts the id into the updater's environment
//      (ZELVARO_UPDATE_HAND_BACK); the installer and the restarted
//      application inherit it.
//   3. The restarted application's first kit call finds the id, removes it
//      from its environment and, when it runs elevated, sets the event and
//      exits at once, without ever holding the mutex.
//   4. The watcher wakes and starts the application's exe with "/silent",
//      as the user, with the exe's folder as its current folder.
//
// The id travels whether or not a watcher could be left behind. When the
// hand-back cannot be made (no event: the watcher timed out, or could not
// be started), the elevated copy exits all the same, with
// kHandBackFailed: the application then stays closed until the user
// starts it, rather than run with rights the user did not give it.
#ifndef UPDATER_CALLER_HAND_BACK_H_
#define UPDATER_CALLER_HAND_BACK_H_

#include <windows.h>
#include <sddl.h>

#include <stdlib.h>
#include <string.h>

#include "helper_command_line.h"
#include "install_scope.h"

namespace updater_caller {

// The exit code of an elevated restarted application that could not hand
// itself back to the user (see above).
const DWORD kHandBackFailed = 0x20000005;

namespace internal {

const char kHandBackVariable[] = "ZELVARO_UPDATE_HAND_BACK";
const char kHandBackEventPrefix[] = "Local\\ZelvaroHandBack-";
// How long a watcher waits for the update to end before it gives up.
const DWORD kHandBackWaitMs = 2 * 60 * 60 * 1000;

// True if this process runs with an elevated token.
inline bool IsElevated() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return false;
  TOKEN_ELEVATION elevation;
  DWORD size = 0;
  const bool elevated = GetTokenInformation(token, TokenElevation,
                                            &elevation, sizeof(elevation),
                                            &size) &&
                        elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

// The full path of this process's own exe into `path` (MAX_PATH bytes).
// False, with the cause in GetLastError(), if it could not be had whole.
inline bool OwnExePath(char* path) {
  const DWORD length =
      GetModuleFileNameA(/*hModule=*/NULL, path, MAX_PATH);
  if (length == 0)
    return false;
  if (length >= MAX_PATH) {  // cut short
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

// Starts `program` with `command_line` (copied: the platform may write into
// it) and `current_directory` (null: this process's), nothing inherited.
//
// Needs: nothing. Leaves: the process's handle with the caller, its
// thread's closed; or null with the cause in GetLastError().
inline HANDLE StartProgram(const char* program, const char* command_line,
                           const char* current_directory) {
  const size_t size = strlen(command_line) + 1;
  char* writable = static_cast<char*>(malloc(size));
  if (writable == NULL) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  memcpy(writable, command_line, size);
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  const BOOL started = CreateProcessA(
      program, writable, /*lpProcessAttributes=*/NULL,
      /*lpThreadAttributes=*/NULL, /*bInheritHandles=*/FALSE,
      /*dwCreationFlags=*/0, /*lpEnvironment=*/NULL, current_directory,
      &startup, &process);
  const DWORD error = GetLastError();
  free(writable);
  if (!started) {
    SetLastError(error);  // the cause, whatever free() did to it
    return NULL;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Writes the event's security descriptor into `sddl` (`size` bytes): full
// access for this process's user (the watcher) and SYSTEM, and the right
// to set it for Administrators, since the restarted application may run
// as another administrator than the user, where one typed their password
// at a standard user's prompt.
inline bool HandBackEventSddl(char* sddl, size_t size) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return false;
  DWORD needed = 0;
  GetTokenInformation(token, TokenUser, /*TokenInformation=*/NULL, 0,
                      &needed);
  void* user = needed > 0 ? malloc(needed) : NULL;
  char* sid = NULL;
  const bool have_sid =
      user != NULL &&
      GetTokenInformation(token, TokenUser, user, needed, &needed) &&
      ConvertSidToStringSidA(static_cast<TOKEN_USER*>(user)->User.Sid,
                             &sid);
  CloseHandle(token);
  free(user);
  if (!have_sid)
    return false;
  // 0x1F0003: EVENT_ALL_ACCESS; 0x100002: SYNCHRONIZE | EVENT_MODIFY_STATE.
  const bool fits =
      Join(sddl, size, "D:(A;;0x1F0003;;;SY)(A;;0x100002;;;BA)(A;;0x1F0003;;;",
           sid, ")");
  LocalFree(sid);
  return fits;
}

// Step 1, in the unelevated application before the prompt: creates the
// event named after `id` (the digits of kHandBackIdSize random bytes) and
// starts the watcher for it.
//
// Needs: the application's own exe, full path. Leaves: the watcher's
// process handle with the caller (to end it if the prompt fails), the
// watcher holding the event; or null, with nothing running, and the
// restarted application then finds no event and fails closed.
inline HANDLE LeaveWatcherBehind(const char* application, const char* id) {
  char name[sizeof(kHandBackEventPrefix) + kHandBackIdLength];
  char sddl[256];
  PSECURITY_DESCRIPTOR descriptor = NULL;
  if (!Join(name, sizeof(name), kHandBackEventPrefix, id) ||
      !HandBackEventSddl(sddl, sizeof(sddl)) ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(
          sddl, SDDL_REVISION_1, &descriptor,
          /*SecurityDescriptorSize=*/NULL))
    return NULL;
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  HANDLE event = CreateEventA(&attributes, /*bManualReset=*/TRUE,
                              /*bInitialState=*/FALSE, name);
  // Someone else's object under a name nobody could know: leave it be.
  const bool fresh = event != NULL && GetLastError() != ERROR_ALREADY_EXISTS;
  LocalFree(descriptor);
  HANDLE watcher = NULL;
  char command_line[MAX_PATH + sizeof(kWatcherSwitch) + kHandBackIdLength +
                    4];
  if (fresh &&
      Join(command_line, sizeof(command_line), "\"", application, "\" ") &&
      Join(command_line, sizeof(command_line), command_line, kWatcherSwitch,
           " ") &&
      Join(command_line, sizeof(command_line), command_line, id))
    watcher = StartProgram(application, command_line,
                           /*current_directory=*/NULL);
  HANDLE in_watcher = NULL;
  if (watcher != NULL &&
      !DuplicateHandle(GetCurrentProcess(), event, watcher, &in_watcher,
                       SYNCHRONIZE, /*bInheritHandle=*/FALSE,
                       /*dwOptions=*/0)) {
    // Without the handle the watcher could find no event and wait for
    // nothing: end it now.
    TerminateProcess(watcher, /*uExitCode=*/ERROR_INVALID_HANDLE);
    CloseHandle(watcher);
    watcher = NULL;
  }
  if (event != NULL)
    CloseHandle(event);
  return watcher;
}

// Step 3, in every application's first kit call. Returns false when this
// process was not started by an elevated update for an unelevated user
// (it then runs on, without the id in its environment); else true with
// `*exit_code` 0 once the watcher was told, or kHandBackFailed.
//
// Needs: nothing. Leaves: no handle open; the id gone from this process's
// environment.
inline bool HandBackIfAsked(int* exit_code) {
  char* id = ReadVariable(kHandBackVariable);
  if (id == NULL)
    return false;
  WriteVariable(kHandBackVariable, NULL);
  if (!IsElevated()) {
    free(id);
    return false;
  }
  char name[sizeof(kHandBackEventPrefix) + kHandBackIdLength];
  HANDLE event = NULL;
  if (IsHandBackId(id) && Join(name, sizeof(name), kHandBackEventPrefix, id))
    event = OpenEventA(EVENT_MODIFY_STATE, /*bInheritHandle=*/FALSE, name);
  free(id);
  *exit_code = static_cast<int>(kHandBackFailed);
  if (event != NULL) {
    if (SetEvent(event))
      *exit_code = 0;
    CloseHandle(event);
  }
  return true;
}

// Step 4: the watcher's whole life. Returns its exit code: 0 once the
// application was started again, else why not.
//
// Needs: `id`, the digits of a live event's name. Leaves: no handle open;
// the application started, or not when the wait ran out.
inline int RunWatcher(const char* id) {
  char name[sizeof(kHandBackEventPrefix) + kHandBackIdLength];
  if (!Join(name, sizeof(name), kHandBackEventPrefix, id))
    return ERROR_INVALID_NAME;
  HANDLE event = OpenEventA(SYNCHRONIZE, /*bInheritHandle=*/FALSE, name);
  if (event == NULL)
    return static_cast<int>(GetLastError());
  const DWORD waited = WaitForSingleObject(event, kHandBackWaitMs);
  CloseHandle(event);
  if (waited != WAIT_OBJECT_0)
    return ERROR_TIMEOUT;

  char application[MAX_PATH];
  char folder[MAX_PATH];
  char command_line[MAX_PATH + 10];
  if (!OwnExePath(application) || !FolderOf(application, folder) ||
      !Join(command_line, sizeof(command_line), "\"", application,
            "\" /silent"))
    return ERROR_INVALID_NAME;
  HANDLE started = StartProgram(application, command_line, folder);
  if (started == NULL)
    return static_cast<int>(GetLastError());
  CloseHandle(started);
  return 0;
}

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_HAND_BACK_H_
