// Counted strings, GUID text and the system version.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "version.h"

namespace {

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

bool Append(PUNICODE_STRING d, const WCHAR *src, size_t bytes) {
  if (size_t(d->Length) + bytes > d->MaximumLength) return false;
  memmove(reinterpret_cast<char *>(d->Buffer) + d->Length, src, bytes);
  d->Length = USHORT(d->Length + bytes);
  if (d->Length + sizeof(WCHAR) <= d->MaximumLength) d->Buffer[d->Length / 2] = 0;
  return true;
}

int HexValue(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool ParseHex(const WCHAR *s, int digits, uint64_t &out) {
  out = 0;
  for (int i = 0; i < digits; ++i) {
    int v = HexValue(s[i]);
    if (v < 0) return false;
    out = out << 4 | unsigned(v);
  }
  return true;
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString) {
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  if (SourceString) {
    size_t n = strlen(SourceString);
    if (n > 0xFFFE) n = 0xFFFE;
    DestinationString->Length = USHORT(n);
    DestinationString->MaximumLength = USHORT(n + 1);
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = reinterpret_cast<PCHAR>(const_cast<char *>(SourceString));
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  return Append(Destination, Source, WideLength(Source) * sizeof(WCHAR)) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (!Source->Length) return STATUS_SUCCESS;
  return Append(Destination, Source->Buffer, Source->Length) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    return;
  }
  USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                      : DestinationString->MaximumLength;
  memmove(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = n;
  if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / 2] = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  int n = 0;
  do {
    unsigned d = Value % Base;
    digits[n++] = char(d < 10 ? '0' + d : 'A' + d - 10);
    Value /= Base;
  } while (Value);
  // Like the ANSI conversion it is built on: room for the terminator is required.
  if (size_t(n) * sizeof(WCHAR) >= String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = WCHAR(digits[n - 1 - i]);
  String->Buffer[n] = 0;
  String->Length = USHORT(n * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePoolWithTag(UnicodeString->Buffer, 0);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, const ANSI_STRING *SourceString,
                                      BOOLEAN AllocateDestinationString) {
  size_t bytes = size_t(SourceString->Length) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
  // As the system does: the length is set before the room is checked.
  DestinationString->Length = USHORT(bytes);
  if (AllocateDestinationString) {
    DestinationString->Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x6E747355 /* Ustn */));
    if (!DestinationString->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
  } else if (DestinationString->Length >= DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < SourceString->Length; ++i)
    DestinationString->Buffer[i] = WCHAR(static_cast<unsigned char>(SourceString->Buffer[i]));  // Latin-1
  if (DestinationString->Length + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[SourceString->Length] = 0;
  return STATUS_SUCCESS;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  for (USHORT i = 0; i < String1->Length / 2; ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      if (a >= u'a' && a <= u'z') a = WCHAR(a - 32);
      if (b >= u'a' && b <= u'z') b = WCHAR(b - 32);
    }
    if (a != b) return FALSE;
  }
  return TRUE;
}

// The braced registry form: {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}.
NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID *Guid) {
  if (!GuidString || !GuidString->Buffer || GuidString->Length != 38 * sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  const WCHAR *s = GuidString->Buffer;
  if (s[0] != u'{' || s[9] != u'-' || s[14] != u'-' || s[19] != u'-' || s[24] != u'-' || s[37] != u'}')
    return STATUS_INVALID_PARAMETER;
  uint64_t a, b, c, d, e;
  if (!ParseHex(s + 1, 8, a) || !ParseHex(s + 10, 4, b) || !ParseHex(s + 15, 4, c) || !ParseHex(s + 20, 4, d) ||
      !ParseHex(s + 25, 12, e))
    return STATUS_INVALID_PARAMETER;
  Guid->Data1 = ULONG(a);
  Guid->Data2 = USHORT(b);
  Guid->Data3 = USHORT(c);
  Guid->Data4[0] = UCHAR(d >> 8);
  Guid->Data4[1] = UCHAR(d);
  for (int i = 0; i < 6; ++i) Guid->Data4[2 + i] = UCHAR(e >> (8 * (5 - i)));
  return STATUS_SUCCESS;
}

NTSTATUS RtlStringFromGUID(const GUID *Guid, PUNICODE_STRING GuidString) {
  char text[39];
  snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid->Data1, Guid->Data2,
           Guid->Data3, Guid->Data4[0], Guid->Data4[1], Guid->Data4[2], Guid->Data4[3], Guid->Data4[4], Guid->Data4[5],
           Guid->Data4[6], Guid->Data4[7]);
  auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 39 * sizeof(WCHAR), 0x6E747355));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  for (int i = 0; i < 39; ++i) buffer[i] = WCHAR(text[i]);
  GuidString->Buffer = buffer;
  GuidString->Length = 38 * sizeof(WCHAR);
  GuidString->MaximumLength = 39 * sizeof(WCHAR);
  return STATUS_SUCCESS;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
  if (lpVersionInformation->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW) &&
      lpVersionInformation->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW) + 8)
    return STATUS_INVALID_PARAMETER;
  sim::OsVersionSetting v = sim::GetOsVersion();
  if (v.fail) return STATUS_UNSUCCESSFUL;
  lpVersionInformation->dwMajorVersion = v.major;
  lpVersionInformation->dwMinorVersion = v.minor;
  lpVersionInformation->dwBuildNumber = v.build;
  lpVersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
  return STATUS_SUCCESS;
}

}  // extern "C"
