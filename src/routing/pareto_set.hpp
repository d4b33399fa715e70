// Sets of mutually non-dominated costs: the insert that keeps them so, and the
// pooled storage of the per-node sets of one search.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
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

// Staircases. The per-node sets and the solutions are only ever asked
// whether some cost in them is no worse than a given one, never their order,
// so their costs can also be kept as a staircase: distinct costs sorted by
// distance, risk then strictly falling (two non-dominated costs with equal
// distance are equal). Questions and inserts are then a binary search and one
// move of the tail instead of a scan. Costs with a NaN are left out: they
// neither dominate nor are dominated, so they never change an answer.

// Index of the first step of stairs[0, size) whose distance is >= x (size
// when none). A fixed number of halvings for a given size, with no early exit.
// The compiler keeps a branch per halving; that measures faster than a
// branch-free select here, since a guessed branch starts the next probe's
// load before the current one arrives.
inline std::size_t first_not_shorter(const Cost* stairs, std::size_t size, double x) noexcept {
  if (size == 0) return 0;
  const Cost* base = stairs;
  while (size > 1) {
    std::size_t half = size / 2;
    base = base[half - 1].distance < x ? base + half : base;
    size -= half;
  }
  return static_cast<std::size_t>(base - stairs) + (base->distance < x ? 1 : 0);
}

// Index of the first step whose distance is > x (0 when x is NaN).
inline std::size_t first_longer(const Cost* stairs, std::size_t size, double x) noexcept {
  if (size == 0) return 0;
  const Cost* base = stairs;
  while (size > 1) {
    std::size_t half = size / 2;
    base = base[half - 1].distance <= x ? base + half : base;
    size -= half;
  }
  return static_cast<std::size_t>(base - stairs) + (base->distance <= x ? 1 : 0);
}

// Where a cost goes in a staircase: nowhere when some step is no worse in both
// objectives, otherwise over the run [first, last) of steps it dominates.
struct StairFit {
  bool ruled_out;
  std::size_t first;
  std::size_t last;
};

inline StairFit find_stair(const Cost* stairs, std::size_t size, Cost c) noexcept {
  // Many labels reach a set beyond its last step (the longest, or in the
  // per-node sets, which keep their objectives swapped, the riskiest): they
  // end here, having read one entry instead of bisecting the set.
  if (size > 0 && stairs[size - 1].distance < c.distance)
    return {stairs[size - 1].risk <= c.risk, size, size};
  // The step before `first`, or at it if it is exactly as long, has the least
  // risk among steps no longer than c: the only one that can rule it out.
  const std::size_t first = first_not_shorter(stairs, size, c.distance);
  const std::size_t closest =
      first < size && stairs[first].distance == c.distance ? first + 1 : first;
  if (closest > 0 && stairs[closest - 1].distance <= c.distance &&
      stairs[closest - 1].risk <= c.risk)
    return {true, 0, 0};
  // Steps from `first` on are no shorter; those that are also no safer form
  // a run, since risk falls along the staircase.
  std::size_t last = first;
  while (last < size && stairs[last].risk >= c.risk) ++last;
  return {false, first, last};
}

// For a cost c that the staircase rules out, the widest margins by which
// its steps no worse than c beat it: in distance (the shortest of them) and
// in risk (the safest). {-1, -1} when no step is no worse than c.
inline Cost widest_gaps(const Cost* stairs, std::size_t size, Cost c) noexcept {
  const std::size_t shorter = first_longer(stairs, size, c.distance);
  if (shorter == 0 || !(stairs[shorter - 1].risk <= c.risk)) return {-1.0, -1.0};
  // Risk falls along the steps no longer than c: those no riskier form a
  // tail, and its first is the shortest.
  std::size_t first = 0, last = shorter - 1;
  while (first < last) {
    const std::size_t middle = first + (last - first) / 2;
    if (stairs[middle].risk <= c.risk)
      last = middle;
    else
      first = middle + 1;
  }
  return {c.distance - stairs[first].distance, c.risk - stairs[shorter - 1].risk};
}

