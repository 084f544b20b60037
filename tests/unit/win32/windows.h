// Stand-in for <windows.h> on the host: just the declarations the updater
// uses, with the 32-bit target's names and values. The definitions behind
// them are the fake in fake_win32.cpp, so the product sources compile
// unchanged and meet the fake at link time.
#ifndef UPDATER_TESTS_UNIT_WIN32_WINDOWS_H_
#define UPDATER_TESTS_UNIT_WIN32_WINDOWS_H_

#include <stddef.h>
#include <stdint.h>

#define WINAPI

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef unsigned long ULONG;
typedef BYTE* LPBYTE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef void* HANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HMODULE;
typedef struct HKEY__* HKEY;
typedef int(WINAPI* FARPROC)(void);

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_FAILED 0xFFFFFFFF
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BAD_ARGUMENTS 160L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_ELEVATION_REQUIRED 740L
#define ERROR_CANCELLED 1223L
#define SW_SHOWNORMAL 1
#define MB_ICONERROR 0x00000010L
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define IDOK 1

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

extern "C" {

LPSTR WINAPI GetCommandLineA(void);
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes,
                           BOOL bInitialOwner, LPCSTR lpName);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);
BOOL WINAPI CloseHandle(HANDLE hObject);
void WINAPI Sleep(DWORD dwMilliseconds);
BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes,
                           BOOL bInheritHandles, DWORD dwCreationFlags,
                           LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption,
                       UINT uType);
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName);
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename,
                                DWORD nSize);

}  // extern "C"

#endif  // UPDATER_TESTS_UNIT_WIN32_WINDOWS_H_
