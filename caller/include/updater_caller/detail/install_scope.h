// Per-user or per-machine: whether the application's own user, without
// elevation, can change the updater or what stands beside it. In a
// per-user install (a folder under the user's profile) that user can, and
// so can any program of theirs: elevating the updater there would lend
// administrator rights to whatever such a program put in its place. Such
// installs are never elevated; the updater is started with the
// RunAsInvoker compatibility layer, which overrules Windows's installer
// detection, so there is no prompt either, and the installer and the
// restarted application run as that user.
//
// The layer is passed on to every descendant through the environment, so
// the kit notes what it changed (ZELVARO_UPDATE_COMPAT_LAYER holds "=" and
// the value before) and the restarted application's first kit call takes
// it off again (RestoreCompatLayer). Only the layer the kit added comes
// off: a note that does not match the layer, such as one planted in the
// user's profile, changes nothing, so no value from it ever becomes a
// layer.
#ifndef UPDATER_CALLER_DETAIL_INSTALL_SCOPE_H_
#define UPDATER_CALLER_DETAIL_INSTALL_SCOPE_H_

#include <windows.h>
#include <sddl.h>

#include <stdlib.h>
#include <string.h>

#include <updater_caller/detail/handles.h>
#include <updater_caller/detail/helper_command_line.h>
#include <updater_caller/detail/updater_environment.h>
#include <updater_caller/detail/win32_helpers.h>

namespace updater_caller {
namespace internal {

// What a user who may write these could put in the updater's place.
const DWORD kFolderWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                 FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                 WRITE_OWNER;
const DWORD kFileWriteRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;

// A token of this process's user as they are without elevation, good for
// AccessCheck: the linked (filtered) token when this process runs
// elevated, else its own token at identification level. Null if none can
// be had.
inline UniqueHandle OpenUnelevatedToken() {
  HANDLE opened;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE,
                        &opened))
    return UniqueHandle();
  const UniqueHandle own(opened);
  HANDLE unelevated = NULL;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  if (GetTokenInformation(own.Get(), TokenElevationType, &type, sizeof(type),
                          &size) &&
      type == TokenElevationTypeFull) {
    TOKEN_LINKED_TOKEN linked;
    if (GetTokenInformation(own.Get(), TokenLinkedToken, &linked,
                            sizeof(linked), &size))
      unelevated = linked.LinkedToken;
  } else if (!DuplicateToken(own.Get(), SecurityIdentification, &unelevated)) {
    unelevated = NULL;
  }
  return UniqueHandle(unelevated);  // `own` closed after
}

// The SIDs that stand for users, or for groups ordinary users are in:
// every account and account group (S-1-5-21-...), the built-in groups but
// Administrators, and the well-known groups every signed-in user holds. A
// right given to one of them is a right some unelevated user has.
//
// Anonymous Logon (S-1-5-7) is not among them: Windows gives it nothing
// on an install's folder, and Wine shows every file of another Unix user
// as Anonymous Logon's, which is how the end-to-end cases make a folder
// per-machine.
inline bool IsSidOfUsers(PSID sid) {
  static const char* const kUserPrefixes[] = {
      "S-1-5-21-",  // local and domain accounts and their groups
      "S-1-5-32-",  // built-in groups (Administrators excepted below)
      "S-1-12-",    // Microsoft Entra ID accounts and groups
      "S-1-5-5-",   // logon sessions
      "S-1-5-64-",  // accounts signed in by NTLM, SChannel or Digest
      "S-1-15-",    // app containers and their capabilities
      "S-1-18-",    // identities asserted at sign-in
  };
  static const char* const kUserGroups[] = {
      "S-1-1-0",     // Everyone
      "S-1-2-0",     // Local
      "S-1-2-1",     // Console Logon
      "S-1-5-1",     // Dialup
      "S-1-5-2",     // Network
      "S-1-5-3",     // Batch
      "S-1-5-4",     // Interactive
      "S-1-5-11",    // Authenticated Users
      "S-1-5-13",    // Terminal Server Users
      "S-1-5-14",    // Remote Interactive Logon
      "S-1-5-15",    // This Organization
      "S-1-5-113",   // Local account
      "S-1-5-114",   // Local account and member of Administrators
      "S-1-5-1000",  // Other Organization
  };
  char* converted = NULL;
  if (!ConvertSidToStringSidA(sid, &converted))
    return true;  // cannot tell: a user's
  const UniqueLocal held(converted);
  const char* const text = converted;
  bool users = false;
  for (const char* prefix : kUserPrefixes)
    users = users || strncmp(text, prefix, strlen(prefix)) == 0;
  users = users && strcmp(text, "S-1-5-32-544") != 0;  // Administrators
  for (const char* group : kUserGroups)
    users = users || strcmp(text, group) == 0;
  return users;
}

