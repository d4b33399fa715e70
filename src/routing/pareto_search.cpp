#include "routing/pareto_search.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "fault/internal_fault.hpp"
#include "routing/cost_order.hpp"
#include "routing/great_circle.hpp"
#include "routing/open_list.hpp"
#include "routing/pareto_set.hpp"
#include "routing/remaining_cost.hpp"

namespace velorin {
namespace {

using DenseId = RoadGraph::DenseId;

constexpr double kRiskWeight = 500.0;
constexpr double kFamiliarityWeight = -200.0;

// One settled label in the path arena. Labels share path prefixes: a label's
// path is its parent's path followed by the node its edge enters, so the
// search stores 8 bytes per settled label instead of one path copy per label.
// (Where a walk back along a path must start travels with the open labels, as
// their `stall`: once a label is settled, only its extensions need it.)
struct PathLink {
  std::uint32_t edge;    // kNoEdge for the source's first label
  std::uint32_t parent;  // kNoParent for the source's first label
};

// The path arena: links are only appended, in blocks that never move, so the
// arena never copies what it holds and never holds two copies at once while
// growing.
class PathArena {
 public:
  std::uint32_t size() const noexcept { return size_; }
  const PathLink& operator[](std::uint32_t i) const noexcept {
    return blocks_[i >> kBlockBits][i & (kBlockSize - 1)];
  }
  std::uint32_t append(const PathLink& link) {
    require(size_ < kNoParent, "route search settled more labels than it can number");
    if ((size_ & (kBlockSize - 1)) == 0)
      blocks_.push_back(std::make_unique<PathLink[]>(kBlockSize));
    blocks_.back()[size_ & (kBlockSize - 1)] = link;
    return size_++;
  }
  std::size_t capacity_bytes() const noexcept {
    return blocks_.size() * kBlockSize * sizeof(PathLink) +
           blocks_.capacity() * sizeof(std::unique_ptr<PathLink[]>);
  }

 private:
  static constexpr std::uint32_t kBlockBits = 14;
  static constexpr std::uint32_t kBlockSize = 1u << kBlockBits;
  std::vector<std::unique_ptr<PathLink[]>> blocks_;
  std::uint32_t size_ = 0;
};

struct Solution {
  Cost cost;
  double familiarity;
  std::uint32_t link;
};

inline Cost cost_of(const Solution& s) noexcept {
  return s.cost;
}

// A step gains when the new cost is dominated by the old one: no better in
// either objective and worse in one. Along a path of gaining steps costs only
// grow, so a cycle made of them returns to its start with a cost that the
// start dominates.
inline bool gains(Cost from, Cost to) noexcept {
  return dominates(from, to);
}

// Per-node state, created when the search first meets the node. Nodes are
// numbered in the order the search meets them (their place), and a label
// carries its node's place: the state is then one read away, and states of
// nodes met together lie together.
struct NodeState {
  double to_target_m;               // the estimate, computed once per node and request
  NodeParetoSets::Segment settled;  // the node's Pareto set
  DenseId node;
};

// Which lower bounds the search prunes with. Each kind is switched on once
// and stays on.
struct Pruning {
  // Great circle: the remaining distance is at least length_ratio times the
  // estimate, the remaining risk at least risk_per_metre times that. On from
  // the first solution, when the graph's arcs allow it.
  bool great_circle = false;
  double length_ratio = 0.0;
  double risk_per_metre = 0.0;
  // Exact: the least remaining distance and risk of every node, from two
  // backward searches, once the request has shown itself heavy.
  bool exact = false;
  std::vector<Cost> remaining;
  // With the factor 1 (eps 0.0) every path's cost is matched or beaten by
  // some solution at the end, so the costs of known paths (the whole exact
  // front) act as solutions found in advance, but only against labels that
  // they beat strictly: a label that merely ties with one might still be the
  // first to reach that cost. A staircase: distance rising, risk falling.
  bool ends = false;
  std::vector<Cost> known_front;

