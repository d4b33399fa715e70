#include "routing/lower_bounds.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <utility>

#include "routing/distance_to_target.hpp"
#include "routing/search_key.hpp"

namespace velorin {
namespace {

// The cost of the staircase that dominates `c`, if any: among the steps no
// longer than c (`shorter` of them), the last is the safest, and it
// dominates c unless it is c itself.
const Cost* strictly_beaten(const std::vector<Cost>& stairs, Cost c,
                            std::size_t& shorter) noexcept {
  shorter = first_longer(stairs.data(), stairs.size(), c.distance);
  if (shorter == 0) return nullptr;
  return dominates(stairs[shorter - 1], c) ? &stairs[shorter - 1] : nullptr;
}

// With an eps above 0.001, labels handled per node reached from which the
// work ahead of the first route is first estimated (see front_early).
constexpr double kFirstLook = 2.0;
// The share of SearchTuning::front_later_from labels per node that the
// estimate of that work must reach for the front to come early: the
// estimate falls short of the work (see front_early).
constexpr double kEarlyShare = 0.75;

// With a factor above 1, a front cost must also be this much below a
// label's bound in weighted sum (see LowerBounds::rule).
constexpr double kOrderMargin = 1.0 + 1e-6;

// How far the backward searches go, in multiples of the source's own least
// cost: the labels a request pops mostly lie within that of the target.
constexpr double kReach = 1.5;

// The guessed first route's margins let a path of nearly the same costs
// confirm it too.
constexpr double kGuessMargin = 1.0 + 1e-6;
// How far the guess's own backward search first goes, in multiples of the
// source's least key floor (see guess_first_solution).
constexpr double kGuessReach = 1.01;

// Corners of the front's staircase are raised by this much, above the
// rounding of any sum on either side.
constexpr double kLineMargin = 1.0 + 1e-9;

}  // namespace

bool sums_stay_finite(const ArcBounds& bounds) noexcept {
  constexpr double kLargestTotal = 1e300;
  return bounds.non_negative && bounds.finite &&
         weighted_cost({bounds.total_distance, bounds.total_risk}) < kLargestTotal;
}

LowerBounds::LowerBounds(const RoadGraph& graph, DenseId source, DenseId target, double factor,
                         const SearchTuning& tuning)
    : graph_(graph), source_(source), target_(target), factor_(factor), tuning_(tuning) {
  const std::uint64_t fixed =
      front() ? tuning_.exact_front_after_pops : tuning_.exact_bounds_after_pops;
  if (fixed != SearchTuning::kEstimated) {
    fixed_start_ = true;
    heavy_after_ = static_cast<double>(fixed);
    return;
  }
  to_target_m_ =
      DistanceToTarget(graph_.coordinates(target_)).metres_from(graph_.coordinates(source_));
  heavy_after_ = heavy_after(to_target_m_);
}

// The pops from which a request counts as heavy, when the least key of any
// route is at least `key`. Each backward search settles the nodes that lie
// within kReach times the source's least cost of the target; the key, a
// distance in metres much like that cost, stands for it, and the nodes within
// a radius r number about pi r^2 times the graph's density (never more than
// the graph holds). The bounds' tables are filled over the whole graph, which
// costs about one pop per kNodesPerPop nodes.
double LowerBounds::heavy_after(double key) const noexcept {
  constexpr double kPi = 3.141592653589793;
  constexpr double kNodesPerPop = 128.0;
  const double nodes = static_cast<double>(graph_.dense_count());
  const double radius = kReach * key;
  double settles = 2.0 * kPi * radius * radius * graph_.nodes_per_m2();
  if (!(settles < 2.0 * nodes)) settles = 2.0 * nodes;  // NaN too
  return tuning_.pops_per_settle * settles + nodes / kNodesPerPop;
}

// Asked again each time the request reaches the pops last asked for, with
// the key of the label about to be popped: keys mostly grow, and every route's
// key is at least the key of some label popped on its way, so a request whose
// keys have outgrown the great circle between its ends (a detour around a
// mountain, say) is longer than that circle says, and so are the backward
// searches.
bool LowerBounds::heavy(std::uint64_t popped, double next_key) noexcept {
  if (fixed_start_) return true;
  heavy_after_ = heavy_after(next_key > to_target_m_ ? next_key : to_target_m_);
  return static_cast<double>(popped) >= heavy_after_;
}

void LowerBounds::start_great_circle() {
  if (!(factor_ >= 0.0)) return;  // a negative or NaN factor does not keep order
  const ArcBounds bounds = graph_.arc_bounds();
  if (!bounds.non_negative || !(bounds.length_ratio > 0.0)) return;
  great_circle_ = true;
  ++changes_;
  length_ratio_ = bounds.length_ratio;
  risk_per_metre_ = bounds.risk_per_metre * bounds.length_ratio;
}

void LowerBounds::start_exact(std::uint64_t popped, const SolutionSet& solutions,
                              SearchStats& stats) {
  if (!(factor_ >= 0.0)) return;
  const ArcBounds bounds = graph_.arc_bounds();
  // Dijkstra's algorithm needs non-negative costs; finite ones keep every sum
  // within a small relative error of its exact value.
  if (!sums_stay_finite(bounds)) return;
  RemainingCost remaining = remaining_cost(graph_, source_, target_, kReach);
  // Where the front drops labels from the start, a guess of the first route
  // would drop almost none that it does not, for the price of a search of
  // its own.
  const bool front_now = factor_ == 1.0 || front_comes_first(bounds);
  if (factor_ > 1.0 && !front_now && solutions.empty() && tuning_.guess_first_solution)
    guess_first_solution(remaining, bounds, stats);
  exact_ = true;
  ++changes_;
  remaining_ = std::move(remaining);
  ++stats[Counter::exact_bounds_started];
  if (front_now) {
    // Where the picks alone are asked for, their own bounds leave nothing
    // for the front and its corners to drop.
    if (!(factor_ == 1.0 && tuning_.leave_out_non_picks &&
          start_picks(std::max<std::uint64_t>(popped, remaining_.reached_nodes), solutions)))
      start_front(solutions, stats);
    return;
  }
  if (!(factor_ > 1.0 && front_applies(bounds))) return;
  // Where routes will cover much of the front, the front without that part
  // comes at once (see start_front): allowed SearchTuning::
  // covered_front_pops pops per label the request has popped, once that is
  // SearchTuning::covered_front_from labels or more.
  if (tuning_.covered_front_pops > 0.0 && (guess_on_ || !solutions.empty()) &&
      stats[Counter::popped] >= tuning_.covered_front_from) {
    const double most = tuning_.covered_front_pops * static_cast<double>(stats[Counter::popped]);
    start_front(solutions, stats, most < 1e18 ? static_cast<std::uint64_t>(most) : UINT64_MAX,
                true);
  }
  if (corner_lines_.empty() && tuning_.front_later_from < INFINITY) {
    front_later_ = true;
    exact_at_ = popped;
    const double nodes = reached_nodes();
    front_after_ = static_cast<double>(popped) + tuning_.front_later_from * nodes;
    early_check_ = static_cast<double>(popped) + kFirstLook * nodes;
    if (!(early_check_ < front_after_)) early_check_ = INFINITY;
  }
}

// Before its first route, a request with a guess pops labels of rising key
// up to the guessed path's: how far its keys have come since the exact
// bounds tells how much of that work is done. Labels a key can reach fill
// an area that grows with the key, so what was done divided by that share
// estimates the whole on the low side (on the 10^6 grid's 66 km request,
// 11.9, 15.7 and 21.6 labels per node after 2, 4 and 8, where it handles
// over 40 before its first route). Where that reaches kEarlyShare of
// SearchTuning::front_later_from labels per node, the front comes now
// rather than then, its search allowed as many pops as that work. Looked at
// after 2 labels per node, then each time the work has doubled.
//
// Its corners stand on three lines, not on as many as the bend of the front
// calls for: these lines' backward searches go the whole reach (the corners
// move as routes are found, see start_corners), and on the 10^6 grid's
// 33 and 66 km requests at eps 0.1 the extra four to six of them cost more
// than the labels they dropped (2.64 s with seven lines against 2.08 s with
// three, where the request popped 2.26 and 2.58 million labels). A 33 km
// request whose estimate stopped at 12.0 labels per node, below the 16 it
// had to reach, then popped 1.69 million labels in 1.53 s; with the front
// and three lines at that first look, 0.84 million in 0.73 s.
bool LowerBounds::front_early(std::uint64_t popped, double next_key, const SolutionSet& solutions,
                              SearchStats& stats) {
  const double done = static_cast<double>(popped - exact_at_);
  early_check_ = static_cast<double>(exact_at_) + 2.0 * done;
  if (!(early_check_ < front_after_)) early_check_ = INFINITY;
  if (!guess_on_ || !solutions.empty()) return false;
  const double share = (next_key - key_at_exact_) / (key_limit_ - key_at_exact_);
  if (!(share > 0.0 && share < 1.0)) return false;
  const double ahead = done / share;
  if (!(ahead >= kEarlyShare * tuning_.front_later_from * reached_nodes())) return false;
  front_later_ = false;
  return front_and_corners(solutions, stats, static_cast<std::uint64_t>(ahead), false);
}

// The front comes once the request has handled, since the exact bounds
// came, SearchTuning::front_later_from labels per node that a backward
// search reached, and its own search may then pop as many labels as the
// request has handled since the bounds: where it needs more, it stops, and
// the request has spent at most its own work again. Its search costs from
// a hundredth of a pop per node reached to 3 on Andorra's requests, but 10
// to 51 on the grids' 33 km requests, which at eps 0.1 handle only 7 to 16
// labels per node in all (155 ms became 536 ms with the front at once). An
// earlier first try, allowed half a pop per node, made as many of Andorra's
// requests slower as faster (up to 1.76x), for the three backward searches
// of the front's corners.
bool LowerBounds::try_front(std::uint64_t popped, const SolutionSet& solutions,
                            SearchStats& stats) {
  front_later_ = false;
  return front_and_corners(solutions, stats,
                           tuning_.front_later_from > 0.0 ? popped - exact_at_ : UINT64_MAX, true);
}

// The front, unless it came with the exact bounds, and its corners: the
// request has shown itself heavy. With `more_lines`, as many lines as the
// bend of the front calls for; otherwise three. True when either came.
// Without covered fronts, the whole front, and its corners only from
// SearchTuning::front_corners_from costs.
bool LowerBounds::front_and_corners(const SolutionSet& solutions, SearchStats& stats,
                                    std::uint64_t most_pops, bool more_lines) {
  const std::uint32_t before = changes_;
  const bool covered = tuning_.covered_front_pops > 0.0;
  if (!known_front_on_) start_front(solutions, stats, most_pops, covered);
  if (covered && known_front_on_ && corner_lines_.empty())
    add_corners(solutions, stats, more_lines);
  return changes_ != before;
}

// With `leave_covered` (and a factor above 1), the front's search leaves out
// the costs that the guessed first route or the routes found will cover:
// those no less than theirs divided by the factor. The rest of the front is
// found as a whole, each cost still a real path's, which is all that the
// rules need of it; the part left out is what the guess or a solution stands
// for in the corners' staircases. Where the guess covers much of the front,
// its search costs a fraction of the whole (on the 10^6 grid's 66 km
// request, 1.7 million pops for 24 costs instead of 13.9 million for 472).
void LowerBounds::start_front(const SolutionSet& solutions, SearchStats& stats,
                              std::uint64_t most_pops, bool leave_covered) {
  // The margin keeps the comparison on the safe side of any rounding in
  // how these sums were reached.
  constexpr double kMargin = 1.0 + 1e-6;
  std::vector<Cost> covered;
  if (leave_covered && factor_ > 1.0) {
    if (guess_on_ && solutions.empty())
      covered.push_back({guess_.distance / factor_, guess_.risk / factor_});
    for (const SolutionSet::Solution& s : solutions.solutions())
      covered.push_back({s.cost.distance / factor_, s.cost.risk / factor_});
    covered = staircase(std::move(covered));
  }
  KnownFront front = known_front(graph_, source_, target_, remaining_, most_pops,
                                 covered.empty() ? nullptr : &covered);
  if (!front.complete) return;
  known_front_on_ = true;
  ++changes_;
  known_front_ = std::move(front.costs);
  for (Cost& c : known_front_) c = {c.distance * kMargin, c.risk * kMargin};
  ++stats[Counter::fronts];
  // Backward searches of their own, worth their cost where the front is
  // large: on Andorra's bench pairs, fronts of fewer than 128 costs lost
  // more to them than their corners saved. The front's own search tells
  // how much work the request has ahead: labels per node that a backward
  // search reaches.
  if (known_front_.size() < tuning_.front_corners_from) return;
  add_corners(solutions, stats,
              static_cast<double>(front.popped) / reached_nodes() >= tuning_.more_lines_from);
}

void LowerBounds::add_corners(const SolutionSet& solutions, SearchStats& stats, bool more) {
  if (!graph_.arc_bounds().no_familiarity) return;
  start_corners(more);
  stats[Counter::corner_lines] += corner_lines_.size();
  if (corner_lines_.empty()) return;
  ++changes_;
  std::vector<Cost> steps = known_front_;
  if (factor_ > 1.0)
    for (Cost& c : steps) c = {c.distance * kOrderMargin, c.risk * kOrderMargin};
  front_stairs_ = stairs_of(steps);
  if (factor_ == 1.0) {
    front_steps_known_ = std::equal(front_stairs_.steps.begin(), front_stairs_.steps.end(),
                                    known_front_.begin(), known_front_.end(), [](Cost a, Cost b) {
                                      return a.distance == b.distance && a.risk == b.risk;
                                    });
    return;
  }
  if (guess_on_ && solutions.empty()) {
    // What the guessed route covers, once it is found: the search confirms
    // it only if it covers the least bound of every label dropped for it,
    // which this point then is.
    guess_cover_ = {guess_.distance / factor_, guess_.risk / factor_};
    steps.push_back(guess_cover_);
    guess_stairs_ = stairs_of(std::move(steps));
  }
  if (!solutions.empty()) refresh_cover(solutions);
}

// With a factor above 1, a route is dropped when a solution found before it
// covers it: s.distance <= factor * distance, and the same for risk. So a
// solution covers every cost no less than its own divided by the factor
// (raised by a margin for the rounding of that division), and the front's
// corners may count it as a step of their staircase, as long as it was
// found. Each new solution rebuilds the staircase, up to 16 of them and then
// as their number grows by a quarter: an older staircase stands for fewer
// solutions, and drops less, never more.
void LowerBounds::refresh_cover(const SolutionSet& solutions) {
  const std::size_t count = solutions.solutions().size();
  if (count > 16 && count < cover_stairs_.solutions + cover_stairs_.solutions / 4) return;
  constexpr double kCoverMargin = 1.0 + 1e-9;
  std::vector<Cost> steps = front_stairs_.steps;
  for (const SolutionSet::Solution& s : solutions.solutions())
    steps.push_back(
        {s.cost.distance / factor_ * kCoverMargin, s.cost.risk / factor_ * kCoverMargin});
  cover_stairs_ = stairs_of(std::move(steps));
  cover_stairs_.solutions = count;
}

// Sorted by distance, each cost that a shorter one does not match in risk.
LowerBounds::Stairs LowerBounds::stairs_of(std::vector<Cost> costs) const {
  Stairs stairs;
  stairs.steps = staircase(std::move(costs));
  const std::vector<Cost>& steps = stairs.steps;
  if (steps.size() < 2) return stairs;
  for (const CornerLine& line : corner_lines_) {
    std::vector<double> corners(steps.size() - 1);
    for (std::size_t k = 0; k + 1 < steps.size(); ++k)
      corners[k] = (steps[k + 1].distance + steps[k].risk * line.risk_weight) * kLineMargin;
    stairs.corners.emplace_back().build(std::move(corners));
  }
  return stairs;
}

// With a factor above 1 the routes kept depend on the order in which they are
// found, and a front cost stands for a route found in advance only if its
// path comes before any route through the label. Where no arc has a
// familiarity and every arc is at least as long as the great circle between
// its ends (but for a ten-millionth), a label's key exceeds the weighted
// sum of costs of its best way to the target by at most a ten-millionth of
// that sum: so every label on the path of a front cost f leaves the heap
// before a route whose weighted sum exceeds f's by a millionth. A route
// through a label whose bound f beats in both costs and by that much in
// weighted sum is then covered, when it leaves the heap, by a route found
// before it: f's own, or one that covered a label on f's path, or (when such
// a label was dropped) one that covered what it led to. No such route is
// kept, and such a label, like any label dropped by a bound, dominates no
// label that leads to one.
// Worth its cost only for a small eps: there the eps test drops little more
// than an exact search does, and the front is most of the pruning (on
// Andorra's long pairs the front made eps 0.001 faster and eps 0.01 and more
// slower).
bool LowerBounds::front_comes_first(const ArcBounds& bounds) const noexcept {
  constexpr double kLargestFactor = 1.001;
  return factor_ > 1.0 && factor_ <= kLargestFactor && front_applies(bounds);
}

// With a larger eps the front comes too, but only once a request has shown
// itself heavy (see try_front).
bool LowerBounds::front_applies(const ArcBounds& bounds) const noexcept {
  return bounds.no_familiarity && bounds.length_ratio >= 1.0 - 1e-7;
}

// The path whose key at the target is least is expected to be found first.
// A label is dropped for it only when no route it leads to can come first:
// when a floor for the keys of those routes exceeds the guessed path's. The
// floor is the label's own key floor plus the least floor still to go from
// its node, by a third backward search (see arc_key_floor), wherever the
// arcs' floors are non-negative (no arc can lower a key: a Dijkstra search
// needs that), familiarity or not. It is as tight as a floor can be: the
// least weighted distance and risk of any one path still to go, where the
// exact bounds' weighted sum adds the least distance of one path to the
// least risk of another, far below it where the short way is the busy one.
// Where the floors do not apply but no arc's familiarity is positive, the
// key of a path is still at least its weighted distance and risk, and the
// exact bounds give that weaker floor.
void LowerBounds::guess_first_solution(const RemainingCost& remaining, const ArcBounds& bounds,
                                       SearchStats& stats) {
  double key = INFINITY;
  Cost first{INFINITY, INFINITY};
  if (key_floors_apply(bounds)) {
    // The first route found is expected to be this path, and every label on
    // its way must stay within the limit for the guess to be confirmed; the
    // estimate can lift a label's key above the path's key at the target
    // (with familiarity, or along an arc shorter than the great circle).
    auto guess_with = [&](RemainingKey floors) {
      remaining_key_ = std::move(floors);
      const KeyedPath path = least_key_path(graph_, source_, target_, remaining_key_);
      first = path.cost;
      key = std::max(weighted_cost(first.distance, first.risk, path.familiarity), path.largest_key);
    };
    if (bounds.no_familiarity) {
      // The floors matter only up to the guessed path's key limit: a label
      // at a node whose floor lies above it cannot come first (its own
      // floor is not negative without familiarity), whether that floor is
      // exact or the radius of a search that stopped sooner. So the search
      // first stops just past the source's own floor, which the guessed
      // path's key exceeds by a millionth or so; only where the path's key
      // reaches the radius does it run again to its usual reach. Below the
      // radius the floors are the same, and the least-key path's search
      // takes the same nodes before the target (any other has an estimate
      // above the radius), so the guess and every decision of the rule stay
      // the same. On Andorra's requests at eps 0.1 the path's key was the
      // source's floor raised by its millionth every time, and the requests
      // took 0.97x the time. Without familiarity an arc's key floor is its
      // weighted floor, which the reverse arcs give without a visit to the
      // edge table.
      guess_with(remaining_weighted_floor(graph_, source_, target_, kGuessReach, kRiskWeight));
      if (!(key * kGuessMargin < remaining_key_.beyond) && remaining_key_.beyond < INFINITY)
        guess_with(remaining_weighted_floor(graph_, source_, target_, kReach, kRiskWeight));
    } else {
      guess_with(remaining_key_floor(graph_, source_, target_, kReach));
    }
  } else if (bounds.familiarity_non_positive) {
    first = least_weighted_path(graph_, source_, target_, remaining, kRiskWeight);
    key = weighted_cost(first);
  } else {
    return;
  }
  if (!(first.distance < INFINITY) || !(key < INFINITY)) return;
  guess_on_ = true;
  guess_ = {first.distance * kGuessMargin, first.risk * kGuessMargin};
  key_limit_ = key >= 0.0 ? key * kGuessMargin : key / kGuessMargin;
  ++stats[Counter::first_guesses];
}

// Three lines: one as steep as the front from its shortest to its safest
// cost, one four times steeper and one four times flatter, so that together
// they follow the bend of the costs a label can reach. On the 10^5 grid's
// 33 km requests they left 2.5 and 1.8 million labels to pop where the
// weighted sum of the key alone (risk 500 times) left 6.2 and 6.9 million.
//
// On the heaviest requests, `more` lines: as steep as the steepest edge of
// the front's convex hull and as flat as its flattest (at most 64 times
// either way of the middle one), each twice as steep as the next. The
// front bends most at its ends, where the three lines fall far below it: on
// the 10^6 grid's 66 km request the route search popped 23 million labels
// with three lines, 12.5 million with seven from 1/8 to 8 times the middle
// one, and 5.2 million with thirteen from 1/64 to 64 times it. Each line
// costs a backward search, and each label a test more, which requests of
// fewer labels per node did not win back (17 km on both grids, 33 km on the
// 10^6 one).
void LowerBounds::start_corners(bool more) {
  // The front's shape, with the guessed route where a covered front left
  // out the part around it.
  std::vector<Cost> shape = known_front_;
  if (factor_ > 1.0 && guess_on_) shape.push_back(guess_);
  shape = staircase(std::move(shape));
  if (shape.size() < 2) return;
  const Cost& shortest = shape.front();
  const Cost& safest = shape.back();
  const double across = (safest.distance - shortest.distance) / (shortest.risk - safest.risk);
  if (!(across > 0.0) || !std::isfinite(across)) return;
  std::vector<double> weights{across / 4, across, across * 4};
  if (more) {
    double steep = across / 4, flat = across * 4;
    std::vector<Cost> hull;
    for (const Cost& c : shape) {
      while (hull.size() >= 2) {
        const Cost& a = hull[hull.size() - 2];
        const Cost& b = hull.back();
        // b stays if it lies below the line from a to c
        if ((b.distance - a.distance) * (c.risk - a.risk) >
            (b.risk - a.risk) * (c.distance - a.distance))
          break;
        hull.pop_back();
      }
      hull.push_back(c);
    }
    for (std::size_t k = 0; k + 1 < hull.size(); ++k) {
      const double w =
          (hull[k + 1].distance - hull[k].distance) / (hull[k].risk - hull[k + 1].risk);
      if (w > 0.0 && std::isfinite(w)) {
        steep = std::min(steep, w);
        flat = std::max(flat, w);
      }
    }
    steep = std::max(steep, across / 64);
    flat = std::min(flat, across * 64);
    const std::size_t lines = std::min<std::size_t>(
        kCornerLines, static_cast<std::size_t>(std::ceil(std::log2(flat / steep))) + 1);
    weights.clear();
    for (std::size_t i = 0; i < lines; ++i)
      weights.push_back(
          steep * std::pow(flat / steep, static_cast<double>(i) / static_cast<double>(lines - 1)));
  }
  // With eps 0.0 the corners stand on the front alone. A label whose floor
  // for a line lies above every corner's sum for that line is beaten by the
  // front whatever the other lines say, so a line's backward search need
  // not settle nodes beyond the largest of those sums: any label at a node
  // it did not settle then has a floor above it. On the 10^6 grid's long
  // requests that sum is mostly 1.01 to 1.15 times the source's own floor,
  // against the 1.5 times the search would reach, and the lines settled
  // half the nodes (66 km requests 0.92x the time, labels popped the same).
  const std::vector<Cost> steps = factor_ == 1.0 ? staircase(known_front_) : std::vector<Cost>{};
  std::vector<double> from_source;  // great-circle metres, per node, shared by the lines
  for (double weight : weights) {
    if (!(weight > 0.0) || !std::isfinite(weight)) continue;
    double most = INFINITY;
    if (steps.size() >= 2) {
      most = 0.0;
      for (std::size_t k = 0; k + 1 < steps.size(); ++k)
        most = std::max(most, (steps[k + 1].distance + steps[k].risk * weight) * kLineMargin);
    }
    // At eps 0.0 no label beyond the largest corner sum matters to the line.
    corner_lines_.push_back({weight, weighted_line(weight, most, &from_source)});
  }
  for (std::size_t i = 0; i < corner_lines_.size(); ++i) {
    for (std::size_t j = i + 1; j < corner_lines_.size(); ++j)
      inverse_gap_[i][j] = 1.0 / (corner_lines_[j].risk_weight - corner_lines_[i].risk_weight);
  }
}

// The floors of one line of slope -1/weight: per node, at most the least
// weighted sum still to go. With `most` finite, only where no label can lie
// below that sum anyway may a floor lie above its least.
RemainingKey LowerBounds::weighted_line(double weight, double most,
                                        std::vector<double>* from_source) const {
  // A line's search need not follow the arcs of a node that no label
  // passes on its way to below `most`. A label at a node has,
  // for this line, a sum of at least `per_metre` times the node's great
  // circle from the source: each arc's floor for the line is at least
  // that much times the great circle between its ends (its length is at
  // least length_ratio times that, its risk at least risk_per_metre
  // times its length), lowered by a few millionths more for rounding.
  // Where that share plus the node's floor exceeds `most` (by a margin
  // for the rounding of the floors' sums and of the great circle), every
  // route such a label can reach lies above `most` on this line, and the
  // same holds at every node whose least way to the target passes there:
  // the share of the part between the two is no more than that part adds.
  // Those are the only nodes whose floors the cut leaves above their least
  // (or at +inf, out of reach).
  const Coordinates source_at = graph_.coordinates(source_);
  const double cos_source_lat = cos_latitude(source_at);
  const ArcBounds arcs = graph_.arc_bounds();
  const double per_metre = arcs.length_ratio * (1.0 + weight * arcs.risk_per_metre) * (1.0 - 4e-6);
  std::function<bool(DenseId, double)> expand;
  if (most < INFINITY && per_metre > 0.0 && std::isfinite(per_metre)) {
    if (from_source != nullptr && from_source->empty())
      from_source->assign(graph_.dense_count(), -1.0);
    const double limit = most * (1.0 + 1e-9) + 1e-6;
    expand = [&, per_metre, limit](DenseId node, double key) {
      // -1 until asked for; a search settles a node once, so only lines
      // that share the table gain from it
      double metres = from_source != nullptr ? (*from_source)[node] : -1.0;
      if (metres < 0.0) {
        metres = haversine_m(graph_.coordinates(node), source_at, cos_source_lat);
        if (from_source != nullptr) (*from_source)[node] = metres;
      }
      // The computed great circle may be short of the true one by a
      // ten-millionth (near the antipode, where the haversine is worst,
      // a decimetre) and a micrometre; NaN gives no share.
      return !(metres == metres) || key + (per_metre * metres * (1.0 - 1e-7) - 1e-6) <= limit;
    };
  }
  return remaining_weighted_floor(graph_, source_, target_, kReach, weight, most, expand);
}

// With eps 0.0 a request hands on only the routes that select_routes()
// picks: the shortest (least distance, then least risk), the safest (least
// risk, then least distance) and the balanced one (least distance / Dmax +
// risk / Rmax, Dmax and Rmax the largest distance and risk found, each at
// least 1). Among the routes found, the safest has the largest distance
// and the shortest the largest risk, so Dmax and Rmax follow from those
// two: their costs come first, exactly, from two narrow searches of their
// own (end_costs). Then a label is dropped when none of its routes can be
// any of the three picks: each is longer than the shortest, riskier than
// the safest, and of a balanced score above that of a path already known,
// as a floor for distance + (Dmax / Rmax) * risk says, from a backward
// search of its own. The rule only ever drops a label whose costs are no
// less than those of one it drops at the same node, so a label that leads
// to a pick, and every label that beats one of those at a node, stays:
// the picks are found as the whole search finds them, with their paths, in
// the same order. What else is found has a score above the least, a
// distance above the shortest's and a risk above the safest's, and no
// route beats the shortest or the safest, so it changes neither Dmax nor
// Rmax nor any pick. The search checks at its end that the routes it found
// have the Dmax and Rmax it assumed, and searches again without this rule
// if not. The two searches may pop as many labels as `most_pops`.
bool LowerBounds::start_picks(std::uint64_t most_pops, const SolutionSet& solutions) {
  const EndCosts ends = end_costs(graph_, source_, target_, remaining_, most_pops);
  if (!ends.complete || !(ends.shortest.distance < INFINITY) || !(ends.safest.risk < INFINITY))
    return false;
  pick_shortest_ = ends.shortest;
  pick_safest_ = ends.safest;
  picks_scales_ = {scale_of(pick_safest_.distance), scale_of(pick_shortest_.risk)};
  balanced_weight_ = picks_scales_.distance / picks_scales_.risk;
  if (!(balanced_weight_ > 0.0) || !std::isfinite(balanced_weight_)) return false;
  // A path of least (or nearly least) weighted sum for the balanced score's
  // slope: its score is at most a rounding above the least.
  const Cost balanced = least_weighted_path(graph_, source_, target_, remaining_, balanced_weight_);
  balanced_least_ =
      std::min({balanced_score(pick_shortest_.distance, pick_shortest_.risk, picks_scales_),
                balanced_score(pick_safest_.distance, pick_safest_.risk, picks_scales_),
                balanced_score(balanced.distance, balanced.risk, picks_scales_)});
  picks_solutions_ = 0;
  note_picks(solutions);
  balanced_line_ = weighted_line(balanced_weight_, balanced_most_, nullptr);
  picks_on_ = true;
  ++changes_;
  return true;
}

// The least balanced score of a path found so far, and with it the
// weighted sum above which a route's score is surely larger: a score is a
// weighted sum divided by Dmax, each within a few roundings of its exact
// value, which a billionth more covers.
void LowerBounds::note_picks(const SolutionSet& solutions) {
  picks_solutions_ = solutions.solutions().size();
  for (const SolutionSet::Solution& s : solutions.solutions())
    balanced_least_ =
        std::min(balanced_least_, balanced_score(s.cost.distance, s.cost.risk, picks_scales_));
  const double most = balanced_least_ * picks_scales_.distance * (1.0 + 1e-9);
  if (most < balanced_most_) {
    balanced_most_ = most;
    ++changes_;
  }
}

// Every cost (x, y) that a label at `node` with these sums and this bound
// can reach is beaten strictly by a front cost: x >= bound.distance,
// y >= bound.risk and, for each line, x + w y at least the label's floor
// for it (its own weighted sum lowered by a millionth, plus its node's
// least floor still to go), so above the bound's corner such costs lie on
// or above each line of slope -1/w. For x between the distances of steps k
// and k + 1, step k is the safest no longer than x: it beats them strictly
// when its risk is below the bound's (and then so does every later step,
// safer still), or when even at the end of that span a line lies above its
// risk, which is where the staircase's inner corner (step k + 1's
// distance, step k's risk) lies below that line.
bool LowerBounds::front_beats_all(Cost cost, Cost bound, DenseId node, const Stairs& staircase,
                                  std::size_t shorter) const noexcept {
  const std::vector<Cost>& stairs = staircase.steps;
  std::size_t first = shorter != kNotSearched
                          ? shorter
                          : first_longer(stairs.data(), stairs.size(), bound.distance);
  if (first == 0) return false;  // no step as short as the bound
  --first;
  const auto safer =
      std::partition_point(stairs.begin() + static_cast<std::ptrdiff_t>(first), stairs.end(),
                           [&bound](const Cost& c) { return !(c.risk < bound.risk); });
  if (safer == stairs.end()) return false;  // no step safer than the bound
  const std::size_t last = static_cast<std::size_t>(safer - stairs.begin());
  if (first == last) return true;
  // The lower edge of where the label's routes lie is the highest of the
  // lines: steeper ones (less risk weight) at short distances, flatter ones
  // at long distances. A corner below any one line is below that edge, so
  // where each line takes over needs no precision: a corner tested against
  // a line that is not the highest at its distance is only tested harder.
  std::array<double, kCornerLines> floor_of_line{};
  const std::size_t lines = corner_lines_.size();
  for (std::size_t i = 0; i < lines; ++i) {
    const CornerLine& line = corner_lines_[i];
    floor_of_line[i] =
        weighted_floor(cost.distance, cost.risk, line.risk_weight) + line.rest.at(node);
  }
  // The edge itself, once per label: the lines that are highest somewhere,
  // steep to flat, each with the distance from which it is (the flatter of
  // two lines overtakes the steeper one where they cross). Working out the
  // highest line and the next crossing afresh for each run of corners was
  // most of the test with thirteen lines, at five runs a label.
  std::array<std::size_t, kCornerLines> edge{};
  std::array<double, kCornerLines> takes_over{};
  std::size_t edge_lines = 0;
  for (std::size_t j = 0; j < lines; ++j) {
    const double f = floor_of_line[j];
    if (f == INFINITY) return true;  // every corner lies below such a line
    if (!(f > -INFINITY)) continue;  // NaN or below everything: never the highest
    double from_x = -INFINITY;
    while (edge_lines > 0) {
      const std::size_t top = edge[edge_lines - 1];
      from_x =
          (floor_of_line[top] * corner_lines_[j].risk_weight - f * corner_lines_[top].risk_weight) *
          inverse_gap_[top][j];
      // The line on top is never the highest if this one overtakes the one
      // before it no later than the top does.
      if (edge_lines > 1 && !(from_x > takes_over[edge_lines - 1])) {
        --edge_lines;
        continue;
      }
      break;
    }
    edge[edge_lines] = j;
    takes_over[edge_lines] = from_x;
    ++edge_lines;
  }
  if (edge_lines == 0) return false;
  // Corner k lies at step k + 1's distance. From corner `from` on, each run
  // of corners against the line highest at its first corner, up to where a
  // flatter line overtakes that one (at least one corner).
  std::size_t part = 0;
  for (std::size_t from = first; from < last;) {
    const double x = stairs[from + 1].distance;
    while (part + 1 < edge_lines && !(takes_over[part + 1] > x)) ++part;
    const std::size_t best = edge[part];
    const double until = part + 1 < edge_lines ? takes_over[part + 1] : INFINITY;
    // Corners k >= from with stairs[k + 1].distance <= until.
    std::size_t to = from + 1;
    if (until > x) {
      // The first step beyond `until` among steps to + 1 to last, found by
      // strides that double from to + 1 (runs are mostly short) and then
      // halving: a search over the whole staircase for each run was a
      // fifth of the test.
      std::size_t low = to + 1, high = low, stride = 1;
      while (high <= last && stairs[high].distance <= until) {
        low = high + 1;
        high = low + stride;
        stride *= 2;
      }
      const std::size_t end = std::min(high, last + 1);
      const std::size_t beyond = low + first_longer(stairs.data() + low, end - low, until);
      if (beyond > to + 1) to = std::min(last, beyond - 1);
    }
    if (!(staircase.corners[best].largest(from, to) < floor_of_line[best])) return false;
    from = to;
  }
  return true;
}

void LowerBounds::RangeMax::build(std::vector<double> values) {
  size_ = values.size();
  table_ = std::move(values);
  for (std::size_t span = 1; 2 * span <= size_; span *= 2) {
    const std::size_t below = table_.size() - size_;
    table_.resize(below + 2 * size_);
    for (std::size_t i = 0; i + 2 * span <= size_; ++i)
      table_[below + size_ + i] = std::max(table_[below + i], table_[below + i + span]);
  }
}

double LowerBounds::RangeMax::largest(std::size_t first, std::size_t last) const noexcept {
  const int level = static_cast<int>(std::bit_width(last - first)) - 1;
  const std::size_t span = std::size_t{1} << level;
  const double* row = table_.data() + static_cast<std::size_t>(level) * size_;
  return std::max(row[first], row[last - span]);
}

// Every arc's key floor is a non-negative number, and all of them together,
// with the sizes of their parts, stay far below the largest double. Without
// familiarity an arc's floor is its weighted distance and risk, lowered by a
// millionth, and the exact bounds only start where those stay below 1e300
// summed over all arcs (sums_stay_finite): nothing is left to check.
bool LowerBounds::key_floors_apply(const ArcBounds& bounds) const {
  if (bounds.no_familiarity) return true;
  constexpr double kLargestTotal = 1e300;
  double total = 0.0;
  for (DenseId from = 0; from < graph_.dense_count(); ++from) {
    for (std::uint32_t e : graph_.out_edge_indices(from)) {
      const Edge& arc = graph_.edge(e);
      if (!(arc_key_floor(arc) >= 0.0) || !std::isfinite(arc.familiarity)) return false;
      total += weighted_cost(arc.distance_m, arc.risk_score, 0.0) +
               std::fabs(arc.familiarity * kFamiliarityWeight);
    }
  }
  return total < kLargestTotal;
}

// The bounds lose a millionth to stay below the true remainder despite the
// rounding of every sum along the way.
PruneRule LowerBounds::rule(Cost cost, double familiarity, DenseId node, double to_target_m,
                            const SolutionSet& solutions) noexcept {
  constexpr double kSlack = 1.0 - 1e-6;
  if (exact_) {
    const Cost rest = remaining_.at(node);
    // No path leads from this node to the target: nothing this label leads
    // to is a solution, and it can only dominate labels just as stuck. When
    // the target is out of reach altogether, this ends the search.
    if (!(rest.distance < INFINITY)) return PruneRule::dead_end;
    const Cost bound{(cost.distance + rest.distance) * kSlack, (cost.risk + rest.risk) * kSlack};
    // No route of the label can be a pick (see start_picks).
    if (picks_on_ && bound.distance > pick_shortest_.distance && bound.risk > pick_safest_.risk) {
      const double floor = std::max(
          bound.distance + bound.risk * balanced_weight_,
          weighted_floor(cost.distance, cost.risk, balanced_weight_) + balanced_line_.at(node));
      if (floor > balanced_most_) return PruneRule::no_pick;
    }
    if (known_front_on_) {
      std::size_t shorter = 0;
      const Cost* beaten_by = strictly_beaten(known_front_, bound, shorter);
      if (beaten_by != nullptr &&
          (factor_ == 1.0 || weighted_cost(*beaten_by) * kOrderMargin < weighted_cost(bound)))
        return PruneRule::known_front;
      if (factor_ == 1.0 && beaten_by == nullptr && !corner_lines_.empty() &&
          front_beats_all(cost, bound, node, front_stairs_,
                          front_steps_known_ ? shorter : kNotSearched))
        return PruneRule::front_corners;
    }
    // The key of every target label this one leads to is at least the
    // weighted sum of its bound where no familiarity is positive, and at
    // least its own key floor plus the least floor still to go otherwise.
    const bool guessing = guess_on_ && solutions.empty();
    auto cannot_come_first = [&] {
      return (remaining_key_.empty() ? weighted_cost(bound)
                                     : key_floor(cost.distance, cost.risk, familiarity) +
                                           remaining_key_.at(node)) > key_limit_;
    };
    if (guessing && guess_.distance <= factor_ * bound.distance &&
        guess_.risk <= factor_ * bound.risk && cannot_come_first()) {
      dropped_least_.distance = std::min(dropped_least_.distance, bound.distance);
      dropped_least_.risk = std::min(dropped_least_.risk, bound.risk);
      guess_dropped_ = true;
      return PruneRule::first_guess;
    }
    if (solutions.covers(factor_ * bound.distance, factor_ * bound.risk)) return PruneRule::exact;
    // Each route of the label either lies above a front cost, by the
    // margin that makes that cost's path come first, or is covered by a
    // solution: found, or guessed where the label cannot come first.
    if (covers_too()) {
      if (!solutions.empty()) {
        if (front_beats_all(cost, bound, node, cover_stairs_)) return PruneRule::front_corners;
      } else if (guessing && !guess_stairs_.steps.empty() && cannot_come_first()) {
        if (front_beats_all(cost, bound, node, guess_stairs_)) {
          dropped_least_.distance = std::min(dropped_least_.distance, guess_cover_.distance);
          dropped_least_.risk = std::min(dropped_least_.risk, guess_cover_.risk);
          guess_dropped_ = true;
          return PruneRule::front_corners;
        }
      } else if (front_beats_all(cost, bound, node, front_stairs_)) {
        return PruneRule::front_corners;
      }
    }
    return PruneRule::none;
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
