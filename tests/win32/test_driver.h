// A small driver for the application-side tests: it records what each request looks like
// from inside the driver, answers control codes as the test asks, and keeps kPend requests
// pending until the test completes them (cancellable meanwhile).
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/objects.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/work_items.h"
#include "sim/kernel/world.h"
#include "sim/win32/win32.h"
#include "tests/support/devices.h"
#include "tests/support/dispatch_stack.h"

namespace testdrv {

constexpr ULONG kType = 0x8123;
// Input: [0..4) Information to return, [4..8) status to complete with; the driver fills the
// output with 0xA0 + i (buffered), reads it (IN_DIRECT) or fills it with 0xB0 + i (OUT_DIRECT).
constexpr ULONG kEcho = CTL_CODE(kType, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kInDirect = CTL_CODE(kType, 0x801, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kOutDirect = CTL_CODE(kType, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kPend = CTL_CODE(kType, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeedsWrite = CTL_CODE(kType, 0x804, METHOD_BUFFERED, 2 /* FILE_WRITE_ACCESS */);

const GUID kClass = {0x5e1f0a2b, 0x7c3d, 0x4e8f, {0x90, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07}};

struct Seen {
  UCHAR major = 0;
  ULONG code = 0, inLength = 0, outLength = 0, length = 0;
  std::vector<uint8_t> systemInput;  // the first inLength bytes of SystemBuffer
  bool hasSystemBuffer = false;
  uint64_t systemBufferBytes = 0;  // pool bytes of the I/O manager's buffer tag while dispatched
  bool hasMdl = false, mdlWrite = false;
  ULONG mdlBytes = 0;
  void *mdlVa = nullptr;
  std::vector<uint8_t> mdlData;  // what the device read through the MDL
  PEPROCESS process = nullptr;
  PFILE_OBJECT file = nullptr;
};

struct State {
  std::mutex lock;
  std::vector<std::string> log;  // "create", "cleanup", "close", "read", ... in order
  std::vector<Seen> seen;
  NTSTATUS createStatus = STATUS_SUCCESS;
  support::Holder pending;
};
inline State *g_state = nullptr;

inline std::vector<std::string> Log() {
  std::lock_guard<std::mutex> guard(g_state->lock);
  return g_state->log;
}
inline Seen LastSeen() {
  std::lock_guard<std::mutex> guard(g_state->lock);
  return g_state->seen.back();
}
// Completes the oldest pending request unless its cancellation has begun; true when it did.
inline bool CompletePending(NTSTATUS status, ULONG_PTR information) {
  return g_state->pending.CompleteNext(status, information);
}
inline size_t PendingCount() { return g_state->pending.Count(); }

inline NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  auto *sys = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
  Seen seen;
  seen.major = s->MajorFunction;
  seen.process = IoGetCurrentProcess();
  seen.file = s->FileObject;
  seen.hasSystemBuffer = sys != nullptr;
  seen.systemBufferBytes = sim::PoolUsage(sim::MakeTag("IoSb")).bytesOutstanding;
  uint8_t *mdl = nullptr;
  if (irp->MdlAddress) {
    seen.hasMdl = true;
    seen.mdlBytes = MmGetMdlByteCount(irp->MdlAddress);
    seen.mdlWrite = (irp->MdlAddress->MdlFlags & MDL_WRITE_OPERATION) != 0;
    seen.mdlVa = MmGetMdlVirtualAddress(irp->MdlAddress);
    mdl = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
  }
  const char *what = "ioctl";
  NTSTATUS status = STATUS_SUCCESS;
  ULONG info = 0;
  switch (s->MajorFunction) {
    case IRP_MJ_CREATE:
      what = "create";
      status = g_state->createStatus;
      break;
    case IRP_MJ_CLEANUP:
      what = "cleanup";
      break;
    case IRP_MJ_CLOSE:
      what = "close";
      break;
    case IRP_MJ_READ:
      what = "read";
      seen.length = info = s->Parameters.Read.Length;
      for (ULONG i = 0; i < seen.mdlBytes; ++i) mdl[i] = uint8_t(i * 3);
      break;
    case IRP_MJ_WRITE:
      what = "write";
      seen.length = info = s->Parameters.Write.Length;
      if (mdl) seen.mdlData.assign(mdl, mdl + seen.mdlBytes);
      break;
    case IRP_MJ_DEVICE_CONTROL:
      seen.code = s->Parameters.DeviceIoControl.IoControlCode;
      seen.inLength = s->Parameters.DeviceIoControl.InputBufferLength;
      seen.outLength = s->Parameters.DeviceIoControl.OutputBufferLength;
      if (sys) seen.systemInput.assign(sys, sys + seen.inLength);
      if (seen.inLength >= 8 && sys) {
        memcpy(&info, sys, 4);
        memcpy(&status, sys + 4, 4);
      }
      if (seen.code == kInDirect && mdl) {
        seen.mdlData.assign(mdl, mdl + seen.mdlBytes);
      } else if (seen.code == kOutDirect) {
        for (ULONG i = 0; i < seen.mdlBytes; ++i) mdl[i] = uint8_t(0xB0 + i);
      } else if (sys) {
        for (ULONG i = 0; i < seen.outLength; ++i) sys[i] = uint8_t(0xA0 + i);
      }
      if (seen.code == kPend) what = "pend";
      break;
  }
  {
    std::lock_guard<std::mutex> guard(g_state->lock);
    g_state->seen.push_back(seen);
    g_state->log.push_back(what);
  }
  if (seen.code == kPend) return g_state->pending.Pend(irp);
  return support::Complete(irp, status, info);
}

// Without a write routine: writes must fail before reaching the driver.
inline NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL})
    driver->MajorFunction[major] = Dispatch;
  return STATUS_SUCCESS;
}
inline NTSTATUS DriverEntryWithWrite(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  driver->MajorFunction[IRP_MJ_WRITE] = Dispatch;
  return DriverEntry(driver, path);
}

inline UNICODE_STRING U(const char16_t *s) {
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, s);
  return us;
}

