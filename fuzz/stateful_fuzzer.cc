// One agent driven through a sequence of operations taken from the input:
// engine events with records, host commands, losses, virtual time passing
// (the workers run), Connect, and Release followed by a new agent. A model
// of what the agent should hold is kept beside it and compared after every
// step, with the invariants that must hold whatever the order:
//  - after a loss that no new login superseded: not logged in, no friends,
//    no values, no queued texts, own id -1;
//  - a queued text reaches the engine once, with the value of the answer;
//  - the engine is called only while it exists (never after its Release),
//    and at most one engine is alive between steps (the workers' passes
//    have ended by then);
//  - commands answer -1 and call nothing while not logged in;
//  - no callback after Release; no lock nested outside the agent's order.
//
// Each operation is one byte (its code) followed by its arguments.
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "events/record_view.h"
#include "fuzz/harness.h"
#include "tests/support/records.h"

namespace fz = msglogic::fuzz;
namespace t = msglogic::testing;
using msglogic::AgentPeer;
using msglogic::CMsgLogicAgent;
using msglogic::RecordView;

namespace {

// Users come from a small set, so that records, texts and commands meet.
int32_t UserId(uint8_t b) { return (b & 7) + 1; }

struct Friend {
  int32_t value;
  uint8_t status;
};

class Driver {
 public:
  explicit Driver(const uint8_t* data, size_t size) : in_(data, size) {
    env_.SetWorkingDirectory(fz::SharedDir().path());
    env_.SetEngineFactory([this] { return engines_.NewEngine(); });
    host_.hook = [this](const t::HostEvent& event) {
      FUZZ_CHECK(!released_);
      if (event.slot == t::kOnConnectionLost && reconnect_on_loss_) {
        reconnected_ = agent_->Connect(100, 0) == 0;
      }
    };
    NewAgent();
  }
  ~Driver() {
    ReleaseAgent();
    FUZZ_CHECK_EQ(engines_.engines_alive(), 0);
  }

  void Run() {
    int steps = 0;
    while (!in_.empty() && steps++ < 64) {
      Step(in_.U8());
      // Workers a login has just started make their first pass now, not at
      // some moment during a later step: a run depends on its input alone.
      env_.Settle();
      CheckInvariants();
    }
  }

 private:
  IMsgLogicSink* sink() { return AgentPeer(agent_).sink(); }
  AgentPeer peer() { return AgentPeer(agent_); }

  void NewAgent() {
    agent_ = CMsgLogicAgent::Create(&env_);
    FUZZ_CHECK(agent_ != nullptr);
    released_ = false;
    agent_->SetCallback(&host_, MSG_IID_LOGICEX_CALLBACK);
    ForgetState();
  }
  void ReleaseAgent() {
    released_ = true;  // any callback from now on fails the run
    agent_->Release();
    FUZZ_CHECK_EQ(engines_.engines_alive(), 0);
    CheckEngineCalls();
  }
  void ForgetState() {
    friends_.clear();
    values_.clear();
    pending_.clear();
    self_ = -1;
  }

  // The agent reset itself (a loss nobody superseded).
  void ExpectReset() {
    ForgetState();
    FUZZ_CHECK(!peer().enabled());
    FUZZ_CHECK_EQ(peer().friend_count(), 0u);
    FUZZ_CHECK_EQ(peer().value_count(), 0u);
    FUZZ_CHECK_EQ(peer().pending_count(), 0u);
    FUZZ_CHECK_EQ(peer().self_id(), -1);
  }

  // After a loss reported during the step: either the agent reset, or a
  // login from inside the callback superseded it: a new session, which
  // knows nothing of the lost one.
  void AfterLoss(int losses_before) {
    const int losses = host_.Count(t::kOnConnectionLost);
    if (losses == losses_before) return;
    if (reconnected_) {
      reconnected_ = false;
      FUZZ_CHECK(peer().enabled());
      ForgetState();
      FUZZ_CHECK_EQ(peer().friend_count(), 0u);
      FUZZ_CHECK_EQ(peer().pending_count(), 0u);
      FUZZ_CHECK_EQ(peer().self_id(), -1);
      return;
    }
    ExpectReset();
  }

