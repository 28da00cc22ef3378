// The friend directory: friend lists, single records, updates and values,
// decoded from byte-built engine records and compared byte for byte.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "events/checked_size.h"
#include "tests/support/agent_fixture.h"
#include "tests/support/records.h"
#include "textcodec.h"

namespace msglogic {
namespace testing {
namespace {

std::string Raw(const FriendInfo& info) {
  return std::string(reinterpret_cast<const char*>(&info), sizeof info);
}
const std::string kZeroFriend(359, '\0');

class FriendDirectoryTest : public AgentTest {
 protected:
  // Through the sink, as the engine calls: an unbounded view of an
  // exact-size heap copy.
  int32_t List(const Bytes& list) { return sink()->OnFriendList(list.Exact().get()); }
  int32_t Values(const std::vector<std::pair<int32_t, int32_t>>& pairs) {
    return sink()->OnFriendValues(ValueList(pairs).Exact().get());
  }
  // The cached record of `id`, or "" when there is none.
  std::string Cached(int32_t id) {
    FriendInfo info;
    return peer().find_friend(id, &info) ? Raw(info) : std::string();
  }
  // The entries of the only OnFriendList the host got.
  std::vector<std::string> HostList(size_t entries) {
    auto events = host.Events(kOnFriendList);
    EXPECT_EQ(events.size(), 1u);
    std::vector<std::string> out;
    if (events.empty()) return out;
    EXPECT_EQ(events[0].args, (std::vector<int64_t>{1}));
    EXPECT_EQ(events[0].friends.size(), entries);
    for (const FriendInfo& info : events[0].friends) out.push_back(Raw(info));
    return out;
  }

