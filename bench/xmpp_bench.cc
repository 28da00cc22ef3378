// The XMPP engine against a real Prosody on loopback (started here through
// tools/xmpp-server/run-prosody.sh):
//
//  - round trip: host A sends a text to host B, whose callback sends it
//    straight back; the time from A's SendText to A's OnUserData, through
//    two agents, two XMPP engines and the server. Beside it the floor: the
//    same round trip between two bare libstrophe clients run by one thread
//    (the echo written from inside the stanza handler), with stream
//    management off (the floor the targets are set against) and on (as the
//    engine runs: an acknowledgement request after each stanza, Nagle off
//    and quick ACKs, like the engine);
//  - idle cost: 100 agents logged in and left alone; the process's CPU time
//    over the window in percent of one core, and the server's.
//
// Prints a readable summary and, last, one JSON object on standard output.
//
// Usage: msglogic_xmpp_bench [--round-trips N] [--idle-seconds S] [--agents N]
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strophe.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MsgLogicEx.h"
#include "engine/xmpp/test_server.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "xmpp bench: %s\n", what.c_str());
  std::exit(1);
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Percentiles {
  double p50 = 0, p99 = 0;
};

Percentiles Summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  Percentiles p;
  if (samples.empty()) return p;
  p.p50 = samples[samples.size() / 2];
  p.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  return p;
}

// A host that counts texts and can echo them back through its agent.
class Host final : public IMsgLogicExCallback {
 public:
  IMsgLogicEx* echo_through = nullptr;  // set: send every text back

  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnUserData(int32_t userId, int32_t kind, const void* data) override {
    if (kind != 0) return 0;
    if (echo_through != nullptr) {
      echo_through->SendText(userId, static_cast<const char*>(data));
      return 0;
    }
    std::lock_guard<std::mutex> hold(mu_);
    ++texts_;
    cv_.notify_all();
    return 0;
  }
  bool WaitForTexts(int count) {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, std::chrono::seconds(5), [&] { return texts_ >= count; });
  }
  int32_t OnFriendList(int32_t, const FriendInfo*) override {
    std::lock_guard<std::mutex> hold(mu_);
    ++lists_;
    cv_.notify_all();
    return 0;
  }
  bool WaitForList() {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, std::chrono::seconds(5), [&] { return lists_ > 0; });
  }
  int32_t OnEventA(int32_t, const char*) override { return 0; }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override { return 0; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int texts_ = 0;
  int lists_ = 0;
};

PFN_CreateMsgLogicEx Factory() {
  void* library = dlopen(MSGLOGIC_XMPP_AGENT, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) Fail(dlerror());
  auto create = reinterpret_cast<PFN_CreateMsgLogicEx>(dlsym(library, "CreateMsgLogicEx"));
  if (create == nullptr) Fail("no CreateMsgLogicEx");
  return create;
}

Percentiles AgentRoundTrips(PFN_CreateMsgLogicEx create, int count) {
  Host host_a, host_b;
  IMsgLogicEx* a = create();
  IMsgLogicEx* b = create();
  a->SetCallback(&host_a, MSG_IID_LOGICEX_CALLBACK);
  b->SetCallback(&host_b, MSG_IID_LOGICEX_CALLBACK);
  host_b.echo_through = b;
  if (a->Connect(1, 0) != 0 || b->Connect(2, 0) != 0) Fail("agents cannot log in");
  // Friends in each other's friend directory: texts go out at once.
  a->GetFriendList();
  b->GetFriendList();
  if (!host_a.WaitForList() || !host_b.WaitForList()) Fail("no friend lists");
  std::vector<double> samples;
  const std::string text = "\xc4\xe3\xba\xc3 round trip";  // 你好 in GB2312
  for (int i = 0; i < count + 100; ++i) {
    const Clock::time_point start = Clock::now();
    if (a->SendText(2, text.c_str()) != 0) Fail("the peer is not in the friend directory");
    if (!host_a.WaitForTexts(i + 1)) Fail("a round trip got lost");
    if (i >= 100) samples.push_back(Micros(Clock::now() - start));  // after warming up
  }
  a->Release();
  b->Release();
  return Summarize(samples);
}

// The floor: two libstrophe connections in one context, one thread.
struct Bare {
  xmpp_conn_t* conn = nullptr;
  bool connected = false;
  bool ready = false;  // the server has handled our presence
  bool echo = false;
  int received = 0;
  std::string peer;
};

