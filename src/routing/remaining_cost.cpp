#include "routing/remaining_cost.hpp"

#include <cstdint>
#include <queue>
#include <utility>

namespace velorin {
namespace {

using DenseId = RoadGraph::DenseId;

// Costs compared on `first` then on `second`: (distance, risk) for the least
// distance, (risk, distance) for the least risk.
struct Pair {
  double first;
  double second;
  bool operator<(const Pair& o) const noexcept {
    return first < o.first || (first == o.first && second < o.second);
  }
};

// Lexicographic Dijkstra backwards from the target: per node, the least
// `first` still to go and, among paths with it, the least `second`. Ties
// between equal pairs do not matter: only the values are kept.
template <class First, class Second>
std::vector<Pair> backwards(const RoadGraph& graph, DenseId target, First first, Second second) {
  const ReverseArcs& reverse = graph.reverse_arcs();
  std::vector<Pair> best(graph.dense_count(), Pair{INFINITY, INFINITY});
  struct Item {
    Pair cost;
    DenseId node;
    bool operator<(const Item& o) const noexcept { return o.cost < cost; }  // least on top
  };
  std::priority_queue<Item> open;
  best[target] = {0.0, 0.0};
  open.push({best[target], target});
  while (!open.empty()) {
    const Item item = open.top();
    open.pop();
    if (best[item.node] < item.cost) continue;  // a better entry came first
    for (std::uint32_t i = reverse.first[item.node]; i < reverse.first[item.node + 1]; ++i) {
      const ReverseArcs::Arc arc = reverse.arcs[i];
      const Edge& edge = graph.edge(arc.edge);
      const Pair next{item.cost.first + first(edge), item.cost.second + second(edge)};
      if (next < best[arc.tail]) {
        best[arc.tail] = next;
        open.push({next, arc.tail});
      }
    }
  }
  return best;
}

}  // namespace

RemainingCost remaining_cost(const RoadGraph& graph, DenseId source, DenseId target) {
  RemainingCost result;
  result.least.resize(graph.dense_count());
  {
    const std::vector<Pair> by_distance = backwards(
        graph, target, [](const Edge& e) { return e.distance_m; },
        [](const Edge& e) { return e.risk_score; });
    for (std::size_t d = 0; d < by_distance.size(); ++d)
      result.least[d].distance = by_distance[d].first;
    result.least_distance_path = {by_distance[source].first, by_distance[source].second};
  }
  const std::vector<Pair> by_risk = backwards(
      graph, target, [](const Edge& e) { return e.risk_score; },
      [](const Edge& e) { return e.distance_m; });
  for (std::size_t d = 0; d < by_risk.size(); ++d) result.least[d].risk = by_risk[d].first;
  result.least_risk_path = {by_risk[source].second, by_risk[source].first};
  return result;
}

}  // namespace velorin
