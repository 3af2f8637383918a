// Counts as people read them: grouping at each power of a thousand, singular for one.
#include "base/counts.h"

#include <gtest/gtest.h>

namespace {

TEST(Counts, GroupByThousandsAndSaySingularForOne) {
  const struct {
    uint64_t n;
    const char* grouped;
    const char* counted;
  } cases[] = {
      {0, "0", "0 keys"},
      {1, "1", "1 key"},
      {999, "999", "999 keys"},
      {1000, "1,000", "1,000 keys"},
      {600004, "600,004", "600,004 keys"},
      {1234567890, "1,234,567,890", "1,234,567,890 keys"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base::grouped(c.n), c.grouped);
    EXPECT_EQ(base::counted(c.n, "key"), c.counted);
  }
}

}  // namespace
