// Small helpers shared by the benchmark programs: a wall clock, running a command, making a
// reusable data file, and a series of repeated measurements with its best and median.
//
// Every figure in a Series is "more is better" (MB/s, or a ratio against a budget), so best is
// the largest value. Single-threaded; nothing here is meant for the product.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

inline double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs cmd through the shell and returns the seconds it took.
inline double TimeCommand(const std::string& cmd) {
  double t = Now();
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "command failed: %s\n", cmd.c_str());
  return Now() - t;
}

inline int64_t FileSizeOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in.good() ? static_cast<int64_t>(in.tellg()) : -1;
}

// Makes path hold size pseudo-random bytes, unless it already has that size (then it is reused).
inline void MakeFile(const std::string& path, int64_t size) {
  if (FileSizeOf(path) == size) return;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(1 << 20);
  uint32_t x = 12345;
  for (int64_t left = size; left > 0; left -= static_cast<int64_t>(block.size())) {
    for (char& c : block) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x);
    }
    out.write(block.data(), static_cast<std::streamsize>(
                                std::min<int64_t>(left, static_cast<int64_t>(block.size()))));
  }
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

struct Series {
  std::string name;
  std::vector<double> values;
  bool Empty() const { return values.empty(); }
  double Best() const { return *std::max_element(values.begin(), values.end()); }
  double Median() const {
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }
};

// Prints each of ours and the baseline, the best and median ratio of ours[0] to the baseline,
// and the line "RATIO <ratioName> <best ratio>".
inline void Report(const std::string& ratioName, const std::vector<Series>& ours,
                   const Series& base, const char* unit = "MB/s") {
  for (const Series& s : ours) {
    std::printf("  %-28s best %9.1f %s   median %9.1f %s\n", s.name.c_str(), s.Best(), unit,
                s.Median(), unit);
  }
  std::printf("  %-28s best %9.1f %s   median %9.1f %s\n", base.name.c_str(), base.Best(), unit,
              base.Median(), unit);
  std::printf("  ratio best %.2f, median %.2f\n", ours[0].Best() / base.Best(),
              ours[0].Median() / base.Median());
  std::printf("RATIO %s %.3f\n", ratioName.c_str(), ours[0].Best() / base.Best());
}

}  // namespace bench
