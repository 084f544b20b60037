// The application's side against the fake platform: which road StartUpdater
// takes and what the updater inherits, what the elevated helper accepts
// and refuses, how it stages and checks the installer, and when the
// application is handed back to the user. The attacker is another program
// of the same user: it borrows the prompt, swaps the installer, plants
// folders, links and files where the user may write.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <updater_caller/updater_caller.h>

#include "caller_fixture.h"
#include "fake_win32.h"

namespace caller_test {
namespace {

// What an elevated updater gets, made from the system and not from the
// profile: the installer unpacks into the protected folder `temp`, and a
// program named bare is looked for in the system's folders only. Of the
// default environment only USERNAME passes.
fake::Environment ElevatedBlock(const std::string& temp,
                                const std::string& hand_back_id = "") {
  fake::Environment block = {
      {"ComSpec", "C:\\Windows\\system32\\cmd.exe"},
      {"PATH", "C:\\Windows\\system32;C:\\Windows"},
      {"PATHEXT", ".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC"},
      {"SystemDrive", "C:"},
      {"SystemRoot", "C:\\Windows"},
      {"TEMP", temp},
      {"TMP", temp},
      {"USERNAME", "me"},
      {"windir", "C:\\Windows"}};
  if (!hand_back_id.empty())
    block["ZELVARO_UPDATE_HAND_BACK"] = hand_back_id;
  return block;
}

// --- Per-user or per-machine, and what the updater inherits ----------------

enum class Road { kAsInvoker, kPrompt, kCheckedCopy };

struct ScopeCase {
  const char* name;
  Account account;
  Writers folder;       // the application's folder
  Writers updater;      // updater.exe in it
  Writers application;  // zvr.exe in it
  const char* layer;    // __COMPAT_LAYER before, or null
  Road road;
  const char* layer_passed;  // what the updater's __COMPAT_LAYER holds
  const char* note_passed;   // and ZELVARO_UPDATE_COMPAT_LAYER
};
void PrintTo(const ScopeCase& c, std::ostream* os) { *os << c.name; }

class ScopeTest : public CallerTest,
                  public testing::WithParamInterface<ScopeCase> {};

TEST_P(ScopeTest, PerUserNeverElevatesAndPassesExactlyTheLayer) {
  const ScopeCase& c = GetParam();
  platform().AddFolder(kAppFolder, c.folder);
  platform().AddFile(kUpdater, "updater", c.updater);
  platform().AddFile(kApplication, "zvr version 1", c.application);
  platform().SetAccount(c.account);
  fake::Environment before = platform().environment();
  if (c.layer != nullptr)
    before["__COMPAT_LAYER"] = c.layer;
  platform().SetEnvironment(before);

  HANDLE started = StartUpdater(kUpdater.c_str(), kInstaller.c_str(),
                               kDigest.c_str());

  ASSERT_NE(started, nullptr);
  // This process's own environment is never changed, not for a moment:
  // another thread that starts a program meanwhile passes it on.
  EXPECT_EQ(platform().environment(), before);
  for (const std::string& call : platform().log())
    EXPECT_EQ(call.find("SetEnvironmentVariableA"), std::string::npos);
  const std::vector<fake::ProcessStart>& starts = platform().starts();
  ASSERT_FALSE(starts.empty());
  switch (c.road) {
    case Road::kAsInvoker: {
      EXPECT_TRUE(platform().shell_starts().empty());
      ASSERT_EQ(starts.size(), 1u);
      EXPECT_TRUE(starts[0].created);
      EXPECT_EQ(starts[0].application_name, kUpdater);
      EXPECT_EQ(starts[0].command, kInstaller);
      EXPECT_EQ(starts[0].account, c.account);
      fake::Environment passed = before;
      passed["__COMPAT_LAYER"] = c.layer_passed;
      passed["ZELVARO_UPDATE_COMPAT_LAYER"] = c.note_passed;
      EXPECT_EQ(starts[0].environment, passed);
      EXPECT_TRUE(StagingFolders().empty());
      break;
    }
    case Road::kPrompt: {
      // The direct try, with nothing added, which Windows refuses.
      EXPECT_FALSE(starts[0].created);
      EXPECT_EQ(starts[0].environment, before);
      ASSERT_EQ(platform().shell_starts().size(), 1u);
      EXPECT_EQ(platform().shell_starts()[0].verb, "runas");
      EXPECT_EQ(platform().shell_starts()[0].file, kApplication);
      EXPECT_TRUE(UpdaterStarts().empty());
      break;
    }
    case Road::kCheckedCopy: {
      EXPECT_TRUE(platform().shell_starts().empty());
      ASSERT_EQ(UpdaterStarts().size(), 1u);
      const fake::ProcessStart start = UpdaterStarts()[0];
      ASSERT_EQ(StagingFolders().size(), 1u);
      EXPECT_EQ(start.command, StagingFolders()[0] + "\\setup 2.exe");
      EXPECT_EQ(start.environment, ElevatedBlock(StagingFolders()[0]));
      break;
    }
  }
  // The caller holds exactly the handle it was given.
  EXPECT_EQ(platform().OpenHandles(),
            std::vector<std::string>{platform().LabelOf(started)});
}

const Writers kAdmins = Writers::kAdministrators;
const Writers kUser = Writers::kUser;

INSTANTIATE_TEST_SUITE_P(
    Installs, ScopeTest,
    testing::Values(
        ScopeCase{"PerMachineAsksOnce", Account::kAdminUnelevated, kAdmins,
                  kAdmins, kAdmins, nullptr, Road::kPrompt, "", ""},
        ScopeCase{"PerMachineStandardUserAsksOnce", Account::kStandardUser,
                  kAdmins, kAdmins, kAdmins, nullptr, Road::kPrompt, "", ""},
        ScopeCase{"PerUserAdministratorRunsAsInvoker",
                  Account::kAdminUnelevated, kUser, kUser, kUser, nullptr,
                  Road::kAsInvoker, "RunAsInvoker", "="},
        ScopeCase{"PerUserStandardUserRunsAsInvoker", Account::kStandardUser,
                  kUser, kUser, kUser, nullptr, Road::kAsInvoker,
                  "RunAsInvoker", "="},
        ScopeCase{"LayerAlreadySetIsKeptAndNoted", Account::kStandardUser,
                  kUser, kUser, kUser, "HighDpiAware", Road::kAsInvoker,
                  "HighDpiAware RunAsInvoker", "=HighDpiAware"},
        ScopeCase{"EmptyLayerCountsAsNone", Account::kStandardUser, kUser,
                  kUser, kUser, "", Road::kAsInvoker, "RunAsInvoker", "="},
        ScopeCase{"WritableUpdaterInAdminFolderIsPerUser",
                  Account::kAdminUnelevated, kAdmins, kUser, kAdmins,
                  nullptr, Road::kAsInvoker, "RunAsInvoker", "="},
        ScopeCase{"WritableApplicationInAdminFolderIsPerUser",
                  Account::kAdminUnelevated, kAdmins, kAdmins, kUser,
                  nullptr, Road::kAsInvoker, "RunAsInvoker", "="},
        ScopeCase{"ElevatedPerUserStillRunsAsInvoker",
                  Account::kAdminElevated, kUser, kUser, kUser, nullptr,
                  Road::kAsInvoker, "RunAsInvoker", "="},
        ScopeCase{"ElevatedPerMachineStartsACheckedCopy",
                  Account::kAdminElevated, kAdmins, kAdmins, kAdmins,
                  nullptr, Road::kCheckedCopy, "", ""}),
    [](const testing::TestParamInfo<ScopeCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(CallerTest, FolderOwnedByTheUserIsPerUserWhateverItsAcl) {
  // The owner may rewrite the DACL, so an admin-only DACL is not enough.
  platform().SetOwner(kAppFolder, fake::kMySid);

  ASSERT_NE(StartUpdater(kUpdater.c_str(), kInstaller.c_str(),
                               kDigest.c_str()), nullptr);

  EXPECT_TRUE(platform().shell_starts().empty());
  ASSERT_EQ(platform().starts().size(), 1u);
  EXPECT_EQ(platform().starts()[0].environment.at("__COMPAT_LAYER"),
            "RunAsInvoker");
}

// Rights count only where Windows keeps and enforces them: a local fixed
// drive whose file system stores security descriptors. Elsewhere the same
// administrators-only folder is per-user.
struct DriveCase {
  const char* name;
  UINT type;  // of drive D:, where the application is installed
  bool keeps_rights;
  bool prompted;  // the per-machine road; else the per-user one
};
void PrintTo(const DriveCase& c, std::ostream* os) { *os << c.name; }

class DriveTest : public CallerTest,
                  public testing::WithParamInterface<DriveCase> {};

TEST_P(DriveTest, OnlyALocalFixedDriveThatKeepsRightsIsPerMachine) {
  const DriveCase& c = GetParam();
  platform().SetDrive('D', c.type, c.keeps_rights);
  Install("D:\\Zelvaro", Writers::kAdministrators, "zvr version 1");
  const std::string updater = "D:\\Zelvaro\\updater.exe";

  HANDLE started = StartUpdater(updater.c_str(), kInstaller.c_str(),
                               kDigest.c_str());

  ASSERT_NE(started, nullptr);
  EXPECT_EQ(platform().shell_starts().size(), c.prompted ? 1u : 0u);
  if (!c.prompted) {
    ASSERT_EQ(platform().starts().size(), 1u);
    EXPECT_EQ(platform().starts()[0].application_name, updater);
    EXPECT_EQ(platform().starts()[0].environment.at("__COMPAT_LAYER"),
              "RunAsInvoker");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Drives, DriveTest,
    testing::Values(
        DriveCase{"FixedDriveThatKeepsRightsIsPerMachine", DRIVE_FIXED, true,
                  true},
        DriveCase{"FixedDriveWithoutRightsIsPerUser", DRIVE_FIXED, false,
                  false},
        DriveCase{"RemovableDriveIsPerUser", DRIVE_REMOVABLE, true, false},
        DriveCase{"NetworkDriveIsPerUser", DRIVE_REMOTE, true, false}),
    [](const testing::TestParamInfo<DriveCase>& info) {
      return std::string(info.param.name);
    });

// The restarted application's first kit call puts back what the per-user
// road added, and runs on.
struct RestoreCase {
  const char* name;
  const char* layer;  // as the restarted application finds them; null:
  const char* note;   // unset
  const char* layer_after;
};
void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.name; }

class RestoreTest : public CallerTest,
                    public testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreTest, RestartedApplicationPutsTheLayerBack) {
  const RestoreCase& c = GetParam();
  fake::Environment environment = platform().environment();
  const fake::Environment untouched = environment;
  if (c.layer != nullptr)
    environment["__COMPAT_LAYER"] = c.layer;
  if (c.note != nullptr)
    environment["ZELVARO_UPDATE_COMPAT_LAYER"] = c.note;
  platform().SetEnvironment(environment);
  platform().SetCommandLine("\"" + kApplication + "\" /silent");

  int exit_code = -1;
  EXPECT_FALSE(RunAsHelperIfAsked(&exit_code));

  fake::Environment expected = untouched;
  if (c.layer_after != nullptr)
    expected["__COMPAT_LAYER"] = c.layer_after;
  EXPECT_EQ(platform().environment(), expected);
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Environments, RestoreTest,
    testing::Values(
        RestoreCase{"LayerAddedToNoneIsRemoved", "RunAsInvoker", "=",
                    nullptr},
        RestoreCase{"EarlierLayerComesBack", "HighDpiAware RunAsInvoker",
                    "=HighDpiAware", "HighDpiAware"},
        RestoreCase{"NoNoteLeavesTheLayerAlone", "RunAsInvoker", nullptr,
                    "RunAsInvoker"},
        RestoreCase{"NothingSetStaysUnset", nullptr, nullptr, nullptr},
        // A note planted in the profile: no value of it becomes a layer.
        RestoreCase{"PlantedNoteBecomesNoLayer", nullptr, "=InjectedLayer",
                    nullptr},
        RestoreCase{"PlantedNoteLeavesTheLayerAsItIs", "HighDpiAware",
                    "=InjectedLayer", "HighDpiAware"},
        RestoreCase{"NoteWithoutItsMarkChangesNothing", "RunAsInvoker",
                    "RunAsInvoker", "RunAsInvoker"}),
    [](const testing::TestParamInfo<RestoreCase>& info) {
      return std::string(info.param.name);
    });

// Whatever the user's profile holds reaches neither the elevated updater
// nor what it starts: its block is made from the system, and carries the
// hand-back id the helper line gave, or none.
struct ProfileCase {
  const char* name;
  std::string hand_back;  // on the helper line
};
void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.name; }

class ProfileTest : public CallerTest,
                    public testing::WithParamInterface<ProfileCase> {};

TEST_P(ProfileTest, ElevatedUpdaterGetsNothingOfThePlantedProfile) {
  const ProfileCase& c = GetParam();
  fake::Environment planted = platform().environment();
  planted["PATH"] = "C:\\Users\\me\\AppData\\Local\\Microsoft\\WindowsApps";
  planted["ComSpec"] = "C:\\Users\\me\\evil.exe";
  planted["windir"] = "C:\\Users\\me";
  planted["__COMPAT_LAYER"] = "InjectedLayer";
  planted["ZELVARO_UPDATE_COMPAT_LAYER"] = "=InjectedLayer";
  planted["ZELVARO_UPDATE_HAND_BACK"] = std::string(32, 'e');
  planted["COR_ENABLE_PROFILING"] = "1";
  planted["COR_PROFILER_PATH"] = "C:\\Users\\me\\profiler.dll";
  platform().SetEnvironment(planted);
  platform().QueueRandom(kRandom);

  ASSERT_EQ(RunHelper(HelperLine(kUpdater, kInstaller, kDigest, c.hand_back)),
            0);

  ASSERT_EQ(UpdaterStarts().size(), 1u);
  const fake::ProcessStart start = UpdaterStarts()[0];
  EXPECT_EQ(start.creation_flags & CREATE_UNICODE_ENVIRONMENT,
            static_cast<DWORD>(CREATE_UNICODE_ENVIRONMENT));
  EXPECT_EQ(start.environment,
            ElevatedBlock(StagingFolders().at(0),
                          c.hand_back == "-" ? "" : c.hand_back));
  // The helper's own environment is as the profile gave it, less the note
  // that every first kit call drops.
  planted.erase("ZELVARO_UPDATE_COMPAT_LAYER");
  EXPECT_EQ(platform().environment(), planted);
}

INSTANTIATE_TEST_SUITE_P(
    Planted, ProfileTest,
    testing::Values(ProfileCase{"NoHandBackOnTheLine", "-"},
                    ProfileCase{"HandBackIdOnTheLine", std::string(32, 'a')}),
    [](const testing::TestParamInfo<ProfileCase>& info) {
      return std::string(info.param.name);
    });

// --- The helper's command line ---------------------------------------------

struct HelperCase {
  const char* name;
  std::string command_line;
  int exit_code;
};
void PrintTo(const HelperCase& c, std::ostream* os) { *os << c.name; }

class HelperLineTest : public CallerTest,
                       public testing::WithParamInterface<HelperCase> {};

TEST_P(HelperLineTest, StartsOnlyTheUpdaterBesideTheApplication) {
  const HelperCase& c = GetParam();
  platform().AddFile("C:\\Users\\me\\Downloads\\updater.exe", "planted",
                     Writers::kUser);

  EXPECT_EQ(RunHelper(c.command_line), c.exit_code);

  const std::vector<fake::ProcessStart> updater = UpdaterStarts();
  if (c.exit_code == 0) {
    ASSERT_EQ(platform().starts().size(), 1u);
    ASSERT_EQ(updater.size(), 1u);
    ASSERT_EQ(StagingFolders().size(), 1u);
    EXPECT_EQ(updater[0].command, StagingFolders()[0] + "\\setup 2.exe");
  } else {
    // Nothing started, nothing left staged.
    EXPECT_TRUE(platform().starts().empty());
    EXPECT_TRUE(StagingFolders().empty());
  }
  // The helper keeps nothing, and never touches the mutex.
  EXPECT_TRUE(platform().OpenHandles().empty());
  EXPECT_FALSE(CalledCreateMutex());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, HelperLineTest,
    testing::Values(
        HelperCase{"Genuine", GenuineLine(), 0},
        HelperCase{"GenuineWithHandBackId",
                   HelperLine(kUpdater, kInstaller, kDigest,
                              std::string(32, 'f')),
                   0},
        HelperCase{"UpdaterNamedInOtherCase",
                   HelperLine("c:\\PROGRAM FILES\\zelvaro\\UPDATER.EXE",
                              kInstaller, kDigest),
                   0},
        HelperCase{"TabsBetweenParts",
                   kApp + "\t--start-updater-helper\t\"" + kUpdater +
                       "\"\t\"" + kInstaller + "\"\t" + kDigest + "\t-\t",
                   0},
        // The borrowed prompt: the vendor's name on it, another program
        // behind it.
        HelperCase{"OtherProgram",
                   HelperLine("C:\\Windows\\System32\\cmd.exe", kInstaller,
                              kDigest),
                   kNotOurUpdater},
        HelperCase{"UpdaterInAnotherFolder",
                   HelperLine("C:\\Users\\me\\Downloads\\updater.exe",
                              kInstaller, kDigest),
                   kNotOurUpdater},
        HelperCase{"UpdaterThroughDotDot",
                   HelperLine(kAppFolder + "\\..\\Zelvaro\\updater.exe",
                              kInstaller, kDigest),
                   kNotOurUpdater},
        HelperCase{"UpdaterWithTrailingDot",
                   HelperLine(kUpdater + ".", kInstaller, kDigest),
                   kNotOurUpdater},
        // The form the kit itself passes for a path that has no ANSI
        // form: it names the same file.
        HelperCase{"UpdaterByItsShortName",
                   HelperLine("C:\\PROGRA~1\\Zelvaro\\updater.exe",
                              kInstaller, kDigest),
                   0},
        HelperCase{"DigestOfAnotherFile",
                   HelperLine(kUpdater, kInstaller,
                              fake::Sha256Hex("another installer")),
                   kDigestMismatch},
        HelperCase{"NoDigest",
                   kApp + " --start-updater-helper \"" + kUpdater + "\" \"" +
                       kInstaller + "\"",
                   kMalformed},
        HelperCase{"NoDigestButHandBack",
                   kApp + " --start-updater-helper \"" + kUpdater + "\" \"" +
                       kInstaller + "\" -",
                   kMalformed},
        HelperCase{"DigestOneDigitShort",
                   HelperLine(kUpdater, kInstaller, kDigest.substr(1)),
                   kMalformed},
        HelperCase{"DigestOneDigitLong",
                   HelperLine(kUpdater, kInstaller, kDigest + "0"),
                   kMalformed},
        HelperCase{"DigestInUpperCase",
                   HelperLine(kUpdater, kInstaller,
                              std::string(64, 'A')),
                   kMalformed},
        HelperCase{"DigestNotHex",
                   HelperLine(kUpdater, kInstaller, std::string(64, 'g')),
                   kMalformed},
        HelperCase{"HandBackIdShort",
                   HelperLine(kUpdater, kInstaller, kDigest,
                              std::string(31, 'f')),
                   kMalformed},
        HelperCase{"HandBackIdInUpperCase",
                   HelperLine(kUpdater, kInstaller, kDigest,
                              std::string(32, 'F')),
                   kMalformed},
        HelperCase{"NoHandBackField",
                   kApp + " --start-updater-helper \"" + kUpdater + "\" \"" +
                       kInstaller + "\" " + kDigest,
                   kMalformed},
        HelperCase{"ExtraArgument", GenuineLine() + " x", kMalformed},
        HelperCase{"UnquotedPath",
                   kApp + " --start-updater-helper " + kUpdater + " \"" +
                       kInstaller + "\" " + kDigest + " -",
                   kMalformed},
        HelperCase{"NoBlankBetweenPaths",
                   kApp + " --start-updater-helper \"" + kUpdater + "\"\"" +
                       kInstaller + "\" " + kDigest + " -",
                   kMalformed},
        HelperCase{"EmptyInstaller",
                   HelperLine(kUpdater, "", kDigest), kMalformed},
        HelperCase{"NothingAfterTheSwitch",
                   kApp + " --start-updater-helper", kMalformed},
        HelperCase{"WatcherWithoutId",
                   kApp + " --updater-hand-back-watcher - " + kApp,
                   kMalformed},
        HelperCase{"WatcherWithoutApplication",
                   kApp + " --updater-hand-back-watcher " +
                       std::string(32, 'f'),
                   kMalformed}),
    [](const testing::TestParamInfo<HelperCase>& info) {
      return std::string(info.param.name);
    });

// Lines that are not the kit's: the application runs, and nothing else
// happens.
struct ApplicationLineCase {
  const char* name;
  std::string command_line;
};
void PrintTo(const ApplicationLineCase& c, std::ostream* os) { *os << c.name; }

class ApplicationLineTest
    : public CallerTest,
      public testing::WithParamInterface<ApplicationLineCase> {};

TEST_P(ApplicationLineTest, ApplicationRunsOn) {
  platform().SetCommandLine(GetParam().command_line);
  platform().RunElevated();

  int exit_code = -1;
  EXPECT_FALSE(RunAsHelperIfAsked(&exit_code));

  EXPECT_EQ(exit_code, -1);
  EXPECT_TRUE(platform().starts().empty());
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ApplicationLineTest,
    testing::Values(
        ApplicationLineCase{"PlainStart", kApp},
        ApplicationLineCase{"Silent", kApp + " /silent"},
        ApplicationLineCase{"SwitchWithMoreLetters",
                            kApp + " --start-updater-helperx \"a\" \"b\""},
        ApplicationLineCase{"SwitchAsTheProgram",
                            "--start-updater-helper \"a\" \"b\" " + kDigest +
                                " -"},
        ApplicationLineCase{"SwitchInsideTheQuotedProgram",
                            "\"x --start-updater-helper \"a\" \"b\""},
        ApplicationLineCase{"UnterminatedProgram", "\"C:\\zvr.exe"},
        ApplicationLineCase{"Empty", ""}),
    [](const testing::TestParamInfo<ApplicationLineCase>& info) {
      return std::string(info.param.name);
    });

// A per-user folder never gets an elevated updater, even through a prompt
// that another program borrowed.
TEST_F(CallerTest, PerUserFolderIsRefusedToABorrowedPrompt) {
  Install(kUserAppFolder, Writers::kUser, "zvr version 1");

  EXPECT_EQ(RunHelper(HelperLine(kUserAppFolder + "\\updater.exe",
                                 kInstaller, kDigest)),
            kNotOurUpdater);

  EXPECT_TRUE(platform().starts().empty());
  EXPECT_TRUE(StagingFolders().empty());
}

// A standard user's prompt asks for an administrator's password; the
// helper then runs as that administrator, who cannot write the standard
// user's folder. The folder is the standard user's all the same, and any
// program of theirs may have replaced the updater in it.
TEST_F(CallerTest, PerUserFolderIsRefusedToAnotherAdministratorsPrompt) {
  Install(kUserAppFolder, Writers::kUser, "zvr version 1");

  EXPECT_EQ(RunHelper(HelperLine(kUserAppFolder + "\\updater.exe",
                                 kInstaller, kDigest),
                      Account::kOtherAdminElevated),
            kNotOurUpdater);

  EXPECT_TRUE(platform().starts().empty());
  EXPECT_TRUE(StagingFolders().empty());
  EXPECT_TRUE(platform().OpenHandles().empty());
}

// Whatever the folder's descriptor gives users (an owner, an entry, no
// DACL at all) counts, not only what the token that asks may do: here the
// helper runs as another administrator, whose own unelevated token is
// granted nothing by most of these.
struct FolderSecurityCase {
  const char* name;
  std::string sddl;  // the application folder's owner and DACL
  int exit_code;
};
void PrintTo(const FolderSecurityCase& c, std::ostream* os) { *os << c.name; }

class FolderSecurityTest
    : public CallerTest,
      public testing::WithParamInterface<FolderSecurityCase> {};

TEST_P(FolderSecurityTest, OnlyAFolderNoUserMayChangeIsPerMachine) {
  const FolderSecurityCase& c = GetParam();
  platform().SetSecurity(kAppFolder, c.sddl);

  EXPECT_EQ(RunHelper(GenuineLine(), Account::kOtherAdminElevated),
            c.exit_code);

  EXPECT_EQ(UpdaterStarts().size(), c.exit_code == 0 ? 1u : 0u);
  EXPECT_EQ(StagingFolders().size(), c.exit_code == 0 ? 1u : 0u);
  // Every SID's text went back with LocalFree.
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, FolderSecurityTest,
    testing::Values(
        FolderSecurityCase{"AdministratorsOnlyIsPerMachine",
                           "O:BA" + kAdminsOnly, 0},
        // An owner may always rewrite the DACL.
        FolderSecurityCase{"FolderOwnedByTheUserIsPerUser",
                           "O:" + std::string(fake::kMySid) + kAdminsOnly,
                           kNotOurUpdater},
        FolderSecurityCase{"FolderOwnedByAnAdministratorsAccountIsPerUser",
                           "O:" + std::string(fake::kOtherAdminSid) +
                               kAdminsOnly,
                           kNotOurUpdater},
        FolderSecurityCase{"EveryoneMayAddFilesIsPerUser",
                           "O:BA" + kAdminsOnly + "(A;;0x2;;;WD)",
                           kNotOurUpdater},
        FolderSecurityCase{"UsersGenericWriteIsPerUser",
                           "O:BA" + kAdminsOnly + "(A;;GW;;;BU)",
                           kNotOurUpdater},
        FolderSecurityCase{"AuthenticatedUsersMayModifyIsPerUser",
                           "O:BA" + kAdminsOnly + "(A;OICI;0x1301bf;;;AU)",
                           kNotOurUpdater},
        FolderSecurityCase{"AnotherUserMayDeleteChildrenIsPerUser",
                           "O:BA" + kAdminsOnly + "(A;;0x40;;;" +
                               kSomeoneElsesSid + ")",
                           kNotOurUpdater},
        FolderSecurityCase{"NullDaclIsPerUser", "O:BAD:NO_ACCESS_CONTROL",
                           kNotOurUpdater},
        // Entries only for what is created inside later do not apply to
        // the folder itself.
        FolderSecurityCase{"InheritOnlyCreatorOwnerEntryIsIgnored",
                           "O:BA" + kAdminsOnly + "(A;OICIIO;GA;;;CO)", 0},
        FolderSecurityCase{"InheritOnlyUsersEntryIsIgnored",
                           "O:BA" + kAdminsOnly + "(A;OICIIO;FA;;;BU)", 0},
        FolderSecurityCase{
            "ProgramFilesLikeFolderIsPerMachine",
            "O:" + std::string(fake::kTrustedInstallerSid) + "D:P(A;;FA;;;" +
                fake::kTrustedInstallerSid + ")(A;CIIO;GA;;;" +
                fake::kTrustedInstallerSid +
                ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)"
                "(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)"
                "(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)"
                "(A;OICIIO;GXGR;;;S-1-15-2-1)",
            0}),
    [](const testing::TestParamInfo<FolderSecurityCase>& info) {
      return std::string(info.param.name);
    });

// The updater is held open from the per-user check to its start, so its
// folder cannot be renamed away and replaced in between. Here the
// application folder itself is for administrators only, but it stands in
// a folder of the user's, who may rename what is in it.
enum class Swap { kBeforeTheCheck, kBetweenCheckAndStart };

struct HeldUpdaterCase {
  const char* name;
  Swap swap;
  int exit_code;
  bool swapped;  // the attacker's rename succeeded
};
void PrintTo(const HeldUpdaterCase& c, std::ostream* os) { *os << c.name; }

class HeldUpdaterTest : public CallerTest,
                        public testing::WithParamInterface<HeldUpdaterCase> {
};

TEST_P(HeldUpdaterTest, FolderSwappedUnderTheHelperNeverRuns) {
  const HeldUpdaterCase& c = GetParam();
  const std::string tools = "C:\\Tools";
  const std::string folder = tools + "\\Zelvaro";
  const std::string updater = folder + "\\updater.exe";
  platform().AddFolder(tools, Writers::kUser);
  Install(folder, Writers::kAdministrators, "zvr version 1");
  if (c.swap == Swap::kBeforeTheCheck)
    platform().SwapFolderByAttacker(folder, "updater.exe", "planted");
  else
    platform().SwapFolderWhenStarting(updater, folder);

  EXPECT_EQ(RunHelper(HelperLine(updater, kInstaller, kDigest)),
            c.exit_code);

  ASSERT_EQ(platform().attacker_attempts().size(), 1u);
  EXPECT_EQ(platform().attacker_attempts()[0].succeeded, c.swapped);
  std::vector<fake::ProcessStart> started;
  for (const fake::ProcessStart& start : platform().starts()) {
    if (start.created)
      started.push_back(start);
  }
  if (c.exit_code == 0) {
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].application_name, updater);
    EXPECT_EQ(platform().FileBytes(updater), "updater");
  } else {
    EXPECT_TRUE(started.empty());
  }
  // Held to read, shutting out writers, renames and deletion, and never
  // lending the helper's identity to a pipe's server.
  bool held = false;
  for (const fake::FileOpen& open : platform().file_opens()) {
    held |= open.path == updater && open.opened &&
            open.access == static_cast<DWORD>(GENERIC_READ) &&
            open.share == static_cast<DWORD>(FILE_SHARE_READ) &&
            open.disposition == static_cast<DWORD>(OPEN_EXISTING) &&
            (open.flags & SECURITY_VALID_SQOS_FLAGS) ==
                static_cast<DWORD>(SECURITY_SQOS_PRESENT |
                                   SECURITY_IDENTIFICATION);
  }
  EXPECT_TRUE(held);
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Races, HeldUpdaterTest,
    testing::Values(
        // The folder in its place is the user's: the check sees it.
        HeldUpdaterCase{"FolderSwappedBeforeTheCheckIsPerUser",
                        Swap::kBeforeTheCheck, kNotOurUpdater, true},
        HeldUpdaterCase{"FolderCannotBeSwappedBetweenCheckAndStart",
                        Swap::kBetweenCheckAndStart, 0, false}),
    [](const testing::TestParamInfo<HeldUpdaterCase>& info) {
      return std::string(info.param.name);
    });

