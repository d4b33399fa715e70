#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "routing/open_list.hpp"

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

}  // namespace
}  // namespace velorin
