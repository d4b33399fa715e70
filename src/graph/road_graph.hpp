// The in-memory road network: a node table, an edge table (directed arcs) and
// the out-edge index, plus a dense numbering of every node id that the graph
// mentions. Plain C++: no Python and no parser here.
//
// Tables are kept in document order and never change after build(). Node ids
// are compared for equality only. Unknown endpoints, duplicate node records and
// self-loops are all kept: each consumer decides what they mean.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "graph/great_circle.hpp"

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

// Facts about every arc, for the route search's lower bounds.
struct ArcBounds {
  // No cost is negative or NaN: a path's sums only grow along it, and the
  // least distance or risk still to go can be found by Dijkstra's algorithm.
  bool non_negative = false;
  // No cost is infinite (when non_negative).
  bool finite = false;
  // The sums of all arcs' lengths and risks (when non_negative): no path's
  // sum exceeds them, so they say whether any sum along a path can overflow.
  double total_distance = 0.0;
  double total_risk = 0.0;
  // A positive factor with distance_m >= length_ratio * (great-circle
  // distance between the positions of its ends) on every arc, with a margin
  // for the rounding of both; 0.0 when there is none (some arc far shorter
  // than its ends lie apart, or a NaN). A path is then never shorter than
  // length_ratio times the great circle from its start to its end. Maps whose
  // lengths are the great circle rounded to the centimetre have a ratio just
  // below 1.
  double length_ratio = 0.0;
  // The largest rho with risk_score >= rho * distance_m on every arc (when
  // non_negative), so that a path's risk is at least rho times its length.
  double risk_per_metre = 0.0;
  // No arc has a positive (or NaN) familiarity: since the search's key
  // subtracts familiarity, a path's key then never falls below its weighted
  // distance and risk.
  bool familiarity_non_positive = false;
  // No arc has a negative (or NaN) familiarity, and the sum of all arcs'
  // familiarity (when non_negative): a path's familiarity then only grows
  // along it, and never exceeds that sum.
  bool familiarity_non_negative = false;
  double total_familiarity = 0.0;
  // Every arc's familiarity is zero: keys then order labels at one node as
  // their distance and risk do.
  bool no_familiarity = false;
};

// The arcs entering each node, for searches that run backwards from a target.
struct ReverseArcs {
  // With the arc's costs, so that a search reads them in order rather than
  // from the edge table, scattered.
  struct Arc {
    std::uint32_t tail;  // dense number of the node the arc leaves
    std::uint32_t edge;  // edge index
    double distance_m;
    double risk_score;
  };
  std::vector<std::uint32_t> first;  // per dense node: offset into arcs, plus one entry at the end
  std::vector<Arc> arcs;             // grouped by head, ascending edge index within a head
};

