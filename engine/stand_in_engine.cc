#include "engine/stand_in_engine.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/records.h"
#include "textcodec.h"

namespace stand_in {
namespace {

using Clock = std::chrono::steady_clock;

// A sink call with everything it needs captured by value.
using Delivery = std::function<void(IMsgLogicSink*)>;

struct State;
// Work a thread does when its time comes, with the engine's mutex held: it
// may look at and change the state, and returns the sink call to make (or
// none).
using Task = std::function<Delivery(State&)>;

enum LaneId { kReplies = 0, kNotices = 1, kLaneCount = 2 };

struct Job {
  Task task;
  uint32_t session = 0;       // the login it belongs to
  bool needs_online = true;   // dropped while silent or disconnected
};

struct Lane {
  std::thread thread;
  // Ordered by due time, then by posting order.
  std::map<std::pair<Clock::time_point, uint64_t>, Job> queue;
  bool in_call = false;  // inside a sink call
};

// Everything the engine and its threads share; guarded by mu.
struct State {
  std::mutex mu;
  std::condition_variable cv;
  bool stopped = false;
  IMsgLogicSink* sink = nullptr;
  Lane lanes[kLaneCount];
  uint64_t next_seq = 0;

  Scenario scenario;
  Journal journal;
  bool logged_in = false;
  bool online = false;   // started, and neither silent nor disconnected
  uint32_t session = 0;  // counts logins; work of an earlier login is dropped
  int32_t self_id = 0;

  void Log(const std::string& line) {
    if (journal) journal(line);
  }

  void Post(LaneId lane, int32_t delay_ms, Task task, bool needs_online = true) {
    const auto due = Clock::now() + std::chrono::milliseconds(delay_ms);
    lanes[lane].queue.emplace(std::make_pair(due, next_seq++),
                              Job{std::move(task), session, needs_online});
    cv.notify_all();
  }
};

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

// The thread body of one lane.
void RunLane(const std::shared_ptr<State>& state, LaneId id) {
  State& st = *state;
  Lane& lane = st.lanes[id];
  std::unique_lock<std::mutex> lock(st.mu);
  while (!st.stopped) {
    if (lane.queue.empty()) {
      st.cv.wait(lock);
      continue;
    }
    const Clock::time_point due = lane.queue.begin()->first.first;
    if (Clock::now() < due) {
      st.cv.wait_until(lock, due);
      continue;
    }
    Job job = std::move(lane.queue.begin()->second);
    lane.queue.erase(lane.queue.begin());
    if (job.session != st.session || (job.needs_online && !st.online)) continue;
    Delivery delivery;
    try {
      delivery = job.task(st);
    } catch (const std::exception& e) {
      st.Log(std::string("warning: ") + e.what());
    }
    if (!delivery || st.sink == nullptr) continue;
    IMsgLogicSink* sink = st.sink;
    lane.in_call = true;
    lock.unlock();
    try {
      delivery(sink);
    } catch (...) {
      // The sink does not throw; nothing to undo if it did.
    }
    lock.lock();
    lane.in_call = false;
    st.cv.notify_all();  // Release may be waiting for this call to end
  }
}

class Engine final : public IMsgLogic {
 public:
  explicit Engine(std::shared_ptr<State> state) : st_(std::move(state)) {}

  bool StartThreads() {
    for (int i = 0; i < kLaneCount; ++i) {
      try {
        st_->lanes[i].thread = std::thread(RunLane, st_, static_cast<LaneId>(i));
      } catch (const std::system_error&) {
        return false;  // the caller releases the engine
      }
    }
    return true;
  }

  int32_t SetSink(IMsgLogicSink* sink) override {
    std::lock_guard<std::mutex> hold(st_->mu);
    st_->sink = sink;
    st_->Log("SetSink");
    return 0;
  }

  int32_t LoginByName(const char* hexName, int32_t param) override {
    std::lock_guard<std::mutex> hold(st_->mu);
    const std::string hex = hexName != nullptr ? hexName : "";
    std::string bytes;
    int32_t result = 2;
    if (!DecodeHexName(hex, &bytes)) {
      st_->Log("warning: LoginByName got \"" + hex + "\", not \"0X\" and hex digits");
      result = 0;
    }
    const std::string name = ToUtf8(bytes);
    for (const std::string& refused : st_->scenario.refused_names) {
      if (refused == name || refused == bytes) result = 0;
    }
    st_->Log("LoginByName(" + hex + " \"" + name + "\", " + std::to_string(param) + ") -> " +
             std::to_string(result));
    if (result == 2) LoggedIn(0, 0);
    return result;
  }

