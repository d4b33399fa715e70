// One computed route with its metrics, as handed to Python.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "graph/road_graph.hpp"

namespace velorin {

struct RouteRecord {
  std::vector<NodeId> path;  // source .. target, both included
  double total_distance_m = 0.0;
  double total_risk = 0.0;
  double total_familiarity = 0.0;
  std::string route_type;  // "shortest", "safest" or "balanced"
  double estimated_time_min = 0.0;
  std::size_t node_count = 0;  // == path.size()
  double comfort_score = 0.0;
};

// "Route(balanced, dist=1235m, risk=0.988, time=18.5min)": exact decimal
// rounding, ties to even, no exponent, "NaN", "inf", "-inf".
std::string describe_route(const RouteRecord& route);

}  // namespace velorin
