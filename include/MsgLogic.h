/*
 * MsgLogic.h - the interface between the agent library and a messaging
 * engine library (msglogic): the engine object IMsgLogic, its factory
 * CreateMsgLogic, and the event sink IMsgLogicSink through which the engine
 * reports.
 *
 * Operations are identified by their vtable slot; the slot numbers in the
 * comments are positions in the virtual table. Every argument is one word: a
 * 32-bit integer or a pointer. Engine records passed to the sink are flat,
 * little-endian, unpadded, and valid only during the call. See MsgExport.h
 * for the calling convention. C++ only.
 *
 * Engine contract, as the agent relies on it:
 *  - a successful login answers 2; every other result is failure;
 *  - the engine reports only through the sink given to SetSink, from its own
 *    threads, between SetSink and Release, and never from inside a call the
 *    agent is making into it (the agent holds its engine lock across every
 *    call but Release, and some sink handlers take that lock);
 *  - RequestUserInfo is answered with OnUserInfo, GetFriendList with
 *    OnFriendList, and OnActivity is called at least every 20 seconds while
 *    logged in;
 *  - once Release has returned, no sink call is under way or begins, on any
 *    thread but the one that called Release: Release waits, with no time
 *    limit, for every sink call under way (and a call a thread has decided
 *    to make counts as under way). The sink, and the module holding its
 *    code, may be gone as soon as Release returns.
 *  - Release may be called from inside a sink call, on the engine's own
 *    thread: it then does not wait for that thread, which must not call the
 *    sink again after its call returns.
 *  The agent for its part calls Release with none of its locks held, so a
 *  sink call waiting for one always ends, and never from inside another
 *  call into the engine. It does not wait for that Release before it makes
 *  the next engine object: after a lost connection, a new login may create
 *  one while the lost one is still inside its Release, so two engine
 *  objects of one agent can exist for that long.
 */
#ifndef MSG_LOGIC_H_
#define MSG_LOGIC_H_

#include <stdint.h>

#include "MsgExport.h"

/* A word-sized argument of a sink operation whose meaning belongs to the
 * engine; the agent ignores it. */
typedef intptr_t MsgWord;

class IMsgLogicSink;

/* The engine object: at least 114 operations. Reserved slots are
 * placeholders for operations the agent never calls. It has no virtual
 * destructor: it is destroyed through Release (slot 6). */
