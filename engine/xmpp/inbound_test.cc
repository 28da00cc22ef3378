// The XMPP engine against hostile input, without a real server: a fake
// server of the test's own on loopback that offers only what an attacker
// on the path could leave in the offer, and stanzas fed to the engine's
// handlers as text (InboundSession).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/quiet_sink.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/xmpp_engine.h"

namespace xmpp_engine {
namespace {

using std::chrono::milliseconds;

// A one-connection server on 127.0.0.1 that answers the stream header with
// `features`, <starttls/> with <proceed/> (and then nothing more: it never
// takes part in the TLS handshake) and every <auth> with a SASL failure, and
// keeps every byte it receives.
class FakeServer {
 public:
  explicit FakeServer(std::string features) : features_(std::move(features)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(fd_, 1) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeServer() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }

  int port() const { return port_; }
  // Whether the client closed the connection (rather than the server
  // giving up on it after 10 s).
  bool ClientClosed() {
    if (thread_.joinable()) thread_.join();
    return client_closed_;
  }
  // Everything received, once the client has closed the connection (or
  // after 10 s).
  std::string Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Serve() {
    pollfd listening = {fd_, POLLIN, 0};
    if (poll(&listening, 1, 10000) <= 0) return;
    const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    bool opened = false;
    bool proceeded = false;
    size_t answered = 0;  // <auth> elements failed so far
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < give_up) {
      pollfd fd = {client, POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      char buffer[4096];
      const ssize_t got = read(client, buffer, sizeof buffer);
      if (got <= 0) {
        client_closed_ = true;
        break;
      }
      received_.append(buffer, static_cast<size_t>(got));
      std::string reply;
      if (!opened && received_.find("<stream:stream") != std::string::npos) {
        opened = true;
        reply += "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                 "xmlns:stream='http://etherx.jabber.org/streams' id='s1' from='localhost' "
                 "version='1.0'>" + features_;
      }
      if (!proceeded && received_.find("<starttls") != std::string::npos) {
        proceeded = true;
        reply += "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>";
      }
      size_t auths = 0;
      for (size_t at = received_.find("<auth"); at != std::string::npos;
           at = received_.find("<auth", at + 1)) {
        ++auths;
      }
      for (; answered < auths; ++answered) {
        reply += "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>";
      }
      if (!reply.empty() && write(client, reply.data(), reply.size()) < 0) break;
    }
    close(client);
  }

