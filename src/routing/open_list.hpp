// The open list of the route search: a binary heap of labels waiting to be
// popped, best first. It is written out rather than taken from the standard
// library because the order in which labels that compare equal leave the heap
// decides which of two equal-cost paths is kept, so every move must be fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "routing/cost_order.hpp"
#include "routing/path_arena.hpp"

namespace velorin {

// A label waiting in the open list: its key, its cost vector, the node it sits
// at, and how it got there: the settled label it extends and the edge it
// took (its path is that label's path plus the node).
struct OpenLabel {
  std::int64_t key_rank;  // key_rank() of the key f
  double distance;
  double risk;
  double familiarity;
  std::uint32_t place;   // the search's own number for the node (see Search::place_of)
  std::uint32_t parent;  // index of the extended label in the path arena, or kNoParent
  std::uint32_t edge;    // edge index from the parent's node, or kNoEdge
  std::uint32_t stall;   // latest arena link whose next step added no cost, or kNoParent
  // The state of the lower bounds in which they kept the label as it was
  // pushed, plus one; 0 when they were not asked (see Search::bounded_out).
  std::uint32_t kept_in = 0;
  // The arcs of the walk through shape points that brought the label here,
  // 0 when it came in one step (see Search::walk).
  std::uint32_t walked = 0;
};
static_assert(sizeof(OpenLabel) == 56, "the walk's length fits in what was padding");

// x leaves the open list before y: smaller key (NaN last), then smaller
// distance, then smaller risk, both by totalOrder.
inline bool better(const OpenLabel& x, const OpenLabel& y) noexcept {
  if (x.key_rank != y.key_rank) return x.key_rank < y.key_rank;
  std::int64_t xd = total_order_rank(x.distance), yd = total_order_rank(y.distance);
  if (xd != yd) return xd < yd;
  return total_order_rank(x.risk) < total_order_rank(y.risk);
}

// The heap array holds only each label's key and where in the label store the
// rest of the label waits: a pop walks the full height of the heap, so the entries it
// moves are kept small (four to a cache line). The rest is read only when two
// keys are equal, and when the label leaves.
class OpenList {
 public:
  bool empty() const noexcept { return heap_.empty(); }
  std::size_t size() const noexcept { return heap_.size(); }
  std::size_t capacity_bytes() const noexcept {
    return heap_.capacity() * sizeof(Entry) + labels_.capacity() * sizeof(OpenLabel) +
           free_labels_.capacity() * sizeof(std::uint32_t);
  }

  void push(const OpenLabel& label) {
    std::uint32_t stored;
    if (free_labels_.empty()) {
      stored = static_cast<std::uint32_t>(labels_.size());
      labels_.push_back(label);
    } else {
      stored = free_labels_.back();
      free_labels_.pop_back();
      labels_[stored] = label;
    }
    heap_.push_back({label.key_rank, stored});
    sift_up(heap_.size() - 1, heap_.back());
  }

  // The label that the next pop returns. The heap must not be empty.
  const OpenLabel& top() const noexcept { return labels_[heap_.front().label]; }

  // The label at position i of the heap array (i < size()): the top's
  // children, at 1 and 2, are the likely labels after the next.
  const OpenLabel& at(std::size_t i) const noexcept { return labels_[heap_[i].label]; }

  // Removes and returns the best label. The heap must not be empty.
  OpenLabel pop() {
    const std::uint32_t best = heap_.front().label;
    const Entry last = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) {
      // Walk the hole left at the root down to a leaf, each time pulling up
      // the better child (the right one when the two are equal), without
      // comparing against `last`: it came from the bottom and will most
      // likely end there.
      const std::size_t end = heap_.size();
      std::size_t hole = 0;
      for (std::size_t child = 1; child < end; child = 2 * hole + 1) {
        // The walk's next loads depend on this compare; the entries two
        // levels further down (two cache lines) are fetched meanwhile.
        const std::size_t ahead = 8 * hole + 7;
        if (ahead < end) __builtin_prefetch(heap_.data() + ahead);
        if (ahead + 4 < end) __builtin_prefetch(heap_.data() + ahead + 4);
        if (child + 1 < end) child += right_child_first(heap_[child], heap_[child + 1]);
        heap_[hole] = heap_[child];
        hole = child;
      }
      // Then bubble `last` up from that leaf to its resting place.
      sift_up(hole, last);
    }
    free_labels_.push_back(best);
    return labels_[best];
  }

  // Keeps only the labels for which keep(label) is true, in a heap rebuilt
  // from them in their present heap order, and gives back the memory of the
  // others.
  template <class Keep>
  void retain(Keep keep) {
    std::vector<OpenLabel> kept;
    for (const Entry& e : heap_)
      if (keep(labels_[e.label])) kept.push_back(labels_[e.label]);
    heap_ = {};
    labels_ = {};
    free_labels_ = {};
    heap_.reserve(kept.size());
    labels_.reserve(kept.size());
    for (const OpenLabel& label : kept) push(label);
  }

  // Calls f(label) with every waiting label, which it may change in any way
  // that leaves the order between labels as it is.
  template <class F>
  void for_each(F f) {
    for (const Entry& e : heap_) f(labels_[e.label]);
  }

  // Whether pred(label) holds for some waiting label whose key rank is at
  // most `limit`. A parent's key is never above its children's, so only
  // such labels and the children just beyond them are read: mostly the
  // root alone.
  template <class Pred>
  bool any_up_to(std::int64_t limit, Pred pred) const {
    if (heap_.empty() || heap_.front().key_rank > limit) return false;
    std::vector<std::size_t> pending{0};
    while (!pending.empty()) {
      const std::size_t i = pending.back();
      pending.pop_back();
      if (pred(labels_[heap_[i].label])) return true;
      for (std::size_t child = 2 * i + 1; child <= 2 * i + 2 && child < heap_.size(); ++child)
        if (heap_[child].key_rank <= limit) pending.push_back(child);
    }
    return false;
  }

  // The labels in heap order, for tests.
  std::vector<OpenLabel> entries() const {
    std::vector<OpenLabel> out;
    for (const Entry& e : heap_) out.push_back(labels_[e.label]);
    return out;
  }

 private:
  struct Entry {
    std::int64_t key_rank;
    std::uint32_t label;  // index into labels_
  };

  bool better(const Entry& x, const Entry& y) const noexcept {
    if (x.key_rank != y.key_rank) return x.key_rank < y.key_rank;
    return velorin::better(labels_[x.label], labels_[y.label]);
  }

  // Whether a pop pulls up the right child: unless the left one is better.
  // Keys differ almost always, and then one compare decides, without a branch
  // to mispredict on every level of the heap.
  std::size_t right_child_first(const Entry& left, const Entry& right) const noexcept {
    if (left.key_rank == right.key_rank) [[unlikely]]
      return velorin::better(labels_[left.label], labels_[right.label]) ? 0 : 1;
    return right.key_rank < left.key_rank ? 1 : 0;
  }

  // Places `item` at `hole` after moving it up past every parent that it is
  // strictly better than; equal parents stay above it.
  void sift_up(std::size_t hole, Entry item) noexcept {
    while (hole > 0) {
      std::size_t parent = (hole - 1) / 2;
      if (!better(item, heap_[parent])) break;
      heap_[hole] = heap_[parent];
      hole = parent;
    }
    heap_[hole] = item;
  }

  std::vector<Entry> heap_;
  std::vector<OpenLabel> labels_;           // the label store; a popped label's room is reused
  std::vector<std::uint32_t> free_labels_;  // rooms in labels_ free for reuse
};

}  // namespace velorin