// Puts c where it fits and returns the new size. When the run it replaces is
// empty the array must have room for one more step.
inline std::size_t place_stair(Cost* stairs, std::size_t size, StairFit fit, Cost c) noexcept {
  if (fit.last > fit.first) {
    std::copy(stairs + fit.last, stairs + size, stairs + fit.first + 1);
    size -= fit.last - fit.first - 1;
  } else {
    std::copy_backward(stairs + fit.first, stairs + size, stairs + size + 1);
    ++size;
  }
  stairs[fit.first] = c;
  return size;
}

// The costs of the solution set as a staircase, for the approximation test.
class ParetoFront {
 public:
  // True when some cost c in the front has c.distance <= distance and
  // c.risk <= risk; false when either bound is NaN.
  bool covers(double distance, double risk) const noexcept {
    const std::size_t shorter = first_longer(stairs_.data(), stairs_.size(), distance);
    return shorter > 0 && stairs_[shorter - 1].risk <= risk;
  }

  // See velorin::widest_gaps.
  Cost widest_gaps(Cost c) const noexcept {
    return velorin::widest_gaps(stairs_.data(), stairs_.size(), c);
  }

  // Adds a cost that no cost of the front dominates, dropping those it
  // dominates.
  void add(Cost c) {
    if (c.distance != c.distance || c.risk != c.risk) return;
    const StairFit fit = find_stair(stairs_.data(), stairs_.size(), c);
    if (fit.ruled_out) return;  // already there
    const std::size_t size = stairs_.size();
    if (fit.last == fit.first) stairs_.push_back(c);
    stairs_.resize(place_stair(stairs_.data(), size, fit, c));
  }

  std::size_t capacity_bytes() const noexcept { return stairs_.capacity() * sizeof(Cost); }

 private:
  std::vector<Cost> stairs_;
};

// The per-node Pareto sets of one search, as staircases in one pool: a node's
// set is a segment of the pool that moves to a larger segment when it fills.
//
// Segment sizes come in classes four per doubling (2, 3, then 4, 5, 6, 7,
// then 8, 10, 12, 14, and so on: a step of at most a quarter). Sets double up
// to 64 costs and then grow class by class. On a long search most of the pool
// is sets of a few hundred costs, and with power-of-two sizes a third of it
// would lie unused; here about a tenth does, for the price of moving a large
// set a little more often (finer steps would save more memory but cost more
// time in moves than they give back).
//
// The pool is a list of fixed-size blocks that never move: growing it adds a
// block rather than copying everything into a buffer twice as large, so a long
// search neither pays for the copies nor holds two pools at once. A segment
// lies within one block, or, for a set larger than a block, in an allocation
// of its own that spans several block numbers. Segments that sets moved out
// of are taken again by sets that grow, but the largest sets outgrow them all:
// once they add up to an eighth of the pool, compact() packs the sets anew
// at the front of the blocks.
//
// Each set is kept with its two objectives swapped: risk rising, distance
// falling. The answers are those of the staircase the other way round.
//
// A set's free room lies on both sides of its costs, and an insert moves
// the costs on whichever side of its place is shorter. Nearly every label
// lands at or next to one end of its node's set: on the 10^6 grid's 33 km
// request at eps 0.0 (sets of 450 costs on average) an insert moved 73
// costs when only those after its place could move, and now 5.6, plus 16.8
// for moving sets to the middle of their room (see make_room); on
// Andorra's requests 22 to 81, and now 7 to 16.
class NodeParetoSets {
 public:
  struct Segment {
    std::uint32_t offset = 0;  // of the set's first cost: block number * kBlockSize + index
    std::uint32_t size = 0;
    // 0: the node has no set yet. Otherwise the room before the set's
    // first cost, shifted past kClassBits, and its segment's size class
    // plus one: twelve bytes per node met rather than sixteen.
    std::uint32_t shape = 0;
  };

  // Whether settle(set, label) would refuse the label now. It would refuse
  // it at any later time too: a cost leaves a set only for one that is no
  // worse.
  bool rules_out(const Segment& set, Cost label) const noexcept {
    if (label.distance != label.distance || label.risk != label.risk) return false;
    return find_stair(data(set), set.size, flip(label)).ruled_out;
  }