  int32_t LoginById(int32_t userId, int32_t param) override {
    std::lock_guard<std::mutex> hold(st_->mu);
    int32_t result = 2;
    for (int32_t refused : st_->scenario.refused_ids) {
      if (refused == userId) result = 0;
    }
    st_->Log("LoginById(" + std::to_string(userId) + ", " + std::to_string(param) + ") -> " +
             std::to_string(result));
    if (result == 2) LoggedIn(userId, userId);
    return result;
  }

  int32_t Release() override {
    std::vector<std::thread> to_join;
    {
      std::unique_lock<std::mutex> hold(st_->mu);
      st_->Log("Release");
      st_->stopped = true;
      st_->sink = nullptr;
      st_->cv.notify_all();
      // The sink may be gone once this returns: every call under way on the
      // other thread ends first, however long it takes (the caller holds no
      // lock it may wait for). One of the calling thread itself, Release
      // from inside a sink call, goes on after this returns.
      st_->cv.wait(hold, [this] { return !OtherLaneInCall(); });
      Stop(&to_join);
    }
    for (std::thread& thread : to_join) thread.join();
    delete this;
    return 0;
  }

  int32_t SendText(int32_t userId, int32_t one, int32_t selfId, int32_t value,
                   const char* text) override {
    std::lock_guard<std::mutex> hold(st_->mu);
    const std::string bytes = text != nullptr ? text : "";
    st_->Log("SendText(" + std::to_string(userId) + ", " + std::to_string(one) + ", " +
             std::to_string(selfId) + ", " + std::to_string(value) + ", \"" + ToUtf8(bytes) +
             "\")");
    if (!Online("SendText")) return 0;
    if (one != 1) st_->Log("warning: SendText's second argument is " + std::to_string(one) + ", not 1");
    const Person* person = CheckTarget("SendText", userId, value, selfId);
    if (person == nullptr) return 0;
    if (!person->reply.empty()) {
      const std::string reply =
          person->reply == "echo" ? ToGb(st_->scenario.echo_prefix) + bytes : ToGb(person->reply);
      const std::string record = TextRecord(1, reply);
      st_->Post(kReplies, st_->scenario.latency_ms, [userId, record](State&) -> Delivery {
        return [userId, record](IMsgLogicSink* sink) { sink->OnUserText(userId, record.data()); };
      });
    }
    React(Trigger::kText, userId);
    return 0;
  }

  int32_t SetUserId(int32_t userId) override {
    std::lock_guard<std::mutex> hold(st_->mu);
    st_->Log("SetUserId(" + std::to_string(userId) + ")");
    st_->self_id = userId;
    return 0;
  }

  int32_t RequestUserInfo(int32_t userId) override {
    std::lock_guard<std::mutex> hold(st_->mu);
    st_->Log("RequestUserInfo(" + std::to_string(userId) + ")");
    if (!Online("RequestUserInfo")) return 0;
    if (const Person* person = st_->scenario.Find(userId)) {
      const std::string record = UserInfoRecord(userId, person->value);
      st_->Post(kReplies, st_->scenario.latency_ms, [record](State&) -> Delivery {
        return [record](IMsgLogicSink* sink) { sink->OnUserInfo(record.data()); };
      });
    } else {
      st_->Log("  no such user: no answer");
    }
    React(Trigger::kUserInfo, userId);
    return 0;
  }

  int32_t ContactUser(int32_t userId, int32_t value, int32_t selfId) override {
    std::lock_guard<std::mutex> hold(st_->mu);
    st_->Log("ContactUser(" + std::to_string(userId) + ", " + std::to_string(value) + ", " +
             std::to_string(selfId) + ")");
    if (!Online("ContactUser")) return 0;
    if (CheckTarget("ContactUser", userId, value, selfId) == nullptr) return 0;
    React(Trigger::kContact, userId);
    return 0;
  }

  int32_t Start() override {
    std::lock_guard<std::mutex> hold(st_->mu);
    st_->Log("Start");
    if (!st_->logged_in) {
      st_->Log("warning: Start without a login");
      return 0;
    }
    st_->online = true;
    const int32_t self = st_->self_id;
    st_->Post(kReplies, st_->scenario.latency_ms, [self](State&) -> Delivery {
      return [self](IMsgLogicSink* sink) {
        int32_t id = self;
        sink->OnSelfId(&id);
      };
    });
    PostActivity(*st_, st_->scenario.latency_ms, /*repeat=*/true);
    React(Trigger::kStart, self);
    return 0;
  }

  int32_t RequestA(int32_t value) override { return Request(Trigger::kRequestA, "RequestA", value); }
  int32_t RequestB(int32_t value) override { return Request(Trigger::kRequestB, "RequestB", value); }

