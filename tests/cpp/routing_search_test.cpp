#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "graph/road_graph.hpp"
#include "routing/distance_to_target.hpp"
#include "routing/lower_bounds.hpp"
#include "routing/pareto_search.hpp"
#include "routing/remaining_cost.hpp"
#include "routing/route_selection.hpp"
#include "routing/search_key.hpp"

namespace velorin {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
using Path = std::vector<NodeId>;

// Nodes 1..n on the equator, a metre or so apart: the estimate barely matters
// and the key is driven by the costs.
std::vector<Node> nodes_up_to(NodeId n) {
  std::vector<Node> nodes;
  for (NodeId id = 1; id <= n; ++id) nodes.push_back({id, 0.0, 1e-5 * static_cast<double>(id)});
  return nodes;
}

struct SearchRun {
  std::vector<SettledLabel> solutions;
  SearchStats stats;
};

SearchRun search(const RoadGraph& g, NodeId source, NodeId target, double eps) {
  SearchRun run;
  run.solutions = astar_pex(g, g.dense_of(source), g.dense_of(target), eps, &run.stats);
  return run;
}

TEST(Search, SourceEqualToTargetIsOneEmptyPath) {
  RoadGraph g = RoadGraph::build(nodes_up_to(2), {{1, 2, 5.0, 1.0, 0.0}, {2, 1, 5.0, 1.0, 0.0}});
  SearchRun run = search(g, 1, 1, 0.0);
  ASSERT_EQ(run.solutions.size(), 1u);
  EXPECT_EQ(run.solutions[0].path, Path{1});
  EXPECT_EQ(run.solutions[0].distance, 0.0);
  EXPECT_EQ(run.solutions[0].risk, 0.0);
  EXPECT_EQ(run.stats[Counter::pushed], 1u);  // nothing extended from the target
}

TEST(Search, KeepsTheParetoFrontInOrderOfDiscovery) {
  // Three ways from 1 to 4: short and risky, long and safe, and one dominated.
  RoadGraph g = RoadGraph::build(nodes_up_to(4), {
                                                     {1, 2, 100.0, 3.0, 0.0},
                                                     {2, 4, 100.0, 3.0, 0.0},
                                                     {1, 3, 300.0, 0.5, 0.0},
                                                     {3, 4, 300.0, 0.5, 0.0},
                                                     {1, 4, 700.0, 7.0, 0.0},
                                                 });
  SearchRun run = search(g, 1, 4, 0.0);
  ASSERT_EQ(run.solutions.size(), 2u);
  // Keys: 200 + 3000 against 600 + 500, so the safe path is found first.
  EXPECT_EQ(run.solutions[0].path, (Path{1, 3, 4}));
  EXPECT_EQ(run.solutions[1].path, (Path{1, 2, 4}));
  EXPECT_EQ(run.solutions[1].distance, 200.0);
  EXPECT_EQ(run.solutions[1].risk, 6.0);
}

// eps scales the label, not the solution: with a solution (1000, 2.0) a label
// (1050, 1.9) is within 10% and goes at eps 0.1, while (900, 2.5) stays.
TEST(Search, ApproximationFactorPrunesNearSolutions) {
  std::vector<Edge> edges = {
      {1, 4, 1000.0, 2.0, 0.0},                           // key 2000: found first
      {1, 2, 1050.0, 1.9, 0.0},                           // reaches 4 at (1050, 1.9)
      {2, 4, 0.0, 0.0, 0.0},    {1, 3, 900.0, 2.5, 0.0},  // reaches 4 at (900, 2.5)
      {3, 4, 0.0, 0.0, 0.0},
  };
  RoadGraph g = RoadGraph::build(nodes_up_to(4), edges);
  auto paths = [&](double eps) {
    std::vector<Path> found;
    for (const SettledLabel& s : search(g, 1, 4, eps).solutions) found.push_back(s.path);
    return found;
  };
  const Path direct{1, 4}, via2{1, 2, 4}, via3{1, 3, 4};
  EXPECT_EQ(paths(0.0), (std::vector<Path>{direct, via2, via3}));
  EXPECT_EQ(paths(0.1), (std::vector<Path>{direct, via3}));
  EXPECT_EQ(paths(1.0), (std::vector<Path>{direct}));
  // A NaN factor fails every comparison and prunes nothing.
  EXPECT_EQ(paths(std::nan("")), (std::vector<Path>{direct, via2, via3}));
}

TEST(Search, FirstOfTwoEqualCostPathsWins) {
  // Two ways of equal cost, direct and via 3: the later target label has
  // exactly the first solution's cost and is discarded.
  RoadGraph g = RoadGraph::build(nodes_up_to(3), {
                                                     {1, 2, 10.0, 1.0, 0.0},
                                                     {1, 3, 10.0, 1.0, 0.0},
                                                     {3, 2, 0.0, 0.0, 0.0},
                                                 });
  SearchRun run = search(g, 1, 2, 0.0);
  ASSERT_EQ(run.solutions.size(), 1u);
  EXPECT_EQ(run.solutions[0].path, (Path{1, 2}));
}

// Of two paths of equal cost, the full key (familiarity included) takes the
// more familiar one first, so it wins at eps 0.0 too, where labels otherwise
// leave the heap in the order of their costs alone: a close call, searched
// again in the order of the full key. Duplicated arcs of different
// familiarity are settled as the full key would, without a second search.
TEST(Search, EqualCostPathsGoToTheMoreFamiliarOne) {
  RoadGraph g = RoadGraph::build(nodes_up_to(3), {
                                                     {1, 2, 10.0, 1.0, 0.0},
                                                     {1, 3, 5.0, 0.5, 0.0},
                                                     {3, 2, 5.0, 0.5, 0.5},
                                                 });
  SearchRun run = search(g, 1, 2, 0.0);
  ASSERT_EQ(run.solutions.size(), 1u);
  EXPECT_EQ(run.solutions[0].path, (Path{1, 3, 2}));
  EXPECT_EQ(run.stats[Counter::close_calls], 1u);

  RoadGraph twins = RoadGraph::build(nodes_up_to(2), {
                                                         {1, 2, 10.0, 1.0, 0.25},
                                                         {1, 2, 10.0, 1.0, 0.5},
                                                         {1, 2, 10.0, 1.0, 0.0},
                                                     });
  run = search(twins, 1, 2, 0.0);
  ASSERT_EQ(run.solutions.size(), 1u);
  EXPECT_EQ(run.solutions[0].familiarity, 0.5);
  EXPECT_EQ(run.stats[Counter::close_calls], 0u);
}

TEST(Search, LaterSolutionRemovesAnEarlierOneItDominates) {
  // Familiarity pulls the worse path forward; the better one found later
  // replaces it.
  RoadGraph g = RoadGraph::build(nodes_up_to(3), {
                                                     {1, 3, 100.0, 1.0, 10.0},
                                                     {1, 2, 40.0, 0.4, 0.0},
                                                     {2, 3, 40.0, 0.4, 0.0},
                                                 });
  SearchRun run = search(g, 1, 3, 0.0);
  ASSERT_EQ(run.solutions.size(), 1u);
  EXPECT_EQ(run.solutions[0].path, (Path{1, 2, 3}));
}

TEST(Search, FollowsEdgesThroughIdsWithoutNodeRecords) {
  // 99 has no node record: it is still crossed, with position (0, 0).
  std::vector<Node> nodes = {{1, 10.0, 10.0}, {2, 10.0, 10.001}};
  RoadGraph g = RoadGraph::build(nodes, {{1, 99, 5.0, 0.0, 0.0}, {99, 2, 5.0, 0.0, 0.0}});
  SearchRun run = search(g, 1, 2, 0.0);
  ASSERT_EQ(run.solutions.size(), 1u);
  EXPECT_EQ(run.solutions[0].path, (Path{1, 99, 2}));
}

TEST(Search, NoPathGivesNoSolution) {
  RoadGraph g = RoadGraph::build(nodes_up_to(3), {{1, 2, 1.0, 1.0, 0.0}, {3, 1, 1.0, 1.0, 0.0}});
  EXPECT_TRUE(search(g, 1, 3, 0.0).solutions.empty());
}

TEST(GreatCircle, OneDegreeOfTheEquatorAndZeroAtTheTarget) {
  DistanceToTarget to_target({0.0, 1.0});
  EXPECT_NEAR(to_target.metres_from({0.0, 0.0}), 111194.9266, 1e-4);
  EXPECT_EQ(to_target.metres_from({0.0, 1.0}), 0.0);
  EXPECT_EQ(DistanceToTarget({43.5, 1.5}).metres_from({43.5, 1.5}), 0.0);
}

// Graphs on which a literal best-first search would never end: cycles that
// gain nothing, lose cost or turn a sum into NaN. The search must end with the
// simple-path answer.
struct CycleCase {
  const char* name;
  std::vector<Edge> edges;
  Path expected_path;  // empty: no solution
};

class SearchOnCycles : public testing::TestWithParam<CycleCase> {};

TEST_P(SearchOnCycles, EndsWithTheSimplePathAnswer) {
  const CycleCase& c = GetParam();
  RoadGraph g = RoadGraph::build(nodes_up_to(4), c.edges);
  for (double eps : {0.0, 0.1, -0.5}) {
    SearchRun run = search(g, 1, 4, eps);
    if (c.expected_path.empty()) {
      EXPECT_TRUE(run.solutions.empty());
      continue;
    }
    ASSERT_FALSE(run.solutions.empty()) << c.name;
    for (const SettledLabel& s : run.solutions) {
      // Every settled path is simple.
      std::vector<NodeId> sorted = s.path;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << c.name;
    }
    EXPECT_EQ(run.solutions.back().path, c.expected_path) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    , SearchOnCycles,
    testing::Values(
        CycleCase{"zero_cost_cycle",
                  {{1, 2, 0.0, 0.0, 0.0}, {2, 1, 0.0, 0.0, 0.0}, {2, 4, 10.0, 1.0, 0.0}},
                  {1, 2, 4}},
        CycleCase{"zero_cost_self_loop",
                  {{1, 2, 1.0, 0.0, 0.0}, {2, 2, 0.0, 0.0, 5.0}, {2, 4, 1.0, 0.0, 0.0}},
                  {1, 2, 4}},
        CycleCase{"negative_cycle",
                  {{1, 2, 5.0, 1.0, 0.0},
                   {2, 3, -10.0, -1.0, 0.0},
                   {3, 2, 1.0, 0.0, 0.0},
                   {2, 4, 1.0, 1.0, 0.0}},
                  {1, 2, 4}},
        CycleCase{"negative_self_loop",
                  {{1, 2, 5.0, 1.0, 0.0}, {2, 2, -1.0, -1.0, 0.0}, {2, 4, 1.0, 1.0, 0.0}},
                  {1, 2, 4}},
        CycleCase{"cycle_trading_distance_for_risk",
                  {{1, 2, 1.0, 1.0, 0.0},
                   {2, 3, 1.0, -2.0, 0.0},
                   {3, 2, 1.0, 1.0, 0.0},
                   {2, 4, 1.0, 1.0, 0.0}},
                  {1, 2, 4}},
        CycleCase{"infinite_costs",
                  {{1, 2, kInf, 0.0, 0.0}, {2, 1, kInf, 0.0, 0.0}, {2, 4, 1.0, 0.0, 0.0}},
                  {1, 2, 4}},
        CycleCase{"sums_turning_nan",
                  {{1, 2, kInf, 1.0, 0.0},
                   {2, 3, -kInf, 1.0, 0.0},
                   {3, 2, 1.0, 1.0, 0.0},
                   {3, 4, 1.0, 1.0, 0.0}},
                  {1, 2, 3, 4}},
        CycleCase{"nan_edge_in_cycle",
                  {{1, 2, 1.0, 1.0, 0.0},
                   {2, 3, std::nan(""), 1.0, 0.0},
                   {3, 2, 1.0, 1.0, 0.0},
                   {3, 4, 1.0, 1.0, 0.0}},
                  {1, 2, 3, 4}},
        // 1e20 absorbs the cycle's 1.0 metre: positive edges, yet the cycle
        // adds nothing in floating point.
        CycleCase{"huge_total_absorbs_cycle",
                  {{1, 2, 1e20, 0.0, 0.0},
                   {2, 3, 1.0, 0.0, 0.0},
                   {3, 2, 1.0, 0.0, 0.0},
                   {3, 4, 1.0, 0.0, 0.0}},
                  {1, 2, 3, 4}},
        CycleCase{"unreachable_behind_zero_cycle",
                  {{1, 2, 0.0, 0.0, 0.0}, {2, 3, 0.0, 0.0, 0.0}, {3, 1, 0.0, 0.0, 0.0}},
                  {}}),
    [](const testing::TestParamInfo<CycleCase>& info) { return std::string(info.param.name); });

// Equal-cost paths: duplicated ways on a long road, and a grid whose
// whole-number costs give every monotone path the same cost (C(30, 15) of
// them to the far corner). Only the first label of each cost is settled at a
// node, so the work stays linear in the graph.
TEST(Search, EqualCostPathsDoNotMultiply) {
  std::vector<Edge> road;
  for (NodeId id = 1; id < 60; ++id) {
    road.push_back({id, id + 1, 10.0, 1.0, 0.0});
    road.push_back({id, id + 1, 10.0, 1.0, 0.0});
  }
  RoadGraph chain = RoadGraph::build(nodes_up_to(60), road);
  SearchRun run = search(chain, 1, 60, 0.0);
  ASSERT_EQ(run.solutions.size(), 1u);
  EXPECT_EQ(run.solutions[0].path.size(), 60u);
  EXPECT_LE(run.stats[Counter::settled], 60u);

  const NodeId side = 16;
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  for (NodeId r = 0; r < side; ++r) {
    for (NodeId c = 0; c < side; ++c) {
      NodeId id = r * side + c + 1;
      nodes.push_back({id, 0.0, 0.0});
      if (c + 1 < side) edges.push_back({id, id + 1, 1.0, 1.0, 0.0});
      if (r + 1 < side) edges.push_back({id, id + side, 1.0, 1.0, 0.0});
    }
  }
  RoadGraph grid = RoadGraph::build(nodes, edges);
  run = search(grid, 1, side * side, 0.0);
  ASSERT_EQ(run.solutions.size(), 1u);
  EXPECT_EQ(run.solutions[0].distance, 30.0);
  // Each run of the search settles one label per node; the lower bounds
  // start early on a graph this small, meet the exact ties and have it
  // searched once more without them.
  EXPECT_LE(run.stats[Counter::settled], (run.stats.restarted ? 2 : 1) * side * side);
}

// Nodes a few metres apart and arcs no shorter than the great circle: the
// search prunes with lower bounds once it has a solution. The paths 1-3 and
// 1-2-3 then cost exactly the same, and without the pruned labels the heap
// would let the second one leave first; the search notices the tie, runs
// again without pruning, and returns the same answer as an unpruned search.
TEST(Search, PruningNeverChangesWhichEqualCostPathWins) {
  std::vector<Node> nodes = {{1, 45.0, 7.0}, {2, 45.00002, 7.00002}, {3, 45.00004, 7.00004}};
  std::vector<Edge> edges = {{1, 3, 7, 7, 0.0}, {2, 2, 2, 2, 0.0}, {3, 1, 6, 6, 0.0},
                             {1, 2, 5, 0, 0.0}, {1, 1, 0, 0, 0.0}, {1, 2, 4, 4, 0.0},
                             {2, 3, 3, 3, 0.0}, {3, 2, 4, 0, 0.0}, {2, 3, 3, 6, 0.0}};
  RoadGraph g = RoadGraph::build(nodes, edges);
  ASSERT_TRUE(g.arc_bounds().non_negative);
  ASSERT_GT(g.arc_bounds().length_ratio, 0.0);
  SearchRun run = search(g, 1, 3, 0.0);
  EXPECT_TRUE(run.stats.restarted);
  ASSERT_EQ(run.solutions.size(), 2u);
  EXPECT_EQ(run.solutions[0].path, (Path{1, 2, 3}));
  EXPECT_EQ(run.solutions[1].path, (Path{1, 3}));
}

TEST(Search, PositiveCostsNeverLookBackAlongPaths) {
  // A grid with cycles everywhere, all costs positive.
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  const NodeId side = 12;
  for (NodeId r = 0; r < side; ++r) {
    for (NodeId c = 0; c < side; ++c) {
      NodeId id = r * side + c + 1;
      nodes.push_back({id, 0.001 * static_cast<double>(r), 0.001 * static_cast<double>(c)});
      double risk = static_cast<double>((r * 7 + c * 3) % 5);
      if (c + 1 < side) {
        edges.push_back({id, id + 1, 100.0, risk, 0.0});
        edges.push_back({id + 1, id, 100.0, 0.0, 1.0});
      }
      if (r + 1 < side) {
        edges.push_back({id, id + side, 100.0, 4.0 - risk, 0.0});
        edges.push_back({id + side, id, 100.0, 0.5, 0.0});
      }
    }
  }
  RoadGraph g = RoadGraph::build(nodes, edges);
  SearchRun run = search(g, 1, side * side, 0.0);
  EXPECT_FALSE(run.solutions.empty());
  EXPECT_EQ(run.stats[Counter::cycle_walks], 0u);
  EXPECT_GT(run.stats[Counter::popped], run.stats[Counter::settled]);
}

}  // namespace
}  // namespace velorin

