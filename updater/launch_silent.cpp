#include "launch_silent.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kSwitch[] = "\" /silent";  // closing quote, space, switch

}  // namespace

HANDLE LaunchSilent(const char* target) {
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));

  // The command is sized to the target rather than to MAX_PATH: a path of
  // 250 characters or more still names a file Windows can start, and a
  // command cut short would run the installer with a cut switch, that is
  // not silently. Whether a long command is acceptable is the platform's
  // call; it refuses one past its own limit, which reaches the caller as
  // any failed start does.
  const size_t target_length = strlen(target);
  if (target_length > SIZE_MAX - 1 - sizeof(kSwitch))
    return NULL;
  // Opening quote, target, then kSwitch with its NUL.
  char* command =
      static_cast<char*>(malloc(1 + target_length + sizeof(kSwitch)));
  if (command == NULL)
    return NULL;
  command[0] = '"';
  memcpy(command + 1, target, target_length);
  memcpy(command + 1 + target_length, kSwitch, sizeof(kSwitch));

  // The command buffer must be writable: CreateProcessA may change it.
  const BOOL started = CreateProcessA(/*lpApplicationName=*/NULL, command,
                                      /*lpProcessAttributes=*/NULL,
                                      /*lpThreadAttributes=*/NULL,
                                      /*bInheritHandles=*/FALSE,
                                      /*dwCreationFlags=*/0,
                                      /*lpEnvironment=*/NULL,
                                      /*lpCurrentDirectory=*/NULL, &startup,
                                      &process);
  free(command);
  return started ? process.hProcess : NULL;
}
