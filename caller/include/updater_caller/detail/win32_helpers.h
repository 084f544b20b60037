// The Win32 helpers the kit's other headers share: strings and paths as
// the file system compares them, paths in the form the ANSI code page can
// carry, random names nobody can guess, the process's environment read
// and written, security descriptors from SDDL, programs started by their
// UTF-16 paths with nothing inherited, and files found by a pattern
// deleted. Each is small and says what it leaves open; none holds state.
#ifndef UPDATER_CALLER_DETAIL_WIN32_HELPERS_H_
#define UPDATER_CALLER_DETAIL_WIN32_HELPERS_H_

#include <windows.h>
#include <sddl.h>
#include <winreg.h>
#include <wincrypt.h>

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

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

// Where the last path component of `path` (ANSI or UTF-16) begins (after
// the last '\' or '/'), or `path` itself when it has no folder.
template <typename Char>
const Char* FileNameOf(const Char* path) {
  const Char* name = path;
  for (const Char* p = path; *p != 0; ++p) {
    if (*p == '\\' || *p == '/')
      name = p + 1;
  }
  return name;
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

// Converts `text` to `code_page` into `out` (`size` bytes), if every
// character has a form of its own there: no best fit ("\u0100" is not
// "A"), no default character ("?"). UTF-8 has a form for every character,
// and the platform takes neither flag for it.
inline bool ConvertsExactly(UINT code_page, const wchar_t* text, char* out,
                            int size) {
  BOOL used_default = FALSE;
  const bool utf8 = code_page == CP_UTF8;
  const int written = WideCharToMultiByte(
      code_page, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, text,
      /*cchWideChar=*/-1, out, size, /*lpDefaultChar=*/NULL,
      utf8 ? NULL : &used_default);
  return written > 0 && !used_default;
}

// The code page the updater reads its command line in: the system's ANSI
// code page, since it has no manifest to choose another. This process's
// own may differ (an application's manifest may choose UTF-8, or since
// Windows 11 any code page), and a text exact in one could reach the
// updater as a best-fit look-alike ("\uFF3C" as "\\"). 0 when it cannot
// be read.
inline UINT UpdaterCodePage() {
  wchar_t text[16];
  DWORD size = sizeof(text);
  if (RegGetValueW(HKEY_LOCAL_MACHINE,
                   L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", L"ACP",
                   RRF_RT_REG_SZ, /*pdwType=*/NULL, text,
                   &size) != ERROR_SUCCESS)
    return 0;
  UINT code_page = 0;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    if (*p < L'0' || *p > L'9' || code_page > 100000)
      return 0;
    code_page = code_page * 10 + static_cast<UINT>(*p - L'0');
  }
  return code_page;
}

// True if `text` is ASCII, which every ANSI code page holds as it is.
inline bool IsAscii(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80)
      return false;
  }
  return true;
}

// Converts `text` (at most MAX_PATH characters) to this process's ANSI
// code page into `ansi` (`size` bytes), if it is exact there, for the
// kit's own ANSI calls, and exact in the updater's code page too. Where
// that cannot be read, only ASCII.
inline bool ConvertsToAnsi(const wchar_t* text, char* ansi, int size) {
  if (!ConvertsExactly(GetACP(), text, ansi, size))
    return false;
  if (IsAscii(ansi))
    return true;
  const UINT updater = UpdaterCodePage();
  char scratch[4 * MAX_PATH];
  return updater != 0 && ConvertsExactly(updater, text, scratch,
                                         static_cast<int>(sizeof(scratch)));
}