  std::string features_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string received_;
  bool client_closed_ = false;
};

const char kPlainOnly[] =
    "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
    "<mechanism>PLAIN</mechanism></mechanisms></stream:features>";
const char kScramAndPlain[] =
    "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
    "<mechanism>SCRAM-SHA-1</mechanism><mechanism>PLAIN</mechanism></mechanisms>"
    "</stream:features>";
// base64 of "\0" "10001" "\0" "secret1": what PLAIN would send.
const char kPlainPassword[] = "ADEwMDAxAHNlY3JldDE=";

Config FakeServerConfig(int port, TlsMode mode) {
  Config config;
  config.host = "127.0.0.1";
  config.port = static_cast<unsigned short>(port);
  config.domain = "localhost";
  config.password = "secret1";
  config.has_password = true;
  config.login_timeout_ms = 3000;
  config.tls = mode;
  return config;
}

// Logs in once; the result, and the journal in *journal.
int32_t LoginOnce(const Config& config, std::string* journal) {
  auto lines = std::make_shared<std::pair<std::mutex, std::string>>();
  IMsgLogic* engine = NewEngine(
      config,
      [lines](const std::string& line) {
        std::lock_guard<std::mutex> hold(lines->first);
        lines->second += line + "\n";
      },
      false);
  if (engine == nullptr) return -1;
  stand_in::testing::QuietSink sink;
  engine->SetSink(&sink);
  const int32_t result = engine->LoginById(10001, 0);
  engine->Release();
  std::lock_guard<std::mutex> hold(lines->first);
  *journal = lines->second;
  return result;
}

// The journal is called with no lock of the engine held: a journal that
// calls the engine back (SetSink takes the engine's lock) on every line,
// through a login that fails and Release, would otherwise wait for a lock
// its own thread holds.
TEST(XmppJournal, CalledWithNoLockOfTheEngineHeld) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(listener);  // nothing listens there: the login fails at once
  const Config config = FakeServerConfig(ntohs(address.sin_port), TlsMode::kStartTls);
  std::atomic<bool> done{false};
  std::thread watchdog([&done] {
    for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(milliseconds(100));
    if (!done) {
      std::fprintf(stderr, "the engine waits for a lock its journal's thread holds\n");
      std::_Exit(1);
    }
  });
  std::atomic<IMsgLogic*> self{nullptr};
  std::atomic<int> lines{0};
  stand_in::testing::QuietSink sink;
  IMsgLogic* engine = NewEngine(
      config,
      [&](const std::string&) {
        ++lines;
        if (IMsgLogic* e = self.load()) e->SetSink(&sink);
      },
      false);
  ASSERT_NE(engine, nullptr);
  self = engine;
  EXPECT_EQ(engine->LoginById(10001, 0), 0);
  engine->Release();
  done = true;
  watchdog.join();
  EXPECT_GE(lines.load(), 3);  // the login, its result, Release
}

// The password never goes out in clear text: not when STARTTLS is
// required and the offer has none, not in clear-text mode when only PLAIN
// is offered, and not when the SCRAM attempt is refused and libstrophe
// would fall back to PLAIN.
TEST(XmppPassword, NeverSentInClearText) {
  struct Case {
    const char* name;
    const char* features;
    TlsMode mode;
    bool tries_scram;
  };
  const Case cases[] = {
      {"STARTTLS required, PLAIN only offered", kPlainOnly, TlsMode::kStartTls, false},
      {"clear text, PLAIN only offered", kPlainOnly, TlsMode::kOff, false},
      {"clear text, SCRAM refused, PLAIN offered", kScramAndPlain, TlsMode::kOff, true},
  };
  for (const Case& c : cases) {
    FakeServer server(c.features);
    ASSERT_NE(server.port(), 0);
    std::string journal;
    EXPECT_EQ(LoginOnce(FakeServerConfig(server.port(), c.mode), &journal), 0) << c.name;
    const std::string received = server.Received();
    EXPECT_NE(received.find("<stream:stream"), std::string::npos) << c.name << ": " << received;
    EXPECT_EQ(received.find(kPlainPassword), std::string::npos) << c.name << ": " << received;
    EXPECT_EQ(received.find("\"PLAIN\""), std::string::npos) << c.name << ": " << received;
    EXPECT_EQ(received.find("'PLAIN'"), std::string::npos) << c.name << ": " << received;
    EXPECT_EQ(received.find("SCRAM-SHA-1") != std::string::npos, c.tries_scram)
        << c.name << ": " << received;
  }
}

// A server that stops answering in the middle of the TLS handshake: the
// login fails and the engine lets go of the connection, without waiting for
// the server to give up (libstrophe's handshake loop waits on the socket
// for ever unless the socket fails).
TEST(XmppPassword, StalledHandshakeEndsInTime) {
  FakeServer server(
      "<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'><required/>"
      "</starttls></stream:features>");
  ASSERT_NE(server.port(), 0);
  Config config = FakeServerConfig(server.port(), TlsMode::kStartTls);
  config.login_timeout_ms = 500;
  std::string journal;
  EXPECT_EQ(LoginOnce(config, &journal), 0);
  EXPECT_TRUE(server.ClientClosed()) << journal;
  EXPECT_NE(server.Received().find("<starttls"), std::string::npos);
}

TEST(XmppPassword, ClearTextOnlyToLoopback) {
  for (const char* host : {"192.0.2.1", "example.org", "10.0.0.1", "::2"}) {
    Config config = FakeServerConfig(5222, TlsMode::kOff);
    config.host = host;
    std::string journal;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoginOnce(config, &journal), 0) << host;
    EXPECT_NE(journal.find("loopback"), std::string::npos) << journal;
    // Refused before any connection is tried (nothing listens there).
    EXPECT_EQ(journal.find("cannot connect"), std::string::npos) << journal;
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000)) << host;
  }
  // A setting that cannot be read fails logins rather than falling back.
  Config config = FakeServerConfig(5222, TlsMode::kStartTls);
  config.config_error = "MSGLOGIC_XMPP_TLS \"none\" is not starttls, direct or off";
  std::string journal;
  EXPECT_EQ(LoginOnce(config, &journal), 0);
  EXPECT_NE(journal.find("MSGLOGIC_XMPP_TLS"), std::string::npos) << journal;
}

// --- Inbound stanzas ---

