#include "graph/road_graph.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>

#include "fault/internal_fault.hpp"

namespace velorin {
namespace {

// A keyed mix of the 64-bit id (splitmix64 finaliser). The key is drawn per
// graph, so no document can be crafted to make every id collide.
inline std::uint64_t mix(std::uint64_t x, std::uint64_t key) noexcept {
  x ^= key;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The slot an id starts its probe at. Eight ids that differ only in their
// last three bits share the keyed mix of the others and take neighbouring
// slots: writers number nodes along a street one after the other, so the
// arcs read in turn look up slots in the same cache line, where a mix of
// the whole id would send each lookup to a far place of a large table. The
// key still decides where each group of eight lands.
inline std::uint64_t slot_hash(std::uint64_t id, std::uint64_t key) noexcept {
  return (mix(id >> 3, key) << 3) | (id & 7);
}

std::uint64_t fresh_hash_key(const void* salt) noexcept {
  auto t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return mix(t, reinterpret_cast<std::uintptr_t>(salt)) | 1;
}

// Drops unused capacity. Built without exceptions, the standard library's
// shrink_to_fit keeps the capacity, so the table is copied to its exact size.
template <typename T>
void fit(std::vector<T>& table) {
  if (table.capacity() != table.size()) std::vector<T>(table.begin(), table.end()).swap(table);
}

}  // namespace

RoadGraph::DenseId RoadGraph::dense_of(NodeId id) const noexcept {
  if (slots_.empty()) return kAbsent;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = static_cast<std::size_t>(slot_hash(id, hash_key_)) & mask;;
       s = (s + 1) & mask) {
    std::uint32_t v = slots_[s];
    if (v == 0) return kAbsent;
    if (ids_[v - 1] == id) return v - 1;
  }
}

void RoadGraph::reserve_ids(std::size_t expected) {
  std::size_t slots = 16;
  while (slots < expected * 2) slots *= 2;
  if (slots > slots_.size()) {
    slots_.assign(slots, 0);  // only called while the index is still empty
    ids_.reserve(expected);
  }
}

void RoadGraph::grow_slots() {
  std::vector<std::uint32_t> bigger(slots_.empty() ? 16 : slots_.size() * 2, 0);
  const std::size_t mask = bigger.size() - 1;
  for (std::uint32_t v : slots_) {
    if (v == 0) continue;
    std::size_t s = static_cast<std::size_t>(slot_hash(ids_[v - 1], hash_key_)) & mask;
    while (bigger[s] != 0) s = (s + 1) & mask;
    bigger[s] = v;
  }
  slots_.swap(bigger);
}

RoadGraph::DenseId RoadGraph::intern(NodeId id, std::uint64_t hash) {
  // Keep the load factor at or below one half.
  if ((ids_.size() + 1) * 2 > slots_.size()) grow_slots();
  const std::size_t mask = slots_.size() - 1;
  std::size_t s = static_cast<std::size_t>(hash) & mask;
  for (;; s = (s + 1) & mask) {
    std::uint32_t v = slots_[s];
    if (v == 0) break;
    if (ids_[v - 1] == id) return v - 1;
  }
  require(ids_.size() < kAbsent - 1, "graph has more distinct node ids than the index can number");
  auto d = static_cast<DenseId>(ids_.size());
  ids_.push_back(id);
  slots_[s] = d + 1;
  return d;
}

// A large graph's id index is far larger than the caches, and each lookup
// reads a slot and then the id it names: a wait for memory each, unless the
// lines are already near. Documents name the same few nodes again and again
// within a short stretch (the arcs along a street share their ends, both
// directions follow each other), so a small table of recently met ids, which
// stays in the cache, answers most lookups of the edges. For the others, the
// slot of an id some lookups ahead is asked for early; the id it names then
// mostly lies beside those of the ids just looked up, since neighbouring
// ids take neighbouring slots and were numbered one after the other.
// Neither changes a dense number: the recent table only holds ids already
// numbered, and the hint is a hint.
template <typename IdAt, typename Store>
void RoadGraph::intern_all(std::size_t count, IdAt id_at, Store store) {
  struct Recent {
    NodeId id = 0;
    DenseId dense = kAbsent;
  };
  constexpr std::size_t kRecent = 8192;  // 128 KiB
  std::vector<Recent> recent(kRecent);
  auto recent_of = [&recent](NodeId id) -> Recent& {
    return recent[static_cast<std::size_t>(id ^ (id >> 13)) & (kRecent - 1)];
  };
  // Each id's hash is computed once, when it is first looked ahead at, and
  // kept in a ring until its turn comes.
  constexpr std::size_t kAhead = 16;
  std::array<std::uint64_t, kAhead> hashes;
  for (std::size_t i = 0; i < std::min(count, kAhead); ++i)
    hashes[i] = slot_hash(id_at(i), hash_key_);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t mask = slots_.size() - 1;  // intern() may grow the index
    const std::uint64_t hash = hashes[i % kAhead];
    if (i + kAhead < count) {
      const NodeId ahead = id_at(i + kAhead);
      const std::uint64_t ahead_hash = slot_hash(ahead, hash_key_);
      hashes[i % kAhead] = ahead_hash;
      __builtin_prefetch(&slots_[static_cast<std::size_t>(ahead_hash) & mask]);
    }
    const NodeId id = id_at(i);
    Recent& r = recent_of(id);
    if (r.dense == kAbsent || r.id != id) r = {id, intern(id, hash)};
    store(i, r.dense);
  }
}

