// What the fake's files share among themselves: how calls are written in
// the log, and the binary forms of SIDs and security descriptors.
#ifndef UPDATER_TESTS_UNIT_FAKE_INTERNAL_H_
#define UPDATER_TESTS_UNIT_FAKE_INTERNAL_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "fake_win32.h"

namespace fake {
namespace internal {

// --- The log ------------------------------------------------------------------
std::string Quote(LPCSTR text);
std::string Bool(BOOL value);
std::string HexNumber(DWORD value);
std::string Pointer(const void* pointer);  // "NULL" or "ptr"
std::string Upper(const std::string& text);
bool EqualNoCase(const std::string& a, const std::string& b);
// The program the platform takes from a command line when no application
// name is given: the first token, inside quotes if it starts with one. A
// command that starts with "" names the empty program.
std::string FirstToken(const std::string& command);

// --- Text ------------------------------------------------------------------
// An ANSI byte (code page 1252) as UTF-16, and back; Narrow is false if a
// character has no ANSI form.
WCHAR Widen(unsigned char byte);
bool Narrow(const WCHAR* wide, std::string* text);
// UTF-16 (one WCHAR a character) and UTF-8; `*valid` (if given) is false
// when `utf8` was not UTF-8, each bad byte then read as U+FFFD.
std::string Utf8(const std::wstring& wide);
std::wstring WideOf(const std::string& utf8, bool* valid);
// The Windows-1252 byte of `c`, if it has one.
bool AnsiByteOf(wchar_t c, char* byte);
// The look-alike Windows's best fit gives `c`, for a few letters.
bool BestFitOf(wchar_t c, char* byte);
// `c` in upper case, as the file system folds names (Latin-1, Cyrillic).
wchar_t FoldCase(wchar_t c);

// --- SIDs ---------------------------------------------------------------------
// "S-1-5-18" to its binary form; "" if malformed.
std::string SidBytes(const std::string& sid);
// The binary SID at `sid` to "S-1-..."; "" if it is not one.
std::string SidString(const BYTE* sid);
// The SDDL abbreviation of a SID ("SY", "BA", ...), or the SID itself.
std::string SddlSid(const std::string& sid);
// An SDDL SID token ("SY", "S-1-5-18") to the SID; "" if unknown.
std::string SidFromSddl(const std::string& token);

// --- Security descriptors ------------------------------------------------
struct Descriptor {
  std::string owner;  // "" when absent
  std::string group;  // "" when absent
  bool dacl_present = false;
  // SE_DACL_PRESENT with no ACL: a null DACL, which lets everyone do
  // everything (without SE_DACL_PRESENT, a creator's default DACL applies).
  bool dacl_null = false;
  bool dacl_protected = false;
  std::vector<Win32::Ace> dacl;
};
// The self-relative binary form.
std::string EncodeDescriptor(const Descriptor& descriptor);
// Reads a self-relative descriptor; false if it is not a valid one.
bool DecodeDescriptor(const void* bytes, Descriptor* descriptor);
// "O:BAD:P(A;OICI;FA;;;SY)..." (owner, then DACL).
std::string DescriptorString(const Descriptor& descriptor);
// Parses the string form; false (with the Windows error) if it is not one
// the fake reads: owner, group and DACL with allow and deny ACEs, or
// "D:NO_ACCESS_CONTROL".
bool ParseSddl(const std::string& text, Descriptor* descriptor,
               DWORD* error);

// --- Access checks ----------------------------------------------------------
// `access` with its generic rights turned into the object's own.
DWORD MapGeneric(DWORD access, const GENERIC_MAPPING& mapping);
// The access an ACL grants `token`, as AccessCheck computes it (a DACL not
// present lets everyone do everything). `desired` holds MAXIMUM_ALLOWED
// (all granted rights come back) or specific rights (all of them come
// back, or 0).
DWORD Evaluate(const Win32::Token& token, const std::string& owner,
               bool dacl_present, const std::vector<Win32::Ace>& dacl,
               DWORD desired, const GENERIC_MAPPING& mapping);

// --- SHA-256 ------------------------------------------------------------------
class Sha256 {
 public:
  Sha256();
  void Update(const BYTE* data, size_t size);
  // The 32-byte digest; the object is spent afterwards.
  std::string Final();

 private:
  void Block(const BYTE* block);
  uint32_t state_[8];
  BYTE buffer_[64];
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

}  // namespace internal

// A WinVerifyTrust state: the provider data and everything it points to,
// alive until the state is closed.
struct Win32::TrustState {
  CRYPT_PROVIDER_DATA data;
  CRYPT_PROVIDER_SGNR signer;
  std::vector<CRYPT_PROVIDER_CERT> chain;
  std::vector<CERT_CONTEXT> contexts;
  std::vector<CERT_INFO> infos;
  std::vector<std::string> encodings;  // each certificate's bytes
  std::vector<std::string> subjects;   // each subject name's bytes
  std::vector<std::string> issuers;
  WINTRUST_DATA* wintrust_data;
};

struct Win32::Hash {
  ULONG_PTR provider;
  internal::Sha256 sha256;
  bool finished = false;
  std::string digest;
};

}  // namespace fake

#endif  // UPDATER_TESTS_UNIT_FAKE_INTERNAL_H_
