// The Win32 helpers the kit's other headers share: strings and paths as
// the file system compares them, random names nobody can guess, the
// process's environment read and written, security descriptors from SDDL,
// programs started with nothing inherited, and files found by a pattern
// deleted. Each is small and says what it leaves open; none holds state.
#ifndef UPDATER_CALLER_DETAIL_WIN32_HELPERS_H_
#define UPDATER_CALLER_DETAIL_WIN32_HELPERS_H_

#include <windows.h>
#include <sddl.h>
#include <wincrypt.h>

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <updater_caller/detail/handles.h>

namespace updater_caller {
namespace internal {

// Joins `first`, `second` and `third` into `out` (`size` bytes); `first`
// may be `out` itself. Returns false, with `out` empty, if they do not
// fit.
inline bool Join(char* out, size_t size, const char* first, const char* second,
                 const char* third = "") {
  const size_t a = strlen(first);
  const size_t b = strlen(second);
  const size_t c = strlen(third);
  if (a + b + c >= size) {
    if (size > 0)
      out[0] = '\0';
    return false;
  }
  memmove(out, first, a);
  memcpy(out + a, second, b);
  memcpy(out + a + b, third, c + 1);
  return true;
}

// Where the last path component of `path` begins (after the last '\' or
// '/'), or `path` itself when it has no folder.
inline const char* FileNameOf(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/')
      name = p + 1;
  }
  return name;
}

// Compares two paths with the ASCII letters folded, the way the file
// system compares names; other bytes must be equal.
inline bool SamePath(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a;
    char y = *b;
    if (x >= 'A' && x <= 'Z')
      x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = static_cast<char>(y - 'A' + 'a');
    if (x != y)
      return false;
    if (x == '\0')
      return true;
  }
}

// Writes `count` bytes as 2 * `count` lowercase hex digits and a NUL.
inline void HexDigits(const unsigned char* bytes, size_t count, char* text) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  text[2 * count] = '\0';
}

// Fills `text` with 2 * `count` random lowercase hex digits and a NUL
// (`count` at most 32), from the system's cryptographic generator, so that
// nobody can name the result in advance. False if the generator failed.
inline bool RandomHex(size_t count, char* text) {
  unsigned char bytes[32];
  if (count > sizeof(bytes))
    return false;
  HCRYPTPROV acquired;
  if (!CryptAcquireContextA(&acquired, /*szContainer=*/NULL,
                            /*szProvider=*/NULL, PROV_RSA_AES,
                            CRYPT_VERIFYCONTEXT))
    return false;
  UniqueCryptProvider provider(acquired);
  const BOOL made =
      CryptGenRandom(provider.Get(), static_cast<DWORD>(count), bytes);
  provider.Reset();
  if (!made)
    return false;
  HexDigits(bytes, count, text);
  return true;
}

// Writes the folder of `path`, with its trailing backslash, into `folder`
// (MAX_PATH bytes). False if `path` names no folder or it does not fit.
inline bool FolderOf(const char* path, char* folder) {
  const size_t length = static_cast<size_t>(FileNameOf(path) - path);
  if (length == 0 || length >= MAX_PATH)
    return false;
  memcpy(folder, path, length);
  folder[length] = '\0';
  return true;
}

// Fills `attributes` (not inherited) with the security descriptor `sddl`
// describes. False if it does not parse.
//
// Needs: nothing. Leaves: the descriptor for the caller to LocalFree
// (attributes->lpSecurityDescriptor).
inline bool AttributesFromSddl(const char* sddl,
                               SECURITY_ATTRIBUTES* attributes) {
  attributes->nLength = sizeof(*attributes);
  attributes->lpSecurityDescriptor = NULL;
  attributes->bInheritHandle = FALSE;
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(
             sddl, SDDL_REVISION_1, &attributes->lpSecurityDescriptor,
             /*SecurityDescriptorSize=*/NULL) != FALSE;
}

