// The fake's environment and events: environment variables with their size
// protocol, named events shared between processes (with the access the
// DACL they were created with gives, or their creator's default DACL),
// and handles duplicated into another process.
#include <string.h>

#include "fake_internal.h"
#include "fake_win32.h"

namespace fake {

using internal::Bool;
using internal::HexNumber;
using internal::Quote;

namespace {

const GENERIC_MAPPING kEventMapping = {
    STANDARD_RIGHTS_READ | EVENT_QUERY_STATE,
    STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
    STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS};

// Names without a namespace live in the session's own ("Local\"). Object
// names, unlike paths, are compared with case.
std::string ObjectName(const std::string& name) {
  const std::string local = "Local\\";
  return name.compare(0, local.size(), local) == 0 ? name.substr(local.size())
                                                   : name;
}

}  // namespace

// --- Environment ---------------------------------------------------------------

DWORD Win32::GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  DWORD result = 0;
  auto variable = name == NULL ? environment_.end() : environment_.find(name);
  if (name == NULL) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (variable == environment_.end()) {
    last_error_ = ERROR_ENVVAR_NOT_FOUND;
  } else if (variable->second.empty()) {
    // Set but empty: 0, and the last error is left as it was, so only a
    // caller that cleared it first can tell this from a missing variable.
    result = 0;
  } else if (size > variable->second.size() && buffer != NULL) {
    memcpy(buffer, variable->second.c_str(), variable->second.size() + 1);
    result = static_cast<DWORD>(variable->second.size());
  } else {
    // Too small: the size it needs, NUL included; what the buffer holds
    // then is not promised.
    if (buffer != NULL && size > 0)
      memset(buffer, 0xA5, size);
    result = static_cast<DWORD>(variable->second.size() + 1);
  }
  log_.push_back("GetEnvironmentVariableA(" + Quote(name) + ", " +
                 std::to_string(size) + ") = " + std::to_string(result));
  return result;
}

BOOL Win32::SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
  DWORD error = 0;
  if (name == NULL || name[0] == '\0' || strchr(name + 1, '=') != NULL) {
    error = ERROR_INVALID_PARAMETER;
  } else if (value == NULL) {
    if (environment_.erase(name) == 0)
      error = ERROR_ENVVAR_NOT_FOUND;
  } else {
    environment_[name] = value;
  }
  if (error != 0)
    last_error_ = error;
  log_.push_back("SetEnvironmentVariableA(" + Quote(name) + ", " +
                 Quote(value) + ") = " + Bool(error == 0));
  return error == 0;
}

LPWSTR Win32::GetEnvironmentStringsW() {
  // The block as the process holds it: sorted by name, each "name=value"
  // ended by a NUL, the block by one more.
  std::basic_string<WCHAR> block;
  for (const auto& variable : environment_) {
    for (char c : variable.first + "=" + variable.second)
      block.push_back(internal::Widen(static_cast<unsigned char>(c)));
    block.push_back(0);
  }
  if (block.empty())
    block.push_back(0);
  block.push_back(0);
  const std::string bytes(reinterpret_cast<const char*>(block.data()),
                          block.size() * sizeof(WCHAR));
  LPWSTR result = static_cast<LPWSTR>(
      AllocateLocal(bytes, "environment block", "environment"));
  log_.push_back("GetEnvironmentStringsW() = " + Label(result));
  return result;
}

BOOL Win32::FreeEnvironmentStringsW(LPWSTR block) {
  OpenHandle* open = block == NULL ? NULL : Find(block, "environment");
  BOOL freed = FALSE;
  if (open == NULL) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else {
    const std::string name = open->object_name;
    log_.push_back("FreeEnvironmentStringsW(" + Label(block) + ")");
    handles_.erase(block);
    Release(name);
    local_memory_.erase(block);  // freed: a later read shows
    return TRUE;
  }
  log_.push_back("FreeEnvironmentStringsW(" + Label(block) + ") = FALSE");
  return freed;
}

// --- Events ---------------------------------------------------------------------

bool Win32::MayOpenEvent(const Object& event, DWORD access) const {
  const DWORD wanted = internal::MapGeneric(access, kEventMapping);
  return wanted != 0 &&
         internal::Evaluate(TokenOf(account_), event.owner,
                            event.dacl_present, event.dacl, wanted,
                            kEventMapping) == wanted;
}

