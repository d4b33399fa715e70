// How long this machine takes to fetch a word it cannot predict, by the size of
// the memory being read: the floor under a route search whose per-node sets
// outgrow the caches. Each load's address comes from the previous load (a
// random cycle through one word per cache line), so no two loads overlap.
//
//   memory_latency [max_mib]      working sets of 1 MiB .. max_mib (default 256)
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

namespace {

double seconds_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

constexpr std::size_t kWordsPerLine = 64 / sizeof(std::size_t);

double nanoseconds_per_load(std::size_t mib) {
  const std::size_t lines = mib * 1024 * 1024 / 64;
  std::vector<std::size_t> order(lines);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
  std::vector<std::size_t> next(lines * kWordsPerLine);
  for (std::size_t i = 0; i < lines; ++i)
    next[order[i] * kWordsPerLine] = order[(i + 1) % lines] * kWordsPerLine;
  constexpr std::size_t kLoads = 10'000'000;
  std::size_t at = 0;
  for (std::size_t i = 0; i < lines; ++i) at = next[at];  // warm up: one full cycle
  const double start = seconds_now();
  for (std::size_t i = 0; i < kLoads; ++i) at = next[at];
  const double elapsed = seconds_now() - start;
  if (at == SIZE_MAX) std::puts("");  // keeps the chain from being optimised away
  return 1e9 * elapsed / static_cast<double>(kLoads);
}

}  // namespace

int main(int argc, char** argv) {
  const auto max_mib =
      static_cast<std::size_t>(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256);
  std::printf("dependent random loads, one per cache line:\n");
  for (std::size_t mib = 1; mib <= max_mib; mib *= 4)
    std::printf("  working set %4zu MiB: %6.1f ns per load\n", mib, nanoseconds_per_load(mib));
  return 0;
}
