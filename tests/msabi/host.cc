// A host built in Microsoft's C++ ABI: it declares the agent's interfaces
// as a program built with Microsoft's compiler would (a plain virtual
// destructor in IMsgObject), links msglogicex.lib and drives whole sessions
// against the test engine msglogic.dll beside the agent: callback, both
// logins, the friend list with Chinese names compared byte for byte, texts
// to a friend and to a stranger, room information, forwarded requests,
// every relay, a loss and Release; then `delete` and `::delete` through the
// interface on two more agents. Calls into the agent are made both as
// ordinary C++ calls and through raw slots with the stack pointer and the
// callee-saved registers checked, and (32-bit) the stack at 0, 4, 8 and 12
// modulo 16. Exits 0 when every check held.
#include "msabi.h"

// ---- The agent's interfaces, declared the plain MSVC way ----
#pragma pack(push, 1)
struct FriendInfo {
  int nUserId;
  int nUserValue;
  int nInfoA;
  unsigned short wInfoB;
  unsigned char byReserved1[10];
  char szName[32];
  char szDisplayName[34];
  int nInfoC;
  char szLongText[256];
  unsigned char byStatus;
  unsigned char byReserved2[8];
};
struct RoomInfo {
  int nValue1;
  char szText1[32];
  int nValue2;
  char szText2[32];
  int nValue3;
  int nValue4;
};
struct UserEntry {
  int nUserId;
  const char* pszName;
};
#pragma pack(pop)
static_assert(sizeof(FriendInfo) == 359, "FriendInfo");
static_assert(sizeof(RoomInfo) == 80, "RoomInfo");
static_assert(__builtin_offsetof(UserEntry, pszName) == 4, "UserEntry: the name at 4");
static_assert(sizeof(UserEntry) == 4 + sizeof(void*), "UserEntry: 8 or 12 bytes");

class IMsgObject {
 public:
  virtual void* GetInterface(int id) = 0;
  virtual int Release() { return 0; }
  virtual ~IMsgObject() {}
};

class IMsgLogicExCallback;

class IMsgLogicEx : public IMsgObject {
 public:
  virtual IMsgLogicExCallback* SetCallback(IMsgObject* obj, int id) = 0;
  virtual int Connect(int userId, int param) = 0;
  virtual int ForwardRequestA(int value) = 0;
  virtual int SendText(int userId, const char* text) = 0;
  virtual int ForwardRequestB(int value) = 0;
  virtual int GetFriendList() = 0;
  virtual int ForwardRequestC() = 0;
  virtual int SendRoomInfo(unsigned count, const RoomInfo* rooms) = 0;
  virtual int ContactUser(int userId) = 0;
};

class IMsgLogicExCallback : public IMsgObject {
 public:
  virtual int OnFriendList(int flag, const FriendInfo* friends) = 0;
  virtual int OnEventA(int userId, const char* text) = 0;
  virtual int OnUserList(int count, const UserEntry* users) = 0;
  virtual int OnUserData(int userId, int kind, const void* data) = 0;
  virtual int OnEventB(int value) = 0;
  virtual int OnEventC() = 0;
  virtual int OnEventD(int a, int b, int c) = 0;
  virtual int OnConnectionLost() = 0;
};

extern "C" __declspec(dllimport) IMsgLogicEx* MSABI_CDECL CreateMsgLogicEx(void);

