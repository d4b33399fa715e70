// The search's estimate of the distance still to go: the haversine
// great-circle distance to the target on a sphere of radius 6,371,000 m.
#pragma once

#include <cmath>

#include "graph/road_graph.hpp"

namespace velorin {

class DistanceToTarget {
 public:
  static constexpr double kRadiansPerDegree = 0.017453292519943295;
  static constexpr double kEarthDiameterM = 12742000.0;

  // The cosine of the target's latitude is the same for every node, so it is
  // taken once per request.
  explicit DistanceToTarget(Coordinates target) noexcept
      : target_(target), cos_target_lat_(std::cos(target.lat * kRadiansPerDegree)) {}

  // Metres from `p` to the target. The terms are evaluated in a fixed order
  // (the build forbids fused multiply-add), so the value is the same on every
  // machine with the same maths library. Nothing clamps `a`: should rounding
  // push it above 1.0 the result is NaN, and such labels sort last.
  double metres_from(Coordinates p) const noexcept {
    const double k = kRadiansPerDegree;
    double sin_half_dlon = std::sin((target_.lon - p.lon) * k * 0.5);
    double sin_half_dlat = std::sin((target_.lat - p.lat) * k * 0.5);
    double a = (cos_target_lat_ * std::cos(p.lat * k)) * (sin_half_dlon * sin_half_dlon) +
               sin_half_dlat * sin_half_dlat;
    double half_angle = std::atan2(std::sqrt(a), std::sqrt(1.0 - a));
    return half_angle * kEarthDiameterM;
  }

 private:
  Coordinates target_;
  double cos_target_lat_;
};

}  // namespace velorin
