// The fake's files and security: a file system with owners, DACLs,
// junctions and share modes; tokens and access checks; security
// descriptors in their binary and string forms.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "fake_internal.h"
#include "fake_win32.h"

namespace fake {

using internal::Bool;
using internal::Descriptor;
using internal::EqualNoCase;
using internal::HexNumber;
using internal::Pointer;
using internal::Quote;
using internal::Upper;

const char kMySid[] = "S-1-5-21-1004336348-1177238915-682003330-1001";
const char kOtherAdminSid[] = "S-1-5-21-1004336348-1177238915-682003330-500";
const char kAdministratorsSid[] = "S-1-5-32-544";
const char kSystemSid[] = "S-1-5-18";
const char kUsersSid[] = "S-1-5-32-545";
const char kTrustedInstallerSid[] =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

namespace {

const char kEveryoneSid[] = "S-1-1-0";
const char kInteractiveSid[] = "S-1-5-4";
const char kAuthenticatedUsersSid[] = "S-1-5-11";
const char kCreatorOwnerSid[] = "S-1-3-0";
const char kOwnerRightsSid[] = "S-1-3-4";
// The primary group of the user's own files ("None").
const char kMyGroupSid[] = "S-1-5-21-1004336348-1177238915-682003330-513";

const DWORD kReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
// What Users may do in C:\Windows\Temp: pass through, add files, add folders.
const DWORD kTempUsers =
    SYNCHRONIZE | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
const DWORD kDataAccess =
    FILE_READ_DATA | FILE_EXECUTE | FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE;

const GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                      FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

}  // namespace

namespace internal {

DWORD MapGeneric(DWORD access, const GENERIC_MAPPING& mapping) {
  DWORD mapped = access & ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE |
                                              GENERIC_EXECUTE | GENERIC_ALL);
  if (access & GENERIC_READ)
    mapped |= mapping.GenericRead;
  if (access & GENERIC_WRITE)
    mapped |= mapping.GenericWrite;
  if (access & GENERIC_EXECUTE)
    mapped |= mapping.GenericExecute;
  if (access & GENERIC_ALL)
    mapped |= mapping.GenericAll;
  return mapped;
}

// ACEs in order, a right granted by the first ACE that speaks of it; the
// owner may always read and change the DACL.
DWORD Evaluate(const Win32::Token& token, const std::string& owner,
               bool dacl_present, const std::vector<Win32::Ace>& dacl,
               DWORD desired, const GENERIC_MAPPING& mapping) {
  const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
  const DWORD wanted = desired & ~static_cast<DWORD>(MAXIMUM_ALLOWED);
  if (!dacl_present)  // a null DACL lets everyone do everything
    return maximum ? mapping.GenericAll | STANDARD_RIGHTS_ALL | wanted
                   : wanted;
  DWORD granted = 0;
  DWORD denied = 0;
  bool owner_rights_ace = false;
  for (const Win32::Ace& ace : dacl)
    owner_rights_ace |= ace.sid == kOwnerRightsSid &&
                        (ace.flags & INHERIT_ONLY_ACE) == 0;
  if (!owner.empty() && token.enabled.count(owner) && !owner_rights_ace)
    granted |= READ_CONTROL | WRITE_DAC;
  for (const Win32::Ace& ace : dacl) {
    if (ace.flags & INHERIT_ONLY_ACE)
      continue;
    const DWORD mask = MapGeneric(ace.mask, mapping);
    const bool owner_ace = ace.sid == kOwnerRightsSid &&
                           !owner.empty() && token.enabled.count(owner);
    if (ace.allow && (token.enabled.count(ace.sid) || owner_ace))
      granted |= mask & ~denied;
    if (!ace.allow && (token.enabled.count(ace.sid) ||
                       token.deny_only.count(ace.sid) || owner_ace))
      denied |= mask & ~granted;
  }
  if (maximum)
    return granted;
  return (wanted & granted) == wanted ? wanted : 0;
}

}  // namespace internal

