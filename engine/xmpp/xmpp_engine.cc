// The engine object: the IMsgLogic the agent calls, which queues each call
// as a command for the network thread (and waits for its answer to a
// login); InboundSession, which drives a Net without a connection or
// threads; and NewEngine.
//
// Threads: Engine's methods run on the agent's threads, Release also on
// the delivery thread (from inside a sink call). State: the Shared it
// made, under its mu.
// Rules:
//  - No call waits for the sink or the network thread, except a login
//    (until its answer, the login time-out and 2 s more at most) and
//    Release (until a sink call under way returns and both threads end).
//  - The calls that convert text or queue work catch what that throws:
//    no exception reaches the agent from them.
//  - Release shuts the socket of a login or a resumption under way, so that
//    a TLS handshake with a quiet server cannot hold the network thread.
//  - The journal is called with no lock of the engine held.
#include "engine/xmpp/xmpp_engine.h"

#include <stdint.h>
#include <strophe.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/records.h"
#include "engine/xmpp/net.h"
#include "engine/xmpp/shared.h"
#include "textcodec.h"

namespace xmpp_engine {
namespace {

using stand_in::ToUtf8;

class Engine final : public IMsgLogic {
 public:
  explicit Engine(std::shared_ptr<Shared> shared) : sh_(std::move(shared)) {}

