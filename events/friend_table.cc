#include "events/friend_table.h"

#include <algorithm>
#include <cstring>

namespace msglogic {
namespace {

uint32_t KeyOf(const FriendInfo* entry) { return static_cast<uint32_t>(entry->nUserId); }

// Asks the processor to fetch the bytes of `entry` into its caches.
void Prefetch(const FriendInfo* entry) {
  const char* bytes = reinterpret_cast<const char*>(entry);
  for (size_t at = 0; at < sizeof *entry; at += 64) __builtin_prefetch(bytes + at);
  __builtin_prefetch(bytes + sizeof *entry - 1);
}

}  // namespace

// Whether every one of the `count` updates (ascending) is an entry of
// `chunk` already, byte for byte: a list that changes nothing of a chunk
// leaves it shared rather than copied. The entries are fetched ahead as far
// as `readable` updates lie from `updates` on.
bool FriendTable::Unchanged(const Chunk& chunk, const FriendInfo* const* updates,
                            size_t count, size_t readable) {
  size_t k = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i + 8 < readable) Prefetch(updates[i + 8]);
    const uint32_t key = KeyOf(updates[i]);
    while (k < chunk.ids.size() && chunk.ids[k] < key) ++k;
    if (k + 4 < chunk.ids.size()) Prefetch(&chunk.entries[k + 4]);
    if (k == chunk.ids.size() || chunk.ids[k] != key ||
        std::memcmp(&chunk.entries[k], updates[i], sizeof(FriendInfo)) != 0) {
      return false;
    }
  }
  return true;
}

const FriendInfo* FriendTable::Find(int32_t id) const {
  if (data_ == nullptr) return nullptr;
  const uint32_t key = static_cast<uint32_t>(id);
  const std::vector<uint32_t>& first = data_->first;
  const auto next = std::upper_bound(first.begin(), first.end(), key);
  if (next == first.begin()) return nullptr;
  const Chunk& chunk = *data_->chunks[static_cast<size_t>(next - first.begin()) - 1];
  const auto at = std::lower_bound(chunk.ids.begin(), chunk.ids.end(), key);
  if (at == chunk.ids.end() || *at != key) return nullptr;
  return &chunk.entries[static_cast<size_t>(at - chunk.ids.begin())];
}

FriendTable FriendTable::With(const FriendInfo* const* updates, size_t count) const {
  if (count == 0) return *this;
  const Data empty;
  const Data& base = data_ != nullptr ? *data_ : empty;
  auto next = std::make_shared<Data>();
  const size_t most_chunks = base.chunks.size() + count / kChunkFill + 1;
  next->first.reserve(most_chunks);
  next->chunks.reserve(most_chunks);

  // Puts `m` entries, in ascending order, into chunks of at most kChunkMax:
  // one chunk when they fit, else evenly into chunks of about kChunkFill.
  auto emit = [&](const FriendInfo* const* entries, size_t m) {
    const size_t pieces = m <= kChunkMax ? 1 : (m + kChunkFill - 1) / kChunkFill;
    size_t done = 0;
    for (size_t piece = 0; piece < pieces; ++piece) {
      const size_t end = m * (piece + 1) / pieces;
      auto chunk = std::make_shared<Chunk>();
      chunk->ids.reserve(end - done);
      chunk->entries.reserve(end - done);
      for (size_t k = done; k < end; ++k) {
        if (k + 4 < m) Prefetch(entries[k + 4]);
        chunk->ids.push_back(KeyOf(entries[k]));
        chunk->entries.push_back(*entries[k]);
      }
      next->first.push_back(chunk->ids.front());
      next->chunks.push_back(std::move(chunk));
      done = end;
    }
    next->size += m;
  };

  std::vector<const FriendInfo*> merged;
  bool changed = base.chunks.empty();
  if (changed) emit(updates, count);
  size_t u = 0;
  for (size_t c = 0; c < base.chunks.size(); ++c) {
    // Chunk c takes the updates below the next chunk's first id (the first
    // chunk also those below its own, the last all the rest).
    size_t end = count;
    if (c + 1 < base.chunks.size()) {
      const uint32_t limit = base.first[c + 1];
      end = static_cast<size_t>(
          std::lower_bound(updates + u, updates + count, limit,
                           [](const FriendInfo* e, uint32_t key) { return KeyOf(e) < key; }) -
          updates);
    }
    const std::shared_ptr<const Chunk>& chunk = base.chunks[c];
    if (end != u && Unchanged(*chunk, updates + u, end - u, count - u)) u = end;
    if (end == u) {
      next->first.push_back(base.first[c]);
      next->chunks.push_back(chunk);
      next->size += chunk->entries.size();
      continue;
    }
    merged.clear();
    size_t k = 0;
    while (k < chunk->ids.size() || u < end) {
      if (u == end || (k < chunk->ids.size() && chunk->ids[k] < KeyOf(updates[u]))) {
        merged.push_back(&chunk->entries[k++]);
      } else {
        if (k < chunk->ids.size() && chunk->ids[k] == KeyOf(updates[u])) ++k;  // replaced
        merged.push_back(updates[u++]);
      }
    }
    emit(merged.data(), merged.size());
    changed = true;
  }
  if (!changed) return *this;
  return FriendTable(std::move(next));
}

bool FriendTable::WellFormed() const {
  if (data_ == nullptr) return true;
  if (data_->first.size() != data_->chunks.size()) return false;
  size_t total = 0;
  bool any = false;
  uint32_t last = 0;
  for (size_t c = 0; c < data_->chunks.size(); ++c) {
    const Chunk& chunk = *data_->chunks[c];
    const size_t n = chunk.entries.size();
    if (n == 0 || n > kChunkMax || chunk.ids.size() != n || chunk.ids[0] != data_->first[c]) {
      return false;
    }
    for (size_t k = 0; k < n; ++k) {
      if (chunk.ids[k] != KeyOf(&chunk.entries[k]) || (any && chunk.ids[k] <= last)) return false;
      last = chunk.ids[k];
      any = true;
    }
    total += n;
  }
  return total == data_->size;
}

}  // namespace msglogic
