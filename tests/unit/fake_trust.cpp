// The fake's hashes, random bytes and signatures: CryptoAPI with a real
// SHA-256, and Authenticode carried in a file's own bytes, read by
// WinVerifyTrust against the machine's trusted roots.
#include <stdio.h>
#include <string.h>

#include "fake_internal.h"
#include "fake_win32.h"

namespace fake {

using internal::Bool;
using internal::HexNumber;
using internal::Quote;
using internal::Widen;

// --- SHA-256 (FIPS 180-4) ----------------------------------------------------

namespace internal {

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f,
             0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::Block(const BYTE* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = static_cast<uint32_t>(block[4 * i]) << 24 |
           static_cast<uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 =
        Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 =
        Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                        ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) +
                        ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256::Update(const BYTE* data, size_t size) {
  length_ += size;
  while (size > 0) {
    const size_t take = std::min(size, sizeof(buffer_) - buffered_);
    memcpy(buffer_ + buffered_, data, take);
    buffered_ += take;
    data += take;
    size -= take;
    if (buffered_ == sizeof(buffer_)) {
      Block(buffer_);
      buffered_ = 0;
    }
  }
}

std::string Sha256::Final() {
  const uint64_t bits = length_ * 8;
  const BYTE pad = 0x80;
  Update(&pad, 1);
  const BYTE zero = 0;
  while (buffered_ != 56)
    Update(&zero, 1);
  BYTE length[8];
  for (int i = 0; i < 8; ++i)
    length[i] = static_cast<BYTE>(bits >> (56 - 8 * i));
  Update(length, 8);
  std::string digest;
  for (uint32_t word : state_) {
    for (int shift = 24; shift >= 0; shift -= 8)
      digest.push_back(static_cast<char>((word >> shift) & 0xFF));
  }
  return digest;
}

// Windows-1252, the ANSI code page of the machine the fake plays, for the
// bytes where it differs from Latin-1.
const uint16_t kCp1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

WCHAR Widen(unsigned char byte) {
  return static_cast<WCHAR>(byte >= 0x80 && byte < 0xA0 ? kCp1252[byte - 0x80]
                                                        : byte);
}

// The ANSI path a wide path names; false if a character has no ANSI form.
bool Narrow(const WCHAR* wide, std::string* text) {
  for (; *wide != 0; ++wide) {
    bool found = false;
    for (int byte = 1; byte < 256 && !found; ++byte) {
      if (Widen(static_cast<unsigned char>(byte)) == *wide) {
        text->push_back(static_cast<char>(byte));
        found = true;
      }
    }
    if (!found)
      return false;
  }
  return true;
}


}  // namespace internal

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0xF]);
  }
  return hex;
}

std::string Sha256Hex(const std::string& bytes) {
  internal::Sha256 sha256;
  sha256.Update(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size());
  return Hex(sha256.Final());
}

// --- Signatures as data ----------------------------------------------------------

