// The caller kit's first call and its elevated helper, against the fake
// platform, on a machine with a per-machine install of the application
// and an installer the user downloaded.
//
// Input: one byte of choices, then text.
//   bit 0  clear: the text is the whole command line of an elevated copy
//          of the application. Whatever it is, nothing crashes, reads past
//          a buffer or stays open, and nothing starts but the updater
//          beside the application, with a copy of the installer staged in
//          a protected folder whose SHA-256 is the digest on the line (and
//          whose signer is the application's, for a signed application),
//          exiting 0 exactly then. It opens no file by a path that is
//          not a full path on a drive: no share, device, pipe or relative
//          path, whatever the line names.
//          set: the text is an installer path, sent by the unelevated
//          application through StartUpdaterElevated and served by the
//          helper: the prompt comes exactly for a path that can travel and
//          be read, and the updater then gets a copy of exactly those
//          bytes under the same file name, or the staging is refused.
//   bit 1  the updater will not start (no such file)
//   bit 2  another program of the user replaced the installer after the
//          digest was taken
//   bit 3  the application is signed, and the installer is not
//   bit 4  (with bit 0) the user declines the prompt: nothing is asked of
//          the helper, and no watcher is left running
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <updater_caller/updater_caller.h>

#include "fake_win32.h"
#include "fuzz_input.h"

