// The login file: its content read through CIniFile (GetSection and
// GetString over the Env's profile reader), then Connect's search over it.
//
// Input: one mode byte, four bytes of login parameter, then the file.
//   bit 0:    log in a user named by an "id" entry (bits 1-3 pick which),
//             else user 100
//   bits 4-5: the engine accepts the name login (bit 4) / the id login
//             (bit 5); otherwise it refuses it
// Connect must find the first "idN" entry whose number is the user, read
// flagN and nameN, and log in by name ("0X" and the name in hex) for flag 0,
// by id for flag 1, and answer 3 for anything else.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "login/ini_file.h"

namespace fz = msglogic::fuzz;
namespace t = msglogic::testing;

namespace {

const char kPath[] = ".\\KWPMsg\\loginInfo.ini";
const char kSection[] = "loginInfo";

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// atoi with the result clamped to 32 bits.
int32_t Number(const std::string& text) {
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v < INT32_MIN) return INT32_MIN;
  if (v > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(v);
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = "0X";
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

void CheckValue(const std::string& value) {
  FUZZ_CHECK(value.size() <= CIniFile::kMaxValueLength);
  FUZZ_CHECK(value.find('\0') == std::string::npos);
  FUZZ_CHECK(value.empty() || (!IsSpace(value.front()) && !IsSpace(value.back())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::Input in(data, size);
  const uint8_t mode = in.U8();
  const int32_t param = in.I32();
  fz::SharedDir().Write("KWPMsg/loginInfo.ini", in.Take(in.remaining()));
  t::FakeEnv& env = fz::SharedEnv();

  CIniFile ini(&env);
  FUZZ_CHECK(ini.SetFile(kPath));
  std::vector<std::string> keys{"stale"}, values;
  const int entries = ini.GetSection(kSection, keys, values);
  FUZZ_CHECK(entries >= 0);
  FUZZ_CHECK_EQ(keys.size(), static_cast<size_t>(entries));
  FUZZ_CHECK_EQ(values.size(), keys.size());
  std::vector<size_t> ids;  // entries whose key starts with "id"
  for (size_t i = 0; i < keys.size(); ++i) {
    FUZZ_CHECK(keys[i].size() + values[i].size() <= CIniFile::kMaxValueLength);
    FUZZ_CHECK(keys[i].find('\0') == std::string::npos);
    FUZZ_CHECK(values[i].find('\0') == std::string::npos);
    if (keys[i].compare(0, 2, "id") == 0) ids.push_back(i);
    if (i < 16) CheckValue(ini.GetString(kSection, keys[i]));
  }

  int32_t user = 100;
  if ((mode & 1) && !ids.empty()) user = Number(values[ids[(mode >> 1 & 7) % ids.size()]]);

  // What Connect should find.
  int32_t flag = -1;
  std::string name;
  for (size_t i : ids) {
    if (Number(values[i]) != user) continue;
    const std::string n = std::to_string(Number(keys[i].substr(2)));
    flag = Number(ini.GetString(kSection, "flag" + n));
    name = ini.GetString(kSection, "name" + n);
    break;
  }

  t::EngineLog& engines = fz::SharedEngines();
  engines.Clear();
  engines.login_by_name_result = (mode & 0x10) ? 2 : 0;
  engines.login_by_id_result = (mode & 0x20) ? 2 : 0;
  env.FailThreadStarts(2);  // no workers: nothing to wait for
  int32_t result;
  {
    fz::FreshAgent a;
    result = a.agent()->Connect(user, param);
    FUZZ_CHECK_EQ(a.peer().enabled(), result == 0);
  }
  env.FailThreadStarts(0);

  const auto by_name = engines.Calls(t::kLoginByName);
  const auto by_id = engines.Calls(t::kLoginById);
  if (flag == 0) {
    FUZZ_CHECK_EQ(by_name.size(), 1u);
    FUZZ_CHECK(by_id.empty());
    FUZZ_CHECK_EQ(by_name[0].text, Hex(name));
    FUZZ_CHECK(by_name[0].args == (std::vector<int64_t>{param}));
    FUZZ_CHECK_EQ(result, (mode & 0x10) ? 0 : 1);
    const auto set_user = engines.Calls(t::kSetUserId);
    FUZZ_CHECK_EQ(set_user.size(), result == 0 ? 1u : 0u);
    if (result == 0) FUZZ_CHECK(set_user[0].args == (std::vector<int64_t>{user}));
  } else if (flag == 1) {
    FUZZ_CHECK(by_name.empty());
    FUZZ_CHECK_EQ(by_id.size(), 1u);
    FUZZ_CHECK(by_id[0].args == (std::vector<int64_t>{user, param}));
    FUZZ_CHECK_EQ(result, (mode & 0x20) ? 0 : 2);
  } else {
    FUZZ_CHECK(by_name.empty() && by_id.empty());
    FUZZ_CHECK_EQ(result, 3);
  }
  FUZZ_CHECK_EQ(engines.Count(t::kStart), result == 0 ? 1 : 0);
  FUZZ_CHECK_EQ(engines.engines_alive(), 0);
  return 0;
}
