// The application's side against the fake platform: how StartUpdater
// starts the updater, when it goes through the elevated helper, and how
// the helper reads its command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_win32.h"
#include "updater_caller.h"

namespace {

using updater_caller::RunAsHelperIfAsked;
using updater_caller::StartUpdater;
using updater_caller::StartUpdaterElevated;

const char kUpdater[] = "C:\\Program Files\\Zelvaro\\updater.exe";
const char kInstaller[] = "C:\\Users\\me\\AppData\\Local\\Temp\\setup 2.exe";
const char kApplication[] = "C:\\Program Files\\Zelvaro\\zvr.exe";
const std::string kHelperParameters =
    "--start-updater-helper \"" + std::string(kUpdater) + "\" \"" +
    kInstaller + "\"";

class CallerTest : public testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    platform().SetModuleFileName(kApplication);
  }
  fake::Win32& platform() { return fake::Platform(); }

  // The helper's own run, as Windows would start it from `shell`: a new
  // process, elevated, reading the command line the shell built.
  bool RunHelper(const fake::ShellStart& shell, int* exit_code) {
    const std::string command_line = shell.CommandLine();
    fake::Reset();
    platform().SetCommandLine(command_line);
    platform().RunElevated();
    return RunAsHelperIfAsked(exit_code);
  }
};

// --- Which road StartUpdater takes ------------------------------------------

struct RoadCase {
  const char* name;
  bool elevation_required;
  bool updater_missing;
  bool prompt_declined;
  bool no_memory;
  bool returns_handle;
  DWORD error;  // GetLastError() after a null result
  bool prompted;
  std::vector<std::string> open_at_end;
};
void PrintTo(const RoadCase& c, std::ostream* os) { *os << c.name; }

class RoadTest : public CallerTest,
                 public testing::WithParamInterface<RoadCase> {};

TEST_P(RoadTest, StartsDirectlyOrThroughTheHelperOnlyForElevation) {
  const RoadCase& c = GetParam();
  if (c.elevation_required)
    platform().RequireElevation(kUpdater);
  if (c.updater_missing)
    platform().RemoveProgram(kUpdater);
  if (c.prompt_declined)
    platform().DeclineElevation();
  if (c.no_memory)
    platform().FailAllocation(1);

  HANDLE started = StartUpdater(kUpdater, kInstaller);

  EXPECT_EQ(started != nullptr, c.returns_handle);
  if (!c.returns_handle) {
    EXPECT_EQ(GetLastError(), c.error);
  }
  // The direct start, whenever there was memory for its command line:
  // the updater as the application name, the installer's bare path as the
  // whole command line.
  if (!c.no_memory) {
    ASSERT_GE(platform().starts().size(), 1u);
    EXPECT_EQ(platform().starts()[0].application_name, kUpdater);
    EXPECT_EQ(platform().starts()[0].command, kInstaller);
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
    EXPECT_EQ(shell.parameters, kHelperParameters);
    EXPECT_TRUE(shell.directory_null);
    EXPECT_EQ(shell.show, SW_SHOWNORMAL);
  }
  // The caller holds exactly the handle it was given.
  EXPECT_EQ(platform().OpenHandles(), c.open_at_end);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, RoadTest,
    testing::Values(
        RoadCase{"DirectWhereWindowsAllowsIt", false, false, false, false,
                 true, 0, false, {"process1"}},
        RoadCase{"ElevationRequiredGoesThroughTheHelper", true, false, false,
                 false, true, 0, true, {"process1"}},
        RoadCase{"DeclinedPromptIsCancelled", true, false, true, false, false,
                 ERROR_CANCELLED, true, {}},
        RoadCase{"OtherFailureIsReportedWithoutPrompt", false, true, false,
                 false, false, ERROR_FILE_NOT_FOUND, false, {}},
        RoadCase{"NoMemoryForTheCommandLine", false, false, false, true,
                 false, ERROR_NOT_ENOUGH_MEMORY, false, {}}),
    [](const testing::TestParamInfo<RoadCase>& info) {
      return std::string(info.param.name);
    });

