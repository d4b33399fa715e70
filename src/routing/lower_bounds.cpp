#include "routing/lower_bounds.hpp"

#include <algorithm>
#include <utility>

#include "routing/remaining_cost.hpp"
#include "routing/search_key.hpp"

namespace velorin {
namespace {

// Whether some cost of the staircase dominates `c`. Among the steps no longer
// than c, the last is the safest; it dominates c unless it is c itself.
bool strictly_beaten(const std::vector<Cost>& stairs, Cost c) noexcept {
  const std::size_t shorter = first_longer(stairs.data(), stairs.size(), c.distance);
  if (shorter == 0) return false;
  return dominates(stairs[shorter - 1], c);
}

}  // namespace

bool sums_stay_finite(const ArcBounds& bounds) noexcept {
  constexpr double kLargestTotal = 1e300;
  return bounds.non_negative && bounds.finite &&
         weighted_cost({bounds.total_distance, bounds.total_risk}) < kLargestTotal;
}

// The great-circle bound starts with the first solution; the graph measures
// once, on the first request that gets this far, how far its arcs allow it.
// The exact bounds start once the request has popped enough labels to pay
// for two searches over the whole graph.
bool LowerBounds::update(std::uint64_t popped, const SolutionSet& solutions, SearchStats& stats) {
  if (!tuning_.prune) return false;
  bool exact_came = false;
  const std::uint64_t heavy =
      factor_ == 1.0 ? tuning_.exact_front_after_pops : tuning_.exact_bounds_after_pops;
  if (!exact_considered_ && popped >= heavy) {
    exact_considered_ = true;
    start_exact(solutions, stats);
    exact_came = exact_;
  }
  if (!great_circle_considered_ && !solutions.empty()) {
    great_circle_considered_ = true;
    start_great_circle();
  }
  return exact_came;
}

void LowerBounds::start_great_circle() {
  if (!(factor_ >= 0.0)) return;  // a negative or NaN factor does not keep order
  const ArcBounds bounds = graph_.arc_bounds();
  if (!bounds.non_negative || !(bounds.length_ratio > 0.0)) return;
  great_circle_ = true;
  length_ratio_ = bounds.length_ratio;
  risk_per_metre_ = bounds.risk_per_metre * bounds.length_ratio;
}

void LowerBounds::start_exact(const SolutionSet& solutions, SearchStats& stats) {
  if (!(factor_ >= 0.0)) return;
  const ArcBounds bounds = graph_.arc_bounds();
  // Dijkstra's algorithm needs non-negative costs; finite ones keep every sum
  // within a small relative error of its exact value.
  if (!sums_stay_finite(bounds)) return;
  RemainingCost remaining = remaining_cost(graph_, target_);
  if (factor_ > 1.0 && solutions.empty() && tuning_.guess_first_solution &&
      bounds.familiarity_non_positive) {
    const Cost first = least_weighted_path(graph_, source_, target_, remaining, kRiskWeight);
    if (first.distance < INFINITY) {
      // The margins let a path of nearly the same costs confirm it too.
      constexpr double kGuessMargin = 1.0 + 1e-6;
      guess_on_ = true;
      guess_ = {first.distance * kGuessMargin, first.risk * kGuessMargin};
      key_limit_ = weighted_cost(first) * kGuessMargin;
      ++stats[Counter::first_guesses];
    }
  }
  if (factor_ == 1.0) {
    // The margin keeps the comparison on the safe side of any rounding in
    // how these sums were reached.
    constexpr double kMargin = 1.0 + 1e-6;
    known_front_on_ = true;
    known_front_ = exact_front(graph_, source_, target_, remaining);
    for (Cost& c : known_front_) c = {c.distance * kMargin, c.risk * kMargin};
  }
  exact_ = true;
  remaining_ = std::move(remaining.least);
  ++stats[Counter::exact_bounds_started];
}

// The bounds lose a millionth to stay below the true remainder despite the
// rounding of every sum along the way.
PruneRule LowerBounds::rule(Cost cost, DenseId node, double to_target_m,
                            const SolutionSet& solutions) noexcept {
  constexpr double kSlack = 1.0 - 1e-6;
  if (exact_) {
    const Cost rest = remaining_[node];
    // No path leads from this node to the target: nothing this label leads
    // to is a solution, and it can only dominate labels just as stuck. When
    // the target is out of reach altogether, this ends the search.
    if (!(rest.distance < INFINITY)) return PruneRule::dead_end;
    const Cost bound{(cost.distance + rest.distance) * kSlack, (cost.risk + rest.risk) * kSlack};
    if (known_front_on_ && strictly_beaten(known_front_, bound)) return PruneRule::known_front;
    // No familiarity is positive, so the key of every target label this one
    // leads to is at least the weighted sum of its bound.
    if (guess_on_ && solutions.empty() && guess_.distance <= factor_ * bound.distance &&
        guess_.risk <= factor_ * bound.risk && weighted_cost(bound) > key_limit_) {
      dropped_least_.distance = std::min(dropped_least_.distance, bound.distance);
      dropped_least_.risk = std::min(dropped_least_.risk, bound.risk);
      guess_dropped_ = true;
      return PruneRule::first_guess;
    }
    return solutions.covers(factor_ * bound.distance, factor_ * bound.risk) ? PruneRule::exact
                                                                            : PruneRule::none;
  }
  if (great_circle_) {
    const double distance = (cost.distance + length_ratio_ * to_target_m) * kSlack;
    const double risk = (cost.risk + risk_per_metre_ * to_target_m) * kSlack;
    if (solutions.covers(factor_ * distance, factor_ * risk)) return PruneRule::great_circle;
  }
  return PruneRule::none;
}

// Without the drops the search would have found the same first solution: a
// dropped label's target labels all have keys above the limit, and while one
// of them waited, some label on the first solution's path waited too, with a
// smaller key, so it could not have come first. Before this solution the
// drops changed no decision about any kept label, since a label that
// dominates a kept one is itself kept; after it, they are labels that this
// solution makes useless.
bool LowerBounds::covers_guess_drops(Cost first) const noexcept {
  return first.distance <= factor_ * dropped_least_.distance &&
         first.risk <= factor_ * dropped_least_.risk;
}

}  // namespace velorin