void Win32::SquatEvent(const std::string& name, const std::string& sddl) {
  internal::Descriptor parsed;
  DWORD error = 0;
  internal::ParseSddl(sddl, &parsed, &error);
  Object event;
  event.kind = "event";
  event.references = 1;
  event.foreign = true;
  event.manual_reset = true;
  event.owner = parsed.owner.empty() ? kMySid : parsed.owner;
  event.dacl_present = !parsed.dacl_null;
  event.dacl = parsed.dacl;
  objects_[ObjectName(name)] = event;
}

std::string Win32::EventSecurityOf(const std::string& name) const {
  auto event = objects_.find(ObjectName(name));
  if (event == objects_.end() || event->second.kind != "event")
    return "";
  internal::Descriptor descriptor;
  descriptor.owner = event->second.owner;
  descriptor.dacl_present = event->second.dacl_present;
  descriptor.dacl_null = !event->second.dacl_present;
  descriptor.dacl = event->second.dacl;
  return internal::DescriptorString(descriptor);
}

HANDLE Win32::CreateEventA(LPSECURITY_ATTRIBUTES attributes,
                           BOOL manual_reset, BOOL initial_state,
                           LPCSTR name) {
  HANDLE handle = NULL;
  const std::string key =
      name == NULL ? NewObjectName("event") : ObjectName(name);
  auto existing = objects_.find(key);
  const Token token = TokenOf(account_);
  internal::Descriptor given;
  std::string sddl;
  const void* descriptor =
      attributes == NULL ? NULL : attributes->lpSecurityDescriptor;
  if (descriptor != NULL) {
    auto known = sddl_of_descriptor_.find(const_cast<void*>(descriptor));
    sddl = known == sddl_of_descriptor_.end() ? "<not from a string>"
                                              : known->second;
  }
  if (name != NULL && strlen(name) >= MAX_PATH) {
    last_error_ = ERROR_FILENAME_EXCED_RANGE;
  } else if (attributes != NULL &&
             attributes->nLength != sizeof(SECURITY_ATTRIBUTES)) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (descriptor != NULL &&
             !internal::DecodeDescriptor(descriptor, &given)) {
    last_error_ = ERROR_INVALID_SECURITY_DESCR;
  } else if (!given.owner.empty() && given.owner != token.default_owner &&
             !token.enabled.count(given.owner)) {
    last_error_ = ERROR_INVALID_OWNER;
  } else if (existing != objects_.end() && existing->second.kind != "event") {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (existing != objects_.end() &&
             !MayOpenEvent(existing->second, EVENT_ALL_ACCESS)) {
    // An existing one is opened for all access, as its DACL allows.
    last_error_ = ERROR_ACCESS_DENIED;
  } else if (existing != objects_.end()) {
    // Someone made it first: this is theirs, as they set it up; the
    // descriptor given is not used.
    handle = Issue("event", key, EVENT_ALL_ACCESS);
    last_error_ = ERROR_ALREADY_EXISTS;
  } else {
    Object& event = objects_[key];
    event.kind = "event";
    event.manual_reset = manual_reset != FALSE;
    event.signaled = initial_state != FALSE;
    event.owner = given.owner.empty() ? token.default_owner : given.owner;
    if (given.dacl_present || given.dacl_null) {
      event.dacl_present = !given.dacl_null;
      event.dacl = given.dacl;
    } else {
      // The creator's default DACL: its default owner (the user, or
      // Administrators for an elevated creator) and SYSTEM.
      event.dacl = {Ace{true, 0, GENERIC_ALL, token.default_owner},
                    Ace{true, 0, GENERIC_ALL, kSystemSid}};
    }
    handle = Issue("event", key, EVENT_ALL_ACCESS);
    last_error_ = 0;
  }
  log_.push_back("CreateEventA(" +
                 std::string(attributes == NULL ? "NULL"
                             : sddl.empty()     ? "attrs"
                                                : "\"" + sddl + "\"") +
                 ", " + Bool(manual_reset) + ", " + Bool(initial_state) +
                 ", " + Quote(name) + ") = " + Label(handle));
  return handle;
}

HANDLE Win32::OpenEventA(DWORD access, BOOL inherit, LPCSTR name) {
  HANDLE handle = NULL;
  auto existing =
      name == NULL ? objects_.end() : objects_.find(ObjectName(name));
  if (name == NULL) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if (existing == objects_.end()) {
    last_error_ = ERROR_FILE_NOT_FOUND;
  } else if (existing->second.kind != "event") {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (!MayOpenEvent(existing->second, access)) {
    last_error_ = ERROR_ACCESS_DENIED;
  } else {
    // The handle carries exactly the access asked for.
    handle = Issue("event", existing->first,
                   internal::MapGeneric(access, kEventMapping));
  }
  log_.push_back("OpenEventA(" + HexNumber(access) + ", " + Bool(inherit) +
                 ", " + Quote(name) + ") = " + Label(handle));
  return handle;
}

BOOL Win32::SetEvent(HANDLE event) {
  BOOL done = FALSE;
  OpenHandle* open = Find(event, "event");
  if (open == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if ((open->access & EVENT_MODIFY_STATE) == 0) {
    last_error_ = ERROR_ACCESS_DENIED;
  } else {
    objects_[open->object_name].signaled = true;
    done = TRUE;
  }
  log_.push_back("SetEvent(" + Label(event) + ") = " + Bool(done));
  return done;
}

BOOL Win32::DuplicateHandle(HANDLE source_process, HANDLE source,
                            HANDLE target_process, LPHANDLE target,
                            DWORD access, BOOL inherit, DWORD options) {
  BOOL done = FALSE;
  OpenHandle* open = Find(source, "");
  OpenHandle* process = target_process == INVALID_HANDLE_VALUE
                            ? NULL
                            : Find(target_process, "process");
  Process* into =
      process == NULL
          ? NULL
          : &processes_[objects_[process->object_name].process_id];
  static const char* const kKernelKinds[] = {"mutex", "event",  "process",
                                             "thread", "file", "token"};
  bool kernel = false;
  if (open != NULL && !open->object_name.empty()) {
    for (const char* kind : kKernelKinds)
      kernel |= objects_[open->object_name].kind == kind;
  }
  if (source_process != INVALID_HANDLE_VALUE || !kernel) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (target_process != INVALID_HANDLE_VALUE && process == NULL) {
    last_error_ = ERROR_INVALID_HANDLE;
  } else if (process != NULL && (process->access & PROCESS_DUP_HANDLE) == 0) {
    last_error_ = ERROR_ACCESS_DENIED;
  } else if (into != NULL && !into->running) {
    last_error_ = ERROR_ACCESS_DENIED;  // that process has ended
  } else {
    const std::string object_name = open->object_name;
    const DWORD granted =
        (options & DUPLICATE_SAME_ACCESS) ? open->access : access;
    HANDLE duplicate;
    if (into == NULL) {
      duplicate = Issue(labels_[source].substr(
                            0, labels_[source].find_first_of("0123456789")),
                        object_name, granted);
    } else {
      // A handle in the other process: it keeps the object alive there,
      // and its value means nothing here.
      ++objects_[object_name].references;
      into->held.push_back(object_name);
      duplicate = reinterpret_cast<HANDLE>(next_handle_);
      next_handle_ += 4;
      labels_[duplicate] = "<handle in process " + std::to_string(into->id) +
                           ">";
    }
    if (target != NULL)
      *target = duplicate;
    if (options & DUPLICATE_CLOSE_SOURCE) {
      handles_.erase(source);
      Release(object_name);
    }
    done = TRUE;
  }
  log_.push_back("DuplicateHandle(" + Label(source_process) + ", " +
                 Label(source) + ", " + Label(target_process) + ", " +
                 HexNumber(access) + ", " + Bool(inherit) + ", " +
                 HexNumber(options) + ") = " + Bool(done));
  return done;
}

}  // namespace fake

extern "C" {

LPWSTR WINAPI GetEnvironmentStringsW(void) {
  return fake::Platform().GetEnvironmentStringsW();
}
BOOL WINAPI FreeEnvironmentStringsW(LPWSTR block) {
  return fake::Platform().FreeEnvironmentStringsW(block);
}
DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  return fake::Platform().GetEnvironmentVariableA(name, buffer, size);
}
BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
  return fake::Platform().SetEnvironmentVariableA(name, value);
}
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes,
                           BOOL manual_reset, BOOL initial_state,
                           LPCSTR name) {
  return fake::Platform().CreateEventA(attributes, manual_reset,
                                       initial_state, name);
}
HANDLE WINAPI OpenEventA(DWORD access, BOOL inherit, LPCSTR name) {
  return fake::Platform().OpenEventA(access, inherit, name);
}
BOOL WINAPI SetEvent(HANDLE event) { return fake::Platform().SetEvent(event); }
BOOL WINAPI DuplicateHandle(HANDLE source_process, HANDLE source,
                            HANDLE target_process, LPHANDLE target,
                            DWORD access, BOOL inherit, DWORD options) {
  return fake::Platform().DuplicateHandle(source_process, source,
                                          target_process, target, access,
                                          inherit, options);
}

}  // extern "C"
