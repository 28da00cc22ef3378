/*
 * MsgLogicEx.h - the interface between a host application and the agent
 * library msglogicex.
 *
 * The host calls CreateMsgLogicEx() once per agent, registers its
 * IMsgLogicExCallback with SetCallback, logs in with Connect, and ends the
 * agent with Release. Everything the agent reports arrives on the callback,
 * on threads that are not the host's (engine threads and the agent's
 * supervision worker), never with an agent lock held. Release may be
 * called from inside a callback; once it returns no callback begins, and
 * callbacks under way on other threads have been waited for (up to 5 s).
 *
 * Texts exchanged with the host are NUL-terminated GB2312 (code page 936)
 * byte strings. Integers are 32-bit; results are signed 32-bit.
 * See MsgExport.h for the binary conventions (slots, calling convention,
 * packing); they hold for hosts built by MSVC, MinGW-w64 or clang alike.
 * C++ only.
 */
#ifndef MSG_LOGIC_EX_H_
#define MSG_LOGIC_EX_H_

#include <stddef.h>
#include <stdint.h>

#include "MsgExport.h"

/* Interface ids understood by IMsgObject::GetInterface. */
enum {
  MSG_IID_LOGICEX = 1,          /* IMsgLogicEx, the agent */
  MSG_IID_LOGICEX_CALLBACK = 2  /* IMsgLogicExCallback, the host's object */
};

#pragma pack(push, 1)

/* One friend as the agent hands it to the host: 359 bytes, no padding.
 * Texts are GB2312, NUL-terminated inside their field; unused bytes are 0. */
struct FriendInfo {
  int32_t nUserId;         /*   0: user id */
  int32_t nUserValue;      /*   4: the user's value, handed back to the engine */
  int32_t nInfoA;          /*   8 */
  uint16_t wInfoB;         /*  12 */
  uint8_t byReserved1[10]; /*  14: zero */
  char szName[32];         /*  24 */
  char szDisplayName[34];  /*  56 */
  int32_t nInfoC;          /*  90 (not 4-byte aligned) */
  char szLongText[256];    /*  94 */
  uint8_t byStatus;        /* 350: 2 and 3 mean "not online" */
  uint8_t byReserved2[8];  /* 351: zero */
};

/* One room-information record as the host passes it to SendRoomInfo:
 * 80 bytes. Texts are GB2312, NUL-terminated inside their 32-byte field. */
struct RoomInfo {
  int32_t nValue1;   /*  0 */
  char szText1[32];  /*  4 */
  int32_t nValue2;   /* 36 */
  char szText2[32];  /* 40 */
  int32_t nValue3;   /* 72 */
  int32_t nValue4;   /* 76 */
};

/* One element of the array passed to IMsgLogicExCallback::OnUserList: the
 * user id at offset 0 and a pointer to a NUL-terminated GB2312 name at
 * offset 4 (8 bytes on 32-bit targets, 12 on 64-bit). */
struct UserEntry {
  int32_t nUserId;
  const char* pszName;
};

#pragma pack(pop)

static_assert(sizeof(FriendInfo) == 359, "FriendInfo is 359 bytes");
static_assert(offsetof(FriendInfo, nUserValue) == 4, "FriendInfo layout");
static_assert(offsetof(FriendInfo, nInfoA) == 8, "FriendInfo layout");
static_assert(offsetof(FriendInfo, wInfoB) == 12, "FriendInfo layout");
static_assert(offsetof(FriendInfo, szName) == 24, "FriendInfo layout");
static_assert(offsetof(FriendInfo, szDisplayName) == 56, "FriendInfo layout");
static_assert(offsetof(FriendInfo, nInfoC) == 90, "FriendInfo layout");
static_assert(offsetof(FriendInfo, szLongText) == 94, "FriendInfo layout");
static_assert(offsetof(FriendInfo, byStatus) == 350, "FriendInfo layout");
static_assert(offsetof(FriendInfo, byReserved2) == 351, "FriendInfo layout");
static_assert(sizeof(RoomInfo) == 80, "RoomInfo is 80 bytes");
static_assert(offsetof(RoomInfo, szText1) == 4, "RoomInfo layout");
static_assert(offsetof(RoomInfo, nValue2) == 36, "RoomInfo layout");
static_assert(offsetof(RoomInfo, szText2) == 40, "RoomInfo layout");
static_assert(offsetof(RoomInfo, nValue3) == 72, "RoomInfo layout");
static_assert(offsetof(RoomInfo, nValue4) == 76, "RoomInfo layout");
static_assert(offsetof(UserEntry, pszName) == 4, "UserEntry layout");
static_assert(sizeof(UserEntry) == 4 + sizeof(void*), "UserEntry is packed");

