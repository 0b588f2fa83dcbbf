// The test bus: a root-enumerated WDM bus driver whose children are simulated USB test devices.
// The bus FDO reports one PDO per plugged device; the PDOs take URBs, which one worker thread
// runs against the device model in order, so that the model itself needs no lock. Kernel mode.
#pragma once
#include "platform/windows/ddk.h"
#include "windows/usbbus/test_bus_control.h"
#include "windows/usbbus/test_device_descriptors.h"

// Exported by ntoskrnl, missing from mingw-w64's DDK headers.
extern "C" NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

// usb.h of the WDK has it; mingw-w64's lacks it. Bits 30-31 both set: the endpoint halted.
#ifndef USBD_HALTED
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)
#endif

namespace xrbus {

constexpr ULONG kPoolTag = 'subX';
constexpr ULONG kMaxPipes = 16;
constexpr ULONG kPipeBufferSize = 4096;

enum class ObjectKind : ULONG { Fdo = 1, Pdo, Control };

// Endpoint address -> 0..31, for the per-endpoint tables.
inline ULONG EndpointIndex(UCHAR address) { return (address & 0x0F) | ((address & 0x80) ? 16 : 0); }

struct Pipe {
  BOOLEAN open;
  BOOLEAN hostHalted;  // after an error, until the pipe is reset: its queue waits
  UCHAR address;
  UCHAR type;  // USBD_PIPE_TYPE
  UCHAR interval;
  UCHAR interfaceNumber;
  USHORT maxPacket;     // one transaction
  UCHAR transactions;   // per microframe
};

struct Fault {
  UCHAR kind;  // XrbusFaultKind
  USBD_STATUS status;
  ULONG count;  // 0: until cleared
  ULONG skip;
};

// One port and the test device in it. The model's fields belong to the worker thread; 'present',
// 'pdo', 'faults' and 'held' are under the bus lock.
struct Port {
  BOOLEAN present;
  PDEVICE_OBJECT pdo;
  ULONG instance;
  USHORT productId;
  Fault faults[32];
  ULONG held;  // transfers the device NAKed in the last pass

  // --- the device model (worker thread) ---
  UCHAR configuration;
  UCHAR alternate[3];
  BOOLEAN remoteWakeup;
  ULONG deviceHalted;  // endpoints halted in the device, by EndpointIndex
  Pipe pipes[kMaxPipes];
  UCHAR memory[kMemorySize];
  USHORT reg;
  UCHAR loopback[kLoopbackCapacity];
  ULONG loopbackHead, loopbackCount;
  ULONG64 sourceOffset, sinkOffset, isoInOffset;
  UCHAR pipeBuffer[kPipeBufferSize];
  ULONG pipeBufferLength;
  XrbusCounters counters;
};

struct Bus {
  PDEVICE_OBJECT fdo, lower, physical;
  KSPIN_LOCK lock;
  LIST_ENTRY queue;  // IRPs for the worker, under lock
  KEVENT wake;
  HANDLE thread;
  volatile LONG stopping;
  ULONG nextInstance;  // under lock
  Port ports[XRBUS_MAX_PORTS];
};

struct Extension {
  ObjectKind kind;
  Bus *bus;
  ULONG port;       // PDO: its port
  PIRP waitWake;    // PDO: the wait-wake IRP held, under the bus lock
};

inline Extension *ExtensionOf(PDEVICE_OBJECT device) { return static_cast<Extension *>(device->DeviceExtension); }

// The one bus, while its FDO exists; the control device reaches it through this.
extern Bus *g_bus;

// fdo.cpp
NTSTATUS DispatchFdoPnp(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchFdoPower(PDEVICE_OBJECT fdo, PIRP irp);
// pdo.cpp
NTSTATUS DispatchPdoPnp(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS DispatchPdoPower(PDEVICE_OBJECT pdo, PIRP irp);
// control.cpp
NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS PlugDevice(Bus *bus, USHORT productId, ULONG *port);
VOID UnplugDevice(Bus *bus, ULONG port);
// queue.cpp
NTSTATUS StartWorker(Bus *bus);
VOID StopWorker(Bus *bus);
NTSTATUS DispatchPdoInternalControl(PDEVICE_OBJECT pdo, PIRP irp);
VOID FailQueued(Bus *bus, ULONG port, USBD_STATUS status);
NTSTATUS IrpStatusFor(USBD_STATUS status);
ULONG CurrentFrame();
// urb.cpp: runs one queued IRP in the worker. FALSE: it waits (the device NAKed, or an earlier
// transfer of its pipe waits); the caller puts it on the pass's waiting list.
struct Pass {
  ULONG blocked[XRBUS_MAX_PORTS];  // by EndpointIndex
  ULONG naked[XRBUS_MAX_PORTS];    // transfers the device NAKed (those queued behind them not counted)
  LIST_ENTRY waiting;
};
BOOLEAN RunQueued(Bus *bus, PIRP irp, Pass &pass);
// queue.cpp: completes an IRP the bus holds with a USBD status.
VOID CompleteWith(PIRP irp, USBD_STATUS status);
// select.cpp
USBD_STATUS SelectConfiguration(Port &port, PURB urb);
USBD_STATUS SelectInterface(Port &port, PURB urb);
Pipe *PipeOf(Port &port, USBD_PIPE_HANDLE handle);

// test_device.cpp: the model. Each answer is one of these.
enum class Answer : UCHAR { Ack, Stall, Nak, Error };
struct Reply {
  Answer kind;
  USBD_STATUS status;  // Error
  ULONG length;        // Ack: IN bytes written, OUT bytes taken
};
struct Setup {
  UCHAR bmRequestType, bRequest;
  USHORT wValue, wIndex, wLength;
  BOOLEAN In() const { return (bmRequestType & 0x80) != 0; }
};
VOID ResetModel(Port &port, USHORT productId);
const UCHAR *ConfigurationBlock(UCHAR index, ULONG *length);
Reply DescriptorRequest(Port &port, const Setup &setup, PUCHAR buffer, ULONG length);
Reply DeviceIn(Port &port, UCHAR endpoint, PUCHAR buffer, ULONG length);
Reply DeviceOut(Port &port, UCHAR endpoint, const UCHAR *buffer, ULONG length);
Reply VendorRequest(Port &port, const Setup &setup, PUCHAR buffer, ULONG length);
Reply PipeControl(Port &port, UCHAR endpoint, const Setup &setup, PUCHAR buffer, ULONG length);
VOID DeviceConfigured(Port &port, UCHAR value);
VOID DevicePortReset(Port &port);

}  // namespace xrbus
