// The kit's calls for paths held in UTF-16: each path reaches the updater
// in a form it reads in the ANSI code page, or the call refuses before
// anything is asked or started; and an install in a folder whose name has
// no ANSI form updates on both roads.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "caller_fixture.h"
#include "fake_internal.h"

namespace caller_test {
namespace {

std::wstring Wide(const std::string& utf8) {
  return fake::internal::WideOf(utf8, nullptr);
}

// `path` (UTF-8, existing) with each component in its short form where it
// has one, as GetShortPathNameW gives it.
std::string ShortForm(const std::string& path) {
  std::string form = path.substr(0, 2);
  std::string at = form;
  size_t start = 3;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos)
      end = path.size();
    const std::string part = path.substr(start, end - start);
    at += "\\" + part;
    const std::string short_name = fake::Platform().ShortNameOf(at);
    form += "\\" + (short_name.empty() ? part : short_name);
    start = end + 1;
  }
  return form;
}

using WidePathTest = CallerTest;

// --- Which form of the installer's path the updater gets ----------------------

const std::string kUserInstall = u8"C:\\Users\\me\\AppData\\Local\\Programs\\Zelvaro";
const std::string kUpdateFolder = kDownloads + u8"\\Обновление";

struct FormCase {
  const char* name;
  std::string installer;  // UTF-8
  // The command line the updater reads, in the machine's ANSI code page.
  std::function<std::string()> command;
  std::function<void(fake::Win32&)> arrange = [](fake::Win32&) {};
};
void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

class FormTest : public WidePathTest,
                 public testing::WithParamInterface<FormCase> {};

TEST_P(FormTest, InstallerReachesTheUpdaterInAFormItReads) {
  const FormCase& c = GetParam();
  c.arrange(platform());
  Install(kUserInstall, Writers::kUser, "zvr version 1");
  platform().AddFile(c.installer, kPayload, Writers::kUser);
  platform().AddFile(kDownloads + "\\Ab\\setup.exe", "planted", Writers::kUser);

  HANDLE started = StartUpdater(Wide(kUserInstall + "\\updater.exe").c_str(),
                                Wide(c.installer).c_str());

  ASSERT_NE(started, nullptr);
  ASSERT_EQ(platform().starts().size(), 1u);
  const fake::ProcessStart& start = platform().starts()[0];
  EXPECT_EQ(start.command, c.command());
  EXPECT_TRUE(start.wide);
  CloseHandle(started);
}

INSTANTIATE_TEST_SUITE_P(
    Installers, FormTest,
    testing::Values(
        FormCase{"AsciiAsItIs", kDownloads + "\\Zelvaro Setup 2.exe",
                 [] {
                   return kDownloads + "\\Zelvaro Setup 2.exe";
                 }},
        FormCase{"AnsiLettersAsTheyAre", kDownloads + u8"\\Zelvaro Setup é.exe",
                 [] {
                   return kDownloads + "\\Zelvaro Setup \xE9.exe";
                 }},
        FormCase{"CyrillicFolderByItsShortName",
                 kUpdateFolder + "\\setup.exe",
                 [] {
                   return ShortForm(kUpdateFolder + "\\setup.exe");
                 }},
        // Best fit would make "Āb" the look-alike "Ab": another folder,
        // here someone else's.
        FormCase{"LookAlikeFolderNeverNamed",
                 kDownloads + u8"\\Āb\\setup.exe",
                 [] {
                   return ShortForm(kDownloads + u8"\\Āb\\setup.exe");
                 }},
        // The updater reads its command line in the system's code page,
        // whatever the application's manifest chose for its own.
        FormCase{"ShortFormWhereOnlyTheApplicationRunsInUtf8",
                 kUpdateFolder + "\\setup.exe",
                 [] { return ShortForm(kUpdateFolder + "\\setup.exe"); },
                 [](fake::Win32& platform) {
                   platform.SetProcessCodePage(CP_UTF8);
                 }},
        FormCase{"EveryLetterAsItIsWhereTheAnsiCodePageIsUtf8",
                 kUpdateFolder + "\\setup.exe",
                 [] { return kUpdateFolder + "\\setup.exe"; },
                 [](fake::Win32& platform) {
                   platform.SetAnsiCodePage(CP_UTF8);
                 }}),
    [](const testing::TestParamInfo<FormCase>& info) {
      return std::string(info.param.name);
    });

