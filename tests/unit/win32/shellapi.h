// Stand-in for <shellapi.h> on the host: the one shell call the caller
// header makes, with the target's names and values. Defined by the fake.
#ifndef UPDATER_TESTS_UNIT_WIN32_SHELLAPI_H_
#define UPDATER_TESTS_UNIT_WIN32_SHELLAPI_H_

#include <windows.h>

#define SEE_MASK_NOCLOSEPROCESS 0x00000040
#define SEE_MASK_NOASYNC 0x00000100
#define SEE_MASK_FLAG_NO_UI 0x00000400

typedef struct _SHELLEXECUTEINFOA {
  DWORD cbSize;
  ULONG fMask;
  HWND hwnd;
  LPCSTR lpVerb;
  LPCSTR lpFile;
  LPCSTR lpParameters;
  LPCSTR lpDirectory;
  int nShow;
  HINSTANCE hInstApp;
  void* lpIDList;
  LPCSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  HANDLE hIcon;
  HANDLE hProcess;
} SHELLEXECUTEINFOA, *LPSHELLEXECUTEINFOA;

extern "C" {

BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo);

}  // extern "C"

#endif  // UPDATER_TESTS_UNIT_WIN32_SHELLAPI_H_
