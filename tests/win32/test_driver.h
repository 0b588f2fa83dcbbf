// A small driver for the application-side tests: it records what each request looks like
// from inside the driver, answers control codes as the test asks, and keeps some requests
// pending until the test completes them (cancellable meanwhile).
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
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

namespace testdrv {

constexpr ULONG kType = 0x8123;
// Input: [0..4) Information to return, [4..8) status to complete with; the driver fills the
// output with 0xA0 + i.
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
  bool hasMdl = false;
  ULONG mdlBytes = 0;
  bool mdlWrite = false;
  void *mdlVa = nullptr;
  std::vector<uint8_t> mdlData;  // what the device read through the MDL
  void *userBuffer = nullptr, *type3 = nullptr;
  KPROCESSOR_MODE mode = KernelMode;
  PEPROCESS process = nullptr;
  PFILE_OBJECT file = nullptr;
  std::u16string fileName;
};

struct State {
  std::mutex lock;
  std::vector<std::string> log;  // "create", "cleanup", "close", "read", ... in order
  std::vector<Seen> seen;
  NTSTATUS createStatus = STATUS_SUCCESS;
  std::deque<PIRP> pending;  // guarded by the cancel spin lock
  std::atomic<int> completedByDriver{0}, cancelled{0};
};
inline State *g_state = nullptr;

inline void Record(const Seen &s, const char *what) {
  std::lock_guard<std::mutex> guard(g_state->lock);
  g_state->seen.push_back(s);
  g_state->log.push_back(what);
}

inline std::vector<std::string> Log() {
  std::lock_guard<std::mutex> guard(g_state->lock);
  return g_state->log;
}

inline Seen LastSeen() {
  std::lock_guard<std::mutex> guard(g_state->lock);
  return g_state->seen.back();
}

inline Seen Observe(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  Seen seen;
  seen.major = s->MajorFunction;
  seen.mode = irp->RequestorMode;
  seen.process = IoGetCurrentProcess();
  seen.file = s->FileObject;
  seen.userBuffer = irp->UserBuffer;
  seen.hasSystemBuffer = irp->AssociatedIrp.SystemBuffer != nullptr;
  seen.systemBufferBytes = sim::PoolUsage(sim::MakeTag("IoSb")).bytesOutstanding;
  if (irp->MdlAddress) {
    seen.hasMdl = true;
    seen.mdlBytes = MmGetMdlByteCount(irp->MdlAddress);
    seen.mdlWrite = (irp->MdlAddress->MdlFlags & MDL_WRITE_OPERATION) != 0;
    seen.mdlVa = MmGetMdlVirtualAddress(irp->MdlAddress);
  }
  if (s->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    seen.code = s->Parameters.DeviceIoControl.IoControlCode;
    seen.inLength = s->Parameters.DeviceIoControl.InputBufferLength;
    seen.outLength = s->Parameters.DeviceIoControl.OutputBufferLength;
    seen.type3 = s->Parameters.DeviceIoControl.Type3InputBuffer;
    if (seen.hasSystemBuffer) {
      auto *p = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
      seen.systemInput.assign(p, p + seen.inLength);
    }
  }
  if (s->MajorFunction == IRP_MJ_READ || s->MajorFunction == IRP_MJ_WRITE) seen.length = s->Parameters.Read.Length;
  if (s->FileObject) seen.fileName = sim::FromUnicodeString(&s->FileObject->FileName);
  return seen;
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ++g_state->completedByDriver;
  return status;
}

inline VOID CancelPending(PDEVICE_OBJECT, PIRP irp) {
  std::erase(g_state->pending, irp);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  ++g_state->cancelled;
  Complete(irp, STATUS_CANCELLED, 0);
}

