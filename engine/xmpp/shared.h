// What the engine object and its two threads share (the threads are
// described in xmpp_engine.h): the command queue to the network thread, the
// sink calls on their way to the delivery thread, the login hand-over, the
// sink and the release.
//
// Threads: any. Every field is read and written under mu, except config,
// journal, libstrophe_log and wake_fd, which are set before the threads
// start and only read after.
// Rules:
//  - Commands are queued under mu, only while the engine is not stopped
//    (the engine object checks), and each one wakes the network thread
//    (through wake_fd, which may be written after mu is released).
//  - A login's caller waits on cv until done_login reaches its login, or
//    the engine stops; the network thread alone moves done_login.
//  - stopped, once set (by Release), stays set: both threads end at their
//    next look, and no sink call begins after it.
//  - in_call is true exactly while the delivery thread is inside a sink
//    call; Release waits on cv for it to clear (release_waiting tells the
//    delivery thread to notify cv when a call ends).
//  - The delivery thread sleeps on delivery_cv alone, with delivery_waiting
//    set; whoever hands it calls, or stops the engine, clears the flag and
//    notifies delivery_cv.
#ifndef MSGLOGIC_ENGINE_XMPP_SHARED_H_
#define MSGLOGIC_ENGINE_XMPP_SHARED_H_

#include <stdint.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "MsgLogic.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/xmpp_engine.h"

namespace xmpp_engine {

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
  bool release_waiting = false;  // Release waits on cv for in_call to clear
  std::condition_variable delivery_cv;
  bool delivery_waiting = false;  // the delivery thread sleeps on delivery_cv
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
  // The socket of the connection being logged in or resumed, or -1: a
  // login past its time-out, and Release, shut it down, which ends a TLS
  // handshake that libstrophe would otherwise wait on for ever (the network
  // thread is inside it).
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

// The bodies of the two threads, started by the engine object: the network
// thread (net_thread.cc) and the delivery thread (delivery.cc).
void RunThread(std::shared_ptr<Shared> shared);
void RunDeliveries(std::shared_ptr<Shared> shared);

}  // namespace xmpp_engine

#endif  // MSGLOGIC_ENGINE_XMPP_SHARED_H_
