// The XMPP engine's handling of what a server sends: stanzas from the
// fuzzer's bytes fed to the engine's handlers (InboundSession, no network),
// after the session has just logged in as 10001@localhost with its IQ ids
// "t1" (roster), "t2" (the login's ping), "t3", ... so that inputs can answer
// them.
//
// Input: segments separated by NUL bytes. A segment starting with '!' is a
// call of the agent: "!L" GetFriendList, "!U<id>" RequestUserInfo, "!T<id>
// <text>" SendText of the GB2312 text (ids in decimal, negative ones too), "!R<name>|<name>..."
// SendRoomInfo of rooms with those first texts, packed as the agent packs
// them (the bytes as they come, UTF-8 or not; "!R" alone: no rooms). Any
// other segment is one stanza as XML text (one that does not parse is
// skipped).
//
// Checks, after every segment, on every sink call: user ids are never -1,
// and a negative one names a JID the engine knows; text records have their
// 20 zero bytes, type 1 and at most 32 KiB of text; notices carry their
// zero bytes and a terminated text; friend lists and updates decode whole
// (read in place, so AddressSanitizer catches any length that lies), hold
// no id twice, at most 2000 friends and UTF-8 texts; value lists match the
// friend list. Everything the engine writes parses back as one stanza.
#include <stddef.h>
#include <stdint.h>
#include <strophe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/quiet_sink.h"
#include "engine/records.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/xmpp_engine.h"
#include "fuzz/harness.h"

