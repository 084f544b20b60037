// The fake itself, where the kit's tests lean on it: a SHA-256 that gives
// the published digests, security read back as the file system holds it,
// and refusals Windows makes that a kinder fake would let through.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_internal.h"
#include "fake_win32.h"

namespace {

struct DigestCase {
  const char* name;
  std::string bytes;
  const char* digest;
};
void PrintTo(const DigestCase& c, std::ostream* os) { *os << c.name; }

class DigestTest : public testing::TestWithParam<DigestCase> {};

TEST_P(DigestTest, Sha256GivesThePublishedDigest) {
  EXPECT_EQ(fake::Sha256Hex(GetParam().bytes), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(
    Fips180, DigestTest,
    testing::Values(
        DigestCase{"Empty", "",
                   "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b"
                   "7852b855"},
        DigestCase{"Abc", "abc",
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61"
                   "f20015ad"},
        DigestCase{"TwoBlocks",
                   "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd4"
                   "19db06c1"},
        DigestCase{"MillionAs", std::string(1000000, 'a'),
                   "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39cc"
                   "c7112cd0"}),
    [](const testing::TestParamInfo<DigestCase>& info) {
      return std::string(info.param.name);
    });

const char kFolder[] = "C:\\Users\\me\\Downloads";
const char kFile[] = "C:\\Users\\me\\Downloads\\a.txt";

HANDLE Open(const char* path, DWORD access, DWORD share, DWORD disposition) {
  return CreateFileA(path, access, share, /*lpSecurityAttributes=*/NULL,
                     disposition, /*dwFlagsAndAttributes=*/0,
                     /*hTemplateFile=*/NULL);
}

// A process started by this one; its handle, with all access.
HANDLE StartSome() {
  char command[] = "C:\\Elsewhere\\some.exe";
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                 &process);
  CloseHandle(process.hThread);
  return process.hProcess;
}

// A named event "e" made by this process with the descriptor `sddl`.
HANDLE EventWithSddl(const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = NULL;
  ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                       &descriptor, NULL);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  HANDLE event = CreateEventA(&attributes, TRUE, FALSE, "e");
  LocalFree(descriptor);
  return event;
}

const std::string kMe = fake::kMySid;

// The owner, group and DACL of kFile into `descriptor` (`size` bytes).
void SecurityOfTheFile(char* descriptor, DWORD size) {
  DWORD needed = 0;
  GetFileSecurityA(kFile,
                   OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                       DACL_SECURITY_INFORMATION,
                   descriptor, size, &needed);
}

// AccessCheck of `token` on kFile, for the most it may have.
BOOL AccessCheckOnTheFile(HANDLE token) {
  char descriptor[512];
  SecurityOfTheFile(descriptor, sizeof(descriptor));
  GENERIC_MAPPING mapping = {};
  PRIVILEGE_SET privileges;
  DWORD size = sizeof(privileges);
  DWORD granted;
  BOOL status;
  return AccessCheck(descriptor, token, MAXIMUM_ALLOWED, &mapping,
                     &privileges, &size, &granted, &status);
}

// Runs `act`, which returns false where Windows refuses; the error then.
struct StrictCase {
  const char* name;
  std::function<bool()> act;
  DWORD error;
};
void PrintTo(const StrictCase& c, std::ostream* os) { *os << c.name; }

class StrictTest : public testing::TestWithParam<StrictCase> {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::Platform().AddFile(kFile, "bytes", fake::Writers::kUser);
  }
};

