// Agents with the XMPP engine against a real server, Prosody or ejabberd,
// encryption required: hosts that log in, see each other, chat, change
// presence, and lose the server; certificates that must fail.
//
// Each test starts its own server (tools/xmpp-server/run-prosody.sh, or the
// script named by MSGLOGIC_XMPP_SERVER_SCRIPT) on loopback and loads the
// agent from bin/xmpp, beside the XMPP engine, as a host would. The program
// exits with 77 (skipped) where the server is not installed. With --long it runs only the paused-server test, which needs
// about 25 real seconds, and only when MSGLOGIC_LONG_TESTS=1 (ctest sets it
// for that test, which carries the label `slow`).
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MsgLogic.h"
#include "MsgLogicEx.h"
#include "engine/quiet_sink.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/test_server.h"
#include "engine/xmpp/xmpp_engine.h"
#include "textcodec.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string Gb(const std::string& utf8) {
  std::string gb(utf8.size(), '\0');
  gb.resize(UTF_8ToGB2312N(&gb[0], gb.size(), utf8.data(), utf8.size()));
  return gb;
}

// A host callback object that keeps what matters to these tests.
class Host final : public IMsgLogicExCallback {
 public:
  struct Text {
    int32_t from;
    std::string bytes;
  };

  // The next OnFriendList carries a whole list of this many entries; every
  // other one is a single friend's update.
  void ExpectList(size_t entries) {
    std::lock_guard<std::mutex> hold(mu_);
    list_entries_ = entries;
  }

  // Waits up to `timeout` for `done`, checked under the host's lock.
  bool WaitFor(const std::function<bool()>& done, milliseconds timeout = milliseconds(5000)) {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, timeout, done);
  }

  bool WaitForFriend(int32_t id, uint8_t status) {
    return WaitFor([&] {
      const auto it = friends_.find(id);
      return it != friends_.end() && it->second.byStatus == status;
    });
  }

  bool WaitForText(int32_t from, const std::string& bytes) {
    return WaitFor([&] {
      for (const Text& t : texts_) {
        if (t.from == from && t.bytes == bytes) return true;
      }
      return false;
    });
  }

  bool WaitForEventA(int32_t user, std::string* text) {
    return WaitFor([&] {
      for (const Text& t : event_a_) {
        if (t.from == user) {
          *text = t.bytes;
          return true;
        }
      }
      return false;
    });
  }

  // The time of the first OnConnectionLost, after waiting up to `timeout`.
  bool WaitForLoss(milliseconds timeout, Clock::time_point* when) {
    const bool lost = WaitFor([&] { return losses_ > 0; }, timeout);
    std::lock_guard<std::mutex> hold(mu_);
    *when = lost_at_;
    return lost;
  }

  FriendInfo Friend(int32_t id) {
    std::lock_guard<std::mutex> hold(mu_);
    return friends_[id];
  }

  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnFriendList(int32_t flag, const FriendInfo* friends) override {
    std::lock_guard<std::mutex> hold(mu_);
    const size_t entries = flag == 1 && friends != nullptr ? (list_entries_ != 0 ? list_entries_ : 1) : 0;
    list_entries_ = 0;
    for (size_t i = 0; i < entries; ++i) {
      const int32_t id = friends[i].nUserId;  // a packed field: copied, not bound
      if (id != 0) friends_[id] = friends[i];
    }
    cv_.notify_all();
    return 0;
  }
  int32_t OnEventA(int32_t userId, const char* text) override {
    std::lock_guard<std::mutex> hold(mu_);
    event_a_.push_back({userId, text});
    cv_.notify_all();
    return 0;
  }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnUserData(int32_t userId, int32_t kind, const void* data) override {
    std::lock_guard<std::mutex> hold(mu_);
    if (kind == 0) texts_.push_back({userId, static_cast<const char*>(data)});
    cv_.notify_all();
    return 0;
  }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override {
    std::lock_guard<std::mutex> hold(mu_);
    if (losses_++ == 0) lost_at_ = Clock::now();
    cv_.notify_all();
    return 0;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  size_t list_entries_ = 0;
  std::map<int32_t, FriendInfo> friends_;
  std::vector<Text> texts_;
  std::vector<Text> event_a_;
  int losses_ = 0;
  Clock::time_point lost_at_;
};

