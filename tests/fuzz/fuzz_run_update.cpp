// Any command line through the whole update sequence, against the fake
// platform answering as the input chooses: the main application holds the
// mutex for some probes or the mutex may not be opened, the installer or
// zvr.exe is missing, or memory runs out for one command. Whatever the
// answers, the run ends with 0 without a crash or a bad access, and either
// does nothing at all (a start under the updater's own name) or probes
// until the mutex is gone, hands the platform the command line whole,
// quoted, with " /silent" after it, waits for an installer that started or
// shows the box for one that did not, and then restarts "zvr.exe".
//
// Input: one byte of choices, then the command line.
//   bits 0-2  probes that find the mutex held (0 to 7)
//   bit 3     every probe is denied (access denied)
//   bit 4     the installer is missing (the program the platform reads
//             from its quoted command: up to its first double quote)
//   bit 5     zvr.exe is missing
//   bits 6-7  the allocation that fails: 1 the installer's command,
//             2 the restart's, else none
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "fake_win32.h"
#include "fuzz_input.h"
#include "updater.h"

namespace {

bool StartsWithOwnNameIgnoringAsciiCase(const std::string& command_line) {
  static const char kName[] = "updater.exe";
  if (command_line.size() < sizeof(kName) - 1)
    return false;
  for (size_t i = 0; i < sizeof(kName) - 1; ++i) {
    char c = command_line[i];
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
    if (c != kName[i])
      return false;
  }
  return true;
}

// How many log lines begin with `prefix`.
size_t Count(const std::vector<std::string>& log, const std::string& prefix) {
  return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
    return line.compare(0, prefix.size(), prefix) == 0;
  });
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FuzzInput input = ReadFuzzInput(data, size);
  const uint8_t choices = input.choices;
  const std::string& command_line = input.text;
  const int held_probes = choices & 7;
  const bool denied = (choices & 8) != 0;
  const bool installer_missing = (choices & 16) != 0;
  const bool zvr_missing = (choices & 32) != 0;
  const int failing_allocation = choices >> 6;

  fake::Reset();
  fake::Win32& platform = fake::Platform();
  platform.SetCommandLine(command_line);
  if (denied)
    platform.DenyMutexes(ERROR_ACCESS_DENIED);
  else if (held_probes > 0)
    platform.HoldMutexUntilSleep("Zelvaro", held_probes);
  const std::string installer = command_line.substr(0, command_line.find('"'));
  if (installer_missing)  // the fake's own paths are UTF-8
    platform.RemoveProgram(fake::Utf8FromAnsi(installer));
  if (zvr_missing)
    platform.RemoveProgram("zvr.exe");
  if (failing_allocation == 1 || failing_allocation == 2)
    platform.FailAllocation(failing_allocation);

  Require(RunUpdate(nullptr, nullptr, nullptr, 1) == 0);

  const std::vector<fake::ProcessStart>& starts = platform.starts();
  const std::vector<std::string>& log = platform.log();
  if (StartsWithOwnNameIgnoringAsciiCase(command_line)) {
    Require(starts.empty() && Count(log, "CreateMutexA(") == 0 &&
            Count(log, "MessageBoxA(") == 0);
    return 0;
  }

  const size_t probes = denied ? 1 : held_probes + 1;
  Require(Count(log, "CreateMutexA(NULL, TRUE, \"Zelvaro\")") == probes);
  Require(Count(log, "Sleep(300)") == probes);
  Require(platform.OpenHandles().size() % 2 == 0);  // no probe's handle

  size_t next = 0;
  bool installer_started = false;
  if (failing_allocation != 1) {
    Require(starts.size() > next &&
            starts[next].command == "\"" + command_line + "\" /silent");
    installer_started = starts[next].created;
    Require(!(installer_missing && installer_started));
    ++next;
  }
  // Exactly one of: the wait for an installer that started, the box.
  Require(Count(log, "WaitForSingleObject(") == (installer_started ? 1u : 0u));
  Require(Count(log, "MessageBoxA(NULL, \"Can't find update file.\", "
                     "\"Update error\", 0x10)") ==
          (installer_started ? 0u : 1u));

  if (failing_allocation == 2) {
    Require(starts.size() == next);
  } else {
    Require(starts.size() == next + 1 &&
            starts[next].command == "\"zvr.exe\" /silent" &&
            starts[next].created ==
                !(zvr_missing || (installer_missing && installer == "zvr.exe")));
    // The restart is the last call, after the wait or the box.
    Require(log.back().compare(0, 35,
                               "CreateProcessA(\"\"zvr.exe\" /silent\")") == 0);
  }
  return 0;
}
