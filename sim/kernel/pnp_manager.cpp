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
  DEVICE_CAPABILITIES capabilities{};
  PNP_DEVICE_STATE deviceState = 0;
  long openFiles = 0;
  bool removeWanted = false;  // unplugged: removal is due once the last file object closes
  bool opensRefused = false;  // removal under way: the I/O manager fails new opens
  bool removeIssued = false;
  // Requested power IRPs on their way into the stack; the removal waits for them, and none may
  // start once it has begun.
  int powerSends = 0;
  bool removing = false;
  std::condition_variable powerSent;
};

std::mutex g_lock;
std::map<PDEVICE_OBJECT, std::shared_ptr<Node>> g_nodes;
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
  return SendIrpAndWait(
      top,
      [&](PIRP irp, PIO_STACK_LOCATION first) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        first->MajorFunction = IRP_MJ_PNP;
        first->MinorFunction = minor;
        if (setup) setup(first);
      },
      information);
}

NTSTATUS Simple(Node &node, UCHAR minor) { return SendLocked(node, minor, {}, nullptr); }

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
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = ULONG(-1);
  caps.UINumber = ULONG(-1);
  NTSTATUS status = SendLocked(
      node, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; },
      nullptr);
  ULONG_PTR flags = 0;
  NTSTATUS stateStatus = SendLocked(node, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, &flags);
  std::lock_guard<std::mutex> guard(g_lock);
  if (NT_SUCCESS(status)) node.capabilities = caps;
  // Unanswered (still STATUS_NOT_SUPPORTED) means no flags.
  node.deviceState = NT_SUCCESS(stateStatus) ? PNP_DEVICE_STATE(flags) : 0;
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

// The removal an unplug left waiting for the last close.
void RemoveWhenClosed(std::shared_ptr<Node> node) {
  std::shared_lock<std::shared_mutex> tree(Tree());
  std::lock_guard<std::mutex> op(node->operation);
  RemoveLocked(*node);
}

bool Live(NodeState s) {
  return s != NodeState::Absent && s != NodeState::Removed && s != NodeState::Failed;
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
    {
      PoolOwnerScope owner(pdo);
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
    result.start = StartLocked(*node);
  });
  return result;
}

void Unplug(PDEVICE_OBJECT pdo) {
  auto node = NodeOf(pdo, false);
  if (!node || !Live(GetState(*node))) return;  // nothing left to take down
  OnSystemThread([&] {
    std::shared_lock<std::shared_mutex> tree(Tree());
    std::lock_guard<std::mutex> op(node->operation);
    NodeState s = GetState(*node);
    if (!Live(s) || s == NodeState::SurpriseRemoved) return;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      node->opensRefused = true;
    }
    // A stack that never started gets no surprise removal.
    if (s != NodeState::Added) {
      Simple(*node, IRP_MN_SURPRISE_REMOVAL);
      SetState(*node, NodeState::SurpriseRemoved);
    }
    bool now;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      node->removeWanted = true;
      now = node->openFiles == 0 && !node->removeIssued;
      if (now) node->removeIssued = true;
    }
    if (now) RemoveLocked(*node);
  });
}

NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) {
  return Operate(pdo, "QueryRemove", [](Node &node) {
    NTSTATUS status = Simple(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status)) {
      SetState(node, NodeState::RemovePending);
      std::lock_guard<std::mutex> guard(g_lock);
      node.opensRefused = true;
    }
    return status;
  });
}

NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) {
  return Operate(pdo, "CancelRemove", [](Node &node) {
    NTSTATUS status = Simple(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    SetState(node, NodeState::Started);
    std::lock_guard<std::mutex> guard(g_lock);
    node.opensRefused = false;  // the device stays: applications may open it again
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

NTSTATUS Disable(PDEVICE_OBJECT pdo) {
  return Operate(pdo, "Disable", [](Node &node) {
    NTSTATUS status = Simple(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
      Simple(node, IRP_MN_CANCEL_REMOVE_DEVICE);
      SetState(node, NodeState::Started);
      return status;
    }
    SetState(node, NodeState::RemovePending);
    // Open handles do not hold a disable back: their closes arrive after the removal.
    RemoveLocked(node);
    return STATUS_SUCCESS;
  });
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
