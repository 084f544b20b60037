// A recording fake of the platform calls the updater and the caller kit
// make. It keeps state the way the platform does, so that a test can script
// a situation and then read what the code did:
//   - processes: the one the fake plays now (its command line, account,
//     environment, current folder, handle table, last error, call log) and
//     those it started, with what each inherited; a running process's exe
//     can be neither written nor deleted;
//   - named objects (mutexes, events, the latter with their DACLs) shared
//     between processes;
//   - a file system: drives, folders, files with bytes, junctions, each
//     with an owner and a DACL that the access checks evaluate against the
//     process's token; handles with access and share modes;
//   - DLLs loaded by name, from the application's folder or the system's;
//   - Authenticode signatures carried in a file's bytes, a set of trusted
//     roots, and WinVerifyTrust state that must be closed;
//   - CryptoAPI providers and hashes (a real SHA-256) and a deterministic
//     CryptGenRandom.
// It is never kinder than Windows: where Windows refuses, the fake
// refuses; where the fake cannot tell, it refuses too.
//
// The definitions are split by area: fake_win32.cpp (processes, handles,
// mutexes, modules, the shell), fake_files.cpp (files and security),
// fake_trust.cpp (hashes, random, signatures) and fake_environment.cpp
// (environment, events, handle duplication).
#ifndef UPDATER_TESTS_UNIT_FAKE_WIN32_H_
#define UPDATER_TESTS_UNIT_FAKE_WIN32_H_

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fake {

// ASCII case-insensitive order, as Windows compares environment names,
// object names and paths.
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using Environment = std::map<std::string, std::string, NoCaseLess>;

// Whose token a process runs with.
enum class Account {
  kStandardUser,         // "me", a standard user: no linked token
  kAdminUnelevated,      // "me", an administrator under UAC: filtered token
  kAdminElevated,        // "me" after the prompt: full token
  kAdminWithoutUac,      // "me", an administrator with UAC off: full,
                         // nothing linked
  kOtherAdminUnelevated, // another administrator's filtered token
  kOtherAdminElevated,   // another administrator's full token: what a
                         // standard user's prompt runs with once an
                         // administrator typed a password
};
bool IsElevated(Account account);

// Well-known accounts, as SID strings.
extern const char kMySid[];          // the user who runs the application
extern const char kOtherAdminSid[];  // an administrator who is not "me"
extern const char kAdministratorsSid[];
extern const char kSystemSid[];
extern const char kUsersSid[];
extern const char kTrustedInstallerSid[];

// Who may write a folder or file that a test puts in place; the fake turns
// each into an owner and a DACL.
enum class Writers {
  kAdministrators,  // owner Administrators; SYSTEM and Administrators full,
                    // Users read and execute (a per-machine install)
  kUser,            // owner "me"; SYSTEM, Administrators and "me" full (a
                    // per-user install, a download folder)
  kWindowsTemp,     // owner SYSTEM; Users may add files and folders, each
                    // creator owns what it made (C:\Windows\Temp)
};

// Everything CreateProcessA or CreateProcessW was given, copied at the
// time of the call, and what the new process got. Paths in UTF-8, as the
// fake keeps them; the command line as the ANSI text the new process
// reads back with GetCommandLineA.
struct ProcessStart {
  bool wide;  // CreateProcessW
  bool application_name_null;
  std::string application_name;  // empty when null
  std::string command;
  bool process_attributes_null;
  bool thread_attributes_null;
  BOOL inherit_handles;
  DWORD creation_flags;
  bool environment_null;
  bool current_directory_null;
  STARTUPINFOA startup;  // CreateProcessW's STARTUPINFOW, field by field
  bool process_information_given;
  bool created;  // what CreateProcessA answered
  // For a started process:
  int process_id;
  Account account;                // the token it runs with
  Environment environment;        // what it inherited or was given
  std::string current_directory;  // where it starts
};

// Everything ShellExecuteExA was given, copied at the time of the call.
struct ShellStart {
  DWORD size;
  ULONG mask;
  bool window_null;
  std::string verb;
  std::string file;
  std::string parameters;
  bool directory_null;
  int show;
  bool created;
  int process_id;
  Account account;
  Environment environment;
  std::string current_directory;
  // The command line the started program reads: the shell puts the
  // program's quoted path in front of the parameters.
  std::string CommandLine() const { return "\"" + file + "\" " + parameters; }
};

// One CreateFileA, as given and as answered.
struct FileOpen {
  std::string path;
  DWORD access;
  DWORD share;
  bool security_attributes_null;
  DWORD disposition;
  DWORD flags;
  bool opened;
  DWORD error;  // when not opened
};

// One WinVerifyTrust, as given and as answered.
struct TrustCheck {
  std::string path;  // the file, read back from the wide path
  bool action_is_generic_verify_v2;
  DWORD ui_choice;
  DWORD revocation_checks;
  DWORD union_choice;
  DWORD state_action;
  DWORD prov_flags;
  LONG result;
};

// What another process of the same user tried, and whether Windows let it.
struct AttackerAttempt {
  std::string what;
  bool succeeded;
};

// The bytes of a file signed with the certificate number `serial` of
// `subject`, which `root` issued: `payload` with a signature record the
// fake's WinVerifyTrust reads. The signature covers the payload: change a
// byte and it no longer matches. The chain holds the signer's certificate,
// then the root's; a renewed certificate (the same subject and root,
// another serial) differs from the one before it in its bytes.
std::string SignedBytes(const std::string& payload, const std::string& subject,
                        const std::string& root,
                        const std::string& serial = "1");
// A program image holding `payload`, with a version resource whose fixed
// product version is `product_version`.0.0.0, or none for -1. SignedBytes
// signs such an image as it is, and wraps any other payload in one first.
std::string ImageBytes(const std::string& payload, int product_version = -1);
// Signed bytes with `extra` appended inside their certificate table, both
// its sizes grown to match: the signature still verifies, as on Windows.
std::string PaddedBytes(const std::string& signed_bytes,
                        const std::string& extra);
// Signed bytes whose payload was changed after signing.
std::string TamperedBytes(const std::string& payload,
                          const std::string& subject, const std::string& root);
// `ansi` (Windows-1252) in UTF-8, the form the fake's paths take.
std::string Utf8FromAnsi(const std::string& ansi);
// SHA-256, as 64 lowercase hex digits.
std::string Sha256Hex(const std::string& bytes);
// `bytes` as lowercase hex.
std::string Hex(const std::string& bytes);

class Win32 {
 public:
  Win32();
  ~Win32();
  Win32(const Win32&) = delete;
  Win32& operator=(const Win32&) = delete;

  // --- Scripting the process the fake plays ---------------------------------
  void SetCommandLine(const std::string& command_line);
  // The process's own exe, in UTF-8: GetModuleFileNameW gives it, and
  // GetModuleFileNameA its ANSI text ('?' for a character without one).
  void SetModuleFileName(const std::string& path);
  void SetAccount(Account account);
  // This process runs elevated, as one started through the prompt does.
  void RunElevated() { SetAccount(Account::kAdminElevated); }
  void SetCurrentDirectory(const std::string& path);
  void SetEnvironment(const Environment& environment);
  const Environment& environment() const { return environment_; }
  Account account() const { return account_; }

  // The process the fake plays ends (its handles close, as at exit) and the
  // fake plays the process that `start` (or `shell`) started: its command
  // line, account, environment and current folder; its exe is the
  // application name, or else the command's first token. Everything the
  // machine holds (files, named objects, other processes) stays; the log
  // and the records of this process start empty.
  void BecomeProcess(const ProcessStart& start);
  void BecomeProcess(const ShellStart& shell);
  // The process with `process_id` ends: what it held is released.
  void EndProcess(int process_id);

  // --- Scripting the machine -----------------------------------------------
  // The environment the user's profile gives a process that Windows starts
  // elevated through the prompt: not its parent's, and any program of the
  // user's may change it.
  void SetProfileEnvironment(const Environment& environment);
  // The main application holds the mutex `name` now and lets it go while
  // the updater sleeps for the `sleeps`-th time.
  void HoldMutexUntilSleep(const std::string& name, int sleeps);
  // An object of another kind (an event) holds `name`: opening it as a
  // mutex fails, as it does on Windows, with ERROR_INVALID_HANDLE.
  void HoldNameAsEvent(const std::string& name);
  // Another process holds an event `name`, created with the security
  // descriptor `sddl` ("D:(A;;GA;;;SY)...": who may open it and how; the
  // owner, when the string names none, is the user).
  void SquatEvent(const std::string& name, const std::string& sddl);
  // Every CreateMutexA fails with `error`, as for a mutex the caller may
  // not open.
  void DenyMutexes(DWORD error);
  // Starting `program` (the application name, or else the command's first
  // token) fails: no such file. For programs in folders the file system
  // does not hold; in those it does, the file decides.
  void RemoveProgram(const std::string& program);
  // The `nth` allocation from now (1 for the next) fails, as when memory
  // runs out; the others succeed.
  void FailAllocation(int nth);
  // The `nth` call from now (1 for the next) of the platform call `name`
  // fails with `error`, as Windows may answer where the fake sees no cause
  // to: a check it could not make, a descriptor it could not read. The
  // other calls go on as they would. Heeded by AccessCheck and
  // GetSecurityDescriptorOwner.
  void FailCall(const std::string& name, int nth, DWORD error);
  // Starting `program` fails with ERROR_ELEVATION_REQUIRED, as Windows
  // answers for a program it takes for a setup program, unless the caller
  // runs elevated or the new process's environment holds the RunAsInvoker
  // compatibility layer.
  void RequireElevation(const std::string& program);
  // The user declines the elevation prompt.
  void DeclineElevation();
  // ShellExecuteExA succeeds but starts no process of its own, as when the
  // request went to a program that was already running: it hands back no
  // process handle.
  void ShellStartsNoProcess();
  // Windows without the update that added SetDefaultDllDirectories.
  void RemoveSetDefaultDllDirectories();
  // SetDefaultDllDirectories exists but refuses.
  void RefuseSetDefaultDllDirectories();
  // A wait on the event `name` finds it set, as when another process sets
  // it while this one waits.
  void SetEventWhileWaiting(const std::string& name);
  // The drive `letter` is of `type` (DRIVE_FIXED, DRIVE_REMOVABLE,
  // DRIVE_REMOTE, ...), and its file system keeps security descriptors
  // (NTFS) or not (FAT). C: is a fixed NTFS drive; any other whose root
  // the file system holds is too, unless set otherwise.
  void SetDrive(char letter, UINT type, bool keeps_rights);
  // What is made from now on the drive `letter` gets no short (8.3) name,
  // as on a volume with short names turned off: GetShortPathNameW then
  // gives the long name back.
  void TurnOffShortNames(char letter);
  // The machine's ANSI code page: 1252 (the default) or CP_UTF8, as
  // Windows sets it for "Use Unicode UTF-8 for worldwide language
  // support". The ANSI calls' paths are read in it, and a program started
  // without a manifest of its own, such as the updater, reads its command
  // line in it.
  void SetAnsiCodePage(UINT code_page) {
    ansi_code_page_ = code_page;
    system_code_page_ = code_page;
  }
  // This process's own ANSI code page only, as its manifest may choose.
  void SetProcessCodePage(UINT code_page) { ansi_code_page_ = code_page; }

  // Every path the scripting takes and gives is UTF-8. A file or folder
  // whose name is not already a valid 8.3 name gets a short name when it
  // is made ("ZELVAR~1.EXE", "F0F1~1" for one without ASCII letters), by
  // which the calls find it too.

  // Files. Missing parent folders are made with Writers::kAdministrators;
  // nothing is added below a file, as Windows creates nothing there.
  void AddFolder(const std::string& path,
                 Writers writers = Writers::kAdministrators);
  void AddFile(const std::string& path, const std::string& bytes,
               Writers writers = Writers::kAdministrators);
  // A junction at `path` (owned by `owner_sid`) to the folder `target`.
  void AddJunction(const std::string& path, const std::string& target,
                   const std::string& owner_sid = kMySid);
  // Replaces the owner (as a SID string) of what is at `path`.
  void SetOwner(const std::string& path, const std::string& owner_sid);
  // Replaces the owner and DACL of what is at `path` with those of `sddl`
  // ("O:BAD:P(A;;FA;;;SY)", or "D:NO_ACCESS_CONTROL" for a null DACL). The
  // owner stays when the string names none.
  void SetSecurity(const std::string& path, const std::string& sddl);
  // Windows trusts certificates that chain to `root`.
  void TrustRoot(const std::string& root);
  // Another process of the same user holds `path` open with `access` and
  // `share` (as CreateFileA takes them); false if Windows refused it.
  bool OpenByAttacker(const std::string& path, DWORD access, DWORD share);
  // When any handle first reads from `path`, another process of the same
  // user tries to write `bytes` over it (through its own handle, sharing
  // everything); it succeeds only where the share modes let it.
  void OverwriteOnFirstRead(const std::string& path, const std::string& bytes);
  // Once a listing of its folder has named it, another process of the
  // same user replaces the folder at `path` (if it may delete it) with a
  // junction to `target`: what the listing said no longer holds.
  void SwapForJunctionWhenListed(const std::string& path,
                                 const std::string& target);
  // Another process of the same user renames the folder at `path` aside
  // (to `path`.old) and makes a folder of its own in its place, holding
  // `file_name` with `bytes`. False, with nothing changed, where Windows
  // refuses the rename: it needs DELETE on the folder (or
  // FILE_DELETE_CHILD on its parent) and FILE_ADD_SUBDIRECTORY on the
  // parent, and no handle may be open to anything in the folder (nor to
  // the folder itself, unless it shares deletion).
  bool SwapFolderByAttacker(const std::string& path,
                            const std::string& file_name,
                            const std::string& bytes);
  // Just before CreateProcessA starts `program`, after every check its
  // caller made, the attacker tries SwapFolderByAttacker on `folder`,
  // planting a file of the program's name.
  void SwapFolderWhenStarting(const std::string& program,
                              const std::string& folder);
  // The installer, running elevated, writes `bytes` over the file at
  // `path`; false, with nothing changed, where Windows refuses: without
  // the right, against a share mode, or over the exe of a running process.
  bool ReplaceByInstaller(const std::string& path, const std::string& bytes);
  // The next CryptGenRandom calls return these bytes, in order, before the
  // fake's own sequence resumes.
  void QueueRandom(const std::string& bytes);
  // Windows restarts: what MoveFileExA scheduled is done.
  void Reboot();

  // --- Reading what happened -------------------------------------------------
  const std::vector<std::string>& log() const { return log_; }
  const std::vector<ProcessStart>& starts() const { return starts_; }
  const std::vector<ShellStart>& shell_starts() const { return shell_starts_; }
  const std::vector<FileOpen>& file_opens() const { return file_opens_; }
  const std::vector<TrustCheck>& trust_checks() const { return trust_checks_; }
  const std::vector<AttackerAttempt>& attacker_attempts() const {
    return attacker_attempts_;
  }
  // The full paths of the DLLs LoadLibraryExA loaded, in order.
  const std::vector<std::string>& module_loads() const {
    return module_loads_;
  }
  // Paths MoveFileExA scheduled for deletion at the next restart, in order.
  const std::vector<std::string>& deletes_at_reboot() const {
    return deletes_at_reboot_;
  }
  // Labels of the handles still open (kernel handles, find handles, crypt
  // providers and hashes, trust states, LocalAlloc'd memory, loaded
  // modules), in the order they were issued.
  std::vector<std::string> OpenHandles() const;
  // The label of a handle this process was given ("process2").
  std::string LabelOf(HANDLE handle) const { return Label(handle); }
  bool NamedObjectExists(const std::string& name) const;
  // Owner and DACL of the named event `name`, in the string form; empty if
  // there is none.
  std::string EventSecurityOf(const std::string& name) const;
  // Whether the process with `process_id` still runs, and the exit code
  // TerminateProcess gave it (STILL_ACTIVE while it runs or when it ended
  // otherwise).
  bool ProcessRunning(int process_id) const;
  DWORD ExitCodeOf(int process_id) const;
  // Where a DLL loaded by bare name would be looked for: "application
  // folder first" (the default), "system folder only", or "current folder
  // left out".
  const std::string& dll_search() const { return dll_search_; }
  bool FileExists(const std::string& path) const;
  bool FolderExists(const std::string& path) const;
  std::string FileBytes(const std::string& path) const;
  // The names in a folder, sorted; empty if there is no such folder.
  std::vector<std::string> FolderEntries(const std::string& path) const;
  // Owner and DACL of what is at `path`, in the string form
  // ("O:BAD:P(A;OICI;FA;;;SY)"); empty if nothing is there.
  std::string SecurityOf(const std::string& path) const;
  // The string CreateDirectoryA's security descriptor was made from (by
  // ConvertStringSecurityDescriptorToSecurityDescriptorA), or "" if it got
  // none, or "<not from a string>".
  std::string CreatedWithSddl(const std::string& path) const;
  // The short name of what is at `path`; "" when it has none.
  std::string ShortNameOf(const std::string& path) const;

  // --- The platform calls, in the platform's own terms ------------------------
  // kernel32
  LPSTR GetCommandLineA();
  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner,
                      LPCSTR name);
  DWORD GetLastError();
  void SetLastError(DWORD error);
  BOOL CloseHandle(HANDLE handle);
  void Sleep(DWORD milliseconds);
  BOOL CreateProcessA(LPCSTR application_name, LPSTR command_line,
                      LPSECURITY_ATTRIBUTES process_attributes,
                      LPSECURITY_ATTRIBUTES thread_attributes,
                      BOOL inherit_handles, DWORD creation_flags,
                      LPVOID environment, LPCSTR current_directory,
                      LPSTARTUPINFOA startup_info,
                      LPPROCESS_INFORMATION process_information);
  BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                      LPSECURITY_ATTRIBUTES process_attributes,
                      LPSECURITY_ATTRIBUTES thread_attributes,
                      BOOL inherit_handles, DWORD creation_flags,
                      LPVOID environment, LPCWSTR current_directory,
                      LPSTARTUPINFOW startup_info,
                      LPPROCESS_INFORMATION process_information);
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
  int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
  HMODULE GetModuleHandleA(LPCSTR module_name);
  FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name);
  BOOL SetDefaultDllDirectories(DWORD directory_flags);
  BOOL SetDllDirectoryA(LPCSTR path);
  DWORD GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size);
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);
  DWORD GetShortPathNameW(LPCWSTR path, LPWSTR short_path, DWORD size);
  DWORD GetLongPathNameW(LPCWSTR path, LPWSTR long_path, DWORD size);
  DWORD GetTempPathW(DWORD size, LPWSTR buffer);
  HMODULE LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags);
  BOOL FreeLibrary(HMODULE module);
  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share,
                     LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                     DWORD flags, HANDLE template_file);
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                LPOVERLAPPED overlapped);
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                 LPOVERLAPPED overlapped);
  BOOL DeleteFileA(LPCSTR path);
  BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes);
  BOOL RemoveDirectoryA(LPCSTR path);
  BOOL MoveFileExA(LPCSTR existing, LPCSTR new_name, DWORD flags);
  HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
  BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data);
  BOOL FindClose(HANDLE find);
  UINT GetSystemWindowsDirectoryA(LPSTR buffer, UINT size);
  UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
  DWORD GetFileAttributesA(LPCSTR path);
  DWORD GetTempPathA(DWORD size, LPSTR buffer);
  BOOL CopyFileA(LPCSTR existing, LPCSTR new_name, BOOL fail_if_exists);
  UINT GetDriveTypeA(LPCSTR root);
  BOOL GetVolumeInformationA(LPCSTR root, LPSTR volume_name,
                             DWORD volume_name_size, LPDWORD serial_number,
                             LPDWORD maximum_component_length,
                             LPDWORD file_system_flags,
                             LPSTR file_system_name,
                             DWORD file_system_name_size);
  DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
  BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value);
  LPWSTR GetEnvironmentStringsW();
  BOOL FreeEnvironmentStringsW(LPWSTR block);
  HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset,
                      BOOL initial_state, LPCSTR name);
  HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
  BOOL SetEvent(HANDLE event);
  BOOL DuplicateHandle(HANDLE source_process, HANDLE source,
                       HANDLE target_process, LPHANDLE target, DWORD access,
                       BOOL inherit, DWORD options);
  HANDLE GetCurrentProcess();
  BOOL TerminateProcess(HANDLE process, UINT exit_code);
  HLOCAL LocalFree(HLOCAL memory);
  int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text,
                          int text_size, LPWSTR wide, int wide_size);
  int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide,
                          int wide_size, LPSTR text, int text_size,
                          LPCSTR default_char, LPBOOL used_default);
  UINT GetACP();
  LONG RegGetValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD flags,
                    LPDWORD type, PVOID data, LPDWORD size);
  int CompareStringOrdinal(LPCWSTR first, int first_size, LPCWSTR second,
                           int second_size, BOOL ignore_case);
  // advapi32
  BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
  BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                           LPVOID information, DWORD size,
                           PDWORD returned);
  BOOL DuplicateToken(HANDLE token, SECURITY_IMPERSONATION_LEVEL level,
                      PHANDLE duplicate);
  BOOL GetFileSecurityA(LPCSTR path, SECURITY_INFORMATION requested,
                        PSECURITY_DESCRIPTOR descriptor, DWORD size,
                        LPDWORD needed);
  BOOL AccessCheck(PSECURITY_DESCRIPTOR descriptor, HANDLE token,
                   DWORD desired, PGENERIC_MAPPING mapping,
                   PPRIVILEGE_SET privileges, LPDWORD privileges_size,
                   LPDWORD granted, LPBOOL status);
  BOOL IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type);
  BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor,
                                  PSID* owner, LPBOOL defaulted);
  BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                 LPBOOL present, PACL* dacl,
                                 LPBOOL defaulted);
  BOOL GetAce(PACL acl, DWORD index, LPVOID* ace);
  BOOL ConvertSidToStringSidA(PSID sid, LPSTR* text);
  BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(
      LPCSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor,
      PULONG size);
  DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type,
                        SECURITY_INFORMATION requested, PSID* owner,
                        PSID* group, PACL* dacl, PACL* sacl,
                        PSECURITY_DESCRIPTOR* descriptor);
  BOOL CryptAcquireContextA(HCRYPTPROV* provider, LPCSTR container,
                            LPCSTR provider_name, DWORD type, DWORD flags);
  BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
  BOOL CryptGenRandom(HCRYPTPROV provider, DWORD size, BYTE* buffer);
  BOOL CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key,
                       DWORD flags, HCRYPTHASH* hash);
  BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD size,
                     DWORD flags);
  BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE* data,
                         DWORD* size, DWORD flags);
  BOOL CryptDestroyHash(HCRYPTHASH hash);
  // wintrust, crypt32
  LONG WinVerifyTrust(HWND window, GUID* action, LPVOID data);
  CRYPT_PROVIDER_DATA* WTHelperProvDataFromStateData(HANDLE state);
  CRYPT_PROVIDER_SGNR* WTHelperGetProvSignerFromChain(
      CRYPT_PROVIDER_DATA* data, DWORD signer, BOOL counter_signer,
      DWORD counter_signer_index);
  BOOL CertCompareCertificateName(DWORD encoding, PCERT_NAME_BLOB name1,
                                  PCERT_NAME_BLOB name2);
  // shell32
  BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);

  // --- Shared between the fake's files ---------------------------------------
  struct Ace {
    bool allow;
    BYTE flags;
    DWORD mask;
    std::string sid;
  };
  enum class NodeKind { kFile, kFolder, kJunction };
  struct Node {
    NodeKind kind;
    std::string path;  // as created
    std::string short_name;  // "" when the name is a valid 8.3 name
    std::string bytes;
    std::string target;  // a junction's folder
    std::string owner;
    std::vector<Ace> dacl;
    bool dacl_present = true;  // false: a null DACL, which lets all in
    bool dacl_protected = false;
    std::string created_with_sddl;
    bool delete_pending = false;
    std::string overwrite_on_read;  // the attacker's bytes
    bool overwrite_armed = false;
  };
  struct Object {
    std::string kind;  // "mutex", "event", "process", "thread", "file",
                       // "token", "find", "provider", "hash", "trust",
                       // "local", "module"
    int references = 0;
    // event: its owner and DACL
    bool manual_reset = false;
    bool signaled = false;
    std::string owner;
    bool dacl_present = true;
    std::vector<Ace> dacl;
    // file (a folder opened, too); module: the DLL's path
    std::string node;  // key into nodes_
    DWORD access = 0;
    DWORD share = 0;
    DWORD flags = 0;
    size_t position = 0;
    bool foreign = false;  // held by another process
    // token
    Account token_account = Account::kStandardUser;
    bool impersonation = false;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    // process
    int process_id = 0;
    // find
    std::vector<WIN32_FIND_DATAA> found;
    size_t next = 0;
  };
  struct OpenHandle {
    std::string label;
    std::string object_name;  // key into objects_
    DWORD access;
  };
  struct Process {
    int id = 0;
    std::string command;
    std::string image;
    Account account = Account::kAdminUnelevated;
    Environment environment;
    std::string current_directory;
    bool running = true;
    DWORD exit_code = 259;  // STILL_ACTIVE
    std::vector<std::string> held;  // objects duplicated into it
  };
  struct Token {
    std::string user;
    std::set<std::string> enabled;    // user and groups that grant
    std::set<std::string> deny_only;  // groups that only deny
    std::string default_owner;
  };
  static Token TokenOf(Account account);

 private:
  struct TrustState;
  struct Hash;

  HANDLE Issue(const std::string& label, const std::string& object_name,
               DWORD access);
  // A new process, running as `account` with `environment`; its thread's
  // handle goes to `thread`, or is not issued when `thread` is null.
  HANDLE StartProcess(HANDLE* thread, const std::string& command,
                      const std::string& image, Account account,
                      const Environment& environment,
                      const std::string& current_directory, int* id);
  void Release(const std::string& object_name);
  std::string Label(HANDLE handle) const;
  std::string NewObjectName(const std::string& kind);
  // The handle's entry if it is open and of `kind` (any kind when empty).
  OpenHandle* Find(HANDLE handle, const std::string& kind);
  void EndCurrentProcess();
  // Counts a call of `name`; true, with FailCall's error in `*error`, when
  // it is the one FailCall chose to fail.
  bool FailsNow(const std::string& name, DWORD* error);
  void LoadProcess(int id);

  // Text (fake_text.cpp): an ANSI call's text in UTF-8, and back.
  std::string FromAnsi(const std::string& ansi) const;
  std::string ToAnsi(const std::string& utf8) const;
  // `utf8` in `code_page`, '?' for a character without a form there;
  // with `best_fit`, a look-alike first where Windows has one, as for a
  // started program's GetCommandLineA.
  std::string ToCodePage(const std::string& utf8, UINT code_page,
                         bool best_fit) const;
  // CreateProcessA's and CreateProcessW's common part: `start` holds what
  // was given, `command_line` the buffer to touch as the platform may.
  BOOL CreateProcessFrom(ProcessStart start, LPVOID environment,
                         const std::function<void()>& touch_command_line,
                         LPPROCESS_INFORMATION process_information);

  // Files (fake_files.cpp).
  // The full path `path` names, relative to the current folder; "" with
  // `*error` set if it is not one the fake takes.
  std::string FullPath(const std::string& path, DWORD* error,
                       bool wildcards_last = false) const;
  // The same for an ANSI call's path.
  std::string FullPath(LPCSTR ansi, DWORD* error,
                       bool wildcards_last = false) const {
    return FullPath(FromAnsi(ansi), error, wildcards_last);
  }
  // A short name for `name`, new in the folder `folder`; "" when `name`
  // is a valid 8.3 name or the drive makes none.
  std::string NewShortName(const std::string& folder,
                           const std::string& name) const;
  // The full path `path` (UTF-8) names with each component in its short
  // form (`short_form`) or its long one; "" with `*error` when a component
  // does not exist.
  std::string PathForm(const std::string& path, bool short_form,
                       DWORD* error) const;
  // The temp folder GetTempPathA and GetTempPathW give, in the ANSI text
  // of the environment, with its trailing backslash.
  std::string TempFolder() const;
  // The entry of the folder `folder` whose short name is `name`, if any.
  const Node* ChildByShortName(const std::string& folder,
                               const std::string& name) const;
  // GetShortPathNameW's or GetLongPathNameW's answer, as `call`.
  DWORD AnswerPathForm(const char* call, LPCWSTR path, LPWSTR out, DWORD size,
                       bool short_form);
  // The full path of the node `full` reaches, through the junctions on its
  // way (and at its end, when `follow_last`); "" with `*error` set when a
  // folder on the way is missing.
  std::string Resolve(const std::string& full, bool follow_last,
                      DWORD* error) const;
  Node* NodeAt(const std::string& full);
  const Node* NodeAt(const std::string& full) const;
  Node& MakeNode(const std::string& full, NodeKind kind, Writers writers);
  void MakeParents(const std::string& full);
  // False if anything above `full` is a file or a junction: Windows makes
  // nothing below a file, and the scripting goes through no junction.
  bool AllAboveAreFolders(const std::string& full) const;
  std::vector<Ace> Inherited(const Node& parent, bool folder,
                             const std::string& creator) const;
  DWORD GrantedTo(const Token& token, const Node& node, DWORD desired) const;
  bool SharingAllows(const std::string& key, DWORD access, DWORD share) const;
  void ArmedOverwrite(Node& node);
  std::string SecurityDescriptorBytes(const Node& node,
                                      SECURITY_INFORMATION requested) const;
  // Memory the caller must give back by the call of `kind` ("local":
  // LocalFree; "environment": FreeEnvironmentStringsW) and no other.
  HLOCAL AllocateLocal(const std::string& bytes, const std::string& label,
                       const std::string& kind = "local");
  // Opens (or makes) what `path` names as CreateFileA would for `token`;
  // 0 or ERROR_ALREADY_EXISTS with the node's path in `*key` and the
  // access the handle gets in `*granted`, else the error.
  DWORD OpenAsWindows(const std::string& path, DWORD access, DWORD share,
                      DWORD disposition, DWORD flags,
                      const SECURITY_ATTRIBUTES* attributes,
                      const Token& token, std::string* key, DWORD* granted);
  // Whether this process's token is granted `access` (generic rights
  // mapped) to the event.
  bool MayOpenEvent(const Object& event, DWORD access) const;
  // What SwapFolderWhenStarting armed for `program`, if anything.
  void SwapIfArmed(const std::string& program);
  // Whether the file at the full path `resolved` is the exe of a running
  // process: Windows then lets nobody write or delete it.
  bool IsRunningImage(const std::string& resolved) const;
  // What DeleteFileA and RemoveDirectoryA act on: the entry `path` names
  // itself (a link not followed), its full path in `*resolved`; null with
  // the cause in `*error` when there is none.
  Node* EntryToDelete(LPCSTR path, std::string* resolved, DWORD* error);
  // Whether this process's token may delete the entry at `resolved`: by
  // DELETE on it, or FILE_DELETE_CHILD on its folder.
  bool MayDelete(const std::string& resolved, const Node& node) const;
  struct Drive {
    UINT type;
    bool keeps_rights;
  };
  // The drive of the root `root` ("C:\\"); false if there is none.
  bool DriveOf(const char* root, Drive* drive) const;
  void DeleteNode(const std::string& key);
  // What CreateProcessA checks of a program's file; 0 when it may start.
  DWORD ProgramCheck(const std::string& program) const;

  // The process the fake plays.
  int process_id_ = 1;
  std::unique_ptr<char[]> command_line_{new char[1]()};
  std::string command_line_text_;
  Account account_ = Account::kAdminUnelevated;
  Environment environment_;
  std::string current_directory_ = "C:\\Users\\me\\Downloads";
  std::string module_file_name_ = "C:\\Program Files\\Zelvaro\\zvr.exe";
  DWORD last_error_ = 0xBAADF00D;  // whatever an earlier call left
  std::map<HANDLE, OpenHandle> handles_;
  std::vector<HANDLE> issue_order_;
  std::map<HANDLE, std::string> labels_;  // every handle ever issued
  std::map<std::string, int> label_counts_;
  std::vector<std::string> log_;
  std::vector<ProcessStart> starts_;
  std::vector<ShellStart> shell_starts_;
  std::vector<FileOpen> file_opens_;
  std::vector<TrustCheck> trust_checks_;
  std::string dll_search_ = "application folder first";

  // The machine.
  std::map<std::string, Object> objects_;
  int objects_made_ = 0;
  uintptr_t next_handle_ = 0x100;
  std::map<int, Process> processes_;
  int processes_started_ = 1;  // this one is 1
  std::string held_mutex_;
  int sleeps_until_release_ = 0;
  DWORD mutex_error_ = 0;
  std::set<std::string> missing_programs_;
  std::set<std::string, NoCaseLess> setup_programs_;
  std::set<std::string, NoCaseLess> set_while_waiting_;
  bool elevation_declined_ = false;
  bool shell_starts_no_process_ = false;
  struct ScriptedFailure {
    int calls_left;
    DWORD error;
  };
  std::map<std::string, ScriptedFailure> failing_calls_;
  std::map<char, Drive> drives_;
  std::set<char> drives_without_short_names_;
  UINT ansi_code_page_ = 1252;
  UINT system_code_page_ = 1252;
  std::vector<std::string> module_loads_;
  std::map<std::string, std::string, NoCaseLess> swaps_when_starting_;
  bool has_set_default_dll_directories_ = true;
  bool set_default_dll_directories_refuses_ = false;
  std::map<std::string, Node> nodes_;  // key: the full path, upper case
  std::set<std::string> trusted_roots_;
  Environment profile_environment_;
  std::vector<std::string> deletes_at_reboot_;
  std::vector<AttackerAttempt> attacker_attempts_;
  std::deque<BYTE> queued_random_;
  std::map<std::string, std::string> swaps_when_listed_;  // key: upper path
  int random_calls_ = 0;
  std::map<HLOCAL, std::unique_ptr<std::string>> local_memory_;
  std::map<HLOCAL, std::string> sddl_of_descriptor_;
  std::map<HANDLE, std::unique_ptr<TrustState>> trust_states_;
  std::map<ULONG_PTR, std::unique_ptr<Hash>> hashes_;
};

// The one fake every platform call goes to; a test starts with Reset().
Win32& Platform();
void Reset();

// How the platform's longest command line is reached: 32,767 characters
// with the NUL.
const size_t kMaxCommandLine = 32767;

}  // namespace fake

#endif  // UPDATER_TESTS_UNIT_FAKE_WIN32_H_
