// The installer as the elevated helper hands it to the updater: a copy in
// a fresh folder that only Administrators and SYSTEM can write, checked
// before anything runs it.
//
// The download folder belongs to the user, so any program of theirs can
// replace the installer there after the user agreed to the prompt. The
// copy is taken through a handle that shuts out other writers, into a
// folder created fresh under a random name with a protected DACL (a folder
// planted in advance under that name makes the creation fail; a link or a
// junction is never followed into, since the folder must be new). The
// copy's SHA-256 must be the one the unelevated application took before it
// asked, and when the application's own exe is signed, the copy must carry
// a valid signature by the same signer.
//
// Copies are deleted when Windows restarts (MOVEFILE_DELAY_UNTIL_REBOOT)
// and by the next update's helper, whichever comes first; their empty
// folders stay until the restart.
#ifndef UPDATER_CALLER_DETAIL_STAGED_INSTALLER_H_
#define UPDATER_CALLER_DETAIL_STAGED_INSTALLER_H_

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <stdlib.h>
#include <string.h>

#include <updater_caller/detail/handles.h>
#include <updater_caller/detail/helper_command_line.h>
#include <updater_caller/detail/install_scope.h>
#include <updater_caller/detail/installer_image.h>
#include <updater_caller/detail/win32_helpers.h>

namespace updater_caller {
namespace internal {

// Below the Windows temp folder, never a folder the environment names:
// an elevated process takes its environment from the user's profile.
const char kStagingParent[] = "\\Temp";
const char kStagingPrefix[] = "Zelvaro-update-";
// Owned by Administrators, not by whoever created it: under the policy
// "default owner for objects created by members of the Administrators
// group: object creator" the user would own it, and an owner may always
// rewrite the DACL. Protected (P): nothing inherited from the temp folder,
// whose entries let their creators in. Full access for SYSTEM and
// Administrators only; OWNER RIGHTS (OW) limits whoever comes to own a
// copy inside to reading it, in place of the owner's implicit right to
// change its DACL.
const char kStagingFolderSddl[] =
    "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;OW)";
const DWORD kCopyChunk = 64 * 1024;
// The copy's name when the installer's own has no ANSI form.
const char kAsciiCopyName[] = "installer.exe";

// Where one staged copy is.
struct StagedCopy {
  char folder[MAX_PATH];
  char path[MAX_PATH];
  unsigned char digest[kDigestSize];
};

// Reads `source` to its end, hashing it with SHA-256 into `digest`
// (kDigestSize bytes), and writes what it reads to `copy` unless that is
// INVALID_HANDLE_VALUE. False if any read, write or hash step failed.
//
// Needs: `source` open for reading at its start, `copy` for writing.
// Leaves: both handles open and where the reads and writes left them; no
// provider, hash or buffer.
inline bool HashAndCopy(HANDLE source, HANDLE copy, unsigned char* digest) {
  HCRYPTPROV acquired;
  if (!CryptAcquireContextA(&acquired, /*szContainer=*/NULL,
                            /*szProvider=*/NULL, PROV_RSA_AES,
                            CRYPT_VERIFYCONTEXT))
    return false;
  const UniqueCryptProvider provider(acquired);
  HCRYPTHASH created;
  if (!CryptCreateHash(provider.Get(), CALG_SHA_256, /*hKey=*/0,
                       /*dwFlags=*/0, &created))
    return false;
  // Let go in the reverse order: the buffer, the hash, the provider.
  const UniqueCryptHash hash(created);
  const UniqueMemory<BYTE> buffer(static_cast<BYTE*>(malloc(kCopyChunk)));
  if (!buffer.Valid())
    return false;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, buffer.Get(), kCopyChunk, &read,
                  /*lpOverlapped=*/NULL))
      return false;
    if (read == 0) {
      DWORD size = kDigestSize;
      return CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &size, 0) &&
             size == kDigestSize;
    }
    if (!CryptHashData(hash.Get(), buffer.Get(), read, /*dwFlags=*/0))
      return false;
    DWORD written = 0;
    if (copy != INVALID_HANDLE_VALUE &&
        (!WriteFile(copy, buffer.Get(), read, &written,
                    /*lpOverlapped=*/NULL) ||
         written != read))
      return false;
  }
}

