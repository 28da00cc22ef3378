// The agent's hot paths, each beside its floor: the least work that the
// same result needs, measured in turns with it in one benchmark, on the same
// data (bench/paired.h). The figure that counts is the ratio; bench/run.sh
// prints it against its target.
//
//  relay      OnFriendList of 10,000 friends, every one with a value, through
//             the sink's slot; floor: iconv over the same texts (a
//             descriptor opened once, one call a text) plus a 359-byte copy
//             per friend.
//  room       SendRoomInfo of 1,000 rooms; floor: iconv over the texts.
//  latency    SendText to a friend, timed call by call, in phases: while an
//             engine thread relays 10,000-friend lists without pause (busy),
//             and with that thread parked (idle); beside it the same figures
//             for a naive agent (latency/naive: plain recursive mutexes,
//             every record cached under the friend table's lock).
//  pending    100,000 texts to strangers queued, then answered; floor: a
//             std::map insert and erase of the same keys in the same orders.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/msg_logic_agent.h"
#include "bench/bench_agent.h"
#include "bench/paired.h"
#include "bench/texts.h"
#include "tests/support/agent_peer.h"
#include "tests/support/records.h"
#include "textcodec.h"

namespace msglogic {
namespace bench {
namespace {

using testing::FriendSpec;

// Both pausing and resuming the timer cost far more than what is measured
// here, so every iteration below is one whole operation.

// The floors' conversion: one iconv call a text on a descriptor opened once,
// writing at most `cap` bytes; returns the number of bytes written.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      std::fprintf(stderr, "iconv_open(%s, %s) failed\n", to, from);
      std::abort();
    }
  }
  ~Iconv() { iconv_close(cd_); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  size_t operator()(char* dst, size_t cap, const char* src, size_t len) {
    char* in = const_cast<char*>(src);
    char* out = dst;
    size_t out_left = cap;
    iconv(cd_, &in, &len, &out, &out_left);
    return cap - out_left;
  }

 private:
  iconv_t cd_;
};

// --- Friend lists ---

constexpr size_t kFriends = 10000;

struct FriendListData {
  std::vector<FriendSpec> friends;  // texts in UTF-8, as the engine sends them
  std::string list;                 // the engine's friend list
  std::string values;               // the engine's value list: all of them

  static const FriendListData& Get() {
    static const FriendListData data = Make();
    return data;
  }

