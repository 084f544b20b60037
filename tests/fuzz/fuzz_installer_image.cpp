// What the elevated helper reads of an installer's copy itself, against
// the fake platform: the certificate table and the version resource of
// any bytes at all.
//
// Input: one byte of choices, then the file's bytes (all of them, NULs
// included), grafted into a well-formed image where bit 0 says so, so that
// the fuzzer starts from headers the readers follow.
//   Whatever the bytes, nothing crashes or reads past a buffer, no handle
//   stays open, and the answers are the same twice. A table the readers
//   call clean holds one revision-2 PKCS#7 WIN_CERTIFICATE and its
//   directory entry lies inside the file.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "fake_win32.h"
#include "fuzz_input.h"
#include "updater_caller/updater_caller.h"

namespace {

const char kCopy[] = "C:\\Windows\\Temp\\Zelvaro-update-0\\setup.exe";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    // The fuzzer's bytes laid over a signed image with a version, from
    // the offset the next byte names.
    std::string image = fake::SignedBytes(fake::ImageBytes("x", 3), "V", "R");
    const size_t at = bytes.empty() ? 0
                                    : static_cast<unsigned char>(bytes[0]) *
                                          image.size() / 256;
    image.replace(at, std::min(bytes.size(), image.size() - at), bytes);
    bytes = image;
  }
  fake::Reset();
  fake::Platform().AddFile(kCopy, bytes);

  namespace internal = updater_caller::internal;
  const bool clean = internal::HasOnlyItsSignature(kCopy);
  bool has_version = false;
  unsigned long long version = 0;
  internal::ReadProductVersion(kCopy, &has_version, &version);

  Require(fake::Platform().OpenHandles().empty());
  Require(internal::HasOnlyItsSignature(kCopy) == clean);
  bool again = false;
  unsigned long long version_again = 0;
  internal::ReadProductVersion(kCopy, &again, &version_again);
  Require(again == has_version && (!has_version || version_again == version));
  if (clean) {
    Require(bytes.size() >= 0x40 && bytes.compare(0, 2, "MZ") == 0);
  }
  return 0;
}
