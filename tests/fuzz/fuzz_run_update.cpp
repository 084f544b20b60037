// Any command line through the whole update sequence, against the fake
// platform: the run must end with 0, without a crash or a bad access, and
// either do nothing (a start under the updater's own name) or hand the
// platform the command line whole, quoted, with " /silent" after it, and
// then restart "zvr.exe" the same way.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "fake_win32.h"
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

void Require(bool condition) {
  if (!condition)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A process's command line ends at its first NUL.
  std::string command_line(reinterpret_cast<const char*>(data), size);
  command_line.resize(command_line.find('\0') == std::string::npos
                          ? command_line.size()
                          : command_line.find('\0'));
  fake::Reset();
  fake::Platform().SetCommandLine(command_line);

  Require(RunUpdate(nullptr, nullptr, nullptr, 1) == 0);

  const std::vector<fake::ProcessStart>& starts = fake::Platform().starts();
  if (StartsWithOwnNameIgnoringAsciiCase(command_line)) {
    Require(starts.empty());
  } else {
    Require(starts.size() == 2);
    Require(starts[0].command == "\"" + command_line + "\" /silent");
    Require(starts[1].command == "\"zvr.exe\" /silent");
  }
  return 0;
}
