#include "engine/xmpp/xmpp_engine.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <strophe.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/records.h"
#include "textcodec.h"

namespace xmpp_engine {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest an idle network thread sleeps.
constexpr milliseconds kIdleWake{500};
// With nothing received for this long, the engine pings the server itself,
// so that a live connection shows activity well within the agent's 20 s.
constexpr milliseconds kQuietPing{8000};
// An IQ the server never answers is given up after this long; a vCard
// request for RequestUserInfo is then answered all the same.
constexpr milliseconds kIqTimeout{10000};
// GetFriendList waits this long at most for the roster and the friends'
// vCards before it answers with what it has.
constexpr milliseconds kFriendListWait{3000};
// Release lets the stream close cleanly for this long at most.
constexpr milliseconds kCloseWait{200};

// Bounds on what peers and the server can make the engine keep. Past each,
// the newest is dropped (with one warning until the state shrinks again).
// Resources (presences) kept for one friend.
constexpr size_t kMaxResources = 16;
// JIDs that are not plain numbers given ids (strangers and friends alike)
// over the engine object's life.
constexpr size_t kMaxJids = 4096;
// Friends in the roster.
constexpr size_t kMaxRoster = 2000;
// Our IQs waiting for an answer.
constexpr size_t kMaxIqs = 256;
// Sink calls waiting for the delivery thread: past kStrangerCalls, texts
// and notices from users who are not friends are dropped; past kMaxCalls,
// every call but the loss of the connection.
constexpr size_t kStrangerCalls = 1000;
constexpr size_t kMaxCalls = 10000;
// The longest chat text passed on, in bytes of UTF-8 (a longer one is cut
// at a character boundary).
constexpr size_t kMaxText = 32 * 1024;

// Status bytes of friend records.
constexpr uint8_t kStatusOnline = 1;
constexpr uint8_t kStatusOffline = 2;
constexpr uint8_t kStatusAway = 4;
constexpr uint8_t kStatusBusy = 5;

const char kContactNs[] = "urn:msglogicex:contact";

using stand_in::ToGb;
using stand_in::ToUtf8;

// A sink call with everything it needs captured by value.
using SinkCall = std::function<void(IMsgLogicSink*)>;

// A sink call on its way to the delivery thread, with the login it belongs
// to: once a newer login has begun, the calls of older ones are dropped.
struct Delivery {
  uint64_t login = 0;
  SinkCall call;
};

struct Net;
using Command = std::function<void(Net&)>;

// What the engine object and its thread share; guarded by mu.
struct Shared {
  std::mutex mu;
  std::condition_variable cv;
  bool stopped = false;
  IMsgLogicSink* sink = nullptr;
  bool in_call = false;  // the delivery thread is inside a sink call
  std::deque<Command> commands;
  std::deque<Delivery> deliveries;
  std::thread thread;  // the network thread
  std::thread::id thread_id;
  std::thread delivery_thread;
  std::thread::id delivery_id;
  int wake_fd = -1;
  // Login hand-over: the host's call waits until done_login == login.
  uint64_t login = 0;
  uint64_t done_login = 0;
  int32_t login_result = 0;
  // The socket of the connection being logged in, or -1: a login past its
  // time-out shuts it down, which ends a TLS handshake that libstrophe
  // would otherwise wait on for ever (the network thread is inside it).
  // Set and cleared by the network thread; the descriptor stays open while
  // it is set.
  int login_sock = -1;

  Config config;
  Journal journal;
  bool libstrophe_log = false;

  ~Shared() {
    if (wake_fd >= 0) close(wake_fd);
  }

  void Log(const std::string& line) const noexcept {
    try {
      if (journal) journal(line);
    } catch (...) {
      // A line that cannot be written is lost.
    }
  }

  // Queues a command and wakes the thread. Called with mu held.
  void Post(Command command) {
    commands.push_back(std::move(command));
    Wake();
  }