inline NTSTATUS Pend(PIRP irp) {
  IoMarkIrpPending(irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    ++g_state->cancelled;
    Complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(irp, CancelPending);
  g_state->pending.push_back(irp);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// Completes the oldest pending request unless its cancellation has begun; true when it did.
inline bool CompletePending(NTSTATUS status, ULONG_PTR information) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (g_state->pending.empty()) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  PIRP irp = g_state->pending.front();
  if (!IoSetCancelRoutine(irp, nullptr)) {  // the cancel routine owns it
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  g_state->pending.pop_front();
  IoReleaseCancelSpinLock(irql);
  Complete(irp, status, information);
  return true;
}

inline size_t PendingCount() {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  size_t n = g_state->pending.size();
  IoReleaseCancelSpinLock(irql);
  return n;
}

inline NTSTATUS DispatchCreate(PDEVICE_OBJECT, PIRP irp) {
  Record(Observe(irp), "create");
  return Complete(irp, g_state->createStatus, 0);
}
inline NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp) {
  Record(Observe(irp), "cleanup");
  return Complete(irp, STATUS_SUCCESS, 0);
}
inline NTSTATUS DispatchClose(PDEVICE_OBJECT, PIRP irp) {
  Record(Observe(irp), "close");
  return Complete(irp, STATUS_SUCCESS, 0);
}

inline NTSTATUS DispatchRead(PDEVICE_OBJECT, PIRP irp) {
  Seen seen = Observe(irp);
  Record(seen, "read");
  if (irp->MdlAddress) {
    auto *p = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    for (ULONG i = 0; i < seen.mdlBytes; ++i) p[i] = uint8_t(i * 3);
  }
  return Complete(irp, STATUS_SUCCESS, seen.length);
}

inline NTSTATUS DispatchWrite(PDEVICE_OBJECT, PIRP irp) {
  Seen seen = Observe(irp);
  if (irp->MdlAddress) {
    auto *p = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    seen.mdlData.assign(p, p + seen.mdlBytes);
  }
  Record(seen, "write");
  return Complete(irp, STATUS_SUCCESS, seen.length);
}

inline NTSTATUS DispatchControl(PDEVICE_OBJECT, PIRP irp) {
  Seen seen = Observe(irp);
  void *sys = irp->AssociatedIrp.SystemBuffer;
  ULONG info = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (seen.inLength >= 8 && sys) {
    memcpy(&info, sys, 4);
    memcpy(&status, static_cast<char *>(sys) + 4, 4);
  }
  switch (seen.code) {
    case kPend:
      Record(seen, "pend");
      return Pend(irp);
    case kInDirect:
    case kOutDirect:
      if (irp->MdlAddress) {
        auto *p = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        if (seen.code == kInDirect)
          seen.mdlData.assign(p, p + seen.mdlBytes);
        else
          for (ULONG i = 0; i < seen.mdlBytes; ++i) p[i] = uint8_t(0xB0 + i);
      }
      Record(seen, "ioctl");
      return Complete(irp, status, info);
    default:
      if (sys)
        for (ULONG i = 0; i < seen.outLength; ++i) static_cast<uint8_t *>(sys)[i] = uint8_t(0xA0 + i);
      Record(seen, "ioctl");
      return Complete(irp, status, info);
  }
}

// Without a write routine: writes must fail before reaching the driver.
inline NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  return STATUS_SUCCESS;
}
inline NTSTATUS DriverEntryWithWrite(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  DriverEntry(driver, path);
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  return STATUS_SUCCESS;
}

// A world with one device: a bus PDO and the test driver's device above it, named
// "\Device\XrTest0" with the link "\DosDevices\XrTest0" and an enabled interface of kClass.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { Build(DriverEntry); }

  void Build(PDRIVER_INITIALIZE entry, ULONG fdoFlags = DO_DIRECT_IO) {
    g_state = &state_;
    bus_ = sim::LoadDriver(support::EmptyEntry, u"testbus");
    driver_ = sim::LoadDriver(entry, u"xrtest");
    pdo_ = support::CreateDevice(bus_);
    sim::PoolOwnerScope owner(pdo_);
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\XrTest0");
    RtlInitUnicodeString(&link, u"\\DosDevices\\XrTest0");
    ASSERT_EQ(IoCreateDevice(driver_, 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_), STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo_, pdo_), pdo_);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, nullptr, &interface_), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&interface_, TRUE), STATUS_SUCCESS);
    fdo_->Flags |= fdoFlags;
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  void TearDown() override {
    sim::DrainWorkItems();
    EXPECT_EQ(simwin::OpenHandleCount(), 0u);
    sim::PoolOwnerScope owner(pdo_);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\XrTest0");
    IoSetDeviceInterfaceState(&interface_, FALSE);
    RtlFreeUnicodeString(&interface_);
    IoDeleteSymbolicLink(&link);
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
  UNICODE_STRING interface_{};
};

}  // namespace testdrv
