// Runtime library: counted strings, GUIDs, version.
#pragma once
#include "nt_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _OSVERSIONINFOW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, const ANSI_STRING *SourceString,
                                      BOOLEAN AllocateDestinationString);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID *Guid);
NTSTATUS RtlStringFromGUID(const GUID *Guid, PUNICODE_STRING GuidString);

#ifdef __cplusplus
}
#endif