  int32_t SendRoomInfo(uint32_t count, const void* packed) override {
    std::lock_guard<std::mutex> hold(st_->mu);
    std::vector<Room> rooms;
    const bool ok = UnpackRooms(count, packed, &rooms);
    std::string line = "SendRoomInfo(" + std::to_string(count);
    std::string names;
    for (const Room& room : rooms) {
      line += ", {" + std::to_string(room.value1) + " \"" + room.text1 + "\" " +
              std::to_string(room.value2) + " \"" + room.text2 + "\" " +
              std::to_string(room.value3) + " " + std::to_string(room.value4) + "}";
      names += (names.empty() ? "" : ", ") + room.text1;
    }
    st_->Log(line + ")");
    if (!ok) st_->Log("warning: SendRoomInfo's buffer does not hold " + std::to_string(count) + " rooms");
    if (!Online("SendRoomInfo")) return 0;
    React(Trigger::kRoomInfo, static_cast<int32_t>(count), names);
    return 0;
  }

  int32_t RequestC() override { return Request(Trigger::kRequestC, "RequestC", 0); }

  int32_t KeepAlive() override {
    std::lock_guard<std::mutex> hold(st_->mu);
    st_->Log("KeepAlive");
    if (!Online("KeepAlive")) return 0;
    PostActivity(*st_, st_->scenario.latency_ms, /*repeat=*/false);  // the answer
    React(Trigger::kKeepAlive, 0);
    return 0;
  }

  int32_t GetFriendList() override {
    std::lock_guard<std::mutex> hold(st_->mu);
    st_->Log("GetFriendList");
    if (!Online("GetFriendList")) return 0;
    // Values first: the agent passes on only friends whose value it has.
    st_->Post(kReplies, st_->scenario.latency_ms, [](State& st) -> Delivery {
      std::vector<std::pair<int32_t, int32_t>> values;
      for (const Person& person : st.scenario.people) {
        if (person.is_friend && person.listed) values.emplace_back(person.id, person.value);
      }
      const std::string record = FriendValues(values);
      return [record](IMsgLogicSink* sink) { sink->OnFriendValues(record.data()); };
    });
    st_->Post(kReplies, st_->scenario.latency_ms, [](State& st) -> Delivery {
      std::vector<const Person*> friends;
      for (const Person& person : st.scenario.people) {
        if (person.is_friend) friends.push_back(&person);
      }
      const std::string record = FriendList(friends);
      return [record](IMsgLogicSink* sink) { sink->OnFriendList(record.data()); };
    });
    React(Trigger::kFriendList, 0);
    return 0;
  }

 private:
  ~Engine() = default;

  // True while a lane other than the calling thread is inside a sink call.
  // Called with mu held.
  bool OtherLaneInCall() const {
    for (const Lane& lane : st_->lanes) {
      if (lane.in_call && lane.thread.get_id() != std::this_thread::get_id()) return true;
    }
    return false;
  }

  // Hands back the threads to wait for: every one but the calling thread,
  // which is detached and ends when its sink call returns, without calling
  // the sink again (stopped is set). Called with mu held, once no other
  // thread is inside a sink call.
  void Stop(std::vector<std::thread>* to_join) {
    for (Lane& lane : st_->lanes) {
      if (!lane.thread.joinable()) continue;
      if (lane.thread.get_id() != std::this_thread::get_id()) {
        to_join->push_back(std::move(lane.thread));
      } else {
        lane.thread.detach();
      }
    }
  }

  void LoggedIn(int32_t selfId, int32_t trigger) {
    st_->logged_in = true;
    st_->online = false;
    ++st_->session;
    st_->self_id = selfId;
    React(Trigger::kLogin, trigger);
  }

  bool Online(const char* call) {
    if (st_->online) return true;
    st_->Log(std::string("  not connected: ") + call + " ignored");
    return false;
  }

  // The person a SendText or ContactUser names, when the call carries the
  // right own id and the person's value; else a warning and null.
  const Person* CheckTarget(const char* call, int32_t userId, int32_t value, int32_t selfId) {
    const Person* person = st_->scenario.Find(userId);
    std::string problem;
    if (person == nullptr) {
      problem = "unknown user " + std::to_string(userId);
    } else if (value != person->value) {
      problem = "value " + std::to_string(value) + " for user " + std::to_string(userId) +
                ", expected " + std::to_string(person->value);
    } else if (selfId != st_->self_id) {
      problem = "own id " + std::to_string(selfId) + ", expected " + std::to_string(st_->self_id);
    }
    if (problem.empty()) return person;
    st_->Log(std::string("warning: ") + call + " dropped: " + problem);
    return nullptr;
  }

  static void PostActivity(State& st, int32_t delay_ms, bool repeat) {
    st.Post(kNotices, delay_ms, [repeat](State& s) -> Delivery {
      if (repeat) PostActivity(s, s.scenario.activity_ms, true);
      return [](IMsgLogicSink* sink) { sink->OnActivity(); };
    });
  }

