#include "vexa_codegen/support/arithmetic.hpp"

#include <gtest/gtest.h>

namespace vexa_codegen::support {
namespace {

TEST(Arithmetic, SaturatingSumAndProduct) {
  EXPECT_EQ(sat_add(2, 3), 5u);
  EXPECT_EQ(sat_add(saturated, 1), saturated);
  EXPECT_EQ(sat_add(saturated - 1, 1), saturated);
  EXPECT_EQ(sat_mul(6, 7), 42u);
  EXPECT_EQ(sat_mul(1ULL << 32, 1ULL << 32), saturated);
  EXPECT_EQ(sat_mul(saturated, 0), 0u);
}

TEST(Arithmetic, CeilDivRoundsUp) {
  EXPECT_EQ(ceil_div(0, 7), 0u);
  EXPECT_EQ(ceil_div(14, 7), 2u);
  EXPECT_EQ(ceil_div(15, 7), 3u);
  EXPECT_EQ(ceil_div(saturated, 2), (saturated / 2) + 1);
}

TEST(ArithmeticDeathTest, CeilDivByZeroStops) {
  EXPECT_DEATH((void)ceil_div(1, 0), "attempt to divide by zero");
}

}  // namespace
}  // namespace vexa_codegen::support
