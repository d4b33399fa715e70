#include "routing/remaining_cost.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <queue>
#include <unordered_map>
#include <utility>

#include "routing/pareto_set.hpp"
#include "routing/radix_heap.hpp"
#include "routing/search_key.hpp"

namespace velorin {
namespace {

using DenseId = RoadGraph::DenseId;

// Costs compared on `first` then on `second`.
struct Pair {
  double first;
  double second;
  bool operator<(const Pair& o) const noexcept {
    return first < o.first || (first == o.first && second < o.second);
  }
};

// Dijkstra backwards from the target: per node, the least `cost` of any path
// from it to the target, written to best(node), which starts at +inf. Once
// the source is settled at cost c, the search stops at the first node beyond
// reach x c: every node not settled by then lies at least that far (the next
// cost in the heap, the radius) from the target. Returns the radius, or +inf
// when the search ran out of nodes (the target cannot be reached from what is
// left at +inf). A node reached but not settled keeps a cost no less than the
// radius, so the caller takes the smaller of the two for every node, and
// nothing here costs more than what the search settles. Shape points are
// given their costs without a turn in the heap (below): each gets the least
// over its two ends of what came through a settled end, which is its least
// cost when that is below the radius, and otherwise no less than the least
// cost or the radius, whichever is smaller. With `most`, the search stops
// beyond that cost instead where it is less than reach x c.
//
// What a node is given does not depend on the order in which nodes of equal
// cost are settled: each settled node's cost is the least of what its
// settled neighbours offered, and every node at or below the limit is
// settled before the search stops. So the heap may give ties in any order;
// a radix heap (RadixHeap) does the same work in 0.91x the time of a binary
// heap on the 10^6 grid's 66 km requests, with the same bits at every node.
template <class CostOf, class Best, class Expand = bool (*)(DenseId, double)>
double backwards(
    const RoadGraph& graph, DenseId target, DenseId source, double reach, CostOf cost_of, Best best,
    std::uint64_t* reached = nullptr, double most = INFINITY,
    Expand expand = [](DenseId, double) { return true; }) {
  const ReverseArcs& reverse = graph.reverse_arcs();
  const std::vector<std::uint8_t>& through = graph.pass_through();
  RadixHeap<DenseId> open;
  best(target) = 0.0;
  open.push(0.0, target);
  double limit = INFINITY;
  while (!open.empty()) {
    const RadixHeap<DenseId>::Entry item = open.pop();
    const DenseId node = item.payload;
    if (best(node) < item.key) continue;  // a better entry came first
    if (item.key > limit) return item.key;
    // The node on top is most likely the next to be settled: its arcs are
    // asked for while this one's are read, since reading them is most of
    // what a settle costs on a graph beyond the caches.
    if (!open.empty()) {
      const DenseId next = open.top().payload;
      __builtin_prefetch(&reverse.first[next]);
      __builtin_prefetch(&reverse.arcs[reverse.first[next]]);
    }
    if (node == source) limit = std::min(item.key * reach, most);
    if (!expand(node, item.key)) continue;  // settled, but its arcs are not followed
    for (std::uint32_t i = reverse.first[node]; i < reverse.first[node + 1]; ++i) {
      const ReverseArcs::Arc* arc = &reverse.arcs[i];
      DenseId after = node;
      double next = item.key + cost_of(*arc);
      // Back along a street's shape points to its next other node, each
      // point given its cost on the way: such a point is reached only from
      // its two ends, so it needs no turn in the heap. Once a point already
      // has no more from the other end, so do the points beyond it.
      for (;;) {
        double& known = best(arc->tail);
        if (!(next < known)) break;
        if (reached != nullptr && !(known < INFINITY)) ++*reached;
        known = next;
        const DenseId at = arc->tail;
        if (through[at] == 0 || at == source || at == target) {
          open.push(next, at);
          break;
        }
        const ReverseArcs::Arc* onward = nullptr;
        for (std::uint32_t j = reverse.first[at]; j < reverse.first[at + 1]; ++j)
          if (reverse.arcs[j].tail != after) onward = &reverse.arcs[j];
        if (onward == nullptr) break;
        after = at;
        arc = onward;
        next = next + cost_of(*arc);
      }
    }
  }
  return INFINITY;
}

// Carries a path that has just taken the arc from `from` to `to`, at cost
// `cost`, through the shape points of a street (RoadGraph::pass_through)
// to its next other node, adding each arc's costs in path order: at a shape
// point a path goes on or turns back, and turning back only adds cost. Stops
// at the source, the target, a one-way end, or back at `start`, where the
// path began. On return `to` is where the path stands and `from` the node
// before it.
void carry_along_street(const RoadGraph::OutArcs& out, const std::vector<std::uint8_t>& through,
                        DenseId start, DenseId source, DenseId target, DenseId& from, DenseId& to,
                        Cost& cost) {
  while (through[to] != 0 && to != target && to != source) {
    const OutArc* onward = out.onward(to, from);
    if (onward == nullptr || onward->head == start) break;
    cost = {cost.distance + onward->distance_m, cost.risk + onward->risk_score};
    from = to;
    to = onward->head;
  }
}

// The ways on from a path that stands at `at` at `cost`, having come from
// `came_from`: along each arc that leaves `at`, but for the one straight
// back (which only adds cost), carried through a street's shape points to
// its next other node. visit(to, from, cost) for each, `from` the node
// before `to`.
template <class Visit>
void each_way_on(const RoadGraph::OutArcs& out, const std::vector<std::uint8_t>& through,
                 DenseId source, DenseId target, DenseId at, DenseId came_from, Cost cost,
                 Visit visit) {
  for (const OutArc& arc : out.of(at)) {
    DenseId from = at;
    DenseId to = arc.head;
    if (to == came_from) continue;
    Cost next{cost.distance + arc.distance_m, cost.risk + arc.risk_score};
    carry_along_street(out, through, at, source, target, from, to, next);
    visit(to, from, next);
  }
}

}  // namespace

RemainingCost remaining_cost(const RoadGraph& graph, DenseId source, DenseId target, double reach) {
  RemainingCost result;
  result.settled.assign(graph.dense_count(), Cost{INFINITY, INFINITY});
  Cost* least = result.settled.data();
  result.beyond.distance = backwards(
      graph, target, source, reach, [](const ReverseArcs::Arc& a) { return a.distance_m; },
      [least](DenseId d) -> double& { return least[d].distance; }, &result.reached_nodes);
  result.beyond.risk = backwards(
      graph, target, source, reach, [](const ReverseArcs::Arc& a) { return a.risk_score; },
      [least](DenseId d) -> double& { return least[d].risk; });
  return result;
}

// How close to the risk of a label settled before it at its node, or to the
// risk of the last solution, a label's risk (bound) may come before it is
// given up. With none, the search finds the exact front, but on a long
// request over a grid of calm and busy streets it pops three times as many
// labels as the route search it serves (19 million for a front of 2,750
// costs at 33 km); a thousandth cuts that work several times and leaves the
// front dense enough to prune nearly as well (on that request the route
// search popped 5 % more labels, and the two together took less than half
// the time). A thousandth made Andorra's requests faster as well; a
// hundredth thinned the front so much that the route search popped five
// times as many labels.
constexpr double kFrontThinning = 1.0 + 1e-3;

namespace {

// The open list of known_front(): labels by their bound on distance, in
// buckets of a fixed width, last in first out within a bucket. A binary heap
// of the million labels that wait on a long request over a grid (40 MB) sent
// each pop down twenty levels of memory beyond the caches, most of that
// search's time; a bucket takes pushes at its end and gives pops from there.
// Within a bucket the order is not exact: a label may leave after one whose
// bound on distance is up to a bucket's width larger, and be given up for
// it at its node. That only thins the front further; every cost found is
// still a real path's. The distance bounds never fall along a path (the
// bounds are exact, or the radius where their searches stopped), but for
// the rounding of the sums: a label pushed below the bucket being emptied
// joins it. Buckets cover a fixed number of widths from the least bound
// (see front_buckets); labels beyond wait apart, and when the buckets run
// out the least of them becomes the new start.
template <class Item>
class FrontOpenList {
 public:
  FrontOpenList(double least, double width, std::size_t buckets)
      : base_(least), width_(width), buckets_limit_(buckets) {}

