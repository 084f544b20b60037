// Stand-in for <aclapi.h> (and the part of <accctrl.h> it needs) on the
// host: an object's security read through its handle. Defined by the fake.
#ifndef UPDATER_TESTS_UNIT_WIN32_ACLAPI_H_
#define UPDATER_TESTS_UNIT_WIN32_ACLAPI_H_

#include <windows.h>

typedef enum _SE_OBJECT_TYPE {
  SE_UNKNOWN_OBJECT_TYPE = 0,
  SE_FILE_OBJECT,
  SE_SERVICE,
  SE_PRINTER,
  SE_REGISTRY_KEY,
  SE_LMSHARE,
  SE_KERNEL_OBJECT,
  SE_WINDOW_OBJECT,
  SE_DS_OBJECT,
  SE_DS_OBJECT_ALL,
  SE_PROVIDER_DEFINED_OBJECT,
  SE_WMIGUID_OBJECT,
  SE_REGISTRY_WOW64_32KEY
} SE_OBJECT_TYPE;

extern "C" {

DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType,
                             SECURITY_INFORMATION SecurityInfo,
                             PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl,
                             PACL* ppSacl,
                             PSECURITY_DESCRIPTOR* ppSecurityDescriptor);

}  // extern "C"

#endif  // UPDATER_TESTS_UNIT_WIN32_ACLAPI_H_
