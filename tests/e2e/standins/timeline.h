// One line per event, appended by every stand-in process to the file named
// by %UPDATER_E2E_LOG% (the updater passes its environment on), so that
// the tests and the demo read one timeline of the whole update:
//   <microseconds>\t<process>\t<pid>\t<event>\t<detail>
// The clock is the performance counter, which all processes share.
#ifndef UPDATER_TESTS_E2E_STANDINS_TIMELINE_H_
#define UPDATER_TESTS_E2E_STANDINS_TIMELINE_H_

#include <windows.h>

#include <stdio.h>
#include <string.h>

inline void LogEvent(const char* process, const char* event,
                     const char* detail) {
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("UPDATER_E2E_LOG", path, sizeof(path)) == 0)
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
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA,
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

// The value of environment variable `name` as a number, or `fallback`.
inline long EnvNumber(const char* name, long fallback) {
  char value[32];
  if (GetEnvironmentVariableA(name, value, sizeof(value)) == 0)
    return fallback;
  return strtol(value, NULL, 10);
}

#endif  // UPDATER_TESTS_E2E_STANDINS_TIMELINE_H_
