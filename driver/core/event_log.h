// Faults an administrator must see go to the system event log as one English sentence.
#pragma once
#include "platform/platform.h"

// Message identifiers of the image's message table; each text is "%2" alone.
constexpr NTSTATUS EVENT_MSG_INFO = NTSTATUS(0x60070001L);
constexpr NTSTATUS EVENT_MSG_WARNING = NTSTATUS(0xA0070002L);
constexpr NTSTATUS EVENT_MSG_ERROR = NTSTATUS(0xE0070003L);

// Longest message kept; longer ones are cut so the text and the entry stay within their limits.
constexpr USHORT EVENT_LOG_MAX_CHARS = 95;

// ioObject: the driver object while a device is being added, the device object afterwards.
// Never fails its caller: an entry that cannot be made is lost.
VOID WriteEventLog(PVOID ioObject, NTSTATUS messageId, const char *message);
