// One simulated machine for the length of a test (or the demo). Constructing it resets every
// part of the substitute; destroying it drains the worker and timer threads and stops the run
// if an IRP was never completed or the driver still holds pool.
#pragma once
#include "clock.h"

namespace sim {

struct WorldOptions {
  ClockMode clock = ClockMode::Real;
  double clockScale = 1.0;
  bool checkPoolAtEnd = true;
};

// Pieces of the substitute outside the kernel (the USB bus) register how they are drained at the
// end of a world (before the leak checks) and reset at its start and end.
void AddWorldHooks(void (*drain)(), void (*reset)());

class World {
 public:
  explicit World(const WorldOptions &options = {});
  ~World();
  World(const World &) = delete;
  World &operator=(const World &) = delete;

 private:
  WorldOptions options_;
};

}  // namespace sim
