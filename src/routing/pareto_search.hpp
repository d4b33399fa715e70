// The bi-objective route search: best-first and label-setting, in the manner
// of A*pex. It keeps the paths from source to target that are Pareto-optimal
// in (total distance, total risk), up to the approximation factor 1 + eps.
#pragma once

#include <vector>

#include "graph/road_graph.hpp"
#include "routing/search_stats.hpp"

namespace velorin {

// A path found by the search with its three sums, accumulated edge by edge in
// path order.
struct SettledLabel {
  NodeId node = 0;  // last node of the path
  double distance = 0.0;
  double risk = 0.0;
  double familiarity = 0.0;
  std::vector<NodeId> path;  // source first, both ends included
};

// Which solutions' paths astar_pex() reads back from the search: every one,
// or only those of the routes that select_routes() picks from them (the
// others' paths are left empty). A path is read link by link from the
// search's store of path prefixes, far beyond the caches on a long request:
// for the 6,310 routes of a 66 km request over the 10^6 grid at eps 0.0
// that took 0.38 s, and the three picks need a few hundred microseconds.
//
// Paths::picks_only goes further: with eps 0.0, once a request has shown
// itself heavy, the search leaves out the solutions that select_routes()
// cannot pick. What it hands on then holds the shortest and the safest
// solution, every solution that could be the balanced pick, and no
// solution that the whole search would not have found, in the order in
// which it would have found them: select_routes() picks from it the same
// routes, with the same paths.
enum class Paths { every, picks, picks_only };

// The non-dominated paths from `source` to `target`, in the order in which they
// were found (later finds may have removed earlier ones they dominate). With
// eps 0.0 on a graph with familiarity they may be found in another order than
// the key alone gives (see Search::cost_order_allowed), but only where no
// pick of select_routes depends on the order. Empty
// when no path exists. Both ends must be dense numbers of `graph`; `eps` is
// used as given, whatever its sign or value.
std::vector<SettledLabel> astar_pex(const RoadGraph& graph, RoadGraph::DenseId source,
                                    RoadGraph::DenseId target, double eps,
                                    SearchStats* stats = nullptr, const SearchTuning& tuning = {},
                                    Paths paths = Paths::every);

}  // namespace velorin
