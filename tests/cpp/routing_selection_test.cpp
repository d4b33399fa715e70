#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_name.hpp"
#include "routing/route_request.hpp"
#include "routing/route_selection.hpp"

namespace velorin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Member {
  double distance;
  double risk;
};

// Solutions with distinct one-edge paths 1 -> 100+i.
std::vector<SettledLabel> solutions_of(const std::vector<Member>& members) {
  std::vector<SettledLabel> set;
  for (std::size_t i = 0; i < members.size(); ++i) {
    NodeId last = 100 + i;
    set.push_back({last, members[i].distance, members[i].risk, 0.5, {1, last}});
  }
  return set;
}

struct SelectionCase {
  const char* name;
  std::vector<Member> members;
  std::vector<std::string> expected;  // "type:member index"
};

class RouteSelection : public testing::TestWithParam<SelectionCase> {};

TEST_P(RouteSelection, PicksLabelsAndDropsRepeatedPaths) {
  const SelectionCase& c = GetParam();
  std::vector<std::string> got;
  for (const RouteRecord& r : select_routes(solutions_of(c.members)))
    got.push_back(r.route_type + ":" + std::to_string(r.path.back() - 100));
  EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    , RouteSelection,
    testing::Values(
        SelectionCase{"one_member", {{5.0, 9.0}}, {"shortest:0"}},
        SelectionCase{"balanced_is_safest", {{1000, 2.0}, {1500, 0.5}}, {"shortest:0", "safest:1"}},
        SelectionCase{"three_distinct",
                      {{1000, 3.0}, {1200, 1.0}, {2000, 0.2}},
                      {"shortest:0", "safest:2", "balanced:1"}},
        // Risks below 1.0 are not scaled up: 1000/1500 + 0.4 = 1.0667 beats
        // 1.0 + 0.1 = 1.1, so the balanced pick is the shortest.
        SelectionCase{"risk_floor", {{1000, 0.4}, {1500, 0.1}}, {"shortest:0", "safest:1"}},
        SelectionCase{"equal_scores_first_wins",
                      {{2.0, 1.0}, {1.0, 2.0}, {1.5, 1.5}},
                      {"shortest:1", "safest:0"}},
        SelectionCase{"equal_minimum_first_wins",
                      {{1.0, 5.0}, {1.0, 5.0}, {3.0, 1.0}, {3.0, 1.0}},
                      {"shortest:0", "safest:2"}},
        // totalOrder: -0.0 is smaller than +0.0, NaN larger than everything.
        SelectionCase{"signed_zero", {{0.0, 1.0}, {-0.0, 2.0}}, {"shortest:1", "safest:0"}},
        SelectionCase{"nan_members",
                      {{kNaN, 0.5}, {10.0, kNaN}, {20.0, 0.9}},
                      {"shortest:1", "safest:0", "balanced:2"}}),
    [](const testing::TestParamInfo<SelectionCase>& info) { return std::string(info.param.name); });

TEST(Selection, MetricsKeepFullPrecision) {
  std::vector<SettledLabel> set = {{9, 1000.0, 0.5, 3.25, {1, 5, 9}}};
  RouteRecord r = select_routes(set).front();
  EXPECT_EQ(r.estimated_time_min, 14.999250037498125);
  EXPECT_EQ(r.comfort_score, 0.36787944117144233);
  EXPECT_EQ(r.total_familiarity, 3.25);
  EXPECT_EQ(r.node_count, 3u);
  EXPECT_EQ(r.path, (std::vector<NodeId>{1, 5, 9}));
}

TEST(Selection, ComfortIsCappedAtOne) {
  for (double risk : {0.0, -0.0, -0.25, -1e300}) {
    std::vector<SettledLabel> set = {{1, 0.0, risk, 0.0, {1}}};
    EXPECT_EQ(select_routes(set).front().comfort_score, 1.0) << risk;
  }
  std::vector<SettledLabel> nan_risk = {{1, 0.0, kNaN, 0.0, {1}}};
  EXPECT_TRUE(std::isnan(select_routes(nan_risk).front().comfort_score));
}

struct DescribeCase {
  const char* type;
  double distance, risk, time;
  const char* expected;
};

class Describe : public testing::TestWithParam<DescribeCase> {};

