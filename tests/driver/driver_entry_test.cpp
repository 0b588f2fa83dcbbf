// The driver's entry: the pass-through of what it does not own, the requests it does not handle,
// the pool type it picks, the wait its mutexes are taken with, and its event-log entries.
#include <atomic>
#include <thread>

#include "driver/core/event_log.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/pool_tags.h"
#include "driver_fixture.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/version.h"
#include "tests/support/await.h"

namespace {

// A device below the driver that completes whatever reaches it with a status of its own.
struct LowerDevice {
  static inline std::atomic<int> calls{0};
  static inline IO_STACK_LOCATION seen{};
  static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    seen = *IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Status = NTSTATUS(0xC0000295);  // STATUS_WMI_GUID_NOT_FOUND
    irp->IoStatus.Information = 7;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return NTSTATUS(0xC0000295);
  }
  static NTSTATUS Entry(PDRIVER_OBJECT d, PUNICODE_STRING) {
    d->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Dispatch;
    d->MajorFunction[IRP_MJ_SHUTDOWN] = Dispatch;
    return STATUS_SUCCESS;
  }
};

TEST(DriverEntry, SystemControlGoesDownUnchangedAndUnhandledRequestsNeverArrive) {
  LowerDevice::calls = 0;
  xrtest::DriverWorld w;
  PDRIVER_OBJECT d = w.Load();
  PDRIVER_OBJECT lowerDriver = sim::LoadDriver(LowerDevice::Entry, u"\\Driver\\lower");
  PDEVICE_OBJECT lower = nullptr, fdo = nullptr;
  ASSERT_EQ(IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(d, sizeof(DeviceExtension), nullptr, 0x8094, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo),
            STATUS_SUCCESS);
  auto *dx = static_cast<DeviceExtension *>(fdo->DeviceExtension);
  dx->lowerDevice = IoAttachDeviceToDeviceStack(fdo, lower);
  ASSERT_EQ(dx->lowerDevice, lower);
  dx->pnpState = PNP_STOPPED;
  DeviceExtension before = *dx;

  ULONG_PTR information = 0;
  NTSTATUS status = sim::SendIrpAndWait(
      fdo,
      [](PIRP, PIO_STACK_LOCATION first) {
        first->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        first->MinorFunction = 0x0B;
        first->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1111);
        first->Parameters.Others.Argument4 = reinterpret_cast<PVOID>(0x4444);
      },
      &information);
  EXPECT_EQ(status, NTSTATUS(0xC0000295));
  EXPECT_EQ(information, 7u);
  EXPECT_EQ(LowerDevice::calls, 1);
  EXPECT_EQ(LowerDevice::seen.MinorFunction, 0x0B);
  EXPECT_EQ(LowerDevice::seen.Parameters.Others.Argument1, reinterpret_cast<PVOID>(0x1111));
  EXPECT_EQ(LowerDevice::seen.Parameters.Others.Argument4, reinterpret_cast<PVOID>(0x4444));
  EXPECT_EQ(memcmp(&before, dx, sizeof before), 0);

  // Major functions the driver does not handle fail without reaching it or the device below;
  // control codes from kernel callers are not the applications' codes.
  for (UCHAR major : {IRP_MJ_SHUTDOWN, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
    status = sim::SendIrpAndWait(fdo, [&](PIRP, PIO_STACK_LOCATION first) { first->MajorFunction = major; });
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST) << int(major);
  }
  EXPECT_EQ(LowerDevice::calls, 1);

  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  IoDeleteDevice(lower);
  sim::UnloadDriver(lowerDriver);
}

// The pool type follows the system version: no-execute pool from 6.2 on.
TEST(DriverEntry, PoolTypeFollowsTheSystemVersion) {
  struct Case {
    uint32_t major, minor;
    bool fail;
    int poolType;
  };
  for (Case c : {Case{6, 1, false, NonPagedPool}, Case{6, 2, false, NonPagedPoolNx}, Case{10, 0, false, NonPagedPoolNx},
                 Case{5, 2, false, NonPagedPool}, Case{10, 0, true, NonPagedPool}}) {
    xrtest::DriverWorld w;
    sim::SetOsVersion(c.major, c.minor);
    if (c.fail) sim::FailGetVersion();
    w.Load();
    void *p = AllocateNonPaged(16, TAG_OPEN_HANDLE);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sim::PoolUsage(TAG_OPEN_HANDLE).lastPoolType, c.poolType) << c.major << "." << c.minor;
    ExFreePoolWithTag(p, 0);
    // The registry strings take the same road.
    sim::registry::SetString(w.key, u"FxFwFile", u"a.hex");
    xrtest::ReadBlock r(w);
    EXPECT_EQ(sim::PoolUsage(TAG_REGISTRY_STRING).lastPoolType, c.poolType);
  }
}

