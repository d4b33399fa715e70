// The open list of the route search: a binary heap of labels waiting to be
// popped, best first. It is written out rather than taken from the standard
// library because the order in which labels that compare equal leave the heap
// decides which of two equal-cost paths is kept, so every move must be fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "routing/cost_order.hpp"

namespace velorin {

// A label waiting in the open list: its key, its cost vector, the node it sits
// at and the settled label it extends (its path is that label's path plus
// `node`). 40 bytes, so a heap move is a few cache-line-friendly copies.
struct OpenLabel {
  std::int64_t key_rank;  // key_rank() of the key f
  double distance;
  double risk;
  double familiarity;
  std::uint32_t node;    // dense node number
  std::uint32_t parent;  // index of the extended label in the path arena, or kNoParent
};

inline constexpr std::uint32_t kNoParent = UINT32_MAX;

// x leaves the open list before y: smaller key (NaN last), then smaller
// distance, then smaller risk, both by totalOrder.
inline bool better(const OpenLabel& x, const OpenLabel& y) noexcept {
  if (x.key_rank != y.key_rank) return x.key_rank < y.key_rank;
  std::int64_t xd = total_order_rank(x.distance), yd = total_order_rank(y.distance);
  if (xd != yd) return xd < yd;
  return total_order_rank(x.risk) < total_order_rank(y.risk);
}

class OpenList {
 public:
  bool empty() const noexcept { return heap_.empty(); }
  std::size_t size() const noexcept { return heap_.size(); }
  std::size_t capacity_bytes() const noexcept { return heap_.capacity() * sizeof(OpenLabel); }
  const std::vector<OpenLabel>& entries() const noexcept { return heap_; }

  void push(const OpenLabel& label) {
    heap_.push_back(label);
    sift_up(heap_.size() - 1, label);
  }

  // Removes and returns the best label. The heap must not be empty.
  OpenLabel pop() {
    OpenLabel best = heap_.front();
    OpenLabel last = heap_.back();
    heap_.pop_back();
    if (heap_.empty()) return best;
    // Walk the hole left at the root down to a leaf, each time pulling up the
    // better child (the right one when the two are equal), without comparing
    // against `last`: it came from the bottom and will most likely end there.
    const std::size_t end = heap_.size();
    std::size_t hole = 0;
    for (std::size_t child = 1; child < end; child = 2 * hole + 1) {
      if (child + 1 < end && !better(heap_[child], heap_[child + 1])) ++child;
      heap_[hole] = heap_[child];
      hole = child;
    }
    // Then bubble `last` up from that leaf to its resting place.
    sift_up(hole, last);
    return best;
  }

 private:
  // Places `item` at `hole` after moving it up past every parent that it is
  // strictly better than; equal parents stay above it.
  void sift_up(std::size_t hole, const OpenLabel& item) noexcept {
    while (hole > 0) {
      std::size_t parent = (hole - 1) / 2;
      if (!better(item, heap_[parent])) break;
      heap_[hole] = heap_[parent];
      hole = parent;
    }
    heap_[hole] = item;
  }

  std::vector<OpenLabel> heap_;
};

}  // namespace velorin