  // See velorin::widest_gaps.
  Cost widest_gaps(const Segment& set, Cost label) const noexcept {
    return flip(velorin::widest_gaps(data(set), set.size, flip(label)));
  }

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
    const Cost flipped = flip(label);
    const StairFit fit = find_stair(data(set), set.size, flipped);
    if (fit.ruled_out) return false;
    if (fit.last > fit.first)
      replace_run(set, fit, flipped);
    else
      insert_at(set, fit.first, flipped);
    return true;
  }

  // A set's costs, as a staircase: distance rising, risk falling.
  std::vector<Cost> steps(const Segment& set) const {
    std::vector<Cost> out;
    out.reserve(set.size);
    for (std::size_t i = set.size; i-- > 0;) out.push_back(flip(data(set)[i]));
    return out;
  }

  // Asks for the cache lines that the next settle of a set reads first: its
  // riskiest step, and the middle and quarters where a bisection starts. The
  // node sets of a long search lie far beyond the core's caches, and these
  // reads would otherwise wait on one miss after another. Always inlined: a
  // call to a function that only prefetches has no visible effect, and the
  // compiler drops it.
  [[gnu::always_inline]] void prefetch(const Segment& set) const noexcept {
    if (set.size == 0) return;
    const Cost* stairs = data(set);
    __builtin_prefetch(stairs + set.size - 1);
    if (set.size > 8) {
      __builtin_prefetch(stairs + set.size / 2);
      __builtin_prefetch(stairs + set.size / 4);
      __builtin_prefetch(stairs + set.size / 2 + set.size / 4);
    }
  }

  // Whether freed segments take enough of the pool to pack it anew.
  bool wasteful() const noexcept {
    return allocated_ >= kCompactFrom && vacant_costs_ * 8 > allocated_;
  }

  // Slides every set of at most a block, in the order of the pool, to the
  // front of the blocks, so that the freed segments come back as one free
  // tail. `segments` are those of every set of the pool; each is updated.
  // A set never moves up, so one forward pass moves everything.
  void compact(std::vector<Segment*>& segments) {
    std::erase_if(segments,
                  [](const Segment* s) { return s->shape == 0 || capacity_of(*s) >= kBlockSize; });
    std::sort(segments.begin(), segments.end(),
              [](const Segment* a, const Segment* b) { return a->offset < b->offset; });
    if (bump_blocks_.empty()) return;
    std::size_t block = 0;
    std::size_t used = 0;
    for (Segment* s : segments) {
      const std::size_t capacity = capacity_of(*s);
      if (used + capacity > kBlockSize) {
        ++block;
        used = 0;
      }
      // The set keeps its room before it, so its first cost moves with it.
      const auto to = static_cast<std::uint32_t>((std::size_t{bump_blocks_[block]} << kBlockBits) +
                                                 used + before_of(*s));
      if (to != s->offset) {
        const Cost* from = data(*s);
        std::memmove(block_start_[to >> kBlockBits] + (to & (kBlockSize - 1)), from,
                     std::size_t{s->size} * sizeof(Cost));
        s->offset = to;
      }
      used += capacity;
    }
    for (std::size_t c = 0; c < kSmallClasses; ++c) {
      vacant_[c].clear();
      has_vacant_[c / 64] &= ~(std::uint64_t{1} << (c % 64));
    }
    vacant_costs_ = 0;
    bump_offset_ = bump_blocks_[block] << kBlockBits;
    bump_used_ = static_cast<std::uint32_t>(used);
    next_bump_ = block + 1;
  }

  std::size_t capacity_bytes() const noexcept {
    std::size_t bytes = allocated_ * sizeof(Cost) + block_start_.capacity() * sizeof(Cost*) +
                        owned_.capacity() * sizeof(std::unique_ptr<Cost[]>);
    for (const auto& v : vacant_) bytes += v.capacity() * sizeof(std::uint32_t);
    return bytes;
  }

 private:
  // A cost with its objectives swapped, as the sets keep them.
  static Cost flip(Cost c) noexcept { return {c.risk, c.distance}; }
  static constexpr unsigned kBlockBits = 14;  // 16,384 costs, 256 KiB
  static constexpr std::uint32_t kBlockSize = 1u << kBlockBits;

  // A set always holds a cost once it has a segment, and its room before
  // never reaches the segment's end, so its first cost lies in the segment.
  Cost* data(const Segment& set) const noexcept {
    if (set.shape == 0) return nullptr;
    return block_start_[set.offset >> kBlockBits] + (set.offset & (kBlockSize - 1));
  }

  // Size classes: every size below kSteps, then kSteps sizes evenly spaced
  // in each doubling.
  static constexpr unsigned kStepBits = 2;
  static constexpr std::size_t kSteps = std::size_t{1} << kStepBits;
  static constexpr std::size_t kClasses = (kSteps - 2) + (32 - kStepBits) * kSteps;
  // Sets grow by doubling up to this size, then class by class.
  static constexpr std::size_t kFineFrom = 64;
  // The classes of segments within a block.
  static constexpr std::size_t kSmallClasses = (kSteps - 2) + (kBlockBits - kStepBits) * kSteps;
  // Packing the pool anew pays off only once it is large.
  static constexpr std::size_t kCompactFrom = std::size_t{32} << kBlockBits;

  // The largest class size no greater than n (n >= 2).
  static constexpr std::size_t class_floor(std::size_t n) noexcept {
    if (n < kSteps) return n;
    const unsigned shift = static_cast<unsigned>(std::bit_width(n)) - 1 - kStepBits;
    return (n >> shift) << shift;
  }
  // The number of class size n (n >= 2, a class size).
  static constexpr std::size_t class_of(std::size_t n) noexcept {
    if (n < kSteps) return n - 2;
    const unsigned shift = static_cast<unsigned>(std::bit_width(n)) - 1 - kStepBits;
    return (kSteps - 2) + shift * kSteps + ((n >> shift) - kSteps);
  }
  // The size of class c.
  static constexpr std::size_t class_size(std::size_t c) noexcept {
    if (c < kSteps - 2) return c + 2;
    const std::size_t j = c - (kSteps - 2);
    return (kSteps + j % kSteps) << (j / kSteps);
  }
  // The class size after n: small sets double, as most sets stay small and
  // would otherwise move on nearly every insert.
  static constexpr std::size_t next_class(std::size_t n) noexcept {
    if (n < kFineFrom) return 2 * n;
    const unsigned shift = static_cast<unsigned>(std::bit_width(n)) - 1 - kStepBits;
    return n + (std::size_t{1} << shift);
  }

  // The segment's shape: its size class (kClasses of them) and the room
  // before the set, which is kept below 2^(32 - kClassBits).
  static constexpr unsigned kClassBits = 7;
  static constexpr std::uint32_t kClassMask = (1u << kClassBits) - 1;
  static constexpr std::size_t kMostBefore = (std::size_t{1} << (32 - kClassBits)) - 1;
  static_assert(kClasses < (1u << kClassBits), "a size class plus one fits in a shape");
  static std::size_t capacity_of(const Segment& set) noexcept {
    return set.shape == 0 ? 0 : class_size((set.shape & kClassMask) - 1);
  }
  static std::size_t before_of(const Segment& set) noexcept { return set.shape >> kClassBits; }
  static void set_before(Segment& set, std::size_t before) noexcept {
    set.shape = static_cast<std::uint32_t>((before << kClassBits) | (set.shape & kClassMask));
  }

  // Moves the set's costs by `by` places within its segment (towards its
  // end when positive).
  void shift(Segment& set, std::ptrdiff_t by) noexcept {
    Cost* from = data(set);
    std::memmove(from + by, from, std::size_t{set.size} * sizeof(Cost));
    set.offset = static_cast<std::uint32_t>(static_cast<std::ptrdiff_t>(set.offset) + by);
    set_before(set, static_cast<std::size_t>(static_cast<std::ptrdiff_t>(before_of(set)) + by));
  }

  // Puts c at index `at`, moving the costs before `at` one place back or
  // those from `at` on one place ahead, whichever are fewer, when that side
  // has room (see make_room otherwise).
  void insert_at(Segment& set, std::size_t at, Cost c) {
    bool front = 2 * at < set.size;  // fewer costs before `at` than from it on
    if (front ? before_of(set) == 0 : before_of(set) + set.size == capacity_of(set))
      front = make_room(set, front);
    Cost* stairs = data(set);
    if (front) {
      Cost* const moved = stairs - 1;
      std::copy(stairs, stairs + at, moved);
      moved[at] = c;
      --set.offset;
      set.shape -= 1u << kClassBits;
    } else {
      std::copy_backward(stairs + at, stairs + set.size, stairs + set.size + 1);
      stairs[at] = c;
    }
    ++set.size;
  }

  // Room for an insert that would rather move the costs on the `front`
  // side of its place, where there is none; returns the side to move. A
  // full set moves to the middle of a segment of the next size class, one
  // with room only on the other side to the middle of its room (its size
  // in moves once, rather than the longer side on every insert at that end
  // while the room lasts), unless that room is a single place: the insert
  // then moves the longer side.
  [[gnu::noinline]] bool make_room(Segment& set, bool front) {
    const std::size_t room = capacity_of(set) - set.size;
    if (room == 1) return !front;
    if (room == 0) {
      grow(set);
    } else {
      const std::size_t middle = std::min(room / 2, kMostBefore);
      shift(set, static_cast<std::ptrdiff_t>(middle) - static_cast<std::ptrdiff_t>(before_of(set)));
    }
    return front;
  }

  // Puts c over the run of costs it dominates, closing the gap from the
  // shorter side.
  void replace_run(Segment& set, StairFit fit, Cost c) noexcept {
    Cost* stairs = data(set);
    const std::size_t gap = fit.last - fit.first - 1;
    if (gap == 0) {
      stairs[fit.first] = c;
      return;
    }
    const std::size_t size = set.size;
    if (fit.first < size - fit.last && before_of(set) + gap <= kMostBefore) {
      std::copy_backward(stairs, stairs + fit.first, stairs + fit.last - 1);
      stairs[fit.last - 1] = c;
      set.offset += static_cast<std::uint32_t>(gap);
      set_before(set, before_of(set) + gap);
    } else {
      std::copy(stairs + fit.last, stairs + size, stairs + fit.first + 1);
      stairs[fit.first] = c;
    }
    set.size -= static_cast<std::uint32_t>(gap);
  }

  // Moves a full set to the middle of a segment of the next size class; a
  // vacated segment is kept for the next set that grows into its size.
  void grow(Segment& set) {
    const std::size_t old_capacity = capacity_of(set);
    const std::size_t capacity = old_capacity == 0 ? 2 : next_class(old_capacity);
    const std::size_t before = std::min((capacity - set.size) / 2, kMostBefore);
    const std::uint32_t base = allocate(capacity);
    Segment moved{static_cast<std::uint32_t>(base + before), set.size,
                  static_cast<std::uint32_t>((before << kClassBits) | (class_of(capacity) + 1))};
    if (old_capacity != 0) {
      std::copy_n(data(set), set.size, data(moved));
      give_back(static_cast<std::uint32_t>(set.offset - before_of(set)), old_capacity);
    }
    set = moved;
  }

  // Makes a free run of n costs at `offset` available again, in pieces of
  // class sizes, largest first.
  void give_back(std::uint32_t offset, std::size_t n) {
    while (n >= 2) {
      const std::size_t piece = class_floor(n);
      const std::size_t c = class_of(piece);
      vacant_[c].push_back(offset);
      has_vacant_[c / 64] |= std::uint64_t{1} << (c % 64);
      if (c < kSmallClasses) vacant_costs_ += piece;
      offset += static_cast<std::uint32_t>(piece);
      n -= piece;
    }
  }

  // The least class from c on, below a block, that has a free segment
  // (kClasses when none).
  std::size_t vacant_class_from(std::size_t c) const noexcept {
    for (std::size_t word = c / 64; word < has_vacant_.size(); ++word) {
      std::uint64_t bits = has_vacant_[word];
      if (word == c / 64) bits &= ~std::uint64_t{0} << (c % 64);
      if (bits == 0) continue;
      const std::size_t found = word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      return found < kSmallClasses ? found : kClasses;
    }
    return kClasses;
  }

  // The offset of a free segment of `capacity` costs, a class size. A freed
  // segment of the size is taken first, then the smallest larger one, whose
  // rest is given back: segments that sets have moved out of are the pool's
  // only waste, and this keeps it small.
  //
  // Sets of a block or more have allocations of their own, which are reused
  // whole only, so that every piece of a block lies in the pool's blocks.
  std::uint32_t allocate(std::size_t capacity) {
    const std::size_t wanted = class_of(capacity);
    const std::size_t c = wanted < kSmallClasses ? vacant_class_from(wanted) : wanted;
    if (c < kClasses && (c < kSmallClasses || !vacant_[c].empty())) {
      auto& vacant = vacant_[c];
      const std::uint32_t offset = vacant.back();
      vacant.pop_back();
      if (vacant.empty()) has_vacant_[c / 64] &= ~(std::uint64_t{1} << (c % 64));
      if (c < kSmallClasses) {
        vacant_costs_ -= class_size(c);
        give_back(offset + static_cast<std::uint32_t>(capacity), class_size(c) - capacity);
      }
      return offset;
    }
    if (capacity >= kBlockSize) return add_blocks(capacity);
    if (bump_used_ + capacity > kBlockSize) {
      // What is left of the current block goes to the vacant lists in
      // pieces of class sizes, and the next block takes over: one left free
      // by compact(), or a fresh one.
      if (bump_used_ < kBlockSize) give_back(bump_offset_ + bump_used_, kBlockSize - bump_used_);
      if (next_bump_ == bump_blocks_.size()) {
        bump_blocks_.push_back(add_blocks(kBlockSize) >> kBlockBits);
      }
      bump_offset_ = bump_blocks_[next_bump_++] << kBlockBits;
      bump_used_ = 0;
    }
    const std::uint32_t offset = bump_offset_ + bump_used_;
    bump_used_ += static_cast<std::uint32_t>(capacity);
    return offset;
  }

  // A new allocation of at least `capacity` costs, rounded up to whole
  // blocks, numbered after the blocks there are.
  std::uint32_t add_blocks(std::size_t wanted) {
    const std::size_t blocks = (wanted + kBlockSize - 1) >> kBlockBits;
    const std::size_t capacity = blocks << kBlockBits;
    require(block_start_.size() + blocks <= (std::size_t{1} << (32 - kBlockBits)),
            "per-node Pareto sets outgrew their index");
    const auto offset = static_cast<std::uint32_t>(block_start_.size() << kBlockBits);
    owned_.push_back(std::make_unique_for_overwrite<Cost[]>(capacity));
    for (std::size_t i = 0; i < blocks; ++i)
      block_start_.push_back(owned_.back().get() + i * kBlockSize);
    allocated_ += capacity;
    return offset;
  }

  // Distance and risk side by side: the risk read after the search then sits
  // on the cache line the search has just loaded.
  std::vector<Cost*> block_start_;                           // by block number
  std::vector<std::unique_ptr<Cost[]>> owned_;               // the allocations behind them
  std::size_t allocated_ = 0;                                // costs, over all allocations
  std::uint32_t bump_offset_ = 0;                            // the block being filled...
  std::uint32_t bump_used_ = kBlockSize;                     // ...and how much of it is taken
  std::vector<std::uint32_t> bump_blocks_;                   // numbers of the blocks of small sets
  std::size_t next_bump_ = 0;                                // the next of them to fill
  std::size_t vacant_costs_ = 0;                             // in free segments below a block
  std::array<std::vector<std::uint32_t>, kClasses> vacant_;  // free segments by size class
  std::array<std::uint64_t, (kClasses + 63) / 64> has_vacant_{};  // which lists are not empty
};

}  // namespace velorin