TEST_P(Describe, PrintsExactlyRoundedFixedPoint) {
  const DescribeCase& c = GetParam();
  RouteRecord r;
  r.route_type = c.type;
  r.total_distance_m = c.distance;
  r.total_risk = c.risk;
  r.estimated_time_min = c.time;
  EXPECT_EQ(describe_route(r), c.expected);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    , Describe,
    testing::Values(
        DescribeCase{"balanced", 1234.5678, 0.98765, 18.517591120443978,
                     "Route(balanced, dist=1235m, risk=0.988, time=18.5min)"},
        // Ties go to even; 0.35 is stored just below the tie, 0.0005 just above.
        DescribeCase{"shortest", 0.5, 0.0005, 0.25,
                     "Route(shortest, dist=0m, risk=0.001, time=0.2min)"},
        DescribeCase{"shortest", 1.5, 0.0015, 0.35,
                     "Route(shortest, dist=2m, risk=0.002, time=0.3min)"},
        DescribeCase{"shortest", 2.5, 1.0625, 0.75,
                     "Route(shortest, dist=2m, risk=1.062, time=0.8min)"},
        // Negative values keep their sign, even when they round to zero.
        DescribeCase{"safest", -0.0, -0.0004, -0.04,
                     "Route(safest, dist=-0m, risk=-0.000, time=-0.0min)"},
        DescribeCase{"safest", -2.5, -1e-300, -7.25,
                     "Route(safest, dist=-2m, risk=-0.000, time=-7.2min)"},
        // Never an exponent.
        DescribeCase{"shortest", 1e21, 123456789012.0, 1e-7,
                     "Route(shortest, dist=1000000000000000000000m, risk=123456789012.000, "
                     "time=0.0min)"},
        DescribeCase{"shortest", 1.7976931348623157e308, 0.0, 0.0,
                     "Route(shortest, dist="
                     "1797693134862315708145274237317043567980705675258449965989174768031572607800"
                     "2853876058955863276687817154045895351438246423432132688946418276846754670353"
                     "7516986049910576551282076245490090389328944075868508455133942304583236903222"
                     "9481658085593321233482747978262041447231687381771809192998812504040261841248"
                     "58368m, risk=0.000, time=0.0min)"},
        DescribeCase{"balanced", std::nan(""), kInf, -kInf,
                     "Route(balanced, dist=NaNm, risk=inf, time=-infmin)"},
        DescribeCase{"balanced", -std::nan(""), 0.0, 0.0,
                     "Route(balanced, dist=NaNm, risk=0.000, time=0.0min)"}),
    [](const auto& info) { return testing_support::case_name(info.index, {info.param.expected}); });

// The four refusals, in the order they are checked.
TEST(ComputeSafeRoutes, ReportsTheFirstFailedCheck) {
  std::vector<Node> nodes = {{1, 0.0, 0.0}, {2, 0.0, 0.001}, {3, 0.0, 0.002}, {4, 0.0, 0.003}};
  std::vector<Edge> edges = {{1, 2, 10.0, 1.0, 0.0}, {2, 1, 10.0, 1.0, 0.0},
                             {4, 1, 1.0, 1.0, 0.0},  {1, 77, 1.0, 1.0, 0.0},
                             {77, 2, 1.0, 1.0, 0.0}, {88, 1, 1.0, 1.0, 0.0}};
  RoadGraph g = RoadGraph::build(nodes, edges);
  auto error_of = [&](NodeId s, NodeId t) {
    auto result = compute_safe_routes(g, s, t, 0.0);
    return std::holds_alternative<RouteError>(result) ? std::get<RouteError>(result).message
                                                      : std::string("ok");
  };
  const NodeId big = 18446744073709551615ULL;
  EXPECT_EQ(error_of(big, 9), "Nœud source 18446744073709551615 introuvable dans le graphe");
  // Ids known only as edge endpoints are not nodes of the graph.
  EXPECT_EQ(error_of(88, 1), "Nœud source 88 introuvable dans le graphe");
  EXPECT_EQ(error_of(3, 77), "Nœud cible 77 introuvable dans le graphe");
  EXPECT_EQ(error_of(3, 1), "Nœud source 3 isolé (aucun arc sortant) — graphe déconnecté ?");
  EXPECT_EQ(error_of(3, 3), "Nœud source 3 isolé (aucun arc sortant) — graphe déconnecté ?");
  EXPECT_EQ(error_of(1, 4),
            "Aucun chemin trouvé entre 1 et 4. Les nœuds sont peut-être dans des composantes "
            "déconnectées.");
  EXPECT_EQ(error_of(4, 2), "ok");

  RoadGraph empty = RoadGraph::build({}, {});
  auto result = compute_safe_routes(empty, 0, 0, 0.0);
  ASSERT_TRUE(std::holds_alternative<RouteError>(result));
  EXPECT_EQ(std::get<RouteError>(result).message, "Nœud source 0 introuvable dans le graphe");
}

TEST(ComputeSafeRoutes, SourceEqualToTargetIsOneShortestRoute) {
  RoadGraph g = RoadGraph::build({{7, 1.0, 1.0}}, {{7, 7, 3.0, 1.0, 0.0}});
  auto result = compute_safe_routes(g, 7, 7, 0.1);
  ASSERT_TRUE(std::holds_alternative<std::vector<RouteRecord>>(result));
  const auto& routes = std::get<std::vector<RouteRecord>>(result);
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(routes[0].route_type, "shortest");
  EXPECT_EQ(routes[0].path, std::vector<NodeId>{7});
  EXPECT_EQ(routes[0].node_count, 1u);
  EXPECT_EQ(routes[0].comfort_score, 1.0);
  EXPECT_EQ(describe_route(routes[0]), "Route(shortest, dist=0m, risk=0.000, time=0.0min)");
}

}  // namespace
}  // namespace velorin
