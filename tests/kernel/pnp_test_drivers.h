// Drivers for the Plug and Play and power manager tests: a small bus driver whose physical
// device objects answer as a bus would, and a small function driver that attaches to them,
// vetoes on request, opens through a symbolic link, and turns system power requests into
// device power requests as a power policy owner does.
#pragma once
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
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

// What a driver saw of one request when it arrived.
struct Seen {
  UCHAR major = 0, minor = 0;
  NTSTATUS initialStatus = 0;
  bool systemThread = false;
  KIRQL irql = 0;
  POWER_STATE_TYPE type = SystemPowerState;
  POWER_STATE state{};
  POWER_ACTION action = PowerActionNone;
  ULONG systemContext = 0;
  PIRP irp = nullptr;
};

inline Seen Observe(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  Seen seen;
  seen.major = s->MajorFunction;
  seen.minor = s->MinorFunction;
  seen.initialStatus = irp->IoStatus.Status;
  seen.systemThread = sim::CurrentThread()->systemThread;
  seen.irql = KeGetCurrentIrql();
  seen.irp = irp;
  if (s->MajorFunction == IRP_MJ_POWER) {
    if (s->MinorFunction == IRP_MN_WAIT_WAKE) {
      seen.state.SystemState = s->Parameters.WaitWake.PowerState;
    } else {
      seen.type = s->Parameters.Power.Type;
      seen.state = s->Parameters.Power.State;
      seen.action = s->Parameters.Power.ShutdownType;
      seen.systemContext = s->Parameters.Power.SystemContext;
    }
  }
  return seen;
}

// "query S4", "set D3", "wait-wake S3".
inline std::string PowerText(const Seen &s) {
  if (s.minor == IRP_MN_WAIT_WAKE) return "wait-wake S" + std::to_string(int(s.state.SystemState) - 1);
  std::string what = s.minor == IRP_MN_SET_POWER ? "set " : s.minor == IRP_MN_QUERY_POWER ? "query " : "other ";
  if (s.type == SystemPowerState) return what + "S" + std::to_string(int(s.state.SystemState) - 1);
  return what + "D" + std::to_string(int(s.state.DeviceState) - 1);
}

class Log {
 public:
  void Add(const Seen &s) {
    std::lock_guard<std::mutex> guard(m_);
    seen_.push_back(s);
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
      if (s.major == IRP_MJ_POWER) texts.push_back(PowerText(s));
    return texts;
  }

 private:
  std::mutex m_;
  std::vector<Seen> seen_;
};

// ---- The bus: one physical device object per simulated device.

struct Pdo {
  PDEVICE_OBJECT self = nullptr;
  Log log;
  NTSTATUS startStatus = STATUS_SUCCESS;
  NTSTATUS systemQueryStatus = STATUS_SUCCESS;
  DEVICE_CAPABILITIES received{};  // as the capability query arrived
  std::optional<ULONG_PTR> deviceState;  // answer to the device-state query, none: not handled
  support::Holder waitWakes;
};

inline Pdo *PdoOf(PDEVICE_OBJECT d) { return *static_cast<Pdo **>(d->DeviceExtension); }

inline NTSTATUS PdoDispatch(PDEVICE_OBJECT d, PIRP irp) {
  Pdo *p = PdoOf(d);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (s->MajorFunction == IRP_MJ_POWER) {
    p->log.Add(Observe(irp));
    PoStartNextPowerIrp(irp);
    if (s->MinorFunction == IRP_MN_WAIT_WAKE) return p->waitWakes.Hold()(d, irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (s->MinorFunction == IRP_MN_QUERY_POWER && s->Parameters.Power.Type == SystemPowerState)
      status = p->systemQueryStatus;
    return support::Complete(irp, status);
  }
  if (s->MajorFunction != IRP_MJ_PNP) return support::Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  p->log.Add(Observe(irp));
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return support::Complete(irp, p->startStatus);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES c = s->Parameters.DeviceCapabilities.Capabilities;
      p->received = *c;
      c->Removable = 1;
      c->Address = 3;
      c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int i = PowerSystemSleeping1; i <= PowerSystemShutdown; ++i) c->DeviceState[i] = PowerDeviceD3;
      c->SystemWake = PowerSystemSleeping3;
      c->DeviceWake = PowerDeviceD3;
      return support::Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      if (!p->deviceState) {
        NTSTATUS untouched = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return untouched;
      }
      return support::Complete(irp, STATUS_SUCCESS, *p->deviceState);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      // A device that is gone cannot wake anything.
      while (p->waitWakes.CompleteNext(STATUS_NO_SUCH_DEVICE)) {
      }
      return support::Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      return support::Complete(irp, STATUS_SUCCESS);
    default: {
      NTSTATUS untouched = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return untouched;
    }
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
    // Removals still waiting, and the power manager's threads, finish before the PDOs go.
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
    auto p = std::make_unique<Pdo>();
    p->self = support::CreateDevice(driver_, sizeof(Pdo *), DO_POWER_PAGABLE);
    *static_cast<Pdo **>(p->self->DeviceExtension) = p.get();
    pdos_.push_back(std::move(p));
    return *pdos_.back();
  }

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<Pdo>> pdos_;
};

