// The friend directory: friend records cached and relayed to the host.
//
// Engine friend record (flat, little-endian, unpadded):
//    0 int32 user id         4 int32 user value      8 int32 nInfoA
//   12 uint16 wInfoB        20 uint32 L1            24 uint32 L2
//   30 int32 nInfoC         34 uint32 L3            38 uint8 status
//   47 L1 bytes of name, L2 bytes of display name, L3 bytes of long text,
//      all UTF-8.
// Bytes 14-19, 28-29 and 39-46 are not read. A friend list is a uint32
// count followed by that many records back to back; a value list is a
// uint32 count followed by that many (int32 user id, int32 value) pairs.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "agent/msg_logic_agent.h"
#include "events/checked_size.h"
#include "textcodec.h"

namespace msglogic {
namespace {

constexpr size_t kFriendHeaderSize = 47;

// One friend record as read from a view: the fixed fields, and the texts as
// pointers into the record.
struct FriendRecord {
  int32_t user_id;
  int32_t user_value;
  int32_t info_a;
  uint16_t info_b;
  int32_t info_c;
  uint8_t status;
  const char* name;
  uint32_t name_length;
  const char* display_name;
  uint32_t display_name_length;
  const char* long_text;
  uint32_t long_text_length;
  size_t size;  // 47 + L1 + L2 + L3
};

// Reads the record at `offset` of `view`. False when its header or its texts
// do not lie whole inside the view, or its length does not fit size_t.
bool ReadFriendRecord(RecordView view, size_t offset, FriendRecord* record) {
  if (!view.Has(offset, kFriendHeaderSize)) return false;
  const uint32_t l1 = view.U32(offset + 20);
  const uint32_t l2 = view.U32(offset + 24);
  const uint32_t l3 = view.U32(offset + 34);
  size_t size;
  if (!CheckedAdd(kFriendHeaderSize, l1, &size) || !CheckedAdd(size, l2, &size) ||
      !CheckedAdd(size, l3, &size) || !view.Has(offset, size)) {
    return false;
  }
  record->user_id = view.I32(offset + 0);
  record->user_value = view.I32(offset + 4);
  record->info_a = view.I32(offset + 8);
  record->info_b = view.U16(offset + 12);
  record->info_c = view.I32(offset + 30);
  record->status = view.U8(offset + 38);
  record->name = view.Chars(offset + kFriendHeaderSize);
  record->name_length = l1;
  record->display_name = record->name + l1;
  record->display_name_length = l2;
  record->long_text = record->display_name + l2;
  record->long_text_length = l3;
  record->size = size;
  return true;
}

// Records are read one after the other, and each header tells where the
// next begins, so the processor cannot fetch ahead on its own. A reader asks
// for every line up to kAhead bytes beyond the record it reads (a hint,
// never a read: the addresses may lie past the list).
class ReadAhead {
 public:
  explicit ReadAhead(RecordView records)
      : base_(reinterpret_cast<uintptr_t>(records.Chars(0))), next_(base_) {}
  void At(size_t offset) {
    const uintptr_t until = base_ + offset + kAhead;
    for (; next_ < until; next_ += 64) __builtin_prefetch(reinterpret_cast<const void*>(next_));
  }

