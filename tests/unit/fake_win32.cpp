#include "fake_win32.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace fake {
namespace {

std::string Quote(LPCSTR text) {
  if (text == NULL)
    return "NULL";
  const std::string s(text);
  if (s.size() > 60)
    return "<" + std::to_string(s.size()) + " chars>";
  return "\"" + s + "\"";
}

std::string Bool(BOOL value) { return value ? "TRUE" : "FALSE"; }

std::string Hex(DWORD value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
  return text;
}

// The program the platform takes from a command line when no application
// name is given: the first token, inside quotes if it starts with one. A
// command that starts with "" names the empty program.
std::string FirstToken(const std::string& command) {
  if (!command.empty() && command[0] == '"') {
    const size_t end = command.find('"', 1);
    return command.substr(1, end == std::string::npos ? end : end - 1);
  }
  return command.substr(0, command.find_first_of(" \t"));
}

std::unique_ptr<Win32> g_platform(new Win32);

// Allocations left before the one that fails; 0 when none is to fail. A
// plain integer, not part of the fake, since the runtime may allocate
// before any test (or the fake itself) has been set up.
int g_allocations_before_failure = 0;

// The only module the updater asks for.
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(0x7B600000);

// What GetProcAddress hands out for SetDefaultDllDirectories.
BOOL WINAPI SetDefaultDllDirectoriesEntry(DWORD directory_flags) {
  return Platform().SetDefaultDllDirectories(directory_flags);
}

}  // namespace

Win32& Platform() { return *g_platform; }
void Reset() {
  g_platform.reset(new Win32);
  g_allocations_before_failure = 0;
}

void Win32::SetCommandLine(const std::string& command_line) {
  command_line_.reset(new char[command_line.size() + 1]);
  memcpy(command_line_.get(), command_line.c_str(), command_line.size() + 1);
}

void Win32::HoldMutexUntilSleep(const std::string& name, int sleeps) {
  objects_[name] = Object{"mutex", 1};
  held_mutex_ = name;
  sleeps_until_release_ = sleeps;
}

void Win32::HoldNameAsEvent(const std::string& name) {
  objects_[name] = Object{"event", 1};
}

void Win32::DenyMutexes(DWORD error) { mutex_error_ = error; }

void Win32::RemoveProgram(const std::string& program) {
  missing_programs_.insert(program);
}

void Win32::FailAllocation(int nth) { g_allocations_before_failure = nth; }

void Win32::RequireElevation(const std::string& program) {
  setup_programs_.insert(program);
}

void Win32::RunElevated() { elevated_ = true; }

void Win32::DeclineElevation() { elevation_declined_ = true; }

void Win32::SetModuleFileName(const std::string& path) {
  module_file_name_ = path;
}

void Win32::RemoveSetDefaultDllDirectories() {
  has_set_default_dll_directories_ = false;
}

void Win32::RefuseSetDefaultDllDirectories() {
  set_default_dll_directories_refuses_ = true;
}

std::vector<std::string> Win32::OpenHandles() const {
  std::vector<std::string> open;
  for (HANDLE handle : issue_order_) {
    if (handles_.count(handle))
      open.push_back(Label(handle));
  }
  return open;
}

bool Win32::NamedObjectExists(const std::string& name) const {
  return objects_.count(name) != 0;
}

HANDLE Win32::Issue(const std::string& label, const std::string& object_name) {
  // Handle values are never reused, so a stale handle cannot pass for a
  // live one.
  HANDLE handle = reinterpret_cast<HANDLE>(
      static_cast<uintptr_t>(0x100 + 4 * labels_.size()));
  const std::string numbered = label + std::to_string(++label_counts_[label]);
  handles_[handle] = OpenHandle{numbered, object_name};
  labels_[handle] = numbered;
  issue_order_.push_back(handle);
  return handle;
}

void Win32::Release(const std::string& object_name) {
  auto object = objects_.find(object_name);
  if (object != objects_.end() && --object->second.references == 0)
    objects_.erase(object);
}