// ---- The function driver.

struct FunctionOptions {
  NTSTATUS addStatus = STATUS_SUCCESS;
  bool vetoQueryRemove = false;
  bool vetoQueryStop = false;
};

// What the device power request's completion function was told.
struct Callback {
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0;
  POWER_STATE state{};
  NTSTATUS status = 0;
};

struct Fdo {
  PDEVICE_OBJECT self = nullptr, lower = nullptr, pdo = nullptr;
  FunctionOptions options;
  Log log;
  int number = 0;
  std::mutex m;
  std::condition_variable cv;
  int inFlight = 0;  // requests between dispatch and completion: the removal waits for them
  bool removed = false;
  int opens = 0;
  int opensAtRemove = -1;
  bool removeFromSystemThread = false;
  std::vector<Callback> callbacks;
  std::vector<DEVICE_POWER_STATE> oldDeclared;  // what PoSetPowerState returned

  bool Acquire() {
    std::lock_guard<std::mutex> guard(m);
    if (removed) return false;
    ++inFlight;
    return true;
  }
  void Release() {
    std::lock_guard<std::mutex> guard(m);
    if (--inFlight == 0) cv.notify_all();
  }
  void ReleaseAndWait() {
    std::unique_lock<std::mutex> lock(m);
    removed = true;
    cv.wait(lock, [&] { return inFlight == 0; });
  }
  std::vector<Callback> Callbacks() {
    std::lock_guard<std::mutex> guard(m);
    return callbacks;
  }
};

class Function;
inline Function *g_function = nullptr;

class Function {
 public:
  explicit Function(const char16_t *name = u"pnptestfn") {
    g_function = this;
    driver_ = sim::LoadDriver(Entry, name);
  }
  ~Function() { g_function = nullptr; }
  PDRIVER_OBJECT Driver() const { return driver_; }
  FunctionOptions options;

  // The function device attached to 'pdo' (also after its removal: the record stays).
  Fdo *ForPdo(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(m_);
    auto it = byPdo_.find(pdo);
    return it == byPdo_.end() ? nullptr : it->second;
  }
  static Fdo *ForDevice(PDEVICE_OBJECT d) {
    std::lock_guard<std::mutex> guard(g_function->m_);
    return g_function->byDevice_.at(d);
  }
  static std::u16string LinkName(int number) { return u"\\\\.\\PnpTest" + sim::ToU16(std::to_string(number).c_str()); }