// --- Paths that cannot travel -------------------------------------------------

struct UntravelledCase {
  const char* name;
  std::function<void(fake::Win32&)> arrange;
  bool null_updater;  // else the installed updater
  const wchar_t* installer;
  DWORD error;
};
void PrintTo(const UntravelledCase& c, std::ostream* os) { *os << c.name; }

enum class Call { kStartUpdater, kStartUpdaterElevated };

class UntravelledTest
    : public WidePathTest,
      public testing::WithParamInterface<std::tuple<UntravelledCase, Call>> {};

const std::wstring kCyrillicInstaller = Wide(kUpdateFolder + "\\setup.exe");
const std::wstring kTooLong = L"C:\\" + std::wstring(MAX_PATH - 3, L'x');
const std::wstring kWideUpdater = Wide(kUpdater);

TEST_P(UntravelledTest, RefusedBeforeAnythingIsAskedOrStarted) {
  const UntravelledCase& c = std::get<0>(GetParam());
  c.arrange(platform());
  const wchar_t* updater = c.null_updater ? nullptr : kWideUpdater.c_str();
  SetLastError(0);
  HANDLE started =
      std::get<1>(GetParam()) == Call::kStartUpdater
          ? StartUpdater(updater, c.installer, kDigest.c_str())
          : StartUpdaterElevated(updater, c.installer, kDigest.c_str());

  EXPECT_EQ(started, nullptr);
  EXPECT_EQ(GetLastError(), c.error);
  EXPECT_TRUE(platform().starts().empty());
  EXPECT_TRUE(platform().shell_starts().empty());
  EXPECT_TRUE(platform().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UntravelledTest,
    testing::Combine(
        testing::Values(
            UntravelledCase{"VolumeKeepsNoShortNames",
                            [](fake::Win32& platform) {
                              platform.TurnOffShortNames('C');
                              platform.AddFile(kUpdateFolder + "\\setup.exe",
                                               kPayload, Writers::kUser);
                            },
                            false, kCyrillicInstaller.c_str(),
                            ERROR_NO_UNICODE_TRANSLATION},
            // A file that is not there has no short form either.
            UntravelledCase{"MissingInstaller", [](fake::Win32&) {}, false,
                            kCyrillicInstaller.c_str(),
                            ERROR_NO_UNICODE_TRANSLATION},
            UntravelledCase{"NullInstaller", [](fake::Win32&) {}, false,
                            nullptr, ERROR_INVALID_PARAMETER},
            UntravelledCase{"NullUpdater", [](fake::Win32&) {}, true,
                            kCyrillicInstaller.c_str(),
                            ERROR_INVALID_PARAMETER},
            UntravelledCase{"InstallerOfMaxPathCharacters",
                            [](fake::Win32&) {}, false, kTooLong.c_str(),
                            ERROR_FILENAME_EXCED_RANGE}),
        testing::Values(Call::kStartUpdater, Call::kStartUpdaterElevated)),
    [](const testing::TestParamInfo<std::tuple<UntravelledCase, Call>>& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) == Call::kStartUpdater ? "ByStartUpdater"
                                                             : "ByElevated");
    });

// --- Installs in folders without an ANSI name ------------------------------------

const std::string kProfile = u8"C:\\Users\\Дмитрий";

// The user's own install under a profile whose name has no ANSI form: the
// updater starts by its own UTF-16 path, in its own folder, as the user.
TEST_F(WidePathTest, PerUserInstallUnderAProfileWithoutAnAnsiName) {
  const std::string folder = kProfile + "\\AppData\\Local\\Programs\\Zelvaro";
  const std::string installer = kProfile + u8"\\Downloads\\Зельваро 2.exe";
  Install(folder, Writers::kUser, "zvr version 1");
  platform().AddFile(installer, kPayload, Writers::kUser);

  HANDLE started = StartUpdater(Wide(folder + "\\updater.exe").c_str(),
                                Wide(installer).c_str(), kDigest.c_str());

  ASSERT_NE(started, nullptr);
  ASSERT_EQ(platform().starts().size(), 1u);
  const fake::ProcessStart& start = platform().starts()[0];
  EXPECT_EQ(start.application_name, folder + "\\updater.exe");
  EXPECT_EQ(start.current_directory, folder + "\\");
  EXPECT_EQ(start.command, ShortForm(installer));
  EXPECT_EQ(start.environment.at("__COMPAT_LAYER"), "RunAsInvoker");
  EXPECT_TRUE(platform().shell_starts().empty());
  CloseHandle(started);
}

