// For the application that ships updater.exe: how to start it so that it
// acts, and how to hold the mutex that tells it the application still runs.
// Plain Win32, header only; paths as UTF-16 or ANSI. The application links
// the CMake target updater::caller (find_package(updater_caller 1
// REQUIRED), or add_subdirectory of caller/), which brings shell32 and
// advapi32, and includes <updater_caller/updater_caller.h> in one source
// file. wintrust and crypt32 are loaded from the system folder, never
// linked. The routines behind the calls live in detail/.
//
//   int WINAPI WinMain(...) {
//     int kit_exit_code;
//     if (updater_caller::RunAsHelperIfAsked(&kit_exit_code))
//       return kit_exit_code;              // first thing: see below
//     HANDLE running = updater_caller::HoldRunningMutex();
//     ...                                  // the application's life
//     HANDLE updater = updater_caller::StartUpdater(
//         L"C:\\Program Files\\Zelvaro\\updater.exe", downloaded_installer,
//         manifest_sha256);                // as its update manifest says
//     if (updater != NULL) CloseHandle(updater);
//     CloseHandle(running);                // or simply exit: the system
//     return 0;                            // releases it with the process
//   }
//
// Two roads, chosen by who may write the updater's folder:
//
// Per-user install (the application's user can write it, unelevated): the
// updater is started directly with the RunAsInvoker compatibility layer,
// so Windows never asks for elevation and the installer and the restarted
// application run as that user (detail/install_scope.h).
//
// Per-machine install: the updater is started directly; where Windows
// answers ERROR_ELEVATION_REQUIRED (its installer detection takes
// updater.exe, a 32-bit program without a manifest whose name says
// "update", for a setup program), the application asks, through one
// prompt, for its own exe to run elevated as the helper. CreateProcessA
// never asks for elevation, and ShellExecuteExA would put the updater's
// quoted path in front of the installer's on its command line. The helper
// starts only the updater.exe beside the application's own exe, and only
// with a copy of the installer that it staged where no unelevated program
// can change it and checked: the digest the application passed (or took)
// before it asked, for a signed application the signer and one signature
// alone, and a version no older than the application's
// (detail/staged_installer.h, detail/installer_image.h). Every road starts
// the updater in an environment the kit builds, on the elevated ones from
// the system alone (detail/updater_environment.h). An application that was
// not elevated gets itself back unelevated after the update
// (detail/hand_back.h).
#ifndef UPDATER_CALLER_UPDATER_CALLER_H_
#define UPDATER_CALLER_UPDATER_CALLER_H_

#include <windows.h>

// The kit's version; caller/CMakeLists.txt reads the package's version from
// these lines, so find_package(updater_caller 1) and the code agree. The
// major number changes when a call, a code or the helper's command line
// changes in a way an application or an earlier helper would notice.
#define UPDATER_CALLER_VERSION_MAJOR 1
#define UPDATER_CALLER_VERSION_MINOR 0
#define UPDATER_CALLER_VERSION_PATCH 0
#define UPDATER_CALLER_VERSION_STRING "1.0.0"

