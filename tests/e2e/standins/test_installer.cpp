// Stand-in for an update installer. Logs its start with its command line,
// the path of its own exe as the system gave it (in UTF-8, every letter
// kept) and its long form, the ANSI code page it runs in, and the
// compatibility layer, PATH and ComSpec it inherited, then does
// what the case asks through its settings (timeline.h): INSTALLER_REMOVE
// names a file to delete first (an installer that takes the old exe
// away); INSTALLER_INSTALL="SOURCE|TARGET" copies SOURCE over TARGET (the
// new version over the application's exe) as an installer does; then it
// sleeps INSTALLER_SLEEP_MS ms, and exits with INSTALLER_EXIT_CODE or, with
// INSTALLER_CRASH=1, crashes on an access violation. Built a second time
// as "impostor", the file a case swaps in where the genuine installer was:
// the timeline shows whether it ever ran.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "timeline.h"

#ifndef INSTALLER_PROCESS
#define INSTALLER_PROCESS "installer"
#endif

static const char kProcess[] = INSTALLER_PROCESS;

// Copies SOURCE over TARGET, as "SOURCE|TARGET" names them, and logs
// "installed TARGET" or "install-failed <error>". The application that
// started the update may still be ending, as with a real installer: tries
// again for up to 5 seconds while its exe is in use.
void Install(const char* what) {
  char source[4 * MAX_PATH];
  const char* bar = strchr(what, '|');
  if (bar == NULL || static_cast<size_t>(bar - what) >= sizeof(source))
    return;
  memcpy(source, what, static_cast<size_t>(bar - what));
  source[bar - what] = '\0';
  const char* target = bar + 1;
  wchar_t wide_source[MAX_PATH];
  wchar_t wide_target[MAX_PATH];
  if (!Wide(source, wide_source, MAX_PATH) ||
      !Wide(target, wide_target, MAX_PATH))
    return;
  DWORD error = 0;
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (CopyFileW(wide_source, wide_target, /*bFailIfExists=*/FALSE)) {
      LogEvent(kProcess, "installed", target);
      return;
    }
    error = GetLastError();
    Sleep(100);
  }
  char detail[16];
  snprintf(detail, sizeof(detail), "%lu", error);
  LogEvent(kProcess, "install-failed", detail);
}

// `text` in UTF-8 under `event`: the timeline's other lines are ANSI, in
// which a letter outside the code page would be a "?".
void LogUtf8(const char* event, const wchar_t* text) {
  char utf8[4 * MAX_PATH];
  if (WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text, /*cchWideChar=*/-1,
                          utf8, sizeof(utf8), /*lpDefaultChar=*/NULL,
                          /*lpUsedDefaultChar=*/NULL) <= 0)
    snprintf(utf8, sizeof(utf8), "(no UTF-8 form)");
  LogEvent(kProcess, event, utf8);
}

int main() {
  LogEvent(kProcess, "start", GetCommandLineA());
  // Its own path as the system gives it: a program started by a short
  // (8.3) path may see that one; the long form names the file either way.
  wchar_t own[MAX_PATH];
  const DWORD own_length = GetModuleFileNameW(NULL, own, MAX_PATH);
  if (own_length > 0 && own_length < MAX_PATH) {
    LogUtf8("own-path", own);
    wchar_t long_form[MAX_PATH];
    const DWORD long_length = GetLongPathNameW(own, long_form, MAX_PATH);
    if (long_length > 0 && long_length < MAX_PATH)
      LogUtf8("own-long-path", long_form);
  }
  char code_page[16];
  snprintf(code_page, sizeof(code_page), "%u", GetACP());
  LogEvent(kProcess, "code-page", code_page);
  char layer[256] = "unset";
  GetEnvironmentVariableA("__COMPAT_LAYER", layer, sizeof(layer));
  LogEvent(kProcess, "compat-layer", layer);
  // Where a program named bare would be looked for, and the shell.
  char value[1024] = "unset";
  GetEnvironmentVariableA("PATH", value, sizeof(value));
  LogEvent(kProcess, "path", value);
  strcpy(value, "unset");
  GetEnvironmentVariableA("ComSpec", value, sizeof(value));
  LogEvent(kProcess, "comspec", value);
  // An installer that takes the application's exe away.
  char remove[4 * MAX_PATH];
  wchar_t wide_remove[MAX_PATH];
  if (Setting("INSTALLER_REMOVE", remove, sizeof(remove)) &&
      Wide(remove, wide_remove, MAX_PATH) && DeleteFileW(wide_remove))
    LogEvent(kProcess, "removed", remove);
  char install[8 * MAX_PATH + 2];
  if (Setting("INSTALLER_INSTALL", install, sizeof(install)))
    Install(install);
  Sleep(static_cast<DWORD>(EnvNumber("INSTALLER_SLEEP_MS", 0)));
  if (EnvNumber("INSTALLER_CRASH", 0) == 1) {
    LogEvent(kProcess, "crash", "");
    // No crash dialog: the crash itself is the case, not the debugger.
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    *static_cast<volatile int*>(NULL) = 1;
  }
  const long code = EnvNumber("INSTALLER_EXIT_CODE", 0);
  char detail[16];
  snprintf(detail, sizeof(detail), "%ld", code);
  LogEvent(kProcess, "end", detail);
  return static_cast<int>(code);
}
