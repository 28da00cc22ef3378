// The XMPP engine library's only export, CreateMsgLogic.
//
// The settings come from the environment (see config.h and doc/xmpp.md);
// a setting that cannot be read is reported on standard error and left at
// its default. MSGLOGIC_ENGINE_VERBOSE (any value but empty or "0") prints
// every call the engine gets on standard error, and the value "2" adds
// libstrophe's own log; warnings are printed either way.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MsgLogic.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/xmpp_engine.h"

extern "C" MSGLOGIC_API IMsgLogic* CreateMsgLogic(void) {
  try {
    const char* verbose_value = std::getenv("MSGLOGIC_ENGINE_VERBOSE");
    const std::string verbose_text = verbose_value != nullptr ? verbose_value : "";
    const bool verbose = !verbose_text.empty() && verbose_text != "0";
    std::string warning;
    const xmpp_engine::Config config = xmpp_engine::ReadConfig(&warning);
    if (!warning.empty()) std::fprintf(stderr, "msglogic-xmpp: warning: %s\n", warning.c_str());
    return xmpp_engine::NewEngine(
        config,
        [verbose](const std::string& line) {
          if (verbose || line.compare(0, 9, "warning: ") == 0) {
            std::fprintf(stderr, "msglogic-xmpp: %s\n", line.c_str());
          }
        },
        verbose_text == "2");
  } catch (...) {
    return nullptr;
  }
}