// The form of the UTF-16 `path` the updater and the kit's ANSI calls can
// read, into `ansi` (MAX_PATH bytes): the path itself when it converts
// (ConvertsToAnsi), else its short (8.3) form when that does. The updater
// reads its command line in the ANSI code page: a path with a character
// outside it would reach it with a "?" in its place. False, with
// ERROR_NO_UNICODE_TRANSLATION, when neither converts (the file does not
// exist, or its volume keeps no short names), or ERROR_FILENAME_EXCED_RANGE
// for a path of MAX_PATH characters or more.
inline bool AnsiForm(const wchar_t* path, char* ansi) {
  if (wcslen(path) >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (ConvertsToAnsi(path, ansi, MAX_PATH))
    return true;
  wchar_t short_form[MAX_PATH];
  const DWORD length = GetShortPathNameW(path, short_form, MAX_PATH);
  if (length > 0 && length < MAX_PATH &&
      ConvertsToAnsi(short_form, ansi, MAX_PATH))
    return true;
  ansi[0] = '\0';
  SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  return false;
}

// The UTF-16 path the ANSI `path` names, into `wide` (MAX_PATH
// characters), its short components expanded where the file exists: the
// name the file system gives it, and the one a program started by it
// sees as its own. False if it does not fit.
inline bool LongWidePath(const char* path, wchar_t* wide) {
  if (MultiByteToWideChar(CP_ACP, /*dwFlags=*/0, path, /*cbMultiByte=*/-1, wide,
                          MAX_PATH) <= 0)
    return false;
  wchar_t long_form[MAX_PATH];
  const DWORD length = GetLongPathNameW(wide, long_form, MAX_PATH);
  if (length > 0 && length < MAX_PATH)
    memcpy(wide, long_form, (length + 1) * sizeof(wchar_t));
  return true;
}

// True if the paths `a` and `b` name the same file: compared as UTF-16,
// short components expanded, case folded as the file system folds it.
// Their ANSI forms cannot tell: one may be short and the other long, and
// the ANSI calls put a "?" for each character without an ANSI form.
inline bool SamePath(const char* a, const char* b) {
  wchar_t first[MAX_PATH];
  wchar_t second[MAX_PATH];
  return LongWidePath(a, first) && LongWidePath(b, second) &&
         CompareStringOrdinal(first, /*cchCount1=*/-1, second,
                              /*cchCount2=*/-1,
                              /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

// This process's own exe, in its ANSI form (AnsiForm), into `path`
// (MAX_PATH bytes): GetModuleFileNameA would put a "?" for each character
// without an ANSI form, naming no file. False, with the cause in
// GetLastError(), if it could not be had whole.
inline bool OwnExePath(char* path) {
  wchar_t wide[MAX_PATH];
  const DWORD length = GetModuleFileNameW(/*hModule=*/NULL, wide, MAX_PATH);
  if (length == 0)
    return false;
  if (length >= MAX_PATH) {  // cut short
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return AnsiForm(wide, path);
}

// Starts `program` with `command_line`, `current_directory` (null: this
// process's) and the UTF-16 `environment` block (null: this process's),
// no handle inherited. The program and its folder go in through the wide
// call, their short components expanded: a program started by a short or
// "?"-ridden name sees that name as its own. The command line goes in as
// the ANSI text the program reads back.
//
// Needs: nothing. Leaves: the process's handle with the caller, its
// thread's closed; or null with the cause in GetLastError().
inline HANDLE StartProgram(const char* program, const char* command_line,
                           const char* current_directory,
                           const wchar_t* environment = NULL) {
  wchar_t program_path[MAX_PATH];
  wchar_t folder[MAX_PATH];
  const int size = MultiByteToWideChar(CP_ACP, /*dwFlags=*/0, command_line,
                                       /*cbMultiByte=*/-1, NULL, 0);
  if (!LongWidePath(program, program_path) ||
      (current_directory != NULL && !LongWidePath(current_directory, folder)) ||
      size <= 0) {
    SetLastError(ERROR_INVALID_NAME);
    return NULL;
  }
  // Its own copy: the platform may write into it.
  UniqueMemory<wchar_t> writable(static_cast<wchar_t*>(
      malloc(static_cast<size_t>(size) * sizeof(wchar_t))));
  if (!writable.Valid()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  MultiByteToWideChar(CP_ACP, /*dwFlags=*/0, command_line, /*cbMultiByte=*/-1,
                      writable.Get(), size);
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  const BOOL started = CreateProcessW(
      program_path, writable.Get(), /*lpProcessAttributes=*/NULL,
      /*lpThreadAttributes=*/NULL, /*bInheritHandles=*/FALSE,
      /*dwCreationFlags=*/environment != NULL ? CREATE_UNICODE_ENVIRONMENT : 0,
      /*lpEnvironment=*/const_cast<wchar_t*>(environment),
      current_directory != NULL ? folder : NULL, &startup, &process);
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
