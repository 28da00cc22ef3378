// msglogic_latency_probe: the relay and host-latency figures of the suite,
// measured by a plain timing loop, for systems without Google Benchmark or
// iconv (the Windows build, run under Wine). Prints the figures; judges
// nothing.
//
//   relay    OnFriendList of 10,000 friends through the sink, cache filled;
//            median of the lists, per record.
//   latency  SendText to a friend, timed call by call with 2 µs of host work
//            between calls: p50 and p99 with the engine thread parked (idle)
//            and while it relays lists without pause (busy).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_agent.h"
#include "bench/texts.h"
#include "tests/support/records.h"

namespace msglogic {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kFriends = 10000;

int64_t Ns(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}

double Percentile(std::vector<int64_t> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t at = std::min(samples.size() - 1, static_cast<size_t>(p * samples.size()));
  return static_cast<double>(samples[at]);
}

void Spin(int64_t ns) {
  const auto until = Clock::now() + std::chrono::nanoseconds(ns);
  while (Clock::now() < until) {
  }
}

int Run() {
  // The suite's friend list: shuffled ids, Chinese texts, a value for all.
  Rng rng(20240601);
  std::vector<int32_t> ids(kFriends);
  for (size_t i = 0; i < kFriends; ++i) ids[i] = static_cast<int32_t>(100000 + 3 * i);
  for (size_t i = kFriends - 1; i > 0; --i) std::swap(ids[i], ids[rng.Next() % (i + 1)]);
  std::vector<testing::FriendSpec> friends;
  std::vector<std::pair<int32_t, int32_t>> values;
  for (size_t i = 0; i < kFriends; ++i) {
    testing::FriendSpec f;
    f.id = ids[i];
    f.value = static_cast<int32_t>(i % 97 + 1);
    f.status = static_cast<uint8_t>(1 + i % 3);
    f.name = ChineseUtf8(rng, rng.Between(2, 8));
    f.display_name = ChineseUtf8(rng, rng.Between(1, 8));
    f.long_text = ChineseUtf8(rng, rng.Between(16, 120), /*punctuated=*/true);
    values.emplace_back(f.id, f.value);
    friends.push_back(std::move(f));
  }
  const std::string list = testing::FriendList(friends).str();
  const std::string value_list = testing::ValueList(values).str();

  BenchAgent a;
  IMsgLogicSink* sink = a.sink();
  IMsgLogicEx* agent = a.agent();
  sink->OnFriendValues(value_list.data());
  sink->OnFriendList(list.data());

  std::vector<int64_t> relays;
  for (int i = 0; i < 15; ++i) {
    const auto start = Clock::now();
    sink->OnFriendList(list.data());
    relays.push_back(Ns(Clock::now() - start));
  }

  std::atomic<bool> stop{false};
  std::atomic<bool> relay{false};
  std::atomic<bool> parked{true};
  std::thread engine([&] {
    while (!stop.load()) {
      if (!relay.load()) {
        parked.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        continue;
      }
      parked.store(false);
      sink->OnFriendList(list.data());
    }
  });
  const int32_t friend_id = friends[kFriends / 2].id;
  static const char kText[] = "\xC4\xE3\xBA\xC3";  // 你好
  std::vector<int64_t> idle;
  std::vector<int64_t> busy;
  int refused = 0;
  auto phase = [&](std::vector<int64_t>* samples) {
    for (int i = 0; i < 20000; ++i) {
      const auto start = Clock::now();
      refused += agent->SendText(friend_id, kText) != 0;
      samples->push_back(Ns(Clock::now() - start));
      Spin(2000);
    }
  };
  for (int round = 0; round < 3; ++round) {
    relay.store(false);
    while (!parked.load()) std::this_thread::yield();
    phase(&idle);
    relay.store(true);
    while (parked.load()) std::this_thread::yield();
    phase(&busy);
  }
  stop.store(true);
  engine.join();

  const double relay_ns = Percentile(relays, 0.5) / kFriends;
  const double idle50 = Percentile(idle, 0.5), idle99 = Percentile(idle, 0.99);
  const double busy50 = Percentile(busy, 0.5), busy99 = Percentile(busy, 0.99);
  std::printf("friend-list relay (10,000 friends): %.0f ns per record\n", relay_ns);
  std::printf("host latency p50: idle %.0f ns, while relaying %.0f ns (%.2fx)\n", idle50,
              busy50, idle50 > 0 ? busy50 / idle50 : 0.0);
  std::printf("host latency p99: idle %.0f ns, while relaying %.0f ns (%.2fx)\n", idle99,
              busy99, idle99 > 0 ? busy99 / idle99 : 0.0);
  if (refused != 0) {
    std::printf("SendText refused %d times\n", refused);
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace bench
}  // namespace msglogic

int main() { return msglogic::bench::Run(); }
