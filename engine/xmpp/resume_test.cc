// Stream resumption against a real server, Prosody or ejabberd, through a
// TCP relay of the test's own (loopback only) between one engine and the
// server, which loses bytes, cuts the connection and holds reconnections on
// command: a resumed stream delivers every text exactly once and in order,
// both ways, without the host seeing a loss; a stream that cannot be
// resumed gives the loss, after a notice for each text the server never
// acknowledged.
//
// Exits with 77 (skipped) where the server is not installed, like
// server_test.cc, whose CMake entries run it against both servers.
// RESUME_TEST_LOG=1 prints libstrophe's log of the relayed engine.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MsgLogic.h"
#include "engine/quiet_sink.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/test_relay.h"
#include "engine/xmpp/test_server.h"
#include "engine/xmpp/xmpp_engine.h"
#include "textcodec.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::string Gb(const std::string& utf8) {
  std::string gb(utf8.size() * 2 + 1, '\0');
  gb.resize(UTF_8ToGB2312N(&gb[0], gb.size(), utf8.data(), utf8.size()));
  return gb;
}

// The sink calls that matter here, in order, as text: "text <user> <bytes>",
// "notice <user> <bytes>", "lost".
class RecordingSink final : public stand_in::testing::QuietSink {
 public:
  int32_t OnUserText(int32_t user, const void* record) override {
    const char* bytes = static_cast<const char*>(record);
    uint32_t length;
    std::memcpy(&length, bytes + 24, 4);
    Add("text " + std::to_string(user) + " " + std::string(bytes + 28, length));
    return 0;
  }
  int32_t OnEventA(const void* record) override {
    int32_t user;
    std::memcpy(&user, record, 4);
    Add("notice " + std::to_string(user) + " " + std::string(static_cast<const char*>(record) + 22));
    return 0;
  }
  void OnDisconnect() override { Add("lost"); }

  bool WaitFor(const std::string& event, milliseconds timeout = milliseconds(15000)) {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, timeout, [&] {
      for (const std::string& e : events_) {
        if (e == event) return true;
      }
      return false;
    });
  }
  // What the sink got, less the notice that the server keeps a text for a
  // friend not online: that one is about the friend's presence, not the
  // stream, and comes or not as the friend's presence reaches us in time.
  std::vector<std::string> events() {
    static const std::string kStored = Gb("对方不在线：消息将在其上线后送达");
    std::lock_guard<std::mutex> hold(mu_);
    std::vector<std::string> events;
    for (const std::string& e : events_) {
      if (e.size() < kStored.size() || e.compare(e.size() - kStored.size(), kStored.size(), kStored) != 0) {
        events.push_back(e);
      }
    }
    return events;
  }

 private:
  void Add(const std::string& event) {
    std::lock_guard<std::mutex> hold(mu_);
    events_.push_back(event);
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

// The engine's journal, kept for waits on its lines.
struct Journal {
  std::mutex mu;
  std::condition_variable cv;
  std::string text;

  xmpp_engine::Journal Writer() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> hold(mu);
      text += line + "\n";
      cv.notify_all();
    };
  }
  bool WaitFor(const std::string& part, milliseconds timeout = milliseconds(15000)) {
    std::unique_lock<std::mutex> hold(mu);
    return cv.wait_for(hold, timeout, [&] { return text.find(part) != std::string::npos; });
  }
  std::string Text() {
    std::lock_guard<std::mutex> hold(mu);
    return text;
  }
};

// One engine with its sink and journal, logged in as `user`.
struct Peer {
  RecordingSink sink;
  Journal journal;
  IMsgLogic* engine = nullptr;

  Peer(const xmpp_engine::Config& config, int32_t user) {
    engine = xmpp_engine::NewEngine(config, journal.Writer(), user == 10001 && std::getenv("RESUME_TEST_LOG") != nullptr);
    if (engine == nullptr) return;
    engine->SetSink(&sink);
    if (engine->LoginById(user, 0) != 2) return;
    engine->Start();
    logged_in = true;
  }
  ~Peer() {
    if (engine != nullptr) engine->Release();
  }
  void Send(int32_t to, const std::string& gb) { engine->SendText(to, 1, 0, 0, gb.c_str()); }
  bool logged_in = false;
};

class XmppResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/msglogic-xmpp-resume.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    chmod(pattern, 0755);  // ejabberd runs as a user of its own
    server_ = std::make_unique<xmpp_test::TestServer>(root_ + "/server");
    std::string error;
    ASSERT_TRUE(server_->Start(0, &error)) << error;
    relay_ = std::make_unique<xmpp_test::Relay>(server_->port());
    std::string warning;
    config_ = xmpp_engine::ReadConfig(&warning);
    config_.host = "127.0.0.1";
    config_.port = static_cast<unsigned short>(server_->port());
    config_.domain = "localhost";
    config_.accounts_file = server_->accounts();
    config_.ca_file = server_->ca_file();
    config_.tls = xmpp_engine::TlsMode::kStartTls;
    config_.login_timeout_ms = 5000;
    config_.resume_ms = 30000;  // never reached when the stream resumes
  }
  void TearDown() override {
    relay_.reset();
    server_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  // The configuration of the engine behind the relay.
  xmpp_engine::Config Relayed(int resume_ms) const {
    xmpp_engine::Config config = config_;
    config.port = static_cast<unsigned short>(relay_->port());
    config.resume_ms = resume_ms;
    return config;
  }

  // The texts from `user` that `sink` got, in order.
  static std::vector<std::string> TextsFrom(RecordingSink* sink, int32_t user) {
    std::vector<std::string> texts;
    const std::string prefix = "text " + std::to_string(user) + " ";
    for (const std::string& e : sink->events()) {
      if (e.compare(0, prefix.size(), prefix) == 0) texts.push_back(e.substr(prefix.size()));
    }
    return texts;
  }

  std::string root_;
  std::unique_ptr<xmpp_test::TestServer> server_;
  std::unique_ptr<xmpp_test::Relay> relay_;
  xmpp_engine::Config config_;
};

// A text whose acknowledgement is lost, one lost on its way to the server,
// one sent while the connection is down, one sent to the engine while it is
// down: after the resumption each arrives once, in order, and the host saw
// no loss.
TEST_F(XmppResumeTest, ResumedStreamDeliversEveryTextOnceInOrder) {
  Peer a(Relayed(30000), 10001);
  ASSERT_TRUE(a.logged_in) << a.journal.Text();
  Peer b(config_, 10002);
  ASSERT_TRUE(b.logged_in) << b.journal.Text();
  const std::string t1 = Gb("第一条"), t2 = Gb("第二条：回执丢了"), t3 = Gb("第三条：路上丢了"),
                    t4 = Gb("第四条：断线时发的"), t5 = Gb("第五条"), u1 = Gb("断线时收到的");

  a.Send(10002, t1);
  ASSERT_TRUE(b.sink.WaitFor("text 10001 " + t1));
  relay_->MuteToEngine();  // the server's acknowledgements go missing
  a.Send(10002, t2);
  ASSERT_TRUE(b.sink.WaitFor("text 10001 " + t2));
  relay_->MuteToServer();
  const size_t before = relay_->dropped();
  a.Send(10002, t3);  // written, never read by the server
  ASSERT_TRUE(relay_->WaitDropped(before + t3.size()));
  relay_->HoldNew();
  relay_->Cut();
  ASSERT_TRUE(a.journal.WaitFor("resuming the stream")) << a.journal.Text();
  a.Send(10002, t4);
  b.Send(10001, u1);
  relay_->Release();
  ASSERT_TRUE(a.journal.WaitFor("stream resumed")) << a.journal.Text();
  a.Send(10002, t5);
  ASSERT_TRUE(b.sink.WaitFor("text 10001 " + t5)) << a.journal.Text();
  ASSERT_TRUE(a.sink.WaitFor("text 10002 " + u1)) << a.journal.Text();

  EXPECT_EQ(TextsFrom(&b.sink, 10001), (std::vector<std::string>{t1, t2, t3, t4, t5}));
  // A later text from b goes after u1, and u1 came once.
  const std::string u2 = Gb("再来一条");
  b.Send(10001, u2);
  ASSERT_TRUE(a.sink.WaitFor("text 10002 " + u2));
  EXPECT_EQ(TextsFrom(&a.sink, 10002), (std::vector<std::string>{u1, u2}));
  for (const std::string& e : a.sink.events()) {
    EXPECT_NE(e, "lost");
    EXPECT_NE(e.compare(0, 7, "notice "), 0) << e;
  }
}

