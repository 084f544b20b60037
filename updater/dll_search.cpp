#include "dll_search.h"

#include <windows.h>

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD directory_flags);

}  // namespace

void RestrictDllSearch() {
  // Looked up rather than imported: Windows without the update that added
  // it would refuse to start an exe that imports it.
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  FARPROC found = kernel32 != NULL
                      ? GetProcAddress(kernel32, "SetDefaultDllDirectories")
                      : NULL;
  // Through the generic function type, which converts to any other.
  SetDefaultDllDirectoriesFunction set_default_dll_directories =
      reinterpret_cast<SetDefaultDllDirectoriesFunction>(
          reinterpret_cast<void (*)(void)>(found));
  if (set_default_dll_directories != NULL &&
      set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32))
    return;
  // An empty string, not null: null would put the current folder back.
  SetDllDirectoryA("");
}