  bool active() const noexcept { return great_circle || exact; }
};

// Whether some cost of the staircase dominates `c`. Among the steps no longer
// than c, the last is the safest; it dominates c unless it is c itself.
bool strictly_beaten(const std::vector<Cost>& stairs, Cost c) noexcept {
  const std::size_t shorter = first_longer(stairs.data(), stairs.size(), c.distance);
  if (shorter == 0) return false;
  return dominates(stairs[shorter - 1], c);
}

enum class PruneRule { none, great_circle, exact, front_ends };

class Search {
 public:
  Search(const RoadGraph& graph, DenseId source, DenseId target, const SearchTuning& tuning)
      : graph_(graph),
        source_(source),
        target_(target),
        estimate_(graph.coordinates(target)),
        slot_of_(graph.dense_count(), 0),
        tuning_(tuning) {}

  std::vector<SettledLabel> run(double eps, SearchStats* stats);

  // True when run() stopped early because pruning could have changed which
  // of two equal-cost paths wins; the caller then searches again without it.
  bool gave_up() const noexcept { return gave_up_; }

 private:
  // The place of dense node d, its state created on first use.
  std::uint32_t place_of(DenseId d) {
    std::uint32_t& slot = slot_of_[d];
    if (slot == 0) {
      states_.push_back({estimate_.metres_from(graph_.coordinates(d)), {}, d});
      slot = static_cast<std::uint32_t>(states_.size());
    }
    return slot - 1;
  }

  // Starts the memory reads of the next pops while this one is handled. The
  // label now on top is most likely the next: its node's set is asked for.
  // One of its two children most likely follows: their node states, which
  // say where their sets lie, are asked for. Always inlined: a call to a
  // function that only prefetches has no visible effect, and the compiler
  // drops it.
  [[gnu::always_inline]] void prefetch_next_pops() const noexcept {
    if (open_.empty()) return;
    sets_.prefetch(states_[open_.top().place].settled);
    if (open_.size() > 1) __builtin_prefetch(&states_[open_.at(1).place]);
    if (open_.size() > 2) __builtin_prefetch(&states_[open_.at(2).place]);
  }

  DenseId node_of(const PathLink& link) const noexcept {
    return link.edge == kNoEdge ? source_ : graph_.head(link.edge);
  }

  void update_pruning(double factor, std::uint64_t popped);
  void start_exact_bounds(double factor);
  PruneRule prune_rule(Cost cost, const NodeState& state, double factor) const noexcept;
  bool count_pruned(PruneRule rule) noexcept;
  bool ties_differently(const OpenLabel& label) const noexcept;
  std::size_t working_bytes() const noexcept;

  bool extension_allowed(std::uint32_t walk_from, DenseId to, Cost cost) const;
  Cost cost_at(std::uint32_t link) const;
  std::vector<NodeId> path_of(std::uint32_t link) const;

  const RoadGraph& graph_;
  const DenseId source_;
  const DenseId target_;
  const DistanceToTarget estimate_;
  std::vector<std::uint32_t> slot_of_;  // per dense node: index + 1 into states_, 0 = not met
  std::vector<NodeState> states_;
  NodeParetoSets sets_;
  PathArena links_;
  std::vector<Solution> solutions_;  // in order of insertion, as handed on
  ParetoFront front_;                // their costs, for the approximation test
  OpenList open_;
  std::uint64_t cycle_walks_ = 0;

