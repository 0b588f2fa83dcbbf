// Threads and processes of the substitute. Every host thread that enters the kernel gets a
// thread record with an emulated IRQL; processes are plain records with a stable identity.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

struct _KPROCESS {
  std::string name;
  uint32_t id;
};

struct _KTHREAD {
  KIRQL irql = PASSIVE_LEVEL;
  PEPROCESS process = nullptr;  // null: the system process
  uint32_t id = 0;
  std::vector<const void *> heldLocks;  // lock classes, in acquisition order
  int spinLocksHeld = 0;                // those of heldLocks that are spin locks
  bool systemThread = false;
};

namespace sim {

PKTHREAD CurrentThread();
PEPROCESS SystemProcess();
// A new simulated process; lives until the world ends.
PEPROCESS NewProcess(const std::string &name);
// The process the calling thread acts for (the system process unless set).
void SetCurrentProcess(PEPROCESS process);

// A system thread: runs at PASSIVE_LEVEL in the system process. Joined on destruction.
// Host threads are reused from one body to the next (creating them dominates a short world);
// each body starts as a fresh thread record and must end holding no lock, at PASSIVE_LEVEL.
class SystemThread {
 public:
  struct Job;
  SystemThread() = default;
  explicit SystemThread(std::function<void()> body);
  SystemThread(SystemThread &&) = default;
  SystemThread &operator=(SystemThread &&) = default;
  ~SystemThread();
  void Join();

 private:
  std::shared_ptr<Job> job_;
};

// Runs body at the given IRQL on the calling thread, restoring the old level afterwards.
void RunAtIrql(KIRQL irql, const std::function<void()> &body);

void ResetProcesses();

}  // namespace sim