// The wait gives up its slices, never the object: a time-out is not a grant.
TEST(KernelUtils, WaitForObjectReturnsOnlyWithTheObject) {
  xrtest::DriverWorld w({sim::ClockMode::Manual});
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    held = true;
    KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex, FALSE);
  });
  ASSERT_TRUE(support::AwaitUntil([&] { return held.load(); }));
  std::thread waiter([&] {
    WaitForObject(&mutex, Executive);
    done = true;
    KeReleaseMutex(&mutex, FALSE);
  });
  for (uint64_t slice = 1; slice <= 3; ++slice) {
    sim::AwaitTimedWaitsStarted(slice);
    sim::AdvanceMs(1000);
  }
  sim::AwaitTimedWaitsStarted(4);
  EXPECT_FALSE(done);
  KeSetEvent(&release, 0, FALSE);
  waiter.join();
  holder.join();
  EXPECT_TRUE(done);
}

uint16_t U16(const std::vector<uint8_t> &raw, size_t at) { return uint16_t(raw[at] | raw[at + 1] << 8); }
uint32_t U32(const std::vector<uint8_t> &raw, size_t at) {
  return raw[at] | raw[at + 1] << 8 | raw[at + 2] << 16 | uint32_t(raw[at + 3]) << 24;
}

TEST(EventLog, PacketLayoutLongMessagesAndLostEntries) {
  xrtest::DriverWorld w;
  PDRIVER_OBJECT driver = w.Load();
  const char *message = "Cannot convert user interface GUID string, invalid format.";  // 58 characters
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
  // Everything the packet does not use is zero.
  EXPECT_EQ(U16(e.raw, 0), 0u);  // function, retries
  EXPECT_EQ(U16(e.raw, 4), 1u);  // one string
  EXPECT_EQ(U16(e.raw, 8), 0u);  // category
  EXPECT_EQ(U32(e.raw, 24) | U32(e.raw, 28) | U32(e.raw, 32) | U32(e.raw, 36), 0u);  // sequence, code, offset
  EXPECT_EQ(U16(e.raw, 164), 0u) << "the text's terminator";

  for (NTSTATUS id : {EVENT_MSG_INFO, EVENT_MSG_ERROR}) WriteEventLog(driver, id, "x");
  log = sim::EventLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].messageId, 0x60070001u);
  EXPECT_EQ(log[2].messageId, 0xE0070003u);
  EXPECT_EQ(log[2].entrySize, 52u);

  // A message longer than an entry holds is cut, not overrun; an entry that cannot be had is
  // lost quietly and the next one still arrives.
  sim::ClearEventLog();
  std::string longMessage(300, 'm');
  longMessage[94] = 'E';  // the last character kept
  WriteEventLog(driver, EVENT_MSG_ERROR, longMessage.c_str());
  sim::FailNth(sim::AllocKind::ErrorLog, 1);
  WriteEventLog(driver, EVENT_MSG_ERROR, "lost");
  WriteEventLog(driver, EVENT_MSG_ERROR, "kept");
  log = sim::EventLog();
  ASSERT_EQ(log.size(), 2u);
  ASSERT_EQ(log[0].strings.size(), 1u);
  EXPECT_EQ(log[0].strings[0].size(), size_t(EVENT_LOG_MAX_CHARS));
  EXPECT_EQ(log[0].strings[0].back(), u'E');
  EXPECT_EQ(log[0].entrySize, 48u + 2u * EVENT_LOG_MAX_CHARS + 2u);
  EXPECT_EQ(log[1].strings, std::vector<std::u16string>{u"kept"});
}

}  // namespace