namespace velorin {
namespace {

// The bounds scale with the least ratio of arc length to great circle, and
// stop where a cost is negative or NaN.
TEST(ArcBounds, MeasureTheLeastLengthRatio) {
  const double span = great_circle_m({45.0, 7.0}, {45.0, 7.001});
  EXPECT_NEAR(span, 78.6, 0.1);
  auto bounds = [&](std::vector<Edge> edges) {
    std::vector<Node> nodes = {{1, 45.0, 7.0}, {2, 45.0, 7.001}};
    return RoadGraph::build(nodes, std::move(edges)).arc_bounds();
  };
  ArcBounds ok = bounds({{1, 2, span, 2.0 * span, 0.0}, {2, 1, 100.0, 50.0, 0.0}});
  EXPECT_TRUE(sums_stay_finite(ok));
  EXPECT_NEAR(ok.length_ratio, 1.0, 1e-8);
  EXPECT_LT(ok.length_ratio, 1.0);
  EXPECT_EQ(ok.risk_per_metre, 0.5);
  // Rounded to the centimetre, an arc may be a little short: the ratio follows.
  EXPECT_NEAR(bounds({{1, 2, span * 0.99, 1.0, 0.0}}).length_ratio, 0.99, 1e-8);
  EXPECT_EQ(bounds({{1, 1, 0.0, 0.0, 0.0}}).risk_per_metre, 0.0);
  EXPECT_EQ(bounds({{1, 2, 0.0, 1.0, 0.0}}).length_ratio, 0.0);
  EXPECT_FALSE(bounds({{1, 2, kInf, 1.0, 0.0}}).finite);
  EXPECT_FALSE(sums_stay_finite(bounds({{1, 2, kInf, 1.0, 0.0}})));
  // Finite arcs whose sums overflow: an infinite cost still to go would not
  // mean that the target is out of reach.
  const double huge = std::numeric_limits<double>::max();
  EXPECT_FALSE(sums_stay_finite(bounds({{1, 2, huge, 0.0, 0.0}, {2, 1, huge, 0.0, 0.0}})));
  EXPECT_FALSE(sums_stay_finite(bounds({{1, 2, 1.0, 1e298, 0.0}})));
  EXPECT_TRUE(sums_stay_finite(bounds({{1, 2, 1e299, 1e295, 0.0}})));
  EXPECT_FALSE(bounds({{1, 2, 1.0, 1.0, 0.5}}).familiarity_non_positive);
  EXPECT_TRUE(bounds({{1, 2, 1.0, 1.0, -0.5}}).familiarity_non_positive);
  for (const Edge& bad : std::vector<Edge>{
           {1, 2, 100.0, -1.0, 0.0},          // negative risk
           {1, 2, std::nan(""), 1.0, 0.0},    // NaN length
           {1, 2, 100.0, std::nan(""), 0.0},  // NaN risk
       }) {
    EXPECT_FALSE(bounds({bad}).non_negative) << bad.distance_m << " " << bad.risk_score;
  }
}

// Random small graphs: every search with lower bounds, including the exact
// ones forced on from the first pop, must hand on exactly what a search
// without any bound hands on: the same costs to the bit, the same paths, in
// the same order.
enum class Family {
  rounded,
  ties,
  short_arcs,
  negative,
  nan,
  familiarity,
  familiar_everywhere,
  streets,
  street_ties,
  familiar_streets,
  plain_streets,
  familiar_ties,
  favoured_streets
};

constexpr std::array kEveryFamily{Family::rounded,
                                  Family::ties,
                                  Family::short_arcs,
                                  Family::negative,
                                  Family::nan,
                                  Family::familiarity,
                                  Family::familiar_everywhere,
                                  Family::streets,
                                  Family::street_ties,
                                  Family::familiar_streets,
                                  Family::plain_streets,
                                  Family::familiar_ties,
                                  Family::favoured_streets};

// The families whose graphs are streets of shape points (street_graph).
bool street_family(Family f) {
  return f == Family::streets || f == Family::street_ties || f == Family::familiar_streets ||
         f == Family::plain_streets || f == Family::favoured_streets || f == Family::familiar_ties;
}

struct RandomGraph {
  std::uint64_t seed;
  std::uint64_t next() {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return seed >> 33;
  }
  double uniform() { return static_cast<double>(next() % 1000000) / 1e6; }
};

RoadGraph random_graph(Family family, RandomGraph& rng, NodeId n) {
  std::vector<Node> nodes;
  for (NodeId id = 1; id <= n; ++id)
    nodes.push_back({id, family == Family::ties ? 45.0 : 45.0 + 0.002 * rng.uniform(),
                     family == Family::ties ? 7.0 : 7.0 + 0.002 * rng.uniform()});
  std::vector<Edge> edges;
  const std::size_t arcs = 3 * n;
  for (std::size_t i = 0; i < arcs; ++i) {
    const NodeId from = 1 + rng.next() % n, to = 1 + rng.next() % n;
    const double span = great_circle_m({nodes[from - 1].lat, nodes[from - 1].lon},
                                       {nodes[to - 1].lat, nodes[to - 1].lon});
    double length = std::round(span * (1.0 + 0.3 * rng.uniform()) * 100.0) / 100.0;
    double risk = static_cast<double>(rng.next() % 4) * 1e-3 * length;
    switch (family) {
      case Family::rounded:
        if (rng.next() % 4 == 0) length = std::round(span * 100.0) / 100.0;  // may be short
        break;
      case Family::ties:  // whole numbers: many paths of exactly equal cost
        length = static_cast<double>(rng.next() % 4);
        risk = static_cast<double>(rng.next() % 3);
        break;
      case Family::short_arcs:
        if (rng.next() % 3 == 0) length = span * 0.05;
        break;
      case Family::negative:
        if (rng.next() % 6 == 0) risk = -risk - 1.0;
        break;
      case Family::nan:
        if (rng.next() % 8 == 0) risk = std::nan("");
        break;
    }
    double familiarity = 0.0;
    if (family == Family::familiarity)  // now and then one that counts in favour
      familiarity =
          (rng.next() % 40 == 0 ? 1e-3 : -1e-3) * static_cast<double>(rng.next() % 3) * length;
    // Most arcs familiar, some so much that they lower a key (200 x 0.006 >
    // 1 per metre), which no floor allows.
    if (family == Family::familiar_everywhere && rng.next() % 8 != 0)
      familiarity =
          (rng.next() % 60 == 0 ? 6e-3 : 1e-3 * static_cast<double>(rng.next() % 5)) * length;
    edges.push_back({from, to, length, risk, familiarity});
    if (rng.next() % 5 == 0) {  // a parallel twin, on familiar graphs now and then more familiar
      edges.push_back(edges.back());
      if (family == Family::familiar_everywhere && rng.next() % 2 == 0)
        edges.back().familiarity += 1e-3 * length;
    }
  }
  return RoadGraph::build(std::move(nodes), std::move(edges));
}

// Junctions joined by streets of up to four shape points each, mostly both
// ways, some one-way, some doubled by a second street between the same
// junctions: most nodes are ones that a path can only pass through, and
// some arcs are much shorter than the great circle or free. With
// `street_ties`, whole-number costs (zero included) on nodes at one
// position, so that many paths cost exactly the same. With
// `familiar_streets`, some arcs familiar (in the rider's disfavour, so that
// the guessed first route still applies): labels then take the heap at every
// node, and read the bounds of shape points, which the backward searches
// fill in without the heap. With `plain_streets`, no arc shorter than the
// great circle or free and lengths not rounded: the exact front then drops
// labels at a positive eps too. With `familiar_ties`, the costs of
// `street_ties` and familiarity on most arcs, in the rider's favour. With
// `favoured_streets`, the lengths of `plain_streets` and most arcs familiar
// in the rider's favour, some enough to make a key fall along a street:
// labels walk through shape points in the order of the full key.
RoadGraph street_graph(Family family, RandomGraph& rng, NodeId junctions) {
  const bool ties = family == Family::street_ties || family == Family::familiar_ties;
  std::vector<Node> nodes;
  for (NodeId id = 1; id <= junctions; ++id)
    nodes.push_back(
        {id, ties ? 45.0 : 45.0 + 0.004 * rng.uniform(), ties ? 7.0 : 7.0 + 0.004 * rng.uniform()});
  std::vector<Edge> edges;
  const std::size_t streets = 2 * junctions;
  for (std::size_t i = 0; i < streets; ++i) {
    const NodeId a = 1 + rng.next() % junctions, b = 1 + rng.next() % junctions;
    const std::size_t points = rng.next() % 5;
    const double stress = static_cast<double>(1 + rng.next() % 4);
    std::vector<NodeId> way = {a};
    for (std::size_t k = 1; k <= points; ++k) {
      const double t = static_cast<double>(k) / static_cast<double>(points + 1);
      const NodeId id = static_cast<NodeId>(nodes.size()) + 1;
      nodes.push_back({id, nodes[a - 1].lat + t * (nodes[b - 1].lat - nodes[a - 1].lat),
                       nodes[a - 1].lon + t * (nodes[b - 1].lon - nodes[a - 1].lon)});
      way.push_back(id);
    }
    way.push_back(b);
    const bool one_way = rng.next() % 6 == 0;
    for (std::size_t k = 0; k + 1 < way.size(); ++k) {
      const Node& from = nodes[way[k] - 1];
      const Node& to = nodes[way[k + 1] - 1];
      const bool plain = family == Family::plain_streets || family == Family::favoured_streets;
      const double stretch =
          great_circle_m({from.lat, from.lon}, {to.lat, to.lon}) * (1.0 + 0.2 * rng.uniform());
      double length = plain ? stretch : std::round(stretch * 100.0) / 100.0;
      double risk = stress * 1e-3 * length;
      // Now and then an arc far shorter than its ends lie apart, or one
      // that costs nothing: keys that fall or stay along a street.
      if (!plain && rng.next() % 8 == 0) length *= 0.05;
      if (!plain && rng.next() % 12 == 0) length = risk = 0.0;
      if (ties) {
        length = static_cast<double>(rng.next() % 3);
        risk = static_cast<double>(rng.next() % 2);
      }
      double familiarity =
          family == Family::familiar_streets && rng.next() % 3 == 0 ? -1e-3 * length : 0.0;
      if (family == Family::familiar_ties) familiarity = static_cast<double>(rng.next() % 3) * 0.25;
      if (family == Family::favoured_streets && rng.next() % 4 != 0)
        familiarity = 1e-3 * static_cast<double>(rng.next() % 5) * length;
      edges.push_back({way[k], way[k + 1], length, risk, familiarity});
      if (!one_way) edges.push_back({way[k + 1], way[k], length, risk, familiarity});
    }
  }
  return RoadGraph::build(std::move(nodes), std::move(edges));
}

void expect_same(const std::vector<SettledLabel>& a, const std::vector<SettledLabel>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a[i].distance),
              std::bit_cast<std::uint64_t>(b[i].distance));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a[i].risk), std::bit_cast<std::uint64_t>(b[i].risk));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a[i].familiarity),
              std::bit_cast<std::uint64_t>(b[i].familiarity));
    EXPECT_EQ(a[i].path, b[i].path);
  }
}

