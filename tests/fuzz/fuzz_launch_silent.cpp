// Any target through the silent launcher, against the fake platform: the
// command the platform receives is always a double quote, the target, a
// double quote and " /silent", whole, with no access past any buffer; the
// handle comes back exactly when the platform started the program.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "fake_win32.h"
#include "launch_silent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The target is a C string: it ends at its first NUL.
  std::string target(reinterpret_cast<const char*>(data), size);
  target.resize(target.find('\0') == std::string::npos ? target.size()
                                                        : target.find('\0'));
  fake::Reset();

  HANDLE process = LaunchSilent(target.c_str());

  const std::vector<fake::ProcessStart>& starts = fake::Platform().starts();
  if (starts.size() != 1 || starts[0].command != "\"" + target + "\" /silent")
    abort();
  const bool started = !fake::Platform().OpenHandles().empty();
  if ((process != nullptr) != started)
    abort();
  return 0;
}