HANDLE Win32::StartProcess(HANDLE* thread) {
  const std::string name = "process#" + std::to_string(++processes_started_);
  objects_[name] = Object{"process", 1};
  HANDLE process = Issue("process", name);
  if (thread != NULL) {
    objects_[name + "/thread"] = Object{"thread", 1};
    *thread = Issue("thread", name + "/thread");
  }
  return process;
}

std::string Win32::Label(HANDLE handle) const {
  if (handle == NULL)
    return "NULL";
  auto label = labels_.find(handle);
  return label == labels_.end() ? "<unknown handle>" : label->second;
}

LPSTR Win32::GetCommandLineA() {
  log_.push_back("GetCommandLineA()");
  return command_line_.get();
}

HANDLE Win32::CreateMutexA(LPSECURITY_ATTRIBUTES attributes,
                           BOOL initial_owner, LPCSTR name) {
  HANDLE handle = NULL;
  if (mutex_error_ != 0) {
    last_error_ = mutex_error_;
  } else if (objects_.count(name) && objects_[name].kind != "mutex") {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (objects_.count(name)) {
    ++objects_[name].references;
    handle = Issue("mutex", name);
    last_error_ = ERROR_ALREADY_EXISTS;
  } else {
    objects_[name] = Object{"mutex", 1};
    handle = Issue("mutex", name);
    last_error_ = 0;
  }
  log_.push_back("CreateMutexA(" + std::string(attributes ? "attrs" : "NULL") +
                 ", " + Bool(initial_owner) + ", " + Quote(name) +
                 ") = " + Label(handle));
  return handle;
}

DWORD Win32::GetLastError() {
  log_.push_back("GetLastError() = " + std::to_string(last_error_));
  return last_error_;
}

void Win32::SetLastError(DWORD error) {
  log_.push_back("SetLastError(" + std::to_string(error) + ")");
  last_error_ = error;
}

BOOL Win32::CloseHandle(HANDLE handle) {
  auto open = handles_.find(handle);
  BOOL closed = FALSE;
  if (open == handles_.end()) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else {
    const std::string object_name = open->second.object_name;
    handles_.erase(open);
    Release(object_name);
    closed = TRUE;
  }
  log_.push_back("CloseHandle(" + Label(handle) + ") = " + Bool(closed));
  return closed;
}

void Win32::Sleep(DWORD milliseconds) {
  log_.push_back("Sleep(" + std::to_string(milliseconds) + ")");
  // The main application ends while the updater sleeps.
  if (sleeps_until_release_ > 0 && --sleeps_until_release_ == 0)
    Release(held_mutex_);
}

BOOL Win32::CreateProcessA(LPCSTR application_name, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes,
                           BOOL inherit_handles, DWORD creation_flags,
                           LPVOID environment, LPCSTR current_directory,
                           LPSTARTUPINFOA startup_info,
                           LPPROCESS_INFORMATION process_information) {
  ProcessStart start = {};
  start.application_name_null = application_name == NULL;
  if (application_name != NULL)
    start.application_name = application_name;
  start.command = command_line;
  start.process_attributes_null = process_attributes == NULL;
  start.thread_attributes_null = thread_attributes == NULL;
  start.inherit_handles = inherit_handles;
  start.creation_flags = creation_flags;
  start.environment_null = environment == NULL;
  start.current_directory_null = current_directory == NULL;
  start.startup = *startup_info;
  start.process_information_given = process_information != NULL;

  // The platform may write into the command line: touch every byte of it,
  // NUL included, so that a buffer too small or read-only shows.
  for (size_t i = 0; i <= start.command.size(); ++i)
    command_line[i] = start.command.c_str()[i];

  const std::string program = application_name != NULL
                                  ? std::string(application_name)
                                  : FirstToken(start.command);
  BOOL created = FALSE;
  if (start.command.size() + 1 > kMaxCommandLine) {
    last_error_ = ERROR_FILENAME_EXCED_RANGE;
  } else if (program.empty()) {
    // What Wine answers for a command that names no program.
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (missing_programs_.count(program)) {
    last_error_ = ERROR_FILE_NOT_FOUND;
  } else if (setup_programs_.count(program) && !elevated_) {
    last_error_ = ERROR_ELEVATION_REQUIRED;
  } else {
    process_information->hProcess =
        StartProcess(&process_information->hThread);
    process_information->dwProcessId = 1000 + processes_started_;
    process_information->dwThreadId = 2000 + processes_started_;
    created = TRUE;
  }
  // The record's content after a failed start is not promised: a caller
  // that reads it then must not find a null handle there by luck.
  if (!created)
    memset(process_information, 0xA5, sizeof(*process_information));
  start.created = created;
  starts_.push_back(start);
  log_.push_back("CreateProcessA(" + Quote(command_line) + ") = " +
                 (created ? Label(process_information->hProcess) : "FALSE"));
  return created;
}

DWORD Win32::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  DWORD result = WAIT_FAILED;
  auto open = handles_.find(handle);
  if (open != handles_.end() && objects_[open->second.object_name].kind == "process")
    result = WAIT_OBJECT_0;  // the process has ended
  else
    last_error_ = ERROR_INVALID_HANDLE;
  log_.push_back("WaitForSingleObject(" + Label(handle) + ", " +
                 (milliseconds == INFINITE ? "INFINITE"
                                           : std::to_string(milliseconds)) +
                 ") = " + Hex(result));
  return result;
}

int Win32::MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  log_.push_back("MessageBoxA(" + std::string(owner ? "owner" : "NULL") +
                 ", " + Quote(text) + ", " + Quote(caption) + ", " +
                 Hex(type) + ") = IDOK");
  return IDOK;
}

