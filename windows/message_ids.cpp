// The message compiler derives the event codes from severity, customer flag and facility in
// xrusb.mc; the driver writes its own constants. The two must name the same entries.
#include "platform/platform.h"
#include "xrusb_messages.h"

constexpr ULONG kTableInfo = ULONG(EVENT_MSG_INFO);
constexpr ULONG kTableWarning = ULONG(EVENT_MSG_WARNING);
constexpr ULONG kTableError = ULONG(EVENT_MSG_ERROR);
#undef EVENT_MSG_INFO
#undef EVENT_MSG_WARNING
#undef EVENT_MSG_ERROR

#include "driver/core/event_log.h"

static_assert(kTableInfo == 0x60070001u && kTableInfo == ULONG(EVENT_MSG_INFO), "EVENT_MSG_INFO");
static_assert(kTableWarning == 0xA0070002u && kTableWarning == ULONG(EVENT_MSG_WARNING), "EVENT_MSG_WARNING");
static_assert(kTableError == 0xE0070003u && kTableError == ULONG(EVENT_MSG_ERROR), "EVENT_MSG_ERROR");