PFN_CreateMsgLogicEx AgentFactory() {
  static void* library = dlopen(MSGLOGIC_XMPP_AGENT, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  return reinterpret_cast<PFN_CreateMsgLogicEx>(dlsym(library, "CreateMsgLogicEx"));
}

// One host with its agent.
struct Client {
  Host host;
  IMsgLogicEx* agent = nullptr;

  Client() {
    PFN_CreateMsgLogicEx create = AgentFactory();
    if (create != nullptr) agent = create();
    if (agent != nullptr) agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  }
  ~Client() { Release(); }
  void Release() {
    if (agent != nullptr) agent->Release();
    agent = nullptr;
  }
  // Logs in and asks for the friend list (of `friends` entries).
  int32_t ConnectAndList(int32_t id, size_t friends) {
    const int32_t result = agent->Connect(id, 0);
    if (result == 0) {
      host.ExpectList(friends);
      agent->GetFriendList();
    }
    return result;
  }
};

const char kLogins[] =
    "[loginInfo]\n"
    "id1=10001\nflag1=1\n"
    "id2=10002\nflag2=1\n"
    "id3=10003\nflag3=0\nname3=10003\n"
    "id4=10004\nflag4=1\n"
    "id5=10005\nflag5=1\n";

class XmppServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/msglogic-xmpp-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    // ejabberd runs as a user of its own, and must reach its folder.
    chmod(pattern, 0755);
    // The agents read ./KWPMsg/loginInfo.ini.
    std::filesystem::create_directories(root_ + "/work/KWPMsg");
    std::ofstream(root_ + "/work/KWPMsg/loginInfo.ini") << kLogins;
    old_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(root_ + "/work");
    server_ = std::make_unique<xmpp_test::TestServer>(root_ + "/server");
    std::string error;
    ASSERT_TRUE(server_->Start(0, &error)) << error;
    UseServer(server_->port(), server_->accounts());
    setenv("MSGLOGIC_XMPP_DOMAIN", "localhost", 1);
    setenv("MSGLOGIC_XMPP_LOGIN_TIMEOUT_MS", "2000", 1);
    // Encryption required, with the certificate of the script's test CA.
    setenv("MSGLOGIC_XMPP_CA_FILE", server_->ca_file().c_str(), 1);
    unsetenv("MSGLOGIC_XMPP_TLS");
    unsetenv("MSGLOGIC_XMPP_TLS_PIN");
    unsetenv("MSGLOGIC_XMPP_PASSWORD");
    ASSERT_NE(AgentFactory(), nullptr) << dlerror();
  }

  void TearDown() override {
    server_.reset();
    std::error_code ec;
    std::filesystem::current_path(old_dir_, ec);
    std::filesystem::remove_all(root_, ec);
  }

  static void UseServer(int port, const std::string& accounts) {
    setenv("MSGLOGIC_XMPP_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    setenv("MSGLOGIC_XMPP_ACCOUNTS", accounts.c_str(), 1);
  }

  std::string root_;
  std::filesystem::path old_dir_;
  std::unique_ptr<xmpp_test::TestServer> server_;
};

