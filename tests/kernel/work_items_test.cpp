// Work items: where and how their routines run, draining, and misuse.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "sim/kernel/faults.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/work_items.h"
#include "sim/kernel/world.h"
#include "tests/support/devices.h"

namespace {

using support::CreateDevice;
using support::EmptyEntry;

struct Stack {
  PDRIVER_OBJECT bus = sim::LoadDriver(EmptyEntry, u"bus");
  PDRIVER_OBJECT fn = sim::LoadDriver(EmptyEntry, u"fn");
  PDEVICE_OBJECT pdo = CreateDevice(bus), fdo = CreateDevice(fn);
  Stack() { IoAttachDeviceToDeviceStack(fdo, pdo); }
  void Remove() {
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    sim::UnloadDriver(fn);
    sim::UnloadDriver(bus);
  }
};

struct Observed {
  std::mutex lock;
  KIRQL irql = 0xFF;
  PEPROCESS process = nullptr;
  bool systemThread = false;
  std::thread::id thread;
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT poolOwner = nullptr;
  PVOID context = nullptr;
};

TEST(WorkItems, RunAtPassiveInSystemThreadChargedToTheStack) {
  sim::World world;
  Stack stack;
  PEPROCESS app = sim::NewProcess("app");
  sim::SetCurrentProcess(app);

  static Observed seen;
  PIO_WORKITEM item = IoAllocateWorkItem(stack.fdo);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(sim::WorkItemsAllocated(), 1u);
  // Queued from DISPATCH_LEVEL, as a completion routine would.
  sim::RunAtIrql(DISPATCH_LEVEL, [&] {
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT device, PVOID context) {
          std::lock_guard<std::mutex> guard(seen.lock);
          seen.irql = KeGetCurrentIrql();
          seen.process = IoGetCurrentProcess();
          seen.systemThread = sim::CurrentThread()->systemThread;
          seen.thread = std::this_thread::get_id();
          seen.device = device;
          seen.poolOwner = sim::GetPoolOwner();
          seen.context = context;
        },
        DelayedWorkQueue, &seen);
  });
  sim::DrainWorkItems();
  {
    std::lock_guard<std::mutex> guard(seen.lock);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.process, sim::SystemProcess());
    EXPECT_TRUE(seen.systemThread);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    EXPECT_EQ(seen.device, stack.fdo);
    EXPECT_EQ(seen.poolOwner, stack.pdo);
    EXPECT_EQ(seen.context, &seen);
  }
  IoFreeWorkItem(item);
  EXPECT_EQ(sim::WorkItemsAllocated(), 0u);
  sim::SetCurrentProcess(nullptr);
  stack.Remove();
}

// Each run queues the item again until the count is spent, then frees it in its own routine.
std::atomic<int> g_runs{0};
void Requeue(PDEVICE_OBJECT device, PVOID context) {
  auto *item = static_cast<PIO_WORKITEM>(context);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (g_runs.fetch_add(1) + 1 < 5)
    IoQueueWorkItem(item, Requeue, CriticalWorkQueue, item);
  else
    IoFreeWorkItem(item);
  (void)device;
}

TEST(WorkItems, DrainWaitsForItemsQueuedByItemsAndFaultsFailAllocation) {
  sim::World world;
  Stack stack;
  g_runs = 0;
  PIO_WORKITEM item = IoAllocateWorkItem(stack.fdo);
  IoQueueWorkItem(item, Requeue, CriticalWorkQueue, item);
  sim::DrainWorkItems();
  EXPECT_EQ(g_runs.load(), 5);
  EXPECT_EQ(sim::WorkItemsAllocated(), 0u);

  sim::FailNth(sim::AllocKind::WorkItem, 2);
  PIO_WORKITEM first = IoAllocateWorkItem(stack.fdo);
  PIO_WORKITEM second = IoAllocateWorkItem(stack.fdo);
  PIO_WORKITEM third = IoAllocateWorkItem(stack.fdo);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  IoFreeWorkItem(first);
  IoFreeWorkItem(third);
  stack.Remove();
}

TEST(WorkItems, ItemKeepsTheDeviceObjectAlive) {
  sim::World world;
  PDRIVER_OBJECT driver = sim::LoadDriver(EmptyEntry, u"fn");
  PDEVICE_OBJECT dev = CreateDevice(driver);
  PIO_WORKITEM item = IoAllocateWorkItem(dev);
  IoDeleteDevice(dev);
  // The shell is still there for the item's routine (ASan would object otherwise).
  EXPECT_TRUE(sim::DeviceDeleted(dev));
  static std::atomic<PDEVICE_OBJECT> got{nullptr};
  IoQueueWorkItem(item, [](PDEVICE_OBJECT d, PVOID) { got = d; }, DelayedWorkQueue, nullptr);
  sim::DrainWorkItems();
  EXPECT_EQ(got.load(), dev);
  IoFreeWorkItem(item);
  sim::UnloadDriver(driver);
}

TEST(WorkItemsDeathTest, QueuedTwice) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::World world;
        PDRIVER_OBJECT driver = sim::LoadDriver(EmptyEntry, u"fn");
        PDEVICE_OBJECT dev = CreateDevice(driver);
        PIO_WORKITEM item = IoAllocateWorkItem(dev);
        static std::mutex gate;
        gate.lock();  // keeps every worker busy so that the item stays queued
        auto block = [](PDEVICE_OBJECT, PVOID) { std::lock_guard<std::mutex> g(gate); };
        for (int i = 0; i < 8; ++i) IoQueueWorkItem(IoAllocateWorkItem(dev), block, DelayedWorkQueue, nullptr);
        IoQueueWorkItem(item, block, DelayedWorkQueue, nullptr);
        IoQueueWorkItem(item, block, DelayedWorkQueue, nullptr);
      },
      "queued while already queued");
}

}  // namespace