  bool empty() const noexcept { return size_ == 0; }

  // The label that pop() would give `ahead` + 1 pops from now, where it is
  // already in the bucket being emptied; nullptr otherwise.
  const Item* next(std::size_t ahead = 0) const noexcept {
    if (current_ >= buckets_.size() || buckets_[current_].size() <= ahead) return nullptr;
    return &buckets_[current_].end()[-1 - static_cast<std::ptrdiff_t>(ahead)];
  }

  void push(const Item& item) {
    ++size_;
    place(item);
  }

  Item pop() {
    --size_;
    while (current_ >= buckets_.size() || buckets_[current_].empty()) {
      if (current_ >= buckets_.size()) {
        restart();
        continue;
      }
      // Its memory, for the buckets to come: taking and giving back memory
      // of this size cost the system a fresh page each time.
      if (buckets_[current_].capacity() != 0) spare_.push_back(std::move(buckets_[current_]));
      ++current_;
    }
    std::vector<Item>& bucket = buckets_[current_];
    const Item item = bucket.back();
    bucket.pop_back();
    return item;
  }

 private:
  // Into its bucket, or with the labels beyond.
  void place(const Item& item) {
    const double at = (item.bound.first - base_) / width_;
    if (!(at < static_cast<double>(buckets_limit_))) {
      beyond_.push_back(item);
      return;
    }
    std::size_t k = at > 0.0 ? static_cast<std::size_t>(at) : 0;
    if (k < current_) k = current_;
    if (k >= buckets_.size()) buckets_.resize(k + 1);
    std::vector<Item>& bucket = buckets_[k];
    if (bucket.capacity() == 0 && !spare_.empty()) {
      bucket = std::move(spare_.back());
      spare_.pop_back();
    }
    bucket.push_back(item);
  }

