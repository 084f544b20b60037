// Stand-in for <sddl.h> on the host: a security descriptor from its string
// form, and a SID to its string form. Defined by the fake.
#ifndef UPDATER_TESTS_UNIT_WIN32_SDDL_H_
#define UPDATER_TESTS_UNIT_WIN32_SDDL_H_

#include <windows.h>

#define SDDL_REVISION_1 1
#define SDDL_REVISION SDDL_REVISION_1

extern "C" {

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(
    LPCSTR StringSecurityDescriptor, DWORD StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorSize);
BOOL WINAPI ConvertSidToStringSidA(PSID Sid, LPSTR* StringSid);

}  // extern "C"

#endif  // UPDATER_TESTS_UNIT_WIN32_SDDL_H_