// Opens `path` to read it whole while nobody else may write, rename or
// delete it. Should `path` name a pipe, its server may only identify the
// caller, never act as it: an elevated helper opens paths a user named.
// INVALID_HANDLE_VALUE on failure.
inline HANDLE OpenShuttingOutWriters(const char* path) {
  return CreateFileA(path, GENERIC_READ, /*dwShareMode=*/FILE_SHARE_READ,
                     /*lpSecurityAttributes=*/NULL, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN | SECURITY_SQOS_PRESENT |
                         SECURITY_IDENTIFICATION,
                     /*hTemplateFile=*/NULL);
}

// The SHA-256 of the file at `path` into `digest`. False, with the cause
// in GetLastError(), if it could not be read.
//
// Needs: nothing. Leaves: no handle open.
inline bool DigestOfFile(const char* path, unsigned char* digest) {
  UniqueFile file(OpenShuttingOutWriters(path));
  if (!file.Valid())
    return false;
  const bool done = HashAndCopy(file.Get(), INVALID_HANDLE_VALUE, digest);
  const DWORD error = GetLastError();
  file.Reset();
  if (!done)
    SetLastError(error != 0 ? error : ERROR_READ_FAULT);
  return done;
}

// The folder under which copies are staged, into `root` (MAX_PATH bytes).
inline bool StagingRoot(char* root) {
  const UINT length = GetSystemWindowsDirectoryA(root, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return false;
  char windows[MAX_PATH];
  memcpy(windows, root, length + 1);
  return Join(root, MAX_PATH, windows, kStagingParent);
}

// Deletes the files in `folder` (a staging folder: files only); those in
// use stay.
inline void RemoveStagedFiles(const char* folder) {
  char pattern[MAX_PATH];
  if (Join(pattern, MAX_PATH, folder, "\\*"))
    DeleteFilesFound(pattern);
}

// Deletes a staging folder no updater was started for: its files, then
// the folder.
inline void RemoveStagingFolder(const char* folder) {
  RemoveStagedFiles(folder);
  RemoveDirectoryA(folder);
}

// True if `folder` itself (not what a link there points to) is owned by
// Administrators or SYSTEM: only an elevated helper makes such a folder
// in the temp folder, and no unelevated program can change what is in it.
inline bool IsStagingFolderOfOurs(const char* folder) {
  const UniqueFile handle(CreateFileA(
      folder, READ_CONTROL,
      /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      /*lpSecurityAttributes=*/NULL, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      /*hTemplateFile=*/NULL));
  if (!handle.Valid())
    return false;
  PSID owner = NULL;
  PSECURITY_DESCRIPTOR descriptor = NULL;
  if (GetSecurityInfo(handle.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                      &owner,
                      /*ppsidGroup=*/NULL, /*ppDacl=*/NULL,
                      /*ppSacl=*/NULL, &descriptor) != ERROR_SUCCESS)
    return false;
  // The descriptor goes before the handle.
  const UniqueLocal held(descriptor);
  return IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(owner, WinLocalSystemSid);
}

// Deletes the copies earlier updates left under `root`, in the real
// folders of that name owned by Administrators or SYSTEM; anything else of
// that name was planted, and is left alone. The folders themselves stay,
// empty, until Windows restarts (they are booked for it): an updater of
// an earlier update may still be waiting to start its copy, and a name
// set free could be taken by anyone, with a file of theirs where that
// updater will look. That updater then finds nothing and says so.
//
// Needs: an elevated process, to delete what only Administrators can.
// Leaves: no handle open.
inline void RemoveEarlierStagedCopies(const char* root) {
  char pattern[MAX_PATH];
  if (!Join(pattern, MAX_PATH, root, "\\", kStagingPrefix) ||
      !Join(pattern, MAX_PATH, pattern, "*"))
    return;
  ForEachFound(pattern, [root](const WIN32_FIND_DATAA& found) {
    char folder[MAX_PATH];
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
        Join(folder, MAX_PATH, root, "\\", found.cFileName) &&
        IsStagingFolderOfOurs(folder))
      RemoveStagedFiles(folder);
  });
}