  void Wake() const {
    const uint64_t one = 1;
    ssize_t written;
    do {
      written = write(wake_fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
  }
};

// One presence of a friend: a resource's show and status text.
struct Presence {
  std::string show;
  std::string text;
};

struct Friend {
  std::string jid;  // bare
  int32_t id = 0;
  std::string name;      // roster name
  std::string nickname;  // vCard NICKNAME
  std::map<std::string, Presence> resources;
  uint8_t status = kStatusOffline;
  std::string status_text;
};

// What an outstanding IQ of ours is for.
struct PendingIq {
  enum Kind { kRoster, kFriendVcard, kUserInfo, kPing, kRequestB, kRequestC, kLoginBarrier } kind = kPing;
  std::string jid;
  // Where the IQ went: its answer must come from there (empty: our own
  // account, which the server answers for).
  std::string to;
  int32_t user = 0;
  int32_t value = 0;
  Clock::time_point deadline;
};

// ASCII case-insensitive equality: servers write domains and local parts
// in lower case whatever case the request had.
bool SameAddress(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The text cut to at most `limit` bytes, at a UTF-8 character boundary.
std::string CutUtf8(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return text.substr(0, end);
}

// 128 bits from the kernel's random source as hex: ids of our stanzas that
// no peer can guess.
std::string RandomToken() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("no random bytes for a stanza id");
    }
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

// The SHA-256 fingerprint as libstrophe writes it ("AB:CD:...") -> 64
// lower-case hex digits, or empty.
std::string NormalizeFingerprint(const char* text) {
  if (text == nullptr) return std::string();
  std::string pin;
  return ParsePin(std::string("sha256:") + text, &pin) ? pin : std::string();
}

// The network thread's own state: only that thread touches it.
struct Net {
  std::shared_ptr<Shared> shared;
  const Config& config;
  xmpp_ctx_t* ctx = nullptr;
  xmpp_conn_t* conn = nullptr;
  int sock = -1;
  enum Phase { kIdle, kLoggingIn, kOnline } phase = kIdle;
  bool conn_dead = false;  // libstrophe reported the end: release the connection
  bool auth_failed = false;
  // Why the login under way must end at once (a certificate or pin that
  // does not match, a clear-text login that would reveal the password), or
  // empty. Checked after every libstrophe turn, before it writes again.
  std::string refusal;
  // Why the TLS handshake failed, as the certificate check said.
  std::string tls_failure;
  // The last error libstrophe logged during the login.
  std::string last_error;
  bool peer_checked = false;  // the pin was compared after the handshake

  uint64_t login = 0;
  Clock::time_point login_deadline;
  std::string self_jid;  // bare
  int32_t self_id = 0;
  bool self_id_set = false;  // SetUserId since the login
  bool started = false;
  // Bound and available, but the login answers only once the server has
  // answered a ping sent after our initial presence: the server handles a
  // session's stanzas in order, so by then it routes messages to us. (A text
  // sent to us right after our Connect returned would otherwise come back
  // as "not online".)
  bool awaiting_presence = false;

  std::vector<Friend> roster;  // in roster order
  bool roster_loaded = false;
  int friend_lists_wanted = 0;
  // A friend list has gone out: changes are reported one friend at a time
  // from then on (before, the list carries them).
  bool list_sent = false;
  Clock::time_point friend_list_deadline;
  JidTable jid_table{kMaxJids};  // ids of JIDs that are not our numbers
  bool jids_full_told = false;
  std::map<std::string, PendingIq> iqs;
  bool iqs_full_told = false;
  bool backlog_told = false;
  Clock::time_point last_received;
  Clock::time_point last_ping;

  // Sink calls to make; `essential` ones (the loss of the connection) are
  // never dropped for want of room.
  struct Outgoing {
    SinkCall call;
    bool essential;
  };
  std::vector<Outgoing> out;
  bool activity = false;
  // Without a connection (the inbound-stanza harness), what would be sent.
  std::vector<std::string>* capture = nullptr;
  // Non-zero (the harness): IQ ids are "t1", "t2", ... instead of random.
  uint64_t predictable_ids = 0;

  Net(std::shared_ptr<Shared> s, const Config& c) : shared(std::move(s)), config(c) {}

  void Emit(SinkCall call, bool essential = false) { out.push_back({std::move(call), essential}); }

  // Sink calls waiting, handed over or not.
  size_t Backlog() const {
    std::lock_guard<std::mutex> hold(shared->mu);
    return shared->deliveries.size() + out.size();
  }

  void Log(const std::string& line) const { shared->Log(line); }

  Friend* FindFriend(const std::string& jid) {
    for (Friend& f : roster) {
      if (f.jid == jid) return &f;
    }
    return nullptr;
  }

  // The user id of a bare JID; -1 when it has none and the table of JIDs
  // is full.
  int32_t IdOf(const std::string& bare) {
    const int32_t own = IdForJid(bare, config.domain);
    if (own >= 0) return own;
    const int32_t id = jid_table.IdOf(bare);
    if (id == -1 && !jids_full_told) {
      jids_full_told = true;
      Log("warning: " + std::to_string(kMaxJids) +
          " JIDs without a number of ours have ids: stanzas from new ones are dropped");
    }
    return id;
  }

  // The JID of a user id, or empty.
  std::string JidOf(int32_t id) const {
    if (id >= 0) return std::to_string(id) + "@" + config.domain;
    return jid_table.JidOf(id);
  }

  int32_t ValueOf(const std::string& jid) { return FindFriend(jid) != nullptr ? 1 : 0; }

  stand_in::Person PersonOf(const Friend& f) const {
    stand_in::Person person;
    person.id = f.id;
    person.value = 1;
    person.name = f.name.empty() ? f.jid.substr(0, f.jid.find('@')) : f.name;
    person.display_name = f.nickname;
    person.long_text = f.status_text;
    person.status = f.status;
    return person;
  }

  void ReportFriend(const Friend& f) {
    const std::string record = stand_in::FriendRecord(PersonOf(f));
    Emit([record](IMsgLogicSink* sink) { sink->OnFriendUpdate(record.data()); });
  }

  // --- sending ---

  bool Online(const char* what) const {
    if (phase == kOnline) return true;
    Log(std::string("  not logged in: ") + what + " ignored");
    return false;
  }

  void Send(const std::string& xml) {
    if (capture != nullptr) capture->push_back(xml);
    if (conn != nullptr) xmpp_send_raw(conn, xml.data(), xml.size());
  }

  // A fresh unguessable id for `iq`, or empty when kMaxIqs are waiting
  // (the login's own IQs always get one).
  std::string NewIqId(PendingIq iq) {
    const bool login_iq = iq.kind == PendingIq::kRoster || iq.kind == PendingIq::kLoginBarrier;
    if (iqs.size() >= kMaxIqs && !login_iq) {
      if (!iqs_full_told) {
        iqs_full_told = true;
        Log("warning: " + std::to_string(kMaxIqs) + " requests wait for the server: no more sent");
      }
      return std::string();
    }
    iqs_full_told = iqs_full_told && iqs.size() >= kMaxIqs / 2;
    std::string id = predictable_ids != 0 ? "t" + std::to_string(predictable_ids++) : RandomToken();
    iq.deadline = Clock::now() + kIqTimeout;
    iqs[id] = std::move(iq);
    return id;
  }

  // False when no ping went out (too many requests waiting).
  bool SendPing(PendingIq::Kind kind, int32_t value) {
    PendingIq iq;
    iq.kind = kind;
    iq.value = value;
    iq.to = config.domain;
    // Stamped even when no ping goes out, so that the quiet-time ping is
    // not tried again at once.
    last_ping = Clock::now();
    const std::string id = NewIqId(iq);
    if (id.empty()) return false;
    Send("<iq type='get' id='" + id + "' to='" + XmlEscape(config.domain) +
         "'><ping xmlns='urn:xmpp:ping'/></iq>");
    return true;
  }

  // False when no request went out (too many requests waiting).
  bool RequestVcard(PendingIq::Kind kind, const std::string& jid, int32_t user) {
    PendingIq iq;
    iq.kind = kind;
    iq.jid = jid;
    iq.to = jid;
    iq.user = user;
    const std::string id = NewIqId(iq);
    if (id.empty()) return false;
    Send("<iq type='get' id='" + id + "' to='" + XmlEscape(jid) +
         "'><vCard xmlns='vcard-temp'/></iq>");
    return true;
  }

  // Whether `from` may answer an IQ of ours sent to `to`: the entity asked,
  // or for one sent to our own account (no 'to'), the server speaking for
  // it (no 'from', our bare or full JID).
  bool AnswersFor(const std::string& from, const PendingIq& iq) const {
    if (iq.to.empty()) {
      if (from.empty() || SameAddress(from, self_jid)) return true;
      const char* bound = conn != nullptr ? xmpp_conn_get_bound_jid(conn) : nullptr;
      return bound != nullptr && SameAddress(from, bound);
    }
    return SameAddress(from, iq.to);
  }

  bool FriendListReady() const {
    if (!roster_loaded) return false;
    for (const auto& entry : iqs) {
      if (entry.second.kind == PendingIq::kFriendVcard) return false;
    }
    return true;
  }

  void AnswerFriendLists() {
    for (; friend_lists_wanted > 0; --friend_lists_wanted) {
      std::vector<std::pair<int32_t, int32_t>> values;
      std::vector<stand_in::Person> people;
      for (const Friend& f : roster) {
        values.emplace_back(f.id, 1);
        people.push_back(PersonOf(f));
      }
      std::vector<const stand_in::Person*> pointers;
      for (const stand_in::Person& p : people) pointers.push_back(&p);
      // Values first: the agent passes on only friends whose value it has.
      const std::string value_list = stand_in::FriendValues(values);
      const std::string friend_list = stand_in::FriendList(pointers);
      Emit([value_list](IMsgLogicSink* sink) { sink->OnFriendValues(value_list.data()); });
      Emit([friend_list](IMsgLogicSink* sink) { sink->OnFriendList(friend_list.data()); });
      list_sent = true;
    }
  }

  // --- commands from the engine object ---

  void Login(uint64_t id, const std::string& jid, const std::string& password) {
    DropConnection();
    login = id;
    self_jid = jid;
    self_id = IdOf(jid);
    self_id_set = false;
    started = false;
    const std::string refused = LoginRefusal(config);
    if (!refused.empty()) {
      Log("warning: login refused: " + refused);
      FinishLogin(0);
      return;
    }
    conn = xmpp_conn_new(ctx);
    if (conn == nullptr) {
      FinishLogin(0);
      return;
    }
    // Stream management stays off: a resumed stream would bring back the
    // stanzas of an earlier login.
    long flags = XMPP_CONN_FLAG_DISABLE_SM;
    switch (config.tls) {
      case TlsMode::kStartTls: flags |= XMPP_CONN_FLAG_MANDATORY_TLS; break;
      case TlsMode::kDirect: flags |= XMPP_CONN_FLAG_LEGACY_SSL; break;
      // Clear text to loopback: no STARTTLS, and the password never goes
      // out in PLAIN (OnLog watches the offer).
      case TlsMode::kOff: flags |= XMPP_CONN_FLAG_DISABLE_TLS; break;
    }
    xmpp_conn_set_flags(conn, flags);
    if (!config.ca_file.empty()) xmpp_conn_set_cafile(conn, config.ca_file.c_str());
    xmpp_conn_set_certfail_handler(conn, &Net::OnCertFail);
    xmpp_conn_set_jid(conn, jid.c_str());
    xmpp_conn_set_pass(conn, password.c_str());
    xmpp_conn_set_sockopt_callback(conn, &Net::OnSocket);
    xmpp_handler_add(conn, &Net::OnStanza, nullptr, nullptr, nullptr, this);
    phase = kLoggingIn;
    login_deadline = Clock::now() + milliseconds(config.login_timeout_ms);
    current_ = this;
    if (xmpp_connect_client(conn, config.host.c_str(), config.port, &Net::OnConnection, this) !=
        XMPP_EOK) {
      Log("warning: cannot connect to " + config.host + ":" + std::to_string(config.port));
      phase = kIdle;
      conn_dead = true;
      FinishLogin(0);
    }
  }

  void FinishLogin(int32_t result) {
    std::lock_guard<std::mutex> hold(shared->mu);
    shared->login_sock = -1;
    if (shared->login != login) return;
    shared->login_result = result;
    shared->done_login = login;
    shared->cv.notify_all();
  }

  // Ends the connection without telling the agent: a new login replaces it,
  // or the engine is going away.
  void DropConnection() {
    if (conn == nullptr) return;
    if (phase == kLoggingIn || awaiting_presence) FinishLogin(0);
    awaiting_presence = false;
    phase = kIdle;
    xmpp_conn_t* old = conn;
    conn = nullptr;
    sock = -1;
    {
      std::lock_guard<std::mutex> hold(shared->mu);
      shared->login_sock = -1;  // before the descriptor is closed
    }
    xmpp_conn_release(old);  // closes the socket; no handler runs any more
    conn_dead = false;
    auth_failed = false;
    refusal.clear();
    tls_failure.clear();
    last_error.clear();
    peer_checked = false;
    roster.clear();
    roster_loaded = false;
    friend_lists_wanted = 0;
    list_sent = false;
    iqs.clear();
  }

  void Start() {
    if (phase != kOnline) {
      Log("warning: Start without a login");
      return;
    }
    started = true;
    const int32_t self = self_id;
    Emit([self](IMsgLogicSink* sink) {
      int32_t id = self;
      sink->OnSelfId(&id);
    });
    Emit([](IMsgLogicSink* sink) { sink->OnActivity(); });
  }

  void SetUserId(int32_t id) {
    self_id = id;
    self_id_set = true;
  }

  void SendText(int32_t user, const std::string& utf8) {
    if (!Online("SendText")) return;
    const std::string jid = JidOf(user);
    if (jid.empty()) {
      Log("warning: SendText to unknown user " + std::to_string(user) + " dropped");
      return;
    }
    Send("<message type='chat' to='" + XmlEscape(jid) + "' id='" + RandomToken() + "'><body>" +
         XmlEscape(utf8) + "</body></message>");
  }

  void Contact(int32_t user) {
    if (!Online("ContactUser")) return;
    const std::string jid = JidOf(user);
    if (jid.empty()) return;
    Send("<message to='" + XmlEscape(jid) + "'><contact xmlns='" + kContactNs + "'/></message>");
  }

  void UserInfo(int32_t user) {
    const std::string jid = JidOf(user);
    if (phase != kOnline || jid.empty() || !RequestVcard(PendingIq::kUserInfo, jid, user)) {
      // Answered all the same, so that no text waits for it for ever.
      const std::string record = stand_in::UserInfoRecord(user, jid.empty() ? 0 : ValueOf(jid));
      Emit([record](IMsgLogicSink* sink) { sink->OnUserInfo(record.data()); });
    }
  }

  void OwnPresence(int32_t value) {
    if (!Online("RequestA")) return;
    static const char* const kShows[] = {"", "away", "xa", "dnd"};
    if (value < 0 || value > 3) {
      Log("warning: RequestA(" + std::to_string(value) + "): presence 0 to 3 only");
      return;
    }
    if (value == 0) {
      Send("<presence/>");
    } else {
      Send(std::string("<presence><show>") + kShows[value] + "</show></presence>");
    }
  }

  void RequestB(int32_t value) {
    if (!Online("RequestB")) return;
    if (value == 99) {
      xmpp_disconnect(conn);  // the stream's end is reported as a lost connection
      return;
    }
    SendPing(PendingIq::kRequestB, value);
  }

  void RequestC() {
    if (Online("RequestC")) SendPing(PendingIq::kRequestC, 0);
  }

  void KeepAlive() {
    if (Online("KeepAlive")) SendPing(PendingIq::kPing, 0);
  }

  void GetFriendList() {
    if (!Online("GetFriendList")) return;
    if (friend_lists_wanted++ == 0) friend_list_deadline = Clock::now() + kFriendListWait;
    if (FriendListReady()) AnswerFriendLists();
  }

  void RoomInfo(const std::string& gb_text) {
    if (!Online("SendRoomInfo")) return;
    const std::string record = stand_in::EventARecord(0, gb_text);
    Emit([record](IMsgLogicSink* sink) { sink->OnEventA(record.data()); });
  }

  // --- libstrophe's callbacks ---

  static thread_local Net* current_;

  // libstrophe's verdict on the server's certificate failed (unknown
  // issuer, wrong name, expired...). With a pin the pin decides, after the
  // handshake; without one the login ends here.
  static int OnCertFail(const xmpp_tlscert_t* cert, const char* const error) {
    // Called on the network thread, inside its turn for its one
    // connection (libstrophe leaves the certificate's connection unset).
    Net* net = current_;
    if (net == nullptr || net->conn == nullptr) return 0;
    const xmpp_conn_t* of = xmpp_tlscert_get_conn(cert);
    if (of != nullptr && of != net->conn) return 0;
    if (!net->config.pin_sha256.empty()) return 1;
    if (net->tls_failure.empty()) {
      net->tls_failure = std::string("server certificate not trusted: ") +
                         (error != nullptr ? error : "unknown reason");
    }
    return 0;
  }

  // After each libstrophe turn while logging in: the pin, once the
  // handshake is done, and any reason found to stop before libstrophe
  // writes again.
  void CheckLogin() {
    if (conn == nullptr || phase != kLoggingIn) return;
    if (!peer_checked && !config.pin_sha256.empty() && xmpp_conn_is_secured(conn)) {
      peer_checked = true;
      xmpp_tlscert_t* cert = xmpp_conn_get_peer_cert(conn);
      const std::string seen = cert != nullptr
          ? NormalizeFingerprint(xmpp_tlscert_get_string(cert, XMPP_CERT_FINGERPRINT_SHA256))
          : std::string();
      if (cert != nullptr) xmpp_tlscert_free(cert);
      if (seen != config.pin_sha256 && refusal.empty()) {
        refusal = "server certificate pin mismatch: the server's is sha256:" +
                  (seen.empty() ? std::string("(none)") : seen);
      }
    }
    if (!refusal.empty()) {
      Log("warning: login failed (" + refusal + ")");
      DropConnection();
    }
  }

  static int OnSocket(xmpp_conn_t* conn, void* socket) {
    if (current_ != nullptr && current_->conn == conn) {
      current_->sock = *static_cast<int*>(socket);
      std::lock_guard<std::mutex> hold(current_->shared->mu);
      current_->shared->login_sock = current_->sock;
    }
    return 0;
  }

  static void OnConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                           xmpp_stream_error_t* stream_error, void* userdata) {
    Net& net = *static_cast<Net*>(userdata);
    if (conn != net.conn) return;
    try {
      net.HandleConnection(event, error, stream_error);
    } catch (const std::exception& e) {
      net.Log(std::string("warning: ") + e.what());
    }
  }

  void HandleConnection(xmpp_conn_event_t event, int error, xmpp_stream_error_t* stream_error) {
    Net& net = *this;
    if (event == XMPP_CONN_CONNECT) {
      if (net.phase != kLoggingIn) return;
      net.phase = kOnline;
      net.last_received = net.last_ping = Clock::now();
      PendingIq iq;
      iq.kind = PendingIq::kRoster;
      const std::string id = net.NewIqId(iq);
      net.Send("<iq type='get' id='" + id + "'><query xmlns='jabber:iq:roster'/></iq>");
      net.Send("<presence/>");
      net.awaiting_presence = true;
      net.SendPing(PendingIq::kLoginBarrier, 0);
      return;
    }
    if (event == XMPP_CONN_RAW_CONNECT) return;
    // XMPP_CONN_DISCONNECT or XMPP_CONN_FAIL.
    std::string why = "error " + std::to_string(error);
    if (stream_error != nullptr && stream_error->text != nullptr) why += ", " + std::string(stream_error->text);
    if (!net.tls_failure.empty()) {
      why = net.tls_failure;
    } else if (net.phase == kLoggingIn && !net.last_error.empty()) {
      why += ", " + net.last_error;
    }
    if (net.phase == kLoggingIn || net.awaiting_presence) {
      net.Log((net.tls_failure.empty() ? "login failed (" : "warning: login failed (") + why + ")");
      net.awaiting_presence = false;
      net.FinishLogin(0);
    } else if (net.phase == kOnline) {
      net.Log("connection lost (" + why + ")");
      net.Emit([](IMsgLogicSink* sink) { sink->OnDisconnect(); }, /*essential=*/true);
    }
    net.phase = kIdle;
    net.conn_dead = true;
  }

  static int OnStanza(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* userdata) {
    Net& net = *static_cast<Net*>(userdata);
    if (conn != net.conn || net.phase != kOnline) return 1;
    net.Inbound(stanza);
    return 1;
  }

  // One stanza from the server, while online.
  void Inbound(xmpp_stanza_t* stanza) {
    activity = true;
    last_received = Clock::now();
    const char* name = xmpp_stanza_get_name(stanza);
    if (name == nullptr) return;
    try {
      if (std::strcmp(name, "message") == 0) {
        OnMessage(stanza);
      } else if (std::strcmp(name, "presence") == 0) {
        OnPresence(stanza);
      } else if (std::strcmp(name, "iq") == 0) {
        OnIq(stanza);
      }
    } catch (const std::exception& e) {
      Log(std::string("warning: ") + e.what());
    }
  }

  static std::string Attr(xmpp_stanza_t* stanza, const char* name) {
    const char* value = xmpp_stanza_get_attribute(stanza, name);
    return value != nullptr ? value : "";
  }

  static std::string TextOf(xmpp_stanza_t* stanza) {
    if (stanza == nullptr) return std::string();
    char* text = xmpp_stanza_get_text(stanza);
    if (text == nullptr) return std::string();
    std::string copy = text;
    xmpp_free(xmpp_stanza_get_context(stanza), text);
    return copy;
  }

  // The defined condition of an error stanza, or "unknown".
  static std::string ErrorCondition(xmpp_stanza_t* stanza) {
    xmpp_stanza_t* error = xmpp_stanza_get_child_by_name(stanza, "error");
    for (xmpp_stanza_t* child = error != nullptr ? xmpp_stanza_get_children(error) : nullptr;
         child != nullptr; child = xmpp_stanza_get_next(child)) {
      const char* ns = xmpp_stanza_get_ns(child);
      const char* name = xmpp_stanza_get_name(child);
      if (ns != nullptr && name != nullptr &&
          std::strcmp(ns, "urn:ietf:params:xml:ns:xmpp-stanzas") == 0 &&
          std::strcmp(name, "text") != 0) {
        return name;
      }
    }
    return "unknown";
  }

  // Whether a text or notice from `jid` may still be queued: one from a
  // friend up to kMaxCalls waiting calls (Deliver), one from anybody else
  // up to kStrangerCalls.
  bool RoomForStranger(const std::string& jid) {
    if (FindFriend(jid) != nullptr) return true;
    if (Backlog() < kStrangerCalls) return true;
    if (!backlog_told) {
      backlog_told = true;
      Log("warning: " + std::to_string(kStrangerCalls) +
          " sink calls wait for the host: texts from users who are not friends are dropped");
    }
    return false;
  }

  void OnMessage(xmpp_stanza_t* stanza) {
    const std::string from = BareJid(Attr(stanza, "from"));
    if (from.empty()) return;
    if (!RoomForStranger(from)) return;
    const int32_t user = IdOf(from);
    if (user == -1) return;  // no id left for a new JID
    const std::string type = Attr(stanza, "type");
    if (type == "error") {
      const std::string condition = ErrorCondition(stanza);
      std::string notice = "消息未送达（" + condition + "）";
      if (condition == "service-unavailable" || condition == "recipient-unavailable") {
        notice = "消息未送达：对方不在线";
      } else if (condition == "item-not-found") {
        notice = "消息未送达：没有这个用户";
      }
      const std::string record = stand_in::EventARecord(user, ToGb(notice));
      Emit([record](IMsgLogicSink* sink) { sink->OnEventA(record.data()); });
      return;
    }
    if (xmpp_stanza_get_child_by_name_and_ns(stanza, "contact", kContactNs) != nullptr) {
      const std::string record = stand_in::EventARecord(user, ToGb("请求联系"));
      Emit([record](IMsgLogicSink* sink) { sink->OnEventA(record.data()); });
      return;
    }
    xmpp_stanza_t* body = xmpp_stanza_get_child_by_name(stanza, "body");
    if (body == nullptr) return;  // chat states and the like
    const std::string record = stand_in::TextRecord(1, ToGb(CutUtf8(TextOf(body), kMaxText)));
    Emit([user, record](IMsgLogicSink* sink) { sink->OnUserText(user, record.data()); });
  }

  void OnPresence(xmpp_stanza_t* stanza) {
    const std::string full = Attr(stanza, "from");
    const std::string from = BareJid(full);
    Friend* f = FindFriend(from);
    if (f == nullptr) return;  // ourselves, or not a friend
    const std::string type = Attr(stanza, "type");
    const size_t slash = full.find('/');
    const std::string resource = slash == std::string::npos ? std::string() : full.substr(slash + 1);
    if (type == "unavailable" || type == "error") {
      if (resource.empty()) {
        f->resources.clear();
      } else {
        f->resources.erase(resource);
      }
    } else if (type.empty()) {
      if (f->resources.size() >= kMaxResources && f->resources.count(resource) == 0) {
        return;  // a friend's client farm, or a flood: the first ones count
      }
      Presence& p = f->resources[resource];
      p.show = TextOf(xmpp_stanza_get_child_by_name(stanza, "show"));
      p.text = TextOf(xmpp_stanza_get_child_by_name(stanza, "status"));
    } else {
      return;  // subscriptions are the user's business, in another client
    }
    UpdateStatus(f);
  }

  static uint8_t StatusOf(const Presence& p) {
    if (p.show.empty() || p.show == "chat") return kStatusOnline;
    if (p.show == "dnd") return kStatusBusy;
    return kStatusAway;
  }

  // The friend's status from its most available resource; reported when it
  // changed.
  void UpdateStatus(Friend* f) {
    uint8_t status = kStatusOffline;
    std::string text;
    static const uint8_t kRank[] = {kStatusOnline, kStatusAway, kStatusBusy};
    for (uint8_t wanted : kRank) {
      for (const auto& entry : f->resources) {
        if (StatusOf(entry.second) == wanted) {
          status = wanted;
          text = entry.second.text;
          break;
        }
      }
      if (status != kStatusOffline) break;
    }
    if (status == f->status && text == f->status_text) return;
    f->status = status;
    f->status_text = text;
    if (list_sent) ReportFriend(*f);
  }

  void OnIq(xmpp_stanza_t* stanza) {
    const std::string type = Attr(stanza, "type");
    const std::string id = Attr(stanza, "id");
    if (type == "get" || type == "set") {
      AnswerIq(stanza, type, id);
      return;
    }
    const auto it = iqs.find(id);
    // Only the entity asked may answer: anybody else who knows or guesses
    // an id is ignored, and the request stays open until its time-out.
    if (it == iqs.end() || !AnswersFor(Attr(stanza, "from"), it->second)) return;
    const PendingIq iq = it->second;
    iqs.erase(it);
    const bool ok = type == "result";
    switch (iq.kind) {
      case PendingIq::kRoster:
        if (ok) ReadRoster(xmpp_stanza_get_child_by_name(stanza, "query"), /*push=*/false);
        roster_loaded = true;
        break;
      case PendingIq::kFriendVcard:
      case PendingIq::kUserInfo: {
        if (ok) ReadVcard(iq.jid, xmpp_stanza_get_child_by_name(stanza, "vCard"));
        if (iq.kind == PendingIq::kUserInfo) {
          const std::string record = stand_in::UserInfoRecord(iq.user, ValueOf(iq.jid));
          Emit([record](IMsgLogicSink* sink) { sink->OnUserInfo(record.data()); });
        }
        break;
      }
      case PendingIq::kPing:
        break;  // the answer itself is the activity
      case PendingIq::kLoginBarrier:
        // A result or an error alike: the server has handled our presence.
        awaiting_presence = false;
        FinishLogin(2);
        break;
      case PendingIq::kRequestB: {
        const int32_t value = iq.value;
        Emit([value](IMsgLogicSink* sink) { sink->OnEventB(value); });
        break;
      }
      case PendingIq::kRequestC:
        Emit([](IMsgLogicSink* sink) { sink->OnEventC(); });
        break;
    }
    if (friend_lists_wanted > 0 && FriendListReady()) AnswerFriendLists();
  }

  void AnswerIq(xmpp_stanza_t* stanza, const std::string& type, const std::string& id) {
    const std::string from = Attr(stanza, "from");
    const std::string to = from.empty() ? std::string() : " to='" + XmlEscape(from) + "'";
    xmpp_stanza_t* query = xmpp_stanza_get_child_by_name_and_ns(stanza, "query", "jabber:iq:roster");
    // Roster pushes come from our own account (no 'from', or our bare JID).
    const bool from_server = from.empty() || SameAddress(from, self_jid);
    if (type == "set" && query != nullptr && from_server) {
      ReadRoster(query, /*push=*/true);
      Send("<iq type='result' id='" + XmlEscape(id) + "'" + to + "/>");
      return;
    }
    if (type == "get" && xmpp_stanza_get_child_by_name_and_ns(stanza, "ping", "urn:xmpp:ping")) {
      Send("<iq type='result' id='" + XmlEscape(id) + "'" + to + "/>");
      return;
    }
    Send("<iq type='error' id='" + XmlEscape(id) + "'" + to +
         "><error type='cancel'><service-unavailable "
         "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
  }

  void ReadRoster(xmpp_stanza_t* query, bool push) {
    if (query == nullptr) return;
    for (xmpp_stanza_t* item = xmpp_stanza_get_children(query); item != nullptr;
         item = xmpp_stanza_get_next(item)) {
      const char* item_name = xmpp_stanza_get_name(item);
      if (item_name == nullptr || std::strcmp(item_name, "item") != 0) continue;
      const std::string jid = BareJid(Attr(item, "jid"));
      if (jid.empty() || jid == self_jid) continue;
      if (Attr(item, "subscription") == "remove") {
        roster.erase(std::remove_if(roster.begin(), roster.end(),
                                    [&jid](const Friend& f) { return f.jid == jid; }),
                     roster.end());
        continue;
      }
      Friend* f = FindFriend(jid);
      const bool is_new = f == nullptr;
      if (is_new) {
        const int32_t id = IdOf(jid);
        if (id == -1 || roster.size() >= kMaxRoster) {
          Log("warning: roster entry " + jid + " dropped (" + std::to_string(kMaxRoster) +
              " friends at most)");
          continue;
        }
        roster.emplace_back();
        f = &roster.back();
        f->jid = jid;
        f->id = id;
      }
      f->name = Attr(item, "name");
      if (is_new) RequestVcard(PendingIq::kFriendVcard, jid, f->id);
      if (push && list_sent) ReportFriend(*f);
    }
  }

  void ReadVcard(const std::string& jid, xmpp_stanza_t* vcard) {
    Friend* f = FindFriend(jid);
    if (f == nullptr) return;
    const std::string nickname =
        TextOf(vcard != nullptr ? xmpp_stanza_get_child_by_name(vcard, "NICKNAME") : nullptr);
    if (nickname == f->nickname) return;
    f->nickname = nickname;
    if (list_sent) ReportFriend(*f);
  }

  // --- the loop ---

  void Timers() {
    const Clock::time_point now = Clock::now();
    if ((phase == kLoggingIn || awaiting_presence) && now >= login_deadline) {
      Log("login timed out after " + std::to_string(config.login_timeout_ms) + " ms");
      DropConnection();
    }
    if (phase != kOnline) return;
    for (auto it = iqs.begin(); it != iqs.end();) {
      if (now < it->second.deadline) {
        ++it;
        continue;
      }
      const PendingIq iq = it->second;
      it = iqs.erase(it);
      if (iq.kind == PendingIq::kRoster) roster_loaded = true;
      if (iq.kind == PendingIq::kLoginBarrier) {
        Log("login timed out waiting for the server");
        DropConnection();
        return;
      }
      if (iq.kind == PendingIq::kUserInfo) {
        const std::string record = stand_in::UserInfoRecord(iq.user, ValueOf(iq.jid));
        Emit([record](IMsgLogicSink* sink) { sink->OnUserInfo(record.data()); });
      }
    }
    if (friend_lists_wanted > 0 && (FriendListReady() || now >= friend_list_deadline)) {
      AnswerFriendLists();
    }
    if (now - last_received >= kQuietPing && now - last_ping >= kQuietPing) {
      SendPing(PendingIq::kPing, 0);
    }
  }

  // Milliseconds until the next timer, at most kIdleWake.
  int WaitMs() const {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = now + kIdleWake;
    if (phase == kLoggingIn || awaiting_presence) next = std::min(next, login_deadline);
    if (phase == kOnline) {
      for (const auto& entry : iqs) next = std::min(next, entry.second.deadline);
      if (friend_lists_wanted > 0) next = std::min(next, friend_list_deadline);
      next = std::min(next, std::max(last_received, last_ping) + kQuietPing);
    }
    if (next <= now) return 0;
    return static_cast<int>(std::chrono::ceil<milliseconds>(next - now).count());
  }

  // Lets libstrophe read what has arrived and write what is queued.
  // libstrophe writes at the start of xmpp_run_once and reads after, so a
  // call that read something may have queued an answer: call again until a
  // call finds nothing to read.
  void Pump() {
    for (int i = 0; i < 64 && conn != nullptr; ++i) {
      pollfd fd = {sock, POLLIN, 0};
      const bool readable = sock < 0 || poll(&fd, 1, 0) > 0;
      xmpp_run_once(ctx, 0);
      CheckLogin();
      if (!readable) break;
    }
  }

  // Whether libstrophe, given this offer of SASL mechanisms, would pick one
  // that does not send the password itself (it prefers SCRAM, then
  // DIGEST-MD5, then PLAIN).
  static bool OfferAvoidsPlain(const char* features_xml, xmpp_ctx_t* ctx) {
    xmpp_stanza_t* features = xmpp_stanza_new_from_string(ctx, features_xml);
    if (features == nullptr) return false;
    bool safe = false;
    xmpp_stanza_t* mechanisms =
        xmpp_stanza_get_child_by_name_and_ns(features, "mechanisms", "urn:ietf:params:xml:ns:xmpp-sasl");
    for (xmpp_stanza_t* m = mechanisms != nullptr ? xmpp_stanza_get_children(mechanisms) : nullptr;
         m != nullptr && !safe; m = xmpp_stanza_get_next(m)) {
      const char* name = xmpp_stanza_get_name(m);
      if (name == nullptr || std::strcmp(name, "mechanism") != 0) continue;
      char* text = xmpp_stanza_get_text(m);
      if (text == nullptr) continue;
      safe = strcasecmp(text, "SCRAM-SHA-1") == 0 || strcasecmp(text, "SCRAM-SHA-256") == 0 ||
             strcasecmp(text, "SCRAM-SHA-512") == 0 || strcasecmp(text, "DIGEST-MD5") == 0;
      xmpp_free(ctx, text);
    }
    xmpp_stanza_release(features);
    return safe;
  }

  // libstrophe reports a refused authentication only in its log, and then
  // leaves the stream open: its log lines are watched for it.
  static void OnLog(void* userdata, xmpp_log_level_t level, const char* area, const char* msg) {
    Net& net = *static_cast<Net*>(userdata);
    if (net.shared->libstrophe_log) {
      // The default logger reads its level from its own userdata.
      const xmpp_log_t* standard = xmpp_get_default_logger(XMPP_LEVEL_DEBUG);
      standard->handler(standard->userdata, level, area, msg);
    }
    if (net.phase != kLoggingIn || msg == nullptr || net.conn == nullptr) return;
    if (std::strstr(msg, "auth failed") != nullptr ||
        std::strstr(msg, "Cannot authenticate") != nullptr) {
      net.auth_failed = true;
    }
    if (level == XMPP_LEVEL_ERROR) net.last_error = msg;
    // libstrophe logs each stanza it receives before it handles it. On a
    // connection without TLS, an offer where libstrophe would pick PLAIN,
    // or a refused SASL attempt (after which it would try the next
    // mechanism, PLAIN among them), ends the login before libstrophe's
    // next write: the password never goes out in clear text.
    if (xmpp_conn_is_secured(net.conn) || std::strncmp(msg, "RECV: ", 6) != 0) return;
    const char* stanza = msg + 6;
    if (std::strncmp(stanza, "<features", 9) == 0 || std::strncmp(stanza, "<stream:features", 16) == 0) {
      if (std::strstr(stanza, "urn:ietf:params:xml:ns:xmpp-sasl") != nullptr &&
          !OfferAvoidsPlain(stanza, net.ctx) && net.refusal.empty()) {
        net.refusal = "the server offers no SASL mechanism but PLAIN on a connection without TLS";
      }
    } else if (std::strncmp(stanza, "<failure", 8) == 0 && net.refusal.empty()) {
      net.refusal = "authentication failed on a connection without TLS";
    }
  }

  // Hands the sink calls of this turn to the delivery thread, in order.
  // False once the engine is released.
  bool Deliver() {
    if (activity) {
      activity = false;
      out.insert(out.begin(), Outgoing{[](IMsgLogicSink* sink) { sink->OnActivity(); }, false});
    }
    std::lock_guard<std::mutex> hold(shared->mu);
    if (shared->stopped) return false;
    if (out.empty()) return true;
    size_t dropped = 0;
    for (Outgoing& item : out) {
      if (shared->deliveries.size() >= kMaxCalls && !item.essential) {
        ++dropped;
        continue;
      }
      shared->deliveries.push_back(Delivery{login, std::move(item.call)});
    }
    out.clear();
    if (dropped > 0 && !backlog_told) {
      backlog_told = true;
      Log("warning: " + std::to_string(kMaxCalls) + " sink calls wait for the host: " +
          std::to_string(dropped) + " dropped");
    }
    backlog_told = backlog_told && shared->deliveries.size() >= kMaxCalls / 2;
    shared->cv.notify_all();
    return true;
  }

  // One turn of the loop: the commands, the timers, the socket, the sink
  // calls. False once the engine is released.
  bool Turn(std::deque<Command>* commands) {
    for (Command& command : *commands) {
      try {
        command(*this);
      } catch (const std::exception& e) {
        Log(std::string("warning: ") + e.what());
      }
    }
    Timers();
    Pump();
    if (auth_failed) {
      Log("login failed (authentication)");
      DropConnection();
    }
    if (conn_dead) DropConnection();
    Timers();
    return Deliver();
  }

  // Waits for the wake-up descriptor, the socket or the next timer.
  void Sleep() {
    pollfd fds[2] = {{shared->wake_fd, POLLIN, 0}, {sock, POLLIN, 0}};
    nfds_t count = 1;
    if (conn != nullptr && sock >= 0) {
      if (xmpp_conn_is_connecting(conn) || xmpp_conn_send_queue_len(conn) > 0) {
        fds[1].events |= POLLOUT;
      }
      count = 2;
    }
    // While logging in, wake often: libstrophe's negotiation steps are not
    // all visible in its send queue.
    const int wait = phase == kLoggingIn ? std::min(WaitMs(), 5) : WaitMs();
    if (poll(fds, count, wait) > 0 && (fds[0].revents & POLLIN) != 0) {
      uint64_t ignored;
      if (read(shared->wake_fd, &ignored, sizeof ignored) < 0) {
        // Nothing to do: the counter is read again on the next wake-up.
      }
    }
  }

  // A write to a socket the server has closed raises SIGPIPE on the writing
  // thread, and its default action ends the whole host process. The network
  // thread keeps it blocked (the write then fails with EPIPE, which
  // libstrophe reports as the end of the connection) and discards any that
  // are pending.
  static sigset_t Sigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
  }
  static void DiscardSigpipe() {
    const sigset_t set = Sigpipe();
    const timespec zero = {0, 0};
    while (sigtimedwait(&set, nullptr, &zero) == SIGPIPE) {
    }
  }

  void Run() {
    current_ = this;
    const sigset_t sigpipe = Sigpipe();
    pthread_sigmask(SIG_BLOCK, &sigpipe, nullptr);
    std::deque<Command> commands;
    for (;;) {
      {
        std::lock_guard<std::mutex> hold(shared->mu);
        if (shared->stopped) break;
        commands.swap(shared->commands);
      }
      bool released = false;
      try {
        released = !Turn(&commands);
      } catch (const std::exception& e) {
        Log(std::string("warning: ") + e.what());
        out.clear();
      }
      commands.clear();
      DiscardSigpipe();
      if (released) break;
      Sleep();
    }
    Close();
    DiscardSigpipe();
  }

  // Ends the session on the way out: an unavailable presence and the
  // stream's end, given a moment to reach the server.
  void Close() {
    if (conn != nullptr && phase == kOnline) {
      Send("<presence type='unavailable'/>");
      xmpp_disconnect(conn);
      const Clock::time_point give_up = Clock::now() + kCloseWait;
      phase = kIdle;  // the end of the stream is nobody's news now
      while (!conn_dead && Clock::now() < give_up) xmpp_run_once(ctx, 10);
    }
    DropConnection();
    out.clear();
  }
};

thread_local Net* Net::current_ = nullptr;

// The delivery thread: makes the sink calls one at a time, in the order the
// network thread handed them over, while the engine is not released. The
// network thread itself never waits for the agent, so a login always gets
// through, even while a sink call waits for the lock the login's caller
// holds.
void RunDeliveries(std::shared_ptr<Shared> shared) {
  std::unique_lock<std::mutex> hold(shared->mu);
  for (;;) {
    shared->cv.wait(hold, [&] { return shared->stopped || !shared->deliveries.empty(); });
    if (shared->stopped) break;
    Delivery call = std::move(shared->deliveries.front());
    shared->deliveries.pop_front();
    IMsgLogicSink* sink = shared->sink;
    if (sink == nullptr) continue;
    // A call of an earlier login once a newer one has begun: its news (the
    // end of the old stream above all) is nobody's now.
    if (call.login != shared->login) continue;
    shared->in_call = true;
    hold.unlock();
    try {
      call.call(sink);
    } catch (...) {
      // The sink does not throw; nothing to undo if it did.
    }
    call.call = nullptr;
    hold.lock();
    shared->in_call = false;
    shared->cv.notify_all();  // Release may be waiting for this call to end
  }
  std::deque<Delivery> dropped;
  dropped.swap(shared->deliveries);
  hold.unlock();
}

void RunThread(std::shared_ptr<Shared> shared) {
  Net net(shared, shared->config);
  xmpp_log_t log = {&Net::OnLog, &net};
  net.ctx = xmpp_ctx_new(nullptr, &log);
  if (net.ctx == nullptr) {
    shared->Log("warning: no libstrophe context");
    std::unique_lock<std::mutex> hold(shared->mu);
    // Logins fail at once from now on; wait for Release.
    while (!shared->stopped) {
      if (shared->login != shared->done_login) {
        shared->login_result = 0;
        shared->done_login = shared->login;
        shared->cv.notify_all();
      }
      shared->commands.clear();
      shared->cv.wait_for(hold, kIdleWake);
    }
    return;
  }
  net.Run();
  xmpp_ctx_free(net.ctx);
}

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
    {
      std::unique_lock<std::mutex> hold(sh_->mu);
      sh_->Log("Release");
      // A login under way may be stuck in a TLS handshake: end it.
      if (sh_->login != sh_->done_login && sh_->login_sock >= 0) {
        shutdown(sh_->login_sock, SHUT_RDWR);
      }
      sh_->stopped = true;
      sh_->sink = nullptr;
      sh_->Wake();
      sh_->cv.notify_all();
      const std::thread::id self = std::this_thread::get_id();
      if (self != sh_->delivery_id) {
        // The sink may be gone once this returns: a call under way ends
        // first, however long it takes (the caller holds no lock it may
        // wait for). Release from inside a sink call goes on at once.
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
      const std::string text =
          ToGb("收到 " + std::to_string(rooms.size()) + " 个房间：" + names);
      Post([text](Net& net) { net.RoomInfo(text); });
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

  void Post(Command command) {
    std::lock_guard<std::mutex> hold(sh_->mu);
    if (!sh_->stopped) sh_->Post(std::move(command));
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
