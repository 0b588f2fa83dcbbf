// What the project's own tools (the demo) reach behind the public simulated machine: the
// physical device object of a plugged device, the test device's counters and the loaded
// driver (to plug models of the simulated bus directly). Not for applications.
#pragma once
#include "sim/usb/test_device.h"
#include "xrusb/sim.hpp"

namespace xrusb::sim::detail {

struct MachineAccess {
  static PDEVICE_OBJECT Pdo(const Machine &machine, DeviceId device);
  static ::sim::usb::TestDevice TestDeviceOf(const Machine &machine, DeviceId device);
  static PDRIVER_OBJECT Driver(const Machine &machine);
};

}  // namespace xrusb::sim::detail