 private:
  static FriendListData Make() {
    FriendListData d;
    Rng rng(20240601);
    std::vector<int32_t> ids(kFriends);
    for (size_t i = 0; i < kFriends; ++i) ids[i] = static_cast<int32_t>(100000 + 3 * i);
    // The engine's order is not the cache's.
    for (size_t i = kFriends - 1; i > 0; --i) std::swap(ids[i], ids[rng.Next() % (i + 1)]);
    std::vector<std::pair<int32_t, int32_t>> values;
    for (size_t i = 0; i < kFriends; ++i) {
      FriendSpec f;
      f.id = ids[i];
      f.value = static_cast<int32_t>(i % 97 + 1);
      f.info_a = static_cast<int32_t>(i);
      f.info_b = static_cast<uint16_t>(i % 5);
      f.info_c = 7;
      f.status = static_cast<uint8_t>(1 + i % 3);
      f.name = ChineseUtf8(rng, rng.Between(2, 8));
      f.display_name = ChineseUtf8(rng, rng.Between(1, 8));
      f.long_text = ChineseUtf8(rng, rng.Between(16, 120), /*punctuated=*/true);
      values.emplace_back(f.id, f.value);
      d.friends.push_back(std::move(f));
    }
    d.list = testing::FriendList(d.friends).str();
    d.values = testing::ValueList(values).str();
    return d;
  }
};

// An agent whose caches hold every friend of the list, with a value each,
// as after the first answer to GetFriendList.
void WarmFriends(BenchAgent& a, const FriendListData& data) {
  a.sink()->OnFriendValues(data.values.data());
  a.sink()->OnFriendList(data.list.data());
  if (AgentPeer(a.agent()).friend_count() != kFriends) {
    std::fprintf(stderr, "relay: the friend list was not cached\n");
    std::abort();
  }
}

void BM_Relay(benchmark::State& state) {
  const FriendListData& data = FriendListData::Get();
  BenchAgent a;
  WarmFriends(a, data);
  IMsgLogicSink* sink = a.sink();
  std::vector<FriendInfo> out(kFriends);
  FriendInfo scratch{};
  Iconv to_gb("CP936", "UTF-8");
  RunPaired(
      state,
      [&] {
        for (size_t i = 0; i < kFriends; ++i) {
          const FriendSpec& f = data.friends[i];
          to_gb(scratch.szName, sizeof scratch.szName - 1, f.name.data(), f.name.size());
          to_gb(scratch.szDisplayName, sizeof scratch.szDisplayName - 1, f.display_name.data(),
                f.display_name.size());
          to_gb(scratch.szLongText, sizeof scratch.szLongText - 1, f.long_text.data(),
                f.long_text.size());
          std::memcpy(&out[i], &scratch, sizeof scratch);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
      },
      [&] { sink->OnFriendList(data.list.data()); });
}
BENCHMARK(BM_Relay)->Name("relay")->Unit(benchmark::kMillisecond);

// --- Room information ---

constexpr uint32_t kRooms = 1000;

const std::vector<RoomInfo>& Rooms() {
  static const std::vector<RoomInfo> rooms = [] {
    Rng rng(20240602);
    std::vector<RoomInfo> r(kRooms);
    for (uint32_t i = 0; i < kRooms; ++i) {
      RoomInfo& room = r[i];
      std::memset(&room, 0, sizeof room);
      room.nValue1 = static_cast<int32_t>(i);
      room.nValue2 = static_cast<int32_t>(i * 2);
      room.nValue3 = 3;
      room.nValue4 = 4;
      const std::string t1 = NameGb(rng, rng.Between(4, 30));
      const std::string t2 = NameGb(rng, rng.Between(4, 30));
      std::memcpy(room.szText1, t1.data(), t1.size());
      std::memcpy(room.szText2, t2.data(), t2.size());
    }
    return r;
  }();
  return rooms;
}

void BM_Room(benchmark::State& state) {
  const std::vector<RoomInfo>& rooms = Rooms();
  BenchAgent a;
  IMsgLogicEx* agent = a.agent();
  std::vector<int> lengths;
  for (const RoomInfo& room : rooms) {
    lengths.push_back(static_cast<int>(std::strlen(room.szText1)));
    lengths.push_back(static_cast<int>(std::strlen(room.szText2)));
  }
  std::vector<char> out(kRooms * 128);
  bool refused = false;
  Iconv to_utf8("UTF-8", "CP936");
  RunPaired(
      state,
      [&] {
        size_t at = 0;
        for (uint32_t i = 0; i < kRooms; ++i) {
          const size_t n1 = static_cast<size_t>(lengths[2 * i]);
          const size_t n2 = static_cast<size_t>(lengths[2 * i + 1]);
          at += to_utf8(&out[at], 2 * n1, rooms[i].szText1, n1);
          at += to_utf8(&out[at], 2 * n2, rooms[i].szText2, n2);
        }
        benchmark::DoNotOptimize(at);
        benchmark::ClobberMemory();
      },
      [&] { refused = refused || agent->SendRoomInfo(kRooms, rooms.data()) != 0; });
  if (refused) state.SkipWithError("SendRoomInfo refused");
}
BENCHMARK(BM_Room)->Name("room")->Unit(benchmark::kMicrosecond);

// --- Host latency ---

// Spins for about `ns` nanoseconds: the host's own work between two texts,
// which also spreads the calls over every phase of the engine's work.
void Spin(int64_t ns) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(ns);
  while (std::chrono::steady_clock::now() < until) {
  }
}

double Percentile(std::vector<int64_t>* samples, double p) {
  if (samples->empty()) return 0;
  std::sort(samples->begin(), samples->end());
  const size_t at = std::min(samples->size() - 1, static_cast<size_t>(p * samples->size()));
  return static_cast<double>((*samples)[at]) / 1000.0;
}

// The naive design, for comparison: one std::recursive_mutex per table, each
// friend record converted and cached under the friend table's lock (and the
// value table's inside it), a host text looked up under the same lock and
// handed to a stand-in engine under a third. It shows what the agent's
// design buys: there a list is cached with the friend table's lock held
// only to swap the new table in.
class NaiveAgent {
 public:
  explicit NaiveAgent(const FriendListData& data) : data_(data), out_(kFriends) {
    for (const FriendSpec& f : data.friends) values_[f.id] = f.value;
  }