namespace updater_caller {

// The name the updater probes; keep it in sync with updater.exe.
const char kRunningMutexName[] = "Zelvaro";

// ERROR_ELEVATION_REQUIRED, which some Windows headers (MinGW-w64's among
// them) do not name.
const DWORD kErrorElevationRequired = 740;

// The helper's exit codes besides 0 (the updater started), the Windows
// error of a failed start of the updater, and ERROR_BAD_ARGUMENTS for a
// malformed helper command line; an elevated application's StartUpdater
// leaves the same codes in GetLastError(). Each starts nothing. Bit 29
// marks them as the kit's own, apart from Windows's errors.
//   the updater named is not the updater.exe beside the application's own
//   exe, or the unelevated user could change it or its folder:
const DWORD kHelperExitNotOurUpdater = 0x20000001;
//   the installer could not be copied to a fresh protected folder:
const DWORD kHelperExitStagingFailed = 0x20000002;
//   the copy's SHA-256 is not the one the application took:
const DWORD kHelperExitDigestMismatch = 0x20000003;
//   the application is signed, and the copy is not validly signed by the
//   same signer (or the application's own signature does not verify, or
//   the copy's certificate table holds anything beyond its one signature
//   and the zero padding to 8 bytes):
const DWORD kHelperExitSignerMismatch = 0x20000004;
//   an elevated restarted application could not hand itself back to the
//   user (detail/hand_back.h), and exits without running:
const DWORD kHandBackFailed = 0x20000005;
//   the updater's folder holds no "zvr.exe" for it to restart: started by
//   bare name, one would be looked for elsewhere:
const DWORD kHelperExitNoApplication = 0x20000006;
//   the application is unsigned and an elevated start was asked without
//   the installer's SHA-256: nothing would bind the prompt to the update
//   the application verified:
const DWORD kHelperExitNoDigest = 0x20000008;
//   the application's exe carries a version resource, and the copy's
//   fixed product version is lower, or it carries none (an older
//   installer of the same signer, its uninstaller, another product):
const DWORD kHelperExitDowngrade = 0x20000009;

// StartUpdater's and StartUpdaterElevated's own code, never the helper's:
// the name "Zelvaro" is held by an object that is not a mutex (or by one
// this process may not open), so the updater's probe would not find the
// application running and would not wait for it.
const DWORD kErrorRunningNameTaken = 0x20000007;

// Creates (or opens) the mutex "Zelvaro" with initial ownership. Call it
// first thing (after RunAsHelperIfAsked) and keep the handle for the
// application's whole life: while the name exists, the updater waits.
// Returns null if the mutex could not be had: another program holds the
// name as an object of another kind (GetLastError() ERROR_INVALID_HANDLE)
// or as a mutex this user may not open. The updater then cannot tell that
// the application runs, so StartUpdater refuses (kErrorRunningNameTaken);
// the application should run on without updating, and may tell the user.
//
// Needs: nothing. Leaves: the mutex's handle with the caller.
inline HANDLE HoldRunningMutex() {
  return CreateMutexA(/*lpMutexAttributes=*/NULL, /*bInitialOwner=*/TRUE,
                      kRunningMutexName);
}

}  // namespace updater_caller

// The routines behind the calls below, which answer with the codes above.
#include <updater_caller/detail/helper_road.h>