// A sink that keeps what tests look at.
class RecordingSink final : public stand_in::testing::QuietSink {
 public:
  struct Text {
    int32_t from;
    std::string bytes;
  };
  int32_t OnUserText(int32_t user, const void* record) override {
    const auto* p = static_cast<const uint8_t*>(record);
    uint32_t length;
    std::memcpy(&length, p + 24, 4);
    texts.push_back({user, std::string(reinterpret_cast<const char*>(p + 28), length)});
    return 0;
  }
  int32_t OnUserInfo(const void* record) override {
    int32_t pair[2];
    std::memcpy(pair, record, sizeof pair);
    infos.push_back(pair[0]);
    return 1;
  }
  int32_t OnFriendList(const void* record) override {
    uint32_t count;
    std::memcpy(&count, record, 4);
    list_counts.push_back(count);
    return 0;
  }
  int32_t OnFriendUpdate(const void* record) override {
    // int32 id at offset 0, status byte at offset 38.
    const auto* p = static_cast<const uint8_t*>(record);
    int32_t id;
    std::memcpy(&id, p, 4);
    statuses[id] = p[38];
    return 0;
  }
  std::vector<Text> texts;
  std::vector<int32_t> infos;
  std::vector<uint32_t> list_counts;
  std::map<int32_t, uint8_t> statuses;
};

Config LocalConfig() {
  Config config;
  config.domain = "localhost";
  return config;
}

// The id of the first stanza written that contains `part`.
std::string IdOfSent(const std::vector<std::string>& sent, const std::string& part) {
  for (const std::string& xml : sent) {
    if (xml.find(part) == std::string::npos) continue;
    const size_t at = xml.find("id='");
    if (at == std::string::npos) continue;
    return xml.substr(at + 4, xml.find('\'', at + 4) - at - 4);
  }
  return std::string();
}

std::string Roster(const std::string& id, const std::string& from,
                   const std::vector<std::string>& jids) {
  std::string xml = "<iq type='result' id='" + id + "'" +
                    (from.empty() ? std::string() : " from='" + from + "'") +
                    "><query xmlns='jabber:iq:roster'>";
  for (const std::string& jid : jids) xml += "<item jid='" + jid + "' subscription='both'/>";
  return xml + "</query></iq>";
}

std::string Chat(const std::string& from, const std::string& body) {
  return "<message type='chat' from='" + from + "'><body>" + body + "</body></message>";
}

std::string Presence(const std::string& from, const std::string& type = std::string()) {
  return "<presence from='" + from + "'" + (type.empty() ? "" : " type='" + type + "'") + "/>";
}

// A session whose roster (answered by the server) holds `friends`, with
// the friend list already sent to the sink.
void LoadRoster(InboundSession& session, const std::vector<std::string>& friends,
                RecordingSink* sink) {
  const std::string roster_id = IdOfSent(session.TakeSent(), "jabber:iq:roster");
  ASSERT_FALSE(roster_id.empty());
  ASSERT_TRUE(session.Feed(Roster(roster_id, "", friends)));
  session.GetFriendList();
  // The friends' vCards: answered empty, each from its user.
  for (const std::string& xml : session.TakeSent()) {
    const size_t to = xml.find("to='");
    const size_t id = xml.find("id='");
    if (xml.find("vcard-temp") == std::string::npos || to == std::string::npos) continue;
    const std::string jid = xml.substr(to + 4, xml.find('\'', to + 4) - to - 4);
    const std::string iq = xml.substr(id + 4, xml.find('\'', id + 4) - id - 4);
    ASSERT_TRUE(session.Feed("<iq type='result' id='" + iq + "' from='" + jid +
                             "'><vCard xmlns='vcard-temp'/></iq>"));
  }
  session.Deliver(sink);
  ASSERT_EQ(sink->list_counts.size(), 1u);
}

// Two JIDs that the engine once mapped to the same id (a 30-bit hash):
// the stranger's texts reached the host as the friend's.
TEST(XmppIdentity, StrangersNeverShareAFriendsId) {
  InboundSession session(LocalConfig(), "10001", false);
  RecordingSink sink;
  LoadRoster(session, {"user449599@localhost", "10002@localhost"}, &sink);
  ASSERT_TRUE(session.Feed(Chat("user449599@localhost/pc", "from the friend")));
  ASSERT_TRUE(session.Feed(Chat("user612382@localhost/x", "from the stranger")));
  session.Deliver(&sink);
  ASSERT_EQ(sink.texts.size(), 2u);
  EXPECT_NE(sink.texts[0].from, sink.texts[1].from);
  EXPECT_LT(sink.texts[0].from, -1);
  EXPECT_LT(sink.texts[1].from, -1);
  EXPECT_EQ(session.JidOf(sink.texts[0].from), "user449599@localhost");
  EXPECT_EQ(session.JidOf(sink.texts[1].from), "user612382@localhost");
  // The host's answer to the friend goes to the friend.
  session.SendText(sink.texts[0].from, "hi");
  const std::vector<std::string> sent = session.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].find("to='user449599@localhost'"), std::string::npos) << sent[0];

  // Many strangers: every id distinct, stable, and never -1 or a number of ours.
  std::set<int32_t> ids;
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(session.Feed(Chat("s" + std::to_string(i) + "@elsewhere.example", "x")));
  }
  ASSERT_TRUE(session.Feed(Chat("user449599@localhost", "again")));
  sink.texts.clear();
  session.Deliver(&sink);
  ASSERT_EQ(sink.texts.size(), 501u);
  for (size_t i = 0; i < 500; ++i) {
    EXPECT_LT(sink.texts[i].from, -1);
    ids.insert(sink.texts[i].from);
  }
  EXPECT_EQ(ids.size(), 500u);
  EXPECT_EQ(session.JidOf(sink.texts[500].from), "user449599@localhost");
}

