// Idle cost: what logged-in agents that have nothing to do cost the process.
//
// The program is a host as hosts are built: it loads the shipped agent
// library with dlopen (which brings the stand-in engine library from beside
// it), creates agents through CreateMsgLogicEx, logs each in with its own
// saved login from the login file in its working folder, and then leaves
// them alone. Each agent has its supervision and release workers, and each
// engine its two threads and its activity reports.
//
// It prints one JSON object on standard output:
//   cpu_percent        CPU time of the whole process over the idle window,
//                      in percent of one core (getrusage)
//   rss_per_agent_kib  resident memory added by the agents, per agent: the
//                      resident size once every agent is logged in and has
//                      idled, less the size before the first was created
// and a readable summary on standard error.
//
// Usage: msglogic_idle_bench [--agents N] [--seconds S]
// The environment variable MSGLOGIC_IDLE_SECONDS also sets S (default 10).
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "MsgLogicEx.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "idle bench: %s\n", what.c_str());
  std::exit(1);
}

// A host that accepts every callback and does nothing with it.
class QuietHost final : public IMsgLogicExCallback {
 public:
  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnFriendList(int32_t, const FriendInfo*) override { return 0; }
  int32_t OnEventA(int32_t, const char*) override { return 0; }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnUserData(int32_t, int32_t, const void*) override { return 0; }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override {
    lost = true;
    return 0;
  }
  bool lost = false;
};

// A field of /proc/self/status, in its unit (kB for sizes).
long StatusField(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(name);
  while (std::getline(status, line)) {
    if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
      return std::strtol(line.c_str() + length + 1, nullptr, 10);
    }
  }
  return -1;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void SleepSeconds(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// A scratch working folder holding KWPMsg/loginInfo.ini with one saved
// login (by id) for each of `count` users from `first_id` on.
class LoginFolder {
 public:
  LoginFolder(int32_t first_id, int count) {
    char path[] = "/tmp/msglogic-idle-XXXXXX";
    if (mkdtemp(path) == nullptr) Fail("cannot make a working folder");
    dir_ = path;
    if (mkdir((dir_ + "/KWPMsg").c_str(), 0700) != 0) Fail("cannot make KWPMsg");
    std::ofstream ini(dir_ + "/KWPMsg/loginInfo.ini");
    ini << "[loginInfo]\r\n";
    for (int i = 1; i <= count; ++i) {
      ini << "id" << i << "=" << first_id + i - 1 << "\r\nflag" << i << "=1\r\n";
    }
    if (!ini) Fail("cannot write the login file");
  }
  ~LoginFolder() {
    std::remove((dir_ + "/KWPMsg/loginInfo.ini").c_str());
    rmdir((dir_ + "/KWPMsg").c_str());
    rmdir(dir_.c_str());
  }
  const std::string& path() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace

int main(int argc, char** argv) {
  int agents = 100;
  double seconds = 10;
  if (const char* env = std::getenv("MSGLOGIC_IDLE_SECONDS")) seconds = std::atof(env);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--agents" && i + 1 < argc) {
      agents = std::atoi(argv[++i]);
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      Fail("usage: msglogic_idle_bench [--agents N] [--seconds S]");
    }
  }
  if (agents < 1 || seconds <= 0) Fail("need at least one agent and a positive time");

  // The built-in scenario, whatever the caller's environment names.
  unsetenv("MSGLOGIC_SCENARIO");
  constexpr int32_t kFirstId = 30001;  // ids the built-in scenario accepts
  LoginFolder folder(kFirstId, agents + 1);
  char previous[4096];
  if (getcwd(previous, sizeof previous) == nullptr) Fail("getcwd");
  if (chdir(folder.path().c_str()) != 0) Fail("cannot enter the working folder");

  void* library = dlopen(MSGLOGICEX_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) Fail(std::string("cannot load the agent library: ") + dlerror());
  auto create = reinterpret_cast<PFN_CreateMsgLogicEx>(dlsym(library, "CreateMsgLogicEx"));
  if (create == nullptr) Fail("no CreateMsgLogicEx");

  QuietHost host;
  auto connect = [&](int32_t id) {
    IMsgLogicEx* agent = create();
    if (agent == nullptr) Fail("CreateMsgLogicEx gave null");
    agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
    const int32_t rc = agent->Connect(id, 0);
    if (rc != 0) Fail("Connect(" + std::to_string(id) + ") = " + std::to_string(rc));
    return agent;
  };

  // What the first agent of a process sets up once (the engine's scenario,
  // the converters' tables) is not counted against every agent.
  {
    IMsgLogicEx* first = connect(kFirstId + agents);
    SleepSeconds(0.3);
    first->Release();
  }
  SleepSeconds(0.2);
  const long rss_before = StatusField("VmRSS");

  std::vector<IMsgLogicEx*> all;
  for (int i = 0; i < agents; ++i) all.push_back(connect(kFirstId + i));
  // Past the logins' first events (own id, first activity, greetings).
  SleepSeconds(std::min(1.0, seconds));
  const long rss_connected = StatusField("VmRSS");
  const long threads = StatusField("Threads");

  const double cpu_start = CpuSeconds();
  const auto wall_start = std::chrono::steady_clock::now();
  SleepSeconds(seconds);
  const double cpu = CpuSeconds() - cpu_start;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  const long rss_idle = StatusField("VmRSS");

  for (IMsgLogicEx* agent : all) agent->Release();
  if (chdir(previous) != 0) Fail("cannot return to the first working folder");
  if (host.lost) Fail("a connection was lost while idle");

  const double cpu_percent = 100.0 * cpu / wall;
  const double per_agent =
      static_cast<double>(std::max(rss_connected, rss_idle) - rss_before) / agents;
  std::fprintf(stderr,
               "idle: %d agents, %ld threads, %.1f s: %.3f s CPU (%.3f%% of a core); "
               "RSS %ld kB before, %ld kB logged in, %ld kB after idling: %.1f KiB per agent\n",
               agents, threads, wall, cpu, cpu_percent, rss_before, rss_connected, rss_idle,
               per_agent);
  std::printf(
      "{\"agents\": %d, \"threads\": %ld, \"seconds\": %.3f, \"cpu_seconds\": %.6f, "
      "\"cpu_percent\": %.6f, \"rss_before_kib\": %ld, \"rss_connected_kib\": %ld, "
      "\"rss_idle_kib\": %ld, \"rss_per_agent_kib\": %.3f}\n",
      agents, threads, wall, cpu, cpu_percent, rss_before, rss_connected, rss_idle, per_agent);
  return 0;
}
