// The device fuzzer's clock: a thread that advances the manual clock to the earliest blocked
// wait or timer when the bus is idle and no thread of the world could go on without time, and
// unplugs the device when nothing at all could end a wait (a request without time-out to a
// device that never answers). A world stuck even then, or one that keeps waiting, is a fault.
// Host only.
#pragma once

namespace xrusb_fuzz {

// Stops the run with "device_fuzz: <message>" on stderr, so that libFuzzer keeps the input.
[[noreturn]] void Fault(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// XRUSB_FUZZ_VERBOSE set: outcomes and the ticker's steps on stderr.
bool Verbose();

// What the ticker may do to the run it watches.
class TickedRun {
 public:
  // The device leaves the bus; false when it had already gone. Called from the ticker's thread.
  virtual bool Unplug() = 0;
  // The device drew a vanishing answer and waits to be unplugged.
  virtual bool Vanishing() = 0;

 protected:
  ~TickedRun() = default;
};

// Watches 'run' until TickEnd; TickEnd returns once the ticker no longer touches the world.
void TickBegin(TickedRun *run);
void TickEnd();

}  // namespace xrusb_fuzz
