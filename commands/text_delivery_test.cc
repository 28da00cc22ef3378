// SendText, the pending texts and their flush on OnUserInfo, and
// ContactUser.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "tests/support/agent_fixture.h"

namespace msglogic {
namespace testing {
namespace {

const char kNotOnline[] = "\xB8\xC3\xD3\xC3\xBB\xA7\xB2\xBB\xD4\xDA\xCF\xDF";

class TextDeliveryTest : public AgentTest {
 protected:
  void SetUp() override { ConnectOk(); }
  void AddFriend(int32_t id, int32_t value, uint8_t status = 0) {
    FriendInfo info{};
    info.nUserId = id;
    info.nUserValue = value;
    info.byStatus = status;
    peer().put_friend(info);
  }
  int32_t Answer(int32_t id, int32_t value) {
    const int32_t record[2] = {id, value};
    return sink()->OnUserInfo(record);
  }
  void SetSelf(int32_t id) { sink()->OnSelfId(&id); }
  std::string Pending(int32_t id) {
    std::string text = "(none)";
    peer().find_pending(id, &text);
    return text;
  }
};

TEST_F(TextDeliveryTest, FriendsGetTheHostsTextAtOnceWithTheirValue) {
  AddFriend(5, 55);
  const char text[] = "hi";
  EXPECT_EQ(agent->SendText(5, text), 0);  // own id not known yet: -1
  SetSelf(9);
  EXPECT_EQ(agent->SendText(5, text), 0);
  auto sent = engines.Calls(kSendText);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].args, (std::vector<int64_t>{5, 1, -1, 55}));
  EXPECT_EQ(sent[1].args, (std::vector<int64_t>{5, 1, 9, 55}));
  EXPECT_EQ(sent[1].pointer, text);
  EXPECT_EQ(engines.Count(kRequestUserInfo), 0);
  EXPECT_EQ(peer().pending_count(), 0u);
}

TEST_F(TextDeliveryTest, ANullTextReachesTheEngineEmptyNeverNull) {
  AddFriend(5, 55);
  engines.Clear();
  EXPECT_EQ(agent->SendText(5, nullptr), 0);
  EXPECT_EQ(agent->SendText(7, nullptr), 1);
  EXPECT_EQ(Answer(7, 77), 1);
  auto sent = engines.Calls(kSendText);
  ASSERT_EQ(sent.size(), 2u);
  for (const EngineCall& call : sent) {
    ASSERT_NE(call.pointer, nullptr);
    EXPECT_EQ(call.text, "");
  }
}

TEST_F(TextDeliveryTest, StrangersTextWaitsForTheirDetailsAndIsSentOnce) {
  SetSelf(9);
  const char text[] = "hello";
  EXPECT_EQ(agent->SendText(7, text), 1);
  ASSERT_EQ(engines.Count(kRequestUserInfo), 1);
  EXPECT_EQ(engines.Calls(kRequestUserInfo)[0].args, (std::vector<int64_t>{7}));
  EXPECT_EQ(engines.Count(kSendText), 0);
  EXPECT_EQ(Pending(7), "hello");

  EXPECT_EQ(Answer(8, 88), 1);  // someone else's details: nothing to send
  EXPECT_EQ(engines.Count(kSendText), 0);
  EXPECT_EQ(Answer(7, 77), 1);
  auto sent = engines.Calls(kSendText);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].args, (std::vector<int64_t>{7, 1, 9, 77}));
  EXPECT_EQ(sent[0].text, "hello");
  EXPECT_NE(sent[0].pointer, text);  // the agent's copy
  EXPECT_EQ(peer().pending_count(), 0u);
  // The details alone do not make the user a friend.
  EXPECT_EQ(peer().friend_count(), 0u);

  EXPECT_EQ(Answer(7, 77), 1);
  EXPECT_EQ(engines.Count(kSendText), 1);
}

TEST_F(TextDeliveryTest, ALaterTextReplacesOneStillWaiting) {
  EXPECT_EQ(agent->SendText(7, "first"), 1);
  EXPECT_EQ(agent->SendText(7, "second"), 1);
  EXPECT_EQ(agent->SendText(8, ""), 1);
  EXPECT_EQ(engines.Count(kRequestUserInfo), 3);
  Answer(7, 1);
  Answer(8, 2);
  auto sent = engines.Calls(kSendText);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].text, "second");
  EXPECT_EQ(sent[0].args, (std::vector<int64_t>{7, 1, -1, 1}));
  EXPECT_EQ(sent[1].text, "");
  EXPECT_EQ(sent[1].args, (std::vector<int64_t>{8, 1, -1, 2}));
}

TEST_F(TextDeliveryTest, AnswersWithNothingWaitingOrTooShortSendNothing) {
  EXPECT_EQ(Answer(7, 1), 1);
  agent->SendText(7, "x");
  const int32_t record[2] = {7, 1};
  EXPECT_EQ(agent->OnUserInfo(RecordView(record, 7)), 1);
  EXPECT_EQ(engines.Count(kSendText), 0);
  EXPECT_EQ(Pending(7), "x");
}

TEST_F(TextDeliveryTest, ResetDropsWaitingTexts) {
  agent->SendText(7, "x");
  peer().Reset();
  EXPECT_EQ(peer().pending_count(), 0u);
  EXPECT_EQ(Answer(7, 1), 1);
  EXPECT_EQ(engines.Count(kSendText), 0);
  // Logged out, nothing is queued.
  EXPECT_EQ(agent->SendText(7, "y"), -1);
  EXPECT_EQ(peer().pending_count(), 0u);
}

TEST_F(TextDeliveryTest, ContactUserCallsTheEngineWithValueBeforeOwnId) {
  SetSelf(9);
  AddFriend(5, 55, 0);
  AddFriend(6, 66, 1);
  EXPECT_EQ(agent->ContactUser(5), 0);
  EXPECT_EQ(agent->ContactUser(6), 0);
  auto calls = engines.Calls(kContactUser);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args, (std::vector<int64_t>{5, 55, 9}));
  EXPECT_EQ(calls[1].args, (std::vector<int64_t>{6, 66, 9}));
  EXPECT_TRUE(env.MessageBoxes().empty());
}

TEST_F(TextDeliveryTest, ContactUserRefusesStrangersSilentlyAndOfflineFriendsWithABox) {
  EXPECT_EQ(agent->ContactUser(5), -1);
  EXPECT_TRUE(env.MessageBoxes().empty());
  AddFriend(5, 55, 2);
  AddFriend(6, 66, 3);
  EXPECT_EQ(agent->ContactUser(5), -1);
  EXPECT_EQ(agent->ContactUser(6), -1);
  EXPECT_EQ(env.MessageBoxes(), (std::vector<std::string>{kNotOnline, kNotOnline}));
  EXPECT_EQ(engines.Count(kContactUser), 0);

  peer().Reset();
  EXPECT_EQ(agent->ContactUser(5), -1);
  EXPECT_EQ(env.MessageBoxes().size(), 2u);
}

TEST_F(TextDeliveryTest, MessageBoxIsShownWithNoLockHeld) {
  AddFriend(5, 55, 2);
  AddFriend(6, 66, 0);
  int32_t sent_while_open = -99;
  env.OnMessageBox([&](const std::string&) {
    // Another host thread uses the friend directory and the engine while the
    // box is open; a lock held across the box would block it for good.
    std::thread other([&] { sent_while_open = agent->SendText(6, "meanwhile"); });
    other.join();
  });
  EXPECT_EQ(agent->ContactUser(5), -1);
  EXPECT_EQ(sent_while_open, 0);
  EXPECT_EQ(engines.Count(kSendText), 1);
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
