// An application that adopts the caller kit: the few lines the README's
// quick start shows, built as an application builds them (see
// CMakeLists.txt beside this file).
#include <windows.h>

#include <updater_caller/updater_caller.h>

// The SHA-256 of the installer, as the application's verified update
// manifest gives it (installer_sha256).
static const char kInstallerSha256[] =
    "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/,
                   LPSTR /*command_line*/, int /*show*/) {
  int kit_exit_code = 0;
  if (updater_caller::RunAsHelperIfAsked(&kit_exit_code))
    return kit_exit_code;  // first thing: the exe may be the kit's helper
  HANDLE running = updater_caller::HoldRunningMutex();
  // ... the application's life; an installer has been downloaded, to a
  // path the application holds in UTF-16 ...
  HANDLE updater = updater_caller::StartUpdater(
      L"C:\\Program Files\\Zelvaro\\updater.exe",
      L"C:\\Users\\me\\AppData\\Local\\Temp\\zvr-2.0-setup.exe",
      kInstallerSha256);
  if (updater != NULL)
    CloseHandle(updater);
  if (running != NULL)
    CloseHandle(running);
  return 0;
}
