// Entries the driver writes to the system event log.
#include <string>

#include "driver/core/event_log.h"
#include "driver_fixture.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/faults.h"

namespace {

uint16_t U16(const std::vector<uint8_t> &raw, size_t at) { return uint16_t(raw[at] | raw[at + 1] << 8); }
uint32_t U32(const std::vector<uint8_t> &raw, size_t at) {
  return raw[at] | raw[at + 1] << 8 | raw[at + 2] << 16 | uint32_t(raw[at + 3]) << 24;
}

TEST(EventLog, PacketLayout) {
  xrtest::DriverWorld w;
  PDRIVER_OBJECT driver = w.Load();
  const char *message = "Cannot convert user interface GUID string, invalid format.";
  ASSERT_EQ(strlen(message), 58u);
  WriteEventLog(driver, EVENT_MSG_WARNING, message);
  auto log = sim::EventLog();
  ASSERT_EQ(log.size(), 1u);
  const sim::LoggedEvent &e = log[0];
  EXPECT_EQ(e.entrySize, 166u);  // 48 + 116 + 2
  EXPECT_EQ(e.ioObject, driver);
  EXPECT_EQ(e.messageId, 0xA0070002u);
  EXPECT_EQ(e.finalStatus, 0xA0070002u);
  EXPECT_EQ(e.uniqueErrorValue, 0xEBEBEBEBu);
  EXPECT_EQ(e.stringOffset, 40u);
  EXPECT_EQ(e.dumpDataSize, 0u);
  ASSERT_EQ(e.strings.size(), 1u);
  EXPECT_EQ(sim::Narrow(e.strings[0]), message);
  // Everything the packet does not use is zero: function, retries, category, sequence, control
  // code, offset, and the terminator after the text.
  EXPECT_EQ(e.raw[0], 0);
  EXPECT_EQ(e.raw[1], 0);
  EXPECT_EQ(U16(e.raw, 4), 1u);  // NumberOfStrings
  EXPECT_EQ(U16(e.raw, 8), 0u);  // EventCategory
  EXPECT_EQ(U32(e.raw, 24), 0u);
  EXPECT_EQ(U32(e.raw, 28), 0u);
  EXPECT_EQ(U32(e.raw, 32) | U32(e.raw, 36), 0u);
  EXPECT_EQ(U16(e.raw, 164), 0u);

  for (NTSTATUS id : {EVENT_MSG_INFO, EVENT_MSG_ERROR}) WriteEventLog(driver, id, "x");
  log = sim::EventLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].messageId, 0x60070001u);
  EXPECT_EQ(log[2].messageId, 0xE0070003u);
  EXPECT_EQ(log[2].entrySize, 52u);
}

TEST(EventLog, ALongMessageIsCutNotOverrun) {
  xrtest::DriverWorld w;
  PDRIVER_OBJECT driver = w.Load();
  std::string longMessage(300, 'm');
  longMessage[94] = 'E';  // the last character kept
  WriteEventLog(driver, EVENT_MSG_ERROR, longMessage.c_str());
  auto log = sim::EventLog();
  ASSERT_EQ(log.size(), 1u);
  ASSERT_EQ(log[0].strings.size(), 1u);
  EXPECT_EQ(log[0].strings[0].size(), size_t(EVENT_LOG_MAX_CHARS));
  EXPECT_EQ(log[0].strings[0].back(), u'E');
  EXPECT_EQ(log[0].entrySize, 48u + 2u * EVENT_LOG_MAX_CHARS + 2u);
}

TEST(EventLog, AnEntryThatCannotBeAllocatedIsLostQuietly) {
  xrtest::DriverWorld w;
  PDRIVER_OBJECT driver = w.Load();
  sim::FailNth(sim::AllocKind::ErrorLog, 1);
  WriteEventLog(driver, EVENT_MSG_ERROR, "Unable to create device object.");
  EXPECT_TRUE(sim::EventLog().empty());
  // The caller goes on as if it had been written: the next one arrives.
  WriteEventLog(driver, EVENT_MSG_ERROR, "Unable to create device object.");
  EXPECT_EQ(sim::EventLog().size(), 1u);
  // Reading the parameters of a device whose key cannot be opened fails the same way, logged or not.
  sim::registry::FailOpen(w.key, STATUS_ACCESS_DENIED);
  sim::FailNth(sim::AllocKind::ErrorLog, 1);
  EXPECT_EQ(driver->DriverExtension->AddDevice(driver, w.pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(sim::EventLog().size(), 1u);
}

}  // namespace
