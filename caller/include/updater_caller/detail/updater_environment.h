// The environment the updater starts with, and so the one the installer
// and the restarted application get: a block the kit builds for each
// start and hands to CreateProcessA. The kit never changes the
// application's own environment to pass something on, not even for a
// moment: another thread of the application that starts a program in that
// moment would pass it on too.
//
// On the elevated roads (the helper, and an application the user elevated)
// the block is made from the system, not from this process's environment:
// a process Windows starts elevated takes its environment from the user's
// profile, which any program of the user's can change. It holds
//   - SystemRoot, windir, SystemDrive, ComSpec and PATH, from
//     GetSystemWindowsDirectoryA and GetSystemDirectoryA: PATH names the
//     system folder and the Windows folder only, so a program looked for
//     by bare name (zvr.exe, if the installer removed it) is never found
//     in a folder the user can write; PATHEXT, the Windows default;
//   - TEMP and TMP, the staging folder only Administrators can write;
//   - the hand-back id the helper was given, and no other variable of the
//     kit's, and no compatibility layer;
//   - from this process's environment, only names that say who and where
//     the user and the machine are and select no code: the user's name,
//     domain and profile folders, the computer's name, the processor's
//     description and the system's name (kPassedNames).
// On the unelevated roads the block is this process's environment as it
// is, less the kit's own variables, plus on the per-user road the
// RunAsInvoker layer and the note that lets the restarted application take
// it off again (install_scope.h).
//
// The blocks are UTF-16 (CREATE_UNICODE_ENVIRONMENT), so that a value
// outside the ANSI code page, such as a profile folder with letters of
// another script, passes on unchanged, and sorted by name as Windows keeps
// them.
#ifndef UPDATER_CALLER_DETAIL_UPDATER_ENVIRONMENT_H_
#define UPDATER_CALLER_DETAIL_UPDATER_ENVIRONMENT_H_

#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <updater_caller/detail/handles.h>
#include <updater_caller/detail/helper_command_line.h>
#include <updater_caller/detail/win32_helpers.h>