namespace {

// Ends a signed file: the signer, the root its chain ends at, the serial
// number of the signer's certificate, and the digest of what the signature
// covers, a line each. In a program image (ImageBytes) the record is the
// DER blob of the certificate table's one WIN_CERTIFICATE, and the digest
// covers the image up to the table with the table's directory entry left
// out, as Authenticode's does: bytes added inside the table leave it valid,
// as on Windows. Elsewhere it covers the bytes before the marker.
const char kSignatureMarker[] = "\n--fake authenticode--\n";

void PutWord(std::string* bytes, size_t at, uint32_t value, int size) {
  for (int i = 0; i < size; ++i)
    (*bytes)[at + static_cast<size_t>(i)] =
        static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t GetWord(const std::string& bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i)
    value = (value << 8) |
            static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  return value;
}

// The offset of the security directory entry in an image the fake made,
// or 0 if `bytes` is not one.
const size_t kPeOffset = 64;
const size_t kSecurityEntry = kPeOffset + 24 + 96 + 8 * 4;
const size_t kImageHeaders = kPeOffset + 24 + 224;
bool IsImage(const std::string& bytes) {
  return bytes.size() >= kImageHeaders && bytes.compare(0, 2, "MZ") == 0 &&
         GetWord(bytes, 0x3C, 4) == kPeOffset &&
         bytes.compare(kPeOffset, 4, std::string("PE\0\0", 4)) == 0;
}

// What the signature of `bytes` covers: the image before its certificate
// table, less the table's directory entry; or the bytes before the marker.
std::string Covered(const std::string& bytes, size_t marker) {
  if (!IsImage(bytes))
    return bytes.substr(0, marker);
  const size_t table = GetWord(bytes, kSecurityEntry, 4);
  if (table == 0 || table > bytes.size())
    return bytes.substr(0, marker);
  return bytes.substr(0, kSecurityEntry) +
         bytes.substr(kSecurityEntry + 8, table - kSecurityEntry - 8);
}

struct Signature {
  bool present = false;
  bool digest_matches = false;
  std::string subject;
  std::string root;
  std::string serial;
};

Signature ReadSignature(const std::string& bytes) {
  Signature signature;
  const size_t marker = bytes.rfind(kSignatureMarker);
  if (marker == std::string::npos)
    return signature;
  const std::string record = bytes.substr(marker + strlen(kSignatureMarker));
  std::string lines[3];
  size_t at = 0;
  for (std::string& line : lines) {
    const size_t end = record.find('\n', at);
    if (end == std::string::npos)
      return signature;
    line = record.substr(at, end - at);
    at = end + 1;
  }
  signature.present = true;
  signature.subject = lines[0];
  signature.root = lines[1];
  signature.serial = lines[2];
  signature.digest_matches =
      record.substr(at, 64) == Sha256Hex(Covered(bytes, marker));
  return signature;
}

const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;

bool SameGuid(const GUID& a, const GUID& b) {
  return memcmp(&a, &b, sizeof(GUID)) == 0;
}

}  // namespace