namespace {

// Nodes per square metre over the box that holds the node records, +inf
// when the box has no area (a single place, or no records at all).
double node_density(const std::vector<Coordinates>& coords,
                    const std::vector<std::uint8_t>& placed) {
  double south = INFINITY, north = -INFINITY, west = INFINITY, east = -INFINITY;
  std::size_t count = 0;
  for (std::size_t d = 0; d < coords.size(); ++d) {
    if (placed[d] == 0 || !std::isfinite(coords[d].lat) || !std::isfinite(coords[d].lon)) continue;
    south = std::min(south, coords[d].lat);
    north = std::max(north, coords[d].lat);
    west = std::min(west, coords[d].lon);
    east = std::max(east, coords[d].lon);
    ++count;
  }
  constexpr double k = kRadiansPerDegree;
  const double area = (north - south) * k * (east - west) * k *
                      std::cos((north + south) / 2.0 * k) * kEarthRadiusM * kEarthRadiusM;
  return count != 0 && area > 0.0 ? static_cast<double>(count) / area : INFINITY;
}

}  // namespace

RoadGraph RoadGraph::build(std::vector<Node> nodes, std::vector<Edge> edges) {
  require(edges.size() < UINT32_MAX, "graph has more edges than the index can number");
  RoadGraph g;
  g.hash_key_ = fresh_hash_key(&g);
  g.nodes_ = std::move(nodes);
  g.edges_ = std::move(edges);

  // Most ids carry a node record, so the node count is a good first size for
  // the id index: in the common case it never rehashes.
  g.reserve_ids(g.nodes_.size());
  // Node records mostly carry distinct ids, so record i gets dense number i
  // and needs no entry of its own: the table is only made from the first
  // record that breaks the pattern (an id met before).
  std::vector<DenseId> node_dense;
  g.intern_all(
      g.nodes_.size(), [&g](std::size_t i) { return g.nodes_[i].id; },
      [&g, &node_dense](std::size_t i, DenseId d) {
        if (node_dense.empty()) {
          if (d == i) return;
          node_dense.resize(g.nodes_.size());
          for (std::size_t j = 0; j < i; ++j) node_dense[j] = static_cast<DenseId>(j);
        }
        node_dense[i] = d;
      });
  // Each edge's ends in document order, tail then head, as the ids come.
  g.head_.reserve(g.edges_.size());
  std::vector<DenseId> tail;
  tail.reserve(g.edges_.size());
  g.intern_all(
      2 * g.edges_.size(),
      [&g](std::size_t k) { return (k & 1) == 0 ? g.edges_[k / 2].from : g.edges_[k / 2].to; },
      [&g, &tail](std::size_t k, DenseId d) { ((k & 1) == 0 ? tail : g.head_).push_back(d); });
  fit(g.ids_);
  const std::size_t n = g.ids_.size();

  // A later node record's coordinates win.
  g.coords_.assign(n, Coordinates{0.0, 0.0});
  g.has_record_.assign(n, 0);
  for (std::size_t i = 0; i < g.nodes_.size(); ++i) {
    const DenseId d = node_dense.empty() ? static_cast<DenseId>(i) : node_dense[i];
    g.coords_[d] = {g.nodes_[i].lat, g.nodes_[i].lon};
    g.has_record_[d] = 1;
  }
  node_dense = {};

  // Out-edge index as a stable counting sort by tail: within one node the
  // indices stay ascending, which is document order. The counts go in at
  // t + 2, so that after the sums first_out_[t + 1] is where the run of tail
  // t starts; moved along the run as its edges are placed, it ends where the
  // run ends, which is where the next one starts.
  g.first_out_.assign(n + 2, 0);
  for (DenseId t : tail) ++g.first_out_[t + 2];
  for (std::size_t d = 2; d < n + 2; ++d) g.first_out_[d] += g.first_out_[d - 1];
  g.out_edge_.resize(g.edges_.size());
  for (std::size_t i = 0; i < tail.size(); ++i)
    g.out_edge_[g.first_out_[tail[i] + 1]++] = static_cast<std::uint32_t>(i);
  g.first_out_.pop_back();
  g.nodes_per_m2_ = node_density(g.coords_, g.has_record_);
  return g;
}

