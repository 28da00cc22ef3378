// Engine records and expected host records, built byte by byte for tests.
// Nothing here uses the agent's decoders or its structure layouts: offsets
// are written out as the binary interface states them, so a test compares
// what the agent produced against an independent rendering.
#ifndef MSGLOGIC_TESTS_SUPPORT_RECORDS_H_
#define MSGLOGIC_TESTS_SUPPORT_RECORDS_H_

#include <stddef.h>
#include <stdint.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace msglogic {
namespace testing {

// Texts used across tests: the same characters in both encodings.
inline const std::string kZhongGb = "\xD6\xD0";        // 中
inline const std::string kZhongUtf8 = "\xE4\xB8\xAD";
inline const std::string kWenGb = "\xCE\xC4";          // 文
inline const std::string kWenUtf8 = "\xE6\x96\x87";

inline std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// A little-endian byte string under construction.
class Bytes {
 public:
  Bytes& U8(uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  Bytes& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  Bytes& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  Bytes& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
  Bytes& Text(const std::string& s) {
    b_.insert(b_.end(), s.begin(), s.end());
    return *this;
  }
  // Bytes the reader must not depend on: non-zero filler.
  Bytes& Fill(size_t n, uint8_t v = 0xA5) {
    b_.insert(b_.end(), n, v);
    return *this;
  }
  Bytes& Append(const Bytes& other) {
    b_.insert(b_.end(), other.b_.begin(), other.b_.end());
    return *this;
  }
  // Overwrites 4 bytes at `offset` (to forge a count or length).
  Bytes& PatchU32(size_t offset, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) b_.at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
    return *this;
  }

  const uint8_t* data() const { return b_.data(); }
  size_t size() const { return b_.size(); }
  // A heap copy of exactly size() bytes, so AddressSanitizer catches a read
  // past the end of the record.
  std::unique_ptr<uint8_t[]> Exact() const {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[b_.size() + (b_.empty() ? 1 : 0)]);
    if (!b_.empty()) std::memcpy(copy.get(), b_.data(), b_.size());
    return copy;
  }
  std::string str() const { return std::string(b_.begin(), b_.end()); }

 private:
  std::vector<uint8_t> b_;
};

// --- Friend directory ---

struct FriendSpec {
  int32_t id = 0;
  int32_t value = 0;
  int32_t info_a = 0;
  uint16_t info_b = 0;
  int32_t info_c = 0;
  uint8_t status = 0;
  std::string name;          // text1, UTF-8
  std::string display_name;  // text2
  std::string long_text;     // text3
};

// One engine friend record: 47-byte header, then the three texts.
inline Bytes FriendRecord(const FriendSpec& f) {
  Bytes b;
  b.I32(f.id).I32(f.value).I32(f.info_a).U16(f.info_b).Fill(6);
  b.U32(static_cast<uint32_t>(f.name.size()))
      .U32(static_cast<uint32_t>(f.display_name.size()))
      .Fill(2);
  b.I32(f.info_c).U32(static_cast<uint32_t>(f.long_text.size())).U8(f.status).Fill(8);
  return b.Text(f.name).Text(f.display_name).Text(f.long_text);
}

inline Bytes FriendList(const std::vector<FriendSpec>& friends) {
  Bytes b;
  b.U32(static_cast<uint32_t>(friends.size()));
  for (const FriendSpec& f : friends) b.Append(FriendRecord(f));
  return b;
}

inline Bytes ValueList(const std::vector<std::pair<int32_t, int32_t>>& pairs) {
  Bytes b;
  b.U32(static_cast<uint32_t>(pairs.size()));
  for (const auto& p : pairs) b.I32(p.first).I32(p.second);
  return b;
}

// The 359-byte record the host should get, texts already in GB2312.
inline std::string ExpectedFriend(const FriendSpec& f, const std::string& name_gb,
                                  const std::string& display_gb,
                                  const std::string& long_gb) {
  std::string r(359, '\0');
  auto put32 = [&r](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<char>(v >> (8 * i));
  };
  put32(0, static_cast<uint32_t>(f.id));
  put32(4, static_cast<uint32_t>(f.value));
  put32(8, static_cast<uint32_t>(f.info_a));
  r[12] = static_cast<char>(f.info_b & 0xFF);
  r[13] = static_cast<char>(f.info_b >> 8);
  r.replace(24, name_gb.size(), name_gb);
  r.replace(56, display_gb.size(), display_gb);
  put32(90, static_cast<uint32_t>(f.info_c));
  r.replace(94, long_gb.size(), long_gb);
  r[350] = static_cast<char>(f.status);
  return r;
}

// --- User events ---

struct UserSpec {
  int32_t id;
  uint8_t kind;
  std::string name;  // UTF-8
};

inline Bytes UserList(const std::vector<UserSpec>& users) {
  Bytes b;
  b.I32(static_cast<int32_t>(users.size()));
  for (const UserSpec& u : users) {
    b.I32(u.id).U8(u.kind).U32(static_cast<uint32_t>(u.name.size())).Text(u.name);
  }
  return b;
}

inline Bytes TextRecord(int32_t type, const std::string& text) {
  Bytes b;
  return b.Fill(20).I32(type).U32(static_cast<uint32_t>(text.size())).Text(text);
}

// --- Room information ---

// One 80-byte RoomInfo as a host lays it out; each text is padded with
// zeros to its 32-byte field (a 32-byte text leaves no NUL).
inline Bytes Room(int32_t v1, const std::string& text1, int32_t v2,
                  const std::string& text2, int32_t v3, int32_t v4) {
  Bytes b;
  b.I32(v1).Text(text1).Fill(32 - text1.size(), 0);
  b.I32(v2).Text(text2).Fill(32 - text2.size(), 0);
  return b.I32(v3).I32(v4);
}

// One packed entry as the engine should get it, texts already in UTF-8.
inline Bytes PackedRoom(int32_t v1, const std::string& utf1, int32_t v2,
                        const std::string& utf2, int32_t v3, int32_t v4) {
  Bytes b;
  b.I32(v1).U32(static_cast<uint32_t>(utf1.size()));
  b.I32(v2).U32(static_cast<uint32_t>(utf2.size()));
  return b.I32(v3).I32(v4).Text(utf1).Text(utf2);
}

// Bytes as hex, 16 to a line, for readable comparisons.
inline std::string Hex(const std::string& bytes) {
  std::string out;
  char cell[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(cell, sizeof cell, "%02X", static_cast<unsigned char>(bytes[i]));
    out += cell;
    out += (i % 16 == 15) ? '\n' : ' ';
  }
  return out;
}

}  // namespace testing
}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_SUPPORT_RECORDS_H_
