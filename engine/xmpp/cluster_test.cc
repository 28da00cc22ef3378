// Two hosts on an ejabberd cluster of two nodes on loopback: node A on
// 127.0.0.1, node B on 127.0.0.2 (tools/xmpp-server/run-ejabberd.sh
// --address, --dist-port, --join), each host logged in to its own node with
// nothing but that node's address. They see each other and chat; when B's
// node stops, B's host loses its connection and A's host sees B go offline.
//
// Starting two nodes and joining them takes 10 to 20 real seconds: the test
// carries the label `slow`, and runs only with MSGLOGIC_LONG_TESTS=1 (ctest
// sets it). It exits with 77 (skipped) where ejabberd is not installed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/xmpp/test_host.h"
#include "engine/xmpp/test_server.h"

namespace {

using xmpp_test::Client;
using xmpp_test::Gb;

// Whether `port` can be bound on loopback address `address` just now.
bool FreeOn(const char* address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in in = {};
  in.sin_family = AF_INET;
  in.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &in.sin_addr);
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
  close(fd);
  return free;
}

// A port free on both nodes' addresses: the cluster's distribution port,
// which every node listens on at its own address (no epmd).
int SharedFreePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in = {};
    in.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &in.sin_addr);
    socklen_t size = sizeof in;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&in), &size) == 0) {
      port = ntohs(in.sin_port);
    }
    close(fd);
    if (port != 0 && FreeOn("127.0.0.2", port)) return port;
  }
  return 0;
}

// The host's settings for one node: its address, its accounts file, and
// the usual ones with its CA.
void UseNode(const xmpp_test::TestServer& node, const char* address) {
  setenv("MSGLOGIC_XMPP_SERVER", (std::string(address) + ":" + std::to_string(node.port())).c_str(),
         1);
  setenv("MSGLOGIC_XMPP_ACCOUNTS", node.accounts().c_str(), 1);
  xmpp_test::UseTestSettings(node.ca_file());
}

class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(work_.Make("cluster", xmpp_test::kLogins));
    ASSERT_NE(xmpp_test::AgentFactory(), nullptr) << dlerror();
  }

  void TearDown() override {
    node_b_.reset();
    node_a_.reset();
  }

  // Node A, then node B joining A's cluster, with the test CA of A.
  void StartCluster() {
    const int dist = SharedFreePort();
    ASSERT_NE(dist, 0);
    std::string error;
    node_a_ = std::make_unique<xmpp_test::TestServer>(work_.root() + "/a");
    node_a_->SetOptions({"--address", "127.0.0.1", "--dist-port", std::to_string(dist)}, 40);
    ASSERT_TRUE(node_a_->Start(0, &error)) << error;
    std::filesystem::create_directories(work_.root() + "/b");
    std::filesystem::copy(work_.root() + "/a/certs", work_.root() + "/b/certs",
                          std::filesystem::copy_options::recursive);
    node_b_ = std::make_unique<xmpp_test::TestServer>(work_.root() + "/b");
    const std::string node_a = "msglogic-" + std::to_string(node_a_->port()) + "@127.0.0.1";
    node_b_->SetOptions(
        {"--address", "127.0.0.2", "--dist-port", std::to_string(dist), "--join", node_a}, 60);
    ASSERT_TRUE(node_b_->Start(0, &error)) << error;
  }

  xmpp_test::WorkDir work_;  // goes after the nodes
  std::unique_ptr<xmpp_test::TestServer> node_a_;
  std::unique_ptr<xmpp_test::TestServer> node_b_;
};

TEST_F(ClusterTest, HostsOnTwoNodesChatAndSeeANodeGo) {
  ASSERT_NO_FATAL_FAILURE(StartCluster());
  Client a, b;
  UseNode(*node_a_, "127.0.0.1");
  ASSERT_EQ(a.ConnectAndList(10001, 2), 0);
  UseNode(*node_b_, "127.0.0.2");
  ASSERT_EQ(b.ConnectAndList(10002, 2), 0);

  // Presence across the nodes, both ways, and texts byte for byte.
  ASSERT_TRUE(a.host.WaitForFriend(10002, 1));
  ASSERT_TRUE(b.host.WaitForFriend(10001, 1));
  const std::string hello = Gb("从节点甲问好 <&>");
  ASSERT_EQ(a.agent->SendText(10002, hello.c_str()), 0);
  ASSERT_TRUE(b.host.WaitForTexts(1));
  EXPECT_EQ(b.host.Texts()[0].user, 10001);
  EXPECT_EQ(b.host.Texts()[0].bytes, hello);
  const std::string answer = Gb("节点乙收到");
  ASSERT_EQ(b.agent->SendText(10001, answer.c_str()), 0);
  ASSERT_TRUE(a.host.WaitForTexts(1));
  EXPECT_EQ(a.host.Texts()[0].bytes, answer);

  // B's node stops (SIGTERM: Erlang's orderly stop): B's host loses its
  // connection, A's host sees B go offline and stays connected. (A node
  // that dies outright, SIGKILL, sends no unavailable presence: ejabberd
  // 23.01 drops its sessions, and A sees B online until B logs in again.)
  node_b_->Signal(SIGTERM);
  EXPECT_TRUE(b.host.WaitForLoss());
  EXPECT_TRUE(a.host.WaitForFriend(10002, 2));
  node_b_->WaitGone();
  EXPECT_EQ(a.host.Losses(), 0);
  // A's node serves on: a text to B is kept for B's next login.
  ASSERT_EQ(a.agent->SendText(10002, hello.c_str()), 0);
  EXPECT_TRUE(a.host.WaitForNotice(10002, Gb("对方不在线：消息将在其上线后送达")));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (access("/usr/sbin/ejabberdctl", X_OK) != 0) {
    std::printf("ejabberd is not installed (Debian: apt-get install ejabberd): skipped\n");
    return 77;
  }
  const char* long_tests = std::getenv("MSGLOGIC_LONG_TESTS");
  if (long_tests == nullptr || std::strcmp(long_tests, "1") != 0) {
    std::printf("the cluster test needs 10 to 20 s: set MSGLOGIC_LONG_TESTS=1 to run it; skipped\n");
    return 77;
  }
  return RUN_ALL_TESTS();
}