struct MachineCase {
  const char* name;
  std::string installer;  // UTF-8
  const char* copy_name;
  bool ansi_call;  // the ANSI call, given both paths' short forms
  bool application_in_utf8 = false;  // by its manifest, on a 1252 machine
};
void PrintTo(const MachineCase& c, std::ostream* os) { *os << c.name; }

class MachineTest : public WidePathTest,
                    public testing::WithParamInterface<MachineCase> {};

// A per-machine install in a folder whose name has no ANSI form: the
// prompt is asked for (GetModuleFileNameA's "?" once made the kit take its
// own updater for a stranger's), and the helper starts the updater with a
// copy whose name the updater can read.
TEST_P(MachineTest, PerMachineInstallUpdatesThroughTheHelper) {
  const MachineCase& c = GetParam();
  const std::string folder = u8"C:\\Program Files\\Зельваро";
  const std::string updater = folder + "\\updater.exe";
  Install(folder, Writers::kAdministrators, "zvr version 1");
  platform().AddFile(c.installer, kPayload, Writers::kUser);
  if (c.application_in_utf8)
    platform().SetProcessCodePage(CP_UTF8);

  HANDLE helper =
      c.ansi_call
          ? StartUpdaterElevated(ShortForm(updater).c_str(),
                                 ShortForm(c.installer).c_str(),
                                 kDigest.c_str())
          : StartUpdaterElevated(Wide(updater).c_str(),
                                 Wide(c.installer).c_str(), kDigest.c_str());

  ASSERT_NE(helper, nullptr) << GetLastError();
  CloseHandle(helper);
  ASSERT_EQ(platform().shell_starts().size(), 1u);
  ASSERT_EQ(ServeTheHelper(), 0);
  ASSERT_EQ(platform().starts().size(), 1u);
  const fake::ProcessStart& start = platform().starts()[0];
  EXPECT_EQ(start.application_name, updater);
  EXPECT_EQ(start.current_directory, folder + "\\");
  ASSERT_EQ(StagingFolders().size(), 1u);
  EXPECT_EQ(start.command, StagingFolders()[0] + "\\" + c.copy_name);
  EXPECT_EQ(platform().FileBytes(fake::Utf8FromAnsi(start.command)), kPayload);
}

INSTANTIATE_TEST_SUITE_P(
    Installers, MachineTest,
    testing::Values(
        MachineCase{"NameWithoutAnsiFormCopiedAsAscii",
                    kUpdateFolder + u8"\\Зельваро 2.exe", "installer.exe",
                    false},
        MachineCase{"AnsiNameKeptWhereOnlyItsFolderHasNone",
                    kUpdateFolder + "\\Zelvaro Setup 2.exe",
                    "Zelvaro Setup 2.exe", false},
        MachineCase{"AnsiCallGivenShortForms",
                    kUpdateFolder + "\\Zelvaro Setup 2.exe",
                    "Zelvaro Setup 2.exe", true},
        // Exact in UTF-8, the name would reach the updater, which reads
        // its command line in Windows-1252, as "\\..\\..\\evil.exe".
        MachineCase{"LookAlikeSeparatorsNeverNameTheCopy",
                    kUpdateFolder + u8"\\＼..＼..＼evil.exe", "installer.exe",
                    false, true}),
    [](const testing::TestParamInfo<MachineCase>& info) {
      return std::string(info.param.name);
    });

// An application running in UTF-8 by its manifest passes its own ANSI
// text: the updater, in Windows-1252, would read "?" or a look-alike.
TEST_F(WidePathTest, AnsiTextTheUpdaterWouldMisreadIsRefused) {
  const std::string folder = kProfile + "\\AppData\\Local\\Programs\\Zelvaro";
  const std::string installer = kDownloads + u8"\\＼..＼setup.exe";
  Install(folder, Writers::kUser, "zvr version 1");
  platform().AddFile(installer, kPayload, Writers::kUser);
  platform().SetProcessCodePage(CP_UTF8);

  HANDLE started = StartUpdater(ShortForm(folder + "\\updater.exe").c_str(),
                                installer.c_str(), kDigest.c_str());

  EXPECT_EQ(started, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_TRUE(platform().starts().empty());
}

}  // namespace
}  // namespace caller_test
