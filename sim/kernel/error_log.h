// Event-log entries the driver wrote, decoded.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

// The largest entry IoAllocateErrorLogEntry hands out.
constexpr unsigned kErrorLogMaximumSize = 240;

struct LoggedEvent {
  PVOID ioObject = nullptr;
  unsigned entrySize = 0;
  uint32_t messageId = 0;  // ErrorCode
  uint32_t finalStatus = 0;
  uint32_t uniqueErrorValue = 0;
  unsigned dumpDataSize = 0;
  unsigned stringOffset = 0;
  std::vector<std::u16string> strings;
  std::vector<uint8_t> raw;  // the whole packet as written
};

std::vector<LoggedEvent> EventLog();
void ClearEventLog();
// Entries allocated but neither written nor freed.
size_t ErrorLogEntriesPending();
std::string Narrow(const std::u16string &s);

}  // namespace sim