  // Engine calls since the last look: none to an engine after its Release.
  void CheckEngineCalls() {
    const auto calls = engines_.Calls();
    for (; seen_calls_ < calls.size(); ++seen_calls_) {
      const t::EngineCall& call = calls[seen_calls_];
      FUZZ_CHECK(released_engines_.count(call.engine) == 0);
      if (call.slot == t::kRelease) released_engines_.insert(call.engine);
    }
    FUZZ_CHECK(engines_.engines_alive() <= 1);
  }
  std::vector<t::EngineCall> NewCalls(int slot) {
    std::vector<t::EngineCall> out;
    const auto calls = engines_.Calls();
    for (size_t i = seen_calls_; i < calls.size(); ++i) {
      if (calls[i].slot == slot) out.push_back(calls[i]);
    }
    return out;
  }

  void CheckInvariants() {
    CheckEngineCalls();
    fz::CheckNoLockOrderViolation(env_);
    FUZZ_CHECK_EQ(peer().friend_count(), friends_.size());
    FUZZ_CHECK_EQ(peer().value_count(), values_.size());
    FUZZ_CHECK_EQ(peer().pending_count(), pending_.size());
    FUZZ_CHECK_EQ(peer().self_id(), self_);
    for (const auto& [id, f] : friends_) {
      FriendInfo info;
      FUZZ_CHECK(peer().find_friend(id, &info));
      FUZZ_CHECK_EQ(info.nUserValue, f.value);
      FUZZ_CHECK_EQ(info.byStatus, f.status);
      fz::CheckFriendInfoShape(info);
    }
    for (const auto& [id, text] : pending_) {
      std::string queued;
      FUZZ_CHECK(peer().find_pending(id, &queued));
      FUZZ_CHECK_EQ(queued, text);
    }
  }

  t::FriendSpec NextFriend() {
    t::FriendSpec f;
    const uint8_t b = in_.U8();
    f.id = UserId(b);
    f.value = static_cast<int8_t>(in_.U8());
    f.status = (b >> 3) & 3;
    f.name = in_.Take(in_.U8() % 40);
    f.display_name = (b & 0x20) ? std::string() : "shown";
    f.long_text = (b & 0x40) ? in_.Take(8) : std::string();
    return f;
  }

  // A record from the builders, or (when `raw`) bytes straight from the
  // input, through a bounded view of an exact copy.
  void Deliver(const t::Bytes& record, const std::function<void(RecordView)>& event) {
    auto copy = record.Exact();
    event(RecordView(copy.get(), record.size()));
  }

