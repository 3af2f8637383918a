// Shared pieces of the fuzz targets: a check that stops the run with a message (a broken
// promise of the engine is a finding like a crash), and the comparison of two trees.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/unicode.h"
#include "regf/diff.h"
#include "regf/tree.h"

namespace hivemend_fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

#define FUZZ_CHECK(cond, detail)                         \
  do {                                                   \
    if (!(cond)) ::hivemend_fuzz::fail(#cond, (detail)); \
  } while (0)

// Empty when the trees hold the same keys and values (order and times aside); otherwise
// the differences as .reg-like lines, for the failure message.
inline std::string tree_difference(const regf::TreeKey& expected, const regf::TreeKey& actual) {
  auto changes = regf::diff_trees(expected, actual);
  if (changes.empty()) return {};
  std::string text = regf::format_changes(changes, u"ROOT");
  return text.empty() ? std::string("trees differ") : text;
}

}  // namespace hivemend_fuzz
