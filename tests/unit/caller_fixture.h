// What the caller kit's tests share: the machine they start from (a
// per-machine install, the user's temp folder, a downloaded installer),
// the helper's line as the prompt passes it, and the fixture that reads
// back what the kit did.
#ifndef UPDATER_TESTS_UNIT_CALLER_FIXTURE_H_
#define UPDATER_TESTS_UNIT_CALLER_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <updater_caller/updater_caller.h>

#include "fake_win32.h"

namespace caller_test {

using fake::Account;
using fake::Writers;
using updater_caller::RunAsHelperIfAsked;
using updater_caller::StartUpdater;
using updater_caller::StartUpdaterElevated;

inline const std::string kAppFolder = "C:\\Program Files\\Zelvaro";
inline const std::string kApplication = kAppFolder + "\\zvr.exe";
inline const std::string kUpdater = kAppFolder + "\\updater.exe";
inline const std::string kUserAppFolder =
    "C:\\Users\\me\\AppData\\Local\\Programs\\Zelvaro";
inline const std::string kDownloads = "C:\\Users\\me\\Downloads";
inline const std::string kInstaller =
    "C:\\Users\\me\\AppData\\Local\\Temp\\setup 2.exe";
inline const std::string kWindowsTemp = "C:\\Windows\\Temp";
inline const std::string kUserTemp = "C:\\Users\\me\\AppData\\Local\\Temp";
inline const std::string kVendor = "Zelvaro Ltd";
inline const std::string kRoot = "Code Signing Root CA";
inline const std::string kPayload = "the installer of version 2";

inline const int kMalformed = ERROR_BAD_ARGUMENTS;
inline const int kNotOurUpdater =
    static_cast<int>(updater_caller::kHelperExitNotOurUpdater);
inline const int kStagingFailed =
    static_cast<int>(updater_caller::kHelperExitStagingFailed);
inline const int kDigestMismatch =
    static_cast<int>(updater_caller::kHelperExitDigestMismatch);
inline const int kSignerMismatch =
    static_cast<int>(updater_caller::kHelperExitSignerMismatch);
inline const int kHandBackFailed =
    static_cast<int>(updater_caller::kHandBackFailed);

// 16 bytes for the next CryptGenRandom to return.
inline const std::string kRandom(16, '\x5a');

inline const std::string kDigest = fake::Sha256Hex(kPayload);
inline const std::string kApp = "\"" + kApplication + "\"";

// What administrators and SYSTEM hold in a folder only they may change.
inline const std::string kAdminsOnly =
    "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// Another account of the machine, in no token the fake hands out.
inline const std::string kSomeoneElsesSid =
    "S-1-5-21-1004336348-1177238915-682003330-1002";

inline std::string HelperLine(const std::string& updater,
                              const std::string& installer,
                              const std::string& digest,
                              const std::string& hand_back = "-") {
  return "\"" + kApplication + "\" --start-updater-helper \"" + updater +
         "\" \"" + installer + "\" " + digest + " " + hand_back;
}

inline std::string GenuineLine() {
  return HelperLine(kUpdater, kInstaller, fake::Sha256Hex(kPayload));
}

// Where the watcher for `id` runs from: a copy of the application's exe
// in the user's temp folder.
inline std::string WatcherCopy(const std::string& id) {
  return kUserTemp + "\\Zelvaro-watcher-" + id + ".exe";
}

class CallerTest : public testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    platform().TrustRoot(kRoot);
    Install(kAppFolder, Writers::kAdministrators, "zvr version 1");
    platform().AddFolder(kUserTemp, Writers::kUser);
    platform().AddFile(kInstaller, kPayload, Writers::kUser);
  }
  fake::Win32& platform() { return fake::Platform(); }

  // The application and updater in `folder`, as the installer left them.
  void Install(const std::string& folder, Writers writers,
               const std::string& application_bytes) {
    platform().AddFolder(folder, writers);
    platform().AddFile(folder + "\\zvr.exe", application_bytes, writers);
    platform().AddFile(folder + "\\updater.exe", "updater", writers);
    // Windows takes updater.exe for a setup program.
    platform().RequireElevation(folder + "\\updater.exe");
    platform().SetModuleFileName(folder + "\\zvr.exe");
  }

  // This process, elevated, run with `command_line`, as the prompt starts
  // the helper.
  int RunHelper(const std::string& command_line,
                Account account = Account::kAdminElevated) {
    platform().SetCommandLine(command_line);
    platform().SetAccount(account);
    int exit_code = -1;
    EXPECT_TRUE(RunAsHelperIfAsked(&exit_code));
    return exit_code;
  }

  // The staging folders in the Windows temp folder.
  std::vector<std::string> StagingFolders() {
    std::vector<std::string> staging;
    for (const std::string& name : platform().FolderEntries(kWindowsTemp)) {
      if (name.compare(0, 15, "Zelvaro-update-") == 0)
        staging.push_back(kWindowsTemp + "\\" + name);
    }
    return staging;
  }

  // The updater's starts that succeeded.
  std::vector<fake::ProcessStart> UpdaterStarts() {
    std::vector<fake::ProcessStart> started;
    for (const fake::ProcessStart& start : platform().starts()) {
      if (start.created && start.application_name == kUpdater)
        started.push_back(start);
    }
    return started;
  }

  // The helper runs, as the prompt started it; returns its exit code and
  // keeps the updater's start in `updater_`.
  int ServeTheHelper() {
    const fake::ShellStart shell = platform().shell_starts().at(0);
    platform().BecomeProcess(shell);
    int exit_code = -1;
    EXPECT_TRUE(RunAsHelperIfAsked(&exit_code));
    EXPECT_TRUE(platform().OpenHandles().empty());
    if (!UpdaterStarts().empty())
      updater_ = UpdaterStarts()[0];
    return exit_code;
  }

  // The watchers this process started.
  std::vector<fake::ProcessStart> WatcherStarts() {
    std::vector<fake::ProcessStart> watchers;
    for (const fake::ProcessStart& start : platform().starts()) {
      if (start.created &&
          start.command.find(" --updater-hand-back-watcher ") !=
              std::string::npos)
        watchers.push_back(start);
    }
    return watchers;
  }

  bool CalledCreateMutex() {
    for (const std::string& call : platform().log()) {
      if (call.find("CreateMutexA") != std::string::npos)
        return true;
    }
    return false;
  }

  fake::ProcessStart updater_ = {};
};

}  // namespace caller_test

#endif  // UPDATER_TESTS_UNIT_CALLER_FIXTURE_H_