// True if `descriptor` lets some unelevated user have any of `rights`:
// its owner is a user (an owner may always rewrite the DACL), it has no
// DACL, or an entry that applies to the object itself allows one of
// `rights` (or GENERIC_WRITE, GENERIC_ALL) to users. An entry of a kind
// it does not read counts as allowing. Unlike an access check, this does
// not depend on whose token asks, so it also holds where an administrator
// typed their password at a standard user's prompt.
inline bool LetsUsersWrite(PSECURITY_DESCRIPTOR descriptor, DWORD rights) {
  PSID owner = NULL;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      owner == NULL || IsSidOfUsers(owner))
    return true;
  BOOL present = FALSE;
  PACL dacl = NULL;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
      !present || dacl == NULL)
    return true;
  const DWORD write = rights | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = NULL;
    if (!GetAce(dacl, i, &entry))
      return true;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE ||
        (header->AceFlags & INHERIT_ONLY_ACE) != 0)
      continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
      return true;
    ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & write) != 0 && IsSidOfUsers(&allowed->SidStart))
      return true;
  }
  return false;
}

// True if `token` is granted any of `rights` on `path`, or the path's
// security descriptor lets users have them (LetsUsersWrite), or if that
// cannot be told: a check that fails counts as writable, so that doubt
// never leads to elevation.
inline bool MayWrite(HANDLE token, const char* path, DWORD rights) {
  const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION |
                                      GROUP_SECURITY_INFORMATION |
                                      DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  if (GetFileSecurityA(path, wanted, /*pSecurityDescriptor=*/NULL, 0, &size) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
    return true;
  const UniqueMemory<void> held(malloc(size));
  PSECURITY_DESCRIPTOR descriptor = held.Get();
  if (descriptor == NULL)
    return true;
  bool may_write = true;
  if (GetFileSecurityA(path, wanted, descriptor, size, &size)) {
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                               FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD privileges_size = sizeof(privileges);
    DWORD granted = 0;
    BOOL status = FALSE;
    if (AccessCheck(descriptor, token, MAXIMUM_ALLOWED, &mapping, &privileges,
                    &privileges_size, &granted, &status))
      may_write = (status && (granted & rights) != 0) ||
                  LetsUsersWrite(descriptor, rights);
  }
  return may_write;
}

// True if `path` lies on a local fixed drive whose file system keeps
// security descriptors. Elsewhere (a share, a removable or mounted drive,
// FAT) the rights a folder reports are not Windows's to enforce.
inline bool IsOnDriveThatKeepsRights(const char* path) {
  if (!IsDrivePath(path))
    return false;
  const char root[] = {path[0], ':', '\\', '\0'};
  DWORD flags = 0;
  return GetDriveTypeA(root) == DRIVE_FIXED &&
         GetVolumeInformationA(root, /*lpVolumeNameBuffer=*/NULL, 0,
                               /*lpVolumeSerialNumber=*/NULL,
                               /*lpMaximumComponentLength=*/NULL, &flags,
                               /*lpFileSystemNameBuffer=*/NULL, 0) &&
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

// True if the user this process runs for could, without elevation, change
// `updater` or `application` or add to their folder (the updater's), or
// if that cannot be told; also wherever the rights are not kept by a
// local fixed drive. Needs: full paths.
inline bool IsPerUserInstall(const char* updater, const char* application) {
  char folder[MAX_PATH];
  if (!FolderOf(updater, folder) || !IsOnDriveThatKeepsRights(updater) ||
      !IsOnDriveThatKeepsRights(application))
    return true;
  const UniqueHandle token = OpenUnelevatedToken();
  if (!token.Valid())
    return true;
  return MayWrite(token.Get(), folder, kFolderWriteRights) ||
         MayWrite(token.Get(), updater, kFileWriteRights) ||
         MayWrite(token.Get(), application, kFileWriteRights);
}

// Takes RunAsInvoker off __COMPAT_LAYER again, if the kit added it for
// this process's parent: the note says what the layer was before, and the
// layer must be exactly that plus RunAsInvoker. Removes the note.
//
// Needs: nothing. Leaves: neither the layer the kit added nor the note.
inline void RestoreCompatLayer() {
  // Freed in the reverse order: the layer, then the note.
  const UniqueMemory<char> held_note(ReadVariable(kCompatLayerBefore));
  const char* const note = held_note.Get();
  if (note == NULL)
    return;
  const UniqueMemory<char> held_layer(ReadVariable(kCompatLayer));
  const char* const layer = held_layer.Get();
  const char* const before = note + 1;
  const size_t length = strlen(before);
  // What follows `before` in the layer: " RunAsInvoker", or with no layer
  // before, "RunAsInvoker" alone.
  const char* added = NULL;
  if (note[0] == '=' && layer != NULL && strncmp(layer, before, length) == 0)
    added = length == 0 ? layer
                        : (layer[length] == ' ' ? layer + length + 1 : NULL);
  if (added != NULL && strcmp(added, kRunAsInvoker) == 0)
    WriteVariable(kCompatLayer, before);
  WriteVariable(kCompatLayerBefore, NULL);
}

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_DETAIL_INSTALL_SCOPE_H_
