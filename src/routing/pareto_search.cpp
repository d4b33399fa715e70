#include "routing/pareto_search.hpp"

#include <algorithm>

#include "fault/internal_fault.hpp"
#include "routing/cost_order.hpp"
#include "routing/great_circle.hpp"
#include "routing/open_list.hpp"
#include "routing/pareto_set.hpp"

namespace velorin {
namespace {

using DenseId = RoadGraph::DenseId;

constexpr double kRiskWeight = 500.0;
constexpr double kFamiliarityWeight = -200.0;

// One settled label in the path arena. Labels share path prefixes: a label's
// path is its parent's path followed by its own node, so the search stores one
// link per settled label instead of one path copy per label.
struct PathLink {
  Cost cost;
  DenseId node;
  std::uint32_t parent;  // kNoParent for the source's first label
  // The latest link on this path whose next step did not strictly gain in
  // cost (see extension_allowed); kNoParent when every step gained.
  std::uint32_t stall;
};

struct Solution {
  Cost cost;
  double familiarity;
  std::uint32_t link;
};

inline Cost cost_of(const Solution& s) noexcept {
  return s.cost;
}

// A step gains when it makes the cost no better in either objective and worse
// in one: the new cost is dominated by the old. Along a path of gaining steps
// costs only grow, so any cycle made of them leads back to its start with a
// cost that the start dominates.
inline bool gains(Cost from, Cost to) noexcept {
  return dominates(from, to);
}

// Per-node state, created when the search first meets the node.
struct NodeState {
  double to_target_m;               // heuristic, computed once per node and request
  NodeParetoSets::Segment settled;  // the node's Pareto set
};

class Search {
 public:
  Search(const RoadGraph& graph, DenseId target)
      : graph_(graph),
        target_(target),
        estimate_(graph.coordinates(target)),
        slot_of_(graph.dense_count(), 0) {}

  std::vector<SettledLabel> run(DenseId source, double eps, SearchStats* stats);

 private:
  // The state of dense node d, created on first use.
  NodeState& state(DenseId d) {
    std::uint32_t& slot = slot_of_[d];
    if (slot == 0) {
      states_.push_back({estimate_.metres_from(graph_.coordinates(d)), {}});
      slot = static_cast<std::uint32_t>(states_.size());
    }
    return states_[slot - 1];
  }

  bool extension_allowed(std::uint32_t walk_from, DenseId to, Cost cost) const noexcept;
  std::vector<NodeId> path_of(std::uint32_t link) const;

  const RoadGraph& graph_;
  const DenseId target_;
  const DistanceToTarget estimate_;
  std::vector<std::uint32_t> slot_of_;  // per dense node: index + 1 into states_, 0 = not met
  std::vector<NodeState> states_;
  NodeParetoSets sets_;
  std::vector<PathLink> links_;
  std::vector<Solution> solutions_;
  OpenList open_;
  std::uint64_t cycle_walks_ = 0;
};

// Termination guard. Extending a label to a node already on its own path is
// allowed only when the new cost is dominated by the cost the path had at that
// earlier visit: such a label is discarded when popped (the node's Pareto set
// still holds that visit or something dominating it), so pushing it leaves the
// open list exactly as it would be without the guard. Cycles that gain
// nothing, lose cost, or make a sum NaN are refused, so every settled label
// has a simple path and the search ends.
//
// Only cycles through a step that did not gain need this walk; a cycle of
// gaining steps is always dominated. So the walk starts at the latest such
// step, and on graphs where every step gains (non-negative costs, each edge
// positive in distance or risk, sums not large enough to absorb an edge) it
// never runs at all.
bool Search::extension_allowed(std::uint32_t walk_from, DenseId to, Cost cost) const noexcept {
  for (std::uint32_t i = walk_from; i != kNoParent; i = links_[i].parent) {
    if (links_[i].node == to) return dominates(links_[i].cost, cost);
  }
  return true;
}

std::vector<NodeId> Search::path_of(std::uint32_t link) const {
  std::size_t length = 0;
  for (std::uint32_t i = link; i != kNoParent; i = links_[i].parent) ++length;
  std::vector<NodeId> path(length);
  for (std::uint32_t i = link; i != kNoParent; i = links_[i].parent)
    path[--length] = graph_.id_of(links_[i].node);
  return path;
}

std::vector<SettledLabel> Search::run(DenseId source, double eps, SearchStats* stats) {
  const double factor = 1.0 + eps;
  std::uint64_t popped = 0;
  std::uint64_t pushed = 1;

  // The first label has key 0.0: no estimate is added for it.
  open_.push({key_rank(0.0), 0.0, 0.0, 0.0, source, kNoParent});

  while (!open_.empty()) {
    const OpenLabel label = open_.pop();
    ++popped;
    const Cost cost{label.distance, label.risk};

    // Approximation test: a solution within the factor of this label in both
    // objectives makes it useless. The factor scales the label, not the
    // solution; a NaN anywhere fails the test and keeps the label.
    bool covered = false;
    for (const Solution& s : solutions_) {
      if (s.cost.distance <= factor * cost.distance && s.cost.risk <= factor * cost.risk) {
        covered = true;
        break;
      }
    }
    if (covered) continue;

    // Node-level dominance, then settling into the node's Pareto set.
    if (!sets_.settle(state(label.node).settled, cost)) continue;

    require(links_.size() < kNoParent, "route search settled more labels than it can number");
    const auto link = static_cast<std::uint32_t>(links_.size());
    std::uint32_t stall = kNoParent;
    if (label.parent != kNoParent) {
      const PathLink& parent = links_[label.parent];
      stall = gains(parent.cost, cost) ? parent.stall : label.parent;
    }
    links_.push_back({cost, label.node, label.parent, stall});

    // A label at the target is a solution and is never extended, so no path
    // passes through the target.
    if (label.node == target_) {
      pareto_insert(solutions_, Solution{cost, label.familiarity, link});
      continue;
    }

    for (std::uint32_t e : graph_.out_edge_indices(label.node)) {
      const Edge& edge = graph_.edge(e);
      const DenseId to = graph_.head(e);
      const Cost next{label.distance + edge.distance_m, label.risk + edge.risk_score};
      const double familiarity = label.familiarity + edge.familiarity;
      const std::uint32_t walk_from = gains(cost, next) ? stall : link;
      if (walk_from != kNoParent) {
        ++cycle_walks_;
        if (!extension_allowed(walk_from, to, next)) continue;
      }
      // Evaluated left to right, each product rounded before it is added.
      const double key =
          ((next.distance + next.risk * kRiskWeight) + familiarity * kFamiliarityWeight) +
          state(to).to_target_m;
      open_.push({key_rank(key), next.distance, next.risk, familiarity, to, link});
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
    stats->pushed = pushed;
    stats->settled = links_.size();
    stats->cycle_walks = cycle_walks_;
    // Every container only grows during the search, so its final capacity is
    // its peak.
    stats->peak_bytes =
        open_.capacity_bytes() + sets_.capacity_bytes() + links_.capacity() * sizeof(PathLink) +
        states_.capacity() * sizeof(NodeState) + slot_of_.capacity() * sizeof(std::uint32_t) +
        solutions_.capacity() * sizeof(Solution);
  }
  return result;
}

}  // namespace

std::vector<SettledLabel> astar_pex(const RoadGraph& graph, RoadGraph::DenseId source,
                                    RoadGraph::DenseId target, double eps, SearchStats* stats) {
  require(source < graph.dense_count() && target < graph.dense_count(),
          "route search called with a node the graph does not know");
  Search search(graph, target);
  return search.run(source, eps, stats);
}

}  // namespace velorin
