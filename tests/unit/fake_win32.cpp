// The fake's core: processes, the handle table, mutexes, modules, waits and
// the shell. Files and security, hashes and signatures, the environment and
// events live in the fake's other files.
#include "fake_win32.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "fake_internal.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

namespace fake {

using internal::Bool;
using internal::FirstToken;
using internal::HexNumber;
using internal::Quote;

namespace internal {

std::string Quote(LPCSTR text) {
  if (text == NULL)
    return "NULL";
  const std::string s(text);
  if (s.size() > 60)
    return "<" + std::to_string(s.size()) + " chars>";
  return "\"" + s + "\"";
}

std::string Bool(BOOL value) { return value ? "TRUE" : "FALSE"; }

std::string HexNumber(DWORD value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string Pointer(const void* pointer) {
  return pointer == NULL ? "NULL" : "ptr";
}

std::string Upper(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return Upper(a) == Upper(b);
}

std::string FirstToken(const std::string& command) {
  if (!command.empty() && command[0] == '"') {
    const size_t end = command.find('"', 1);
    return command.substr(1, end == std::string::npos ? end : end - 1);
  }
  return command.substr(0, command.find_first_of(" \t"));
}

}  // namespace internal

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return internal::Upper(a) < internal::Upper(b);
}

bool IsElevated(Account account) {
  return account == Account::kAdminElevated ||
         account == Account::kAdminWithoutUac ||
         account == Account::kOtherAdminElevated;
}

namespace {

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

// What a process gets when no environment is scripted.
Environment DefaultEnvironment() {
  return Environment{{"PATH", "C:\\Windows\\system32;C:\\Windows"},
                     {"SystemRoot", "C:\\Windows"},
                     {"TEMP", "C:\\Users\\me\\AppData\\Local\\Temp"},
                     {"USERNAME", "me"}};
}

// The environment block a process gets: ANSI "name=value" strings, each
// ended by a NUL, the block by one more.
Environment ParseEnvironmentBlock(const char* block) {
  Environment environment;
  for (const char* p = block; *p != '\0'; p += strlen(p) + 1) {
    const std::string entry(p);
    // A name may start with '=' (the per-drive current folders).
    const size_t equals = entry.find('=', 1);
    environment[entry.substr(0, equals)] =
        equals == std::string::npos ? "" : entry.substr(equals + 1);
  }
  return environment;
}

// The same from a UTF-16 block (CREATE_UNICODE_ENVIRONMENT), each value
// as the ANSI text it converts to; a character with no ANSI form shows as
// '?'.
Environment ParseWideEnvironmentBlock(const WCHAR* block) {
  std::string ansi;
  for (const WCHAR* p = block; *p != 0 || p[1] != 0; ++p) {
    if (*p == 0) {
      ansi.push_back('\0');
      continue;
    }
    const WCHAR one[2] = {*p, 0};
    std::string text;
    ansi += internal::Narrow(one, &text) ? text : "?";
  }
  ansi.push_back('\0');
  ansi.push_back('\0');
  return ParseEnvironmentBlock(ansi.c_str());
}

// Whether the compatibility layers in `environment` include RunAsInvoker:
// a word of its own in __COMPAT_LAYER's blank-separated list.
bool RunsAsInvoker(const Environment& environment) {
  auto layers = environment.find("__COMPAT_LAYER");
  if (layers == environment.end())
    return false;
  const std::string& list = layers->second;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(' ', start);
    if (end == std::string::npos)
      end = list.size();
    if (internal::EqualNoCase(list.substr(start, end - start),
                              "RunAsInvoker"))
      return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

Win32::Win32() {
  environment_ = DefaultEnvironment();
  profile_environment_ = DefaultEnvironment();
  Process self;
  self.id = 1;
  self.image = module_file_name_;
  self.account = account_;
  self.environment = environment_;
  self.current_directory = current_directory_;
  processes_[1] = self;
  // The machine every test starts from: a system drive, the Windows
  // folder with its temporary folder, and the user's downloads.
  MakeNode("C:\\", NodeKind::kFolder, Writers::kAdministrators);
  drives_['C'] = Drive{DRIVE_FIXED, true};
  AddFolder("C:\\Windows");
  SetOwner("C:\\Windows", kTrustedInstallerSid);
  AddFolder("C:\\Windows\\Temp", Writers::kWindowsTemp);
  AddFolder(current_directory_, Writers::kUser);
}

Win32::~Win32() {}

Win32& Platform() { return *g_platform; }
void Reset() {
  g_platform.reset(new Win32);
  g_allocations_before_failure = 0;
}

// --- Scripting ---------------------------------------------------------------

void Win32::SetCommandLine(const std::string& command_line) {
  command_line_.reset(new char[command_line.size() + 1]);
  memcpy(command_line_.get(), command_line.c_str(), command_line.size() + 1);
  command_line_text_ = command_line;
  processes_[process_id_].command = command_line;
}

void Win32::SetModuleFileName(const std::string& path) {
  module_file_name_ = path;
  processes_[process_id_].image = path;
}

void Win32::SetAccount(Account account) {
  account_ = account;
  processes_[process_id_].account = account;
}

void Win32::SetCurrentDirectory(const std::string& path) {
  current_directory_ = path;
}

void Win32::SetEnvironment(const Environment& environment) {
  environment_ = environment;
}

void Win32::SetProfileEnvironment(const Environment& environment) {
  profile_environment_ = environment;
}

void Win32::HoldMutexUntilSleep(const std::string& name, int sleeps) {
  Object mutex;
  mutex.kind = "mutex";
  mutex.references = 1;
  objects_[name] = mutex;
  held_mutex_ = name;
  sleeps_until_release_ = sleeps;
}

void Win32::HoldNameAsEvent(const std::string& name) {
  SquatEvent(name, "D:(A;;GA;;;" + std::string(kMySid) + ")(A;;GA;;;SY)");
}

void Win32::DenyMutexes(DWORD error) { mutex_error_ = error; }

void Win32::RemoveProgram(const std::string& program) {
  missing_programs_.insert(program);
}

void Win32::FailAllocation(int nth) { g_allocations_before_failure = nth; }

void Win32::FailCall(const std::string& name, int nth, DWORD error) {
  failing_calls_[name] = ScriptedFailure{nth, error};
}

bool Win32::FailsNow(const std::string& name, DWORD* error) {
  auto failure = failing_calls_.find(name);
  if (failure == failing_calls_.end() || --failure->second.calls_left > 0)
    return false;
  *error = failure->second.error;
  failing_calls_.erase(failure);
  return true;
}

void Win32::RequireElevation(const std::string& program) {
  setup_programs_.insert(program);
}

void Win32::DeclineElevation() { elevation_declined_ = true; }

void Win32::ShellStartsNoProcess() { shell_starts_no_process_ = true; }

void Win32::RemoveSetDefaultDllDirectories() {
  has_set_default_dll_directories_ = false;
}

void Win32::RefuseSetDefaultDllDirectories() {
  set_default_dll_directories_refuses_ = true;
}

void Win32::SetEventWhileWaiting(const std::string& name) {
  set_while_waiting_.insert(name);
}

void Win32::SetDrive(char letter, UINT type, bool keeps_rights) {
  drives_[static_cast<char>(toupper(letter))] = Drive{type, keeps_rights};
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

bool Win32::ProcessRunning(int process_id) const {
  auto process = processes_.find(process_id);
  return process != processes_.end() && process->second.running;
}

DWORD Win32::ExitCodeOf(int process_id) const {
  auto process = processes_.find(process_id);
  return process == processes_.end() ? STILL_ACTIVE
                                     : process->second.exit_code;
}

// --- Processes -----------------------------------------------------------------

void Win32::EndCurrentProcess() {
  // As at exit: every handle closes, every allocation goes.
  std::vector<HANDLE> open;
  for (HANDLE handle : issue_order_) {
    if (handles_.count(handle))
      open.push_back(handle);
  }
  for (HANDLE handle : open) {
    const std::string object_name = handles_[handle].object_name;
    handles_.erase(handle);
    trust_states_.erase(handle);
    hashes_.erase(reinterpret_cast<ULONG_PTR>(handle));
    local_memory_.erase(handle);
    sddl_of_descriptor_.erase(handle);
    Release(object_name);
  }
  EndProcess(process_id_);
}

void Win32::EndProcess(int process_id) {
  auto process = processes_.find(process_id);
  if (process == processes_.end() || !process->second.running)
    return;
  process->second.running = false;
  const std::vector<std::string> held = process->second.held;
  process->second.held.clear();
  for (const std::string& object_name : held)
    Release(object_name);
}

void Win32::LoadProcess(int id) {
  Process& process = processes_[id];
  process_id_ = id;
  command_line_.reset(new char[process.command.size() + 1]);
  memcpy(command_line_.get(), process.command.c_str(),
         process.command.size() + 1);
  command_line_text_ = process.command;
  module_file_name_ = process.image;
  account_ = process.account;
  environment_ = process.environment;
  current_directory_ = process.current_directory;
  last_error_ = 0xBAADF00D;
  issue_order_.clear();
  log_.clear();
  starts_.clear();
  shell_starts_.clear();
  file_opens_.clear();
  trust_checks_.clear();
  dll_search_ = "application folder first";
}

void Win32::BecomeProcess(const ProcessStart& start) {
  EndCurrentProcess();
  LoadProcess(start.process_id);
}

void Win32::BecomeProcess(const ShellStart& shell) {
  EndCurrentProcess();
  LoadProcess(shell.process_id);
}

// --- Handles -----------------------------------------------------------------

std::string Win32::NewObjectName(const std::string& kind) {
  return kind + "#" + std::to_string(++objects_made_);
}

HANDLE Win32::Issue(const std::string& label, const std::string& object_name,
                    DWORD access) {
  // Handle values are never reused, not even by another process, so a
  // stale handle cannot pass for a live one.
  HANDLE handle = reinterpret_cast<HANDLE>(next_handle_);
  next_handle_ += 4;
  const std::string numbered = label + std::to_string(++label_counts_[label]);
  handles_[handle] = OpenHandle{numbered, object_name, access};
  labels_[handle] = numbered;
  issue_order_.push_back(handle);
  if (!object_name.empty())
    ++objects_[object_name].references;
  return handle;
}

Win32::OpenHandle* Win32::Find(HANDLE handle, const std::string& kind) {
  auto open = handles_.find(handle);
  if (open == handles_.end())
    return NULL;
  if (!kind.empty() && (open->second.object_name.empty() ||
                        objects_[open->second.object_name].kind != kind))
    return NULL;
  return &open->second;
}

void Win32::Release(const std::string& object_name) {
  auto object = objects_.find(object_name);
  if (object == objects_.end() || --object->second.references > 0)
    return;
  const std::string node = object->second.node;
  const bool file = object->second.kind == "file";
  objects_.erase(object);
  // A file marked for deletion goes with the last handle to it.
  if (file) {
    Node* pending = NodeAt(node);
    if (pending != NULL && pending->delete_pending) {
      bool open_elsewhere = false;
      for (const auto& other : objects_)
        open_elsewhere |= other.second.kind == "file" &&
                          internal::EqualNoCase(other.second.node, node);
      if (!open_elsewhere)
        DeleteNode(internal::Upper(node));
    }
  }
}

HANDLE Win32::StartProcess(HANDLE* thread, const std::string& command,
                           const std::string& image, Account account,
                           const Environment& environment,
                           const std::string& current_directory, int* id) {
  Process process;
  process.id = ++processes_started_;
  process.command = command;
  process.image = image;
  process.account = account;
  process.environment = environment;
  process.current_directory = current_directory;
  processes_[process.id] = process;
  *id = process.id;

  const std::string name = "process#" + std::to_string(process.id);
  objects_[name].kind = "process";
  objects_[name].process_id = process.id;
  HANDLE handle = Issue("process", name, PROCESS_ALL_ACCESS);
  if (thread != NULL) {
    objects_[name + "/thread"].kind = "thread";
    *thread = Issue("thread", name + "/thread", 0x1FFFFF);
  }
  return handle;
}

std::string Win32::Label(HANDLE handle) const {
  if (handle == NULL)
    return "NULL";
  if (handle == INVALID_HANDLE_VALUE)
    return "INVALID_HANDLE_VALUE";
  auto label = labels_.find(handle);
  return label == labels_.end() ? "<unknown handle>" : label->second;
}

// --- kernel32 ------------------------------------------------------------------

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
    handle = Issue("mutex", name, MUTEX_ALL_ACCESS);
    last_error_ = ERROR_ALREADY_EXISTS;
  } else {
    objects_[name].kind = "mutex";
    handle = Issue("mutex", name, MUTEX_ALL_ACCESS);
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
  static const char* const kKernelKinds[] = {"mutex", "event",  "process",
                                             "thread", "file", "token"};
  BOOL closed = FALSE;
  OpenHandle* open = Find(handle, "");
  bool kernel = false;
  if (open != NULL && !open->object_name.empty()) {
    for (const char* kind : kKernelKinds)
      kernel |= objects_[open->object_name].kind == kind;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    // The current process's own pseudo handle: closing it does nothing.
    closed = TRUE;
  } else if (!kernel) {
    // Not open, or not a kernel handle (a find handle, a crypt provider,
    // memory): each has its own call to let it go.
    last_error_ = ERROR_INVALID_HANDLE;
  } else {
    const std::string object_name = open->object_name;
    handles_.erase(handle);
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

namespace {

// What CreateProcessA and CreateProcessW record alike.
ProcessStart StartRecord(bool wide, LPSECURITY_ATTRIBUTES process_attributes,
                         LPSECURITY_ATTRIBUTES thread_attributes,
                         BOOL inherit_handles, DWORD creation_flags,
                         LPVOID environment,
                         LPPROCESS_INFORMATION process_information) {
  ProcessStart start = {};
  start.wide = wide;
  start.process_attributes_null = process_attributes == NULL;
  start.thread_attributes_null = thread_attributes == NULL;
  start.inherit_handles = inherit_handles;
  start.creation_flags = creation_flags;
  start.environment_null = environment == NULL;
  start.process_information_given = process_information != NULL;
  return start;
}

}  // namespace

BOOL Win32::CreateProcessA(LPCSTR application_name, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes,
                           BOOL inherit_handles, DWORD creation_flags,
                           LPVOID environment, LPCSTR current_directory,
                           LPSTARTUPINFOA startup_info,
                           LPPROCESS_INFORMATION process_information) {
  ProcessStart start = StartRecord(
      /*wide=*/false, process_attributes, thread_attributes, inherit_handles,
      creation_flags, environment, process_information);
  start.application_name_null = application_name == NULL;
  if (application_name != NULL)
    start.application_name = FromAnsi(application_name);
  start.command = command_line;
  start.current_directory_null = current_directory == NULL;
  if (current_directory != NULL)
    start.current_directory = FromAnsi(current_directory);
  start.startup = *startup_info;
  const std::string command = start.command;
  // The platform may write into the command line: touch every byte of it,
  // NUL included, so that a buffer too small or read-only shows.
  return CreateProcessFrom(
      start, environment,
      [command_line, command]() {
        for (size_t i = 0; i <= command.size(); ++i)
          command_line[i] = command.c_str()[i];
      },
      process_information);
}

BOOL Win32::CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes,
                           BOOL inherit_handles, DWORD creation_flags,
                           LPVOID environment, LPCWSTR current_directory,
                           LPSTARTUPINFOW startup_info,
                           LPPROCESS_INFORMATION process_information) {
  ProcessStart start = StartRecord(
      /*wide=*/true, process_attributes, thread_attributes, inherit_handles,
      creation_flags, environment, process_information);
  start.application_name_null = application_name == NULL;
  if (application_name != NULL)
    start.application_name = internal::Utf8(application_name);
  const std::wstring wide_command = command_line;
  // What the new process reads with GetCommandLineA: a program without a
  // manifest of its own, such as the updater, reads it in the system's
  // code page, with best fit.
  start.command = ToCodePage(internal::Utf8(wide_command), system_code_page_,
                             /*best_fit=*/true);
  start.current_directory_null = current_directory == NULL;
  if (current_directory != NULL)
    start.current_directory = internal::Utf8(current_directory);
  static_assert(sizeof(STARTUPINFOW) == sizeof(STARTUPINFOA),
                "the two records differ only in their strings' type");
  memcpy(&start.startup, startup_info, sizeof(start.startup));
  return CreateProcessFrom(
      start, environment,
      [command_line, wide_command]() {
        for (size_t i = 0; i <= wide_command.size(); ++i)
          command_line[i] = wide_command.c_str()[i];
      },
      process_information);
}

BOOL Win32::CreateProcessFrom(ProcessStart start, LPVOID environment,
                              const std::function<void()>& touch_command_line,
                              LPPROCESS_INFORMATION process_information) {
  const DWORD creation_flags = start.creation_flags;
  start.account = account_;
  // A UTF-16 block read without the flag, or an ANSI one with it, comes
  // out as garbage, as it does on Windows.
  start.environment =
      environment == NULL ? environment_
      : (creation_flags & CREATE_UNICODE_ENVIRONMENT) != 0
          ? ParseWideEnvironmentBlock(static_cast<const WCHAR*>(environment))
          : ParseEnvironmentBlock(static_cast<const char*>(environment));
  const std::string current_directory = start.current_directory;
  if (start.current_directory_null)
    start.current_directory = current_directory_;
  touch_command_line();

  const std::string program = !start.application_name_null
                                  ? start.application_name
                                  : FromAnsi(FirstToken(start.command));
  SwapIfArmed(program);
  DWORD folder_error = 0;
  if (!start.current_directory_null) {
    DWORD error = 0;
    const std::string full = FullPath(current_directory, &error);
    const std::string resolved =
        full.empty() ? "" : Resolve(full, /*follow_last=*/true, &error);
    const Node* folder = resolved.empty() ? NULL : NodeAt(resolved);
    if (folder == NULL || folder->kind != NodeKind::kFolder)
      folder_error = ERROR_DIRECTORY;
  }
  BOOL created = FALSE;
  DWORD program_error = 0;
  if (start.command.size() + 1 > kMaxCommandLine) {
    last_error_ = ERROR_FILENAME_EXCED_RANGE;
  } else if (program.empty()) {
    // What Wine answers for a command that names no program.
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (missing_programs_.count(program)) {
    last_error_ = ERROR_FILE_NOT_FOUND;
  } else if ((program_error = ProgramCheck(program)) != 0) {
    last_error_ = program_error;
  } else if (folder_error != 0) {
    last_error_ = folder_error;
  } else if (setup_programs_.count(program) && !IsElevated(account_) &&
             !RunsAsInvoker(start.environment)) {
    last_error_ = ERROR_ELEVATION_REQUIRED;
  } else {
    process_information->hProcess = StartProcess(
        &process_information->hThread, start.command, program, account_,
        start.environment, start.current_directory, &start.process_id);
    process_information->dwProcessId =
        static_cast<DWORD>(1000 + start.process_id);
    process_information->dwThreadId =
        static_cast<DWORD>(2000 + start.process_id);
    created = TRUE;
  }
  // The record's content after a failed start is not promised: a caller
  // that reads it then must not find a null handle there by luck.
  if (!created)
    memset(process_information, 0xA5, sizeof(*process_information));
  start.created = created;
  starts_.push_back(start);
  log_.push_back(std::string(start.wide ? "CreateProcessW(" : "CreateProcessA(") +
                 Quote(start.command.c_str()) + ") = " +
                 (created ? Label(process_information->hProcess) : "FALSE"));
  return created;
}

DWORD Win32::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  DWORD result = WAIT_FAILED;
  std::string note;
  OpenHandle* open = Find(handle, "");
  Object* object =
      open == NULL || open->object_name.empty() ? NULL
                                                : &objects_[open->object_name];
  if (object == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if ((open->access & SYNCHRONIZE) == 0) {
    last_error_ = ERROR_ACCESS_DENIED;
  } else if (object->kind == "process") {
    result = WAIT_OBJECT_0;  // the process has ended
  } else if (object->kind == "event") {
    if (!object->signaled && set_while_waiting_.count(open->object_name))
      object->signaled = true;  // another process sets it meanwhile
    if (object->signaled) {
      result = WAIT_OBJECT_0;
      if (!object->manual_reset)
        object->signaled = false;
    } else if (milliseconds == INFINITE) {
      // Nobody is left to set it: the process would hang for ever.
      note = " (hangs for ever)";
      last_error_ = ERROR_INVALID_HANDLE;
    } else {
      result = WAIT_TIMEOUT;
    }
  } else {
    last_error_ = ERROR_INVALID_HANDLE;
  }
  log_.push_back("WaitForSingleObject(" + Label(handle) + ", " +
                 (milliseconds == INFINITE ? "INFINITE"
                                           : std::to_string(milliseconds)) +
                 ") = " + HexNumber(result) + note);
  return result;
}

int Win32::MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  log_.push_back("MessageBoxA(" + std::string(owner ? "owner" : "NULL") +
                 ", " + Quote(text) + ", " + Quote(caption) + ", " +
                 HexNumber(type) + ") = IDOK");
  return IDOK;
}

HMODULE Win32::GetModuleHandleA(LPCSTR module_name) {
  const bool kernel32 = strcasecmp(module_name, "kernel32.dll") == 0;
  log_.push_back("GetModuleHandleA(" + Quote(module_name) + ") = " +
                 (kernel32 ? "kernel32" : "NULL"));
  return kernel32 ? kKernel32 : NULL;
}

namespace {

// What the system's own trust DLLs export, of what the kit asks for.
struct Export {
  const char* module;
  const char* name;
  void (*entry)(void);
};
const Export kExports[] = {
    {"WINTRUST.DLL", "WinVerifyTrust",
     reinterpret_cast<void (*)(void)>(&::WinVerifyTrust)},
    {"WINTRUST.DLL", "WTHelperProvDataFromStateData",
     reinterpret_cast<void (*)(void)>(&::WTHelperProvDataFromStateData)},
    {"WINTRUST.DLL", "WTHelperGetProvSignerFromChain",
     reinterpret_cast<void (*)(void)>(&::WTHelperGetProvSignerFromChain)},
    {"CRYPT32.DLL", "CertCompareCertificateName",
     reinterpret_cast<void (*)(void)>(&::CertCompareCertificateName)},
};
const char kSystemFolder[] = "C:\\Windows\\System32";

}  // namespace

FARPROC Win32::GetProcAddress(HMODULE module, LPCSTR proc_name) {
  FARPROC found = NULL;
  OpenHandle* loaded =
      module == kKernel32 ? NULL
                          : Find(reinterpret_cast<HANDLE>(module), "module");
  if (module == kKernel32 &&
      strcmp(proc_name, "SetDefaultDllDirectories") == 0 &&
      has_set_default_dll_directories_) {
    found = reinterpret_cast<FARPROC>(
        reinterpret_cast<void (*)(void)>(SetDefaultDllDirectoriesEntry));
  } else if (loaded != NULL) {
    // Only the system's own DLLs export what the kit wants; a planted one
    // is the attacker's, whatever it exports.
    const std::string& path = objects_[loaded->object_name].node;
    for (const Export& entry : kExports) {
      if (internal::EqualNoCase(path, std::string(kSystemFolder) + "\\" +
                                          entry.module) &&
          strcmp(proc_name, entry.name) == 0)
        found = reinterpret_cast<FARPROC>(entry.entry);
    }
  }
  if (found == NULL)
    last_error_ = module == kKernel32 || loaded != NULL
                      ? ERROR_PROC_NOT_FOUND
                      : ERROR_MOD_NOT_FOUND;
  log_.push_back("GetProcAddress(" +
                 std::string(module == kKernel32 ? "kernel32"
                             : loaded != NULL
                                 ? Label(reinterpret_cast<HANDLE>(module))
                                                : "?") +
                 ", " + Quote(proc_name) + ") = " + (found ? "found" : "NULL"));
  return found;
}

HMODULE Win32::LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
  std::string path;
  DWORD error = 0;
  static const char* const kSystemDlls[] = {"wintrust.dll", "crypt32.dll"};
  bool system_dll = false;
  for (const char* dll : kSystemDlls)
    system_dll |= name != NULL && strcasecmp(name, dll) == 0;
  // The application's folder comes first unless the caller (or the
  // process, through SetDefaultDllDirectories) keeps to the system folder.
  const bool system_only =
      (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) != 0 &&
      (flags & (LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) == 0;
  const bool search_application_folder =
      !system_only && dll_search_ != "system folder only";
  const std::string application_folder =
      module_file_name_.substr(0, module_file_name_.rfind('\\'));
  if (name == NULL || file != NULL ||
      (flags & ~static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH |
                                   LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                                   LOAD_LIBRARY_SEARCH_SYSTEM32 |
                                   LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) != 0) {
    error = ERROR_INVALID_PARAMETER;
  } else if (strchr(name, '\\') != NULL || strchr(name, '/') != NULL) {
    error = ERROR_MOD_NOT_FOUND;  // only bare names are part of the fake
  } else if (search_application_folder &&
             FileExists(application_folder + "\\" + name)) {
    path = application_folder + "\\" + name;
    attacker_attempts_.push_back(
        AttackerAttempt{"load " + path + " in place of the system's", true});
  } else if (system_dll) {
    path = std::string(kSystemFolder) + "\\" + name;
  } else {
    error = ERROR_MOD_NOT_FOUND;
  }
  HMODULE module = NULL;
  if (error == 0) {
    const std::string object_name = NewObjectName("module");
    objects_[object_name].kind = "module";
    objects_[object_name].node = path;
    module = reinterpret_cast<HMODULE>(Issue("module", object_name, 0));
    module_loads_.push_back(path);
  } else {
    last_error_ = error;
  }
  log_.push_back("LoadLibraryExA(" + Quote(name) + ", " + HexNumber(flags) +
                 ") = " +
                 (module ? Label(reinterpret_cast<HANDLE>(module)) : "NULL"));
  return module;
}

BOOL Win32::FreeLibrary(HMODULE module) {
  HANDLE handle = reinterpret_cast<HANDLE>(module);
  OpenHandle* open = Find(handle, "module");
  if (open == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else {
    const std::string object_name = open->object_name;
    handles_.erase(handle);
    Release(object_name);
  }
  log_.push_back("FreeLibrary(" + Label(handle) + ") = " +
                 Bool(open != NULL));
  return open != NULL;
}

BOOL Win32::SetDefaultDllDirectories(DWORD directory_flags) {
  BOOL done = FALSE;
  if (set_default_dll_directories_refuses_) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (directory_flags == LOAD_LIBRARY_SEARCH_SYSTEM32) {
    dll_search_ = "system folder only";
    done = TRUE;
  }
  log_.push_back("SetDefaultDllDirectories(" + HexNumber(directory_flags) +
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

namespace {

// GetModuleFileNameA's and GetModuleFileNameW's answer: a path that does
// not fit is cut to size - 1 characters and reported by a result of
// `size`, as Windows does since Vista.
template <typename Char>
DWORD CopyCut(const std::basic_string<Char>& path, Char* buffer, DWORD size,
              DWORD* last_error) {
  if (size == 0)
    return 0;
  const size_t length = path.size();
  DWORD copied = static_cast<DWORD>(length < size ? length : size - 1);
  memcpy(buffer, path.c_str(), copied * sizeof(Char));
  buffer[copied] = 0;
  if (length >= size) {
    copied = size;
    *last_error = ERROR_INSUFFICIENT_BUFFER;
  }
  return copied;
}

}  // namespace

DWORD Win32::GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
  DWORD copied = 0;
  if (module != NULL)
    last_error_ = ERROR_INVALID_HANDLE;
  else
    copied = CopyCut(ToAnsi(module_file_name_), file_name, size, &last_error_);
  log_.push_back("GetModuleFileNameA(" +
                 std::string(module ? "module" : "NULL") + ", " +
                 std::to_string(size) + ") = " + std::to_string(copied));
  return copied;
}

DWORD Win32::GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  DWORD copied = 0;
  if (module != NULL)
    last_error_ = ERROR_INVALID_HANDLE;
  else
    copied = CopyCut(internal::WideOf(module_file_name_, NULL), file_name,
                     size, &last_error_);
  log_.push_back("GetModuleFileNameW(" +
                 std::string(module ? "module" : "NULL") + ", " +
                 std::to_string(size) + ") = " + std::to_string(copied));
  return copied;
}

BOOL Win32::TerminateProcess(HANDLE process, UINT exit_code) {
  BOOL done = FALSE;
  OpenHandle* open = Find(process, "process");
  const int id = open == NULL ? 0 : objects_[open->object_name].process_id;
  if (process == INVALID_HANDLE_VALUE) {
    // Ending this very process is not part of the fake.
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (open == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if ((open->access & PROCESS_TERMINATE) == 0) {
    last_error_ = ERROR_ACCESS_DENIED;
  } else if (!ProcessRunning(id)) {
    last_error_ = ERROR_ACCESS_DENIED;  // it has ended already
  } else {
    EndProcess(id);
    processes_[id].exit_code = exit_code;
    done = TRUE;
  }
  log_.push_back("TerminateProcess(" + Label(process) + ", " +
                 std::to_string(exit_code) + ") = " + Bool(done));
  return done;
}

HANDLE Win32::GetCurrentProcess() {
  log_.push_back("GetCurrentProcess() = INVALID_HANDLE_VALUE");
  return INVALID_HANDLE_VALUE;  // the pseudo handle, whose value this is
}

// --- shell32 ---------------------------------------------------------------------

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
  start.current_directory =
      info->lpDirectory != NULL ? FromAnsi(info->lpDirectory)
                                : current_directory_;
  // The prompt: an administrator's own full token, or (for a standard
  // user) the token of the administrator who typed a password.
  start.account = account_;
  if (start.verb == "runas") {
    if (account_ == Account::kAdminUnelevated)
      start.account = Account::kAdminElevated;
    else if (account_ == Account::kStandardUser)
      start.account = Account::kOtherAdminElevated;
    else if (account_ == Account::kOtherAdminUnelevated)
      start.account = Account::kOtherAdminElevated;
  }
  // A program Windows starts elevated gets its environment from the user's
  // profile, not from its parent.
  start.environment =
      start.account != account_ ? profile_environment_ : environment_;

  BOOL done = FALSE;
  HANDLE process = NULL;
  DWORD program_error = 0;
  if (info->cbSize != sizeof(*info)) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (missing_programs_.count(FromAnsi(start.file))) {
    last_error_ = ERROR_FILE_NOT_FOUND;
  } else if ((program_error = ProgramCheck(FromAnsi(start.file))) != 0) {
    last_error_ = program_error;
  } else if (start.verb == "runas" && elevation_declined_) {
    last_error_ = ERROR_CANCELLED;
  } else if (shell_starts_no_process_) {
    // Handed to a program that already ran: nothing started here.
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS)
      info->hProcess = NULL;
    info->hInstApp = reinterpret_cast<HINSTANCE>(33);
    done = TRUE;
  } else {
    // The shell closes the thread's handle itself, and the process's too
    // unless the caller asked for it.
    int id = 0;
    process = StartProcess(/*thread=*/NULL, start.CommandLine(),
                           FromAnsi(start.file),
                           start.account, start.environment,
                           start.current_directory, &id);
    start.process_id = id;
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS) {
      info->hProcess = process;
    } else {
      const std::string object_name = handles_[process].object_name;
      handles_.erase(process);
      Release(object_name);
      process = NULL;
    }
    info->hInstApp = reinterpret_cast<HINSTANCE>(33);
    done = TRUE;
  }
  start.created = done;
  shell_starts_.push_back(start);
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
BOOL WINAPI CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes,
                           BOOL inherit_handles, DWORD creation_flags,
                           LPVOID environment, LPCWSTR current_directory,
                           LPSTARTUPINFOW startup_info,
                           LPPROCESS_INFORMATION process_information) {
  return fake::Platform().CreateProcessW(
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
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  return fake::Platform().GetModuleFileNameW(module, file_name, size);
}
HMODULE WINAPI LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
  return fake::Platform().LoadLibraryExA(name, file, flags);
}
BOOL WINAPI FreeLibrary(HMODULE module) {
  return fake::Platform().FreeLibrary(module);
}
HANDLE WINAPI GetCurrentProcess(void) {
  return fake::Platform().GetCurrentProcess();
}
BOOL WINAPI TerminateProcess(HANDLE process, UINT exit_code) {
  return fake::Platform().TerminateProcess(process, exit_code);
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
