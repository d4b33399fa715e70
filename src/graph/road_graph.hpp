// The in-memory road network: a node table, an edge table (directed arcs) and
// the out-edge index, plus a dense numbering of every node id that the graph
// mentions. Plain C++: no Python and no parser here.
//
// Tables are kept in document order and never change after build(). Node ids
// are compared for equality only. Unknown endpoints, duplicate node records and
// self-loops are all kept: each consumer decides what they mean.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace velorin {

using NodeId = std::uint64_t;

struct Node {
  NodeId id;
  double lat;
  double lon;
};

struct Edge {
  NodeId from;
  NodeId to;
  double distance_m;
  double risk_score;
  double familiarity;  // 0.0 where the document gave none
};

struct Coordinates {
  double lat;
  double lon;
};

// Facts about every arc, for the route search's lower bounds.
struct ArcBounds {
  // No cost is negative or NaN, and every arc is at least as long as the
  // great-circle distance between the positions of its ends (within a
  // relative 1e-9): a path is then never shorter than the great circle from
  // its start to its end, and its sums only grow along it.
  bool usable = false;
  // The largest rho with risk_score >= rho * distance_m on every arc (when
  // usable), so that a path's risk is at least rho times its length.
  double risk_per_metre = 0.0;
};

// Haversine great-circle distance in metres from `p` to `target` (degrees), on
// a sphere of radius 6,371,000 m, given the cosine of the target's latitude so
// that a caller measuring many points to one target takes it once. The terms
// are evaluated in a fixed order (the build forbids fused multiply-add), so the
// value is the same at every optimisation level; sin, cos and atan2 come from
// the C maths library, whose last bit may differ between processors
// (docs/platforms.md). Nothing clamps the haversine term: should rounding push
// it above 1.0 the result is NaN.
inline double haversine_m(Coordinates p, Coordinates target, double cos_target_lat) noexcept {
  constexpr double k = 0.017453292519943295;  // radians per degree
  double sin_half_dlon = std::sin((target.lon - p.lon) * k * 0.5);
  double sin_half_dlat = std::sin((target.lat - p.lat) * k * 0.5);
  double a = (cos_target_lat * std::cos(p.lat * k)) * (sin_half_dlon * sin_half_dlon) +
             sin_half_dlat * sin_half_dlat;
  return std::atan2(std::sqrt(a), std::sqrt(1.0 - a)) * 12742000.0;
}

// The same distance between two positions.
inline double great_circle_m(Coordinates a, Coordinates b) noexcept {
  return haversine_m(a, b, std::cos(b.lat * 0.017453292519943295));
}

class RoadGraph {
 public:
  // Dense number of a node id: 0 .. dense_count()-1, assigned to every id that
  // occurs in the node table or as an edge endpoint, in order of first
  // appearance (nodes first, then edges).
  using DenseId = std::uint32_t;
  static constexpr DenseId kAbsent = UINT32_MAX;

  class EdgeRange;

  RoadGraph() = default;
  RoadGraph(RoadGraph&&) noexcept = default;
  RoadGraph& operator=(RoadGraph&&) noexcept = default;
  RoadGraph(const RoadGraph&) = delete;
  RoadGraph& operator=(const RoadGraph&) = delete;

  // Takes the decoded records as they stand: no validation, no de-duplication.
  static RoadGraph build(std::vector<Node> nodes, std::vector<Edge> edges);

  std::size_t node_count() const noexcept { return nodes_.size(); }
  std::size_t edge_count() const noexcept { return edges_.size(); }
  std::span<const Node> nodes() const noexcept { return nodes_; }
  std::span<const Edge> edges() const noexcept { return edges_; }
  const Edge& edge(std::uint32_t index) const noexcept { return edges_[index]; }

  // The edges whose `from` is `id`, in ascending edge index (document order);
  // empty when no edge leaves `id`.
  EdgeRange out_edges(NodeId id) const noexcept;

  // --- dense numbering, built once with the graph ---
  std::size_t dense_count() const noexcept { return ids_.size(); }
  DenseId dense_of(NodeId id) const noexcept;  // kAbsent if the graph never mentions id
  NodeId id_of(DenseId d) const noexcept { return ids_[d]; }
  // True when some node record carries this id (edge endpoints alone do not count).
  bool has_node_record(DenseId d) const noexcept { return has_record_[d] != 0; }
  // Coordinates of the last node record with this id; (0.0, 0.0) when there is none.
  Coordinates coordinates(DenseId d) const noexcept { return coords_[d]; }
  // Edge indices leaving dense node d, ascending.
  std::span<const std::uint32_t> out_edge_indices(DenseId d) const noexcept {
    return {out_edge_.data() + first_out_[d], out_edge_.data() + first_out_[d + 1]};
  }
  // Dense number of the node an edge enters.
  DenseId head(std::uint32_t edge_index) const noexcept { return head_[edge_index]; }

  // Bytes held by the graph's tables (capacity, not size).
  std::size_t memory_bytes() const noexcept;

  // Derived with one pass over the arcs on first use, then kept: the graph
  // never changes. Safe to call from several threads.
  ArcBounds arc_bounds() const;

 private:
  DenseId intern(NodeId id);               // during build only
  void reserve_ids(std::size_t expected);  // before the first intern()
  void grow_slots();

  std::vector<Node> nodes_;
  std::vector<Edge> edges_;
  std::vector<NodeId> ids_;               // dense -> id
  std::vector<std::uint32_t> slots_;      // open addressing: dense + 1, 0 = empty
  std::uint64_t hash_key_ = 0;            // per-graph random key against crafted collisions
  std::vector<std::uint32_t> first_out_;  // CSR offsets, dense_count() + 1 entries
  std::vector<std::uint32_t> out_edge_;   // edge indices grouped by `from`
  std::vector<DenseId> head_;             // per edge: dense number of `to`
  std::vector<Coordinates> coords_;       // per dense id
  std::vector<std::uint8_t> has_record_;  // per dense id

  struct ArcBoundsMemo {
    std::once_flag once;
    ArcBounds value;
  };
  ArcBounds compute_arc_bounds() const;
  std::unique_ptr<ArcBoundsMemo> arc_bounds_ = std::make_unique<ArcBoundsMemo>();
};

class RoadGraph::EdgeRange {
 public:
  class iterator {
   public:
    iterator(const RoadGraph* g, const std::uint32_t* p) : graph_(g), pos_(p) {}
    const Edge& operator*() const noexcept { return graph_->edge(*pos_); }
    iterator& operator++() noexcept {
      ++pos_;
      return *this;
    }
    bool operator==(const iterator& other) const noexcept { return pos_ == other.pos_; }

   private:
    const RoadGraph* graph_;
    const std::uint32_t* pos_;
  };

  EdgeRange(const RoadGraph* g, std::span<const std::uint32_t> indices)
      : graph_(g), idx_(indices) {}
  iterator begin() const noexcept { return {graph_, idx_.data()}; }
  iterator end() const noexcept { return {graph_, idx_.data() + idx_.size()}; }
  bool empty() const noexcept { return idx_.empty(); }
  std::size_t size() const noexcept { return idx_.size(); }

 private:
  const RoadGraph* graph_;
  std::span<const std::uint32_t> idx_;
};

inline RoadGraph::EdgeRange RoadGraph::out_edges(NodeId id) const noexcept {
  DenseId d = dense_of(id);
  if (d == kAbsent) return {this, {}};
  return {this, out_edge_indices(d)};
}

}  // namespace velorin
