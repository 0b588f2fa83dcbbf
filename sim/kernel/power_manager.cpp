// The power manager: PoRequestPowerIrp, PoSetPowerState, the system-state registrations, and
// the system's own sleep, resume and wake-up.
#include "power.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "faults.h"
#include "io_manager.h"
#include "io_objects_internal.h"
#include "objects.h"
#include "pnp.h"
#include "pool.h"
#include "threads.h"
#include "verifier.h"

#ifndef STATUS_INVALID_PARAMETER_2
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#endif

namespace sim::power {
namespace {

std::mutex g_lock;
std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> g_declared;
std::map<uintptr_t, EXECUTION_STATE> g_registrations;
uintptr_t g_nextHandle = 0;
SYSTEM_POWER_STATE g_system = PowerSystemWorking;
POWER_ACTION g_action = PowerActionNone;  // of the transition under way, else none
bool g_goingDown = false;                 // set-power of a sleep state is being sent
bool g_wakeQueued = false;
size_t g_outstanding = 0;

struct Worker {
  std::unique_ptr<SystemThread> thread;
  std::shared_ptr<std::atomic<bool>> finished;
};
std::vector<Worker> g_workers;
// Device set-power and query-power requests of one stack (its bottom device), one at a time as
// the power manager sends them: the active one, and the sends waiting for it to complete.
struct DeviceIrps {
  bool active = false;
  std::deque<std::function<void()>> waiting;
};
std::map<PDEVICE_OBJECT, DeviceIrps> g_deviceIrps;

// The request of 'stack' that was active has completed: the next one waiting goes down.
void NextDeviceIrp(PDEVICE_OBJECT stack);

// Sleep and resume one at a time.
std::mutex &Transition() {
  static std::mutex m;
  return m;
}

// Registration handles are opaque to drivers; they only need to be distinct and non-null.
constexpr uintptr_t kHandleBase = 0x50530000;

void Spawn(std::function<void()> body) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard<std::mutex> guard(g_lock);
  // Reap the ones that are done so that a long run does not pile up threads.
  for (auto it = g_workers.begin(); it != g_workers.end();) {
    if (it->finished->load()) {
      it->thread->Join();
      it = g_workers.erase(it);
    } else {
      ++it;
    }
  }
  g_workers.push_back({std::make_unique<SystemThread>([body = std::move(body), finished] {
                         body();
                         finished->store(true);
                       }),
                       finished});
}

bool SystemRequiredLocked() {
  return std::any_of(g_registrations.begin(), g_registrations.end(), [](const auto &r) {
    return (r.second & (ES_SYSTEM_REQUIRED | ES_CONTINUOUS)) == (ES_SYSTEM_REQUIRED | ES_CONTINUOUS);
  });
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
  return state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
}

// SYSTEM_POWER_STATE_CONTEXT: target state in bits 8..11, effective in 12..15, current in 16..19.
ULONG SystemContext(SYSTEM_POWER_STATE target, SYSTEM_POWER_STATE current) {
  return (ULONG(target) & 0xF) << 8 | (ULONG(target) & 0xF) << 12 | (ULONG(current) & 0xF) << 16;
}

// One S-IRP to the top of the stack of 'pdo', waited for; the caller is a system thread.
NTSTATUS SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, SYSTEM_POWER_STATE current,
                       POWER_ACTION action) {
  return SendIrpAndWait(StackTop(pdo), [&](PIRP irp, PIO_STACK_LOCATION first) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    first->MajorFunction = IRP_MJ_POWER;
    first->MinorFunction = minor;
    first->Parameters.Power.SystemContext = SystemContext(state, current);
    first->Parameters.Power.Type = SystemPowerState;
    first->Parameters.Power.State.SystemState = state;
    first->Parameters.Power.ShutdownType = action;
  });
}

template <typename F>
NTSTATUS OnSystemThread(F body) {
  NTSTATUS status = STATUS_SUCCESS;
  SystemThread thread([&] { status = body(); });
  thread.Join();
  return status;
}

NTSTATUS ResumeOnSystemThread() {
  std::lock_guard<std::mutex> transition(Transition());
  auto tree = pnp::FreezeTree();
  SYSTEM_POWER_STATE from;
  POWER_ACTION action;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_wakeQueued = false;
    if (g_system == PowerSystemWorking) return STATUS_INVALID_DEVICE_STATE;
    from = g_system;
    action = ActionFor(from);
    g_action = action;
    g_system = PowerSystemWorking;
  }
  // A stack that fails its S0 stays where it is; the system is awake regardless.
  for (PDEVICE_OBJECT pdo : pnp::StartedStacks())
    SendSystemIrp(pdo, IRP_MN_SET_POWER, PowerSystemWorking, from, action);
  std::lock_guard<std::mutex> guard(g_lock);
  g_action = PowerActionNone;
  return STATUS_SUCCESS;
}

