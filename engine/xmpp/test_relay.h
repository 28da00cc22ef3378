// A TCP relay for the tests, on 127.0.0.1, between an engine and the
// server's port: it passes bytes both ways until told to drop those in one
// direction, cut every connection, or hold new connections unread (as a
// network that is down would). One thread of its own runs it; each command
// runs on that thread and is done when the call returns.
#ifndef MSGLOGIC_ENGINE_XMPP_TEST_RELAY_H_
#define MSGLOGIC_ENGINE_XMPP_TEST_RELAY_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace xmpp_test {

class Relay {
 public:
  explicit Relay(int upstream) : upstream_(upstream) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listen_, 16) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || pipe(wake_) != 0) {
      std::abort();
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Relay() {
    Do([this] { stop_ = true; });
    thread_.join();
    close(listen_);
    close(wake_[0]);
    close(wake_[1]);
  }

  int port() const { return port_; }
  // Bytes towards the server, or towards the engine, are dropped.
  void MuteToServer() { Do([this] { mute_to_server_ = true; }); }
  void MuteToEngine() { Do([this] { mute_to_engine_ = true; }); }
  // New connections are accepted and left waiting, unread, until Release.
  void HoldNew() { Do([this] { hold_ = true; }); }
  // Ends every connection now.
  void Cut() {
    Do([this] {
      for (Pair& pair : pairs_) Close(&pair);
      pairs_.clear();
    });
  }
  // Passes everything again, held connections included.
  void Release() {
    Do([this] {
      hold_ = mute_to_server_ = mute_to_engine_ = false;
      for (Pair& pair : pairs_) {
        if (pair.server < 0) pair.server = Connect();
      }
    });
  }
  // Waits until `bytes` bytes towards the server have been dropped.
  bool WaitDropped(size_t bytes) {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, std::chrono::seconds(10), [&] { return dropped_ >= bytes; });
  }
  size_t dropped() {
    std::lock_guard<std::mutex> hold(mu_);
    return dropped_;
  }

 private:
  struct Pair {
    int engine = -1;
    int server = -1;  // -1 while held
  };

  void Do(std::function<void()> command) {
    std::unique_lock<std::mutex> hold(mu_);
    const uint64_t ticket = ++posted_;
    commands_.push_back(std::move(command));
    const char byte = 1;
    if (write(wake_[1], &byte, 1) != 1) std::abort();
    cv_.wait(hold, [&] { return done_ >= ticket; });
  }

  int Connect() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(upstream_));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return -1;  // the pair ends at the next turn
    }
    return fd;
  }

  static void Close(Pair* pair) {
    if (pair->engine >= 0) close(pair->engine);
    if (pair->server >= 0) close(pair->server);
    pair->engine = pair->server = -2;
  }

  // Moves what `from` has to `to` (or drops it, counted towards the
  // server); false at the end.
  bool Move(int from, int to, bool mute, bool towards_server) {
    char buffer[16384];
    const ssize_t got = read(from, buffer, sizeof buffer);
    if (got <= 0) return false;
    if (mute) {
      if (towards_server) {
        std::lock_guard<std::mutex> hold(mu_);
        dropped_ += static_cast<size_t>(got);
        cv_.notify_all();
      }
      return true;
    }
    for (ssize_t put = 0; put < got;) {
      const ssize_t n = send(to, buffer + put, static_cast<size_t>(got - put), MSG_NOSIGNAL);
      if (n <= 0) return false;
      put += n;
    }
    return true;
  }

  void Run() {
    for (;;) {
      std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
      for (const Pair& pair : pairs_) {
        if (pair.server == -1) continue;  // held: unread
        fds.push_back({pair.engine, POLLIN, 0});
        fds.push_back({pair.server, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      size_t next = 2;
      for (Pair& pair : pairs_) {
        if (pair.server == -1) continue;
        const bool to_server = (fds[next].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        const bool to_engine = (fds[next + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        next += 2;
        if ((to_server && !Move(pair.engine, pair.server, mute_to_server_, true)) ||
            (to_engine && !Move(pair.server, pair.engine, mute_to_engine_, false))) {
          Close(&pair);
        }
      }
      for (auto it = pairs_.begin(); it != pairs_.end();) {
        it = it->engine == -2 ? pairs_.erase(it) : it + 1;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          Pair pair;
          pair.engine = fd;
          if (!hold_) pair.server = Connect();
          if (pair.server == -1 && !hold_) {
            close(fd);
          } else {
            pairs_.push_back(pair);
          }
        }
      }
      if ((fds[0].revents & POLLIN) != 0) {
        char byte;
        if (read(wake_[0], &byte, 1) != 1) continue;
        std::unique_lock<std::mutex> hold(mu_);
        while (!commands_.empty()) {
          std::function<void()> command = std::move(commands_.front());
          commands_.pop_front();
          hold.unlock();
          command();
          hold.lock();
          ++done_;
        }
        cv_.notify_all();
        if (stop_) break;
      }
    }
    for (Pair& pair : pairs_) Close(&pair);
  }

  const int upstream_;
  int listen_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  // The relay thread's alone.
  std::vector<Pair> pairs_;
  bool hold_ = false;
  bool mute_to_server_ = false;
  bool mute_to_engine_ = false;
  bool stop_ = false;
  // Shared, under mu_.
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> commands_;
  uint64_t posted_ = 0;
  uint64_t done_ = 0;
  size_t dropped_ = 0;
};

}  // namespace xmpp_test

#endif  // MSGLOGIC_ENGINE_XMPP_TEST_RELAY_H_
