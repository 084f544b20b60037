// The kit's defences at their edges, each where one fault would slip
// through: who may change the install and what happens when that cannot
// be told, the helper's line at the longest path and the last byte of its
// digest, links planted where earlier staging folders are cleaned up,
// and the folder the updater starts in.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include <updater_caller/updater_caller.h>

#include "caller_fixture.h"
#include "fake_win32.h"

namespace caller_test {
namespace {

// --- Who may change the install --------------------------------------------

// Who chooses the road, on the install as it stands.
enum class Asker {
  kApplication,  // the application's StartUpdater
  kRequest,      // the application's own call of StartUpdaterElevated
  kHelper,       // the elevated helper, from a prompt's line
};

std::string NameOf(Asker asker) {
  switch (asker) {
    case Asker::kApplication:
      return "ByTheApplication";
    case Asker::kRequest:
      return "ByARequestForThePrompt";
    case Asker::kHelper:
      return "ByTheHelper";
  }
  return "";
}
void PrintTo(Asker asker, std::ostream* os) { *os << NameOf(asker); }

// What a row changes: the application's folder, or the updater or the
// application in it, in the order the kit checks them.
enum class Target { kFolder, kUpdater, kApplication };

class InstallScopeTest : public CallerTest {
 protected:
  std::string PathOf(Target target) {
    switch (target) {
      case Target::kFolder:
        return kAppFolder;
      case Target::kUpdater:
        return kUpdater;
      case Target::kApplication:
        return kApplication;
    }
    return "";
  }