TEST_P(StrictTest, RefusesAsWindowsDoes) {
  SetLastError(0);
  EXPECT_FALSE(GetParam().act());
  EXPECT_EQ(GetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, StrictTest,
    testing::Values(
        StrictCase{"CreateNewOverAFile",
                   [] {
                     return Open(kFile, GENERIC_WRITE, 0, CREATE_NEW) !=
                            INVALID_HANDLE_VALUE;
                   },
                   ERROR_FILE_EXISTS},
        StrictCase{"SecondOpenAgainstShareMode",
                   [] {
                     Open(kFile, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
                     return Open(kFile, GENERIC_WRITE, FILE_SHARE_READ,
                                 OPEN_EXISTING) != INVALID_HANDLE_VALUE;
                   },
                   ERROR_SHARING_VIOLATION},
        StrictCase{"ReadWithoutReadAccess",
                   [] {
                     HANDLE file = Open(kFile, GENERIC_WRITE, 0, OPEN_EXISTING);
                     char byte;
                     DWORD read;
                     return ReadFile(file, &byte, 1, &read, NULL) != FALSE;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"WriteWithoutWriteAccess",
                   [] {
                     HANDLE file = Open(kFile, GENERIC_READ, 0, OPEN_EXISTING);
                     DWORD written;
                     return WriteFile(file, "x", 1, &written, NULL) != FALSE;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"DeleteWhileOpenWithoutShareDelete",
                   [] {
                     Open(kFile, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
                     return DeleteFileA(kFile) != FALSE;
                   },
                   ERROR_SHARING_VIOLATION},
        StrictCase{"RemoveFolderThatIsNotEmpty",
                   [] { return RemoveDirectoryA(kFolder) != FALSE; },
                   ERROR_DIR_NOT_EMPTY},
        StrictCase{"CreateFolderOverAJunction",
                   [] {
                     fake::Platform().AddJunction(
                         "C:\\Windows\\Temp\\x", kFolder);
                     return CreateDirectoryA("C:\\Windows\\Temp\\x", NULL) !=
                            FALSE;
                   },
                   ERROR_ALREADY_EXISTS},
        // Windows takes no default character, and no flag but this one,
        // for UTF-8.
        StrictCase{"UsedDefaultAskedOfUtf8",
                   [] {
                     char text[8];
                     BOOL used = FALSE;
                     return WideCharToMultiByte(CP_UTF8, 0, L"a", -1, text, 8,
                                                NULL, &used) != 0;
                   },
                   ERROR_INVALID_PARAMETER},
        StrictCase{"NoBestFitAskedOfUtf8",
                   [] {
                     char text[8];
                     return WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS,
                                                L"a", -1, text, 8, NULL,
                                                NULL) != 0;
                   },
                   ERROR_INVALID_FLAGS},
        StrictCase{"InvalidCharactersAskedOfAnAnsiCodePage",
                   [] {
                     char text[8];
                     return WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS,
                                                L"a", -1, text, 8, NULL,
                                                NULL) != 0;
                   },
                   ERROR_INVALID_FLAGS},
        // The long form of a path names each entry as it stands: no dot
        // taken off its end, no missing entry made up.
        StrictCase{"LongFormOfANameWithATrailingDot",
                   [] {
                     wchar_t path[MAX_PATH];
                     return GetLongPathNameW(
                                L"C:\\Users\\me\\Downloads\\a.txt.", path,
                                MAX_PATH) != 0;
                   },
                   ERROR_FILE_NOT_FOUND},
        StrictCase{"ShortFormOfAMissingFile",
                   [] {
                     wchar_t path[MAX_PATH];
                     return GetShortPathNameW(
                                L"C:\\Users\\me\\Downloads\\b.txt", path,
                                MAX_PATH) != 0;
                   },
                   ERROR_FILE_NOT_FOUND},
        StrictCase{"CreateFolderInAdministratorsFolderUnelevated",
                   [] {
                     return CreateDirectoryA("C:\\Windows\\x", NULL) != FALSE;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"DeleteAtRestartUnelevated",
                   [] {
                     return MoveFileExA(kFile, NULL,
                                        MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"SecurityIntoTooSmallABuffer",
                   [] {
                     DWORD needed = 0;
                     char small[8];
                     return GetFileSecurityA(kFile,
                                             OWNER_SECURITY_INFORMATION,
                                             small, sizeof(small),
                                             &needed) != FALSE;
                   },
                   ERROR_INSUFFICIENT_BUFFER},
        StrictCase{"AccessCheckWithAPrimaryToken",
                   [] {
                     HANDLE token;
                     OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY,
                                      &token);
                     return AccessCheckOnTheFile(token) != FALSE;
                   },
                   ERROR_NO_IMPERSONATION_TOKEN},
        // A check Windows could not make: the caller must not read an
        // answer into it.
        StrictCase{"AccessCheckThatCouldNotBeMade",
                   [] {
                     fake::Platform().FailCall("AccessCheck", 1,
                                               ERROR_NOT_ENOUGH_MEMORY);
                     HANDLE own;
                     OpenProcessToken(GetCurrentProcess(),
                                      TOKEN_QUERY | TOKEN_DUPLICATE, &own);
                     HANDLE token = NULL;
                     DuplicateToken(own, SecurityIdentification, &token);
                     return AccessCheckOnTheFile(token) != FALSE;
                   },
                   ERROR_NOT_ENOUGH_MEMORY},
        StrictCase{"OwnerOfADescriptorThatCouldNotBeRead",
                   [] {
                     fake::Platform().FailCall("GetSecurityDescriptorOwner",
                                               1,
                                               ERROR_INVALID_SECURITY_DESCR);
                     char descriptor[512];
                     SecurityOfTheFile(descriptor, sizeof(descriptor));
                     PSID owner = NULL;
                     BOOL defaulted = FALSE;
                     return GetSecurityDescriptorOwner(descriptor, &owner,
                                                       &defaulted) != FALSE;
                   },
                   ERROR_INVALID_SECURITY_DESCR},
        StrictCase{"LinkedTokenWithoutUac",
                   [] {
                     fake::Platform().SetAccount(
                         fake::Account::kAdminWithoutUac);
                     HANDLE token;
                     OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY,
                                      &token);
                     TOKEN_LINKED_TOKEN linked;
                     DWORD size;
                     return GetTokenInformation(token, TokenLinkedToken,
                                                &linked, sizeof(linked),
                                                &size) != FALSE;
                   },
                   ERROR_NO_SUCH_LOGON_SESSION},
        StrictCase{"MissingVariable",
                   [] {
                     char value[8];
                     return GetEnvironmentVariableA("NOT_SET", value,
                                                    sizeof(value)) != 0;
                   },
                   ERROR_ENVVAR_NOT_FOUND},
        StrictCase{"WaitOnAnEventOpenedOnlyToSetIt",
                   [] {
                     CloseHandle(CreateEventA(NULL, TRUE, FALSE, "e"));
                     HANDLE keep = CreateEventA(NULL, TRUE, FALSE, "e");
                     (void)keep;
                     HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "e");
                     return WaitForSingleObject(event, 0) != WAIT_FAILED;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"AceBeyondTheCount",
                   [] {
                     PSECURITY_DESCRIPTOR descriptor = NULL;
                     ConvertStringSecurityDescriptorToSecurityDescriptorA(
                         "D:(A;;FA;;;SY)", SDDL_REVISION_1, &descriptor,
                         NULL);
                     BOOL present = FALSE;
                     BOOL defaulted = FALSE;
                     PACL dacl = NULL;
                     GetSecurityDescriptorDacl(descriptor, &present, &dacl,
                                               &defaulted);
                     void* ace = NULL;
                     return GetAce(dacl, 1, &ace) != FALSE;
                   },
                   ERROR_INVALID_PARAMETER},
        StrictCase{"SidTextOfWhatIsNoSid",
                   [] {
                     BYTE junk[12] = {7, 1};
                     char* text = NULL;
                     return ConvertSidToStringSidA(junk, &text) != FALSE;
                   },
                   ERROR_INVALID_SID},
        StrictCase{"TokenUserIntoARecordWithNoRoomForTheSid",
                   [] {
                     HANDLE token;
                     OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY,
                                      &token);
                     TOKEN_USER user;
                     DWORD size = 0;
                     return GetTokenInformation(token, TokenUser, &user,
                                                sizeof(user), &size) != FALSE;
                   },
                   ERROR_INSUFFICIENT_BUFFER},
        StrictCase{"TerminateThroughAHandleWithoutTheRight",
                   [] {
                     HANDLE process = StartSome();
                     HANDLE waitable = NULL;
                     DuplicateHandle(GetCurrentProcess(), process,
                                     GetCurrentProcess(), &waitable,
                                     SYNCHRONIZE, FALSE, 0);
                     return TerminateProcess(waitable, 1) != FALSE;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"TerminateAProcessThatEnded",
                   [] {
                     HANDLE process = StartSome();
                     TerminateProcess(process, 1);
                     return TerminateProcess(process, 1) != FALSE;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"OpenAnEventForMoreThanItsDaclGrants",
                   [] {
                     EventWithSddl(
                         ("D:(A;;GA;;;SY)(A;;0x100000;;;" + kMe + ")").c_str());
                     return OpenEventA(EVENT_MODIFY_STATE, FALSE, "e") != NULL;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"AnotherAccountOpensAnEventOfTheUsersDefaultDacl",
                   [] {
                     CreateEventA(NULL, TRUE, FALSE, "e");
                     fake::Platform().SetAccount(
                         fake::Account::kOtherAdminElevated);
                     return OpenEventA(SYNCHRONIZE, FALSE, "e") != NULL;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"CreateAnEventOverOneThatShutsTheCallerOut",
                   [] {
                     fake::Platform().SquatEvent(
                         "e", "D:(D;;GA;;;" + kMe + ")(A;;GA;;;SY)");
                     return CreateEventA(NULL, TRUE, FALSE, "e") != NULL;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"CopyOverAFileWhenToldToFail",
                   [] {
                     const char other[] = "C:\\Users\\me\\Downloads\\b.txt";
                     fake::Platform().AddFile(other, "", fake::Writers::kUser);
                     return CopyFileA(kFile, other, TRUE) != FALSE;
                   },
                   ERROR_FILE_EXISTS},
        StrictCase{"WriteTheExeOfARunningProcess",
                   [] {
                     fake::Platform().SetModuleFileName(kFile);
                     return Open(kFile, GENERIC_WRITE, FILE_SHARE_READ,
                                 OPEN_EXISTING) != INVALID_HANDLE_VALUE;
                   },
                   ERROR_SHARING_VIOLATION},
        StrictCase{"DeleteTheExeOfARunningProcess",
                   [] {
                     fake::Platform().SetModuleFileName(kFile);
                     return DeleteFileA(kFile) != FALSE;
                   },
                   ERROR_ACCESS_DENIED},
        StrictCase{"VolumeOfADriveNamedWithoutItsRoot",
                   [] {
                     DWORD flags = 0;
                     return GetVolumeInformationA("C:", NULL, 0, NULL, NULL,
                                                  &flags, NULL, 0) != FALSE;
                   },
                   ERROR_INVALID_NAME},
        StrictCase{"ProcedureOfAFreedLibrary",
                   [] {
                     HMODULE module = LoadLibraryExA(
                         "wintrust.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
                     FreeLibrary(module);
                     return GetProcAddress(module, "WinVerifyTrust") != NULL;
                   },
                   ERROR_MOD_NOT_FOUND},
        StrictCase{"CloseALibraryAsAHandle",
                   [] {
                     return CloseHandle(LoadLibraryExA(
                                "crypt32.dll", NULL,
                                LOAD_LIBRARY_SEARCH_SYSTEM32)) != FALSE;
                   },
                   ERROR_INVALID_HANDLE},
        StrictCase{"FreeAnEnvironmentBlockWithLocalFree",
                   [] {
                     return LocalFree(GetEnvironmentStringsW()) == NULL;
                   },
                   ERROR_INVALID_HANDLE},
        StrictCase{"FreeOtherMemoryAsAnEnvironmentBlock",
                   [] {
                     PSECURITY_DESCRIPTOR descriptor = NULL;
                     ConvertStringSecurityDescriptorToSecurityDescriptorA(
                         "D:(A;;FA;;;SY)", SDDL_REVISION_1, &descriptor,
                         NULL);
                     return FreeEnvironmentStringsW(
                                static_cast<LPWSTR>(descriptor)) != FALSE;
                   },
                   ERROR_INVALID_PARAMETER},
        StrictCase{"CreateAFileBelowAFile",
                   [] {
                     return Open("C:\\Users\\me\\Downloads\\a.txt\\x.exe",
                                 GENERIC_WRITE, 0,
                                 CREATE_NEW) != INVALID_HANDLE_VALUE;
                   },
                   ERROR_PATH_NOT_FOUND},
        StrictCase{"CreateAFolderBelowAFile",
                   [] {
                     return CreateDirectoryA(
                                "C:\\Users\\me\\Downloads\\a.txt\\x",
                                NULL) != FALSE;
                   },
                   ERROR_PATH_NOT_FOUND},
        StrictCase{"CloseAFindHandle",
                   [] {
                     WIN32_FIND_DATAA found;
                     return CloseHandle(FindFirstFileA(
                                "C:\\Users\\me\\Downloads\\*", &found)) !=
                            FALSE;
                   },
                   ERROR_INVALID_HANDLE}),
    [](const testing::TestParamInfo<StrictCase>& info) {
      return std::string(info.param.name);
    });

// A failure FailCall scripted strikes the one call it names, and no other.
TEST(FakeTest, ScriptedFailureStrikesOnlyTheNthCall) {
  fake::Reset();
  fake::Platform().AddFile(kFile, "bytes", fake::Writers::kUser);
  char descriptor[512];
  SecurityOfTheFile(descriptor, sizeof(descriptor));
  fake::Platform().FailCall("GetSecurityDescriptorOwner", 2,
                            ERROR_INVALID_SECURITY_DESCR);
  PSID owner = NULL;
  BOOL defaulted = FALSE;

  EXPECT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
  EXPECT_FALSE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  EXPECT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
}

TEST(FakeTest, VerificationStateLeftOpenShowsAsAHandle) {
  fake::Reset();
  fake::Platform().AddFile(kFile, "unsigned", fake::Writers::kUser);
  wchar_t wide[MAX_PATH];
  MultiByteToWideChar(CP_ACP, 0, kFile, -1, wide, MAX_PATH);
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = wide;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

  EXPECT_EQ(WinVerifyTrust(NULL, &action, &data), TRUST_E_NOSIGNATURE);
  EXPECT_EQ(fake::Platform().OpenHandles(),
            std::vector<std::string>{"trust1"});

  data.dwStateAction = WTD_STATEACTION_CLOSE;
  EXPECT_EQ(WinVerifyTrust(NULL, &action, &data), 0);
  EXPECT_TRUE(fake::Platform().OpenHandles().empty());
}

}  // namespace

namespace {

// What GetFileSecurityA gives for `path`, in a buffer of the size it asked.
std::vector<char> SecurityOf(const char* path) {
  const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION |
                                      GROUP_SECURITY_INFORMATION |
                                      DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetFileSecurityA(path, wanted, NULL, 0, &size);
  std::vector<char> descriptor(size);
  EXPECT_TRUE(GetFileSecurityA(path, wanted, descriptor.data(), size, &size));
  return descriptor;
}

// The SID's text, freed again.
std::string SidText(PSID sid) {
  char* text = NULL;
  if (!ConvertSidToStringSidA(sid, &text))
    return "";
  const std::string copy = text;
  EXPECT_EQ(LocalFree(text), nullptr);
  return copy;
}

TEST(FakeTest, OwnerAndEntriesReadBackAsTheFileSystemHoldsThem) {
  fake::Reset();
  fake::Platform().AddFile(kFile, "bytes", fake::Writers::kUser);
  std::vector<char> descriptor = SecurityOf(kFile);

  PSID owner = NULL;
  BOOL defaulted = TRUE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor.data(), &owner,
                                         &defaulted));
  EXPECT_EQ(SidText(owner), kMe);
  BOOL present = FALSE;
  PACL dacl = NULL;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl,
                                        &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(dacl, nullptr);
  // SYSTEM, Administrators, then the user, each with full access.
  ASSERT_EQ(dacl->AceCount, 3);
  void* entry = NULL;
  ASSERT_TRUE(GetAce(dacl, 2, &entry));
  const ACCESS_ALLOWED_ACE* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
  EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
  EXPECT_EQ(SidText(const_cast<DWORD*>(&ace->SidStart)), kMe);

  // A null DACL: present, with no ACL behind it.
  fake::Platform().SetSecurity(kFile, "D:NO_ACCESS_CONTROL");
  descriptor = SecurityOf(kFile);
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl,
                                        &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);
  EXPECT_TRUE(fake::Platform().OpenHandles().empty());
}

TEST(FakeTest, SidTextLeftUnfreedShowsAsAHandle) {
  fake::Reset();
  HANDLE token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  // The size first, then the record with the SID behind it.
  DWORD size = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, NULL, 0, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<char> user(size);
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(), size, &size));
  char* text = NULL;
  ASSERT_TRUE(ConvertSidToStringSidA(
      reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text));
  EXPECT_EQ(std::string(text), kMe);
  CloseHandle(token);

  EXPECT_EQ(fake::Platform().OpenHandles(),
            std::vector<std::string>{"sid text1"});
  LocalFree(text);
  EXPECT_TRUE(fake::Platform().OpenHandles().empty());
}

// Windows reads an environment block as UTF-16 only under
// CREATE_UNICODE_ENVIRONMENT: a block passed without it starts no process
// with the variables meant.
TEST(FakeTest, WideEnvironmentBlockCountsOnlyUnderItsFlag) {
  fake::Reset();
  fake::Platform().AddFile("C:\\Programs\\p.exe", "p");
  const wchar_t block[] = L"A=1\0B=2\0";
  for (DWORD flags : {static_cast<DWORD>(CREATE_UNICODE_ENVIRONMENT),
                      static_cast<DWORD>(0)}) {
    char command[] = "p";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA("C:\\Programs\\p.exe", command, NULL, NULL,
                               FALSE, flags, const_cast<wchar_t*>(block),
                               NULL, &startup, &process));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  const fake::Environment meant = {{"A", "1"}, {"B", "2"}};
  EXPECT_EQ(fake::Platform().starts()[0].environment, meant);
  EXPECT_NE(fake::Platform().starts()[1].environment, meant);
}

// A test that scripts a file below a file would have the kit find what
// Windows can never hold.
// What the ANSI calls make of a name outside the ANSI code page: a '?'
// for each letter, which names no file; the short name does.
TEST(FakeTest, NameWithoutAnAnsiFormIsFoundByItsShortName) {
  fake::Reset();
  const std::string folder = u8"C:\\Program Files\\Зельваро";
  fake::Platform().AddFile(folder + "\\zvr.exe", "zvr");
  fake::Platform().SetModuleFileName(folder + "\\zvr.exe");
  const std::string short_name = fake::Platform().ShortNameOf(folder);
  ASSERT_FALSE(short_name.empty());
  const std::string short_path =
      "C:\\" + fake::Platform().ShortNameOf("C:\\Program Files") + "\\" +
      short_name + "\\zvr.exe";
  char ansi[MAX_PATH];

  ASSERT_GT(GetModuleFileNameA(NULL, ansi, MAX_PATH), 0u);
  EXPECT_STREQ(ansi, "C:\\Program Files\\????????\\zvr.exe");
  EXPECT_EQ(GetFileAttributesA(ansi), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesA(short_path.c_str()), INVALID_FILE_ATTRIBUTES);
  wchar_t wide[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(NULL, wide, MAX_PATH), 0u);
  wchar_t short_form[MAX_PATH];
  ASSERT_GT(GetShortPathNameW(wide, short_form, MAX_PATH), 0u);
  EXPECT_EQ(fake::internal::Utf8(short_form), short_path);
  wchar_t long_form[MAX_PATH];
  ASSERT_GT(GetLongPathNameW(short_form, long_form, MAX_PATH), 0u);
  EXPECT_EQ(fake::internal::Utf8(long_form), folder + "\\zvr.exe");
}

TEST(FakeTest, ScriptingAddsNothingBelowAFile) {
  fake::Reset();
  fake::Win32& platform = fake::Platform();
  platform.AddFile(kFile, "bytes", fake::Writers::kUser);
  const std::string below = std::string(kFile) + "\\x.exe";
  platform.AddFile(below, "payload", fake::Writers::kUser);
  platform.AddFolder(below + "\\y", fake::Writers::kUser);
  EXPECT_FALSE(platform.FileExists(below));
  EXPECT_FALSE(platform.FolderExists(below + "\\y"));
  EXPECT_EQ(platform.FileBytes(kFile), "bytes");
}

TEST(FakeTest, TerminatedProcessEndsWithTheCodeGiven) {
  fake::Reset();
  HANDLE process = StartSome();
  const int id = fake::Platform().starts().at(0).process_id;
  ASSERT_TRUE(fake::Platform().ProcessRunning(id));

  ASSERT_TRUE(TerminateProcess(process, ERROR_CANCELLED));

  EXPECT_FALSE(fake::Platform().ProcessRunning(id));
  EXPECT_EQ(fake::Platform().ExitCodeOf(id),
            static_cast<DWORD>(ERROR_CANCELLED));
  CloseHandle(process);
}

}  // namespace

namespace {

TEST(FakeTest, LibraryLoadedBareFindsAPlantedCopyFirst) {
  fake::Reset();
  fake::Platform().SetModuleFileName("C:\\Users\\me\\Downloads\\zvr.exe");
  fake::Platform().AddFile("C:\\Users\\me\\Downloads\\wintrust.dll", "planted",
                           fake::Writers::kUser);

  HMODULE planted = LoadLibraryExA("wintrust.dll", NULL, 0);
  HMODULE system = LoadLibraryExA("wintrust.dll", NULL,
                                  LOAD_LIBRARY_SEARCH_SYSTEM32);

  EXPECT_EQ(fake::Platform().module_loads(),
            (std::vector<std::string>{
                "C:\\Users\\me\\Downloads\\wintrust.dll",
                "C:\\Windows\\System32\\wintrust.dll"}));
  EXPECT_EQ(GetProcAddress(planted, "WinVerifyTrust"), nullptr);
  EXPECT_NE(GetProcAddress(system, "WinVerifyTrust"), nullptr);
  FreeLibrary(planted);
  FreeLibrary(system);
  EXPECT_TRUE(fake::Platform().OpenHandles().empty());
}

}  // namespace
