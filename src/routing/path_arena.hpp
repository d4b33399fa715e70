// The paths of a search's settled labels, stored as links to their parents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fault/internal_fault.hpp"

namespace velorin {

inline constexpr std::uint32_t kNoParent = UINT32_MAX;
inline constexpr std::uint32_t kNoEdge = UINT32_MAX;

// One settled label in the path arena. Labels share path prefixes: a label's
// path is its parent's path followed by the node its edge enters, so the
// search stores 8 bytes per settled label instead of one path copy per label.
// (Where a walk back along a path must start travels with the open labels, as
// their `stall`: once a label is settled, only its extensions need it.)
struct PathLink {
  std::uint32_t edge;    // kNoEdge for the source's first label
  std::uint32_t parent;  // kNoParent for the source's first label
};

// Links are appended in blocks that never move, so the arena never copies
// what it holds and never holds two copies at once while growing. A long
// search settles millions of labels of which most soon lead nowhere: from
// time to time the links still on some path that matters are slid down over
// the others, keeping their order, and the emptied blocks go.
class PathArena {
 public:
  std::uint32_t size() const noexcept { return size_; }
  const PathLink& operator[](std::uint32_t i) const noexcept {
    return blocks_[i >> kBlockBits][i & (kBlockSize - 1)];
  }
  std::uint32_t append(const PathLink& link) {
    require(size_ < kNoParent, "route search settled more labels than it can number");
    if ((size_ & (kBlockSize - 1)) == 0)
      blocks_.push_back(std::make_unique<PathLink[]>(kBlockSize));
    blocks_.back()[size_ & (kBlockSize - 1)] = link;
    return size_++;
  }
  // Keeps the links whose bit is set in `live`, in their order, each pointing
  // to its parent's new index renumber(parent). `renumber` must map live links
  // to 0, 1, ... in order; a link's parent must be live with it. Parents come
  // before their children, so one forward pass moves every link at most down.
  template <class Renumber>
  void keep(const std::vector<std::uint64_t>& live, Renumber renumber) {
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < size_; ++i) {
      if ((live[i / 64] >> (i % 64) & 1) == 0) continue;
      PathLink link = (*this)[i];
      if (link.parent != kNoParent) link.parent = renumber(link.parent);
      blocks_[kept >> kBlockBits][kept & (kBlockSize - 1)] = link;
      ++kept;
    }
    size_ = kept;
    blocks_.resize((std::size_t{kept} + kBlockSize - 1) >> kBlockBits);
  }

  std::size_t capacity_bytes() const noexcept {
    return blocks_.size() * kBlockSize * sizeof(PathLink) +
           blocks_.capacity() * sizeof(std::unique_ptr<PathLink[]>);
  }

 private:
  static constexpr std::uint32_t kBlockBits = 14;
  static constexpr std::uint32_t kBlockSize = 1u << kBlockBits;
  std::vector<std::unique_ptr<PathLink[]>> blocks_;
  std::uint32_t size_ = 0;
};

}  // namespace velorin
