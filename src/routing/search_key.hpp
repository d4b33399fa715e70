// The weights of the search's open-list key: distance counts once, risk 500
// times, and familiarity 200 times in favour. Everything that sums a key, or
// bounds one, takes them from here.
#pragma once

#include "routing/cost_order.hpp"

namespace velorin {

inline constexpr double kRiskWeight = 500.0;
inline constexpr double kFamiliarityWeight = -200.0;

// The key of a label before its estimate is added: evaluated left to right,
// each product rounded before it is added, so that every caller gets the same
// bits for the same sums.
inline double weighted_cost(double distance, double risk, double familiarity) noexcept {
  return (distance + risk * kRiskWeight) + familiarity * kFamiliarityWeight;
}

// The same without familiarity: the key of a path none of whose arcs has any.
inline double weighted_cost(Cost cost) noexcept {
  return cost.distance + cost.risk * kRiskWeight;
}

}  // namespace velorin
