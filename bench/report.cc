// msglogic_bench_report: the table of ratios.
//
//   msglogic_bench_report SUITE.json [IDLE.json] [--strict]
//
// SUITE.json is msglogic_bench's --benchmark_out (JSON, with or without
// repetitions); IDLE.json the line msglogic_idle_bench prints. Every
// benchmark of the suite measures a hot path and its floor in turns and
// reports counters (bench/paired.h; the latency benchmark its percentiles);
// each row shows the median of a counter over the repetitions.
// Prints a Markdown table; with --strict the exit status is 1 when a target
// is missed or a figure is missing.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

// The medians of one benchmark: CPU time per iteration in nanoseconds, and
// the counters.
struct Figures {
  double time_ns = 0;
  std::map<std::string, double> counters;
};

double ToNanoseconds(double value, const std::string& unit) {
  if (unit == "us") return value * 1e3;
  if (unit == "ms") return value * 1e6;
  if (unit == "s") return value * 1e9;
  return value;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Keys of a benchmark entry that are not counters.
bool IsCounter(const std::string& key, const json& value) {
  static const char* const kFields[] = {
      "name", "family_index", "per_family_instance_index", "run_name", "run_type",
      "repetitions", "repetition_index", "threads", "iterations", "real_time", "cpu_time",
      "time_unit", "aggregate_name", "aggregate_unit", "error_occurred", "error_message",
      "label"};
  for (const char* field : kFields) {
    if (key == field) return false;
  }
  return value.is_number();
}

std::map<std::string, Figures> ReadSuite(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "report: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  std::stringstream text;
  text << in.rdbuf();
  // Google Benchmark writes NaN and infinities (the spread of a counter that
  // never varies, say) as bare words, which JSON has not: read them as null.
  static const std::regex kNotANumber(R"((:\s*)-?(nan|inf)\b)", std::regex::icase);
  const json suite = json::parse(std::regex_replace(text.str(), kNotANumber, "$1null"));
  std::map<std::string, std::vector<double>> times;
  std::map<std::string, std::map<std::string, std::vector<double>>> counters;
  std::map<std::string, Figures> medians;  // from "median" aggregates
  for (const json& b : suite.at("benchmarks")) {
    if (b.value("error_occurred", false)) continue;
    const std::string name = b.value("run_name", b.at("name").get<std::string>());
    const std::string type = b.value("run_type", "iteration");
    const double time = ToNanoseconds(b.at("cpu_time").get<double>(), b.value("time_unit", "ns"));
    if (type == "aggregate") {
      if (b.value("aggregate_name", "") != "median") continue;
      Figures& f = medians[name];
      f.time_ns = time;
      for (auto it = b.begin(); it != b.end(); ++it) {
        if (IsCounter(it.key(), it.value())) f.counters[it.key()] = it.value().get<double>();
      }
      continue;
    }
    times[name].push_back(time);
    for (auto it = b.begin(); it != b.end(); ++it) {
      if (IsCounter(it.key(), it.value())) counters[name][it.key()].push_back(it.value().get<double>());
    }
  }
  // Every repetition present: the median of them. Only aggregates: theirs.
  std::map<std::string, Figures> figures = medians;
  for (const auto& [name, values] : times) {
    Figures f;
    f.time_ns = Median(values);
    for (const auto& [counter, samples] : counters[name]) f.counters[counter] = Median(samples);
    figures[name] = f;
  }
  return figures;
}

std::optional<json> ReadIdle(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  try {
    return json::parse(in);
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Time(double ns) {
  if (ns >= 1e6) return Format("%.2f ms", ns / 1e6);
  if (ns >= 1e3) return Format("%.1f µs", ns / 1e3);
  return Format("%.0f ns", ns);
}

struct Line {
  std::string benchmark, floor, measured, ratio, target, result;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  bool strict = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--strict") {
      strict = true;
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty() || files.size() > 2) {
    std::fprintf(stderr, "usage: msglogic_bench_report SUITE.json [IDLE.json] [--strict]\n");
    return 2;
  }
  const std::map<std::string, Figures> suite = ReadSuite(files[0]);
  const std::optional<json> idle = files.size() > 1 ? ReadIdle(files[1]) : std::nullopt;

  std::vector<Line> lines;
  std::vector<Line> notes;
  bool all_met = true;
  // A benchmark timed by the wall clock carries "/real_time" in its name.
  auto find = [&](const std::string& name) -> const Figures* {
    auto it = suite.find(name);
    if (it == suite.end()) it = suite.find(name + "/real_time");
    return it == suite.end() ? nullptr : &it->second;
  };
  auto missing = [&](const std::string& label, const std::string& target) {
    lines.push_back({label, "—", "—", "—", target, "missing"});
    all_met = false;
  };

  auto counter = [](const Figures* f, const char* name, double* value) {
    if (f == nullptr) return false;
    auto it = f->counters.find(name);
    if (it == f->counters.end()) return false;
    *value = it->second;
    return true;
  };

  // A paired benchmark: floor and measured CPU time per operation, and the
  // median of their ratios; max_ratio 0 means no target.
  auto paired = [&](std::vector<Line>* out, const std::string& label, const std::string& name,
                    double max_ratio) {
    const std::string target = max_ratio > 0 ? Format("≤ %.1f×", max_ratio) : "—";
    const Figures* f = find(name);
    double floor_us, measured_us, ratio;
    if (!counter(f, "floor_us", &floor_us) || !counter(f, "measured_us", &measured_us) ||
        !counter(f, "ratio", &ratio)) {
      if (max_ratio > 0) missing(label, target);
      return;
    }
    const bool met = max_ratio <= 0 || ratio <= max_ratio;
    if (!met) all_met = false;
    out->push_back({label, Time(floor_us * 1e3), Time(measured_us * 1e3), Format("%.2f×", ratio),
                    target, max_ratio > 0 ? (met ? "pass" : "FAIL") : ""});
  };

  paired(&lines, "friend-list relay (10,000 friends)", "relay", 0.4);
  paired(&lines, "room packing (1,000 rooms)", "room", 0.6);
  paired(&lines, "codec GB2312→UTF-8 (names, 4–30 bytes)", "codec/gb2312-to-utf8", 0.5);
  paired(&lines, "codec UTF-8→GB2312 (names, 4–30 bytes)", "codec/utf8-to-gb2312", 0.5);

  // Host latency: SendText to a friend while lists are relayed without
  // pause, beside the same calls with the relaying thread parked, in the
  // same benchmark (p50 and p99 of each phase). The agent's targets are
  // ratios to its idle figures: a host command should not wait for a list.
  // The naive agent (plain recursive mutexes, every record cached under the
  // friend table's lock) is shown for comparison, with no target; so is the
  // mean, which shows the rare calls that wait for a whole list.
  auto latency = [&](const std::string& who, const std::string& name, double max_p50,
                     double max_p99) {
    const Figures* f = find(name);
    double idle_p50, idle_p99, busy_p50, busy_p99;
    const std::string p50_label = "host latency p50 (SendText while relaying)" + who;
    const std::string p99_label = "host latency p99 (SendText while relaying)" + who;
    auto target = [](double max) { return max > 0 ? Format("≤ %.1f× idle", max) : "—"; };
    if (!counter(f, "idle_p50_us", &idle_p50) || !counter(f, "idle_p99_us", &idle_p99) ||
        !counter(f, "busy_p50_us", &busy_p50) || !counter(f, "busy_p99_us", &busy_p99)) {
      if (max_p50 > 0) missing(p50_label, target(max_p50));
      if (max_p99 > 0) missing(p99_label, target(max_p99));
      return;
    }
    auto row = [&](const std::string& label, double idle_us, double busy_us, double max) {
      const double ratio = idle_us > 0 ? busy_us / idle_us : INFINITY;
      const bool met = max <= 0 || ratio <= max;
      if (!met) all_met = false;
      lines.push_back({label, Time(idle_us * 1e3), Time(busy_us * 1e3), Format("%.2f×", ratio),
                       target(max), max > 0 ? (met ? "pass" : "FAIL") : ""});
    };
    row(p50_label, idle_p50, busy_p50, max_p50);
    row(p99_label, idle_p99, busy_p99, max_p99);
    double idle_mean, busy_mean;
    if (counter(f, "idle_mean_us", &idle_mean) && counter(f, "busy_mean_us", &busy_mean)) {
      row("host latency mean (SendText while relaying)" + who, idle_mean, busy_mean, 0);
    }
  };
  latency("", "latency", 1.2, 2.0);
  latency(", naive agent", "latency/naive", 0, 0);

  paired(&lines, "pending texts (100,000 strangers)", "pending", 3.0);

  // Idle cost: absolute figures, no floor.
  {
    const std::string cpu_label = "idle CPU, 100 agents (of one core)";
    const std::string rss_label = "idle memory per agent (RSS delta)";
    if (!idle || !idle->contains("cpu_percent") || !idle->contains("rss_per_agent_kib")) {
      missing(cpu_label, "< 1%");
      missing(rss_label, "< 64 KiB");
    } else {
      const double cpu = idle->at("cpu_percent").get<double>();
      const double rss = idle->at("rss_per_agent_kib").get<double>();
      const int agents = idle->value("agents", 0);
      const double seconds = idle->value("seconds", 0.0);
      const bool cpu_met = cpu < 1.0;
      const bool rss_met = rss < 64.0;
      if (!cpu_met || !rss_met) all_met = false;
      lines.push_back({Format("idle CPU, %.0f agents", agents) + Format(" for %.0f s", seconds),
                       "—", Format("%.3f%% of a core", cpu), "—", "< 1%",
                       cpu_met ? "pass" : "FAIL"});
      lines.push_back({rss_label, "—", Format("%.1f KiB", rss), "—", "< 64 KiB",
                       rss_met ? "pass" : "FAIL"});
    }
  }

  // For reference: the codec linked into the program (no targets).
  for (const char* way : {"gb2312-to-utf8", "utf8-to-gb2312"}) {
    const std::string label = std::string("codec ") +
                              (way[0] == 'g' ? "GB2312→UTF-8" : "UTF-8→GB2312") +
                              ", linked into the program";
    paired(&notes, label, std::string("codec/") + way + "/static", 0);
  }

  auto print = [](const std::vector<Line>& table) {
    std::printf("| benchmark | floor | measured | ratio | target | result |\n");
    std::printf("|---|---:|---:|---:|---|---|\n");
    for (const Line& l : table) {
      std::printf("| %s | %s | %s | %s | %s | %s |\n", l.benchmark.c_str(), l.floor.c_str(),
                  l.measured.c_str(), l.ratio.c_str(), l.target.c_str(), l.result.c_str());
    }
  };
  print(lines);
  if (!notes.empty()) {
    std::printf("\nFor reference (no targets):\n\n");
    print(notes);
  }
  std::printf("\n%s\n", all_met ? "All targets met." : "Some targets missed.");
  return strict && !all_met ? 1 : 0;
}
