// The network thread's state: one Net for each engine object, made and
// used by its network thread alone (InboundSession drives one on its
// caller's thread, without a connection or threads). Its members are
// defined by concern:
//   connection.cc  a login, TLS and the certificate checks, the socket, the
//                  connection's events, its end, and what goes on the wire
//   net_thread.cc  the loop: commands, timers, libstrophe's turns, sleep,
//                  the close on release
//   roster.cc      friends and their presence and vCards, ids of JIDs, our
//                  own presence, user info and the friend list
//   messages.cc    the entry of every stanza, and messages in and out
//   iq.cc          our IQs and their answers, pings, the server's IQs
//   rooms.cc       our rooms published with PEP, friends' rooms, our caps
//   delivery.cc    handing the sink calls to the delivery thread
//   stream_mgmt.cc stream management: what the server has acknowledged,
//                  resuming a dropped stream, reporting unacknowledged texts
// Rules that hold in all of them:
//  - Net never calls the sink: it collects a turn's sink calls with Emit,
//    and the turn's end hands them, in order, to the delivery thread.
//  - Net never waits for the agent; it takes shared->mu only for short
//    holds.
//  - What peers and the server can make it keep is bounded by the limits
//    below; past each the newest is dropped, with one warning.
//  - An exception from a command or from a stanza's handling is logged as
//    a warning and goes no further.
#ifndef MSGLOGIC_ENGINE_XMPP_NET_H_
#define MSGLOGIC_ENGINE_XMPP_NET_H_

#include <stdint.h>
#include <strophe.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/records.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/shared.h"

namespace xmpp_engine {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// With nothing received for this long, the engine pings the server itself,
// so that a live connection shows activity well within the agent's 20 s.
constexpr milliseconds kQuietPing{8000};
// An IQ the server never answers is given up after this long; a vCard
// request for RequestUserInfo is then answered all the same.
constexpr milliseconds kIqTimeout{10000};
// GetFriendList waits this long at most for the roster and the friends'
// vCards before it answers with what it has.
constexpr milliseconds kFriendListWait{3000};
// Release lets the stream close cleanly for this long at most.
constexpr milliseconds kCloseWait{200};
// While logging in or resuming, libstrophe's negotiation steps are not all
// visible in its send queue: the thread looks again this often.
constexpr milliseconds kNegotiationPoll{5};
// Attempts to resume a dropped stream: the first at once, then after
// kResumeBackoff, doubling up to kResumeBackoffMax, until Config::resume_ms
// has passed since the drop.
constexpr milliseconds kResumeBackoff{100};
constexpr milliseconds kResumeBackoffMax{1000};
// Stanzas sent and not yet acknowledged by the server, kept to be sent again
// on a resumed stream or reported (texts) if it is lost; past this, the
// oldest are forgotten.
constexpr size_t kMaxUnacked = 1000;

// Bounds on what peers and the server can make the engine keep. Past each,
// the newest is dropped (with one warning until the state shrinks again).
// Resources (presences) kept for one friend.
constexpr size_t kMaxResources = 16;
// JIDs that are not plain numbers given ids (strangers and friends alike)
// over the engine object's life.
constexpr size_t kMaxJids = 4096;
// Friends in the roster.
constexpr size_t kMaxRoster = 2000;
// Our IQs waiting for an answer.
constexpr size_t kMaxIqs = 256;
// Sink calls waiting for the delivery thread: past kStrangerCalls, texts
// and notices from users who are not friends are dropped; past kMaxCalls,
// every call but the loss of the connection.
constexpr size_t kStrangerCalls = 1000;
constexpr size_t kMaxCalls = 10000;
// The longest chat text passed on, in bytes of UTF-8 (a longer one is cut
// at a character boundary).
constexpr size_t kMaxText = 32 * 1024;
// Rooms in one list, ours or a friend's (past that the rest are left out),
// and the longest room text kept, in bytes of UTF-8 (the host's fields hold
// 31 bytes of GB2312, at most 62 of UTF-8).
constexpr size_t kMaxRooms = 32;
constexpr size_t kMaxRoomText = 64;

// Status bytes of friend records.
constexpr uint8_t kStatusOnline = 1;
constexpr uint8_t kStatusOffline = 2;
constexpr uint8_t kStatusAway = 4;
constexpr uint8_t kStatusBusy = 5;

const char kContactNs[] = "urn:msglogicex:contact";
// Our PEP node, and the namespace of its payload.
const char kRoomsNs[] = "urn:msglogicex:rooms";

// One presence of a friend: a resource's show and status text.
struct Presence {
  std::string show;
  std::string text;
};

struct Friend {
  std::string jid;  // bare
  int32_t id = 0;
  std::string name;      // roster name
  std::string nickname;  // vCard NICKNAME
  std::map<std::string, Presence> resources;
  uint8_t status = kStatusOffline;
  std::string status_text;
  std::string rooms;  // the friend's rooms as last reported (rooms.cc)
  // The roster's subscription lets the friend's presence reach us ("to",
  // "both"): only then does status offline mean not online.
  bool presence_seen = false;
};

// What an outstanding IQ of ours is for.
struct PendingIq {
  enum Kind {
    kRoster, kFriendVcard, kUserInfo, kPing, kRequestB, kRequestC, kLoginBarrier, kRooms
  } kind = kPing;
  std::string jid;
  // Where the IQ went: its answer must come from there (empty: our own
  // account, which the server answers for).
  std::string to;
  int32_t user = 0;
  int32_t value = 0;
  std::string names;  // kRooms: the rooms' names, for the host's answer
  Clock::time_point deadline;
};

// 128 bits from the kernel's random source as hex: ids of our stanzas that
// no peer can guess.
std::string RandomToken();

// The defined condition of an error stanza, or "unknown".
std::string ErrorCondition(xmpp_stanza_t* stanza);

struct Net {
  std::shared_ptr<Shared> shared;
  const Config& config;
  xmpp_ctx_t* ctx = nullptr;
  xmpp_conn_t* conn = nullptr;
  int sock = -1;
  // kResuming: the connection dropped while online and the engine is
  // resuming the stream (stream_mgmt.cc); to the agent it is still online.
  enum Phase { kIdle, kLoggingIn, kOnline, kResuming } phase = kIdle;
  bool conn_dead = false;  // libstrophe reported the end: release the connection
  bool auth_failed = false;
  // Why the login under way must end at once (a certificate or pin that
  // does not match, a clear-text login that would reveal the password), or
  // empty. Checked after every libstrophe turn, before it writes again.
  std::string refusal;
  // Why the TLS handshake failed, as the certificate check said.
  std::string tls_failure;
  // The last error libstrophe logged during the login.
  std::string last_error;
  bool peer_checked = false;  // the pin was compared after the handshake