TEST_F(XmppServerTest, TwoHostsSeeEachOtherAndChat) {
  Client a, b;
  ASSERT_EQ(a.ConnectAndList(10001, 2), 0);
  ASSERT_EQ(b.ConnectAndList(10002, 2), 0);

  // Roster name, vCard nickname, presence; 10003 is not logged in.
  ASSERT_TRUE(a.host.WaitForFriend(10002, 1));
  ASSERT_TRUE(b.host.WaitForFriend(10001, 1));
  EXPECT_STREQ(a.host.Friend(10002).szName, Gb("王芳").c_str());
  EXPECT_STREQ(a.host.Friend(10002).szDisplayName, Gb("芳芳").c_str());
  EXPECT_STREQ(b.host.Friend(10001).szName, Gb("张伟").c_str());
  EXPECT_STREQ(b.host.Friend(10001).szDisplayName, Gb("小张").c_str());
  EXPECT_EQ(a.host.Friend(10003).byStatus, 2);
  EXPECT_STREQ(a.host.Friend(10003).szName, Gb("李娜").c_str());

  // Byte for byte both ways, markup characters included.
  const std::string hello = Gb("你好，小王！<b>&amp;</b> 'ok' \"1\"");
  ASSERT_EQ(a.agent->SendText(10002, hello.c_str()), 0);
  EXPECT_TRUE(b.host.WaitForText(10001, hello));
  const std::string answer = Gb("收到，张伟。") + " plain ASCII";
  ASSERT_EQ(b.agent->SendText(10001, answer.c_str()), 0);
  EXPECT_TRUE(a.host.WaitForText(10002, answer));

  // A user who is no friend: the text waits for OnUserInfo, then goes out.
  Client c;
  ASSERT_EQ(c.agent->Connect(10004, 0), 0);
  const std::string to_stranger = Gb("陌生人，你好。");
  EXPECT_EQ(a.agent->SendText(10004, to_stranger.c_str()), 1);
  EXPECT_TRUE(c.host.WaitForText(10001, to_stranger));

  // A friend who is not online: the server keeps the text, and the sender
  // hears so. A user the server does not know: its error comes back as
  // OnEventA about that user.
  std::string notice;
  ASSERT_EQ(a.agent->SendText(10003, Gb("在吗？").c_str()), 0);
  ASSERT_TRUE(a.host.WaitForEventA(10003, &notice));
  EXPECT_EQ(notice, Gb("对方不在线：消息将在其上线后送达"));
  EXPECT_EQ(a.agent->SendText(99999, "hello?"), 1);
  ASSERT_TRUE(a.host.WaitForEventA(99999, &notice));
  EXPECT_EQ(notice.compare(0, Gb("消息未送达").size(), Gb("消息未送达")), 0) << notice;

  // Presence: away (request A 1), then gone.
  ASSERT_EQ(b.agent->ForwardRequestA(1), 0);
  EXPECT_TRUE(a.host.WaitForFriend(10002, 4));
  b.Release();
  EXPECT_TRUE(a.host.WaitForFriend(10002, 2));
}

TEST_F(XmppServerTest, NameLoginAndLaterLogin) {
  Client a;
  ASSERT_EQ(a.ConnectAndList(10001, 2), 0);
  // 10003 logs in by its saved name (0X3130303033); 10001 sees it come.
  Client c;
  ASSERT_EQ(c.agent->Connect(10003, 0), 0);
  EXPECT_TRUE(a.host.WaitForFriend(10003, 1));
  const std::string text = Gb("我来了");
  ASSERT_EQ(c.agent->SendText(10001, text.c_str()), 1);  // no list asked for yet
  EXPECT_TRUE(a.host.WaitForText(10003, text));
}

TEST_F(XmppServerTest, KilledServerIsReportedAndBothLogInAgain) {
  Client a, b;
  ASSERT_EQ(a.ConnectAndList(10001, 2), 0);
  ASSERT_EQ(b.ConnectAndList(10002, 2), 0);
  ASSERT_TRUE(a.host.WaitForFriend(10002, 1));

  const Clock::time_point killed = Clock::now();
  server_->Signal(SIGKILL);
  Clock::time_point lost_a, lost_b;
  ASSERT_TRUE(a.host.WaitForLoss(seconds(5), &lost_a));
  ASSERT_TRUE(b.host.WaitForLoss(seconds(5), &lost_b));
  EXPECT_LT(lost_a - killed, seconds(1));
  EXPECT_LT(lost_b - killed, seconds(1));

  server_->WaitGone();
  const int port = server_->port();
  std::string error;
  ASSERT_TRUE(server_->Start(port, &error)) << error;
  ASSERT_EQ(a.ConnectAndList(10001, 2), 0);
  ASSERT_EQ(b.ConnectAndList(10002, 2), 0);
  ASSERT_TRUE(a.host.WaitForFriend(10002, 1));
  const std::string text = Gb("又连上了");
  ASSERT_EQ(a.agent->SendText(10002, text.c_str()), 0);
  EXPECT_TRUE(b.host.WaitForText(10001, text));
}

