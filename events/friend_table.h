// The friend directory's table: user id -> FriendInfo, ordered by the id
// taken as an unsigned 32-bit value.
//
// A FriendTable is a value that never changes in place: With() builds a new
// table and leaves the old one as it was, so a table can be built from a
// copy with no lock held while other threads keep reading the copy the
// agent publishes (under m_csFriend), and the agent's lock is held only to
// look an id up or to swap the published table for the new one. Copies are
// cheap: they share storage, which lives as long as the last copy.
//
// The entries lie in chunks of consecutive ids, each an array of at most
// kChunkMax entries, shared between the tables that hold them unchanged.
// With() copies only the chunks its updates fall into (and the list of
// chunks), so one changed friend costs one chunk, whatever the size of the
// directory, and a list of all friends costs one sequential pass.
#ifndef MSGLOGIC_EVENTS_FRIEND_TABLE_H_
#define MSGLOGIC_EVENTS_FRIEND_TABLE_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <utility>
#include <vector>

#include "MsgLogicEx.h"

namespace msglogic {

class FriendTable {
 public:
  // Entries a chunk holds at most, and how full With() fills the chunks it
  // splits, so that new friends find room without a split at once.
  static constexpr size_t kChunkMax = 64;
  static constexpr size_t kChunkFill = 48;

  FriendTable() = default;  // empty

  // The entry of `id`, or null. Valid as long as this table (or a copy).
  const FriendInfo* Find(int32_t id) const;
  size_t size() const { return data_ == nullptr ? 0 : data_->size; }
  bool empty() const { return size() == 0; }
  void clear() { data_.reset(); }

  // This table with the entries of `updates` put in: each replaces the
  // entry of its nUserId or is added. `updates` point to `count` records in
  // strictly ascending unsigned id order (no id twice). When they change
  // nothing, the result is this table itself (SameAs). Throws
  // std::bad_alloc; this table is unchanged either way.
  FriendTable With(const FriendInfo* const* updates, size_t count) const;
  FriendTable With(const FriendInfo& update) const {
    const FriendInfo* one = &update;
    return With(&one, 1);
  }

  // Whether `other` is this very table or a copy of it (not merely equal).
  bool SameAs(const FriendTable& other) const { return data_ == other.data_; }
  void swap(FriendTable& other) noexcept { data_.swap(other.data_); }

  // Calls f(const FriendInfo&) for every entry in ascending unsigned id
  // order.
  template <typename F>
  void ForEach(F f) const {
    if (data_ == nullptr) return;
    for (const auto& chunk : data_->chunks) {
      for (const FriendInfo& entry : chunk->entries) f(entry);
    }
  }

  // For tests: the number of chunks, and whether every chunk holds between
  // 1 and kChunkMax entries, in ascending order, and begins where the list
  // of first ids says.
  size_t chunk_count() const { return data_ == nullptr ? 0 : data_->chunks.size(); }
  bool WellFormed() const;

 private:
  struct Chunk {
    std::vector<uint32_t> ids;  // ascending; ids[k] is entries[k].nUserId
    std::vector<FriendInfo> entries;
  };
  struct Data {
    std::vector<uint32_t> first;  // the first id of each chunk
    std::vector<std::shared_ptr<const Chunk>> chunks;
    size_t size = 0;
  };

  static bool Unchanged(const Chunk& chunk, const FriendInfo* const* updates, size_t count,
                        size_t readable);

  explicit FriendTable(std::shared_ptr<const Data> data) : data_(std::move(data)) {}

  std::shared_ptr<const Data> data_;
};

}  // namespace msglogic

#endif  // MSGLOGIC_EVENTS_FRIEND_TABLE_H_
