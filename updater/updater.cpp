// updater.exe: the last step of the main application's self-update.
//
// The main application ("zvr.exe") downloads an installer, starts this
// program with the installer's bare path as the whole command line, and
// exits. The updater waits until the application is gone (it holds the
// mutex "Zelvaro" for as long as it runs), runs the installer with "/silent"
// to its end, and starts "zvr.exe /silent" again. An installer that cannot
// be started is the one thing the user is told about; the application is
// restarted all the same, and the exit code is 0 whatever happens.
//
// It exists as a separate program because the application cannot replace
// its own files while it runs. It keeps no state, reads no configuration and
// writes nothing, so that it can be trusted to run with the user's rights.

#include "updater.h"

#include <stddef.h>

#include "dll_search.h"
#include "launch_silent.h"

namespace {

// A command line that begins with the updater's own bare file name did not
// come from the main application (it puts no program name in front), so the
// updater does nothing at all.
const char kOwnFileName[] = "updater.exe";
const char kMutexName[] = "Zelvaro";
const DWORD kProbeIntervalMs = 300;
const char kMainApplication[] = "zvr.exe";
const char kMessage[] = "Can't find update file.";
const char kCaption[] = "Update error";

// Only 'A' to 'Z' fold, whatever the code page: a byte such as 0x0E must not
// pass for '.', nor a lead byte of a double-byte character for a letter.
char FoldAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True if `command_line` begins with the own file name, ASCII letters
// compared without regard to case. Stops at the first mismatch, so a
// shorter command line fails on its NUL and is never read past it.
bool StartsWithOwnFileName(const char* command_line) {
  for (size_t i = 0; i < sizeof(kOwnFileName) - 1; ++i) {
    if (FoldAsciiLetter(command_line[i]) != kOwnFileName[i])
      return false;
  }
  return true;
}

}  // namespace

void WaitForMainExit() {
  DWORD probe_error;
  do {
    // Opening the mutex with initial ownership creates it when it is gone;
    // the error of this very call says which happened, so nothing may come
    // between the two.
    HANDLE probe = CreateMutexA(/*lpMutexAttributes=*/NULL,
                                /*bInitialOwner=*/TRUE, kMutexName);
    probe_error = GetLastError();
    CloseHandle(probe);
    Sleep(kProbeIntervalMs);
  } while (probe_error == ERROR_ALREADY_EXISTS);
}

int WINAPI RunUpdate(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/,
                     LPSTR /*command_tail*/, int /*show_command*/) {
  RestrictDllSearch();

  if (StartsWithOwnFileName(GetCommandLineA()))
    return 0;

  WaitForMainExit();

  HANDLE installer = LaunchSilent(GetCommandLineA());
  if (installer != NULL) {
    // The installer's outcome is not ours to judge: whatever it did, the
    // application is restarted.
    WaitForSingleObject(installer, INFINITE);
  } else {
    MessageBoxA(/*hWnd=*/NULL, kMessage, kCaption, MB_ICONERROR);
  }

  LaunchSilent(kMainApplication);
  return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance,
                   LPSTR command_tail, int show_command) {
  return RunUpdate(instance, previous_instance, command_tail, show_command);
}
