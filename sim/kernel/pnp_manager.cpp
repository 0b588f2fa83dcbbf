#include "pnp.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "io_manager.h"
#include "objects.h"
#include "pool.h"
#include "threads.h"
#include "verifier.h"

namespace sim::pnp {
namespace {

struct Node {
  PDEVICE_OBJECT pdo = nullptr;
  // One operation at a time per device node; nodes are independent of each other.
  std::mutex operation;
  // The rest is guarded by g_lock.
  NodeState state = NodeState::Absent;
  std::vector<UCHAR> sent;
  std::map<std::pair<UCHAR, ULONG>, std::u16string> texts;  // identity answers by (minor, type)
  DEVICE_CAPABILITIES capabilities{};
  PNP_DEVICE_STATE deviceState = 0;
  long openFiles = 0;
  bool removeWanted = false;  // unplugged: removal is due once the last file object closes
  bool opensRefused = false;  // the removal IRP is on its way: the I/O manager fails new opens
  bool removeIssued = false;
  // Requested power IRPs on their way into the stack; the removal waits for them, and none may
  // start once it has begun.
  int powerSends = 0;
  bool removing = false;
  std::condition_variable powerSent;
};

std::mutex g_lock;
std::map<PDEVICE_OBJECT, std::shared_ptr<Node>> g_nodes;
std::shared_mutex &AddDeviceLock() {
  static std::shared_mutex lock;
  return lock;
}
std::vector<PDEVICE_OBJECT> g_plugOrder;
// Device a file object was opened on -> node and count; closes find their node through it even
// after the device was detached or deleted.
struct OpenDevice {
  std::shared_ptr<Node> node;
  long count = 0;
};
std::map<PDEVICE_OBJECT, OpenDevice> g_openDevices;
std::vector<std::unique_ptr<SystemThread>> g_removers;

// Plug and Play work takes the tree shared; a system power transition takes it exclusively.
std::shared_mutex &Tree() {
  static std::shared_mutex tree;
  return tree;
}

std::shared_ptr<Node> NodeOf(PDEVICE_OBJECT pdo, bool create) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_nodes.find(pdo);
  if (it != g_nodes.end()) return it->second;
  if (!create) return nullptr;
  auto node = std::make_shared<Node>();
  node->pdo = pdo;
  g_nodes[pdo] = node;
  return node;
}

bool Live(NodeState s) {
  return s != NodeState::Absent && s != NodeState::Removed && s != NodeState::Failed;
}

void SetState(Node &node, NodeState state) {
  std::lock_guard<std::mutex> guard(g_lock);
  node.state = state;
}

NodeState GetState(Node &node) {
  std::lock_guard<std::mutex> guard(g_lock);
  return node.state;
}

// Plug and Play requests come from a system thread at PASSIVE_LEVEL, whoever asked for them.
void OnSystemThread(const std::function<void()> &body) {
  SystemThread thread([&] { body(); });
  thread.Join();
}

// Sends one request to the top of the node's stack and waits; the caller is a system thread.
NTSTATUS SendLocked(Node &node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup,
                    ULONG_PTR *information) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    node.sent.push_back(minor);
  }
  PDEVICE_OBJECT top = StackTop(node.pdo);
  ULONG_PTR initial = information ? *information : 0;
  return SendIrpAndWait(
      top,
      [&](PIRP irp, PIO_STACK_LOCATION first) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = initial;
        first->MajorFunction = IRP_MJ_PNP;
        first->MinorFunction = minor;
        if (setup) setup(first);
      },
      information);
}

NTSTATUS Simple(Node &node, UCHAR minor) { return SendLocked(node, minor, {}, nullptr); }

