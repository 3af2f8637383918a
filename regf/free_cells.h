// The free cells of a hive, for a best fit: the smallest free cell that holds a
// request, and of those the one at the lowest offset. That choice decides where every
// new cell lands, so it is part of the bytes a hive is written with.
//
// Cells below kClassLimit bytes (all but large merged runs and the tails of large hive
// bins) are kept per size, one min-heap of offsets each, with a bitmap of the sizes
// that have entries. A cell stops being free (taken, or merged into a neighbour)
// without leaving its heap: take() checks each candidate against the hive, where a free
// cell's size field is the truth, and drops those no longer free at that size. Larger
// cells are few and kept in an ordered set.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace regf {

class FreeCells {
 public:
  static constexpr uint32_t kClassLimit = 16384;

  struct Cell {
    uint32_t size = 0, offset = 0;
    friend bool operator==(Cell, Cell) = default;
  };

  // A cell has become free with `size` bytes (a multiple of 8, size field included).
  void insert(uint32_t size, uint32_t offset) {
    if (size >= kClassLimit) {
      large_.emplace(size, offset);
      return;
    }
    if (classes_.empty()) classes_.resize(kClasses);
    auto& heap = classes_[size / kStep];
    heap.push_back(offset);
    std::push_heap(heap.begin(), heap.end(), std::greater<>());
    occupied_[size / kStep / 64] |= uint64_t(1) << (size / kStep % 64);
    ++entries_;
    ++live_;
  }

  // The free cell `size` at `offset` stops being free other than through take().
  void erase(uint32_t size, uint32_t offset) {
    if (size >= kClassLimit)
      large_.erase({size, offset});
    else
      --live_;  // its entry goes when take() meets it
  }

  // Takes the smallest free cell of at least `need` bytes, the lowest offset among
  // equals. is_free(size, offset) tells whether the hive holds a free cell of that size
  // there now; the hive must agree with every insert() and erase() so far.
  template <typename IsFree>
  std::optional<Cell> take(uint32_t need, IsFree is_free) {
    if (entries_ > 2 * live_ + kSlack) drop_stale(is_free);
    for (uint32_t c = need / kStep; c < kClasses;) {
      const uint64_t word = occupied_[c / 64] >> (c % 64);
      if (!word) {
        c = (c / 64 + 1) * 64;
        continue;
      }
      c += uint32_t(std::countr_zero(word));
      auto& heap = classes_[c];
      while (!heap.empty()) {
        const uint32_t offset = heap.front();
        pop(heap);
        if (is_free(c * kStep, offset)) {
          if (heap.empty()) occupied_[c / 64] &= ~(uint64_t(1) << (c % 64));
          --live_;
          return Cell{c * kStep, offset};
        }
      }
      occupied_[c / 64] &= ~(uint64_t(1) << (c % 64));
      ++c;
    }
    auto it = large_.lower_bound({need, 0});
    if (it == large_.end()) return std::nullopt;
    const Cell cell{it->first, it->second};
    large_.erase(it);
    return cell;
  }

 private:
  static constexpr uint32_t kStep = 8;  // cell sizes are multiples of 8
  static constexpr uint32_t kClasses = kClassLimit / kStep;
  // Entries of cells no longer free are dropped all at once when they outnumber the
  // free cells (and this many more): memory stays in proportion to the free cells.
  static constexpr size_t kSlack = 4096;

  void pop(std::vector<uint32_t>& heap) {
    std::pop_heap(heap.begin(), heap.end(), std::greater<>());
    heap.pop_back();
    --entries_;
  }

  template <typename IsFree>
  void drop_stale(IsFree is_free) {
    entries_ = 0;
    for (uint32_t c = 0; c < classes_.size(); ++c) {
      auto& heap = classes_[c];
      if (heap.empty()) continue;
      // A cell freed, taken and freed again at one size has two entries; one stays.
      std::sort(heap.begin(), heap.end());
      heap.erase(std::unique(heap.begin(), heap.end()), heap.end());
      std::erase_if(heap, [&](uint32_t offset) { return !is_free(c * kStep, offset); });
      if (heap.empty()) occupied_[c / 64] &= ~(uint64_t(1) << (c % 64));
      entries_ += heap.size();  // a sorted vector is a min-heap already
    }
  }

  std::vector<std::vector<uint32_t>> classes_;  // kClasses once a cell is kept (a hive moves cheaply)
  std::array<uint64_t, kClasses / 64> occupied_{};
  std::set<std::pair<uint32_t, uint32_t>> large_;  // (size, offset)
  size_t entries_ = 0;                             // in the heaps, stale ones included
  size_t live_ = 0;                                // free cells in the heaps
};

}  // namespace regf