// Creates `folder`, which must not exist, with the protected DACL.
inline bool CreateProtectedFolder(const char* folder) {
  SECURITY_ATTRIBUTES attributes;
  if (!AttributesFromSddl(kStagingFolderSddl, &attributes))
    return false;
  const UniqueLocal descriptor(attributes.lpSecurityDescriptor);
  return CreateDirectoryA(folder, &attributes) != FALSE;
}

// The name the copy of `installer` gets, into `name` (MAX_PATH bytes):
// the installer's own long name when it converts exactly (ConvertsToAnsi;
// `installer` may be a short form, whose last name is a stub); when it
// does not, "installer.exe", since the updater reads the copy's path in
// the system's code page; the name as given when the long one cannot be
// had.
inline void CopyName(const char* installer, char* name) {
  Join(name, MAX_PATH, FileNameOf(installer), "");
  wchar_t wide[MAX_PATH];
  if (!LongWidePath(installer, wide))
    return;
  const wchar_t* long_name = FileNameOf(wide);
  if (long_name[0] == L'\0' || wcschr(long_name, L':') != NULL ||
      !ConvertsToAnsi(long_name, name, MAX_PATH))
    Join(name, MAX_PATH, kAsciiCopyName, "");
}

// Copies `installer`, a full path on a drive, into a new protected folder
// (after removing those of earlier updates) and fills `staged` with where
// it is and its SHA-256. The copy keeps the installer's file name where
// the updater can read it (CopyName). Returns false, leaving nothing
// behind, if any step failed.
//
// Needs: an elevated process. Leaves: no handle open (the updater must be
// able to start the copy); the copy and its folder booked for deletion at
// the next start of Windows.
inline bool StageInstaller(const char* installer, StagedCopy* staged) {
  const char* name = FileNameOf(installer);
  char root[MAX_PATH];
  char random[2 * kHandBackIdSize + 1];
  if (!IsDrivePath(installer) || name[0] == '\0' || strcmp(name, ".") == 0 ||
      strcmp(name, "..") == 0 || strchr(name, ':') != NULL ||
      !StagingRoot(root))
    return false;
  RemoveEarlierStagedCopies(root);
  char copy_name[MAX_PATH];
  CopyName(installer, copy_name);
  if (!RandomHex(kHandBackIdSize, random) ||
      !Join(staged->folder, MAX_PATH, root, "\\", kStagingPrefix) ||
      !Join(staged->folder, MAX_PATH, staged->folder, random) ||
      !Join(staged->path, MAX_PATH, staged->folder, "\\", copy_name) ||
      !CreateProtectedFolder(staged->folder))
    return false;

  bool copied = false;
  {  // both closed before the folder is removed or booked
    const UniqueFile source(OpenShuttingOutWriters(installer));
    if (source.Valid()) {
      const UniqueFile copy(CreateFileA(
          staged->path, GENERIC_WRITE, /*dwShareMode=*/0,
          /*lpSecurityAttributes=*/NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
          /*hTemplateFile=*/NULL));
      if (copy.Valid())
        copied = HashAndCopy(source.Get(), copy.Get(), staged->digest);
    }
  }
  if (!copied) {
    RemoveStagingFolder(staged->folder);
    return false;
  }
  // The file first: Windows works through these in order at start-up.
  MoveFileExA(staged->path, /*lpNewFileName=*/NULL,
              MOVEFILE_DELAY_UNTIL_REBOOT);
  MoveFileExA(staged->folder, /*lpNewFileName=*/NULL,
              MOVEFILE_DELAY_UNTIL_REBOOT);
  return true;
}

