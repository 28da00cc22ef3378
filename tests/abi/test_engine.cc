// A replacement engine library for the binary-interface test: built from
// include/ alone under the engine library's own name, it takes the stand-in's
// place when loaded first. It accepts every login, records what the agent
// sends, and lets the test reach the sink the agent attached.
#include <deque>
#include <mutex>
#include <string>

#include "MsgLogic.h"

namespace {

std::mutex g_mu;
IMsgLogicSink* g_sink = nullptr;   // guarded by g_mu
// Guarded by g_mu; only ever appended to, so a call's text stays where it
// is (TestEngineCall hands it out).
std::deque<std::string> g_calls;

void Note(const std::string& call) {
  std::lock_guard<std::mutex> hold(g_mu);
  g_calls.push_back(call);
}

class TestEngine final : public IMsgLogic {
 public:
  int32_t SetSink(IMsgLogicSink* sink) override {
    std::lock_guard<std::mutex> hold(g_mu);
    g_sink = sink;
    g_calls.push_back("SetSink");
    return 0;
  }
  int32_t LoginByName(const char* hex, int32_t) override {
    Note(std::string("LoginByName ") + hex);
    return 2;
  }
  int32_t LoginById(int32_t id, int32_t param) override {
    Note("LoginById " + std::to_string(id) + " " + std::to_string(param));
    return 2;
  }
  int32_t Release() override {
    {
      std::lock_guard<std::mutex> hold(g_mu);
      g_sink = nullptr;
      g_calls.push_back("Release");
    }
    delete this;
    return 0;
  }
  int32_t SendText(int32_t id, int32_t one, int32_t self, int32_t value,
                   const char* text) override {
    Note("SendText " + std::to_string(id) + " " + std::to_string(one) + " " +
         std::to_string(self) + " " + std::to_string(value) + " " + text);
    return 0;
  }
  int32_t SetUserId(int32_t id) override {
    Note("SetUserId " + std::to_string(id));
    return 0;
  }
  int32_t RequestUserInfo(int32_t id) override {
    Note("RequestUserInfo " + std::to_string(id));
    return 0;
  }
  int32_t ContactUser(int32_t id, int32_t value, int32_t self) override {
    Note("ContactUser " + std::to_string(id) + " " + std::to_string(value) + " " +
         std::to_string(self));
    return 0;
  }
  int32_t Start() override {
    Note("Start");
    return 0;
  }
  int32_t RequestA(int32_t v) override {
    Note("RequestA " + std::to_string(v));
    return 0;
  }
  int32_t RequestB(int32_t v) override {
    Note("RequestB " + std::to_string(v));
    return 0;
  }
  int32_t SendRoomInfo(uint32_t count, const void* packed) override {
    // The packed entries, as hex, so the test can compare them byte for byte.
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    const auto* bytes = static_cast<const unsigned char*>(packed);
    for (uint32_t i = 0; i < count * 176u; ++i) {
      hex.push_back(kDigits[bytes[i] >> 4]);
      hex.push_back(kDigits[bytes[i] & 15]);
    }
    Note("SendRoomInfo " + std::to_string(count) + " " + hex);
    return 0;
  }
  int32_t RequestC() override {
    Note("RequestC");
    return 0;
  }
  int32_t KeepAlive() override {
    Note("KeepAlive");
    return 0;
  }
  int32_t GetFriendList() override {
    Note("GetFriendList");
    return 0;
  }

 private:
  ~TestEngine() = default;
};

}  // namespace

extern "C" {

MSGLOGIC_API IMsgLogic* CreateMsgLogic(void) { return new TestEngine; }

// The sink the agent attached (null before Connect and after Release).
MSGLOGIC_API void* TestEngineSink(void) {
  std::lock_guard<std::mutex> hold(g_mu);
  return g_sink;
}

// The i-th call the engine received, or null past the last. The text stays
// valid for the life of the library.
MSGLOGIC_API const char* TestEngineCall(int i) {
  std::lock_guard<std::mutex> hold(g_mu);
  if (i < 0 || i >= static_cast<int>(g_calls.size())) return nullptr;
  return g_calls[i].c_str();
}

}  // extern "C"