namespace {

using msglogic::fuzz::RefFriend;

bool ValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    if (c < 0x80) {
      extra = 0;
    } else if (c >= 0xc2 && c <= 0xdf) {
      extra = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2;
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

class CheckingSink final : public stand_in::testing::QuietSink {
 public:
  explicit CheckingSink(const xmpp_engine::InboundSession& session) : session_(session) {}

  int32_t OnUserText(int32_t user, const void* record) override {
    CheckUser(user);
    const auto* p = static_cast<const uint8_t*>(record);
    for (int i = 0; i < 20; ++i) FUZZ_CHECK(p[i] == 0);
    int32_t type;
    uint32_t length;
    std::memcpy(&type, p + 20, 4);
    std::memcpy(&length, p + 24, 4);
    FUZZ_CHECK_EQ(type, 1);
    FUZZ_CHECK(length <= 32u * 1024u);
    volatile uint8_t last = length > 0 ? p[28 + length - 1] : 0;  // read in place
    (void)last;
    return 0;
  }
  int32_t OnEventA(const void* record) override {
    const auto* p = static_cast<const uint8_t*>(record);
    int32_t user;
    std::memcpy(&user, p, 4);
    CheckUser(user);
    for (int i = 4; i < 22; ++i) FUZZ_CHECK(p[i] == 0);
    FUZZ_CHECK(std::strlen(reinterpret_cast<const char*>(p + 22)) < 4096);
    return 0;
  }
  int32_t OnUserInfo(const void* record) override {
    int32_t pair[2];
    std::memcpy(pair, record, sizeof pair);
    FUZZ_CHECK(pair[1] == 0 || pair[1] == 1);
    return 1;
  }
  int32_t OnFriendValues(const void* record) override {
    const auto* p = static_cast<const uint8_t*>(record);
    uint32_t count;
    std::memcpy(&count, p, 4);
    FUZZ_CHECK(count <= 2000);
    values_.clear();
    for (uint32_t i = 0; i < count; ++i) {
      int32_t id;
      int32_t value;
      std::memcpy(&id, p + 4 + 8 * i, 4);
      std::memcpy(&value, p + 8 + 8 * i, 4);
      FUZZ_CHECK_EQ(value, 1);
      CheckUser(id);
      FUZZ_CHECK(values_.insert(id).second);
    }
    return static_cast<int32_t>(count);
  }
  int32_t OnFriendList(const void* record) override {
    const auto* p = static_cast<const uint8_t*>(record);
    uint32_t count = 0;
    std::vector<RefFriend> friends;
    FUZZ_CHECK(msglogic::fuzz::RefReadFriendList(p, SIZE_MAX / 2, &count, &friends));
    FUZZ_CHECK(count <= 2000);
    std::set<int32_t> ids;
    for (const RefFriend& f : friends) {
      CheckFriend(f);
      FUZZ_CHECK(ids.insert(f.id).second);
      FUZZ_CHECK(values_.count(f.id) == 1);  // the value list came first
    }
    FUZZ_CHECK_EQ(ids.size(), values_.size());
    return 0;
  }
  int32_t OnFriendUpdate(const void* record) override {
    RefFriend f;
    FUZZ_CHECK(msglogic::fuzz::RefReadFriend(static_cast<const uint8_t*>(record), SIZE_MAX / 2, &f));
    CheckFriend(f);
    return 0;
  }

 private:
  void CheckUser(int32_t user) const {
    FUZZ_CHECK(user != -1);
    if (user < 0) FUZZ_CHECK(!session_.JidOf(user).empty());
  }
  void CheckFriend(const RefFriend& f) const {
    CheckUser(f.id);
    FUZZ_CHECK_EQ(f.value, 1);
    FUZZ_CHECK(f.status == 1 || f.status == 2 || f.status == 4 || f.status == 5);
    FUZZ_CHECK(ValidUtf8(f.name));
    FUZZ_CHECK(ValidUtf8(f.display_name));
    FUZZ_CHECK(ValidUtf8(f.long_text));
  }

  const xmpp_engine::InboundSession& session_;
  std::set<int32_t> values_;
};

int32_t NumberAt(const std::string& text, size_t at, size_t* end) {
  char* stop = nullptr;
  const long long value = std::strtoll(text.c_str() + at, &stop, 10);
  *end = static_cast<size_t>(stop - text.c_str());
  return static_cast<int32_t>(value);
}

// Everything the engine wrote parses back as one stanza.
void CheckSent(xmpp_ctx_t* ctx, const std::vector<std::string>& sent) {
  for (const std::string& xml : sent) {
    xmpp_stanza_t* stanza = xmpp_stanza_new_from_string(ctx, xml.c_str());
    if (stanza == nullptr) msglogic::fuzz::Fail(__FILE__, __LINE__, "not a stanza: " + xml);
    xmpp_stanza_release(stanza);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static xmpp_ctx_t* const parse_ctx = [] {
    xmpp_initialize();
    return xmpp_ctx_new(nullptr, nullptr);
  }();
  xmpp_engine::Config config;
  config.domain = "localhost";
  xmpp_engine::InboundSession session(config, "10001", /*predictable_ids=*/true);
  CheckingSink sink(session);
  CheckSent(parse_ctx, session.TakeSent());
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t begin = 0;
  while (begin <= input.size()) {
    size_t end = input.find('\0', begin);
    if (end == std::string::npos) end = input.size();
    const std::string segment = input.substr(begin, end - begin);
    begin = end + 1;
    if (segment.empty()) continue;
    if (segment[0] == '!') {
      size_t after = 0;
      if (segment.compare(0, 2, "!L") == 0) {
        session.GetFriendList();
      } else if (segment.compare(0, 2, "!U") == 0) {
        session.RequestUserInfo(NumberAt(segment, 2, &after));
      } else if (segment.compare(0, 2, "!R") == 0) {
        std::vector<stand_in::Room> rooms;
        for (size_t at = 2; at < segment.size();) {
          size_t bar = segment.find('|', at);
          if (bar == std::string::npos) bar = segment.size();
          stand_in::Room room;
          room.value1 = static_cast<int32_t>(rooms.size());
          room.text1 = segment.substr(at, std::min<size_t>(bar - at, 62));
          rooms.push_back(room);
          at = bar + 1;
        }
        const std::string packed = stand_in::PackRooms(rooms);
        session.SendRoomInfo(static_cast<uint32_t>(rooms.size()), packed.data());
      } else if (segment.compare(0, 2, "!T") == 0) {
        const int32_t user = NumberAt(segment, 2, &after);
        // The host's GB2312 text, as the engine object converts it.
        session.SendText(user, stand_in::ToUtf8(after < segment.size() ? segment.substr(after)
                                                                        : std::string()));
      }
    } else {
      session.Feed(segment);
    }
    CheckSent(parse_ctx, session.TakeSent());
    session.Deliver(&sink);
  }
  return 0;
}