// The trust calls, from wintrust.dll and crypt32.dll loaded from the
// system folder only when they are needed. Neither DLL is one Windows
// always takes from the system folder (a known DLL), so importing them
// would let a copy of the signed application, started elsewhere with
// "runas", load a planted wintrust.dll or crypt32.dll elevated under the
// vendor's name on the prompt.
struct TrustCalls {
  // Unloaded in the reverse order: wintrust, then crypt32.
  UniqueLibrary crypt32;
  UniqueLibrary wintrust;
  LONG(WINAPI* verify)(HWND, GUID*, LPVOID);
  CRYPT_PROVIDER_DATA*(WINAPI* provider_data)(HANDLE);
  CRYPT_PROVIDER_SGNR*(WINAPI* signer)(CRYPT_PROVIDER_DATA*, DWORD, BOOL,
                                       DWORD);
  BOOL(WINAPI* same_name)(DWORD, PCERT_NAME_BLOB, PCERT_NAME_BLOB);
};

// GetProcAddress's result as the function type `Function`.
template <typename Function>
bool Find(HMODULE module, const char* name, Function* function) {
  const FARPROC found = module != NULL ? GetProcAddress(module, name) : NULL;
  // Through a plain function type: FARPROC names none of these.
  *function =
      reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(found));
  return found != NULL;
}

// Loads the trust calls into `calls`. False if any is missing.
//
// Needs: nothing. Leaves: the two modules loaded in `calls`, which
// unloads them, whatever the result.
inline bool LoadTrustCalls(TrustCalls* calls) {
  calls->wintrust.Reset(LoadLibraryExA("wintrust.dll", /*hFile=*/NULL,
                                       LOAD_LIBRARY_SEARCH_SYSTEM32));
  calls->crypt32.Reset(LoadLibraryExA("crypt32.dll", /*hFile=*/NULL,
                                      LOAD_LIBRARY_SEARCH_SYSTEM32));
  const HMODULE wintrust = calls->wintrust.Get();
  const bool verify = Find(wintrust, "WinVerifyTrust", &calls->verify);
  const bool provider_data =
      Find(wintrust, "WTHelperProvDataFromStateData", &calls->provider_data);
  const bool signer =
      Find(wintrust, "WTHelperGetProvSignerFromChain", &calls->signer);
  const bool same_name = Find(calls->crypt32.Get(),
                              "CertCompareCertificateName", &calls->same_name);
  return verify && provider_data && signer && same_name;
}

// Verifies the Authenticode signature of the file at `path`, leaving the
// verification's state open in `data` (which points at `file`) for
// SignerOf; the caller ends it with EndVerification whatever the result.
// Returns WinVerifyTrust's answer: 0 for a valid signature,
// TRUST_E_NOSIGNATURE for none.
inline LONG BeginVerification(const TrustCalls& calls, const char* path,
                              WINTRUST_FILE_INFO* file, WINTRUST_DATA* data,
                              wchar_t* wide_path) {
  memset(file, 0, sizeof(*file));
  memset(data, 0, sizeof(*data));
  // The trust API takes wide paths only.
  if (MultiByteToWideChar(CP_ACP, /*dwFlags=*/0, path, /*cbMultiByte=*/-1,
                          wide_path, MAX_PATH) == 0)
    return TRUST_E_SUBJECT_FORM_UNKNOWN;  // no state to end
  file->cbStruct = sizeof(*file);
  file->pcwszFilePath = wide_path;
  data->cbStruct = sizeof(*data);
  data->dwUIChoice = WTD_UI_NONE;
  // No revocation checking at all: an elevated helper goes on no network
  // errand, and a list found only in a cache would make the answer
  // depend on what the machine fetched before. A revoked certificate
  // still passes.
  data->fdwRevocationChecks = WTD_REVOKE_NONE;
  data->dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  data->dwUnionChoice = WTD_CHOICE_FILE;
  data->pFile = file;
  data->dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  return calls.verify(/*hwnd=*/static_cast<HWND>(INVALID_HANDLE_VALUE), &action,
                      data);
}

// Ends what BeginVerification began, if it got as far as WinVerifyTrust.
inline void EndVerification(const TrustCalls& calls, WINTRUST_DATA* data) {
  if (data->dwStateAction != WTD_STATEACTION_VERIFY)
    return;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  data->dwStateAction = WTD_STATEACTION_CLOSE;
  calls.verify(/*hwnd=*/static_cast<HWND>(INVALID_HANDLE_VALUE), &action, data);
}

