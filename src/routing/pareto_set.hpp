// Sets of mutually non-dominated costs: the insert that keeps them so, and the
// pooled storage of the per-node sets of one search.
#pragma once

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

// The per-node Pareto sets of one search, all in one pool: a node's set is a
// segment of the pool that moves to the end, twice as large, when it fills.
// Only distance and risk are ever read from these sets, so that is all they
// keep.
class NodeParetoSets {
 public:
  struct Segment {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t capacity = 0;  // 0: the node has no set yet
  };

  // The node-level test and the settling of a popped label at once: false when
  // an entry of the node's set dominates `label` (nothing changes), otherwise
  // the label is inserted as pareto_insert() does and true is returned.
  bool settle(Segment& set, Cost label) {
    std::size_t kept = sweep_dominated(pool_.data() + set.offset, set.size, label);
    if (kept == kDominatedLabel) return false;
    set.size = static_cast<std::uint32_t>(kept);
    if (set.size == set.capacity) grow(set);
    pool_[set.offset + set.size++] = label;
    return true;
  }

  std::size_t capacity_bytes() const noexcept { return pool_.capacity() * sizeof(Cost); }

 private:
  void grow(Segment& set) {
    std::size_t capacity = set.capacity == 0 ? 2 : std::size_t{set.capacity} * 2;
    require(pool_.size() + capacity <= UINT32_MAX, "per-node Pareto sets outgrew their index");
    if (set.capacity != 0 && set.offset + set.capacity == pool_.size()) {
      // The segment is the last one in the pool: it can grow where it is.
      pool_.resize(set.offset + capacity);
    } else {
      std::size_t offset = pool_.size();
      pool_.resize(offset + capacity);
      for (std::uint32_t i = 0; i < set.size; ++i) pool_[offset + i] = pool_[set.offset + i];
      set.offset = static_cast<std::uint32_t>(offset);
    }
    set.capacity = static_cast<std::uint32_t>(capacity);
  }

  std::vector<Cost> pool_;
};

}  // namespace velorin