namespace {

const std::string kAppFolder = "C:\\Program Files\\Zelvaro";
const std::string kApplication = kAppFolder + "\\zvr.exe";
const std::string kUpdater = kAppFolder + "\\updater.exe";
const std::string kInstaller = "C:\\Users\\me\\AppData\\Local\\Temp\\setup.exe";
const std::string kPayload = "the installer of version 2";
const char kProtected[] =
    "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;OW)";

void SetUpMachine(uint8_t choices) {
  fake::Reset();
  fake::Win32& platform = fake::Platform();
  platform.TrustRoot("Root");
  platform.AddFolder(kAppFolder);
  platform.AddFile(kApplication,
                   (choices & 8) ? fake::SignedBytes("zvr", "Zelvaro", "Root")
                                 : "zvr");
  platform.AddFile(kUpdater, "updater");
  platform.RequireElevation(kUpdater);
  if (choices & 2)
    platform.RemoveProgram(kUpdater);
  platform.SetModuleFileName(kApplication);
  platform.AddFolder("C:\\Users\\me\\AppData\\Local\\Temp",
                     fake::Writers::kUser);
  platform.AddFile(kInstaller, kPayload, fake::Writers::kUser);
  // Where a borrowed prompt would point the helper.
  platform.AddFile("C:\\Users\\me\\Downloads\\updater.exe", "planted",
                   fake::Writers::kUser);
}

std::string FolderOf(const std::string& path) {
  return path.substr(0, path.rfind('\\'));
}

// The file name, after the last separator of either kind.
std::string NameOf(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// The starts this process made that succeeded.
std::vector<fake::ProcessStart> Started() {
  std::vector<fake::ProcessStart> started;
  for (const fake::ProcessStart& start : fake::Platform().starts()) {
    if (start.created)
      started.push_back(start);
  }
  return started;
}

bool IsFullDrivePath(const std::string& path) {
  return path.size() >= 3 &&
         ((path[0] >= 'A' && path[0] <= 'Z') ||
          (path[0] >= 'a' && path[0] <= 'z')) &&
         path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// Checks what an elevated copy of the application did with its command
// line; returns the copy the updater got ("" if none).
std::string CheckElevatedRun(const std::string& command_line, bool is_kit,
                             int exit_code, uint8_t choices) {
  fake::Win32& platform = fake::Platform();
  Require(platform.OpenHandles().empty());
  for (const fake::FileOpen& open : platform.file_opens())
    Require(IsFullDrivePath(open.path));
  const std::vector<fake::ProcessStart> started = Started();
  Require(started.size() <= 1);
  Require(is_kit || started.empty());
  if (started.empty()) {
    Require(!is_kit || exit_code != 0);
    return "";
  }
  Require(exit_code == 0);
  const fake::ProcessStart& start = started[0];
  Require(start.application_name == kUpdater);
  Require(start.current_directory == kAppFolder + "\\");
  // Made from the system: nothing the profile holds selects what runs.
  Require(start.environment.at("PATH") == "C:\\Windows\\system32;C:\\Windows");
  Require(start.environment.count("__COMPAT_LAYER") == 0 &&
          start.environment.count("ZELVARO_UPDATE_COMPAT_LAYER") == 0);
  // The fake's own paths are UTF-8; the command line, ANSI.
  const std::string copy = fake::Utf8FromAnsi(start.command);
  Require(platform.SecurityOf(FolderOf(copy)) == kProtected);
  const std::string bytes = platform.FileBytes(copy);
  Require(command_line.find(" " + fake::Sha256Hex(bytes)) !=
          std::string::npos);
  Require((choices & 2) == 0);
  Require((choices & 8) == 0 ||
          bytes.find("\n--fake authenticode--\nZelvaro\n") !=
              std::string::npos);
  return copy;
}

void RunElevated(const std::string& command_line, uint8_t choices) {
  SetUpMachine(choices);
  fake::Win32& platform = fake::Platform();
  if (choices & 4)
    platform.AddFile(kInstaller, "evil installer", fake::Writers::kUser);
  // What any program of the user's may plant in the profile, which an
  // elevated process takes its environment from.
  fake::Environment planted = platform.environment();
  planted["PATH"] = "C:\\Users\\me\\AppData\\Local\\Microsoft\\WindowsApps";
  planted["__COMPAT_LAYER"] = "InjectedLayer";
  planted["ZELVARO_UPDATE_COMPAT_LAYER"] = "=InjectedLayer";
  platform.SetEnvironment(planted);
  platform.SetCommandLine(command_line);
  platform.RunElevated();
  int exit_code = -12345;
  const bool is_kit = updater_caller::RunAsHelperIfAsked(&exit_code);
  Require(is_kit || exit_code == -12345);
  CheckElevatedRun(command_line, is_kit, exit_code, choices);
}

bool Travels(const std::string& path) {
  return !path.empty() && path.size() <= MAX_PATH - 1 &&
         path.find('"') == std::string::npos;
}

void RoundTrip(const std::string& installer, uint8_t all_choices) {
  // An unsigned application here: the line is the application's own.
  const uint8_t choices = static_cast<uint8_t>(all_choices & ~8);
  SetUpMachine(choices);
  fake::Win32& platform = fake::Platform();
  // The kit's path is ANSI; the fake's own, UTF-8.
  const std::string file = fake::Utf8FromAnsi(installer);
  if (Travels(installer) && !platform.FileExists(file) &&
      !platform.FolderExists(file))
    platform.AddFile(file, kPayload, fake::Writers::kUser);
  const bool readable = platform.FileExists(file);
  const std::string bytes = platform.FileBytes(file);

  if (choices & 16)
    platform.DeclineElevation();

  // The digest the application's own update manifest gives: that of the
  // bytes it downloaded.
  const std::string digest = fake::Sha256Hex(readable ? bytes : kPayload);
  HANDLE helper = updater_caller::StartUpdaterElevated(
      kUpdater.c_str(), installer.c_str(), digest.c_str());
  const std::vector<fake::ShellStart> asked = platform.shell_starts();
  Require((helper != nullptr) == (asked.size() == 1 && asked[0].created));
  // The watcher left before the prompt runs on only when the helper was
  // started, for the update it waits for.
  for (const fake::ProcessStart& start : Started())
    Require(start.command.find(" --updater-hand-back-watcher ") !=
                std::string::npos &&
            platform.ProcessRunning(start.process_id) == (helper != nullptr));
  if (!Travels(installer) || !readable) {
    Require(helper == nullptr && asked.empty());
    return;
  }
  if (choices & 16) {
    Require(helper == nullptr && GetLastError() == ERROR_CANCELLED);
    Require(platform.OpenHandles().empty());
    return;
  }
  Require(helper != nullptr);
  if (choices & 4)
    platform.AddFile(file, "evil installer", fake::Writers::kUser);
  platform.BecomeProcess(asked[0]);
  int exit_code = -12345;
  Require(updater_caller::RunAsHelperIfAsked(&exit_code));
  const std::string copy =
      CheckElevatedRun(asked[0].CommandLine(), true, exit_code, choices);
  if (copy.empty()) {
    Require((choices & 6) != 0 ||
            exit_code ==
                static_cast<int>(updater_caller::kHelperExitStagingFailed));
    return;
  }
  Require(platform.FileBytes(copy) == bytes);
  // The installer's own name, or its long one where it was named by a
  // short one.
  Require(NameOf(copy) == NameOf(file) ||
          NameOf(installer).find('~') != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FuzzInput input = ReadFuzzInput(data, size);
  if ((input.choices & 1) == 0)
    RunElevated(input.text, input.choices);
  else
    RoundTrip(input.text, input.choices);
  return 0;
}
