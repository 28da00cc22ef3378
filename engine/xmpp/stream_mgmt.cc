// Stream management (XEP-0198), on top of libstrophe's: libstrophe enables
// it after the resource is bound, asks the server to acknowledge what we
// send, answers the server's requests and sends <resume/>. It does not
// reliably send again what the server missed (0.12.2 resends nothing when
// the stream resumes), so this file keeps the engine's side:
//  - the numbering of our stanzas and those the server has not
//    acknowledged yet (from the <a h='...'/> libstrophe logs), sent again
//    on the resumed stream unless libstrophe has queued them itself;
//  - the resumption of a dropped stream, within Config::resume_ms of the
//    drop: attempts on the same libstrophe connection, each after a plain
//    TCP connect has shown the server reachable (a failed libstrophe attempt
//    forgets the stream it would resume), with the full TLS and login
//    checks of connection.cc; the agent sees nothing of it. A refused
//    connection ends it at once: nothing listens there, so no server holds
//    the stream;
//  - the loss when resumption is impossible: every text the server has not
//    acknowledged is reported to the agent as an undelivered-text notice for
//    its addressee, then the loss of the connection.
//
// Thread: the network thread (libstrophe's callbacks run inside its turns),
// or InboundSession's caller (Transmit only). State: the stream management
// fields of Net, conn while resuming.
// Rules:
//  - Stanzas are numbered in the order they reach libstrophe, as the server
//    counts them; a stanza taken back from libstrophe's unsent queue keeps
//    its number.
//  - While resuming, stanzas wait in `held` and go out, in order, after
//    those libstrophe resends; a text is on the wire at most once per
//    stream and reaches the server exactly once when the stream resumes.
//  - The notices come before the loss of the connection, so that they
//    belong to the login that sent the texts.
//  - libstrophe's connection is never released here: GiveUp marks it dead
//    and the turn releases it, outside libstrophe's callbacks.
//  - The bound is checked between libstrophe's turns: a server that stalls
//    inside an attempt's TLS handshake holds the thread until it answers or
//    Release shuts the socket (shared->login_sock).
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdint.h>
#include <strophe.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "engine/records.h"
#include "engine/xmpp/net.h"
#include "textcodec.h"