std::string ImageBytes(const std::string& payload, int product_version) {
  // DOS header, PE signature, file header, PE32 optional header with 16
  // data directories; then one section holding the version resource, or
  // none; then the payload.
  std::string image(kImageHeaders, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  PutWord(&image, 0x3C, kPeOffset, 4);
  image.replace(kPeOffset, 4, std::string("PE\0\0", 4));
  PutWord(&image, kPeOffset + 4, 0x14C, 2);               // i386
  PutWord(&image, kPeOffset + 20, 224, 2);                // optional size
  PutWord(&image, kPeOffset + 24, 0x10B, 2);              // PE32
  PutWord(&image, kPeOffset + 24 + 92, 16, 4);            // directories
  if (product_version >= 0) {
    const uint32_t rva = 0x1000;
    PutWord(&image, kPeOffset + 6, 1, 2);  // one section
    image += std::string(40, '\0');
    const size_t section = image.size() - 40;
    const uint32_t raw = static_cast<uint32_t>(image.size());
    // Type 16, name 1, language 0x409, each a directory of one id entry,
    // then the data entry and the VS_VERSIONINFO it points at.
    std::string resources(3 * 24 + 16 + 92, '\0');
    const uint32_t ids[3] = {16, 1, 0x409};
    for (uint32_t level = 0; level < 3; ++level) {
      const size_t at = 24 * level;
      PutWord(&resources, at + 14, 1, 2);  // one id entry
      PutWord(&resources, at + 16, ids[level], 4);
      PutWord(&resources, at + 20,
              level < 2 ? (0x80000000u | (24 * (level + 1))) : 72, 4);
    }
    PutWord(&resources, 72, rva + 88, 4);  // the data, by its RVA
    PutWord(&resources, 76, 92, 4);
    const size_t info = 88;
    PutWord(&resources, info, 92, 2);      // wLength
    PutWord(&resources, info + 2, 52, 2);  // wValueLength
    const char key[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof(key); ++i)
      PutWord(&resources, info + 6 + 2 * i,
              static_cast<unsigned char>(key[i]), 2);
    PutWord(&resources, info + 40, 0xFEEF04BD, 4);
    PutWord(&resources, info + 40 + 16,
            static_cast<uint32_t>(product_version) << 16, 4);
    image += resources;
    PutWord(&image, section + 8, static_cast<uint32_t>(resources.size()), 4);
    PutWord(&image, section + 12, rva, 4);
    PutWord(&image, section + 16, static_cast<uint32_t>(resources.size()), 4);
    PutWord(&image, section + 20, raw, 4);
    PutWord(&image, kPeOffset + 24 + 96 + 8 * 2, rva, 4);  // resources
    PutWord(&image, kPeOffset + 24 + 96 + 8 * 2 + 4,
            static_cast<uint32_t>(resources.size()), 4);
  }
  return image + payload;
}

std::string SignedBytes(const std::string& payload, const std::string& subject,
                        const std::string& root, const std::string& serial) {
  std::string image = IsImage(payload) ? payload : ImageBytes(payload);
  image.resize((image.size() + 7) / 8 * 8, '\0');
  const std::string record_head = std::string(kSignatureMarker) + subject +
                                  "\n" + root + "\n" + serial + "\n";
  const size_t blob = 4 + record_head.size() + 64;  // DER header, record
  const size_t used = 8 + blob;
  const size_t padded = (used + 7) / 8 * 8;
  PutWord(&image, kSecurityEntry, static_cast<uint32_t>(image.size()), 4);
  PutWord(&image, kSecurityEntry + 4, static_cast<uint32_t>(padded), 4);
  std::string table(8 + 4, '\0');
  PutWord(&table, 0, static_cast<uint32_t>(padded), 4);  // dwLength
  PutWord(&table, 4, 0x0200, 2);                         // revision 2
  PutWord(&table, 6, 0x0002, 2);                         // PKCS#7
  table[8] = 0x30;
  table[9] = static_cast<char>(0x82);
  table[10] = static_cast<char>(((blob - 4) >> 8) & 0xFF);
  table[11] = static_cast<char>((blob - 4) & 0xFF);
  const std::string signed_image = image + table + record_head;
  return signed_image + Sha256Hex(Covered(signed_image, image.size())) +
         std::string(padded - used, '\0');
}

std::string PaddedBytes(const std::string& signed_bytes,
                        const std::string& extra) {
  std::string padded = signed_bytes + extra;
  if (!IsImage(signed_bytes))
    return padded;
  const uint32_t table = GetWord(padded, kSecurityEntry, 4);
  PutWord(&padded, kSecurityEntry + 4,
          GetWord(padded, kSecurityEntry + 4, 4) +
              static_cast<uint32_t>(extra.size()),
          4);
  PutWord(&padded, table,
          GetWord(padded, table, 4) + static_cast<uint32_t>(extra.size()), 4);
  return padded;
}

std::string TamperedBytes(const std::string& payload,
                          const std::string& subject,
                          const std::string& root) {
  const std::string signed_bytes = SignedBytes(payload, subject, root);
  return "tampered " + signed_bytes;
}

void Win32::TrustRoot(const std::string& root) { trusted_roots_.insert(root); }

void Win32::QueueRandom(const std::string& bytes) {
  for (char byte : bytes)
    queued_random_.push_back(static_cast<BYTE>(byte));
}

// --- CryptoAPI --------------------------------------------------------------------

BOOL Win32::CryptAcquireContextA(HCRYPTPROV* provider, LPCSTR container,
                                 LPCSTR provider_name, DWORD type,
                                 DWORD flags) {
  HRESULT error = 0;
  if (provider == NULL) {
    error = static_cast<HRESULT>(ERROR_INVALID_PARAMETER);
  } else if (type != PROV_RSA_FULL && type != PROV_RSA_AES) {
    error = NTE_BAD_PROV_TYPE;
  } else if (provider_name != NULL && type == PROV_RSA_AES &&
             strcmp(provider_name, MS_ENH_RSA_AES_PROV_A) != 0) {
    error = NTE_BAD_PROV_TYPE;
  } else if ((flags & CRYPT_VERIFYCONTEXT) != CRYPT_VERIFYCONTEXT) {
    // The fake's users have no key containers: only a context without
    // keys opens.
    error = NTE_BAD_KEYSET;
  } else {
    const std::string name = NewObjectName("provider");
    objects_[name].kind = "provider";
    objects_[name].flags = type;
    *provider = reinterpret_cast<ULONG_PTR>(Issue("provider", name, 0));
  }
  if (error != 0)
    last_error_ = static_cast<DWORD>(error);
  log_.push_back("CryptAcquireContextA(" + Quote(container) + ", " +
                 Quote(provider_name) + ", " + std::to_string(type) + ", " +
                 HexNumber(flags) + ") = " +
                 (error == 0 ? Label(reinterpret_cast<HANDLE>(*provider))
                             : "FALSE"));
  return error == 0;
}

BOOL Win32::CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
  HANDLE handle = reinterpret_cast<HANDLE>(provider);
  OpenHandle* open = Find(handle, "provider");
  HRESULT error = 0;
  if (open == NULL)
    error = static_cast<HRESULT>(ERROR_INVALID_HANDLE);
  else if (flags != 0)
    error = NTE_BAD_FLAGS;
  if (error == 0) {
    const std::string name = open->object_name;
    handles_.erase(handle);
    Release(name);
  } else {
    last_error_ = static_cast<DWORD>(error);
  }
  log_.push_back("CryptReleaseContext(" + Label(handle) + ", " +
                 HexNumber(flags) + ") = " + Bool(error == 0));
  return error == 0;
}

