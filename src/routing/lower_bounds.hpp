// Pruning by lower bounds: what a label still has to pay to reach the target,
// at least, and the rules that drop a label because of it.
//
// A label whose cost plus the least that any path to the target still adds
// is already covered by a solution can only lead to target labels that the
// approximation test discards, and anything it would dominate at a node is
// just as hopeless, so dropping it changes no decision about any label that
// matters (docs/search.md has the full argument, rule by rule).
//
// Three kinds of bound, each switched on once and then kept:
// - the great circle, from the first solution on, when the graph's arcs allow
//   it: the remaining distance is at least length_ratio times the estimate,
//   the remaining risk at least risk_per_metre times that;
// - the exact bounds, once the request has shown itself heavy: the least
//   remaining distance and risk of every node, from two backward searches.
//   They also say where no path is left (a dead end); with eps 0.0 (and up
//   to 0.001 where keys follow costs) they give the costs of paths close to
//   the whole exact front, and with a larger eps a guess of the first
//   solution, and the front too once the request has shown itself heavier
//   still. With eps 0.0 where only select_routes()'s picks are asked for,
//   they give instead the shortest and safest routes' costs and a floor for
//   the balanced score, and labels that lead to no pick go (start_picks).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "graph/road_graph.hpp"
#include "routing/cost_order.hpp"
#include "routing/remaining_cost.hpp"
#include "routing/route_selection.hpp"
#include "routing/search_stats.hpp"
#include "routing/solution_set.hpp"

namespace velorin {

// Whether no sum along any path, nor a search key made from it, can
// overflow, so that the exact bounds' Dijkstra searches hold and an infinite
// least cost still to go means that no path is left: every cost finite and
// non-negative, and even all arcs together far below the largest double.
bool sums_stay_finite(const ArcBounds& bounds) noexcept;

class LowerBounds {
 public:
  using DenseId = RoadGraph::DenseId;

  LowerBounds(const RoadGraph& graph, DenseId source, DenseId target, double factor,
              const SearchTuning& tuning);

  // Some bound may drop labels.
  bool active() const noexcept { return great_circle_ || exact_; }

  // How often the rules have changed: a bound switched on, the guess ended.
  // Between two changes, and while the solutions stay the same, rule() gives
  // a label the same answer each time it is asked.
  std::uint32_t changes() const noexcept { return changes_; }

  // Switches bounds on as the request warrants, before each pop, after
  // `popped` pops; next_key() is the key of the label about to be popped,
  // asked for only when the request may have become heavy. True when the
  // exact bounds have just come: labels already waiting may now be dropped
  // too.
  //
  // The great-circle bound starts with the first solution; the graph
  // measures once, on the first request that gets this far, how far its
  // arcs allow it. The exact bounds start once the request has done about as
  // much work as they are expected to cost (see heavy_after()).
  template <class NextKey>
  bool update(std::uint64_t popped, NextKey next_key, const SolutionSet& solutions,
              SearchStats& stats) {
    if (!tuning_.prune) return false;
    bool exact_came = false;
    if (!exact_considered_ && static_cast<double>(popped) >= heavy_after_ &&
        heavy(popped, next_key())) {
      exact_considered_ = true;
      start_exact(popped, solutions, stats);
      exact_came = exact_;
      if (front_later_) key_at_exact_ = next_key();
    }
    if (front_later_ && static_cast<double>(popped) >= early_check_ &&
        front_early(popped, next_key(), solutions, stats))
      exact_came = true;
    if (front_later_ && static_cast<double>(popped) >= front_after_ &&
        try_front(popped, solutions, stats))
      exact_came = true;
    if (covers_too() && solutions.solutions().size() != cover_stairs_.solutions)
      refresh_cover(solutions);
    if (picks_on_ && solutions.solutions().size() != picks_solutions_) note_picks(solutions);
    if (!great_circle_considered_ && !solutions.empty()) {
      great_circle_considered_ = true;
      start_great_circle();
    }
    return exact_came;
  }

  // The rule that drops a label of cost `cost` and familiarity `familiarity`
  // at `node`, whose great-circle
  // distance to the target is `to_target_m`; PruneRule::none when it stays.
  // Only while active().
  PruneRule rule(Cost cost, double familiarity, DenseId node, double to_target_m,
                 const SolutionSet& solutions) noexcept;

  // Asks for what rule() reads for a label at `node` beyond its own sums:
  // the node's exact bounds, its key floor while the guess stands, and its
  // floors under the front's corners, one table per line, each read far
  // beyond the caches on a large map. A label about to be offered asks
  // while its node's set is searched: on the 10^6 grid's 33 and 66 km
  // requests at eps 0.0 that took a tenth off their time.
  [[gnu::always_inline]] void prefetch(DenseId node) const noexcept {
    if (!exact_) return;
    __builtin_prefetch(remaining_.settled.data() + node);
    if (!remaining_key_.empty()) __builtin_prefetch(remaining_key_.settled.data() + node);
    for (const CornerLine& line : corner_lines_)
      __builtin_prefetch(line.rest.settled.data() + node);
    if (picks_on_) __builtin_prefetch(balanced_line_.settled.data() + node);
  }