// A query whose answer is a block of paged pool the manager owns and frees: IDs, texts, bus
// information, resource lists, relations. Returns the block (the caller frees it) when the stack
// answered with success; a success without one is a driver fault for the IDs and texts.
void *Collect(Node &node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup, bool required) {
  ULONG_PTR information = 0;
  NTSTATUS status = SendLocked(node, minor, setup, &information);
  if (!NT_SUCCESS(status)) return nullptr;
  if (!information && required)
    VerifierFail(check::kBadObject, "Plug and Play query 0x%02X of device %p succeeded without an answer", minor,
                 static_cast<void *>(node.pdo));
  return reinterpret_cast<void *>(information);
}

// IDs and device texts: a string, or for hardware and compatible IDs a list ending in two NULs.
void CollectText(Node &node, UCHAR minor, ULONG type) {
  auto *text = static_cast<const char16_t *>(Collect(
      node, minor,
      [&](PIO_STACK_LOCATION s) {
        if (minor == IRP_MN_QUERY_ID)
          s->Parameters.QueryId.IdType = BUS_QUERY_ID_TYPE(type);
        else
          s->Parameters.QueryDeviceText.DeviceTextType = DEVICE_TEXT_TYPE(type);
      },
      true));
  if (!text) return;
  bool list = minor == IRP_MN_QUERY_ID && (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
  size_t n = 0;
  while (text[n] || (list && n > 0 && text[n - 1])) ++n;
  std::u16string answer(text, n);
  ExFreePool(const_cast<char16_t *>(text));
  std::lock_guard<std::mutex> guard(g_lock);
  node.texts[{minor, type}] = answer;
}

void FreeRelations(void *block) {
  if (!block) return;
  auto *relations = static_cast<PDEVICE_RELATIONS>(block);
  for (ULONG i = 0; i < relations->Count; ++i) DereferenceDevice(relations->Objects[i]);
  ExFreePool(block);
}

PDEVICE_RELATIONS QueryRelations(Node &node, DEVICE_RELATION_TYPE type) {
  return static_cast<PDEVICE_RELATIONS>(Collect(
      node, IRP_MN_QUERY_DEVICE_RELATIONS, [&](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = type; },
      false));
}

void QueryCapabilities(Node &node) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = ULONG(-1);
  caps.UINumber = ULONG(-1);
  NTSTATUS status = SendLocked(
      node, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; },
      nullptr);
  std::lock_guard<std::mutex> guard(g_lock);
  if (NT_SUCCESS(status)) node.capabilities = caps;
}

// What the manager asks the bus's physical device object alone, before any driver is loaded for
// it, in the order of "Adding a PnP Device to a Running System" (learn.microsoft.com).
void Identify(Node &node) {
  CollectText(node, IRP_MN_QUERY_ID, BusQueryDeviceID);
  QueryCapabilities(node);  // UniqueID decides how the instance ID is used
  CollectText(node, IRP_MN_QUERY_ID, BusQueryInstanceID);
  CollectText(node, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription);
  CollectText(node, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation);
  CollectText(node, IRP_MN_QUERY_ID, BusQueryHardwareIDs);
  CollectText(node, IRP_MN_QUERY_ID, BusQueryCompatibleIDs);
  if (void *info = Collect(node, IRP_MN_QUERY_BUS_INFORMATION, {}, true)) ExFreePool(info);
  // Resource lists: none (or not answered) for a device without hardware resources.
  if (void *boot = Collect(node, IRP_MN_QUERY_RESOURCES, {}, false)) ExFreePool(boot);
  if (void *needs = Collect(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, {}, false)) ExFreePool(needs);
}

// Goes to the whole stack once the drivers are attached, with the bus's requirements (none).
void FilterRequirements(Node &node) {
  void *filtered = Collect(
      node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
      [](PIO_STACK_LOCATION s) { s->Parameters.FilterResourceRequirements.IoResourceRequirementList = nullptr; }, false);
  if (filtered) ExFreePool(filtered);
}

