// One route request from end to end: endpoint checks, search, selection.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "graph/road_graph.hpp"
#include "routing/route_record.hpp"

namespace velorin {

// A request refused by its checks or finding no path; the message is the text
// the caller sees (a RuntimeError in Python).
struct RouteError {
  std::string message;
};

// One to three routes ("shortest", "safest", "balanced", in that order), or the
// first failed check.
std::variant<std::vector<RouteRecord>, RouteError> compute_safe_routes(const RoadGraph& graph,
                                                                       NodeId source, NodeId target,
                                                                       double eps);

}  // namespace velorin
