// The silent launcher against the fake platform: the command line exactly
// as CreateProcessA receives it, the other nine arguments, and who owns
// which handle afterwards.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "fake_win32.h"
#include "launch_silent.h"

namespace {

class LaunchSilentTest : public testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  fake::Win32& platform() { return fake::Platform(); }
};

struct CommandCase {
  const char* name;
  std::string target;
  std::string command;
  bool starts = true;
};
void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class CommandTest : public LaunchSilentTest,
                    public testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, ArrivesWholeAsQuotedTargetThenSwitch) {
  // A target in a folder the machine has must be there to start.
  if (GetParam().starts && GetParam().target.compare(0, 3, "C:\\") == 0)
    platform().AddFile(fake::Utf8FromAnsi(GetParam().target), "");
  HANDLE process = LaunchSilent(GetParam().target.c_str());
  EXPECT_EQ(process != nullptr, GetParam().starts);

  ASSERT_EQ(platform().starts().size(), 1u);
  const std::string& command = platform().starts()[0].command;
  EXPECT_EQ(command.size(), GetParam().target.size() + 10);
  EXPECT_EQ(command, GetParam().command);
}

std::string Long(size_t length) { return std::string(length, 'a'); }

INSTANTIATE_TEST_SUITE_P(
    Targets, CommandTest,
    testing::Values(
        CommandCase{"BareFileName", "zvr.exe", "\"zvr.exe\" /silent"},
        CommandCase{"PathWithSpacesStaysOneProgram",
                    "C:\\Program Files\\Zelvaro\\setup 2.exe",
                    "\"C:\\Program Files\\Zelvaro\\setup 2.exe\" /silent"},
        // Both name the empty program, which the platform refuses: the
        // quotes are passed on, not interpreted.
        CommandCase{"OwnQuotesLeftInside", "\"C:\\a b\\s.exe\" /x",
                    "\"\"C:\\a b\\s.exe\" /x\" /silent", false},
        CommandCase{"Empty", "", "\"\" /silent", false},
        CommandCase{"BytesAboveAsciiUnchanged", "C:\\\xC4\xE4\x81\xFF.exe",
                    "\"C:\\\xC4\xE4\x81\xFF.exe\" /silent"},
        // 249 characters fill the classic 260-byte buffer to its last byte;
        // the longer ones would have been cut to "/sil..." or worse.
        CommandCase{"Length249", Long(249), "\"" + Long(249) + "\" /silent"},
        CommandCase{"Length250", Long(250), "\"" + Long(250) + "\" /silent"},
        CommandCase{"Length255", Long(255), "\"" + Long(255) + "\" /silent"},
        CommandCase{"Length1000", Long(1000), "\"" + Long(1000) + "\" /silent"},
        CommandCase{"Length32000", Long(32000),
                    "\"" + Long(32000) + "\" /silent"}),
    [](const testing::TestParamInfo<CommandCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(LaunchSilentTest, PassesNothingButTheCommandLine) {
  LaunchSilent("zvr.exe");

  ASSERT_EQ(platform().starts().size(), 1u);
  const fake::ProcessStart& start = platform().starts()[0];
  // The program comes from the command's first token, so the quotes decide
  // what runs; handles, environment and folder are the updater's own.
  EXPECT_TRUE(start.application_name_null);
  EXPECT_TRUE(start.process_attributes_null);
  EXPECT_TRUE(start.thread_attributes_null);
  EXPECT_EQ(start.inherit_handles, FALSE);
  EXPECT_EQ(start.creation_flags, 0u);
  EXPECT_TRUE(start.environment_null);
  EXPECT_TRUE(start.current_directory_null);
  EXPECT_TRUE(start.process_information_given);
  // Only the size is set: no show-window state, desktop, title or standard
  // handles reach the new process. The target's own record is 68 bytes,
  // which the cross build asserts; here the host's record is checked.
  STARTUPINFOA expected;
  memset(&expected, 0, sizeof(expected));
  expected.cb = sizeof(STARTUPINFOA);
  EXPECT_EQ(memcmp(&start.startup, &expected, sizeof(expected)), 0);
}

TEST_F(LaunchSilentTest, StartedProcessIsTheCallersAndItsThreadStaysOpen) {
  HANDLE process = LaunchSilent("zvr.exe");

  EXPECT_EQ(platform().OpenHandles(),
            (std::vector<std::string>{"process1", "thread1"}));
  // The handle handed back is the process's, not its thread's: waiting on
  // it is what tells the updater the installer has ended.
  EXPECT_EQ(WaitForSingleObject(process, INFINITE),
            static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(LaunchSilentTest, FailedStartLeavesNoHandle) {
  platform().RemoveProgram("C:\\gone.exe");

  EXPECT_EQ(LaunchSilent("C:\\gone.exe"), nullptr);
  EXPECT_TRUE(platform().OpenHandles().empty());
}

TEST_F(LaunchSilentTest, NoMemoryForTheCommandStartsNothing) {
  platform().FailAllocation(1);

  EXPECT_EQ(LaunchSilent("zvr.exe"), nullptr);
  EXPECT_TRUE(platform().starts().empty());
  EXPECT_TRUE(platform().OpenHandles().empty());
}

}  // namespace
