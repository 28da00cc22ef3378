// A hot path and its floor, measured in turns in one benchmark.
//
// On a machine shared with other work the speed of the processor changes
// from one second to the next (other programs' threads on the same core,
// their use of the caches), so two benchmarks run a second apart do not
// compare well. Here every iteration runs the floor once and the measured
// operation once, in alternating order, each timed on the calling thread's
// CPU clock (time the thread spends switched out does not count), and the
// ratio is taken iteration by iteration. Counters, each the median over the
// iterations:
//   floor_us, measured_us  CPU time of one operation
//   ratio                  measured / floor
#ifndef MSGLOGIC_BENCH_PAIRED_H_
#define MSGLOGIC_BENCH_PAIRED_H_

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <vector>

namespace msglogic {
namespace bench {

inline double ThreadCpuNs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

inline double Median(std::vector<double>* values) {
  std::sort(values->begin(), values->end());
  const size_t m = values->size();
  return m % 2 == 1 ? (*values)[m / 2] : ((*values)[m / 2 - 1] + (*values)[m / 2]) / 2;
}

template <typename Floor, typename Measured>
void RunPaired(benchmark::State& state, Floor floor, Measured measured) {
  std::vector<double> floors;
  std::vector<double> measureds;
  std::vector<double> ratios;
  bool floor_first = true;
  for (auto _ : state) {
    double floor_ns;
    double measured_ns;
    if (floor_first) {
      const double t0 = ThreadCpuNs();
      floor();
      const double t1 = ThreadCpuNs();
      measured();
      const double t2 = ThreadCpuNs();
      floor_ns = t1 - t0;
      measured_ns = t2 - t1;
    } else {
      const double t0 = ThreadCpuNs();
      measured();
      const double t1 = ThreadCpuNs();
      floor();
      const double t2 = ThreadCpuNs();
      measured_ns = t1 - t0;
      floor_ns = t2 - t1;
    }
    floor_first = !floor_first;
    if (floor_ns <= 0) continue;
    floors.push_back(floor_ns);
    measureds.push_back(measured_ns);
    ratios.push_back(measured_ns / floor_ns);
  }
  if (ratios.empty()) return;
  state.counters["floor_us"] = Median(&floors) / 1e3;
  state.counters["measured_us"] = Median(&measureds) / 1e3;
  state.counters["ratio"] = Median(&ratios);
}

}  // namespace bench
}  // namespace msglogic

#endif  // MSGLOGIC_BENCH_PAIRED_H_
