// An XMPP server for the tests: tools/xmpp-server/run-prosody.sh (or
// run-ejabberd.sh, which takes the same options) run as a child process in
// a folder of the test's own, on loopback.
#ifndef MSGLOGIC_ENGINE_XMPP_TEST_SERVER_H_
#define MSGLOGIC_ENGINE_XMPP_TEST_SERVER_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace xmpp_test {

class TestServer {
 public:
  // dir: the server's folder (kept between starts, removed by the caller);
  // users: the users file, or empty for the script's own.
  explicit TestServer(std::string dir, std::string users = std::string())
      : dir_(std::move(dir)), users_(std::move(users)) {}
  ~TestServer() { Stop(); }

  // Starts the script and waits (15 s at most, or as SetOptions says) for
  // its READY line. Port 0 lets the script pick a free one; a restart
  // passes the old port. `cert`
  // picks the server's certificate (the script's --cert: "good",
  // "other-ca", "wrong-name"). False, with *error, when the server did not
  // come up.
  bool Start(int port, std::string* error, const std::string& cert = "good");
  // Further options for the script (a cluster node's --address, say), and
  // how long Start waits for the READY line, 15 s unless set.
  void SetOptions(std::vector<std::string> options, int ready_seconds) {
    options_ = std::move(options);
    ready_seconds_ = ready_seconds;
  }
  // Ends the script, which stops the server.
  void Stop();
  // Signals the server process itself (SIGKILL, SIGSTOP, SIGCONT).
  void Signal(int signal) const;
  // Waits until the server process has gone (after a SIGKILL).
  void WaitGone() const;

  int port() const { return port_; }
  int direct_port() const { return direct_port_; }  // TLS from the first byte
  // The test CA's certificate (PEM), made by the script.
  std::string ca_file() const { return dir_ + "/certs/ca.pem"; }
  // A server certificate the script made ("server-good", ...).
  std::string cert_file(const std::string& name) const { return dir_ + "/certs/" + name + ".pem"; }
  int server_pid() const { return server_; }
  const std::string& dir() const { return dir_; }
  std::string accounts() const { return dir_ + "/accounts.ini"; }

 private:
  std::string dir_;
  std::string users_;
  pid_t script_ = -1;
  pid_t server_ = -1;
  int port_ = 0;
  int direct_port_ = 0;
  std::vector<std::string> options_;
  int ready_seconds_ = 15;
};

// The server script: MSGLOGIC_XMPP_SERVER_SCRIPT when set (ejabberd's,
// say), else the Prosody script.
const char* Script();

// True when `program` is found on PATH.
bool OnPath(const char* program);

}  // namespace xmpp_test

#endif  // MSGLOGIC_ENGINE_XMPP_TEST_SERVER_H_
