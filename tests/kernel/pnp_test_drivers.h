// Drivers for the Plug and Play and power manager tests: a small bus driver whose physical
// device objects answer as a bus would (named, so that applications can open them), and a
// function driver that passes everything down but, as the power policy owner, turns each system
// power request into a device power request.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/devices.h"
#include "tests/support/dispatch_stack.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/power.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/world.h"

namespace pnptest {

using support::Complete;

// What the bus saw of one request when it arrived.
struct Seen {
  UCHAR major = 0, minor = 0;
  bool systemThread = false;
  KIRQL irql = 0;
  PIRP irp = nullptr;
  std::string power;  // "query S4", "set D3", "wait-wake S3"
  POWER_ACTION action = PowerActionNone;
};

class Log {
 public:
  void Add(PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    Seen seen{s->MajorFunction, s->MinorFunction, sim::CurrentThread()->systemThread, KeGetCurrentIrql(), irp};
    auto number = [](int state) { return std::to_string(state - 1); };
    if (s->MajorFunction == IRP_MJ_POWER && s->MinorFunction == IRP_MN_WAIT_WAKE) {
      seen.power = "wait-wake S" + number(s->Parameters.WaitWake.PowerState);
    } else if (s->MajorFunction == IRP_MJ_POWER) {
      seen.power = s->MinorFunction == IRP_MN_SET_POWER ? "set " : "query ";
      seen.power += s->Parameters.Power.Type == SystemPowerState ? "S" + number(s->Parameters.Power.State.SystemState)
                                                                  : "D" + number(s->Parameters.Power.State.DeviceState);
      seen.action = s->Parameters.Power.ShutdownType;
    }
    std::lock_guard<std::mutex> guard(m_);
    seen_.push_back(seen);
  }
  std::vector<Seen> All() {
    std::lock_guard<std::mutex> guard(m_);
    return seen_;
  }
  std::vector<UCHAR> Pnp() {
    std::vector<UCHAR> minors;
    for (auto &s : All())
      if (s.major == IRP_MJ_PNP) minors.push_back(s.minor);
    return minors;
  }
  std::vector<std::string> Power() {
    std::vector<std::string> texts;
    for (auto &s : All())
      if (s.major == IRP_MJ_POWER) texts.push_back(s.power);
    return texts;
  }

 private:
  std::mutex m_;
  std::vector<Seen> seen_;
};

// ---- The bus: one physical device object per simulated device.

struct Pdo {
  PDEVICE_OBJECT self = nullptr;
  std::u16string link;  // "\\.\PnpTest<n>" opens it
  Log log;
  NTSTATUS startStatus = STATUS_SUCCESS;
  NTSTATUS systemQueryStatus = STATUS_SUCCESS;
  bool vetoQueryRemove = false, vetoQueryStop = false;
  DEVICE_CAPABILITIES received{};        // as the capability query arrived
  std::optional<ULONG_PTR> deviceState;  // answer to the device-state query, none: not handled
  support::Holder waitWakes;
  std::mutex m;
  int opens = 0, opensAtRemove = -1;
};

// Completes without touching the status, as a driver does with a request it does not handle.
inline NTSTATUS Untouched(PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS PdoDispatch(PDEVICE_OBJECT d, PIRP irp) {
  Pdo *p = *static_cast<Pdo **>(d->DeviceExtension);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (s->MajorFunction == IRP_MJ_CREATE || s->MajorFunction == IRP_MJ_CLOSE) {
    std::lock_guard<std::mutex> guard(p->m);
    p->opens += s->MajorFunction == IRP_MJ_CREATE ? 1 : -1;
  }
  if (s->MajorFunction != IRP_MJ_PNP && s->MajorFunction != IRP_MJ_POWER) return Complete(irp, STATUS_SUCCESS);
  p->log.Add(irp);
  if (s->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    if (s->MinorFunction == IRP_MN_WAIT_WAKE) return p->waitWakes.Pend(irp);
    bool systemQuery = s->MinorFunction == IRP_MN_QUERY_POWER && s->Parameters.Power.Type == SystemPowerState;
    return Complete(irp, systemQuery ? p->systemQueryStatus : STATUS_SUCCESS);
  }
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Complete(irp, p->startStatus);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES c = s->Parameters.DeviceCapabilities.Capabilities;
      p->received = *c;
      c->Address = 3;
      for (int i = PowerSystemSleeping1; i <= PowerSystemShutdown; ++i) c->DeviceState[i] = PowerDeviceD3;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      return p->deviceState ? Complete(irp, STATUS_SUCCESS, *p->deviceState) : Untouched(irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return Complete(irp, p->vetoQueryRemove ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
      return Complete(irp, p->vetoQueryStop ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      if (s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        std::lock_guard<std::mutex> guard(p->m);
        p->opensAtRemove = p->opens;
      }
      // A device that is gone cannot wake anything.
      while (p->waitWakes.CompleteNext(STATUS_NO_SUCH_DEVICE)) {
      }
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Untouched(irp);
  }
}

inline NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto &f : driver->MajorFunction) f = PdoDispatch;
  return STATUS_SUCCESS;
}

class Bus {
 public:
  Bus() { driver_ = sim::LoadDriver(BusEntry, u"pnptestbus"); }
  ~Bus() {
    // Every stack is taken down, and the managers' threads finish, before the PDOs go.
    for (auto &p : pdos_) sim::pnp::Unplug(p->self);
    sim::pnp::Settle();
    sim::power::Settle();
    for (auto &p : pdos_) {
      while (p->waitWakes.CompleteNext(STATUS_NO_SUCH_DEVICE)) {
      }
      if (p->self->AttachedDevice) IoDetachDevice(p->self);
      IoDeleteDevice(p->self);
    }
  }
  Pdo &Add() {
    pdos_.push_back(std::make_unique<Pdo>());
    Pdo &p = *pdos_.back();
    std::u16string n = sim::ToU16(std::to_string(pdos_.size()).c_str());
    std::u16string name = u"\\Device\\PnpTest" + n, link = u"\\DosDevices\\PnpTest" + n;
    UNICODE_STRING uname{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
    UNICODE_STRING ulink{USHORT(link.size() * 2), USHORT(link.size() * 2), link.data()};
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(Pdo *), &uname, FILE_DEVICE_UNKNOWN, 0, FALSE, &p.self));
    EXPECT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&ulink, &uname));
    p.self->Flags = (p.self->Flags & ~DO_DEVICE_INITIALIZING) | DO_POWER_PAGABLE;
    *static_cast<Pdo **>(p.self->DeviceExtension) = &p;
    p.link = u"\\\\.\\PnpTest" + n;
    return p;
  }

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<Pdo>> pdos_;
};

