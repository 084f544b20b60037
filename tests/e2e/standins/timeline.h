// One line per event, appended by every stand-in process to the file named
// by the setting UPDATER_E2E_LOG, so that the tests and the demo read one
// timeline of the whole update:
//   <microseconds>\t<process>\t<pid>\t<event>\t<detail>
// The clock is the performance counter, which all processes share.
//
// A setting comes from the environment, or else from C:\stand-ins.txt
// ("NAME=value" lines), which the harness writes for each case: on the
// elevated roads the kit gives the updater, and so the installer and the
// restarted application, an environment made from the system alone. Its
// value is UTF-8 either way (the harness writes the file in UTF-8, the
// environment is read in UTF-16), so that a path with letters outside the
// ANSI code page reaches the stand-in whole: open it through Wide().
#ifndef UPDATER_TESTS_E2E_STANDINS_TIMELINE_H_
#define UPDATER_TESTS_E2E_STANDINS_TIMELINE_H_

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char kSettingsFile[] = "C:\\stand-ins.txt";

// The UTF-8 `text` in UTF-16 into `wide` (`size` characters); false if it
// does not fit.
inline bool Wide(const char* text, wchar_t* wide, int size) {
  return MultiByteToWideChar(CP_UTF8, /*dwFlags=*/0, text, /*cbMultiByte=*/-1,
                             wide, size) > 0;
}

// The setting `name` (ASCII) into `value` (`size` bytes, UTF-8); false if
// it is not set or does not fit.
inline bool Setting(const char* name, char* value, DWORD size) {
  wchar_t wide_name[64];
  static wchar_t wide[16384];
  if (!Wide(name, wide_name, 64))
    return false;
  const DWORD length = GetEnvironmentVariableW(wide_name, wide, 16384);
  if (length > 0)
    return length < 16384 &&
           WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, wide,
                               /*cchWideChar=*/-1, value,
                               static_cast<int>(size), /*lpDefaultChar=*/NULL,
                               /*lpUsedDefaultChar=*/NULL) > 0;
  static char text[16384];
  HANDLE file = CreateFileA(kSettingsFile, GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD read = 0;
  const BOOL done = ReadFile(file, text, sizeof(text) - 1, &read, NULL);
  CloseHandle(file);
  if (!done)
    return false;
  text[read] = '\0';
  const size_t name_length = strlen(name);
  for (char* line = text; *line != '\0';) {
    char* end = strchr(line, '\n');
    if (end != NULL)
      *end = '\0';
    if (strncmp(line, name, name_length) == 0 && line[name_length] == '=') {
      const char* found = line + name_length + 1;
      if (strlen(found) >= size)
        return false;
      strcpy(value, found);
      return true;
    }
    if (end == NULL)
      break;
    line = end + 1;
  }
  return false;
}

inline void LogEvent(const char* process, const char* event,
                     const char* detail) {
  char path[4 * MAX_PATH];
  wchar_t wide_path[MAX_PATH];
  if (!Setting("UPDATER_E2E_LOG", path, sizeof(path)) ||
      !Wide(path, wide_path, MAX_PATH))
    return;
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  const long long micros =
      now.QuadPart / frequency.QuadPart * 1000000 +
      now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;

  static char line[40000];
  const int length = snprintf(line, sizeof(line), "%lld\t%s\t%lu\t%s\t%s\n",
                              micros, process, GetCurrentProcessId(), event,
                              detail ? detail : "");
  // Appending in one write keeps concurrent writers' lines whole.
  HANDLE file = CreateFileW(wide_path, FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return;
  DWORD written;
  WriteFile(file, line,
            static_cast<DWORD>(length < static_cast<int>(sizeof(line))
                                   ? length
                                   : sizeof(line) - 1),
            &written, NULL);
  CloseHandle(file);
}

// The setting `name` as a number, or `fallback`.
inline long EnvNumber(const char* name, long fallback) {
  char value[32];
  if (!Setting(name, value, sizeof(value)))
    return fallback;
  return strtol(value, NULL, 10);
}

#endif  // UPDATER_TESTS_E2E_STANDINS_TIMELINE_H_