// A device signalled wake-up: the system comes back, once per sleep.
void WakeSignalled() {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if ((g_system == PowerSystemWorking && !g_goingDown) || g_wakeQueued) return;
    g_wakeQueued = true;
  }
  Spawn([] { ResumeOnSystemThread(); });
}

// The top of the stack with a reference taken, as IoGetAttachedDeviceReference gives it: a device
// still attached is not deleted, so its shell cannot go away before the reference holds it.
PDEVICE_OBJECT ReferencedTop(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  while (device->AttachedDevice) device = device->AttachedDevice;
  device->DeviceObjectExtension->references.fetch_add(1);
  return device;
}

void NextDeviceIrp(PDEVICE_OBJECT stack) {
  std::function<void()> next;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    DeviceIrps &q = g_deviceIrps[stack];
    if (q.waiting.empty()) {
      g_deviceIrps.erase(stack);
      return;
    }
    next = std::move(q.waiting.front());
    q.waiting.pop_front();
  }
  Spawn(std::move(next));
}

}  // namespace

NTSTATUS Sleep(SYSTEM_POWER_STATE state) {
  if (state < PowerSystemSleeping1 || state > PowerSystemHibernate) return STATUS_INVALID_PARAMETER;
  return OnSystemThread([state]() -> NTSTATUS {
    std::lock_guard<std::mutex> transition(Transition());
    auto tree = pnp::FreezeTree();
    POWER_ACTION action = ActionFor(state);
    {
      std::lock_guard<std::mutex> guard(g_lock);
      if (g_system != PowerSystemWorking) return STATUS_INVALID_DEVICE_STATE;
      if (SystemRequiredLocked()) return STATUS_UNSUCCESSFUL;
      g_action = action;
    }
    std::vector<PDEVICE_OBJECT> stacks = pnp::StartedStacks();
    std::vector<PDEVICE_OBJECT> queried;
    for (PDEVICE_OBJECT pdo : stacks) {
      queried.push_back(pdo);
      NTSTATUS status = SendSystemIrp(pdo, IRP_MN_QUERY_POWER, state, PowerSystemWorking, action);
      if (!NT_SUCCESS(status)) {
        // Vetoed: everyone who was asked hears that the system stays working.
        for (PDEVICE_OBJECT q : queried)
          SendSystemIrp(q, IRP_MN_SET_POWER, PowerSystemWorking, PowerSystemWorking, action);
        std::lock_guard<std::mutex> guard(g_lock);
        g_action = PowerActionNone;
        return status;
      }
    }
    {
      std::lock_guard<std::mutex> guard(g_lock);
      g_goingDown = true;
    }
    // Leaves go down before the devices they hang off; nodes plugged later count as leaves.
    for (auto it = stacks.rbegin(); it != stacks.rend(); ++it)
      SendSystemIrp(*it, IRP_MN_SET_POWER, state, PowerSystemWorking, action);
    std::lock_guard<std::mutex> guard(g_lock);
    g_goingDown = false;
    g_system = state;
    g_action = PowerActionNone;
    return STATUS_SUCCESS;
  });
}

NTSTATUS Resume() {
  return OnSystemThread([] { return ResumeOnSystemThread(); });
}

SYSTEM_POWER_STATE SystemState() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_system;
}

size_t SystemStateRegistrations() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_registrations.size();
}

DEVICE_POWER_STATE DeclaredState(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_declared.find(device);
  return it == g_declared.end() ? PowerDeviceUnspecified : it->second;
}

size_t PowerIrpsOutstanding() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_outstanding;
}

void Settle() {
  for (;;) {
    std::vector<Worker> workers;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      workers.swap(g_workers);
    }
    if (workers.empty()) return;
    for (auto &w : workers) w.thread->Join();
  }
}

void Reset() {
  Settle();
  std::lock_guard<std::mutex> guard(g_lock);
  g_declared.clear();
  g_registrations.clear();
  g_nextHandle = 0;
  g_system = PowerSystemWorking;
  g_action = PowerActionNone;
  g_goingDown = g_wakeQueued = false;
  g_outstanding = 0;
  g_deviceIrps.clear();
}

}  // namespace sim::power

using namespace sim;
using namespace sim::power;

