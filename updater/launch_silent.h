// Starts one program with the switch "/silent"; the only place the updater
// creates a process or builds a command line.
#ifndef UPDATER_LAUNCH_SILENT_H_
#define UPDATER_LAUNCH_SILENT_H_

#include <windows.h>

// Starts `target` (a NUL-terminated path or bare file name, taken byte for
// byte) as the command line: a double quote, the target, a double quote,
// a space and "/silent". The quotes make a target with spaces name one
// program; a bare name is found by the platform's search for executables.
//
// Needs: nothing but `target`. Leaves: on success, the process handle with
// the caller and the thread handle open until the updater exits; on any
// failure (no such file, not an executable, no memory for the command),
// null and no handle open. Shows nothing and reads no error code.
HANDLE LaunchSilent(const char* target);

#endif  // UPDATER_LAUNCH_SILENT_H_
