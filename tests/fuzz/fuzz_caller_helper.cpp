// The application's elevated helper, against the fake platform.
//
// Input: one byte of choices, then text.
//   bit 0  clear: the text is the helper's whole command line; whatever it
//          is, nothing crashes or reads past a buffer, and either it is no
//          helper's (nothing happens), or the helper starts the updater
//          exactly once with two paths that stood quoted on the line and
//          exits 0, or it starts nothing and exits with a nonzero code.
//          set: the text is two paths (split at the first byte 0x01) sent
//          through StartUpdaterElevated and read back by the helper: they
//          arrive exactly, or were refused before any prompt.
//   bit 1  the updater will not start (no such file)
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fake_win32.h"
#include "fuzz_input.h"
#include "updater_caller.h"

namespace {

bool Travels(const std::string& path) {
  return !path.empty() && path.size() <= MAX_PATH - 1 &&
         path.find('"') == std::string::npos;
}

void RunHelper(const std::string& command_line, bool updater_missing,
               const std::string* updater, const std::string* installer) {
  fake::Reset();
  fake::Platform().SetCommandLine(command_line);
  fake::Platform().RunElevated();
  if (updater_missing && updater != nullptr)
    fake::Platform().RemoveProgram(*updater);
  int exit_code = -12345;
  const bool helper = updater_caller::RunAsHelperIfAsked(&exit_code);

  const std::vector<fake::ProcessStart>& starts = fake::Platform().starts();
  Require(fake::Platform().OpenHandles().empty());
  if (!helper) {
    Require(updater == nullptr && exit_code == -12345 && starts.empty() &&
            fake::Platform().log().size() == 1);
    return;
  }
  if (exit_code == 0) {
    Require(starts.size() == 1 && starts[0].created);
    const std::string& path = starts[0].application_name;
    const std::string& command = starts[0].command;
    Require(Travels(path) && Travels(command));
    Require(command_line.find("\"" + path + "\"") != std::string::npos &&
            command_line.find("\"" + command + "\"") != std::string::npos);
  } else {
    Require(starts.size() <= 1 && (starts.empty() || !starts[0].created));
  }
  if (updater != nullptr) {  // a line the application itself built
    Require(exit_code == (updater_missing ? ERROR_FILE_NOT_FOUND : 0));
    Require(starts.size() == 1 && starts[0].application_name == *updater &&
            starts[0].command == *installer);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FuzzInput input = ReadFuzzInput(data, size);
  const uint8_t choices = input.choices;
  const std::string& text = input.text;
  const bool updater_missing = (choices & 2) != 0;

  if ((choices & 1) == 0) {
    RunHelper(text, updater_missing, nullptr, nullptr);
    return 0;
  }
  const size_t split = text.find('\x01');
  const std::string updater = text.substr(0, split);
  const std::string installer =
      split == std::string::npos ? "" : text.substr(split + 1);
  fake::Reset();
  HANDLE helper =
      updater_caller::StartUpdaterElevated(updater.c_str(), installer.c_str());
  const std::vector<fake::ShellStart>& asked = fake::Platform().shell_starts();
  if (!Travels(updater) || !Travels(installer)) {
    Require(helper == nullptr && asked.empty());
    return 0;
  }
  Require(helper != nullptr && asked.size() == 1);
  RunHelper(asked[0].CommandLine(), updater_missing, &updater, &installer);
  return 0;
}
