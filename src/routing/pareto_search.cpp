#include "routing/pareto_search.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <utility>

#include "fault/internal_fault.hpp"
#include "routing/cost_order.hpp"
#include "routing/distance_to_target.hpp"
#include "routing/lower_bounds.hpp"
#include "routing/open_list.hpp"
#include "routing/pareto_set.hpp"
#include "routing/route_selection.hpp"
#include "routing/search_key.hpp"
#include "routing/solution_set.hpp"

namespace velorin {
namespace {

using DenseId = RoadGraph::DenseId;

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

class Search {
 public:
  Search(const RoadGraph& graph, DenseId source, DenseId target, double eps,
         const SearchTuning& tuning)
      : graph_(graph),
        source_(source),
        target_(target),
        factor_(1.0 + eps),
        estimate_(graph.coordinates(target)),
        bounds_(graph, source, target, factor_, tuning),
        place_plus_one_(graph.dense_count(), 0),
        collect_paths_at_(tuning.collect_paths_from),
        tuning_(tuning),
        cost_order_(cost_order_allowed(graph, factor_, tuning)),
        sure_gap_(cost_order_ ? rounding_reach(graph, graph.arc_bounds().total_distance,
                                               graph.arc_bounds().total_risk)
                              : Cost{0.0, 0.0}),
        twin_nodes_(cost_order_ ? graph.twin_arcs().data() : nullptr),
        walks_(walks_allowed(graph, factor_, tuning, cost_order_)),
        skips_back_(skips_back_allowed(graph, tuning)),
        looks_on_arrival_(tuning.prune && (walks_ || !skips_back_)),
        pass_through_(walks_ ? graph.pass_through().data() : nullptr),
        keyed_walks_(walks_ && !cost_order_ && !graph.arc_bounds().no_familiarity),
        walk_rise_floor_(keyed_walks_ ? largest_tie_reach(graph) : 0.0),
        gain_floor_(keyed_walks_ ? Cost{0x1p-50 * graph.arc_bounds().total_distance,
                                        0x1p-50 * graph.arc_bounds().total_risk}
                                 : Cost{0.0, 0.0}),
        out_arcs_(graph.out_arcs()),
        sums_familiarity_(out_arcs_.has_familiarity()) {}

  std::vector<SettledLabel> run(Paths paths);

  // Why run() stopped early, if it did: pruning could have changed which of
  // two equal-cost paths wins, the first solution was not the one guessed,
  // in the cost order two costs came too close to tell apart, or with walks
  // and familiarity two keys did. The caller then searches again without
  // pruning, without the guess, in the order of the full key, or without
  // walks.
  enum class GiveUp { no, tie, guess, order, walk, picks };
  GiveUp gave_up() const noexcept { return gave_up_; }
  bool in_cost_order() const noexcept { return cost_order_; }
  // Whether the routes that no pick can be were left out on the
  // assumption of the balanced score's scales, and `found` has others.
  bool picks_unconfirmed(const std::vector<SettledLabel>& found) const {
    if (!bounds_.picks_alone() || found.empty()) return false;
    const BalancedScales assumed = bounds_.assumed_scales();
    const BalancedScales actual = balanced_scales(found);
    return !(assumed.distance == actual.distance && assumed.risk == actual.risk);
  }

  // What the search did; peak_bytes is filled in by run().
  const SearchStats& counters() const noexcept { return counters_; }

 private:
  // The steps of one pop.
  bool approximately_covered(Cost cost) const noexcept;
  enum class Verdict { keep, drop, give_up };
  Verdict bounded_out(const OpenLabel& label);
  std::uint32_t settle(const OpenLabel& label);  // kNoParent when the node's set rules it out
  void extend(const OpenLabel& label, std::uint32_t link);
  bool walk(DenseId from, std::uint32_t link, std::uint32_t edge, Cost cost, double familiarity);
  void offer(const OpenLabel& label);
  void pick_among_twins(const OpenLabel& label, std::span<const std::uint32_t> edges);
  bool narrow_drop() const;
  static bool cost_order_allowed(const RoadGraph& graph, double factor, const SearchTuning& tuning);
  static Cost rounding_reach(const RoadGraph& graph, double distance, double risk);
  static bool walks_allowed(const RoadGraph& graph, double factor, const SearchTuning& tuning,
                            bool cost_order);
  static bool keyed_walks_allowed(const RoadGraph& graph);
  static double largest_tie_reach(const RoadGraph& graph);
  bool near_tie_waiting(const OpenLabel& label) const;
  // Whether a walk in the order of the full key goes on along `arc`, from
  // the node at `place` to `to`, whatever the label's sums.
  bool walkable(const OutArc& arc, double familiarity, std::uint32_t place, DenseId to) {
    const double rise = weighted_cost(arc.distance_m, arc.risk_score, familiarity) +
                        (states_[place_of(to)].to_target_m - states_[place].to_target_m);
    return (arc.distance_m > gain_floor_.distance || arc.risk_score > gain_floor_.risk) &&
           rise > walk_rise_floor_;
  }
  // How far rounding can move the gap between the keys of two labels that
  // take the same arcs, along a walk of `arcs` arcs that brings one of them
  // to a node with this estimate with these sums (see keyed_walks_allowed):
  // (arcs + 2) * 2^-46 times the size of the sums, all non-negative there.
  static double tie_reach(std::size_t arcs, Cost cost, double familiarity,
                          double to_target_m) noexcept {
    const double size =
        cost.distance + cost.risk * kRiskWeight - familiarity * kFamiliarityWeight + to_target_m;
    return static_cast<double>(arcs + 2) * 0x1p-46 * size;
  }
  static bool skips_back_allowed(const RoadGraph& graph, const SearchTuning& tuning);