class IMsgLogic {
 public:
  /* Slot 0. Attaches the agent's event sink. */
  virtual int32_t SetSink(IMsgLogicSink* sink) = 0;
  virtual int32_t Reserved001() { return 0; }
  virtual int32_t Reserved002() { return 0; }
  /* Slot 3. Login by saved name ("0X" + hex bytes); 2 means logged in. */
  virtual int32_t LoginByName(const char* hexName, int32_t param) = 0;
  /* Slot 4. Login by user id; 2 means logged in. */
  virtual int32_t LoginById(int32_t userId, int32_t param) = 0;
  virtual int32_t Reserved005() { return 0; }
  /* Slot 6. Waits for the sink calls under way on other threads, then
   * destroys the engine object: no sink call after it returns (above). */
  virtual int32_t Release() = 0;
  virtual int32_t Reserved007() { return 0; }
  virtual int32_t Reserved008() { return 0; }
  virtual int32_t Reserved009() { return 0; }
  virtual int32_t Reserved010() { return 0; }
  virtual int32_t Reserved011() { return 0; }
  virtual int32_t Reserved012() { return 0; }
  virtual int32_t Reserved013() { return 0; }
  virtual int32_t Reserved014() { return 0; }
  virtual int32_t Reserved015() { return 0; }
  virtual int32_t Reserved016() { return 0; }
  virtual int32_t Reserved017() { return 0; }
  /* Slot 18. Sends text (borrowed for the call); one is the constant 1. */
  virtual int32_t SendText(int32_t userId, int32_t one, int32_t selfId, int32_t value, const char* text) = 0;
  virtual int32_t Reserved019() { return 0; }
  virtual int32_t Reserved020() { return 0; }
  virtual int32_t Reserved021() { return 0; }
  virtual int32_t Reserved022() { return 0; }
  virtual int32_t Reserved023() { return 0; }
  virtual int32_t Reserved024() { return 0; }
  virtual int32_t Reserved025() { return 0; }
  virtual int32_t Reserved026() { return 0; }
  virtual int32_t Reserved027() { return 0; }
  virtual int32_t Reserved028() { return 0; }
  virtual int32_t Reserved029() { return 0; }
  virtual int32_t Reserved030() { return 0; }
  virtual int32_t Reserved031() { return 0; }
  virtual int32_t Reserved032() { return 0; }
  virtual int32_t Reserved033() { return 0; }
  virtual int32_t Reserved034() { return 0; }
  virtual int32_t Reserved035() { return 0; }
  virtual int32_t Reserved036() { return 0; }
  virtual int32_t Reserved037() { return 0; }
  virtual int32_t Reserved038() { return 0; }
  virtual int32_t Reserved039() { return 0; }
  virtual int32_t Reserved040() { return 0; }
  virtual int32_t Reserved041() { return 0; }
  virtual int32_t Reserved042() { return 0; }
  virtual int32_t Reserved043() { return 0; }
  virtual int32_t Reserved044() { return 0; }
  virtual int32_t Reserved045() { return 0; }
  virtual int32_t Reserved046() { return 0; }
  virtual int32_t Reserved047() { return 0; }
  virtual int32_t Reserved048() { return 0; }
  virtual int32_t Reserved049() { return 0; }
  virtual int32_t Reserved050() { return 0; }
  virtual int32_t Reserved051() { return 0; }
  virtual int32_t Reserved052() { return 0; }
  virtual int32_t Reserved053() { return 0; }
  virtual int32_t Reserved054() { return 0; }
  virtual int32_t Reserved055() { return 0; }
  virtual int32_t Reserved056() { return 0; }
  virtual int32_t Reserved057() { return 0; }
  virtual int32_t Reserved058() { return 0; }
  virtual int32_t Reserved059() { return 0; }
  virtual int32_t Reserved060() { return 0; }
  virtual int32_t Reserved061() { return 0; }
  virtual int32_t Reserved062() { return 0; }
  virtual int32_t Reserved063() { return 0; }
  virtual int32_t Reserved064() { return 0; }
  virtual int32_t Reserved065() { return 0; }
  virtual int32_t Reserved066() { return 0; }
  virtual int32_t Reserved067() { return 0; }
  virtual int32_t Reserved068() { return 0; }
  virtual int32_t Reserved069() { return 0; }
  virtual int32_t Reserved070() { return 0; }
  virtual int32_t Reserved071() { return 0; }
  virtual int32_t Reserved072() { return 0; }
  virtual int32_t SetUserId(int32_t userId) = 0;                        /* 73 */
  /* Slot 74. Answered by IMsgLogicSink::OnUserInfo. */
  virtual int32_t RequestUserInfo(int32_t userId) = 0;
  virtual int32_t Reserved075() { return 0; }
  /* Slot 76. Note: value before selfId, unlike SendText. */
  virtual int32_t ContactUser(int32_t userId, int32_t value, int32_t selfId) = 0;
  virtual int32_t Reserved077() { return 0; }
  virtual int32_t Start() = 0;                                          /* 78 */
  virtual int32_t RequestA(int32_t value) = 0;                          /* 79 */
  virtual int32_t Reserved080() { return 0; }
  virtual int32_t RequestB(int32_t value) = 0;                          /* 81 */
  virtual int32_t Reserved082() { return 0; }
  /* Slot 83. packed: count entries of the packed room format; borrowed for the call. */
  virtual int32_t SendRoomInfo(uint32_t count, const void* packed) = 0;
  virtual int32_t RequestC() = 0;                                       /* 84 */
  virtual int32_t Reserved085() { return 0; }
  virtual int32_t Reserved086() { return 0; }
  virtual int32_t Reserved087() { return 0; }
  virtual int32_t Reserved088() { return 0; }
  virtual int32_t Reserved089() { return 0; }
  virtual int32_t KeepAlive() = 0;                                      /* 90 */
  virtual int32_t Reserved091() { return 0; }
  virtual int32_t Reserved092() { return 0; }
  virtual int32_t Reserved093() { return 0; }
  virtual int32_t Reserved094() { return 0; }
  virtual int32_t Reserved095() { return 0; }
  virtual int32_t Reserved096() { return 0; }
  virtual int32_t Reserved097() { return 0; }
  virtual int32_t Reserved098() { return 0; }
  virtual int32_t Reserved099() { return 0; }
  virtual int32_t Reserved100() { return 0; }
  virtual int32_t Reserved101() { return 0; }
  virtual int32_t Reserved102() { return 0; }
  virtual int32_t Reserved103() { return 0; }
  virtual int32_t Reserved104() { return 0; }
  virtual int32_t Reserved105() { return 0; }
  virtual int32_t Reserved106() { return 0; }
  virtual int32_t Reserved107() { return 0; }
  virtual int32_t Reserved108() { return 0; }
  virtual int32_t Reserved109() { return 0; }
  virtual int32_t Reserved110() { return 0; }
  virtual int32_t Reserved111() { return 0; }
  virtual int32_t Reserved112() { return 0; }
  /* Slot 113. Answered by IMsgLogicSink::OnFriendList. */
  virtual int32_t GetFriendList() = 0;