namespace {

using msabi::Bytes;
using msabi::Text;

int g_checks = 0;
int g_failed = 0;

void Check(bool ok, const Text& what) {
  ++g_checks;
  if (ok) return;
  ++g_failed;
  msabi::Out("FAIL: ");
  msabi::Out(what.c_str());
  msabi::Out("\n");
}
void Check(bool ok, const char* what) { Check(ok, Text().Add(what)); }

// ---- What the host's callback object received ----
struct Event {
  int slot;
  int ints[4];
  uint32_t size;
  uint8_t bytes[1200];
};
Event g_events[32];
int g_event_count = 0;  // under g_events_lock
msabi::SpinLock g_events_lock;
uint32_t g_friend_entries = 0;  // entries OnFriendList copies

Event* NewEvent(int slot) {
  g_events_lock.Lock();
  Event* e = g_event_count < 32 ? &g_events[g_event_count] : nullptr;
  if (e != nullptr) {
    memset(e, 0, sizeof *e);
    e->slot = slot;
  }
  g_events_lock.Unlock();
  return e;
}
void Publish(Event* e) {
  if (e == nullptr) return;
  g_events_lock.Lock();
  ++g_event_count;
  g_events_lock.Unlock();
}
void Append(Event* e, const void* data, uint32_t n) {
  if (e == nullptr || e->size + n > sizeof e->bytes) return;
  memcpy(e->bytes + e->size, data, n);
  e->size += n;
}
int EventCount() {
  g_events_lock.Lock();
  int n = g_event_count;
  g_events_lock.Unlock();
  return n;
}

class Host final : public IMsgLogicExCallback {
 public:
  void* GetInterface(int id) override {
    return id == 2 ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int OnFriendList(int flag, const FriendInfo* friends) override {
    Event* e = NewEvent(3);
    if (e != nullptr) e->ints[0] = flag;
    if (friends != nullptr) Append(e, friends, g_friend_entries * sizeof(FriendInfo));
    Publish(e);
    return 0;
  }
  int OnEventA(int id, const char* text) override {
    Event* e = NewEvent(4);
    if (e != nullptr) e->ints[0] = id;
    Append(e, text, strlen(text));
    Publish(e);
    return 0;
  }
  int OnUserList(int count, const UserEntry* users) override {
    Event* e = NewEvent(5);
    if (e != nullptr) e->ints[0] = count;
    for (int i = 0; i < count && i < 3; ++i) {
      if (e != nullptr) e->ints[1 + i] = users[i].nUserId;
      Append(e, users[i].pszName, strlen(users[i].pszName));
      Append(e, "|", 1);
    }
    Publish(e);
    return 0;
  }
  int OnUserData(int id, int kind, const void* data) override {
    Event* e = NewEvent(6);
    if (e != nullptr) {
      e->ints[0] = id;
      e->ints[1] = kind;
    }
    if (kind == 0) Append(e, data, strlen(static_cast<const char*>(data)));
    if (kind == 1) Append(e, *static_cast<const FriendInfo* const*>(data), sizeof(FriendInfo));
    Publish(e);
    return 0;
  }
  int OnEventB(int v) override { return Plain(7, v, 0, 0); }
  int OnEventC() override { return Plain(8, 0, 0, 0); }
  int OnEventD(int a, int b, int c) override { return Plain(9, a, b, c); }
  int OnConnectionLost() override { return Plain(10, 0, 0, 0); }

 private:
  int Plain(int slot, int a, int b, int c) {
    Event* e = NewEvent(slot);
    if (e != nullptr) {
      e->ints[0] = a;
      e->ints[1] = b;
      e->ints[2] = c;
    }
    Publish(e);
    return 0;
  }
};

// ---- The test engine's exports, reached through the module the agent loaded ----
const char*(MSABI_CDECL* EngineCall)(int);
int(MSABI_CDECL* EngineAlive)(void);
int(MSABI_CDECL* EngineFailures)(void);
void(MSABI_CDECL* EngineRun)(int, int);
int(MSABI_CDECL* EngineAllSlotsCalled)(void);
int(MSABI_CDECL* EngineCallsChecked)(void);
enum { kSelfId = 3, kRelays = 4, kReserved = 5, kLoss = 6 };

bool EngineGot(const Text& call) {
  for (int i = 0; const char* c = EngineCall(i); ++i) {
    if (call.Is(c)) return true;
  }
  return false;
}

// Waits up to 5 s for `done`.
template <typename F>
bool WaitFor(F done) {
  const uint32_t start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > 5000) return false;
    Sleep(1);
  }
  return true;
}
bool WaitForCall(const Text& call) {
  bool got = WaitFor([&] { return EngineGot(call); });
  Check(got, Text().Add("the engine got \"").Add(call.c_str()).Add("\""));
  if (!got) {
    // What it got instead, of the calls of the same name.
    const char* name = call.c_str();
    uint32_t n = 0;
    while (name[n] != 0 && name[n] != ' ') ++n;
    for (int i = 0; const char* c = EngineCall(i); ++i) {
      if (memcmp(c, name, n) == 0 && (c[n] == ' ' || c[n] == 0)) {
        msabi::Out("  engine got: ");
        msabi::Out(c);
        msabi::Out("\n");
      }
    }
  }
  return got;
}
bool WaitForEvents(int n) {
  bool got = WaitFor([&] { return EventCount() >= n; });
  Check(got, Text().Add("callback number ").Int(n).Add(" arrived"));
  return got;
}

