// Clocks for the benchmarks: wall time and the CPU time of the whole process
// (the program's thread, the kit's threads and the kernel on their behalf).
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// Monotonic wall clock and process CPU clock, in nanoseconds.
int64_t wall_ns();
int64_t cpu_ns();

// Wall and CPU time spent between construction and stop().
class Stopwatch {
  public:
    Stopwatch();
    void stop();
    double wall_s() const { return static_cast<double>(wall_) / 1e9; }
    double cpu_s() const { return static_cast<double>(cpu_) / 1e9; }

  private:
    int64_t wall_;
    int64_t cpu_;
};

// Number formatting for the table: fixed decimals.
std::string fixed(double value, int decimals);

} // namespace bench