 protected:
  ~IMsgLogic() {}
};

/* The event sink the agent hands to SetSink: operations in slots 0 to 122,
 * the destructor entry Destroy in slot 123 after them (one entry, laid out as
 * MSVC lays out a virtual destructor; an engine built by MSVC may declare it
 * as `virtual ~IMsgLogicSink()`). The engine never owns the sink: the C++
 * destructor is protected and not virtual, and the agent's Destroy does
 * nothing. Operations named ReservedNNN are events
 * the agent does not act on; their argument counts and results still matter
 * (the callee removes its arguments on 32-bit Windows). */
class IMsgLogicSink {
 public:
  virtual int32_t Reserved000(MsgWord, MsgWord) = 0;        /*   0: returns 0 */
  virtual int32_t Reserved001(MsgWord, MsgWord, MsgWord) = 0; /*   1: returns 0 */
  virtual int32_t Reserved002(MsgWord) = 0;                 /*   2: returns 0 */
  virtual int32_t Reserved003(MsgWord) = 0;                 /*   3: returns 0 */
  virtual int32_t Reserved004(MsgWord) = 0;                 /*   4: returns 0 */
  virtual int32_t Reserved005(MsgWord) = 0;                 /*   5: returns 0 */
  /* Slot 6. record: type at 20, length L at 24, L bytes of text at 28. */
  virtual int32_t OnUserText(int32_t userId, const void* record) = 0;
  virtual int32_t Reserved007(MsgWord) = 0;                 /*   7: returns 0 */
  virtual int32_t Reserved008(MsgWord) = 0;                 /*   8: returns 1 */
  /* Slot 9. record: user id at 0, value at 4. Returns 1. */
  virtual int32_t OnUserInfo(const void* record) = 0;
  virtual int32_t Reserved010(MsgWord) = 0;                 /*  10: returns 0 */
  virtual int32_t Reserved011(MsgWord) = 0;                 /*  11: returns 0 */
  virtual int32_t Reserved012(MsgWord) = 0;                 /*  12: returns 0 */
  virtual int32_t Reserved013(MsgWord) = 0;                 /*  13: returns 0 */
  virtual int32_t Reserved014(MsgWord) = 0;                 /*  14: returns 0 */
  virtual int32_t Reserved015(MsgWord) = 0;                 /*  15: returns 0 */
  virtual int32_t Reserved016(MsgWord) = 0;                 /*  16: returns 0 */
  virtual int32_t Reserved017(MsgWord) = 0;                 /*  17: returns 0 */
  virtual int32_t Reserved018(MsgWord) = 0;                 /*  18: returns 0 */
  virtual int32_t Reserved019(MsgWord) = 0;                 /*  19: returns 0 */
  virtual int32_t Reserved020(MsgWord) = 0;                 /*  20: returns 0 */
  virtual int32_t Reserved021(MsgWord, MsgWord) = 0;        /*  21: returns 0 */
  virtual int32_t Reserved022(MsgWord) = 0;                 /*  22: returns 0 */
  virtual int32_t Reserved023(MsgWord) = 0;                 /*  23: returns 0 */
  virtual int32_t Reserved024(MsgWord) = 0;                 /*  24: returns 0 */
  virtual int32_t Reserved025(MsgWord) = 0;                 /*  25: returns 0 */
  virtual int32_t Reserved026(MsgWord, MsgWord) = 0;        /*  26: returns 0 */
  virtual int32_t Reserved027(MsgWord) = 0;                 /*  27: returns 0 */
  virtual int32_t Reserved028(MsgWord) = 0;                 /*  28: returns 0 */
  virtual int32_t Reserved029(MsgWord) = 0;                 /*  29: returns 0 */
  virtual int32_t Reserved030(MsgWord) = 0;                 /*  30: returns 0 */
  virtual int32_t Reserved031(MsgWord) = 0;                 /*  31: returns 0 */
  virtual int32_t Reserved032(MsgWord) = 0;                 /*  32: returns 0 */
  virtual int32_t Reserved033(MsgWord) = 0;                 /*  33: returns 0 */
  virtual int32_t Reserved034(MsgWord) = 0;                 /*  34: returns 0 */
  virtual int32_t Reserved035(MsgWord) = 0;                 /*  35: returns 0 */
  /* Slot 36. record: user id at 0, text at 22. */
  virtual int32_t OnEventA(const void* record) = 0;
  /* Slot 37. list: count N at 0, then N friend records. See the agent's documentation for the layout. */
  virtual int32_t OnFriendList(const void* list) = 0;
  virtual int32_t Reserved038(MsgWord) = 0;                 /*  38: returns 0 */
  /* Slot 39. record: one friend record. */
  virtual int32_t OnFriendInfo(const void* record) = 0;
  virtual int32_t Reserved040(MsgWord) = 0;                 /*  40: returns 0 */
  virtual int32_t Reserved041(MsgWord) = 0;                 /*  41: returns 0 */
  virtual void Reserved042(MsgWord) = 0;                    /*  42: no result */
  virtual void Reserved043(MsgWord) = 0;                    /*  43: no result */
  virtual int32_t Reserved044(MsgWord) = 0;                 /*  44: returns 0 */
  virtual int32_t Reserved045(MsgWord) = 0;                 /*  45: returns 0 */
  virtual int32_t Reserved046(MsgWord) = 0;                 /*  46: returns 0 */
  virtual int32_t Reserved047(MsgWord) = 0;                 /*  47: returns 0 */
  virtual int32_t Reserved048(MsgWord) = 0;                 /*  48: returns 0 */
  virtual int32_t Reserved049(MsgWord) = 0;                 /*  49: returns 0 */
  virtual int32_t Reserved050(MsgWord) = 0;                 /*  50: returns 0 */
  virtual int32_t Reserved051(MsgWord) = 0;                 /*  51: returns 0 */
  virtual int32_t Reserved052(MsgWord) = 0;                 /*  52: returns 0 */
  virtual int32_t Reserved053(MsgWord) = 0;                 /*  53: returns 0 */
  virtual int32_t Reserved054(MsgWord) = 0;                 /*  54: returns 0 */
  virtual int32_t Reserved055(MsgWord) = 0;                 /*  55: returns 0 */
  virtual int32_t Reserved056(MsgWord) = 0;                 /*  56: returns 0 */
  virtual int32_t Reserved057(MsgWord) = 0;                 /*  57: returns 0 */
  virtual int32_t Reserved058(MsgWord) = 0;                 /*  58: returns 0 */
  virtual int32_t Reserved059(MsgWord) = 0;                 /*  59: returns 0 */
  virtual int32_t Reserved060(MsgWord) = 0;                 /*  60: returns 0 */
  virtual int32_t Reserved061(MsgWord, MsgWord, MsgWord) = 0; /*  61: returns 0 */
  virtual int32_t Reserved062() = 0;                        /*  62: returns 0 */
  virtual int32_t Reserved063() = 0;                        /*  63: returns 0 */
  virtual int32_t Reserved064(MsgWord) = 0;                 /*  64: returns 0 */
  virtual int32_t Reserved065(MsgWord) = 0;                 /*  65: returns 0 */
  virtual int32_t Reserved066(MsgWord) = 0;                 /*  66: returns 0 */
  virtual void Reserved067() = 0;                           /*  67: no result */
  virtual void Reserved068() = 0;                           /*  68: no result */
  virtual void Reserved069(MsgWord, MsgWord) = 0;           /*  69: no result */
  virtual void Reserved070() = 0;                           /*  70: no result */
  virtual void Reserved071() = 0;                           /*  71: no result */
  virtual void Reserved072(MsgWord, MsgWord) = 0;           /*  72: no result */
  virtual void Reserved073() = 0;                           /*  73: no result */
  virtual void Reserved074(MsgWord) = 0;                    /*  74: no result */
  virtual int32_t Reserved075(MsgWord) = 0;                 /*  75: returns 0 */
  virtual void Reserved076(MsgWord) = 0;                    /*  76: no result */
  virtual void Reserved077(MsgWord) = 0;                    /*  77: no result */
  virtual int32_t Reserved078(MsgWord) = 0;                 /*  78: returns 0 */
  virtual int32_t Reserved079(MsgWord) = 0;                 /*  79: returns 0 */
  /* Slot 80. selfId: the logged-in user's own id. */
  virtual int32_t OnSelfId(const int32_t* selfId) = 0;
  virtual int32_t Reserved081(MsgWord) = 0;                 /*  81: returns 0 */
  /* Slot 82. value is relayed to the host unchanged. */
  virtual int32_t OnEventB(int32_t value) = 0;
  virtual int32_t Reserved083(MsgWord) = 0;                 /*  83: returns 0 */
  virtual int32_t Reserved084(MsgWord) = 0;                 /*  84: returns 0 */
  /* Slot 85. list: count N at 0, then N entries (id, kind byte, length, UTF-8 name). */
  virtual int32_t OnUserList(const void* list) = 0;
  virtual int32_t Reserved086(MsgWord) = 0;                 /*  86: returns 0 */
  /* Slot 87. record: one friend record, relayed as a list of one. */
  virtual int32_t OnFriendUpdate(const void* record) = 0;
  /* Slot 88. The connection shows life. */
  virtual int32_t OnActivity() = 0;
  virtual int32_t Reserved089(MsgWord) = 0;                 /*  89: returns 0 */
  /* Slot 90. Relayed to the host. */
  virtual int32_t OnEventC() = 0;
  /* Slot 91. values: three 32-bit integers. */
  virtual int32_t OnEventD(const void* values) = 0;
  virtual int32_t Reserved092(MsgWord) = 0;                 /*  92: returns 0 */
  virtual int32_t Reserved093(MsgWord) = 0;                 /*  93: returns 0 */
  virtual void Reserved094(MsgWord) = 0;                    /*  94: no result */
  virtual void Reserved095(MsgWord) = 0;                    /*  95: no result */
  virtual void Reserved096() = 0;                           /*  96: no result */
  virtual int32_t Reserved097() = 0;                        /*  97: returns 0 */
  virtual void Reserved098(MsgWord, MsgWord) = 0;           /*  98: no result */
  virtual int32_t Reserved099(MsgWord) = 0;                 /*  99: returns 0 */
  virtual void Reserved100(MsgWord) = 0;                    /* 100: no result */
  /* Slot 101. The engine lost its connection. */
  virtual void OnDisconnect() = 0;
  virtual void Reserved102(MsgWord) = 0;                    /* 102: no result */
  virtual void Reserved103(MsgWord) = 0;                    /* 103: no result */
  virtual void Reserved104(MsgWord) = 0;                    /* 104: no result */
  virtual void Reserved105(MsgWord) = 0;                    /* 105: no result */
  virtual void Reserved106(MsgWord) = 0;                    /* 106: no result */
  virtual void Reserved107(MsgWord) = 0;                    /* 107: no result */
  virtual void Reserved108(MsgWord) = 0;                    /* 108: no result */
  virtual void Reserved109(MsgWord) = 0;                    /* 109: no result */
  virtual void Reserved110(MsgWord) = 0;                    /* 110: no result */
  virtual void Reserved111(MsgWord) = 0;                    /* 111: no result */
  virtual void Reserved112(MsgWord) = 0;                    /* 112: no result */
  virtual void Reserved113(MsgWord) = 0;                    /* 113: no result */
  virtual void Reserved114(MsgWord) = 0;                    /* 114: no result */
  virtual void Reserved115(MsgWord) = 0;                    /* 115: no result */
  virtual void Reserved116(MsgWord) = 0;                    /* 116: no result */
  virtual void Reserved117(MsgWord) = 0;                    /* 117: no result */
  virtual void Reserved118(MsgWord) = 0;                    /* 118: no result */
  virtual void Reserved119(MsgWord) = 0;                    /* 119: no result */
  virtual void Reserved120(MsgWord) = 0;                    /* 120: no result */
  virtual void Reserved121(MsgWord) = 0;                    /* 121: no result */
  /* Slot 122. list: count N at 0, then N (user id, value) pairs. Returns N. */
  virtual int32_t OnFriendValues(const void* list) = 0;
  /* Slot 123. flags as for IMsgObject::Destroy (MSG_DESTROY_FREE). Base
   * behaviour, the agent's too: nothing, returns this. */
  virtual void* Destroy(uint32_t /* flags */) { return this; }

 protected:
  ~IMsgLogicSink() {}
};

/* Creates a new engine object, or null. Exported by the engine library. */
extern "C" MSGLOGIC_API IMsgLogic* CreateMsgLogic(void);

#endif /* MSG_LOGIC_H_ */