// An arc leaving a node, with its head and costs side by side: searches that
// take many nodes' arcs across a large map read them in one place rather
// than from the head and edge tables, each scattered by edge index.
struct OutArc {
  std::uint32_t head;  // dense number of the node the arc enters
  std::uint32_t edge;  // edge index
  double distance_m;
  double risk_score;
};

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
  // Starts reading where dense node d's edge indices lie, ahead of
  // out_edge_indices(d).
  void prefetch_out(DenseId d) const noexcept { __builtin_prefetch(first_out_.data() + d); }
  // Dense number of the node an edge enters.
  DenseId head(std::uint32_t edge_index) const noexcept { return head_[edge_index]; }

  // The arcs leaving each node, as out_edge_indices() orders them, with
  // their heads and costs (OutArc), and their familiarity in a table of its
  // own where some arc's is not zero. Built on first use, then kept.
  class OutArcs {
   public:
    std::span<const OutArc> of(DenseId d) const noexcept {
      return {arcs_ + first_[d], arcs_ + first_[d + 1]};
    }
    // Whether some arc's familiarity is not zero (or is NaN).
    bool has_familiarity() const noexcept { return familiarity_ != nullptr; }
    // The familiarity of an arc of of(): where has_familiarity() only.
    double familiarity(const OutArc& arc) const noexcept { return familiarity_[&arc - arcs_]; }
    // Starts reading where node d's arcs lie.
    void prefetch(DenseId d) const noexcept { __builtin_prefetch(arcs_ + first_[d]); }
    // The arc leaving `at` that does not go back to `from` (the last one in
    // edge order), or nullptr: at a pass-through node, the way on.
    const OutArc* onward(DenseId at, DenseId from) const noexcept {
      const OutArc* onward = nullptr;
      for (const OutArc& arc : of(at))
        if (arc.head != from) onward = &arc;
      return onward;
    }

   private:
    friend class RoadGraph;
    OutArcs(const std::uint32_t* first, const OutArc* arcs, const double* familiarity)
        : first_(first), arcs_(arcs), familiarity_(familiarity) {}
    const std::uint32_t* first_;
    const OutArc* arcs_;
    const double* familiarity_;  // nullptr where every arc's is zero
  };
  OutArcs out_arcs() const;

  // Node records per square metre over the box that holds them (+inf when
  // it has no area): how many nodes lie within a given distance, roughly,
  // which tells the route search what its backward searches will cost.
  double nodes_per_m2() const noexcept { return nodes_per_m2_; }

  // Bytes held by the graph's tables (capacity, not size).
  std::size_t memory_bytes() const noexcept;

  // Derived with one pass over the arcs on first use, then kept: the graph
  // never changes. Safe to call from several threads.
  ArcBounds arc_bounds() const;
  // Built on first use, then kept, like arc_bounds().
  const ReverseArcs& reverse_arcs() const;
  // Per dense node, 1 for a node that a path can only pass through: exactly
  // two neighbours, at most one arc to and one arc from each, no loop (the
  // shape points of a street). A path arriving from one neighbour goes on to
  // the other or turns back. Built on first use, then kept.
  const std::vector<std::uint8_t>& pass_through() const;
  // Per dense node, 1 where two arcs leave it for the same node with the
  // same length and risk (duplicated ways). Built on first use, then kept.
  const std::vector<std::uint8_t>& twin_arcs() const;

 private:
  DenseId intern(NodeId id, std::uint64_t hash);  // during build only; hash = slot_hash(id)
  void reserve_ids(std::size_t expected);         // before the first intern()
  void grow_slots();
  // intern() for the ids id_at(0) .. id_at(count - 1), in that order,
  // handing each dense number to store(k, dense).
  template <typename IdAt, typename Store>
  void intern_all(std::size_t count, IdAt id_at, Store store);

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
  double nodes_per_m2_ = INFINITY;

  struct ArcBoundsMemo {
    std::once_flag once;
    ArcBounds value;
    // A table derived from the arcs on first use, then kept; built() lets
    // memory_bytes() count it without waiting for it or building it.
    template <class T>
    struct Lazy {
      std::once_flag once;
      T value;
      std::atomic<bool> done{false};
      template <class Build>
      const T& get(Build build) {
        std::call_once(once, [&] {
          value = build();
          done.store(true, std::memory_order_release);
        });
        return value;
      }
      const T* built() const noexcept {
        return done.load(std::memory_order_acquire) ? &value : nullptr;
      }
    };
    Lazy<ReverseArcs> reverse;
    struct SideBySide {
      std::vector<OutArc> arcs;
      std::vector<double> familiarity;  // empty where every arc's is zero
    };
    Lazy<SideBySide> out_arcs;
    Lazy<std::vector<std::uint8_t>> pass_through;
    Lazy<std::vector<std::uint8_t>> twin_arcs;
  };
  ArcBounds compute_arc_bounds() const;
  ReverseArcs build_reverse_arcs() const;
  ArcBoundsMemo::SideBySide build_out_arcs() const;
  std::vector<std::uint8_t> find_pass_through() const;
  std::vector<std::uint8_t> find_twin_arcs() const;
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
