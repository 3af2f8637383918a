// GetSystemMetrics: the Tablet PC answer comes from HIVEMEND_TABLETPC, nothing else.
#include "win32/system.h"

#include <stdlib.h>

#include <gtest/gtest.h>

namespace {

TEST(SystemMetrics, TabletPcFollowsTheEnvironment) {
  struct Case {
    const char* value;  // nullptr: unset
    int tablet;
  } cases[] = {
      {nullptr, 0}, {"1", 1}, {"0", 0}, {"", 0}, {"yes", 0}, {"11", 0}, {" 1", 0}, {"1 ", 0}, {"true", 0},
  };
  for (const auto& c : cases) {
    if (c.value)
      setenv("HIVEMEND_TABLETPC", c.value, 1);
    else
      unsetenv("HIVEMEND_TABLETPC");
    EXPECT_EQ(GetSystemMetrics(SM_TABLETPC), c.tablet) << (c.value ? c.value : "(unset)");
  }
  unsetenv("HIVEMEND_TABLETPC");
}

TEST(SystemMetrics, OtherMetricsAreZeroWithoutADisplay) {
  setenv("HIVEMEND_TABLETPC", "1", 1);
  for (int index : {SM_CXSCREEN, SM_CYSCREEN, SM_CMONITORS, SM_MEDIACENTER, SM_STARTER, SM_SERVERR2, -1, 1000})
    EXPECT_EQ(GetSystemMetrics(index), 0) << index;
  unsetenv("HIVEMEND_TABLETPC");
}

}  // namespace