BOOL Win32::CryptGenRandom(HCRYPTPROV provider, DWORD size, BYTE* buffer) {
  HANDLE handle = reinterpret_cast<HANDLE>(provider);
  const bool live = Find(handle, "provider") != NULL;
  if (!live) {
    last_error_ = static_cast<DWORD>(NTE_BAD_UID);
  } else {
    // Queued bytes first; then a sequence that differs at every call, and
    // from one run of the fake to the next in nothing.
    ++random_calls_;
    std::string stream;
    for (int block = 0; stream.size() < size; ++block) {
      internal::Sha256 sha256;
      const std::string seed = "fake random " + std::to_string(random_calls_) +
                               "/" + std::to_string(block);
      sha256.Update(reinterpret_cast<const BYTE*>(seed.data()), seed.size());
      stream += sha256.Final();
    }
    for (DWORD i = 0; i < size; ++i) {
      if (!queued_random_.empty()) {
        buffer[i] = queued_random_.front();
        queued_random_.pop_front();
      } else {
        buffer[i] = static_cast<BYTE>(stream[i]);
      }
    }
  }
  log_.push_back("CryptGenRandom(" + Label(handle) + ", " +
                 std::to_string(size) + ") = " + Bool(live));
  return live;
}

BOOL Win32::CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm,
                            HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
  HANDLE handle = reinterpret_cast<HANDLE>(provider);
  OpenHandle* open = Find(handle, "provider");
  HRESULT error = 0;
  if (open == NULL)
    error = NTE_BAD_UID;
  else if (algorithm != CALG_SHA_256 ||
           objects_[open->object_name].flags != PROV_RSA_AES)
    error = NTE_BAD_ALGID;  // the base provider has no SHA-256
  else if (key != 0)
    error = static_cast<HRESULT>(0x80090003L);  // NTE_BAD_KEY
  else if (flags != 0)
    error = NTE_BAD_FLAGS;
  else if (hash == NULL)
    error = static_cast<HRESULT>(ERROR_INVALID_PARAMETER);
  if (error == 0) {
    const std::string name = NewObjectName("hash");
    objects_[name].kind = "hash";
    *hash = reinterpret_cast<ULONG_PTR>(Issue("hash", name, 0));
    hashes_[*hash].reset(new Hash);
    hashes_[*hash]->provider = provider;
  } else {
    last_error_ = static_cast<DWORD>(error);
  }
  log_.push_back("CryptCreateHash(" + Label(handle) + ", " +
                 HexNumber(algorithm) + ") = " +
                 (error == 0 ? Label(reinterpret_cast<HANDLE>(*hash))
                             : "FALSE"));
  return error == 0;
}

BOOL Win32::CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD size,
                          DWORD flags) {
  HANDLE handle = reinterpret_cast<HANDLE>(hash);
  HRESULT error = 0;
  auto state = hashes_.find(hash);
  if (Find(handle, "hash") == NULL || state == hashes_.end() ||
      Find(reinterpret_cast<HANDLE>(state->second->provider), "provider") ==
          NULL)
    error = NTE_BAD_HASH;
  else if (flags != 0)
    error = NTE_BAD_FLAGS;
  else if (state->second->finished)
    error = NTE_BAD_HASH_STATE;  // its value has been read
  if (error == 0)
    state->second->sha256.Update(data, size);
  else
    last_error_ = static_cast<DWORD>(error);
  log_.push_back("CryptHashData(" + Label(handle) + ", " +
                 std::to_string(size) + ") = " + Bool(error == 0));
  return error == 0;
}