namespace {

using internal::Evaluate;
using internal::MapGeneric;

// The last component of a full path, and what is before it.
std::string Parent(const std::string& full) {
  if (full.size() <= 3)
    return "";  // a drive's root has none
  const size_t slash = full.rfind('\\');
  if (slash == std::string::npos || slash < 2)
    return "";
  return slash == 2 ? full.substr(0, 3) : full.substr(0, slash);
}

std::string LastComponent(const std::string& full) {
  const size_t slash = full.rfind('\\');
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

bool Matches(const char* pattern, const char* name) {
  if (*pattern == '\0')
    return *name == '\0';
  if (*pattern == '*')
    return Matches(pattern + 1, name) || (*name != '\0' && Matches(pattern, name + 1));
  if (*name == '\0')
    return false;
  if (*pattern == '?' || toupper(static_cast<unsigned char>(*pattern)) ==
                             toupper(static_cast<unsigned char>(*name)))
    return Matches(pattern + 1, name + 1);
  return false;
}

std::string AccessNames(DWORD access) {
  std::string names;
  const struct {
    DWORD bit;
    const char* name;
  } kNames[] = {{GENERIC_READ, "GENERIC_READ"},
                {GENERIC_WRITE, "GENERIC_WRITE"},
                {GENERIC_EXECUTE, "GENERIC_EXECUTE"},
                {GENERIC_ALL, "GENERIC_ALL"},
                {READ_CONTROL, "READ_CONTROL"},
                {DELETE, "DELETE"},
                {MAXIMUM_ALLOWED, "MAXIMUM_ALLOWED"}};
  DWORD rest = access;
  for (const auto& entry : kNames) {
    if (access & entry.bit) {
      names += (names.empty() ? "" : "|") + std::string(entry.name);
      rest &= ~entry.bit;
    }
  }
  if (rest != 0 || names.empty())
    names += (names.empty() ? "" : "|") + HexNumber(rest);
  return names;
}

}  // namespace

// --- SIDs and descriptors ---------------------------------------------------

namespace internal {

std::string SidBytes(const std::string& sid) {
  if (sid.compare(0, 4, "S-1-") != 0)
    return "";
  std::vector<unsigned long long> parts;
  const char* p = sid.c_str() + 4;
  while (true) {
    char* end = NULL;
    if (*p < '0' || *p > '9')
      return "";
    parts.push_back(strtoull(p, &end, 10));
    p = end;
    if (*p == '\0')
      break;
    if (*p != '-')
      return "";
    ++p;
  }
  if (parts.size() < 1 || parts.size() > 16)
    return "";
  std::string bytes;
  bytes.push_back(1);
  bytes.push_back(static_cast<char>(parts.size() - 1));
  for (int shift = 40; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<char>((parts[0] >> shift) & 0xFF));
  for (size_t i = 1; i < parts.size(); ++i) {
    const DWORD sub = static_cast<DWORD>(parts[i]);
    bytes.append(reinterpret_cast<const char*>(&sub), 4);
  }
  return bytes;
}

std::string SidString(const BYTE* sid) {
  if (sid == NULL || sid[0] != SID_REVISION || sid[1] > 15)
    return "";
  unsigned long long authority = 0;
  for (int i = 2; i < 8; ++i)
    authority = (authority << 8) | sid[i];
  std::string text = "S-1-" + std::to_string(authority);
  for (int i = 0; i < sid[1]; ++i) {
    DWORD sub;
    memcpy(&sub, sid + 8 + 4 * i, 4);
    text += "-" + std::to_string(sub);
  }
  return text;
}

namespace {
const struct {
  const char* alias;
  const char* sid;
} kAliases[] = {{"SY", "S-1-5-18"},     {"BA", "S-1-5-32-544"},
                {"BU", "S-1-5-32-545"}, {"AU", "S-1-5-11"},
                {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"},
                {"OW", "S-1-3-4"},      {"IU", "S-1-5-4"},
                {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"}};
}  // namespace

std::string SddlSid(const std::string& sid) {
  for (const auto& alias : kAliases) {
    if (sid == alias.sid)
      return alias.alias;
  }
  return sid;
}

std::string SidFromSddl(const std::string& token) {
  for (const auto& alias : kAliases) {
    if (token == alias.alias)
      return alias.sid;
  }
  return SidBytes(token).empty() ? "" : token;
}

std::string EncodeDescriptor(const Descriptor& descriptor) {
  const std::string owner = SidBytes(descriptor.owner);
  const std::string group = SidBytes(descriptor.group);
  std::string acl;
  if (descriptor.dacl_present) {
    std::string aces;
    for (const Win32::Ace& ace : descriptor.dacl) {
      const std::string sid = SidBytes(ace.sid);
      const WORD size = static_cast<WORD>(8 + sid.size());
      aces.push_back(static_cast<char>(ace.allow ? ACCESS_ALLOWED_ACE_TYPE
                                                 : ACCESS_DENIED_ACE_TYPE));
      aces.push_back(static_cast<char>(ace.flags));
      aces.append(reinterpret_cast<const char*>(&size), 2);
      aces.append(reinterpret_cast<const char*>(&ace.mask), 4);
      aces += sid;
    }
    const WORD acl_size = static_cast<WORD>(8 + aces.size());
    const WORD count = static_cast<WORD>(descriptor.dacl.size());
    acl.push_back(ACL_REVISION);
    acl.push_back(0);
    acl.append(reinterpret_cast<const char*>(&acl_size), 2);
    acl.append(reinterpret_cast<const char*>(&count), 2);
    acl.append(2, '\0');
    acl += aces;
  }
  WORD control = SE_SELF_RELATIVE;
  if (descriptor.dacl_present || descriptor.dacl_null)
    control |= SE_DACL_PRESENT;
  if (descriptor.dacl_protected)
    control |= SE_DACL_PROTECTED;
  DWORD offsets[4] = {0, 0, 0, 0};  // owner, group, SACL, DACL
  std::string body;
  const DWORD header = 20;
  if (!owner.empty()) {
    offsets[0] = header + static_cast<DWORD>(body.size());
    body += owner;
  }
  if (!group.empty()) {
    offsets[1] = header + static_cast<DWORD>(body.size());
    body += group;
  }
  if (descriptor.dacl_present) {
    offsets[3] = header + static_cast<DWORD>(body.size());
    body += acl;
  }
  std::string bytes;
  bytes.push_back(SECURITY_DESCRIPTOR_REVISION);
  bytes.push_back(0);
  bytes.append(reinterpret_cast<const char*>(&control), 2);
  bytes.append(reinterpret_cast<const char*>(offsets), sizeof(offsets));
  return bytes + body;
}

bool DecodeDescriptor(const void* data, Descriptor* descriptor) {
  const BYTE* bytes = static_cast<const BYTE*>(data);
  if (bytes == NULL || bytes[0] != SECURITY_DESCRIPTOR_REVISION)
    return false;
  WORD control;
  memcpy(&control, bytes + 2, 2);
  // Only the self-relative form: the fake hands out no other.
  if ((control & SE_SELF_RELATIVE) == 0)
    return false;
  DWORD offsets[4];
  memcpy(offsets, bytes + 4, sizeof(offsets));
  *descriptor = Descriptor();
  if (offsets[0] != 0 && (descriptor->owner = SidString(bytes + offsets[0]))
                             .empty())
    return false;
  if (offsets[1] != 0 && (descriptor->group = SidString(bytes + offsets[1]))
                             .empty())
    return false;
  descriptor->dacl_protected = (control & SE_DACL_PROTECTED) != 0;
  // A DACL present but null is no DACL: everyone may do everything.
  descriptor->dacl_present =
      (control & SE_DACL_PRESENT) != 0 && offsets[3] != 0;
  descriptor->dacl_null = (control & SE_DACL_PRESENT) != 0 && offsets[3] == 0;
  if (!descriptor->dacl_present)
    return true;
  const BYTE* acl = bytes + offsets[3];
  if (acl[0] != ACL_REVISION && acl[0] != 4)
    return false;
  WORD acl_size, count;
  memcpy(&acl_size, acl + 2, 2);
  memcpy(&count, acl + 4, 2);
  size_t at = 8;
  for (WORD i = 0; i < count; ++i) {
    if (at + 8 > acl_size)
      return false;
    WORD size;
    memcpy(&size, acl + at + 2, 2);
    if (size < 16 || at + size > acl_size)
      return false;
    const BYTE type = acl[at];
    if (type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE) {
      Win32::Ace ace;
      ace.allow = type == ACCESS_ALLOWED_ACE_TYPE;
      ace.flags = acl[at + 1];
      memcpy(&ace.mask, acl + at + 4, 4);
      ace.sid = SidString(acl + at + 8);
      if (ace.sid.empty())
        return false;
      descriptor->dacl.push_back(ace);
    }
    at += size;
  }
  return true;
}

namespace {

const struct {
  const char* name;
  DWORD mask;
} kRights[] = {{"FA", FILE_ALL_ACCESS},     {"FR", FILE_GENERIC_READ},
               {"FW", FILE_GENERIC_WRITE},  {"FX", FILE_GENERIC_EXECUTE},
               {"GA", GENERIC_ALL},         {"GR", GENERIC_READ},
               {"GW", GENERIC_WRITE},       {"GX", GENERIC_EXECUTE},
               {"RC", READ_CONTROL},        {"SD", DELETE},
               {"WD", WRITE_DAC},           {"WO", WRITE_OWNER}};

const struct {
  const char* name;
  BYTE flag;
} kAceFlags[] = {{"OI", OBJECT_INHERIT_ACE},
                 {"CI", CONTAINER_INHERIT_ACE},
                 {"NP", NO_PROPAGATE_INHERIT_ACE},
                 {"IO", INHERIT_ONLY_ACE},
                 {"ID", INHERITED_ACE}};

std::string AceString(const Win32::Ace& ace) {
  std::string flags;
  for (const auto& flag : kAceFlags) {
    if (ace.flags & flag.flag)
      flags += flag.name;
  }
  std::string rights;
  for (const auto& right : kRights) {
    if (ace.mask == right.mask)
      rights = right.name;
  }
  if (rights.empty()) {
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%x", static_cast<unsigned>(ace.mask));
    rights = hex;
  }
  return std::string("(") + (ace.allow ? "A" : "D") + ";" + flags + ";" +
         rights + ";;;" + SddlSid(ace.sid) + ")";
}

// Splits "a;b;c" into its fields.
std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(';', start);
    fields.push_back(text.substr(start, end - start));
    if (end == std::string::npos)
      return fields;
    start = end + 1;
  }
}

bool ParseAce(const std::string& text, Win32::Ace* ace) {
  const std::vector<std::string> fields = Fields(text);
  if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty())
    return false;
  if (fields[0] != "A" && fields[0] != "D")
    return false;
  ace->allow = fields[0] == "A";
  ace->flags = 0;
  for (size_t i = 0; i < fields[1].size(); i += 2) {
    bool known = false;
    for (const auto& flag : kAceFlags) {
      if (fields[1].compare(i, 2, flag.name) == 0) {
        ace->flags = static_cast<BYTE>(ace->flags | flag.flag);
        known = true;
      }
    }
    if (!known)
      return false;
  }
  ace->mask = 0;
  const std::string& rights = fields[2];
  if (rights.compare(0, 2, "0x") == 0) {
    char* end = NULL;
    ace->mask = static_cast<DWORD>(strtoul(rights.c_str() + 2, &end, 16));
    if (*end != '\0' || rights.size() == 2)
      return false;
  } else {
    if (rights.empty() || rights.size() % 2 != 0)
      return false;
    for (size_t i = 0; i < rights.size(); i += 2) {
      bool known = false;
      for (const auto& right : kRights) {
        if (rights.compare(i, 2, right.name) == 0) {
          ace->mask |= right.mask;
          known = true;
        }
      }
      if (!known)
        return false;
    }
  }
  ace->sid = SidFromSddl(fields[5]);
  return !ace->sid.empty();
}

}  // namespace

std::string DescriptorString(const Descriptor& descriptor) {
  std::string text;
  if (!descriptor.owner.empty())
    text += "O:" + SddlSid(descriptor.owner);
  if (descriptor.dacl_null)
    text += "D:NO_ACCESS_CONTROL";
  if (descriptor.dacl_present) {
    text += "D:";
    if (descriptor.dacl_protected)
      text += "P";
    for (const Win32::Ace& ace : descriptor.dacl)
      text += AceString(ace);
  }
  return text;
}

bool ParseSddl(const std::string& text, Descriptor* descriptor,
               DWORD* error) {
  *descriptor = Descriptor();
  *error = ERROR_INVALID_PARAMETER;
  size_t at = 0;
  while (at < text.size()) {
    if (at + 2 > text.size() || text[at + 1] != ':')
      return false;
    const char part = text[at];
    at += 2;
    if (part == 'O' || part == 'G') {
      size_t end = at;
      if (text.compare(at, 2, "S-") == 0) {
        while (end < text.size() &&
               (isdigit(static_cast<unsigned char>(text[end])) ||
                text[end] == '-' || text[end] == 'S'))
          ++end;
      } else {
        end = at + 2;
      }
      const std::string sid = SidFromSddl(text.substr(at, end - at));
      if (sid.empty()) {
        *error = ERROR_NONE_MAPPED;
        return false;
      }
      (part == 'O' ? descriptor->owner : descriptor->group) = sid;
      at = end;
    } else if (part == 'D' &&
               text.compare(at, 17, "NO_ACCESS_CONTROL") == 0) {
      descriptor->dacl_null = true;
      at += 17;
    } else if (part == 'D') {
      descriptor->dacl_present = true;
      while (at < text.size() && text[at] != '(' &&
             !(at + 1 < text.size() && text[at + 1] == ':')) {
        if (text.compare(at, 1, "P") == 0) {
          descriptor->dacl_protected = true;
          at += 1;
        } else if (text.compare(at, 2, "AI") == 0 ||
                   text.compare(at, 2, "AR") == 0) {
          at += 2;
        } else {
          return false;
        }
      }
      while (at < text.size() && text[at] == '(') {
        const size_t end = text.find(')', at);
        if (end == std::string::npos)
          return false;
        Win32::Ace ace;
        if (!ParseAce(text.substr(at + 1, end - at - 1), &ace))
          return false;
        descriptor->dacl.push_back(ace);
        at = end + 1;
      }
    } else {
      return false;  // a SACL needs a privilege the fake never holds
    }
  }
  return true;
}

}  // namespace internal

// --- Tokens --------------------------------------------------------------------

Win32::Token Win32::TokenOf(Account account) {
  Token token;
  const bool other = account == Account::kOtherAdminUnelevated ||
                     account == Account::kOtherAdminElevated;
  token.user = other ? kOtherAdminSid : kMySid;
  token.enabled = {token.user, kEveryoneSid, kUsersSid, kInteractiveSid,
                   kAuthenticatedUsersSid};
  // What an administrator creates, elevated or not, is their own: the
  // policy "default owner for objects created by members of the
  // Administrators group" says "object creator" by default.
  token.default_owner = token.user;
  if (IsElevated(account)) {
    token.enabled.insert(kAdministratorsSid);
  } else if (account != Account::kStandardUser) {
    token.deny_only.insert(kAdministratorsSid);
  }
  return token;
}

namespace {

bool HasLinkedToken(Account account, Account* linked) {
  switch (account) {
    case Account::kAdminUnelevated:
      *linked = Account::kAdminElevated;
      return true;
    case Account::kAdminElevated:
      *linked = Account::kAdminUnelevated;
      return true;
    case Account::kOtherAdminUnelevated:
      *linked = Account::kOtherAdminElevated;
      return true;
    case Account::kOtherAdminElevated:
      *linked = Account::kOtherAdminUnelevated;
      return true;
    default:
      return false;
  }
}

TOKEN_ELEVATION_TYPE ElevationType(Account account) {
  Account linked;
  if (!HasLinkedToken(account, &linked))
    return TokenElevationTypeDefault;
  return IsElevated(account) ? TokenElevationTypeFull
                             : TokenElevationTypeLimited;
}

// The attacker: another process of the same user, never elevated.
Win32::Token AttackerToken() {
  return Win32::TokenOf(Account::kAdminUnelevated);
}

}  // namespace

// --- Paths and nodes -------------------------------------------------------------

std::string Win32::FullPath(const std::string& path, DWORD* error,
                            bool wildcards_last) const {
  std::string text = path;
  std::replace(text.begin(), text.end(), '/', '\\');
  if (text.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return "";
  }
  // Device and UNC paths are not part of the fake's machine.
  if (text.compare(0, 2, "\\\\") == 0) {
    *error = ERROR_BAD_PATHNAME;
    return "";
  }
  std::string absolute;
  if (text.size() >= 3 && isalpha(static_cast<unsigned char>(text[0])) &&
      text[1] == ':' && text[2] == '\\') {
    absolute = text;
  } else if (text.size() >= 2 && text[1] == ':') {
    *error = ERROR_BAD_PATHNAME;  // relative to a drive's own folder
    return "";
  } else if (text[0] == '\\') {
    absolute = current_directory_.substr(0, 2) + text;
  } else {
    absolute = Join(current_directory_, text);
  }
  std::vector<std::string> parts;
  size_t start = 3;
  while (start <= absolute.size()) {
    size_t end = absolute.find('\\', start);
    if (end == std::string::npos)
      end = absolute.size();
    const std::string part = absolute.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty())
        parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  // Windows drops dots and blanks at the end of the last name.
  if (!parts.empty()) {
    std::string& last = parts.back();
    while (!last.empty() && (last.back() == '.' || last.back() == ' '))
      last.pop_back();
    if (last.empty())
      parts.pop_back();
  }
  std::string full(1, static_cast<char>(toupper(absolute[0])));
  full += ":\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    for (char c : parts[i]) {
      const bool wildcard = c == '*' || c == '?';
      if (static_cast<unsigned char>(c) < 0x20 || strchr("<>:\"|", c) ||
          (wildcard && !(wildcards_last && i + 1 == parts.size()))) {
        *error = ERROR_INVALID_NAME;
        return "";
      }
    }
    // A component may name an entry by its short name.
    std::string part = parts[i];
    const std::string at = Join(full, part);
    const Node* by_short_name =
        NodeAt(at) == NULL ? ChildByShortName(full, part) : NULL;
    if (by_short_name != NULL)
      part = LastComponent(by_short_name->path);
    full += (i == 0 ? "" : "\\") + part;
  }
  return full;
}

namespace {

// Whether `name` is a valid 8.3 name as it stands: ASCII, at most eight
// characters, a dot and three more, none a blank or one of "+,;=[]".
bool IsShortName(const std::string& name) {
  const size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string extension =
      dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3 ||
      extension.find('.') != std::string::npos)
    return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80 || strchr(" +,;=[]", c))
      return false;
  }
  return true;
}

// The characters of `text` a short name may hold, in upper case.
std::string ShortCharacters(const std::string& text) {
  std::string kept;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x80 && !strchr(" .+,;=[]", c))
      kept.push_back(static_cast<char>(toupper(static_cast<unsigned char>(c))));
  }
  return kept;
}

}  // namespace

const Win32::Node* Win32::ChildByShortName(const std::string& folder,
                                           const std::string& name) const {
  const std::string prefix = Upper(folder.size() > 3 ? folder + "\\" : folder);
  for (auto entry = nodes_.lower_bound(prefix);
       entry != nodes_.end() &&
       entry->first.compare(0, prefix.size(), prefix) == 0;
       ++entry) {
    if (!entry->second.short_name.empty() &&
        entry->first.find('\\', prefix.size()) == std::string::npos &&
        Upper(entry->second.short_name) == Upper(name))
      return &entry->second;
  }
  return NULL;
}

std::string Win32::NewShortName(const std::string& folder,
                                const std::string& name) const {
  if (IsShortName(name) || folder.empty() ||
      drives_without_short_names_.count(static_cast<char>(toupper(
          static_cast<unsigned char>(folder[0])))) != 0)
    return "";
  const size_t dot = name.rfind('.');
  std::string stem = ShortCharacters(name.substr(0, dot)).substr(0, 6);
  const std::string extension =
      dot == std::string::npos ? ""
                               : ShortCharacters(name.substr(dot + 1)).substr(0, 3);
  if (stem.empty()) {
    // As Windows does for a name without ASCII letters: a few hex digits
    // from the name itself.
    unsigned hash = 0;
    for (char c : name)
      hash = hash * 31 + static_cast<unsigned char>(c);
    char digits[8];
    snprintf(digits, sizeof(digits), "%04X", hash & 0xFFFF);
    stem = digits;
  }
  for (int n = 1;; ++n) {
    const std::string candidate = stem + "~" + std::to_string(n) +
                                  (extension.empty() ? "" : "." + extension);
    if (NodeAt(Join(folder, candidate)) == NULL &&
        ChildByShortName(folder, candidate) == NULL)
      return candidate;
  }
}

