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
#include "sim/kernel/work_items.h"
#include "sim/kernel/world.h"
#include "tests/support/devices.h"

namespace {

using support::CreateDevice;
using support::EmptyEntry;

struct Observed {
  KIRQL irql = 0xFF;
  PEPROCESS process = nullptr;
  bool systemThread = false;
  PDEVICE_OBJECT device = nullptr, poolOwner = nullptr;
};

VOID Observe(PDEVICE_OBJECT device, PVOID context) {
  *static_cast<Observed *>(context) = {KeGetCurrentIrql(), IoGetCurrentProcess(), sim::CurrentThread()->systemThread,
                                       device, sim::GetPoolOwner()};
}

TEST(WorkItems, RunAtPassiveInSystemThreadChargedToTheStackAndKeepTheDeviceAlive) {
  sim::World world;
  PDEVICE_OBJECT pdo = CreateDevice(sim::LoadDriver(EmptyEntry, u"bus"));
  PDRIVER_OBJECT fn = sim::LoadDriver(EmptyEntry, u"fn");
  PDEVICE_OBJECT fdo = CreateDevice(fn);
  IoAttachDeviceToDeviceStack(fdo, pdo);
  sim::SetCurrentProcess(sim::NewProcess("app"));

  Observed seen;
  PIO_WORKITEM item = IoAllocateWorkItem(fdo);
  ASSERT_NE(item, nullptr);
  // Queued from DISPATCH_LEVEL, as a completion routine would.
  sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoQueueWorkItem(item, Observe, DelayedWorkQueue, &seen); });
  sim::DrainWorkItems();
  EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  EXPECT_EQ(seen.process, sim::SystemProcess());
  EXPECT_TRUE(seen.systemThread);
  EXPECT_EQ(seen.device, fdo);
  EXPECT_EQ(seen.poolOwner, pdo);
  sim::SetCurrentProcess(nullptr);

  // The item holds its device object: the shell is still there for the routine (ASan would object).
  IoDetachDevice(pdo);
  IoDeleteDevice(fdo);
  IoQueueWorkItem(item, Observe, DelayedWorkQueue, &seen);
  sim::DrainWorkItems();
  EXPECT_EQ(seen.device, fdo);
  IoFreeWorkItem(item);
  IoDeleteDevice(pdo);
}

// Each run queues the item again until the count is spent, then frees it in its own routine.
std::atomic<int> g_runs{0};
void Requeue(PDEVICE_OBJECT, PVOID context) {
  auto *item = static_cast<PIO_WORKITEM>(context);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (g_runs.fetch_add(1) + 1 < 5)
    IoQueueWorkItem(item, Requeue, CriticalWorkQueue, item);
  else
    IoFreeWorkItem(item);
}

TEST(WorkItems, DrainWaitsForItemsQueuedByItemsAndFaultsFailAllocation) {
  sim::World world;
  PDRIVER_OBJECT fn = sim::LoadDriver(EmptyEntry, u"fn");
  PDEVICE_OBJECT dev = CreateDevice(fn);
  g_runs = 0;
  PIO_WORKITEM item = IoAllocateWorkItem(dev);
  IoQueueWorkItem(item, Requeue, CriticalWorkQueue, item);
  sim::DrainWorkItems();
  EXPECT_EQ(g_runs.load(), 5);

  sim::FailNth(sim::AllocKind::WorkItem, 2);
  PIO_WORKITEM first = IoAllocateWorkItem(dev);
  EXPECT_EQ(IoAllocateWorkItem(dev), nullptr);
  PIO_WORKITEM third = IoAllocateWorkItem(dev);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(third, nullptr);
  IoFreeWorkItem(first);
  IoFreeWorkItem(third);
  IoDeleteDevice(dev);
}

TEST(WorkItemsDeathTest, QueuedTwice) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::World world;
        PDEVICE_OBJECT dev = CreateDevice(sim::LoadDriver(EmptyEntry, u"fn"));
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