// With eps 0.0 on a graph with familiarity the search may find the same
// routes in another order (see Search::cost_order_allowed): the same set,
// and the same routes picked from it.
void expect_same_routes(const std::vector<SettledLabel>& a, const std::vector<SettledLabel>& b) {
  auto by_distance = [](std::vector<SettledLabel> v) {
    std::sort(v.begin(), v.end(),
              [](const SettledLabel& x, const SettledLabel& y) { return x.distance < y.distance; });
    return v;
  };
  expect_same(by_distance(a), by_distance(b));
  if (a.empty() || b.empty()) return;
  const std::vector<RouteRecord> picked = select_routes(a), again = select_routes(b);
  ASSERT_EQ(picked.size(), again.size());
  for (std::size_t i = 0; i < picked.size(); ++i) {
    EXPECT_EQ(picked[i].route_type, again[i].route_type);
    EXPECT_EQ(picked[i].path, again[i].path);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(picked[i].total_familiarity),
              std::bit_cast<std::uint64_t>(again[i].total_familiarity));
  }
}

class PruningOnRandomGraphs : public ::testing::TestWithParam<Family> {};

TEST_P(PruningOnRandomGraphs, ChangesNothing) {
  RandomGraph rng{static_cast<std::uint64_t>(GetParam()) * 7919 + 1};
  SearchTuning none, forced;
  none.prune = false;
  forced.exact_bounds_after_pops = forced.exact_front_after_pops = 0;
  forced.collect_paths_from = 2;  // drop dead path links all the time
  forced.front_corners_from = 0;  // the front's corners on every front of two costs or more
  forced.front_later_from = 0.0;  // at any eps, the front with the exact bounds where it applies
  std::uint64_t corner_drops = 0, corner_drops_above_zero = 0;
  std::uint64_t pruned = 0, collections = 0, guess_pruned = 0, guesses = 0, wrong_guesses = 0;
  std::uint64_t unreachable = 0, familiar_guesses = 0, beaten = 0, tie_restarts = 0, walked = 0;
  const bool streets = GetParam() == Family::streets || GetParam() == Family::street_ties ||
                       GetParam() == Family::familiar_streets ||
                       GetParam() == Family::plain_streets ||
                       GetParam() == Family::favoured_streets;
  // Walks in the order of the full key, with the check for near ties
  // widened so far that it fires: the search without walks that follows
  // must come to the same routes.
  SearchTuning alarmed;
  alarmed.near_tie_scale = 1e12;
  std::uint64_t near_ties = 0, keyed_walked = 0;
  std::uint64_t front_drops_above_zero = 0, cost_order_kept = 0, close_calls = 0;
  const bool ties = GetParam() == Family::familiar_ties;
  for (int round = 0; round < 300; ++round) {
    RoadGraph g = street_family(GetParam()) ? street_graph(GetParam(), rng, 3 + rng.next() % 5)
                                            : random_graph(GetParam(), rng, 6 + rng.next() % 8);
    const NodeId n = static_cast<NodeId>(g.node_count());
    const NodeId source = 1 + rng.next() % n, target = 1 + rng.next() % n;
    // Every other round, as many lines under the front's corners as its bend asks for.
    forced.more_lines_from = round % 2 == 0 ? 0.0 : SearchTuning{}.more_lines_from;
    // Every third round the whole front, else the front without what the
    // guess or the routes found cover.
    forced.covered_front_pops = round % 3 == 2 ? 0.0 : SearchTuning{}.covered_front_pops;
    for (double eps : {0.0, 1e-4, 0.1, 1.0}) {
      const auto s = g.dense_of(source), t = g.dense_of(target);
      SearchStats stats;
      const auto reference = astar_pex(g, s, t, eps, nullptr, none);
      const auto with_bounds = astar_pex(g, s, t, eps, &stats, forced);
      SCOPED_TRACE(::testing::Message() << "round " << round << " eps " << eps);
      const ArcBounds facts = g.arc_bounds();
      SearchStats plain;
      const auto by_default = astar_pex(g, s, t, eps, &plain);
      if (eps == 0.0 && !facts.no_familiarity && sums_stay_finite(facts)) {
        expect_same_routes(reference, with_bounds);
        expect_same_routes(reference, by_default);
        close_calls += plain[Counter::close_calls];
        if (plain[Counter::close_calls] == 0) ++cost_order_kept;
      } else {
        expect_same(reference, with_bounds);
        expect_same(reference, by_default);
        if (eps > 0.0 && !facts.no_familiarity) {
          SearchStats alarm;
          expect_same(reference, astar_pex(g, s, t, eps, &alarm, alarmed));
          near_ties += alarm[Counter::near_ties];
          keyed_walked += plain[Counter::walked];
        }
      }
      beaten += plain[PruneRule::beaten_at_node];
      if (eps > 0.0) front_drops_above_zero += stats[PruneRule::known_front];
      corner_drops += stats[PruneRule::front_corners];
      if (eps > 0.0) corner_drops_above_zero += stats[PruneRule::front_corners];
      walked += plain[Counter::walked];
      // Labels dropped as they were pushed, before any bound: only they
      // can have made exact ties leave the heap in another order.
      if (plain.restarted && plain[Counter::exact_bounds_started] == 0) ++tie_restarts;
      pruned +=
          stats[PruneRule::exact] + stats[PruneRule::known_front] + stats[PruneRule::great_circle];
      collections += stats[Counter::path_collections];
      guess_pruned += stats[PruneRule::first_guess];
      guesses += stats[Counter::first_guesses];
      wrong_guesses += stats[Counter::guess_failed];
      // Once more after a wrong guess or a close call, when the search runs
      // again.
      EXPECT_EQ(stats[Counter::exact_bounds_started],
                sums_stay_finite(facts)
                    ? 1u + stats[Counter::guess_failed] + stats[Counter::close_calls]
                    : 0u);
      // Familiarity lowers keys: no guess where an arc can lower one.
      bool floors = true;
      for (RoadGraph::DenseId d = 0; d < g.dense_count(); ++d)
        for (std::uint32_t e : g.out_edge_indices(d))
          if (!(arc_key_floor(g.edge(e)) >= 0.0)) floors = false;
      if (!floors) EXPECT_EQ(stats[Counter::first_guesses], 0u);
      if (!facts.familiarity_non_positive && floors)
        familiar_guesses += stats[Counter::first_guesses];
      // A target out of reach ends the search as soon as the bounds say so.
      if (reference.empty() && sums_stay_finite(facts)) {
        EXPECT_EQ(stats[Counter::popped], 0u);
        ++unreachable;
      }
    }
  }
  const bool bounds_apply = GetParam() != Family::negative && GetParam() != Family::nan;
  if (bounds_apply) EXPECT_GT(pruned, 100u);
  EXPECT_GT(beaten, 100u);
  if (GetParam() == Family::ties) EXPECT_GT(tie_restarts, 0u);
  // With eps 0.0 and familiarity, the cost order mostly holds to the end;
  // where paths tie exactly in cost it gives way to the full key.
  const bool familiar = GetParam() == Family::familiarity ||
                        GetParam() == Family::familiar_everywhere ||
                        GetParam() == Family::familiar_streets || ties;
  if (familiar) EXPECT_GT(cost_order_kept, 100u);
  if (ties) EXPECT_GT(close_calls, 10u);
  // Labels walk through shape points only where every familiarity is zero
  // and no cost is negative or NaN, or in the cost order.
  if (streets || ties) EXPECT_GT(walked, 1000u);
  // The exact front drops labels at a positive eps where keys follow costs
  // closely enough (see LowerBounds::front_comes_first).
  if (GetParam() == Family::plain_streets || GetParam() == Family::street_ties)
    EXPECT_GT(front_drops_above_zero, 100u);
  if (GetParam() == Family::familiarity || GetParam() == Family::short_arcs) {
    EXPECT_EQ(front_drops_above_zero, 0u);
    EXPECT_EQ(corner_drops_above_zero, 0u);
  }
  if (GetParam() == Family::negative || GetParam() == Family::nan) EXPECT_EQ(walked, 0u);
  // With familiarity in the rider's favour and arcs no shorter than the
  // great circle, labels walk at a positive eps too; where arcs can be far
  // shorter, or familiarity counts against the rider, they do not.
  if (GetParam() == Family::favoured_streets || ties) {
    EXPECT_GT(keyed_walked, 1000u);
    EXPECT_GT(near_ties, ties ? 0u : 10u);
  }
  if (GetParam() == Family::familiar_streets) EXPECT_EQ(keyed_walked, 0u);
  EXPECT_GT(collections, 100u);
  // The guessed first solution prunes, and is sometimes wrong (keys that
  // fall along an arc far below its great circle), so that the search
  // running again is exercised too.
  // (Not where familiarity lowers keys on most arcs.)
  if (bounds_apply && !ties) EXPECT_GT(guess_pruned, 10u);
  if (bounds_apply) EXPECT_GT(unreachable, 0u);
  // With familiarity the guess stands on the key floors.
  if (GetParam() == Family::familiarity || GetParam() == Family::familiar_everywhere)
    EXPECT_GT(familiar_guesses, 10u);
  if (GetParam() == Family::short_arcs) EXPECT_GT(wrong_guesses, 0u);
  if (GetParam() == Family::short_arcs || GetParam() == Family::familiarity)
    EXPECT_LT(wrong_guesses, guesses);
}

