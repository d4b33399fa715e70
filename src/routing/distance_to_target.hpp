// The search's estimate of the distance still to go: the great-circle
// distance to the target.
#pragma once

#include "graph/great_circle.hpp"

namespace velorin {

class DistanceToTarget {
 public:
  // The cosine of the target's latitude is the same for every node, so it is
  // taken once per request.
  explicit DistanceToTarget(Coordinates target) noexcept
      : target_(target), cos_target_lat_(cos_latitude(target)) {}

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
