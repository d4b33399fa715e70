// The bi-objective route search: best-first and label-setting, in the manner
// of A*pex. It keeps the paths from source to target that are Pareto-optimal
// in (total distance, total risk), up to the approximation factor 1 + eps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/road_graph.hpp"

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

// What one search did, for benchmarks; the module does not report it.
struct SearchStats {
  std::uint64_t popped = 0;       // labels taken from the open list
  std::uint64_t pushed = 0;       // labels put on the open list
  std::uint64_t settled = 0;      // labels that survived both tests
  std::uint64_t cycle_walks = 0;  // extensions that had to look back along a path
  std::uint64_t pruned = 0;       // labels dropped by the lower bounds
  bool restarted = false;         // pruning was abandoned and the search run again
  std::size_t peak_bytes = 0;     // largest working memory of the search
};

// The non-dominated paths from `source` to `target`, in the order in which they
// were found (later finds may have removed earlier ones they dominate). Empty
// when no path exists. Both ends must be dense numbers of `graph`; `eps` is
// used as given, whatever its sign or value.
std::vector<SettledLabel> astar_pex(const RoadGraph& graph, RoadGraph::DenseId source,
                                    RoadGraph::DenseId target, double eps,
                                    SearchStats* stats = nullptr);

}  // namespace velorin
