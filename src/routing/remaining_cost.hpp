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
  // The two ends of the source's exact front, as summed backwards: the least
  // distance with the least risk among paths of that distance, and the least
  // risk with the least distance among paths of that risk.
  Cost least_distance_path{INFINITY, INFINITY};
  Cost least_risk_path{INFINITY, INFINITY};
};

// Needs every arc cost finite and non-negative (Dijkstra's algorithm is
// wrong otherwise); both nodes must be dense numbers of `graph`.
RemainingCost remaining_cost(const RoadGraph& graph, RoadGraph::DenseId source,
                             RoadGraph::DenseId target);

}  // namespace velorin
