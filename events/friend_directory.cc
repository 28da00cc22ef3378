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
#include <cstring>
#include <iterator>
#include <utility>
#include <memory>
#include <new>

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

// Whether `count` records lie back to back, whole, from the start of
// `records`.
bool FriendRecordsFit(RecordView records, uint32_t count) {
  size_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    FriendRecord record;
    if (!ReadFriendRecord(records, offset, &record) ||
        !CheckedAdd(offset, record.size, &offset)) {
      return false;
    }
  }
  return true;
}

// Converts the UTF-8 `text` (up to its first NUL) into the zero-filled
// GB2312 `field`, cut at a character boundary to at most size - 1 bytes, so
// the field stays NUL-terminated.
template <size_t kSize>
void ConvertText(char (&field)[kSize], const char* text, uint32_t length) {
  constexpr size_t kCap = kSize - 1;
  // The codec turns at most 4 input bytes into each output byte, so no
  // more than 4 x kCap bytes can be consumed, plus one character of at most
  // 4 bytes that decides whether the output is full: bytes beyond those
  // cannot change the result, and a long text costs no more than a short one.
  size_t n = length < 4 * kCap + 4 ? length : 4 * kCap + 4;
  if (const void* nul = std::memchr(text, 0, n)) {
    n = static_cast<size_t>(static_cast<const char*>(nul) - text);
  }
  UTF_8ToGB2312N(field, kCap, text, n);
}

// Fills `info` from `record`. In a list an empty display name takes the name.
void FillFriendInfo(const FriendRecord& record, bool in_list, FriendInfo* info) {
  std::memset(info, 0, sizeof *info);
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

// A record of a list: its user, its position in the list (which is also
// the entry of the host's array it is built in), and where it starts.
struct ListedRecord {
  uint32_t user;  // the user id as the caches order it (unsigned)
  uint32_t index;
  size_t offset;
};

// Sorts `count` records by user, keeping list order among records of the
// same user: a radix sort, one byte of the id per pass, through `scratch`
// (room for `count` records). Returns the array that holds the result.
const ListedRecord* SortByUser(ListedRecord* records, ListedRecord* scratch,
                               size_t count) {
  ListedRecord* from = records;
  ListedRecord* to = scratch;
  for (unsigned shift = 0; shift < 32; shift += 8) {
    size_t start[257] = {};
    for (size_t k = 0; k < count; ++k) ++start[((from[k].user >> shift) & 0xFF) + 1];
    for (size_t d = 0; d < 256; ++d) start[d + 1] += start[d];
    for (size_t k = 0; k < count; ++k) to[start[(from[k].user >> shift) & 0xFF]++] = from[k];
    std::swap(from, to);
  }
  return from;
}

// The first entry of `map` whose key is not less than `id`, looked for from
// `from`, an entry whose key is not greater than `id` (or the first entry):
// a few steps forward, else a search from the root.
template <typename Map>
typename Map::iterator SeekFrom(Map& map, typename Map::iterator from, int32_t id) {
  constexpr int kMaxSteps = 4;
  typename Map::iterator it = from;
  for (int step = 0; it != map.end() && map.key_comp()(it->first, id); ++step) {
    if (step == kMaxSteps) return map.lower_bound(id);
    ++it;
  }
  return it;
}

// Lists shorter than this are cached in list order: the upper levels of the
// maps stay in the processor's caches anyway.
constexpr uint32_t kSortedListMin = 64;

// Asks the processor to fetch the bytes of `info` into its caches.
constexpr uint32_t kPrefetchAhead = 2;
void Prefetch(const FriendInfo* info) {
  const char* bytes = reinterpret_cast<const char*>(info);
  for (size_t at = 0; at < sizeof *info; at += 64) __builtin_prefetch(bytes + at);
  __builtin_prefetch(bytes + sizeof *info - 1);
}

}  // namespace

