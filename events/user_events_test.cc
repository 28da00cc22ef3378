// User lists, user texts and event A, from byte-built engine records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/agent_fixture.h"
#include "tests/support/records.h"

namespace msglogic {
namespace testing {
namespace {

using UserEventsTest = AgentTest;

// What the host finds in the array it is given: `entries` elements of
// (int32 id at 0, name pointer at 4), read at the packed stride.
std::vector<std::pair<int32_t, std::string>> ReadUserArray(const void* array, size_t entries) {
  const size_t stride = 4 + sizeof(void*);
  std::vector<std::pair<int32_t, std::string>> out;
  for (size_t i = 0; i < entries; ++i) {
    const char* at = static_cast<const char*>(array) + i * stride;
    int32_t id;
    const char* name;
    std::memcpy(&id, at, 4);
    std::memcpy(&name, at + 4, sizeof name);
    out.emplace_back(id, name != nullptr ? name : "(null)");
  }
  return out;
}

TEST_F(UserEventsTest, UserListPassesOnKindOneUsersWithGbNames) {
  const Bytes list = UserList({{1, 1, "amy"},
                               {2, 0, "skipped"},
                               {3, 1, kZhongUtf8 + kWenUtf8},
                               {4, 2, kZhongUtf8},
                               {5, 1, ""}});
  std::vector<std::pair<int32_t, std::string>> seen;
  host.hook = [&](const HostEvent& event) {
    // The array has an element per list entry; the unused ones are zero.
    if (event.slot == kOnUserList) seen = ReadUserArray(event.pointer, 5);
  };
  EXPECT_EQ(sink()->OnUserList(list.Exact().get()), 0);
  auto events = host.Events(kOnUserList);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].args, (std::vector<int64_t>{3}));
  using Users = std::vector<std::pair<int32_t, std::string>>;
  EXPECT_EQ(seen, (Users{{1, "amy"}, {3, kZhongGb + kWenGb}, {5, ""}, {0, "(null)"}, {0, "(null)"}}));
}

TEST_F(UserEventsTest, UserListWithNoKindOneUserIsStillPassedOnButAnEmptyOneIsNot) {
  EXPECT_EQ(sink()->OnUserList(UserList({{1, 0, "x"}, {2, 3, ""}}).Exact().get()), 0);
  auto events = host.Events(kOnUserList);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].args, (std::vector<int64_t>{0}));
  EXPECT_NE(events[0].pointer, nullptr);

  host.Clear();
  EXPECT_EQ(sink()->OnUserList(UserList({}).Exact().get()), 0);
  // A negative count is no count: nothing is read past it.
  EXPECT_EQ(sink()->OnUserList(Bytes().I32(-1).Exact().get()), 0);
  EXPECT_EQ(sink()->OnUserList(Bytes().I32(INT32_MIN).Exact().get()), 0);
  EXPECT_TRUE(host.Events().empty());
}

TEST_F(UserEventsTest, BoundedUserListsClaimingMoreThanTheyHoldAreDropped) {
  const Bytes list = UserList({{1, 1, "amy"}, {2, 1, "bo"}});
  EXPECT_EQ(agent->OnUserList(RecordView(list.data(), list.size() - 1)), 0);
  EXPECT_EQ(agent->OnUserList(RecordView(list.data(), 3)), 0);
  for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF7u, 100u}) {
    const Bytes bad = Bytes(list).PatchU32(4 + 5, length);
    EXPECT_EQ(agent->OnUserList(RecordView(bad.data(), bad.size())), 0);
  }
  const Bytes many = Bytes(list).PatchU32(0, 0x7FFFFFFF);
  EXPECT_EQ(agent->OnUserList(RecordView(many.data(), many.size())), 0);
  EXPECT_TRUE(host.Events().empty());

  EXPECT_EQ(agent->OnUserList(RecordView(list.data(), list.size())), 0);
  ASSERT_EQ(host.Count(kOnUserList), 1);
  EXPECT_EQ(host.Events(kOnUserList)[0].users,
            (std::vector<std::pair<int32_t, std::string>>{{1, "amy"}, {2, "bo"}}));
}

