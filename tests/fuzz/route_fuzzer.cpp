// libFuzzer target for one route request on a small graph built from bytes.
//
// The bytes choose up to 8 node records, up to 24 arcs and the request's
// arguments from palettes rich in the values that break searches: node ids 0
// and 2^64-1, duplicate ids, arcs to unknown ids, self-loops, parallel arcs,
// zero and negative costs, costs near the largest double (sums overflow to
// inf, keys become NaN), eps of NaN, +-inf, -1. Every request must end with
// either
//   - the refusal that the graph calls for, with its exact text, or
//   - one to three routes that are real, simple walks of the graph from source
//     to target whose totals are sums of their arcs' costs, with metrics and
//     labels consistent with each other,
// the same answer twice in a row, and the same solutions with the search's
// exact lower bounds forced on from the first pop as without any bound, within libFuzzer's time and
// memory limits. Violations abort so that libFuzzer keeps the input.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "graph/road_graph.hpp"
#include "routing/lower_bounds.hpp"
#include "routing/pareto_search.hpp"
#include "routing/route_record.hpp"
#include "routing/route_request.hpp"
#include "routing/route_selection.hpp"

namespace {

using velorin::Edge;
using velorin::Node;
using velorin::NodeId;
using velorin::RouteRecord;

[[noreturn]] void violated(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "route_fuzzer: %s\n%s\n", what, detail.c_str());
  std::abort();
}

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  template <typename T, std::size_t N>
  T pick(const T (&palette)[N]) {
    return palette[next() % N];
  }
  double raw_double() {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | next();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr NodeId kIds[] = {0, 1, 2, 3, 4, 5, 6, 7, UINT64_MAX, UINT64_MAX - 1, 1ull << 63};
constexpr double kDegrees[] = {0.0, 1.0, -1.0, 0.001, 43.5, 48.85, 2.35, 90.0, -90.0, 180.0, 1e300};
constexpr double kCosts[] = {0.0, -0.0, 1.0,  2.0,    3.0,    0.5,   10.0, 100.0,
                             1e3, -1.0, -5.0, 1e-300, 5e-324, 1e300, kMax, -kMax};
constexpr double kEps[] = {0.0,  0.1,    0.5,   1.0,  2.0,  -1.0, -0.5,
                           -0.0, 1e-300, 1e300, kNaN, kInf, -kInf};

// A document can only hold finite numbers, so neither can a graph.
double cost(Bytes& in) {
  std::uint8_t choice = in.next();
  if (choice < 240) return kCosts[choice % std::size(kCosts)];
  double x = in.raw_double();
  return std::isfinite(x) ? x : 1.0;
}

bool same_bits(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// IEEE 754 totalOrder on doubles (-0 before +0, NaN after +inf).
bool total_less(double a, double b) {
  auto key = [](double x) {
    std::int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits < 0 ? ~bits ^ INT64_MIN : bits;
  };
  auto ka = key(a), kb = key(b);
  return ka < kb;
}

std::string show(const RouteRecord& r) {
  char costs[120];
  std::snprintf(costs, sizeof costs, " d=%a r=%a f=%a path", r.total_distance_m, r.total_risk,
                r.total_familiarity);
  std::string s = velorin::describe_route(r) + costs;
  for (NodeId id : r.path) s += " " + std::to_string(id);
  return s;
}

std::string show(const std::vector<RouteRecord>& routes) {
  std::string s;
  for (const RouteRecord& r : routes) s += show(r) + "\n";
  return s;
}

struct Request {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  NodeId source = 0;
  NodeId target = 0;
  double eps = 0.0;
};

std::string expected_refusal(const Request& rq) {
  auto has_record = [&](NodeId id) {
    for (const Node& n : rq.nodes)
      if (n.id == id) return true;
    return false;
  };
  const std::string s = std::to_string(rq.source), t = std::to_string(rq.target);
  if (!has_record(rq.source)) return "Nœud source " + s + " introuvable dans le graphe";
  if (!has_record(rq.target)) return "Nœud cible " + t + " introuvable dans le graphe";
  bool leaves = false;
  for (const Edge& e : rq.edges) leaves = leaves || e.from == rq.source;
  if (!leaves) return "Nœud source " + s + " isolé (aucun arc sortant) — graphe déconnecté ?";
  // Searching never goes past the target, but it is reached all the same.
  std::vector<NodeId> seen{rq.source};
  for (std::size_t i = 0; i < seen.size(); ++i)
    for (const Edge& e : rq.edges)
      if (e.from == seen[i] && std::find(seen.begin(), seen.end(), e.to) == seen.end())
        seen.push_back(e.to);
  if (std::find(seen.begin(), seen.end(), rq.target) != seen.end()) return {};
  return "Aucun chemin trouvé entre " + s + " et " + t +
         ". Les nœuds sont peut-être dans des composantes déconnectées.";
}

// The (distance, risk, familiarity) sums that some choice of parallel arcs
// along `path` gives, accumulated in path order as the search does.
bool totals_achievable(const Request& rq, const RouteRecord& r) {
  struct Sum {
    double d, k, f;
  };
  std::vector<Sum> sums{{0.0, 0.0, 0.0}};
  for (std::size_t i = 0; i + 1 < r.path.size(); ++i) {
    std::vector<Sum> next;
    for (const Sum& s : sums)
      for (const Edge& e : rq.edges)
        if (e.from == r.path[i] && e.to == r.path[i + 1]) {
          Sum n{s.d + e.distance_m, s.k + e.risk_score, s.f + e.familiarity};
          bool dup = false;
          for (const Sum& o : next)
            dup = dup || (same_bits(o.d, n.d) && same_bits(o.k, n.k) && same_bits(o.f, n.f));
          if (!dup) next.push_back(n);
        }
    if (next.empty()) return false;       // no arc between consecutive nodes
    if (next.size() > 4096) return true;  // too many choices to check; walk checked above
    sums = std::move(next);
  }
  for (const Sum& s : sums)
    if (same_bits(s.d, r.total_distance_m) && same_bits(s.k, r.total_risk) &&
        same_bits(s.f, r.total_familiarity))
      return true;
  return false;
}

void check_routes(const Request& rq, const std::vector<RouteRecord>& routes) {
  static const char* const kLabels[] = {"shortest", "safest", "balanced"};
  if (routes.empty() || routes.size() > 3) violated("route count out of 1..3");
  if (routes.front().route_type != "shortest") violated("first route is not the shortest");
  std::size_t label = 0;
  for (const RouteRecord& r : routes) {
    while (label < 3 && r.route_type != kLabels[label]) ++label;
    if (label == 3) violated("labels out of order", show(r));
    ++label;

    if (r.path.empty() || r.path.front() != rq.source || r.path.back() != rq.target)
      violated("path does not run from source to target", show(r));
    if (r.node_count != r.path.size()) violated("node_count differs from the path", show(r));
    for (std::size_t i = 0; i < r.path.size(); ++i)
      for (std::size_t j = i + 1; j < r.path.size(); ++j)
        if (r.path[i] == r.path[j]) violated("route visits a node twice", show(r));
    if (!totals_achievable(rq, r)) violated("totals are not the sums of the route's arcs", show(r));
    if (!same_bits(r.estimated_time_min, r.total_distance_m / 66.67))
      violated("estimated time is not distance / 66.67", show(r));
    double comfort = std::exp(-2.0 * r.total_risk);
    if (comfort > 1.0) comfort = 1.0;
    if (!same_bits(r.comfort_score, comfort))
      violated("comfort is not exp(-2 risk) capped", show(r));

    std::string text = velorin::describe_route(r);
    if (text.rfind("Route(" + r.route_type + ", dist=", 0) != 0 || !text.ends_with("min)"))
      violated("printed form malformed", text);
  }
  for (std::size_t i = 0; i < routes.size(); ++i)
    for (std::size_t j = i + 1; j < routes.size(); ++j)
      if (routes[i].path == routes[j].path) violated("the same path is returned twice");
  // The shortest route has the least distance of all and the safest route,
  // when there is one, the least risk. (A missing "safest" says only that the
  // safest path was the shortest one; over parallel arcs the two may differ in
  // cost, so nothing follows about the shortest route's risk.)
  for (const RouteRecord& r : routes) {
    if (total_less(r.total_distance_m, routes.front().total_distance_m))
      violated("a route is shorter than the shortest", show(routes));
    for (const RouteRecord& safest : routes)
      if (safest.route_type == "safest" && total_less(r.total_risk, safest.total_risk))
        violated("a route is safer than the safest", show(routes));
  }
}

bool same_routes(const std::vector<RouteRecord>& a, const std::vector<RouteRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].path != b[i].path || a[i].route_type != b[i].route_type ||
        !same_bits(a[i].total_distance_m, b[i].total_distance_m) ||
        !same_bits(a[i].total_risk, b[i].total_risk) ||
        !same_bits(a[i].total_familiarity, b[i].total_familiarity))
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  Request rq;
  for (int n = in.next() % 9; n > 0; --n)
    rq.nodes.push_back({in.pick(kIds), in.pick(kDegrees), in.pick(kDegrees)});
  for (int m = in.next() % 25; m > 0; --m) {
    NodeId from = in.pick(kIds), to = in.pick(kIds);
    double d = cost(in), r = cost(in), f = cost(in);
    rq.edges.push_back({from, to, d, r, f});
  }
  rq.source = in.pick(kIds);
  rq.target = in.pick(kIds);
  rq.eps = in.pick(kEps);

  const velorin::RoadGraph graph = velorin::RoadGraph::build(rq.nodes, rq.edges);
  auto first = velorin::compute_safe_routes(graph, rq.source, rq.target, rq.eps);
  const std::string refusal = expected_refusal(rq);
  if (auto* error = std::get_if<velorin::RouteError>(&first)) {
    if (error->message != refusal)
      violated("wrong refusal", error->message + "\nexpected: " + refusal);
    return 0;
  }
  const auto& routes = std::get<std::vector<RouteRecord>>(first);
  if (!refusal.empty()) violated("routes where the request should be refused", refusal);
  check_routes(rq, routes);

  auto second = velorin::compute_safe_routes(graph, rq.source, rq.target, rq.eps);
  if (!std::holds_alternative<std::vector<RouteRecord>>(second) ||
      !same_routes(routes, std::get<std::vector<RouteRecord>>(second)))
    violated("the same request gave a different answer");

  // Lower bounds, even the exact ones forced on from the first pop, must not
  // change one bit of what the search hands on.
  velorin::SearchTuning none, forced;
  none.prune = false;
  forced.exact_bounds_after_pops = forced.exact_front_after_pops = 0;
  forced.collect_paths_from = 2;  // drop dead path links all the time
  forced.front_corners_from = 0;  // the front's corners wherever they apply
  forced.front_later_from = 0.0;  // and the front at every eps where it applies
  const auto s = graph.dense_of(rq.source), t = graph.dense_of(rq.target);
  const auto reference = velorin::astar_pex(graph, s, t, rq.eps, nullptr, none);
  const auto bounded = velorin::astar_pex(graph, s, t, rq.eps, nullptr, forced);
  // The whole front too, rather than the part that no route covers.
  velorin::SearchTuning whole = forced;
  whole.covered_front_pops = 0.0;
  const auto bounded_whole = velorin::astar_pex(graph, s, t, rq.eps, nullptr, whole);
  // With eps 0.0 on a graph with familiarity the solutions may come in
  // another order (the cost order), but never other solutions, and never
  // other routes picked from them.
  const velorin::ArcBounds facts = graph.arc_bounds();
  const bool any_order =
      1.0 + rq.eps == 1.0 && !facts.no_familiarity && velorin::sums_stay_finite(facts);
  auto ordered = [&](std::vector<velorin::SettledLabel> v) {
    if (any_order)
      std::sort(v.begin(), v.end(),
                [](const auto& a, const auto& b) { return a.distance < b.distance; });
    return v;
  };
  const auto expected = ordered(reference);
  for (const auto* found : {&bounded, &bounded_whole}) {
    const auto got = ordered(*found);
    bool same = expected.size() == got.size();
    for (std::size_t i = 0; same && i < expected.size(); ++i)
      same = expected[i].path == got[i].path && same_bits(expected[i].distance, got[i].distance) &&
             same_bits(expected[i].risk, got[i].risk) &&
             same_bits(expected[i].familiarity, got[i].familiarity);
    if (!same) violated("pruning with exact lower bounds changed the solutions");
  }
  if (any_order && !reference.empty() &&
      !same_routes(velorin::select_routes(reference), velorin::select_routes(bounded)))
    violated("the cost order changed the routes picked");
  return 0;
}
