// The engine's records, as the agent reads them: flat, little-endian,
// unpadded byte strings. Also the one record the agent sends in (the packed
// room information) and the hex form of a saved login name.
#ifndef MSGLOGIC_ENGINE_RECORDS_H_
#define MSGLOGIC_ENGINE_RECORDS_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/scenario.h"

namespace stand_in {

// Fixed part of a friend record; the three texts follow it.
constexpr size_t kFriendHeaderSize = 47;
// The room buffer the agent sends holds count * kRoomSlotSize bytes.
constexpr size_t kRoomSlotSize = 176;

// One friend: ids and values, the lengths of the three UTF-8 texts, the
// status, then the name, display name and long text with no terminators.
std::string FriendRecord(const Person& person);
// uint32 count, then the records back to back.
std::string FriendList(const std::vector<const Person*>& friends);
// uint32 count, then (int32 user id, int32 value) pairs.
std::string FriendValues(const std::vector<std::pair<int32_t, int32_t>>& values);
// int32 user id, int32 value.
std::string UserInfoRecord(int32_t userId, int32_t value);
// int32 count, then (int32 id, uint8 kind, uint32 length, UTF-8 name).
std::string UserList(const std::vector<ListedUser>& users);
// 20 zero bytes, int32 type, uint32 length, the text's bytes.
std::string TextRecord(int32_t type, const std::string& bytes);
// int32 user id, 18 zero bytes, the text and a NUL.
std::string EventARecord(int32_t userId, const std::string& text);
// Three int32.
std::string EventDRecord(int32_t a, int32_t b, int32_t c);

// One room as the agent packs it: int32 v1, uint32 L1, int32 v2, uint32 L2,
// int32 v3, int32 v4, L1 bytes of text1, L2 bytes of text2 (UTF-8).
struct Room {
  int32_t value1 = 0;
  std::string text1;
  int32_t value2 = 0;
  std::string text2;
  int32_t value3 = 0;
  int32_t value4 = 0;
};
// Encodes rooms the way the agent does (for tests).
std::string PackRooms(const std::vector<Room>& rooms);
// Reads `count` rooms packed back to back in a buffer of count *
// kRoomSlotSize bytes. False when an entry runs past the buffer.
bool UnpackRooms(uint32_t count, const void* packed, std::vector<Room>* rooms);

// A scenario's or a server's UTF-8 text as the GBK bytes the agent passes
// chat texts in, and back (the project's codec: '?' for what has no form).
std::string ToGb(const std::string& utf8);
std::string ToUtf8(const std::string& gb);

// "0X" followed by upper- or lower-case hex digit pairs -> the bytes. False
// for anything else.
bool DecodeHexName(const std::string& hex, std::string* bytes);

}  // namespace stand_in

#endif  // MSGLOGIC_ENGINE_RECORDS_H_
