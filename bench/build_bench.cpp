// The calculation's own cost, apart from start-up and I/O: the table build
// and sum for the costliest words of the longest length.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "driver.h"

namespace {

void build_for(benchmark::State& state, const std::string& w) {
  std::strcpy(word, w.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(build().coef.data());
}

const std::string zeros(51, '0');
const std::string zeros_then_one = std::string(50, '0') + "1";
const std::string alternating = "010101010101010101010101010101010101010101010101010";
const std::string mixed = "001001000100100010010001001000100100010010001001000";

BENCHMARK_CAPTURE(build_for, zeros, zeros);
BENCHMARK_CAPTURE(build_for, zeros_then_one, zeros_then_one);
BENCHMARK_CAPTURE(build_for, alternating, alternating);
BENCHMARK_CAPTURE(build_for, mixed, mixed);

}  // namespace

BENCHMARK_MAIN();
