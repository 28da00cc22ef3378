#include "fuzz/harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "textcodec.h"

namespace msglogic {
namespace fuzz {

void Fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "\n%s:%d: expectation failed: %s\n", file, line, what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Show(int64_t v) { return std::to_string(v); }

std::string Show(const std::string& s) {
  std::string out = "\"";
  char cell[8];
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(cell, sizeof cell, "\\x%02X", c);
      out += cell;
    }
  }
  return out + "\"";
}

uint8_t Input::U8() {
  if (n_ == 0) return 0;
  --n_;
  return *p_++;
}

uint16_t Input::U16() {
  const uint16_t lo = U8();
  return static_cast<uint16_t>(lo | U8() << 8);
}

uint32_t Input::U32() {
  const uint32_t lo = U16();
  return lo | static_cast<uint32_t>(U16()) << 16;
}

std::string Input::Take(size_t n) {
  if (n > n_) n = n_;
  std::string out(reinterpret_cast<const char*>(p_), n);
  p_ += n;
  n_ -= n;
  return out;
}

std::unique_ptr<uint8_t[]> ExactCopy(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size != 0 ? size : 1]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  return copy;
}

namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool RefReadFriend(const uint8_t* p, size_t n, RefFriend* out) {
  if (n < 47) return false;
  const uint64_t l1 = Le32(p + 20), l2 = Le32(p + 24), l3 = Le32(p + 34);
  const uint64_t size = 47 + l1 + l2 + l3;
  if (size > n) return false;
  out->id = static_cast<int32_t>(Le32(p));
  out->value = static_cast<int32_t>(Le32(p + 4));
  out->info_a = static_cast<int32_t>(Le32(p + 8));
  out->info_b = static_cast<uint16_t>(p[12] | p[13] << 8);
  out->info_c = static_cast<int32_t>(Le32(p + 30));
  out->status = p[38];
  const char* text = reinterpret_cast<const char*>(p + 47);
  out->name.assign(text, l1);
  out->display_name.assign(text + l1, l2);
  out->long_text.assign(text + l1 + l2, l3);
  out->size = static_cast<size_t>(size);
  return true;
}

bool RefReadFriendList(const uint8_t* p, size_t n, uint32_t* count,
                       std::vector<RefFriend>* out) {
  out->clear();
  if (n < 4) return false;
  *count = Le32(p);
  size_t offset = 4;
  for (uint32_t i = 0; i < *count; ++i) {
    RefFriend f;
    if (!RefReadFriend(p + offset, n - offset, &f)) return false;
    offset += f.size;
    out->push_back(std::move(f));
  }
  return true;
}

std::string UpToNul(const std::string& bytes) {
  return bytes.substr(0, std::min(bytes.find('\0'), bytes.size()));
}

std::string GbField(const std::string& utf8, size_t cap) {
  const std::string text = UpToNul(utf8);
  std::string out(cap + 1, '\0');
  const size_t n = UTF_8ToGB2312N(&out[0], cap, text.data(), text.size());
  FUZZ_CHECK(n <= cap);
  out.resize(n);
  return UpToNul(out);
}

std::string GbWhole(const std::string& utf8, size_t cap) {
  std::string out(cap + 1, '\0');
  const size_t n = UTF_8ToGB2312N(&out[0], cap, utf8.data(), utf8.size());
  FUZZ_CHECK(n <= cap);
  out.resize(n);
  return UpToNul(out);
}

FriendInfo ExpectedFriendInfo(const RefFriend& f, bool in_list) {
  FriendInfo info;
  std::memset(&info, 0, sizeof info);
  info.nUserId = f.id;
  info.nUserValue = f.value;
  info.nInfoA = f.info_a;
  info.wInfoB = f.info_b;
  info.nInfoC = f.info_c;
  info.byStatus = f.status;
  const std::string name = GbField(f.name, sizeof info.szName - 1);
  std::string display = GbField(f.display_name, sizeof info.szDisplayName - 1);
  const std::string long_text = GbField(f.long_text, sizeof info.szLongText - 1);
  if (in_list && display.empty()) display = name;
  std::memcpy(info.szName, name.data(), name.size());
  std::memcpy(info.szDisplayName, display.data(), display.size());
  std::memcpy(info.szLongText, long_text.data(), long_text.size());
  return info;
}

void CheckFriendInfoShape(const FriendInfo& info) {
  FUZZ_CHECK(info.szName[sizeof info.szName - 1] == '\0');
  FUZZ_CHECK(info.szDisplayName[sizeof info.szDisplayName - 1] == '\0');
  FUZZ_CHECK(info.szLongText[sizeof info.szLongText - 1] == '\0');
  for (uint8_t b : info.byReserved1) FUZZ_CHECK(b == 0);
  for (uint8_t b : info.byReserved2) FUZZ_CHECK(b == 0);
}

std::string RawFriend(const FriendInfo& info) {
  return std::string(reinterpret_cast<const char*>(&info), sizeof info);
}

bool RefReadUserList(const uint8_t* p, size_t n, std::vector<RefUser>* out) {
  out->clear();
  if (n < 4) return false;
  const int32_t count = static_cast<int32_t>(Le32(p));
  if (count <= 0) return false;
  size_t offset = 4;
  for (int32_t i = 0; i < count; ++i) {
    if (n - offset < 9) return false;
    const uint64_t length = Le32(p + offset + 5);
    if (length > n - offset - 9) return false;
    RefUser u;
    u.id = static_cast<int32_t>(Le32(p + offset));
    u.kind = p[offset + 4];
    u.name.assign(reinterpret_cast<const char*>(p + offset + 9), static_cast<size_t>(length));
    offset += 9 + static_cast<size_t>(length);
    out->push_back(std::move(u));
  }
  return true;
}

testing::FakeEnv& SharedEnv() {
  static testing::FakeEnv* env = [] {
    auto* e = new testing::FakeEnv;
    e->SetWorkingDirectory(SharedDir().path());
    e->SetEngineFactory([] { return SharedEngines().NewEngine(); });
    return e;
  }();
  return *env;
}

testing::EngineLog& SharedEngines() {
  static testing::EngineLog* log = new testing::EngineLog;
  return *log;
}

testing::TempDir& SharedDir() {
  static testing::TempDir* dir = new testing::TempDir;
  return *dir;
}

void BeginInput() {
  SharedEnv().ClearTraces();
  SharedEngines().Clear();
}

CMsgLogicAgent* SharedLoggedInAgent() {
  static CMsgLogicAgent* agent = [] {
    SharedDir().Write("KWPMsg/loginInfo.ini", "[loginInfo]\r\nid1=100\r\nflag1=1\r\n");
    CMsgLogicAgent* a = CMsgLogicAgent::Create(&SharedEnv());
    FUZZ_CHECK(a != nullptr);
    FUZZ_CHECK(a->Connect(100, 0) == 0);
    SharedEnv().Settle();
    return a;
  }();
  return agent;
}

void CheckNoLockOrderViolation(testing::FakeEnv& env) {
  const std::vector<std::string> violations = env.LockOrderViolations();
  if (!violations.empty()) Fail(__FILE__, __LINE__, "lock order: " + violations.front());
}

FreshAgent::FreshAgent() {
  BeginInput();
  agent_ = CMsgLogicAgent::Create(&SharedEnv());
  FUZZ_CHECK(agent_ != nullptr);
  agent_->SetCallback(&host_, MSG_IID_LOGICEX_CALLBACK);
}

FreshAgent::~FreshAgent() {
  agent_->Release();
  CheckNoLockOrderViolation(SharedEnv());
}

}  // namespace fuzz
}  // namespace msglogic