TEST(XmppIdentity, JidTableNeverGivesAnIdTwice) {
  JidTable table(3);
  EXPECT_EQ(table.IdOf("a@x"), -2);
  EXPECT_EQ(table.IdOf("b@x"), -3);
  EXPECT_EQ(table.IdOf("a@x"), -2);
  EXPECT_EQ(table.IdOf("c@x"), -4);
  EXPECT_EQ(table.IdOf("d@x"), -1);  // full: no id rather than a shared one
  EXPECT_EQ(table.JidOf(-3), "b@x");
  EXPECT_EQ(table.JidOf(-1), "");
  EXPECT_EQ(table.JidOf(-5), "");
  EXPECT_EQ(IdForJid("alice@localhost", "localhost"), -1);
  EXPECT_EQ(IdForJid("10001@localhost", "localhost"), 10001);
}

// IQ answers count only from the entity asked; ids are random.
TEST(XmppIdentity, IqAnswersOnlyFromTheEntityAsked) {
  InboundSession session(LocalConfig(), "10001", false);
  RecordingSink sink;
  const std::vector<std::string> sent = session.TakeSent();
  const std::string roster_id = IdOfSent(sent, "jabber:iq:roster");
  const std::string ping_id = IdOfSent(sent, "urn:xmpp:ping");
  ASSERT_EQ(roster_id.size(), 32u) << roster_id;
  ASSERT_EQ(ping_id.size(), 32u) << ping_id;
  EXPECT_NE(roster_id, ping_id);
  InboundSession other(LocalConfig(), "10001", false);
  EXPECT_NE(IdOfSent(other.TakeSent(), "jabber:iq:roster"), roster_id);

  // A peer forges the roster answer: ignored, the request stays open.
  ASSERT_TRUE(session.Feed(Roster(roster_id, "10004@localhost/evil", {"10004@localhost"})));
  ASSERT_TRUE(session.Feed(Roster(roster_id, "localhost.evil", {"10004@localhost"})));
  // The server's answer (no 'from') counts.
  ASSERT_TRUE(session.Feed(Roster(roster_id, "", {"10002@localhost"})));
  session.GetFriendList();
  std::vector<std::string> vcards = session.TakeSent();
  const std::string vcard_id = IdOfSent(vcards, "to='10002@localhost'");
  ASSERT_FALSE(vcard_id.empty());
  // The friend's vCard, answered by somebody else: ignored; by the friend:
  // taken, and the list goes out with the one friend.
  ASSERT_TRUE(session.Feed("<iq type='result' id='" + vcard_id +
                           "' from='10004@localhost'><vCard xmlns='vcard-temp'>"
                           "<NICKNAME>forged</NICKNAME></vCard></iq>"));
  session.Deliver(&sink);
  EXPECT_TRUE(sink.list_counts.empty());
  ASSERT_TRUE(session.Feed("<iq type='result' id='" + vcard_id +
                           "' from='10002@localhost'><vCard xmlns='vcard-temp'/></iq>"));
  session.Deliver(&sink);
  ASSERT_EQ(sink.list_counts.size(), 1u);
  EXPECT_EQ(sink.list_counts[0], 1u);
  // A roster push from anybody but our own account is refused.
  ASSERT_TRUE(session.Feed("<iq type='set' id='p1' from='10004@localhost'><query "
                           "xmlns='jabber:iq:roster'><item jid='10004@localhost'/></query></iq>"));
  const std::vector<std::string> answer = session.TakeSent();
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_NE(answer[0].find("type='error'"), std::string::npos) << answer[0];
}