  void OnFriendList() {
    size_t copied = 0;
    for (const FriendSpec& f : data_.friends) {
      std::lock_guard<std::recursive_mutex> friends(friend_mu_);
      FriendInfo& info = friends_[f.id];
      std::memset(&info, 0, sizeof info);
      info.nUserId = f.id;
      info.nUserValue = f.value;
      info.nInfoA = f.info_a;
      info.wInfoB = f.info_b;
      info.nInfoC = f.info_c;
      info.byStatus = f.status;
      UTF_8ToGB2312N(info.szName, sizeof info.szName - 1, f.name.data(), f.name.size());
      UTF_8ToGB2312N(info.szDisplayName, sizeof info.szDisplayName - 1, f.display_name.data(),
                     f.display_name.size());
      UTF_8ToGB2312N(info.szLongText, sizeof info.szLongText - 1, f.long_text.data(),
                     f.long_text.size());
      std::lock_guard<std::recursive_mutex> values(value_mu_);
      if (values_.count(f.id) != 0) out_[copied++] = info;
    }
    benchmark::DoNotOptimize(out_.data());
  }

  int32_t SendText(int32_t id, const char* text) {
    int32_t value;
    {
      std::lock_guard<std::recursive_mutex> friends(friend_mu_);
      auto it = friends_.find(id);
      if (it == friends_.end()) return 1;
      value = it->second.nUserValue;
    }
    std::lock_guard<std::recursive_mutex> engine(engine_mu_);
    sent_ += static_cast<uint64_t>(value) + static_cast<unsigned char>(text[0]);
    return 0;
  }

