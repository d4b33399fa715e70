// The search's estimate of the distance still to go: the haversine
// great-circle distance to the target on a sphere of radius 6,371,000 m.
#pragma once

#include <cmath>

#include "graph/road_graph.hpp"

namespace velorin {

class DistanceToTarget {
 public:
  static constexpr double kRadiansPerDegree = 0.017453292519943295;

  // The cosine of the target's latitude is the same for every node, so it is
  // taken once per request.
  explicit DistanceToTarget(Coordinates target) noexcept
      : target_(target), cos_target_lat_(std::cos(target.lat * kRadiansPerDegree)) {}

  // Metres from `p` to the target; NaN when rounding pushes the haversine
  // term above 1.0, and such labels sort last.
  double metres_from(Coordinates p) const noexcept {
    return haversine_m(p, target_, cos_target_lat_);
  }

 private:
  Coordinates target_;
  double cos_target_lat_;
};

}  // namespace velorin