// --- Paths through the helper, there and back ----------------------------------

struct TripCase {
  const char* name;
  std::string updater;
  std::string installer;
};
void PrintTo(const TripCase& c, std::ostream* os) { *os << c.name; }

class TripTest : public CallerTest,
                 public testing::WithParamInterface<TripCase> {};

TEST_P(TripTest, PathsArriveExactlyAndTheUpdaterStartsByTheContract) {
  const TripCase& c = GetParam();
  ASSERT_NE(StartUpdaterElevated(c.updater.c_str(), c.installer.c_str()),
            nullptr);
  ASSERT_EQ(platform().shell_starts().size(), 1u);

  int exit_code = -1;
  ASSERT_TRUE(RunHelper(platform().shell_starts()[0], &exit_code));

  EXPECT_EQ(exit_code, 0);
  ASSERT_EQ(platform().starts().size(), 1u);
  EXPECT_EQ(platform().starts()[0].application_name, c.updater);
  EXPECT_EQ(platform().starts()[0].command, c.installer);
  // The helper keeps nothing: it exits as soon as the updater runs, and
  // never touches the mutex.
  EXPECT_TRUE(platform().OpenHandles().empty());
  for (const std::string& call : platform().log())
    EXPECT_EQ(call.find("CreateMutexA"), std::string::npos) << call;
}

std::string PathOf(size_t length) {
  const std::string head = "C:\\d\\";
  return head + std::string(length - head.size() - 4, 'x') + ".exe";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TripTest,
    testing::Values(
        TripCase{"Spaces", kUpdater, kInstaller},
        TripCase{"Longest", PathOf(259), PathOf(259)},
        TripCase{"BareFileNames", "updater.exe", "setup.exe"},
        TripCase{"BytesAboveAscii", "C:\\Z\xE9lvaro\\updater.exe",
                 "C:\\T\xE8mp\\\x81\xFF setup.exe"},
        // A backslash before the closing quote stays a backslash: no
        // escapes on this line.
        TripCase{"TrailingBackslash", "C:\\a\\updater.exe", "C:\\dir\\"}),
    [](const testing::TestParamInfo<TripCase>& info) {
      return std::string(info.param.name);
    });