// The signer's certificate and the root its chain ends in, from a
// verification that succeeded. False if the state holds no such chain.
inline bool SignerOf(const TrustCalls& calls, WINTRUST_DATA* data,
                     PCCERT_CONTEXT* leaf, PCCERT_CONTEXT* root) {
  CRYPT_PROVIDER_DATA* provider = calls.provider_data(data->hWVTStateData);
  if (provider == NULL)
    return false;
  CRYPT_PROVIDER_SGNR* signer =
      calls.signer(provider, /*idxSigner=*/0, /*fCounterSigner=*/FALSE,
                   /*idxCounterSigner=*/0);
  if (signer == NULL || signer->csCertChain == 0 ||
      signer->pasCertChain == NULL)
    return false;
  *leaf = signer->pasCertChain[0].pCert;
  *root = signer->pasCertChain[signer->csCertChain - 1].pCert;
  return *leaf != NULL && *root != NULL;
}

inline bool SameCertificateBytes(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  return a->cbCertEncoded == b->cbCertEncoded &&
         memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// True unless the exe at `application` carries no signature at all (or
// the trust calls cannot be loaded, which counts as none): an unsigned
// application has only the digest to bind an elevated start to its
// update.
//
// Needs: a full path. Leaves: the verification's state closed, the trust
// DLLs unloaded.
inline bool HasSignature(const char* application) {
  TrustCalls calls{};  // no module and no call until loaded
  bool signed_at_all = false;
  if (LoadTrustCalls(&calls)) {
    WINTRUST_FILE_INFO file;
    WINTRUST_DATA data;
    wchar_t wide[MAX_PATH];
    signed_at_all = BeginVerification(calls, application, &file, &data, wide) !=
                    TRUST_E_NOSIGNATURE;
    EndVerification(calls, &data);
  }
  return signed_at_all;
}

// True if the installer copy at `copy` may run for the application at
// `application`: the application's exe is unsigned, or the copy carries a
// valid signature whose signer has the same subject name as the
// application's and whose chain ends in the very same root. A certificate
// authority vouched for that name twice, so a renewed certificate passes;
// a look-alike name under another authority does not. Nor does a copy
// whose certificate table holds more than its one signature
// (installer_image.h). A signed application whose own signature does not
// verify passes nothing, and nothing passes where the trust calls cannot
// be loaded.
//
// Needs: full paths. Leaves: both verifications' state closed, the trust
// DLLs unloaded.
inline bool SignedLikeApplication(const char* application, const char* copy) {
  TrustCalls calls{};  // no module and no call until loaded
  if (!LoadTrustCalls(&calls))
    return false;
  WINTRUST_FILE_INFO application_file;
  WINTRUST_DATA application_data;
  wchar_t application_wide[MAX_PATH];
  const LONG application_status =
      BeginVerification(calls, application, &application_file,
                        &application_data, application_wide);
  bool allowed = application_status == TRUST_E_NOSIGNATURE;
  PCCERT_CONTEXT application_leaf = NULL;
  PCCERT_CONTEXT application_root = NULL;
  if (application_status == 0 &&
      SignerOf(calls, &application_data, &application_leaf,
               &application_root)) {
    WINTRUST_FILE_INFO copy_file;
    WINTRUST_DATA copy_data;
    wchar_t copy_wide[MAX_PATH];
    PCCERT_CONTEXT copy_leaf = NULL;
    PCCERT_CONTEXT copy_root = NULL;
    if (BeginVerification(calls, copy, &copy_file, &copy_data, copy_wide) ==
            0 &&
        SignerOf(calls, &copy_data, &copy_leaf, &copy_root)) {
      allowed = calls.same_name(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                &application_leaf->pCertInfo->Subject,
                                &copy_leaf->pCertInfo->Subject) &&
                SameCertificateBytes(application_root, copy_root) &&
                HasOnlyItsSignature(copy);
    }
    EndVerification(calls, &copy_data);
  }
  EndVerification(calls, &application_data);
  return allowed;
}

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_DETAIL_STAGED_INSTALLER_H_
