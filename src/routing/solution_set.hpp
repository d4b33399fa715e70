// The search's solutions: the paths found to the target, in the order in
// which they were inserted, and their costs as a staircase for the
// approximation test and the lower bounds.
#pragma once

#include <cstdint>
#include <vector>

#include "routing/cost_order.hpp"
#include "routing/pareto_set.hpp"

namespace velorin {

class SolutionSet {
 public:
  struct Solution {
    Cost cost;
    double familiarity;
    std::uint32_t link;  // its path in the path arena
  };

  bool empty() const noexcept { return solutions_.empty(); }
  const std::vector<Solution>& solutions() const noexcept { return solutions_; }

  // True when some solution c has c.distance <= distance and c.risk <= risk;
  // false when either is NaN.
  bool covers(double distance, double risk) const noexcept { return front_.covers(distance, risk); }

  // See velorin::widest_gaps.
  Cost widest_gaps(Cost c) const noexcept { return front_.widest_gaps(c); }

  // The Pareto insert: unless a solution dominates `s`, those that `s`
  // dominates go and `s` goes last.
  void insert(const Solution& s) {
    if (pareto_insert(solutions_, s)) front_.add(s.cost);
  }

  std::size_t capacity_bytes() const noexcept {
    return solutions_.capacity() * sizeof(Solution) + front_.capacity_bytes();
  }

  // Calls f(link) with every solution's path link, which it may change.
  template <class F>
  void for_each_link(F f) {
    for (Solution& s : solutions_) f(s.link);
  }

 private:
  friend Cost cost_of(const Solution& s) noexcept { return s.cost; }

  std::vector<Solution> solutions_;
  ParetoFront front_;
};

}  // namespace velorin
