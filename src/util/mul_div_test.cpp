#include "util/mul_div.h"

#include <gtest/gtest.h>

namespace varnel {
namespace {

TEST(MulDiv, RoundsHalfAwayFromZeroAndRefusesWhatDoesNotFit) {
  struct Case {
    std::int32_t a, b, c, result;
  };
  const Case cases[] = {
      {7, 1, 2, 4},
      {-7, 1, 2, -4},
      {7, -1, 2, -4},
      {7, 1, -2, -4},
      {5, 2, 3, 3},
      {4, 2, 3, 3},
      {2, 2, 3, 1},
      {1, 1, 0, -1},
      {65536, 65536, 1, -1},
      {-16, 720, 1000, -12},
      {1600, 1280, 1600, 1280},
      {2147483647, 2, 2, 2147483647},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MulDiv(c.a, c.b, c.c), c.result) << c.a << "*" << c.b << "/" << c.c;
  }
}

}  // namespace
}  // namespace varnel