// A raw call of agent slot `slot`, checked like the engine's sink calls;
// the whole result register.
uint32_t g_mod = 1;
uintptr_t RawWord(void* agent, uint32_t slot, uint32_t count, uintptr_t a0 = 0,
                  uintptr_t a1 = 0) {
  const uintptr_t args[3] = {a0, a1, 0};
  msabi::CallCheck check = {};
  const uint32_t mod = msabi::StackMod(g_mod++);
  msabi_call(agent, slot, count, args, mod, &check);
  Check(check.esp_delta == 0, Text().Add("agent slot ").Int(slot).Add(": ESP moved by ")
                                  .Int(static_cast<int32_t>(check.esp_delta)));
  Text saved;
  saved.Add("agent slot ").Int(slot).Add(": not preserved:");
  Check(check.saved == 0, msabi::AppendRegisters(saved, check.saved));
  Check(check.esp_mod == mod, Text().Add("agent slot ").Int(slot).Add(": stack alignment"));
  return check.result;
}
// The same for a slot whose result is a 32-bit integer (the upper half of
// RAX is undefined then).
int32_t Raw(void* agent, uint32_t slot, uint32_t count, uintptr_t a0 = 0, uintptr_t a1 = 0) {
  return static_cast<int32_t>(RawWord(agent, slot, count, a0, a1));
}
uintptr_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// A FriendInfo as the agent builds it (the engine's fixed values included).
void FriendInfoBytes(Bytes& b, int32_t id, int32_t value, const char* name,
                     const char* display, const char* text, uint32_t status) {
  b.U32(id).U32(value).U32(0x01020304).U16(0xBEEF).Zeros(10);
  b.Field(name, 32).Field(display, 34).U32(0x0A0B0C0D).Field(text, 256).U8(status).Zeros(8);
}

// GB2312 texts.
#define GB_ZHANG_WEI "\xd5\xc5\xce\xb0"
#define GB_LAO_ZHANG "\xc0\xcf\xd5\xc5"
#define GB_ZHANG_TEXT "\xb2\xfa\xc6\xb7\xb2\xbf\xa3\xac\xd6\xdc\xc4\xa9\xb4\xf2\xd3\xf0\xc3\xab" \
                      "\xc7\xf2\xa1\xa3"
#define GB_WANG_FANG "\xcd\xf5\xb7\xbc"
#define GB_WANG_TEXT "\xb3\xf6\xb2\xee\xd6\xd0"
#define GB_LI_NA "\xc0\xee\xc4\xc8"
#define GB_LIU_YANG "\xc1\xf5\xd1\xf3"
#define GB_HOST_NAME "\xd6\xf7\xbb\xfa"  // 主机
#define GB_HELLO "\xc4\xe3\xba\xc3"      // 你好
#define GB_HELLO_STRANGER "\xc4\xe3\xba\xc3\xa3\xac\xc4\xb0\xc9\xfa\xc8\xcb"
#define GB_HALL "\xb4\xf3\xcc\xfc"                 // 大厅
#define GB_MEETING_ROOM "\xbb\xe1\xd2\xe9\xca\xd2"  // 会议室

