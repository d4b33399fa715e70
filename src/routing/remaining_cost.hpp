// The least cost still to go from every node to one target, found by two
// Dijkstra searches that run backwards from the target over the reverse arcs.
// They give the route search exact lower bounds per objective.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "graph/road_graph.hpp"
#include "routing/cost_order.hpp"
#include "routing/distance_to_target.hpp"

namespace velorin {

struct RemainingCost {
  // Per dense node: the least distance and the least risk of any path to the
  // target (each on its own; usually two different paths) where a search
  // settled the node, and no less than `beyond` elsewhere (+inf where no
  // search reached it).
  std::vector<Cost> settled;
  // Per objective, the cost at which its search stopped (see
  // remaining_cost()): every node it did not settle lies at least that far
  // from the target. +inf when the search ran out of nodes, so that +inf
  // then means that the target cannot be reached.
  Cost beyond{INFINITY, INFINITY};
  // Nodes that the search for the least distance gave a cost, shape points
  // included: what a backward search costs on this request.
  std::uint64_t reached_nodes = 0;

  // At most the least cost still to go from dense node d, per objective:
  // exact as far as the searches went, beyond that the cost they reached.
  Cost at(RoadGraph::DenseId d) const noexcept {
    const Cost c = settled[d];
    return {c.distance < beyond.distance ? c.distance : beyond.distance,
            c.risk < beyond.risk ? c.risk : beyond.risk};
  }
};

// Each search stops once it has settled every node whose least cost is at
// most `reach` times the source's (INFINITY: every node); the nodes beyond
// get the radius reached, a lower bound. A request only meets nodes whose
// bounds matter near the source's, so searching the whole graph would mostly
// pay for nodes it never meets, and nothing here costs more than what the
// searches settle and one table of 16 bytes per node. Needs every arc cost
// finite and non-negative (Dijkstra's algorithm is wrong otherwise); both
// nodes must be dense numbers of `graph`.
RemainingCost remaining_cost(const RoadGraph& graph, RoadGraph::DenseId source,
                             RoadGraph::DenseId target, double reach);

// Costs of paths from source to target, summed forwards along each path as
// the route search sums them, by rising distance and falling risk, close to
// the exact front: a bi-objective search ordered by the exact bounds, which
// settles only labels that can still reach the front, and gives up a label
// whose risk is within a thousandth of one settled before it (see
// kFrontThinning), taking labels in narrow buckets of distance rather than
// in exact order (see FrontOpenList). Every cost is that of a real path,
// which is all that pruning with them needs; the thinning and the buckets
// make the search several times cheaper on a long request. Same
// preconditions as remaining_cost().
// A search that would pop more than `most_pops` labels stops there, with
// no costs. With `covered` (a staircase: distance rising, risk falling), it
// also gives up every label whose bound is no less than one of its steps in
// both objectives: the costs it finds are then those of the front outside
// the steps' quadrants, still each a real path's.
struct KnownFront {
  std::vector<Cost> costs;   // by rising distance and falling risk
  std::uint64_t popped = 0;  // labels the search took from its open list
  bool complete = true;      // false: stopped at most_pops
};
KnownFront known_front(const RoadGraph& graph, RoadGraph::DenseId source, RoadGraph::DenseId target,
                       const RemainingCost& remaining, std::uint64_t most_pops = UINT64_MAX,
                       const std::vector<Cost>* covered = nullptr);

// The costs of the shortest path from source to target (least distance,
// and of those the least risk) and of the safest (least risk, and of those
// the least distance), each summed forwards along its path as the route
// search sums it, so with the same bits as the route search's shortest and
// safest routes at eps 0.0. Two bi-objective searches, each ordered by the
// exact bound of its own objective, that settle only labels whose bound can
// still come within rounding of the best found so far: on a long request a
// narrow band around each path. Exact in every rounding: a label is given up
// only when a label settled at its node is no worse in both objectives.
// Same preconditions as remaining_cost(). Both costs +inf when the target is
// out of reach; `complete` is false, with no costs, when the two would pop
// more than `most_pops` labels together.
struct EndCosts {
  Cost shortest{INFINITY, INFINITY};
  Cost safest{INFINITY, INFINITY};
  std::uint64_t popped = 0;
  bool complete = true;
};
EndCosts end_costs(const RoadGraph& graph, RoadGraph::DenseId source, RoadGraph::DenseId target,
                   const RemainingCost& remaining, std::uint64_t most_pops = UINT64_MAX);

// Finite costs by rising distance, each kept unless one no longer is at
// least as safe: distance rising, risk falling.
std::vector<Cost> staircase(std::vector<Cost> costs);

// The distance and risk of a path from source to target whose weighted sum
// distance + risk_weight * risk is least, or within rounding of least, summed
// forwards along the path as the route search sums them; both +inf when the
// target is out of reach. An A* search guided by the exact bounds. Same
// preconditions as remaining_cost().
Cost least_weighted_path(const RoadGraph& graph, RoadGraph::DenseId source,
                         RoadGraph::DenseId target, const RemainingCost& remaining,
                         double risk_weight);

// A floor for the key that an arc adds to a label, familiarity included: the
// arc's non-negative parts (distance, 500 x risk, and -200 x familiarity when
// familiarity is negative) lowered by a millionth, less the part that
// familiarity takes off (200 x a positive familiarity) raised by a millionth.
// Along any path the sum of these floors stays below what the path adds to a
// key, by a millionth of the sum of those parts' sizes: more than all the
// rounding of the search's sums, even where familiarity nearly cancels
// distance and risk.
double arc_key_floor(const Edge& arc) noexcept;

// The same floor for a label's own sums: at most its key before the
// estimate, by a millionth of the sizes of its parts.
double key_floor(double distance, double risk, double familiarity) noexcept;

// Per dense node, at most the least sum of arc_key_floor() over any path to
// the target (+inf where the target cannot be reached), by a Dijkstra search
// backwards that stops as remaining_cost() does: exact where it settled the
// node, no less than `beyond` elsewhere.
struct RemainingKey {
  std::vector<double> settled;
  double beyond = INFINITY;
  double at(RoadGraph::DenseId d) const noexcept {
    return settled[d] < beyond ? settled[d] : beyond;
  }
  bool empty() const noexcept { return settled.empty(); }
};
RemainingKey remaining_key_floor(const RoadGraph& graph, RoadGraph::DenseId source,
                                 RoadGraph::DenseId target, double reach);
// On a graph without familiarity: a floor for distance + risk_weight * risk
// of any path from a node to the target, by the same backward search, each
// arc's sum lowered by a millionth (see weighted_floor). The arcs' costs are
// read from the reverse arcs, in the order the search reads them, rather
// than from the edge table. With risk_weight 500 these are the key floors
// of remaining_key_floor(), value for value. Where `most` is less than
// reach times the source's floor, the search stops beyond `most` instead:
// every node it did not settle then has a floor above `most`.
//
// With `expand`, a node settled at `key` has its arcs followed only where
// expand(node, key) holds. A node whose least way to the target passes
// through one whose arcs were not followed may then keep +inf or a floor
// above its least: the caller makes sure that no decision rests on such a
// node's floor (LowerBounds' corner lines, where every label there lies
// above the line anyway).
RemainingKey remaining_weighted_floor(
    const RoadGraph& graph, RoadGraph::DenseId source, RoadGraph::DenseId target, double reach,
    double risk_weight, double most = INFINITY,
    const std::function<bool(RoadGraph::DenseId, double)>& expand = {});
// distance + risk_weight * risk lowered by a millionth: summed over a path's
// arcs, or for a label's own sums, never above the path's (or the label's)
// weighted sum, whatever the rounding along the way. Inline: the front's
// corners ask for it once per line for nearly every label.
inline double weighted_floor(double distance, double risk, double risk_weight) noexcept {
  constexpr double kLowered = 1.0 - 1e-6;  // the millionth of arc_key_floor()
  return (distance + risk * risk_weight) * kLowered;
}

// The path from source to target of least sum of arc_key_floor() (or within
// rounding of least), with its three sums added forwards as the route search
// adds them, and the largest key that a label along the path has in the route search
// (its sums' weighted_cost() plus its node's great-circle distance to the
// target; the source's label has key 0): with familiarity the estimate may
// exceed what a key still gains, so a path's labels can have keys above its
// key at the target.
struct KeyedPath {
  Cost cost;
  double familiarity;
  double largest_key;
};
KeyedPath least_key_path(const RoadGraph& graph, RoadGraph::DenseId source,
                         RoadGraph::DenseId target, const RemainingKey& remaining_key);

}  // namespace velorin