std::string Win32::PathForm(const std::string& path, bool short_form,
                            DWORD* error) const {
  // Component by component, as Windows looks each up: "." and ".." pass
  // through as they are, and a name is found as it stands (by its long or
  // short name), never with dots or blanks dropped from its end.
  std::string text = path;
  std::replace(text.begin(), text.end(), '/', '\\');
  if (text.size() < 3 || !isalpha(static_cast<unsigned char>(text[0])) ||
      text[1] != ':' || text[2] != '\\') {
    *error = ERROR_INVALID_NAME;  // the kit gives full paths only
    return "";
  }
  std::string form(1, static_cast<char>(toupper(text[0])));
  form += ":\\";
  std::string real = form;
  size_t start = 3;
  while (start < text.size()) {
    size_t end = text.find('\\', start);
    if (end == std::string::npos)
      end = text.size();
    const std::string part = text.substr(start, end - start);
    start = end + 1;
    if (part.empty())
      continue;
    if (part == "." || part == "..") {
      form = Join(form, part);
      real = FullPath(Join(real, part), error);
      continue;
    }
    const Node* node = NodeAt(Join(real, part));
    if (node == NULL)
      node = ChildByShortName(real, part);
    if (node == NULL) {
      *error = end == text.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
      return "";
    }
    form = Join(form, short_form && !node->short_name.empty()
                          ? node->short_name
                          : LastComponent(node->path));
    real = node->kind == NodeKind::kJunction ? node->target : node->path;
  }
  if (text.back() == '\\' && form.back() != '\\')
    form += "\\";  // kept, as Windows keeps it
  return form;
}

std::string Win32::ShortNameOf(const std::string& path) const {
  DWORD error = 0;
  const Node* node = NodeAt(FullPath(path, &error));
  return node == NULL ? "" : node->short_name;
}

void Win32::TurnOffShortNames(char letter) {
  drives_without_short_names_.insert(
      static_cast<char>(toupper(static_cast<unsigned char>(letter))));
}

namespace {

// What GetShortPathNameW, GetLongPathNameW and GetTempPathW answer for a
// result `text`: its length once copied into `buffer` (`size` characters
// with the NUL), else the size it needs, NUL included.
DWORD CopyWide(const std::string& text, LPWSTR buffer, DWORD size) {
  const std::wstring wide = internal::WideOf(text, NULL);
  if (buffer == NULL || size <= wide.size())
    return static_cast<DWORD>(wide.size() + 1);
  memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(wide.size());
}

}  // namespace