// --- Staging the installer ----------------------------------------------------

TEST_F(CallerTest, CopyIsStagedInAFreshProtectedFolder) {
  platform().QueueRandom(kRandom);

  ASSERT_EQ(RunHelper(GenuineLine()), 0);

  const std::string folder = kWindowsTemp + "\\Zelvaro-update-" +
                             fake::Hex(kRandom);
  const std::string copy = folder + "\\setup 2.exe";
  EXPECT_EQ(StagingFolders(), std::vector<std::string>{folder});
  // Owned by Administrators whoever the policy makes the creator's
  // owner; OWNER RIGHTS keeps a copy's owner from changing its DACL.
  EXPECT_EQ(platform().CreatedWithSddl(folder),
            "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;OW)");
  // Nothing inherited from the temp folder, whose users may add files.
  EXPECT_EQ(platform().SecurityOf(folder),
            "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;OW)");
  // The copy is the user's, who created it elevated, as Windows's default
  // policy has it; its owner may read it, nothing more: not even a
  // program of the user's may rewrite its DACL, then its bytes.
  EXPECT_EQ(platform().SecurityOf(copy),
            "O:" + std::string(fake::kMySid) +
                "D:(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FR;;;OW)");
  const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  EXPECT_FALSE(platform().OpenByAttacker(copy, WRITE_DAC, share_all));
  EXPECT_FALSE(platform().OpenByAttacker(copy, WRITE_OWNER, share_all));
  EXPECT_FALSE(platform().OpenByAttacker(copy, GENERIC_WRITE, share_all));
  EXPECT_EQ(platform().FileBytes(fake::Utf8FromAnsi(copy)), kPayload);
  // The updater gets the copy's bare path, and its own folder as the
  // current one, whatever the caller's was.
  ASSERT_EQ(UpdaterStarts().size(), 1u);
  EXPECT_EQ(UpdaterStarts()[0].command, copy);
  EXPECT_EQ(UpdaterStarts()[0].current_directory, kAppFolder + "\\");
  EXPECT_FALSE(UpdaterStarts()[0].current_directory_null);
  // The installer unpacks its parts there too, not where the user's other
  // programs may write.
  EXPECT_EQ(UpdaterStarts()[0].environment.at("TEMP"), folder);
  EXPECT_EQ(UpdaterStarts()[0].environment.at("TMP"), folder);
  // The copy does not outlive the next restart of Windows.
  EXPECT_EQ(platform().deletes_at_reboot(),
            (std::vector<std::string>{copy, folder}));
  platform().Reboot();
  EXPECT_TRUE(StagingFolders().empty());
}

