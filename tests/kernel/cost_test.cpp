#include "vexa_codegen/kernel/cost.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace vexa_codegen::kernel::cost {
namespace {

constexpr std::uint64_t M = std::numeric_limits<std::uint64_t>::max();

TEST(F16GeluCycles, Figures) {
  struct Case {
    std::uint64_t n;
    std::uint64_t cycles;
  };
  const Case cases[] = {
      {0, 0},
      {96, 840},    // one 96-element block
      {16, 840},    // a partial block costs a whole one
      {192, 1350},  // two blocks
      {5, 702},     // half is 3: only L(3) = 120 x 3 + 342
      {97, 990},    // half is 49: L(49) = 528 + 120 + 342 dominates
      {26, 942},    // half is 13: L(13) = 858, but the stagger L(5) = 942 is larger
      {M - 15, M},  // a multiple of 16 whose block count saturates
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f16_gelu_cycles(c.n), c.cycles) << "n = " << c.n;
  }
}

TEST(F16SoftmaxCycles, Figures) {
  struct Case {
    std::uint64_t rows, length, block, cycles;
  };
  const Case cases[] = {
      {0, 64, 64, 0},
      {6, 64, 64, 1572},     // full block: 6 x (47 x 4 + 38) + 216
      {6, 40, 64, 1620},     // short row: scalar tail of 8 and one skipped vector
      {1, 7, 64, 1128},      // odd length without vectors, rows rounded up to 6
      {12, 128, 128, 5184},  // long rows, the plain kernel is cheaper
      {6, 1024, 128, 5376},  // long rows in short blocks: the blocked kernel wins
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f16_softmax_cycles(c.rows, c.length, c.block), c.cycles)
        << c.rows << " x " << c.length << " in blocks of " << c.block;
  }
}

TEST(F16LayerNormCycles, Figures) {
  struct Case {
    std::uint64_t rows, width;
    bool with_add;
    std::uint64_t cycles;
  };
  const Case cases[] = {
      {8, 128, false, 8 * (18 * 3 + 36 * 6 + 60 * 11 + 1329) + 132},
      {8, 128, true, 8 * (36 * 3 + 48 * 6 + 72 * 11 + 1386) + 132},
      {2, 100, false, 2 * (48 * 9 + 60 * 9 + 1200) + 132},  // not a multiple of 8: scalar
      {2, 100, true, 2 * (72 * 9 + 72 * 9 + 1290) + 132},
      {1, 88, false, 48 * 8 + 60 * 8 + 1200 + 132},  // a multiple of 8 below 96: scalar
      {0, 128, false, 132},
      {M, 128, false, M},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f16_layernorm_cycles(c.rows, c.width, c.with_add), c.cycles)
        << c.rows << " x " << c.width << (c.with_add ? " with add" : "");
  }
}

TEST(F16PackedGemmCycles, Figures) {
  struct Case {
    std::uint64_t rows, inner, columns;
    bool interleaved;
    std::uint64_t cycles;
  };
  const Case cases[] = {
      {6, 64, 64, false, 6902},               // every worker one row: 16 x (202 + 208) + 342
      {6, 64, 64, true, 16 * (170 + 208) + 342},
      {0, 16, 16, false, 202 + 342},          // no rows: only the block overhead
      // 20 rows: workers of 4, 4, 3, 3, 3, 3 rows starting at 0, 4, 8, 11, 14, 17;
      // the worker starting at 14 straddles a 16-row group: 72 + 2 x 184.
      {20, 16, 16, false, 202 + 440 + 342},
      {6, M, M, false, M},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f16_packed_gemm_cycles(c.rows, c.inner, c.columns, c.interleaved), c.cycles)
        << c.rows << " x " << c.inner << " x " << c.columns;
  }
}

TEST(Fp8ElementwiseCycles, Figures) {
  EXPECT_EQ(fp8_elementwise_cycles(true, 2, 192, false), 3072u);
  EXPECT_EQ(fp8_elementwise_cycles(true, 2, 192, true), 3072u);
  // Layer normalisation: the 16-bit figure plus the 8-bit store, dearer for a
  // multi-row left-operand result.
  EXPECT_EQ(fp8_elementwise_cycles(false, 2, 128, true), 4650u + (162u * 6 + 270) * 2);
  EXPECT_EQ(fp8_elementwise_cycles(false, 2, 128, false), 4650u + (6u * 6 + 270) * 2);
  EXPECT_EQ(fp8_elementwise_cycles(false, 1, 128, true), 2391u + 6 * 6 + 270);
}

TEST(Fp8ElementwiseCycles, WrapsInsteadOfSaturating) {
  // (1098 + 372) x 2^63 is a multiple of 2^64, so only the constant remains.
  EXPECT_EQ(fp8_elementwise_cycles(true, std::uint64_t{1} << 63, 192, false), 132u);
}

TEST(F16CoefficientPackCycles, Figures) {
  EXPECT_EQ(f16_coefficient_pack_cycles(1, 64, 128), 6u * 6 * 1132 + 300);
  EXPECT_EQ(f16_coefficient_pack_cycles(2, 12, 16), 2u * 1 * 6 * 60 + 300);  // 16 wide: the short kernel
  EXPECT_EQ(f16_coefficient_pack_cycles(0, 64, 128), 300u);
  EXPECT_EQ(f16_coefficient_pack_cycles(M, 64, 128), M);
}

}  // namespace
}  // namespace vexa_codegen::kernel::cost
