// The connection of the network thread: a login (a new libstrophe
// connection with its TLS settings), the checks that end it before
// libstrophe writes again (an untrusted certificate, a pin that does not
// match, a clear-text offer that would reveal the password), the socket,
// the connection's events, the end of a connection, and the wire.
//
// Thread: the network thread (libstrophe's callbacks run inside its turns),
// or InboundSession's caller. State: conn, sock, phase and the login's
// fields of Net.
// Rules:
//  - A login's caller is answered through FinishLogin: 2 once the server
//    has answered the ping sent after our first presence (by then it routes
//    messages to us), 0 on any failure or time-out.
//  - The password goes out only over TLS or to a SASL mechanism that does
//    not send it: OnLog and CheckLogin end the login first.
//  - shared->login_sock is cleared before the socket is closed.
//  - Dropping a connection forgets its session (roster, IQs, friend lists
//    asked for, the stream to resume) without telling the agent.
//  - A connection that drops while online is resumed (stream_mgmt.cc) when
//    the server allows it: each attempt passes the same TLS, certificate,
//    pin and password checks as a login.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <strings.h>
#include <sys/socket.h>
#include <strophe.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "engine/xmpp/config.h"
#include "engine/xmpp/net.h"

namespace xmpp_engine {
namespace {

// The SHA-256 fingerprint as libstrophe writes it ("AB:CD:...") -> 64
// lower-case hex digits, or empty.
std::string NormalizeFingerprint(const char* text) {
  if (text == nullptr) return std::string();
  std::string pin;
  return ParsePin(std::string("sha256:") + text, &pin) ? pin : std::string();
}

// Whether libstrophe, given this offer of SASL mechanisms, would pick one
// that does not send the password itself (it prefers SCRAM, then
// DIGEST-MD5, then PLAIN).
bool OfferAvoidsPlain(const char* features_xml, xmpp_ctx_t* ctx) {
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

}  // namespace

thread_local Net* Net::current_ = nullptr;

bool Net::Online(const char* what) const {
  if (phase == kOnline || phase == kResuming) return true;
  Log(std::string("  not logged in: ") + what + " ignored");
  return false;
}

// One stanza for the wire (numbered for stream management, held while the
// stream is being resumed: stream_mgmt.cc).
void Net::Send(const std::string& xml) {
  Stanza stanza;
  stanza.xml = xml;
  Transmit(std::move(stanza));
}

void Net::Login(uint64_t id, const std::string& jid, const std::string& password) {
  EndStream();  // an earlier login's stream ends as at Release
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
  // Stream management on (libstrophe enables it after binding when the
  // server offers it). Each login has a new connection and so a new
  // stream: nothing of an earlier login's stream comes back.
  long flags = 0;
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

void Net::FinishLogin(int32_t result) {
  std::lock_guard<std::mutex> hold(shared->mu);
  shared->login_sock = -1;
  if (shared->login != login) return;
  shared->login_result = result;
  shared->done_login = login;
  shared->cv.notify_all();
}

// Ends the connection without telling the agent: a new login replaces it,
// or the engine is going away.
void Net::DropConnection() {
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
  CloseProbe();
  SmStarted();
  sm_tracking = false;
  attempt_live = false;
  resumed_seen = false;
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

void Net::Start() {
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

void Net::SetUserId(int32_t id) {
  self_id = id;
  self_id_set = true;
}

// libstrophe's verdict on the server's certificate failed (unknown
// issuer, wrong name, expired...). With a pin the pin decides, after the
// handshake; without one the login ends here.
int Net::OnCertFail(const xmpp_tlscert_t* cert, const char* const error) {
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
void Net::CheckLogin() {
  if (conn == nullptr || !Negotiating()) return;
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
    if (phase == kResuming) {
      Log("warning: resumption refused (" + refusal + ")");
      GiveUp(refusal);  // the connection is released by the turn
    } else {
      Log("warning: login failed (" + refusal + ")");
      DropConnection();
    }
  }
}

// Each new socket: Nagle's algorithm off (a stanza and libstrophe's
// acknowledgement request go out as two writes, and the second would wait
// for the server's delayed ACK, some 40 ms), and its descriptor noted.
int Net::OnSocket(xmpp_conn_t* conn, void* socket) {
  const int one = 1;
  setsockopt(*static_cast<int*>(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (current_ != nullptr && current_->conn == conn) {
    current_->sock = *static_cast<int*>(socket);
    std::lock_guard<std::mutex> hold(current_->shared->mu);
    current_->shared->login_sock = current_->sock;
  }
  return 0;
}

void Net::OnConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                       xmpp_stream_error_t* stream_error, void* userdata) {
  Net& net = *static_cast<Net*>(userdata);
  if (conn != net.conn) return;
  try {
    net.HandleConnection(event, error, stream_error);
  } catch (const std::exception& e) {
    net.Log(std::string("warning: ") + e.what());
  }
}

void Net::HandleConnection(xmpp_conn_event_t event, int error, xmpp_stream_error_t* stream_error) {
  Net& net = *this;
  if (event == XMPP_CONN_CONNECT) {
    if (net.phase == kResuming) {
      if (net.resumed_seen) {
        net.Resumed();
      } else {
        net.GiveUp("the server no longer holds the stream");
      }
      return;
    }
    if (net.phase != kLoggingIn) return;
    net.phase = kOnline;
    net.SmStarted();
    net.last_received = net.last_ping = Clock::now();
    PendingIq iq;
    iq.kind = PendingIq::kRoster;
    const std::string id = net.NewIqId(iq);
    net.Send("<iq type='get' id='" + id + "'><query xmlns='jabber:iq:roster'/></iq>");
    net.Send("<presence>" + CapsElement() + "</presence>");
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
  if (net.phase == kResuming) {
    net.Log("resumption attempt failed (" + why + ")");
    if (!net.tls_failure.empty()) {
      net.Log("warning: resumption refused (" + net.tls_failure + ")");
      net.GiveUp(net.tls_failure);
    } else if (error == ECONNREFUSED) {
      net.GiveUp("the server refuses connections: it holds no stream any more");
    } else {
      net.conn_dead = true;  // the turn schedules the next attempt
    }
    return;
  }
  if (net.phase == kLoggingIn || net.awaiting_presence) {
    net.Log((net.tls_failure.empty() ? "login failed (" : "warning: login failed (") + why + ")");
    net.awaiting_presence = false;
    net.FinishLogin(0);
  } else if (net.phase == kOnline) {
    if (net.BeginResume()) {
      net.conn_dead = true;  // the turn takes back what was unsent
      return;
    }
    net.Log("connection lost (" + why + ")");
    net.ReportUnacked();
    net.Emit([](IMsgLogicSink* sink) { sink->OnDisconnect(); }, /*essential=*/true);
  }
  net.phase = kIdle;
  net.conn_dead = true;
}

// libstrophe reports a refused authentication only in its log, and then
// leaves the stream open: its log lines are watched for it.
void Net::OnLog(void* userdata, xmpp_log_level_t level, const char* area, const char* msg) {
  Net& net = *static_cast<Net*>(userdata);
  if (net.shared->libstrophe_log) {
    // The default logger reads its level from its own userdata.
    const xmpp_log_t* standard = xmpp_get_default_logger(XMPP_LEVEL_DEBUG);
    standard->handler(standard->userdata, level, area, msg);
  }
  if (msg != nullptr && std::strncmp(msg, "RECV: <", 7) == 0) net.WatchSm(msg + 6);
  if (!net.Negotiating() || msg == nullptr || net.conn == nullptr) return;
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

}  // namespace xmpp_engine
