// Misuses the verifier must stop: each runs in a world of its own and must end the run with its
// check's message.
#pragma once
#include <gtest/gtest.h>

#include <initializer_list>

#include "sim/kernel/world.h"

namespace support {

struct Misuse {
  const char *check;  // a pattern of the message the run stops with
  void (*run)();
};

inline void ExpectEachStopsTheRun(std::initializer_list<Misuse> misuses, const sim::WorldOptions &options = {}) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Misuse &m : misuses) {
    SCOPED_TRACE(m.check);
    EXPECT_DEATH(
        {
          sim::World world(options);
          m.run();
        },
        m.check);
  }
}

}  // namespace support
