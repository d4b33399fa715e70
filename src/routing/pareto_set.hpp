// Sets of mutually non-dominated costs: the insert that keeps them so, and the
// pooled storage of the per-node sets of one search.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fault/internal_fault.hpp"
#include "routing/cost_order.hpp"

namespace velorin {

inline Cost cost_of(Cost c) noexcept {
  return c;
}

// Removes from entries[0, size) every entry that `label` dominates, keeping the
// others in order, and returns the new size; returns kDominatedLabel instead,
// with the entries untouched, when some entry dominates `label`. One pass does
// both jobs: a set never holds an entry that dominates
// another, so once the label has been seen to dominate an entry no entry can
// dominate the label (that entry would dominate the removed one), and a pass
// that ends in rejection has moved nothing.
inline constexpr std::size_t kDominatedLabel = SIZE_MAX;

template <class Entry>
std::size_t sweep_dominated(Entry* entries, std::size_t size, Cost label) noexcept {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < size; ++i) {
    Cost c = cost_of(entries[i]);
    if (dominates(c, label)) return kDominatedLabel;
    if (dominates(label, c)) continue;
    entries[kept++] = entries[i];
  }
  return kept;
}

// Inserts `label` into `set` unless an entry dominates it: entries that the
// label dominates go, the rest keep their order, the label goes last. Entries
// with the label's very cost stay. Returns whether the label was kept.
template <class Entry>
bool pareto_insert(std::vector<Entry>& set, const Entry& label) {
  std::size_t kept = sweep_dominated(set.data(), set.size(), cost_of(label));
  if (kept == kDominatedLabel) return false;
  set.resize(kept);
  set.push_back(label);
  return true;
}

// The per-node Pareto sets of one search. Only the dominance of a label by a
// set is ever asked of them, never their order, so each set is kept as a
// staircase: distinct costs sorted by distance, risk then strictly falling
// (two non-dominated costs with equal distance are equal). The test and the
// insert are a binary search and one move of the tail instead of a scan.
// Costs with a NaN are left out: they neither dominate nor are dominated, so
// they never change an answer. All sets share one pool: a node's set is a
// segment of the pool that moves to a segment twice as large when it fills.
class NodeParetoSets {
 public:
  struct Segment {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t capacity = 0;  // 0: the node has no set yet
  };

  // The node-level test and the settling of a popped label at once: false when
  // an entry of the node's set dominates `label` or has exactly its cost
  // (nothing changes); otherwise the entries that `label` dominates are
  // removed, `label` is added, and true is returned.
  //
  // A label with the cost of one already settled here can only lead where
  // that one leads, at the same costs. Settling both would double every label
  // downstream: a map with duplicated ways, or a grid with whole-number costs,
  // would multiply them exponentially. So the first label of each cost wins.
  bool settle(Segment& set, Cost label) {
    if (label.distance != label.distance || label.risk != label.risk) return true;
    double* distance = distance_.data() + set.offset;
    double* risk = risk_.data() + set.offset;
    const std::size_t size = set.size;
    // First entry no shorter than the label. The entry before it, or the
    // entry at it if it is exactly as long, has the least risk among entries
    // no longer than the label: the only one that can rule it out.
    const std::size_t first = lower_bound(distance, size, label.distance);
    const std::size_t closest =
        first < size && distance[first] == label.distance ? first + 1 : first;
    if (closest > 0) {
      Cost best{distance[closest - 1], risk[closest - 1]};
      if (best.distance <= label.distance && best.risk <= label.risk) return false;
    }
    // Entries from `first` on are no shorter; those that are also no safer
    // form a run, since risk falls along the staircase. The label replaces it.
    std::size_t last = first;
    while (last < size && risk[last] >= label.risk) ++last;
    if (last > first) {
      distance[first] = label.distance;
      risk[first] = label.risk;
      std::copy(distance + last, distance + size, distance + first + 1);
      std::copy(risk + last, risk + size, risk + first + 1);
      set.size = static_cast<std::uint32_t>(size - (last - first - 1));
      return true;
    }
    if (size == set.capacity) {
      grow(set);
      distance = distance_.data() + set.offset;
      risk = risk_.data() + set.offset;
    }
    std::copy_backward(distance + first, distance + size, distance + size + 1);
    std::copy_backward(risk + first, risk + size, risk + size + 1);
    distance[first] = label.distance;
    risk[first] = label.risk;
    ++set.size;
    return true;
  }

  std::size_t capacity_bytes() const noexcept {
    std::size_t bytes = (distance_.capacity() + risk_.capacity()) * sizeof(double);
    for (const auto& v : vacant_) bytes += v.capacity() * sizeof(std::uint32_t);
    return bytes;
  }

 private:
  // Index of the first value >= x in sorted values[0, size). Branch-free: the
  // sets are searched on every pop, and their comparisons do not predict.
  static std::size_t lower_bound(const double* values, std::size_t size, double x) noexcept {
    if (size == 0) return 0;
    const double* base = values;
    while (size > 1) {
      std::size_t half = size / 2;
      base = base[half - 1] < x ? base + half : base;
      size -= half;
    }
    return static_cast<std::size_t>(base - values) + (*base < x ? 1 : 0);
  }

  // Moves a full set to a segment twice its size. Segments have power-of-two
  // sizes; a vacated one is kept for the next set that grows into its size.
  void grow(Segment& set) {
    const std::size_t capacity = set.capacity == 0 ? 2 : std::size_t{set.capacity} * 2;
    const int size_class = std::countr_zero(capacity);
    std::uint32_t offset;
    if (!vacant_[size_class].empty()) {
      offset = vacant_[size_class].back();
      vacant_[size_class].pop_back();
    } else {
      require(distance_.size() + capacity <= UINT32_MAX,
              "per-node Pareto sets outgrew their index");
      offset = static_cast<std::uint32_t>(distance_.size());
      distance_.resize(distance_.size() + capacity);
      risk_.resize(risk_.size() + capacity);
    }
    std::copy_n(distance_.data() + set.offset, set.size, distance_.data() + offset);
    std::copy_n(risk_.data() + set.offset, set.size, risk_.data() + offset);
    if (set.capacity != 0) vacant_[std::countr_zero(set.capacity)].push_back(set.offset);
    set.offset = offset;
    set.capacity = static_cast<std::uint32_t>(capacity);
  }

  // The sets' distances and risks in two parallel pools, so that the binary
  // search over distances reads half as many cache lines.
  std::vector<double> distance_;
  std::vector<double> risk_;
  std::array<std::vector<std::uint32_t>, 32> vacant_;  // by log2 of the segment size
};

}  // namespace velorin