// The server dies with our pings unread, so the connection ends in a reset
// rather than an orderly close, and the host goes on sending: the loss is
// reported and the host process lives on (a write to the dead socket must
// never end it through SIGPIPE).
TEST_F(XmppServerTest, ServerResetWhileTheHostSends) {
  Client a;
  ASSERT_EQ(a.agent->Connect(10001, 0), 0);
  // Pings the stopped server never reads make it end the connection with a
  // reset when it is killed; the next write fails with EPIPE.
  server_->Signal(SIGSTOP);
  for (int i = 0; i < 50; ++i) a.agent->ForwardRequestC();
  server_->Signal(SIGKILL);
  server_->WaitGone();
  Clock::time_point lost;
  const Clock::time_point give_up = Clock::now() + seconds(5);
  bool reported = false;
  while (!reported && Clock::now() < give_up) {
    a.agent->ForwardRequestC();
    reported = a.host.WaitForLoss(milliseconds(0), &lost);
  }
  EXPECT_TRUE(reported);
}

TEST_F(XmppServerTest, FailedLoginsEndInTime) {
  // Wrong password.
  const std::string wrong = root_ + "/wrong.ini";
  std::ofstream(wrong) << "[accounts]\n10001=not-the-password\n";
  UseServer(server_->port(), wrong);
  {
    Client a;
    EXPECT_EQ(a.agent->Connect(10001, 0), 2);
  }
  // An account the server does not have.
  UseServer(server_->port(), server_->accounts());
  setenv("MSGLOGIC_XMPP_PASSWORD", "whatever", 1);
  {
    Client e;
    EXPECT_EQ(e.agent->Connect(10005, 0), 2);
  }
  unsetenv("MSGLOGIC_XMPP_PASSWORD");
  // Nothing listening on the port.
  server_->Stop();
  {
    Client a;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(a.agent->Connect(10001, 0), 2);
    EXPECT_LT(Clock::now() - start, seconds(3));
  }
  // A paused server accepts the connection and says nothing: the login
  // time-out (2 s here) ends the wait.
  std::string error;
  ASSERT_TRUE(server_->Start(server_->port(), &error)) << error;
  server_->Signal(SIGSTOP);
  {
    Client a;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(a.agent->Connect(10001, 0), 2);
    EXPECT_LT(Clock::now() - start, seconds(5));
  }
  server_->Signal(SIGCONT);
  Client a;
  EXPECT_EQ(a.agent->Connect(10001, 0), 0);
}

// The engine alone, with a sink that behaves as the agent's can: its
// OnUserInfo waits for a lock that the caller of the next login holds.
class BlockingSink final : public stand_in::testing::QuietSink {
 public:
  int32_t OnUserInfo(const void*) override {
    std::unique_lock<std::mutex> hold(mu_);
    inside_ = true;
    cv_.notify_all();
    cv_.wait(hold, [this] { return let_go_; });
    return 1;
  }
  bool WaitInside() {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, seconds(5), [this] { return inside_; });
  }
  void LetGo() {
    std::lock_guard<std::mutex> hold(mu_);
    let_go_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool inside_ = false;
  bool let_go_ = false;
};

TEST_F(XmppServerTest, EngineLogsInAndReleasesWhileASinkCallWaits) {
  std::string warning;
  const xmpp_engine::Config config = xmpp_engine::ReadConfig(&warning);
  EXPECT_EQ(warning, "");
  BlockingSink sink;
  IMsgLogic* engine = xmpp_engine::NewEngine(config, nullptr, false);
  ASSERT_NE(engine, nullptr);
  engine->SetSink(&sink);
  ASSERT_EQ(engine->LoginById(10001, 0), 2);
  engine->Start();
  engine->RequestUserInfo(10004);
  ASSERT_TRUE(sink.WaitInside());
  // The sink call is stuck, as the agent's would be on the engine lock that
  // its Connect holds: the login still gets through, well within its
  // time-out (2 s here).
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(engine->LoginById(10002, 0), 2);
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
  // Release waits for the call inside the sink, however long it takes: once
  // it returns the sink may be gone.
  std::atomic<bool> released{false};
  std::thread releaser([&] {
    engine->Release();
    released = true;
  });
  for (int i = 0; i < 300 && !released; ++i) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_FALSE(released.load()) << "Release returned while a sink call was under way";
  sink.LetGo();
  releaser.join();
}