NTSTATUS SendRemove(Node &node) {
  {
    std::unique_lock<std::mutex> lock(g_lock);
    node.removing = true;
    node.opensRefused = true;
    node.powerSent.wait(lock, [&] { return node.powerSends == 0; });
  }
  return Simple(node, IRP_MN_REMOVE_DEVICE);
}

void QueryAfterStart(Node &node) {
  QueryCapabilities(node);
  ULONG_PTR flags = 0;
  NTSTATUS stateStatus = SendLocked(node, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, &flags);
  {
    std::lock_guard<std::mutex> guard(g_lock);
    // Unanswered (still STATUS_NOT_SUPPORTED) means no flags.
    node.deviceState = NT_SUCCESS(stateStatus) ? PNP_DEVICE_STATE(flags) : 0;
  }
  // Children of a function driver that is no bus driver: none.
  FreeRelations(QueryRelations(node, BusRelations));
}

// Start, and on success the queries that follow it; a failed start removes the stack.
NTSTATUS StartLocked(Node &node) {
  NTSTATUS status = Simple(node, IRP_MN_START_DEVICE);
  if (NT_SUCCESS(status)) {
    SetState(node, NodeState::Started);
    QueryAfterStart(node);
  } else {
    SendRemove(node);
    SetState(node, NodeState::Failed);
  }
  return status;
}

void RemoveLocked(Node &node) {
  SendRemove(node);
  SetState(node, NodeState::Removed);
}

// The device leaves the bus. Surprise removal now; removal now when no file object is open, else
// when the last one closes.
void UnplugLocked(Node &node) {
  NodeState s = GetState(node);
  if (!Live(s) || s == NodeState::SurpriseRemoved) return;
  // A stack that never started gets no surprise removal.
  if (s != NodeState::Added) {
    Simple(node, IRP_MN_SURPRISE_REMOVAL);
    SetState(node, NodeState::SurpriseRemoved);
  }
  bool now;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    node.removeWanted = true;
    now = node.openFiles == 0 && !node.removeIssued;
    if (now) node.removeIssued = node.opensRefused = true;
  }
  if (now) RemoveLocked(node);
}

// The removal an unplug left waiting for the last close.
void RemoveWhenClosed(std::shared_ptr<Node> node) {
  std::shared_lock<std::shared_mutex> tree(Tree());
  std::lock_guard<std::mutex> op(node->operation);
  {
    // A create that came in meanwhile holds the removal off until it is closed (or failed): the
    // I/O manager's reference on the device object, and the refusal of further creates, are taken
    // under one lock.
    std::lock_guard<std::mutex> guard(g_lock);
    if (node->openFiles > 0) {
      node->removeIssued = false;
      return;
    }
    node->opensRefused = true;
  }
  RemoveLocked(*node);
}

std::shared_ptr<Node> LiveNode(PDEVICE_OBJECT pdo, const char *what) {
  auto node = NodeOf(pdo, false);
  if (!node || !Live(GetState(*node)))
    VerifierFail(check::kBadObject, "%s: device %p is not plugged in", what, static_cast<void *>(pdo));
  return node;
}

// Runs one operation on a live node: tree shared, node held, on a system thread.
template <typename F>
NTSTATUS Operate(PDEVICE_OBJECT pdo, const char *what, F body) {
  auto node = LiveNode(pdo, what);
  NTSTATUS status = STATUS_SUCCESS;
  OnSystemThread([&] {
    std::shared_lock<std::shared_mutex> tree(Tree());
    std::lock_guard<std::mutex> op(node->operation);
    status = body(*node);
  });
  return status;
}

}  // namespace