namespace updater_caller {

// Asks the user, through the usual elevation prompt, to let the
// application's own exe run as administrator as the helper, which starts
// the updater with a checked copy of the installer (RunAsHelperIfAsked).
// The prompt names the application's own exe, and its publisher if it is
// signed. Before it asks, it takes the installer's SHA-256 (and compares
// it with `installer_sha256`, when given) and, when this process is not
// elevated, leaves the watcher behind that brings the application back
// unelevated after the update.
//
// `installer_sha256`: the SHA-256 the application's own verified update
// manifest gives for the installer, as 64 hex digits in either case, or
// null. An unsigned application must give it: the helper then runs only
// an installer with exactly that digest.
//
// Returns the helper's process handle for the caller to close (or wait on:
// its exit code is 0 once the updater has started, else one of the
// kHelperExit codes or the Windows error of the failed start), or null
// with the cause in GetLastError(): ERROR_CANCELLED when the user
// declines; ERROR_INVALID_NAME or ERROR_FILENAME_EXCED_RANGE for a path
// that cannot travel (empty, with a double quote, or over MAX_PATH - 1
// characters); ERROR_INVALID_PARAMETER for a digest that is not 64 hex
// digits; ERROR_ACCESS_DENIED when `updater_path` is not the updater.exe
// beside the application's own exe, or the install is per-user (a
// per-user install is never elevated); kErrorRunningNameTaken;
// kHelperExitNoApplication; kHelperExitNoDigest; kHelperExitDigestMismatch
// when the installer is not the one the digest names; the installer's own
// read error. Nothing is asked in those cases.
//
// Needs: full paths; the application calls RunAsHelperIfAsked first thing.
// Leaves: the helper's handle with the caller, or null; a watcher running
// unelevated when this process is not elevated and the prompt was shown
// (it waits for the update, then ends); no other handle.
inline HANDLE StartUpdaterElevated(const char* updater_path,
                                   const char* installer_path,
                                   const char* installer_sha256) {
  unsigned char bytes[internal::kDigestSize];
  const unsigned char* given;
  const DWORD refused =
      internal::CheckBeforeAnyRoad(installer_sha256, bytes, &given);
  if (refused != 0) {
    SetLastError(refused);
    return NULL;
  }
  // An application the user did not elevate gets itself back as the user.
  return internal::AskForHelper(updater_path, installer_path, given,
                                /*hand_back=*/!internal::IsElevated());
}

inline HANDLE StartUpdaterElevated(const char* updater_path,
                                   const char* installer_path) {
  return StartUpdaterElevated(updater_path, installer_path,
                              /*installer_sha256=*/NULL);
}

// Starts `updater_path` with `installer_path` as its whole command line:
// on a per-user install directly, under RunAsInvoker, never elevated; on a
// per-machine install, from an elevated application with a checked copy
// of the installer (as the helper does), else directly where Windows lets
// it, and through the elevated helper (as StartUpdaterElevated, one
// prompt) where it answers ERROR_ELEVATION_REQUIRED. Each road starts the
// updater with an environment the kit built for it
// (updater_environment.h).
//
// `installer_sha256`: as for StartUpdaterElevated; when given, the
// installer must have exactly that SHA-256 on every road.
//
// Returns a handle for the caller to close (or wait on): the updater's, or
// on the helper's road the helper's. Or null with the cause in
// GetLastError(): ERROR_INVALID_PARAMETER for a malformed digest;
// ERROR_NO_UNICODE_TRANSLATION for an installer path the updater, in the
// system's code page, would not read exactly as this process wrote it;
// kErrorRunningNameTaken; kHelperExitNoApplication when the updater's
// folder holds no "zvr.exe"; kHelperExitDigestMismatch; ERROR_CANCELLED
// when the user declined the prompt; on the elevated roads the other
// kHelperExit codes; and any other failure of the start as it was.
//
// Needs: full paths (the folder's rights decide the road). Leaves: the
// returned handle with the caller, and this process's environment as it
// was.
inline HANDLE StartUpdater(const char* updater_path, const char* installer_path,
                           const char* installer_sha256) {
  unsigned char bytes[internal::kDigestSize];
  const unsigned char* given;
  DWORD refused = internal::CheckBeforeAnyRoad(installer_sha256, bytes, &given);
  if (refused == 0 && !internal::ApplicationBeside(updater_path))
    refused = kHelperExitNoApplication;
  if (refused == 0 && given != NULL) {
    unsigned char digest[internal::kDigestSize];
    if (!internal::DigestOfFile(installer_path, digest))
      return NULL;
    if (memcmp(digest, given, internal::kDigestSize) != 0)
      refused = kHelperExitDigestMismatch;
  }
  if (refused != 0) {
    SetLastError(refused);
    return NULL;
  }
  char application[MAX_PATH];
  if (!internal::OwnExePath(application) ||
      internal::IsPerUserInstall(updater_path, application))
    return internal::StartUpdaterWith(updater_path, installer_path,
                                      internal::UnelevatedEnvironment(
                                          /*run_as_invoker=*/true));
  // Elevated already: the installer the user's other programs could still
  // change runs only as a checked copy, as on the helper's road.
  if (internal::IsElevated())
    return internal::StartUpdaterWithCheckedCopy(updater_path, installer_path,
                                                 given, /*hand_back_id=*/"");
  HANDLE started = internal::StartUpdaterWith(
      updater_path, installer_path,
      internal::UnelevatedEnvironment(/*run_as_invoker=*/false));
  if (started == NULL && GetLastError() == kErrorElevationRequired)
    return internal::AskForHelper(updater_path, installer_path, given,
                                  /*hand_back=*/true);
  return started;
}

inline HANDLE StartUpdater(const char* updater_path,
                           const char* installer_path) {
  return StartUpdater(updater_path, installer_path,
                      /*installer_sha256=*/NULL);
}

// StartUpdater and StartUpdaterElevated for paths held in UTF-16. The
// updater reads its command line in the system's ANSI code page, so each
// path goes on in its ANSI form: as it is when every character converts
// exactly (no best fit, no default character) both to this process's ANSI
// code page and to the system's, else its short (8.3) form when that
// does. When neither does (the file is missing, or its volume keeps no
// short names), or a path is null, they refuse before anything is asked
// or started: ERROR_NO_UNICODE_TRANSLATION, ERROR_INVALID_PARAMETER, or
// ERROR_FILENAME_EXCED_RANGE for MAX_PATH characters or more. The updater
// itself is started by its full UTF-16 path, in its UTF-16 folder. The
// elevated helper gives its copy of the installer an ASCII name when the
// installer's own name has no ANSI form. Otherwise as the ANSI calls.
inline HANDLE StartUpdater(const wchar_t* updater_path,
                           const wchar_t* installer_path,
                           const char* installer_sha256) {
  return internal::WithAnsiForms(updater_path, installer_path, installer_sha256,
                                 StartUpdater);
}

inline HANDLE StartUpdater(const wchar_t* updater_path,
                           const wchar_t* installer_path) {
  return StartUpdater(updater_path, installer_path,
                      /*installer_sha256=*/NULL);
}

inline HANDLE StartUpdaterElevated(const wchar_t* updater_path,
                                   const wchar_t* installer_path,
                                   const char* installer_sha256) {
  return internal::WithAnsiForms(updater_path, installer_path, installer_sha256,
                                 StartUpdaterElevated);
}

inline HANDLE StartUpdaterElevated(const wchar_t* updater_path,
                                   const wchar_t* installer_path) {
  return StartUpdaterElevated(updater_path, installer_path,
                              /*installer_sha256=*/NULL);
}

// Call first thing in WinMain; returns true when the application must
// return `*exit_code` at once, without ever holding the mutex:
//   - in the elevated helper (the helper switch follows the program):
//     the helper's exit code (see kHelperExit...);
//   - in the watcher: 0 once it started the application again, else why
//     not;
//   - in an application restarted elevated by an update that an
//     unelevated user started: 0 once it handed itself back, or
//     kHandBackFailed.
// Otherwise returns false, and the application runs. Either way it first
// puts back the environment the kit changed for the updater (the
// RunAsInvoker layer, the hand-back id), so that nothing the application
// starts inherits them.
//
// Needs: nothing. Leaves: no handle open; the kit's variables gone from
// this process's environment.
inline bool RunAsHelperIfAsked(int* exit_code) {
  internal::RestoreCompatLayer();
  internal::HelperRequest request;
  internal::WatcherRequest watcher;
  switch (internal::ParseCommandLine(GetCommandLineA(), &request, &watcher)) {
    case internal::kApplication:
      // Only an application hands itself back: the helper and the watcher
      // answer to their command line alone.
      if (internal::HandBackIfAsked(exit_code))
        return true;
      internal::RemoveWatcherCopies();
      return false;
    case internal::kMalformed:
      *exit_code = ERROR_BAD_ARGUMENTS;
      return true;
    case internal::kHelper:
      *exit_code = internal::ServeAsHelper(request);
      return true;
    case internal::kWatcher:
      *exit_code = internal::RunWatcher(watcher);
      return true;
  }
  return false;
}

}  // namespace updater_caller

#endif  // UPDATER_CALLER_UPDATER_CALLER_H_