  // Whether the rules left out routes that select_routes() cannot pick (see
  // start_picks), and the balanced score's scales they assumed: the routes
  // found must have the same, or the search is run again without them.
  bool picks_alone() const noexcept { return picks_on_; }
  BalancedScales assumed_scales() const noexcept { return picks_scales_; }

  // The guessed first solution, while no solution has come yet. The first
  // solution confirms it when it covers, within the factor, the bound of
  // every label dropped for it (covers_guess_drops), and no label on its path
  // had a key above key_limit(); the search then ends the guess
  // (end_guess). A search that ends with the guess still on, after it
  // dropped a label, found no solution to confirm it.
  bool guessing() const noexcept { return guess_on_; }
  bool covers_guess_drops(Cost first) const noexcept;
  double key_limit() const noexcept { return key_limit_; }
  void end_guess() noexcept {
    guess_on_ = false;
    ++changes_;
  }
  bool guess_unconfirmed() const noexcept { return guess_on_ && guess_dropped_; }

  std::size_t corner_bytes() const noexcept {
    std::size_t bytes = front_stairs_.capacity_bytes() + guess_stairs_.capacity_bytes() +
                        cover_stairs_.capacity_bytes();
    for (const CornerLine& line : corner_lines_)
      bytes += line.rest.settled.capacity() * sizeof(double);
    return bytes;
  }
  std::size_t capacity_bytes() const noexcept {
    return (remaining_.settled.capacity() + known_front_.capacity()) * sizeof(Cost) +
           (remaining_key_.settled.capacity() + balanced_line_.settled.capacity()) *
               sizeof(double) +
           corner_bytes();
  }

 private:
  bool front() const noexcept { return factor_ == 1.0; }
  double heavy_after(double key) const noexcept;
  bool heavy(std::uint64_t popped, double next_key) noexcept;
  void start_great_circle();
  void start_exact(std::uint64_t popped, const SolutionSet& solutions, SearchStats& stats);
  void start_front(const SolutionSet& solutions, SearchStats& stats,
                   std::uint64_t most_pops = UINT64_MAX, bool leave_covered = false);
  void add_corners(const SolutionSet& solutions, SearchStats& stats, bool more);
  bool try_front(std::uint64_t popped, const SolutionSet& solutions, SearchStats& stats);
  bool front_and_corners(const SolutionSet& solutions, SearchStats& stats, std::uint64_t most_pops,
                         bool more_lines);
  bool front_early(std::uint64_t popped, double next_key, const SolutionSet& solutions,
                   SearchStats& stats);
  // With a factor above 1, front corners also stand for the solutions found.
  bool covers_too() const noexcept { return factor_ > 1.0 && !corner_lines_.empty(); }
  void refresh_cover(const SolutionSet& solutions);
  void guess_first_solution(const RemainingCost& remaining, const ArcBounds& bounds,
                            SearchStats& stats);
  bool key_floors_apply(const ArcBounds& bounds) const;
  void start_corners(bool more);
  // `from_source`, where lines share it: each node's great circle from the
  // source, worked out once (-1 until then; sized on first use).
  RemainingKey weighted_line(double weight, double most, std::vector<double>* from_source) const;
  bool start_picks(std::uint64_t most_pops, const SolutionSet& solutions);
  void note_picks(const SolutionSet& solutions);
  struct Stairs;
  // `shorter`, where the caller has it: the number of steps no longer than
  // the bound.
  static constexpr std::size_t kNotSearched = SIZE_MAX;
  bool front_beats_all(Cost cost, Cost bound, DenseId node, const Stairs& stairs,
                       std::size_t shorter = kNotSearched) const noexcept;

  // The largest of a fixed sequence over any run of it, in two lookups: row
  // j holds the largest of each run of 2^j values.
  class RangeMax {
   public:
    void build(std::vector<double> values);
    // The largest of values[first, last), first < last.
    double largest(std::size_t first, std::size_t last) const noexcept;
    std::size_t capacity_bytes() const noexcept { return table_.capacity() * sizeof(double); }

   private:
    std::vector<double> table_;
    std::size_t size_ = 0;
  };
  bool front_comes_first(const ArcBounds& bounds) const noexcept;
  bool front_applies(const ArcBounds& bounds) const noexcept;
  // Nodes the exact bounds' search reached (at least 1): the measure of
  // what the front's and the request's work per node are counted in.
  double reached_nodes() const noexcept {
    return static_cast<double>(std::max<std::uint64_t>(remaining_.reached_nodes, 1));
  }

  const RoadGraph& graph_;
  const DenseId source_;
  const DenseId target_;
  const double factor_;  // the approximation factor 1 + eps
  const SearchTuning tuning_;
  std::uint32_t changes_ = 0;

