// The fake itself, where the kit's tests lean on it: a SHA-256 that gives
// the published digests, and refusals Windows makes that a kinder fake
// would let through.
#include <gtest/gtest.h>

#include <functional>
#include <string>

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
                     DWORD needed = 0;
                     char descriptor[512];
                     GetFileSecurityA(kFile,
                                      OWNER_SECURITY_INFORMATION |
                                          GROUP_SECURITY_INFORMATION |
                                          DACL_SECURITY_INFORMATION,
                                      descriptor, sizeof(descriptor),
                                      &needed);
                     GENERIC_MAPPING mapping = {};
                     PRIVILEGE_SET privileges;
                     DWORD size = sizeof(privileges);
                     DWORD granted;
                     BOOL status;
                     return AccessCheck(descriptor, token, MAXIMUM_ALLOWED,
                                        &mapping, &privileges, &size,
                                        &granted, &status) != FALSE;
                   },
                   ERROR_NO_IMPERSONATION_TOKEN},
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