PlugResult Plug(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver) {
  if (!pdo || !functionDriver || !functionDriver->DriverExtension || !functionDriver->DriverExtension->AddDevice)
    VerifierFail(check::kBadObject, "Plug: device %p, driver %p without an AddDevice routine", static_cast<void *>(pdo),
                 static_cast<void *>(functionDriver));
  auto node = NodeOf(pdo, true);
  PlugResult result;
  OnSystemThread([&] {
    std::shared_lock<std::shared_mutex> tree(Tree());
    std::lock_guard<std::mutex> op(node->operation);
    {
      std::lock_guard<std::mutex> guard(g_lock);
      if (Live(node->state))
        VerifierFail(check::kBadObject, "Plug: device %p is already plugged in", static_cast<void *>(pdo));
      // A device that comes back starts a new life; its log goes on.
      node->capabilities = {};
      node->deviceState = 0;
      node->removeWanted = node->removeIssued = node->removing = node->opensRefused = false;
      std::erase(g_plugOrder, pdo);
      g_plugOrder.push_back(pdo);
    }
    Identify(*node);
    {
      PoolOwnerScope owner(pdo);
      const std::unique_lock<std::shared_mutex> adding(AddDeviceLock());
      result.addDevice = functionDriver->DriverExtension->AddDevice(functionDriver, pdo);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
      VerifierFail(check::kIrqlMisuse, "AddDevice returned at IRQL %u", KeGetCurrentIrql());
    result.top = StackTop(pdo);
    if (!NT_SUCCESS(result.addDevice)) {
      SetState(*node, NodeState::Failed);
      return;
    }
    SetState(*node, NodeState::Added);
    FilterRequirements(*node);
    result.start = StartLocked(*node);
  });
  return result;
}

void Unplug(PDEVICE_OBJECT pdo) {
  auto node = NodeOf(pdo, false);
  if (!node || !Live(GetState(*node))) return;  // nothing left to take down
  OnSystemThread([&] {
    std::shared_lock<std::shared_mutex> tree(Tree());
    std::unique_lock<std::mutex> op(node->operation, std::try_to_lock);
    if (op.owns_lock()) return UnplugLocked(*node);
    // The bus reports the loss and returns; Plug and Play requests for one device node are
    // serialised, so the surprise removal waits until the request in progress (a start, say)
    // has completed.
    std::lock_guard<std::mutex> guard(g_lock);
    g_removers.push_back(std::make_unique<SystemThread>([node] {
      std::shared_lock<std::shared_mutex> later(Tree());
      std::lock_guard<std::mutex> serialised(node->operation);
      UnplugLocked(*node);
    }));
  });
}

// The I/O manager keeps sending creates while a removal is pending: the drivers must fail them.
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) {
  return Operate(pdo, "QueryRemove", [](Node &node) {
    NTSTATUS status = Simple(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status)) SetState(node, NodeState::RemovePending);
    return status;
  });
}

NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) {
  return Operate(pdo, "CancelRemove", [](Node &node) {
    NTSTATUS status = Simple(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    SetState(node, NodeState::Started);
    return status;
  });
}

NTSTATUS QueryStop(PDEVICE_OBJECT pdo) {
  return Operate(pdo, "QueryStop", [](Node &node) {
    NTSTATUS status = Simple(node, IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(status)) SetState(node, NodeState::StopPending);
    return status;
  });
}

NTSTATUS CancelStop(PDEVICE_OBJECT pdo) {
  return Operate(pdo, "CancelStop", [](Node &node) {
    NTSTATUS status = Simple(node, IRP_MN_CANCEL_STOP_DEVICE);
    SetState(node, NodeState::Started);
    return status;
  });
}

NTSTATUS Disable(PDEVICE_OBJECT pdo, Veto *veto) {
  Veto why = Veto::None;
  NTSTATUS result = Operate(pdo, "Disable", [&](Node &node) {
    {
      std::lock_guard<std::mutex> guard(g_lock);
      if (node.deviceState & PNP_DEVICE_NOT_DISABLEABLE) {
        why = Veto::NonDisableable;
        return STATUS_PLUGPLAY_QUERY_VETOED;
      }
    }
    // The removal relations go with it (none for a device without them).
    FreeRelations(QueryRelations(node, RemovalRelations));
    NTSTATUS status = Simple(node, IRP_MN_QUERY_REMOVE_DEVICE);
    bool opened = false;
    if (NT_SUCCESS(status)) {
      SetState(node, NodeState::RemovePending);
      std::lock_guard<std::mutex> guard(g_lock);
      opened = node.openFiles > 0;
      node.opensRefused = !opened;  // in the same step: no create slips in behind the count
    }
    // A driver's veto, or file objects still open on the stack (PNP_VetoOutstandingOpen): the
    // removal is cancelled, and every driver hears so.
    if (!NT_SUCCESS(status) || opened) {
      Simple(node, IRP_MN_CANCEL_REMOVE_DEVICE);
      SetState(node, NodeState::Started);
      why = opened ? Veto::OutstandingOpen : Veto::Device;
      return opened ? STATUS_PLUGPLAY_QUERY_VETOED : status;
    }
    RemoveLocked(node);
    return STATUS_SUCCESS;
  });
  if (veto) *veto = why;
  return result;
}

NTSTATUS Rebalance(PDEVICE_OBJECT pdo) {
  return Operate(pdo, "Rebalance", [](Node &node) {
    NTSTATUS status = Simple(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
      Simple(node, IRP_MN_CANCEL_STOP_DEVICE);
      SetState(node, NodeState::Started);
      return status;
    }
    SetState(node, NodeState::StopPending);
    Simple(node, IRP_MN_STOP_DEVICE);
    SetState(node, NodeState::Stopped);
    return StartLocked(node);
  });
}

NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup,
              ULONG_PTR *information) {
  auto node = NodeOf(pdo, true);
  NTSTATUS status = STATUS_SUCCESS;
  OnSystemThread([&] {
    std::shared_lock<std::shared_mutex> tree(Tree());
    std::lock_guard<std::mutex> op(node->operation);
    status = SendLocked(*node, minor, setup, information);
  });
  return status;
}

PDEVICE_OBJECT TargetDevice(PDEVICE_OBJECT pdo) {
  auto node = LiveNode(pdo, "TargetDevice");
  PDEVICE_OBJECT target = nullptr;
  OnSystemThread([&] {
    std::shared_lock<std::shared_mutex> tree(Tree());
    std::lock_guard<std::mutex> op(node->operation);
    PDEVICE_RELATIONS relations = QueryRelations(*node, TargetDeviceRelation);
    if (!relations) return;
    if (relations->Count != 1)
      VerifierFail(check::kBadObject, "TargetDeviceRelation of device %p answered with %u objects",
                   static_cast<void *>(pdo), unsigned(relations->Count));
    target = relations->Objects[0];
    FreeRelations(relations);
  });
  return target;
}

NTSTATUS NotifyUsage(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath) {
  return Operate(pdo, "NotifyUsage", [&](Node &node) {
    NTSTATUS status = SendLocked(
        node, IRP_MN_DEVICE_USAGE_NOTIFICATION,
        [&](PIO_STACK_LOCATION s) {
          s->Parameters.UsageNotification.InPath = inPath;
          s->Parameters.UsageNotification.Type = type;
        },
        nullptr);
    // "Supporting Special Files" (learn.microsoft.com): every driver of a stack that holds a
    // paging file clears DO_POWER_PAGABLE, so that its power requests never wait for paging.
    bool special = type == DeviceUsageTypePaging || type == DeviceUsageTypeHibernation || type == DeviceUsageTypeDumpFile;
    if (NT_SUCCESS(status) && special && inPath)
      for (PDEVICE_OBJECT d = node.pdo; d; d = d->AttachedDevice)
        if (d->Flags & DO_POWER_PAGABLE)
          VerifierFail(check::kBadObject, "device %p accepted a paging file but is still DO_POWER_PAGABLE",
                       static_cast<void *>(d));
    return status;
  });
}