// The engine alone, logging in once with `config`: the login's result and
// the engine's journal.
int32_t LoginOnce(const xmpp_engine::Config& config, int32_t user, std::string* journal) {
  struct Lines {
    std::mutex mu;
    std::string text;
  };
  auto lines = std::make_shared<Lines>();
  IMsgLogic* engine = xmpp_engine::NewEngine(
      config,
      [lines](const std::string& line) {
        std::lock_guard<std::mutex> hold(lines->mu);
        lines->text += line + "\n";
      },
      std::getenv("MSGLOGIC_TEST_STROPHE_LOG") != nullptr);
  if (engine == nullptr) return -1;
  stand_in::testing::QuietSink sink;
  engine->SetSink(&sink);
  const int32_t result = engine->LoginById(user, 0);
  engine->Release();
  std::lock_guard<std::mutex> hold(lines->mu);
  *journal = lines->text;
  return result;
}

// "sha256:<hex>" of a PEM certificate, from openssl.
std::string PinOf(const std::string& pem_file) {
  const std::string command = "openssl x509 -noout -fingerprint -sha256 -in '" + pem_file + "'";
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    pclose(pipe);
  }
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return std::string();
  std::string pin = "sha256:" + text.substr(equals + 1);
  while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
  return pin;
}

xmpp_engine::Config ConfigFromEnvironment() {
  std::string warning;
  xmpp_engine::Config config = xmpp_engine::ReadConfig(&warning);
  EXPECT_EQ(warning, "");
  return config;
}

TEST_F(XmppServerTest, ServerCertificateIsVerifiedOrPinned) {
  xmpp_engine::Config config = ConfigFromEnvironment();
  std::string journal;
  // The test CA's certificate for the right name: in, over STARTTLS and
  // over TLS from the first byte.
  EXPECT_EQ(LoginOnce(config, 10001, &journal), 2) << journal;
  xmpp_engine::Config direct = config;
  direct.tls = xmpp_engine::TlsMode::kDirect;
  direct.port = static_cast<unsigned short>(server_->direct_port());
  ASSERT_NE(direct.port, 0);
  EXPECT_EQ(LoginOnce(direct, 10001, &journal), 2) << journal;
  // Without the CA file the issuer is unknown: no login, and the journal
  // says why.
  xmpp_engine::Config system_cas = config;
  system_cas.ca_file.clear();
  EXPECT_EQ(LoginOnce(system_cas, 10001, &journal), 0);
  EXPECT_NE(journal.find("certificate not trusted"), std::string::npos) << journal;
  EXPECT_NE(journal.find("issuer"), std::string::npos) << journal;
  // A pin of the server's certificate lets it in without any CA.
  const std::string good_pin = PinOf(server_->cert_file("server-good"));
  const std::string other_pin = PinOf(server_->cert_file("server-other-ca"));
  ASSERT_TRUE(xmpp_engine::ParsePin(good_pin, &system_cas.pin_sha256)) << good_pin;
  EXPECT_EQ(LoginOnce(system_cas, 10001, &journal), 2) << journal;
  // A pin of another certificate keeps it out, even where the CA would
  // have let it in.
  xmpp_engine::Config wrong_pin = config;
  ASSERT_TRUE(xmpp_engine::ParsePin(other_pin, &wrong_pin.pin_sha256)) << other_pin;
  EXPECT_EQ(LoginOnce(wrong_pin, 10001, &journal), 0);
  EXPECT_NE(journal.find("pin mismatch"), std::string::npos) << journal;

  // A certificate of another CA for the right name: out, unless pinned.
  std::string error;
  ASSERT_TRUE(server_->Start(server_->port(), &error, "other-ca")) << error;
  EXPECT_EQ(LoginOnce(config, 10001, &journal), 0);
  EXPECT_NE(journal.find("issuer"), std::string::npos) << journal;
  xmpp_engine::Config pinned_other = config;
  pinned_other.pin_sha256 = wrong_pin.pin_sha256;
  EXPECT_EQ(LoginOnce(pinned_other, 10001, &journal), 2) << journal;
  // The test CA's certificate for another name: out.
  ASSERT_TRUE(server_->Start(server_->port(), &error, "wrong-name")) << error;
  EXPECT_EQ(LoginOnce(config, 10001, &journal), 0);
  EXPECT_NE(journal.find("hostname mismatch"), std::string::npos) << journal;
  // Through the agent, as a host sees it: the login fails.
  Client a;
  EXPECT_EQ(a.agent->Connect(10001, 0), 2);
}

