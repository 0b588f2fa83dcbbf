// Commands on the device and its pipes that move no stream of data: control requests,
// configuration, alternate settings, reset, cycle, abort, power, statistics, parameters.
#include <chrono>
#include <cstdio>
#include <thread>

#include "ctl.h"

namespace xrusbctl {
namespace {

uint8_t Endpoint(const std::string &text) { return uint8_t(ParseNumber(text, 0xFF, "the endpoint")); }

// The data stage of an OUT request: --data HEX or --file PATH ("-": standard input).
std::optional<std::vector<uint8_t>> OutData(Args &a) {
  std::optional<std::string> hex = a.Option("--data"), file = a.Option("--file");
  if (hex && file) throw UsageError("give --data or --file, not both");
  if (hex) return ParseHex(*hex);
  if (file) return ReadFileBytes(*file);
  return std::nullopt;
}

void ShowBytes(Context &c, std::span<const uint8_t> bytes) {
  c.result["bytes"] = unsigned(bytes.size());
  c.result["data"] = Hex(bytes);
  c.Text("%s", HexDump(bytes).c_str());
}

int Ctrl(Context &c, Args &a) {
  std::optional<std::string> pipe = a.Option("--pipe");
  std::optional<std::vector<uint8_t>> data = OutData(a);
  if (a.Count() != 5) throw UsageError("ctrl needs bmRequestType bRequest wValue wIndex wLength");
  const uint8_t type = uint8_t(ParseNumber(a.At(0), 0xFF, "bmRequestType"));
  const uint8_t request = uint8_t(ParseNumber(a.At(1), 0xFF, "bRequest"));
  const uint16_t value = uint16_t(ParseNumber(a.At(2), 0xFFFF, "wValue"));
  const uint16_t index = uint16_t(ParseNumber(a.At(3), 0xFFFF, "wIndex"));
  const uint16_t length = uint16_t(ParseNumber(a.At(4), 0xFFFF, "wLength"));
  const bool in = type & 0x80;
  if (in && data) throw UsageError("an IN request (bmRequestType bit 7 set) takes no data");
  if (!in && (data ? data->size() : 0) != length)
    throw UsageError("wLength is " + std::to_string(length) + " but the data has " +
                     std::to_string(data ? data->size() : 0) + " bytes");
  std::vector<uint8_t> buffer = in ? std::vector<uint8_t>(length) : std::move(data).value_or(std::vector<uint8_t>());
  xrusb::Device &d = c.Open();
  size_t n;
  if (pipe) {
    xrusb::Pipe &p = c.OpenPipe(Endpoint(*pipe));
    const xrusb::SetupPacket setup{type, request, value, index};
    n = in ? p.ControlIn(setup, buffer) : p.ControlOut(setup, buffer);
  } else {
    n = d.ControlTransfer(type, request, value, index, buffer);
  }
  if (in) {
    ShowBytes(c, std::span<const uint8_t>(buffer.data(), n));
  } else {
    c.result["bytes"] = unsigned(n);
    c.Text("%zu bytes sent\n", n);
  }
  return kOk;
}

void ShowConfiguration(Context &c, xrusb::Device &d) {
  const xrusb::ActiveConfiguration a = d.GetActiveConfiguration();
  Json interfaces = Json::Array(), pipes = Json::Array();
  if (!a.Configured()) c.Text("not configured\n");
  for (const xrusb::ActiveInterface &i : a.interfaces) {
    c.Text("interface %u alt %u: class %u, %u pipe%s\n", i.number, i.altSetting, i.interfaceClass, i.numPipes,
           i.numPipes == 1 ? "" : "s");
    Json j;
    j["interface"] = unsigned(i.number);
    j["alt"] = unsigned(i.altSetting);
    interfaces.Push(std::move(j));
  }
  for (const xrusb::ActivePipe &p : a.pipes) {
    c.Text("  pipe 0x%02x %-11s max packet %4u, max transfer %u\n", p.endpoint, xrusb::ToString(p.type),
           p.maxPacketSize, p.maxTransferSize);
    Json j;
    j["endpoint"] = unsigned(p.endpoint);
    j["type"] = xrusb::ToString(p.type);
    j["maxPacketSize"] = unsigned(p.maxPacketSize);
    pipes.Push(std::move(j));
  }
  c.result["configured"] = a.Configured();
  c.result["interfaces"] = std::move(interfaces);
  c.result["pipes"] = std::move(pipes);
}

int Config(Context &c, Args &a) {
  std::optional<std::string> what = a.Optional(0);
  if (a.Count() > 1) throw UsageError("config takes one argument");
  xrusb::Device &d = c.Open();
  if (what && *what != "show") {
    c.DropPipes();
    if (*what == "none" || *what == "0")
      d.Unconfigure();
    else
      d.SetConfigurationByValue(uint8_t(ParseNumber(*what, 0xFF, "the configuration value")));
  }
  ShowConfiguration(c, d);
  return kOk;
}

int AltSetting(Context &c, Args &a) {
  if (a.Count() != 2) throw UsageError("altsetting needs INTERFACE ALT");
  xrusb::Device &d = c.Open();
  c.DropPipes();
  d.SetInterface({uint8_t(ParseNumber(a.At(0), 0xFF, "the interface")), uint8_t(ParseNumber(a.At(1), 0xFF, "the alternate setting"))});
  ShowConfiguration(c, d);
  return kOk;
}

int Reset(Context &c, Args &a) {
  std::optional<std::string> ep = a.Optional(0);
  if (a.Count() > 1) throw UsageError("reset takes at most an endpoint");
  xrusb::Device &d = c.Open();
  if (ep) {
    c.OpenPipe(Endpoint(*ep)).Reset();
    c.Text("pipe %s reset\n", ep->c_str());
  } else {
    c.DropPipes();
    d.Reset();
    c.Text("device reset\n");
  }
  return kOk;
}

int Cycle(Context &c, Args &a) {
  if (a.Count()) throw UsageError("cycle takes no arguments");
  c.Open().CyclePort();
  c.Forget();
  c.Text("port cycled: the device comes back under a new path\n");
  return kOk;
}

int Abort(Context &c, Args &a) {
  if (a.Count() != 1) throw UsageError("abort needs an endpoint");
  c.OpenPipe(Endpoint(a.At(0))).Abort();
  c.Text("pipe %s aborted\n", a.At(0).c_str());
  return kOk;
}

int Power(Context &c, Args &a) {
  const std::string what = a.Optional(0).value_or("get");
  xrusb::Device &d = c.Open();
  if (what == "set") {
    if (a.Count() != 2) throw UsageError("power set needs D0, D1, D2 or D3");
    const std::string s = a.At(1);
    if (s.size() != 2 || (s[0] != 'D' && s[0] != 'd') || s[1] < '0' || s[1] > '3')
      throw UsageError("power state must be D0, D1, D2 or D3, not " + s);
    d.SetPowerState(xrusb::PowerState(s[1] - '0'));
  } else if (what != "get" || a.Count() > 1) {
    throw UsageError("power get | power set D0..D3");
  }
  char state[8];
  std::snprintf(state, sizeof state, "D%u", unsigned(d.GetPowerState()));
  c.result["state"] = state;
  c.Text("%s\n", state);
  return kOk;
}

void ShowStats(Context &c, const xrusb::PipeStats &s) {
  c.result["averagingIntervalMs"] = s.averagingIntervalMs;
  c.result["averageRate"] = s.averageRate;
  c.result["bytesTransferred"] = s.bytesTransferred;
  c.result["requestsSucceeded"] = s.requestsSucceeded;
  c.result["requestsFailed"] = s.requestsFailed;
  c.Text("rate %u B/s (over %u ms), %llu bytes, %u requests ok, %u failed\n", s.averageRate, s.averagingIntervalMs,
         (unsigned long long)s.bytesTransferred, s.requestsSucceeded, s.requestsFailed);
}

int Stats(Context &c, Args &a) {
  const bool resetCounters = a.Flag("--reset");
  const std::optional<std::string> seconds = a.Option("--seconds");
  if (a.Count() < 2) throw UsageError("stats needs EP start [MS] | show | watch");
  xrusb::Pipe &p = c.OpenPipe(Endpoint(a.At(0)));
  const std::string what = a.At(1);
  if (what == "start") {
    const uint32_t ms = uint32_t(ParseNumber(a.Optional(2).value_or("1000"), 0xFFFFFFFF, "the interval"));
    p.SetupStatistics(ms);
    c.Text("statistics of pipe %s over %u ms\n", a.At(0).c_str(), ms);
  } else if (what == "show") {
    ShowStats(c, p.QueryStatistics(resetCounters));
  } else if (what == "watch") {
    const uint64_t n = ParseNumber(seconds.value_or("5"), 3600, "--seconds");
    for (uint64_t i = 0; i < n; ++i) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      ShowStats(c, p.QueryStatistics(false));
    }
  } else {
    throw UsageError("stats EP start [MS] | show [--reset] | watch [--seconds N]");
  }
  return kOk;
}

int Params(Context &c, Args &a) {
  std::optional<std::string> options = a.Option("--options"), timeout = a.Option("--timeout");
  const std::string what = a.Optional(0).value_or("get");
  if (a.Count() > 1 || (what != "get" && what != "set")) throw UsageError("params [get] | params set [--options N] [--timeout MS]");
  xrusb::Device &d = c.Open();
  if (what == "set") {
    if (!options && !timeout) throw UsageError("params set needs --options or --timeout");
    xrusb::DeviceSettings s = d.GetSettings();
    if (options) s.options = uint32_t(ParseNumber(*options, 0xFFFFFFFF, "--options"));
    if (timeout) s.requestTimeoutMs = uint32_t(ParseNumber(*timeout, 0xFFFFFFFF, "--timeout"));
    d.SetSettings(s);
  }
  const xrusb::DeviceSettings s = d.GetSettings();
  c.result["options"] = s.options;
  c.result["requestTimeoutMs"] = s.requestTimeoutMs;
  c.Text("options 0x%x, request time-out %u ms\n", s.options, s.requestTimeoutMs);
  return kOk;
}

}  // namespace

const Command kDeviceCommands[] = {
    {"ctrl", "bmRequestType bRequest wValue wIndex wLength [--data HEX | --file F] [--pipe EP]",
     "any control request; IN data shown as a hex dump", Ctrl},
    {"config", "[VALUE | none | show]", "set the configuration by bConfigurationValue, drop it, or show it", Config},
    {"altsetting", "INTERFACE ALT", "select an alternate setting", AltSetting},
    {"reset", "[EP]", "reset the device's port, or a pipe (clears a halt)", Reset},
    {"cycle", "", "cycle the port: the device leaves and comes back", Cycle},
    {"abort", "EP", "abort the pipe's transfers", Abort},
    {"power", "get | set D0..D3", "the device's power state", Power},
    {"stats", "EP start [MS] | show [--reset] | watch [--seconds N]", "the pipe's statistics", Stats},
    {"params", "[get] | set [--options N] [--timeout MS]", "the driver's parameters for the device", Params},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace xrusbctl