HMODULE Win32::GetModuleHandleA(LPCSTR module_name) {
  const bool kernel32 = strcasecmp(module_name, "kernel32.dll") == 0;
  log_.push_back("GetModuleHandleA(" + Quote(module_name) + ") = " +
                 (kernel32 ? "kernel32" : "NULL"));
  return kernel32 ? kKernel32 : NULL;
}

FARPROC Win32::GetProcAddress(HMODULE module, LPCSTR proc_name) {
  FARPROC found = NULL;
  if (module == kKernel32 &&
      strcmp(proc_name, "SetDefaultDllDirectories") == 0 &&
      has_set_default_dll_directories_) {
    found = reinterpret_cast<FARPROC>(
        reinterpret_cast<void (*)(void)>(SetDefaultDllDirectoriesEntry));
  }
  log_.push_back("GetProcAddress(" +
                 std::string(module == kKernel32 ? "kernel32" : "?") + ", " +
                 Quote(proc_name) + ") = " + (found ? "found" : "NULL"));
  return found;
}

BOOL Win32::SetDefaultDllDirectories(DWORD directory_flags) {
  BOOL done = FALSE;
  if (set_default_dll_directories_refuses_) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (directory_flags == LOAD_LIBRARY_SEARCH_SYSTEM32) {
    dll_search_ = "system folder only";
    done = TRUE;
  }
  log_.push_back("SetDefaultDllDirectories(" + Hex(directory_flags) +
                 ") = " + Bool(done));
  return done;
}

BOOL Win32::SetDllDirectoryA(LPCSTR path) {
  // An empty path takes the current folder out; null would restore it.
  if (path != NULL && path[0] == '\0' &&
      dll_search_ == "application folder first")
    dll_search_ = "current folder left out";
  log_.push_back("SetDllDirectoryA(" + Quote(path) + ") = TRUE");
  return TRUE;
}

DWORD Win32::GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
  DWORD copied = 0;
  if (module != NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (size > 0) {
    // A path that does not fit is cut to size - 1 characters and reported
    // by a result of `size`, as Windows does since Vista.
    const size_t length = module_file_name_.size();
    copied = static_cast<DWORD>(length < size ? length : size - 1);
    memcpy(file_name, module_file_name_.c_str(), copied);
    file_name[copied] = '\0';
    if (length >= size) {
      copied = size;
      last_error_ = ERROR_INSUFFICIENT_BUFFER;
    }
  }
  log_.push_back("GetModuleFileNameA(" +
                 std::string(module ? "module" : "NULL") + ", " +
                 std::to_string(size) + ") = " + std::to_string(copied));
  return copied;
}