std::u16string Text(PDEVICE_OBJECT pdo, UCHAR minor, ULONG type) {
  auto node = NodeOf(pdo, false);
  std::lock_guard<std::mutex> guard(g_lock);
  if (!node) return {};
  auto it = node->texts.find({minor, type});
  return it == node->texts.end() ? std::u16string() : it->second;
}

NodeState State(PDEVICE_OBJECT pdo) {
  auto node = NodeOf(pdo, false);
  return node ? GetState(*node) : NodeState::Absent;
}

DEVICE_CAPABILITIES Capabilities(PDEVICE_OBJECT pdo) {
  auto node = NodeOf(pdo, false);
  std::lock_guard<std::mutex> guard(g_lock);
  return node ? node->capabilities : DEVICE_CAPABILITIES{};
}

PNP_DEVICE_STATE DeviceState(PDEVICE_OBJECT pdo) {
  auto node = NodeOf(pdo, false);
  std::lock_guard<std::mutex> guard(g_lock);
  return node ? node->deviceState : 0;
}

std::vector<UCHAR> Sent(PDEVICE_OBJECT pdo) {
  auto node = NodeOf(pdo, false);
  std::lock_guard<std::mutex> guard(g_lock);
  return node ? node->sent : std::vector<UCHAR>{};
}

std::shared_lock<std::shared_mutex> HoldOffAddDevice() { return std::shared_lock<std::shared_mutex>(AddDeviceLock()); }

bool FileObjectOpening(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT bottom = StackBottom(device);
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_openDevices.find(device);
  if (it == g_openDevices.end()) {
    auto node = g_nodes.find(bottom);
    if (node == g_nodes.end()) return true;  // not a Plug and Play stack
    if (node->second->opensRefused) return false;
    it = g_openDevices.emplace(device, OpenDevice{node->second, 0}).first;
  } else if (it->second.node->opensRefused) {
    return false;
  }
  ++it->second.count;
  ++it->second.node->openFiles;
  return true;
}

void FileObjectClosed(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_openDevices.find(device);
  if (it == g_openDevices.end()) return;
  std::shared_ptr<Node> node = it->second.node;
  if (--it->second.count == 0) g_openDevices.erase(it);
  if (--node->openFiles > 0 || !node->removeWanted || node->removeIssued) return;
  node->removeIssued = true;
  // The closing thread is the application's; the removal comes from the system.
  g_removers.push_back(std::make_unique<SystemThread>([node] { RemoveWhenClosed(node); }));
}

bool BeginPowerSend(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT bottom = StackBottom(device);
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_nodes.find(bottom);
  if (it == g_nodes.end()) return true;  // not a Plug and Play stack
  if (it->second->removing) return false;
  ++it->second->powerSends;
  return true;
}

void EndPowerSend(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT bottom = StackBottom(device);
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_nodes.find(bottom);
  if (it == g_nodes.end()) return;
  if (--it->second->powerSends == 0) it->second->powerSent.notify_all();
}

std::unique_lock<std::shared_mutex> FreezeTree() { return std::unique_lock<std::shared_mutex>(Tree()); }

std::vector<PDEVICE_OBJECT> StartedStacks() {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<PDEVICE_OBJECT> started;
  for (PDEVICE_OBJECT pdo : g_plugOrder) {
    NodeState s = g_nodes[pdo]->state;
    if (s == NodeState::Started || s == NodeState::StopPending || s == NodeState::RemovePending) started.push_back(pdo);
  }
  return started;
}

void Settle() {
  for (;;) {
    std::vector<std::unique_ptr<SystemThread>> threads;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      threads.swap(g_removers);
    }
    if (threads.empty()) return;
    for (auto &t : threads) t->Join();
  }
}

void Reset() {
  Settle();
  std::lock_guard<std::mutex> guard(g_lock);
  g_nodes.clear();
  g_plugOrder.clear();
  g_openDevices.clear();
}

}  // namespace sim::pnp