namespace updater_caller {
namespace internal {

const char kCompatLayer[] = "__COMPAT_LAYER";
const char kCompatLayerBefore[] = "ZELVARO_UPDATE_COMPAT_LAYER";
const char kRunAsInvoker[] = "RunAsInvoker";
const char kHandBackVariable[] = "ZELVARO_UPDATE_HAND_BACK";
// Windows's own default.
const char kDefaultPathExt[] =
    ".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC";
// What the elevated roads take from this process's environment.
const char* const kPassedNames[] = {
    "APPDATA",
    "COMPUTERNAME",
    "HOMEDRIVE",
    "HOMEPATH",
    "LOCALAPPDATA",
    "NUMBER_OF_PROCESSORS",
    "OS",
    "PROCESSOR_ARCHITECTURE",
    "PROCESSOR_IDENTIFIER",
    "PROCESSOR_LEVEL",
    "PROCESSOR_REVISION",
    "USERDOMAIN",
    "USERNAME",
    "USERPROFILE",
};

inline wchar_t UpperAscii(wchar_t c) {
  return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// The length of the name in the entry "name=value". A name may begin with
// '=' (the per-drive current folders), so the search starts after it.
inline size_t NameLength(const wchar_t* entry) {
  size_t length = entry[0] == L'\0' ? 0 : 1;
  while (entry[length] != L'\0' && entry[length] != L'=')
    ++length;
  return length;
}

// Compares the names of two entries without regard to ASCII case, as
// Windows orders and looks up environment names.
inline int CompareNames(const wchar_t* a, const wchar_t* b) {
  const size_t a_length = NameLength(a);
  const size_t b_length = NameLength(b);
  for (size_t i = 0; i < a_length && i < b_length; ++i) {
    const wchar_t x = UpperAscii(a[i]);
    const wchar_t y = UpperAscii(b[i]);
    if (x != y)
      return x < y ? -1 : 1;
  }
  return a_length == b_length ? 0 : (a_length < b_length ? -1 : 1);
}

// True if the entry `entry` ("name=value") is named `name` (ANSI, ASCII).
inline bool EntryIsNamed(const wchar_t* entry, const char* name) {
  const size_t length = NameLength(entry);
  if (length != strlen(name))
    return false;
  for (size_t i = 0; i < length; ++i) {
    if (UpperAscii(entry[i]) !=
        UpperAscii(static_cast<wchar_t>(static_cast<unsigned char>(name[i]))))
      return false;
  }
  return entry[length] == L'=';
}

// This process's environment block, freed with the object.
class OwnEnvironment {
 public:
  OwnEnvironment() : block_(GetEnvironmentStringsW()) {}

  const wchar_t* block() const { return block_.Get(); }
  size_t Count() const {
    size_t count = 0;
    for (const wchar_t* p = block_.Get(); p != NULL && *p != L'\0';
         p += wcslen(p) + 1)
      ++count;
    return count;
  }
  // The value of `name`, or null when it is not set.
  const wchar_t* Find(const char* name) const {
    for (const wchar_t* p = block_.Get(); p != NULL && *p != L'\0';
         p += wcslen(p) + 1) {
      if (EntryIsNamed(p, name))
        return p + NameLength(p) + 1;
    }
    return NULL;
  }

 private:
  UniqueEnvironmentStrings block_;
};

// The entries of a block being built: some borrowed from another block,
// some made here and owned. Failure (memory, a value that does not
// convert) is kept and reported by Finish.
class EnvironmentEntries {
 public:
  explicit EnvironmentEntries(size_t capacity)
      : entries_(static_cast<const wchar_t**>(
            malloc(capacity * sizeof(const wchar_t*)))),
        owned_(static_cast<wchar_t**>(malloc(capacity * sizeof(wchar_t*)))),
        capacity_(capacity),
        count_(0),
        owned_count_(0),
        failed_(entries_ == NULL || owned_ == NULL) {}
  ~EnvironmentEntries() {
    for (size_t i = 0; owned_ != NULL && i < owned_count_; ++i)
      free(owned_[i]);
    free(owned_);
    free(entries_);
  }
  EnvironmentEntries(const EnvironmentEntries&) = delete;
  EnvironmentEntries& operator=(const EnvironmentEntries&) = delete;

  // Adds an entry of another block, which must outlive this object.
  void Borrow(const wchar_t* entry) {
    if (failed_ || count_ == capacity_) {
      failed_ = true;
      return;
    }
    entries_[count_++] = entry;
  }

  // Adds "`name`=`value`" (`name` ASCII, `value` ANSI or null for the
  // wide `wide_value`).
  void Add(const char* name, const char* value,
           const wchar_t* wide_value = NULL) {
    const size_t name_length = strlen(name);
    int value_length = 0;
    if (value != NULL) {
      value_length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value,
                                         /*cbMultiByte=*/-1,
                                         /*lpWideCharStr=*/NULL, 0);
    } else if (wide_value != NULL) {
      value_length = static_cast<int>(wcslen(wide_value) + 1);
    }
    if (failed_ || value_length <= 0 || count_ == capacity_) {
      failed_ = true;
      return;
    }
    const size_t size = name_length + 1 + static_cast<size_t>(value_length);
    wchar_t* entry = static_cast<wchar_t*>(malloc(size * sizeof(wchar_t)));
    if (entry == NULL) {
      failed_ = true;
      return;
    }
    owned_[owned_count_++] = entry;
    for (size_t i = 0; i < name_length; ++i)
      entry[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
    entry[name_length] = L'=';
    wchar_t* const out = entry + name_length + 1;
    if (value != NULL) {
      if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value, -1, out,
                              value_length) != value_length)
        failed_ = true;
    } else {
      memcpy(out, wide_value,
             static_cast<size_t>(value_length) * sizeof(wchar_t));
    }
    if (!failed_)
      entries_[count_++] = entry;
  }

  // The block: the entries sorted by name, each ended by a NUL, the block
  // by one more. Null if anything failed. The caller frees it.
  wchar_t* Finish() {
    if (failed_)
      return NULL;
    // Insertion sort: a block holds a few dozen entries.
    for (size_t i = 1; i < count_; ++i) {
      const wchar_t* const entry = entries_[i];
      size_t j = i;
      for (; j > 0 && CompareNames(entries_[j - 1], entry) > 0; --j)
        entries_[j] = entries_[j - 1];
      entries_[j] = entry;
    }
    size_t size = 1;
    for (size_t i = 0; i < count_; ++i)
      size += wcslen(entries_[i]) + 1;
    if (count_ == 0)
      ++size;  // an empty block is two NULs
    wchar_t* block = static_cast<wchar_t*>(malloc(size * sizeof(wchar_t)));
    if (block == NULL)
      return NULL;
    wchar_t* p = block;
    for (size_t i = 0; i < count_; ++i) {
      const size_t length = wcslen(entries_[i]) + 1;
      memcpy(p, entries_[i], length * sizeof(wchar_t));
      p += length;
    }
    *p++ = L'\0';
    if (count_ == 0)
      *p = L'\0';
    return block;
  }

