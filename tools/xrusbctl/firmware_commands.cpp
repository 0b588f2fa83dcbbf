// Firmware files for EZ-USB FX devices: checked as the driver will load them at device start,
// rewritten into a form it accepts, or (on the simulated machine) loaded into a bare FX2.
#include <cstdio>
#include <fstream>

#include "ctl.h"
#include "tools/fxhex/fxhex.h"

namespace xrusbctl {
namespace {

int Check(Context &c, Args &a, uint32_t base) {
  if (a.Count() != 2) throw UsageError("fw check FILE [--base FXEXTRAMBASE]");
  const std::string &name = a.At(1);
  const fxhex::CheckResult r = fxhex::Check(ReadFileBytes(name), base);
  Json findings = Json::Array();
  for (const fxhex::Finding &f : r.findings) {
    c.Text("%s\n", fxhex::Format(name, f).c_str());
    Json j = Json::Object();
    j["severity"] = f.severity == fxhex::Finding::Severity::Error ? "error" : "warning";
    j["line"] = f.line;
    j["column"] = f.column;
    j["message"] = f.message;
    findings.Push(std::move(j));
  }
  c.result["loads"] = r.loads;
  c.result["records"] = r.records;
  c.result["internalBytes"] = r.internalBytes;
  c.result["externalBytes"] = r.externalBytes;
  c.result["findings"] = std::move(findings);
  if (!r.loads) return c.Text("%s: the driver refuses this file\n", name.c_str()), kFailed;
  c.Text("%s: loads: %u data records, %u bytes to internal and %u to external memory (FxExtRamBase 0x%X)\n",
         name.c_str(), r.records, r.internalBytes, r.externalBytes, base);
  return kOk;
}

int Fix(Context &c, Args &a) {
  if (a.Count() != 3) throw UsageError("fw fix FILE OUT");
  const std::string &name = a.At(1), &out = a.At(2);
  const fxhex::FixResult r = fxhex::Fix(ReadFileBytes(name));
  Json changes = Json::Array();
  for (const std::string &change : r.changes) {
    c.Text("%s: %s\n", name.c_str(), change.c_str());
    changes.Push(change);
  }
  c.result["fixed"] = r.ok;
  c.result["changes"] = std::move(changes);
  if (!r.ok) return c.Text("%s: not fixed\n", name.c_str()), kFailed;
  std::ofstream file(out, std::ios::binary);
  file << r.text;
  if (!file.flush()) throw std::runtime_error(out + ": cannot write");
  c.Text("%s: written\n", out.c_str());
  return kOk;
}

int Load(Context &c, Args &a) {
  if (a.Count() != 2) throw UsageError("fw load FILE");
  const std::string &path = a.At(1);
  const std::string name = path.substr(path.find_last_of("/\\") + 1);
  const bool started = LoadFirmware(name, ReadFileBytes(path));
  c.Forget();
  Json devices = Json::Array();
  std::string list;
  for (const xrusb::DeviceEntry &e : c.Devices()) {
    if (!e.descriptor) continue;
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", e.descriptor->vendorId, e.descriptor->productId);
    devices.Push(std::string(ids));
    list += std::string(list.empty() ? "" : ", ") + ids;
  }
  c.result["loaded"] = started;
  c.result["devices"] = std::move(devices);
  c.Text("plugged a bare FX2 whose FxFwFile is %s: %s; devices now: %s\n", name.c_str(),
         started ? "loaded, and back as its firmware" : "the driver failed its start (see fw check)", list.c_str());
  return started ? kOk : kFailed;
}

int Firmware(Context &c, Args &a) {
  const uint32_t base = uint32_t(ParseNumber(a.Option("--base").value_or("0x2000"), 0xFFFFFFFF, "--base"));
  const std::optional<std::string> what = a.Optional(0);
  if (what == "check") return Check(c, a, base);
  if (what == "fix") return Fix(c, a);
  if (what == "load") return Load(c, a);
  throw UsageError("fw check FILE [--base FXEXTRAMBASE] | fw fix FILE OUT | fw load FILE");
}

}  // namespace

const Command kFirmwareCommands[] = {
    {"fw", "check FILE [--base N] | fix FILE OUT | load FILE",
     "check an FX firmware HEX file as the driver loads it, write a copy it accepts, or load it (host)", Firmware},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace xrusbctl