ArcBounds RoadGraph::arc_bounds() const {
  if (arc_bounds_ == nullptr) return compute_arc_bounds();  // a moved-from graph
  std::call_once(arc_bounds_->once, [this] { arc_bounds_->value = compute_arc_bounds(); });
  return arc_bounds_->value;
}

ArcBounds RoadGraph::compute_arc_bounds() const {
  // The margin absorbs the rounding of two evaluations of one distance that
  // differ in the order of their operations, and of the ratio itself.
  constexpr double kRatioMargin = 1.0 - 1e-9;
  ArcBounds bounds;
  bool non_negative = true;
  bool finite = true;
  double length_ratio = INFINITY;
  double risk_per_metre = INFINITY;
  bool familiarity_non_positive = true;
  bool familiarity_non_negative = true;
  bool no_familiarity = true;
  double total_distance = 0.0, total_risk = 0.0, total_familiarity = 0.0;
  for (DenseId from = 0; from < dense_count(); ++from) {
    for (std::uint32_t e : out_edge_indices(from)) {
      const Edge& arc = edges_[e];
      // Written so that NaN fails every test.
      if (!(arc.familiarity <= 0.0)) familiarity_non_positive = false;
      if (!(arc.familiarity >= 0.0)) familiarity_non_negative = false;
      if (!(arc.familiarity == 0.0)) no_familiarity = false;
      if (!(arc.distance_m >= 0.0) || !(arc.risk_score >= 0.0)) {
        non_negative = false;
        continue;
      }
      if (std::isinf(arc.distance_m) || std::isinf(arc.risk_score)) finite = false;
      total_distance += arc.distance_m;
      total_risk += arc.risk_score;
      total_familiarity += arc.familiarity;
      const double span = great_circle_m(coords_[from], coords_[head_[e]]);
      if (!(span >= 0.0)) {
        length_ratio = 0.0;  // NaN: nothing to scale
      } else if (span > 0.0) {
        const double ratio = arc.distance_m / span;
        if (ratio < length_ratio) length_ratio = ratio;
      }
      // An infinite risk on an infinite length (a NaN ratio) bounds nothing.
      const double risk_ratio = arc.risk_score / arc.distance_m;
      if (arc.distance_m > 0.0 && risk_ratio < risk_per_metre) risk_per_metre = risk_ratio;
    }
  }
  if (!non_negative) return bounds;
  bounds.non_negative = true;
  bounds.finite = finite;
  bounds.total_distance = total_distance;
  bounds.total_risk = total_risk;
  bounds.familiarity_non_positive = familiarity_non_positive;
  bounds.familiarity_non_negative = familiarity_non_negative;
  if (familiarity_non_negative) bounds.total_familiarity = total_familiarity;
  bounds.no_familiarity = no_familiarity;
  // No arc joins two distinct positions: the great circle bounds nothing more
  // than any other positive factor would, and 1 is as good as any.
  if (std::isinf(length_ratio)) length_ratio = 1.0;
  length_ratio *= kRatioMargin;
  bounds.length_ratio = std::isfinite(length_ratio) && length_ratio > 0.0 ? length_ratio : 0.0;
  bounds.risk_per_metre = std::isinf(risk_per_metre) ? 0.0 : risk_per_metre;  // no arc has a length
  return bounds;
}

