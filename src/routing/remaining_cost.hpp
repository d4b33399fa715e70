// The least cost still to go from every node to one target, found by two
// Dijkstra searches that run backwards from the target over the reverse arcs.
// They give the route search exact lower bounds per objective.
#pragma once

#include <vector>

#include "graph/road_graph.hpp"
#include "routing/cost_order.hpp"

namespace velorin {

struct RemainingCost {
  // Per dense node: the least distance and the least risk of any path to the
  // target (each on its own; usually two different paths); +inf in both where
  // the target cannot be reached.
  std::vector<Cost> least;
};

// Needs every arc cost finite and non-negative (Dijkstra's algorithm is
// wrong otherwise); both nodes must be dense numbers of `graph`.
RemainingCost remaining_cost(const RoadGraph& graph, RoadGraph::DenseId target);

// The costs of the source's exact front, summed forwards along each path as
// the route search sums them, by rising distance and falling risk: a
// bi-objective search ordered by the exact bounds, which settles only labels
// that can still reach the front. Same preconditions as remaining_cost().
std::vector<Cost> exact_front(const RoadGraph& graph, RoadGraph::DenseId source,
                              RoadGraph::DenseId target, const RemainingCost& remaining);

// The distance and risk of a path from source to target whose weighted sum
// distance + risk_weight * risk is least, or within rounding of least, summed
// forwards along the path as the route search sums them; both +inf when the
// target is out of reach. An A* search guided by the exact bounds. Same
// preconditions as remaining_cost().
Cost least_weighted_path(const RoadGraph& graph, RoadGraph::DenseId source,
                         RoadGraph::DenseId target, const RemainingCost& remaining,
                         double risk_weight);

}  // namespace velorin
