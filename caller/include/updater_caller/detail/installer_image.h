// What the elevated helper reads of a program file itself, in a copy that
// no unelevated program can change: the certificate table, which must hold
// exactly one signature, and the fixed product version of the version
// resource.
//
// WinVerifyTrust passes a signed file with bytes appended inside its
// certificate table, since the signature cannot cover the table that holds
// it; Windows refuses them only where EnableCertPaddingCheck is set, which
// it is not by default. So the kit itself requires what that setting does:
// one WIN_CERTIFICATE whose PKCS#7 blob runs to its end, then nothing but
// zeros to the next multiple of 8 bytes, and nothing after it in the
// table.
//
// Every read is bounded by what the file's own headers promise and checked
// against what was read: a malformed file is refused, never read past.
#ifndef UPDATER_CALLER_DETAIL_INSTALLER_IMAGE_H_
#define UPDATER_CALLER_DETAIL_INSTALLER_IMAGE_H_

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <updater_caller/detail/handles.h>

namespace updater_caller {
namespace internal {

// Larger than any certificate table a vendor's installer carries.
const DWORD kMaxCertificateTable = 1024 * 1024;
const DWORD kWinCertificateHeader = 8;
const WORD kWinCertRevision2 = 0x0200;
const WORD kWinCertTypePkcsSignedData = 0x0002;
const DWORD kSecurityDirectory = 4;
const DWORD kResourceDirectory = 2;
const WORD kResourceTypeVersion = 16;
// The sections and resource entries looked at, at most.
const WORD kMaxSections = 96;
const WORD kMaxResourceEntries = 256;
// VS_VERSIONINFO: three WORDs, L"VS_VERSION_INFO" with its NUL, padding to
// 32 bits, then VS_FIXEDFILEINFO.
const DWORD kFixedInfoOffset = 40;
const DWORD kFixedInfoSize = 52;
const DWORD kFixedInfoSignature = 0xFEEF04BD;

inline WORD Word(const BYTE* p) {
  return static_cast<WORD>(p[0] | (p[1] << 8));
}

inline DWORD Dword(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
         (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

// Reads exactly `size` bytes at `offset` of `file`. False if fewer were
// there.
inline bool ReadAt(HANDLE file, DWORD offset, void* buffer, DWORD size) {
  OVERLAPPED at;
  memset(&at, 0, sizeof(at));
  at.Offset = offset;
  DWORD read = 0;
  return ReadFile(file, buffer, size, &read, &at) && read == size;
}

// Where a PE file keeps its certificate table and resources.
struct ImageLayout {
  DWORD certificate_offset;  // a file offset
  DWORD certificate_size;
  DWORD resource_rva;
  DWORD sections_offset;  // the section table's file offset
  WORD section_count;
};

// Reads the headers of the PE file `file`. False if it is not one.
inline bool ReadImageLayout(HANDLE file, ImageLayout* layout) {
  BYTE dos[64];
  if (!ReadAt(file, 0, dos, sizeof(dos)) || dos[0] != 'M' || dos[1] != 'Z')
    return false;
  const DWORD pe = Dword(dos + 0x3C);
  BYTE headers[24 + 112 + 16 * 8];  // signature, file header, optional
  if (pe > kMaxCertificateTable || !ReadAt(file, pe, headers, 24 + 2) ||
      memcmp(headers, "PE\0\0", 4) != 0)
    return false;
  const WORD section_count = Word(headers + 6);
  const WORD optional_size = Word(headers + 20);
  const WORD magic = Word(headers + 24);
  // PE32 and PE32+ differ in where the data directories begin.
  const DWORD directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
  if (directories == 0 || optional_size < directories ||
      optional_size > sizeof(headers) - 24 ||
      !ReadAt(file, pe, headers, 24 + optional_size))
    return false;
  const BYTE* const optional = headers + 24;
  const DWORD count = Dword(optional + directories - 4);
  const DWORD room = (optional_size - directories) / 8;
  const DWORD usable = count < room ? count : room;
  layout->certificate_offset = layout->certificate_size = 0;
  layout->resource_rva = 0;
  if (usable > kSecurityDirectory) {
    layout->certificate_offset =
        Dword(optional + directories + 8 * kSecurityDirectory);
    layout->certificate_size =
        Dword(optional + directories + 8 * kSecurityDirectory + 4);
  }
  if (usable > kResourceDirectory)
    layout->resource_rva =
        Dword(optional + directories + 8 * kResourceDirectory);
  layout->sections_offset = pe + 24 + optional_size;
  layout->section_count =
      section_count < kMaxSections ? section_count : kMaxSections;
  return true;
}

// The PE file at `path`, opened to be read, or INVALID_HANDLE_VALUE.
inline HANDLE OpenImage(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ,
                     /*lpSecurityAttributes=*/NULL, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/NULL);
}

// True if the certificate table of the PE file at `path` holds exactly one
// signature and nothing beyond its zero padding (see above).
//
// Needs: a file no unelevated program can change. Leaves: no handle open.
inline bool HasOnlyItsSignature(const char* path) {
  const UniqueFile held_file(OpenImage(path));
  if (!held_file.Valid())
    return false;
  const HANDLE file = held_file.Get();
  ImageLayout layout;
  if (!ReadImageLayout(file, &layout) ||
      layout.certificate_size <= kWinCertificateHeader + 4 ||
      layout.certificate_size > kMaxCertificateTable ||
      layout.certificate_size % 8 != 0)
    return false;
  // Freed before the file is closed.
  const UniqueMemory<BYTE> held_table(
      static_cast<BYTE*>(malloc(layout.certificate_size)));
  const BYTE* const table = held_table.Get();
  bool clean = false;
  if (table != NULL && ReadAt(file, layout.certificate_offset, held_table.Get(),
                              layout.certificate_size)) {
    const DWORD length = Dword(table);
    const BYTE* const blob = table + kWinCertificateHeader;
    // The blob's own DER length: a SEQUENCE with a definite length of at
    // most four length bytes.
    DWORD blob_size = 0;
    if (blob[0] == 0x30 && blob[1] < 0x80) {
      blob_size = 2 + blob[1];
    } else if (blob[0] == 0x30 && blob[1] > 0x80 && blob[1] <= 0x84) {
      const DWORD bytes = blob[1] - 0x80u;
      DWORD content = 0;
      for (DWORD i = 0; i < bytes; ++i)
        content = (content << 8) | blob[2 + i];
      blob_size = content <= kMaxCertificateTable ? 2 + bytes + content : 0;
    }
    const DWORD used = kWinCertificateHeader + blob_size;
    const DWORD padded = (used + 7) / 8 * 8;
    clean = blob_size != 0 && padded == layout.certificate_size &&
            (length == used || length == padded) &&
            Word(table + 4) == kWinCertRevision2 &&
            Word(table + 6) == kWinCertTypePkcsSignedData;
    for (DWORD i = used; clean && i < layout.certificate_size; ++i)
      clean = table[i] == 0;
  }
  return clean;
}

// The file offset of `rva` in the sections of `file`, or 0 if no section
// holds it.
inline DWORD OffsetOfRva(HANDLE file, const ImageLayout& layout, DWORD rva) {
  for (WORD i = 0; i < layout.section_count; ++i) {
    BYTE section[40];
    if (!ReadAt(file, layout.sections_offset + 40u * i, section,
                sizeof(section)))
      return 0;
    const DWORD virtual_size = Dword(section + 8);
    const DWORD address = Dword(section + 12);
    const DWORD raw_size = Dword(section + 16);
    const DWORD raw = Dword(section + 20);
    const DWORD size = virtual_size > raw_size ? virtual_size : raw_size;
    if (rva >= address && rva - address < size)
      return raw + (rva - address);
  }
  return 0;
}

// The entry of the resource directory at `directory` (a file offset; `root`
// that of the resource section's root) whose id is `id`, or with `id` 0
// the first entry; its OffsetToData, or 0 if there is none.
inline DWORD ResourceEntry(HANDLE file, DWORD directory, WORD id) {
  BYTE header[16];
  if (!ReadAt(file, directory, header, sizeof(header)))
    return 0;
  const DWORD named = Word(header + 12);
  const DWORD total = named + Word(header + 14);
  for (DWORD i = 0; i < total && i < kMaxResourceEntries; ++i) {
    BYTE entry[8];
    if (!ReadAt(file, directory + 16 + 8 * i, entry, sizeof(entry)))
      return 0;
    if (id == 0 || (i >= named && Dword(entry) == id))
      return Dword(entry + 4);
  }
  return 0;
}

// Fills `*version` with the product version (high word first) of the
// version resource of the PE file at `path`, or sets `*has_version` false
// where it carries none. False if the file cannot be read as a PE file.
//
// Needs: nothing. Leaves: no handle open.
inline bool ReadProductVersion(const char* path, bool* has_version,
                               unsigned long long* version) {
  *has_version = false;
  const UniqueFile held_file(OpenImage(path));
  if (!held_file.Valid())
    return false;
  const HANDLE file = held_file.Get();
  ImageLayout layout;
  const bool image = ReadImageLayout(file, &layout);
  const DWORD root = image && layout.resource_rva != 0
                         ? OffsetOfRva(file, layout, layout.resource_rva)
                         : 0;
  // Type, then name, then language: the first two are subdirectories (the
  // high bit), the last a data entry.
  DWORD next = root != 0 ? ResourceEntry(file, root, kResourceTypeVersion) : 0;
  for (int level = 0; level < 2 && next != 0; ++level) {
    next = (next & 0x80000000u) != 0
               ? ResourceEntry(file, root + (next & 0x7FFFFFFFu), 0)
               : 0;
  }
  BYTE data[16];
  BYTE info[kFixedInfoOffset + kFixedInfoSize];
  if (next != 0 && (next & 0x80000000u) == 0 &&
      ReadAt(file, root + next, data, sizeof(data)) &&
      Dword(data + 4) >= sizeof(info)) {
    const DWORD at = OffsetOfRva(file, layout, Dword(data));
    static const char kKey[] = "VS_VERSION_INFO";
    bool keyed = at != 0 && ReadAt(file, at, info, sizeof(info)) &&
                 Word(info + 2) >= kFixedInfoSize &&
                 Dword(info + kFixedInfoOffset) == kFixedInfoSignature;
    for (size_t i = 0; keyed && i < sizeof(kKey); ++i)
      keyed = Word(info + 6 + 2 * i) == static_cast<WORD>(kKey[i]);
    if (keyed) {
      *has_version = true;
      *version =
          (static_cast<unsigned long long>(Dword(info + kFixedInfoOffset + 16))
           << 32) |
          Dword(info + kFixedInfoOffset + 20);
    }
  }
  return image;
}

// True unless the application's exe carries a product version and the
// copy's is lower, or the copy carries none: an older installer of the
// same signer (or its uninstaller, or another of its products) does not
// run in an update's place.
//
// Needs: full paths; `copy` a file no unelevated program can change.
// Leaves: no handle open.
inline bool NoOlderThanApplication(const char* application, const char* copy) {
  bool application_has = false;
  bool copy_has = false;
  unsigned long long application_version = 0;
  unsigned long long copy_version = 0;
  ReadProductVersion(application, &application_has, &application_version);
  if (!application_has)
    return true;
  ReadProductVersion(copy, &copy_has, &copy_version);
  return copy_has && copy_version >= application_version;
}

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_DETAIL_INSTALLER_IMAGE_H_