BOOL Win32::ShellExecuteExA(SHELLEXECUTEINFOA* info) {
  ShellStart start = {};
  start.size = info->cbSize;
  start.mask = info->fMask;
  start.window_null = info->hwnd == NULL;
  start.verb = info->lpVerb != NULL ? info->lpVerb : "";
  start.file = info->lpFile != NULL ? info->lpFile : "";
  start.parameters = info->lpParameters != NULL ? info->lpParameters : "";
  start.directory_null = info->lpDirectory == NULL;
  start.show = info->nShow;
  shell_starts_.push_back(start);

  BOOL done = FALSE;
  HANDLE process = NULL;
  if (info->cbSize != sizeof(*info)) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (missing_programs_.count(start.file)) {
    last_error_ = ERROR_FILE_NOT_FOUND;
  } else if (start.verb == "runas" && elevation_declined_) {
    last_error_ = ERROR_CANCELLED;
  } else {
    // The shell closes the thread's handle itself, and the process's too
    // unless the caller asked for it.
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS)
      process = info->hProcess = StartProcess(/*thread=*/NULL);
    else
      ++processes_started_;
    info->hInstApp = reinterpret_cast<HINSTANCE>(33);
    done = TRUE;
  }
  log_.push_back("ShellExecuteExA(" + Quote(start.verb.c_str()) + ", " +
                 Quote(start.file.c_str()) + ", " +
                 Quote(start.parameters.c_str()) + ") = " +
                 (done ? Label(process) : "FALSE"));
  return done;
}

}  // namespace fake

// The platform's entry points, as the product links against them.
extern "C" {

LPSTR WINAPI GetCommandLineA(void) {
  return fake::Platform().GetCommandLineA();
}
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES attributes,
                           BOOL initial_owner, LPCSTR name) {
  return fake::Platform().CreateMutexA(attributes, initial_owner, name);
}
DWORD WINAPI GetLastError(void) { return fake::Platform().GetLastError(); }
void WINAPI SetLastError(DWORD error) { fake::Platform().SetLastError(error); }
BOOL WINAPI CloseHandle(HANDLE handle) {
  return fake::Platform().CloseHandle(handle);
}
void WINAPI Sleep(DWORD milliseconds) { fake::Platform().Sleep(milliseconds); }
BOOL WINAPI CreateProcessA(LPCSTR application_name, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes,
                           BOOL inherit_handles, DWORD creation_flags,
                           LPVOID environment, LPCSTR current_directory,
                           LPSTARTUPINFOA startup_info,
                           LPPROCESS_INFORMATION process_information) {
  return fake::Platform().CreateProcessA(
      application_name, command_line, process_attributes, thread_attributes,
      inherit_handles, creation_flags, environment, current_directory,
      startup_info, process_information);
}
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return fake::Platform().WaitForSingleObject(handle, milliseconds);
}
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  return fake::Platform().MessageBoxA(owner, text, caption, type);
}
HMODULE WINAPI GetModuleHandleA(LPCSTR module_name) {
  return fake::Platform().GetModuleHandleA(module_name);
}
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR proc_name) {
  return fake::Platform().GetProcAddress(module, proc_name);
}
BOOL WINAPI SetDllDirectoryA(LPCSTR path) {
  return fake::Platform().SetDllDirectoryA(path);
}
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
  return fake::Platform().GetModuleFileNameA(module, file_name, size);
}
BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* info) {
  return fake::Platform().ShellExecuteExA(info);
}

// The C runtime's malloc, as the product calls it: the test link renames
// the product's calls to this one (-Wl,--wrap=malloc), so that a test can
// make one of them fail.
void* __real_malloc(size_t size);
void* __wrap_malloc(size_t size) {
  if (fake::g_allocations_before_failure > 0 &&
      --fake::g_allocations_before_failure == 0)
    return NULL;
  return __real_malloc(size);
}

}  // extern "C"