  void Step(uint8_t op) {
    const int losses_before = host_.Count(t::kOnConnectionLost);
    const bool enabled = peer().enabled();
    switch (op % 20) {
      case 0: {  // friend values
        std::vector<std::pair<int32_t, int32_t>> pairs;
        for (int n = in_.U8() % 4; n > 0; --n) pairs.emplace_back(UserId(in_.U8()), in_.U8());
        Deliver(t::ValueList(pairs), [&](RecordView v) {
          FUZZ_CHECK_EQ(agent_->OnFriendValues(v), static_cast<int32_t>(pairs.size()));
        });
        for (const auto& p : pairs) values_[p.first] = p.second;
        break;
      }
      case 1: {  // friend list
        std::vector<t::FriendSpec> list;
        for (int n = in_.U8() % 4; n > 0; --n) list.push_back(NextFriend());
        host_.friend_entries = list.size();
        Deliver(t::FriendList(list), [&](RecordView v) { FUZZ_CHECK_EQ(agent_->OnFriendList(v), 0); });
        for (const auto& f : list) friends_[f.id] = {f.value, f.status};
        break;
      }
      case 2: {  // friend update
        const t::FriendSpec f = NextFriend();
        host_.friend_entries = 1;
        Deliver(t::FriendRecord(f), [&](RecordView v) { FUZZ_CHECK_EQ(agent_->OnFriendUpdate(v), 0); });
        friends_[f.id] = {f.value, f.status};
        break;
      }
      case 3: {  // friend info
        const t::FriendSpec f = NextFriend();
        Deliver(t::FriendRecord(f), [&](RecordView v) { FUZZ_CHECK_EQ(agent_->OnFriendInfo(v), 0); });
        friends_[f.id] = {f.value, f.status};
        break;
      }
      case 4: {  // user list
        std::vector<t::UserSpec> users;
        for (int n = in_.U8() % 4; n > 0; --n) {
          const uint8_t b = in_.U8();
          users.push_back({UserId(b), static_cast<uint8_t>(b >> 6), in_.Take(in_.U8() % 16)});
        }
        Deliver(t::UserList(users), [&](RecordView v) { FUZZ_CHECK_EQ(agent_->OnUserList(v), 0); });
        break;
      }
      case 5: {  // user text
        const int32_t id = UserId(in_.U8());
        const t::Bytes record = t::TextRecord(in_.U8() & 1, in_.Take(in_.U8() % 16));
        Deliver(record, [&](RecordView v) { FUZZ_CHECK_EQ(agent_->OnUserText(id, v), 0); });
        break;
      }
      case 6: {  // events A to D
        const uint8_t which = in_.U8();
        const int32_t v = in_.I32();
        if (which % 4 == 0) {
          Deliver(t::Bytes().I32(v).Fill(18).Text("a").U8(0), [&](RecordView r) { agent_->OnEventA(r); });
        } else if (which % 4 == 1) {
          sink()->OnEventB(v);
        } else if (which % 4 == 2) {
          sink()->OnEventC();
        } else {
          // Any three values; wrap-around keeps INT32_MAX from overflowing.
          const uint32_t u = static_cast<uint32_t>(v);
          const int32_t d[3] = {v, static_cast<int32_t>(u + 1u), static_cast<int32_t>(u + 2u)};
          sink()->OnEventD(d);
        }
        break;
      }
      case 7: {  // own id
        self_ = in_.I32() & 0xFFFF;
        sink()->OnSelfId(&self_);
        break;
      }
      case 8: {  // details of a user: sends the queued text
        const int32_t record[2] = {UserId(in_.U8()), static_cast<int8_t>(in_.U8())};
        FUZZ_CHECK_EQ(sink()->OnUserInfo(record), 1);
        const auto sent = NewCalls(t::kSendText);
        auto it = pending_.find(record[0]);
        if (it == pending_.end()) {
          FUZZ_CHECK(sent.empty());
        } else {
          // Queued texts exist only while logged in, so an engine is there.
          FUZZ_CHECK_EQ(sent.size(), 1u);
          FUZZ_CHECK(sent[0].args == (std::vector<int64_t>{record[0], 1, self_, record[1]}));
          FUZZ_CHECK_EQ(sent[0].text, it->second);
          pending_.erase(it);
        }
        break;
      }
      case 9:
        sink()->OnActivity();
        break;
      case 10:  // the engine reports a loss
        sink()->OnDisconnect();
        if (peer().callback() != nullptr || reconnected_) {
          FUZZ_CHECK_EQ(host_.Count(t::kOnConnectionLost), losses_before + 1);
        }
        break;
      case 11: {  // Connect
        const uint8_t b = in_.U8();
        engines_.login_by_id_result = (b & 1) ? 0 : 2;
        engines_.login_by_name_result = (b & 2) ? 0 : 2;
        const int32_t user = (b >> 2) % 3 == 0 ? 100 : (b >> 2) % 3 == 1 ? 200 : 300;
        const int32_t result = agent_->Connect(user, 0);
        if (user == 300) FUZZ_CHECK_EQ(result, 3);
        if (user == 100) FUZZ_CHECK_EQ(result, (b & 1) ? 2 : 0);
        if (user == 200) FUZZ_CHECK_EQ(result, (b & 2) ? 1 : 0);
        FUZZ_CHECK(result != 0 || peer().enabled());
        if (result != 0) FUZZ_CHECK_EQ(peer().enabled(), enabled);
        if (result == 0) ForgetState();  // a login is a new session
        break;
      }
      case 12: {  // SendText
        const int32_t id = UserId(in_.U8());
        const std::string text = "t" + std::to_string(in_.U8());
        const int32_t result = agent_->SendText(id, text.c_str());
        if (!enabled) {
          FUZZ_CHECK_EQ(result, -1);
        } else if (friends_.count(id) != 0) {
          FUZZ_CHECK_EQ(result, 0);
          const auto sent = NewCalls(t::kSendText);
          FUZZ_CHECK_EQ(sent.size(), 1u);
          FUZZ_CHECK(sent[0].args == (std::vector<int64_t>{id, 1, self_, friends_[id].value}));
          FUZZ_CHECK_EQ(sent[0].text, text);
        } else {
          FUZZ_CHECK_EQ(result, 1);
          FUZZ_CHECK_EQ(NewCalls(t::kRequestUserInfo).size(), 1u);
          pending_[id] = text;
        }
        break;
      }
      case 13: {  // ContactUser
        const int32_t id = UserId(in_.U8());
        const int32_t result = agent_->ContactUser(id);
        auto it = friends_.find(id);
        const bool online = it != friends_.end() && it->second.status != 2 && it->second.status != 3;
        FUZZ_CHECK_EQ(result, enabled && online ? 0 : -1);
        const auto contacts = NewCalls(t::kContactUser);
        FUZZ_CHECK_EQ(contacts.size(), result == 0 ? 1u : 0u);
        if (result == 0) {
          FUZZ_CHECK(contacts[0].args == (std::vector<int64_t>{id, it->second.value, self_}));
        }
        break;
      }
      case 14: {  // forwarded commands
        const uint8_t which = in_.U8() % 4;
        const int32_t result = which == 0   ? agent_->ForwardRequestA(1)
                               : which == 1 ? agent_->ForwardRequestB(2)
                               : which == 2 ? agent_->ForwardRequestC()
                                            : agent_->GetFriendList();
        FUZZ_CHECK_EQ(result, enabled ? 0 : -1);
        const int slots[] = {t::kRequestA, t::kRequestB, t::kRequestC, t::kGetFriendList};
        FUZZ_CHECK_EQ(NewCalls(slots[which]).size(), enabled ? 1u : 0u);
        break;
      }
      case 15: {  // room information
        RoomInfo rooms[2] = {};
        const uint32_t count = in_.U8() % 3;
        for (uint32_t i = 0; i < count; ++i) rooms[i].nValue1 = in_.I32();
        FUZZ_CHECK_EQ(agent_->SendRoomInfo(count, rooms), enabled ? 0 : -1);
        FUZZ_CHECK_EQ(NewCalls(t::kSendRoomInfo).size(), enabled ? 1u : 0u);
        break;
      }
      case 16:  // time passes; the workers make their passes
        env_.Advance(uint64_t{in_.U8()} * 250);
        break;
      case 17:  // the host lets the agent go and makes a new one
        ReleaseAgent();
        NewAgent();
        return;
      case 18:  // the host registers its callback again, or none
        agent_->SetCallback((in_.U8() & 1) ? nullptr : &host_, MSG_IID_LOGICEX_CALLBACK);
        break;
      default:  // the host will log in again from inside OnConnectionLost
        reconnect_on_loss_ = (in_.U8() & 1) != 0;
        break;
    }
    // Unless the host is registered no loss is reported: then the agent
    // reset (or not) unseen; find out from its state.
    if (peer().callback() == nullptr && op % 20 == 10) {
      ExpectReset();
    } else if (peer().callback() == nullptr && op % 20 == 16 && enabled && !peer().enabled()) {
      ExpectReset();
    }
    AfterLoss(losses_before);
  }

  fz::Input in_;
  t::EngineLog engines_;
  t::RecordingHost host_;
  // Declared after what its threads touch, so it is destroyed (waiting for
  // them) first.
  t::FakeEnv env_;
  CMsgLogicAgent* agent_ = nullptr;
  bool released_ = false;
  bool reconnect_on_loss_ = false;
  bool reconnected_ = false;

  std::map<int32_t, Friend> friends_;
  std::map<int32_t, int32_t> values_;
  std::map<int32_t, std::string> pending_;
  int32_t self_ = -1;
  size_t seen_calls_ = 0;
  std::set<int> released_engines_;
};

void WriteLoginFile() {
  static bool written = [] {
    fz::SharedDir().Write("KWPMsg/loginInfo.ini",
                          "[loginInfo]\r\nid1=100\r\nflag1=1\r\nid2=200\r\nflag2=0\r\nname2=abc\r\n");
    return true;
  }();
  (void)written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteLoginFile();
  Driver driver(data, size);
  driver.Run();
  return 0;
}
