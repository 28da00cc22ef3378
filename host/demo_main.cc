// msglogic-demo: a host of the agent library, loaded at run time as a real
// host loads it. By default it walks through a scripted tour of the
// stand-in engine's built-in scenario and exits 0 only if every step
// behaved as expected.
//
// It works in the folder "demo" beside the program, which holds the saved
// logins (KWPMsg/loginInfo.ini): the agent reads them from the current
// directory.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "MsgLogicEx.h"
#include "host/load_library.h"
#include "host/modes.h"
#include "host/os.h"
#include "host/transcript.h"

namespace {

const char kUsage[] =
    "usage: msglogic-demo [--interactive | --timeout-demo] [--scenario FILE]\n"
    "                     [--agent LIBRARY] [--workdir DIR]\n"
    "  (no mode)        the scripted tour; exit code 0 when every step is ok\n"
    "  --interactive    a command prompt (type help)\n"
    "  --timeout-demo   the engine goes silent; the agent declares the loss\n"
    "                   after 21-23 s\n"
    "  --scenario FILE  the stand-in engine's scenario (sets MSGLOGIC_SCENARIO)\n"
    "  --agent LIBRARY  the agent library to load (default: beside the program)\n"
    "  --workdir DIR    the folder holding KWPMsg/loginInfo.ini (default: demo\n"
    "                   beside the program)\n";

std::string Absolute(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(path, ec);
  return ec ? path : full.string();
}

}  // namespace

int main(int argc, char** argv) {
  demo::PrepareConsole();
  enum { kTour, kInteractive, kTimeout } mode = kTour;
  std::string agent_path;
  std::string workdir = demo::ProgramDir() + "/demo";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--interactive") {
      mode = kInteractive;
    } else if (arg == "--timeout-demo") {
      mode = kTimeout;
    } else if (arg == "--scenario" && has_value) {
      demo::SetEnvVar("MSGLOGIC_SCENARIO", Absolute(argv[++i]));
    } else if (arg == "--agent" && has_value) {
      agent_path = Absolute(argv[++i]);
    } else if (arg == "--workdir" && has_value) {
      workdir = argv[++i];
    } else {
      std::fputs(kUsage, arg == "--help" || arg == "-h" ? stdout : stderr);
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }
  // A scenario named relative to where the demo was started.
  const char* scenario = std::getenv("MSGLOGIC_SCENARIO");
  const std::string scenario_path = scenario != nullptr ? scenario : "";
  if (!scenario_path.empty()) demo::SetEnvVar("MSGLOGIC_SCENARIO", Absolute(scenario_path));

  std::error_code ec;
  std::filesystem::current_path(workdir, ec);
  if (ec) {
    std::fprintf(stderr, "msglogic-demo: cannot work in %s: %s\n", workdir.c_str(),
                 ec.message().c_str());
    return 2;
  }
  std::string error;
  PFN_CreateMsgLogicEx create = demo::LoadAgentFactory(agent_path, &error);
  if (create == nullptr) {
    std::fprintf(stderr, "msglogic-demo: %s\n", error.c_str());
    return 2;
  }

  demo::Transcript out(stdout);
  const char* named = std::getenv("MSGLOGIC_SCENARIO");
  out.Line(std::string("msglogic-demo in ") + std::filesystem::current_path(ec).string() +
           ", scenario: " + (named != nullptr && *named != '\0' ? named : "built-in"));
  switch (mode) {
    case kInteractive:
      return demo::RunInteractive(create, &out, std::cin);
    case kTimeout:
      return demo::RunTimeoutDemo(create, &out);
    case kTour:
      break;
  }
  return demo::RunTour(create, &out);
}