  bool StartThread() {
    try {
      std::lock_guard<std::mutex> hold(sh_->mu);
      sh_->thread = std::thread(RunThread, sh_);
      sh_->thread_id = sh_->thread.get_id();
      sh_->delivery_thread = std::thread(RunDeliveries, sh_);
      sh_->delivery_id = sh_->delivery_thread.get_id();
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  int32_t SetSink(IMsgLogicSink* sink) override {
    std::lock_guard<std::mutex> hold(sh_->mu);
    sh_->sink = sink;
    return 0;
  }

  int32_t LoginByName(const char* hexName, int32_t param) override {
    try {
      const std::string hex = hexName != nullptr ? hexName : "";
      std::string bytes;
      if (!stand_in::DecodeHexName(hex, &bytes) || bytes.empty()) {
        sh_->Log("warning: LoginByName got \"" + hex + "\", not \"0X\" and hex digits");
        return 0;
      }
      // Saved names are GB2312, as the host writes them; JIDs are UTF-8.
      const std::string local = ToUtf8(bytes);
      sh_->Log("LoginByName(" + hex + " \"" + local + "\", " + std::to_string(param) + ")");
      return Login(local);
    } catch (const std::exception&) {
      return 0;
    }
  }

  int32_t LoginById(int32_t userId, int32_t param) override {
    try {
      sh_->Log("LoginById(" + std::to_string(userId) + ", " + std::to_string(param) + ")");
      return Login(std::to_string(userId));
    } catch (const std::exception&) {
      return 0;
    }
  }

  int32_t Release() override {
    std::thread to_join[2];
    sh_->Log("Release");  // with no lock held, as the journal is promised
    {
      std::unique_lock<std::mutex> hold(sh_->mu);
      // A login or a resumption under way may be stuck in a TLS handshake:
      // end it.
      if (sh_->login_sock >= 0) shutdown(sh_->login_sock, SHUT_RDWR);
      sh_->stopped = true;
      sh_->sink = nullptr;
      sh_->Wake();
      sh_->cv.notify_all();
      sh_->delivery_cv.notify_all();
      const std::thread::id self = std::this_thread::get_id();
      if (self != sh_->delivery_id) {
        // The sink may be gone once this returns: a call under way ends
        // first, however long it takes (the caller holds no lock it may
        // wait for). Release from inside a sink call goes on at once.
        sh_->release_waiting = true;
        sh_->cv.wait(hold, [this] { return !sh_->in_call; });
      }
      // The network thread never waits for the agent: it ends by itself
      // (after closing the stream, kCloseWait at most).
      if (sh_->thread.joinable()) {
        if (self != sh_->thread_id) {
          to_join[0] = std::move(sh_->thread);
        } else {
          sh_->thread.detach();
        }
      }
      if (sh_->delivery_thread.joinable()) {
        if (self != sh_->delivery_id) {
          to_join[1] = std::move(sh_->delivery_thread);
        } else {
          sh_->delivery_thread.detach();
        }
      }
    }
    for (std::thread& thread : to_join) {
      if (thread.joinable()) thread.join();
    }
    delete this;
    return 0;
  }

  int32_t SendText(int32_t userId, int32_t one, int32_t selfId, int32_t value,
                   const char* text) override {
    try {
      const std::string bytes = text != nullptr ? text : "";
      const std::string utf8 = ToUtf8(bytes);
      sh_->Log("SendText(" + std::to_string(userId) + ", " + std::to_string(one) + ", " +
               std::to_string(selfId) + ", " + std::to_string(value) + ", \"" + utf8 + "\")");
      Post([userId, utf8](Net& net) { net.SendText(userId, utf8); });
    } catch (const std::exception&) {
    }
    return 0;
  }

  int32_t SetUserId(int32_t userId) override {
    Call("SetUserId(" + std::to_string(userId) + ")", [userId](Net& net) { net.SetUserId(userId); });
    return 0;
  }

  int32_t RequestUserInfo(int32_t userId) override {
    Call("RequestUserInfo(" + std::to_string(userId) + ")",
         [userId](Net& net) { net.UserInfo(userId); });
    return 0;
  }

  int32_t ContactUser(int32_t userId, int32_t value, int32_t selfId) override {
    Call("ContactUser(" + std::to_string(userId) + ", " + std::to_string(value) + ", " +
             std::to_string(selfId) + ")",
         [userId](Net& net) { net.Contact(userId); });
    return 0;
  }

  int32_t Start() override {
    Call("Start", [](Net& net) { net.Start(); });
    return 0;
  }

  int32_t RequestA(int32_t value) override {
    Call("RequestA(" + std::to_string(value) + ")", [value](Net& net) { net.OwnPresence(value); });
    return 0;
  }

  int32_t RequestB(int32_t value) override {
    Call("RequestB(" + std::to_string(value) + ")", [value](Net& net) { net.RequestB(value); });
    return 0;
  }

  int32_t SendRoomInfo(uint32_t count, const void* packed) override {
    try {
      std::vector<stand_in::Room> rooms;
      const bool ok = stand_in::UnpackRooms(count, packed, &rooms);
      std::string names;
      for (const stand_in::Room& room : rooms) names += (names.empty() ? "" : ", ") + room.text1;
      sh_->Log("SendRoomInfo(" + std::to_string(count) + ", " + names + ")");
      if (!ok) sh_->Log("warning: SendRoomInfo's buffer does not hold " + std::to_string(count) + " rooms");
      // Answered once the server has them (rooms.cc).
      Post([rooms, ok](Net& net) { net.PublishRooms(rooms, ok); });
    } catch (const std::exception&) {
    }
    return 0;
  }

  int32_t RequestC() override {
    Call("RequestC", [](Net& net) { net.RequestC(); });
    return 0;
  }

  int32_t KeepAlive() override {
    Call("KeepAlive", [](Net& net) { net.KeepAlive(); });
    return 0;
  }

  int32_t GetFriendList() override {
    Call("GetFriendList", [](Net& net) { net.GetFriendList(); });
    return 0;
  }

 private:
  ~Engine() = default;

  // Queues a command; the network thread is woken after the lock is
  // released, so that it does not wake only to wait for the lock.
  void Post(Command command) {
    {
      std::lock_guard<std::mutex> hold(sh_->mu);
      if (sh_->stopped) return;
      sh_->commands.push_back(std::move(command));
    }
    sh_->Wake();
  }

  void Call(const std::string& line, Command command) {
    try {
      sh_->Log(line);
      Post(std::move(command));
    } catch (const std::exception&) {
    }
  }

  int32_t Login(const std::string& local) {
    std::string password;
    if (!PasswordFor(sh_->config, local, &password)) {
      sh_->Log("warning: no password for \"" + local +
               "\" (MSGLOGIC_XMPP_ACCOUNTS, MSGLOGIC_XMPP_PASSWORD)");
      return 0;
    }
    const std::string jid = local + "@" + sh_->config.domain;
    std::unique_lock<std::mutex> hold(sh_->mu);
    if (std::this_thread::get_id() == sh_->thread_id) return 0;  // never: no sink calls there
    const uint64_t id = ++sh_->login;
    sh_->Post([id, jid, password](Net& net) { net.Login(id, jid, password); });
    // The thread keeps the login time-out itself, unless it is stuck in a
    // TLS handshake with a server gone quiet: past the time-out its socket
    // is shut down, which ends the handshake. The last 2 s are a backstop.
    const auto time_out = Clock::now() + milliseconds(sh_->config.login_timeout_ms);
    const auto finished = [this, id] { return sh_->done_login == id || sh_->stopped; };
    bool done = sh_->cv.wait_until(hold, time_out, finished);
    if (!done) {
      if (sh_->login == id && sh_->login_sock >= 0) shutdown(sh_->login_sock, SHUT_RDWR);
      done = sh_->cv.wait_until(hold, time_out + milliseconds(2000), finished);
    }
    const int32_t result = done && sh_->done_login == id ? sh_->login_result : 0;
    hold.unlock();
    sh_->Log("  login of " + jid + " -> " + std::to_string(result));
    return result;
  }

  const std::shared_ptr<Shared> sh_;
};

}  // namespace

struct InboundSession::State {
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  xmpp_ctx_t* ctx = nullptr;
  std::vector<std::string> sent;
  std::unique_ptr<Net> net;
};

InboundSession::InboundSession(const Config& config, const std::string& self_local,
                               bool predictable_ids)
    : state_(new State) {
  static std::once_flag initialized;
  std::call_once(initialized, [] { xmpp_initialize(); });
  state_->shared->config = config;
  state_->ctx = xmpp_ctx_new(nullptr, nullptr);
  state_->net.reset(new Net(state_->shared, state_->shared->config));
  Net& net = *state_->net;
  net.ctx = state_->ctx;
  net.capture = &state_->sent;
  net.predictable_ids = predictable_ids ? 1 : 0;
  net.self_jid = self_local + "@" + config.domain;
  net.self_id = net.IdOf(net.self_jid);
  net.phase = Net::kLoggingIn;
  net.HandleConnection(XMPP_CONN_CONNECT, 0, nullptr);
}

InboundSession::~InboundSession() {
  state_->net.reset();
  if (state_->ctx != nullptr) xmpp_ctx_free(state_->ctx);
}

bool InboundSession::Feed(const std::string& xml) {
  xmpp_stanza_t* stanza = xmpp_stanza_new_from_string(state_->ctx, xml.c_str());
  if (stanza == nullptr) return false;
  state_->net->Inbound(stanza);
  xmpp_stanza_release(stanza);
  return true;
}

void InboundSession::GetFriendList() { state_->net->GetFriendList(); }
void InboundSession::RequestUserInfo(int32_t user) { state_->net->UserInfo(user); }
void InboundSession::SendText(int32_t user, const std::string& utf8) {
  state_->net->SendText(user, utf8);
}
void InboundSession::SendRoomInfo(uint32_t count, const void* packed) {
  std::vector<stand_in::Room> rooms;
  const bool whole = stand_in::UnpackRooms(count, packed, &rooms);
  state_->net->PublishRooms(rooms, whole);
}

std::vector<std::string> InboundSession::TakeSent() {
  std::vector<std::string> sent;
  sent.swap(state_->sent);
  return sent;
}

size_t InboundSession::Deliver(IMsgLogicSink* sink) {
  Net& net = *state_->net;
  if (net.activity) {
    net.activity = false;
    sink->OnActivity();
  }
  std::vector<Net::Outgoing> out;
  out.swap(net.out);
  for (Net::Outgoing& item : out) item.call(sink);
  return out.size();
}

std::string InboundSession::JidOf(int32_t id) const { return state_->net->JidOf(id); }
size_t InboundSession::JidCount() const { return state_->net->jid_table.size(); }

IMsgLogic* NewEngine(const Config& config, Journal journal, bool libstrophe_log) {
  static std::once_flag initialized;
  std::call_once(initialized, [] { xmpp_initialize(); });
  std::shared_ptr<Shared> shared;
  try {
    shared = std::make_shared<Shared>();
    shared->config = config;
    shared->journal = std::move(journal);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  shared->libstrophe_log = libstrophe_log;
  shared->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (shared->wake_fd < 0) return nullptr;
  auto* engine = new (std::nothrow) Engine(shared);
  if (engine == nullptr) return nullptr;
  if (!engine->StartThread()) {
    engine->Release();
    return nullptr;
  }
  return engine;
}

}  // namespace xmpp_engine