std::string family_name(const ::testing::TestParamInfo<Family>& info) {
  switch (info.param) {
    case Family::rounded:
      return "rounded";
    case Family::ties:
      return "ties";
    case Family::short_arcs:
      return "short_arcs";
    case Family::negative:
      return "negative";
    case Family::nan:
      return "nan";
    case Family::familiarity:
      return "familiarity";
    case Family::familiar_everywhere:
      return "familiar_everywhere";
    case Family::streets:
      return "streets";
    case Family::street_ties:
      return "street_ties";
    case Family::favoured_streets:
      return "favoured_streets";
    case Family::familiar_streets:
      return "familiar_streets";
    case Family::plain_streets:
      return "plain_streets";
    case Family::familiar_ties:
      return "familiar_ties";
  }
  return "family_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Families, PruningOnRandomGraphs, ::testing::ValuesIn(kEveryFamily),
                         family_name);

// A request reads back only the paths of the routes it hands on: with
// Paths::picks the search finds the same solutions, the picks carry the
// paths that every path gives them, no other solution's path is read, and
// the routes handed on are the same.
class PicksOnly : public ::testing::TestWithParam<Family> {};

TEST_P(PicksOnly, HandOnTheSameRoutes) {
  RandomGraph rng{static_cast<std::uint64_t>(GetParam()) * 104729 + 3};
  const bool streets = GetParam() == Family::streets || GetParam() == Family::familiar_ties;
  std::size_t left_empty = 0;
  for (int round = 0; round < 100; ++round) {
    const RoadGraph g = streets ? street_graph(GetParam(), rng, 3 + rng.next() % 5)
                                : random_graph(GetParam(), rng, 6 + rng.next() % 8);
    const NodeId n = static_cast<NodeId>(g.node_count());
    const auto s = g.dense_of(1 + rng.next() % n), t = g.dense_of(1 + rng.next() % n);
    for (double eps : {0.0, 0.1}) {
      SCOPED_TRACE(::testing::Message() << "round " << round << " eps " << eps);
      const auto every = astar_pex(g, s, t, eps);
      auto picks = astar_pex(g, s, t, eps, nullptr, {}, Paths::picks);
      ASSERT_EQ(every.size(), picks.size());
      if (every.empty()) continue;
      const std::array<std::size_t, 3> at = pick_positions(every);
      for (std::size_t i = 0; i < every.size(); ++i) {
        if (std::find(at.begin(), at.end(), i) != at.end()) continue;
        EXPECT_TRUE(picks[i].path.empty());
        ++left_empty;
        picks[i].path = every[i].path;
      }
      expect_same(every, picks);
      const std::vector<RouteRecord> wanted = select_routes(every);
      const std::vector<RouteRecord> got = select_routes(picks);
      ASSERT_EQ(wanted.size(), got.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(wanted[i].route_type, got[i].route_type);
        EXPECT_EQ(wanted[i].path, got[i].path);
      }
    }
  }
  EXPECT_GT(left_empty, 0u);  // fronts of more than three routes came up
}