uint8_t g_expected[1200];

void CheckEvent(int index, int slot, const int* ints, int nints, const void* bytes,
                uint32_t size, const char* what) {
  const Event& e = g_events[index];
  Check(e.slot == slot, Text().Add(what).Add(": callback slot ").Int(e.slot).Add(", not ")
                            .Int(slot));
  for (int i = 0; i < nints; ++i) {
    Check(e.ints[i] == ints[i], Text().Add(what).Add(": argument ").Int(i).Add(" is ")
                                    .Int(e.ints[i]).Add(", not ").Int(ints[i]));
  }
  Check(e.size == size && memcmp(e.bytes, bytes, size) == 0,
        Text().Add(what).Add(": bytes ").Hex(e.bytes, e.size < 64 ? e.size : 64));
}

bool WriteLoginFile() {
  CreateDirectoryA("KWPMsg", nullptr);
  HANDLE f = CreateFileA("KWPMsg\\loginInfo.ini", 0x40000000 /* GENERIC_WRITE */, 0, nullptr,
                         2 /* CREATE_ALWAYS */, 0x80, nullptr);
  if (f == reinterpret_cast<HANDLE>(-1)) return false;
  const char text[] =
      "[loginInfo]\r\nid1=300\r\nflag1=1\r\nid2=400\r\nflag2=0\r\nname2=" GB_HOST_NAME "\r\n";
  uint32_t written = 0;
  WriteFile(f, text, sizeof text - 1, &written, nullptr);
  CloseHandle(f);
  return written == sizeof text - 1;
}