  // Runs `asker` as `account` (the helper as that account elevated) and
  // checks the road taken. Per-user: the updater started as invoker from
  // its own folder and nothing asked, or the request and the helper
  // refused. Per-machine: a prompt, or the helper's checked copy.
  void ExpectRoad(Asker asker, Account account, bool per_user) {
    platform().SetAccount(account);
    switch (asker) {
      case Asker::kApplication: {
        HANDLE handle = StartUpdater(kUpdater.c_str(), kInstaller.c_str(),
                                     kDigest.c_str());
        ASSERT_NE(handle, nullptr);
        CloseHandle(handle);
        EXPECT_EQ(platform().shell_starts().size(), per_user ? 0u : 1u);
        if (per_user) {
          ASSERT_EQ(UpdaterStarts().size(), 1u);
          const fake::ProcessStart start = UpdaterStarts()[0];
          EXPECT_EQ(start.command, kInstaller);
          EXPECT_EQ(start.account, account);
          EXPECT_EQ(start.environment.at("__COMPAT_LAYER"), "RunAsInvoker");
          EXPECT_EQ(start.current_directory, kAppFolder + "\\");
        } else {
          EXPECT_TRUE(UpdaterStarts().empty());
        }
        break;
      }
      case Asker::kRequest: {
        HANDLE handle =
            StartUpdaterElevated(kUpdater.c_str(), kInstaller.c_str(),
                                 kDigest.c_str());
        EXPECT_EQ(handle == nullptr, per_user);
        if (per_user) {
          EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
          // Nothing asked, and no watcher left behind for it.
          EXPECT_TRUE(platform().shell_starts().empty());
          EXPECT_TRUE(platform().starts().empty());
        } else {
          EXPECT_EQ(platform().shell_starts().size(), 1u);
          CloseHandle(handle);
        }
        break;
      }
      case Asker::kHelper: {
        const Account helper =
            fake::IsElevated(account) ? account : Account::kAdminElevated;
        EXPECT_EQ(RunHelper(GenuineLine(), helper),
                  per_user ? kNotOurUpdater : 0);
        EXPECT_EQ(UpdaterStarts().size(), per_user ? 0u : 1u);
        EXPECT_EQ(StagingFolders().size(), per_user ? 0u : 1u);
        break;
      }
    }
    EXPECT_TRUE(platform().OpenHandles().empty());
  }
};

// A row's name, for the test it makes: the behaviour it pins, and on
// whose road.
template <typename Case>
std::string NameOfCase(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}
template <typename Case>
std::string NameOfCaseAndAsker(
    const testing::TestParamInfo<std::tuple<Case, Asker>>& info) {
  return std::string(std::get<0>(info.param).name) +
         NameOf(std::get<1>(info.param));
}

// Any write right that a user, or a group ordinary users are in, holds on
// the folder, the updater or the application makes the install per-user:
// one right alone, or with others besides; whether or not the user who
// asks holds it, since anyone who does could change the updater, and the
// helper may run as an administrator who typed a password at a standard
// user's prompt.
struct RightsCase {
  const char* name;
  Account account;
  Target target;
  std::string entry;  // added to what the installer left on the target
  bool per_user;
};
void PrintTo(const RightsCase& c, std::ostream* os) { *os << c.name; }

class RightsTest
    : public InstallScopeTest,
      public testing::WithParamInterface<std::tuple<RightsCase, Asker>> {};

TEST_P(RightsTest, AnyWriteRightOfAnyUserMakesItPerUser) {
  const RightsCase& c = std::get<0>(GetParam());
  const std::string path = PathOf(c.target);
  platform().SetSecurity(path, platform().SecurityOf(path) + c.entry);

  ExpectRoad(std::get<1>(GetParam()), c.account, c.per_user);
}

// A users' group the user is not in.
const std::string kRemoteDesktopUsers = "S-1-5-32-555";
const Account kUnelevated = Account::kAdminUnelevated;

INSTANTIATE_TEST_SUITE_P(
    Rights, RightsTest,
    testing::Combine(
        testing::Values(
            RightsCase{"GroupMayOnlyAddFilesToTheFolder", kUnelevated,
                       Target::kFolder,
                       "(A;;0x2;;;" + kRemoteDesktopUsers + ")", true},
            RightsCase{"AnotherAccountMayOnlyChangeTheUpdatersDacl",
                       kUnelevated, Target::kUpdater,
                       "(A;;WD;;;" + kSomeoneElsesSid + ")", true},
            RightsCase{"GroupMayOnlyAppendToTheApplication", kUnelevated,
                       Target::kApplication,
                       "(A;;0x4;;;" + kRemoteDesktopUsers + ")", true},
            RightsCase{"GroupMayModifyTheFolder", kUnelevated,
                       Target::kFolder,
                       "(A;;0x1301bf;;;" + kRemoteDesktopUsers + ")", true},
            RightsCase{"GroupMayReadTheUpdaterAndTakeItsOwnership",
                       kUnelevated, Target::kUpdater,
                       "(A;;0x1a00a9;;;" + kRemoteDesktopUsers + ")", true},
            RightsCase{"UserMayOnlyAddFoldersToTheFolder", kUnelevated,
                       Target::kFolder,
                       "(A;;0x4;;;" + std::string(fake::kMySid) + ")", true},
            // Every program of an administrator without UAC runs with
            // the rights of Administrators, which may change it all.
            RightsCase{"AdministratorWithoutUacMayChangeIt",
                       Account::kAdminWithoutUac, Target::kFolder, "", true},
            RightsCase{"GroupMayOnlyReadAndRunTheFolderIsPerMachine",
                       kUnelevated, Target::kFolder,
                       "(A;;0x1200a9;;;" + kRemoteDesktopUsers + ")",
                       false}),
        testing::Values(Asker::kApplication, Asker::kRequest,
                        Asker::kHelper)),
    NameOfCaseAndAsker<RightsCase>);

// Where the kit cannot tell who may change the install, because an access
// check or the owner's query fails on one of the three, it counts the
// install as the user's: doubt never leads to elevation.
struct DoubtCase {
  const char* name;
  const char* call;  // the platform call that fails
  Target target;     // on which of the three
};
void PrintTo(const DoubtCase& c, std::ostream* os) { *os << c.name; }

class DoubtTest
    : public InstallScopeTest,
      public testing::WithParamInterface<std::tuple<DoubtCase, Asker>> {};

TEST_P(DoubtTest, WhatCannotBeToldIsPerUser) {
  const DoubtCase& c = std::get<0>(GetParam());
  // The kit asks each call once for each of the three, in this order.
  platform().FailCall(c.call, static_cast<int>(c.target) + 1,
                      ERROR_INVALID_SECURITY_DESCR);

  ExpectRoad(std::get<1>(GetParam()), kUnelevated, /*per_user=*/true);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DoubtTest,
    testing::Combine(
        testing::Values(
            DoubtCase{"AccessCheckFailsOnTheFolder", "AccessCheck",
                      Target::kFolder},
            DoubtCase{"AccessCheckFailsOnTheApplication", "AccessCheck",
                      Target::kApplication},
            DoubtCase{"OwnerOfTheFolderUnreadable",
                      "GetSecurityDescriptorOwner", Target::kFolder},
            DoubtCase{"OwnerOfTheUpdaterUnreadable",
                      "GetSecurityDescriptorOwner", Target::kUpdater}),
        testing::Values(Asker::kApplication, Asker::kRequest,
                        Asker::kHelper)),
    NameOfCaseAndAsker<DoubtCase>);

// --- The folder the updater starts in --------------------------------------

// Every road starts the updater with its own folder as the current one,
// never the caller's, where a program of the user's may have put a
// zvr.exe for the updater to restart.
enum class Road { kPerUser, kDirect, kCheckedCopy };

struct FolderCase {
  const char* name;
  Road road;
};
void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class UpdaterFolderTest : public CallerTest,
                          public testing::WithParamInterface<FolderCase> {};

TEST_P(UpdaterFolderTest, UpdaterStartsInItsOwnFolder) {
  std::string folder = kAppFolder;
  switch (GetParam().road) {
    case Road::kPerUser:
      folder = kUserAppFolder;
      Install(folder, Writers::kUser, "zvr version 1");
      break;
    case Road::kDirect:
      // Where Windows does not take updater.exe for a setup program (its
      // installer detection turned off), it starts without a prompt.
      folder = "C:\\Program Files\\Zelvaro Direct";
      platform().AddFolder(folder, Writers::kAdministrators);
      platform().AddFile(folder + "\\zvr.exe", "zvr version 1");
      platform().AddFile(folder + "\\updater.exe", "updater");
      platform().SetModuleFileName(folder + "\\zvr.exe");
      break;
    case Road::kCheckedCopy:
      platform().RunElevated();
      break;
  }
  platform().AddFile(kDownloads + "\\zvr.exe", "planted", Writers::kUser);
  const std::string updater = folder + "\\updater.exe";

  HANDLE started =
      StartUpdater(updater.c_str(), kInstaller.c_str(), kDigest.c_str());

  ASSERT_NE(started, nullptr);
  CloseHandle(started);
  EXPECT_TRUE(platform().shell_starts().empty());
  ASSERT_EQ(platform().starts().size(), 1u);
  const fake::ProcessStart& start = platform().starts()[0];
  EXPECT_TRUE(start.created);
  EXPECT_EQ(start.application_name, updater);
  EXPECT_FALSE(start.current_directory_null);
  EXPECT_EQ(start.current_directory, folder + "\\");
}

INSTANTIATE_TEST_SUITE_P(
    Roads, UpdaterFolderTest,
    testing::Values(FolderCase{"PerUserRoad", Road::kPerUser},
                    FolderCase{"DirectRoad", Road::kDirect},
                    FolderCase{"CheckedCopyRoad", Road::kCheckedCopy}),
    NameOfCase<FolderCase>);

// --- The helper's line at its edges ----------------------------------------

// The field of the line a row sets.
enum class Field {
  kUpdaterPath,         // the updater's path, `at` characters long
  kInstallerPath,       // the installer's path, `at` characters long
  kWatcherApplication,  // the watcher's application, `at` characters long
  kDigestByte,          // the digest, differing from the copy's at byte `at`
};

struct EdgeCase {
  const char* name;
  Field field;
  size_t at;
  int exit_code;
};
void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.name; }

class LineEdgeTest : public CallerTest,
                     public testing::WithParamInterface<EdgeCase> {};

// A folder whose path is `length` characters long.
std::string FolderOfLength(size_t length) {
  return "C:\\d\\" + std::string(length - 5, 'x');
}

// The installer's digest with its byte `at` changed.
std::string DigestChangedAt(size_t at) {
  std::string digest = kDigest;
  char& digit = digest[2 * at + 1];
  digit = digit == '0' ? '1' : '0';
  return digest;
}

// The paths the helper and the watcher copy are MAX_PATH bytes with their
// NUL: a path one character longer is malformed, whatever else the line
// holds, and never written past its buffer. The digest counts to its last
// byte.
TEST_P(LineEdgeTest, LineIsTakenWholeAndNoFurther) {
  const EdgeCase& c = GetParam();
  std::string line;
  std::string program;  // what the line starts, if it is taken
  Account account = Account::kAdminElevated;
  switch (c.field) {
    case Field::kUpdaterPath: {
      const std::string folder = FolderOfLength(c.at - 12);
      Install(folder, Writers::kAdministrators, "zvr version 1");
      program = folder + "\\updater.exe";
      line = HelperLine(program, kInstaller, kDigest);
      break;
    }
    case Field::kInstallerPath: {
      const std::string installer = FolderOfLength(c.at - 10) + "\\setup.exe";
      platform().AddFile(installer, kPayload, Writers::kUser);
      program = kUpdater;
      line = HelperLine(kUpdater, installer, kDigest);
      break;
    }
    case Field::kWatcherApplication: {
      program = FolderOfLength(c.at - 8) + "\\zvr.exe";
      platform().AddFile(program, "zvr version 1");
      const std::string id(32, 'a');
      // Set by the restarted application while the watcher waits.
      const std::string event = "ZelvaroHandBack-" + id;
      platform().SquatEvent(
          event, "D:(A;;GA;;;" + std::string(fake::kMySid) + ")(A;;GA;;;SY)");
      platform().SetEventWhileWaiting(event);
      line = "\"" + WatcherCopy(id) + "\" --updater-hand-back-watcher " + id +
             " \"" + program + "\"";
      account = Account::kAdminUnelevated;
      break;
    }
    case Field::kDigestByte:
      program = kUpdater;
      line = HelperLine(kUpdater, kInstaller, DigestChangedAt(c.at));
      break;
  }

  EXPECT_EQ(RunHelper(line, account), c.exit_code);

  std::vector<fake::ProcessStart> started;
  for (const fake::ProcessStart& start : platform().starts()) {
    if (start.created)
      started.push_back(start);
  }
  if (c.exit_code == 0) {
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].application_name, program);
  } else {
    EXPECT_TRUE(started.empty());
    EXPECT_TRUE(StagingFolders().empty());
  }
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Edges, LineEdgeTest,
    testing::Values(
        EdgeCase{"LongestUpdaterPathIsTaken", Field::kUpdaterPath, 259, 0},
        EdgeCase{"UpdaterPathOfMaxPathIsMalformed", Field::kUpdaterPath, 260,
                 kMalformed},
        EdgeCase{"LongestInstallerPathIsTaken", Field::kInstallerPath, 259, 0},
        EdgeCase{"InstallerPathOfMaxPathIsMalformed", Field::kInstallerPath,
                 260, kMalformed},
        EdgeCase{"LongestWatcherApplicationIsTaken",
                 Field::kWatcherApplication, 259, 0},
        EdgeCase{"WatcherApplicationOfMaxPathIsMalformed",
                 Field::kWatcherApplication, 260, kMalformed},
        EdgeCase{"DigestDifferingInItsFirstByteIsRefused", Field::kDigestByte,
                 0, kDigestMismatch},
        EdgeCase{"DigestDifferingPastItsFirstHalfIsRefused",
                 Field::kDigestByte, 16, kDigestMismatch},
        EdgeCase{"DigestDifferingInItsLastByteIsRefused", Field::kDigestByte,
                 31, kDigestMismatch}),
    NameOfCase<EdgeCase>);