  // Pops from which the request may count as heavy.
  bool fixed_start_ = false;
  double heavy_after_ = 0.0;
  double to_target_m_ = 0.0;  // great circle from source to target
  // Great circle.
  bool great_circle_considered_ = false;
  bool great_circle_ = false;
  double length_ratio_ = 0.0;
  double risk_per_metre_ = 0.0;
  // Exact bounds, per dense node.
  bool exact_considered_ = false;
  bool exact_ = false;
  RemainingCost remaining_;
  // With the factor 1 (eps 0.0) every path's cost is matched or beaten by
  // some solution at the end, so the costs of known paths (close to the
  // whole exact front) act as solutions found in advance, but only against
  // labels that they beat strictly: a label that merely ties with one might
  // still be the first to reach that cost. With a factor above 1, only where
  // a front cost's path comes before the routes it beats (see
  // front_comes_first). A staircase: distance rising, risk falling.
  bool known_front_on_ = false;
  std::vector<Cost> known_front_;
  // With a factor above 1.001 where the front applies, it is tried once the
  // request has handled this many labels (see try_front).
  bool front_later_ = false;
  double front_after_ = 0.0;
  std::uint64_t exact_at_ = 0;     // pops when the exact bounds came
  double key_at_exact_ = 0.0;      // key of the label popped next then
  double early_check_ = INFINITY;  // pops at which front_early() looks next
  // Where no arc has a familiarity, for front_beats_all(): lines of slope
  // -1/risk_weight under every route of a label, from a floor per node for
  // distance + risk_weight * risk still to go. By rising risk weight.
  struct CornerLine {
    double risk_weight;
    RemainingKey rest;
  };
  static constexpr std::size_t kCornerLines = 13;
  std::vector<CornerLine> corner_lines_;  // at most kCornerLines
  // A staircase of costs that beat a label's routes, and for each line the
  // weighted sum of each inner corner (step k + 1's distance, step k's
  // risk), raised by a margin.
  struct Stairs {
    std::vector<Cost> steps;
    std::vector<RangeMax> corners;  // per line
    std::size_t solutions = 0;      // solutions it stands for
    std::size_t capacity_bytes() const noexcept {
      std::size_t bytes = steps.capacity() * sizeof(Cost);
      for (const RangeMax& c : corners) bytes += c.capacity_bytes();
      return bytes;
    }
  };
  Stairs stairs_of(std::vector<Cost> costs) const;
  // The front. With a factor above 1 it is raised by one more millionth, so
  // that a cost it beats is also that much above it in weighted sum.
  Stairs front_stairs_;
  // With the factor 1 the front's staircase holds the known front's costs
  // as they are, so a label's place in one is its place in the other.
  bool front_steps_known_ = false;
  // With a factor above 1: the front together with the guessed first route
  // divided by the factor, for labels that cannot come first (the guess
  // covers what lies above that point); and the front together with every
  // solution found divided by the factor.
  Stairs guess_stairs_;
  Stairs cover_stairs_;
  Cost guess_cover_{0.0, 0.0};
  // Where each line takes over from another needs no precision (see
  // front_beats_all): products with these reciprocals stand in for the
  // divisions, a sizeable part of a label's test with thirteen lines.
  std::array<std::array<double, kCornerLines>, kCornerLines> inverse_gap_{};  // 1 / (w_j - w_i)
  // With a factor above 1, until the first solution: the path of least key
  // at the target is expected to be found first. A label whose exact bound that path covers, and
  // whose every way to the target has a larger key, can neither come first nor lead anywhere once
  // that path is a solution.
  bool guess_on_ = false;
  Cost guess_{0.0, 0.0};                    // the guessed path's costs, raised by a margin
  double key_limit_ = 0.0;                  // its key, raised by a margin
  Cost dropped_least_{INFINITY, INFINITY};  // least bound of a dropped label, per objective
  bool guess_dropped_ = false;              // some label was dropped for it
  // Per dense node, the least that a path to the target adds to a key; only
  // where the guess stands on the key floors.
  RemainingKey remaining_key_;
  // With eps 0.0, where only select_routes()'s picks are asked for: the
  // shortest and safest routes' costs, exactly; the balanced score's scales
  // that follow from them; the least balanced score of a known path; and,
  // for the line of the balanced score's slope, a floor per node and the
  // weighted sum above which no route can be the balanced pick.
  bool picks_on_ = false;
  Cost pick_shortest_{0.0, 0.0};
  Cost pick_safest_{0.0, 0.0};
  BalancedScales picks_scales_{1.0, 1.0};
  double balanced_weight_ = 0.0;
  double balanced_least_ = INFINITY;
  double balanced_most_ = INFINITY;
  std::size_t picks_solutions_ = 0;  // solutions balanced_least_ has seen
  RemainingKey balanced_line_;
};

}  // namespace velorin
