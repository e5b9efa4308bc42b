#include "vexa_codegen/estimate/primitive.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace vexa_codegen::estimate::primitive {
namespace {

using mid::layout::Precision;

constexpr std::uint64_t M = std::numeric_limits<std::uint64_t>::max();

TEST(CastCycles, Figures) {
  struct Case {
    Precision from, to;
    std::uint64_t elements, group, cycles;
  };
  const Precision f8 = Precision::f8f143(0);
  const Precision f16 = Precision::f16();
  const Precision f32 = Precision::f32();
  const Case cases[] = {
      {f16, f32, 100, 0, 86},    // ceil(100 x 6 / 8) + 11
      {f32, f16, 100, 0, 762},   // 48 x 9 + 330
      {f32, f16, 100, 7, 762},   // the group only matters for 16 to 8 bits
      {f16, f8, 100, 0, 402},    // row-major: 24 x 3 + 330
      {f16, f8, 1024, 16, 2 * (72 * 3 + 120) + 330},     // two passes of 16 vectors
      {f16, f8, 8192, 16, 3 * (72 * 16 + 120) + 330},    // 16 passes, six at a time
      {f16, f8, 8192, 64, 4 * (72 * 11 + 120) + 330},    // long groups never run side by side
      {f8, f16, 100, 0, 49},     // ceil(100 x 3 / 8) + 11
      {f32, f8, 100, 0, 74},
      {f32, f32, 100, 0, 111},
      {f16, f16, 100, 0, 61},
      {Precision::f8f143(2), Precision::f8f143(-1), 100, 0, 36},
      {f32, f32, M, 0, 2305843009213693963u},  // the byte count saturates before the division
      // 32 x group overflows: the pass length saturates, one pass.
      {f16, f8, 1000, std::uint64_t{1} << 59, 6917529027641082354u},
      {f16, f8, 1000, M, M},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cast_cycles(c.from, c.to, c.elements, c.group), c.cycles)
        << dump(c.from) << " to " << dump(c.to) << ", " << c.elements << " elements, group " << c.group;
  }
}

}  // namespace
}  // namespace vexa_codegen::estimate::primitive