  // Three users with every field distinct; user 2 is "not online" (status 2),
  // user 3 has status 3 and extreme numbers.
  const FriendSpec u1{1, 10, 100, 0x1234, 1000, 0, "ann", "Ann " + kZhongUtf8, "about ann"};
  const FriendSpec u2{2, -20, -200, 0xFFFF, -2000, 2, kZhongUtf8 + kWenUtf8, "B",
                      kWenUtf8};
  const FriendSpec u3{3, INT32_MIN, INT32_MAX, 0x8001, INT32_MIN, 3, "cy", "C", ""};
  const std::string e1 = ExpectedFriend(u1, "ann", "Ann " + kZhongGb, "about ann");
  const std::string e2 = ExpectedFriend(u2, kZhongGb + kWenGb, "B", kWenGb);
  const std::string e3 = ExpectedFriend(u3, "cy", "C", "");
};

TEST_F(FriendDirectoryTest, ListCachesEveryUserAndPassesOnOnlyThoseWithValues) {
  Values({{2, 7}});
  host.friend_entries = 3;
  EXPECT_EQ(List(FriendList({u1, u2, u3})), 0);
  EXPECT_EQ(Hex(Cached(1)), Hex(e1));
  EXPECT_EQ(Hex(Cached(2)), Hex(e2));
  EXPECT_EQ(Hex(Cached(3)), Hex(e3));
  // The array is as long as the list: user 2 first, the rest zero.
  const auto got = HostList(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(Hex(got[0]), Hex(e2));
  EXPECT_EQ(got[1], kZeroFriend);
  EXPECT_EQ(got[2], kZeroFriend);

  // With a value for everyone, the list comes back in its own order.
  host.Clear();
  Values({{1, 0}, {3, 0}});
  EXPECT_EQ(List(FriendList({u1, u2, u3})), 0);
  EXPECT_EQ(HostList(3), (std::vector<std::string>{e1, e2, e3}));
}

// Which users have a value is kept aside between lists; it must follow the
// value map when the map is cleared and refilled with as many other users.
TEST_F(FriendDirectoryTest, ValuesAfterAResetAreThoseTheListIsTestedAgainst) {
  Values({{1, 5}, {2, 6}});
  host.friend_entries = 3;
  List(FriendList({u1, u2, u3}));
  EXPECT_EQ(HostList(3), (std::vector<std::string>{e1, e2, kZeroFriend}));

  peer().Reset();
  host.Clear();
  Values({{3, 5}, {4, 6}});  // as many users as before, other ones
  List(FriendList({u1, u2, u3}));
  EXPECT_EQ(HostList(3), (std::vector<std::string>{e3, kZeroFriend, kZeroFriend}));
}

// A list that changes nothing leaves the cache as it was; the next one that
// changes one field of one user among many changes just that.
TEST_F(FriendDirectoryTest, RepeatedListsChangeOnlyWhatDiffers) {
  std::vector<FriendSpec> list;
  for (int32_t id = 1; id <= 500; ++id) list.push_back({id, id, 0, 0, 0, 1, "n", "d", ""});
  host.friend_entries = list.size();
  List(FriendList(list));
  List(FriendList(list));
  EXPECT_EQ(peer().friend_count(), 500u);
  const std::string before = Cached(250);
  list[249].status = 3;
  list[249].long_text = kWenUtf8;
  List(FriendList(list));
  FriendSpec changed = list[249];
  EXPECT_EQ(Hex(Cached(250)), Hex(ExpectedFriend(changed, "n", "d", kWenGb)));
  EXPECT_NE(Cached(250), before);
  EXPECT_EQ(Hex(Cached(249)), Hex(ExpectedFriend(list[248], "n", "d", "")));
  EXPECT_EQ(host.Events(kOnFriendList).size(), 3u);
}

TEST_F(FriendDirectoryTest, ListWithoutAnyValueStillReportsAZeroArray) {
  host.friend_entries = 2;
  EXPECT_EQ(List(FriendList({u1, u2})), 0);
  EXPECT_EQ(HostList(2), (std::vector<std::string>{kZeroFriend, kZeroFriend}));
  EXPECT_EQ(peer().friend_count(), 2u);
}

TEST_F(FriendDirectoryTest, EmptyListIsReportedAsZeroAndNullAndChangesNothing) {
  List(FriendList({u1}));
  host.Clear();
  EXPECT_EQ(List(FriendList({})), 0);
  auto events = host.Events(kOnFriendList);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].args, (std::vector<int64_t>{0}));
  EXPECT_EQ(events[0].pointer, nullptr);
  EXPECT_EQ(peer().friend_count(), 1u);
}

TEST_F(FriendDirectoryTest, EmptyDisplayNameTakesTheNameInListsOnly) {
  FriendSpec f{9, 1, 0, 0, 0, 0, kZhongUtf8 + "x", "", "t"};
  Values({{9, 1}});
  host.friend_entries = 1;
  List(FriendList({f}));
  const std::string in_list = ExpectedFriend(f, kZhongGb + "x", kZhongGb + "x", "t");
  EXPECT_EQ(Hex(HostList(1).at(0)), Hex(in_list));
  EXPECT_EQ(Hex(Cached(9)), Hex(in_list));

  // A display name that converts to nothing (it starts with a zero byte)
  // counts as empty too.
  host.Clear();
  f.display_name = std::string("\0zz", 3);
  List(FriendList({f}));
  EXPECT_EQ(Hex(HostList(1).at(0)), Hex(in_list));

  // A single record keeps it empty, in the cache as for the host.
  sink()->OnFriendInfo(FriendRecord(f).Exact().get());
  const std::string alone = ExpectedFriend(f, kZhongGb + "x", "", "t");
  ASSERT_EQ(host.Count(kOnUserData), 1);
  EXPECT_EQ(Hex(Raw(host.Events(kOnUserData)[0].friends.at(0))), Hex(alone));
  EXPECT_EQ(Hex(Cached(9)), Hex(alone));
}

TEST_F(FriendDirectoryTest, RecordsWithNoTextsAre47BytesLong) {
  const FriendSpec a{21, 1, 2, 3, 4, 5, "", "", ""};
  const FriendSpec b{22, 6, 7, 8, 9, 1, "", "", ""};
  const Bytes list = FriendList({a, b});
  ASSERT_EQ(list.size(), 4u + 47 + 47);
  Values({{21, 0}, {22, 0}});
  host.friend_entries = 2;
  // Bounded to the exact size: a decoder reading one byte too far drops it.
  EXPECT_EQ(agent->OnFriendList(RecordView(list.data(), list.size())), 0);
  EXPECT_EQ(HostList(2), (std::vector<std::string>{ExpectedFriend(a, "", "", ""),
                                                   ExpectedFriend(b, "", "", "")}));
}

TEST_F(FriendDirectoryTest, SameUserTwiceInOneListIsReportedTwiceAndCachedAsTheLast) {
  FriendSpec second = u1;
  second.value = 11;
  second.name = "anna";
  Values({{1, 0}});
  host.friend_entries = 2;
  List(FriendList({u1, second}));
  const std::string e_second = ExpectedFriend(second, "anna", "Ann " + kZhongGb, "about ann");
  EXPECT_EQ(HostList(2), (std::vector<std::string>{e1, e_second}));
  EXPECT_EQ(Cached(1), e_second);
  EXPECT_EQ(peer().friend_count(), 1u);
}

TEST_F(FriendDirectoryTest, LaterListsUpdateWithoutForgettingAndUpdatesAreListsOfOne) {
  List(FriendList({u1, u2}));
  List(FriendList({u3}));
  EXPECT_EQ(peer().friend_count(), 3u);
  EXPECT_EQ(Cached(1), e1);

  // An update for a user without a value: one zero entry, cache updated.
  host.Clear();
  host.friend_entries = 1;
  FriendSpec changed = u1;
  changed.status = 3;
  changed.display_name = "";
  const std::string e_changed = ExpectedFriend(changed, "ann", "ann", "about ann");
  EXPECT_EQ(sink()->OnFriendUpdate(FriendRecord(changed).Exact().get()), 0);
  EXPECT_EQ(HostList(1), (std::vector<std::string>{kZeroFriend}));
  EXPECT_EQ(Cached(1), e_changed);

  // With a value, the entry is the record.
  host.Clear();
  Values({{1, 5}});
  EXPECT_EQ(sink()->OnFriendUpdate(FriendRecord(changed).Exact().get()), 0);
  EXPECT_EQ(HostList(1), (std::vector<std::string>{e_changed}));
}

TEST_F(FriendDirectoryTest, FriendInfoHandsTheHostAStableCopy) {
  // No value needed; the value cache is not consulted.
  FriendInfo replaced{};
  replaced.nUserId = 2;
  replaced.nUserValue = 999;
  host.hook = [&](const HostEvent& event) {
    if (event.slot != kOnUserData) return;
    const FriendInfo* info = *static_cast<const FriendInfo* const*>(event.pointer);
    // Changing the cache cannot change what the host reads.
    peer().put_friend(replaced);
    EXPECT_EQ(Hex(Raw(*info)), Hex(e2));
  };
  EXPECT_EQ(sink()->OnFriendInfo(FriendRecord(u2).Exact().get()), 0);
  auto events = host.Events(kOnUserData);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].args, (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(Hex(Raw(events[0].friends.at(0))), Hex(e2));
  EXPECT_EQ(peer().value_count(), 0u);
}

TEST_F(FriendDirectoryTest, TextsLongerThanTheirFieldsAreCutAtACharacterBoundary) {
  FriendSpec f{4, 0, 0, 0, 0, 0, Repeat(kZhongUtf8, 20), Repeat(kWenUtf8, 20),
               Repeat(kZhongUtf8, 200)};
  sink()->OnFriendInfo(FriendRecord(f).Exact().get());
  // szName: 15 characters (30 bytes) and a NUL, never 31 bytes ending in
  // half a character; szDisplayName 16 of 33; szLongText 127 of 255.
  EXPECT_EQ(Hex(Cached(4)), Hex(ExpectedFriend(f, Repeat(kZhongGb, 15), Repeat(kWenGb, 16),
                                               Repeat(kZhongGb, 127))));

  // One odd byte first: the 31st byte would be half a character.
  f.name = "a" + Repeat(kZhongUtf8, 20);
  f.display_name = Repeat("d", 50);
  f.long_text = "";
  sink()->OnFriendInfo(FriendRecord(f).Exact().get());
  EXPECT_EQ(Hex(Cached(4)),
            Hex(ExpectedFriend(f, "a" + Repeat(kZhongGb, 15), Repeat("d", 33), "")));

  // Characters code page 936 lacks: one '?' for each four-byte character.
  f.name = Repeat("\xF0\x9F\x98\x80", 40);
  f.display_name = "";
  sink()->OnFriendInfo(FriendRecord(f).Exact().get());
  EXPECT_EQ(Hex(Cached(4)), Hex(ExpectedFriend(f, Repeat("?", 31), "", "")));

  // A text ends at its first zero byte; the rest of the field stays zero.
  f.name = std::string("ab\0cd", 5);
  f.display_name = kZhongUtf8 + std::string("\0", 1) + kWenUtf8;
  sink()->OnFriendInfo(FriendRecord(f).Exact().get());
  EXPECT_EQ(Hex(Cached(4)), Hex(ExpectedFriend(f, "ab", kZhongGb, "")));
}

// A long text converts exactly as the codec converts all of it into the
// field, whatever the mix of good, bad, long and short characters; one with
// a NUL (anywhere, inside a character too) as the bytes before it would.
TEST_F(FriendDirectoryTest, LongTextsConvertAsTheWholeTextWould) {
  const std::vector<std::string> pieces = {"a", "\xC3\xA9", kZhongUtf8, "\xF0\x9F\x98\x80",
                                           "\x80", "\xE4\xB8", "\xF0\x9F", "\xFF", "\xE2\x82\xAC"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const size_t length = rng() % 1200;
    while (text.size() < length) text += pieces[rng() % pieces.size()];
    if (round % 2 == 1) text.insert(rng() % (text.size() + 1), 1, '\0');
    FriendSpec f{5, 0, 0, 0, 0, 0, "", "", text};
    sink()->OnFriendInfo(FriendRecord(f).Exact().get());
    const std::string before = text.substr(0, text.find('\0'));
    std::string field(255, '\0');
    field.resize(UTF_8ToGB2312N(&field[0], 255, before.data(), before.size()));
    ASSERT_EQ(Hex(Cached(5)), Hex(ExpectedFriend(f, "", "", field))) << "round " << round;
  }
}

TEST_F(FriendDirectoryTest, ValuesAreStoredPairByPairAndTheCountIsReturned) {
  EXPECT_EQ(Values({{5, 50}, {6, 60}}), 2);
  EXPECT_EQ(Values({{5, 55}}), 1);
  EXPECT_EQ(Values({}), 0);
  int32_t value = 0;
  EXPECT_TRUE(peer().find_value(5, &value));
  EXPECT_EQ(value, 55);
  EXPECT_TRUE(peer().find_value(6, &value));
  EXPECT_EQ(value, 60);
  EXPECT_EQ(peer().value_count(), 2u);
}

TEST_F(FriendDirectoryTest, BoundedRecordsClaimingMoreThanTheyHoldAreDroppedWhole) {
  Values({{1, 0}, {2, 0}});
  auto drop_list = [&](const Bytes& b, size_t size) {
    EXPECT_EQ(agent->OnFriendList(RecordView(b.data(), size)), 0);
  };
  const Bytes list = FriendList({u1, u2});
  drop_list(list, list.size() - 1);   // last text one byte short
  drop_list(list, 3);                 // not even a count
  drop_list(Bytes(list).PatchU32(0, 3), list.size());           // a third record missing
  drop_list(Bytes(list).PatchU32(0, 0xFFFFFFFFu), list.size());  // absurd count
  drop_list(Bytes(list).PatchU32(4 + 20, 0xFFFFFFFFu), list.size());  // absurd L1
  drop_list(Bytes(list).PatchU32(4 + 34, 0xFFFFFFF0u), list.size());  // absurd L3

  const Bytes one = FriendRecord(u1);
  for (uint32_t l : {0xFFFFFFFFu, 100u}) {
    Bytes bad = Bytes(one).PatchU32(24, l);
    EXPECT_EQ(agent->OnFriendInfo(RecordView(bad.data(), bad.size())), 0);
    EXPECT_EQ(agent->OnFriendUpdate(RecordView(bad.data(), bad.size())), 0);
  }
  EXPECT_EQ(agent->OnFriendInfo(RecordView(one.data(), 46)), 0);
  EXPECT_EQ(agent->OnFriendUpdate(RecordView(one.data(), one.size() - 1)), 0);
  EXPECT_TRUE(host.Events().empty());
  EXPECT_EQ(peer().friend_count(), 0u);

  // Values: the count comes back, nothing is stored.
  const Bytes values = ValueList({{7, 70}, {8, 80}});
  EXPECT_EQ(agent->OnFriendValues(RecordView(values.data(), values.size() - 1)), 2);
  Bytes huge = Bytes(values).PatchU32(0, 0xFFFFFFFFu);
  EXPECT_EQ(agent->OnFriendValues(RecordView(huge.data(), huge.size())), -1);
  EXPECT_EQ(agent->OnFriendValues(RecordView(values.data(), 2)), 0);
  EXPECT_EQ(peer().value_count(), 2u);

  // The same records, whole, are accepted through a bounded view.
  host.friend_entries = 2;
  EXPECT_EQ(agent->OnFriendList(RecordView(list.data(), list.size())), 0);
  EXPECT_EQ(HostList(2), (std::vector<std::string>{e1, e2}));
}

TEST_F(FriendDirectoryTest, WithoutACallbackTheCachesStillFill) {
  agent->SetCallback(nullptr, 2);
  List(FriendList({u1}));
  sink()->OnFriendInfo(FriendRecord(u2).Exact().get());
  sink()->OnFriendUpdate(FriendRecord(u3).Exact().get());
  EXPECT_EQ(peer().friend_count(), 3u);
  EXPECT_TRUE(host.Events().empty());
}

// Long lists are cached in user id order (unsigned), walking the maps from
// one user to the next; what the host and the caches get must not show it.
TEST_F(FriendDirectoryTest, LongListsComeOutAsShortOnesDo) {
  std::mt19937 rng(7);
  std::vector<FriendSpec> list;
  for (int i = 0; i < 300; ++i) {
    FriendSpec f;
    // Ids on both sides of zero, in no order, some of them twice.
    f.id = i % 50 == 49 ? list[static_cast<size_t>(i) / 2].id
                        : static_cast<int32_t>(rng() % 2000) - 1000;
    f.value = i;
    f.info_a = i * 3;
    f.status = static_cast<uint8_t>(i % 4);
    f.name = "n" + std::to_string(i) + kZhongUtf8;
    f.display_name = i % 7 == 0 ? "" : kWenUtf8 + std::to_string(i);
    f.long_text = Repeat(kZhongUtf8, static_cast<size_t>(i % 90));
    list.push_back(f);
  }
  // Values for about two users in three, some of them for users of no list.
  std::vector<std::pair<int32_t, int32_t>> values;
  for (int32_t id = -1000; id < 1000; ++id) {
    if (rng() % 3 != 0) values.push_back({id, id});
  }
  auto has_value = [&](int32_t id) {
    for (const auto& v : values) {
      if (v.first == id) return true;
    }
    return false;
  };
  auto expected = [&](const FriendSpec& f) {
    const std::string name = "n" + std::to_string(f.value) + kZhongGb;
    const std::string display = f.display_name.empty() ? name : kWenGb + std::to_string(f.value);
    return ExpectedFriend(f, name, display, Repeat(kZhongGb, static_cast<size_t>(f.value % 90)));
  };

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // A few users cached before, by a short list.
    host.friend_entries = 0;
    List(FriendList({list[5], list[100]}));
    Values(values);
    host.Clear();
    host.friend_entries = list.size();
    EXPECT_EQ(List(FriendList(list)), 0);

    std::vector<std::string> want;
    std::map<int32_t, std::string> cached;
    for (const FriendSpec& f : list) {
      if (has_value(f.id)) want.push_back(expected(f));
      cached[f.id] = expected(f);
    }
    want.resize(list.size(), kZeroFriend);
    EXPECT_EQ(HostList(list.size()), want);
    EXPECT_EQ(peer().friend_count(), cached.size());
    for (const auto& [id, record] : cached) EXPECT_EQ(Hex(Cached(id)), Hex(record)) << id;
    // The caches are cleared between the rounds, as after a lost connection.
    peer().Reset();
  }
}

TEST(CheckedSizeTest, RefusesWhatDoesNotFitSizeT) {
  size_t out = 7;
  EXPECT_FALSE(CheckedMul(kSizeMax / 176 + 1, 176, &out));
  EXPECT_FALSE(CheckedAdd(kSizeMax - 46, 47, &out));
  EXPECT_EQ(out, 7u);
  EXPECT_TRUE(CheckedMul(kSizeMax / 176, 176, &out));
  EXPECT_EQ(out, kSizeMax / 176 * 176);
  EXPECT_TRUE(CheckedMul(0, kSizeMax, &out));
  EXPECT_EQ(out, 0u);
  EXPECT_TRUE(CheckedAdd(kSizeMax - 47, 47, &out));
  EXPECT_EQ(out, kSizeMax);
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