void Session(Host* host) {
  IMsgLogicEx* agent = CreateMsgLogicEx();
  Check(agent != nullptr, "CreateMsgLogicEx");
  if (agent == nullptr) return;
  void* self = agent;
  Check(agent->GetInterface(1) == self, "GetInterface(1) is the agent");
  Check(Raw(self, 0, 1, 2) == 0, "GetInterface(2) is null");
  IMsgLogicExCallback* cb = host;
  Check(agent->SetCallback(host, 2) == cb, "SetCallback(host, 2)");
  Check(reinterpret_cast<IMsgLogicExCallback*>(RawWord(self, 3, 2, U(host), 1)) == cb,
        "SetCallback(host, 1) keeps the callback");

  // Not logged in: slots 5 to 11 refuse, whatever the stack's alignment.
  RoomInfo rooms[2];
  memset(rooms, 0, sizeof rooms);
  Check(Raw(self, 5, 1, 7) == -1, "ForwardRequestA before login");
  Check(Raw(self, 6, 2, 10002, U(GB_HELLO)) == -1, "SendText before login");
  Check(Raw(self, 7, 1, 7) == -1, "ForwardRequestB before login");
  Check(Raw(self, 8, 0) == -1, "GetFriendList before login");
  Check(Raw(self, 9, 0) == -1, "ForwardRequestC before login");
  Check(Raw(self, 10, 2, 1, U(rooms)) == -1, "SendRoomInfo before login");
  Check(Raw(self, 11, 1, 10002) == -1, "ContactUser before login");

  // Both logins, through the saved login file.
  Check(agent->Connect(999, 0) == 3, "Connect(999): no saved login");
  Check(agent->Connect(400, 7) == 0, "Connect(400) by name");
  WaitForCall(Text().Add("LoginByName 0X").Add("D6F7BBFA").Add(" 7"));
  WaitForCall(Text().Add("SetUserId 400"));
  Check(Raw(self, 4, 2, 300, 11) == 0, "Connect(300) by id");
  WaitForCall(Text().Add("LoginById 300 11"));
  WaitForCall(Text().Add("Start"));
  EngineRun(kSelfId, 300);

  // The friend list: 张伟 and 王芳 have values and come first, 李娜 has none.
  int seen = EventCount();
  g_friend_entries = 3;
  Check(agent->GetFriendList() == 0, "GetFriendList");
  if (WaitForEvents(seen + 1)) {
    Bytes b(g_expected, sizeof g_expected);
    FriendInfoBytes(b, 10002, 7001, GB_ZHANG_WEI, GB_LAO_ZHANG, GB_ZHANG_TEXT, 1);
    FriendInfoBytes(b, 10004, 7002, GB_WANG_FANG, GB_WANG_FANG, GB_WANG_TEXT, 2);
    b.Zeros(359);
    const int flag[] = {1};
    CheckEvent(seen, 3, flag, 1, g_expected, b.size(), "OnFriendList");
  }

  // Texts to a friend and to a stranger (queued until the engine answers).
  Check(agent->SendText(10002, GB_HELLO) == 0, "SendText to a friend");
  WaitForCall(Text().Add("SendText 10002 1 300 7001 ").Hex(GB_HELLO, 4));
  Check(agent->SendText(20001, GB_HELLO_STRANGER) == 1, "SendText to a stranger is queued");
  WaitForCall(Text().Add("RequestUserInfo 20001"));
  WaitForCall(Text().Add("SendText 20001 1 300 9009 ").Hex(GB_HELLO_STRANGER, 12));

  Check(agent->ContactUser(10002) == 0, "ContactUser(online friend)");
  WaitForCall(Text().Add("ContactUser 10002 7001 300"));
  Check(agent->ContactUser(10004) == -1, "ContactUser(friend not online)");
  Check(agent->ContactUser(55555) == -1, "ContactUser(no friend)");

  // Room information, packed and converted to UTF-8.
  rooms[0].nValue1 = 1;
  memcpy(rooms[0].szText1, GB_HALL, 4);
  rooms[0].nValue2 = 2;
  rooms[0].nValue3 = 3;
  rooms[0].nValue4 = 4;
  rooms[1].nValue1 = 5;
  rooms[1].nValue2 = 6;
  memcpy(rooms[1].szText2, GB_MEETING_ROOM, 6);
  rooms[1].nValue3 = 7;
  rooms[1].nValue4 = 8;
  Check(agent->SendRoomInfo(2, rooms) == 0, "SendRoomInfo");
  {
    Bytes p(g_expected, 352);
    // Each entry: first integer, L1, second integer, L2, third, fourth, texts.
    p.U32(1).U32(6).U32(2).U32(0).U32(3).U32(4).Str("\xe5\xa4\xa7\xe5\x8e\x85");
    p.U32(5).U32(0).U32(6).U32(9).U32(7).U32(8).Str("\xe4\xbc\x9a\xe8\xae\xae\xe5\xae\xa4");
    WaitForCall(Text().Add("SendRoomInfo 2 ").Hex(g_expected, 352));
  }

  // Forwarded requests, as C++ calls and as raw calls at every alignment.
  Check(agent->ForwardRequestA(5) == 0, "ForwardRequestA");
  WaitForCall(Text().Add("RequestA 5"));
  Check(agent->ForwardRequestB(6) == 0, "ForwardRequestB");
  WaitForCall(Text().Add("RequestB 6"));
  Check(agent->ForwardRequestC() == 0, "ForwardRequestC");
  WaitForCall(Text().Add("RequestC"));
  for (int i = 0; i < 4; ++i) {
    Check(Raw(self, 5, 1, static_cast<uint32_t>(-100 - i)) == 0, "raw ForwardRequestA");
    WaitForCall(Text().Add("RequestA ").Int(-100 - i));
    Check(Raw(self, 7, 1, 200 + i) == 0, "raw ForwardRequestB");
    Check(Raw(self, 9, 0) == 0, "raw ForwardRequestC");
    Check(Raw(self, 6, 2, 10002, U(GB_HELLO)) == 0, "raw SendText");
    Check(Raw(self, 10, 2, 1, U(rooms)) == 0, "raw SendRoomInfo");
    Check(Raw(self, 11, 1, 10002) == 0, "raw ContactUser");
    Check(RawWord(self, 0, 1, 1) == U(self), "raw GetInterface(1)");
  }
  WaitForCall(Text().Add("RequestB 203"));

  // Every relay, fired on an engine thread.
  seen = EventCount();
  g_friend_entries = 1;
  EngineRun(kRelays, 0);
  if (WaitForEvents(seen + 8)) {
    const int users[] = {2, 21, 23};
    CheckEvent(seen, 5, users, 3, GB_LIU_YANG "|abc|", 9, "OnUserList");
    const int text[] = {31, 0};
    CheckEvent(seen + 1, 6, text, 2, GB_HELLO, 4, "OnUserData(text)");
    const int a[] = {41};
    CheckEvent(seen + 2, 4, a, 1, "note", 4, "OnEventA");
    const int b[] = {0x12345678};
    CheckEvent(seen + 3, 7, b, 1, "", 0, "OnEventB");
    CheckEvent(seen + 4, 8, nullptr, 0, "", 0, "OnEventC");
    const int d[] = {7, -8, 9};
    CheckEvent(seen + 5, 9, d, 3, "", 0, "OnEventD");
    Bytes one(g_expected, sizeof g_expected);
    FriendInfoBytes(one, 10006, 7003, GB_LI_NA, "", "", 1);
    const int info[] = {10006, 1};
    CheckEvent(seen + 6, 6, info, 2, g_expected, one.size(), "OnUserData(friend)");
    Bytes update(g_expected, sizeof g_expected);
    FriendInfoBytes(update, 10002, 7001, GB_ZHANG_WEI, GB_ZHANG_WEI, "", 3);
    const int flag[] = {1};
    CheckEvent(seen + 7, 3, flag, 1, g_expected, update.size(), "OnFriendList(update)");
  }

  // The slots the agent takes no action on: results and stack, nothing relayed.
  seen = EventCount();
  EngineRun(kReserved, 0);
  Check(EventCount() == seen, "no callback from the reserved sink slots");

  // A loss: the host hears of it, and commands are refused again.
  EngineRun(kLoss, 0);
  if (WaitForEvents(seen + 1)) CheckEvent(seen, 10, nullptr, 0, "", 0, "OnConnectionLost");
  Check(agent->ForwardRequestA(1) == -1, "ForwardRequestA after the loss");
  Check(EngineAllSlotsCalled() == 1, "the engine called all 123 sink slots");

  Check(Raw(self, 1, 0) == 0, "Release");
  Check(WaitFor([] { return EngineAlive() == 0; }), "the engine is released with the agent");
}