  const SearchTuning tuning_;
  Pruning pruning_;
  bool great_circle_considered_ = false;
  bool exact_considered_ = false;
  bool gave_up_ = false;
  std::uint64_t pruned_great_circle_ = 0;
  std::uint64_t pruned_exact_ = 0;
  std::uint64_t pruned_front_ends_ = 0;
  std::uint64_t dropped_waiting_ = 0;
  std::size_t peak_bytes_ = 0;
};

// Pruning by lower bounds. A label whose cost plus the least that any path to
// the target still adds is already covered by a solution can only lead to
// target labels that the approximation test discards, and anything it would
// dominate at a node is just as hopeless, so dropping it changes no decision
// about any label that matters. It does change what else sits in the open
// list, and with it the order in which labels of exactly equal key, distance
// and risk leave it: so while pruning, two such labels in a row must be
// interchangeable (the same node, familiarity and parent: twins along parallel
// arcs), or the search gives up and runs again without pruning.
//
// The great-circle bound starts with the first solution; the graph measures
// once, on the first request that gets this far, how far its arcs allow it.
// The exact bounds start once the request has popped enough labels to pay
// for two searches over the whole graph.
void Search::update_pruning(double factor, std::uint64_t popped) {
  if (!tuning_.prune) return;
  const std::uint64_t heavy =
      factor == 1.0 ? tuning_.exact_front_after_pops : tuning_.exact_bounds_after_pops;
  if (!exact_considered_ && popped >= heavy) {
    exact_considered_ = true;
    start_exact_bounds(factor);
  }
  if (!great_circle_considered_ && !solutions_.empty()) {
    great_circle_considered_ = true;
    if (!(factor >= 0.0)) return;  // a negative or NaN factor does not keep order
    const ArcBounds bounds = graph_.arc_bounds();
    if (!bounds.non_negative || !(bounds.length_ratio > 0.0)) return;
    pruning_.great_circle = true;
    pruning_.length_ratio = bounds.length_ratio;
    pruning_.risk_per_metre = bounds.risk_per_metre * bounds.length_ratio;
  }
}

void Search::start_exact_bounds(double factor) {
  if (!(factor >= 0.0)) return;
  const ArcBounds bounds = graph_.arc_bounds();
  // Dijkstra's algorithm needs non-negative costs; finite ones keep every sum
  // within a small relative error of its exact value.
  if (!bounds.non_negative || !bounds.finite) return;
  RemainingCost remaining = remaining_cost(graph_, target_);
  if (factor == 1.0) {
    // The margin keeps the comparison on the safe side of any rounding in
    // how these sums were reached.
    constexpr double kMargin = 1.0 + 1e-6;
    pruning_.ends = true;
    pruning_.known_front = exact_front(graph_, source_, target_, remaining);
    for (Cost& c : pruning_.known_front) c = {c.distance * kMargin, c.risk * kMargin};
  }
  pruning_.exact = true;
  pruning_.remaining = std::move(remaining.least);
  // What waits in the open list and is already beyond reach goes now rather
  // than when it comes up: on a heavy request that is most of the list.
  peak_bytes_ = std::max(peak_bytes_, working_bytes());
  const std::size_t before = open_.size();
  open_.retain([this, factor](const OpenLabel& label) {
    return prune_rule({label.distance, label.risk}, states_[label.place], factor) ==
           PruneRule::none;
  });
  dropped_waiting_ = before - open_.size();
}

// The bounds lose a millionth to stay below the true remainder despite the
// rounding of every sum along the way.
PruneRule Search::prune_rule(Cost cost, const NodeState& state,
                             double factor) const noexcept {
  constexpr double kSlack = 1.0 - 1e-6;
  if (pruning_.exact) {
    const Cost rest = pruning_.remaining[state.node];
    const Cost bound{(cost.distance + rest.distance) * kSlack, (cost.risk + rest.risk) * kSlack};
    if (pruning_.ends && strictly_beaten(pruning_.known_front, bound))
      return PruneRule::front_ends;
    return front_.covers(factor * bound.distance, factor * bound.risk) ? PruneRule::exact
                                                                       : PruneRule::none;
  }
  if (pruning_.great_circle) {
    const double rest_m = state.to_target_m;
    const double distance = (cost.distance + pruning_.length_ratio * rest_m) * kSlack;
    const double risk = (cost.risk + pruning_.risk_per_metre * rest_m) * kSlack;
    if (front_.covers(factor * distance, factor * risk)) return PruneRule::great_circle;
  }
  return PruneRule::none;
}

// Counts a label dropped by `rule`; true when it was.
bool Search::count_pruned(PruneRule rule) noexcept {
  switch (rule) {
    case PruneRule::none:
      return false;
    case PruneRule::great_circle:
      ++pruned_great_circle_;
      break;
    case PruneRule::exact:
      ++pruned_exact_;
      break;
    case PruneRule::front_ends:
      ++pruned_front_ends_;
      break;
  }
  return true;
}

// A label leaves the open list tied with the next one (equal key, distance and
// risk), so the heap's layout decided between them; unless they are
// interchangeable, a heap without the pruned labels might have decided
// otherwise.
bool Search::ties_differently(const OpenLabel& label) const noexcept {
  if (open_.empty()) return false;
  const OpenLabel& next = open_.top();
  if (next.key_rank != label.key_rank ||
      total_order_rank(next.distance) != total_order_rank(label.distance) ||
      total_order_rank(next.risk) != total_order_rank(label.risk))
    return false;
  return next.place != label.place || next.parent != label.parent ||
         total_order_rank(next.familiarity) != total_order_rank(label.familiarity);
}

std::size_t Search::working_bytes() const noexcept {
  return open_.capacity_bytes() + sets_.capacity_bytes() + links_.capacity_bytes() +
         states_.capacity() * sizeof(NodeState) + slot_of_.capacity() * sizeof(std::uint32_t) +
         solutions_.capacity() * sizeof(Solution) + front_.capacity_bytes() +
         pruning_.remaining.capacity() * sizeof(Cost);
}

// Termination guard. Extending a label to a node already on its own path is
// allowed only when the new cost is dominated by the cost the path had at that
// earlier visit: such a label is discarded when popped (the node's Pareto set
// still holds that visit or something dominating it), so pushing it leaves the
// open list exactly as it would be without the guard. Cycles that gain
// nothing, lose cost, or make a sum NaN are refused, so every settled label
// has a simple path and the search ends.
//
// Only a cycle through a step that did not gain needs this walk; a cycle of
// gaining steps is always dominated. So the walk starts at the latest such
// step, and on graphs where every step gains (non-negative costs, each edge
// positive in distance or risk, sums not so large that they absorb an edge) it
// never runs at all.
bool Search::extension_allowed(std::uint32_t walk_from, DenseId to, Cost cost) const {
  for (std::uint32_t i = walk_from; i != kNoParent; i = links_[i].parent) {
    if (node_of(links_[i]) == to) return dominates(cost_at(i), cost);
  }
  return true;
}

// The cost of a settled label, summed again edge by edge from the source in
// path order: the same additions in the same order as during the search, so
// the same bits.
Cost Search::cost_at(std::uint32_t link) const {
  std::vector<std::uint32_t> edges;
  for (std::uint32_t i = link; i != kNoParent; i = links_[i].parent)
    if (links_[i].edge != kNoEdge) edges.push_back(links_[i].edge);
  Cost cost{0.0, 0.0};
  for (auto e = edges.rbegin(); e != edges.rend(); ++e) {
    cost.distance = cost.distance + graph_.edge(*e).distance_m;
    cost.risk = cost.risk + graph_.edge(*e).risk_score;
  }
  return cost;
}

std::vector<NodeId> Search::path_of(std::uint32_t link) const {
  std::size_t length = 0;
  for (std::uint32_t i = link; i != kNoParent; i = links_[i].parent) ++length;
  std::vector<NodeId> path(length);
  for (std::uint32_t i = link; i != kNoParent; i = links_[i].parent)
    path[--length] = graph_.id_of(node_of(links_[i]));
  return path;
}

std::vector<SettledLabel> Search::run(double eps, SearchStats* stats) {
  const double factor = 1.0 + eps;
  std::uint64_t popped = 0;
  std::uint64_t popped_before_solution = 0;
  std::uint64_t pushed = 1;

  // The first label has key 0.0: no estimate is added for it.
  open_.push({key_rank(0.0), 0.0, 0.0, 0.0, place_of(source_), kNoParent, kNoEdge, kNoParent});

  while (!open_.empty()) {
    update_pruning(factor, popped);
    if (open_.empty()) break;  // the exact bounds may have emptied it
    const OpenLabel label = open_.pop();
    ++popped;
    if (solutions_.empty()) ++popped_before_solution;
    prefetch_next_pops();
    const Cost cost{label.distance, label.risk};

    // Approximation test: a solution within the factor of this label in both
    // objectives makes it useless. The factor scales the label, not the
    // solution; a NaN anywhere fails the test and keeps the label.
    if (front_.covers(factor * cost.distance, factor * cost.risk)) continue;

    if (pruning_.active()) {
      if (count_pruned(prune_rule(cost, states_[label.place], factor))) continue;
      if (ties_differently(label)) {
        gave_up_ = true;
        break;
      }
    }

    // Node-level dominance, then settling into the node's Pareto set.
    if (!sets_.settle(states_[label.place].settled, cost)) continue;
    const std::uint32_t link = links_.append({label.edge, label.parent});

    // A label at the target is a solution and is never extended, so no path
    // passes through the target.
    const DenseId node = states_[label.place].node;
    if (node == target_) {
      if (pareto_insert(solutions_, Solution{cost, label.familiarity, link})) front_.add(cost);
      continue;
    }

    for (std::uint32_t e : graph_.out_edge_indices(node)) {
      const Edge& edge = graph_.edge(e);
      const DenseId to = graph_.head(e);
      const Cost next{label.distance + edge.distance_m, label.risk + edge.risk_score};
      const double familiarity = label.familiarity + edge.familiarity;
      // The latest non-gaining step of the new path, where a walk back along
      // it must start.
      const std::uint32_t stall = gains(cost, next) ? label.stall : link;
      if (stall != kNoParent) {
        ++cycle_walks_;
        if (!extension_allowed(stall, to, next)) continue;
      }
      const std::uint32_t to_place = place_of(to);
      if (pruning_.active() && count_pruned(prune_rule(next, states_[to_place], factor)))
        continue;
      // Evaluated left to right, each product rounded before it is added.
      const double key =
          ((next.distance + next.risk * kRiskWeight) + familiarity * kFamiliarityWeight) +
          states_[to_place].to_target_m;
      open_.push({key_rank(key), next.distance, next.risk, familiarity, to_place, link, e, stall});
      ++pushed;
    }
  }

  std::vector<SettledLabel> result;
  result.reserve(solutions_.size());
  for (const Solution& s : solutions_) {
    result.push_back(
        {graph_.id_of(target_), s.cost.distance, s.cost.risk, s.familiarity, path_of(s.link)});
  }

  if (stats != nullptr) {
    stats->popped = popped;
    stats->popped_before_solution = popped_before_solution;
    stats->pushed = pushed;
    stats->settled = links_.size();
    stats->cycle_walks = cycle_walks_;
    stats->pruned_great_circle = pruned_great_circle_;
    stats->pruned_exact = pruned_exact_;
    stats->pruned_extremes = pruned_front_ends_;
    stats->dropped_waiting = dropped_waiting_;
    stats->exact_bounds_started = pruning_.exact ? 1 : 0;
    stats->restarted = gave_up_;
    // Every container only grows during the search, except the open list
    // when the exact bounds empty it, which is measured just before.
    stats->peak_bytes = std::max(peak_bytes_, working_bytes());
  }
  return result;
}

}  // namespace

std::vector<SettledLabel> astar_pex(const RoadGraph& graph, RoadGraph::DenseId source,
                                    RoadGraph::DenseId target, double eps, SearchStats* stats,
                                    const SearchTuning& tuning) {
  require(source < graph.dense_count() && target < graph.dense_count(),
          "route search called with a node the graph does not know");
  std::vector<SettledLabel> found;
  {
    Search search(graph, source, target, tuning);
    found = search.run(eps, stats);
    if (!search.gave_up()) return found;
  }  // the abandoned search's memory goes before the second one starts
  const SearchStats first = stats != nullptr ? *stats : SearchStats{};
  SearchTuning plain_tuning = tuning;
  plain_tuning.prune = false;
  Search plain(graph, source, target, plain_tuning);
  found = plain.run(eps, stats);
  if (stats != nullptr) {
    stats->popped += first.popped;
    stats->pushed += first.pushed;
    stats->pruned_great_circle = first.pruned_great_circle;
    stats->pruned_exact = first.pruned_exact;
    stats->pruned_extremes = first.pruned_extremes;
    stats->dropped_waiting = first.dropped_waiting;
    stats->exact_bounds_started = first.exact_bounds_started;
    stats->peak_bytes = std::max(stats->peak_bytes, first.peak_bytes);
    stats->restarted = true;
  }
  return found;
}

}  // namespace velorin
