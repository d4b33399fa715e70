#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "routing/pareto_set.hpp"

namespace velorin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Whole numbers in a narrow range, so that equal distances, equal risks and
// equal costs are common, with the odd signed zero, infinity and NaN.
double draw(std::mt19937_64& rng) {
  switch (rng() % 24) {
    case 0:
      return -0.0;
    case 1:
      return kInf;
    case 2:
      return kNaN;
    default:
      return static_cast<double>(rng() % 12);
  }
}

bool no_worse(Cost a, Cost b) {
  return a.distance <= b.distance && a.risk <= b.risk;
}

// The node-level test and settle written the obvious way, on a plain list.
bool reference_settle(std::vector<Cost>& set, Cost label) {
  if (std::isnan(label.distance) || std::isnan(label.risk)) return true;
  for (Cost c : set)
    if (no_worse(c, label)) return false;
  std::erase_if(set, [&](Cost c) { return dominates(label, c); });
  set.push_back(label);
  return true;
}

std::vector<std::pair<double, double>> sorted(std::vector<Cost> costs) {
  std::vector<std::pair<double, double>> out;
  for (Cost c : costs) out.emplace_back(c.distance, c.risk);
  std::sort(out.begin(), out.end());
  return out;
}

// Many sets in one pool, filled in interleaved order so that segments grow,
// move, reuse vacated space and get packed anew; every answer and every set's
// content must match the plain list, and each set must stay a staircase.
TEST(NodeParetoSets, AgreeWithAPlainListOnTieRichCosts) {
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    std::mt19937_64 rng(seed);
    constexpr std::size_t kSets = 7;
    NodeParetoSets sets;
    std::vector<NodeParetoSets::Segment> segments(kSets);
    std::vector<std::vector<Cost>> expected(kSets);
    for (int step = 0; step < 600; ++step) {
      if (step % 97 == 96) {
        std::vector<NodeParetoSets::Segment*> all;
        for (auto& s : segments) all.push_back(&s);
        sets.compact(all);
      }
      const std::size_t which = rng() % kSets;
      const Cost label{draw(rng), draw(rng)};
      const bool want = reference_settle(expected[which], label);
      ASSERT_EQ(sets.settle(segments[which], label), want)
          << "seed " << seed << " step " << step << " label " << label.distance << ","
          << label.risk;
      const auto steps = sets.steps(segments[which]);
      const std::vector<Cost> got(steps.begin(), steps.end());
      ASSERT_EQ(sorted(got), sorted(expected[which])) << "seed " << seed << " step " << step;
      for (std::size_t i = 1; i < got.size(); ++i) {
        ASSERT_LT(got[i - 1].distance, got[i].distance);
        ASSERT_GT(got[i - 1].risk, got[i].risk);
      }
    }
  }
}

// Enough sets of uneven sizes to fill many of the pool's blocks, and one set
// larger than a block, packed anew now and then: no set may lose or share a
// cost along the way.
TEST(NodeParetoSets, SetsKeepTheirCostsAcrossBlocksAndOversizedSets) {
  constexpr std::size_t kSets = 300;
  NodeParetoSets sets;
  std::vector<NodeParetoSets::Segment> segments(kSets + 1);
  std::vector<std::vector<Cost>> expected(kSets + 1);
  auto add = [&](std::size_t which, double distance) {
    // Each new cost is longer and safer than the set's others: a new step.
    const Cost c{distance, 1e9 - distance + static_cast<double>(which)};
    ASSERT_TRUE(sets.settle(segments[which], c));
    expected[which].push_back(c);
  };
  for (int round = 0; round < 400; ++round) {
    for (std::size_t which = 0; which < kSets; ++which)
      if (round % (1 + which % 7) == 0) add(which, round);
    if (round % 4 == 0)
      for (int i = 0; i < 200; ++i) add(kSets, static_cast<double>(expected[kSets].size()));
    if (round % 50 == 49) {
      std::vector<NodeParetoSets::Segment*> all;
      for (auto& s : segments) all.push_back(&s);
      sets.compact(all);
    }
  }
  ASSERT_GT(expected[kSets].size(), 16384u);
  for (std::size_t which = 0; which <= kSets; ++which) {
    const auto steps = sets.steps(segments[which]);
    ASSERT_EQ(sorted({steps.begin(), steps.end()}), sorted(expected[which])) << "set " << which;
  }
}