  int32_t Request(Trigger trigger, const char* name, int32_t value) {
    std::lock_guard<std::mutex> hold(st_->mu);
    st_->Log(std::string(name) + (trigger == Trigger::kRequestC ? "" : "(" + std::to_string(value) + ")"));
    if (!Online(name)) return 0;
    React(trigger, value);
    return 0;
  }

  // Queues the actions of every reaction to `trigger` with argument `value`.
  void React(Trigger trigger, int32_t value, const std::string& rooms = std::string()) {
    for (const Reaction& reaction : st_->scenario.reactions) {
      if (reaction.on != trigger || (reaction.match && *reaction.match != value)) continue;
      for (const Action& action : reaction.then) Queue(action, value, rooms);
    }
  }

  void Queue(const Action& action, int32_t value, const std::string& rooms) {
    const int32_t delay = st_->scenario.latency_ms + action.after_ms;
    const int32_t user = action.user.Resolve(value);
    std::string text = action.text;
    ReplaceAll(&text, "$value", std::to_string(value));
    ReplaceAll(&text, "$rooms", rooms);
    switch (action.kind) {
      case Action::Kind::kUserList: {
        const std::string record = UserList(action.users);
        st_->Post(kNotices, delay, [record](State&) -> Delivery {
          return [record](IMsgLogicSink* sink) { sink->OnUserList(record.data()); };
        });
        break;
      }
      case Action::Kind::kFriendUpdate:
      case Action::Kind::kFriendInfo: {
        const bool update = action.kind == Action::Kind::kFriendUpdate;
        const PersonPatch patch = action.patch;
        st_->Post(kNotices, delay, [update, user, patch](State& st) -> Delivery {
          Person* person = st.scenario.Find(user);
          if (person == nullptr || !person->is_friend) {
            st.Log("warning: no friend " + std::to_string(user) + " to report");
            return nullptr;
          }
          if (update) patch.ApplyTo(person);
          const std::string record = FriendRecord(*person);
          if (update) {
            return [record](IMsgLogicSink* sink) { sink->OnFriendUpdate(record.data()); };
          }
          return [record](IMsgLogicSink* sink) { sink->OnFriendInfo(record.data()); };
        });
        break;
      }
      case Action::Kind::kEventA: {
        const std::string record = EventARecord(user, ToGb(text));
        st_->Post(kNotices, delay, [record](State&) -> Delivery {
          return [record](IMsgLogicSink* sink) { sink->OnEventA(record.data()); };
        });
        break;
      }
      case Action::Kind::kEventB: {
        const int32_t b = action.values[0].Resolve(value);
        st_->Post(kNotices, delay, [b](State&) -> Delivery {
          return [b](IMsgLogicSink* sink) { sink->OnEventB(b); };
        });
        break;
      }
      case Action::Kind::kEventC:
        st_->Post(kNotices, delay, [](State&) -> Delivery {
          return [](IMsgLogicSink* sink) { sink->OnEventC(); };
        });
        break;
      case Action::Kind::kEventD: {
        const std::string record = EventDRecord(action.values[0].Resolve(value),
                                                action.values[1].Resolve(value),
                                                action.values[2].Resolve(value));
        st_->Post(kNotices, delay, [record](State&) -> Delivery {
          return [record](IMsgLogicSink* sink) { sink->OnEventD(record.data()); };
        });
        break;
      }
      case Action::Kind::kText: {
        const std::string record = TextRecord(action.type, ToGb(text));
        st_->Post(kNotices, delay, [user, record](State&) -> Delivery {
          return [user, record](IMsgLogicSink* sink) { sink->OnUserText(user, record.data()); };
        });
        break;
      }
      case Action::Kind::kSilence:
      case Action::Kind::kDisconnect: {
        const bool disconnect = action.kind == Action::Kind::kDisconnect;
        st_->Post(
            kNotices, delay,
            [disconnect](State& st) -> Delivery {
              if (!st.online) return nullptr;
              st.online = false;
              st.Log(disconnect ? "(disconnected)" : "(silent from now on)");
              if (disconnect) return [](IMsgLogicSink* sink) { sink->OnDisconnect(); };
              // The last sign of life: the agent's clock starts here.
              return [](IMsgLogicSink* sink) { sink->OnActivity(); };
            },
            /*needs_online=*/false);
        break;
      }
    }
  }

  const std::shared_ptr<State> st_;
};

}  // namespace

IMsgLogic* NewEngine(Scenario scenario, Journal journal) {
  std::shared_ptr<State> state;
  try {
    state = std::make_shared<State>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  state->scenario = std::move(scenario);
  state->journal = std::move(journal);
  auto* engine = new (std::nothrow) Engine(state);
  if (engine == nullptr) return nullptr;
  if (!engine->StartThreads()) {
    engine->Release();
    return nullptr;
  }
  return engine;
}

}  // namespace stand_in