BOOL Win32::CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE* data,
                              DWORD* size, DWORD flags) {
  HANDLE handle = reinterpret_cast<HANDLE>(hash);
  HRESULT error = 0;
  auto state = hashes_.find(hash);
  if (Find(handle, "hash") == NULL || state == hashes_.end())
    error = NTE_BAD_HASH;
  else if (flags != 0)
    error = NTE_BAD_FLAGS;
  else if (size == NULL)
    error = static_cast<HRESULT>(ERROR_INVALID_PARAMETER);
  if (error == 0) {
    std::string value;
    if (parameter == HP_HASHVAL) {
      if (!state->second->finished) {
        state->second->digest = state->second->sha256.Final();
        state->second->finished = true;
      }
      value = state->second->digest;
    } else if (parameter == HP_HASHSIZE) {
      const DWORD length = 32;
      value.assign(reinterpret_cast<const char*>(&length), 4);
    } else if (parameter == HP_ALGID) {
      const ALG_ID algorithm = CALG_SHA_256;
      value.assign(reinterpret_cast<const char*>(&algorithm), 4);
    } else {
      error = static_cast<HRESULT>(0x8009000AL);  // NTE_BAD_TYPE
    }
    if (error == 0) {
      if (data != NULL && *size < value.size())
        error = static_cast<HRESULT>(ERROR_MORE_DATA);
      else if (data != NULL)
        memcpy(data, value.data(), value.size());
      *size = static_cast<DWORD>(value.size());
    }
  }
  if (error != 0)
    last_error_ = static_cast<DWORD>(error);
  log_.push_back("CryptGetHashParam(" + Label(handle) + ", " +
                 std::to_string(parameter) + ") = " + Bool(error == 0));
  return error == 0;
}

BOOL Win32::CryptDestroyHash(HCRYPTHASH hash) {
  HANDLE handle = reinterpret_cast<HANDLE>(hash);
  OpenHandle* open = Find(handle, "hash");
  if (open == NULL) {
    last_error_ = static_cast<DWORD>(NTE_BAD_HASH);
  } else {
    const std::string name = open->object_name;
    handles_.erase(handle);
    hashes_.erase(hash);
    Release(name);
  }
  log_.push_back("CryptDestroyHash(" + Label(handle) + ") = " +
                 Bool(open != NULL));
  return open != NULL;
}

// --- WinVerifyTrust --------------------------------------------------------------