// Reconnections never reach the server within the bound: the host gets a
// notice for each text the server never acknowledged, in order, then the
// loss; it can log in again.
TEST_F(XmppResumeTest, StreamNotResumedInTimeReportsUnacknowledgedTexts) {
  Peer a(Relayed(1000), 10001);
  ASSERT_TRUE(a.logged_in) << a.journal.Text();
  Peer b(config_, 10002);
  ASSERT_TRUE(b.logged_in) << b.journal.Text();
  const std::string t1 = Gb("到了"), t2 = Gb("路上丢了"), t3 = Gb("断线时发的");

  a.Send(10002, t1);
  ASSERT_TRUE(b.sink.WaitFor("text 10001 " + t1));
  relay_->MuteToServer();
  const size_t before = relay_->dropped();
  a.Send(10002, t2);
  ASSERT_TRUE(relay_->WaitDropped(before + t2.size()));
  relay_->HoldNew();
  relay_->Cut();
  ASSERT_TRUE(a.journal.WaitFor("resuming the stream")) << a.journal.Text();
  a.Send(10002, t3);
  ASSERT_TRUE(a.sink.WaitFor("lost")) << a.journal.Text();

  const std::string prefix = Gb("消息未送达（连接中断）：");
  const std::vector<std::string> expected = {"notice 10002 " + prefix + t2, "notice 10002 " + prefix + t3,
                                             "lost"};
  // t1 reached b, but the server's acknowledgement of it may still have
  // been on its way when the connection was cut: the engine can only tell
  // what was acknowledged, so t1 may be reported too, first.
  std::vector<std::string> events = a.sink.events();
  if (!events.empty() && events.front() == "notice 10002 " + prefix + t1) events.erase(events.begin());
  EXPECT_EQ(events, expected) << a.journal.Text();
  EXPECT_EQ(TextsFrom(&b.sink, 10001), (std::vector<std::string>{t1}));

  relay_->Release();
  ASSERT_EQ(a.engine->LoginById(10001, 0), 2) << a.journal.Text();
  const std::string t4 = Gb("又连上了");
  a.Send(10002, t4);
  ASSERT_TRUE(b.sink.WaitFor("text 10001 " + t4));
  EXPECT_EQ(TextsFrom(&b.sink, 10001), (std::vector<std::string>{t1, t4}));
}

// The server restarts while the connection is down and has forgotten the
// stream: the resumption is refused (after a login with the usual checks),
// the host gets the notice of the text the server never acknowledged and
// the loss.
TEST_F(XmppResumeTest, ServerThatForgotTheStreamGivesTheLoss) {
  Peer a(Relayed(60000), 10001);
  ASSERT_TRUE(a.logged_in) << a.journal.Text();
  const std::string t1 = Gb("服务器重启前");
  relay_->MuteToServer();
  const size_t before = relay_->dropped();
  a.Send(10002, t1);
  ASSERT_TRUE(relay_->WaitDropped(before + t1.size()));
  relay_->HoldNew();
  relay_->Cut();
  ASSERT_TRUE(a.journal.WaitFor("resuming the stream")) << a.journal.Text();
  server_->Signal(SIGKILL);
  server_->WaitGone();
  std::string error;
  ASSERT_TRUE(server_->Start(server_->port(), &error)) << error;
  relay_->Release();
  ASSERT_TRUE(a.sink.WaitFor("lost", milliseconds(30000))) << a.journal.Text();
  EXPECT_NE(a.journal.Text().find("the server no longer holds the stream"), std::string::npos)
      << a.journal.Text();
  const std::vector<std::string> expected = {"notice 10002 " + Gb("消息未送达（连接中断）：") + t1, "lost"};
  EXPECT_EQ(a.sink.events(), expected) << a.journal.Text();
}

// A resumption is a login like any other: the server that answers it must
// show a certificate the engine trusts. A server restarted with a
// certificate from another CA ends the resumption before anything is sent
// over that connection, and the host gets the loss.
TEST_F(XmppResumeTest, ResumptionVerifiesTheServerCertificate) {
  Peer a(Relayed(60000), 10001);
  ASSERT_TRUE(a.logged_in) << a.journal.Text();
  relay_->HoldNew();
  relay_->Cut();
  ASSERT_TRUE(a.journal.WaitFor("resuming the stream")) << a.journal.Text();
  server_->Signal(SIGKILL);
  server_->WaitGone();
  std::string error;
  ASSERT_TRUE(server_->Start(server_->port(), &error, "other-ca")) << error;
  relay_->Release();
  ASSERT_TRUE(a.sink.WaitFor("lost", milliseconds(30000))) << a.journal.Text();
  EXPECT_NE(a.journal.Text().find("warning: resumption refused (server certificate not trusted"),
            std::string::npos)
      << a.journal.Text();
  EXPECT_EQ(a.journal.Text().find("stream resumed"), std::string::npos) << a.journal.Text();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  const bool ejabberd = std::strstr(xmpp_test::Script(), "ejabberd") != nullptr;
  if (ejabberd ? access("/usr/sbin/ejabberdctl", X_OK) != 0 : !xmpp_test::OnPath("prosody")) {
    std::printf("%s is not installed: skipped\n", ejabberd ? "ejabberd" : "prosody");
    return 77;
  }
  return RUN_ALL_TESTS();
}
