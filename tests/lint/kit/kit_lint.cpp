// The caller kit in an application, as the README shows it: every public
// call used, so that the compiler generates each and all it calls (the
// warnings that need code generation are seen too), and the link proves
// that the libraries the README names are enough.
#include <windows.h>

#include <updater_caller/updater_caller.h>

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/,
                   LPSTR /*command_line*/, int /*show*/) {
  int helper_exit_code = 0;
  if (updater_caller::RunAsHelperIfAsked(&helper_exit_code))
    return helper_exit_code;
  HANDLE running = updater_caller::HoldRunningMutex();
  const char updater[] = "C:\\Program Files\\Zelvaro\\updater.exe";
  const char installer[] = "C:\\Users\\me\\Downloads\\zvr-2.0-setup.exe";
  HANDLE started = updater_caller::StartUpdater(updater, installer);
  if (started == NULL)
    started = updater_caller::StartUpdaterElevated(updater, installer);
  if (started != NULL)
    CloseHandle(started);
  if (running != NULL)
    CloseHandle(running);
  OutputDebugStringA(updater_caller::kRunningMutexName);
  return 0;
}
