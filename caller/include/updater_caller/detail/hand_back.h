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
//      event under a random id, copies its own exe into the user's temp
//      folder and starts the copy, unelevated, as the watcher
//      (`--updater-hand-back-watcher <id> "<application>"`), giving it a
//      handle to the event so that the event outlives the application.
//      The watcher runs from a copy because Windows lets nobody replace
//      the exe of a running process: the installer must be able to. If
//      the prompt fails, the application ends the watcher.
//   2. The helper puts the id into the updater's environment
//      (ZELVARO_UPDATE_HAND_BACK); the installer and the restarted
//      application inherit it.
//   3. The restarted application's first kit call finds the id, removes it
//      from its environment and, when it runs elevated, sets the event and
//      exits at once, without ever holding the mutex.
//   4. The watcher wakes and starts the application's exe with "/silent",
//      as the user, with the exe's folder as its current folder. That
//      application's first kit call, unelevated, deletes the watchers'
//      copies that are no longer running.
//
// The id travels whether or not a watcher could be left behind. When the
// hand-back cannot be made (no event: the watcher timed out, or could not
// be started), the elevated copy exits all the same, with
// kHandBackFailed: the application then stays closed until the user
// starts it, rather than run with rights the user did not give it.
#ifndef UPDATER_CALLER_DETAIL_HAND_BACK_H_
#define UPDATER_CALLER_DETAIL_HAND_BACK_H_

#include <windows.h>
#include <sddl.h>

#include <stdlib.h>
#include <string.h>

#include <updater_caller/detail/handles.h>
#include <updater_caller/detail/helper_command_line.h>
#include <updater_caller/detail/install_scope.h>
#include <updater_caller/detail/updater_environment.h>
#include <updater_caller/detail/win32_helpers.h>

namespace updater_caller {
namespace internal {

// The application the updater restarts, beside itself, and the command
// line it restarts it with: the one line on which an elevated application
// hands itself back.
const char kApplicationFileName[] = "zvr.exe";
const char kRestartCommandLine[] = "\"zvr.exe\" /silent";
const char kHandBackEventPrefix[] = "Local\\ZelvaroHandBack-";
// How long a watcher waits for the update to end before it gives up.
const DWORD kHandBackWaitMs = 2 * 60 * 60 * 1000;
// The watcher's copy in the user's temp folder: prefix, id, suffix.
const char kWatcherCopyPrefix[] = "Zelvaro-watcher-";
const char kWatcherCopySuffix[] = ".exe";
// How long to wait for a watcher that was ended to be gone, so that its
// copy can be deleted.
const DWORD kWatcherEndWaitMs = 5000;

// Writes the event's security descriptor into `sddl` (`size` bytes): full
// access for this process's user (the watcher) and SYSTEM, and the right
// to set it for Administrators, since the restarted application may run
// as another administrator than the user, where one typed their password
// at a standard user's prompt.
inline bool HandBackEventSddl(char* sddl, size_t size) {
  HANDLE opened;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))
    return false;
  UniqueHandle token(opened);
  DWORD needed = 0;
  GetTokenInformation(token.Get(), TokenUser, /*TokenInformation=*/NULL, 0,
                      &needed);
  UniqueMemory<void> user(needed > 0 ? malloc(needed) : NULL);
  char* sid = NULL;
  const bool have_sid =
      user.Valid() &&
      GetTokenInformation(token.Get(), TokenUser, user.Get(), needed,
                          &needed) &&
      ConvertSidToStringSidA(static_cast<TOKEN_USER*>(user.Get())->User.Sid,
                             &sid);
  // Both go before the SID is written out.
  token.Reset();
  user.Reset();
  if (!have_sid)
    return false;
  const UniqueLocal held_sid(sid);
  // 0x1F0003: EVENT_ALL_ACCESS; 0x100002: SYNCHRONIZE | EVENT_MODIFY_STATE.
  const bool fits =
      Join(sddl, size, "D:(A;;0x1F0003;;;SY)(A;;0x100002;;;BA)(A;;0x1F0003;;;",
           sid, ")");
  return fits;
}

// The path of the watcher's copy for `id` into `copy` (MAX_PATH bytes),
// or of the pattern that finds them all for `id` "*". The temp folder
// lies in the user's profile, whose name may hold characters without an
// ANSI form: it goes in its ANSI form.
inline bool WatcherCopyPath(const char* id, char* copy) {
  wchar_t wide[MAX_PATH];
  char temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, wide);
  return length > 0 && length < MAX_PATH && AnsiForm(wide, temp) &&
         Join(copy, MAX_PATH, temp, kWatcherCopyPrefix, id) &&
         Join(copy, MAX_PATH, copy, kWatcherCopySuffix);
}