  // Buckets from the least distance bound of the labels beyond, wide enough
  // to hold them all: far beyond the least distance of any path (a source
  // next to its target, and a safe way round), narrow buckets would start
  // again and again.
  void restart() {
    for (std::vector<Item>& bucket : buckets_)
      if (bucket.capacity() != 0) spare_.push_back(std::move(bucket));
    buckets_.clear();
    current_ = 0;
    std::vector<Item> waiting = std::move(beyond_);
    beyond_.clear();
    base_ = INFINITY;
    double largest = -INFINITY;
    for (const Item& item : waiting) {
      base_ = std::min(base_, item.bound.first);
      largest = std::max(largest, item.bound.first);
    }
    width_ = std::max(width_, (largest - base_) / static_cast<double>(buckets_limit_ / 2));
    for (const Item& item : waiting) place(item);
  }

  double base_;
  double width_;
  std::size_t buckets_limit_;
  std::vector<std::vector<Item>> buckets_;
  std::size_t current_ = 0;
  std::vector<Item> beyond_;
  std::vector<std::vector<Item>> spare_;  // emptied buckets' memory
  std::size_t size_ = 0;
};

// The width of FrontOpenList's buckets, as a share of the least distance of
// any path: on the 10^5 grid's 33 km requests, 3e-5 (about a metre) made
// the search twice as fast as the heap did and cut its front by a third,
// with the route search's labels within 3 % of what they were; 1e-4 cut
// the front by half, and the route search popped 20 % to 40 % more.
constexpr double kBucketShare = 3e-5;

// How many buckets FrontOpenList keeps: 65,536, but no more than a quarter
// of the graph's nodes (and no fewer than 1,024). A front's labels number
// about the nodes it reaches, so on a small map most of 65,536 buckets
// would stay empty, yet each front's search made them and passed over them:
// on Aguascalientes' 1,804 nodes that was most of its cost. Andorra's
// fronts and the grids' fit within their share as before.
std::size_t front_buckets(std::size_t nodes) noexcept {
  return std::clamp<std::size_t>(nodes / 4, 1024, std::size_t{1} << 16);
}

}  // namespace

// Labels leave by least bound on distance (see FrontOpenList). A label goes
// when its risk is no less than that of a label already settled at its
// node (which came no later, so its distance bound is no greater, but for a
// bucket's width), or when
// its risk bound is no less than the risk of the last solution, each less a
// thousandth: either one already matches or beats, or nearly so,
// everything it can lead to. What is left is a staircase of real paths'
// costs (each solution's risk below the last one's).
//
// A label entering a street's shape points (nodes with two neighbours, see
// RoadGraph::pass_through) is carried on to the street's next other node
// at once, its sums added arc by arc; only the label there is tested and
// pushed. Its bound there is no less than at the points passed, so it still
// leaves after them; a label that the risk test at one of them would have
// dropped reaches the end no better than one that passed first (or than the
// label it would meet coming from the far end, which was settled there
// before), and is dropped there. The front is the same.
//
// With the buckets' order, solutions need not come by rising distance: the
// staircase is made from them at the end, each cost kept unless one no
// longer is at least as safe.
KnownFront known_front(const RoadGraph& graph, DenseId source, DenseId target,
                       const RemainingCost& remaining, std::uint64_t most_pops,
                       const std::vector<Cost>* covered) {
  // A label whose bound lies in a step's quadrant reaches only costs there.
  auto is_covered = [covered](const Pair& bound) {
    if (covered == nullptr) return false;
    const std::size_t k = first_longer(covered->data(), covered->size(), bound.first);
    return k > 0 && (*covered)[k - 1].risk <= bound.second;
  };
  struct Item {
    Pair bound;
    Cost cost;
    DenseId node;
    DenseId from;  // the node before, where turning back leads nowhere
  };
  const std::vector<std::uint8_t>& through = graph.pass_through();
  const RoadGraph::OutArcs out = graph.out_arcs();
  std::vector<double> least_risk(graph.dense_count(), INFINITY);  // settled at each node
  KnownFront result;
  std::vector<Cost> found;
  const Cost start = remaining.at(source);
  if (!(start.distance < INFINITY)) return result;  // the target is out of reach
  double width = start.distance * kBucketShare;
  if (!(width > 0.0) || !std::isfinite(width)) width = 1.0;  // source and target the same
  FrontOpenList<Item> open(start.distance, width, front_buckets(graph.dense_count()));
  open.push({{start.distance, start.risk}, {0.0, 0.0}, source, RoadGraph::kAbsent});
  while (!open.empty()) {
    if (result.popped == most_pops) {
      result.complete = false;
      return result;
    }
    const Item item = open.pop();
    ++result.popped;
    // Reads ahead for the next two pops: beyond the caches on a large map.
    if (const Item* next = open.next(); next != nullptr) {
      out.prefetch(next->node);
      __builtin_prefetch(&least_risk[next->node]);
      if (const Item* after = open.next(1); after != nullptr) graph.prefetch_out(after->node);
    }
    if (item.cost.risk * kFrontThinning >= least_risk[item.node] ||
        item.bound.second * kFrontThinning >= least_risk[target])
      continue;
    least_risk[item.node] = item.cost.risk;
    if (item.node == target) {
      found.push_back(item.cost);
      continue;
    }
    each_way_on(out, through, source, target, item.node, item.from, item.cost,
                [&](DenseId to, DenseId from, Cost next) {
                  const Cost rest = remaining.at(to);
                  const Pair bound{next.distance + rest.distance, next.risk + rest.risk};
                  if (!(bound.first < INFINITY)) return;  // the target is out of reach
                  if (next.risk * kFrontThinning >= least_risk[to] ||
                      bound.second * kFrontThinning >= least_risk[target] || is_covered(bound))
                    return;
                  open.push({bound, next, to, from});
                });
  }
  result.costs = staircase(std::move(found));
  return result;
}

namespace {

// One of end_costs()'s two searches: least `first`, then least `second`
// (distance then risk, or risk then distance, as `Objectives` reads them).
// Labels leave by their bound on `first`, ties by `first` itself and then
// `second`. A node keeps every label settled there, so a label is given up
// exactly when one of them is no worse in both, whatever order rounding
// gives the bounds. Once the best `first` at the target is below the next
// label's bound (less the millionth that covers the bounds' rounding),
// nothing left can reach or tie it.
template <class Objectives>
bool least_end(const RoadGraph& graph, DenseId source, DenseId target,
               const RemainingCost& remaining, std::uint64_t most_pops, std::uint64_t& popped,
               Cost& best) {
  constexpr double kSlack = 1.0 - 1e-6;
  constexpr std::uint32_t kNone = UINT32_MAX;
  struct Item {
    double bound;
    Cost cost;
    DenseId node;
    DenseId from;  // the node before, where turning back leads nowhere
    bool operator<(const Item& o) const noexcept {  // least on top
      const double a = Objectives::first(cost), b = Objectives::first(o.cost);
      if (bound != o.bound) return o.bound < bound;
      if (a != b) return b < a;
      return Objectives::second(o.cost) < Objectives::second(cost);
    }
  };
  struct Settled {
    Cost cost;
    std::uint32_t next;
  };
  // A narrow band of nodes: their labels are found through a hash map
  // rather than a table over the whole graph, which a short request on a
  // large map would pay to clear.
  std::vector<Settled> settled;
  std::unordered_map<DenseId, std::uint32_t> first_settled;
  auto beaten_at = [&](DenseId node, Cost c) {
    const auto at = first_settled.find(node);
    for (std::uint32_t k = at == first_settled.end() ? kNone : at->second; k != kNone;
         k = settled[k].next)
      if (settled[k].cost.distance <= c.distance && settled[k].cost.risk <= c.risk) return true;
    return false;
  };
  const std::vector<std::uint8_t>& through = graph.pass_through();
  const RoadGraph::OutArcs out = graph.out_arcs();
  std::priority_queue<Item> open;
  best = {INFINITY, INFINITY};
  open.push({Objectives::first(remaining.at(source)), {0.0, 0.0}, source, RoadGraph::kAbsent});
  while (!open.empty()) {
    const Item item = open.top();
    if (item.bound * kSlack > Objectives::first(best)) break;
    open.pop();
    if (++popped > most_pops) return false;
    if (beaten_at(item.node, item.cost)) continue;
    const auto at = first_settled.try_emplace(item.node, kNone).first;
    settled.push_back({item.cost, at->second});
    at->second = static_cast<std::uint32_t>(settled.size() - 1);
    if (item.node == target) {
      const Pair mine{Objectives::first(item.cost), Objectives::second(item.cost)};
      if (mine < Pair{Objectives::first(best), Objectives::second(best)}) best = item.cost;
      continue;
    }
    each_way_on(out, through, source, target, item.node, item.from, item.cost,
                [&](DenseId to, DenseId from, Cost next) {
                  const double bound =
                      Objectives::first(next) + Objectives::first(remaining.at(to));
                  if (!(bound < INFINITY) || bound * kSlack > Objectives::first(best)) return;
                  if (!beaten_at(to, next)) open.push({bound, next, to, from});
                });
  }
  return true;
}

struct DistanceFirst {
  static double first(Cost c) noexcept { return c.distance; }
  static double second(Cost c) noexcept { return c.risk; }
};
struct RiskFirst {
  static double first(Cost c) noexcept { return c.risk; }
  static double second(Cost c) noexcept { return c.distance; }
};

}  // namespace

EndCosts end_costs(const RoadGraph& graph, DenseId source, DenseId target,
                   const RemainingCost& remaining, std::uint64_t most_pops) {
  EndCosts result;
  if (!(remaining.at(source).distance < INFINITY)) return result;  // the target is out of reach
  result.complete = least_end<DistanceFirst>(graph, source, target, remaining, most_pops,
                                             result.popped, result.shortest);
  if (result.complete)
    result.complete = least_end<RiskFirst>(graph, source, target, remaining, most_pops,
                                           result.popped, result.safest);
  if (!result.complete) result.shortest = result.safest = {INFINITY, INFINITY};
  return result;
}

std::vector<Cost> staircase(std::vector<Cost> costs) {
  std::sort(costs.begin(), costs.end(), [](const Cost& a, const Cost& b) {
    return Pair{a.distance, a.risk} < Pair{b.distance, b.risk};
  });
  std::vector<Cost> steps;
  for (const Cost& c : costs)
    if (steps.empty() || c.risk < steps.back().risk) steps.push_back(c);
  return steps;
}

// Each node keeps the least weighted sum that reached it; the bounds are
// exact per objective, so their weighted sum never overestimates and the
// first label at the target is the least (up to the rounding of the sums).
// Shape points are passed as known_front() passes them: a path into a
// street goes on to its next other node or turns back, and turning back
// only adds to a sum, so the least sums are those of the graph without them.
Cost least_weighted_path(const RoadGraph& graph, DenseId source, DenseId target,
                         const RemainingCost& remaining, double risk_weight) {
  struct Item {
    double estimate;  // weighted sum so far plus the least still to go
    Cost cost;
    DenseId node;
    DenseId from;  // the node before, where turning back leads nowhere
    bool operator<(const Item& o) const noexcept { return o.estimate < estimate; }  // least on top
  };
  auto weighted = [risk_weight](Cost c) { return c.distance + c.risk * risk_weight; };
  const std::vector<std::uint8_t>& through = graph.pass_through();
  const RoadGraph::OutArcs out = graph.out_arcs();
  std::vector<double> best(graph.dense_count(), INFINITY);
  std::priority_queue<Item> open;
  best[source] = 0.0;
  open.push({weighted(remaining.at(source)), {0.0, 0.0}, source, RoadGraph::kAbsent});
  while (!open.empty()) {
    const Item item = open.top();
    open.pop();
    if (item.node == target) return item.cost;
    if (best[item.node] < weighted(item.cost)) continue;  // a better entry came first
    each_way_on(out, through, source, target, item.node, item.from, item.cost,
                [&](DenseId to, DenseId from, Cost next) {
                  const double sum = weighted(next);
                  const double estimate = sum + weighted(remaining.at(to));
                  if (!(estimate < INFINITY) || !(sum < best[to])) return;
                  best[to] = sum;
                  open.push({estimate, next, to, from});
                });
  }
  return {INFINITY, INFINITY};
}

namespace {

constexpr double kFloorMargin = 1e-6;

// A key split into what raises it and what lowers it, both non-negative.
double floor_of(double raising, double lowering) noexcept {
  return raising * (1.0 - kFloorMargin) - lowering * (1.0 + kFloorMargin);
}

double raising_part(double distance, double risk, double familiarity) noexcept {
  return distance + risk * kRiskWeight +
         (familiarity < 0.0 ? familiarity * kFamiliarityWeight : 0.0);
}

double lowering_part(double familiarity) noexcept {
  return familiarity > 0.0 ? -(familiarity * kFamiliarityWeight) : 0.0;
}

}  // namespace

double arc_key_floor(const Edge& arc) noexcept {
  return floor_of(raising_part(arc.distance_m, arc.risk_score, arc.familiarity),
                  lowering_part(arc.familiarity));
}

double key_floor(double distance, double risk, double familiarity) noexcept {
  return floor_of(raising_part(distance, risk, familiarity), lowering_part(familiarity));
}

RemainingKey remaining_key_floor(const RoadGraph& graph, DenseId source, DenseId target,
                                 double reach) {
  RemainingKey result;
  result.settled.assign(graph.dense_count(), INFINITY);
  double* least = result.settled.data();
  result.beyond = backwards(
      graph, target, source, reach,
      [&graph](const ReverseArcs::Arc& a) { return arc_key_floor(graph.edge(a.edge)); },
      [least](DenseId d) -> double& { return least[d]; });
  return result;
}

RemainingKey remaining_weighted_floor(const RoadGraph& graph, DenseId source, DenseId target,
                                      double reach, double risk_weight, double most,
                                      const std::function<bool(DenseId, double)>& expand) {
  RemainingKey result;
  result.settled.assign(graph.dense_count(), INFINITY);
  double* least = result.settled.data();
  auto cost_of = [risk_weight](const ReverseArcs::Arc& a) {
    return weighted_floor(a.distance_m, a.risk_score, risk_weight);
  };
  auto best = [least](DenseId d) -> double& { return least[d]; };
  // Without `expand`, the search that follows every node's arcs, with no call to ask.
  result.beyond =
      expand ? backwards(graph, target, source, reach, cost_of, best, nullptr, most, expand)
             : backwards(graph, target, source, reach, cost_of, best, nullptr, most);
  return result;
}

// A* on the arcs' key floors, guided by their exact least sums still to go.
KeyedPath least_key_path(const RoadGraph& graph, DenseId source, DenseId target,
                         const RemainingKey& remaining_key) {
  struct Item {
    double estimate;  // floor so far plus the least still to go
    double floor;
    KeyedPath path;
    DenseId node;
    bool operator<(const Item& o) const noexcept { return o.estimate < estimate; }  // least on top
  };
  const DistanceToTarget to_target(graph.coordinates(target));
  std::vector<double> best(graph.dense_count(), INFINITY);
  std::priority_queue<Item> open;
  best[source] = 0.0;
  open.push({remaining_key.at(source), 0.0, {{0.0, 0.0}, 0.0, 0.0}, source});
  while (!open.empty()) {
    const Item item = open.top();
    open.pop();
    if (item.node == target) return item.path;
    if (best[item.node] < item.floor) continue;  // a better entry came first
    for (std::uint32_t e : graph.out_edge_indices(item.node)) {
      const Edge& edge = graph.edge(e);
      const DenseId to = graph.head(e);
      const double floor = item.floor + arc_key_floor(edge);
      const double estimate = floor + remaining_key.at(to);
      if (!(estimate < INFINITY) || !(floor < best[to])) continue;
      best[to] = floor;
      const Cost cost{item.path.cost.distance + edge.distance_m,
                      item.path.cost.risk + edge.risk_score};
      const double familiarity = item.path.familiarity + edge.familiarity;
      // The label's key as the route search computes it, so with the same bits.
      const double key = weighted_cost(cost.distance, cost.risk, familiarity) +
                         to_target.metres_from(graph.coordinates(to));
      open.push({estimate, floor, {cost, familiarity, std::max(item.path.largest_key, key)}, to});
    }
  }
  return {{INFINITY, INFINITY}, INFINITY, INFINITY};
}

}  // namespace velorin