// The value of the environment variable `name` in a buffer the caller
// frees, or null when it is unset or empty (or memory ran out).
inline char* ReadVariable(const char* name) {
  const DWORD size = GetEnvironmentVariableA(name, /*lpBuffer=*/NULL, 0);
  if (size == 0)
    return NULL;
  UniqueMemory<char> value(static_cast<char*>(malloc(size)));
  if (!value.Valid())
    return NULL;
  const DWORD length = GetEnvironmentVariableA(name, value.Get(), size);
  if (length == 0 || length >= size)
    return NULL;
  value.Get()[length] = '\0';
  return value.Release();
}

// Sets `name` to `value` (null removes it); an empty value removes it too,
// since the platform's own environment cannot tell the two apart.
inline void WriteVariable(const char* name, const char* value) {
  SetEnvironmentVariableA(name,
                          value != NULL && value[0] != '\0' ? value : NULL);
}

// True if this process runs with an elevated token.
inline bool IsElevated() {
  HANDLE opened;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))
    return false;
  const UniqueHandle token(opened);
  TOKEN_ELEVATION elevation;
  DWORD size = 0;
  return GetTokenInformation(token.Get(), TokenElevation, &elevation,
                             sizeof(elevation), &size) &&
         elevation.TokenIsElevated != 0;
}

// The full path of this process's own exe into `path` (MAX_PATH bytes).
// False, with the cause in GetLastError(), if it could not be had whole.
inline bool OwnExePath(char* path) {
  const DWORD length = GetModuleFileNameA(/*hModule=*/NULL, path, MAX_PATH);
  if (length == 0)
    return false;
  if (length >= MAX_PATH) {  // cut short
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

// Starts `program` with `command_line` (copied: the platform may write into
// it), `current_directory` (null: this process's) and the UTF-16
// `environment` block (null: this process's), no handle inherited.
//
// Needs: nothing. Leaves: the process's handle with the caller, its
// thread's closed; or null with the cause in GetLastError().
inline HANDLE StartProgram(const char* program, const char* command_line,
                           const char* current_directory,
                           const wchar_t* environment = NULL) {
  const size_t size = strlen(command_line) + 1;
  UniqueMemory<char> writable(static_cast<char*>(malloc(size)));
  if (!writable.Valid()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  memcpy(writable.Get(), command_line, size);
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  const BOOL started = CreateProcessA(
      program, writable.Get(), /*lpProcessAttributes=*/NULL,
      /*lpThreadAttributes=*/NULL, /*bInheritHandles=*/FALSE,
      /*dwCreationFlags=*/environment != NULL ? CREATE_UNICODE_ENVIRONMENT : 0,
      /*lpEnvironment=*/const_cast<wchar_t*>(environment), current_directory,
      &startup, &process);
  const DWORD error = GetLastError();
  writable.Reset();
  if (!started) {
    SetLastError(error);  // the cause, whatever free() did to it
    return NULL;
  }
  const UniqueHandle thread(process.hThread);
  return process.hProcess;
}

// Calls `visit` with each entry `pattern` finds, in the order the search
// gives them.
//
// Needs: nothing. Leaves: no handle open.
template <typename Visit>
void ForEachFound(const char* pattern, Visit visit) {
  WIN32_FIND_DATAA found;
  const UniqueFind find(FindFirstFileA(pattern, &found));
  if (!find.Valid())
    return;
  do {
    visit(found);
  } while (FindNextFileA(find.Get(), &found));
}

// Deletes the files `pattern` (a folder, a backslash and a name with
// wildcards) finds in its folder; folders, and files in use, stay.
//
// Needs: nothing. Leaves: no handle open.
inline void DeleteFilesFound(const char* pattern) {
  char folder[MAX_PATH];
  if (!FolderOf(pattern, folder))
    return;
  ForEachFound(pattern, [&folder](const WIN32_FIND_DATAA& found) {
    char path[MAX_PATH];
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        Join(path, MAX_PATH, folder, found.cFileName))
      DeleteFileA(path);
  });
}

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_DETAIL_WIN32_HELPERS_H_
