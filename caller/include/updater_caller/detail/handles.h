// Ownership held by types: each resource the kit takes from the platform
// (a kernel or file handle, a search, memory, a library, a crypt provider
// or hash, an environment block) is let go by the object that holds it,
// on every road out of the routine that took it. A routine that must let
// one go at a given moment, before a later platform call, says so with
// Reset(); the order of the platform's calls stays as the routine writes
// it. No exceptions: nothing here throws.
#ifndef UPDATER_CALLER_DETAIL_HANDLES_H_
#define UPDATER_CALLER_DETAIL_HANDLES_H_

#include <windows.h>
#include <wincrypt.h>

#include <stdlib.h>

namespace updater_caller {
namespace internal {

// Holds one `Traits::Type` and lets it go with `Traits::Close` unless it is
// `Traits::Invalid()`. Moves, never copies.
template <typename Traits>
class Unique {
 public:
  using Type = typename Traits::Type;

  Unique() : value_(Traits::Invalid()) {}
  explicit Unique(Type value) : value_(value) {}
  ~Unique() { Reset(); }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  Unique(Unique&& other) noexcept : value_(other.Release()) {}
  Unique& operator=(Unique&& other) noexcept {
    Reset(other.Release());
    return *this;
  }

  Type Get() const { return value_; }
  bool Valid() const { return value_ != Traits::Invalid(); }
  // Gives up ownership: the caller lets the value go.
  Type Release() {
    const Type value = value_;
    value_ = Traits::Invalid();
    return value;
  }
  // Lets the value held go now, and holds `value` instead.
  void Reset(Type value = Traits::Invalid()) {
    if (Valid())
      Traits::Close(value_);
    value_ = value;
  }

 private:
  Type value_;
};

struct KernelHandleTraits {  // processes, threads, events, tokens
  using Type = HANDLE;
  static Type Invalid() { return NULL; }
  static void Close(Type value) { CloseHandle(value); }
};
struct FileHandleTraits {  // CreateFileA's
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type value) { CloseHandle(value); }
};
struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type value) { FindClose(value); }
};
struct LocalMemoryTraits {  // what the security calls allocate
  using Type = void*;
  static Type Invalid() { return NULL; }
  static void Close(Type value) { LocalFree(value); }
};
template <typename T>
struct MemoryTraits {  // malloc's
  using Type = T*;
  static Type Invalid() { return NULL; }
  static void Close(Type value) { free(value); }
};
struct LibraryTraits {
  using Type = HMODULE;
  static Type Invalid() { return NULL; }
  static void Close(Type value) { FreeLibrary(value); }
};
struct CryptProviderTraits {
  using Type = HCRYPTPROV;
  static Type Invalid() { return 0; }
  static void Close(Type value) { CryptReleaseContext(value, /*dwFlags=*/0); }
};
struct CryptHashTraits {
  using Type = HCRYPTHASH;
  static Type Invalid() { return 0; }
  static void Close(Type value) { CryptDestroyHash(value); }
};
struct EnvironmentStringsTraits {  // GetEnvironmentStringsW's block
  using Type = wchar_t*;
  static Type Invalid() { return NULL; }
  static void Close(Type value) { FreeEnvironmentStringsW(value); }
};

using UniqueHandle = Unique<KernelHandleTraits>;
using UniqueFile = Unique<FileHandleTraits>;
using UniqueFind = Unique<FindHandleTraits>;
using UniqueLocal = Unique<LocalMemoryTraits>;
template <typename T>
using UniqueMemory = Unique<MemoryTraits<T>>;
using UniqueLibrary = Unique<LibraryTraits>;
using UniqueCryptProvider = Unique<CryptProviderTraits>;
using UniqueCryptHash = Unique<CryptHashTraits>;
using UniqueEnvironmentStrings = Unique<EnvironmentStringsTraits>;

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_DETAIL_HANDLES_H_
