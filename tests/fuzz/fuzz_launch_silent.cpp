// Any target through the silent launcher, against the fake platform
// answering as the input chooses: the command the platform receives is
// always a double quote, the target, a double quote and " /silent", whole,
// with no access past any buffer; a handle comes back exactly when the
// platform started the program, and a failed start leaves no handle open.
//
// Input: one byte of choices, then the target.
//   bit 0  the target is missing (the program the platform reads from the
//          quoted command: up to the target's first double quote)
//   bit 1  no memory for the command
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "fake_win32.h"
#include "fuzz_input.h"
#include "launch_silent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FuzzInput input = ReadFuzzInput(data, size);
  const uint8_t choices = input.choices;
  const std::string& target = input.text;
  fake::Reset();
  if (choices & 1)
    fake::Platform().RemoveProgram(
        fake::Utf8FromAnsi(target.substr(0, target.find('"'))));
  if (choices & 2)
    fake::Platform().FailAllocation(1);

  HANDLE process = LaunchSilent(target.c_str());

  const std::vector<fake::ProcessStart>& starts = fake::Platform().starts();
  const std::vector<std::string> open = fake::Platform().OpenHandles();
  if (choices & 2) {
    Require(process == nullptr && starts.empty() && open.empty());
    return 0;
  }
  Require(starts.size() == 1 &&
          starts[0].command == "\"" + target + "\" /silent");
  Require(!((choices & 1) && starts[0].created));
  Require((process != nullptr) == starts[0].created);
  Require(open.size() == (starts[0].created ? 2u : 0u));
  return 0;
}