const ReverseArcs& RoadGraph::reverse_arcs() const {
  static const ReverseArcs kNone{{0}, {}};
  if (arc_bounds_ == nullptr) return kNone;  // a moved-from graph has no nodes
  return arc_bounds_->reverse.get([this] { return build_reverse_arcs(); });
}

RoadGraph::OutArcs RoadGraph::out_arcs() const {
  static const std::uint32_t kNoFirst[2] = {0, 0};
  if (arc_bounds_ == nullptr) return {kNoFirst, nullptr, nullptr};  // a moved-from graph
  const ArcBoundsMemo::SideBySide& side =
      arc_bounds_->out_arcs.get([this] { return build_out_arcs(); });
  return {first_out_.data(), side.arcs.data(),
          side.familiarity.empty() ? nullptr : side.familiarity.data()};
}

RoadGraph::ArcBoundsMemo::SideBySide RoadGraph::build_out_arcs() const {
  ArcBoundsMemo::SideBySide side;
  side.arcs.resize(out_edge_.size());
  for (std::size_t i = 0; i < out_edge_.size(); ++i) {
    const std::uint32_t e = out_edge_[i];
    side.arcs[i] = {head_[e], e, edges_[e].distance_m, edges_[e].risk_score};
  }
  // Asked here rather than of arc_bounds(), which leaves its facts about
  // familiarity unset on a graph with a negative or NaN cost.
  if (std::any_of(edges_.begin(), edges_.end(),
                  [](const Edge& e) { return !(e.familiarity == 0.0); })) {
    side.familiarity.resize(out_edge_.size());
    for (std::size_t i = 0; i < out_edge_.size(); ++i)
      side.familiarity[i] = edges_[out_edge_[i]].familiarity;
  }
  return side;
}

// A counting sort of the arcs by head, in ascending edge index.
ReverseArcs RoadGraph::build_reverse_arcs() const {
  ReverseArcs reverse;
  const std::size_t n = dense_count();
  std::vector<DenseId> tail(edges_.size());
  for (DenseId from = 0; from < n; ++from)
    for (std::uint32_t e : out_edge_indices(from)) tail[e] = from;
  reverse.first.assign(n + 1, 0);
  for (DenseId h : head_) ++reverse.first[h + 1];
  for (std::size_t d = 0; d < n; ++d) reverse.first[d + 1] += reverse.first[d];
  reverse.arcs.resize(edges_.size());
  std::vector<std::uint32_t> fill(reverse.first.begin(), reverse.first.end() - 1);
  for (std::size_t e = 0; e < edges_.size(); ++e)
    reverse.arcs[fill[head_[e]]++] = {tail[e], static_cast<std::uint32_t>(e), edges_[e].distance_m,
                                      edges_[e].risk_score};
  return reverse;
}

const std::vector<std::uint8_t>& RoadGraph::pass_through() const {
  static const std::vector<std::uint8_t> kNone;
  if (arc_bounds_ == nullptr) return kNone;  // a moved-from graph has no nodes
  return arc_bounds_->pass_through.get([this] { return find_pass_through(); });
}