// Engine thread. Each record is cached and, when the user has a value,
// passed on in `out` (list order, the rest of the `count` entries zero),
// with m_csFriend (and inside it m_csFriendValue) held for that one record
// only, so host commands and other events run between records. The records
// have been validated.
//
// Where the time goes. The texts are converted with no lock held, straight
// into the entries the host gets, so a host command never waits for a
// conversion. What remains under the locks is one update of each cache;
// in list order, which is no order of ids, each update descends both maps
// from the root and misses the processor's caches at almost every level
// (the list, its texts and the host's array push the maps out). So a long
// list is converted first, in list order, and then cached in ascending id
// order, each map walked from the previous user's entry, a step or two, as
// long as nothing cleared it in between (m_nFriendClears and
// m_nFriendValueClears). Finally the host's entries are compacted.
void CMsgLogicAgent::CacheFriendRecords(RecordView records, uint32_t count,
                                        FriendInfo* out) {
  std::unique_ptr<ListedRecord[]> listed;  // the records, then the sort's scratch
  std::unique_ptr<bool[]> has_value;
  size_t listed_size;
  if (count >= kSortedListMin && CheckedMul(count, 2, &listed_size)) {
    listed.reset(new (std::nothrow) ListedRecord[listed_size]);
    has_value.reset(new (std::nothrow) bool[count]());
  }
  if (listed == nullptr || has_value == nullptr) {
    // A short list, or no memory for the order: one record after the other.
    size_t offset = 0;
    size_t copied = 0;
    for (uint32_t i = 0; i < count; ++i) {
      FriendRecord record;
      if (!ReadFriendRecord(records, offset, &record)) break;
      offset += record.size;
      FriendInfo& entry = out[copied];
      FillFriendInfo(record, /*in_list=*/true, &entry);
      {
        LockHolder friends(&m_csFriend);
        FreshFriends();
        m_mapFriend[record.user_id] = entry;
        LockHolder values(&m_csFriendValue);
        FreshFriendValues();
        if (m_mapFriendValue.count(record.user_id) != 0) ++copied;
      }
    }
    std::memset(out + copied, 0, (count - copied) * sizeof *out);
    return;
  }

  uint32_t listed_count = 0;
  for (size_t offset = 0; listed_count < count; ++listed_count) {
    FriendRecord record;
    if (!ReadFriendRecord(records, offset, &record)) break;
    FillFriendInfo(record, /*in_list=*/true, &out[listed_count]);
    listed[listed_count] = {static_cast<uint32_t>(record.user_id), listed_count, offset};
    offset += record.size;
  }
  const ListedRecord* sorted = SortByUser(listed.get(), listed.get() + count, listed_count);

  // Kept from the previous record: the friend map's entry of the previous
  // user, and the value map's last entry not after that user (none: start
  // from the first).
  decltype(m_mapFriend)::iterator friend_at;
  decltype(m_mapFriendValue)::iterator value_at;
  bool friend_known = false;
  bool value_known = false;
  uint32_t friend_clears = 0;
  uint32_t value_clears = 0;
  for (uint32_t k = 0; k < listed_count; ++k) {
    // The entries are read in id order, all over the host's array: the
    // next one is fetched while this one is cached.
    if (k + kPrefetchAhead < listed_count) Prefetch(&out[sorted[k + kPrefetchAhead].index]);
    const FriendInfo& entry = out[sorted[k].index];
    const int32_t id = static_cast<int32_t>(sorted[k].user);
    {
      LockHolder friends(&m_csFriend);
      FreshFriends();
      auto it = friend_known && friend_clears == m_nFriendClears
                    ? SeekFrom(m_mapFriend, friend_at, id)
                    : m_mapFriend.lower_bound(id);
      if (it != m_mapFriend.end() && it->first == id) {
        it->second = entry;
      } else {
        it = m_mapFriend.emplace_hint(it, id, entry);
      }
      friend_at = it;
      friend_known = true;
      friend_clears = m_nFriendClears;

      LockHolder values(&m_csFriendValue);
      FreshFriendValues();
      auto v = value_clears == m_nFriendValueClears
                   ? SeekFrom(m_mapFriendValue,
                              value_known ? value_at : m_mapFriendValue.begin(), id)
                   : m_mapFriendValue.lower_bound(id);
      const bool found = v != m_mapFriendValue.end() && v->first == id;
      has_value[sorted[k].index] = found;
      value_known = found || v != m_mapFriendValue.begin();
      if (value_known) value_at = found ? v : std::prev(v);
      value_clears = m_nFriendValueClears;
    }
  }

  size_t copied = 0;
  for (uint32_t i = 0; i < listed_count; ++i) {
    if (!has_value[i]) continue;
    if (copied != i) std::memcpy(&out[copied], &out[i], sizeof *out);
    ++copied;
  }
  std::memset(out + copied, 0, (count - copied) * sizeof *out);
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
  if (!FriendRecordsFit(records, count)) return 0;
  size_t bytes;
  if (!CheckedMul(count, sizeof(FriendInfo), &bytes)) return 0;
  // Zero-filled, from operator new like every allocation of the agent.
  std::unique_ptr<FriendInfo[]> friends(new (std::nothrow) FriendInfo[count]());
  if (friends == nullptr) return 0;
  CacheFriendRecords(records, count, friends.get());
  if (HostCall callback{this}) callback->OnFriendList(1, friends.get());
  return 0;
}

// Engine thread: one user's details. The host gets the address of a
// variable holding the address of a copy taken under m_csFriend, so nothing
// can change the record while the host reads it. The display name is left
// as the engine sent it.
int32_t CMsgLogicAgent::OnFriendInfo(RecordView record) {
  FriendRecord decoded;
  if (!ReadFriendRecord(record, 0, &decoded)) return 0;
  FriendInfo copy;
  {
    LockHolder hold(&m_csFriend);
    FreshFriends();
    FriendInfo& info = m_mapFriend[decoded.user_id];
    FillFriendInfo(decoded, /*in_list=*/false, &info);
    copy = info;
  }
  if (HostCall callback{this}) {
    const FriendInfo* details = &copy;
    callback->OnUserData(copy.nUserId, 1, &details);
  }
  return 0;
}

// Engine thread: one friend record, handled in place as a list of one. The
// host gets one entry: the record when the user has a value, else zeros.
int32_t CMsgLogicAgent::OnFriendUpdate(RecordView record) {
  if (!FriendRecordsFit(record, 1)) return 0;
  FriendInfo entry[1] = {};
  CacheFriendRecords(record, 1, entry);
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
