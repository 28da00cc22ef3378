#include "engine/xmpp/test_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace xmpp_test {

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string file = (dir.empty() ? "." : dir) + "/" + program;
    if (access(file.c_str(), X_OK) == 0) return true;
  }
  return false;
}

const char* Script() {
  const char* script = std::getenv("MSGLOGIC_XMPP_SERVER_SCRIPT");
  return script != nullptr && *script != '\0' ? script : MSGLOGIC_XMPP_SERVER_SCRIPT;
}

bool TestServer::Start(int port, std::string* error, const std::string& cert) {
  Stop();
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = "pipe failed";
    return false;
  }
  const std::string port_text = std::to_string(port);
  script_ = fork();
  if (script_ == 0) {
    dup2(out[1], 1);
    // The script (which stops the server on its way out) ends with us,
    // however we end.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::vector<const char*> args = {"bash", Script(), "--dir", dir_.c_str()};
    if (port != 0) {
      args.push_back("--port");
      args.push_back(port_text.c_str());
    }
    args.push_back("--cert");
    args.push_back(cert.c_str());
    if (!users_.empty()) {
      args.push_back("--users");
      args.push_back(users_.c_str());
    }
    for (const std::string& option : options_) args.push_back(option.c_str());
    args.push_back(nullptr);
    execv("/bin/bash", const_cast<char* const*>(args.data()));
    _exit(127);
  }
  close(out[1]);
  if (script_ < 0) {
    close(out[0]);
    *error = "fork failed";
    return false;
  }
  std::string text;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(ready_seconds_);
  bool ready = false;
  while (!ready && std::chrono::steady_clock::now() < give_up) {
    pollfd fd = {out[0], POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    char buffer[512];
    const ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    const size_t at = text.find("READY port=");
    if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
      std::istringstream line(text.substr(at + 11));
      std::string pid, dir, direct;
      line >> port_ >> pid >> dir >> direct;
      server_ = static_cast<pid_t>(std::atoi(pid.c_str() + 4));  // "pid=N"
      direct_port_ = direct.compare(0, 7, "direct=") == 0 ? std::atoi(direct.c_str() + 7) : 0;
      ready = port_ > 0 && server_ > 0;
      break;
    }
  }
  close(out[0]);  // the script writes nothing more
  if (!ready) {
    *error = "the server did not come up; the script said:\n" + text;
    Stop();
    return false;
  }
  return true;
}

void TestServer::Stop() {
  if (server_ > 0) kill(server_, SIGCONT);
  if (script_ > 0) {
    kill(script_, SIGTERM);
    int status;
    waitpid(script_, &status, 0);
  }
  if (server_ > 0) {
    WaitGone();
  }
  script_ = -1;
  server_ = -1;
}

void TestServer::Signal(int signal) const {
  if (server_ > 0) kill(server_, signal);
}

void TestServer::WaitGone() const {
  // Not our child (the script's): poll until the pid is gone, 10 s at most.
  for (int i = 0; i < 1000 && server_ > 0 && kill(server_, 0) == 0; ++i) {
    std::string stat;
    char state = 0;
    const std::string path = "/proc/" + std::to_string(server_) + "/stat";
    if (FILE* f = std::fopen(path.c_str(), "r")) {
      int pid;
      char name[256];
      if (std::fscanf(f, "%d %255s %c", &pid, name, &state) != 3) state = 0;
      std::fclose(f);
    }
    if (state == 'Z') break;  // gone, waiting for its parent to reap it
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace xmpp_test