std::vector<std::uint8_t> RoadGraph::find_pass_through() const {
  const ReverseArcs& reverse = reverse_arcs();
  std::vector<std::uint8_t> result(dense_count(), 0);
  for (DenseId d = 0; d < dense_count(); ++d) {
    // Arcs out to and in from each neighbour, counted; a third neighbour,
    // a second arc either way or a loop rules the node out.
    DenseId neighbour[2] = {kAbsent, kAbsent};
    int out[2] = {0, 0}, in[2] = {0, 0};
    bool through = true;
    auto slot = [&](DenseId n) -> int {
      if (n == d) return -1;
      for (int k = 0; k < 2; ++k) {
        if (neighbour[k] == n) return k;
        if (neighbour[k] == kAbsent) {
          neighbour[k] = n;
          return k;
        }
      }
      return -1;
    };
    for (std::uint32_t e : out_edge_indices(d)) {
      const int k = slot(head_[e]);
      if (k < 0 || ++out[k] > 1) through = false;
    }
    for (std::uint32_t a = reverse.first[d]; through && a < reverse.first[d + 1]; ++a) {
      const int k = slot(reverse.arcs[a].tail);
      if (k < 0 || ++in[k] > 1) through = false;
    }
    if (through && neighbour[1] != kAbsent) result[d] = 1;
  }
  return result;
}

const std::vector<std::uint8_t>& RoadGraph::twin_arcs() const {
  static const std::vector<std::uint8_t> kNone;
  if (arc_bounds_ == nullptr) return kNone;  // a moved-from graph has no nodes
  return arc_bounds_->twin_arcs.get([this] { return find_twin_arcs(); });
}

// Each node's arcs sorted by where they go and what they cost (a zero of
// either sign counting as one), then neighbours compared.
std::vector<std::uint8_t> RoadGraph::find_twin_arcs() const {
  std::vector<std::uint8_t> result(dense_count(), 0);
  struct Arc {
    DenseId head;
    std::uint64_t distance, risk;
    auto operator<=>(const Arc&) const = default;
  };
  std::vector<Arc> arcs;
  for (DenseId d = 0; d < dense_count(); ++d) {
    const auto out = out_edge_indices(d);
    if (out.size() < 2) continue;
    arcs.clear();
    for (std::uint32_t e : out)
      arcs.push_back({head_[e], std::bit_cast<std::uint64_t>(edges_[e].distance_m + 0.0),
                      std::bit_cast<std::uint64_t>(edges_[e].risk_score + 0.0)});
    std::sort(arcs.begin(), arcs.end());
    if (std::adjacent_find(arcs.begin(), arcs.end()) != arcs.end()) result[d] = 1;
  }
  return result;
}

std::size_t RoadGraph::memory_bytes() const noexcept {
  const ReverseArcs* reverse = arc_bounds_ != nullptr ? arc_bounds_->reverse.built() : nullptr;
  const std::vector<std::uint8_t>* pass_through =
      arc_bounds_ != nullptr ? arc_bounds_->pass_through.built() : nullptr;
  const std::vector<std::uint8_t>* twins =
      arc_bounds_ != nullptr ? arc_bounds_->twin_arcs.built() : nullptr;
  const ArcBoundsMemo::SideBySide* out_arcs =
      arc_bounds_ != nullptr ? arc_bounds_->out_arcs.built() : nullptr;
  const std::size_t reverse_bytes = reverse != nullptr
                                        ? reverse->first.capacity() * sizeof(std::uint32_t) +
                                              reverse->arcs.capacity() * sizeof(ReverseArcs::Arc)
                                        : 0;
  return sizeof(*this) + nodes_.capacity() * sizeof(Node) + edges_.capacity() * sizeof(Edge) +
         ids_.capacity() * sizeof(NodeId) + slots_.capacity() * sizeof(std::uint32_t) +
         first_out_.capacity() * sizeof(std::uint32_t) +
         out_edge_.capacity() * sizeof(std::uint32_t) + head_.capacity() * sizeof(DenseId) +
         coords_.capacity() * sizeof(Coordinates) + has_record_.capacity() +
         (arc_bounds_ != nullptr ? sizeof(ArcBoundsMemo) : 0) + reverse_bytes +
         (pass_through != nullptr ? pass_through->capacity() : 0) +
         (twins != nullptr ? twins->capacity() : 0) +
         (out_arcs != nullptr ? out_arcs->arcs.capacity() * sizeof(OutArc) +
                                    out_arcs->familiarity.capacity() * sizeof(double)
                              : 0);
}

}  // namespace velorin