struct RefusedCase {
  const char* name;
  std::string updater;
  std::string installer;
  DWORD error;
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedTest : public CallerTest,
                    public testing::WithParamInterface<RefusedCase> {};

// A path the helper could not read back is refused before the user is
// asked anything.
TEST_P(RefusedTest, PathThatCannotTravelIsRefusedWithoutPrompt) {
  const RefusedCase& c = GetParam();
  EXPECT_EQ(StartUpdaterElevated(c.updater.c_str(), c.installer.c_str()),
            nullptr);
  EXPECT_EQ(GetLastError(), c.error);
  EXPECT_TRUE(platform().shell_starts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedTest,
    testing::Values(
        RefusedCase{"UpdaterTooLong", PathOf(260), kInstaller,
                    ERROR_FILENAME_EXCED_RANGE},
        RefusedCase{"InstallerTooLong", kUpdater, PathOf(260),
                    ERROR_FILENAME_EXCED_RANGE},
        RefusedCase{"EmptyInstaller", kUpdater, "", ERROR_INVALID_NAME},
        RefusedCase{"QuoteInPath", kUpdater, "C:\\a\" \"b.exe",
                    ERROR_INVALID_NAME}),
    [](const testing::TestParamInfo<RefusedCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(CallerTest, ApplicationPathCutShortIsRefusedWithoutPrompt) {
  platform().SetModuleFileName("C:\\" + std::string(300, 'a') + ".exe");

  EXPECT_EQ(StartUpdaterElevated(kUpdater, kInstaller), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(platform().shell_starts().empty());
}

// --- The helper's command line ------------------------------------------------

struct HelperCase {
  const char* name;
  std::string command_line;
  bool is_helper;
  int exit_code;  // when it is the helper
};
void PrintTo(const HelperCase& c, std::ostream* os) { *os << c.name; }

class HelperTest : public CallerTest,
                   public testing::WithParamInterface<HelperCase> {};

TEST_P(HelperTest, ActsOnlyOnAWholeHelperCommandLine) {
  const HelperCase& c = GetParam();
  platform().SetCommandLine(c.command_line);
  platform().RunElevated();
  platform().RemoveProgram("C:\\gone\\updater.exe");

  int exit_code = -1;
  EXPECT_EQ(RunAsHelperIfAsked(&exit_code), c.is_helper);

  if (!c.is_helper) {
    // The application goes on as if nothing had happened.
    EXPECT_EQ(exit_code, -1);
    EXPECT_EQ(platform().log(),
              (std::vector<std::string>{"GetCommandLineA()"}));
    return;
  }
  EXPECT_EQ(exit_code, c.exit_code);
  const bool well_formed = c.exit_code != ERROR_BAD_ARGUMENTS;
  EXPECT_EQ(platform().starts().size(), well_formed ? 1u : 0u);
  EXPECT_TRUE(platform().OpenHandles().empty());
}

const std::string kApp = "\"C:\\Program Files\\Zelvaro\\zvr.exe\"";
const std::string kLine = kApp + " " + kHelperParameters;

INSTANTIATE_TEST_SUITE_P(
    CommandLines, HelperTest,
    testing::Values(
        HelperCase{"PlainStart", kApp, false, 0},
        HelperCase{"OtherArgument", kApp + " /silent", false, 0},
        HelperCase{"SwitchWithMoreLetters",
                   kApp + " --start-updater-helperx \"a\" \"b\"", false, 0},
        HelperCase{"SwitchAsTheProgram",
                   "--start-updater-helper \"a\" \"b\"", false, 0},
        HelperCase{"SwitchInsideTheQuotedProgram",
                   "\"x --start-updater-helper \"a\" \"b\"", false, 0},
        HelperCase{"UnterminatedProgram", "\"C:\\zvr.exe", false, 0},
        HelperCase{"Empty", "", false, 0},
        HelperCase{"Whole", kLine, true, 0},
        HelperCase{"UnquotedProgramAndTabs",
                   "zvr.exe\t--start-updater-helper\t\"a.exe\"\t\"b\"\t",
                   true, 0},
        HelperCase{"UpdaterThatWillNotStart",
                   kApp + " --start-updater-helper \"C:\\gone\\updater.exe\" "
                          "\"b\"",
                   true, ERROR_FILE_NOT_FOUND},
        HelperCase{"NothingAfterTheSwitch", kApp + " --start-updater-helper",
                   true, ERROR_BAD_ARGUMENTS},
        HelperCase{"InstallerMissing",
                   kApp + " --start-updater-helper \"a.exe\"", true,
                   ERROR_BAD_ARGUMENTS},
        HelperCase{"ExtraArgument", kLine + " \"c\"", true,
                   ERROR_BAD_ARGUMENTS},
        HelperCase{"ExtraWord", kLine + " x", true, ERROR_BAD_ARGUMENTS},
        HelperCase{"UnquotedPath",
                   kApp + " --start-updater-helper a.exe \"b\"", true,
                   ERROR_BAD_ARGUMENTS},
        HelperCase{"NoBlankBetweenPaths",
                   kApp + " --start-updater-helper \"a.exe\"\"b\"", true,
                   ERROR_BAD_ARGUMENTS},
        HelperCase{"UnterminatedPath",
                   kApp + " --start-updater-helper \"a.exe\" \"b", true,
                   ERROR_BAD_ARGUMENTS},
        HelperCase{"EmptyPath",
                   kApp + " --start-updater-helper \"a.exe\" \"\"", true,
                   ERROR_BAD_ARGUMENTS},
        HelperCase{"PathTooLong",
                   kApp + " --start-updater-helper \"a.exe\" \"" +
                       PathOf(260) + "\"",
                   true, ERROR_BAD_ARGUMENTS}),
    [](const testing::TestParamInfo<HelperCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