DWORD Win32::AnswerPathForm(const char* call, LPCWSTR path, LPWSTR out,
                            DWORD size, bool short_form) {
  DWORD error = 0;
  DWORD result = 0;
  if (path == NULL) {
    error = ERROR_INVALID_PARAMETER;
  } else {
    const std::string form = PathForm(internal::Utf8(path), short_form, &error);
    if (!form.empty())
      result = CopyWide(form, out, size);
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back(std::string(call) + "(" +
                 Quote(path == NULL ? NULL : internal::Utf8(path).c_str()) +
                 ") = " + std::to_string(result));
  return result;
}

DWORD Win32::GetShortPathNameW(LPCWSTR path, LPWSTR short_path, DWORD size) {
  return AnswerPathForm("GetShortPathNameW", path, short_path, size,
                        /*short_form=*/true);
}

DWORD Win32::GetLongPathNameW(LPCWSTR path, LPWSTR long_path, DWORD size) {
  return AnswerPathForm("GetLongPathNameW", path, long_path, size,
                        /*short_form=*/false);
}

const Win32::Node* Win32::NodeAt(const std::string& full) const {
  auto node = nodes_.find(Upper(full));
  return node == nodes_.end() ? NULL : &node->second;
}

Win32::Node* Win32::NodeAt(const std::string& full) {
  auto node = nodes_.find(Upper(full));
  return node == nodes_.end() ? NULL : &node->second;
}

std::string Win32::Resolve(const std::string& full, bool follow_last,
                           DWORD* error) const {
  std::string at = full.substr(0, 3);
  std::string rest = full.size() > 3 ? full.substr(3) : "";
  for (int hops = 0; hops < 32;) {
    if (rest.empty())
      return at;
    const size_t slash = rest.find('\\');
    const std::string part = rest.substr(0, slash);
    rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
    const std::string next = Join(at, part);
    const Node* node = NodeAt(next);
    const bool last = rest.empty();
    if (node == NULL) {
      if (last)
        return next;
      *error = ERROR_PATH_NOT_FOUND;
      return "";
    }
    if (node->kind == NodeKind::kFile && !last) {
      *error = ERROR_PATH_NOT_FOUND;
      return "";
    }
    if (node->kind == NodeKind::kJunction && (!last || follow_last)) {
      // Continue from the junction's target.
      ++hops;
      rest = rest.empty() ? node->target.substr(3)
                          : (node->target.size() > 3
                                 ? node->target.substr(3) + "\\" + rest
                                 : rest);
      at = node->target.substr(0, 3);
      continue;
    }
    at = next;
  }
  *error = ERROR_PATH_NOT_FOUND;  // a loop of junctions
  return "";
}

std::vector<Win32::Ace> Win32::Inherited(const Node& parent, bool folder,
                                         const std::string& creator) const {
  std::vector<Ace> inherited;
  for (const Ace& ace : parent.dacl) {
    const bool to_folders = (ace.flags & CONTAINER_INHERIT_ACE) != 0;
    const bool to_files = (ace.flags & OBJECT_INHERIT_ACE) != 0;
    const bool no_propagate = (ace.flags & NO_PROPAGATE_INHERIT_ACE) != 0;
    if (folder ? !(to_folders || (to_files && !no_propagate)) : !to_files)
      continue;
    Ace effective = ace;
    effective.flags = INHERITED_ACE;
    if (ace.sid == kCreatorOwnerSid)
      effective.sid = creator;
    if (folder && !to_folders) {
      // Only for the files further down.
      Ace onward = ace;
      onward.flags = static_cast<BYTE>(OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE |
                                       INHERITED_ACE);
      inherited.push_back(onward);
      continue;
    }
    if (folder && !no_propagate) {
      if (ace.sid == kCreatorOwnerSid) {
        inherited.push_back(effective);
        Ace onward = ace;
        onward.flags = static_cast<BYTE>(
            (ace.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) |
            INHERIT_ONLY_ACE | INHERITED_ACE);
        inherited.push_back(onward);
        continue;
      }
      effective.flags = static_cast<BYTE>(
          (ace.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) |
          INHERITED_ACE);
    }
    inherited.push_back(effective);
  }
  return inherited;
}

Win32::Node& Win32::MakeNode(const std::string& full, NodeKind kind,
                             Writers writers) {
  Node node;
  node.kind = kind;
  node.path = full;
  const BYTE inherit =
      kind == NodeKind::kFile
          ? 0
          : static_cast<BYTE>(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
  node.dacl = {Ace{true, inherit, FILE_ALL_ACCESS, kSystemSid},
               Ace{true, inherit, FILE_ALL_ACCESS, kAdministratorsSid}};
  switch (writers) {
    case Writers::kAdministrators:
      node.owner = kAdministratorsSid;
      node.dacl.push_back(Ace{true, inherit, kReadExecute, kUsersSid});
      break;
    case Writers::kUser:
      node.owner = kMySid;
      node.dacl.push_back(Ace{true, inherit, FILE_ALL_ACCESS, kMySid});
      break;
    case Writers::kWindowsTemp:
      node.owner = kSystemSid;
      node.dacl.push_back(
          Ace{true, CONTAINER_INHERIT_ACE, kTempUsers, kUsersSid});
      node.dacl.push_back(Ace{true,
                              static_cast<BYTE>(OBJECT_INHERIT_ACE |
                                                CONTAINER_INHERIT_ACE |
                                                INHERIT_ONLY_ACE),
                              FILE_ALL_ACCESS, kCreatorOwnerSid});
      break;
  }
  const Node* before = NodeAt(full);
  node.short_name = before != NULL
                        ? before->short_name
                        : NewShortName(Parent(full), LastComponent(full));
  Node& made = nodes_[Upper(full)];
  made = node;
  return made;
}

void Win32::MakeParents(const std::string& full) {
  const std::string parent = Parent(full);
  if (parent.empty() || NodeAt(parent) != NULL)
    return;
  MakeParents(parent);
  MakeNode(parent, NodeKind::kFolder, Writers::kAdministrators);
}

void Win32::DeleteNode(const std::string& key) { nodes_.erase(Upper(key)); }

DWORD Win32::GrantedTo(const Token& token, const Node& node,
                       DWORD desired) const {
  return Evaluate(token, node.owner, node.dacl_present, node.dacl, desired,
                  kFileMapping);
}

bool Win32::SharingAllows(const std::string& key, DWORD access,
                          DWORD share) const {
  // Opens that touch no data (reading the security, the attributes) are
  // not checked against others, nor others against them.
  if ((access & kDataAccess) == 0)
    return true;
  for (const auto& entry : objects_) {
    const Object& open = entry.second;
    if (open.kind != "file" || Upper(open.node) != Upper(key))
      continue;
    if (((access & (FILE_READ_DATA | FILE_EXECUTE)) &&
         !(open.share & FILE_SHARE_READ)) ||
        ((access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) &&
         !(open.share & FILE_SHARE_WRITE)) ||
        ((access & DELETE) && !(open.share & FILE_SHARE_DELETE)) ||
        ((open.access & (FILE_READ_DATA | FILE_EXECUTE)) &&
         !(share & FILE_SHARE_READ)) ||
        ((open.access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) &&
         !(share & FILE_SHARE_WRITE)) ||
        ((open.access & DELETE) && !(share & FILE_SHARE_DELETE)))
      return false;
  }
  return true;
}

void Win32::ArmedOverwrite(Node& node) {
  if (!node.overwrite_armed)
    return;
  node.overwrite_armed = false;
  const bool allowed =
      GrantedTo(AttackerToken(), node, FILE_WRITE_DATA) != 0 &&
      SharingAllows(node.path, FILE_GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (allowed)
    node.bytes = node.overwrite_on_read;
  attacker_attempts_.push_back(
      AttackerAttempt{"overwrite " + node.path + " while it is read", allowed});
}

DWORD Win32::ProgramCheck(const std::string& program) const {
  // Programs in folders the test did not make keep the older, scripted
  // answer (RemoveProgram); in folders it made, the file decides.
  if (program.find('\\') == std::string::npos)
    return 0;
  DWORD error = 0;
  const std::string full = FullPath(program, &error);
  if (full.empty())
    return 0;
  const std::string folder = Resolve(Parent(full), true, &error);
  const Node* parent = folder.empty() ? NULL : NodeAt(folder);
  if (parent == NULL)
    return 0;
  const std::string resolved = Resolve(full, true, &error);
  const Node* node = resolved.empty() ? NULL : NodeAt(resolved);
  if (node == NULL)
    return ERROR_FILE_NOT_FOUND;
  if (node->kind != NodeKind::kFile)
    return ERROR_ACCESS_DENIED;
  const DWORD needed = FILE_EXECUTE | FILE_READ_DATA;
  if (GrantedTo(TokenOf(account_), *node, needed) == 0)
    return ERROR_ACCESS_DENIED;
  // The loader maps the image for reading and executing, sharing reading
  // and deletion only.
  if (!SharingAllows(resolved, needed, FILE_SHARE_READ | FILE_SHARE_DELETE))
    return ERROR_SHARING_VIOLATION;
  return 0;
}

// --- Scripting the file system ---------------------------------------------------

bool Win32::AllAboveAreFolders(const std::string& full) const {
  for (std::string above = Parent(full); !above.empty();
       above = Parent(above)) {
    const Node* node = NodeAt(above);
    if (node != NULL && node->kind != NodeKind::kFolder)
      return false;
  }
  return true;
}

void Win32::AddFolder(const std::string& path, Writers writers) {
  DWORD error = 0;
  const std::string full = FullPath(path, &error);
  if (full.size() <= 3 || !AllAboveAreFolders(full))
    return;  // not a path a test can mean, or one Windows would refuse
  MakeParents(full);
  MakeNode(full, NodeKind::kFolder, writers);
}

void Win32::AddFile(const std::string& path, const std::string& bytes,
                    Writers writers) {
  DWORD error = 0;
  const std::string full = FullPath(path, &error);
  if (full.size() <= 3 || !AllAboveAreFolders(full))
    return;  // not a path a test can mean, or one Windows would refuse
  MakeParents(full);
  MakeNode(full, NodeKind::kFile, writers).bytes = bytes;
}

void Win32::AddJunction(const std::string& path, const std::string& target,
                        const std::string& owner_sid) {
  DWORD error = 0;
  const std::string full = FullPath(path, &error);
  if (full.size() <= 3 || !AllAboveAreFolders(full))
    return;  // not a path a test can mean, or one Windows would refuse
  MakeParents(full);
  Node& node = MakeNode(full, NodeKind::kJunction, Writers::kUser);
  node.target = FullPath(target, &error);
  node.owner = owner_sid;
}

void Win32::SetOwner(const std::string& path, const std::string& owner_sid) {
  DWORD error = 0;
  Node* node = NodeAt(FullPath(path, &error));
  if (node != NULL)
    node->owner = owner_sid;
}

void Win32::SetSecurity(const std::string& path, const std::string& sddl) {
  DWORD error = 0;
  Node* node = NodeAt(FullPath(path, &error));
  Descriptor parsed;
  if (node == NULL || !internal::ParseSddl(sddl, &parsed, &error))
    return;
  if (!parsed.owner.empty())
    node->owner = parsed.owner;
  node->dacl_present = !parsed.dacl_null;
  node->dacl_protected = parsed.dacl_protected;
  node->dacl = parsed.dacl;
}

bool Win32::SwapFolderByAttacker(const std::string& path,
                                 const std::string& file_name,
                                 const std::string& bytes) {
  DWORD error = 0;
  const std::string full = FullPath(path, &error);
  const std::string aside = full + ".old";
  const Node* node = full.empty() ? NULL : NodeAt(full);
  const Node* parent = full.empty() ? NULL : NodeAt(Parent(full));
  const Token attacker = AttackerToken();
  bool allowed =
      node != NULL && node->kind == NodeKind::kFolder && parent != NULL &&
      NodeAt(aside) == NULL &&
      (GrantedTo(attacker, *node, DELETE) != 0 ||
       GrantedTo(attacker, *parent, FILE_DELETE_CHILD) != 0) &&
      GrantedTo(attacker, *parent, FILE_ADD_SUBDIRECTORY) != 0;
  // A folder with anything open in it cannot be renamed.
  const std::string upper = Upper(full);
  for (const auto& entry : objects_) {
    const Object& open = entry.second;
    if (open.kind != "file")
      continue;
    const std::string at = Upper(open.node);
    if ((at == upper && (open.share & FILE_SHARE_DELETE) == 0) ||
        at.compare(0, upper.size() + 1, upper + "\\") == 0)
      allowed = false;
  }
  if (allowed) {
    std::vector<std::string> moved;
    for (const auto& entry : nodes_) {
      if (entry.first == upper ||
          entry.first.compare(0, upper.size() + 1, upper + "\\") == 0)
        moved.push_back(entry.first);
    }
    for (const std::string& key : moved) {
      Node renamed = nodes_[key];
      renamed.path = aside + renamed.path.substr(full.size());
      nodes_.erase(key);
      nodes_[Upper(renamed.path)] = renamed;
    }
    MakeNode(full, NodeKind::kFolder, Writers::kUser);
    MakeNode(Join(full, file_name), NodeKind::kFile, Writers::kUser).bytes =
        bytes;
  }
  attacker_attempts_.push_back(AttackerAttempt{
      "rename " + path + " aside and put another folder in its place",
      allowed});
  return allowed;
}

bool Win32::ReplaceByInstaller(const std::string& path,
                               const std::string& bytes) {
  DWORD error = 0;
  const std::string full = FullPath(path, &error);
  const std::string resolved = full.empty() ? "" : Resolve(full, true, &error);
  Node* node = resolved.empty() ? NULL : NodeAt(resolved);
  const bool allowed =
      node != NULL && node->kind == NodeKind::kFile &&
      GrantedTo(TokenOf(Account::kAdminElevated), *node, FILE_WRITE_DATA) !=
          0 &&
      SharingAllows(resolved, FILE_GENERIC_WRITE, FILE_SHARE_READ) &&
      !IsRunningImage(resolved);
  if (allowed)
    node->bytes = bytes;
  return allowed;
}

void Win32::SwapFolderWhenStarting(const std::string& program,
                                   const std::string& folder) {
  swaps_when_starting_[program] = folder;
}

void Win32::SwapIfArmed(const std::string& program) {
  auto swap = swaps_when_starting_.find(program);
  if (swap == swaps_when_starting_.end())
    return;
  const std::string folder = swap->second;
  swaps_when_starting_.erase(swap);
  SwapFolderByAttacker(folder, LastComponent(program), "planted");
}

bool Win32::OpenByAttacker(const std::string& path, DWORD access,
                           DWORD share) {
  DWORD error = 0;
  const std::string full = FullPath(path, &error);
  const std::string resolved = full.empty() ? "" : Resolve(full, true, &error);
  Node* node = resolved.empty() ? NULL : NodeAt(resolved);
  const DWORD mapped = MapGeneric(access, kFileMapping);
  const bool allowed =
      node != NULL && node->kind == NodeKind::kFile &&
      GrantedTo(AttackerToken(), *node, mapped) != 0 &&
      SharingAllows(resolved, mapped, share);
  if (allowed) {
    Object open;
    open.kind = "file";
    open.node = node->path;
    open.access = mapped;
    open.share = share;
    open.foreign = true;
    open.references = 1;
    objects_[NewObjectName("attacker file")] = open;
  }
  attacker_attempts_.push_back(
      AttackerAttempt{"open " + path + " " + AccessNames(access), allowed});
  return allowed;
}

void Win32::SwapForJunctionWhenListed(const std::string& path,
                                      const std::string& target) {
  DWORD error = 0;
  swaps_when_listed_[Upper(FullPath(path, &error))] =
      FullPath(target, &error);
}

void Win32::OverwriteOnFirstRead(const std::string& path,
                                 const std::string& bytes) {
  DWORD error = 0;
  Node* node = NodeAt(FullPath(path, &error));
  if (node == NULL)
    return;
  node->overwrite_armed = true;
  node->overwrite_on_read = bytes;
}

void Win32::Reboot() {
  for (const std::string& path : deletes_at_reboot_) {
    Node* node = NodeAt(path);
    if (node == NULL)
      continue;
    bool empty = true;
    const std::string prefix = Upper(node->path) + "\\";
    for (const auto& other : nodes_)
      empty &= other.first.compare(0, prefix.size(), prefix) != 0;
    if (node->kind != NodeKind::kFolder || empty)
      DeleteNode(path);
  }
  deletes_at_reboot_.clear();
  // Every process ends with the machine.
  for (auto object = objects_.begin(); object != objects_.end();) {
    if (object->second.foreign)
      object = objects_.erase(object);
    else
      ++object;
  }
}

bool Win32::FileExists(const std::string& path) const {
  DWORD error = 0;
  const Node* node = NodeAt(FullPath(path, &error));
  return node != NULL && node->kind == NodeKind::kFile;
}

bool Win32::FolderExists(const std::string& path) const {
  DWORD error = 0;
  const Node* node = NodeAt(FullPath(path, &error));
  return node != NULL && node->kind == NodeKind::kFolder;
}

std::string Win32::FileBytes(const std::string& path) const {
  DWORD error = 0;
  const Node* node = NodeAt(FullPath(path, &error));
  return node == NULL ? "" : node->bytes;
}

std::vector<std::string> Win32::FolderEntries(const std::string& path) const {
  DWORD error = 0;
  const std::string prefix = Upper(FullPath(path, &error)) + "\\";
  std::vector<std::string> names;
  for (const auto& node : nodes_) {
    if (node.first.compare(0, prefix.size(), prefix) == 0 &&
        node.first.find('\\', prefix.size()) == std::string::npos)
      names.push_back(LastComponent(node.second.path));
  }
  return names;
}

std::string Win32::SecurityOf(const std::string& path) const {
  DWORD error = 0;
  const Node* node = NodeAt(FullPath(path, &error));
  if (node == NULL)
    return "";
  Descriptor descriptor;
  descriptor.owner = node->owner;
  descriptor.dacl_present = node->dacl_present;
  descriptor.dacl_null = !node->dacl_present;
  descriptor.dacl_protected = node->dacl_protected;
  descriptor.dacl = node->dacl;
  return internal::DescriptorString(descriptor);
}

std::string Win32::CreatedWithSddl(const std::string& path) const {
  DWORD error = 0;
  const Node* node = NodeAt(FullPath(path, &error));
  return node == NULL ? "" : node->created_with_sddl;
}

// --- Files -------------------------------------------------------------------------

DWORD Win32::OpenAsWindows(const std::string& path, DWORD access, DWORD share,
                           DWORD disposition, DWORD flags,
                           const SECURITY_ATTRIBUTES* attributes,
                           const Token& token, std::string* key,
                           DWORD* granted_access) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
      (share & ~static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE |
                                   FILE_SHARE_DELETE)) != 0)
    return ERROR_INVALID_PARAMETER;
  if (internal::WideOf(path, NULL).size() >= MAX_PATH)
    return ERROR_FILENAME_EXCED_RANGE;
  DWORD error = 0;
  const std::string full = FullPath(path, &error);
  if (full.empty())
    return error;
  const bool open_link = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  const std::string resolved = Resolve(full, !open_link, &error);
  if (resolved.empty())
    return error;
  const DWORD wanted = MapGeneric(access, kFileMapping);
  Node* node = NodeAt(resolved);
  const Node* parent = NodeAt(Parent(resolved));
  if (node != NULL) {
    if (node->delete_pending)
      return ERROR_ACCESS_DENIED;
    if (disposition == CREATE_NEW)
      return ERROR_FILE_EXISTS;
    if (node->kind != NodeKind::kFile) {
      if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 ||
          disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)
        return ERROR_ACCESS_DENIED;
    }
    DWORD granted = GrantedTo(token, *node, MAXIMUM_ALLOWED);
    if (parent != NULL) {
      const DWORD from_parent = GrantedTo(token, *parent, MAXIMUM_ALLOWED);
      if (from_parent & FILE_DELETE_CHILD)
        granted |= DELETE;
      if (from_parent & FILE_LIST_DIRECTORY)
        granted |= FILE_READ_ATTRIBUTES;
    }
    const DWORD needed =
        (wanted & ~static_cast<DWORD>(MAXIMUM_ALLOWED)) |
        (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING
             ? FILE_WRITE_DATA
             : 0);
    if ((needed & granted) != needed)
      return ERROR_ACCESS_DENIED;
    // A running exe is mapped: nobody may write it.
    if ((needed & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0 &&
        IsRunningImage(resolved))
      return ERROR_SHARING_VIOLATION;
    *granted_access = (wanted & MAXIMUM_ALLOWED) ? granted : needed;
    if (!SharingAllows(resolved, *granted_access, share))
      return ERROR_SHARING_VIOLATION;
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)
      node->bytes.clear();
    *key = node->path;
    return (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
               ? ERROR_ALREADY_EXISTS
               : 0;
  }
  if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
    return ERROR_FILE_NOT_FOUND;
  if (parent == NULL || parent->kind != NodeKind::kFolder)
    return ERROR_PATH_NOT_FOUND;
  if (GrantedTo(token, *parent, FILE_ADD_FILE) == 0)
    return ERROR_ACCESS_DENIED;
  Descriptor given;
  if (attributes != NULL && attributes->lpSecurityDescriptor != NULL &&
      !internal::DecodeDescriptor(attributes->lpSecurityDescriptor, &given))
    return ERROR_INVALID_SECURITY_DESCR;
  Node made;
  made.kind = NodeKind::kFile;
  made.path = resolved;
  made.owner = given.owner.empty() ? token.default_owner : given.owner;
  made.dacl = given.dacl;
  made.dacl_present = !given.dacl_null;
  made.dacl_protected = given.dacl_protected;
  if (!given.dacl_null && (!given.dacl_present || !given.dacl_protected)) {
    const std::vector<Ace> inherited = Inherited(*parent, false, made.owner);
    made.dacl.insert(made.dacl.end(), inherited.begin(), inherited.end());
  }
  made.short_name = NewShortName(Parent(resolved), LastComponent(resolved));
  nodes_[Upper(resolved)] = made;
  *key = resolved;
  // Whoever creates a file may use it as it asked.
  *granted_access = wanted & ~static_cast<DWORD>(MAXIMUM_ALLOWED);
  return 0;
}

