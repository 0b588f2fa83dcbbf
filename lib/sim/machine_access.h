// What the project's own tools (the demo) reach behind the public simulated machine: the
// physical device object of a plugged device and the test device's counters. Not for
// applications.
#pragma once
#include "sim/usb/test_device.h"
#include "xrusb/sim.hpp"

namespace xrusb::sim::detail {

struct MachineAccess {
  static PDEVICE_OBJECT Pdo(const Machine &machine, DeviceId device);
  static ::sim::usb::TestDevice TestDeviceOf(const Machine &machine, DeviceId device);
};

}  // namespace xrusb::sim::detail