INSTANTIATE_TEST_SUITE_P(Families, PicksOnly,
                         ::testing::Values(Family::rounded, Family::ties, Family::nan,
                                           Family::familiarity, Family::streets,
                                           Family::familiar_ties),
                         family_name);

// With Paths::picks_only at eps 0.0, a heavy request leaves out the routes
// that no pick can be: select_routes() must still pick the same routes,
// with the same paths and sums, as from every route. With the bounds at
// once, and by default.
class PicksAlone : public ::testing::TestWithParam<Family> {};

void expect_same_picks(const std::vector<SettledLabel>& every,
                       const std::vector<SettledLabel>& picks) {
  ASSERT_EQ(every.empty(), picks.empty());
  if (every.empty()) return;
  const std::vector<RouteRecord> wanted = select_routes(every), got = select_routes(picks);
  ASSERT_EQ(wanted.size(), got.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(wanted[i].route_type, got[i].route_type);
    EXPECT_EQ(wanted[i].path, got[i].path);
    for (auto field : {&RouteRecord::total_distance_m, &RouteRecord::total_risk,
                       &RouteRecord::total_familiarity})
      EXPECT_EQ(std::bit_cast<std::uint64_t>(wanted[i].*field),
                std::bit_cast<std::uint64_t>(got[i].*field));
  }
}

TEST_P(PicksAlone, SelectTheSameRoutes) {
  RandomGraph rng{static_cast<std::uint64_t>(GetParam()) * 15485863 + 11};
  const Family family = GetParam();
  const bool streets = street_family(family);
  SearchTuning whole, forced, by_default;
  whole.leave_out_non_picks = false;
  forced.exact_bounds_after_pops = forced.exact_front_after_pops = 0;
  forced.front_corners_from = 0;
  std::uint64_t left_out = 0, finite = 0;
  for (int round = 0; round < 300; ++round) {
    const RoadGraph g = streets ? street_graph(family, rng, 3 + rng.next() % 5)
                                : random_graph(family, rng, 6 + rng.next() % 8);
    const NodeId n = static_cast<NodeId>(g.node_count());
    const auto s = g.dense_of(1 + rng.next() % n), t = g.dense_of(1 + rng.next() % n);
    forced.more_lines_from = round % 2 == 0 ? 0.0 : SearchTuning{}.more_lines_from;
    const auto every = astar_pex(g, s, t, 0.0, nullptr, whole);
    for (const SearchTuning* tuning : {&forced, &by_default}) {
      SCOPED_TRACE(::testing::Message()
                   << "round " << round << (tuning == &forced ? " forced" : ""));
      SearchStats stats;
      expect_same_picks(every, astar_pex(g, s, t, 0.0, &stats, *tuning, Paths::picks_only));
      left_out += stats[PruneRule::no_pick];
    }
    // The same request asked for every route leaves nothing out.
    SearchStats stats;
    astar_pex(g, s, t, 0.0, &stats, forced, Paths::picks);
    EXPECT_EQ(stats[PruneRule::no_pick], 0u);
    if (sums_stay_finite(g.arc_bounds())) ++finite;
  }
  // Only where every sum stays finite do the exact bounds, and this rule, come.
  if (finite > 0) EXPECT_GT(left_out, 0u);
}

