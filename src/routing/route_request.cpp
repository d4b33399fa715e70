// Placeholder until the route engine lands.
#include "routing/route_request.hpp"

namespace velorin {

std::string describe_route(const RouteRecord& route) { return "Route(" + route.route_type + ")"; }

std::variant<std::vector<RouteRecord>, RouteError> compute_safe_routes(const RoadGraph&, NodeId,
                                                                       NodeId, double) {
  return RouteError{"route engine is not available yet"};
}

}  // namespace velorin
