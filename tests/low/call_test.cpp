#include "vexa_codegen/low/call.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vexa_codegen/mid/operators.hpp"

namespace vexa_codegen::low::call {
namespace {

using mid::layout::Layout;
using mid::layout::Precision;
using mid::layout::TensorFormat;
using mid::operators::AccumulationPrecision;
using mid::operators::TileKernelSpec;

TileKernelSpec packed_gemm(Precision multiply) {
  return {TileKernelSpec::PackedGemm{.inner_chunk = 64,
                                     .output_column_block = 64,
                                     .multiply = multiply,
                                     .accumulate = AccumulationPrecision::F32,
                                     .add_to_output = false,
                                     .reserved = 0}};
}

const TensorFormat f16_rows{Precision::f16(), Layout::row_sharded(2)};
const TensorFormat f8_rows{Precision::f8f143(0), Layout::row_sharded(2)};

TEST(KernelRequirements, PackedGemmStreamsItsFirstInput) {
  const std::vector<TensorFormat> inputs{f8_rows, f16_rows};
  struct Case {
    Precision multiply;
    std::uint32_t element_bits;
  };
  for (const auto& c : {Case{Precision::f8f143(3), 8}, Case{Precision::f16(), 16}, Case{Precision::f32(), 32}}) {
    const auto requirements = KernelRequirements::make(packed_gemm(c.multiply), inputs, f16_rows);
    EXPECT_EQ(requirements,
              (KernelRequirements{.accesses = {{f8_rows, 32, c.element_bits}, {f16_rows, 32, 0}},
                                  .output = f16_rows,
                                  .alignment = 32,
                                  .segment_groups = {{{0, 1}}}}))
        << dump(requirements);
  }
  // Without inputs there is nothing to stream.
  const auto bare = KernelRequirements::make(packed_gemm(Precision::f16()), {}, f16_rows);
  EXPECT_TRUE(bare.accesses.empty());
  EXPECT_TRUE(bare.segment_groups.empty());
  EXPECT_EQ(bare.alignment, 32u);
}

TEST(KernelRequirements, AlignmentByKernel) {
  const std::vector<TensorFormat> inputs{f16_rows};
  const TileKernelSpec relayout{TileKernelSpec::Relayout{Layout::row_sharded(2), Layout::row_sharded(2)}};
  EXPECT_EQ(KernelRequirements::make(relayout, inputs, f16_rows),
            (KernelRequirements{.accesses = {{f16_rows, 2, 0}}, .output = f16_rows, .alignment = 2, .segment_groups = {}}));
  EXPECT_EQ(KernelRequirements::make({TileKernelSpec::Gelu{}}, inputs, f16_rows),
            (KernelRequirements{.accesses = {{f16_rows, 8, 0}}, .output = f16_rows, .alignment = 8, .segment_groups = {}}));
}

}  // namespace
}  // namespace vexa_codegen::low::call