INSTANTIATE_TEST_SUITE_P(Families, PicksAlone, ::testing::ValuesIn(kEveryFamily), family_name);

// The shortest and the safest route's costs, from their own narrow
// searches, are those of the whole front's ends, bit for bit, whatever the
// rounding of the sums: least distance then least risk, and least risk
// then least distance.
class EndCostsTest : public ::testing::TestWithParam<Family> {};

TEST_P(EndCostsTest, AreTheFrontsEnds) {
  RandomGraph rng{static_cast<std::uint64_t>(GetParam()) * 7727 + 5};
  const Family family = GetParam();
  const bool streets = family == Family::streets || family == Family::street_ties;
  SearchTuning none;
  none.prune = false;
  int compared = 0;
  for (int round = 0; round < 300; ++round) {
    const RoadGraph g = streets ? street_graph(family, rng, 3 + rng.next() % 5)
                                : random_graph(family, rng, 6 + rng.next() % 8);
    if (!sums_stay_finite(g.arc_bounds())) continue;
    const NodeId n = static_cast<NodeId>(g.node_count());
    const auto s = g.dense_of(1 + rng.next() % n), t = g.dense_of(1 + rng.next() % n);
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const auto front = astar_pex(g, s, t, 0.0, nullptr, none);
    const EndCosts ends = end_costs(g, s, t, remaining_cost(g, s, t, kInf));
    ASSERT_TRUE(ends.complete);
    if (front.empty()) {
      EXPECT_EQ(ends.shortest.distance, kInf);
      continue;
    }
    auto least = [&front](auto first, auto second) {
      const SettledLabel* best = &front.front();
      for (const SettledLabel& l : front)
        if (first(l) < first(*best) || (first(l) == first(*best) && second(l) < second(*best)))
          best = &l;
      return Cost{best->distance, best->risk};
    };
    auto distance = [](const SettledLabel& l) { return l.distance; };
    auto risk = [](const SettledLabel& l) { return l.risk; };
    for (auto [got, wanted] : {std::pair{ends.shortest, least(distance, risk)},
                               std::pair{ends.safest, least(risk, distance)}}) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got.distance),
                std::bit_cast<std::uint64_t>(wanted.distance));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got.risk), std::bit_cast<std::uint64_t>(wanted.risk));
    }
    ++compared;
    // Too few pops allowed: no costs at all.
    const EndCosts cut = end_costs(g, s, t, remaining_cost(g, s, t, kInf), 0);
    EXPECT_FALSE(cut.complete);
    EXPECT_EQ(cut.shortest.distance, kInf);
  }
  EXPECT_GT(compared, 100);
}

INSTANTIATE_TEST_SUITE_P(Families, EndCostsTest,
                         ::testing::Values(Family::rounded, Family::ties, Family::short_arcs,
                                           Family::familiarity, Family::streets,
                                           Family::street_ties),
                         family_name);

// The least weighted path, which the guess of the first route stands on,
// passes shape points without a turn in its heap: its sum must still be the
// least of the whole graph, as a plain Dijkstra search over every arc finds
// it (up to the rounding of sums taken in another order).
class LeastWeightedPath : public ::testing::TestWithParam<Family> {};

TEST_P(LeastWeightedPath, IsLeastThroughShapePoints) {
  RandomGraph rng{static_cast<std::uint64_t>(GetParam()) * 104729 + 3};
  int reached = 0;
  for (int round = 0; round < 300; ++round) {
    RoadGraph g = street_graph(GetParam(), rng, 3 + rng.next() % 5);
    const auto n = static_cast<RoadGraph::DenseId>(g.dense_count());
    const auto s = static_cast<RoadGraph::DenseId>(rng.next() % n);
    const auto t = static_cast<RoadGraph::DenseId>(rng.next() % n);
    std::vector<double> least(n, kInf);
    std::vector<bool> done(n, false);
    least[s] = 0.0;
    for (;;) {
      RoadGraph::DenseId at = n;
      for (RoadGraph::DenseId d = 0; d < n; ++d)
        if (!done[d] && least[d] < kInf && (at == n || least[d] < least[at])) at = d;
      if (at == n) break;
      done[at] = true;
      for (std::uint32_t e : g.out_edge_indices(at))
        least[g.head(e)] =
            std::min(least[g.head(e)],
                     least[at] + weighted_cost(g.edge(e).distance_m, g.edge(e).risk_score, 0.0));
    }
    const Cost found = least_weighted_path(g, s, t, remaining_cost(g, s, t, kInf), kRiskWeight);
    SCOPED_TRACE(::testing::Message() << "round " << round);
    if (!(least[t] < kInf)) {
      EXPECT_EQ(found.distance, kInf);
      continue;
    }
    ++reached;
    EXPECT_NEAR(weighted_cost(found), least[t], 1e-9 * least[t]);
  }
  EXPECT_GT(reached, 100);
}

INSTANTIATE_TEST_SUITE_P(Families, LeastWeightedPath,
                         ::testing::Values(Family::streets, Family::street_ties,
                                           Family::plain_streets),
                         family_name);

// Which nodes a path can only pass through: node 2 in each of these.
struct PassThroughCase {
  const char* name;
  std::vector<std::pair<NodeId, NodeId>> arcs;
  bool through;
};

class PassThrough : public ::testing::TestWithParam<PassThroughCase> {};

TEST_P(PassThrough, OfNodeTwo) {
  std::vector<Edge> edges;
  for (auto [from, to] : GetParam().arcs) edges.push_back({from, to, 1.0, 1.0, 0.0});
  RoadGraph g = RoadGraph::build(nodes_up_to(4), edges);
  EXPECT_EQ(g.pass_through()[g.dense_of(2)], GetParam().through ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, PassThrough,
    ::testing::Values(PassThroughCase{"two_way_street", {{1, 2}, {2, 1}, {2, 3}, {3, 2}}, true},
                      PassThroughCase{"one_way_street", {{1, 2}, {2, 3}}, true},
                      PassThroughCase{"half_one_way", {{1, 2}, {2, 1}, {2, 3}}, true},
                      PassThroughCase{"junction", {{1, 2}, {2, 3}, {2, 4}}, false},
                      PassThroughCase{"dead_end", {{1, 2}, {2, 1}}, false},
                      PassThroughCase{"parallel_arcs", {{1, 2}, {1, 2}, {2, 3}}, false},
                      PassThroughCase{"loop", {{1, 2}, {2, 2}, {2, 3}}, false},
                      PassThroughCase{"no_arcs", {{1, 3}}, false}),
    [](const ::testing::TestParamInfo<PassThroughCase>& info) { return info.param.name; });

// Two routes within 10 % of each other: at eps 0.1 the one found first
// stays. 1-2-3-4-5 (400 m, risk 0.2) runs through the shape points 3 and 4;
// 3 lies a kilometre off, so its label waits in the heap until 1-6-5 (420 m,
// risk 0.19) has been found, which then covers the other. Carried from 2
// straight to 5, the label would come first and win: a walk must stop where
// the key falls (at 3), and it does.
TEST(Search, WalksStopWhereKeysWouldFall) {
  std::vector<Node> nodes = {{1, 45.0, 7.0}, {2, 45.0, 7.0}, {3, 45.01, 7.0},
                             {4, 45.0, 7.0}, {5, 45.0, 7.0}, {6, 45.0, 7.0}};
  std::vector<Edge> edges;
  for (auto [from, to] : {std::pair<NodeId, NodeId>{1, 2}, {2, 3}, {3, 4}, {4, 5}}) {
    edges.push_back({from, to, 100.0, 0.05, 0.0});
    edges.push_back({to, from, 100.0, 0.05, 0.0});
  }
  edges.push_back({1, 6, 210.0, 0.095, 0.0});
  edges.push_back({6, 5, 210.0, 0.095, 0.0});
  RoadGraph g = RoadGraph::build(nodes, edges);
  EXPECT_EQ(g.pass_through()[g.dense_of(3)], 1);
  SearchTuning none;
  none.prune = false;
  const auto expected = astar_pex(g, g.dense_of(1), g.dense_of(5), 0.1, nullptr, none);
  ASSERT_EQ(expected.size(), 1u);
  EXPECT_EQ(expected[0].path, (Path{1, 6, 5}));
  expect_same(expected, search(g, 1, 5, 0.1).solutions);
}

// With eps 0.1 and the exact bounds from the first pop, the search guesses
// the path of least key (1-3-4) as its first solution; but node 3 lies far
// from the target, the estimate holds that path back, and 1-2-4 comes first.
// The label at 5, dropped because the guess covers it and every route it
// leads to has a key above the guessed path's, is not covered by 1-2-4: the
// search must notice and run again without the guess (which here drops
// nothing that 1-3-4, found next, does not cover).
TEST(Search, AWrongGuessOfTheFirstSolutionIsNoticed) {
  std::vector<Node> nodes = {
      {1, 45.0, 7.0}, {2, 45.0, 7.0}, {3, 45.01, 7.0}, {4, 45.0, 7.0}, {5, 45.0, 7.0}};
  std::vector<Edge> edges = {{1, 2, 900.0, 1.5, 0.0},  {2, 4, 100.0, 0.5, 0.0},
                             {1, 5, 2200.0, 1.4, 0.0}, {5, 4, 100.0, 0.1, 0.0},
                             {1, 3, 1400.0, 0.9, 0.0}, {3, 4, 100.0, 0.099999, 0.0}};
  RoadGraph g = RoadGraph::build(nodes, edges);
  SearchTuning forced, none;
  forced.exact_bounds_after_pops = 0;
  none.prune = false;
  SearchStats stats;
  const auto found = astar_pex(g, g.dense_of(1), g.dense_of(4), 0.1, &stats, forced);
  EXPECT_EQ(stats[Counter::first_guesses], 1u);
  EXPECT_EQ(stats[Counter::guess_failed], 1u);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].path, (Path{1, 2, 4}));
  EXPECT_EQ(found[1].path, (Path{1, 3, 4}));
  expect_same(found, astar_pex(g, g.dense_of(1), g.dense_of(4), 0.1, nullptr, none));
}

}  // namespace
}  // namespace velorin

