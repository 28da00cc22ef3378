// Agents with the XMPP engine against a real server, Prosody or ejabberd (as
// server_test runs them): texts to a friend who is not online reach that
// friend's host at its next login, once, in order, byte for byte; rooms a
// host sends are answered once the server has them, and reach its friends'
// hosts, at their login and while they are online.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "MsgLogicEx.h"
#include "engine/xmpp/test_host.h"
#include "engine/xmpp/test_server.h"

namespace {

using xmpp_test::Client;
using xmpp_test::Gb;

class OfflineRoomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(work_.Make("test", xmpp_test::kLogins));
    server_ = std::make_unique<xmpp_test::TestServer>(work_.root() + "/server");
    std::string error;
    ASSERT_TRUE(server_->Start(0, &error)) << error;
    setenv("MSGLOGIC_XMPP_SERVER", ("127.0.0.1:" + std::to_string(server_->port())).c_str(), 1);
    setenv("MSGLOGIC_XMPP_ACCOUNTS", server_->accounts().c_str(), 1);
    xmpp_test::UseTestSettings(server_->ca_file());
    ASSERT_NE(xmpp_test::AgentFactory(), nullptr) << dlerror();
  }

  void TearDown() override { server_.reset(); }

  xmpp_test::WorkDir work_;  // goes after the server
  std::unique_ptr<xmpp_test::TestServer> server_;
};

RoomInfo Room(int32_t v1, const std::string& text1, int32_t v2, const std::string& text2) {
  RoomInfo room;
  std::memset(&room, 0, sizeof room);
  room.nValue1 = v1;
  std::strncpy(room.szText1, Gb(text1).c_str(), sizeof room.szText1 - 1);
  room.nValue2 = v2;
  std::strncpy(room.szText2, Gb(text2).c_str(), sizeof room.szText2 - 1);
  room.nValue3 = 3;
  room.nValue4 = 4;
  return room;
}

TEST_F(OfflineRoomTest, TextsToAFriendWhoIsNotOnlineArriveAtItsNextLoginOnceInOrder) {
  Client a;
  ASSERT_EQ(a.ConnectAndList(10001, 2), 0);
  ASSERT_TRUE(a.host.WaitForFriend(10002, 2));  // not logged in
  const std::vector<std::string> texts = {
      Gb("第一条：你好，芳芳！"), Gb("第二条 <b>&amp;</b> 'ok' \"1\""), Gb("第三条。") + " plain"};
  for (const std::string& text : texts) ASSERT_EQ(a.agent->SendText(10002, text.c_str()), 0);
  // The sender hears that the server keeps them (and no failure).
  EXPECT_TRUE(a.host.WaitForNotice(10002, Gb("对方不在线：消息将在其上线后送达")));

  // 10002 logs in: the three texts, in order, byte for byte, before a text
  // sent once it is online, and nothing twice.
  {
    Client b;
    ASSERT_EQ(b.ConnectAndList(10002, 2), 0);
    ASSERT_TRUE(a.host.WaitForFriend(10002, 1));
    const std::string marker = Gb("现在在线了");
    ASSERT_EQ(a.agent->SendText(10002, marker.c_str()), 0);
    ASSERT_TRUE(b.host.WaitForTexts(4));
    const std::vector<xmpp_test::Host::Said> got = b.host.Texts();
    ASSERT_EQ(got.size(), 4u);
    for (size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(got[i].user, 10001);
      EXPECT_EQ(got[i].bytes, texts[i]) << i;
    }
    EXPECT_EQ(got[3].bytes, marker);
  }
  // The next login of 10002 gets none of them again.
  ASSERT_TRUE(a.host.WaitForFriend(10002, 2));
  Client b;
  ASSERT_EQ(b.ConnectAndList(10002, 2), 0);
  ASSERT_TRUE(a.host.WaitForFriend(10002, 1));
  const std::string again = Gb("又见面了");
  ASSERT_EQ(a.agent->SendText(10002, again.c_str()), 0);
  ASSERT_TRUE(b.host.WaitForTexts(1));
  const std::vector<xmpp_test::Host::Said> got = b.host.Texts();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes, again);
  // A text to a friend who is online brings no notice.
  for (const xmpp_test::Host::Said& notice : a.host.Notices()) {
    EXPECT_EQ(notice.bytes, Gb("对方不在线：消息将在其上线后送达"));
  }
  EXPECT_EQ(a.host.Notices().size(), 3u);
}

