// A messaging engine built in Microsoft's C++ ABI (msglogic.dll beside the
// agent, so the agent's import of msglogic.dll binds to it). It declares the
// engine interfaces as a program built with Microsoft's compiler would,
// accepts every login, records what the agent sends, answers GetFriendList
// and RequestUserInfo on threads of its own, and on request fires engine
// events into the agent's sink from a thread of its own: every one of the
// 123 sink slots, each through a raw slot call that checks the stack
// pointer, the callee-saved registers and the fixed result, with the stack
// at 0, 4, 8 and 12 modulo 16 in turn (32-bit; x64 keeps it 16-byte aligned).
#include "msabi.h"

// ---- The engine interfaces, declared the plain MSVC way ----
typedef intptr_t MsgWord;  // a word: 32 or 64 bits
class IMsgLogicSink;

class IMsgLogic {
 public:
  virtual int SetSink(IMsgLogicSink* sink) = 0;  // 0
  virtual int R1() { return 0; }
  virtual int R2() { return 0; }
  virtual int LoginByName(const char* hexName, int param) = 0;  // 3
  virtual int LoginById(int userId, int param) = 0;             // 4
  virtual int R5() { return 0; }
  virtual int Release() = 0;  // 6
#define R(n) virtual int R##n() { return 0; }
  R(7) R(8) R(9) R(10) R(11) R(12) R(13) R(14) R(15) R(16) R(17)
  virtual int SendText(int userId, int one, int selfId, int value, const char* text) = 0;  // 18
  R(19) R(20) R(21) R(22) R(23) R(24) R(25) R(26) R(27) R(28) R(29) R(30) R(31) R(32) R(33)
  R(34) R(35) R(36) R(37) R(38) R(39) R(40) R(41) R(42) R(43) R(44) R(45) R(46) R(47) R(48)
  R(49) R(50) R(51) R(52) R(53) R(54) R(55) R(56) R(57) R(58) R(59) R(60) R(61) R(62) R(63)
  R(64) R(65) R(66) R(67) R(68) R(69) R(70) R(71) R(72)
  virtual int SetUserId(int userId) = 0;                              // 73
  virtual int RequestUserInfo(int userId) = 0;                        // 74
  R(75)
  virtual int ContactUser(int userId, int value, int selfId) = 0;     // 76
  R(77)
  virtual int Start() = 0;                                            // 78
  virtual int RequestA(int value) = 0;                                // 79
  R(80)
  virtual int RequestB(int value) = 0;                                // 81
  R(82)
  virtual int SendRoomInfo(unsigned count, const void* packed) = 0;   // 83
  virtual int RequestC() = 0;                                         // 84
  R(85) R(86) R(87) R(88) R(89)
  virtual int KeepAlive() = 0;                                        // 90
  R(91) R(92) R(93) R(94) R(95) R(96) R(97) R(98) R(99) R(100) R(101) R(102) R(103) R(104)
  R(105) R(106) R(107) R(108) R(109) R(110) R(111) R(112)
  virtual int GetFriendList() = 0;                                    // 113
#undef R
};