TEST_F(UserEventsTest, UserTextOfTypeOneIsPassedOnUnconvertedAndTerminated) {
  // Followed by non-zero bytes: the host's copy must carry its own NUL.
  const Bytes record = TextRecord(1, "hi " + kZhongUtf8 + kZhongGb).Fill(4);
  EXPECT_EQ(sink()->OnUserText(42, record.Exact().get()), 0);
  EXPECT_EQ(sink()->OnUserText(42, TextRecord(2, "other type").Exact().get()), 0);
  EXPECT_EQ(sink()->OnUserText(42, TextRecord(0, "").Exact().get()), 0);
  auto events = host.Events(kOnUserData);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].args, (std::vector<int64_t>{42, 0}));
  EXPECT_EQ(events[0].text, "hi " + kZhongUtf8 + kZhongGb);
}

TEST_F(UserEventsTest, EmptyUserTextIsOneSharedEmptyString) {
  sink()->OnUserText(1, TextRecord(1, "").Exact().get());
  sink()->OnUserText(2, TextRecord(1, "").Exact().get());
  auto events = host.Events(kOnUserData);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].text, "");
  EXPECT_EQ(events[0].pointer, events[1].pointer);
  EXPECT_EQ(events[1].args, (std::vector<int64_t>{2, 0}));
}

TEST_F(UserEventsTest, BoundedUserTextsAndEventsClaimingMoreAreDropped) {
  const Bytes text = TextRecord(1, "abc");
  EXPECT_EQ(agent->OnUserText(1, RecordView(text.data(), text.size() - 1)), 0);
  EXPECT_EQ(agent->OnUserText(1, RecordView(text.data(), 27)), 0);
  const Bytes huge = Bytes(text).PatchU32(24, 0xFFFFFFFFu);
  EXPECT_EQ(agent->OnUserText(1, RecordView(huge.data(), huge.size())), 0);
  const Bytes event = Bytes().I32(9).Fill(18).Text("x");
  EXPECT_EQ(agent->OnEventA(RecordView(event.data(), 21)), 0);
  EXPECT_TRUE(host.Events().empty());

  EXPECT_EQ(agent->OnUserText(1, RecordView(text.data(), text.size())), 0);
  EXPECT_EQ(host.Count(kOnUserData), 1);
}

TEST_F(UserEventsTest, BoundedEventAWhoseTextDoesNotEndInsideIsDropped) {
  // The host reads the text up to its NUL: without one inside the record
  // it would read past the end.
  const Bytes unterminated = Bytes().I32(9).Fill(18).Text("abc");
  auto exact = unterminated.Exact();
  EXPECT_EQ(agent->OnEventA(RecordView(exact.get(), unterminated.size())), 0);
  const Bytes bare = Bytes().I32(9).Fill(18);
  EXPECT_EQ(agent->OnEventA(RecordView(bare.Exact().get(), bare.size())), 0);
  EXPECT_TRUE(host.Events().empty());

  const Bytes terminated = Bytes().I32(9).Fill(18).Text("abc").U8(0);
  auto whole = terminated.Exact();
  EXPECT_EQ(agent->OnEventA(RecordView(whole.get(), terminated.size())), 0);
  auto events = host.Events(kOnEventA);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, "abc");
}

TEST_F(UserEventsTest, EventAPointsIntoTheRecordItself) {
  const Bytes record = Bytes().I32(-77).Fill(18).Text("note").U8(0);
  auto exact = record.Exact();
  EXPECT_EQ(sink()->OnEventA(exact.get()), 0);
  auto events = host.Events(kOnEventA);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].args, (std::vector<int64_t>{-77}));
  EXPECT_EQ(events[0].pointer, exact.get() + 22);
  EXPECT_EQ(events[0].text, "note");
}

TEST_F(UserEventsTest, WithoutACallbackNothingIsReported) {
  agent->SetCallback(nullptr, 2);
  EXPECT_EQ(sink()->OnUserList(UserList({{1, 1, "a"}}).Exact().get()), 0);
  EXPECT_EQ(sink()->OnUserText(1, TextRecord(1, "t").Exact().get()), 0);
  EXPECT_EQ(sink()->OnUserText(1, TextRecord(1, "").Exact().get()), 0);
  EXPECT_EQ(sink()->OnEventA(Bytes().I32(1).Fill(18).U8(0).Exact().get()), 0);
  EXPECT_TRUE(host.Events().empty());
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