 private:
  static constexpr uintptr_t kAhead = 2048;
  const uintptr_t base_;
  uintptr_t next_;
};

// Whether `count` records lie back to back, whole, from the start of
// `records`.
bool FriendRecordsFit(RecordView records, uint32_t count) {
  size_t offset = 0;
  ReadAhead ahead(records);
  for (uint32_t i = 0; i < count; ++i) {
    ahead.At(offset);
    FriendRecord record;
    if (!ReadFriendRecord(records, offset, &record) ||
        !CheckedAdd(offset, record.size, &offset)) {
      return false;
    }
  }
  return true;
}

// Converts the UTF-8 `text` (up to its first NUL) into the GB2312 `field`,
// cut at a character boundary to at most size - 1 bytes, and zeroes the rest
// of the field, so it stays NUL-terminated.
template <size_t kSize>
void ConvertText(char (&field)[kSize], const char* text, uint32_t length) {
  constexpr size_t kCap = kSize - 1;
  // The codec turns at most 4 input bytes into each output byte, so no
  // more than 4 x kCap bytes can be consumed, plus one character of at most
  // 4 bytes that decides whether the output is full: bytes beyond those
  // cannot change the result, and a long text costs no more than a short one.
  const size_t n = length < 4 * kCap + 4 ? length : 4 * kCap + 4;
  const size_t written = UTF_8ToGB2312NUntilNul(field, kCap, text, n);
  std::memset(field + written, 0, kSize - written);
}

// Fills `info` from `record`. In a list an empty display name takes the name.
void FillFriendInfo(const FriendRecord& record, bool in_list, FriendInfo* info) {
  // Every byte is written once: the fields below, the texts with their
  // zero tails, and the reserved bytes.
  static_assert(sizeof info->nUserId + sizeof info->nUserValue + sizeof info->nInfoA +
                        sizeof info->wInfoB + sizeof info->byReserved1 + sizeof info->szName +
                        sizeof info->szDisplayName + sizeof info->nInfoC +
                        sizeof info->szLongText + sizeof info->byStatus +
                        sizeof info->byReserved2 ==
                    sizeof *info,
                "FillFriendInfo writes every field");
  std::memset(info->byReserved1, 0, sizeof info->byReserved1);
  std::memset(info->byReserved2, 0, sizeof info->byReserved2);
  info->nUserId = record.user_id;
  info->nUserValue = record.user_value;
  info->nInfoA = record.info_a;
  info->wInfoB = record.info_b;
  info->nInfoC = record.info_c;
  info->byStatus = record.status;
  ConvertText(info->szName, record.name, record.name_length);
  ConvertText(info->szLongText, record.long_text, record.long_text_length);
  ConvertText(info->szDisplayName, record.display_name, record.display_name_length);
  static_assert(sizeof info->szName < sizeof info->szDisplayName,
                "a name fits the display name with its NUL");
  if (in_list && info->szDisplayName[0] == '\0') {
    std::memcpy(info->szDisplayName, info->szName, sizeof info->szName);
  }
}

// A record of a list: its user, and its position in the list (which is also
// the entry of the host's array it is built in).
struct ListedRecord {
  uint32_t user;  // the user id as the caches order it (unsigned)
  uint32_t index;
};

// Sorts `count` records by user, keeping list order among records of the
// same user, through `scratch` (room for `count` records): short lists by
// insertion, long ones by radix, one byte of the id per pass (none for a
// byte all ids share). Returns the array that holds the result.
const ListedRecord* SortByUser(ListedRecord* records, ListedRecord* scratch,
                               size_t count) {
  if (count < 32) {
    for (size_t k = 1; k < count; ++k) {
      const ListedRecord r = records[k];
      size_t j = k;
      for (; j > 0 && records[j - 1].user > r.user; --j) records[j] = records[j - 1];
      records[j] = r;
    }
    return records;
  }
  ListedRecord* from = records;
  ListedRecord* to = scratch;
  for (unsigned shift = 0; shift < 32; shift += 8) {
    size_t start[257] = {};
    for (size_t k = 0; k < count; ++k) ++start[((from[k].user >> shift) & 0xFF) + 1];
    // A byte all ids share (ids tend to lie close together) orders nothing.
    if (std::find(start + 1, start + 257, count) != start + 257) continue;
    for (size_t d = 0; d < 256; ++d) start[d + 1] += start[d];
    for (size_t k = 0; k < count; ++k) to[start[(from[k].user >> shift) & 0xFF]++] = from[k];
    std::swap(from, to);
  }
  return from;
}

}  // namespace

// Engine thread. Every record is cached and, when its user has a value,
// passed on in `out` (list order, the rest of the `count` entries zero).
// Nothing is cached when a record does not lie whole (then false).
//
// A host command must never wait for a list, so nothing of it is done under
// m_csFriend but the swap of one table for another:
//  1. the texts are converted with no lock held, in list order, straight
//     into the entries the host gets;
//  2. the records are sorted by user and tested for a value in that order,
//     under m_csFriendValue alone;
//  3. the new friend table is built from the published one and the last
//     record of each user (a sequential merge, no lock held) and swapped in
//     under m_csFriend (PublishFriends);
//  4. the host's entries are compacted.
// So a host command that runs meanwhile finds the table as it was before the
// list or as it is after it, never half of it.
bool CMsgLogicAgent::CacheFriendRecords(RecordView records, uint32_t count,
                                        FriendInfo* out) {
  std::vector<ListedRecord> listed(size_t{count} * 2);  // the records, then the sort's scratch
  std::vector<uint8_t> has_value(count, 0);
  uint32_t listed_count = 0;
  ReadAhead ahead(records);
  for (size_t offset = 0; listed_count < count; ++listed_count) {
    ahead.At(offset);
    FriendRecord record;
    if (!ReadFriendRecord(records, offset, &record)) break;
    FillFriendInfo(record, /*in_list=*/true, &out[listed_count]);
    listed[listed_count] = {static_cast<uint32_t>(record.user_id), listed_count};
    offset += record.size;
  }
  if (listed_count != count) return false;
  const ListedRecord* sorted = SortByUser(listed.data(), listed.data() + count, listed_count);

  {
    // The users with a value, in order, are kept aside and rebuilt only
    // when the value map has gained users since (values change rarely,
    // lists often): then the test is a merge of two ascending sequences.
    LockHolder values(&m_csFriendValue);
    FreshFriendValues();
    if (m_nValueUsersClears != m_nFriendValueClears ||
        m_vecValueUsers.size() != m_mapFriendValue.size()) {
      m_vecValueUsers.clear();
      m_vecValueUsers.reserve(m_mapFriendValue.size());
      for (const auto& v : m_mapFriendValue) m_vecValueUsers.push_back(static_cast<uint32_t>(v.first));
      m_nValueUsersClears = m_nFriendValueClears;
    }
    size_t v = 0;
    for (uint32_t k = 0; k < listed_count; ++k) {
      while (v < m_vecValueUsers.size() && m_vecValueUsers[v] < sorted[k].user) ++v;
      has_value[sorted[k].index] = v < m_vecValueUsers.size() && m_vecValueUsers[v] == sorted[k].user;
    }
  }

  // Of several records of one user the last in the list is cached.
  std::vector<const FriendInfo*> latest;
  latest.reserve(listed_count);
  for (uint32_t k = 0; k < listed_count; ++k) {
    if (k + 1 < listed_count && sorted[k + 1].user == sorted[k].user) continue;
    latest.push_back(&out[sorted[k].index]);
  }
  PublishFriends(latest.data(), latest.size());

  size_t copied = 0;
  for (uint32_t i = 0; i < listed_count; ++i) {
    if (!has_value[i]) continue;
    if (copied != i) std::memcpy(&out[copied], &out[i], sizeof *out);
    ++copied;
  }
  std::memset(out + copied, 0, (count - copied) * sizeof *out);
  return true;
}

void CMsgLogicAgent::PublishFriends(const FriendInfo* const* entries, size_t count) {
  if (count == 0) return;
  for (int attempt = 0; attempt < 2; ++attempt) {
    FriendTable base;
    {
      LockHolder hold(&m_csFriend);
      FreshFriends();
      base = m_mapFriend;
    }
    FriendTable next = base.With(entries, count);
    if (next.SameAs(base)) return;  // nothing changed: nothing to swap in
    // Declared before the hold, so the table swapped out (`next` after the
    // swap) is freed after m_csFriend is left.
    LockHolder hold(&m_csFriend);
    FreshFriends();
    if (m_mapFriend.SameAs(base)) {
      m_mapFriend.swap(next);
      return;
    }
  }
  FriendTable previous;
  LockHolder hold(&m_csFriend);
  FreshFriends();
  FriendTable next = m_mapFriend.With(entries, count);
  m_mapFriend.swap(next);
  previous.swap(next);
}

// Engine thread: the answer to GetFriendList. The host gets every cached
// record whose user has a value, first in an array as long as the list,
// the rest zero; an empty list as (0, null). A list that does not hold its
// records whole, or whose array cannot be had, is dropped.
int32_t CMsgLogicAgent::OnFriendList(RecordView list) {
  if (!list.Has(0, 4)) return 0;
  const uint32_t count = list.U32(0);
  if (count == 0) {
    if (HostCall callback{this}) callback->OnFriendList(0, nullptr);
    return 0;
  }
  if (!list.Has(4, 0)) return 0;
  const RecordView records = list.From(4);
  // A list of known size (tests, fuzzers) is checked whole before an array
  // is had for its count. An unbounded one (the engine's) cannot end early,
  // but for a record that would run past the end of memory: its records are
  // read once, as they are cached, which drops the list in that case.
  if (records.bounded() && !FriendRecordsFit(records, count)) return 0;
  size_t bytes;
  if (!CheckedMul(count, sizeof(FriendInfo), &bytes)) return 0;
  // From operator new like every allocation of the agent. Every entry is
  // written: each record's is filled from zero, the rest are zeroed.
  std::unique_ptr<FriendInfo[]> friends(new (std::nothrow) FriendInfo[count]);
  if (friends == nullptr) return 0;
  if (!CacheFriendRecords(records, count, friends.get())) return 0;
  if (HostCall callback{this}) callback->OnFriendList(1, friends.get());
  return 0;
}

// Engine thread: one user's details. The host gets the address of a
// variable holding the address of the record as it was cached: a copy of
// its own, so nothing can change it while the host reads it. The display
// name is left as the engine sent it.
int32_t CMsgLogicAgent::OnFriendInfo(RecordView record) {
  FriendRecord decoded;
  if (!ReadFriendRecord(record, 0, &decoded)) return 0;
  FriendInfo copy;
  FillFriendInfo(decoded, /*in_list=*/false, &copy);
  const FriendInfo* entry = &copy;
  PublishFriends(&entry, 1);
  if (HostCall callback{this}) {
    const FriendInfo* details = &copy;
    callback->OnUserData(copy.nUserId, 1, &details);
  }
  return 0;
}

// Engine thread: one friend record, handled in place as a list of one. The
// host gets one entry: the record when the user has a value, else zeros.
int32_t CMsgLogicAgent::OnFriendUpdate(RecordView record) {
  FriendInfo entry[1] = {};
  if (!CacheFriendRecords(record, 1, entry)) return 0;
  if (HostCall callback{this}) callback->OnFriendList(1, entry);
  return 0;
}

// Engine thread. Stores each (user id, value) pair in order, one hold of
// m_csFriendValue per pair. Returns the count, also when a bounded list
// does not hold its pairs (then nothing is stored).
int32_t CMsgLogicAgent::OnFriendValues(RecordView list) {
  if (!list.Has(0, 4)) return 0;
  const uint32_t count = list.U32(0);
  size_t bytes;
  if (!CheckedMul(count, 8, &bytes) || !list.Has(4, bytes)) {
    return static_cast<int32_t>(count);
  }
  for (uint32_t i = 0; i < count; ++i) {
    const size_t offset = 4 + size_t{8} * i;
    LockHolder hold(&m_csFriendValue);
    FreshFriendValues();
    m_mapFriendValue[list.I32(offset)] = list.I32(offset + 4);
  }
  return static_cast<int32_t>(count);
}

}  // namespace msglogic
