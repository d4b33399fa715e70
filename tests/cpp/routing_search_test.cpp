#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "graph/road_graph.hpp"
#include "routing/great_circle.hpp"
#include "routing/pareto_search.hpp"

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
  EXPECT_EQ(run.stats.pushed, 1u);  // nothing extended from the target
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
  EXPECT_LE(run.stats.settled, 60u);

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
  EXPECT_LE(run.stats.settled, side * side);
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
  ASSERT_TRUE(g.arc_bounds().usable);
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
  EXPECT_EQ(run.stats.cycle_walks, 0u);
  EXPECT_GT(run.stats.popped, run.stats.settled);
}

}  // namespace
}  // namespace velorin

namespace velorin {
namespace {

// Lower bounds hold only when every arc allows them.
TEST(ArcBounds, UsableOnlyWhenEveryArcIsLongEnoughAndNonNegative) {
  const double span = great_circle_m({45.0, 7.0}, {45.0, 7.001});
  EXPECT_NEAR(span, 78.6, 0.1);
  auto bounds = [&](std::vector<Edge> edges) {
    std::vector<Node> nodes = {{1, 45.0, 7.0}, {2, 45.0, 7.001}};
    return RoadGraph::build(nodes, std::move(edges)).arc_bounds();
  };
  ArcBounds ok = bounds({{1, 2, span, 2.0 * span, 0.0}, {2, 1, 100.0, 50.0, 0.0}});
  EXPECT_TRUE(ok.usable);
  EXPECT_EQ(ok.risk_per_metre, 0.5);
  EXPECT_EQ(bounds({{1, 1, 0.0, 0.0, 0.0}}).risk_per_metre, 0.0);
  for (const Edge& bad : std::vector<Edge>{
           {1, 2, span * 0.99, 1.0, 0.0},     // shorter than the great circle
           {1, 2, 100.0, -1.0, 0.0},          // negative risk
           {1, 2, std::nan(""), 1.0, 0.0},    // NaN length
           {1, 2, 100.0, std::nan(""), 0.0},  // NaN risk
           {1, 3, 100.0, 1.0, 0.0},           // 3 has no position: (0, 0) is far away
       }) {
    EXPECT_FALSE(bounds({bad}).usable) << bad.distance_m << " " << bad.risk_score;
  }
}

}  // namespace
}  // namespace velorin
