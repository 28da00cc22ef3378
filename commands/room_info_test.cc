// SendRoomInfo: the host's 80-byte records packed for the engine, compared
// byte for byte over the whole count x 176 bytes the engine may read.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/agent_fixture.h"
#include "tests/support/records.h"

namespace msglogic {
namespace testing {
namespace {

class RoomInfoTest : public AgentTest {
 protected:
  void SetUp() override { ConnectOk(); }

  // Sends `rooms` from an exact-size heap array; returns the bytes the
  // engine got.
  std::string Send(const std::vector<Bytes>& rooms) {
    std::unique_ptr<RoomInfo[]> array(new RoomInfo[rooms.size() + (rooms.empty() ? 1 : 0)]);
    for (size_t i = 0; i < rooms.size(); ++i) {
      EXPECT_EQ(rooms[i].size(), 80u);
      std::memcpy(&array[i], rooms[i].data(), 80);
    }
    engines.Clear();
    EXPECT_EQ(agent->SendRoomInfo(static_cast<uint32_t>(rooms.size()), array.get()), 0);
    auto calls = engines.Calls(kSendRoomInfo);
    EXPECT_EQ(calls.size(), 1u);
    if (calls.empty()) return "(not sent)";
    EXPECT_EQ(calls[0].args, (std::vector<int64_t>{static_cast<int64_t>(rooms.size())}));
    EXPECT_NE(calls[0].pointer, nullptr);
    return calls[0].text;
  }
  // The packed entries followed by zeros up to count x 176 bytes.
  static std::string Padded(const Bytes& entries, size_t count) {
    std::string out = entries.str();
    out.resize(count * 176, '\0');
    return out;
  }
};

TEST_F(RoomInfoTest, NoRoomsStillReachTheEngineWithAValidBuffer) {
  EXPECT_EQ(Send({}), "");
}

TEST_F(RoomInfoTest, EachRoomIsAHeaderAndItsTextsInUtf8) {
  struct Case {
    const char* what;
    std::string text1, text2, utf1, utf2;
  };
  const Case cases[] = {
      {"two empty texts: 24 bytes", "", "", "", ""},
      {"ASCII and empty: 27 bytes", "abc", "", "abc", ""},
      {"empty and ASCII", "", "xy", "", "xy"},
      {"one Chinese character: 3 bytes", kZhongGb, "", kZhongUtf8, ""},
      {"16 Chinese characters in each field",
       Repeat(kZhongGb, 16), Repeat(kWenGb, 16), Repeat(kZhongUtf8, 16), Repeat(kWenUtf8, 16)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string got = Send({Room(-1, c.text1, 0x01020304, c.text2, INT32_MIN, 7)});
    EXPECT_EQ(Hex(got), Hex(Padded(PackedRoom(-1, c.utf1, 0x01020304, c.utf2, INT32_MIN, 7), 1)));
  }
}

TEST_F(RoomInfoTest, RoomsArePackedBackToBackWithZerosAfterTheLast) {
  const std::string got = Send({Room(1, "a", 2, kWenGb, 3, 4),
                                Room(5, "", 6, "", 7, 8),
                                Room(9, Repeat("r", 31), 10, kZhongGb + "z", 11, 12)});
  Bytes expected;
  expected.Append(PackedRoom(1, "a", 2, kWenUtf8, 3, 4))
      .Append(PackedRoom(5, "", 6, "", 7, 8))
      .Append(PackedRoom(9, Repeat("r", 31), 10, kZhongUtf8 + "z", 11, 12));
  EXPECT_EQ(Hex(got), Hex(Padded(expected, 3)));
}

TEST_F(RoomInfoTest, ATextFillingItsWholeFieldIsReadAs32BytesAndNoMore) {
  // No NUL in either field, and no zero byte in the integers after them: a
  // reader running past a field would take those bytes, or run off the end
  // of the host's array.
  const std::string full1 = Repeat("p", 32);
  const std::string full2 = Repeat(kZhongGb, 16);
  const std::string got =
      Send({Room(0x41414141, full1, 0x42424242, full2, 0x43434343, 0x44444444)});
  EXPECT_EQ(Hex(got), Hex(Padded(PackedRoom(0x41414141, full1, 0x42424242,
                                            Repeat(kZhongUtf8, 16), 0x43434343, 0x44444444),
                                 1)));
}

TEST_F(RoomInfoTest, RefusedWhenNotLoggedIn) {
  peer().Reset();
  engines.Clear();
  const Bytes room = Room(1, "a", 2, "b", 3, 4);
  RoomInfo info;
  std::memcpy(&info, room.data(), 80);
  EXPECT_EQ(agent->SendRoomInfo(1, &info), -1);
  EXPECT_EQ(agent->SendRoomInfo(0, nullptr), -1);
  EXPECT_EQ(engines.Count(kSendRoomInfo), 0);
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