 private:
  const FriendListData& data_;
  std::vector<FriendInfo> out_;
  std::recursive_mutex friend_mu_;
  std::map<int32_t, FriendInfo, UserIdLess> friends_;
  std::recursive_mutex value_mu_;
  std::map<int32_t, int32_t, UserIdLess> values_;
  std::recursive_mutex engine_mu_;
  uint64_t sent_ = 0;
};

double Mean(const std::vector<int64_t>& samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (int64_t s : samples) sum += static_cast<double>(s);
  return sum / static_cast<double>(samples.size()) / 1000.0;
}

// Each iteration is two phases of kPhaseCalls texts: one with the engine
// thread parked, one with it relaying lists, so both see the same machine.
// `relay` caches one 10,000-friend list; `send` sends the host's text to a
// friend and returns the command's result.
template <typename Relay, typename Send>
void MeasureLatency(benchmark::State& state, Relay relay_list, Send send) {
  constexpr int kPhaseCalls = 20000;

  // The engine thread relays while `relay` is set; `parked` tells that it is
  // between lists and waiting.
  std::atomic<bool> stop{false};
  std::atomic<bool> relay{false};
  std::atomic<bool> parked{true};
  std::atomic<uint64_t> lists{0};
  std::thread engine([&] {
    while (!stop.load()) {
      if (!relay.load()) {
        parked.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        continue;
      }
      parked.store(false);
      relay_list();
      lists.fetch_add(1, std::memory_order_relaxed);
    }
  });

  std::vector<int64_t> idle;
  std::vector<int64_t> busy;
  bool refused = false;
  auto phase = [&](std::vector<int64_t>* samples) {
    for (int i = 0; i < kPhaseCalls; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const int32_t rc = send();
      const auto end = std::chrono::steady_clock::now();
      refused = refused || rc != 0;
      samples->push_back(
          std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
      Spin(2000);
    }
  };
  for (auto _ : state) {
    relay.store(false);
    while (!parked.load()) std::this_thread::yield();
    phase(&idle);
    relay.store(true);
    while (parked.load()) std::this_thread::yield();
    phase(&busy);
  }
  stop.store(true);
  relay.store(false);
  engine.join();
  if (refused) state.SkipWithError("SendText refused");

  state.counters["idle_p50_us"] = Percentile(&idle, 0.50);
  state.counters["idle_p99_us"] = Percentile(&idle, 0.99);
  state.counters["busy_p50_us"] = Percentile(&busy, 0.50);
  state.counters["busy_p99_us"] = Percentile(&busy, 0.99);
  state.counters["busy_max_us"] = busy.empty() ? 0.0 : static_cast<double>(busy.back()) / 1000.0;
  // A call that waits for a whole list is one call of thousands, too rare
  // for p99, yet the host thread waits that long: the mean shows it.
  state.counters["idle_mean_us"] = Mean(idle);
  state.counters["busy_mean_us"] = Mean(busy);
  state.counters["lists"] = static_cast<double>(lists.load());
}

const char kFriendText[] = "\xC4\xE3\xBA\xC3";  // 你好

void BM_Latency(benchmark::State& state) {
  const FriendListData& data = FriendListData::Get();
  BenchAgent a;
  WarmFriends(a, data);
  IMsgLogicEx* agent = a.agent();
  IMsgLogicSink* sink = a.sink();
  const int32_t friend_id = data.friends[kFriends / 2].id;
  MeasureLatency(
      state, [&] { sink->OnFriendList(data.list.data()); },
      [&] { return agent->SendText(friend_id, kFriendText); });
}
BENCHMARK(BM_Latency)->Name("latency")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LatencyNaive(benchmark::State& state) {
  const FriendListData& data = FriendListData::Get();
  NaiveAgent naive(data);
  naive.OnFriendList();
  const int32_t friend_id = data.friends[kFriends / 2].id;
  MeasureLatency(
      state, [&] { naive.OnFriendList(); }, [&] { return naive.SendText(friend_id, kFriendText); });
}
BENCHMARK(BM_LatencyNaive)->Name("latency/naive")->Unit(benchmark::kMillisecond)->UseRealTime();

// --- Pending texts ---

constexpr size_t kStrangers = 100000;

struct PendingData {
  std::vector<int32_t> queue_order;
  std::vector<int32_t> answer_order;
  std::vector<std::string> answers;  // the engine's 8-byte user records

  static const PendingData& Get() {
    static const PendingData data = [] {
      PendingData d;
      Rng rng(20240603);
      for (size_t i = 0; i < kStrangers; ++i) {
        d.queue_order.push_back(static_cast<int32_t>(5000000 + 7 * i));
      }
      for (size_t i = kStrangers - 1; i > 0; --i) {
        std::swap(d.queue_order[i], d.queue_order[rng.Next() % (i + 1)]);
      }
      // Answers come back in an order of the server's own.
      d.answer_order = d.queue_order;
      for (size_t i = kStrangers - 1; i > 0; --i) {
        std::swap(d.answer_order[i], d.answer_order[rng.Next() % (i + 1)]);
      }
      for (int32_t id : d.answer_order) {
        d.answers.push_back(testing::Bytes().I32(id).I32(id % 89).str());
      }
      return d;
    }();
    return data;
  }
};

const char kStrangerText[] = "\xC4\xE3\xBA\xC3\xA3\xAC\xD4\xDA\xC2\xF0\xA3\xBF";  // 你好，在吗？

void BM_Pending(benchmark::State& state) {
  const PendingData& data = PendingData::Get();
  BenchAgent a;
  IMsgLogicEx* agent = a.agent();
  IMsgLogicSink* sink = a.sink();
  std::map<int32_t, const char*, UserIdLess> pending;
  bool refused = false;
  RunPaired(
      state,
      [&] {
        for (int32_t id : data.queue_order) pending.emplace(id, kStrangerText);
        for (int32_t id : data.answer_order) pending.erase(id);
        benchmark::DoNotOptimize(pending.size());
      },
      [&] {
        for (int32_t id : data.queue_order) refused = refused || agent->SendText(id, kStrangerText) != 1;
        for (const std::string& answer : data.answers) sink->OnUserInfo(answer.data());
      });
  if (refused) state.SkipWithError("a text was not queued");
  if (AgentPeer(agent).pending_count() != 0) state.SkipWithError("texts left pending");
}
BENCHMARK(BM_Pending)->Name("pending")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
}  // namespace msglogic
