// What one route search did, counted per kind of event and per pruning rule,
// and how it may use lower bounds. Benchmarks and tests read them; the module
// does not report them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace velorin {

// The events of a search that are counted.
enum class Counter : std::uint8_t {
  popped,                  // labels taken from the open list
  popped_before_solution,  // ... before the first solution was found
  pushed,                  // labels put on the open list
  settled,                 // labels that survived both tests
  cycle_walks,             // extensions that had to look back along a path
  dropped_waiting,         // open labels dropped when the exact bounds came
  exact_bounds_started,    // backward searches run for exact bounds (0 or 1 per run)
  first_guesses,           // first solutions guessed (0 or 1 per run)
  guess_failed,            // ... that the first solution did not confirm
  path_collections,        // times the path arena dropped dead links
  set_compactions,         // times the per-node sets were packed anew
  nodes_met,               // nodes the search reached
  walked,                  // labels carried through a pass-through node without the heap
  close_calls,             // runs in the cost order that met two costs too close to tell apart
  near_ties,               // runs walking in the full key order that met a near tie (see walk)
  corner_lines,            // lines under the exact front's corners (see front_beats_all)
  fronts,                  // exact fronts found by a search of their own (0 or 1 per run)
  end,
};
inline constexpr std::size_t kCounters = static_cast<std::size_t>(Counter::end);

// Why a label was dropped by a lower bound (`none`: it was not).
enum class PruneRule : std::uint8_t {
  great_circle,    // great-circle bound covered by a solution
  exact,           // exact bound covered by a solution
  known_front,     // exact bound beaten by the exact front
  front_corners,   // every route's cost beaten by the exact front (see front_beats_all)
  first_guess,     // out of the running for the first solution
  dead_end,        // no path from its node to the target
  beaten_at_node,  // a cost settled at its node is no worse, as it was pushed
  no_pick,         // leads to no route that select_routes() could pick (see LowerBounds::rule)
  none,
};
inline constexpr std::size_t kPruneRules = static_cast<std::size_t>(PruneRule::none);

// Short names, for printed tables.
inline const char* name_of(Counter c) noexcept {
  constexpr const char* kNames[] = {"popped",          "popped before solution",
                                    "pushed",          "settled",
                                    "cycle walks",     "dropped waiting",
                                    "exact bounds",    "first guesses",
                                    "wrong guesses",   "path collections",
                                    "set compactions", "nodes met",
                                    "walked",          "close calls",
                                    "near ties",       "corner lines",
                                    "fronts"};
  static_assert(std::size(kNames) == kCounters, "one name per counter");
  return kNames[static_cast<std::size_t>(c)];
}
inline const char* name_of(PruneRule r) noexcept {
  constexpr const char* kNames[] = {"great circle", "exact",    "known front",    "front corners",
                                    "first guess",  "dead end", "beaten at node", "no pick"};
  static_assert(std::size(kNames) == kPruneRules, "one name per rule");
  return kNames[static_cast<std::size_t>(r)];
}

struct SearchStats {
  std::array<std::uint64_t, kCounters> counts{};
  std::array<std::uint64_t, kPruneRules> pruned{};  // labels dropped, per rule
  bool restarted = false;      // pruning was abandoned and the search run again
  std::size_t peak_bytes = 0;  // largest working memory of the search
  // Where the working memory was when it peaked: the open list (heap and
  // waiting labels), the per-node Pareto sets, the path arena.
  std::size_t peak_open_bytes = 0;
  std::size_t peak_set_bytes = 0;
  std::size_t peak_arena_bytes = 0;
  std::uint64_t most_waiting = 0;  // largest number of labels in the open list at once

  std::uint64_t& operator[](Counter c) noexcept { return counts[static_cast<std::size_t>(c)]; }
  std::uint64_t operator[](Counter c) const noexcept { return counts[static_cast<std::size_t>(c)]; }
  std::uint64_t& operator[](PruneRule r) noexcept { return pruned[static_cast<std::size_t>(r)]; }
  std::uint64_t operator[](PruneRule r) const noexcept {
    return pruned[static_cast<std::size_t>(r)];
  }

  // Adds another run's figures (of the same request, or another request):
  // work adds up, memory and queue length take the largest.
  void add(const SearchStats& other) noexcept {
    for (std::size_t i = 0; i < kCounters; ++i) counts[i] += other.counts[i];
    for (std::size_t i = 0; i < kPruneRules; ++i) pruned[i] += other.pruned[i];
    restarted = restarted || other.restarted;
    if (other.peak_bytes > peak_bytes) {
      peak_bytes = other.peak_bytes;
      peak_open_bytes = other.peak_open_bytes;
      peak_set_bytes = other.peak_set_bytes;
      peak_arena_bytes = other.peak_arena_bytes;
    }
    if (other.most_waiting > most_waiting) most_waiting = other.most_waiting;
  }
};

