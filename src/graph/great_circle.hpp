// Great-circle distances between positions in degrees, on a sphere of radius
// 6,371,000 m, by the haversine formula.
#pragma once

#include <cmath>

namespace velorin {

struct Coordinates {
  double lat;
  double lon;
};

inline constexpr double kRadiansPerDegree = 0.017453292519943295;
inline constexpr double kEarthRadiusM = 6371000.0;

// Metres from `p` to `target`, given the cosine of the target's latitude so
// that a caller measuring many points to one target takes it once. The terms
// are evaluated in a fixed order (the build forbids fused multiply-add), so the
// value is the same at every optimisation level; sin, cos and atan2 come from
// the C maths library, whose last bit may differ between processors
// (docs/platforms.md). Nothing clamps the haversine term:
// should rounding push it above 1.0 the result is NaN.
inline double haversine_m(Coordinates p, Coordinates target, double cos_target_lat) noexcept {
  constexpr double k = kRadiansPerDegree;
  double sin_half_dlon = std::sin((target.lon - p.lon) * k * 0.5);
  double sin_half_dlat = std::sin((target.lat - p.lat) * k * 0.5);
  double a = (cos_target_lat * std::cos(p.lat * k)) * (sin_half_dlon * sin_half_dlon) +
             sin_half_dlat * sin_half_dlat;
  return std::atan2(std::sqrt(a), std::sqrt(1.0 - a)) * (2.0 * kEarthRadiusM);
}

inline double cos_latitude(Coordinates p) noexcept {
  return std::cos(p.lat * kRadiansPerDegree);
}

// The same distance between two positions.
inline double great_circle_m(Coordinates a, Coordinates b) noexcept {
  return haversine_m(a, b, cos_latitude(b));
}

}  // namespace velorin