// A sink whose OnUserInfo waits until let go, and which counts the loss of
// the connection and OnEventC.
class CountingSink final : public stand_in::testing::QuietSink {
 public:
  int32_t OnUserInfo(const void*) override {
    std::unique_lock<std::mutex> hold(mu_);
    inside_ = true;
    cv_.notify_all();
    cv_.wait(hold, [this] { return let_go_; });
    return 1;
  }
  void OnDisconnect() override {
    std::lock_guard<std::mutex> hold(mu_);
    ++disconnects_;
  }
  int32_t OnEventC() override {
    std::lock_guard<std::mutex> hold(mu_);
    ++event_c_;
    cv_.notify_all();
    return 0;
  }
  bool WaitInside() {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, seconds(5), [this] { return inside_; });
  }
  bool WaitEventC() {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, seconds(5), [this] { return event_c_ > 0; });
  }
  void LetGo() {
    std::lock_guard<std::mutex> hold(mu_);
    let_go_ = true;
    cv_.notify_all();
  }
  int disconnects() {
    std::lock_guard<std::mutex> hold(mu_);
    return disconnects_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool inside_ = false;
  bool let_go_ = false;
  int disconnects_ = 0;
  int event_c_ = 0;
};

// The end of an earlier login's stream, still waiting for the delivery
// thread when a newer login begins, never reaches the sink: the agent would
// take it for the loss of the newer login and release the engine.
TEST_F(XmppServerTest, CallsOfAnEarlierLoginNeverFollowANewerLogin) {
  const xmpp_engine::Config config = ConfigFromEnvironment();
  struct Lines {
    std::mutex mu;
    std::condition_variable cv;
    std::string text;
  };
  auto lines = std::make_shared<Lines>();
  CountingSink sink;
  IMsgLogic* engine = xmpp_engine::NewEngine(
      config,
      [lines](const std::string& line) {
        std::lock_guard<std::mutex> hold(lines->mu);
        lines->text += line + "\n";
        lines->cv.notify_all();
      },
      false);
  ASSERT_NE(engine, nullptr);
  engine->SetSink(&sink);
  ASSERT_EQ(engine->LoginById(10001, 0), 2);
  engine->Start();
  // A host callback that takes its time holds up the sink calls.
  engine->RequestUserInfo(10004);
  ASSERT_TRUE(sink.WaitInside());
  // The stream ends (request B 99): its loss queues up behind the call.
  engine->RequestB(99);
  {
    std::unique_lock<std::mutex> hold(lines->mu);
    ASSERT_TRUE(lines->cv.wait_for(hold, seconds(5), [&] {
      return lines->text.find("connection lost") != std::string::npos;
    })) << lines->text;
  }
  // A new login, then the host lets go: the calls of the new login arrive
  // (OnEventC, in order after everything queued before), the old loss not.
  ASSERT_EQ(engine->LoginById(10001, 0), 2);
  sink.LetGo();
  engine->RequestC();
  EXPECT_TRUE(sink.WaitEventC());
  EXPECT_EQ(sink.disconnects(), 0);
  engine->Release();
}

