// The free cells' best fit against the plain ordered set of (size, offset) it stands
// for: every take() gives the cell that set's lower bound gives, through cells taken,
// merged away and freed again at the same offset, on both sides of the size classes.
#include "regf/free_cells.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>

namespace {

using regf::FreeCells;
using Model = std::set<std::pair<uint32_t, uint32_t>>;  // (size, offset)

struct Op {
  char what;  // 'i' insert, 'e' erase, 't' take
  uint32_t size, offset;
};

// Applies `op` to both sides; false when a take differs. *left: the offset of a cell
// that stopped being free.
bool apply(FreeCells& cells, Model& model, const Op& op, std::vector<uint32_t>* left = nullptr) {
  if (op.what == 'i') {
    cells.insert(op.size, op.offset);
    model.emplace(op.size, op.offset);
    return true;
  }
  if (op.what == 'e') {
    cells.erase(op.size, op.offset);
    model.erase({op.size, op.offset});
    if (left) left->push_back(op.offset);
    return true;
  }
  // The model stands for the hive: a cell is free at a size when the set holds it.
  auto taken = cells.take(op.size, [&](uint32_t size, uint32_t offset) { return model.contains({size, offset}); });
  auto it = model.lower_bound({op.size, 0});
  if (it == model.end()) return !taken;
  const bool same = taken && taken->size == it->first && taken->offset == it->second;
  if (left) left->push_back(it->second);
  model.erase(it);
  return same;
}

TEST(FreeCells, TakesWhatTheOrderedSetGives) {
  constexpr uint32_t kLarge = FreeCells::kClassLimit;
  const struct {
    const char* name;
    std::vector<Op> ops;
  } cases[] = {
      {"exact size, lowest offset", {{'i', 96, 800}, {'i', 96, 80}, {'i', 104, 8}, {'t', 96, 0}, {'t', 96, 0}}},
      {"next size up", {{'i', 96, 80}, {'i', 4064, 32}, {'t', 104, 0}, {'t', 8, 0}, {'t', 8, 0}}},
      {"merged away", {{'i', 96, 80}, {'i', 112, 176}, {'e', 96, 80}, {'t', 96, 0}, {'t', 96, 0}}},
      {"freed again at one offset",
       {{'i', 96, 80}, {'t', 96, 0}, {'i', 96, 80}, {'i', 96, 400}, {'t', 96, 0}, {'t', 96, 0}, {'t', 96, 0}}},
      {"changed size at one offset", {{'i', 96, 80}, {'e', 96, 80}, {'i', 200, 80}, {'t', 96, 0}, {'t', 8, 0}}},
      {"large cells after every class",
       {{'i', kLarge, 4096}, {'i', kLarge - 8, 8192}, {'t', 8, 0}, {'t', 8, 0}, {'t', 8, 0}}},
      {"large best fit",
       {{'i', 2 * kLarge, 64}, {'i', kLarge, 4096}, {'t', kLarge + 8, 0}, {'e', kLarge, 4096}, {'t', 8, 0}}},
      {"nothing fits", {{'i', 96, 80}, {'t', 104, 0}, {'t', 96, 0}, {'t', 8, 0}}},
  };
  for (const auto& c : cases) {
    FreeCells cells;
    Model model;
    for (size_t i = 0; i < c.ops.size(); ++i) EXPECT_TRUE(apply(cells, model, c.ops[i])) << c.name << ", step " << i;
  }
}

// Rounds of cells freed, most of them merged away, and takes: enough cells leave without
// a take for the entries they leave behind to be dropped at once, in every round.
TEST(FreeCells, RandomOperationsTakeWhatTheOrderedSetGives) {
  std::mt19937 random(7);
  FreeCells cells;
  Model model;
  std::vector<uint32_t> left;  // offsets free no more, to be freed again
  uint32_t fresh = 0;
  auto some_size = [&] { return uint32_t(random() % 8 == 0 ? 8 * (1 + random() % 4096) : 8 * (1 + random() % 40)); };
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 5000; ++i) {
      // A hive has no two free cells at one offset.
      uint32_t offset = fresh += 8;
      if (!left.empty() && random() % 2) {
        std::swap(left[random() % left.size()], left.back());
        offset = left.back();
        left.pop_back();
      }
      ASSERT_TRUE(apply(cells, model, {'i', some_size(), offset}, &left));
    }
    for (int i = 0; i < 4500 && !model.empty(); ++i) {
      auto it = model.begin();
      std::advance(it, random() % std::min<size_t>(model.size(), 64));
      ASSERT_TRUE(apply(cells, model, {'e', it->first, it->second}, &left));
    }
    for (int i = 0; i < 600; ++i) ASSERT_TRUE(apply(cells, model, {'t', some_size(), 0}, &left)) << round << ", " << i;
  }
}

}  // namespace