// `delete agent` (slot 2 with flags 1) and `::delete agent` (as this
// compiler makes it: slot 2 with flags 0, then operator delete on what that
// returned) end a logged-in agent, engine included.
void DeleteThroughTheInterface(Host* host) {
  IMsgLogicEx* second = CreateMsgLogicEx();
  Check(second != nullptr, "second agent");
  if (second == nullptr) return;
  second->SetCallback(host, 2);
  Check(second->Connect(300, 1) == 0, "second agent logs in");
  Check(EngineAlive() == 1, "the second agent's engine");
  delete second;
  Check(EngineAlive() == 0, "delete ends the agent and its engine");

  IMsgLogicEx* third = CreateMsgLogicEx();
  Check(third != nullptr, "third agent");
  if (third == nullptr) return;
  third->SetCallback(host, 2);
  Check(third->Connect(300, 2) == 0, "third agent logs in");
  g_deleted = reinterpret_cast<void*>(1);
  ::delete third;
  Check(EngineAlive() == 0, "::delete ends the agent and its engine");
  Check(g_deleted == nullptr || g_deleted == reinterpret_cast<void*>(1),
        "::delete leaves the agent's memory to the agent");
}

// The checks prove something only if a callee that breaks the convention
// fails them: an object whose one slot clobbers callee-saved registers.
extern "C" void msabi_clobber(void);
#if MSABI_X64
__asm__(
    ".text\n"
    "msabi_clobber:\n"
    "  xorl %ebx, %ebx\n"
    "  xorl %r14d, %r14d\n"
    "  pxor %xmm7, %xmm7\n"
    "  movq %rbx, %xmm15\n"  // the upper half of XMM15 is cleared
    "  movabsq $0x5EC0FFEE5EC00096, %rax\n"
    "  movq %rax, %xmm15\n"  // the lower half is as it was
    "  xorl %eax, %eax\n"
    "  retq\n");
