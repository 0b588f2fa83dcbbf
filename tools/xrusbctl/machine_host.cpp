// The host build's simulated machine: the devices xrusbctl plugs at start, and the commands that
// plug, unplug, inject faults, show the URB trace and write a capture.
#include <cstdio>
#include <memory>

#include "ctl.h"
#include "xrusb/sim.hpp"

namespace xrusbctl {
namespace {

namespace xs = xrusb::sim;

std::unique_ptr<xs::Machine> g_machine;
std::string g_capture;
xs::DeviceId g_last = 0;

// A SuperSpeed source and sink built from descriptors alone (1209:7356): bulk IN 0x81 sends a
// counting pattern, bulk OUT 0x02 takes everything; bursts of 16 packets of 1024 bytes.
xs::DeviceModel SuperSpeedDevice() {
  xs::DeviceModel m;
  m.speed = xs::Speed::Super;
  m.deviceDescriptor = {18, 1, 0x20, 0x03, 0xFF, 0, 0, 9, 0x09, 0x12, 0x56, 0x73, 0x00, 0x01, 1, 2, 3, 1};
  m.configurations.push_back({
      9, 2, 44, 0, 1, 1, 0, 0x80, 50,            // configuration, 44 bytes, one interface
      9, 4, 0, 0, 2, 0xFF, 0, 0, 0,              // interface 0: vendor class, two endpoints
      7, 5, 0x81, 2, 0x00, 0x04, 0,              // bulk IN 1024
      6, 48, 15, 0, 0, 0,                        // companion: bursts of 16
      7, 5, 0x02, 2, 0x00, 0x04, 0,              // bulk OUT 1024
      6, 48, 15, 0, 0, 0,
  });
  m.strings[0] = {4, 3, 0x09, 0x04};
  m.strings[1] = xs::StringDescriptor(u"xrusb");
  m.strings[2] = xs::StringDescriptor(u"xrusb SuperSpeed source/sink");
  m.strings[3] = xs::StringDescriptor(u"SS01");
  m.bos = {5, 15, 22, 0, 2,                      // BOS, 22 bytes, two capabilities
           7, 16, 2, 0x02, 0, 0, 0,              // USB 2.0 extension: LPM
           10, 16, 3, 0, 0x0E, 0, 1, 10, 0xFF, 0x07};  // SuperSpeed: full, high and super speed
  auto offset = std::make_shared<uint64_t>(0);
  m.in = [offset](uint8_t, size_t length) {
    std::vector<uint8_t> data(length);
    for (uint8_t &b : data) b = uint8_t((*offset)++ % 251);
    return xs::Response::Ack(std::move(data));
  };
  m.out = [](uint8_t, std::span<const uint8_t>) { return xs::Response::Ack(); };
  return m;
}

xs::DeviceId PlugKind(const std::string &kind) {
  xs::TestDeviceOptions o;
  o.loopbackCapacity = 1 << 20;  // room for several requests in flight each way
  if (kind == "test" || kind == "test:high") return g_machine->PlugTestDevice(o, {});
  if (kind == "test:full") {
    o.speed = xs::Speed::Full;
    return g_machine->PlugTestDevice(o, {});
  }
  if (kind == "fx2") return g_machine->PlugFx2Bootloader();
  if (kind == "ss") return g_machine->Plug(SuperSpeedDevice());
  throw UsageError("unknown device \"" + kind + "\" (test, test:full, ss, fx2)");
}

xs::DeviceId Which(Args &a) {
  std::optional<std::string> id = a.Option("--id");
  const xs::DeviceId d = id ? xs::DeviceId(ParseNumber(*id, 1000, "--id")) : g_last;
  if (d == 0) throw NoDevice("no device is plugged");
  return d;
}

void NeedMachine() {
  if (!g_machine) throw UsageError("no simulated machine");
}

}  // namespace

bool LoadFirmware(const std::string &name, std::vector<uint8_t> firmware) {
  NeedMachine();
  g_machine->PutDriverFile(name, std::move(firmware));
  g_last = g_machine->PlugFx2Bootloader({.strings = {{"FxFwFile", name}}});
  g_machine->Settle();
  return !g_machine->Path(g_last).empty();
}

namespace {

int Plug(Context &c, Args &a) {
  NeedMachine();
  const std::string kind = a.Optional(0).value_or("test");
  if (a.Count() > 1) throw UsageError("plug takes one device kind");
  g_last = PlugKind(kind);
  const std::string path = xrusb::ToUtf8(g_machine->Path(g_last));
  c.result["id"] = g_last;
  c.result["path"] = path;
  c.Text("plugged %s as device %u: %s\n", kind.c_str(), g_last, path.c_str());
  return kOk;
}

int Unplug(Context &c, Args &a) {
  NeedMachine();
  std::optional<std::string> id = a.Optional(0);
  if (a.Count() > 1) throw UsageError("unplug takes one device id");
  const xs::DeviceId d = id ? xs::DeviceId(ParseNumber(*id, 1000, "the device id")) : g_last;
  try {
    g_machine->Unplug(d);
  } catch (const std::logic_error &e) {
    throw NoDevice(e.what());
  }
  c.Text("device %u unplugged\n", d);
  return kOk;
}

int Fault(Context &c, Args &a) {
  NeedMachine();
  const xs::DeviceId d = Which(a);
  std::optional<std::string> count = a.Option("--count"), request = a.Option("--request");
  if (a.Optional(0) == "clear") {
    g_machine->ClearFaults(d);
    c.Text("faults cleared\n");
    return kOk;
  }
  if (a.Count() < 2) throw UsageError("fault EP stall|nak|short N|error USBD_STATUS [--count N] [--request bRequest]");
  const uint8_t ep = uint8_t(ParseNumber(a.At(0), 0xFF, "the endpoint"));
  const std::string kind = a.At(1);
  xs::Fault f;
  f.count = unsigned(ParseNumber(count.value_or("1"), 1u << 20, "--count"));
  if (kind == "stall") {
    f.response = xs::Response::Stall();
  } else if (kind == "nak") {
    f.response = xs::Response::Nak();
  } else if (kind == "short") {
    f.response = xs::Response::Ack(std::vector<uint8_t>(ParseNumber(a.At(2), 1u << 20, "the short length"), 0x5A));
  } else if (kind == "error") {
    f.response = xs::Response::Error(uint32_t(ParseNumber(a.At(2), 0xFFFFFFFF, "the USBD status")));
  } else {
    throw UsageError("fault kind must be stall, nak, short or error");
  }
  if (request)
    g_machine->FailRequest(d, uint8_t(ParseNumber(*request, 0xFF, "--request")), f);
  else
    g_machine->FailEndpoint(d, ep, f);
  c.Text("fault set\n");
  return kOk;
}

int Trace(Context &c, Args &a) {
  NeedMachine();
  const xs::DeviceId d = Which(a);
  const bool clear = a.Flag("--clear");
  if (a.Count()) throw UsageError("trace takes only --id and --clear");
  Json list = Json::Array();
  for (const xs::Transfer &t : g_machine->Trace(d)) {
    const std::string line = t.Describe();
    c.Text("%s\n", line.c_str());
    list.Push(line);
  }
  if (clear) g_machine->ClearTrace(d);
  c.result["transfers"] = std::move(list);
  return kOk;
}

int Capture(Context &c, Args &a) {
  NeedMachine();
  if (a.Count() != 1) throw UsageError("capture needs a file name");
  g_machine->WriteCapture(a.At(0));
  c.Text("capture written to %s\n", a.At(0).c_str());
  return kOk;
}

}  // namespace

const Command kMachineCommands[] = {
    {"plug", "[test | test:full | ss | fx2]", "plug a simulated device (ss: a SuperSpeed source/sink)", Plug},
    {"unplug", "[ID]", "unplug a simulated device (default: the last plugged)", Unplug},
    {"fault", "EP stall|nak|short N|error STATUS [--count N] [--request bRequest] [--id ID] | clear",
     "make the simulated device misbehave", Fault},
    {"trace", "[--id ID] [--clear]", "the URBs the simulated bus saw", Trace},
    {"capture", "FILE", "write the URB trace as a USBPcap file (Wireshark)", Capture},
    {nullptr, nullptr, nullptr, nullptr},
};

bool SimulatedMachine() { return true; }

void StartMachine(const std::vector<std::string> &devices, const std::string &captureFile) {
  xs::MachineOptions o;
  o.realTimeBus = true;  // bench measures the bus's own rate
  o.captureData = !captureFile.empty();  // payloads cost memory: kept only when a capture is wanted
  g_machine = std::make_unique<xs::Machine>(o);
  g_capture = captureFile;
  for (const std::string &kind : devices) g_last = PlugKind(kind);
}

void StopMachine() {
  if (!g_machine) return;
  if (!g_capture.empty()) {
    try {
      g_machine->WriteCapture(g_capture);
    } catch (const std::exception &e) {
      std::fprintf(stderr, "xrusbctl: %s\n", e.what());
    }
  }
  g_machine.reset();
}

}  // namespace xrusbctl
