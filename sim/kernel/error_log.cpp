#include "error_log.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "faults.h"
#include "verifier.h"

namespace sim {
namespace {

std::mutex g_lock;
std::vector<LoggedEvent> g_log;
std::map<void *, std::pair<PVOID, unsigned>> g_pending;  // entry -> (object, size)

}  // namespace

std::vector<LoggedEvent> EventLog() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_log;
}

void ClearEventLog() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_log.clear();
  for (auto &[p, info] : g_pending) free(p);
  g_pending.clear();
}

size_t ErrorLogEntriesPending() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_pending.size();
}

std::string Narrow(const std::u16string &s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? char(c) : '?';
  return out;
}

}  // namespace sim

extern "C" {

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) sim::VerifierFail(sim::check::kIrqlMisuse, "IoAllocateErrorLogEntry");
  if (!IoObject) sim::VerifierFail(sim::check::kBadObject, "IoAllocateErrorLogEntry without an I/O object");
  if (EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > sim::kErrorLogMaximumSize) return nullptr;
  if (sim::ShouldFail(sim::AllocKind::ErrorLog, __builtin_return_address(0))) return nullptr;
  void *p = malloc(EntrySize);
  memset(p, 0xCC, EntrySize);  // not zeroed: the caller must fill every field
  std::lock_guard<std::mutex> guard(sim::g_lock);
  sim::g_pending[p] = {IoObject, EntrySize};
  return p;
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) sim::VerifierFail(sim::check::kIrqlMisuse, "IoWriteErrorLogEntry");
  std::lock_guard<std::mutex> guard(sim::g_lock);
  auto it = sim::g_pending.find(ElEntry);
  if (it == sim::g_pending.end())
    sim::VerifierFail(sim::check::kBadObject, "IoWriteErrorLogEntry on %p, which is not an allocated entry", ElEntry);
  auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(ElEntry);
  const unsigned size = it->second.second;
  sim::LoggedEvent e;
  e.ioObject = it->second.first;
  e.entrySize = size;
  e.messageId = uint32_t(packet->ErrorCode);
  e.finalStatus = uint32_t(packet->FinalStatus);
  e.uniqueErrorValue = packet->UniqueErrorValue;
  e.dumpDataSize = packet->DumpDataSize;
  e.stringOffset = packet->StringOffset;
  e.raw.assign(static_cast<uint8_t *>(ElEntry), static_cast<uint8_t *>(ElEntry) + size);
  // The event log reads the strings from the packet; one that runs past its end is a fault.
  unsigned offset = packet->StringOffset;
  for (unsigned i = 0; i < packet->NumberOfStrings; ++i) {
    std::u16string s;
    for (;;) {
      if (offset + 2 > size)
        sim::VerifierFail(sim::check::kBadObject, "error-log string %u runs past the %u-byte entry", i, size);
      char16_t c;
      memcpy(&c, e.raw.data() + offset, 2);
      offset += 2;
      if (!c) break;
      s += c;
    }
    e.strings.push_back(s);
  }
  sim::g_log.push_back(std::move(e));
  free(ElEntry);
  sim::g_pending.erase(it);
}

}  // extern "C"