const uint32_t kClobbered = 0x1 | 0x40 | 0x200 | 0x20000;  // RBX, R14, XMM7, XMM15
#else
__asm__(
    ".text\n"
    "_msabi_clobber:\n"
    "  xorl %esi, %esi\n"
    "  xorl %eax, %eax\n"
    "  retl\n");
const uint32_t kClobbered = 1;
#endif

void CheckTheChecker() {
  void (*vtable[1])(void) = {msabi_clobber};
  void* object = vtable;
  void* bad = &object;
  const uintptr_t args[3] = {0, 0, 0};
  msabi::CallCheck check = {};
  msabi_call(bad, 0, 0, args, 0, &check);
  Text t;
  t.Add("a callee that clobbers registers is caught; it was told:");
  Check(check.saved == kClobbered, msabi::AppendRegisters(t, check.saved));
  Check(check.result == 0 && check.esp_delta == 0, "the clobbering callee's result and stack");
}

}  // namespace

extern "C" void MSABI_CDECL HostMain(void) {
  HANDLE engine = GetModuleHandleA("msglogic.dll");
  Check(engine != nullptr, "msglogic.dll loaded with msglogicex.dll");
  if (engine == nullptr) ExitProcess(2);
  EngineCall = reinterpret_cast<const char*(MSABI_CDECL*)(int)>(GetProcAddress(engine, "TestEngineCall"));
  EngineAlive = reinterpret_cast<int(MSABI_CDECL*)(void)>(GetProcAddress(engine, "TestEngineAlive"));
  EngineFailures = reinterpret_cast<int(MSABI_CDECL*)(void)>(GetProcAddress(engine, "TestEngineFailures"));
  EngineRun = reinterpret_cast<void(MSABI_CDECL*)(int, int)>(GetProcAddress(engine, "TestEngineRun"));
  EngineAllSlotsCalled =
      reinterpret_cast<int(MSABI_CDECL*)(void)>(GetProcAddress(engine, "TestEngineAllSlotsCalled"));
  EngineCallsChecked =
      reinterpret_cast<int(MSABI_CDECL*)(void)>(GetProcAddress(engine, "TestEngineCallsChecked"));
  if (EngineCall == nullptr || EngineAlive == nullptr || EngineFailures == nullptr ||
      EngineRun == nullptr || EngineAllSlotsCalled == nullptr || EngineCallsChecked == nullptr) {
    msabi::Out("FAIL: msglogic.dll is not the Microsoft-ABI test engine\n");
    ExitProcess(2);
  }
  Check(WriteLoginFile(), "KWPMsg\\loginInfo.ini written");

  CheckTheChecker();
  Host* host = new Host;
  Session(host);
  DeleteThroughTheInterface(host);
  Check(EngineFailures() == 0, "every sink call of the engine checked out");

  msabi::Out(Text().Add("msabi_host: ").Int(g_checks).Add(" checks, ").Int(g_failed)
                 .Add(" failed; the engine checked ").Int(EngineCallsChecked())
                 .Add(" sink calls, ").Int(EngineFailures()).Add(" failed\n").c_str());
  ExitProcess(g_failed == 0 && EngineFailures() == 0 ? 0 : 1);
}
