// A recording fake of the platform calls the updater makes. It keeps state
// the way the platform does (a handle table, named objects, the last error,
// started processes) so that a test can script a situation and then read
// what the updater did: the ordered call log, the command lines exactly as
// CreateProcessA received them, and the handles still open at the end.
#ifndef UPDATER_TESTS_UNIT_FAKE_WIN32_H_
#define UPDATER_TESTS_UNIT_FAKE_WIN32_H_

#include <windows.h>
#include <shellapi.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fake {

// Everything CreateProcessA was given, copied at the time of the call.
struct ProcessStart {
  bool application_name_null;
  std::string application_name;  // empty when null
  std::string command;
  bool process_attributes_null;
  bool thread_attributes_null;
  BOOL inherit_handles;
  DWORD creation_flags;
  bool environment_null;
  bool current_directory_null;
  STARTUPINFOA startup;
  bool process_information_given;
  bool created;  // what CreateProcessA answered
};

// Everything ShellExecuteExA was given, copied at the time of the call.
struct ShellStart {
  DWORD size;
  ULONG mask;
  bool window_null;
  std::string verb;
  std::string file;
  std::string parameters;
  bool directory_null;
  int show;
  // The command line the started program reads: the shell puts the
  // program's quoted path in front of the parameters.
  std::string CommandLine() const { return "\"" + file + "\" " + parameters; }
};

class Win32 {
 public:
  // --- Scripting a situation ---------------------------------------------
  void SetCommandLine(const std::string& command_line);
  // The main application holds the mutex `name` now and lets it go while
  // the updater sleeps for the `sleeps`-th time.
  void HoldMutexUntilSleep(const std::string& name, int sleeps);
  // An object of another kind (an event) holds `name`: opening it as a
  // mutex fails, as it does on Windows, with ERROR_INVALID_HANDLE.
  void HoldNameAsEvent(const std::string& name);
  // Every CreateMutexA fails with `error`, as for a mutex the caller may
  // not open.
  void DenyMutexes(DWORD error);
  // Starting `program` (the application name, or else the command's first
  // token) fails: no such file.
  void RemoveProgram(const std::string& program);
  // The `nth` allocation from now (1 for the next) fails, as when memory
  // runs out; the others succeed.
  void FailAllocation(int nth);
  // Starting `program` fails with ERROR_ELEVATION_REQUIRED, as Windows
  // answers for a program it takes for a setup program, unless the caller
  // runs elevated.
  void RequireElevation(const std::string& program);
  // This process runs elevated, as one started through the prompt does.
  void RunElevated();
  // The user declines the elevation prompt.
  void DeclineElevation();
  // What GetModuleFileNameA gives for the process's own exe.
  void SetModuleFileName(const std::string& path);
  // Windows without the update that added SetDefaultDllDirectories.
  void RemoveSetDefaultDllDirectories();
  // SetDefaultDllDirectories exists but refuses.
  void RefuseSetDefaultDllDirectories();

  // --- Reading what happened ---------------------------------------------
  const std::vector<std::string>& log() const { return log_; }
  const std::vector<ProcessStart>& starts() const { return starts_; }
  const std::vector<ShellStart>& shell_starts() const { return shell_starts_; }
  // Labels of the handles still open, in the order they were issued.
  std::vector<std::string> OpenHandles() const;
  bool NamedObjectExists(const std::string& name) const;
  // Where a DLL loaded by bare name would be looked for: "application
  // folder first" (the default), "system folder only", or "current folder
  // left out".
  const std::string& dll_search() const { return dll_search_; }

  // --- The platform calls, in the platform's own terms -------------------
  LPSTR GetCommandLineA();
  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner,
                      LPCSTR name);
  DWORD GetLastError();
  void SetLastError(DWORD error);
  BOOL CloseHandle(HANDLE handle);
  void Sleep(DWORD milliseconds);
  BOOL CreateProcessA(LPCSTR application_name, LPSTR command_line,
                      LPSECURITY_ATTRIBUTES process_attributes,
                      LPSECURITY_ATTRIBUTES thread_attributes,
                      BOOL inherit_handles, DWORD creation_flags,
                      LPVOID environment, LPCSTR current_directory,
                      LPSTARTUPINFOA startup_info,
                      LPPROCESS_INFORMATION process_information);
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
  int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
  HMODULE GetModuleHandleA(LPCSTR module_name);
  FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name);
  BOOL SetDefaultDllDirectories(DWORD directory_flags);
  BOOL SetDllDirectoryA(LPCSTR path);
  DWORD GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size);
  BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);

 private:
  struct Object {
    std::string kind;  // "mutex", "event", "process", "thread"
    int references;
  };
  struct OpenHandle {
    std::string label;
    std::string object_name;  // key into objects_
  };

  HANDLE Issue(const std::string& label, const std::string& object_name);
  // A new process; its thread's handle goes to `thread`, or is not issued
  // when `thread` is null.
  HANDLE StartProcess(HANDLE* thread);
  void Release(const std::string& object_name);
  std::string Label(HANDLE handle) const;

  // Exactly as long as the command line, so that a read past its NUL is
  // caught by the address sanitizer.
  std::unique_ptr<char[]> command_line_{new char[1]()};
  std::map<std::string, Object> objects_;
  std::map<HANDLE, OpenHandle> handles_;
  std::vector<HANDLE> issue_order_;
  std::map<HANDLE, std::string> labels_;  // every handle ever issued
  std::map<std::string, int> label_counts_;
  std::string held_mutex_;
  int sleeps_until_release_ = 0;
  DWORD mutex_error_ = 0;
  std::set<std::string> missing_programs_;
  std::set<std::string> setup_programs_;
  bool elevated_ = false;
  bool elevation_declined_ = false;
  std::string module_file_name_ = "C:\\Program Files\\Zelvaro\\zvr.exe";
  DWORD last_error_ = 0xBAADF00D;  // whatever an earlier call left
  int processes_started_ = 0;
  bool has_set_default_dll_directories_ = true;
  bool set_default_dll_directories_refuses_ = false;
  std::string dll_search_ = "application folder first";
  std::vector<std::string> log_;
  std::vector<ProcessStart> starts_;
  std::vector<ShellStart> shell_starts_;
};

// The one fake every platform call goes to; a test starts with Reset().
Win32& Platform();
void Reset();

// How the platform's longest command line is reached: 32,767 characters
// with the NUL.
const size_t kMaxCommandLine = 32767;

}  // namespace fake

#endif  // UPDATER_TESTS_UNIT_FAKE_WIN32_H_
