// The network thread's loop. Each turn runs the commands queued by the
// engine object, keeps the timers (the login's and the IQs' time-outs, the
// friend list's wait, the ping after a quiet spell, the resumption's
// attempts and deadline), lets libstrophe read and write, and hands the
// turn's sink calls to the delivery thread; then the thread sleeps in one
// poll() over the wake-up eventfd and the socket, until the next timer and
// no longer: an idle engine has no other wake-up (while a login or a
// resumption negotiates, it looks every kNegotiationPoll). Once the engine
// is released it closes the stream (kCloseWait at most) and ends.
//
// Thread: the network thread only; RunThread is its body and owns the
// libstrophe context for the thread's life.
// Rules:
//  - SIGPIPE stays blocked on this thread and pending ones are discarded:
//    a write to a closed socket fails instead of ending the host process.
//  - An exception from a turn is logged and the turn's sink calls dropped.
//  - Without a libstrophe context, every login fails at once until Release.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strophe.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "engine/xmpp/net.h"
#include "engine/xmpp/shared.h"

namespace xmpp_engine {
namespace {

// A write to a socket the server has closed raises SIGPIPE on the writing
// thread, and its default action ends the whole host process. The network
// thread keeps it blocked (the write then fails with EPIPE, which
// libstrophe reports as the end of the connection) and discards any that
// are pending.
sigset_t Sigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

void DiscardSigpipe() {
  const sigset_t set = Sigpipe();
  const timespec zero = {0, 0};
  while (sigtimedwait(&set, nullptr, &zero) == SIGPIPE) {
  }
}

}  // namespace

void Net::Timers() {
  const Clock::time_point now = Clock::now();
  ResumeTimers(now);
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
    if (iq.kind == PendingIq::kRooms) RoomsAnswered(iq, "no answer");
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

// Milliseconds until the next timer; -1 when there is none.
int Net::WaitMs() const {
  const Clock::time_point now = Clock::now();
  Clock::time_point next = Clock::time_point::max();
  if (phase == kLoggingIn || awaiting_presence) next = std::min(next, login_deadline);
  if (phase == kResuming) {
    next = std::min(next, resume_deadline);
    if (!attempt_live && probe_fd < 0) next = std::min(next, next_attempt);
  }
  if (phase == kOnline) {
    for (const auto& entry : iqs) next = std::min(next, entry.second.deadline);
    if (friend_lists_wanted > 0) next = std::min(next, friend_list_deadline);
    next = std::min(next, std::max(last_received, last_ping) + kQuietPing);
  }
  if (next == Clock::time_point::max()) return -1;
  if (next <= now) return 0;
  const auto ms = std::chrono::ceil<milliseconds>(next - now).count();
  return ms > 24 * 3600 * 1000 ? 24 * 3600 * 1000 : static_cast<int>(ms);
}

// Lets libstrophe read what has arrived and write what is queued.
// libstrophe writes at the start of xmpp_run_once and reads after, so a
// call that read something may have queued an answer: call again until a
// call finds nothing to read.
//
// What libstrophe reads is acknowledged at once (TCP_QUICKACK, which the
// kernel clears now and then, so set before each read): the server's small
// <a/> answers to our acknowledgement requests would otherwise hold its
// next stanza to us behind Nagle's algorithm until our delayed ACK, some
// 40 ms later.
void Net::Pump() {
  for (int i = 0; i < 64 && conn != nullptr; ++i) {
    pollfd fd = {sock, POLLIN, 0};
    const bool readable = sock < 0 || poll(&fd, 1, 0) > 0;
    if (readable && sock >= 0) {
      const int one = 1;
      setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
    xmpp_run_once(ctx, 0);
    CheckLogin();
    if (!readable) break;
  }
}

// One turn of the loop: the commands, the timers, the socket, the sink
// calls. False once the engine is released.
bool Net::Turn(std::deque<Command>* commands) {
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
    if (phase == kResuming) {
      GiveUp("authentication failed while resuming");
    } else {
      Log("login failed (authentication)");
      DropConnection();
    }
  }
  if (conn_dead) {
    if (phase == kResuming) {
      conn_dead = false;
      AttemptOver();
    } else {
      DropConnection();
    }
  }
  Timers();
  if (conn_dead && phase != kResuming) DropConnection();  // given up by the timers
  return Deliver();
}

// Waits for the wake-up descriptor, the socket or the next timer.
void Net::Sleep() {
  pollfd fds[2] = {{shared->wake_fd, POLLIN, 0}, {sock, POLLIN, 0}};
  nfds_t count = 1;
  if (conn != nullptr && sock >= 0) {
    if (xmpp_conn_is_connecting(conn) || xmpp_conn_send_queue_len(conn) > 0) {
      fds[1].events |= POLLOUT;
    }
    count = 2;
  } else if (probe_fd >= 0) {
    fds[1] = {probe_fd, POLLOUT, 0};
    count = 2;
  }
  int wait = WaitMs();
  const int poll_ms = static_cast<int>(kNegotiationPoll.count());
  if (Negotiating() && (wait < 0 || wait > poll_ms)) wait = poll_ms;
  if (poll(fds, count, wait) > 0 && (fds[0].revents & POLLIN) != 0) {
    uint64_t ignored;
    if (read(shared->wake_fd, &ignored, sizeof ignored) < 0) {
      // Nothing to do: the counter is read again on the next wake-up.
    }
  }
}

void Net::Run() {
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

// Ends an online stream as a client should: an unavailable presence, the
// acknowledgement of what we received, and the stream's end, given a
// moment to reach the server. A stream that is only dropped would be held
// by the server for resumption, the user shown online for minutes.
void Net::EndStream() {
  if (conn == nullptr || phase != kOnline) return;
  Send("<presence type='unavailable'/>");
  SendFinalAck();
  xmpp_disconnect(conn);
  const Clock::time_point give_up = Clock::now() + kCloseWait;
  phase = kIdle;  // the end of the stream is nobody's news now
  while (!conn_dead && Clock::now() < give_up) xmpp_run_once(ctx, 10);
}

// The server re-routes what we have not acknowledged when the stream ends
// (a text to offline storage, so it would reach the next login a second
// time): everything received is acknowledged before we end a stream.
void Net::SendFinalAck() {
  if (conn == nullptr || !sm_enabled) return;
  const std::string ack = "<a xmlns='urn:xmpp:sm:3' h='" + std::to_string(sm_in) + "'/>";
  xmpp_send_raw(conn, ack.data(), ack.size());
}

// Ends the session on the way out.
void Net::Close() {
  EndStream();
  DropConnection();
  out.clear();
}

// The network thread's body.
void RunThread(std::shared_ptr<Shared> shared) {
  Net net(shared, shared->config);
  xmpp_log_t log = {&Net::OnLog, &net};
  net.ctx = xmpp_ctx_new(nullptr, &log);
  if (net.ctx == nullptr) {
    shared->Log("warning: no libstrophe context");
    // Logins fail at once from now on; wait for Release. Each command (a
    // login's among them) and Release write the wake-up descriptor.
    for (;;) {
      {
        std::lock_guard<std::mutex> hold(shared->mu);
        if (shared->stopped) return;
        if (shared->login != shared->done_login) {
          shared->login_result = 0;
          shared->done_login = shared->login;
          shared->cv.notify_all();
        }
        shared->commands.clear();
      }
      pollfd fd = {shared->wake_fd, POLLIN, 0};
      if (poll(&fd, 1, -1) > 0) {
        uint64_t ignored;
        if (read(shared->wake_fd, &ignored, sizeof ignored) < 0) {
          // Read again on the next wake-up.
        }
      }
    }
  }
  net.Run();
  xmpp_ctx_free(net.ctx);
}

}  // namespace xmpp_engine