  uint64_t login = 0;
  Clock::time_point login_deadline;
  std::string self_jid;  // bare
  int32_t self_id = 0;
  bool self_id_set = false;  // SetUserId since the login
  bool started = false;
  // Bound and available, but the login answers only once the server has
  // answered a ping sent after our initial presence: the server handles a
  // session's stanzas in order, so by then it routes messages to us. (A text
  // sent to us right after our Connect returned would otherwise come back
  // as "not online".)
  bool awaiting_presence = false;

  std::vector<Friend> roster;  // in roster order
  bool roster_loaded = false;
  int friend_lists_wanted = 0;
  // A friend list has gone out: changes are reported one friend at a time
  // from then on (before, the list carries them).
  bool list_sent = false;
  Clock::time_point friend_list_deadline;
  JidTable jid_table{kMaxJids};  // ids of JIDs that are not our numbers
  bool jids_full_told = false;
  std::map<std::string, PendingIq> iqs;
  bool iqs_full_told = false;
  bool backlog_told = false;
  Clock::time_point last_received;
  Clock::time_point last_ping;

  // Sink calls to make; `essential` ones (the loss of the connection) are
  // never dropped for want of room.
  struct Outgoing {
    SinkCall call;
    bool essential;
  };
  std::vector<Outgoing> out;
  bool activity = false;
  // Without a connection (the inbound-stanza harness), what would be sent.
  std::vector<std::string>* capture = nullptr;
  // Non-zero (the harness): IQ ids are "t1", "t2", ... instead of random.
  uint64_t predictable_ids = 0;

  // Stream management (stream_mgmt.cc). A stanza for the wire, with the
  // text it carries when it is a chat text (to report it if it is lost).
  struct Stanza {
    std::string xml;
    int32_t user = 0;
    std::string text;
    bool is_text = false;
    bool counted = false;  // already numbered (taken back from libstrophe)
  };
  struct Numbered {
    uint32_t seq;  // our stanzas before it in the stream
    Stanza stanza;
  };
  bool sm_enabled = false;    // the server counts our stanzas
  bool sm_resumable = false;  // and would let us resume the stream
  bool sm_tracking = false;   // stanzas are kept until acknowledged
  uint32_t sm_out = 0;        // our stanzas handed to libstrophe
  uint32_t sm_in = 0;         // the server's stanzas received since <enabled/>
  std::deque<Numbered> unacked;  // sent, not acknowledged yet
  bool unacked_full_told = false;
  std::deque<Stanza> held;  // to send once the stream is resumed
  Clock::time_point resume_deadline;
  Clock::time_point next_attempt;
  int attempts = 0;
  bool attempt_live = false;  // libstrophe is connecting for a resumption
  bool resumed_seen = false;  // the server said <resumed/> on this attempt
  int probe_fd = -1;          // a plain TCP connect that precedes an attempt