// The sink: 123 operations, then the virtual destructor (one entry here).
class IMsgLogicSink {
 public:
#define I1(n) virtual int E##n(MsgWord) = 0;
#define V1(n) virtual void E##n(MsgWord) = 0;
  virtual int E0(MsgWord, MsgWord) = 0;
  virtual int E1(MsgWord, MsgWord, MsgWord) = 0;
  I1(2) I1(3) I1(4) I1(5)
  virtual int OnUserText(int userId, const void* record) = 0;  // 6
  I1(7) I1(8)
  virtual int OnUserInfo(const void* record) = 0;  // 9
  I1(10) I1(11) I1(12) I1(13) I1(14) I1(15) I1(16) I1(17) I1(18) I1(19) I1(20)
  virtual int E21(MsgWord, MsgWord) = 0;
  I1(22) I1(23) I1(24) I1(25)
  virtual int E26(MsgWord, MsgWord) = 0;
  I1(27) I1(28) I1(29) I1(30) I1(31) I1(32) I1(33) I1(34) I1(35)
  virtual int OnEventA(const void* record) = 0;    // 36
  virtual int OnFriendList(const void* list) = 0;  // 37
  I1(38)
  virtual int OnFriendInfo(const void* record) = 0;  // 39
  I1(40) I1(41) V1(42) V1(43)
  I1(44) I1(45) I1(46) I1(47) I1(48) I1(49) I1(50) I1(51) I1(52) I1(53) I1(54) I1(55) I1(56)
  I1(57) I1(58) I1(59) I1(60)
  virtual int E61(MsgWord, MsgWord, MsgWord) = 0;
  virtual int E62() = 0;
  virtual int E63() = 0;
  I1(64) I1(65) I1(66)
  virtual void E67() = 0;
  virtual void E68() = 0;
  virtual void E69(MsgWord, MsgWord) = 0;
  virtual void E70() = 0;
  virtual void E71() = 0;
  virtual void E72(MsgWord, MsgWord) = 0;
  virtual void E73() = 0;
  V1(74) I1(75) V1(76) V1(77) I1(78) I1(79)
  virtual int OnSelfId(const int* selfId) = 0;  // 80
  I1(81)
  virtual int OnEventB(int value) = 0;  // 82
  I1(83) I1(84)
  virtual int OnUserList(const void* list) = 0;  // 85
  I1(86)
  virtual int OnFriendUpdate(const void* record) = 0;  // 87
  virtual int OnActivity() = 0;                        // 88
  I1(89)
  virtual int OnEventC() = 0;                 // 90
  virtual int OnEventD(const void* values) = 0;  // 91
  I1(92) I1(93) V1(94) V1(95)
  virtual void E96() = 0;
  virtual int E97() = 0;
  virtual void E98(MsgWord, MsgWord) = 0;
  I1(99) V1(100)
  virtual void OnDisconnect() = 0;  // 101
  V1(102) V1(103) V1(104) V1(105) V1(106) V1(107) V1(108) V1(109) V1(110) V1(111) V1(112)
  V1(113) V1(114) V1(115) V1(116) V1(117) V1(118) V1(119) V1(120) V1(121)
  virtual int OnFriendValues(const void* list) = 0;  // 122
  virtual ~IMsgLogicSink() {}                         // 123
#undef I1
#undef V1
};

