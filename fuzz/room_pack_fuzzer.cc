// SendRoomInfo: the host's 80-byte records packed for the engine. The
// engine's count x 176 bytes must walk back, entry by entry, to exactly the
// input's integers, each text the UTF-8 of its field (at most 62 bytes, and
// at most twice the field's text), and zeros after the last entry.
//
// Input: one byte whose value mod 17 is the count, then the records (zeros
// where the input runs out).
#include <cstring>
#include <memory>

#include "fuzz/harness.h"
#include "textcodec.h"

namespace fz = msglogic::fuzz;
namespace t = msglogic::testing;

namespace {

size_t FieldText(const char (&field)[32]) {
  const void* nul = std::memchr(field, 0, 32);
  return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - field) : 32;
}

std::string Utf8Of(const char (&field)[32]) {
  const size_t n = FieldText(field);
  std::string out(2 * n + 1, '\0');
  const int written = GB2312ToUTF_8(&out[0], field, static_cast<int>(n));
  FUZZ_CHECK(written >= 0 && static_cast<size_t>(written) <= 2 * n);
  out.resize(static_cast<size_t>(written));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::Input in(data, size);
  const uint32_t count = in.U8() % 17;
  std::unique_ptr<RoomInfo[]> rooms(new RoomInfo[count != 0 ? count : 1]);
  for (uint32_t i = 0; i < count; ++i) {
    const std::string bytes = in.Take(sizeof(RoomInfo));
    std::memset(&rooms[i], 0, sizeof(RoomInfo));
    std::memcpy(&rooms[i], bytes.data(), bytes.size());
  }

  msglogic::CMsgLogicAgent* agent = fz::SharedLoggedInAgent();
  fz::BeginInput();
  t::EngineLog& engines = fz::SharedEngines();
  engines.Clear();
  FUZZ_CHECK_EQ(agent->SendRoomInfo(count, rooms.get()), 0);
  const auto calls = engines.Calls(t::kSendRoomInfo);
  FUZZ_CHECK_EQ(calls.size(), 1u);
  FUZZ_CHECK(calls[0].args == (std::vector<int64_t>{count}));
  const std::string& packed = calls[0].text;
  FUZZ_CHECK_EQ(packed.size(), size_t{count} * 176);

  fz::Input walk(reinterpret_cast<const uint8_t*>(packed.data()), packed.size());
  size_t position = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const RoomInfo& room = rooms[i];
    FUZZ_CHECK_EQ(walk.I32(), room.nValue1);
    const uint32_t l1 = walk.U32();
    FUZZ_CHECK_EQ(walk.I32(), room.nValue2);
    const uint32_t l2 = walk.U32();
    FUZZ_CHECK_EQ(walk.I32(), room.nValue3);
    FUZZ_CHECK_EQ(walk.I32(), room.nValue4);
    FUZZ_CHECK(l1 <= 62 && l2 <= 62);
    FUZZ_CHECK(l1 <= 2 * FieldText(room.szText1) && l2 <= 2 * FieldText(room.szText2));
    FUZZ_CHECK_EQ(walk.Take(l1), Utf8Of(room.szText1));
    FUZZ_CHECK_EQ(walk.Take(l2), Utf8Of(room.szText2));
    position += 24 + l1 + l2;
  }
  FUZZ_CHECK(position <= packed.size());
  for (size_t i = position; i < packed.size(); ++i) FUZZ_CHECK_EQ(packed[i], '\0');
  fz::CheckNoLockOrderViolation(fz::SharedEnv());
  return 0;
}
