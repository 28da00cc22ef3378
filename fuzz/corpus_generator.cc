// Writes the seed corpus of every fuzz target: small valid records built
// with the tests' byte-level builders, one file each, under
// <dir>/<target>/. With --check it writes nothing and fails when a file in
// <dir> differs from what it would write, so the committed seeds stay the
// generator's.
//
//   fuzz_corpus_generator [--check] DIR
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/records.h"

namespace t = msglogic::testing;
namespace fs = std::filesystem;

namespace {

struct Seed {
  std::string target;
  std::string name;
  std::string bytes;
};

// A string literal with every byte, NULs included.
#define BYTES(literal) std::string(literal, sizeof(literal) - 1)

std::string Le32(uint32_t v) { return t::Bytes().U32(v).str(); }

std::string RoomBytes(int32_t v1, const std::string& text1, int32_t v2, const std::string& text2) {
  return t::Room(v1, text1, v2, text2, v1 + 1, v2 + 1).str();
}

std::vector<Seed> Seeds() {
  const t::FriendSpec ann{1, 10, 100, 0x1234, 1000, 1, "ann", "Ann " + t::kZhongUtf8, "about ann"};
  const t::FriendSpec bo{2, -20, -200, 0xFFFF, -2000, 2, t::kZhongUtf8 + t::kWenUtf8, "", t::kWenUtf8};
  const t::FriendSpec cy{3, 7, 0, 0, 0, 3, "cy", "C", ""};
  std::vector<Seed> s;
  auto add = [&s](const char* target, const char* name, const std::string& bytes) {
    s.push_back({target, name, bytes});
  };

  add("friend_list", "list-three", BYTES("\x00") + t::FriendList({ann, bo, cy}).str());
  add("friend_list", "list-three-values", BYTES("\x04") + t::FriendList({ann, bo, cy}).str());
  add("friend_list", "list-empty", BYTES("\x00") + t::FriendList({}).str());
  add("friend_list", "update", BYTES("\x05") + t::FriendRecord(ann).str());
  add("friend_list", "info", BYTES("\x02") + t::FriendRecord(bo).str());

  add("value_list", "three", t::ValueList({{1, 10}, {2, 20}, {1, 11}}).str());
  add("value_list", "empty", t::ValueList({}).str());

  add("user_list", "mixed", t::UserList({{1, 1, "ann"}, {2, 0, "bo"}, {3, 1, t::kZhongUtf8}}).str());
  add("user_list", "one", t::UserList({{9, 1, ""}}).str());

  add("text_record", "hello", t::TextRecord(1, "hello").str());
  add("text_record", "empty", t::TextRecord(1, "").str());
  add("text_record", "other-type", t::TextRecord(2, "x").str());

  add("event_record", "a", BYTES("\x00") + t::Bytes().I32(5).Fill(18).Text("note").U8(0).str());
  add("event_record", "d", "\x01" + t::Bytes().I32(1).I32(-2).I32(3).str());
  add("event_record", "b", "\x02" + Le32(77));
  add("event_record", "c", BYTES("\x03"));

  add("user_info", "user-and-self", t::Bytes().I32(7).I32(77).I32(1000).str());
  add("user_info", "user-only", t::Bytes().I32(1).I32(-1).str());

  const std::string login =
      "[loginInfo]\r\nid1=100\r\nflag1=1\r\nid2=200\r\nflag2=0\r\nname2=" + t::kZhongGb + "\r\n";
  add("ini", "by-id", BYTES("\x21\x00\x00\x00\x00") + login);
  add("ini", "by-name", BYTES("\x13\x05\x00\x00\x00") + login);
  add("ini", "refused", BYTES("\x03\x00\x00\x00\x00") + login);
  add("ini", "spaces", BYTES("\x31\x00\x00\x00\x00") +
                           "; saved logins\n[ loginInfo ]\n id1 = \"100\" \nflag1= 1\n[other]\nid1=5\n");

  add("room_pack", "two", "\x02" + RoomBytes(1, "hall", 2, t::kZhongGb) + RoomBytes(-1, "", 0, t::kWenGb));
  add("room_pack", "none", BYTES("\x00"));
  add("room_pack", "full-fields", "\x01" + RoomBytes(3, t::Repeat(t::kZhongGb, 16), 4, t::Repeat("x", 32)));

  add("codec", "gb-to-utf8", BYTES("\x00\x10\x00") + "a" + t::kZhongGb + t::kWenGb + "\x80\x81");
  add("codec", "utf8-to-gb", BYTES("\x01\x05\x00") + "a" + t::kZhongUtf8 + t::kWenUtf8 + "\xF0\x9F\x98\x80");

  // Stateful: sequences of operations (see stateful_fuzzer.cc for codes).
  const std::string connect = BYTES("\x0B\x00");                         // Connect(100) by id
  const std::string values = BYTES("\x00\x02\x01\x05\x02\x06");          // values for users 2 and 3
  const std::string list = BYTES("\x01\x02") + "\x01\x07\x03" "ann" + "\x0A\x08\x02" "bo";
  const std::string text = "\x0C\x04\x01";                        // SendText to user 5
  const std::string answer = "\x08\x04\x09";                      // OnUserInfo(5, 9)
  const std::string loss = "\x0A";
  const std::string wait = "\x10\xFF";                            // 63.75 s pass
  add("stateful", "login-friends-texts", connect + values + list + text + answer + "\x0D\x01");
  add("stateful", "loss-resets", connect + list + text + loss + text + BYTES("\x0B\x00") + answer);
  add("stateful", "silence", connect + text + wait + BYTES("\x0B\x00") + "\x09" + wait);
  add("stateful", "reconnect-in-callback", BYTES("\x13\x01") + connect + text + loss + answer);
  add("stateful", "release-recreate", connect + text + "\x11" + connect + answer + BYTES("\x0F\x02\x01\x00\x00\x00\x02\x00\x00\x00"));
  return s;
}

bool ReadFile(const fs::path& path, std::string* out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  out->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
  if (argc != 2 && !check) {
    std::fprintf(stderr, "usage: %s [--check] DIR\n", argv[0]);
    return 2;
  }
  const fs::path root(argv[argc - 1]);
  int mismatches = 0;
  for (const Seed& seed : Seeds()) {
    const fs::path path = root / seed.target / ("seed-" + seed.name);
    if (check) {
      std::string bytes;
      if (!ReadFile(path, &bytes) || bytes != seed.bytes) {
        std::fprintf(stderr, "%s: differs from the generator's seed\n", path.string().c_str());
        ++mismatches;
      }
      continue;
    }
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(seed.bytes.data(), static_cast<std::streamsize>(seed.bytes.size()));
  }
  return mismatches == 0 ? 0 : 1;
}
