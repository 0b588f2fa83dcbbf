// Orders that Windows leaves open (an abort against the transfers it cancels, which processor
// runs a DPC first) are picked by a seeded choice, so that a run repeats from its seed and a test
// can force the order it is afraid of.
#pragma once
#include <cstdint>
#include <initializer_list>

namespace sim {

// The seed each world starts from: XRUSB_SEED from the environment, else a fixed one.
uint64_t ScheduleSeed();
void SetScheduleSeed(uint64_t seed);
// One of n outcomes (0 when n < 2). Forced outcomes are used first, in order.
uint32_t Choose(uint32_t n);
// The next choices, whatever their n (each taken modulo its n).
void ForceChoices(std::initializer_list<uint32_t> outcomes);
void ResetSchedule();

}  // namespace sim