namespace {

// Argument count and result of every sink slot: a digit, then '0' or '1'
// (the fixed result), 'n' (the list's count) or '-' (no result).
const char kSinkSlots[] =
    "2030101010102010111110101010101010101010"    // 0-19
    "1020101010102010101010101010101010101010"    // 20-39
    "10101-1-10101010101010101010101010101010"    // 40-59
    "103000001010100-0-2-0-0-2-0-1-101-1-1010"    // 60-79
    "10101010101010100010001010101-1-0-002-10"    // 80-99
    "1-0-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-"    // 100-119
    "1-1-1n";                                      // 120-122

msabi::SpinLock g_lock;
IMsgLogicSink* g_sink = nullptr;  // under g_lock
int g_alive = 0;                  // engine objects not yet released
int g_failures = 0;               // failed checks of sink calls
int g_calls_checked = 0;
char* g_log[256];                 // calls the engine got, under g_lock
int g_log_count = 0;
uint32_t g_slots_called[4];       // bit per sink slot called (0-127)

void Log(const msabi::Text& t) {
  uint32_t n = strlen(t.c_str()) + 1;
  char* copy = static_cast<char*>(malloc(n));
  memcpy(copy, t.c_str(), n);
  g_lock.Lock();
  if (g_log_count < 256) g_log[g_log_count++] = copy;
  g_lock.Unlock();
}

void Fail(const msabi::Text& why) {
  __atomic_add_fetch(&g_failures, 1, __ATOMIC_SEQ_CST);
  msabi::Out("msglogic.dll (MS ABI): ");
  msabi::Out(why.c_str());
  msabi::Out("\n");
}

IMsgLogicSink* Sink() {
  g_lock.Lock();
  IMsgLogicSink* s = g_sink;
  g_lock.Unlock();
  return s;
}

// One sink call through its raw slot, checked against the slot table, with
// the stack at `mod` modulo 16 at the call (by default the next of
// msabi::StackMod in turn).
uint32_t g_next_mod = 0;
uintptr_t CallSink(IMsgLogicSink* sink, uint32_t slot, uintptr_t a0 = 0, uintptr_t a1 = 0,
                   uintptr_t a2 = 0, uint32_t expected_count = 0, uint32_t mod = 16) {
  const uint32_t count = static_cast<uint32_t>(kSinkSlots[2 * slot] - '0');
  const char result = kSinkSlots[2 * slot + 1];
  const uintptr_t args[3] = {a0, a1, a2};
  if (mod >= 16) mod = msabi::StackMod(__atomic_fetch_add(&g_next_mod, 1, __ATOMIC_RELAXED));
  msabi::CallCheck check = {};
  msabi_call(sink, slot, count, args, mod, &check);
  __atomic_fetch_or(&g_slots_called[slot / 32], 1u << (slot % 32), __ATOMIC_RELAXED);
  __atomic_fetch_add(&g_calls_checked, 1, __ATOMIC_RELAXED);
  if (check.esp_delta != 0) {
    Fail(msabi::Text().Add("sink slot ").Int(slot).Add(": ESP moved by ")
             .Int(static_cast<int32_t>(check.esp_delta))
             .Add(" (the callee must remove exactly ").Int(4 * count).Add(" bytes)"));
  }
  if (check.saved != 0) {
    msabi::Text t;
    t.Add("sink slot ").Int(slot).Add(": not preserved:");
    Fail(msabi::AppendRegisters(t, check.saved));
  }
  if (check.esp_mod != mod) {
    Fail(msabi::Text().Add("sink slot ").Int(slot).Add(": stack at ").Int(check.esp_mod)
             .Add(" mod 16, meant ").Int(mod));
  }
  const int32_t want = result == '0' ? 0 : result == '1' ? 1 : static_cast<int32_t>(expected_count);
  if (result != '-' && static_cast<int32_t>(check.result) != want) {
    Fail(msabi::Text().Add("sink slot ").Int(slot).Add(" returned ")
             .Int(static_cast<int32_t>(check.result))
             .Add(", not ").Int(want));
  }
  return check.result;
}

// ---- Records, little-endian, in static buffers (valid during the call) ----
uint8_t g_friend_list[1024];
uint8_t g_values[64];
uint8_t g_record[512];

// A friend record: 47-byte header, then three UTF-8 texts.
void FriendRecord(msabi::Bytes& b, int32_t id, int32_t value, const char* name,
                  const char* display, const char* text, uint32_t status) {
  b.U32(id).U32(value).U32(0x01020304).U16(0xBEEF).Zeros(6);
  b.U32(strlen(name)).U32(strlen(display)).Zeros(2).U32(0x0A0B0C0D).U32(strlen(text));
  b.U8(status).Zeros(8).Str(name).Str(display).Str(text);
}

// 张伟 "老张" "产品部，周末打羽毛球。"; 王芳 with no display name, 出差中, not
// online (status 2); 李娜 "娜娜", no value in the value list.
#define ZHANG_WEI "\xe5\xbc\xa0\xe4\xbc\x9f"
#define LAO_ZHANG "\xe8\x80\x81\xe5\xbc\xa0"
#define ZHANG_TEXT "\xe4\xba\xa7\xe5\x93\x81\xe9\x83\xa8\xef\xbc\x8c\xe5\x91\xa8\xe6\x9c\xab" \
                   "\xe6\x89\x93\xe7\xbe\xbd\xe6\xaf\x9b\xe7\x90\x83\xe3\x80\x82"
#define WANG_FANG "\xe7\x8e\x8b\xe8\x8a\xb3"
#define WANG_TEXT "\xe5\x87\xba\xe5\xb7\xae\xe4\xb8\xad"
#define LI_NA "\xe6\x9d\x8e\xe5\xa8\x9c"
#define NA_NA "\xe5\xa8\x9c\xe5\xa8\x9c"
#define LIU_YANG "\xe5\x88\x98\xe6\xb4\x8b"

void SendFriendList(IMsgLogicSink* sink) {
  msabi::Bytes v(g_values, sizeof g_values);
  v.U32(2).U32(10002).U32(11).U32(10004).U32(12);
  CallSink(sink, 122, reinterpret_cast<uintptr_t>(g_values), 0, 0, 2);
  msabi::Bytes b(g_friend_list, sizeof g_friend_list);
  b.U32(3);
  FriendRecord(b, 10002, 7001, ZHANG_WEI, LAO_ZHANG, ZHANG_TEXT, 1);
  FriendRecord(b, 10004, 7002, WANG_FANG, "", WANG_TEXT, 2);
  FriendRecord(b, 10006, 7003, LI_NA, NA_NA, "", 1);
  if (!b.fits()) Fail(msabi::Text().Add("friend list too long"));
  CallSink(sink, 37, reinterpret_cast<uintptr_t>(g_friend_list));
}

// What a thread of the engine does.
enum Job { kFriendList = 1, kUserInfo = 2, kSelfId = 3, kRelays = 4, kReserved = 5, kLoss = 6 };
struct JobArgs {
  int job;
  int32_t a;
  int32_t b;
};

uint32_t WINAPI RunJob(void* p) {
  JobArgs* job = static_cast<JobArgs*>(p);
  IMsgLogicSink* sink = Sink();
  if (sink == nullptr) {
    Fail(msabi::Text().Add("job ").Int(job->job).Add(" without a sink"));
    free(job);
    return 1;
  }
  switch (job->job) {
    case kFriendList:
      SendFriendList(sink);
      break;
    case kUserInfo: {
      const int32_t info[2] = {job->a, job->b};
      CallSink(sink, 9, reinterpret_cast<uintptr_t>(info));
      break;
    }
    case kSelfId: {
      const int32_t self = job->a;
      CallSink(sink, 80, reinterpret_cast<uintptr_t>(&self));
      break;
    }
    case kRelays: {
      // A user list: kinds 1, 2, 1 (kind 2 is not passed on).
      msabi::Bytes u(g_record, sizeof g_record);
      u.U32(3).U32(21).U8(1).U32(6).Str(LIU_YANG).U32(22).U8(2).U32(1).Str("x");
      u.U32(23).U8(1).U32(3).Str("abc");
      CallSink(sink, 85, reinterpret_cast<uintptr_t>(g_record));
      // A text record: type at 20, length at 24, the text (GB2312, passed on unchanged).
      msabi::Bytes t(g_record, sizeof g_record);
      t.Zeros(20).U32(1).U32(4).Str("\xc4\xe3\xba\xc3");
      CallSink(sink, 6, 31, reinterpret_cast<uintptr_t>(g_record));
      // Event A: user id at 0, text at 22.
      msabi::Bytes a(g_record, sizeof g_record);
      a.U32(41).Zeros(18).Str("note").U8(0);
      CallSink(sink, 36, reinterpret_cast<uintptr_t>(g_record));
      CallSink(sink, 82, 0x12345678);
      CallSink(sink, 90);
      const int32_t triple[3] = {7, -8, 9};
      CallSink(sink, 91, reinterpret_cast<uintptr_t>(triple));
      // One friend's details, then an update of one friend.
      msabi::Bytes f(g_record, sizeof g_record);
      FriendRecord(f, 10006, 7003, LI_NA, "", "", 1);
      CallSink(sink, 39, reinterpret_cast<uintptr_t>(g_record));
      msabi::Bytes g(g_record, sizeof g_record);
      FriendRecord(g, 10002, 7001, ZHANG_WEI, "", "", 3);
      CallSink(sink, 87, reinterpret_cast<uintptr_t>(g_record));
      CallSink(sink, 88);
      break;
    }
    case kReserved:
      // Every slot the agent takes no action on, arguments that are no
      // valid pointers (they must not be read), each slot four times: with
      // the stack at 0, 4, 8 and 12 modulo 16 on 32-bit Windows.
      for (uint32_t round = 0; round < 4; ++round) {
        for (uint32_t slot = 0; slot < 123; ++slot) {
          switch (slot) {
            case 6: case 9: case 36: case 37: case 39: case 80: case 82: case 85: case 87:
            case 88: case 90: case 91: case 101: case 122:
              continue;
            default:
              CallSink(sink, slot, 0xDEAD0001 + slot, 0xDEAD0101, 0xDEAD0201, 0,
                       msabi::StackMod(round));
          }
        }
      }
      break;
    case kLoss:
      CallSink(sink, 101);
      break;
  }
  free(job);
  return 0;
}

// Runs a job on a new thread; waits for it when `wait`.
void StartJob(int what, int32_t a, int32_t b, bool wait) {
  JobArgs* job = static_cast<JobArgs*>(malloc(sizeof(JobArgs)));
  job->job = what;
  job->a = a;
  job->b = b;
  HANDLE thread = CreateThread(nullptr, 0, RunJob, job, 0, nullptr);
  if (thread == nullptr) {
    Fail(msabi::Text().Add("CreateThread failed"));
    free(job);
    return;
  }
  if (wait) WaitForSingleObject(thread, 0xFFFFFFFF);
  CloseHandle(thread);
}

class TestEngine final : public IMsgLogic {
 public:
  int SetSink(IMsgLogicSink* sink) override {
    g_lock.Lock();
    g_sink = sink;
    g_lock.Unlock();
    Log(msabi::Text().Add("SetSink"));
    return 0;
  }
  int LoginByName(const char* hex, int param) override {
    Log(msabi::Text().Add("LoginByName ").Add(hex).Add(" ").Int(param));
    return 2;
  }
  int LoginById(int id, int param) override {
    Log(msabi::Text().Add("LoginById ").Int(id).Add(" ").Int(param));
    return 2;
  }
  int Release() override {
    g_lock.Lock();
    g_sink = nullptr;
    --g_alive;
    g_lock.Unlock();
    Log(msabi::Text().Add("Release"));
    delete this;
    return 0;
  }
  int SendText(int id, int one, int self, int value, const char* text) override {
    Log(msabi::Text().Add("SendText ").Int(id).Add(" ").Int(one).Add(" ").Int(self).Add(" ")
            .Int(value).Add(" ").Hex(text, strlen(text)));
    return 0;
  }
  int SetUserId(int id) override {
    Log(msabi::Text().Add("SetUserId ").Int(id));
    return 0;
  }
  int RequestUserInfo(int id) override {
    Log(msabi::Text().Add("RequestUserInfo ").Int(id));
    StartJob(kUserInfo, id, 9009, false);  // answered from a thread of the engine
    return 0;
  }
  int ContactUser(int id, int value, int self) override {
    Log(msabi::Text().Add("ContactUser ").Int(id).Add(" ").Int(value).Add(" ").Int(self));
    return 0;
  }
  int Start() override {
    Log(msabi::Text().Add("Start"));
    return 0;
  }
  int RequestA(int v) override {
    Log(msabi::Text().Add("RequestA ").Int(v));
    return 0;
  }
  int RequestB(int v) override {
    Log(msabi::Text().Add("RequestB ").Int(v));
    return 0;
  }
  int SendRoomInfo(unsigned count, const void* packed) override {
    Log(msabi::Text().Add("SendRoomInfo ").Int(count).Add(" ").Hex(packed, count * 176));
    return 0;
  }
  int RequestC() override {
    Log(msabi::Text().Add("RequestC"));
    return 0;
  }
  int KeepAlive() override {
    Log(msabi::Text().Add("KeepAlive"));
    return 0;
  }
  int GetFriendList() override {
    Log(msabi::Text().Add("GetFriendList"));
    StartJob(kFriendList, 0, 0, false);
    return 0;
  }
};

}  // namespace

