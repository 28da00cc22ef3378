// The engine library's only export, CreateMsgLogic.
//
// MSGLOGIC_SCENARIO names a scenario file to run instead of the built-in
// one; a file that cannot be read or parsed is reported on standard error
// and no engine is made. MSGLOGIC_ENGINE_VERBOSE (any value but empty or
// "0") prints every call the engine gets on standard error; warnings are
// printed either way.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "MsgLogic.h"
#include "engine/scenario.h"
#include "engine/stand_in_engine.h"

namespace {

bool Verbose() {
  const char* value = std::getenv("MSGLOGIC_ENGINE_VERBOSE");
  return value != nullptr && *value != '\0' && std::string(value) != "0";
}

bool LoadScenario(stand_in::Scenario* scenario) {
  const char* path = std::getenv("MSGLOGIC_SCENARIO");
  if (path == nullptr || *path == '\0') {
    *scenario = stand_in::DefaultScenario();
    return true;
  }
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string error;
  if (!file) {
    error = "cannot read the file";
  } else if (stand_in::ParseScenario(text.str(), scenario, &error)) {
    return true;
  }
  std::fprintf(stderr, "msglogic: scenario %s: %s\n", path, error.c_str());
  return false;
}

}  // namespace

extern "C" MSGLOGIC_API IMsgLogic* CreateMsgLogic(void) {
  try {
    stand_in::Scenario scenario;
    if (!LoadScenario(&scenario)) return nullptr;
    const bool verbose = Verbose();
    return stand_in::NewEngine(std::move(scenario), [verbose](const std::string& line) {
      if (verbose || line.compare(0, 9, "warning: ") == 0) {
        std::fprintf(stderr, "msglogic: %s\n", line.c_str());
      }
    });
  } catch (const std::exception&) {
    return nullptr;
  }
}