int BareHandler(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* userdata) {
  Bare& bare = *static_cast<Bare*>(userdata);
  if (xmpp_stanza_get_child_by_name(stanza, "body") == nullptr) return 1;
  if (bare.echo) {
    xmpp_stanza_t* body = xmpp_stanza_get_child_by_name(stanza, "body");
    char* text = xmpp_stanza_get_text(body);
    xmpp_send_raw_string(conn, "<message type='chat' to='%s'><body>%s</body></message>",
                         bare.peer.c_str(), text);
    xmpp_free(xmpp_conn_get_context(conn), text);
  } else {
    ++bare.received;
  }
  return 1;
}

// The answer to the ping sent after our presence: the server handles a
// session's stanzas in order, so from now on it routes messages to us.
int BareReady(xmpp_conn_t*, xmpp_stanza_t*, void* userdata) {
  static_cast<Bare*>(userdata)->ready = true;
  return 0;
}

void BareConnected(xmpp_conn_t*, xmpp_conn_event_t event, int, xmpp_stream_error_t*, void* userdata) {
  Bare& bare = *static_cast<Bare*>(userdata);
  bare.connected = event == XMPP_CONN_CONNECT;
  if (!bare.connected) return;
  xmpp_send_raw_string(bare.conn, "<presence/>");
  xmpp_id_handler_add(bare.conn, BareReady, "ready", &bare);
  xmpp_send_raw_string(bare.conn,
                       "<iq type='get' id='ready' to='localhost'><ping xmlns='urn:xmpp:ping'/></iq>");
}

std::vector<int> bare_sockets;

