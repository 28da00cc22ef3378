// User lists, texts and event A, decoded and passed to the host.
//
// User list: int32 count N (signed), then N entries back to back, each
//   0 int32 user id, 4 uint8 kind, 5 uint32 L, 9 L bytes of UTF-8 name.
// Text record: 20 int32 type, 24 uint32 L, 28 L bytes of text.
// Event A record: 0 int32 user id, 22 the text, NUL-terminated.
#include <cstring>
#include <memory>
#include <new>

#include "agent/msg_logic_agent.h"
#include "events/checked_size.h"
#include "textcodec.h"

namespace msglogic {
namespace {

constexpr size_t kUserEntryHeaderSize = 9;
constexpr size_t kTextHeaderSize = 28;
constexpr size_t kEventATextOffset = 22;

// Whether `count` user entries lie back to back, whole, from offset 4.
bool UserEntriesFit(RecordView list, size_t count) {
  size_t offset = 4;
  for (size_t i = 0; i < count; ++i) {
    size_t size;
    if (!list.Has(offset, kUserEntryHeaderSize) ||
        !CheckedAdd(kUserEntryHeaderSize, list.U32(offset + 5), &size) ||
        !list.Has(offset, size) || !CheckedAdd(offset, size, &offset)) {
      return false;
    }
  }
  return true;
}

// The array handed to the host, and the names its entries point to: the
// names are freed first, then the array.
struct UserArray {
  explicit UserArray(size_t count) : entries(new (std::nothrow) UserEntry[count]()) {}
  ~UserArray() {
    for (size_t i = 0; i < used; ++i) delete[] entries[i].pszName;
    delete[] entries;
  }
  UserArray(const UserArray&) = delete;
  UserArray& operator=(const UserArray&) = delete;

  UserEntry* const entries;
  size_t used = 0;
};

}  // namespace

// Engine thread. The host gets the kind-1 users, in order, with their names
// in GB2312; other kinds are skipped. A list with no entries (a count of 0
// or less) is not passed on; a list that does not hold its entries whole,
// or whose memory cannot be had, is dropped.
int32_t CMsgLogicAgent::OnUserList(RecordView list) {
  if (!list.Has(0, 4)) return 0;
  const int32_t signed_count = list.I32(0);
  if (signed_count <= 0) return 0;
  const size_t count = static_cast<size_t>(signed_count);
  size_t bytes;
  if (!UserEntriesFit(list, count) || !CheckedMul(count, sizeof(UserEntry), &bytes)) {
    return 0;
  }
  UserArray users(count);
  if (users.entries == nullptr) return 0;

  size_t offset = 4;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t kind = list.U8(offset + 4);
    const uint32_t length = list.U32(offset + 5);
    if (kind == 1) {
      // length + 1 fits: the entry's own size, 9 + length, did.
      char* name = new (std::nothrow) char[size_t{length} + 1]();
      if (name == nullptr) return 0;
      UTF_8ToGB2312N(name, length, list.Chars(offset + kUserEntryHeaderSize), length);
      users.entries[users.used].nUserId = list.I32(offset);
      users.entries[users.used].pszName = name;
      ++users.used;
    }
    offset += kUserEntryHeaderSize + length;
  }
  if (HostCall callback{this}) {
    callback->OnUserList(static_cast<int32_t>(users.used), users.entries);
  }
  return 0;
}

// Engine thread. Only type 1 is passed on: the text as the engine sent it
// (not converted), NUL-terminated; an empty one as a static empty string.
int32_t CMsgLogicAgent::OnUserText(int32_t userId, RecordView record) {
  static const char kEmpty[1] = {'\0'};
  if (!record.Has(0, kTextHeaderSize) || record.I32(20) != 1) return 0;
  const uint32_t length = record.U32(24);
  if (!record.Has(kTextHeaderSize, length)) return 0;
  if (length == 0) {
    if (HostCall callback{this}) callback->OnUserData(userId, 0, kEmpty);
    return 0;
  }
  size_t size;
  if (!CheckedAdd(length, 1, &size)) return 0;
  std::unique_ptr<char[]> text(new (std::nothrow) char[size]());
  if (text == nullptr) return 0;
  std::memcpy(text.get(), record.Chars(kTextHeaderSize), length);
  if (HostCall callback{this}) callback->OnUserData(userId, 0, text.get());
  return 0;
}

// Engine thread. The host gets a pointer into the record itself, so in a
// bounded view the text must end inside the record: the host reads it up
// to its NUL.
int32_t CMsgLogicAgent::OnEventA(RecordView record) {
  if (!record.Has(0, kEventATextOffset)) return 0;
  if (record.bounded() &&
      std::memchr(record.Chars(kEventATextOffset), 0,
                  record.size() - kEventATextOffset) == nullptr) {
    return 0;
  }
  if (HostCall callback{this}) {
    callback->OnEventA(record.I32(0), record.Chars(kEventATextOffset));
  }
  return 0;
}

}  // namespace msglogic