// The listening sockets of process `pid` (from /proc): "address:port" of
// each, addresses in /proc's hex.
std::vector<std::string> ListeningSockets(int pid) {
  std::vector<std::string> inodes;
  const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(fd_dir, ec)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (target.compare(0, 8, "socket:[") == 0) inodes.push_back(target.substr(8, target.size() - 9));
  }
  std::vector<std::string> listening;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // the header
    while (std::getline(file, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
          inode;
      if (state != "0A") continue;  // LISTEN
      for (const std::string& mine : inodes) {
        if (mine == inode) listening.push_back(local);
      }
    }
  }
  return listening;
}

// The server listens on loopback only: its client ports and, for ejabberd,
// Erlang's distribution port.
TEST_F(XmppServerTest, ServerListensOnLoopbackOnly) {
  // The server says it is ready once its first port listens; the other
  // may follow a moment later (after a restart by an earlier test).
  std::vector<std::string> sockets = ListeningSockets(server_->server_pid());
  for (int i = 0; i < 500 && sockets.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sockets = ListeningSockets(server_->server_pid());
  }
  EXPECT_GE(sockets.size(), 2u);  // STARTTLS and direct TLS
  for (const std::string& local : sockets) {
    const std::string address = local.substr(0, local.find(':'));
    // 127.0.0.0/8 in /proc's little-endian hex ends in "7F"; ::1 is
    // 0000...0001 in four little-endian words.
    const bool v4_loopback = address.size() == 8 && address.compare(6, 2, "7F") == 0;
    const bool v6_loopback = address == "00000000000000000000000001000000";
    EXPECT_TRUE(v4_loopback || v6_loopback) << local;
  }
}

// Run with --long only: real seconds of the agent's supervision.
TEST_F(XmppServerTest, PausedServerIsDeclaredLostBySupervision) {
  Client a, b;
  ASSERT_EQ(a.ConnectAndList(10001, 2), 0);
  ASSERT_EQ(b.ConnectAndList(10002, 2), 0);
  ASSERT_TRUE(a.host.WaitForFriend(10002, 1));
  const Clock::time_point paused = Clock::now();
  server_->Signal(SIGSTOP);
  Clock::time_point lost_a, lost_b;
  ASSERT_TRUE(a.host.WaitForLoss(seconds(40), &lost_a));
  ASSERT_TRUE(b.host.WaitForLoss(seconds(40), &lost_b));
  server_->Signal(SIGCONT);
  // The agent declares the loss 21 to 23 s after the last activity, which
  // came at most a few seconds before the pause.
  for (Clock::time_point lost : {lost_a, lost_b}) {
    EXPECT_GT(lost - paused, seconds(12));
    EXPECT_LT(lost - paused, seconds(26));
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  bool long_run = false;
  for (int i = 1; i < argc; ++i) long_run = long_run || std::strcmp(argv[i], "--long") == 0;
  const bool ejabberd = std::strstr(xmpp_test::Script(), "ejabberd") != nullptr;
  if (ejabberd ? access("/usr/sbin/ejabberdctl", X_OK) != 0 : !xmpp_test::OnPath("prosody")) {
    std::printf("%s is not installed (Debian: apt-get install %s): skipped\n",
                ejabberd ? "ejabberd" : "prosody", ejabberd ? "ejabberd" : "prosody");
    return 77;
  }
  const char* long_tests = std::getenv("MSGLOGIC_LONG_TESTS");
  if (long_run && (long_tests == nullptr || std::strcmp(long_tests, "1") != 0)) {
    std::printf("the paused-server test needs ~25 s: set MSGLOGIC_LONG_TESTS=1 to run it; skipped\n");
    return 77;
  }
  if (long_run) {
    GTEST_FLAG_SET(filter, "*PausedServer*");
  } else if (GTEST_FLAG_GET(filter) == "*") {
    GTEST_FLAG_SET(filter, "-*PausedServer*");
  }
  return RUN_ALL_TESTS();
}