LONG Win32::WinVerifyTrust(HWND window, GUID* action, LPVOID data) {
  (void)window;
  TrustCheck check = {};
  WINTRUST_DATA* trust = static_cast<WINTRUST_DATA*>(data);
  LONG result = 0;
  check.action_is_generic_verify_v2 =
      action != NULL && SameGuid(*action, kGenericVerifyV2);
  if (trust != NULL) {
    check.ui_choice = trust->dwUIChoice;
    check.revocation_checks = trust->fdwRevocationChecks;
    check.union_choice = trust->dwUnionChoice;
    check.state_action = trust->dwStateAction;
    check.prov_flags = trust->dwProvFlags;
  }
  if (action == NULL || trust == NULL ||
      trust->cbStruct != sizeof(WINTRUST_DATA)) {
    result = E_INVALIDARG;
  } else if (!check.action_is_generic_verify_v2) {
    result = TRUST_E_PROVIDER_UNKNOWN;
  } else if (trust->dwStateAction == WTD_STATEACTION_CLOSE) {
    auto state = trust_states_.find(trust->hWVTStateData);
    if (state == trust_states_.end() ||
        Find(trust->hWVTStateData, "trust") == NULL) {
      result = E_INVALIDARG;
    } else {
      const std::string name = handles_[trust->hWVTStateData].object_name;
      handles_.erase(trust->hWVTStateData);
      trust_states_.erase(state);  // what the provider data pointed to goes
      Release(name);
    }
  } else if (trust->dwStateAction != WTD_STATEACTION_VERIFY &&
             trust->dwStateAction != WTD_STATEACTION_IGNORE) {
    result = E_INVALIDARG;
  } else if (trust->dwUnionChoice != WTD_CHOICE_FILE ||
             trust->pFile == NULL ||
             trust->pFile->cbStruct != sizeof(WINTRUST_FILE_INFO) ||
             trust->pFile->pcwszFilePath == NULL) {
    result = E_INVALIDARG;
  } else {
    Signature signature;
    const std::string path = internal::Utf8(trust->pFile->pcwszFilePath);
    if (path.empty()) {
      result = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    } else {
      check.path = path;
      // The signature is read through a handle of the verifier's own,
      // which shares reading only.
      std::string key;
      DWORD granted = 0;
      const DWORD error =
          OpenAsWindows(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0,
                        NULL, TokenOf(account_), &key, &granted);
      if (error != 0) {
        result = HRESULT_FROM_WIN32(error);
      } else {
        signature = ReadSignature(NodeAt(key)->bytes);
        if (!signature.present)
          result = TRUST_E_NOSIGNATURE;
        else if (!signature.digest_matches)
          result = TRUST_E_BAD_DIGEST;
        else if (!trusted_roots_.count(signature.root))
          result = CERT_E_UNTRUSTEDROOT;
      }
    }
    if (trust->dwStateAction == WTD_STATEACTION_VERIFY) {
      // The state holds the signer's chain whatever the verdict, and must
      // be closed whatever the verdict.
      std::unique_ptr<TrustState> state(new TrustState);
      memset(&state->data, 0, sizeof(state->data));
      memset(&state->signer, 0, sizeof(state->signer));
      state->wintrust_data = trust;
      state->data.cbStruct = sizeof(CRYPT_PROVIDER_DATA);
      state->data.pWintrustData = trust;
      state->data.dwFinalError = static_cast<DWORD>(result);
      if (signature.present) {
        const std::string names[2] = {signature.subject, signature.root};
        const std::string issuers[2] = {signature.root, signature.root};
        state->chain.resize(2);
        state->contexts.resize(2);
        state->infos.resize(2);
        for (int i = 0; i < 2; ++i) {
          state->subjects.push_back("CN=" + names[i]);
          state->issuers.push_back("CN=" + issuers[i]);
          // The signer's certificate carries its serial number; the
          // root's is the same in every chain that ends at it.
          state->encodings.push_back(
              "certificate " + (i == 0 ? signature.serial + " " : "") +
              "of " + names[i] + " issued by " + issuers[i]);
        }
        for (int i = 0; i < 2; ++i) {
          CERT_INFO& info = state->infos[i];
          memset(&info, 0, sizeof(info));
          info.Subject.cbData =
              static_cast<DWORD>(state->subjects[i].size());
          info.Subject.pbData =
              reinterpret_cast<BYTE*>(&state->subjects[i][0]);
          info.Issuer.cbData = static_cast<DWORD>(state->issuers[i].size());
          info.Issuer.pbData = reinterpret_cast<BYTE*>(&state->issuers[i][0]);
          CERT_CONTEXT& context = state->contexts[i];
          memset(&context, 0, sizeof(context));
          context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
          context.pbCertEncoded =
              reinterpret_cast<BYTE*>(&state->encodings[i][0]);
          context.cbCertEncoded =
              static_cast<DWORD>(state->encodings[i].size());
          context.pCertInfo = &info;
          CRYPT_PROVIDER_CERT& cert = state->chain[i];
          memset(&cert, 0, sizeof(cert));
          cert.cbStruct = sizeof(CRYPT_PROVIDER_CERT);
          cert.pCert = &context;
          cert.fSelfSigned = i == 1;
          cert.fTrustedRoot = i == 1 && trusted_roots_.count(signature.root);
        }
        state->signer.cbStruct = sizeof(CRYPT_PROVIDER_SGNR);
        state->signer.csCertChain = 2;
        state->signer.pasCertChain = state->chain.data();
        state->data.csSigners = 1;
        state->data.pasSigners = &state->signer;
      }
      const std::string name = NewObjectName("trust");
      objects_[name].kind = "trust";
      trust->hWVTStateData = Issue("trust", name, 0);
      trust_states_[trust->hWVTStateData] = std::move(state);
    }
  }
  check.result = result;
  trust_checks_.push_back(check);
  char hex[16];
  snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(result));
  log_.push_back("WinVerifyTrust(" + Quote(check.path.c_str()) + ", " +
                 std::to_string(check.state_action) + ") = " + hex);
  return result;
}

