#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <vector>

#include <gtest/gtest.h>

#include "routing/open_list.hpp"
#include "routing/radix_heap.hpp"

namespace velorin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The place field tags each label so that labels equal in order stay apart.
OpenLabel label(double key, double distance, double risk, std::uint32_t tag) {
  return {key_rank(key), distance, risk, 0.0, tag, kNoParent, kNoEdge, kNoParent};
}

std::vector<std::uint32_t> drain(OpenList& open) {
  std::vector<std::uint32_t> tags;
  while (!open.empty()) tags.push_back(open.pop().place);
  return tags;
}

TEST(OpenList, OrdersByKeyWithNaNLastThenDistanceThenRisk) {
  OpenList open;
  open.push(label(kNaN, 0.0, 0.0, 0));
  open.push(label(5.0, 2.0, 0.0, 1));
  open.push(label(-kInf, 9.0, 9.0, 2));
  open.push(label(5.0, 1.0, 7.0, 3));
  open.push(label(5.0, 1.0, 6.0, 4));
  open.push(label(kInf, 0.0, 0.0, 5));
  open.push(label(-230.0, 0.0, 0.0, 6));
  EXPECT_EQ(drain(open), (std::vector<std::uint32_t>{2, 6, 4, 3, 1, 5, 0}));
}

TEST(OpenList, SignedZerosTieOnKeyButNotOnDistanceOrRisk) {
  OpenList open;
  open.push(label(0.0, 0.0, 0.0, 0));
  open.push(label(-0.0, 0.0, -0.0, 1));
  open.push(label(0.0, -0.0, 0.0, 2));
  EXPECT_EQ(drain(open), (std::vector<std::uint32_t>{2, 1, 0}));
}

TEST(OpenList, NaNKeysTieAndFallBackToDistance) {
  OpenList open;
  open.push(label(kNaN, 3.0, 0.0, 0));
  open.push(label(-kNaN, 1.0, 0.0, 1));
  open.push(label(kNaN, 2.0, 0.0, 2));
  EXPECT_EQ(drain(open), (std::vector<std::uint32_t>{1, 2, 0}));
}

// Labels that compare equal leave in the order the heap moves give: the hole
// walks into the right child on equality, so after the root the third label
// comes before the second. A stable or a left-leaning heap differs here.
TEST(OpenList, EqualLabelsLeaveInTheOrderOfTheHeapMoves) {
  OpenList open;
  for (std::uint32_t tag = 0; tag < 4; ++tag) open.push(label(1.0, 1.0, 1.0, tag));
  EXPECT_EQ(drain(open), (std::vector<std::uint32_t>{0, 2, 1, 3}));

  // Pushes only move a label past strictly worse parents.
  for (std::uint32_t tag = 0; tag < 7; ++tag) open.push(label(1.0, 1.0, 1.0, tag));
  EXPECT_EQ(drain(open), (std::vector<std::uint32_t>{0, 2, 5, 6, 4, 1, 3}));
}

TEST(OpenList, RandomPushesAndPopsAlwaysYieldTheBest) {
  OpenList open;
  std::uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 60);  // 0..15, many ties
  };
  for (int round = 0; round < 2000; ++round) {
    open.push(label(next(), next(), next(), 0));
    if (round % 3 == 2) {
      OpenLabel best = open.pop();
      for (const OpenLabel& other : open.entries()) EXPECT_FALSE(better(other, best));
    }
  }
}

// Keys as Dijkstra's algorithm pushes them: each at least the last popped,
// often equal to it, sometimes far above it, +0.0 and -0.0 alike, and
// +inf. Every pop must give the least key waiting, as a binary heap does,
// and top() must show it first.
struct MonotoneKeys {
  const char* name;
  int most_step_bits;  // steps above the last key popped: up to 2^bits
  int ties_in;         // one push in this many repeats the last key popped
};

class RadixHeapOrder : public ::testing::TestWithParam<MonotoneKeys> {};

TEST_P(RadixHeapOrder, PopsTheLeastKeyLikeABinaryHeap) {
  const MonotoneKeys keys = GetParam();
  RadixHeap<std::uint32_t> radix;
  std::priority_queue<double, std::vector<double>, std::greater<>> binary;
  std::uint64_t state = 99;
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 11;
  };
  double last = 0.0;
  auto push = [&](double key) {
    radix.push(key, static_cast<std::uint32_t>(binary.size()));
    binary.push(key);
  };
  push(-0.0);
  for (int round = 0; round < 20000; ++round) {
    const std::uint64_t r = next();
    double key = last;
    if (r % static_cast<std::uint64_t>(keys.ties_in) != 0) {
      const int scale = static_cast<int>(r % 7) + keys.most_step_bits - 6;
      key = last + std::ldexp(static_cast<double>(r % 1000) / 1000.0, scale);
    }
    if (r % 997 == 0) key = kInf;
    push(key);
    if (r % 3 != 0) continue;
    ASSERT_FALSE(radix.empty());
    const double least = binary.top();
    binary.pop();
    EXPECT_EQ(radix.top().key, least);
    last = radix.pop().key;
    ASSERT_EQ(last, least);
  }
  while (!binary.empty()) {
    ASSERT_FALSE(radix.empty());
    EXPECT_EQ(radix.pop().key, binary.top());
    binary.pop();
  }
  EXPECT_TRUE(radix.empty());
}

INSTANTIATE_TEST_SUITE_P(Keys, RadixHeapOrder,
                         ::testing::Values(MonotoneKeys{"SmallSteps", -20, 4},
                                           MonotoneKeys{"MetreSteps", 10, 50},
                                           MonotoneKeys{"HugeSteps", 900, 8},
                                           MonotoneKeys{"MostlyTies", 0, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velorin