extern "C" {

__declspec(dllexport) IMsgLogic* MSABI_CDECL CreateMsgLogic(void) {
  g_lock.Lock();
  ++g_alive;
  g_lock.Unlock();
  return new TestEngine;
}

// For the test host: the i-th call the engine got (null past the last),
// engine objects alive, failed checks so far, a job run on an engine thread
// (waited for), and whether every sink slot 0-122 has been called.
__declspec(dllexport) const char* MSABI_CDECL TestEngineCall(int i) {
  g_lock.Lock();
  const char* call = i >= 0 && i < g_log_count ? g_log[i] : nullptr;
  g_lock.Unlock();
  return call;
}
__declspec(dllexport) int MSABI_CDECL TestEngineAlive(void) { return g_alive; }
__declspec(dllexport) int MSABI_CDECL TestEngineFailures(void) { return g_failures; }
__declspec(dllexport) void MSABI_CDECL TestEngineRun(int job, int a) { StartJob(job, a, 0, true); }
__declspec(dllexport) int MSABI_CDECL TestEngineAllSlotsCalled(void) {
  return g_slots_called[0] == 0xFFFFFFFFu && g_slots_called[1] == 0xFFFFFFFFu &&
         g_slots_called[2] == 0xFFFFFFFFu && g_slots_called[3] == 0x07FFFFFFu;
}
__declspec(dllexport) int MSABI_CDECL TestEngineCallsChecked(void) { return g_calls_checked; }

}  // extern "C"
