// Room information: the host's records packed for the engine.
//
// Packed entry, little-endian, back to back from offset 0:
//   0 nValue1, 4 L1, 8 nValue2, 12 L2, 16 nValue3, 20 nValue4,
//   24 L1 bytes of szText1 in UTF-8, then L2 bytes of szText2 in UTF-8.
// The buffer handed to the engine is count x 176 bytes, zero after the last
// entry. An entry is at most 24 + 2 x 32 + 2 x 32 = 152 bytes, so the
// entries always fit.
#include <cstring>
#include <memory>
#include <new>

#include "agent/msg_logic_agent.h"
#include "events/checked_size.h"
#include "textcodec.h"

namespace msglogic {
namespace {

constexpr size_t kPackedRoomSize = 176;
constexpr size_t kRoomTextSize = sizeof(RoomInfo{}.szText1);
constexpr size_t kPackedHeaderSize = 24;
static_assert(kPackedHeaderSize + 4 * kRoomTextSize <= kPackedRoomSize,
              "a packed entry fits its share of the buffer");

void PutLE32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

// The text of a 32-byte field: up to its NUL, or all 32 bytes when it has
// none (nothing beyond the field is read).
int FieldLength(const char (&field)[kRoomTextSize]) {
  const void* nul = std::memchr(field, 0, kRoomTextSize);
  return static_cast<int>(nul != nullptr ? static_cast<const char*>(nul) - field
                                         : kRoomTextSize);
}

// Writes the entry of `room` at `out` (zero-filled, room for 152 bytes) and
// returns its length. The texts are converted straight into place: the
// codec writes at most 2 x 32 bytes for each.
size_t PackRoom(const RoomInfo& room, uint8_t* out) {
  char* text = reinterpret_cast<char*>(out + kPackedHeaderSize);
  const int l1 = GB2312ToUTF_8(text, room.szText1, FieldLength(room.szText1));
  const int l2 = GB2312ToUTF_8(text + l1, room.szText2, FieldLength(room.szText2));
  PutLE32(out + 0, static_cast<uint32_t>(room.nValue1));
  PutLE32(out + 4, static_cast<uint32_t>(l1));
  PutLE32(out + 8, static_cast<uint32_t>(room.nValue2));
  PutLE32(out + 12, static_cast<uint32_t>(l2));
  PutLE32(out + 16, static_cast<uint32_t>(room.nValue3));
  PutLE32(out + 20, static_cast<uint32_t>(room.nValue4));
  return kPackedHeaderSize + static_cast<size_t>(l1) + static_cast<size_t>(l2);
}

}  // namespace

// Host thread. Everything is packed before m_csMsgLogic is taken; the lock
// covers the engine call only. 0 once packed (whether or not there is an
// engine), -1 when not logged in or the buffer cannot be had.
int32_t CMsgLogicAgent::SendRoomInfo(uint32_t count, const RoomInfo* rooms) noexcept {
  if (!m_bEnable.load()) return -1;
  Call call(this);
  if (!call) return -1;
  try {
    size_t size;
    if (!CheckedMul(count, kPackedRoomSize, &size)) return -1;
    // One zero-filled buffer; a count of 0 still gets a valid pointer.
    std::unique_ptr<uint8_t[]> packed(new (std::nothrow) uint8_t[size != 0 ? size : 1]());
    if (packed == nullptr) return -1;
    size_t position = 0;
    for (uint32_t i = 0; i < count; ++i) position += PackRoom(rooms[i], packed.get() + position);

    LockHolder hold(&m_csMsgLogic);
    if (m_pMsgLogic != nullptr) m_pMsgLogic->SendRoomInfo(count, packed.get());
    return 0;
  } catch (...) {
    return -1;
  }
}

}  // namespace msglogic