/* Base of the agent and of the host's objects.
 * Slot 0 GetInterface, slot 1 Release, slot 2 Destroy (the destructor entry).
 *
 * Slot 2 is where Microsoft's compiler puts a virtual destructor; it is
 * declared here as an ordinary member so that it takes that one entry on
 * every compiler (see MsgExport.h). A program built by MSVC may declare it as
 * `virtual ~IMsgObject()` instead. The C++ destructor is protected and not
 * virtual: `delete` through these interfaces does not compile against these
 * headers; a host ends an agent with Release. */
class IMsgObject {
 public:
  /* The object's interface with the given id, or null. */
  virtual void* GetInterface(int32_t id) = 0;
  /* Base behaviour: nothing, 0. The agent's Release ends the agent. */
  virtual int32_t Release() { return 0; }
  /* Slot 2, laid out as MSVC's deleting destructor: flags bit 0
   * (MSG_DESTROY_FREE) asks for the memory to be freed; returns the object's
   * address. Base behaviour, for the host's objects: nothing, returns this
   * (the agent never calls it: it does not own the host's objects).
   * The agent's Destroy ends the agent exactly as Release does, whatever the
   * flags (it owns its memory; nobody else can free it), so a host built with
   * `virtual ~IMsgObject()` may `delete` an agent. It returns the agent's
   * address when bit 0 is set and null when it is clear, so that a caller
   * which frees the returned address itself (`::delete` as older clang
   * versions compile it: flags 0, then operator delete on the result) frees
   * nothing. */
  virtual void* Destroy(uint32_t /* flags */) { return this; }

 protected:
  ~IMsgObject() {}
};

class IMsgLogicExCallback;

/* The agent, as the host sees it (interface id 1). */
class IMsgLogicEx : public IMsgObject {
 public:
  /* Slot 3. With id 2, asks obj->GetInterface(2) for the callback and
   * registers it (null when obj is null or answers null); any other id keeps
   * the registered callback. Returns the callback now registered. */
  virtual IMsgLogicExCallback* SetCallback(IMsgObject* obj, int32_t id) = 0;
  /* Slot 4. Logs userId in with its saved login entry; param is passed to
   * the engine's login unchanged. 0 success; 1 name login refused; 2 id
   * login refused; 3 no usable saved login; 4 no engine. */
  virtual int32_t Connect(int32_t userId, int32_t param) = 0;
  /* Slots 5 to 11 return -1 while not logged in. */
  virtual int32_t ForwardRequestA(int32_t value) = 0;                   /* 5 */
  /* 0 handed to the engine; 1 queued until the user's details arrive. */
  virtual int32_t SendText(int32_t userId, const char* text) = 0;       /* 6 */
  virtual int32_t ForwardRequestB(int32_t value) = 0;                   /* 7 */
  virtual int32_t GetFriendList() = 0;                                  /* 8 */
  virtual int32_t ForwardRequestC() = 0;                                /* 9 */
  virtual int32_t SendRoomInfo(uint32_t count, const RoomInfo* rooms) = 0;  /* 10 */
  /* -1 also when the user is no friend or is not online. */
  virtual int32_t ContactUser(int32_t userId) = 0;                      /* 11 */
};

/* The host's callback object (interface id 2). Results are ignored. Every
 * pointer argument is valid only during the call; copy what you keep. */
class IMsgLogicExCallback : public IMsgObject {
 public:
  /* Slot 3. (0, null) for an empty list; else (1, array) with as many
   * FriendInfo entries as the engine's list had, the passed-on ones first
   * and the rest all zero. */
  virtual int32_t OnFriendList(int32_t flag, const FriendInfo* friends) = 0;
  /* Slot 4. text points into the engine's record; not copied. */
  virtual int32_t OnEventA(int32_t userId, const char* text) = 0;
  /* Slot 5. count entries of (user id, GB2312 name). */
  virtual int32_t OnUserList(int32_t count, const UserEntry* users) = 0;
  /* Slot 6. kind 0: data is a NUL-terminated text as the engine sent it;
   * kind 1: data is a `const FriendInfo* const*`, the user's details. */
  virtual int32_t OnUserData(int32_t userId, int32_t kind, const void* data) = 0;
  virtual int32_t OnEventB(int32_t value) = 0;                          /* 7 */
  virtual int32_t OnEventC() = 0;                                       /* 8 */
  virtual int32_t OnEventD(int32_t a, int32_t b, int32_t c) = 0;        /* 9 */
  /* Slot 10. The connection is lost; the agent resets right after. */
  virtual int32_t OnConnectionLost() = 0;
};

/* Creates a new, independent agent; null when memory cannot be had. The
 * caller owns it until it calls Release on it (or Destroy, slot 2). */
extern "C" MSGLOGICEX_API IMsgLogicEx* CreateMsgLogicEx(void);

/* For hosts that look the factory up at run time (dlsym / GetProcAddress). */
typedef IMsgLogicEx* (*PFN_CreateMsgLogicEx)(void);

#endif /* MSG_LOGIC_EX_H_ */