  Net(std::shared_ptr<Shared> s, const Config& c) : shared(std::move(s)), config(c) {}

  void Emit(SinkCall call, bool essential = false) { out.push_back({std::move(call), essential}); }
  void Log(const std::string& line) const { shared->Log(line); }

  // The members below are defined in the files named, each with its
  // comment.

  // connection.cc
  static thread_local Net* current_;  // this thread's Net, for libstrophe's callbacks
  bool Online(const char* what) const;
  bool Negotiating() const { return phase == kLoggingIn || (phase == kResuming && attempt_live); }
  void Send(const std::string& xml);
  void Login(uint64_t id, const std::string& jid, const std::string& password);
  void FinishLogin(int32_t result);
  void DropConnection();
  void Start();
  void SetUserId(int32_t id);
  static int OnCertFail(const xmpp_tlscert_t* cert, const char* const error);
  void CheckLogin();
  static int OnSocket(xmpp_conn_t* conn, void* socket);
  static void OnConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                           xmpp_stream_error_t* stream_error, void* userdata);
  void HandleConnection(xmpp_conn_event_t event, int error, xmpp_stream_error_t* stream_error);
  static void OnLog(void* userdata, xmpp_log_level_t level, const char* area, const char* msg);

  // net_thread.cc
  void Timers();
  int WaitMs() const;
  void Pump();
  bool Turn(std::deque<Command>* commands);
  void Sleep();
  void Run();
  void Close();
  void EndStream();
  void SendFinalAck();

  // roster.cc
  Friend* FindFriend(const std::string& jid);
  int32_t IdOf(const std::string& bare);
  std::string JidOf(int32_t id) const;
  int32_t ValueOf(const std::string& jid);
  stand_in::Person PersonOf(const Friend& f) const;
  void ReportFriend(const Friend& f);
  bool FriendListReady() const;
  void AnswerFriendLists();
  void GetFriendList();
  void UserInfo(int32_t user);
  void OwnPresence(int32_t value);
  void OnPresence(xmpp_stanza_t* stanza);
  void UpdateStatus(Friend* f);
  void ReadRoster(xmpp_stanza_t* query, bool push);
  void ReadVcard(const std::string& jid, xmpp_stanza_t* vcard);

  // messages.cc
  void SendText(int32_t user, const std::string& utf8);
  void Contact(int32_t user);
  static int OnStanza(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* userdata);
  void Inbound(xmpp_stanza_t* stanza);
  static std::string Attr(xmpp_stanza_t* stanza, const char* name);
  static std::string TextOf(xmpp_stanza_t* stanza);
  bool RoomForStranger(const std::string& jid);
  void OnMessage(xmpp_stanza_t* stanza);

  // iq.cc
  std::string NewIqId(PendingIq iq);
  bool SendPing(PendingIq::Kind kind, int32_t value);
  bool RequestVcard(PendingIq::Kind kind, const std::string& jid, int32_t user);
  bool AnswersFor(const std::string& from, const PendingIq& iq) const;
  void RequestB(int32_t value);
  void RequestC();
  void KeepAlive();
  void OnIq(xmpp_stanza_t* stanza);
  void AnswerIq(xmpp_stanza_t* stanza, const std::string& type, const std::string& id);

  // rooms.cc
  static const std::string& CapsElement();
  void PublishRooms(const std::vector<stand_in::Room>& rooms, bool whole);
  void RoomsAnswered(const PendingIq& iq, const std::string& failure);
  void OnPepEvent(const std::string& from, xmpp_stanza_t* event);
  void AnswerDiscoInfo(xmpp_stanza_t* query, const std::string& id, const std::string& to);

  // delivery.cc
  size_t Backlog() const;
  bool Deliver();

  // stream_mgmt.cc
  void Transmit(Stanza stanza);
  void WatchSm(const char* stanza);
  void Acked(uint32_t h);
  void SmStarted();
  bool BeginResume();
  void AttemptOver();
  void ResumeTimers(Clock::time_point now);
  void StartAttempt();
  void Resumed();
  void ReportUnacked();
  void GiveUp(const std::string& why);
  void CloseProbe();
};

}  // namespace xmpp_engine

#endif  // MSGLOGIC_ENGINE_XMPP_NET_H_
