#include "routing/route_request.hpp"

#include <string>

#include "routing/pareto_search.hpp"
#include "routing/route_selection.hpp"

namespace velorin {

std::variant<std::vector<RouteRecord>, RouteError> compute_safe_routes(const RoadGraph& graph,
                                                                       NodeId source, NodeId target,
                                                                       double eps) {
  // The four messages are kept word for word: callers show and match on them.
  // An endpoint must have a node record: an id met only as an edge endpoint
  // has no position, so it is not a place a route can start or end.
  const RoadGraph::DenseId from = graph.dense_of(source);
  if (from == RoadGraph::kAbsent || !graph.has_node_record(from))
    return RouteError{"Nœud source " + std::to_string(source) + " introuvable dans le graphe"};
  const RoadGraph::DenseId to = graph.dense_of(target);
  if (to == RoadGraph::kAbsent || !graph.has_node_record(to))
    return RouteError{"Nœud cible " + std::to_string(target) + " introuvable dans le graphe"};
  // Checked even when source and target are the same node.
  if (graph.out_edge_indices(from).empty()) {
    return RouteError{"Nœud source " + std::to_string(source) +
                      " isolé (aucun arc sortant) — graphe déconnecté ?"};
  }

  std::vector<SettledLabel> solutions =
      astar_pex(graph, from, to, eps, nullptr, {}, Paths::picks_only);
  if (solutions.empty()) {
    return RouteError{"Aucun chemin trouvé entre " + std::to_string(source) + " et " +
                      std::to_string(target) +
                      ". Les nœuds sont peut-être dans des composantes déconnectées."};
  }
  return select_routes(solutions);
}

}  // namespace velorin