HANDLE Win32::CreateFileA(LPCSTR path, DWORD access, DWORD share,
                          LPSECURITY_ATTRIBUTES attributes,
                          DWORD disposition, DWORD flags,
                          HANDLE template_file) {
  std::string key;
  DWORD granted = 0;
  DWORD error =
      path == NULL ? ERROR_INVALID_PARAMETER
      : template_file != NULL
          ? ERROR_INVALID_PARAMETER  // templates are not part of the fake
          : OpenAsWindows(FromAnsi(path), access, share, disposition, flags,
                          attributes, TokenOf(account_), &key, &granted);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (error == 0 || error == ERROR_ALREADY_EXISTS) {
    const std::string name = NewObjectName("file");
    Object& open = objects_[name];
    open.kind = "file";
    open.node = key;
    open.access = granted;
    open.share = share;
    open.flags = flags;
    handle = Issue("file", name, granted);
  }
  last_error_ = error;
  file_opens_.push_back(FileOpen{path == NULL ? "" : path, access, share,
                                 attributes == NULL, disposition, flags,
                                 handle != INVALID_HANDLE_VALUE, error});
  log_.push_back("CreateFileA(" + Quote(path) + ", " + AccessNames(access) +
                 ", " + HexNumber(share) + ", " + Pointer(attributes) + ", " +
                 std::to_string(disposition) + ", " + HexNumber(flags) +
                 ") = " + Label(handle));
  return handle;
}