TEST_F(CallerTest, SourceIsReadThroughAHandleThatShutsOutWriters) {
  ASSERT_EQ(RunHelper(GenuineLine()), 0);

  std::vector<fake::FileOpen> source;
  for (const fake::FileOpen& open : platform().file_opens()) {
    if (open.path == kInstaller)
      source.push_back(open);
  }
  ASSERT_EQ(source.size(), 1u);
  EXPECT_EQ(source[0].access, static_cast<DWORD>(GENERIC_READ));
  EXPECT_EQ(source[0].share, static_cast<DWORD>(FILE_SHARE_READ));
  EXPECT_EQ(source[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
  // Should the path name a pipe, its server may identify the helper but
  // never act as it.
  EXPECT_EQ(source[0].flags & SECURITY_VALID_SQOS_FLAGS,
            static_cast<DWORD>(SECURITY_SQOS_PRESENT |
                               SECURITY_IDENTIFICATION));
}

// The helper opens only installers on a drive, by full path: never a
// share (whose server it would sign in to), a device or pipe, a path the
// platform would not parse, or one relative to whatever folder it runs in.
struct InstallerPathCase {
  const char* name;
  std::string installer;
  int exit_code;
};
void PrintTo(const InstallerPathCase& c, std::ostream* os) { *os << c.name; }

class InstallerPathTest
    : public CallerTest,
      public testing::WithParamInterface<InstallerPathCase> {};

TEST_P(InstallerPathTest, OnlyAFullDrivePathIsOpened) {
  const InstallerPathCase& c = GetParam();
  // A copy where a relative path would find it.
  platform().AddFile(kDownloads + "\\setup 2.exe", kPayload, Writers::kUser);

  EXPECT_EQ(RunHelper(HelperLine(kUpdater, c.installer, kDigest)),
            c.exit_code);

  bool opened = false;
  for (const fake::FileOpen& open : platform().file_opens())
    opened |= open.path == c.installer;
  EXPECT_EQ(opened, c.exit_code == 0);
  EXPECT_EQ(UpdaterStarts().size(), c.exit_code == 0 ? 1u : 0u);
  EXPECT_EQ(StagingFolders().size(), c.exit_code == 0 ? 1u : 0u);
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, InstallerPathTest,
    testing::Values(
        InstallerPathCase{"FullDrivePathIsTaken", kInstaller, 0},
        InstallerPathCase{"DrivePathWithSlashesIsTaken",
                          "C:/Users/me/AppData/Local/Temp/setup 2.exe", 0},
        InstallerPathCase{"ShareIsRefused", "\\\\server\\share\\setup 2.exe",
                          kStagingFailed},
        InstallerPathCase{"PipeIsRefused", "\\\\.\\pipe\\x", kStagingFailed},
        InstallerPathCase{"LongPathPrefixIsRefused", "\\\\?\\" + kInstaller,
                          kStagingFailed},
        InstallerPathCase{"RelativePathIsRefused", "setup 2.exe",
                          kStagingFailed},
        InstallerPathCase{"PathFromTheDrivesRootIsRefused",
                          kInstaller.substr(2), kStagingFailed},
        InstallerPathCase{"PathRelativeToADrivesFolderIsRefused",
                          "C:setup 2.exe", kStagingFailed}),
    [](const testing::TestParamInfo<InstallerPathCase>& info) {
      return std::string(info.param.name);
    });

// What an attacker plants or does in the user's reach, and what the helper
// answers.
enum class Plant {
  kFolderAtTheName,
  kJunctionAtTheName,
  kFileAtTheName,
  kWriterHoldsTheInstaller,
  kOverwriteWhileCopied,
  kInstallerSwappedBeforeTheHelper,
  kZvrInTheCurrentFolder,
};

struct StagingCase {
  const char* name;
  Plant plant;
  int exit_code;
};
void PrintTo(const StagingCase& c, std::ostream* os) { *os << c.name; }

class StagingTest : public CallerTest,
                    public testing::WithParamInterface<StagingCase> {};

TEST_P(StagingTest, PlantedThingsAreNeverUsed) {
  const StagingCase& c = GetParam();
  const std::string name =
      kWindowsTemp + "\\Zelvaro-update-" + fake::Hex(kRandom);
  const std::string elsewhere = "C:\\Users\\me\\Documents";
  platform().AddFolder(elsewhere, Writers::kUser);
  // The folder name the helper draws next.
  platform().QueueRandom(kRandom);
  switch (c.plant) {
    case Plant::kFolderAtTheName:
      platform().AddFolder(name, Writers::kUser);
      break;
    case Plant::kJunctionAtTheName:
      platform().AddJunction(name, elsewhere);
      break;
    case Plant::kFileAtTheName:
      platform().AddFile(name, "", Writers::kUser);
      break;
    case Plant::kWriterHoldsTheInstaller:
      ASSERT_TRUE(platform().OpenByAttacker(
          kInstaller, GENERIC_WRITE,
          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
      break;
    case Plant::kOverwriteWhileCopied:
      platform().OverwriteOnFirstRead(kInstaller, "evil installer");
      break;
    case Plant::kInstallerSwappedBeforeTheHelper:
      platform().AddFile(kInstaller, "evil installer", Writers::kUser);
      break;
    case Plant::kZvrInTheCurrentFolder:
      platform().AddFile(kDownloads + "\\zvr.exe", "evil", Writers::kUser);
      break;
  }

  EXPECT_EQ(RunHelper(GenuineLine()), c.exit_code);

  // Nothing of the attacker's is followed into, or written over the
  // installer while it is copied.
  EXPECT_TRUE(platform().FolderEntries(elsewhere).empty());
  for (const fake::AttackerAttempt& attempt : platform().attacker_attempts()) {
    if (attempt.what.compare(0, 9, "overwrite") == 0) {
      EXPECT_FALSE(attempt.succeeded) << attempt.what;
    }
  }
  if (c.exit_code == 0) {
    ASSERT_EQ(UpdaterStarts().size(), 1u);
    EXPECT_EQ(platform().FileBytes(UpdaterStarts()[0].command), kPayload);
    EXPECT_EQ(UpdaterStarts()[0].current_directory, kAppFolder + "\\");
  } else {
    EXPECT_TRUE(UpdaterStarts().empty());
  }
  if (c.plant == Plant::kFolderAtTheName ||
      c.plant == Plant::kJunctionAtTheName ||
      c.plant == Plant::kFileAtTheName) {
    EXPECT_EQ(StagingFolders(), std::vector<std::string>{name});
  }
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, StagingTest,
    testing::Values(
        StagingCase{"FolderPlantedAtTheNameIsNotUsed", Plant::kFolderAtTheName,
                    kStagingFailed},
        StagingCase{"JunctionAtTheNameIsNotFollowed",
                    Plant::kJunctionAtTheName, kStagingFailed},
        StagingCase{"FileAtTheNameIsNotUsed", Plant::kFileAtTheName,
                    kStagingFailed},
        StagingCase{"InstallerHeldOpenForWritingIsNotCopied",
                    Plant::kWriterHoldsTheInstaller, kStagingFailed},
        StagingCase{"InstallerCannotBeOverwrittenWhileCopied",
                    Plant::kOverwriteWhileCopied, 0},
        StagingCase{"InstallerSwappedAfterConsentIsRefused",
                    Plant::kInstallerSwappedBeforeTheHelper, kDigestMismatch},
        StagingCase{"ZvrInTheCurrentFolderIsNotTheUpdatersConcern",
                    Plant::kZvrInTheCurrentFolder, 0}),
    [](const testing::TestParamInfo<StagingCase>& info) {
      return std::string(info.param.name);
    });

// Earlier updates' copies go; their folders stay, empty, until Windows
// restarts, so that nobody can take a name a waiting updater still looks
// in. Anything else of that name stays, and nothing is deleted through a
// link, even one swapped in after the listing.
TEST_F(CallerTest, OnlyCopiesInEarlierStagingFoldersOfAdministratorsGo) {
  const std::string earlier = kWindowsTemp + "\\Zelvaro-update-earlier";
  const std::string planted = kWindowsTemp + "\\Zelvaro-update-planted";
  const std::string link = kWindowsTemp + "\\Zelvaro-update-link";
  const std::string raced = kWindowsTemp + "\\Zelvaro-update-raced";
  platform().AddFolder(earlier, Writers::kAdministrators);
  platform().AddFile(earlier + "\\setup 1.exe", "old",
                     Writers::kAdministrators);
  platform().AddFolder(planted, Writers::kUser);
  platform().AddFile(planted + "\\keep.txt", "mine", Writers::kUser);
  // Links to a folder only administrators may change, which an
  // administrator's deletion would empty.
  platform().AddJunction(link, kAppFolder);
  platform().AddFolder(raced, Writers::kUser);
  platform().SwapForJunctionWhenListed(raced, kAppFolder);

  ASSERT_EQ(RunHelper(GenuineLine()), 0);

  EXPECT_TRUE(platform().FolderExists(earlier));
  EXPECT_TRUE(platform().FolderEntries(earlier).empty());
  EXPECT_TRUE(platform().FileExists(planted + "\\keep.txt"));
  EXPECT_EQ(platform().FolderEntries(kAppFolder),
            (std::vector<std::string>{"updater.exe", "zvr.exe"}));
  ASSERT_EQ(platform().attacker_attempts().size(), 1u);
  EXPECT_TRUE(platform().attacker_attempts()[0].succeeded);
  // earlier, planted, link, raced, and the new one
  EXPECT_EQ(StagingFolders().size(), 5u);
  EXPECT_TRUE(platform().OpenHandles().empty());
}

// --- Signatures -----------------------------------------------------------------

enum class Signed { kNot, kByVendor, kByOther, kVendorNameOtherRoot, kTampered,
                    kUntrustedRoot, kByVendorRenewed, kByVendorPadded,
                    kByVendorZeroPadded };

std::string Bytes(const std::string& payload, Signed how) {
  switch (how) {
    case Signed::kNot:
      return payload;
    case Signed::kByVendor:
      return fake::SignedBytes(payload, kVendor, kRoot);
    case Signed::kByOther:
      return fake::SignedBytes(payload, "Someone Else Ltd", kRoot);
    case Signed::kVendorNameOtherRoot:
      return fake::SignedBytes(payload, kVendor, "Other Trusted Root CA");
    case Signed::kTampered:
      return fake::TamperedBytes(payload, kVendor, kRoot);
    case Signed::kUntrustedRoot:
      return fake::SignedBytes(payload, kVendor, "Homemade Root");
    case Signed::kByVendorRenewed:
      // A new certificate for the same name from the same root.
      return fake::SignedBytes(payload, kVendor, kRoot, /*serial=*/"2");
    case Signed::kByVendorPadded:
      // Still valid to WinVerifyTrust, as on Windows by default.
      return fake::PaddedBytes(fake::SignedBytes(payload, kVendor, kRoot),
                               std::string(8, '\x01'));
    case Signed::kByVendorZeroPadded:
      return fake::PaddedBytes(fake::SignedBytes(payload, kVendor, kRoot),
                               std::string(8, '\0'));
  }
  return payload;
}

struct SignerCase {
  const char* name;
  Signed application;
  Signed installer;
  int exit_code;
};
void PrintTo(const SignerCase& c, std::ostream* os) { *os << c.name; }

class SignerTest : public CallerTest,
                   public testing::WithParamInterface<SignerCase> {};

TEST_P(SignerTest, SignedApplicationRunsOnlyItsSignersInstallers) {
  const SignerCase& c = GetParam();
  platform().TrustRoot("Other Trusted Root CA");
  platform().AddFile(kApplication, Bytes("zvr version 1", c.application));
  const std::string installer = Bytes(kPayload, c.installer);
  platform().AddFile(kInstaller, installer, Writers::kUser);

  EXPECT_EQ(RunHelper(HelperLine(kUpdater, kInstaller,
                                 fake::Sha256Hex(installer))),
            c.exit_code);

  EXPECT_EQ(UpdaterStarts().size(), c.exit_code == 0 ? 1u : 0u);
  if (c.exit_code != 0) {
    EXPECT_TRUE(StagingFolders().empty());
  }
  // Each check as Windows is asked for it: no user interface, no network,
  // a file; every verification's state closed again.
  for (const fake::TrustCheck& check : platform().trust_checks()) {
    EXPECT_TRUE(check.action_is_generic_verify_v2);
    EXPECT_EQ(check.ui_choice, static_cast<DWORD>(WTD_UI_NONE));
    EXPECT_EQ(check.revocation_checks, static_cast<DWORD>(WTD_REVOKE_NONE));
    EXPECT_EQ(check.union_choice, static_cast<DWORD>(WTD_CHOICE_FILE));
  }
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Signers, SignerTest,
    testing::Values(
        SignerCase{"UnsignedApplicationTakesUnsignedInstaller", Signed::kNot,
                   Signed::kNot, 0},
        SignerCase{"UnsignedApplicationTakesSignedInstaller", Signed::kNot,
                   Signed::kByVendor, 0},
        SignerCase{"SignedApplicationTakesItsSigner", Signed::kByVendor,
                   Signed::kByVendor, 0},
        // The root decides, not the certificate that signed: an update
        // signed after the vendor's certificate was renewed runs.
        SignerCase{"SignerWithARenewedCertificate", Signed::kByVendor,
                   Signed::kByVendorRenewed, 0},
        SignerCase{"RenewedApplicationTakesTheOlderCertificate",
                   Signed::kByVendorRenewed, Signed::kByVendor, 0},
        SignerCase{"UnsignedInstallerForSignedApplication",
                   Signed::kByVendor, Signed::kNot, kSignerMismatch},
        SignerCase{"OtherSignerUnderTheSameRoot", Signed::kByVendor,
                   Signed::kByOther, kSignerMismatch},
        SignerCase{"VendorsNameUnderAnotherRoot", Signed::kByVendor,
                   Signed::kVendorNameOtherRoot, kSignerMismatch},
        SignerCase{"TamperedInstaller", Signed::kByVendor, Signed::kTampered,
                   kSignerMismatch},
        SignerCase{"InstallerUnderUntrustedRoot", Signed::kByVendor,
                   Signed::kUntrustedRoot, kSignerMismatch},
        SignerCase{"ApplicationWhoseSignatureFailsTakesNothing",
                   Signed::kTampered, Signed::kByVendor, kSignerMismatch},
        // Anything beyond the one signature and its padding to 8 bytes, as
        // EnableCertPaddingCheck refuses it: zeros past the padding too.
        SignerCase{"BytesAppendedInsideTheCertificateTable",
                   Signed::kByVendor, Signed::kByVendorPadded,
                   kSignerMismatch},
        SignerCase{"ZerosAppendedPastThePadding", Signed::kByVendor,
                   Signed::kByVendorZeroPadded, kSignerMismatch},
        // An unsigned application's digest binds the bytes, table and all.
        SignerCase{"UnsignedApplicationTakesThePaddedInstallerItsDigestNames",
                   Signed::kNot, Signed::kByVendorPadded, 0}),
    [](const testing::TestParamInfo<SignerCase>& info) {
      return std::string(info.param.name);
    });

// An installer whose product version is lower than the application's, or
// that carries none, does not run in an update's place: an older one of
// the same signer, its uninstaller, another of its products.
struct DowngradeCase {
  const char* name;
  int application;  // product version, -1 for no version resource
  int installer;
  int exit_code;
};
void PrintTo(const DowngradeCase& c, std::ostream* os) { *os << c.name; }

class DowngradeTest : public CallerTest,
                      public testing::WithParamInterface<DowngradeCase> {};

TEST_P(DowngradeTest, OnlyTheSameVersionOrNewerRuns) {
  const DowngradeCase& c = GetParam();
  platform().AddFile(kApplication,
                     fake::SignedBytes(fake::ImageBytes("zvr", c.application),
                                       kVendor, kRoot));
  const std::string installer = fake::SignedBytes(
      fake::ImageBytes(kPayload, c.installer), kVendor, kRoot);
  platform().AddFile(kInstaller, installer, Writers::kUser);

  EXPECT_EQ(RunHelper(HelperLine(kUpdater, kInstaller,
                                 fake::Sha256Hex(installer))),
            c.exit_code);
  EXPECT_EQ(UpdaterStarts().size(), c.exit_code == 0 ? 1u : 0u);
  if (c.exit_code != 0) {
    EXPECT_TRUE(StagingFolders().empty());
  }
  EXPECT_TRUE(platform().OpenHandles().empty());
}

const int kDowngrade =
    static_cast<int>(updater_caller::kHelperExitDowngrade);

INSTANTIATE_TEST_SUITE_P(
    Versions, DowngradeTest,
    testing::Values(
        DowngradeCase{"Newer", 3, 4, 0}, DowngradeCase{"Same", 3, 3, 0},
        DowngradeCase{"Older", 3, 2, kDowngrade},
        DowngradeCase{"InstallerWithoutVersion", 3, -1, kDowngrade},
        DowngradeCase{"ApplicationWithoutVersionTakesAny", -1, 1, 0},
        DowngradeCase{"NeitherCarriesOne", -1, -1, 0}),
    [](const testing::TestParamInfo<DowngradeCase>& info) {
      return std::string(info.param.name);
    });

// The trust DLLs are not ones Windows always takes from the system folder:
// the kit loads them from there, and only once the updater is known to be
// the per-machine one, so that a copy of the signed application started
// elsewhere with "runas" never loads a DLL planted beside it.
struct TrustDllCase {
  const char* name;
  std::string application;  // where the signed application runs from
  int exit_code;
  bool loaded;  // the system's wintrust.dll and crypt32.dll
};
void PrintTo(const TrustDllCase& c, std::ostream* os) { *os << c.name; }

class TrustDllTest : public CallerTest,
                     public testing::WithParamInterface<TrustDllCase> {};

TEST_P(TrustDllTest, TrustDllsComeFromTheSystemFolderOnly) {
  const TrustDllCase& c = GetParam();
  const std::string folder = c.application.substr(0, c.application.rfind('\\'));
  const std::string signed_bytes = Bytes("zvr version 1", Signed::kByVendor);
  platform().AddFile(kApplication, signed_bytes);
  if (c.application != kApplication)
    platform().AddFile(c.application, signed_bytes, Writers::kUser);
  platform().SetModuleFileName(c.application);
  platform().AddFile(folder + "\\wintrust.dll", "planted", Writers::kUser);
  platform().AddFile(folder + "\\crypt32.dll", "planted", Writers::kUser);
  const std::string installer = Bytes(kPayload, Signed::kByVendor);
  platform().AddFile(kInstaller, installer, Writers::kUser);

  EXPECT_EQ(RunHelper(HelperLine(kUpdater, kInstaller,
                                 fake::Sha256Hex(installer))),
            c.exit_code);

  EXPECT_EQ(platform().module_loads(),
            c.loaded ? (std::vector<std::string>{
                           "C:\\Windows\\System32\\wintrust.dll",
                           "C:\\Windows\\System32\\crypt32.dll"})
                     : std::vector<std::string>{});
  EXPECT_TRUE(platform().attacker_attempts().empty());
  // Both unloaded again.
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Plants, TrustDllTest,
    testing::Values(
        TrustDllCase{"BesideTheInstalledApplication", kApplication, 0, true},
        TrustDllCase{"BesideACopyOfTheApplication",
                     kDownloads + "\\zvr.exe", kNotOurUpdater, false}),
    [](const testing::TestParamInfo<TrustDllCase>& info) {
      return std::string(info.param.name);
    });

// --- The prompt, the helper and the hand-back, whole ------------------------

// From the unelevated application's StartUpdater to the helper's start of
// the updater, then the restarted application and the watcher.
class HandBackTest : public CallerTest {
 protected:
  // The application asks; returns the helper's handle.
  HANDLE AskForThePrompt() {
    HANDLE helper = StartUpdater(kUpdater.c_str(), kInstaller.c_str(),
                               kDigest.c_str());
    EXPECT_NE(helper, nullptr);
    return helper;
  }
  const fake::ProcessStart* Watcher() {
    for (const fake::ProcessStart& start : platform().starts()) {
      if (start.created &&
          start.command.find(" --updater-hand-back-watcher ") !=
              std::string::npos)
        return &start;
    }
    return nullptr;
  }
  // The application as the updater restarts it: the updater's token
  // (unless `unelevated`) and environment, "zvr.exe /silent".
  bool RunRestartedApplication(int* exit_code, bool unelevated = false) {
    platform().BecomeProcess(updater_);
    platform().SetCommandLine("\"zvr.exe\" /silent");
    platform().SetModuleFileName(kApplication);
    if (unelevated)
      platform().SetAccount(Account::kAdminUnelevated);
    return RunAsHelperIfAsked(exit_code);
  }
};

TEST_F(HandBackTest, UnelevatedUserGetsTheApplicationBackUnelevated) {
  platform().QueueRandom(kRandom);
  HANDLE helper = AskForThePrompt();
  const std::string id = fake::Hex(kRandom);
  const std::string event = "Local\\ZelvaroHandBack-" + id;

  // Before the prompt: the watcher, a copy of the application's own exe,
  // unelevated, inheriting nothing, holding the event, told the
  // application to start again; the digest and id on the helper's line.
  const fake::ProcessStart* watcher = Watcher();
  ASSERT_NE(watcher, nullptr);
  EXPECT_EQ(watcher->application_name, WatcherCopy(id));
  EXPECT_EQ(platform().FileBytes(WatcherCopy(id)), "zvr version 1");
  EXPECT_EQ(watcher->command, "\"" + WatcherCopy(id) +
                                  "\" --updater-hand-back-watcher " + id +
                                  " \"" + kApplication + "\"");
  EXPECT_EQ(watcher->account, Account::kAdminUnelevated);
  EXPECT_FALSE(watcher->inherit_handles);
  ASSERT_EQ(platform().shell_starts().size(), 1u);
  EXPECT_EQ(platform().shell_starts()[0].CommandLine(),
            HelperLine(kUpdater, kInstaller, kDigest, id));
  EXPECT_EQ(platform().OpenHandles(),
            std::vector<std::string>{platform().LabelOf(helper)});
  // The event: all access for SYSTEM and the user, the right to wait on
  // and set it for Administrators, whoever elevates.
  const std::string me = fake::kMySid;
  EXPECT_EQ(platform().EventSecurityOf(event),
            "O:" + me +
                "D:(A;;0x1f0003;;;SY)(A;;0x100002;;;BA)(A;;0x1f0003;;;" + me +
                ")");
  const fake::ProcessStart watcher_start = *watcher;

  // The helper puts the id, and nothing the profile planted, into the
  // updater's environment.
  fake::Environment profile = platform().environment();
  profile["ZELVARO_UPDATE_HAND_BACK"] = std::string(32, '0');
  platform().SetProfileEnvironment(profile);
  const int helper_id = platform().shell_starts().at(0).process_id;
  ASSERT_EQ(ServeTheHelper(), 0);
  EXPECT_EQ(updater_.account, Account::kAdminElevated);
  EXPECT_EQ(updater_.environment.at("ZELVARO_UPDATE_HAND_BACK"), id);
  EXPECT_TRUE(platform().NamedObjectExists("ZelvaroHandBack-" + id));

  // The helper is gone; the installer may replace the application's exe,
  // which the waiting watcher does not run.
  platform().EndProcess(helper_id);
  EXPECT_TRUE(platform().ReplaceByInstaller(kApplication, "zvr version 2"));

  // The restarted application, elevated, hands itself back and exits at
  // once, without the mutex and without the id.
  int exit_code = -1;
  EXPECT_TRUE(RunRestartedApplication(&exit_code));
  EXPECT_EQ(exit_code, 0);
  EXPECT_FALSE(CalledCreateMutex());
  EXPECT_EQ(platform().environment().count("ZELVARO_UPDATE_HAND_BACK"), 0u);
  EXPECT_TRUE(platform().OpenHandles().empty());

  // The watcher wakes and starts the application as the user, from its
  // own folder.
  platform().BecomeProcess(watcher_start);
  exit_code = -1;
  EXPECT_TRUE(RunAsHelperIfAsked(&exit_code));
  EXPECT_EQ(exit_code, 0);
  ASSERT_EQ(platform().starts().size(), 1u);
  const fake::ProcessStart& again = platform().starts()[0];
  EXPECT_EQ(again.application_name, kApplication);
  EXPECT_EQ(again.command, "\"" + kApplication + "\" /silent");
  EXPECT_EQ(again.current_directory, kAppFolder + "\\");
  EXPECT_EQ(again.account, Account::kAdminUnelevated);
  EXPECT_FALSE(CalledCreateMutex());
  EXPECT_TRUE(platform().OpenHandles().empty());

  // The application, back as the user, runs on and deletes the watcher's
  // copy, whose watcher has ended.
  platform().BecomeProcess(again);
  exit_code = -1;
  EXPECT_FALSE(RunAsHelperIfAsked(&exit_code));
  EXPECT_FALSE(platform().FileExists(WatcherCopy(id)));
  EXPECT_TRUE(platform().OpenHandles().empty());
}

enum class Twist {
  kNone,
  kWatcherEndedEarly,
  kRestartNotElevated,
  kEventSquattedShuttingOutAdministrators,
  kEventSquattedOpenToTheUser,
  kApplicationElevatedByTheUser,
  kStandardUsersAdministratorTypedThePassword,
};

struct HandBackCase {
  const char* name;
  Twist twist;
  bool watcher_left;      // a watcher was started before the prompt
  bool id_sent;           // the updater got the hand-back id
  bool restart_exits;     // RunAsHelperIfAsked returns true
  int restart_exit_code;  // then
};
void PrintTo(const HandBackCase& c, std::ostream* os) { *os << c.name; }

class HandBackRoadTest : public HandBackTest,
                         public testing::WithParamInterface<HandBackCase> {};

TEST_P(HandBackRoadTest, HandsBackOnlyWhatTheUserDidNotElevate) {
  const HandBackCase& c = GetParam();
  const std::string id = fake::Hex(kRandom);
  const std::string event = "Local\\ZelvaroHandBack-" + id;
  const std::string me = fake::kMySid;
  platform().QueueRandom(kRandom);
  // Another program of the user's took the name first, for itself alone or
  // for every process of the user's.
  if (c.twist == Twist::kEventSquattedShuttingOutAdministrators)
    platform().SquatEvent(event,
                          "D:(D;;GA;;;BA)(A;;GA;;;" + me + ")(A;;GA;;;SY)");
  if (c.twist == Twist::kEventSquattedOpenToTheUser)
    platform().SquatEvent(event, "D:(A;;GA;;;" + me + ")(A;;GA;;;SY)");
  if (c.twist == Twist::kApplicationElevatedByTheUser)
    platform().RunElevated();
  if (c.twist == Twist::kStandardUsersAdministratorTypedThePassword)
    platform().SetAccount(Account::kStandardUser);
  const Account user = platform().account();
  // An id planted in the user's profile never reaches the updater.
  fake::Environment profile = platform().environment();
  profile["ZELVARO_UPDATE_HAND_BACK"] = std::string(32, '0');
  platform().SetProfileEnvironment(profile);

  HANDLE started = AskForThePrompt();
  ASSERT_NE(started, nullptr);
  EXPECT_EQ(Watcher() != nullptr, c.watcher_left);
  const fake::ProcessStart watcher =
      Watcher() != nullptr ? *Watcher() : fake::ProcessStart{};
  if (c.twist == Twist::kApplicationElevatedByTheUser) {
    // No prompt: the checked copy, in this very process.
    ASSERT_EQ(UpdaterStarts().size(), 1u);
    updater_ = UpdaterStarts()[0];
  } else {
    ASSERT_EQ(ServeTheHelper(), 0);
    if (c.twist == Twist::kWatcherEndedEarly)
      platform().EndProcess(watcher.process_id);
  }
  if (c.id_sent) {
    EXPECT_EQ(updater_.environment.at("ZELVARO_UPDATE_HAND_BACK"), id);
  } else {
    EXPECT_EQ(updater_.environment.count("ZELVARO_UPDATE_HAND_BACK"), 0u);
  }

  int exit_code = -1;
  EXPECT_EQ(RunRestartedApplication(
                &exit_code, c.twist == Twist::kRestartNotElevated),
            c.restart_exits);
  EXPECT_EQ(exit_code, c.restart_exits ? c.restart_exit_code : -1);
  EXPECT_EQ(platform().environment().count("ZELVARO_UPDATE_HAND_BACK"), 0u);
  EXPECT_TRUE(platform().OpenHandles().empty());

  // Told, the watcher starts the application again as the user who asked.
  if (c.watcher_left && c.restart_exits && c.restart_exit_code == 0) {
    platform().BecomeProcess(watcher);
    exit_code = -1;
    EXPECT_TRUE(RunAsHelperIfAsked(&exit_code));
    EXPECT_EQ(exit_code, 0);
    ASSERT_EQ(platform().starts().size(), 1u);
    EXPECT_EQ(platform().starts()[0].account, user);
    EXPECT_EQ(platform().starts()[0].command,
              "\"" + kApplication + "\" /silent");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Roads, HandBackRoadTest,
    testing::Values(
        HandBackCase{"ElevatedRestartHandsBack", Twist::kNone, true, true,
                     true, 0},
        // Fails closed: the application stays closed rather than run
        // elevated when the user did not elevate it.
        HandBackCase{"WatcherGoneFailsClosed", Twist::kWatcherEndedEarly,
                     true, true, true, kHandBackFailed},
        HandBackCase{"UnelevatedRestartRunsOn", Twist::kRestartNotElevated,
                     true, true, false, 0},
        // No watcher, but the id goes all the same: the restart never
        // runs elevated, whether or not the squatter lets it set the
        // event.
        HandBackCase{"SquattedEventMeansNoHandBack",
                     Twist::kEventSquattedShuttingOutAdministrators, false,
                     true, true, kHandBackFailed},
        HandBackCase{"SquattedEventTheRestartMaySetStillEndsIt",
                     Twist::kEventSquattedOpenToTheUser, false, true, true,
                     0},
        HandBackCase{"ApplicationTheUserElevatedStaysElevated",
                     Twist::kApplicationElevatedByTheUser, false, false,
                     false, 0},
        // The elevated restart runs as the administrator who typed the
        // password; the event lets Administrators set it.
        HandBackCase{"AnotherAdministratorsRestartHandsBack",
                     Twist::kStandardUsersAdministratorTypedThePassword, true,
                     true, true, 0}),
    [](const testing::TestParamInfo<HandBackCase>& info) {
      return std::string(info.param.name);
    });

// An application's unelevated start deletes the watchers' copies that no
// longer run; nothing else in the user's temp folder.
struct WatcherCopyCase {
  const char* name;
  Account account;
  bool watcher_runs;
  bool deleted;
};
void PrintTo(const WatcherCopyCase& c, std::ostream* os) { *os << c.name; }

class WatcherCopyTest : public CallerTest,
                        public testing::WithParamInterface<WatcherCopyCase> {
};

TEST_P(WatcherCopyTest, CopiesOfEndedWatchersGoAtTheNextUnelevatedStart) {
  const WatcherCopyCase& c = GetParam();
  const std::string copy = WatcherCopy(std::string(32, 'a'));
  platform().AddFile(copy, "zvr version 1", Writers::kUser);
  platform().AddFile(kUserTemp + "\\Zelvaro-watcher-notes.txt", "mine",
                     Writers::kUser);
  if (c.watcher_runs) {
    std::string command = "\"" + copy + "\" --updater-hand-back-watcher";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION watcher = {};
    ASSERT_TRUE(CreateProcessA(copy.c_str(), &command[0], NULL, NULL, FALSE,
                               0, NULL, NULL, &startup, &watcher));
    CloseHandle(watcher.hThread);
    CloseHandle(watcher.hProcess);
  }
  platform().SetAccount(c.account);
  platform().SetCommandLine(kApp + " /silent");

  int exit_code = -1;
  EXPECT_FALSE(RunAsHelperIfAsked(&exit_code));

  EXPECT_EQ(platform().FileExists(copy), !c.deleted);
  EXPECT_TRUE(platform().FileExists(kUserTemp +
                                    "\\Zelvaro-watcher-notes.txt"));
  EXPECT_TRUE(platform().FileExists(kInstaller));
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Starts, WatcherCopyTest,
    testing::Values(
        WatcherCopyCase{"EndedWatchersCopyIsDeleted",
                        Account::kAdminUnelevated, false, true},
        WatcherCopyCase{"RunningWatchersCopyStays", Account::kAdminUnelevated,
                        true, false},
        // Its temp folder is the profile's to name, which any program of
        // the user's may change.
        WatcherCopyCase{"ElevatedStartDeletesNothing",
                        Account::kAdminElevated, false, false}),
    [](const testing::TestParamInfo<WatcherCopyCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(HandBackTest, WatcherThatIsNeverToldStartsNothing) {
  platform().QueueRandom(kRandom);
  AskForThePrompt();
  const fake::ProcessStart watcher = *Watcher();

  platform().BecomeProcess(watcher);
  int exit_code = -1;
  EXPECT_TRUE(RunAsHelperIfAsked(&exit_code));

  EXPECT_EQ(exit_code, ERROR_TIMEOUT);
  EXPECT_TRUE(platform().starts().empty());
  EXPECT_TRUE(platform().OpenHandles().empty());
  // It waited two hours, not for ever.
  bool waited = false;
  for (const std::string& call : platform().log())
    waited |= call.find("WaitForSingleObject(event") == 0 &&
              call.find(", 7200000) = 0x102") != std::string::npos;
  EXPECT_TRUE(waited);
}

// --- StartUpdater's other roads, and paths that cannot travel -------------

struct RoadCase {
  const char* name;
  bool updater_missing;
  bool prompt_declined;
  bool shell_starts_no_process;
  bool no_memory;  // for the first allocation
  bool returns_handle;
  DWORD error;  // GetLastError() after a null result
  bool prompted;
};
void PrintTo(const RoadCase& c, std::ostream* os) { *os << c.name; }

class RoadTest : public CallerTest,
                 public testing::WithParamInterface<RoadCase> {};

TEST_P(RoadTest, ElevationRequiredGoesThroughTheHelper) {
  const RoadCase& c = GetParam();
  if (c.updater_missing)
    platform().RemoveProgram(kUpdater);
  if (c.prompt_declined)
    platform().DeclineElevation();
  if (c.shell_starts_no_process)
    platform().ShellStartsNoProcess();
  if (c.no_memory)
    platform().FailAllocation(2);  // the first reads the installer

  HANDLE started = StartUpdater(kUpdater.c_str(), kInstaller.c_str(),
                               kDigest.c_str());

  EXPECT_EQ(started != nullptr, c.returns_handle);
  if (!c.returns_handle) {
    EXPECT_EQ(GetLastError(), c.error);
  }
  ASSERT_EQ(platform().shell_starts().size(), c.prompted ? 1u : 0u);
  if (c.prompted) {
    const fake::ShellStart& shell = platform().shell_starts()[0];
    EXPECT_EQ(shell.size, sizeof(SHELLEXECUTEINFOA));
    EXPECT_EQ(shell.mask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS |
                                             SEE_MASK_FLAG_NO_UI |
                                             SEE_MASK_NOASYNC));
    EXPECT_TRUE(shell.window_null);
    EXPECT_EQ(shell.verb, "runas");
    EXPECT_EQ(shell.file, kApplication);
    EXPECT_EQ(shell.parameters.substr(0, shell.parameters.rfind(' ')),
              "--start-updater-helper \"" + kUpdater + "\" \"" + kInstaller +
                  "\" " + kDigest);
    EXPECT_TRUE(shell.directory_null);
    EXPECT_EQ(shell.show, SW_SHOWNORMAL);
  }
  // The watcher left before the prompt waits only for an update that is
  // coming; otherwise it is ended, and nothing of the kit runs on.
  const std::vector<fake::ProcessStart> watchers = WatcherStarts();
  ASSERT_EQ(watchers.size(), c.prompted ? 1u : 0u);
  if (c.prompted) {
    EXPECT_EQ(platform().ProcessRunning(watchers[0].process_id),
              c.returns_handle);
    EXPECT_EQ(platform().ExitCodeOf(watchers[0].process_id),
              c.returns_handle ? static_cast<DWORD>(STILL_ACTIVE)
                               : static_cast<DWORD>(ERROR_CANCELLED));
  }
  // The caller holds exactly the handle it was given, if any.
  EXPECT_EQ(platform().OpenHandles(),
            started == nullptr
                ? std::vector<std::string>{}
                : std::vector<std::string>{platform().LabelOf(started)});
}

INSTANTIATE_TEST_SUITE_P(
    Windows, RoadTest,
    testing::Values(
        RoadCase{"PromptShownOnce", false, false, false, false, true, 0,
                 true},
        RoadCase{"DeclinedPromptIsCancelled", false, true, false, false,
                 false, ERROR_CANCELLED, true},
        // Handed to a copy that already ran: no helper to wait on.
        RoadCase{"PromptWithoutAProcessIsRefused", false, false, true, false,
                 false, ERROR_INVALID_HANDLE, true},
        RoadCase{"OtherFailureIsReportedWithoutPrompt", true, false, false,
                 false, false, ERROR_FILE_NOT_FOUND, false},
        // No memory to read the folder's rights: doubt never elevates.
        RoadCase{"DoubtAboutTheFolderStartsWithoutElevation", false, false,
                 false, true, true, 0, false}),
    [](const testing::TestParamInfo<RoadCase>& info) {
      return std::string(info.param.name);
    });

std::string PathOf(size_t length) {
  const std::string head = "C:\\d\\";
  return head + std::string(length - head.size() - 4, 'x') + ".exe";
}

// An installer path travels to the helper exactly, and the copy keeps its
// file name.
struct TripCase {
  const char* name;
  std::string installer;
};
void PrintTo(const TripCase& c, std::ostream* os) { *os << c.name; }

class TripTest : public CallerTest,
                 public testing::WithParamInterface<TripCase> {};

TEST_P(TripTest, InstallerPathArrivesExactly) {
  const TripCase& c = GetParam();
  // The fake's own paths are UTF-8; the kit's, ANSI.
  platform().AddFile(fake::Utf8FromAnsi(c.installer), kPayload,
                     Writers::kUser);
  ASSERT_NE(StartUpdaterElevated(kUpdater.c_str(), c.installer.c_str(),
                                 kDigest.c_str()),
            nullptr);

  ASSERT_EQ(ServeTheHelper(), 0);
  bool read = false;
  for (const fake::FileOpen& open : platform().file_opens())
    read |= open.path == c.installer && open.opened;
  EXPECT_TRUE(read);
  const std::string name = c.installer.substr(c.installer.rfind('\\') + 1);
  const std::string& copy = updater_.command;
  EXPECT_EQ(copy.substr(copy.rfind('\\') + 1), name);
  EXPECT_EQ(platform().FileBytes(fake::Utf8FromAnsi(copy)), kPayload);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TripTest,
    testing::Values(
        TripCase{"Spaces", kInstaller},
        TripCase{"Longest",
                 "C:\\d\\" + std::string(259 - 5 - 10, 'x') + "\\setup.exe"},
        TripCase{"BytesAboveAscii", "C:\\T\xE8mp\\\x81\xFF setup.exe"},
        TripCase{"UpperCaseName", "C:\\Temp\\SETUP.EXE"}),
    [](const testing::TestParamInfo<TripCase>& info) {
      return std::string(info.param.name);
    });

struct RefusedCase {
  const char* name;
  std::string updater;
  std::string installer;
  DWORD error;
  const char* digest = kDigest.c_str();
  std::function<void(fake::Win32&)> arrange = [](fake::Win32&) {};
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedTest : public CallerTest,
                    public testing::WithParamInterface<RefusedCase> {};

const char* LastDigitChanged(const std::string& digest) {
  static std::string changed;
  changed = digest;
  changed.back() = changed.back() == '0' ? '1' : '0';
  return changed.c_str();
}

const char* ShortDigest() {
  static const std::string kShort = kDigest.substr(1);
  return kShort.c_str();
}

// A request the helper would refuse is refused before the user is asked
// anything.
TEST_P(RefusedTest, RefusedWithoutPrompt) {
  const RefusedCase& c = GetParam();
  c.arrange(platform());
  platform().SetCommandLine("\"" + kApplication + "\"");
  EXPECT_EQ(StartUpdaterElevated(c.updater.c_str(), c.installer.c_str(),
                                 c.digest),
            nullptr);
  EXPECT_EQ(GetLastError(), c.error);
  EXPECT_TRUE(platform().shell_starts().empty());
  EXPECT_TRUE(platform().starts().empty());
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RefusedTest,
    testing::Values(
        RefusedCase{"UpdaterTooLong", PathOf(260), kInstaller,
                    ERROR_FILENAME_EXCED_RANGE},
        RefusedCase{"InstallerTooLong", kUpdater, PathOf(260),
                    ERROR_FILENAME_EXCED_RANGE},
        RefusedCase{"EmptyInstaller", kUpdater, "", ERROR_INVALID_NAME},
        RefusedCase{"QuoteInPath", kUpdater, "C:\\a\" \"b.exe",
                    ERROR_INVALID_NAME},
        RefusedCase{"OtherUpdater", "C:\\Users\\me\\Downloads\\updater.exe",
                    kInstaller, ERROR_ACCESS_DENIED},
        RefusedCase{"InstallerMissing", kUpdater,
                    "C:\\Users\\me\\AppData\\Local\\Temp\\gone.exe",
                    ERROR_FILE_NOT_FOUND},
        // Nothing but the digest ties an unsigned application's prompt to
        // the update it verified.
        RefusedCase{"UnsignedApplicationWithoutDigest", kUpdater, kInstaller,
                    updater_caller::kHelperExitNoDigest, nullptr},
        RefusedCase{"DigestOfAnotherInstaller", kUpdater, kInstaller,
                    updater_caller::kHelperExitDigestMismatch,
                    "0000000000000000000000000000000000000000000000000000000000000000"},
        RefusedCase{"DigestOffInItsLastDigit", kUpdater, kInstaller,
                    updater_caller::kHelperExitDigestMismatch,
                    LastDigitChanged(kDigest)},
        RefusedCase{"DigestNotHex", kUpdater, kInstaller,
                    ERROR_INVALID_PARAMETER, "sha256:whatever"},
        RefusedCase{"DigestOneDigitShort", kUpdater, kInstaller,
                    ERROR_INVALID_PARAMETER, ShortDigest()},
        // Started by bare name, a missing zvr.exe would be looked for along
        // PATH, which the user's profile sets.
        RefusedCase{"NoApplicationBesideTheUpdater", kUpdater, kInstaller,
                    updater_caller::kHelperExitNoApplication,
                    kDigest.c_str(),
                    [](fake::Win32& platform) {
                      platform.AddFile(kAppFolder + "\\zvr-old.exe", "zvr",
                                       Writers::kAdministrators);
                      platform.SetModuleFileName(kAppFolder +
                                                 "\\zvr-old.exe");
                      platform.SetAccount(Account::kAdminElevated);
                      platform.DeleteFileA(kApplication.c_str());
                      platform.SetAccount(Account::kAdminUnelevated);
                    }},
        // Another program took the name first: the updater would not wait.
        RefusedCase{"NameHeldByAnEvent", kUpdater, kInstaller,
                    updater_caller::kErrorRunningNameTaken, kDigest.c_str(),
                    [](fake::Win32& platform) {
                      platform.HoldNameAsEvent("Zelvaro");
                    }}),
    [](const testing::TestParamInfo<RefusedCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(CallerTest, ApplicationPathCutShortIsRefusedWithoutPrompt) {
  platform().SetModuleFileName("C:\\" + std::string(300, 'a') + ".exe");

  EXPECT_EQ(StartUpdaterElevated(kUpdater.c_str(), kInstaller.c_str()),
            nullptr);
  // The updater cannot be shown to stand beside the application.
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(platform().shell_starts().empty());
  EXPECT_TRUE(platform().starts().empty());
}

}  // namespace
}  // namespace caller_test