int BareSocket(xmpp_conn_t*, void* socket) {
  const int one = 1;
  setsockopt(*static_cast<int*>(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  bare_sockets.push_back(*static_cast<int*>(socket));
  return 0;
}

// One libstrophe turn; with stream management, quick ACKs for what it
// reads, as the engine does.
void BareTurn(xmpp_ctx_t* ctx, bool sm) {
  if (sm) {
    const int one = 1;
    for (int fd : bare_sockets) setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  xmpp_run_once(ctx, 1);
}

Percentiles BareRoundTrips(int port, const std::string& ca_file, int count, bool sm) {
  xmpp_initialize();
  xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
  Bare a, b;
  const char* jids[] = {"1@localhost", "2@localhost"};
  const char* passwords[] = {"p1", "p2"};
  Bare* both[] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    Bare& bare = *both[i];
    bare.conn = xmpp_conn_new(ctx);
    bare.peer = jids[1 - i];
    bare.echo = i == 1;
    // As the engine connects: STARTTLS required, the test CA trusted.
    xmpp_conn_set_flags(bare.conn, XMPP_CONN_FLAG_MANDATORY_TLS | (sm ? 0 : XMPP_CONN_FLAG_DISABLE_SM));
    if (sm) xmpp_conn_set_sockopt_callback(bare.conn, BareSocket);
    xmpp_conn_set_cafile(bare.conn, ca_file.c_str());
    xmpp_conn_set_jid(bare.conn, jids[i]);
    xmpp_conn_set_pass(bare.conn, passwords[i]);
    xmpp_handler_add(bare.conn, BareHandler, nullptr, "message", nullptr, &bare);
    xmpp_connect_client(bare.conn, "127.0.0.1", static_cast<unsigned short>(port), BareConnected, &bare);
  }
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(10);
  while (!(a.ready && b.ready) && Clock::now() < give_up) BareTurn(ctx, sm);
  if (!a.ready || !b.ready) Fail("bare clients cannot log in");
  std::vector<double> samples;
  for (int i = 0; i < count + 100; ++i) {
    const Clock::time_point start = Clock::now();
    xmpp_send_raw_string(a.conn, "<message type='chat' to='2@localhost'><body>round trip</body></message>");
    while (a.received <= i) {
      BareTurn(ctx, sm);
      if (Clock::now() - start > std::chrono::seconds(5)) Fail("a bare round trip got lost");
    }
    if (i >= 100) samples.push_back(Micros(Clock::now() - start));
  }
  xmpp_conn_release(a.conn);
  xmpp_conn_release(b.conn);
  xmpp_ctx_free(ctx);
  bare_sockets.clear();
  return Summarize(samples);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process, in seconds.
double ProcessCpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = close + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field.push_back(text[i]);
    }
  }
  if (fields.size() < 13) return 0;
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  int round_trips = 2000;
  double idle_seconds = 10;
  int agents = 100;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--round-trips") round_trips = std::atoi(argv[i + 1]);
    else if (arg == "--idle-seconds") idle_seconds = std::atof(argv[i + 1]);
    else if (arg == "--agents") agents = std::atoi(argv[i + 1]);
    else Fail("usage: msglogic_xmpp_bench [--round-trips N] [--idle-seconds S] [--agents N]");
  }
  if (!xmpp_test::OnPath("prosody")) {
    std::printf("xmpp bench: prosody is not installed: skipped\n");
    return 0;
  }
  char pattern[] = "/tmp/msglogic-xmpp-bench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) Fail("no temporary folder");
  const std::string root = pattern;
  // Users 1..N, each with password pN, 1 and 2 friends; saved logins by id.
  {
    std::ofstream users(root + "/users.txt");
    std::filesystem::create_directories(root + "/work/KWPMsg");
    std::ofstream logins(root + "/work/KWPMsg/loginInfo.ini");
    logins << "[loginInfo]\n";
    for (int i = 1; i <= std::max(agents, 2); ++i) {
      users << "user " << i << " p" << i << " bench" << i << "\n";
      if (i <= 2) users << "friend " << i << " " << 3 - i << " peer" << 3 - i << "\n";
      logins << "id" << i << "=" << i << "\nflag" << i << "=1\n";
    }
  }
  std::filesystem::current_path(root + "/work");
  xmpp_test::TestServer server(root + "/server", root + "/users.txt");
  std::string error;
  if (!server.Start(0, &error)) Fail(error);
  setenv("MSGLOGIC_XMPP_SERVER", ("127.0.0.1:" + std::to_string(server.port())).c_str(), 1);
  setenv("MSGLOGIC_XMPP_ACCOUNTS", server.accounts().c_str(), 1);
  setenv("MSGLOGIC_XMPP_CA_FILE", server.ca_file().c_str(), 1);

  PFN_CreateMsgLogicEx create = Factory();
  const Percentiles agent = AgentRoundTrips(create, round_trips);
  const Percentiles bare = BareRoundTrips(server.port(), server.ca_file(), round_trips, false);
  const Percentiles bare_sm = BareRoundTrips(server.port(), server.ca_file(), round_trips, true);
  std::fprintf(stderr, "round trip A -> B -> A, %d times:\n", round_trips);
  std::fprintf(stderr, "  agents + XMPP engines: p50 %8.1f us  p99 %8.1f us\n", agent.p50, agent.p99);
  std::fprintf(stderr, "  bare libstrophe:       p50 %8.1f us  p99 %8.1f us\n", bare.p50, bare.p99);
  std::fprintf(stderr, "  bare, stream mgmt on:  p50 %8.1f us  p99 %8.1f us\n", bare_sm.p50, bare_sm.p99);
  std::fprintf(stderr, "  ratio to the bare floor: p50 %.2fx  p99 %.2fx (to the stream-managed one: %.2fx, %.2fx)\n",
               agent.p50 / bare.p50, agent.p99 / bare.p99, agent.p50 / bare_sm.p50, agent.p99 / bare_sm.p99);

  std::vector<IMsgLogicEx*> idle;
  Host host;
  for (int i = 1; i <= agents; ++i) {
    IMsgLogicEx* agent_object = create();
    agent_object->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
    if (agent_object->Connect(i, 0) != 0) Fail("agent " + std::to_string(i) + " cannot log in");
    idle.push_back(agent_object);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let the logins settle
  const double cpu_before = CpuSeconds();
  const double server_before = ProcessCpuSeconds(server.server_pid());
  const Clock::time_point idle_start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(idle_seconds));
  const double window = std::chrono::duration<double>(Clock::now() - idle_start).count();
  const double cpu_percent = (CpuSeconds() - cpu_before) / window * 100;
  const double server_percent = (ProcessCpuSeconds(server.server_pid()) - server_before) / window * 100;
  for (IMsgLogicEx* agent_object : idle) agent_object->Release();
  std::fprintf(stderr, "idle: %d agents logged in for %.1f s: %.3f%% of a core; the server %.3f%%\n",
               agents, window, cpu_percent, server_percent);
  server.Stop();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(root);

  std::printf(
      "{\"round_trips\": %d, \"agent_p50_us\": %.1f, \"agent_p99_us\": %.1f, "
      "\"bare_p50_us\": %.1f, \"bare_p99_us\": %.1f, \"bare_sm_p50_us\": %.1f, "
      "\"bare_sm_p99_us\": %.1f, \"idle_agents\": %d, "
      "\"idle_cpu_percent\": %.3f, \"idle_server_cpu_percent\": %.3f}\n",
      round_trips, agent.p50, agent.p99, bare.p50, bare.p99, bare_sm.p50, bare_sm.p99, agents, cpu_percent,
      server_percent);
  return 0;
}