 private:
  const wchar_t** entries_;
  wchar_t** owned_;
  size_t capacity_;
  size_t count_;
  size_t owned_count_;
  bool failed_;
};

// The block for an elevated updater (see above), its temp folder `temp`
// and `hand_back_id` ("" for none). Null if it could not be made.
//
// Needs: nothing. Leaves: the block for the caller to free.
inline wchar_t* ElevatedEnvironment(const char* temp,
                                    const char* hand_back_id) {
  char windows[MAX_PATH];
  char system[MAX_PATH];
  const UINT windows_length = GetSystemWindowsDirectoryA(windows, MAX_PATH);
  const UINT system_length = GetSystemDirectoryA(system, MAX_PATH);
  char drive[3] = {windows[0], ':', '\0'};
  char command[MAX_PATH];
  char path[2 * MAX_PATH];
  if (windows_length < 3 || windows_length >= MAX_PATH || system_length == 0 ||
      system_length >= MAX_PATH ||
      !Join(command, sizeof(command), system, "\\cmd.exe") ||
      !Join(path, sizeof(path), system, ";", windows))
    return NULL;
  OwnEnvironment own;
  const size_t passed = sizeof(kPassedNames) / sizeof(kPassedNames[0]);
  EnvironmentEntries entries(passed + 10);
  for (const char* name : kPassedNames) {
    const wchar_t* value = own.Find(name);
    if (value != NULL)
      entries.Add(name, /*value=*/NULL, value);
  }
  entries.Add("ComSpec", command);
  entries.Add("PATH", path);
  entries.Add("PATHEXT", kDefaultPathExt);
  entries.Add("SystemDrive", drive);
  entries.Add("SystemRoot", windows);
  entries.Add("TEMP", temp);
  entries.Add("TMP", temp);
  entries.Add("windir", windows);
  if (hand_back_id[0] != '\0')
    entries.Add(kHandBackVariable, hand_back_id);
  return entries.Finish();
}

// The block for an unelevated updater: this process's environment less the
// kit's own variables; with `run_as_invoker`, plus RunAsInvoker added to
// __COMPAT_LAYER and the note of what it was before ("=" and the value).
// Null if it could not be made.
//
// Needs: nothing. Leaves: the block for the caller to free.
inline wchar_t* UnelevatedEnvironment(bool run_as_invoker) {
  OwnEnvironment own;
  if (own.block() == NULL)
    return NULL;
  EnvironmentEntries entries(own.Count() + 2);
  for (const wchar_t* p = own.block(); *p != L'\0'; p += wcslen(p) + 1) {
    if (!EntryIsNamed(p, kHandBackVariable) &&
        !EntryIsNamed(p, kCompatLayerBefore) &&
        !(run_as_invoker && EntryIsNamed(p, kCompatLayer)))
      entries.Borrow(p);
  }
  if (!run_as_invoker)
    return entries.Finish();
  // The layers are ASCII words: whatever else the value holds, convert it
  // back and forth through the wide forms only.
  const wchar_t* before = own.Find(kCompatLayer);
  if (before == NULL)
    before = L"";
  const size_t length = wcslen(before);
  const UniqueMemory<wchar_t> held_layer(static_cast<wchar_t*>(
      malloc((length + sizeof(kRunAsInvoker) + 1) * sizeof(wchar_t))));
  const UniqueMemory<wchar_t> held_note(
      static_cast<wchar_t*>(malloc((length + 2) * sizeof(wchar_t))));
  wchar_t* const layer = held_layer.Get();
  wchar_t* const note = held_note.Get();
  wchar_t* block = NULL;
  if (layer != NULL && note != NULL) {
    memcpy(layer, before, length * sizeof(wchar_t));
    size_t at = length;
    if (length > 0)
      layer[at++] = L' ';
    for (const char* c = kRunAsInvoker; *c != '\0'; ++c)
      layer[at++] = static_cast<wchar_t>(*c);
    layer[at] = L'\0';
    note[0] = L'=';  // "=" alone: there was none
    memcpy(note + 1, before, (length + 1) * sizeof(wchar_t));
    entries.Add(kCompatLayer, /*value=*/NULL, layer);
    entries.Add(kCompatLayerBefore, /*value=*/NULL, note);
    block = entries.Finish();
  }
  return block;
}

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_DETAIL_UPDATER_ENVIRONMENT_H_
