// The friend directory's decoders: OnFriendList, OnFriendUpdate and
// OnFriendInfo on a bounded view of the input, after an optional value list
// for some of the users in it.
//
// Input: one mode byte, then the record.
//   bits 0-1: 0 or 3 friend list, 1 friend update (one record), 2 friend info
//   bit 2:    before the event, give a value to every other user the
//             reference decoder finds in the record
#include <map>
#include <vector>

#include "events/record_view.h"
#include "fuzz/harness.h"

using msglogic::RecordView;
namespace fz = msglogic::fuzz;
namespace t = msglogic::testing;

namespace {

// The cached record of every user, from the last record that named them.
void CheckCache(const msglogic::AgentPeer& peer, const std::map<int32_t, FriendInfo>& expected) {
  FUZZ_CHECK_EQ(peer.friend_count(), expected.size());
  for (const auto& [id, info] : expected) {
    FriendInfo cached;
    FUZZ_CHECK(peer.find_friend(id, &cached));
    fz::CheckFriendInfoShape(cached);
    FUZZ_CHECK_EQ(fz::RawFriend(cached), fz::RawFriend(info));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  auto record = fz::ExactCopy(data + 1, size - 1);
  const RecordView view(record.get(), size - 1);
  const uint8_t* bytes = record.get();
  const size_t n = size - 1;

  fz::FreshAgent a;
  auto peer = a.peer();

  // The users the record names, as far as the reference decoder gets.
  std::vector<fz::RefFriend> listed;
  uint32_t count = 0;
  const int kind = mode & 3;
  bool whole;
  if (kind == 1 || kind == 2) {
    fz::RefFriend f;
    whole = fz::RefReadFriend(bytes, n, &f);
    if (whole) listed.push_back(f);
  } else {
    whole = fz::RefReadFriendList(bytes, n, &count, &listed);
  }

  std::map<int32_t, int32_t> values;
  if (mode & 4) {
    std::vector<int32_t> pairs{0};
    for (size_t i = 0; i < listed.size(); i += 2) {
      pairs.push_back(listed[i].id);
      pairs.push_back(listed[i].id ^ 0x5A5A);
      values[listed[i].id] = listed[i].id ^ 0x5A5A;
    }
    pairs[0] = static_cast<int32_t>((pairs.size() - 1) / 2);
    FUZZ_CHECK_EQ(a.agent()->OnFriendValues(RecordView(pairs.data(), pairs.size() * 4)),
                  pairs[0]);
    FUZZ_CHECK_EQ(peer.value_count(), values.size());
  }

  std::map<int32_t, FriendInfo> cache;
  a.host().friend_entries = kind == 1 ? 1 : (whole ? count : 0);
  if (kind == 1) {
    FUZZ_CHECK_EQ(a.agent()->OnFriendUpdate(view), 0);
    auto events = a.host().Events();
    if (!whole) {
      FUZZ_CHECK(events.empty());
    } else {
      // A list of one: the record when the user has a value, else zeros.
      const fz::RefFriend& f = listed[0];
      cache[f.id] = fz::ExpectedFriendInfo(f, true);
      const FriendInfo want = values.count(f.id) != 0 ? cache[f.id] : FriendInfo{};
      FUZZ_CHECK_EQ(events.size(), 1u);
      FUZZ_CHECK_EQ(events[0].slot, t::kOnFriendList);
      FUZZ_CHECK_EQ(events[0].args[0], 1);
      FUZZ_CHECK_EQ(events[0].friends.size(), 1u);
      fz::CheckFriendInfoShape(events[0].friends[0]);
      FUZZ_CHECK_EQ(fz::RawFriend(events[0].friends[0]), fz::RawFriend(want));
    }
  } else if (kind == 2) {
    FUZZ_CHECK_EQ(a.agent()->OnFriendInfo(view), 0);
    auto events = a.host().Events();
    if (!whole) {
      FUZZ_CHECK(events.empty());
    } else {
      const fz::RefFriend& f = listed[0];
      cache[f.id] = fz::ExpectedFriendInfo(f, false);
      FUZZ_CHECK_EQ(events.size(), 1u);
      FUZZ_CHECK_EQ(events[0].slot, t::kOnUserData);
      FUZZ_CHECK_EQ(events[0].args[0], f.id);
      FUZZ_CHECK_EQ(events[0].args[1], 1);
      FUZZ_CHECK_EQ(events[0].friends.size(), 1u);
      FUZZ_CHECK_EQ(fz::RawFriend(events[0].friends[0]), fz::RawFriend(cache[f.id]));
    }
  } else {
    FUZZ_CHECK_EQ(a.agent()->OnFriendList(view), 0);
    auto events = a.host().Events();
    if (!whole) {
      FUZZ_CHECK(events.empty());
    } else if (count == 0) {
      FUZZ_CHECK_EQ(events.size(), 1u);
      FUZZ_CHECK_EQ(events[0].args[0], 0);
      FUZZ_CHECK(events[0].pointer == nullptr);
    } else {
      std::vector<FriendInfo> passed;
      for (const fz::RefFriend& f : listed) {
        cache[f.id] = fz::ExpectedFriendInfo(f, true);
        if (values.count(f.id) != 0) passed.push_back(cache[f.id]);
      }
      passed.resize(count, FriendInfo{});
      FUZZ_CHECK_EQ(events.size(), 1u);
      FUZZ_CHECK_EQ(events[0].slot, t::kOnFriendList);
      FUZZ_CHECK_EQ(events[0].args[0], 1);
      FUZZ_CHECK_EQ(events[0].friends.size(), passed.size());
      for (size_t i = 0; i < passed.size(); ++i) {
        fz::CheckFriendInfoShape(events[0].friends[i]);
        FUZZ_CHECK_EQ(fz::RawFriend(events[0].friends[i]), fz::RawFriend(passed[i]));
      }
    }
  }
  CheckCache(peer, cache);
  return 0;
}