  // The place of dense node d, its state created on first use.
  std::uint32_t place_of(DenseId d) {
    std::uint32_t& stored = place_plus_one_[d];
    if (stored == 0) {
      states_.push_back({estimate_.metres_from(graph_.coordinates(d)), {}, d});
      stored = static_cast<std::uint32_t>(states_.size());
    }
    return stored - 1;
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

  // The key of a label with these sums, its estimate not yet added.
  double weighted(double distance, double risk, double familiarity) const noexcept {
    return weighted_cost(distance, risk, cost_order_ ? 0.0 : familiarity);
  }
  // In the cost order, a label was dropped for a cost no worse, which beats
  // it by `gaps` at most (per objective). Unless one gap is wider than
  // rounding could ever close, it is kept for narrow_drop() to judge once
  // the routes are known (see cost_order_allowed).
  void note_drop(Cost gaps) {
    if (gaps.distance > sure_gap_.distance || gaps.risk > sure_gap_.risk) return;
    constexpr std::size_t kMostNearDrops = 1u << 16;
    if (near_drops_.size() == kMostNearDrops) {
      close_call_ = true;
      return;
    }
    near_drops_.push_back(gaps);
  }

  void update_bounds();
  // Changes whenever what the lower bounds drop may change: a rule switched
  // on or off, or a new solution. Both counts only grow.
  std::uint32_t bounds_state() const noexcept { return bounds_.changes() + solutions_added_; }
  PruneRule bound_rule(Cost cost, double familiarity, std::uint32_t place) noexcept;
  bool pruned(Cost cost, double familiarity, std::uint32_t place) noexcept;
  bool guess_confirmed(const OpenLabel& label, std::uint32_t link) const;
  bool ties_differently(const OpenLabel& label) const noexcept;
  std::size_t working_bytes() const noexcept;
  void note_peak(std::size_t passing_bytes = 0) noexcept;
  void tidy_up();
  void collect_paths();

  bool extension_allowed(std::uint32_t walk_from, DenseId to, Cost cost) const;
  Cost cost_at(std::uint32_t link) const;
  std::vector<std::uint32_t> edges_to(std::uint32_t link) const;
  std::vector<NodeId> path_of(std::uint32_t link) const;

  const RoadGraph& graph_;
  const DenseId source_;
  const DenseId target_;
  const double factor_;  // the approximation factor 1 + eps
  const DistanceToTarget estimate_;
  LowerBounds bounds_;
  std::vector<std::uint32_t> place_plus_one_;  // per dense node: its place + 1, 0 = not met
  std::vector<NodeState> states_;              // by place
  NodeParetoSets sets_;
  PathArena links_;
  SolutionSet solutions_;
  std::uint32_t solutions_added_ = 0;  // inserts into solutions_, which may also remove
  OpenList open_;

  // The path arena is collected when it reaches this many links.
  std::uint32_t collect_paths_at_;
  const SearchTuning tuning_;
  SearchStats counters_;
  GiveUp gave_up_ = GiveUp::no;
  // Some label was dropped as it was pushed: the heap no longer holds what
  // it would without pruning, so labels that leave it exactly tied must be
  // interchangeable from now on (see update_bounds).
  bool checks_ties_ = false;
  // Labels leave the heap in the order of their distance and risk, whatever
  // their familiarity (see cost_order_allowed). A drop by a gap wider than
  // sure_gap_ in one objective is sound whatever the routes; narrower ones
  // wait in near_drops_. close_call_: the order might matter after all.
  const bool cost_order_;
  const Cost sure_gap_;
  std::vector<Cost> near_drops_;
  bool close_call_ = false;
  // In the cost order, per dense node: whether arcs leaving it have twins
  // (see pick_among_twins); null otherwise.
  const std::uint8_t* const twin_nodes_;
  struct TwinArc {
    DenseId head;
    double distance, risk;
    std::int64_t key;
    std::uint32_t index;
  };
  std::vector<TwinArc> twin_arcs_;       // scratch of pick_among_twins()
  std::vector<std::uint8_t> twin_skip_;  // its result
  // Labels walk through pass-through nodes (see walk()).
  const bool walks_;
  // The way straight back to a label's parent node is never offered (see
  // extend()).
  const bool skips_back_;
  // A new label is checked against its node's set before it is pushed (see
  // offer()). Where labels walk, it must stay: without it, labels that
  // leave the heap exactly tied send long requests back to start again
  // without pruning (tried on Andorra: 8 ms became 461 ms). Where labels step
  // from node to node through the heap and the way straight back is
  // skipped, it hardly ever drops one (on Andorra with familiarity at eps
  // 0.1, 4 % of the labels it read a set for) and costs a read of a set
  // that settle() reads again; a label it would drop is refused there.
  const bool looks_on_arrival_;
  const std::uint8_t* const pass_through_;
  std::vector<std::uint32_t> walked_edges_;  // scratch of walk()
  // Labels walk on a graph with familiarity, in the order of the full key
  // (see keyed_walks_allowed): each step must raise the key by more than
  // rounding can move it (tie_reach), and a label at the end of a walk must
  // not have a label no worse waiting at its node within that reach above
  // its key when it is about to settle.
  const bool keyed_walks_;
  // There a walk goes on only along arcs that raise every label's key by
  // more than walk_rise_floor_ and add more than gain_floor_ to its
  // distance or risk, whatever its sums: every label stops at the same
  // nodes.
  const double walk_rise_floor_;
  const Cost gain_floor_;
  // The arcs leaving each node, with heads and costs side by side.
  const RoadGraph::OutArcs out_arcs_;
  // Some arc has a familiarity that is not zero.
  const bool sums_familiarity_;
};

// Pruning changes what else sits in the open list, and with it the order in
// which labels of exactly equal key, distance and risk leave it: so while
// pruning, two such labels in a row must be interchangeable (the same node,
// familiarity and parent: twins along parallel arcs), or the search gives up
// and runs again without pruning (see ties_differently).
void Search::update_bounds() {
  auto next_key = [this] {
    const OpenLabel& next = open_.top();
    return weighted(next.distance, next.risk, next.familiarity) + states_[next.place].to_target_m;
  };
  // A label dropped as it was pushed counts as popped: it used to be, and
  // the start of the bounds is measured in the work of the labels handled.
  const std::uint64_t handled = counters_[Counter::popped] + counters_[PruneRule::beaten_at_node] +
                                counters_[Counter::walked];
  if (!bounds_.update(handled, next_key, solutions_, counters_)) return;
  // The exact bounds have come: what waits in the open list and is already
  // beyond reach goes now rather than when it comes up.
  note_peak();
  const std::size_t before = open_.size();
  open_.retain([this](const OpenLabel& label) {
    return bound_rule({label.distance, label.risk}, label.familiarity, label.place) ==
           PruneRule::none;
  });
  counters_[Counter::dropped_waiting] = before - open_.size();
}

// Whether a lower bound drops a label of cost `cost` and familiarity
// `familiarity` at `place`, counted by
// its rule.
bool Search::pruned(Cost cost, double familiarity, std::uint32_t place) noexcept {
  const PruneRule rule = bound_rule(cost, familiarity, place);
  if (rule == PruneRule::none) return false;
  ++counters_[rule];
  return true;
}

// The rule of a lower bound that drops a label. Each lowers a label's bound
// by a millionth, so every path through the label costs strictly more than
// the route that covers the bound, in every objective in which the path
// costs anything at all: in the cost order only a label of no cost, which
// might lead to a route of no cost, is a close call.
PruneRule Search::bound_rule(Cost cost, double familiarity, std::uint32_t place) noexcept {
  const NodeState& state = states_[place];
  const PruneRule rule = bounds_.rule(cost, familiarity, state.node, state.to_target_m, solutions_);
  if (cost_order_ && rule != PruneRule::none && rule != PruneRule::dead_end &&
      cost.distance == 0.0 && cost.risk == 0.0)
    close_call_ = true;
  return rule;
}

// The guess held when the first solution covers the bound of every label
// dropped for it and no label on its path had a key above the limit.
bool Search::guess_confirmed(const OpenLabel& label, std::uint32_t link) const {
  if (!bounds_.covers_guess_drops({label.distance, label.risk})) return false;
  // The keys summed again as extend() summed them, so with the same bits.
  double distance = 0.0, risk = 0.0, familiarity = 0.0;
  for (std::uint32_t e : edges_to(link)) {
    const Edge& edge = graph_.edge(e);
    distance = distance + edge.distance_m;
    risk = risk + edge.risk_score;
    familiarity = familiarity + edge.familiarity;
    const NodeState& state = states_[place_plus_one_[graph_.head(e)] - 1];
    const double key = weighted_cost(distance, risk, familiarity) + state.to_target_m;
    if (!(key <= bounds_.key_limit())) return false;
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

// `passing_bytes`: memory held only for the moment, such as a collection's
// marks.
void Search::note_peak(std::size_t passing_bytes) noexcept {
  const std::size_t bytes = working_bytes() + passing_bytes;
  if (bytes < counters_.peak_bytes) return;
  counters_.peak_bytes = bytes;
  counters_.peak_open_bytes = open_.capacity_bytes();
  counters_.peak_set_bytes = sets_.capacity_bytes();
  counters_.peak_arena_bytes = links_.capacity_bytes();
}

// Memory that a long search no longer needs: path links that lead to no
// waiting label and no solution, and segments that the per-node sets have
// moved out of. Neither is ever read again, so which routes the search finds
// does not change; only the numbers of the path links do, and the search
// compares those only for equality.
void Search::tidy_up() {
  if (links_.size() >= collect_paths_at_) collect_paths();
  if (sets_.wasteful()) {
    std::vector<NodeParetoSets::Segment*> segments;
    segments.reserve(states_.size());
    for (NodeState& state : states_) segments.push_back(&state.settled);
    note_peak(segments.capacity() * sizeof(NodeParetoSets::Segment*));
    sets_.compact(segments);
    ++counters_[Counter::set_compactions];
  }
}

// Marks every link on the path of a waiting label or a solution (a label's
// stall lies on its parent's path), then keeps only those, renumbered in
// their order. A parent always comes before its child, so one backward sweep
// over the arena marks whole paths, reading it in order rather than chasing
// each path through memory. The next collection comes when the arena has
// grown by half of what survived this one.
void Search::collect_paths() {
  const std::uint32_t size = links_.size();
  std::vector<std::uint64_t> live((std::size_t{size} + 63) / 64, 0);
  auto mark = [&](std::uint32_t i) {
    if (i != kNoParent) live[i / 64] |= std::uint64_t{1} << (i % 64);
  };
  open_.for_each([&](const OpenLabel& label) { mark(label.parent); });
  solutions_.for_each_link([&](std::uint32_t& link) { mark(link); });
  for (std::uint32_t i = size; i-- > 0;)
    if (live[i / 64] >> (i % 64) & 1) mark(links_[i].parent);
  // Live links before each word, then within it.
  std::vector<std::uint32_t> before(live.size());
  std::uint32_t count = 0;
  for (std::size_t w = 0; w < live.size(); ++w) {
    before[w] = count;
    count += static_cast<std::uint32_t>(std::popcount(live[w]));
  }
  note_peak(live.capacity() * sizeof(std::uint64_t) + before.capacity() * sizeof(std::uint32_t));
  auto renumber = [&](std::uint32_t i) {
    if (i == kNoParent) return kNoParent;
    const std::uint64_t below = live[i / 64] & ((std::uint64_t{1} << (i % 64)) - 1);
    return before[i / 64] + static_cast<std::uint32_t>(std::popcount(below));
  };
  links_.keep(live, renumber);
  open_.for_each([&](OpenLabel& label) {
    label.parent = renumber(label.parent);
    label.stall = renumber(label.stall);
  });
  solutions_.for_each_link([&](std::uint32_t& link) { link = renumber(link); });
  ++counters_[Counter::path_collections];
  const std::uint64_t next = std::uint64_t{count} + count / 2;
  collect_paths_at_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(
      std::max<std::uint64_t>(next, tuning_.collect_paths_from), kNoParent));
}

std::size_t Search::working_bytes() const noexcept {
  return open_.capacity_bytes() + sets_.capacity_bytes() + links_.capacity_bytes() +
         states_.capacity() * sizeof(NodeState) +
         place_plus_one_.capacity() * sizeof(std::uint32_t) + solutions_.capacity_bytes() +
         bounds_.capacity_bytes() + near_drops_.capacity() * sizeof(Cost);
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
  Cost cost{0.0, 0.0};
  for (std::uint32_t e : edges_to(link)) {
    cost.distance = cost.distance + graph_.edge(e).distance_m;
    cost.risk = cost.risk + graph_.edge(e).risk_score;
  }
  return cost;
}

// The edges of a settled label's path, from the source on.
std::vector<std::uint32_t> Search::edges_to(std::uint32_t link) const {
  std::vector<std::uint32_t> edges;
  for (std::uint32_t i = link; i != kNoParent; i = links_[i].parent)
    if (links_[i].edge != kNoEdge) edges.push_back(links_[i].edge);
  std::reverse(edges.begin(), edges.end());
  return edges;
}

std::vector<NodeId> Search::path_of(std::uint32_t link) const {
  std::size_t length = 0;
  for (std::uint32_t i = link; i != kNoParent; i = links_[i].parent) ++length;
  std::vector<NodeId> path(length);
  for (std::uint32_t i = link; i != kNoParent; i = links_[i].parent)
    path[--length] = graph_.id_of(node_of(links_[i]));
  return path;
}

// Approximation test: a solution within the factor of this label in both
// objectives makes it useless. The factor scales the label, not the solution;
// a NaN anywhere fails the test and keeps the label.
bool Search::approximately_covered(Cost cost) const noexcept {
  return solutions_.covers(factor_ * cost.distance, factor_ * cost.risk);
}

// In the cost order the heap's order decides nothing that matters (see
// cost_order_allowed), ties included.
Search::Verdict Search::bounded_out(const OpenLabel& label) {
  if (bounds_.active()) {
    // The bounds kept this label as it was pushed, and neither they nor
    // the solutions have changed since: they would keep it again.
    if (label.kept_in != bounds_state() + 1 &&
        pruned({label.distance, label.risk}, label.familiarity, label.place))
      return Verdict::drop;
  } else if (!checks_ties_) {
    return Verdict::keep;
  }
  return !cost_order_ && ties_differently(label) ? Verdict::give_up : Verdict::keep;
}

// Node-level dominance, then settling into the node's Pareto set and the
// path arena; returns the label's link there.
std::uint32_t Search::settle(const OpenLabel& label) {
  const Cost cost{label.distance, label.risk};
  NodeParetoSets::Segment& set = states_[label.place].settled;
  if (!sets_.settle(set, cost)) {
    if (cost_order_) note_drop(sets_.widest_gaps(set, cost));
    return kNoParent;
  }
  ++counters_[Counter::settled];
  return links_.append({label.edge, label.parent});
}

void Search::extend(const OpenLabel& label, std::uint32_t link) {
  const Cost cost{label.distance, label.risk};
  // The node the label came from. Going straight back there adds no less
  // than nothing to either cost, and the label it came from settled there,
  // so that node's set rules the new label out as it arrives (a set gives a
  // cost up only for one no worse): it is counted as such a drop without
  // the lookup. Familiarity plays no part in it.
  const DenseId came_from =
      skips_back_ && label.parent != kNoParent ? node_of(links_[label.parent]) : RoadGraph::kAbsent;
  const DenseId here = states_[label.place].node;
  const std::span<const OutArc> arcs = out_arcs_.of(here);
  const bool twins = twin_nodes_ != nullptr && twin_nodes_[here] != 0;
  if (twins) pick_among_twins(label, graph_.out_edge_indices(here));
  for (std::size_t i = 0; i < arcs.size(); ++i) {
    const OutArc& arc = arcs[i];
    const std::uint32_t e = arc.edge;
    const DenseId to = arc.head;
    if (twins && twin_skip_[i] != 0) {
      ++counters_[PruneRule::beaten_at_node];
      checks_ties_ = true;
      continue;
    }
    const Cost next{label.distance + arc.distance_m, label.risk + arc.risk_score};
    // Where every arc's familiarity is zero, a sum that starts at +0.0
    // stays +0.0 whatever is added, so there is none to read.
    const double familiarity =
        sums_familiarity_ ? label.familiarity + out_arcs_.familiarity(arc) : label.familiarity;
    if (to == came_from) {
      ++counters_[PruneRule::beaten_at_node];
      checks_ties_ = true;
      continue;
    }
    // The latest non-gaining step of the new path, where a walk back along
    // it must start.
    const std::uint32_t stall = gains(cost, next) ? label.stall : link;
    if (stall != kNoParent) {
      ++counters_[Counter::cycle_walks];
      if (!extension_allowed(stall, to, next)) continue;
    }
    if (walks_ && stall == kNoParent && pass_through_[to] != 0 && to != target_ && to != source_ &&
        walk(here, link, e, next, familiarity))
      continue;
    const std::uint32_t to_place = place_of(to);
    offer({0, next.distance, next.risk, familiarity, to_place, link, e, stall});
  }
}

// Pushes a new label unless a rule drops it at once. Its key is worked out
// here.
void Search::offer(const OpenLabel& candidate) {
  const Cost cost{candidate.distance, candidate.risk};
  // A label that its node's set already rules out would be refused there
  // when popped (see checks_ties_), having done nothing but wait.
  const NodeParetoSets::Segment& set = states_[candidate.place].settled;
  bounds_.prefetch(states_[candidate.place].node);
  if (looks_on_arrival_ && sets_.rules_out(set, cost)) {
    ++counters_[PruneRule::beaten_at_node];
    checks_ties_ = true;
    if (cost_order_) note_drop(sets_.widest_gaps(set, cost));
    return;
  }
  OpenLabel label = candidate;
  if (bounds_.active()) {
    if (pruned(cost, candidate.familiarity, candidate.place)) return;
    label.kept_in = bounds_state() + 1;
  }
  const double key = weighted(cost.distance, cost.risk, candidate.familiarity) +
                     states_[candidate.place].to_target_m;
  label.key_rank = key_rank(key);
  open_.push(label);
  ++counters_[Counter::pushed];
}

// Walks through pass-through nodes. A label that enters a street's shape
// points from one end can only go on to the other end (turning back is
// ruled out where it came from: it returns there with more cost), so it is
// carried there at once, its sums added arc by arc in path order as the
// search would add them, with a path link per node passed, and only the
// label at the far end is offered to the heap.
//
// It is the same search, for these reasons (the graph's costs finite and
// non-negative, eps >= 0, so that sums, keys and the eps test only grow
// along a path; and no familiarity, or the cost order, so that keys order
// labels at one node as their costs do, or with familiarity what
// keyed_walks_allowed says instead):
// - The labels at the nodes passed would leave the heap, in order, before
//   the label at the far end: the walk stops where a key would not rise
//   strictly, so each of them is strictly better than the far end's.
//   Pushing the far end early therefore changes no pop but the order of
//   exact ties, which the search checks (checks_ties_).
// - Their tests, skipped: a label that the eps test, a bound or a node's
//   set would have dropped at a node passed reaches the far end worse in
//   both costs. The eps test and a bound drop it there too, or it is a label
//   that could only have been dropped (one a bound drops never dominates a
//   kept label). A label no worse that settled at the node passed came from
//   the same end, and its own walk reaches the far end first, no worse; or
//   it came from the far end, and the label it came from, settled there
//   before, is no worse than this one when it arrives.
// - The sets of the nodes passed stay empty, and a label arriving at one
//   of them never meets another there: each is dropped, if at all, at the
//   end of its walk, by the argument above.
// With familiarity, in the order of the full key, a label no worse that
// came from the same end might reach the far end with a key just above the
// walking label's, by rounding: each arc walked must then raise every
// label's key by more than rounding can move it (walkable), and the label
// about to settle at the far end checks for such a label waiting
// (near_tie_waiting).
// `from` is the label's node, `link` its path link, `edge` the arc it takes.
// Returns false, having changed nothing, when the label should be pushed
// at `edge`'s head as usual: no step could be walked.
bool Search::walk(DenseId from, std::uint32_t link, std::uint32_t edge, Cost cost,
                  double familiarity) {
  walked_edges_.clear();
  DenseId at = graph_.head(edge);
  std::uint32_t place = place_of(at);
  std::int64_t rank =
      key_rank(weighted(cost.distance, cost.risk, familiarity) + states_[place].to_target_m);
  std::uint32_t step = edge;
  const DenseId origin = from;
  // `at` is a pass-through node reached by `step`; go on while the next
  // node's label would rise strictly in key and gain in cost.
  while (pass_through_[at] != 0 && at != target_ && at != source_) {
    const OutArc* const onward_arc = out_arcs_.onward(at, from);
    if (onward_arc == nullptr) break;
    const std::uint32_t onward = onward_arc->edge;
    const DenseId to = onward_arc->head;
    if (to == origin) break;  // a ring of shape points, back where it started
    const double arc_familiarity = sums_familiarity_ ? out_arcs_.familiarity(*onward_arc) : 0.0;
    if (keyed_walks_ && !walkable(*onward_arc, arc_familiarity, place, to)) break;
    const Cost next{cost.distance + onward_arc->distance_m, cost.risk + onward_arc->risk_score};
    if (!gains(cost, next)) break;
    const double next_familiarity = sums_familiarity_ ? familiarity + arc_familiarity : familiarity;
    const std::uint32_t to_place = place_of(to);
    const std::int64_t next_rank = key_rank(weighted(next.distance, next.risk, next_familiarity) +
                                            states_[to_place].to_target_m);
    if (!(next_rank > rank)) break;
    walked_edges_.push_back(step);
    from = at;
    at = to;
    place = to_place;
    step = onward;
    cost = next;
    familiarity = next_familiarity;
    rank = next_rank;
  }
  if (walked_edges_.empty()) return false;
  std::uint32_t parent = link;
  for (std::uint32_t e : walked_edges_) parent = links_.append({e, parent});
  counters_[Counter::walked] += walked_edges_.size();
  checks_ties_ = true;
  OpenLabel end{0, cost.distance, cost.risk, familiarity, place, parent, step, kNoParent};
  end.walked = static_cast<std::uint32_t>(walked_edges_.size() + 1);
  offer(end);
  return true;
}

// Arcs from one node to the same node with the same length and risk
// (duplicated ways) give labels of equal cost and node path. The full key
// takes first the one of least key, whose familiarity is largest: it alone
// can settle, the others arriving with its very cost. So only that arc is
// followed here; twin_skip_ marks the others among `edges`. When two of
// them share the least key but not their familiarity, the heap's layout
// would decide, and the search gives up; with the same familiarity too,
// their labels are the same and the first is followed. Sorting costs a
// node's arcs in log of their number, where a pairwise look would cost
// their square (a million duplicated arcs are a hostile graph's business).
void Search::pick_among_twins(const OpenLabel& label, std::span<const std::uint32_t> edges) {
  std::vector<TwinArc>& arcs = twin_arcs_;
  arcs.clear();
  for (std::uint32_t i = 0; i < edges.size(); ++i) {
    const Edge& e = graph_.edge(edges[i]);
    const DenseId head = graph_.head(edges[i]);
    const double key = weighted_cost(label.distance + e.distance_m, label.risk + e.risk_score,
                                     label.familiarity + e.familiarity) +
                       states_[place_of(head)].to_target_m;
    arcs.push_back({head, e.distance_m, e.risk_score, key_rank(key), i});
  }
  auto same_way = [](const TwinArc& a, const TwinArc& b) {
    return a.head == b.head && a.distance == b.distance && a.risk == b.risk;
  };
  std::sort(arcs.begin(), arcs.end(), [](const TwinArc& a, const TwinArc& b) {
    if (a.head != b.head) return a.head < b.head;
    if (a.distance != b.distance) return a.distance < b.distance;
    if (a.risk != b.risk) return a.risk < b.risk;
    if (a.key != b.key) return a.key < b.key;
    return a.index < b.index;
  });
  twin_skip_.assign(edges.size(), 0);
  std::size_t first = 0;  // of the current run of twins: the one followed
  for (std::size_t k = 1; k < arcs.size(); ++k) {
    if (!same_way(arcs[first], arcs[k])) {
      first = k;
      continue;
    }
    twin_skip_[arcs[k].index] = 1;
    if (arcs[first].key == arcs[k].key &&
        total_order_rank(graph_.edge(edges[arcs[first].index]).familiarity) !=
            total_order_rank(graph_.edge(edges[arcs[k].index]).familiarity))
      close_call_ = true;
  }
}

// Whether a drop noted as near could have decided between two paths of
// equal cost: no route, nor any part of one, sums to more than the largest
// distance and risk among the routes, so no two sums that differ by more
// than rounding_reach() of those can ever meet.
bool Search::narrow_drop() const {
  double distance = 0.0, risk = 0.0;
  for (const SolutionSet::Solution& s : solutions_.solutions()) {
    distance = std::max(distance, s.cost.distance);
    risk = std::max(risk, s.cost.risk);
  }
  const Cost reach = rounding_reach(graph_, distance, risk);
  return std::any_of(near_drops_.begin(), near_drops_.end(), [&](Cost gaps) {
    return !(gaps.distance > reach.distance) && !(gaps.risk > reach.risk);
  });
}

// The cost order. With eps 0.0 every Pareto-optimal (distance, risk) is a
// route, whatever the order in which labels leave the heap; the order only
// decides between paths of exactly equal cost, and the order of the routes.
// Familiarity enters the key alone, so on a graph with familiarity labels
// leave out of the order of their costs, and many are settled only to be
// beaten at their node later. Where every cost is finite and non-negative,
// the search orders them as if no arc had a familiarity (still summing it),
// with everything a graph without familiarity allows (walks through shape
// points), and comes to the same routes unless it meets a close call: a
// label dropped by a cost so close that rounding along a route could close
// the gap (an exact tie included), twin arcs that tie in the full key with
// different familiarity, a label of no cost dropped by a bound, or two
// routes that tie for a pick. Then the order might decide, and the search
// runs again in the order of the full key. docs/search.md has the argument.
bool Search::cost_order_allowed(const RoadGraph& graph, double factor, const SearchTuning& tuning) {
  if (!tuning.prune || !tuning.cost_order || factor != 1.0) return false;
  const ArcBounds facts = graph.arc_bounds();
  return !facts.no_familiarity && sums_stay_finite(facts);
}

// How far apart two sums can start and still end equal when the same arcs
// are added to both, along any simple path whose sums stay below `distance`
// and `risk`: each addition rounds each sum by at most half a unit in the
// last place of the largest (2^-53 of it, relative), so their difference
// moves by at most 2^-52 of it per arc, over fewer arcs than the graph has
// nodes. Twice that, per objective.
Cost Search::rounding_reach(const RoadGraph& graph, double distance, double risk) {
  constexpr double kPerArc = 2.0 * 0x1p-52;
  const double arcs = static_cast<double>(graph.dense_count());
  return {kPerArc * arcs * distance, kPerArc * arcs * risk};
}

bool Search::skips_back_allowed(const RoadGraph& graph, const SearchTuning& tuning) {
  if (!tuning.prune) return false;
  const ArcBounds facts = graph.arc_bounds();
  return facts.non_negative && facts.finite;
}

bool Search::walks_allowed(const RoadGraph& graph, double factor, const SearchTuning& tuning,
                           bool cost_order) {
  if (!tuning.prune || !tuning.walk_through || !(factor >= 1.0)) return false;
  const ArcBounds facts = graph.arc_bounds();
  return facts.non_negative && facts.finite &&
         (facts.no_familiarity || cost_order || keyed_walks_allowed(graph));
}

// Walks on a graph with familiarity, in the order of the full key. Keys no
// longer order the labels at one node as their costs do, and the walk's
// argument (see walk()) needs this in its place: a label no worse than the
// walking one, which left the heap before it at a node passed and came from
// the same end, leaves before it at the walk's end too. In exact arithmetic
// it would: from that node on, the same arcs add the same amounts to both
// keys, and the estimate at a node is the same for both. In floating point
// each sum rounds by at most half a unit in its last place, and each key by
// a few, so the gap between the two keys moves, over the arcs of the walk
// and any chain of labels that take over from one another at its nodes, by
// at most (arcs + 2) * 2^-48 times the size of the sums (distance, 500 risk,
// 200 familiarity and the estimate, at most twice their size at the walk's
// end on the way); tie_reach() allows four times that. Two rules make that
// enough:
// - A walk goes on only along an arc that raises the key by more than any
//   label's reach, as the arc alone tells (its weighted sum plus the change
//   of the estimate, above largest_tie_reach()), and adds to distance or
//   risk more than rounding can absorb. So every label that walks a street
//   stops at the same nodes, and every label of the no-worse label's way
//   that waits before the walk's end has a key below the walking label's
//   there and leaves first: the no-worse label is at the end, settled or
//   waiting, before the walking one leaves the heap there.
// - A label at a walk's end about to settle while one no worse waits at its
//   node within its reach above its key is a near tie: the search gives up
//   and runs again without walks (near_tie_waiting). Otherwise the no-worse
//   label came first and the walking one is dropped there.
// Where this holds:
// - costs finite and non-negative, familiarity too, and all arcs' sums far
//   below the largest double: sums only grow along a path, so the size at
//   a label bounds every sum on its way;
// - every arc at least as long as the great circle between its ends, but
//   for a ten-millionth: the estimate at a node on a path is then no more
//   than the distance still to go along it, so the estimates on the way
//   are bounded too;
// - fewer than 2^24 nodes: over a whole route the gap moves by less than
//   2^-23 of the sums, far inside the millionth by which the key floors
//   behind the guessed first route give way, so a label that the guess lets
//   through because a label no worse was dropped for it still cannot come
//   first (its routes' keys stay above the guessed path's limit).
bool Search::keyed_walks_allowed(const RoadGraph& graph) {
  constexpr double kLargestTotal = 1e300;
  constexpr double kLeastRatio = 1.0 - 1e-7;
  constexpr std::size_t kMostNodes = std::size_t{1} << 24;
  const ArcBounds facts = graph.arc_bounds();
  return sums_stay_finite(facts) && facts.familiarity_non_negative &&
         weighted_cost(facts.total_distance, facts.total_risk, -facts.total_familiarity) <
             kLargestTotal &&
         facts.length_ratio >= kLeastRatio && graph.dense_count() < kMostNodes;
}

// A reach above every label's: tie_reach() for a walk through every node,
// with twice the sums of all arcs and the largest estimate (half the
// earth's circumference) as the size, and room for the rounding of a key's
// rise along one arc.
double Search::largest_tie_reach(const RoadGraph& graph) {
  constexpr double kLargestEstimate = 2.1e7;
  constexpr std::size_t kRoundingRoom = 14;
  const ArcBounds facts = graph.arc_bounds();
  return tie_reach(graph.dense_count() + kRoundingRoom,
                   {2.0 * facts.total_distance, 2.0 * facts.total_risk},
                   2.0 * facts.total_familiarity, kLargestEstimate);
}

// Whether a label no worse than `label` waits at its node with a key so
// little above its own that, on a way of the same arcs from an earlier
// node, rounding might have put it first (see keyed_walks_allowed). Labels
// of exactly the same key and costs are left to ties_differently().
bool Search::near_tie_waiting(const OpenLabel& label) const {
  const double to_target_m = states_[label.place].to_target_m;
  const Cost cost{label.distance, label.risk};
  const double key = weighted(cost.distance, cost.risk, label.familiarity) + to_target_m;
  const double reach =
      tuning_.near_tie_scale * tie_reach(label.walked, cost, label.familiarity, to_target_m);
  return open_.any_up_to(key_rank(key + reach), [&](const OpenLabel& other) {
    if (other.place != label.place || !(other.distance <= label.distance) ||
        !(other.risk <= label.risk))
      return false;
    return other.key_rank != label.key_rank || other.distance != label.distance ||
           other.risk != label.risk;
  });
}

std::vector<SettledLabel> Search::run(Paths paths) {
  // The first label has key 0.0: no estimate is added for it.
  open_.push({key_rank(0.0), 0.0, 0.0, 0.0, place_of(source_), kNoParent, kNoEdge, kNoParent});
  counters_[Counter::pushed] = 1;

  while (!open_.empty()) {
    update_bounds();
    if (close_call_) break;
    if (open_.empty()) break;  // the exact bounds may have emptied it
    tidy_up();
    counters_.most_waiting = std::max<std::uint64_t>(counters_.most_waiting, open_.size());
    const OpenLabel label = open_.pop();
    ++counters_[Counter::popped];
    if (solutions_.empty()) ++counters_[Counter::popped_before_solution];
    prefetch_next_pops();

    if (approximately_covered({label.distance, label.risk})) {
      if (cost_order_) note_drop(solutions_.widest_gaps({label.distance, label.risk}));
      continue;
    }
    const Verdict verdict = bounded_out(label);
    if (verdict == Verdict::drop) continue;
    if (verdict == Verdict::give_up) {
      counters_.restarted = true;
      gave_up_ = GiveUp::tie;
      break;
    }
    if (keyed_walks_ && label.walked != 0 && near_tie_waiting(label)) {
      counters_.restarted = true;
      ++counters_[Counter::near_ties];
      gave_up_ = GiveUp::walk;
      break;
    }
    const std::uint32_t link = settle(label);
    if (link == kNoParent) continue;
    // A label at the target is a solution and is never extended, so no path
    // passes through the target.
    if (states_[label.place].node == target_) {
      if (bounds_.guessing()) {
        bounds_.end_guess();
        if (!guess_confirmed(label, link)) {
          counters_.restarted = true;
          ++counters_[Counter::guess_failed];
          gave_up_ = GiveUp::guess;
          break;
        }
      }
      solutions_.insert({{label.distance, label.risk}, label.familiarity, link});
      ++solutions_added_;
      continue;
    }
    extend(label, link);
  }
  if (close_call_ || (cost_order_ && gave_up_ == GiveUp::no && narrow_drop())) {
    counters_.restarted = true;
    ++counters_[Counter::close_calls];
    gave_up_ = GiveUp::order;
  }
  // No solution came to confirm the guess: it cannot have been right, and
  // what it dropped may have been the way to one.
  if (gave_up_ == GiveUp::no && bounds_.guess_unconfirmed()) {
    counters_.restarted = true;
    ++counters_[Counter::guess_failed];
    gave_up_ = GiveUp::guess;
  }

  std::vector<SettledLabel> result;
  const std::vector<SolutionSet::Solution>& found = solutions_.solutions();
  result.reserve(found.size());
  for (const SolutionSet::Solution& s : found) {
    result.push_back({graph_.id_of(target_), s.cost.distance, s.cost.risk, s.familiarity,
                      paths == Paths::every ? path_of(s.link) : std::vector<NodeId>{}});
  }
  if (paths != Paths::every && !result.empty()) {
    for (std::size_t k : pick_positions(result))
      if (result[k].path.empty()) result[k].path = path_of(found[k].link);
  }
  counters_[Counter::nodes_met] = states_.size();
  // Every container only grows during the search, except when the exact
  // bounds empty the open list or the search tidies up, which is measured
  // just before.
  note_peak();
  return result;
}

}  // namespace

std::vector<SettledLabel> astar_pex(const RoadGraph& graph, RoadGraph::DenseId source,
                                    RoadGraph::DenseId target, double eps, SearchStats* stats,
                                    const SearchTuning& tuning, Paths paths) {
  require(source < graph.dense_count() && target < graph.dense_count(),
          "route search called with a node the graph does not know");
  // A search that gives up is run again with less pruning: without the
  // guess of its first solution when that failed, in the order of the full
  // key when the cost order met a close call, without any pruning when a
  // tie might have been decided differently. Every run's work counts.
  SearchTuning current = tuning;
  current.leave_out_non_picks = tuning.leave_out_non_picks && paths == Paths::picks_only;
  SearchStats total;
  for (;;) {
    Search search(graph, source, target, eps, current);
    std::vector<SettledLabel> found = search.run(paths);
    Search::GiveUp gave_up = search.gave_up();
    // The cost order finds the routes in another order than the full key;
    // only a tie between picks would let that order show.
    if (gave_up == Search::GiveUp::no && search.in_cost_order() && picks_depend_on_order(found)) {
      gave_up = Search::GiveUp::order;
      total[Counter::close_calls] += 1;
      total.restarted = true;
    }
    if (gave_up == Search::GiveUp::no && search.picks_unconfirmed(found)) {
      gave_up = Search::GiveUp::picks;
      total.restarted = true;
    }
    total.add(search.counters());
    if (gave_up == Search::GiveUp::no || !current.prune) {
      if (stats != nullptr) *stats = total;
      return found;
    }
    if (gave_up == Search::GiveUp::guess)
      current.guess_first_solution = false;
    else if (gave_up == Search::GiveUp::order)
      current.cost_order = false;
    else if (gave_up == Search::GiveUp::walk)
      current.walk_through = false;
    else if (gave_up == Search::GiveUp::picks)
      current.leave_out_non_picks = false;
    else
      current.prune = false;
  }
}

}  // namespace velorin
