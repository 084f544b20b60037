// Planted in the updater's folder under the name of a DLL that the error
// box loads, as an attacker with write access to that folder would. If any
// process loads it, it appends that process's path to "<its own path>.loaded"
// and refuses to stay loaded, so the system's own DLL is used after all.
#include <windows.h>

#include <string.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID /*reserved*/) {
  if (reason != DLL_PROCESS_ATTACH)
    return TRUE;
  char marker[MAX_PATH + 8] = "";
  char process[MAX_PATH + 2] = "";
  GetModuleFileNameA(self, marker, MAX_PATH);
  strcat(marker, ".loaded");
  GetModuleFileNameA(NULL, process, MAX_PATH);
  strcat(process, "\n");
  HANDLE file = CreateFileA(marker, FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written;
    WriteFile(file, process, static_cast<DWORD>(strlen(process)), &written,
              NULL);
    CloseHandle(file);
  }
  return FALSE;
}
