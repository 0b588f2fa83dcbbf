// Devices added above the fixture's physical device objects, as the Plug and Play manager adds
// them (allocations charged to the stack).
#pragma once
#include "driver/core/device_extension.h"
#include "driver_fixture.h"
#include "sim/kernel/pool.h"

namespace xrtest {

inline NTSTATUS AddDeviceOn(DriverWorld &w, PDEVICE_OBJECT pdo) {
  sim::PoolOwnerScope owner(pdo);
  return w.driver->DriverExtension->AddDevice(w.driver, pdo);
}

// The record of the driver's device above 'pdo', null when there is none.
inline DeviceExtension *DeviceAbove(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT top = sim::StackTop(pdo);
  return top == pdo ? nullptr : static_cast<DeviceExtension *>(top->DeviceExtension);
}

// Another physical device object on the test bus with the fixture's hardware key; the caller
// deletes it.
inline PDEVICE_OBJECT NewPdo(DriverWorld &w) {
  PDEVICE_OBJECT pdo = nullptr;
  EXPECT_EQ(IoCreateDevice(w.bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
  sim::registry::SetDeviceKey(pdo, w.key);
  return pdo;
}

}  // namespace xrtest
