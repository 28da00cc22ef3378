#include "engine/records.h"

#include <cstring>

#include "textcodec.h"

namespace stand_in {
namespace {

void PutU8(std::string* out, uint8_t v) { out->push_back(static_cast<char>(v)); }

void PutU16(std::string* out, uint16_t v) {
  PutU8(out, static_cast<uint8_t>(v));
  PutU8(out, static_cast<uint8_t>(v >> 8));
}

void PutU32(std::string* out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) PutU8(out, static_cast<uint8_t>(v >> shift));
}

void PutI32(std::string* out, int32_t v) { PutU32(out, static_cast<uint32_t>(v)); }

void PutZeros(std::string* out, size_t n) { out->append(n, '\0'); }

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string FriendRecord(const Person& person) {
  std::string out;
  out.reserve(kFriendHeaderSize + person.name.size() + person.display_name.size() +
              person.long_text.size());
  PutI32(&out, person.id);                                         // 0
  PutI32(&out, person.value);                                      // 4
  PutI32(&out, person.info_a);                                     // 8
  PutU16(&out, person.info_b);                                     // 12
  PutZeros(&out, 6);                                               // 14
  PutU32(&out, static_cast<uint32_t>(person.name.size()));         // 20
  PutU32(&out, static_cast<uint32_t>(person.display_name.size())); // 24
  PutZeros(&out, 2);                                               // 28
  PutI32(&out, person.info_c);                                     // 30
  PutU32(&out, static_cast<uint32_t>(person.long_text.size()));    // 34
  PutU8(&out, person.status);                                      // 38
  PutZeros(&out, 8);                                               // 39
  out += person.name;                                              // 47
  out += person.display_name;
  out += person.long_text;
  return out;
}

std::string FriendList(const std::vector<const Person*>& friends) {
  std::string out;
  PutU32(&out, static_cast<uint32_t>(friends.size()));
  for (const Person* person : friends) out += FriendRecord(*person);
  return out;
}

std::string FriendValues(const std::vector<std::pair<int32_t, int32_t>>& values) {
  std::string out;
  PutU32(&out, static_cast<uint32_t>(values.size()));
  for (const auto& entry : values) {
    PutI32(&out, entry.first);
    PutI32(&out, entry.second);
  }
  return out;
}

std::string UserInfoRecord(int32_t userId, int32_t value) {
  std::string out;
  PutI32(&out, userId);
  PutI32(&out, value);
  return out;
}

std::string UserList(const std::vector<ListedUser>& users) {
  std::string out;
  PutI32(&out, static_cast<int32_t>(users.size()));
  for (const ListedUser& user : users) {
    PutI32(&out, user.id);
    PutU8(&out, user.kind);
    PutU32(&out, static_cast<uint32_t>(user.name.size()));
    out += user.name;
  }
  return out;
}

std::string TextRecord(int32_t type, const std::string& bytes) {
  std::string out;
  PutZeros(&out, 20);
  PutI32(&out, type);
  PutU32(&out, static_cast<uint32_t>(bytes.size()));
  out += bytes;
  return out;
}

std::string EventARecord(int32_t userId, const std::string& text) {
  std::string out;
  PutI32(&out, userId);
  PutZeros(&out, 18);
  out += text;
  out.push_back('\0');
  return out;
}

std::string EventDRecord(int32_t a, int32_t b, int32_t c) {
  std::string out;
  PutI32(&out, a);
  PutI32(&out, b);
  PutI32(&out, c);
  return out;
}

std::string PackRooms(const std::vector<Room>& rooms) {
  std::string out;
  for (const Room& room : rooms) {
    PutI32(&out, room.value1);
    PutU32(&out, static_cast<uint32_t>(room.text1.size()));
    PutI32(&out, room.value2);
    PutU32(&out, static_cast<uint32_t>(room.text2.size()));
    PutI32(&out, room.value3);
    PutI32(&out, room.value4);
    out += room.text1;
    out += room.text2;
  }
  out.resize(rooms.size() * kRoomSlotSize, '\0');
  return out;
}

bool UnpackRooms(uint32_t count, const void* packed, std::vector<Room>* rooms) {
  rooms->clear();
  if (count == 0) return true;
  if (packed == nullptr || count > 100000) return false;
  const auto* p = static_cast<const uint8_t*>(packed);
  const size_t size = static_cast<size_t>(count) * kRoomSlotSize;
  size_t at = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - at < 24) return false;
    Room room;
    room.value1 = GetI32(p + at);
    const uint32_t len1 = GetU32(p + at + 4);
    room.value2 = GetI32(p + at + 8);
    const uint32_t len2 = GetU32(p + at + 12);
    room.value3 = GetI32(p + at + 16);
    room.value4 = GetI32(p + at + 20);
    at += 24;
    if (len1 > size - at || len2 > size - at - len1) return false;
    room.text1.assign(reinterpret_cast<const char*>(p + at), len1);
    room.text2.assign(reinterpret_cast<const char*>(p + at + len1), len2);
    at += len1 + len2;
    rooms->push_back(std::move(room));
  }
  return true;
}

bool DecodeHexName(const std::string& hex, std::string* bytes) {
  if (hex.size() < 2 || hex[0] != '0' || (hex[1] != 'X' && hex[1] != 'x') || hex.size() % 2 != 0) {
    return false;
  }
  bytes->clear();
  for (size_t i = 2; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high << 4 | low));
  }
  return true;
}

std::string ToGb(const std::string& utf8) {
  std::string gb(utf8.size(), '\0');
  gb.resize(UTF_8ToGB2312N(&gb[0], gb.size(), utf8.data(), utf8.size()));
  return gb;
}

std::string ToUtf8(const std::string& gb) {
  std::string utf8(gb.size() * 2, '\0');
  utf8.resize(GB2312ToUTF_8N(&utf8[0], utf8.size(), gb.data(), gb.size()));
  return utf8;
}

}  // namespace stand_in