// Step 1, in the unelevated application before the prompt: creates the
// event named after `id` (the digits of kHandBackIdSize random bytes) and
// starts the watcher for it from a copy of `application`.
//
// Needs: the application's own exe, full path. Leaves: the watcher's
// process handle with the caller (to end it if the prompt fails), the
// watcher holding the event; or null, with nothing running and no copy,
// and the restarted application then finds no event and fails closed.
inline HANDLE LeaveWatcherBehind(const char* application, const char* id) {
  char name[sizeof(kHandBackEventPrefix) + kHandBackIdLength];
  char sddl[256];
  char copy[MAX_PATH];
  SECURITY_ATTRIBUTES attributes;
  if (!Join(name, sizeof(name), kHandBackEventPrefix, id) ||
      !WatcherCopyPath(id, copy) || !HandBackEventSddl(sddl, sizeof(sddl)) ||
      !AttributesFromSddl(sddl, &attributes))
    return NULL;
  UniqueLocal descriptor(attributes.lpSecurityDescriptor);
  // Closed last, once the watcher holds its own handle to it.
  const UniqueHandle event(CreateEventA(&attributes, /*bManualReset=*/TRUE,
                                        /*bInitialState=*/FALSE, name));
  // Someone else's object under a name nobody could know: leave it be.
  const bool fresh = event.Valid() && GetLastError() != ERROR_ALREADY_EXISTS;
  descriptor.Reset();
  UniqueHandle watcher;
  bool copied = false;
  char command_line[2 * MAX_PATH + sizeof(kWatcherSwitch) + kHandBackIdLength +
                    8];
  if (fresh && Join(command_line, sizeof(command_line), "\"", copy, "\" ") &&
      Join(command_line, sizeof(command_line), command_line, kWatcherSwitch,
           " ") &&
      Join(command_line, sizeof(command_line), command_line, id, " \"") &&
      Join(command_line, sizeof(command_line), command_line, application,
           "\"")) {
    copied = CopyFileA(application, copy, /*bFailIfExists=*/TRUE) != FALSE;
    if (copied)
      watcher.Reset(
          StartProgram(copy, command_line, /*current_directory=*/NULL));
  }
  HANDLE in_watcher = NULL;
  if (watcher.Valid() &&
      !DuplicateHandle(GetCurrentProcess(), event.Get(), watcher.Get(),
                       &in_watcher, SYNCHRONIZE, /*bInheritHandle=*/FALSE,
                       /*dwOptions=*/0)) {
    // Without the handle the watcher could find no event and wait for
    // nothing: end it now.
    TerminateProcess(watcher.Get(), /*uExitCode=*/ERROR_INVALID_HANDLE);
    WaitForSingleObject(watcher.Get(), kWatcherEndWaitMs);
    watcher.Reset();
  }
  if (!watcher.Valid() && copied)
    DeleteFileA(copy);
  return watcher.Release();
}

// Deletes the watchers' copies in the user's temp folder; those still
// running stay, for a later start to delete. Only unelevated: an elevated
// process takes its temp folder from the user's profile, where any
// program of the user's could point it elsewhere.
//
// Needs: nothing. Leaves: no handle open.
inline void RemoveWatcherCopies() {
  char pattern[MAX_PATH];
  if (!IsElevated() && WatcherCopyPath("*", pattern))
    DeleteFilesFound(pattern);
}

// Step 3, in every application's first kit call. Returns false when this
// process was not started by an elevated update for an unelevated user
// (it then runs on, without the id in its environment); else true with
// `*exit_code` 0 once the watcher was told, or kHandBackFailed. The id
// counts only in an elevated process whose command line is exactly the
// updater's restart line: an application the user elevated themselves is
// never handed back, whatever the profile's environment holds.
//
// Needs: nothing. Leaves: no handle open; the id gone from this process's
// environment.
inline bool HandBackIfAsked(int* exit_code) {
  UniqueMemory<char> id(ReadVariable(kHandBackVariable));
  if (!id.Valid())
    return false;
  WriteVariable(kHandBackVariable, NULL);
  if (strcmp(GetCommandLineA(), kRestartCommandLine) != 0 || !IsElevated())
    return false;
  char name[sizeof(kHandBackEventPrefix) + kHandBackIdLength];
  UniqueHandle event;
  if (IsHandBackId(id.Get()) &&
      Join(name, sizeof(name), kHandBackEventPrefix, id.Get()))
    event.Reset(OpenEventA(EVENT_MODIFY_STATE, /*bInheritHandle=*/FALSE, name));
  id.Reset();
  *exit_code = static_cast<int>(kHandBackFailed);
  if (event.Valid() && SetEvent(event.Get()))
    *exit_code = 0;
  return true;
}

// Step 4: the watcher's whole life. Returns its exit code: 0 once the
// application was started again, else why not.
//
// Needs: a parsed watcher line. Leaves: no handle open; the application
// started, or not when the wait ran out.
inline int RunWatcher(const WatcherRequest& request) {
  char name[sizeof(kHandBackEventPrefix) + kHandBackIdLength];
  if (!Join(name, sizeof(name), kHandBackEventPrefix, request.hand_back_id))
    return ERROR_INVALID_NAME;
  UniqueHandle event(OpenEventA(SYNCHRONIZE, /*bInheritHandle=*/FALSE, name));
  if (!event.Valid())
    return static_cast<int>(GetLastError());
  const DWORD waited = WaitForSingleObject(event.Get(), kHandBackWaitMs);
  event.Reset();
  if (waited != WAIT_OBJECT_0)
    return ERROR_TIMEOUT;

  const char* const application = request.application;
  char folder[MAX_PATH];
  char command_line[MAX_PATH + 10];
  if (!FolderOf(application, folder) ||
      !Join(command_line, sizeof(command_line), "\"", application,
            "\" /silent"))
    return ERROR_INVALID_NAME;
  const UniqueHandle started(StartProgram(application, command_line, folder));
  return started.Valid() ? 0 : static_cast<int>(GetLastError());
}

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_DETAIL_HAND_BACK_H_