// --- Bounds ---

TEST(XmppBounds, ResourcesPerFriendAreBounded) {
  InboundSession session(LocalConfig(), "10001", false);
  RecordingSink sink;
  LoadRoster(session, {"10002@localhost"}, &sink);
  // 40 resources come online; the 17th and later are not kept, so when the
  // first 16 leave, the friend is offline (status 2) although later ones
  // said nothing.
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(session.Feed(Presence("10002@localhost/r" + std::to_string(i))));
  }
  session.Deliver(&sink);
  EXPECT_EQ(sink.statuses[10002], 1);
  for (int i = 0; i < 16; ++i) {
    ASSERT_TRUE(session.Feed(Presence("10002@localhost/r" + std::to_string(i), "unavailable")));
  }
  session.Deliver(&sink);
  EXPECT_EQ(sink.statuses[10002], 2);
}

TEST(XmppBounds, StrangerFloodsLeaveFriendsTheirWay) {
  InboundSession session(LocalConfig(), "10001", false);
  RecordingSink sink;
  LoadRoster(session, {"10002@localhost", "pal@elsewhere.example"}, &sink);
  // 6000 strangers write while the host takes nothing: some 1000 of their
  // texts wait, the rest are dropped; the JID table stops at its bound.
  for (int i = 0; i < 6000; ++i) {
    ASSERT_TRUE(session.Feed(Chat("spam" + std::to_string(i) + "@elsewhere.example", "buy")));
  }
  ASSERT_TRUE(session.Feed(Chat("10002@localhost/pc", "friend 1")));
  ASSERT_TRUE(session.Feed(Chat("pal@elsewhere.example/pc", "friend 2")));
  session.Deliver(&sink);
  EXPECT_LE(sink.texts.size(), 1002u);
  EXPECT_GE(sink.texts.size(), 900u);
  ASSERT_GE(sink.texts.size(), 2u);
  EXPECT_EQ(sink.texts[sink.texts.size() - 2].bytes, "friend 1");
  EXPECT_EQ(sink.texts.back().bytes, "friend 2");
  EXPECT_EQ(session.JidOf(sink.texts.back().from), "pal@elsewhere.example");
  // With the host keeping up, new strangers still get ids until the table
  // is full; then they are dropped, friends not.
  for (int i = 0; i < 6000; ++i) {
    ASSERT_TRUE(session.Feed(Chat("more" + std::to_string(i) + "@elsewhere.example", "buy")));
    if (i % 500 == 0) session.Deliver(&sink);
  }
  EXPECT_EQ(session.JidCount(), 4096u);
  sink.texts.clear();
  ASSERT_TRUE(session.Feed(Chat("pal@elsewhere.example", "still here")));
  ASSERT_TRUE(session.Feed(Chat("new-one@elsewhere.example", "hello?")));
  session.Deliver(&sink);
  ASSERT_EQ(sink.texts.size(), 1u);
  EXPECT_EQ(sink.texts[0].bytes, "still here");
}

TEST(XmppBounds, OutstandingRequestsAndTextsAreBounded) {
  InboundSession session(LocalConfig(), "10001", false);
  RecordingSink sink;
  LoadRoster(session, {"10002@localhost"}, &sink);
  session.TakeSent();
  // 400 users asked for at once: at most 256 requests wait for the server;
  // the others are answered at once, so that no text waits for ever.
  for (int i = 0; i < 400; ++i) session.RequestUserInfo(20000 + i);
  size_t vcards = 0;
  for (const std::string& xml : session.TakeSent()) vcards += xml.find("vcard-temp") != std::string::npos;
  session.Deliver(&sink);
  EXPECT_LE(vcards, 256u);
  EXPECT_GE(vcards, 250u);
  EXPECT_EQ(vcards + sink.infos.size(), 400u);
  // A text of a megabyte reaches the host cut to 32 KiB, whole characters.
  std::string big;
  for (int i = 0; i < 350000; ++i) big += "\xe4\xbd\xa0";  // 你
  ASSERT_TRUE(session.Feed(Chat("10002@localhost", big)));
  session.Deliver(&sink);
  ASSERT_EQ(sink.texts.size(), 1u);
  EXPECT_LE(sink.texts[0].bytes.size(), 32u * 1024u);
  EXPECT_GE(sink.texts[0].bytes.size(), 20u * 1024u);
  EXPECT_EQ(sink.texts[0].bytes.size() % 2, 0u);  // two GBK bytes a character
}

}  // namespace
}  // namespace xmpp_engine