namespace xmpp_engine {
namespace {

const char kSmNs[] = "urn:xmpp:sm:3";

// The longest text quoted in an undelivered-text notice, in bytes of UTF-8.
constexpr size_t kQuoted = 200;

std::string Quote(const std::string& text) {
  if (text.size() <= kQuoted) return text;
  size_t end = kQuoted;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return text.substr(0, end) + "…";
}

// The h attribute of a stream management element, or false.
bool ReadH(xmpp_stanza_t* element, uint32_t* h) {
  const char* text = xmpp_stanza_get_attribute(element, "h");
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || value > 0xffffffffULL) return false;
  *h = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

void Net::Transmit(Stanza stanza) {
  if (phase == kResuming) {
    held.push_back(std::move(stanza));
    return;
  }
  if (capture != nullptr) capture->push_back(stanza.xml);
  if (conn != nullptr) xmpp_send_raw(conn, stanza.xml.data(), stanza.xml.size());
  if (stanza.counted) return;
  const uint32_t seq = sm_out++;
  if (!sm_tracking) return;
  if (unacked.size() >= kMaxUnacked) {
    unacked.pop_front();
    if (!unacked_full_told) {
      unacked_full_told = true;
      Log("warning: " + std::to_string(kMaxUnacked) +
          " stanzas wait for the server's acknowledgement: the oldest would be lost with the connection");
    }
  }
  stanza.counted = true;
  unacked.push_back(Numbered{seq, std::move(stanza)});
}

// A stanza libstrophe received, as it logs it, before it handles it: the
// stream management elements are read here.
void Net::WatchSm(const char* text) {
  // A stream the server ends, or ends with an error, cannot be resumed.
  // (libstrophe logs a stream error without its prefix.)
  if (std::strncmp(text, "</stream:stream", 15) == 0 ||
      (std::strncmp(text, "<error", 6) == 0 && std::strstr(text, "http://etherx.jabber.org/streams") != nullptr)) {
    sm_resumable = false;
    return;
  }
  // The server's stanzas, counted as it counts what it sent us, for the
  // acknowledgement sent before the stream is closed (Close).
  if (sm_enabled && (std::strncmp(text, "<message", 8) == 0 || std::strncmp(text, "<presence", 9) == 0 ||
                     std::strncmp(text, "<iq", 3) == 0)) {
    ++sm_in;
    return;
  }
  const bool enabled = std::strncmp(text, "<enabled", 8) == 0;
  const bool ack = std::strncmp(text, "<a ", 3) == 0;
  const bool resumed = std::strncmp(text, "<resumed", 8) == 0;
  const bool failed = std::strncmp(text, "<failed", 7) == 0;
  if (!enabled && !ack && !resumed && !failed) return;
  xmpp_stanza_t* element = xmpp_stanza_new_from_string(ctx, text);
  if (element == nullptr) return;
  const char* ns = xmpp_stanza_get_ns(element);
  uint32_t h = 0;
  if (ns != nullptr && std::strcmp(ns, kSmNs) == 0) {
    if (enabled) {
      const char* resume = xmpp_stanza_get_attribute(element, "resume");
      sm_enabled = true;
      sm_in = 0;
      sm_resumable = resume != nullptr && (std::strcmp(resume, "true") == 0 || std::strcmp(resume, "1") == 0) &&
                     xmpp_stanza_get_attribute(element, "id") != nullptr;
    } else if (ack && ReadH(element, &h)) {
      Acked(h);
    } else if (resumed) {
      resumed_seen = phase == kResuming;
      if (ReadH(element, &h)) Acked(h);
    } else if (failed && phase == kResuming) {
      // The server no longer holds the stream; libstrophe binds a new
      // session, which HandleConnection turns into the loss.
      if (ReadH(element, &h)) Acked(h);
    }
  }
  xmpp_stanza_release(element);
}

// The server has handled our first h stanzas.
void Net::Acked(uint32_t h) {
  while (!unacked.empty() && static_cast<int32_t>(unacked.front().seq - h) < 0) {
    unacked.pop_front();
  }
  unacked_full_told = unacked_full_told && unacked.size() >= kMaxUnacked / 2;
}

// A new session is bound: our stanzas are numbered from 0, and texts are
// remembered until the login shows whether the server counts them.
void Net::SmStarted() {
  sm_enabled = sm_resumable = false;
  sm_tracking = true;
  sm_out = 0;
  unacked.clear();
  held.clear();
  unacked_full_told = false;
}

// The connection dropped while online (inside libstrophe's callback).
// True when the stream will be resumed; false when the loss is the agent's
// news now.
bool Net::BeginResume() {
  if (!sm_enabled || !sm_resumable || config.resume_ms <= 0 || awaiting_presence) return false;
  phase = kResuming;
  const Clock::time_point now = Clock::now();
  resume_deadline = now + milliseconds(config.resume_ms);
  next_attempt = now;
  attempts = 0;
  attempt_live = false;
  Log("connection dropped: resuming the stream (" + std::to_string(config.resume_ms) + " ms at most)");
  return true;
}

// After a turn in which libstrophe ended the connection while resuming: the
// stanzas it had not written yet are taken back, in order, ahead of those
// held since; the next attempt is due after the back-off.
void Net::AttemptOver() {
  attempt_live = false;
  std::deque<Stanza> unsent;
  for (;;) {
    char* data = xmpp_conn_send_queue_drop_element(conn, XMPP_QUEUE_OLDEST);
    if (data == nullptr) break;
    Stanza stanza;
    stanza.xml = data;
    stanza.counted = true;
    xmpp_free(ctx, data);
    unsent.push_back(std::move(stanza));
  }
  held.insert(held.begin(), std::make_move_iterator(unsent.begin()), std::make_move_iterator(unsent.end()));
  const milliseconds wait = attempts == 0 ? milliseconds(0)
                                          : std::min(kResumeBackoffMax, kResumeBackoff * (1 << std::min(attempts - 1, 4)));
  next_attempt = Clock::now() + wait;
  {
    std::lock_guard<std::mutex> hold(shared->mu);
    shared->login_sock = -1;
  }
  sock = -1;
}

// The resumption's timers, from the loop's: the deadline, the probe, the
// next attempt.
void Net::ResumeTimers(Clock::time_point now) {
  if (phase != kResuming) return;
  if (now >= resume_deadline) {
    GiveUp("not resumed within " + std::to_string(config.resume_ms) + " ms");
    return;
  }
  if (attempt_live) return;
  if (probe_fd >= 0) {
    pollfd fd = {probe_fd, POLLOUT, 0};
    if (poll(&fd, 1, 0) <= 0) return;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(probe_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    CloseProbe();
    if (error == 0) {
      StartAttempt();
    } else if (error == ECONNREFUSED) {
      GiveUp("the server refuses connections: it holds no stream any more");
    } else {
      ++attempts;
      next_attempt = now + std::min(kResumeBackoffMax, kResumeBackoff * (1 << std::min(attempts - 1, 4)));
    }
    return;
  }
  if (now < next_attempt) return;
  // A plain connect first: only a reachable server gets an attempt.
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(config.port);
  if (getaddrinfo(config.host.c_str(), port.c_str(), &hints, &found) == 0 && found != nullptr) {
    probe_fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe_fd >= 0 && connect(probe_fd, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
      const bool refused = errno == ECONNREFUSED;
      CloseProbe();
      if (refused) {
        freeaddrinfo(found);
        GiveUp("the server refuses connections: it holds no stream any more");
        return;
      }
    }
    freeaddrinfo(found);
  }
  if (probe_fd < 0) {
    ++attempts;
    next_attempt = now + std::min(kResumeBackoffMax, kResumeBackoff * (1 << std::min(attempts - 1, 4)));
  }
}

// A libstrophe attempt on the stream's connection: the same TLS settings,
// certificate checks and password rules as a login (connection.cc), then
// <resume/> instead of a new session.
void Net::StartAttempt() {
  ++attempts;
  refusal.clear();
  tls_failure.clear();
  last_error.clear();
  peer_checked = false;
  auth_failed = false;
  resumed_seen = false;
  attempt_live = true;
  if (xmpp_connect_client(conn, config.host.c_str(), config.port, &Net::OnConnection, this) != XMPP_EOK) {
    attempt_live = false;
    next_attempt = Clock::now() + kResumeBackoffMax;
  }
}

// libstrophe has resumed the stream (and acknowledged, in WatchSm, what
// the server handled). What the server missed goes out again, in order:
// libstrophe's own resends when it has queued any (then the stanzas taken
// back from its unsent queue follow them), else ours; then what was held.
void Net::Resumed() {
  const bool libstrophe_resent = conn != nullptr && xmpp_conn_send_queue_len(conn) > 0;
  phase = kOnline;
  attempt_live = false;
  last_received = last_ping = Clock::now();
  {
    std::lock_guard<std::mutex> hold(shared->mu);
    shared->login_sock = -1;
  }
  Log("stream resumed after " + std::to_string(attempts) + " attempt(s); " + std::to_string(held.size()) +
      " stanza(s) waited");
  std::deque<Stanza> waiting;
  waiting.swap(held);
  if (!libstrophe_resent) {
    for (const Numbered& sent : unacked) {
      if (conn != nullptr) xmpp_send_raw(conn, sent.stanza.xml.data(), sent.stanza.xml.size());
    }
  }
  for (Stanza& stanza : waiting) {
    // A stanza taken back from libstrophe is among those just sent again
    // unless libstrophe resent the rest itself.
    if (libstrophe_resent || !stanza.counted) Transmit(std::move(stanza));
  }
}

// Every text the server has not acknowledged, as a notice for its addressee
// (GB2312, like the other undelivered-text notices).
void Net::ReportUnacked() {
  std::deque<Stanza> lost;
  if (sm_enabled) {
    for (Numbered& sent : unacked) {
      if (sent.stanza.is_text) lost.push_back(std::move(sent.stanza));
    }
  }
  for (Stanza& stanza : held) {
    if (stanza.is_text && !stanza.counted) lost.push_back(std::move(stanza));
  }
  held.clear();
  unacked.clear();
  if (!lost.empty()) {
    Log("connection lost: " + std::to_string(lost.size()) + " text(s) not acknowledged by the server");
  }
  for (const Stanza& text : lost) {
    const std::string record =
        stand_in::EventARecord(text.user, stand_in::ToGb("消息未送达（连接中断）：" + Quote(text.text)));
    Emit([record](IMsgLogicSink* sink) { sink->OnEventA(record.data()); });
  }
}

// The stream cannot be resumed: the agent gets the unacknowledged texts
// and the loss. The connection is released by the turn.
void Net::GiveUp(const std::string& why) {
  Log("connection lost (" + why + ")");
  CloseProbe();
  ReportUnacked();
  Emit([](IMsgLogicSink* sink) { sink->OnDisconnect(); }, /*essential=*/true);
  phase = kIdle;
  attempt_live = false;
  if (conn != nullptr) conn_dead = true;
}

void Net::CloseProbe() {
  if (probe_fd >= 0) close(probe_fd);
  probe_fd = -1;
}

}  // namespace xmpp_engine
