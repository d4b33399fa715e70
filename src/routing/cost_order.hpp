// How costs compare: Pareto dominance on (distance, risk), the IEEE 754
// totalOrder used for tie-breaks, and the open-list key order (NaN last).
#pragma once

#include <bit>
#include <cstdint>

namespace velorin {

// The two objectives of a path. Familiarity only orders the search, so it is
// not part of what one path is compared on.
struct Cost {
  double distance;
  double risk;
};

// a dominates b: no worse in both objectives and better in one. Any NaN makes
// every comparison false, so a NaN cost neither dominates nor is dominated.
inline bool dominates(Cost a, Cost b) noexcept {
  return a.distance <= b.distance && a.risk <= b.risk &&
         (a.distance < b.distance || a.risk < b.risk);
}

// An integer that sorts like the IEEE 754 totalOrder of x: -NaN < -inf < ... <
// -0.0 < +0.0 < ... < +inf < +NaN. Negative values have their magnitude bits
// flipped so that a larger magnitude sorts lower.
inline std::int64_t total_order_rank(double x) noexcept {
  auto bits = std::bit_cast<std::int64_t>(x);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// Rank of an open-list key: numeric order with -0.0 equal to +0.0, and every
// NaN equal to every other NaN and after all numbers.
inline std::int64_t key_rank(double key) noexcept {
  if (key != key) return INT64_MAX;
  if (key == 0.0) key = 0.0;  // -0.0 and +0.0 must tie
  return total_order_rank(key);
}

}  // namespace velorin
