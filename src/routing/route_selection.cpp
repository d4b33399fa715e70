#include "routing/route_selection.hpp"

#include <cmath>
#include <limits>

#include "fault/internal_fault.hpp"
#include "routing/cost_order.hpp"

namespace velorin {
namespace {

// The largest value, passing over NaNs: the running value is replaced when it
// is NaN or smaller than the next one.
template <class Field>
double largest(const std::vector<SettledLabel>& solutions, Field field) {
  double best = -std::numeric_limits<double>::infinity();
  for (const SettledLabel& s : solutions) {
    double v = field(s);
    if (best != best || best < v) best = v;
  }
  return best;
}

// The first solution with the least value under totalOrder.
template <class Key>
const SettledLabel& first_minimum(const std::vector<SettledLabel>& solutions, Key key) {
  const SettledLabel* best = &solutions.front();
  std::int64_t best_rank = total_order_rank(key(*best));
  for (const SettledLabel& s : solutions) {
    std::int64_t rank = total_order_rank(key(s));
    if (rank < best_rank) {
      best = &s;
      best_rank = rank;
    }
  }
  return *best;
}

// The balanced score, distance and risk each divided by their largest value
// in the set (at least 1.0).
struct BalancedScore {
  BalancedScales scales;
  explicit BalancedScore(const std::vector<SettledLabel>& solutions)
      : scales(balanced_scales(solutions)) {}
  double operator()(const SettledLabel& s) const {
    return balanced_score(s.distance, s.risk, scales);
  }
};

// Whether two solutions share the least key.
template <class Key>
bool least_shared(const std::vector<SettledLabel>& solutions, Key key) {
  const std::int64_t least = total_order_rank(key(first_minimum(solutions, key)));
  int count = 0;
  for (const SettledLabel& s : solutions) count += total_order_rank(key(s)) == least ? 1 : 0;
  return count > 1;
}

}  // namespace

// A criterion whose largest value is below 1.0 (or NaN) is left unscaled.
double scale_of(double x) noexcept {
  return x >= 1.0 ? x : 1.0;
}

BalancedScales balanced_scales(const std::vector<SettledLabel>& solutions) {
  return {scale_of(largest(solutions, [](const SettledLabel& s) { return s.distance; })),
          scale_of(largest(solutions, [](const SettledLabel& s) { return s.risk; }))};
}

bool picks_depend_on_order(const std::vector<SettledLabel>& solutions) {
  if (solutions.size() < 2) return false;
  return least_shared(solutions, [](const SettledLabel& s) { return s.distance; }) ||
         least_shared(solutions, [](const SettledLabel& s) { return s.risk; }) ||
         least_shared(solutions, BalancedScore(solutions));
}

RouteRecord measure_route(const SettledLabel& solution, const char* route_type) {
  RouteRecord r;
  r.path = solution.path;
  r.node_count = solution.path.size();
  r.route_type = route_type;
  r.total_distance_m = solution.distance;
  r.total_risk = solution.risk;
  r.total_familiarity = solution.familiarity;
  r.estimated_time_min = solution.distance / kCyclingSpeedMPerMin;
  // A negative total risk would give a comfort above 1.0; the score stays a
  // fraction.
  double comfort = std::exp(-2.0 * solution.risk);
  r.comfort_score = comfort > 1.0 ? 1.0 : comfort;
  return r;
}

std::array<std::size_t, 3> pick_positions(const std::vector<SettledLabel>& solutions) {
  require(!solutions.empty(), "route selection called without solutions");
  auto at = [&solutions](const SettledLabel& s) {
    return static_cast<std::size_t>(&s - solutions.data());
  };
  return {at(first_minimum(solutions, [](const SettledLabel& s) { return s.distance; })),
          at(first_minimum(solutions, [](const SettledLabel& s) { return s.risk; })),
          at(first_minimum(solutions, BalancedScore(solutions)))};
}

std::vector<RouteRecord> select_routes(const std::vector<SettledLabel>& solutions) {
  // With one solution all three picks are that solution, and only the first
  // survives the repeated-path rule below.
  const std::array<std::size_t, 3> positions = pick_positions(solutions);
  const SettledLabel* picks[3] = {&solutions[positions[0]], &solutions[positions[1]],
                                  &solutions[positions[2]]};
  // Kept word for word: callers compare route_type with these labels.
  static constexpr const char* kRouteTypes[3] = {"shortest", "safest", "balanced"};

  std::vector<RouteRecord> routes;
  for (int i = 0; i < 3; ++i) {
    bool repeated = false;
    for (const RouteRecord& r : routes) repeated = repeated || r.path == picks[i]->path;
    if (!repeated) routes.push_back(measure_route(*picks[i], kRouteTypes[i]));
  }
  return routes;
}

}  // namespace velorin
