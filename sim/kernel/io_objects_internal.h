// Shared between the object files of the substitute (devices, names, interfaces).
#pragma once
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace sim {

// Guards devices, drivers, names, links and interfaces.
std::mutex &ObjectLock();
// With ObjectLock held. False when the name is taken.
bool AddDeviceNameLocked(const std::u16string &name, PDEVICE_OBJECT device);
void RemoveDeviceNameLocked(const std::u16string &name, PDEVICE_OBJECT device);
void DisableInterfacesOfLocked(PDEVICE_OBJECT device);
void ResetDevicesLocked();

}  // namespace sim
