// From the search's solutions to the routes handed back: the shortest, the
// safest and a balanced route, each measured, without repeating a path.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "routing/pareto_search.hpp"
#include "routing/route_record.hpp"

namespace velorin {

// Average cycling speed behind estimated_time_min, in metres per minute.
inline constexpr double kCyclingSpeedMPerMin = 66.67;

// What the balanced score divides distance and risk by: their largest
// value among the solutions, or 1.0 where that is below 1.0 (or NaN).
struct BalancedScales {
  double distance;
  double risk;
};
BalancedScales balanced_scales(const std::vector<SettledLabel>& solutions);
double scale_of(double largest) noexcept;
inline double balanced_score(double distance, double risk, BalancedScales scales) noexcept {
  return distance / scales.distance + risk / scales.risk;
}

// One to three routes, a subsequence of ("shortest", "safest", "balanced").
// Every tie goes to the solution that stands first. `solutions` must not be
// empty.
std::vector<RouteRecord> select_routes(const std::vector<SettledLabel>& solutions);

// Where the shortest, the safest and the balanced pick stand in
// `solutions`, by their costs alone; select_routes() reads the paths of
// these three and of no other. `solutions` must not be empty.
std::array<std::size_t, 3> pick_positions(const std::vector<SettledLabel>& solutions);

// Whether the order of `solutions` could change the routes: two solutions
// share the least distance, the least risk or the least balanced score.
bool picks_depend_on_order(const std::vector<SettledLabel>& solutions);

// The record of one picked solution with its metrics.
RouteRecord measure_route(const SettledLabel& solution, const char* route_type);

}  // namespace velorin