// ---- The function driver.

inline NTSTATUS g_addStatus = STATUS_SUCCESS;

// The device power request asked for on behalf of a system request is done: so is the system request.
inline VOID DeviceRequestDone(PDEVICE_OBJECT, UCHAR minor, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
  auto systemIrp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(systemIrp);
  if (minor == IRP_MN_QUERY_POWER) systemIrp->IoStatus.Status = iosb->Status;
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

inline NTSTATUS SystemRequestBack(PDEVICE_OBJECT fdo, PIRP irp, PVOID) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  POWER_STATE d;
  d.DeviceState = s->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
  if (NT_SUCCESS(irp->IoStatus.Status) &&
      PoRequestPowerIrp(support::LowerOf(fdo), s->MinorFunction, d, DeviceRequestDone, irp, nullptr) == STATUS_PENDING)
    return STATUS_MORE_PROCESSING_REQUIRED;
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

inline NTSTATUS FunctionPower(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER) {
    if (s->Parameters.Power.Type == SystemPowerState) {
      IoMarkIrpPending(irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, SystemRequestBack, nullptr, TRUE, TRUE, TRUE);
      PoCallDriver(support::LowerOf(fdo), irp);
      return STATUS_PENDING;
    }
    if (s->MinorFunction == IRP_MN_SET_POWER) PoSetPowerState(fdo, DevicePowerState, s->Parameters.Power.State);
  }
  return support::PassDownDispatch(fdo, irp);
}

inline NTSTATUS FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return NT_SUCCESS(g_addStatus) ? support::PassDownAddDevice(driver, pdo) : g_addStatus;
}

inline NTSTATUS FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  support::PassDownEntry(driver, path);
  driver->DriverExtension->AddDevice = FunctionAddDevice;
  driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
  return STATUS_SUCCESS;
}

class PnpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    g_addStatus = STATUS_SUCCESS;
  }
  // Plugs a new device of the bus under the function driver; expects it to start.
  Pdo &PlugStarted() {
    Pdo &p = bus_.Add();
    sim::pnp::PlugResult r = sim::pnp::Plug(p.self, fn_);
    EXPECT_EQ(STATUS_SUCCESS, r.addDevice);
    EXPECT_EQ(STATUS_SUCCESS, r.start);
    return p;
  }
  sim::World world_;
  PDRIVER_OBJECT fn_ = sim::LoadDriver(FunctionEntry, u"pnptestfn");
  Bus bus_;
};

}  // namespace pnptest
