// The update sequence against the fake platform: every platform call, its
// arguments and its order, for each situation the updater can meet.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_win32.h"
#include "updater.h"

namespace {

using Log = std::vector<std::string>;

const char kInstaller[] = "C:\\Users\\me\\AppData\\Local\\Temp\\setup-2.exe";
const char kInstallerStart[] =
    "CreateProcessA(\"\"C:\\Users\\me\\AppData\\Local\\Temp\\setup-2.exe\" "
    "/silent\")";
const char kRestart[] = "CreateProcessA(\"\"zvr.exe\" /silent\")";
const char kBox[] =
    "MessageBoxA(NULL, \"Can't find update file.\", \"Update error\", 0x10) "
    "= IDOK";

// The DLL search limited to the system folder, before anything else.
const Log kDllDefence = {
    "GetModuleHandleA(\"kernel32.dll\") = kernel32",
    "GetProcAddress(kernel32, \"SetDefaultDllDirectories\") = found",
    "SetDefaultDllDirectories(0x800) = TRUE"};

// One probe of the mutex, as the calls appear in the log.
Log Probe(const std::string& handle, int error) {
  return {"CreateMutexA(NULL, TRUE, \"Zelvaro\") = " + handle,
          "GetLastError() = " + std::to_string(error),
          "CloseHandle(" + handle + ") = " +
              (handle == "NULL" ? "FALSE" : "TRUE"),
          "Sleep(300)"};
}

Log Join(std::initializer_list<Log> parts) {
  Log all;
  for (const Log& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

int RunWithIgnoredArguments() {
  return RunUpdate(/*instance=*/nullptr, /*previous_instance=*/nullptr,
                   /*command_tail=*/nullptr, /*show_command=*/1);
}

class RunUpdateTest : public testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  fake::Win32& platform() { return fake::Platform(); }
};

// --- The DLL search --------------------------------------------------------

struct DllSearchCase {
  const char* name;
  bool windows_has_set_default_dll_directories;
  bool set_default_dll_directories_refuses;
  Log calls;
  std::string search;
};
void PrintTo(const DllSearchCase& c, std::ostream* os) { *os << c.name; }

class DllSearchTest : public RunUpdateTest,
                      public testing::WithParamInterface<DllSearchCase> {};

// Whatever the Windows, the search is restricted before the command line is
// even read, and the rest of the run is the same.
TEST_P(DllSearchTest, IsRestrictedFirstThing) {
  const DllSearchCase& c = GetParam();
  if (!c.windows_has_set_default_dll_directories)
    platform().RemoveSetDefaultDllDirectories();
  if (c.set_default_dll_directories_refuses)
    platform().RefuseSetDefaultDllDirectories();
  platform().SetCommandLine("updater.exe");

  EXPECT_EQ(RunWithIgnoredArguments(), 0);

  EXPECT_EQ(platform().log(), Join({c.calls, {"GetCommandLineA()"}}));
  EXPECT_EQ(platform().dll_search(), c.search);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, DllSearchTest,
    testing::Values(
        DllSearchCase{"WithSetDefaultDllDirectoriesSystemFolderOnly", true,
                      false, kDllDefence, "system folder only"},
        DllSearchCase{
            "WithoutItCurrentFolderLeftOut", false, false,
            {"GetModuleHandleA(\"kernel32.dll\") = kernel32",
             "GetProcAddress(kernel32, \"SetDefaultDllDirectories\") = NULL",
             "SetDllDirectoryA(\"\") = TRUE"},
            "current folder left out"},
        DllSearchCase{
            "RefusedCurrentFolderLeftOut", true, true,
            {"GetModuleHandleA(\"kernel32.dll\") = kernel32",
             "GetProcAddress(kernel32, \"SetDefaultDllDirectories\") = found",
             "SetDefaultDllDirectories(0x800) = FALSE",
             "SetDllDirectoryA(\"\") = TRUE"},
            "current folder left out"}),
    [](const testing::TestParamInfo<DllSearchCase>& info) {
      return std::string(info.param.name);
    });

// --- The guard -------------------------------------------------------------

struct GuardCase {
  const char* name;
  std::string command_line;
  bool does_nothing;
};
void PrintTo(const GuardCase& c, std::ostream* os) { *os << c.name; }

class GuardTest : public RunUpdateTest,
                  public testing::WithParamInterface<GuardCase> {};

TEST_P(GuardTest, ActsOnlyWhenNotStartedUnderItsOwnName) {
  platform().SetCommandLine(GetParam().command_line);
  // Even with the main application running, a guarded start must not wait.
  platform().HoldMutexUntilSleep("Zelvaro", 2);

  EXPECT_EQ(RunWithIgnoredArguments(), 0);

  if (GetParam().does_nothing) {
    EXPECT_EQ(platform().log(), Join({kDllDefence, {"GetCommandLineA()"}}));
  } else {
    ASSERT_EQ(platform().starts().size(), 2u);
    EXPECT_EQ(platform().starts()[0].command,
              "\"" + GetParam().command_line + "\" /silent");
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, GuardTest,
    testing::Values(
        GuardCase{"ExactName", "updater.exe", true},
        GuardCase{"UpperCase", "UPDATER.EXE", true},
        GuardCase{"MixedCaseThenArguments", "UpDaTeR.eXe /x C:\\a b", true},
        GuardCase{"MoreCharactersWithoutSpace", "updater.exe.old", true},
        GuardCase{"FirstTenCharactersOnly", "updater.ex", false},
        GuardCase{"Empty", "", false},
        GuardCase{"OneCharacter", "u", false},
        GuardCase{"LeadingQuote", "\"updater.exe\"", false},
        GuardCase{"FullPathEndingInOwnName", "C:\\App\\updater.exe", false},
        GuardCase{"RelativePathEndingInOwnName", ".\\updater.exe", false},
        // Bytes a careless fold would take for the name's characters:
        // 0x0E | 0x20 is '.'; 0xD5 and 0xAE lose their high bit under & 0x7F
        // and become 'U' and '.'.
        GuardCase{"ControlByteForDot", "updater\x0E" "exe", false},
        GuardCase{"HighBitUpperU", "\xD5PDATER.EXE", false},
        GuardCase{"HighBitDot", "updater\xAE" "exe", false}),
    [](const testing::TestParamInfo<GuardCase>& info) {
      return std::string(info.param.name);
    });

// --- Waiting for the main application ----------------------------------------

TEST_F(RunUpdateTest, NoMainApplicationGivesOneProbeAndOneSleep) {
  platform().SetCommandLine(kInstaller);

  RunWithIgnoredArguments();

  EXPECT_EQ(platform().log(),
            Join({kDllDefence,
                  {"GetCommandLineA()"},
                  Probe("mutex1", 0),
                  {"GetCommandLineA()", std::string(kInstallerStart) +
                                            " = process1",
                   "WaitForSingleObject(process1, INFINITE) = 0x0",
                   std::string(kRestart) + " = process2"}}));
}

struct WaitCase {
  const char* name;
  int probes_while_held;
};
void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }

class WaitTest : public RunUpdateTest,
                 public testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTest, ProbesUntilTheMutexIsGoneThenStartsTheInstaller) {
  const int held = GetParam().probes_while_held;
  platform().SetCommandLine(kInstaller);
  platform().HoldMutexUntilSleep("Zelvaro", held);

  WaitForMainExit();

  Log expected;
  for (int i = 1; i <= held; ++i)
    expected = Join({expected, Probe("mutex" + std::to_string(i), 183)});
  // The last probe finds the name free, so it creates the mutex, owning it
  // only until the handle is closed.
  expected = Join({expected, Probe("mutex" + std::to_string(held + 1), 0)});
  EXPECT_EQ(platform().log(), expected);
  EXPECT_TRUE(platform().OpenHandles().empty());
  EXPECT_FALSE(platform().NamedObjectExists("Zelvaro"));
}

INSTANTIATE_TEST_SUITE_P(
    MainApplicationRuns, WaitTest,
    testing::Values(WaitCase{"HeldForOneProbe", 1},
                    WaitCase{"HeldForThreeProbes", 3},
                    WaitCase{"HeldForFiftyProbes", 50}),
    [](const testing::TestParamInfo<WaitCase>& info) {
      return std::string(info.param.name);
    });

// A probe that fails says nothing about the application; the wait ends as
// if it had gone, after the one sleep, and the null handle is still closed.
TEST_F(RunUpdateTest, NameHeldByAnEventEndsTheWait) {
  platform().HoldNameAsEvent("Zelvaro");

  WaitForMainExit();

  EXPECT_EQ(platform().log(), Probe("NULL", ERROR_INVALID_HANDLE));
}

TEST_F(RunUpdateTest, MutexThatMayNotBeOpenedEndsTheWait) {
  platform().DenyMutexes(ERROR_ACCESS_DENIED);

  WaitForMainExit();

  EXPECT_EQ(platform().log(), Probe("NULL", ERROR_ACCESS_DENIED));
}

// --- After the wait: install, report, restart --------------------------------

struct SequenceCase {
  const char* name;
  std::string installer;
  bool installer_missing;
  bool main_application_missing;
  Log after_wait;
  std::vector<std::string> open_at_end;
  int failing_allocation = 0;  // 1: the installer's command, 2: the restart's
};
void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

class SequenceTest : public RunUpdateTest,
                     public testing::WithParamInterface<SequenceCase> {};

TEST_P(SequenceTest, RestartsTheMainApplicationOnEveryPath) {
  const SequenceCase& c = GetParam();
  platform().SetCommandLine(c.installer);
  if (c.installer_missing)
    platform().RemoveProgram(c.installer);
  if (c.main_application_missing)
    platform().RemoveProgram("zvr.exe");
  if (c.failing_allocation != 0)
    platform().FailAllocation(c.failing_allocation);
  platform().HoldMutexUntilSleep("Zelvaro", 1);

  EXPECT_EQ(RunWithIgnoredArguments(), 0);

  const Log& log = platform().log();
  // The defence, the guard, two probes, and the command line read again.
  const size_t before = kDllDefence.size() + 1 + 2 * 4 + 1;
  ASSERT_GE(log.size(), before);
  EXPECT_EQ(Log(log.begin() + before, log.end()), c.after_wait);
  EXPECT_EQ(platform().OpenHandles(), c.open_at_end);
  EXPECT_FALSE(platform().NamedObjectExists("Zelvaro"));
}

const std::string kLongInstaller(40000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SequenceTest,
    testing::Values(
        SequenceCase{"InstallerRunsToItsEndThenRestart", kInstaller, false,
                     false,
                     {std::string(kInstallerStart) + " = process1",
                      "WaitForSingleObject(process1, INFINITE) = 0x0",
                      std::string(kRestart) + " = process2"},
                     {"process1", "thread1", "process2", "thread2"}},
        SequenceCase{"MissingInstallerIsReportedOnceThenRestart", kInstaller,
                     true, false,
                     {std::string(kInstallerStart) + " = FALSE", kBox,
                      std::string(kRestart) + " = process1"},
                     {"process1", "thread1"}},
        SequenceCase{"FailedRestartIsSilent", kInstaller, false, true,
                     {std::string(kInstallerStart) + " = process1",
                      "WaitForSingleObject(process1, INFINITE) = 0x0",
                      std::string(kRestart) + " = FALSE"},
                     {"process1", "thread1"}},
        SequenceCase{"NothingStartsYetExitCodeIsZero", kInstaller, true, true,
                     {std::string(kInstallerStart) + " = FALSE", kBox,
                      std::string(kRestart) + " = FALSE"},
                     {}},
        // The platform refuses a command past its own limit; the updater
        // neither cuts it nor crashes, and reports it like a missing file.
        SequenceCase{"CommandPastThePlatformLimitIsReported", kLongInstaller,
                     false, false,
                     {"CreateProcessA(<40010 chars>) = FALSE", kBox,
                      std::string(kRestart) + " = process1"},
                     {"process1", "thread1"}},
        // No memory for the command is one more way the installer cannot
        // start; for the restart it is as silent as a missing zvr.exe.
        SequenceCase{"NoMemoryForTheInstallersCommandIsReported", kInstaller,
                     false, false,
                     {kBox, std::string(kRestart) + " = process1"},
                     {"process1", "thread1"}, 1},
        SequenceCase{"NoMemoryForTheRestartIsSilent", kInstaller, false, false,
                     {std::string(kInstallerStart) + " = process1",
                      "WaitForSingleObject(process1, INFINITE) = 0x0"},
                     {"process1", "thread1"}, 2}),
    [](const testing::TestParamInfo<SequenceCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
