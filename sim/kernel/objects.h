// Device and driver objects, names, symbolic links, device interfaces and device stacks.
#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "platform/platform.h"

// The substitute's bookkeeping for one device object (DEVICE_OBJECT::DeviceObjectExtension).
struct _DEVOBJ_EXTENSION {
  CSHORT Type;
  USHORT Size;
  PDEVICE_OBJECT DeviceObject;
  // Below this device while attached.
  PDEVICE_OBJECT lower = nullptr;
  // Pool owner of the stack; kept after detaching so that deletion still checks the stack.
  PDEVICE_OBJECT stackBottom = nullptr;
  // Set once another device was attached on top of this one while nothing was below it.
  bool isBottom = false;
  bool deleted = false;
  uint32_t serial = 0;
  size_t extensionSize = 0;
  std::u16string name;  // canonical, empty when unnamed
  std::atomic<long> references{1};
};

namespace sim {

// Loads a driver: creates its driver object (every major function set to the I/O manager's
// default, which fails the request with STATUS_INVALID_DEVICE_REQUEST without reaching the
// driver) and calls its entry point. Null when the entry point fails.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string &name);
// Calls the driver's unload routine and frees the driver object (its devices must be gone).
void UnloadDriver(PDRIVER_OBJECT driver);
// The routine every major function starts with.
NTSTATUS DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);

// The device at the bottom of the stack 'device' belongs to (or was created in): the owner that
// pool allocations on its behalf are charged to.
PDEVICE_OBJECT StackBottom(PDEVICE_OBJECT device);
// The device on top of the stack that 'device' is in.
PDEVICE_OBJECT StackTop(PDEVICE_OBJECT device);
// The device directly below, null at the bottom.
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);
bool DeviceDeleted(PDEVICE_OBJECT device);

// Keeps a device object's memory (not its extension) alive while the substitute refers to it
// (open file objects, requests being dispatched).
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);

// Object namespace lookups, as the object manager resolves them (case-insensitive).
// "\DosDevices\X" / "\??\X" / "\Device\X" names and interface paths are accepted; an interface
// resolves only while it is enabled and to its physical device object. Null when not found.
PDEVICE_OBJECT LookupDeviceByName(const std::u16string &name);
// Also gives the part of 'name' the device is left to parse ("\ref" of an interface path with
// a reference string, the tail after a device or link name); empty when the whole name matched.
PDEVICE_OBJECT LookupDeviceByName(const std::u16string &name, std::u16string *remainder);
// The same, with a reference taken on the device (DereferenceDevice) before any deletion can
// free it: what an open does.
PDEVICE_OBJECT ReferenceDeviceByName(const std::u16string &name, std::u16string *remainder);
bool SymbolicLinkExists(const std::u16string &link);
// Canonical forms: "\Device\X" and "\??\X".
std::vector<std::u16string> DeviceNames();
std::vector<std::u16string> SymbolicLinks();

// Device interfaces: the enabled interface paths of a class, and the state of one path.
// Paths are in the kernel's form "\??\...#{GUID}[\reference]".
std::vector<std::u16string> EnabledInterfaces(const GUID &classGuid);
std::vector<std::u16string> RegisteredInterfaces(const GUID &classGuid);
bool InterfaceEnabled(const std::u16string &path);
PDEVICE_OBJECT DeviceForInterface(const std::u16string &path);

// Small helpers for the substitute's callers.
std::u16string ToU16(const char *ascii);
std::string ToAscii(const std::u16string &s);
std::u16string FromUnicodeString(PCUNICODE_STRING s);

void ResetObjects();

}  // namespace sim
