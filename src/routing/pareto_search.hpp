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
  std::uint64_t popped = 0;                  // labels taken from the open list
  std::uint64_t popped_before_solution = 0;  // ... before the first solution was found
  std::uint64_t pushed = 0;                  // labels put on the open list
  std::uint64_t settled = 0;                 // labels that survived both tests
  std::uint64_t cycle_walks = 0;             // extensions that had to look back along a path
  std::uint64_t pruned_great_circle = 0;     // dropped: great-circle bound covered by a solution
  std::uint64_t pruned_exact = 0;            // dropped: exact bound covered by a solution
  std::uint64_t pruned_known_front = 0;      // dropped: exact bound beaten by the exact front
  std::uint64_t pruned_first_guess = 0;      // dropped: out of the running for the first solution
  std::uint64_t pruned_dead_end = 0;         // dropped: no path from its node to the target
  std::uint64_t dropped_waiting = 0;         // open labels dropped when the exact bounds came
  std::uint64_t exact_bounds_started = 0;    // backward searches run for exact bounds (0 or 1)
  std::uint64_t first_guesses = 0;           // first solutions guessed (0 or 1 per run)
  std::uint64_t guess_failed = 0;            // ... that the first solution did not confirm
  std::uint64_t path_collections = 0;        // times the path arena dropped dead links
  std::uint64_t set_compactions = 0;         // times the per-node sets were packed anew
  bool restarted = false;                    // pruning was abandoned and the search run again
  std::size_t peak_bytes = 0;                // largest working memory of the search
  // Where the working memory was when it peaked: the open list (heap and
  // waiting labels), the per-node Pareto sets, the path arena.
  std::size_t peak_open_bytes = 0;
  std::size_t peak_set_bytes = 0;
  std::size_t peak_arena_bytes = 0;
  std::uint64_t most_waiting = 0;  // largest number of labels in the open list at once
};

// How the search uses lower bounds. The defaults are what the module uses;
// the rest is for tests and benchmarks, which compare runs with and without.
struct SearchTuning {
  // Lower bounds may drop labels at all.
  bool prune = true;
  // Pops after which a request counts as heavy and computes exact lower
  // bounds: two backward searches over the whole graph, which short requests
  // should not pay for. 0 computes them before the first pop. With eps 0.0
  // they also give the whole exact front, which prunes before the first
  // solution and so pays off sooner.
  std::uint64_t exact_bounds_after_pops = 300000;
  std::uint64_t exact_front_after_pops = 100000;
  // With eps above 0.0, the exact bounds also guess the first solution and
  // drop what cannot precede it or matter after it.
  bool guess_first_solution = true;
  // Settled labels (8 bytes each) from which the path arena starts dropping
  // those that lead nowhere any more; tests set it low.
  std::uint32_t collect_paths_from = 1u << 20;
};

// The non-dominated paths from `source` to `target`, in the order in which they
// were found (later finds may have removed earlier ones they dominate). Empty
// when no path exists. Both ends must be dense numbers of `graph`; `eps` is
// used as given, whatever its sign or value.
std::vector<SettledLabel> astar_pex(const RoadGraph& graph, RoadGraph::DenseId source,
                                    RoadGraph::DenseId target, double eps,
                                    SearchStats* stats = nullptr, const SearchTuning& tuning = {});

}  // namespace velorin