namespace velorin {
namespace {

// A city-like grid: streets 100 m apart, every fourth one busy (risky), the
// rest calm with a little noise, so that fronts grow with the distance.
RoadGraph city_grid(NodeId side, double shortest = 100.0, bool fractional = false) {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  const double step = 0.0009;  // degrees of latitude, about 100 m
  for (NodeId r = 0; r < side; ++r)
    for (NodeId c = 0; c < side; ++c)
      nodes.push_back({r * side + c + 1, 45.0 + step * static_cast<double>(r),
                       7.0 + step * 1.41 * static_cast<double>(c)});
  auto street = [&](NodeId a, NodeId b, bool busy, NodeId noise) {
    // Whole metres make paths of exactly equal cost common; a fraction of
    // a metre from another hash of the same number makes them rare.
    const double length =
        shortest + static_cast<double>(noise % 7) +
        (fractional ? static_cast<double>(noise * 2654435761u % 1000) / 1000.0 : 0.0);
    const double risk = length * (busy ? 3e-4 : 1e-4 * (1.0 + static_cast<double>(noise % 3)));
    edges.push_back({a, b, length, risk, 0.0});
    edges.push_back({b, a, length, risk, 0.0});
  };
  for (NodeId r = 0; r < side; ++r) {
    for (NodeId c = 0; c < side; ++c) {
      const NodeId id = r * side + c + 1;
      if (c + 1 < side) street(id, id + 1, r % 4 == 0, r * 31 + c * 17);
      if (r + 1 < side) street(id, id + side, c % 4 == 0, r * 13 + c * 29);
    }
  }
  return RoadGraph::build(std::move(nodes), std::move(edges));
}

struct HeavyCase {
  const char* name;
  NodeId source_row, source_column, target_row, target_column;
  double eps;
  bool heavy;
};

class ExactBoundsStart : public ::testing::TestWithParam<HeavyCase> {};

// A request between neighbours never pays for the exact bounds; one across
// the city does, and each finds what a search without bounds finds.
TEST_P(ExactBoundsStart, OnlyWhereTheRequestIsHeavy) {
  const HeavyCase& c = GetParam();
  const NodeId side = 40;
  static const RoadGraph g = city_grid(side);
  const NodeId source = c.source_row * side + c.source_column + 1;
  const NodeId target = c.target_row * side + c.target_column + 1;
  SearchTuning none;
  none.prune = false;
  SearchRun run = search(g, source, target, c.eps);
  EXPECT_EQ(run.stats[Counter::exact_bounds_started], c.heavy ? 1u : 0u);
  expect_same(run.solutions,
              astar_pex(g, g.dense_of(source), g.dense_of(target), c.eps, nullptr, none));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ExactBoundsStart,
    ::testing::Values(HeavyCase{"neighbours_exact", 20, 20, 20, 21, 0.0, false},
                      HeavyCase{"neighbours_approximate", 20, 20, 21, 20, 0.1, false},
                      HeavyCase{"across_exact", 1, 2, 38, 37, 0.0, true},
                      HeavyCase{"across_approximate", 1, 2, 38, 37, 0.1, true}),
    [](const ::testing::TestParamInfo<HeavyCase>& info) { return std::string(info.param.name); });

// Requests over a city_grid() of this side: corner to corner both ways
// across, inner corner to inner corner, middle to near a corner.
std::vector<std::pair<NodeId, NodeId>> across_city(NodeId side) {
  return {{1, side * side},
          {side, side * (side - 1) + 1},
          {3 * side + 2, 20 * side + 21},
          {side * side / 2, 5}};
}

// With eps 0.0 on a grid where calm and busy streets make long fronts, the
// inner corners of the exact front's staircase drop labels that its costs
// alone (against a label's bound in each objective) do not, and the routes
// stay those of a search without bounds, with three lines under them or as
// many as the front's bend asks for; below the size that pays for the
// backward searches they are not used.
TEST(FrontCorners, DropWhatTheFrontBeatsAndNothingElse) {
  const NodeId side = 24;
  static const RoadGraph g = city_grid(side);
  SearchTuning none, forced, many, small;
  none.prune = false;
  forced.exact_front_after_pops = 0;
  forced.front_corners_from = 0;
  many = forced;
  many.more_lines_from = 0.0;
  small.exact_front_after_pops = 0;
  small.front_corners_from = std::numeric_limits<std::size_t>::max();
  std::uint64_t corner_drops = 0, many_drops = 0, pops = 0, many_pops = 0;
  for (auto [from, to] : across_city(side)) {
    SCOPED_TRACE(::testing::Message() << from << " to " << to);
    const auto s = g.dense_of(from), t = g.dense_of(to);
    SearchStats stats, without;
    const auto expected = astar_pex(g, s, t, 0.0, nullptr, none);
    SearchStats with_many;
    expect_same(expected, astar_pex(g, s, t, 0.0, &stats, forced));
    expect_same(expected, astar_pex(g, s, t, 0.0, &with_many, many));
    expect_same(expected, astar_pex(g, s, t, 0.0, &without, small));
    corner_drops += stats[PruneRule::front_corners];
    many_drops += with_many[PruneRule::front_corners];
    pops += stats[Counter::popped];
    many_pops += with_many[Counter::popped];
    EXPECT_EQ(without[PruneRule::front_corners], 0u);
  }
  EXPECT_GT(corner_drops, 100u);
  EXPECT_GT(many_drops, 100u);
  EXPECT_LT(many_pops, pops);  // the lines that follow the bend drop more
}

// At a positive eps, on streets no shorter than the great circle between
// their ends, the staircase also holds the solutions found, divided by the
// factor, and before the first one the guessed first route for labels that
// cannot come first: the routes stay those of a search without bounds, with
// the guess and without it.
TEST(FrontCorners, AtAPositiveEpsCountTheSolutionsToo) {
  const NodeId side = 32;
  static const RoadGraph g = city_grid(side, 101.0, true);
  SearchTuning none, forced, unguessed, later, whole, starved, covered;
  none.prune = false;
  forced.exact_bounds_after_pops = forced.exact_front_after_pops = 0;
  forced.front_corners_from = 0;
  forced.front_later_from = 0.0;
  unguessed = forced;
  unguessed.guess_first_solution = false;
  // The front as it comes by default, here with the exact bounds after 200
  // pops (and on requests that have popped that few): with them, without
  // what the guessed route covers, and its corners once the request has
  // handled 16 labels per node reached (or is on its way there); or the
  // whole front only then, its search allowed as many pops: the heaviest
  // of these requests get there. Whole and allowed next to no pops right
  // after the bounds, it never comes. Alone, the front without the covered
  // part comes on most requests, with no corners.
  later = forced;
  later.exact_bounds_after_pops = 200;
  later.covered_front_from = 0;
  later.front_later_from = SearchTuning{}.front_later_from;
  whole = later;
  whole.covered_front_pops = 0.0;
  starved = forced;
  starved.front_later_from = 1e-9;
  starved.covered_front_pops = 0.0;
  covered = later;
  covered.front_corners_from = SearchTuning{}.front_corners_from;
  covered.front_later_from = INFINITY;
  std::uint64_t later_fronts = 0, whole_fronts = 0, covered_fronts = 0, requests = 0;
  for (double eps : {1e-4, 0.01, 0.1, 0.5}) {
    SCOPED_TRACE(::testing::Message() << "eps " << eps);
    std::uint64_t guessed_drops = 0, unguessed_drops = 0;
    for (auto [from, to] : across_city(side)) {
      SCOPED_TRACE(::testing::Message() << from << " to " << to);
      const auto s = g.dense_of(from), t = g.dense_of(to);
      SearchStats stats, without_guess;
      const auto expected = astar_pex(g, s, t, eps, nullptr, none);
      expect_same(expected, astar_pex(g, s, t, eps, &stats, forced));
      expect_same(expected, astar_pex(g, s, t, eps, &without_guess, unguessed));
      SearchStats late, late_whole, none_came, rest;
      expect_same(expected, astar_pex(g, s, t, eps, &late, later));
      expect_same(expected, astar_pex(g, s, t, eps, &late_whole, whole));
      expect_same(expected, astar_pex(g, s, t, eps, &none_came, starved));
      expect_same(expected, astar_pex(g, s, t, eps, &rest, covered));
      if (eps > 1e-3) {
        later_fronts += late[Counter::fronts];
        whole_fronts += late_whole[Counter::fronts];
        covered_fronts += rest[Counter::fronts];
        ++requests;
        EXPECT_EQ(rest[Counter::corner_lines], 0u);
      }
      EXPECT_EQ(none_came[Counter::fronts], eps > 1e-3 ? 0u : 1u);
      guessed_drops += stats[PruneRule::front_corners];
      unguessed_drops += without_guess[PruneRule::front_corners];
    }
    // Without the guess the corners do the pruning before the first
    // route; with it, up to eps 0.01 on these requests, they drop labels
    // that the guess alone keeps (at eps 0.1 it leaves nothing to drop).
    EXPECT_GT(unguessed_drops, 100u);
    if (eps <= 0.01) EXPECT_GT(guessed_drops, 100u);
  }
  EXPECT_GT(later_fronts, whole_fronts);
  EXPECT_GT(whole_fronts, 0u);
  EXPECT_GT(covered_fronts * 2, requests);
}

// The known front is a staircase of real paths' costs: each matched or
// beaten by a cost of the exact front (the solutions of a search without
// bounds), the first within its search's buckets of distance of the
// shortest path's, and close enough to the exact front to hold a good share
// of its steps (here, steps within a thousandth of each other in risk are
// common). Held to fewer pops than it needs, it stops with no costs.
TEST(KnownFront, RealPathsCloseToTheExactFront) {
  const NodeId side = 24;
  static const RoadGraph g = city_grid(side);
  SearchTuning none;
  none.prune = false;
  for (auto [from, to] : {std::pair<NodeId, NodeId>{1, side * side},
                          {side, side * (side - 1) + 1},
                          {3 * side + 2, 20 * side + 21}}) {
    SCOPED_TRACE(::testing::Message() << from << " to " << to);
    const auto s = g.dense_of(from), t = g.dense_of(to);
    const auto exact = astar_pex(g, s, t, 0.0, nullptr, none);
    const RemainingCost remaining = remaining_cost(g, s, t, 1.5);
    const KnownFront whole = known_front(g, s, t, remaining);
    const std::vector<Cost>& known = whole.costs;
    ASSERT_TRUE(whole.complete);
    ASSERT_FALSE(known.empty());
    // Held to fewer pops than it needs, the search stops with nothing.
    const KnownFront cut = known_front(g, s, t, remaining, whole.popped - 1);
    EXPECT_FALSE(cut.complete);
    EXPECT_TRUE(cut.costs.empty());
    EXPECT_EQ(cut.popped, whole.popped - 1);
    EXPECT_TRUE(known_front(g, s, t, remaining, whole.popped).complete);
    for (std::size_t i = 0; i + 1 < known.size(); ++i) {
      EXPECT_LT(known[i].distance, known[i + 1].distance);
      EXPECT_GT(known[i].risk, known[i + 1].risk);
    }
    auto real = [&exact](const Cost& c) {
      return std::any_of(exact.begin(), exact.end(), [&c](const SettledLabel& e) {
        return e.distance <= c.distance * (1 + 1e-12) && e.risk <= c.risk * (1 + 1e-12);
      });
    };
    for (const Cost& c : known) EXPECT_TRUE(real(c)) << c.distance << " " << c.risk;
    const auto shortest = std::min_element(
        exact.begin(), exact.end(),
        [](const SettledLabel& a, const SettledLabel& b) { return a.distance < b.distance; });
    EXPECT_NEAR(known.front().distance, shortest->distance, 1e-4 * shortest->distance);
    EXPECT_GE(known.size() * 4, exact.size());
    // Leaving out what a route from the middle of the front covers at eps
    // 0.1: the search pops fewer labels, finds no cost in that quadrant and
    // only real paths' costs, and outside it keeps the front's steps (within
    // its thinning).
    const Cost middle = known[known.size() / 2];
    const std::vector<Cost> cover{{middle.distance / 1.1, middle.risk / 1.1}};
    auto in_cover = [&cover](const Cost& c) {
      return c.distance >= cover[0].distance && c.risk >= cover[0].risk;
    };
    const KnownFront rest = known_front(g, s, t, remaining, UINT64_MAX, &cover);
    ASSERT_TRUE(rest.complete);
    EXPECT_LT(rest.popped, whole.popped);
    for (const Cost& c : rest.costs) {
      EXPECT_FALSE(in_cover(c)) << c.distance << " " << c.risk;
      EXPECT_TRUE(real(c)) << c.distance << " " << c.risk;
    }
    for (const Cost& c : known) {
      if (in_cover(c)) continue;
      EXPECT_TRUE(std::any_of(rest.costs.begin(), rest.costs.end(),
                              [&c](const Cost& r) {
                                return r.distance <= c.distance * (1 + 1e-3) &&
                                       r.risk <= c.risk * (1 + 1e-3);
                              }))
          << c.distance << " " << c.risk;
    }
  }
}

// Keys far above the great circle between the ends (a detour) say that the
// backward searches will reach further than that circle suggests, and put
// their start off; without evidence of a detour they start after the same
// pops.
TEST(ExactBoundsStart, ADetourPutsThemOff) {
  const RoadGraph g = city_grid(40);
  const auto source = g.dense_of(20 * 40 + 20 + 1), target = g.dense_of(20 * 40 + 22 + 1);
  const double apart = DistanceToTarget(g.coordinates(target)).metres_from(g.coordinates(source));
  auto started_after = [&](double key) {
    LowerBounds bounds(g, source, target, 1.0, SearchTuning{});
    SolutionSet none;
    SearchStats stats;
    std::uint64_t popped = 0;
    while (!bounds.update(popped, [key] { return key; }, none, stats)) ++popped;
    return popped;
  };
  const std::uint64_t direct = started_after(apart);
  EXPECT_GT(direct, 0u);
  EXPECT_EQ(started_after(apart / 2), direct);  // keys below the circle tell nothing
  EXPECT_EQ(started_after(std::nan("")), direct);
  EXPECT_GT(started_after(20 * apart), 10 * direct);
  // Never more than what two searches over the whole graph cost.
  EXPECT_LE(started_after(1e12), g.dense_count() + g.dense_count() / 64);
}

// The density that the estimate of their cost reads.
TEST(NodeDensity, OverTheBoxOfTheNodeRecords) {
  // 0.01 degree squares at the equator: about 1.11 km a side.
  const double side = great_circle_m({0.0, 0.0}, {0.0, 0.01});
  RoadGraph square = RoadGraph::build(
      {{1, 0.0, 0.0}, {2, 0.01, 0.0}, {3, 0.0, 0.01}, {4, 0.01, 0.01}, {5, 0.005, 0.005}}, {});
  EXPECT_NEAR(square.nodes_per_m2() * side * side, 5.0, 1e-3);
  // No area: one place, or no node records at all (ids only named by arcs).
  EXPECT_EQ(RoadGraph::build({{1, 3.0, 4.0}, {2, 3.0, 4.0}}, {}).nodes_per_m2(), kInf);
  EXPECT_EQ(RoadGraph::build({}, {{1, 2, 1.0, 1.0, 0.0}}).nodes_per_m2(), kInf);
  EXPECT_EQ(RoadGraph::build({{1, std::nan(""), 4.0}, {2, 3.0, 4.0}}, {}).nodes_per_m2(), kInf);
}

}  // namespace
}  // namespace velorin