 private:
  static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddDevice;
    for (auto &f : driver->MajorFunction) f = Other;
    driver->MajorFunction[IRP_MJ_CREATE] = Create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Other;
    driver->MajorFunction[IRP_MJ_CLOSE] = Close;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    return STATUS_SUCCESS;
  }

  static std::u16string Name(const char *prefix, int n) { return sim::ToU16((prefix + std::to_string(n)).c_str()); }

  static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Function *fn = g_function;
    if (!NT_SUCCESS(fn->options.addStatus)) return fn->options.addStatus;
    auto f = std::make_unique<Fdo>();
    f->options = fn->options;
    f->pdo = pdo;
    f->number = fn->next_++;
    std::u16string name = Name("\\Device\\PnpTest", f->number), link = Name("\\DosDevices\\PnpTest", f->number);
    UNICODE_STRING uname{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
    UNICODE_STRING ulink{USHORT(link.size() * 2), USHORT(link.size() * 2), link.data()};
    PDEVICE_OBJECT d = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(void *), &uname, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&ulink, &uname);
    if (!NT_SUCCESS(status)) {
      IoDeleteDevice(d);
      return status;
    }
    f->self = d;
    f->lower = IoAttachDeviceToDeviceStack(d, pdo);
    d->Flags = (d->Flags & ~DO_DEVICE_INITIALIZING) | DO_POWER_PAGABLE;
    std::lock_guard<std::mutex> guard(fn->m_);
    fn->byDevice_[d] = f.get();
    fn->byPdo_[pdo] = f.get();
    fn->all_.push_back(std::move(f));
    return STATUS_SUCCESS;
  }

  static NTSTATUS Create(PDEVICE_OBJECT d, PIRP irp) {
    Fdo *f = ForDevice(d);
    {
      std::lock_guard<std::mutex> guard(f->m);
      ++f->opens;
    }
    return support::Complete(irp, STATUS_SUCCESS);
  }
  static NTSTATUS Close(PDEVICE_OBJECT d, PIRP irp) {
    Fdo *f = ForDevice(d);
    {
      std::lock_guard<std::mutex> guard(f->m);
      --f->opens;
    }
    return support::Complete(irp, STATUS_SUCCESS);
  }
  static NTSTATUS Other(PDEVICE_OBJECT, PIRP irp) { return support::Complete(irp, STATUS_SUCCESS); }

  static NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  static NTSTATUS ForwardAndWait(Fdo *f, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Signal, &event, TRUE, TRUE, TRUE);
    IoCallDriver(f->lower, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
  }
  static NTSTATUS PassDown(Fdo *f, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(f->lower, irp);
  }

  static NTSTATUS DispatchPnp(PDEVICE_OBJECT d, PIRP irp) {
    Fdo *f = ForDevice(d);
    f->log.Add(Observe(irp));
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
      case IRP_MN_START_DEVICE:
        return support::Complete(irp, ForwardAndWait(f, irp));
      case IRP_MN_QUERY_REMOVE_DEVICE:
        if (f->options.vetoQueryRemove) return support::Complete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(f, irp);
      case IRP_MN_QUERY_STOP_DEVICE:
        if (f->options.vetoQueryStop) return support::Complete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(f, irp);
      case IRP_MN_REMOVE_DEVICE: {
        {
          std::lock_guard<std::mutex> guard(f->m);
          f->opensAtRemove = f->opens;
          f->removeFromSystemThread = sim::CurrentThread()->systemThread;
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = f->lower;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        f->ReleaseAndWait();
        std::u16string link = Name("\\DosDevices\\PnpTest", f->number);
        UNICODE_STRING ulink{USHORT(link.size() * 2), USHORT(link.size() * 2), link.data()};
        IoDeleteSymbolicLink(&ulink);
        IoDetachDevice(lower);
        IoDeleteDevice(d);
        return status;
      }
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(f, irp);
      default:
        return PassDown(f, irp);
    }
  }

  struct SystemRequest {
    Fdo *fdo;
    PIRP irp;
  };

  // The device request asked for on behalf of a system request is done: so is the system request.
  static VOID DeviceRequestDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                PIO_STATUS_BLOCK iosb) {
    auto *r = static_cast<SystemRequest *>(context);
    {
      std::lock_guard<std::mutex> guard(r->fdo->m);
      r->fdo->callbacks.push_back({device, minor, state, iosb->Status});
    }
    PoStartNextPowerIrp(r->irp);
    if (minor == IRP_MN_QUERY_POWER) r->irp->IoStatus.Status = iosb->Status;
    IoCompleteRequest(r->irp, IO_NO_INCREMENT);
    r->fdo->Release();
    delete r;
  }

  static NTSTATUS SystemRequestBack(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *f = static_cast<Fdo *>(context);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
      POWER_STATE d;
      d.DeviceState = s->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
      auto *r = new SystemRequest{f, irp};
      if (PoRequestPowerIrp(f->pdo, s->MinorFunction, d, DeviceRequestDone, r, nullptr) == STATUS_PENDING)
        return STATUS_MORE_PROCESSING_REQUIRED;
      delete r;
    }
    PoStartNextPowerIrp(irp);
    f->Release();
    return STATUS_SUCCESS;
  }

  static NTSTATUS PassedBack(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    static_cast<Fdo *>(context)->Release();
    return STATUS_SUCCESS;
  }

  static NTSTATUS DispatchPower(PDEVICE_OBJECT d, PIRP irp) {
    Fdo *f = ForDevice(d);
    if (!f->Acquire()) {
      PoStartNextPowerIrp(irp);
      return support::Complete(irp, STATUS_NO_SUCH_DEVICE);
    }
    Seen seen = Observe(irp);
    f->log.Add(seen);
    if ((seen.minor == IRP_MN_SET_POWER || seen.minor == IRP_MN_QUERY_POWER) && seen.type == SystemPowerState) {
      IoMarkIrpPending(irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, SystemRequestBack, f, TRUE, TRUE, TRUE);
      PoCallDriver(f->lower, irp);
      return STATUS_PENDING;
    }
    if (seen.minor == IRP_MN_SET_POWER) {
      POWER_STATE old = PoSetPowerState(d, DevicePowerState, seen.state);
      std::lock_guard<std::mutex> guard(f->m);
      f->oldDeclared.push_back(old.DeviceState);
    }
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PassedBack, f, TRUE, TRUE, TRUE);
    return PoCallDriver(f->lower, irp);
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::mutex m_;
  int next_ = 0;
  std::vector<std::unique_ptr<Fdo>> all_;
  std::map<PDEVICE_OBJECT, Fdo *> byPdo_;
  std::map<PDEVICE_OBJECT, Fdo *> byDevice_;
};

class PnpTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  // Plugs a new device of the bus under the function driver; expects it to start.
  Pdo &PlugStarted() {
    Pdo &p = bus_.Add();
    sim::pnp::PlugResult r = sim::pnp::Plug(p.self, fn_.Driver());
    EXPECT_EQ(STATUS_SUCCESS, r.addDevice);
    EXPECT_EQ(STATUS_SUCCESS, r.start);
    return p;
  }
  sim::World world_;
  Function fn_;
  Bus bus_;  // goes first: it waits for the managers while the function driver still exists
};

}  // namespace pnptest