CRYPT_PROVIDER_DATA* Win32::WTHelperProvDataFromStateData(HANDLE state) {
  CRYPT_PROVIDER_DATA* data = NULL;
  auto found = trust_states_.find(state);
  if (found != trust_states_.end() && Find(state, "trust") != NULL)
    data = &found->second->data;
  log_.push_back("WTHelperProvDataFromStateData(" + Label(state) + ") = " +
                 (data != NULL ? "data" : "NULL"));
  return data;
}

CRYPT_PROVIDER_SGNR* Win32::WTHelperGetProvSignerFromChain(
    CRYPT_PROVIDER_DATA* data, DWORD signer, BOOL counter_signer,
    DWORD counter_signer_index) {
  (void)counter_signer_index;
  CRYPT_PROVIDER_SGNR* found = NULL;
  for (auto& state : trust_states_) {
    if (&state.second->data == data && !counter_signer &&
        signer < data->csSigners)
      found = &data->pasSigners[signer];
  }
  log_.push_back("WTHelperGetProvSignerFromChain(" +
                 std::string(data != NULL ? "data" : "NULL") + ", " +
                 std::to_string(signer) + ", " + Bool(counter_signer) +
                 ") = " + (found != NULL ? "signer" : "NULL"));
  return found;
}

BOOL Win32::CertCompareCertificateName(DWORD encoding, PCERT_NAME_BLOB name1,
                                       PCERT_NAME_BLOB name2) {
  BOOL same = FALSE;
  if ((encoding & X509_ASN_ENCODING) == 0 || name1 == NULL || name2 == NULL) {
    last_error_ = static_cast<DWORD>(E_INVALIDARG);
  } else {
    // Encoded names, compared byte for byte.
    same = name1->cbData == name2->cbData &&
           memcmp(name1->pbData, name2->pbData, name1->cbData) == 0;
  }
  log_.push_back("CertCompareCertificateName(" + HexNumber(encoding) +
                 ") = " + Bool(same));
  return same;
}

}  // namespace fake

extern "C" {

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* provider, LPCSTR container,
                                 LPCSTR provider_name, DWORD type,
                                 DWORD flags) {
  return fake::Platform().CryptAcquireContextA(provider, container,
                                               provider_name, type, flags);
}
BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
  return fake::Platform().CryptReleaseContext(provider, flags);
}
BOOL WINAPI CryptGenRandom(HCRYPTPROV provider, DWORD size, BYTE* buffer) {
  return fake::Platform().CryptGenRandom(provider, size, buffer);
}
BOOL WINAPI CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm,
                            HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
  return fake::Platform().CryptCreateHash(provider, algorithm, key, flags,
                                          hash);
}
BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD size,
                          DWORD flags) {
  return fake::Platform().CryptHashData(hash, data, size, flags);
}
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE* data,
                              DWORD* size, DWORD flags) {
  return fake::Platform().CryptGetHashParam(hash, parameter, data, size,
                                            flags);
}
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash) {
  return fake::Platform().CryptDestroyHash(hash);
}
LONG WINAPI WinVerifyTrust(HWND window, GUID* action, LPVOID data) {
  return fake::Platform().WinVerifyTrust(window, action, data);
}
CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE state) {
  return fake::Platform().WTHelperProvDataFromStateData(state);
}
CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(
    CRYPT_PROVIDER_DATA* data, DWORD signer, BOOL counter_signer,
    DWORD counter_signer_index) {
  return fake::Platform().WTHelperGetProvSignerFromChain(
      data, signer, counter_signer, counter_signer_index);
}
BOOL WINAPI CertCompareCertificateName(DWORD encoding, PCERT_NAME_BLOB name1,
                                       PCERT_NAME_BLOB name2) {
  return fake::Platform().CertCompareCertificateName(encoding, name1, name2);
}
}  // extern "C"
