// Sizes of the structures that cross to the bus driver, the kernel or applications.
// Compiled in both builds: on Windows they check the DDK's headers, on the host ours.
#pragma once

static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "RTL_OSVERSIONINFOW");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "IO_ERROR_LOG_PACKET");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40, "IO_ERROR_LOG_PACKET.DumpData");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "KEY_VALUE_PARTIAL_INFORMATION");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "KEY_VALUE_PARTIAL_INFORMATION.Data");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES");
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING");
static_assert(sizeof(WCHAR) == 2, "WCHAR");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LLP64 long");