// Sets of hundreds of costs, each filled in one pattern of where new costs
// land: always at one end, at both ends in turn, anywhere, or over runs of
// costs they dominate. Each set must keep exactly the plain list's costs as
// it grows into larger segments, moves within its room and is packed anew.
enum class Landing { longer_end, shorter_end, both_ends, anywhere, over_runs };

class NodeParetoSetsLanding : public ::testing::TestWithParam<Landing> {};

TEST_P(NodeParetoSetsLanding, KeepThePlainListsCosts) {
  constexpr std::size_t kSets = 5;
  constexpr double kSpan = 1e6;
  std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
  NodeParetoSets sets;
  std::vector<NodeParetoSets::Segment> segments(kSets);
  std::vector<std::vector<Cost>> expected(kSets);
  std::vector<int> added(kSets, 0);
  auto next_cost = [&](std::size_t which) {
    // Costs on the line distance + risk = kSpan are never dominated by one
    // another; a cost below the line dominates those around it.
    const int k = added[which]++;
    double distance = 0.0;
    switch (GetParam()) {
      case Landing::longer_end:
        distance = k;
        break;
      case Landing::shorter_end:
        distance = kSpan / 2 - k;
        break;
      case Landing::both_ends:
        distance = k % 2 == 0 ? kSpan / 2 + k : kSpan / 2 - k;
        break;
      case Landing::anywhere:
      case Landing::over_runs:
        distance = static_cast<double>(rng() % 1000000);
        break;
    }
    double risk = kSpan - distance;
    if (GetParam() == Landing::over_runs && k % 5 == 4) risk -= static_cast<double>(rng() % 5000);
    return Cost{distance, risk};
  };
  for (int step = 0; step < 6000; ++step) {
    if (step % 1499 == 1498) {
      std::vector<NodeParetoSets::Segment*> all;
      for (auto& s : segments) all.push_back(&s);
      sets.compact(all);
    }
    const std::size_t which = step % 7 < 4 ? 0 : rng() % kSets;
    const Cost label = next_cost(which);
    const bool want = reference_settle(expected[which], label);
    ASSERT_EQ(sets.rules_out(segments[which], label), !want) << "step " << step;
    ASSERT_EQ(sets.settle(segments[which], label), want) << "step " << step;
    if (step % 13 == 0 || which != 0) {
      const auto steps = sets.steps(segments[which]);
      ASSERT_EQ(sorted({steps.begin(), steps.end()}), sorted(expected[which])) << "step " << step;
    }
  }
  for (std::size_t which = 0; which < kSets; ++which) {
    const auto steps = sets.steps(segments[which]);
    ASSERT_EQ(sorted({steps.begin(), steps.end()}), sorted(expected[which])) << "set " << which;
  }
  ASSERT_GT(expected[0].size(), 200u);
}

INSTANTIATE_TEST_SUITE_P(Patterns, NodeParetoSetsLanding,
                         ::testing::Values(Landing::longer_end, Landing::shorter_end,
                                           Landing::both_ends, Landing::anywhere,
                                           Landing::over_runs));

TEST(ParetoFront, CoversExactlyWhatSomeAddedCostIsNoWorseThan) {
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    std::mt19937_64 rng(seed);
    ParetoFront front;
    std::vector<Cost> added;
    for (int step = 0; step < 300; ++step) {
      const Cost c{draw(rng), draw(rng)};
      // The search only adds costs that no cost of the front dominates.
      if (std::none_of(added.begin(), added.end(), [&](Cost a) { return dominates(a, c); })) {
        front.add(c);
        added.push_back(c);
      }
      const Cost probe{draw(rng), draw(rng)};
      const bool want =
          std::any_of(added.begin(), added.end(), [&](Cost a) { return no_worse(a, probe); });
      ASSERT_EQ(front.covers(probe.distance, probe.risk), want)
          << "seed " << seed << " step " << step << " probe " << probe.distance << ","
          << probe.risk;
    }
  }
}

}  // namespace
}  // namespace velorin
