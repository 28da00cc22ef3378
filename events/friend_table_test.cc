// The friend table against a std::map model: random batches of updates,
// single updates that split chunks, unsigned order, and tables left exactly
// as they were by the updates built from them.
#include "events/friend_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace msglogic {
namespace {

using Model = std::map<uint32_t, std::string>;  // unsigned id -> the 359 bytes

FriendInfo Entry(int32_t id, uint32_t stamp) {
  FriendInfo info;
  std::memset(&info, 0, sizeof info);
  info.nUserId = id;
  info.nUserValue = static_cast<int32_t>(stamp);
  info.byStatus = static_cast<uint8_t>(stamp);
  std::memset(info.szLongText, 'a' + static_cast<int>(stamp % 26), stamp % 255);
  std::memset(info.byReserved2, static_cast<int>(stamp & 0xFF), sizeof info.byReserved2);
  return info;
}

std::string Raw(const FriendInfo& info) {
  return std::string(reinterpret_cast<const char*>(&info), sizeof info);
}

// Every entry of `table`, in its order, against `model`; and lookups of
// every id of the model and of a few that are not there.
void ExpectHolds(const FriendTable& table, const Model& model) {
  ASSERT_TRUE(table.WellFormed());
  ASSERT_EQ(table.size(), model.size());
  auto it = model.begin();
  table.ForEach([&](const FriendInfo& e) {
    ASSERT_NE(it, model.end());
    EXPECT_EQ(static_cast<uint32_t>(e.nUserId), it->first);
    EXPECT_TRUE(Raw(e) == it->second) << e.nUserId;
    ++it;
  });
  EXPECT_EQ(it, model.end());
  for (const auto& [id, raw] : model) {
    const FriendInfo* found = table.Find(static_cast<int32_t>(id));
    ASSERT_NE(found, nullptr) << id;
    EXPECT_TRUE(Raw(*found) == raw) << id;
    if (model.count(id + 1) == 0) {
      EXPECT_EQ(table.Find(static_cast<int32_t>(id + 1)), nullptr);
    }
  }
}

// Puts `entries` (any order, ids possibly twice: the last wins) into both.
FriendTable Apply(const FriendTable& table, std::vector<FriendInfo> entries, Model* model) {
  std::map<uint32_t, FriendInfo> last;
  for (const FriendInfo& e : entries) last[static_cast<uint32_t>(e.nUserId)] = e;
  std::vector<const FriendInfo*> sorted;
  for (const auto& [id, e] : last) {
    sorted.push_back(&e);
    (*model)[id] = Raw(e);
  }
  return table.With(sorted.data(), sorted.size());
}

TEST(FriendTableTest, EmptyTableFindsNothing) {
  const FriendTable table;
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.Find(0), nullptr);
  EXPECT_EQ(table.Find(-1), nullptr);
  EXPECT_TRUE(table.WellFormed());
  const FriendTable same = table.With(nullptr, 0);
  EXPECT_TRUE(same.SameAs(table));
}

TEST(FriendTableTest, RandomBatchesMatchAnOrderedMapAndLeaveEarlierTablesAlone) {
  std::mt19937 rng(21);
  FriendTable table;
  Model model;
  std::vector<std::pair<FriendTable, Model>> earlier;
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    // Batches from one entry to a few thousand, ids crowded around zero
    // (both signs), spread wide, or at the ends of the unsigned range.
    const size_t n = round % 5 == 0 ? 1 + rng() % 3000 : 1 + rng() % 40;
    std::vector<FriendInfo> batch;
    for (size_t i = 0; i < n; ++i) {
      int32_t id;
      switch (rng() % 4) {
        case 0: id = static_cast<int32_t>(rng() % 4000) - 2000; break;
        case 1: id = static_cast<int32_t>(rng()); break;
        case 2: id = INT32_MAX - static_cast<int32_t>(rng() % 8); break;
        default: id = INT32_MIN + static_cast<int32_t>(rng() % 8); break;
      }
      batch.push_back(Entry(id, static_cast<uint32_t>(round * 10000 + i)));
    }
    if (round % 7 == 3) earlier.emplace_back(table, model);
    table = Apply(table, batch, &model);
    ExpectHolds(table, model);
  }
  EXPECT_GT(table.chunk_count(), 10u);
  // Tables kept from before later updates still hold what they held.
  for (const auto& [old_table, old_model] : earlier) ExpectHolds(old_table, old_model);
}

// The table's order is the unsigned order of the ids: -1 comes last.
TEST(FriendTableTest, OrdersIdsAsUnsigned) {
  Model model;
  const FriendTable table =
      Apply(FriendTable(), {Entry(-1, 1), Entry(0, 2), Entry(INT32_MIN, 3), Entry(INT32_MAX, 4)},
            &model);
  std::vector<int32_t> order;
  table.ForEach([&](const FriendInfo& e) {
    const int32_t id = e.nUserId;  // a packed field: no reference to it
    order.push_back(id);
  });
  EXPECT_EQ(order, (std::vector<int32_t>{0, INT32_MAX, INT32_MIN, -1}));
}

// Friends added one by one split full chunks; one changed friend copies one
// chunk: the other entries are the very same bytes as before, shared.
TEST(FriendTableTest, SingleUpdatesSplitChunksAndShareTheRest) {
  FriendTable table;
  Model model;
  for (int32_t id = 0; id < 1000; ++id) {
    table = Apply(table, {Entry(id * 2, static_cast<uint32_t>(id))}, &model);
  }
  ExpectHolds(table, model);
  EXPECT_GE(table.chunk_count(), 1000 / FriendTable::kChunkMax);

  const FriendTable before = table;
  table = Apply(table, {Entry(1001, 7)}, &model);  // between 1000 and 1002
  ExpectHolds(table, model);
  size_t shared = 0;
  size_t copied = 0;
  before.ForEach([&](const FriendInfo& e) {
    (table.Find(e.nUserId) == before.Find(e.nUserId) ? shared : copied) += 1;
  });
  EXPECT_EQ(shared + copied, 1000u);
  EXPECT_LE(copied, FriendTable::kChunkMax);
  EXPECT_EQ(before.size(), 1000u);
  EXPECT_EQ(before.Find(1001), nullptr);

  // A whole list again: every entry replaced, none added.
  std::vector<FriendInfo> all;
  for (int32_t id = 0; id < 1000; ++id) all.push_back(Entry(id * 2, 5000 + static_cast<uint32_t>(id)));
  table = Apply(table, all, &model);
  ExpectHolds(table, model);
  EXPECT_EQ(table.size(), 1001u);
}

}  // namespace
}  // namespace msglogic
