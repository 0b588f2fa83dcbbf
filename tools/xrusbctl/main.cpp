// xrusbctl: the command line of xrusb. One run carries a session: one command, several
// separated by ";", a script file, or an interactive shell; on the host a simulated machine lives
// for the whole run.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "ctl.h"

namespace xrusbctl {
namespace {

const Command *const kTables[] = {kDescribeCommands, kDeviceCommands, kDataCommands, kFirmwareCommands,
                                   kMachineCommands};

const Command *Find(const std::string &name) {
  for (const Command *t : kTables)
    for (const Command *c = t; c->name; ++c)
      if (name == c->name) return c;
  return nullptr;
}

void Usage(std::FILE *f) {
  std::fprintf(f,
               "usage: xrusbctl [--json] [-s DEVICE]%s COMMAND [ARGS] [; COMMAND [ARGS]]...\n"
               "       xrusbctl [options] -f SCRIPT | shell\n\n"
               "DEVICE: an index of `list`, a path, or VID:PID[:SERIAL] (hex); default the first.\n",
               SimulatedMachine() ? " [--device test|test:full|ss|fx2]... [--capture FILE]" : "");
  if (SimulatedMachine())
    std::fprintf(f,
                 "This build runs a simulated machine with the driver loaded and, unless --device says\n"
                 "otherwise, the built-in test device plugged; --capture writes its URBs for Wireshark.\n");
  std::fprintf(f, "\ncommands:\n");
  for (const Command *t : kTables)
    for (const Command *c = t; c->name; ++c) std::fprintf(f, "  %-11s %s\n", c->name, c->help);
  std::fprintf(f,
               "  %-11s %s\n  %-11s %s\n\nEach command takes --help. Exit codes: 0 done, 1 a request failed, 2 usage,"
               " 3 no such device.\n",
               "select", "DEVICE: the device of the following commands", "shell", "interactive, with history");
}

// One command with its words; the exit code.
int RunStep(Context &context, const std::vector<std::string> &words) {
  if (words.empty()) return kOk;
  const std::string &name = words[0];
  std::vector<std::string> rest(words.begin() + 1, words.end());
  context.result = Json();
  try {
    if (name == "help" || name == "--help" || name == "-h") {
      const Command *c = rest.empty() ? nullptr : Find(rest[0]);
      if (c)
        std::printf("usage: xrusbctl %s %s\n  %s\n", c->name, c->usage, c->help);
      else
        Usage(stdout);
      return kOk;
    }
    if (name == "select") {
      if (rest.size() != 1) throw UsageError("select needs a device");
      context.select = rest[0];
      return kOk;
    }
    const Command *c = Find(name);
    if (!c) throw UsageError("unknown command \"" + name + "\" (try help)");
    Args args(rest);
    if (args.Flag("--help", "-h")) {
      std::printf("usage: xrusbctl %s %s\n  %s\n", c->name, c->usage, c->help);
      return kOk;
    }
    const int code = c->run(context, args);
    if (context.json) std::printf("%s\n", (context.result.IsNull() ? Json::Object() : context.result).Dump().c_str());
    std::fflush(stdout);
    return code;
  } catch (const UsageError &e) {
    std::fprintf(stderr, "xrusbctl: %s: %s\n", name.c_str(), e.what());
    if (const Command *c = Find(name)) std::fprintf(stderr, "usage: xrusbctl %s %s\n", c->name, c->usage);
    return kUsage;
  } catch (const NoDevice &e) {
    std::fprintf(stderr, "xrusbctl: %s: %s\n", name.c_str(), e.what());
    return kNoDevice;
  } catch (const std::system_error &e) {
    // The library's own words: the status's name and meaning.
    std::fprintf(stderr, "xrusbctl: %s: %s\n", name.c_str(), e.code().message().c_str());
    if (context.json) {
      Json j;
      j["error"] = e.code().message();
      char status[16];
      std::snprintf(status, sizeof status, "0x%08X", unsigned(xrusb::StatusOf(e.code())));
      j["status"] = status;
      std::printf("%s\n", j.Dump().c_str());
    }
    return kFailed;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "xrusbctl: %s: %s\n", name.c_str(), e.what());
    return kFailed;
  }
}

// Words of one line or of the command line, cut at ";" (alone or ending a word).
std::vector<std::vector<std::string>> Steps(const std::vector<std::string> &words) {
  std::vector<std::vector<std::string>> steps(1);
  for (std::string w : words) {
    const bool ends = !w.empty() && w.back() == ';';
    if (ends) w.pop_back();
    if (!w.empty()) steps.back().push_back(w);
    if (ends) steps.emplace_back();
  }
  return steps;
}

// A script or the command line stops at the first failing step; the shell goes on.
int RunSteps(Context &context, const std::vector<std::string> &words, bool goOn) {
  int code = kOk;
  for (const std::vector<std::string> &step : Steps(words)) {
    code = RunStep(context, step);
    if (code != kOk && !goOn) break;
  }
  return code;
}

int Shell(Context &context) {
  std::string line;
  int code = kOk;
  while (ReadLine("xrusbctl> ", line)) {
    std::vector<std::string> words;
    try {
      words = Tokenize(line);
    } catch (const UsageError &e) {
      std::fprintf(stderr, "xrusbctl: %s\n", e.what());
      continue;
    }
    if (!words.empty() && (words[0] == "exit" || words[0] == "quit")) break;
    code = RunSteps(context, words, true);
  }
  return code;
}

int Script(Context &context, const std::string &path) {
  std::ifstream in(path == "-" ? "/dev/stdin" : path);
  if (!in) {
    std::fprintf(stderr, "xrusbctl: cannot read %s\n", path.c_str());
    return kUsage;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> words;
    try {
      words = Tokenize(line);
    } catch (const UsageError &e) {
      std::fprintf(stderr, "xrusbctl: %s: %s\n", path.c_str(), e.what());
      return kUsage;
    }
    const int code = RunSteps(context, words, false);
    if (code != kOk) return code;
  }
  return kOk;
}

int Main(int argc, char **argv) {
  Context context;
  std::vector<std::string> devices;
  std::string capture, script;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--json") {
      context.json = true;
    } else if ((a == "-s" || a == "--select") && hasValue) {
      context.select = argv[++i];
    } else if ((a == "-f" || a == "--script") && hasValue) {
      script = argv[++i];
    } else if (a == "--device" && hasValue && SimulatedMachine()) {
      devices.push_back(argv[++i]);
    } else if (a == "--capture" && hasValue && SimulatedMachine()) {
      capture = argv[++i];
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return kOk;
    } else {
      std::fprintf(stderr, "xrusbctl: unknown option %s\n", a.c_str());
      Usage(stderr);
      return kUsage;
    }
  }
  const std::vector<std::string> words(argv + i, argv + argc);
  if (words.empty() && script.empty()) {
    Usage(stderr);
    return kUsage;
  }
  try {
    StartMachine(devices.empty() ? std::vector<std::string>{"test"} : devices, capture);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "xrusbctl: %s\n", e.what());
    StopMachine();  // not left to static destruction, which would run after the world it needs
    return kUsage;
  }
  int code;
  if (!script.empty())
    code = Script(context, script);
  else if (words.size() == 1 && words[0] == "shell")
    code = Shell(context);
  else
    code = RunSteps(context, words, false);
  context.Forget();
  StopMachine();
  return code;
}

}  // namespace
}  // namespace xrusbctl

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return xrusbctl::Main(argc, argv);
}