BOOL Win32::ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                     LPOVERLAPPED overlapped) {
  BOOL done = FALSE;
  OpenHandle* open = Find(file, "file");
  Object* object = open == NULL ? NULL : &objects_[open->object_name];
  Node* node = object == NULL ? NULL : NodeAt(object->node);
  if (open == NULL || node == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (read == NULL && overlapped == NULL) {
    last_error_ = ERROR_INVALID_USER_BUFFER;
  } else if (node->kind != NodeKind::kFile) {
    last_error_ = ERROR_INVALID_FUNCTION;
  } else if ((open->access & FILE_READ_DATA) == 0) {
    last_error_ = ERROR_ACCESS_DENIED;
  } else {
    ArmedOverwrite(*node);
    size_t at = object->position;
    if (overlapped != NULL)
      at = overlapped->Offset;
    const size_t available = at < node->bytes.size() ? node->bytes.size() - at
                                                      : 0;
    const size_t count = std::min<size_t>(size, available);
    memcpy(buffer, node->bytes.data() + at, count);
    object->position = at + count;
    if (read != NULL)
      *read = static_cast<DWORD>(count);
    done = TRUE;
  }
  log_.push_back("ReadFile(" + Label(file) + ", " + std::to_string(size) +
                 ") = " + Bool(done) +
                 (done && read ? " read " + std::to_string(*read) : ""));
  return done;
}

BOOL Win32::WriteFile(HANDLE file, LPCVOID buffer, DWORD size,
                      LPDWORD written, LPOVERLAPPED overlapped) {
  BOOL done = FALSE;
  OpenHandle* open = Find(file, "file");
  Object* object = open == NULL ? NULL : &objects_[open->object_name];
  Node* node = object == NULL ? NULL : NodeAt(object->node);
  if (open == NULL || node == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (written == NULL && overlapped == NULL) {
    last_error_ = ERROR_INVALID_USER_BUFFER;
  } else if (node->kind != NodeKind::kFile) {
    last_error_ = ERROR_INVALID_FUNCTION;
  } else if ((open->access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) == 0) {
    last_error_ = ERROR_ACCESS_DENIED;
  } else {
    size_t at = object->position;
    if (overlapped != NULL)
      at = overlapped->Offset;
    if (node->bytes.size() < at + size)
      node->bytes.resize(at + size, '\0');
    memcpy(&node->bytes[at], buffer, size);
    object->position = at + size;
    if (written != NULL)
      *written = size;
    done = TRUE;
  }
  log_.push_back("WriteFile(" + Label(file) + ", " + std::to_string(size) +
                 ") = " + Bool(done));
  return done;
}

Win32::Node* Win32::EntryToDelete(LPCSTR path, std::string* resolved,
                                  DWORD* error) {
  const std::string full = FullPath(path, error);
  *resolved = full.empty() ? "" : Resolve(full, /*follow_last=*/false, error);
  Node* node = resolved->empty() ? NULL : NodeAt(*resolved);
  if (!resolved->empty() && node == NULL)
    *error = ERROR_FILE_NOT_FOUND;
  return node;
}

bool Win32::MayDelete(const std::string& resolved, const Node& node) const {
  const Token token = TokenOf(account_);
  const Node* parent = NodeAt(Parent(resolved));
  return GrantedTo(token, node, DELETE) != 0 ||
         (parent != NULL && GrantedTo(token, *parent, FILE_DELETE_CHILD) != 0);
}

BOOL Win32::DeleteFileA(LPCSTR path) {
  DWORD error = 0;
  std::string resolved;
  Node* node = EntryToDelete(path, &resolved, &error);
  if (node != NULL) {
    const bool may = MayDelete(resolved, *node);
    if (node->kind == NodeKind::kFolder || node->delete_pending || !may ||
        IsRunningImage(resolved)) {  // a running exe cannot be deleted
      error = ERROR_ACCESS_DENIED;
    } else if (!SharingAllows(resolved, DELETE, FILE_SHARE_READ |
                                                    FILE_SHARE_WRITE |
                                                    FILE_SHARE_DELETE)) {
      error = ERROR_SHARING_VIOLATION;
    } else {
      bool open = false;
      for (const auto& object : objects_)
        open |= object.second.kind == "file" &&
                EqualNoCase(object.second.node, resolved);
      // Still open (by handles that share deletion): the name stays until
      // the last of them closes.
      if (open)
        node->delete_pending = true;
      else
        DeleteNode(resolved);
    }
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("DeleteFileA(" + Quote(path) + ") = " + Bool(error == 0));
  return error == 0;
}

BOOL Win32::CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes) {
  DWORD error = 0;
  std::string resolved;
  std::string sddl;
  Descriptor given;
  const Token token = TokenOf(account_);
  // The ANSI call leaves room for an 8.3 name below the folder.
  const std::string full = strlen(path) >= MAX_PATH - 12
                               ? (error = ERROR_FILENAME_EXCED_RANGE, "")
                               : FullPath(path, &error);
  if (!full.empty())
    resolved = Resolve(full, /*follow_last=*/false, &error);
  const Node* parent = resolved.empty() ? NULL : NodeAt(Parent(resolved));
  if (resolved.empty()) {
  } else if (NodeAt(resolved) != NULL) {
    error = ERROR_ALREADY_EXISTS;  // whatever is there: folder, file, link
  } else if (parent == NULL || parent->kind != NodeKind::kFolder) {
    error = ERROR_PATH_NOT_FOUND;
  } else if (GrantedTo(token, *parent, FILE_ADD_SUBDIRECTORY) == 0) {
    error = ERROR_ACCESS_DENIED;
  } else if (attributes != NULL &&
             attributes->nLength != sizeof(SECURITY_ATTRIBUTES)) {
    error = ERROR_INVALID_PARAMETER;
  } else if (attributes != NULL &&
             attributes->lpSecurityDescriptor != NULL &&
             !internal::DecodeDescriptor(attributes->lpSecurityDescriptor,
                                         &given)) {
    error = ERROR_INVALID_SECURITY_DESCR;
  } else if (!given.owner.empty() && given.owner != token.default_owner &&
             !token.enabled.count(given.owner)) {
    error = ERROR_INVALID_OWNER;
  } else {
    if (attributes != NULL && attributes->lpSecurityDescriptor != NULL) {
      auto known = sddl_of_descriptor_.find(attributes->lpSecurityDescriptor);
      sddl = known == sddl_of_descriptor_.end() ? "<not from a string>"
                                                : known->second;
    }
    Node made;
    made.kind = NodeKind::kFolder;
    made.path = resolved;
    made.owner = given.owner.empty() ? token.default_owner : given.owner;
    made.dacl = given.dacl;
    made.dacl_present = !given.dacl_null;
    made.dacl_protected = given.dacl_protected;
    made.created_with_sddl = sddl;
    if (!given.dacl_null && (!given.dacl_present || !given.dacl_protected)) {
      const std::vector<Ace> inherited = Inherited(*parent, true, made.owner);
      made.dacl.insert(made.dacl.end(), inherited.begin(), inherited.end());
    }
    made.short_name = NewShortName(Parent(resolved), LastComponent(resolved));
    nodes_[Upper(resolved)] = made;
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("CreateDirectoryA(" + Quote(path) + ", " +
                 (attributes == NULL ? "NULL"
                  : sddl.empty()     ? "attrs"
                                     : "\"" + sddl + "\"") +
                 ") = " + Bool(error == 0));
  return error == 0;
}

BOOL Win32::RemoveDirectoryA(LPCSTR path) {
  DWORD error = 0;
  std::string resolved;
  Node* node = EntryToDelete(path, &resolved, &error);
  if (node != NULL) {
    const bool may = MayDelete(resolved, *node);
    if (node->kind == NodeKind::kFile) {
      error = ERROR_DIRECTORY;
    } else if (node->kind == NodeKind::kFolder &&
               !FolderEntries(resolved).empty()) {
      error = ERROR_DIR_NOT_EMPTY;
    } else if (!may) {
      error = ERROR_ACCESS_DENIED;
    } else if (!SharingAllows(resolved, DELETE, FILE_SHARE_READ |
                                                    FILE_SHARE_WRITE |
                                                    FILE_SHARE_DELETE)) {
      error = ERROR_SHARING_VIOLATION;
    } else {
      // A junction goes itself; its target stays.
      DeleteNode(resolved);
    }
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("RemoveDirectoryA(" + Quote(path) + ") = " +
                 Bool(error == 0));
  return error == 0;
}

BOOL Win32::MoveFileExA(LPCSTR existing, LPCSTR new_name, DWORD flags) {
  DWORD error = 0;
  std::string full;
  if (new_name != NULL || (flags & MOVEFILE_DELAY_UNTIL_REBOOT) == 0 ||
      (flags & MOVEFILE_COPY_ALLOWED) != 0) {
    // Only a deletion at the next restart is part of the fake.
    error = ERROR_INVALID_PARAMETER;
  } else if (!IsElevated(account_)) {
    // The list of deletions at restart belongs to the machine.
    error = ERROR_ACCESS_DENIED;
  } else if ((full = FullPath(existing, &error)).empty()) {
  } else {
    deletes_at_reboot_.push_back(full);
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("MoveFileExA(" + Quote(existing) + ", " + Quote(new_name) +
                 ", " + HexNumber(flags) + ") = " + Bool(error == 0));
  return error == 0;
}

namespace {

void FillFindData(const Win32::Node* node, const std::string& name,
                  const std::string& short_name, WIN32_FIND_DATAA* data) {
  memset(data, 0, sizeof(*data));
  if (node == NULL || node->kind == Win32::NodeKind::kFolder) {
    data->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if (node->kind == Win32::NodeKind::kJunction) {
    data->dwFileAttributes =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    data->dwReserved0 = static_cast<DWORD>(IO_REPARSE_TAG_MOUNT_POINT);
  } else {
    data->dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    data->nFileSizeLow = static_cast<DWORD>(node->bytes.size());
  }
  snprintf(data->cFileName, sizeof(data->cFileName), "%s", name.c_str());
  snprintf(data->cAlternateFileName, sizeof(data->cAlternateFileName), "%s",
           short_name.c_str());
}

}  // namespace

HANDLE Win32::FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  DWORD error = 0;
  const std::string full = FullPath(pattern, &error, /*wildcards_last=*/true);
  const std::string folder =
      full.empty() ? "" : Resolve(Parent(full), true, &error);
  const Node* node = folder.empty() ? NULL : NodeAt(folder);
  std::vector<WIN32_FIND_DATAA> found;
  if (!folder.empty() && (node == NULL || node->kind != NodeKind::kFolder)) {
    error = ERROR_PATH_NOT_FOUND;
  } else if (node != NULL &&
             GrantedTo(TokenOf(account_), *node, FILE_LIST_DIRECTORY) == 0) {
    error = ERROR_ACCESS_DENIED;
  } else if (node != NULL) {
    const std::string name_pattern = LastComponent(full);
    std::vector<std::pair<const Node*, std::string>> entries;
    if (folder.size() > 3) {  // every folder but a drive's root
      entries.push_back({NULL, "."});
      entries.push_back({NULL, ".."});
    }
    for (const std::string& name : FolderEntries(folder))
      entries.push_back({NodeAt(Join(folder, name)), name});
    for (const auto& entry : entries) {
      if (Matches(name_pattern.c_str(), entry.second.c_str())) {
        WIN32_FIND_DATAA one;
        FillFindData(entry.first, ToAnsi(entry.second),
                     entry.first != NULL ? entry.first->short_name : "", &one);
        found.push_back(one);
      }
    }
    if (found.empty())
      error = ERROR_FILE_NOT_FOUND;
    // What another process changes right after the listing.
    for (const auto& entry : entries) {
      const std::string path = Join(folder, entry.second);
      auto swap = swaps_when_listed_.find(Upper(path));
      if (swap == swaps_when_listed_.end() || entry.first == NULL)
        continue;
      Node* listed = NodeAt(path);
      const bool allowed =
          listed->kind == NodeKind::kFolder &&
          FolderEntries(path).empty() &&
          GrantedTo(AttackerToken(), *listed, DELETE) != 0;
      if (allowed) {
        listed->kind = NodeKind::kJunction;
        listed->target = swap->second;
        listed->owner = kMySid;
      }
      attacker_attempts_.push_back(AttackerAttempt{
          "swap " + path + " for a junction after it was listed", allowed});
      swaps_when_listed_.erase(swap);
    }
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (error == 0) {
    const std::string name = NewObjectName("find");
    objects_[name].kind = "find";
    objects_[name].found = found;
    objects_[name].next = 1;
    *data = found[0];
    handle = Issue("find", name, 0);
  } else {
    last_error_ = error;
  }
  log_.push_back("FindFirstFileA(" + Quote(pattern) + ") = " + Label(handle) +
                 (error == 0 ? " \"" + std::string(data->cFileName) + "\""
                             : ""));
  return handle;
}

BOOL Win32::FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
  BOOL done = FALSE;
  OpenHandle* open = Find(find, "find");
  if (open == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else {
    Object& object = objects_[open->object_name];
    if (object.next < object.found.size()) {
      *data = object.found[object.next++];
      done = TRUE;
    } else {
      last_error_ = ERROR_NO_MORE_FILES;
    }
  }
  log_.push_back("FindNextFileA(" + Label(find) + ") = " + Bool(done) +
                 (done ? " \"" + std::string(data->cFileName) + "\"" : ""));
  return done;
}

BOOL Win32::FindClose(HANDLE find) {
  OpenHandle* open = Find(find, "find");
  if (open == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else {
    const std::string name = open->object_name;
    handles_.erase(find);
    Release(name);
  }
  log_.push_back("FindClose(" + Label(find) + ") = " + Bool(open != NULL));
  return open != NULL;
}

UINT Win32::GetSystemWindowsDirectoryA(LPSTR buffer, UINT size) {
  const std::string windows = "C:\\Windows";
  UINT result = static_cast<UINT>(windows.size() + 1);  // what it needs
  if (size > windows.size()) {
    memcpy(buffer, windows.c_str(), windows.size() + 1);
    result = static_cast<UINT>(windows.size());
  }
  log_.push_back("GetSystemWindowsDirectoryA(" + std::to_string(size) +
                 ") = " + std::to_string(result));
  return result;
}

UINT Win32::GetSystemDirectoryA(LPSTR buffer, UINT size) {
  const std::string system = "C:\\Windows\\system32";
  UINT result = static_cast<UINT>(system.size() + 1);  // what it needs
  if (size > system.size()) {
    memcpy(buffer, system.c_str(), system.size() + 1);
    result = static_cast<UINT>(system.size());
  }
  log_.push_back("GetSystemDirectoryA(" + std::to_string(size) + ") = " +
                 std::to_string(result));
  return result;
}

DWORD Win32::GetFileAttributesA(LPCSTR path) {
  DWORD error = 0;
  const std::string full = path == NULL ? "" : FullPath(path, &error);
  const std::string resolved =
      full.empty() ? "" : Resolve(full, /*follow_last=*/true, &error);
  const Node* node = resolved.empty() ? NULL : NodeAt(resolved);
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (path == NULL) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (full.empty() || resolved.empty()) {
    last_error_ = error;
  } else if (node == NULL) {
    last_error_ = ERROR_FILE_NOT_FOUND;
  } else {
    attributes = node->kind == NodeKind::kFile ? FILE_ATTRIBUTE_NORMAL
                                               : FILE_ATTRIBUTE_DIRECTORY;
  }
  log_.push_back("GetFileAttributesA(" + Quote(path) + ") = " +
                 HexNumber(attributes));
  return attributes;
}

bool Win32::IsRunningImage(const std::string& resolved) const {
  for (const auto& entry : processes_) {
    const Process& process = entry.second;
    if (!process.running || process.image.size() < 3 ||
        process.image[1] != ':')
      continue;
    DWORD error = 0;
    const std::string full = FullPath(process.image, &error);
    const std::string image =
        full.empty() ? "" : Resolve(full, /*follow_last=*/true, &error);
    if (!image.empty() && EqualNoCase(image, resolved))
      return true;
  }
  return false;
}

std::string Win32::TempFolder() const {
  // TMP, TEMP, the user's profile folder, or else the Windows folder.
  std::string temp = "C:\\Windows";
  for (const char* name : {"USERPROFILE", "TEMP", "TMP"}) {
    auto variable = environment_.find(name);
    if (variable != environment_.end() && !variable->second.empty())
      temp = variable->second;
  }
  if (temp.back() != '\\')
    temp += "\\";
  return temp;
}

DWORD Win32::GetTempPathA(DWORD size, LPSTR buffer) {
  const std::string temp = TempFolder();
  DWORD result = static_cast<DWORD>(temp.size() + 1);  // what it needs
  if (buffer != NULL && size > temp.size()) {
    memcpy(buffer, temp.c_str(), temp.size() + 1);
    result = static_cast<DWORD>(temp.size());
  }
  log_.push_back("GetTempPathA(" + std::to_string(size) + ") = " +
                 std::to_string(result));
  return result;
}

DWORD Win32::GetTempPathW(DWORD size, LPWSTR buffer) {
  const DWORD result = CopyWide(FromAnsi(TempFolder()), buffer, size);
  log_.push_back("GetTempPathW(" + std::to_string(size) + ") = " +
                 std::to_string(result));
  return result;
}

BOOL Win32::CopyFileA(LPCSTR existing, LPCSTR new_name,
                      BOOL fail_if_exists) {
  DWORD error = 0;
  const Token token = TokenOf(account_);
  std::string source;
  const std::string full =
      existing == NULL ? "" : FullPath(existing, &error);
  if (existing == NULL || new_name == NULL)
    error = ERROR_INVALID_PARAMETER;
  else if (!full.empty())
    source = Resolve(full, /*follow_last=*/true, &error);
  const Node* from = source.empty() ? NULL : NodeAt(source);
  std::string key;
  DWORD granted = 0;
  if (error != 0) {
  } else if (from == NULL) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (from->kind != NodeKind::kFile ||
             GrantedTo(token, *from, FILE_READ_DATA) == 0) {
    error = ERROR_ACCESS_DENIED;
  } else if (!SharingAllows(source, FILE_GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_DELETE)) {
    error = ERROR_SHARING_VIOLATION;
  } else {
    // The copy gets what its new folder passes on, not the source's DACL.
    const std::string bytes = from->bytes;
    error = OpenAsWindows(FromAnsi(new_name), GENERIC_WRITE, 0,
                          fail_if_exists ? CREATE_NEW : CREATE_ALWAYS, 0,
                          NULL, token, &key, &granted);
    if (error == ERROR_ALREADY_EXISTS)
      error = 0;
    if (error == 0)
      NodeAt(key)->bytes = bytes;
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("CopyFileA(" + Quote(existing) + ", " + Quote(new_name) +
                 ", " + Bool(fail_if_exists) + ") = " + Bool(error == 0));
  return error == 0;
}

bool Win32::DriveOf(const char* root, Drive* drive) const {
  // A root names its drive with the backslash: "C:\\".
  if (root == NULL || strlen(root) != 3 || root[1] != ':' ||
      root[2] != '\\' || !isalpha(static_cast<unsigned char>(root[0])))
    return false;
  const char letter = static_cast<char>(toupper(root[0]));
  auto known = drives_.find(letter);
  if (known != drives_.end()) {
    *drive = known->second;
    return true;
  }
  if (NodeAt(std::string(1, letter) + ":\\") == NULL)
    return false;
  *drive = Drive{DRIVE_FIXED, true};
  return true;
}

UINT Win32::GetDriveTypeA(LPCSTR root) {
  Drive drive = {DRIVE_NO_ROOT_DIR, false};
  const std::string current = current_directory_.substr(0, 3);
  if (!DriveOf(root == NULL ? current.c_str() : root, &drive))
    drive.type = DRIVE_NO_ROOT_DIR;
  log_.push_back("GetDriveTypeA(" + Quote(root) + ") = " +
                 std::to_string(drive.type));
  return drive.type;
}

BOOL Win32::GetVolumeInformationA(LPCSTR root, LPSTR volume_name,
                                  DWORD volume_name_size,
                                  LPDWORD serial_number,
                                  LPDWORD maximum_component_length,
                                  LPDWORD file_system_flags,
                                  LPSTR file_system_name,
                                  DWORD file_system_name_size) {
  Drive drive = {DRIVE_NO_ROOT_DIR, false};
  DWORD error = 0;
  const std::string current = current_directory_.substr(0, 3);
  const char* asked = root == NULL ? current.c_str() : root;
  if (strlen(asked) != 3 || asked[2] != '\\') {
    error = ERROR_INVALID_NAME;  // a root needs its backslash
  } else if (!DriveOf(asked, &drive)) {
    error = ERROR_PATH_NOT_FOUND;
  } else if ((volume_name != NULL && volume_name_size < 1) ||
             (file_system_name != NULL &&
              file_system_name_size <
                  strlen(drive.keeps_rights ? "NTFS" : "FAT32") + 1)) {
    error = ERROR_BAD_LENGTH;
  } else {
    if (volume_name != NULL)
      volume_name[0] = '\0';
    if (serial_number != NULL)
      *serial_number = 0x1234ABCD;
    if (maximum_component_length != NULL)
      *maximum_component_length = 255;
    if (file_system_flags != NULL)
      *file_system_flags =
          FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
          (drive.keeps_rights
               ? FILE_CASE_SENSITIVE_SEARCH | FILE_PERSISTENT_ACLS
               : 0);
    if (file_system_name != NULL)
      strcpy(file_system_name, drive.keeps_rights ? "NTFS" : "FAT32");
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("GetVolumeInformationA(" + Quote(root) + ") = " +
                 Bool(error == 0));
  return error == 0;
}

// --- Security ----------------------------------------------------------------------

HLOCAL Win32::AllocateLocal(const std::string& bytes,
                            const std::string& label,
                            const std::string& kind) {
  std::unique_ptr<std::string> memory(new std::string(bytes));
  HLOCAL pointer = &(*memory)[0];
  local_memory_[pointer] = std::move(memory);
  const std::string name = NewObjectName(kind);
  objects_[name].kind = kind;
  // The handle table keys it by the pointer itself.
  const std::string numbered = label + std::to_string(++label_counts_[label]);
  handles_[pointer] = OpenHandle{numbered, name, 0};
  labels_[pointer] = numbered;
  issue_order_.push_back(pointer);
  ++objects_[name].references;
  return pointer;
}

HLOCAL Win32::LocalFree(HLOCAL memory) {
  HLOCAL result = NULL;
  if (memory != NULL) {
    OpenHandle* open = Find(memory, "local");
    if (open == NULL) {
      last_error_ = ERROR_INVALID_HANDLE;
      result = memory;
    } else {
      const std::string name = open->object_name;
      log_.push_back("LocalFree(" + Label(memory) + ") = NULL");
      handles_.erase(memory);
      Release(name);
      sddl_of_descriptor_.erase(memory);
      local_memory_.erase(memory);  // freed: a later read shows
      return NULL;
    }
  }
  log_.push_back("LocalFree(" + Label(memory) + ") = " +
                 (result == NULL ? "NULL" : "FAILED"));
  return result;
}

BOOL Win32::OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  BOOL done = FALSE;
  if (process != INVALID_HANDLE_VALUE) {
    // Only this process's own token is part of the fake.
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (token == NULL) {
    last_error_ = ERROR_NOACCESS;
  } else {
    const std::string name = NewObjectName("token");
    objects_[name].kind = "token";
    objects_[name].token_account = account_;
    *token = Issue("token", name, access);
    done = TRUE;
  }
  log_.push_back("OpenProcessToken(" + Label(process) + ", " +
                 HexNumber(access) + ") = " +
                 (done ? Label(*token) : "FALSE"));
  return done;
}

BOOL Win32::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                LPVOID information, DWORD size,
                                PDWORD returned) {
  BOOL done = FALSE;
  std::string what = std::to_string(kind);
  OpenHandle* open = Find(token, "token");
  if (open == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if ((open->access & TOKEN_QUERY) == 0) {
    last_error_ = ERROR_ACCESS_DENIED;
  } else if (returned == NULL) {
    last_error_ = ERROR_NOACCESS;
  } else {
    const Account account = objects_[open->object_name].token_account;
    DWORD needed = 0;
    if (kind == TokenElevation) {
      what = "TokenElevation";
      needed = sizeof(TOKEN_ELEVATION);
    } else if (kind == TokenElevationType) {
      what = "TokenElevationType";
      needed = sizeof(TOKEN_ELEVATION_TYPE);
    } else if (kind == TokenLinkedToken) {
      what = "TokenLinkedToken";
      needed = sizeof(TOKEN_LINKED_TOKEN);
    }
    // The user's SID follows the record, in the same buffer.
    const std::string user_sid = internal::SidBytes(TokenOf(account).user);
    if (kind == TokenUser) {
      what = "TokenUser";
      needed = static_cast<DWORD>(sizeof(TOKEN_USER) + user_sid.size());
    }
    Account linked = Account::kStandardUser;
    if (needed == 0) {
      last_error_ = ERROR_INVALID_PARAMETER;  // not part of the fake
    } else if (size < needed || information == NULL) {
      *returned = needed;
      last_error_ = ERROR_INSUFFICIENT_BUFFER;
    } else if (kind == TokenElevation) {
      static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated =
          IsElevated(account) ? 1 : 0;
      *returned = needed;
      done = TRUE;
    } else if (kind == TokenElevationType) {
      *static_cast<TOKEN_ELEVATION_TYPE*>(information) =
          ElevationType(account);
      *returned = needed;
      done = TRUE;
    } else if (kind == TokenUser) {
      BYTE* sid = static_cast<BYTE*>(information) + sizeof(TOKEN_USER);
      memcpy(sid, user_sid.data(), user_sid.size());
      TOKEN_USER* user = static_cast<TOKEN_USER*>(information);
      user->User.Sid = sid;
      user->User.Attributes = 0;
      *returned = needed;
      done = TRUE;
    } else if (!HasLinkedToken(account, &linked)) {
      last_error_ = ERROR_NO_SUCH_LOGON_SESSION;
    } else {
      // Without the privilege to act as the system, the linked token comes
      // as one that can identify, not impersonate.
      const std::string name = NewObjectName("token");
      objects_[name].kind = "token";
      objects_[name].token_account = linked;
      objects_[name].impersonation = true;
      objects_[name].level = SecurityIdentification;
      static_cast<TOKEN_LINKED_TOKEN*>(information)->LinkedToken =
          Issue("token", name, TOKEN_ALL_ACCESS);
      *returned = needed;
      done = TRUE;
    }
  }
  log_.push_back("GetTokenInformation(" + Label(token) + ", " + what + ", " +
                 std::to_string(size) + ") = " + Bool(done));
  return done;
}

BOOL Win32::DuplicateToken(HANDLE token, SECURITY_IMPERSONATION_LEVEL level,
                           PHANDLE duplicate) {
  BOOL done = FALSE;
  OpenHandle* open = Find(token, "token");
  if (open == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if ((open->access & TOKEN_DUPLICATE) == 0) {
    last_error_ = ERROR_ACCESS_DENIED;
  } else if (level < SecurityAnonymous || level > SecurityDelegation) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (objects_[open->object_name].impersonation &&
             objects_[open->object_name].level < level) {
    last_error_ = ERROR_BAD_IMPERSONATION_LEVEL;
  } else if (duplicate == NULL) {
    last_error_ = ERROR_NOACCESS;
  } else {
    const std::string name = NewObjectName("token");
    objects_[name].kind = "token";
    objects_[name].token_account = objects_[open->object_name].token_account;
    objects_[name].impersonation = true;
    objects_[name].level = level;
    *duplicate = Issue("token", name, TOKEN_IMPERSONATE | TOKEN_QUERY);
    done = TRUE;
  }
  log_.push_back("DuplicateToken(" + Label(token) + ", " +
                 std::to_string(level) + ") = " +
                 (done ? Label(*duplicate) : "FALSE"));
  return done;
}

std::string Win32::SecurityDescriptorBytes(
    const Node& node, SECURITY_INFORMATION requested) const {
  Descriptor descriptor;
  if (requested & OWNER_SECURITY_INFORMATION)
    descriptor.owner = node.owner;
  if (requested & GROUP_SECURITY_INFORMATION)
    descriptor.group = node.owner == kMySid ? kMyGroupSid : kSystemSid;
  if (requested & DACL_SECURITY_INFORMATION) {
    descriptor.dacl_present = node.dacl_present;
    descriptor.dacl_null = !node.dacl_present;
    descriptor.dacl_protected = node.dacl_protected;
    descriptor.dacl = node.dacl;
  }
  return internal::EncodeDescriptor(descriptor);
}

BOOL Win32::GetFileSecurityA(LPCSTR path, SECURITY_INFORMATION requested,
                             PSECURITY_DESCRIPTOR descriptor, DWORD size,
                             LPDWORD needed) {
  DWORD error = 0;
  const std::string full = FullPath(path, &error);
  const std::string resolved =
      full.empty() ? "" : Resolve(full, /*follow_last=*/true, &error);
  const Node* node = resolved.empty() ? NULL : NodeAt(resolved);
  if (!resolved.empty() && node == NULL)
    error = ERROR_FILE_NOT_FOUND;
  std::string bytes;
  if (error != 0) {
  } else if (needed == NULL) {
    error = ERROR_NOACCESS;
  } else if (requested & SACL_SECURITY_INFORMATION) {
    error = ERROR_PRIVILEGE_NOT_HELD;
  } else if (GrantedTo(TokenOf(account_), *node, READ_CONTROL) == 0) {
    error = ERROR_ACCESS_DENIED;
  } else {
    bytes = SecurityDescriptorBytes(*node, requested);
    *needed = static_cast<DWORD>(bytes.size());
    if (descriptor == NULL || size < bytes.size())
      error = ERROR_INSUFFICIENT_BUFFER;
    else
      memcpy(descriptor, bytes.data(), bytes.size());
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("GetFileSecurityA(" + Quote(path) + ", " +
                 HexNumber(requested) + ", " + std::to_string(size) + ") = " +
                 Bool(error == 0) +
                 (error == ERROR_INSUFFICIENT_BUFFER
                      ? " needs " + std::to_string(bytes.size())
                      : ""));
  return error == 0;
}

BOOL Win32::AccessCheck(PSECURITY_DESCRIPTOR descriptor, HANDLE token,
                        DWORD desired, PGENERIC_MAPPING mapping,
                        PPRIVILEGE_SET privileges, LPDWORD privileges_size,
                        LPDWORD granted, LPBOOL status) {
  DWORD error = 0;
  DWORD access = 0;
  DWORD scripted = 0;
  const bool fails = FailsNow("AccessCheck", &scripted);
  OpenHandle* open = Find(token, "token");
  Descriptor decoded;
  if (open == NULL) {
    error = ERROR_INVALID_HANDLE;
  } else if ((open->access & TOKEN_QUERY) == 0) {
    error = ERROR_ACCESS_DENIED;
  } else if (!objects_[open->object_name].impersonation) {
    error = ERROR_NO_IMPERSONATION_TOKEN;
  } else if (objects_[open->object_name].level < SecurityIdentification) {
    error = ERROR_BAD_IMPERSONATION_LEVEL;
  } else if (mapping == NULL || privileges_size == NULL ||
             granted == NULL || status == NULL) {
    error = ERROR_NOACCESS;
  } else if (desired & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                        GENERIC_ALL)) {
    error = ERROR_GENERIC_NOT_MAPPED;
  } else if (privileges == NULL || *privileges_size < sizeof(PRIVILEGE_SET)) {
    *privileges_size = sizeof(PRIVILEGE_SET);
    error = ERROR_INSUFFICIENT_BUFFER;
  } else if (!internal::DecodeDescriptor(descriptor, &decoded) ||
             decoded.owner.empty() || decoded.group.empty()) {
    // Windows checks against a descriptor with an owner and a group only.
    error = ERROR_INVALID_SECURITY_DESCR;
  } else if (fails) {
    error = scripted;
  } else {
    const Token client = TokenOf(objects_[open->object_name].token_account);
    access = Evaluate(client, decoded.owner, decoded.dacl_present,
                      decoded.dacl, desired, *mapping);
    privileges->PrivilegeCount = 0;
    *granted = access;
    *status = access != 0;
    if (access == 0)
      last_error_ = ERROR_ACCESS_DENIED;
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("AccessCheck(" + Label(token) + ", " + AccessNames(desired) +
                 ") = " + Bool(error == 0) +
                 (error == 0 ? " granted " + HexNumber(access) : ""));
  return error == 0;
}

BOOL Win32::IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  static const struct {
    WELL_KNOWN_SID_TYPE type;
    const char* sid;
  } kKnown[] = {{WinWorldSid, "S-1-1-0"},
                {WinCreatorOwnerSid, "S-1-3-0"},
                {WinInteractiveSid, "S-1-5-4"},
                {WinAuthenticatedUserSid, "S-1-5-11"},
                {WinLocalSystemSid, "S-1-5-18"},
                {WinLocalServiceSid, "S-1-5-19"},
                {WinNetworkServiceSid, "S-1-5-20"},
                {WinBuiltinAdministratorsSid, "S-1-5-32-544"},
                {WinBuiltinUsersSid, "S-1-5-32-545"},
                {WinCreatorOwnerRightsSid, "S-1-3-4"}};
  const std::string text = internal::SidString(static_cast<const BYTE*>(sid));
  BOOL known = FALSE;
  for (const auto& entry : kKnown)
    known |= entry.type == type && text == entry.sid;
  log_.push_back("IsWellKnownSid(" + internal::SddlSid(text) + ", " +
                 std::to_string(type) + ") = " + Bool(known));
  return known;
}

BOOL Win32::ConvertStringSecurityDescriptorToSecurityDescriptorA(
    LPCSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor,
    PULONG size) {
  DWORD error = 0;
  Descriptor parsed;
  if (text == NULL || descriptor == NULL) {
    error = ERROR_INVALID_PARAMETER;
  } else if (revision != SDDL_REVISION_1) {
    error = 1305;  // ERROR_UNKNOWN_REVISION
  } else if (internal::ParseSddl(text, &parsed, &error)) {
    error = 0;
    const std::string bytes = internal::EncodeDescriptor(parsed);
    *descriptor = AllocateLocal(bytes, "local");
    sddl_of_descriptor_[*descriptor] = text;
    if (size != NULL)
      *size = static_cast<ULONG>(bytes.size());
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("ConvertStringSecurityDescriptorToSecurityDescriptorA(" +
                 Quote(text) + ", " + std::to_string(revision) + ") = " +
                 (error == 0 ? Label(*descriptor) : "FALSE"));
  return error == 0;
}

namespace {

// The self-relative descriptor at `descriptor`, with its control bits and
// the offsets of owner, group, SACL and DACL; false if it is not one the
// fake could have handed out.
bool ReadDescriptorHeader(const void* descriptor, WORD* control,
                          DWORD* offsets) {
  const BYTE* bytes = static_cast<const BYTE*>(descriptor);
  if (bytes == NULL || bytes[0] != SECURITY_DESCRIPTOR_REVISION)
    return false;
  memcpy(control, bytes + 2, 2);
  memcpy(offsets, bytes + 4, 4 * sizeof(DWORD));
  return (*control & SE_SELF_RELATIVE) != 0;
}

}  // namespace

BOOL Win32::GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor,
                                       PSID* owner, LPBOOL defaulted) {
  WORD control = 0;
  DWORD offsets[4];
  BOOL done = FALSE;
  DWORD scripted = 0;
  const bool fails = FailsNow("GetSecurityDescriptorOwner", &scripted);
  if (owner == NULL || defaulted == NULL) {
    last_error_ = ERROR_NOACCESS;
  } else if (!ReadDescriptorHeader(descriptor, &control, offsets)) {
    last_error_ = ERROR_INVALID_SECURITY_DESCR;
  } else if (fails) {
    last_error_ = scripted;
  } else {
    // A pointer into the caller's own buffer: nothing to free.
    *owner = offsets[0] != 0 ? static_cast<BYTE*>(descriptor) + offsets[0]
                             : NULL;
    *defaulted = (control & SE_OWNER_DEFAULTED) != 0;
    done = TRUE;
  }
  log_.push_back("GetSecurityDescriptorOwner(" + Pointer(descriptor) +
                 ") = " + Bool(done));
  return done;
}

BOOL Win32::GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                      LPBOOL present, PACL* dacl,
                                      LPBOOL defaulted) {
  WORD control = 0;
  DWORD offsets[4];
  BOOL done = FALSE;
  if (present == NULL || dacl == NULL || defaulted == NULL) {
    last_error_ = ERROR_NOACCESS;
  } else if (!ReadDescriptorHeader(descriptor, &control, offsets)) {
    last_error_ = ERROR_INVALID_SECURITY_DESCR;
  } else {
    *present = (control & SE_DACL_PRESENT) != 0;
    // Windows stores the other two only when a DACL is present.
    if (*present) {
      *dacl = offsets[3] != 0 ? reinterpret_cast<PACL>(
                                    static_cast<BYTE*>(descriptor) +
                                    offsets[3])
                              : NULL;  // a null DACL
      *defaulted = (control & SE_DACL_DEFAULTED) != 0;
    }
    done = TRUE;
  }
  log_.push_back("GetSecurityDescriptorDacl(" + Pointer(descriptor) +
                 ") = " + Bool(done));
  return done;
}

BOOL Win32::GetAce(PACL acl, DWORD index, LPVOID* ace) {
  BOOL done = FALSE;
  if (acl == NULL || ace == NULL) {
    last_error_ = ERROR_NOACCESS;
  } else if (acl->AclRevision < ACL_REVISION || acl->AclRevision > 4 ||
             index >= acl->AceCount) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else {
    // Walk the entries by their sizes; each must lie whole within the
    // ACL.
    const size_t size = acl->AclSize;
    const BYTE* const base = reinterpret_cast<const BYTE*>(acl);
    size_t at = sizeof(ACL);
    for (DWORD i = 0; i <= index; ++i) {
      ACE_HEADER header;
      if (at + sizeof(header) > size)
        break;
      memcpy(&header, base + at, sizeof(header));
      if (header.AceSize < sizeof(header) || at + header.AceSize > size)
        break;
      if (i == index) {
        *ace = reinterpret_cast<BYTE*>(acl) + at;
        done = TRUE;
      }
      at += header.AceSize;
    }
    if (!done)
      last_error_ = ERROR_INVALID_PARAMETER;
  }
  log_.push_back("GetAce(" + Pointer(acl) + ", " + std::to_string(index) +
                 ") = " + Bool(done));
  return done;
}

BOOL Win32::ConvertSidToStringSidA(PSID sid, LPSTR* text) {
  const std::string string_sid =
      internal::SidString(static_cast<const BYTE*>(sid));
  BOOL done = FALSE;
  if (text == NULL) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (string_sid.empty()) {
    last_error_ = ERROR_INVALID_SID;
  } else {
    // LocalAlloc'd: the caller frees it with LocalFree, or it shows.
    *text = static_cast<LPSTR>(AllocateLocal(string_sid, "sid text"));
    done = TRUE;
  }
  log_.push_back("ConvertSidToStringSidA(" +
                 (string_sid.empty() ? std::string("?") : string_sid) +
                 ") = " + (done ? Label(*text) : "FALSE"));
  return done;
}

DWORD Win32::GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type,
                             SECURITY_INFORMATION requested, PSID* owner,
                             PSID* group, PACL* dacl, PACL* sacl,
                             PSECURITY_DESCRIPTOR* descriptor) {
  DWORD error = 0;
  OpenHandle* open = Find(handle, "file");
  const Node* node =
      open == NULL ? NULL : NodeAt(objects_[open->object_name].node);
  if (open == NULL || node == NULL) {
    error = ERROR_INVALID_HANDLE;
  } else if (type != SE_FILE_OBJECT) {
    error = ERROR_INVALID_PARAMETER;
  } else if (descriptor == NULL &&
             (owner != NULL || group != NULL || dacl != NULL ||
              sacl != NULL)) {
    error = ERROR_INVALID_PARAMETER;
  } else if (requested & SACL_SECURITY_INFORMATION) {
    error = ERROR_PRIVILEGE_NOT_HELD;
  } else if ((open->access & READ_CONTROL) == 0) {
    error = ERROR_ACCESS_DENIED;
  } else {
    const std::string bytes = SecurityDescriptorBytes(*node, requested);
    BYTE* memory = static_cast<BYTE*>(AllocateLocal(bytes, "local"));
    DWORD offsets[4];
    memcpy(offsets, memory + 4, sizeof(offsets));
    if (owner != NULL)
      *owner = offsets[0] ? memory + offsets[0] : NULL;
    if (group != NULL)
      *group = offsets[1] ? memory + offsets[1] : NULL;
    if (sacl != NULL)
      *sacl = NULL;
    if (dacl != NULL)
      *dacl = offsets[3] ? reinterpret_cast<PACL>(memory + offsets[3]) : NULL;
    *descriptor = memory;
  }
  log_.push_back("GetSecurityInfo(" + Label(handle) + ", " +
                 std::to_string(type) + ", " + HexNumber(requested) + ") = " +
                 std::to_string(error));
  return error;
}

}  // namespace fake

extern "C" {

DWORD WINAPI GetShortPathNameW(LPCWSTR path, LPWSTR short_path, DWORD size) {
  return fake::Platform().GetShortPathNameW(path, short_path, size);
}
DWORD WINAPI GetLongPathNameW(LPCWSTR path, LPWSTR long_path, DWORD size) {
  return fake::Platform().GetLongPathNameW(path, long_path, size);
}
DWORD WINAPI GetTempPathW(DWORD size, LPWSTR buffer) {
  return fake::Platform().GetTempPathW(size, buffer);
}
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share,
                          LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                          DWORD flags, HANDLE template_file) {
  return fake::Platform().CreateFileA(path, access, share, attributes,
                                      disposition, flags, template_file);
}
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                     LPOVERLAPPED overlapped) {
  return fake::Platform().ReadFile(file, buffer, size, read, overlapped);
}
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD size,
                      LPDWORD written, LPOVERLAPPED overlapped) {
  return fake::Platform().WriteFile(file, buffer, size, written, overlapped);
}
BOOL WINAPI DeleteFileA(LPCSTR path) {
  return fake::Platform().DeleteFileA(path);
}
BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes) {
  return fake::Platform().CreateDirectoryA(path, attributes);
}
BOOL WINAPI RemoveDirectoryA(LPCSTR path) {
  return fake::Platform().RemoveDirectoryA(path);
}
BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR new_name, DWORD flags) {
  return fake::Platform().MoveFileExA(existing, new_name, flags);
}
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  return fake::Platform().FindFirstFileA(pattern, data);
}
BOOL WINAPI FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
  return fake::Platform().FindNextFileA(find, data);
}
BOOL WINAPI FindClose(HANDLE find) { return fake::Platform().FindClose(find); }
UINT WINAPI GetSystemWindowsDirectoryA(LPSTR buffer, UINT size) {
  return fake::Platform().GetSystemWindowsDirectoryA(buffer, size);
}
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
  return fake::Platform().GetSystemDirectoryA(buffer, size);
}
DWORD WINAPI GetFileAttributesA(LPCSTR path) {
  return fake::Platform().GetFileAttributesA(path);
}
DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) {
  return fake::Platform().GetTempPathA(size, buffer);
}
BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR new_name, BOOL fail_if_exists) {
  return fake::Platform().CopyFileA(existing, new_name, fail_if_exists);
}
UINT WINAPI GetDriveTypeA(LPCSTR root) {
  return fake::Platform().GetDriveTypeA(root);
}
BOOL WINAPI GetVolumeInformationA(LPCSTR root, LPSTR volume_name,
                                  DWORD volume_name_size,
                                  LPDWORD serial_number,
                                  LPDWORD maximum_component_length,
                                  LPDWORD file_system_flags,
                                  LPSTR file_system_name,
                                  DWORD file_system_name_size) {
  return fake::Platform().GetVolumeInformationA(
      root, volume_name, volume_name_size, serial_number,
      maximum_component_length, file_system_flags, file_system_name,
      file_system_name_size);
}
HLOCAL WINAPI LocalFree(HLOCAL memory) {
  return fake::Platform().LocalFree(memory);
}
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  return fake::Platform().OpenProcessToken(process, access, token);
}
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                LPVOID information, DWORD size,
                                PDWORD returned) {
  return fake::Platform().GetTokenInformation(token, kind, information, size,
                                              returned);
}
BOOL WINAPI DuplicateToken(HANDLE token, SECURITY_IMPERSONATION_LEVEL level,
                           PHANDLE duplicate) {
  return fake::Platform().DuplicateToken(token, level, duplicate);
}
BOOL WINAPI GetFileSecurityA(LPCSTR path, SECURITY_INFORMATION requested,
                             PSECURITY_DESCRIPTOR descriptor, DWORD size,
                             LPDWORD needed) {
  return fake::Platform().GetFileSecurityA(path, requested, descriptor, size,
                                           needed);
}
BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR descriptor, HANDLE token,
                        DWORD desired, PGENERIC_MAPPING mapping,
                        PPRIVILEGE_SET privileges, LPDWORD privileges_size,
                        LPDWORD granted, LPBOOL status) {
  return fake::Platform().AccessCheck(descriptor, token, desired, mapping,
                                      privileges, privileges_size, granted,
                                      status);
}
BOOL WINAPI IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return fake::Platform().IsWellKnownSid(sid, type);
}
BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor,
                                       PSID* owner, LPBOOL defaulted) {
  return fake::Platform().GetSecurityDescriptorOwner(descriptor, owner,
                                                     defaulted);
}
BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                      LPBOOL present, PACL* dacl,
                                      LPBOOL defaulted) {
  return fake::Platform().GetSecurityDescriptorDacl(descriptor, present, dacl,
                                                    defaulted);
}
BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace) {
  return fake::Platform().GetAce(acl, index, ace);
}
BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR* text) {
  return fake::Platform().ConvertSidToStringSidA(sid, text);
}
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(
    LPCSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor,
    PULONG size) {
  return fake::Platform()
      .ConvertStringSecurityDescriptorToSecurityDescriptorA(text, revision,
                                                            descriptor, size);
}
DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type,
                             SECURITY_INFORMATION requested, PSID* owner,
                             PSID* group, PACL* dacl, PACL* sacl,
                             PSECURITY_DESCRIPTOR* descriptor) {
  return fake::Platform().GetSecurityInfo(handle, type, requested, owner,
                                          group, dacl, sacl, descriptor);
}

}  // extern "C"
