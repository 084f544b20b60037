// The helper's road and the roads that lead to it, behind the public calls
// of updater_caller.h: the updater started directly, or with a checked
// copy of the installer, or through the elevated helper after one prompt;
// and the helper serving its command line. Included by updater_caller.h
// after the codes these routines answer with.
#ifndef UPDATER_CALLER_DETAIL_HELPER_ROAD_H_
#define UPDATER_CALLER_DETAIL_HELPER_ROAD_H_

#include <windows.h>
#include <shellapi.h>

#include <stdlib.h>
#include <string.h>

#include <updater_caller/detail/hand_back.h>
#include <updater_caller/detail/handles.h>
#include <updater_caller/detail/helper_command_line.h>
#include <updater_caller/detail/install_scope.h>
#include <updater_caller/detail/staged_installer.h>
#include <updater_caller/detail/updater_environment.h>
#include <updater_caller/detail/win32_helpers.h>

namespace updater_caller {
namespace internal {

const char kUpdaterFileName[] = "updater.exe";

// True if the updater reads `text` (in this process's ANSI code page)
// exactly as it stands. It reads it in the system's code page, which this
// process's may not be: a path it would read as a look-alike of another
// never goes to it. A text beyond ASCII must be under MAX_PATH characters.
inline bool ReachesUpdaterExactly(const char* text) {
  if (IsAscii(text))
    return true;
  wchar_t wide[MAX_PATH];
  char ansi[4 * MAX_PATH];
  return MultiByteToWideChar(CP_ACP, /*dwFlags=*/0, text, /*cbMultiByte=*/-1,
                             wide, MAX_PATH) > 0 &&
         ConvertsToAnsi(wide, ansi, static_cast<int>(sizeof(ansi)));
}

// Starts `updater` with `installer` as its whole command line, its own
// folder as its current folder, so that the "zvr.exe" it restarts is never
// one from the caller's current folder, and `environment`, the block the
// kit built for this road (updater_environment.h), which it frees; null
// when the block could not be made, which starts nothing. The installer's
// bare path goes in as is: no quotes (the updater adds them) and no
// program name (a command line that begins with "updater.exe" makes the
// updater do nothing).
//
// Needs: full paths. Leaves: the updater's process handle with the caller
// (its thread's closed), or null with the cause in GetLastError().
inline HANDLE StartUpdaterWith(const char* updater, const char* installer,
                               wchar_t* environment) {
  UniqueMemory<wchar_t> block(environment);
  if (!block.Valid()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  if (!ReachesUpdaterExactly(installer)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return NULL;
  }
  char folder[MAX_PATH];
  HANDLE started =
      StartProgram(updater, installer,
                   FolderOf(updater, folder) ? folder : NULL, block.Get());
  const DWORD error = GetLastError();
  // The block goes before the caller reads the cause, whatever free() does
  // to it.
  block.Reset();
  SetLastError(error);
  return started;
}

// True if the folder of `updater` holds a file "zvr.exe", the application
// the updater restarts by bare name.
inline bool ApplicationBeside(const char* updater) {
  char folder[MAX_PATH];
  char application[MAX_PATH];
  if (!FolderOf(updater, folder) ||
      !Join(application, MAX_PATH, folder, kApplicationFileName))
    return false;
  const DWORD attributes = GetFileAttributesA(application);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Reads the digest the application passed: null, or 64 hex digits in
// either case. `*digest` is null for none, else `bytes` filled. False for
// anything else.
inline bool ReadGivenDigest(const char* text, unsigned char* bytes,
                            const unsigned char** digest) {
  *digest = NULL;
  if (text == NULL)
    return true;
  for (size_t i = 0; i < kDigestSize; ++i) {
    int value = 0;
    for (size_t j = 0; j < 2; ++j) {
      const char c = text[2 * i + j];
      const int low =
          HexValue(static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c));
      if (low < 0)
        return false;
      value = value * 16 + low;
    }
    bytes[i] = static_cast<unsigned char>(value);
  }
  if (text[2 * kDigestSize] != '\0')
    return false;
  *digest = bytes;
  return true;
}

// What the public calls check before they choose a road: the digest the
// application passed reads (into `bytes`, `*given` pointing at them, or
// null for none), and the updater's probe of "Zelvaro" will see this
// running application (the name is a mutex, or free). 0, or why not:
// ERROR_INVALID_PARAMETER or kErrorRunningNameTaken.
inline DWORD CheckBeforeAnyRoad(const char* installer_sha256,
                                unsigned char* bytes,
                                const unsigned char** given) {
  if (!ReadGivenDigest(installer_sha256, bytes, given))
    return ERROR_INVALID_PARAMETER;
  const UniqueHandle probe(CreateMutexA(/*lpMutexAttributes=*/NULL,
                                        /*bInitialOwner=*/FALSE,
                                        kRunningMutexName));
  return probe.Valid() ? 0 : kErrorRunningNameTaken;
}

// A public call's ANSI form.
typedef HANDLE (*AnsiCall)(const char* updater_path, const char* installer_path,
                           const char* installer_sha256);

// A public call's UTF-16 form: `start` (its ANSI form) with the ANSI
// forms (AnsiForm) of both paths. Null, with the cause in GetLastError(),
// when a path is null or has no ANSI form.
inline HANDLE WithAnsiForms(const wchar_t* updater_path,
                            const wchar_t* installer_path,
                            const char* installer_sha256, AnsiCall start) {
  char updater[MAX_PATH];
  char installer[MAX_PATH];
  if (updater_path == NULL || installer_path == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  if (!AnsiForm(updater_path, updater) || !AnsiForm(installer_path, installer))
    return NULL;
  return start(updater, installer, installer_sha256);
}

// Writes the updater.exe beside `application` into `updater` (MAX_PATH
// bytes).
inline bool UpdaterBeside(const char* application, char* updater) {
  char folder[MAX_PATH];
  return FolderOf(application, folder) &&
         Join(updater, MAX_PATH, folder, kUpdaterFileName);
}

// Fills `application` with this process's exe and `updater` with the
// updater.exe beside it (MAX_PATH bytes each). True if `updater_path`
// names that updater.
inline bool IsOurUpdater(const char* updater_path, char* application,
                         char* updater) {
  return OwnExePath(application) && UpdaterBeside(application, updater) &&
         SamePath(updater_path, updater);
}

// As IsOurUpdater, and the install is per-machine: only then may the
// updater run elevated.
inline bool IsOurPerMachineUpdater(const char* updater_path, char* application,
                                   char* updater) {
  return IsOurUpdater(updater_path, application, updater) &&
         !IsPerUserInstall(updater, application);
}

// 0 if the staged copy may run for `application`, else the kHelperExit
// code that refuses it: its SHA-256 is not `digest` (when given), it is
// not signed like the application, or it is older than the application.
inline DWORD CheckStagedCopy(const char* application, const StagedCopy& staged,
                             const unsigned char* digest) {
  if (digest != NULL && memcmp(staged.digest, digest, kDigestSize) != 0)
    return kHelperExitDigestMismatch;
  if (!SignedLikeApplication(application, staged.path))
    return kHelperExitSignerMismatch;
  if (!NoOlderThanApplication(application, staged.path))
    return kHelperExitDowngrade;
  return 0;
}

// Starts the updater.exe beside the application with a checked copy of
// `installer`: on a per-machine install only, with "zvr.exe" beside it,
// the copy staged where no unelevated program can change it, its SHA-256
// equal to `digest` (null: none given, which only a signed application
// may do), for a signed application signed by the same signer, and no
// older than the application. The updater gets the elevated roads'
// environment, with `hand_back_id` ("" for none).
//
// Needs: an elevated process; `updater_path` naming the updater beside
// the application's own exe. Leaves: the updater's handle with the
// caller, its copy staged; or null with a kHelperExit code, the start's
// error or the updater's own open error in GetLastError(), and nothing
// staged.
inline HANDLE StartUpdaterWithCheckedCopy(const char* updater_path,
                                          const char* installer,
                                          const unsigned char* digest,
                                          const char* hand_back_id) {
  char application[MAX_PATH];
  char updater[MAX_PATH];
  if (!IsOurUpdater(updater_path, application, updater)) {
    SetLastError(kHelperExitNotOurUpdater);
    return NULL;
  }
  // Held open from the check to the start, so that neither the updater
  // nor its folder can be renamed or replaced in between.
  UniqueFile held(OpenShuttingOutWriters(updater));
  if (!held.Valid())
    return NULL;
  StagedCopy staged;
  DWORD refused;
  if (IsPerUserInstall(updater, application)) {
    refused = kHelperExitNotOurUpdater;
  } else if (!ApplicationBeside(updater)) {
    refused = kHelperExitNoApplication;
  } else if (digest == NULL && !HasSignature(application)) {
    refused = kHelperExitNoDigest;
  } else if (!StageInstaller(installer, &staged)) {
    refused = kHelperExitStagingFailed;
  } else {
    refused = CheckStagedCopy(application, staged, digest);
    if (refused == 0) {
      // TEMP and TMP name the protected folder: installers unpack their
      // parts there, and the user's own temp folder is open to every
      // program of the user's while the installer runs elevated.
      HANDLE started =
          StartUpdaterWith(updater, staged.path,
                           ElevatedEnvironment(staged.folder, hand_back_id));
      if (started != NULL)
        return started;
      refused = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
    }
    RemoveStagingFolder(staged.folder);
  }
  held.Reset();
  SetLastError(refused);
  return NULL;
}

// The helper's whole road, in the elevated copy of the application.
//
// Needs: an elevated process and a well-formed request. Leaves: no handle
// open. Returns the helper's exit code.
inline int ServeAsHelper(const HelperRequest& request) {
  const UniqueHandle started(
      StartUpdaterWithCheckedCopy(request.updater, request.installer,
                                  request.digest, request.hand_back_id));
  return started.Valid() ? 0 : static_cast<int>(GetLastError());
}

// StartUpdaterElevated's road; `given`: the installer's SHA-256 the
// application passed, or null; `hand_back`: leave the watcher behind and
// send its id, as for an application the user did not elevate.
//
// Needs and leaves: as StartUpdaterElevated.
inline HANDLE AskForHelper(const char* updater_path, const char* installer_path,
                           const unsigned char* given, bool hand_back) {
  DWORD error = CheckHelperPath(updater_path);
  if (error == 0)
    error = CheckHelperPath(installer_path);
  if (error != 0) {
    SetLastError(error);
    return NULL;
  }
  char application[MAX_PATH];
  char updater[MAX_PATH];
  if (!IsOurPerMachineUpdater(updater_path, application, updater)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
  }
  if (!ApplicationBeside(updater)) {
    SetLastError(kHelperExitNoApplication);
    return NULL;
  }
  // An unsigned application has nothing but the digest to tie the prompt
  // to the update it verified: the helper's signer check passes anything.
  if (given == NULL && !HasSignature(application)) {
    SetLastError(kHelperExitNoDigest);
    return NULL;
  }
  unsigned char digest[kDigestSize];
  if (!DigestOfFile(installer_path, digest))
    return NULL;
  if (given != NULL && memcmp(digest, given, kDigestSize) != 0) {
    SetLastError(kHelperExitDigestMismatch);
    return NULL;
  }
  // With an id, the elevated restart never runs on (HandBackIfAsked).
  char hand_back_id[kHandBackIdLength + 1] = "";
  UniqueHandle watcher;
  if (hand_back) {
    if (!RandomHex(kHandBackIdSize, hand_back_id)) {
      SetLastError(ERROR_GEN_FAILURE);
      return NULL;
    }
    watcher.Reset(LeaveWatcherBehind(application, hand_back_id));
  }

  char parameters[kMaxHelperParameters];
  FormatHelperParameters(updater_path, installer_path, digest, hand_back_id,
                         parameters);
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
  BOOL asked = ShellExecuteExA(&info);
  if (asked && info.hProcess == NULL) {  // started, but nothing to hand back
    SetLastError(ERROR_INVALID_HANDLE);
    asked = FALSE;
  }
  if (watcher.Valid()) {
    error = GetLastError();
    if (!asked)  // no update will come for it to wait for
      TerminateProcess(watcher.Get(), /*uExitCode=*/ERROR_CANCELLED);
    watcher.Reset();
    SetLastError(error);
  }
  return asked ? info.hProcess : NULL;
}

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_DETAIL_HELPER_ROAD_H_