// How the search uses lower bounds. The defaults are what the module uses;
// the rest is for tests and benchmarks, which compare runs with and without.
struct SearchTuning {
  // Lower bounds may drop labels at all.
  bool prune = true;
  // When a request counts as heavy and computes exact lower bounds: two
  // backward searches from the target, about as far out as the source lies,
  // which short requests should not pay for. By default once it has popped
  // `pops_per_settle` labels per node that those searches are expected to
  // settle, as far as what the request has shown of itself tells (see
  // LowerBounds::heavy_after): a pop costs about twice a settle, so it has
  // then done about as much work as the bounds will cost. Tests and
  // benchmarks may fix the number of pops instead (0: before the first pop).
  // With eps 0.0 they also give the whole exact front, which prunes before
  // the first solution.
  static constexpr std::uint64_t kEstimated = UINT64_MAX;
  std::uint64_t exact_bounds_after_pops = kEstimated;  // eps above 0.0
  std::uint64_t exact_front_after_pops = kEstimated;   // eps 0.0
  double pops_per_settle = 0.5;
  // With eps above 0.0, the exact bounds also guess the first solution and
  // drop what cannot precede it or matter after it.
  bool guess_first_solution = true;
  // Where no arc has a familiarity, an exact front of at least
  // this many costs also drops labels whose every route lies above the
  // inner corners of its staircase (see LowerBounds::front_beats_all), for
  // the price of three backward searches or more; tests set it low.
  std::size_t front_corners_from = 128;
  // From this many labels per node that a backward search reaches, as the
  // search behind the front popped them, more lines than three follow the
  // bend of the front (see LowerBounds::start_corners); tests set it to 0.
  double more_lines_from = 12.0;
  // With eps above 0.001 where the front's costs come before the routes
  // they beat (see LowerBounds::front_comes_first), the exact front and its
  // corners come once the request has handled this many labels per node
  // that a backward search reaches, counted from the exact bounds, or
  // earlier where its keys show that it will handle that many before its
  // first route, if the front's own search keeps within as many pops as that
  // (see LowerBounds::try_front and front_early): requests that end sooner
  // do not pay for them.
  // Tests set it to 0 (at once, whatever the front's search costs) or to
  // infinity (never).
  double front_later_from = 16.0;
  // There, where the guessed first route or a route found already covers
  // part of the front, the rest of the front comes with the exact bounds if
  // its search keeps within this many pops per label the request has popped
  // by then (see LowerBounds::start_front); the corners still wait as
  // above. Tests and benchmarks set it to 0: the front as it came before,
  // never at the bounds, later whole, with corners from front_corners_from
  // costs.
  double covered_front_pops = 16.0;
  // ... for requests that have popped this many labels by the exact bounds:
  // those of Monaco and Aguascalientes, which pop 500 to 850 before them and
  // end soon after, took 5 % and 11 % longer at eps 0.1 with the front, and
  // Andorra's pop at least 1,700.
  std::uint64_t covered_front_from = 1024;
  // A label entering a street's shape points (nodes a path can only pass
  // through) is carried on to the next other node at once, rather than
  // through the heap at each of them, where the graph allows it (see
  // Search::walk).
  bool walk_through = true;
  // With eps 0.0, where astar_pex() is asked for Paths::picks_only, a heavy
  // request leaves out the routes that select_routes() cannot pick (see
  // LowerBounds::start_picks); tests switch it off to compare.
  bool leave_out_non_picks = true;
  // With eps 0.0 on a graph where some arc has a familiarity, labels leave
  // the heap in the order of their distance and risk alone, as on a graph
  // without familiarity, unless two costs come too close to tell apart (see
  // Search::cost_order_allowed).
  bool cost_order = true;
  // Where labels walk through shape points on a graph with familiarity (see
  // Search::walk), a label about to settle while a label no worse waits at
  // its node with a key within rounding of its own sends the search back to
  // start again without walks. Tests widen "within rounding" by this factor,
  // so that the check fires and the second search is exercised.
  double near_tie_scale = 1.0;
  // Settled labels (8 bytes each) from which the path arena starts dropping
  // those that lead nowhere any more; tests set it low.
  std::uint32_t collect_paths_from = 1u << 20;
};

}  // namespace velorin