// --- Links among earlier staging folders -----------------------------------

// Another program of the user's plants, in the Windows temp folder where
// users may create folders, a junction named like a staging folder that
// leads into a folder of Administrators' files; or it plants a folder of
// that name and swaps it for such a junction once the helper has listed
// it. The helper cleans up earlier copies as an administrator: nothing
// in the folder the junction leads to may go.
enum class Link { kPlantedAhead, kSwappedInOnceListed };

struct LinkCase {
  const char* name;
  Link link;
  std::string target;  // a folder of Administrators'
};
void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

class LinkTest : public CallerTest,
                 public testing::WithParamInterface<LinkCase> {};

TEST_P(LinkTest, NothingIsDeletedThroughAJunction) {
  const LinkCase& c = GetParam();
  // Files nobody holds open: the running application's exe and the
  // updater the helper holds could not go anyway.
  platform().AddFile(c.target + "\\zvr.dll", "the application's library");
  platform().AddFile(c.target + "\\other.exe", "another program");
  const std::vector<std::string> before = platform().FolderEntries(c.target);
  const std::string link = kWindowsTemp + "\\Zelvaro-update-planted";
  if (c.link == Link::kPlantedAhead) {
    platform().AddJunction(link, c.target);
  } else {
    platform().AddFolder(link, Writers::kUser);
    platform().SwapForJunctionWhenListed(link, c.target);
  }

  EXPECT_EQ(RunHelper(GenuineLine()), 0);

  EXPECT_EQ(platform().FolderEntries(c.target), before);
  if (c.link == Link::kSwappedInOnceListed) {
    ASSERT_EQ(platform().attacker_attempts().size(), 1u);
    EXPECT_TRUE(platform().attacker_attempts()[0].succeeded);
  }
  // The link stays, beside the new staging folder.
  EXPECT_EQ(StagingFolders().size(), 2u);
  EXPECT_TRUE(platform().OpenHandles().empty());
}

const std::string kOtherProgram = "C:\\Program Files\\Other";

INSTANTIATE_TEST_SUITE_P(
    Links, LinkTest,
    testing::Values(
        LinkCase{"JunctionIntoTheInstallFolder", Link::kPlantedAhead,
                 kAppFolder},
        LinkCase{"JunctionIntoAnotherProgramsFolder", Link::kPlantedAhead,
                 kOtherProgram},
        LinkCase{"FolderSwappedForAJunctionIntoTheInstallFolder",
                 Link::kSwappedInOnceListed, kAppFolder},
        LinkCase{"FolderSwappedForAJunctionIntoAnotherProgramsFolder",
                 Link::kSwappedInOnceListed, kOtherProgram}),
    NameOfCase<LinkCase>);

}  // namespace
}  // namespace caller_test