extern "C" {

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    VerifierFail(check::kIrqlMisuse, "PoSetPowerState at IRQL %u", KeGetCurrentIrql());
  if (!DeviceObject || DeviceDeleted(DeviceObject))
    VerifierFail(check::kBadObject, "PoSetPowerState on %p, which is not a live device object",
                 static_cast<void *>(DeviceObject));
  POWER_STATE old{};
  if (Type != DevicePowerState) {
    // Only the power manager itself sets system states; a driver's call changes nothing.
    std::lock_guard<std::mutex> guard(g_lock);
    old.SystemState = g_system;
    return old;
  }
  if (State.DeviceState < PowerDeviceD0 || State.DeviceState > PowerDeviceD3)
    VerifierFail(check::kBadObject, "PoSetPowerState with device power state %d", int(State.DeviceState));
  std::lock_guard<std::mutex> guard(g_lock);
  DEVICE_POWER_STATE &slot = g_declared.try_emplace(DeviceObject, PowerDeviceUnspecified).first->second;
  old.DeviceState = slot;
  slot = State.DeviceState;
  return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) VerifierFail(check::kIrqlMisuse, "PoRequestPowerIrp at IRQL %u", irql);
  if (!DeviceObject || DeviceDeleted(DeviceObject))
    VerifierFail(check::kBadObject, "PoRequestPowerIrp for %p, which is not a live device object",
                 static_cast<void *>(DeviceObject));
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  if (ShouldFail(AllocKind::Irp, __builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;
  if (!pnp::BeginPowerSend(DeviceObject)) return STATUS_DELETE_PENDING;

  PDEVICE_OBJECT owner = StackBottom(DeviceObject);
  POWER_ACTION action;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_outstanding;
    action = g_action;
  }
  // One reference for the completion function, one for the send.
  ReferenceDevice(DeviceObject);
  ReferenceDevice(DeviceObject);

  auto setup = [=](PIRP irp, PIO_STACK_LOCATION first) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    first->MajorFunction = IRP_MJ_POWER;
    first->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
      first->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
      first->Parameters.Power.Type = DevicePowerState;
      first->Parameters.Power.State = PowerState;
      first->Parameters.Power.ShutdownType = action;
    }
  };
  // The power manager has one device set-power or query-power request active per device at a
  // time; the next waits until it is done ("Sending IRP_MN_QUERY_POWER or IRP_MN_SET_POWER for
  // Device Power States", learn.microsoft.com), so a wake-up's D0 cannot overtake a D2 on its way.
  const bool serialized = MinorFunction != IRP_MN_WAIT_WAKE;
  auto done = [=](PIRP irp) {
    bool woke = MinorFunction == IRP_MN_WAIT_WAKE && NT_SUCCESS(irp->IoStatus.Status);
    if (CompletionFunction) {
      PoolOwnerScope scope(owner);
      CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &irp->IoStatus);
    }
    DereferenceDevice(DeviceObject);
    if (woke) WakeSignalled();
    if (serialized) NextDeviceIrp(owner);
    std::lock_guard<std::mutex> guard(g_lock);
    --g_outstanding;
  };
  // The caller learns the IRP before it goes down.
  struct Handoff {
    std::mutex m;
    std::condition_variable cv;
    PIRP irp = nullptr;
  };
  auto handoff = std::make_shared<Handoff>();
  auto send = [=] {
    PDEVICE_OBJECT top = ReferencedTop(DeviceObject);
    SendIrp(top, [&](PIRP irp, PIO_STACK_LOCATION first) {
      setup(irp, first);
      std::lock_guard<std::mutex> guard(handoff->m);
      handoff->irp = irp;
      handoff->cv.notify_all();
    }, done);
    DereferenceDevice(top);
    pnp::EndPowerSend(DeviceObject);
    DereferenceDevice(DeviceObject);
  };
  bool now = true;
  if (serialized) {
    std::lock_guard<std::mutex> guard(g_lock);
    DeviceIrps &q = g_deviceIrps[owner];
    if (q.active) {
      q.waiting.push_back(send);
      now = false;
    }
    q.active = true;
  }
  if (now && irql == PASSIVE_LEVEL) {
    // As PoCallDriver does at PASSIVE_LEVEL: straight down on the caller's thread.
    send();
  } else if (now) {
    // Above it, from a system thread.
    Spawn(send);
  }
  if (Irp) {
    std::unique_lock<std::mutex> lock(handoff->m);
    handoff->cv.wait(lock, [&] { return handoff->irp != nullptr; });
    *Irp = handoff->irp;
  }
  return STATUS_PENDING;
}

PVOID PoRegisterSystemState(PVOID StateHandle, EXECUTION_STATE Flags) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    VerifierFail(check::kIrqlMisuse, "PoRegisterSystemState at IRQL %u", KeGetCurrentIrql());
  std::lock_guard<std::mutex> guard(g_lock);
  if (StateHandle) {
    auto it = g_registrations.find(reinterpret_cast<uintptr_t>(StateHandle));
    if (it == g_registrations.end())
      VerifierFail(check::kBadObject, "PoRegisterSystemState with handle %p, which is not registered", StateHandle);
    it->second = Flags;
    return StateHandle;
  }
  uintptr_t handle = kHandleBase + ++g_nextHandle * 16;
  g_registrations[handle] = Flags;
  return reinterpret_cast<PVOID>(handle);
}

VOID PoUnregisterSystemState(PVOID StateHandle) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    VerifierFail(check::kIrqlMisuse, "PoUnregisterSystemState at IRQL %u", KeGetCurrentIrql());
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_registrations.erase(reinterpret_cast<uintptr_t>(StateHandle)))
    VerifierFail(check::kBadObject, "PoUnregisterSystemState with handle %p, which is not registered", StateHandle);
}

}  // extern "C"