// A world with one device: a bus PDO and the test driver's device above it, named
// "\Device\XrTest0" with the link "\DosDevices\XrTest0" and an enabled interface of kClass.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { Build(DriverEntry); }

  void Build(PDRIVER_INITIALIZE entry) {
    g_state = &state_;
    bus_ = sim::LoadDriver(support::EmptyEntry, u"testbus");
    driver_ = sim::LoadDriver(entry, u"xrtest");
    pdo_ = support::CreateDevice(bus_);
    sim::PoolOwnerScope owner(pdo_);
    ASSERT_EQ(IoCreateDevice(driver_, 16, &name_, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_), STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo_, pdo_), pdo_);
    ASSERT_EQ(IoCreateSymbolicLink(&link_, &name_), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, nullptr, &interface_), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&interface_, TRUE), STATUS_SUCCESS);
    fdo_->Flags = (fdo_->Flags & ~DO_DEVICE_INITIALIZING) | DO_DIRECT_IO;
  }

  void TearDown() override {
    sim::DrainWorkItems();
    EXPECT_EQ(simwin::OpenHandleCount(), 0u);
    sim::PoolOwnerScope owner(pdo_);
    IoSetDeviceInterfaceState(&interface_, FALSE);
    RtlFreeUnicodeString(&interface_);
    IoDeleteSymbolicLink(&link_);
    IoDetachDevice(pdo_);
    IoDeleteDevice(fdo_);
    IoDeleteDevice(pdo_);
    sim::UnloadDriver(driver_);
    sim::UnloadDriver(bus_);
    g_state = nullptr;
  }

  HANDLE Open(DWORD flags = 0, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return simwin::CreateFileW(u"\\\\.\\XrTest0", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               flags, nullptr);
  }

  sim::World world_;
  State state_;
  PDRIVER_OBJECT bus_ = nullptr, driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr, fdo_ = nullptr;
  UNICODE_STRING name_ = U(u"\\Device\\XrTest0"), link_ = U(u"\\DosDevices\\XrTest0"), interface_{};
};

}  // namespace testdrv