// A login on an engine that is online ends the earlier login's stream as
// Release does: the friends see that user go offline at once (a stream that
// was only dropped would be held by the server for resumption, the user
// shown online for minutes), and the texts the earlier login received are
// acknowledged, so the server does not keep them for that user's next login.
TEST_F(OfflineRoomTest, ALoginWhileOnlineEndsTheEarlierStreamAtOnce) {
  Client a;
  ASSERT_EQ(a.ConnectAndList(10001, 2), 0);
  Client b;
  ASSERT_EQ(b.ConnectAndList(10002, 2), 0);
  ASSERT_TRUE(b.host.WaitForFriend(10001, 1));
  ASSERT_TRUE(a.host.WaitForFriend(10002, 1));
  const std::string text = Gb("切换账号之前");
  ASSERT_EQ(b.agent->SendText(10001, text.c_str()), 0);
  ASSERT_TRUE(a.host.WaitForTexts(1));

  a.host.ExpectList(2);
  ASSERT_EQ(a.agent->Connect(10003, 0), 0);
  EXPECT_TRUE(b.host.WaitForFriend(10001, 2));

  Client again;
  ASSERT_EQ(again.ConnectAndList(10001, 2), 0);
  ASSERT_TRUE(again.host.WaitForFriend(10002, 1));
  const std::string marker = Gb("重新登录之后");
  ASSERT_EQ(b.agent->SendText(10001, marker.c_str()), 0);
  ASSERT_TRUE(again.host.WaitForTexts(1));
  const std::vector<xmpp_test::Host::Said> got = again.host.Texts();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes, marker);
}

TEST_F(OfflineRoomTest, RoomsAreAnsweredOnceTheServerHasThemAndReachFriends) {
  Client a;
  ASSERT_EQ(a.ConnectAndList(10001, 2), 0);
  const RoomInfo two[] = {Room(1, "大厅", 2, "欢迎"), Room(5, "x", 6, "")};
  ASSERT_EQ(a.agent->SendRoomInfo(2, two), 0);
  EXPECT_TRUE(a.host.WaitForNotice(0, Gb("收到 2 个房间：大厅, x")));

  // A friend who logs in later learns them from the server.
  Client b;
  ASSERT_EQ(b.ConnectAndList(10002, 2), 0);
  EXPECT_TRUE(b.host.WaitForNotice(10001, Gb("2 个房间：大厅, x")));

  // A change reaches the friend who is online; so does one of the friend's.
  const RoomInfo one[] = {Room(7, "棋牌室", 8, "<&>")};
  ASSERT_EQ(a.agent->SendRoomInfo(1, one), 0);
  EXPECT_TRUE(a.host.WaitForNotice(0, Gb("收到 1 个房间：棋牌室")));
  EXPECT_TRUE(b.host.WaitForNotice(10001, Gb("1 个房间：棋牌室")));
  ASSERT_EQ(b.agent->SendRoomInfo(0, nullptr), 0);
  EXPECT_TRUE(b.host.WaitForNotice(0, Gb("收到 0 个房间：")));
  EXPECT_TRUE(a.host.WaitForNotice(10002, Gb("0 个房间：")));

  // Each change once: B heard of A's rooms twice (the first list, the
  // change), and never of its own.
  size_t from_a = 0;
  for (const xmpp_test::Host::Said& notice : b.host.Notices()) {
    EXPECT_NE(notice.user, 10002);
    if (notice.user == 10001) ++from_a;
  }
  EXPECT_EQ(from_a, 2u);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const bool ejabberd = std::strstr(xmpp_test::Script(), "ejabberd") != nullptr;
  if (ejabberd ? access("/usr/sbin/ejabberdctl", X_OK) != 0 : !xmpp_test::OnPath("prosody")) {
    std::printf("%s is not installed (Debian: apt-get install %s): skipped\n",
                ejabberd ? "ejabberd" : "prosody", ejabberd ? "ejabberd" : "prosody");
    return 77;
  }
  return RUN_ALL_TESTS();
}
