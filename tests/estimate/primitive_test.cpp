#include "vexa_codegen/estimate/primitive.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "vexa_codegen/mid/operators.hpp"

namespace vexa_codegen::estimate::primitive {
namespace {

using vexa_codegen::mid::layout::AmpOrder;
using vexa_codegen::mid::layout::BlockMajorOrder;
using vexa_codegen::mid::layout::ElementOrder;
using vexa_codegen::mid::layout::Layout;
using vexa_codegen::mid::layout::MemoryClass;
using vexa_codegen::mid::layout::Precision;
using vexa_codegen::mid::layout::ShardExtent;
using vexa_codegen::mid::layout::TensorType;
using vexa_codegen::mid::operators::AccumulationPrecision;
using vexa_codegen::mid::operators::TileKernelSpec;

constexpr std::uint64_t M = std::numeric_limits<std::uint64_t>::max();

const Precision f8 = Precision::f8f143(0);
const Precision f16 = Precision::f16();
const Precision f32 = Precision::f32();
const ElementOrder row_major = ElementOrder::row_major();

ElementOrder amp(AmpOrder order) { return ElementOrder::amp(order); }
ElementOrder matrix(std::uint16_t row_block) {
  return ElementOrder::block_major(BlockMajorOrder::matrix(row_block, 16));
}
ElementOrder transposed_matrix(std::uint16_t row_block) {
  return ElementOrder::block_major(BlockMajorOrder::transposed_matrix(row_block, 16));
}

TensorType tensor(std::vector<std::uint32_t> shape, Precision precision, ElementOrder order = ElementOrder::row_major(),
                  MemoryClass memory = MemoryClass::Vexa21Standard) {
  Layout layout = Layout::row_sharded(1);
  layout.order = order;
  layout.memory_class = memory;
  return TensorType{graph::TensorShape{std::move(shape)}, {precision, layout}};
}

TEST(CastCycles, Figures) {
  struct Case {
    Precision from, to;
    std::uint64_t elements, group, cycles;
  };
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

TEST(Geometry, ShardsUseAllocatedSizes) {
  const Layout layout = Layout::row_sharded(2);
  const std::vector<ShardExtent> extents{{.start = 4, .end = 6, .allocated_end = 8, .axis = 0},
                                         {.start = 0, .end = 100, .allocated_end = 128, .axis = 1}};
  const Geometry geometry = Geometry::shards(layout, extents);
  EXPECT_EQ(geometry.rank(), 2u);
  EXPECT_EQ(geometry.dimension(0), 4u);
  EXPECT_EQ(geometry.trailing_dimension(0), 128u);
  EXPECT_EQ(geometry.trailing_dimension(2), std::nullopt);
  EXPECT_EQ(geometry.elements(), 512u);
  EXPECT_EQ(geometry.rows(), 4u);
  EXPECT_EQ(geometry.width(), 128u);
  EXPECT_EQ(geometry.precision(), std::nullopt);
  EXPECT_EQ(&geometry.layout(), &layout);
}

TEST(Geometry, ScalarsAndVectors) {
  const TensorType scalar = tensor({}, f16);
  const Geometry none = Geometry::whole(scalar);
  EXPECT_EQ(none.elements(), 1u);
  EXPECT_EQ(none.width(), 0u);
  EXPECT_EQ(none.rows(), 1u);
  const TensorType vector = tensor({96}, f16);
  EXPECT_EQ(Geometry::whole(vector).rows(), 1u);
  EXPECT_EQ(Geometry::whole(vector).width(), 96u);
  EXPECT_EQ(Geometry::whole(vector).precision(), f16);
  const TensorType huge = tensor({4294967295u, 4294967295u, 4294967295u}, f16);
  EXPECT_EQ(Geometry::whole(huge).elements(), M);
}

struct KernelCase {
  std::string label;
  TileKernelSpec kernel;
  std::vector<TensorType> operands;
  TensorType output;
  std::uint64_t cycles;
};

void expect_cycles(const std::vector<KernelCase>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(kernel_cycles(c.kernel, c.operands, Geometry::whole(c.output)), c.cycles) << c.label;
  }
}

TileKernelSpec packed_gemm(Precision multiply, std::uint32_t inner_chunk = 64, std::uint32_t column_block = 64) {
  return {TileKernelSpec::PackedGemm{.inner_chunk = inner_chunk,
                                     .output_column_block = column_block,
                                     .multiply = multiply,
                                     .accumulate = AccumulationPrecision::F32,
                                     .add_to_output = false,
                                     .reserved = 0}};
}

TEST(KernelCycles, PackedGemm) {
  const TensorType left = tensor({6, 64}, f16, amp(AmpOrder::Left));
  const TensorType right = tensor({64, 64}, f16, matrix(64));
  const TensorType right_interleaved = tensor({64, 64}, f16, matrix(64), MemoryClass::Vexa21Interleaved);
  expect_cycles({
      // A product output group hands the rows to the six workers.
      {"f16 into a product group", packed_gemm(f16), {left, right}, tensor({6, 64}, f16, transposed_matrix(16)), 6902},
      {"f16 into a product group, interleaved", packed_gemm(f16), {left, right_interleaved},
       tensor({6, 64}, f16, transposed_matrix(16)), 16 * (170 + 208) + 342},
      // General loop: 4 chunks of (ceil(6 x 64 / 4) + 1063).
      {"f16 into left order", packed_gemm(f16), {left, right}, tensor({6, 64}, f16, amp(AmpOrder::Left)),
       4 * (96 + 1063) + 294},
      {"f16 interleaved", packed_gemm(f16), {left, right_interleaved}, tensor({6, 64}, f16, amp(AmpOrder::Left)),
       16 * (4 * 6 + 160) + 294},
      // Swapped results keep their rows on the last axis.
      {"f16 into transposed left order", packed_gemm(f16), {left, right},
       tensor({64, 6}, f16, amp(AmpOrder::TransposedLeft)), 4 * (96 + 1063) + 294},
      {"f16 with a batch axis", packed_gemm(f16), {left, right}, tensor({2, 6, 64}, f16, amp(AmpOrder::Left)),
       4 * (192 + 1063) + 294},
      // 32-bit products stream four times the rows at twice the column cost.
      {"f32", packed_gemm(f32), {left, right_interleaved}, tensor({6, 64}, f32, amp(AmpOrder::Output)),
       4 * (384 + 2126) + 294},
      // 8-bit inner chunks hold two elements per 16-bit lane.
      {"f8", packed_gemm(f8), {left, right}, tensor({6, 64}, f16, amp(AmpOrder::Left)), 2 * (96 + 1063) + 294},
  });
}

TEST(KernelCycles, ElementWise) {
  const TensorType operand = tensor({2, 192}, f16);
  expect_cycles({
      {"fill zero", {TileKernelSpec::FillZero{0, 100, 0}}, {}, tensor({100}, f16), 3 + 11},
      {"gelu f16", {TileKernelSpec::Gelu{}}, {operand}, tensor({2, 48}, f16), 840},
      {"gelu f32", {TileKernelSpec::Gelu{}}, {operand}, tensor({2, 48}, f32), 10 * 96 + 11},
      {"gelu f8", {TileKernelSpec::Gelu{}}, {operand}, tensor({2, 192}, f8), 3072},
      {"gelu f8 without operand", {TileKernelSpec::Gelu{}}, {}, tensor({2, 192}, f8), M},
      {"bias gelu", {TileKernelSpec::BiasGelu{}}, {}, tensor({2, 96}, f16), 2 * (840 - 290) + 2 * 192 + 330},
      {"bias gelu, empty rows", {TileKernelSpec::BiasGelu{}}, {}, tensor({4, 0}, f16), 4 * 40 + 330},
      {"add f32", {TileKernelSpec::Add{}}, {}, tensor({4, 4}, f32), 3 * 16 + 11},
      {"add f8", {TileKernelSpec::Add{}}, {}, tensor({4, 4}, f8), 3 * 16 + 11},
      {"add f16, equal operands", {TileKernelSpec::Add{}}, {tensor({4, 24}, f16), tensor({4, 24}, f16)},
       tensor({4, 24}, f16), 24 * 4 + 492},
      {"add f16, without operands", {TileKernelSpec::Add{}}, {}, tensor({4, 24}, f16), 24 * 4 + 492},
      {"add f16, broadcast row", {TileKernelSpec::Add{}}, {tensor({4, 24}, f16), tensor({24}, f16)},
       tensor({4, 24}, f16), 4 * 24 + 492 + 234 * 3},
      {"add f16, odd size", {TileKernelSpec::Add{}}, {tensor({3, 5}, f16), tensor({3, 5}, f16)}, tensor({3, 5}, f16),
       54 * 2 + 450},
      {"add f16, broadcast not dividing", {TileKernelSpec::Add{}}, {tensor({4, 24}, f16), tensor({40}, f16)},
       tensor({4, 24}, f16), 54 * 8 + 450},
  });
}

TEST(KernelCycles, Normalisation) {
  const TensorType rows = tensor({8, 128}, f16);
  expect_cycles({
      {"add layer norm", {TileKernelSpec::AddLayerNorm{}}, {rows}, tensor({8, 128}, f16), 20724},
      {"layer norm f16", {TileKernelSpec::LayerNorm{}}, {rows}, tensor({8, 128}, f16), 18204},
      {"layer norm f8 into left order", {TileKernelSpec::LayerNorm{}}, {tensor({2, 128}, f16)},
       tensor({2, 128}, f8, amp(AmpOrder::Left)), 4650 + (162 * 6 + 270) * 2},
      {"layer norm f8 without operand", {TileKernelSpec::LayerNorm{}}, {}, tensor({2, 128}, f8), M},
      {"moments", {TileKernelSpec::LayerNormMoments{}}, {rows}, tensor({8, 2}, f32), 8 * (270 + 1080) + 126},
      {"moments, scalar rows", {TileKernelSpec::LayerNormMoments{}}, {tensor({8, 100}, f16)}, tensor({8, 2}, f32),
       8 * (48 * 9 + 1080) + 126},
      {"add moments", {TileKernelSpec::AddLayerNormMoments{}}, {rows}, tensor({8, 2}, f32),
       8 * (270 + 1080) + 126 + 4 * 8 * (6 * 3 + 27)},
      {"moments without operand", {TileKernelSpec::LayerNormMoments{}}, {}, tensor({8, 2}, f32), M},
      // The add term is plain arithmetic: after a saturated figure it wraps.
      {"add moments, saturated", {TileKernelSpec::AddLayerNormMoments{}},
       {tensor({4294967295u, 4294967295u, 4294967295u, 96}, f16)}, tensor({8, 2}, f32), 11529215046068469655u},
      {"apply", {TileKernelSpec::LayerNormApply{2}}, {}, tensor({4, 120}, f16), 4 * (108 + 600 + 324) + 558},
      {"reduce one partial", {TileKernelSpec::ReduceSum{1}}, {}, tensor({96}, f16), 0},
      {"reduce nothing", {TileKernelSpec::ReduceSum{3}}, {}, tensor({0}, f16), 0},
      {"reduce three partials", {TileKernelSpec::ReduceSum{3}}, {}, tensor({96}, f16), 15 * 12 + 282},
  });
}

TEST(KernelCycles, Attention) {
  const TileKernelSpec attention{TileKernelSpec::Attention{
      .scale = {}, .causal = false, .accumulate = AccumulationPrecision::F32}};
  const TensorType query = tensor({2, 64, 32}, f16);
  const TensorType key = tensor({2, 128, 32}, f16);
  const TensorType value = tensor({2, 128, 16}, f16);
  const TensorType out = tensor({2, 64, 16}, f32);
  const TensorType huge = tensor({4294967295u, 4294967295u, 32}, f16);
  expect_cycles({
      {"two operands", attention, {query, key}, out, M},
      {"unequal ranks", attention, {query, key, tensor({128, 16}, f16)}, out, M},
      {"vectors", attention, {tensor({64}, f16), tensor({64}, f16), tensor({64}, f16)}, out, M},
      // 128 queries x 128 keys x (32 + 16) products, four cycles each, on six workers.
      {"three operands", attention, {query, key, value}, out, 524288 + 11},
      {"too large", attention, {huge, huge, huge}, out, 3074457345618258614u},
      {"statistics", {TileKernelSpec::AttentionStatistics{64, 40, 64}}, {}, tensor({6, 64}, f32), 1620},
      {"output, first and last block", {TileKernelSpec::AttentionOutput{64, 0, 64, true, true}}, {},
       tensor({6, 64}, f16), 6 * (12 + 128 + 30 + 1) + 222},
      {"output, middle block", {TileKernelSpec::AttentionOutput{8, 0, 64, false, false}}, {}, tensor({6, 8}, f16),
       6 * (24 + 34) + 222},
      {"output without rows", {TileKernelSpec::AttentionOutput{64, 0, 64, true, true}}, {}, tensor({0, 64}, f16), 0},
  });
}

TEST(KernelCycles, CastGroupFollowsTheOutputOrder) {
  const TileKernelSpec to_f8{TileKernelSpec::Cast{f16, f8}};
  expect_cycles({
      {"row-major", to_f8, {}, tensor({4, 96}, f8), 24 * 8 + 330},
      {"block-major", to_f8, {}, tensor({64, 128}, f8, matrix(64)), 3 * (72 * 16 + 120) + 330},
      {"left: group of rows", to_f8, {}, tensor({4, 96}, f8, amp(AmpOrder::Left)), 3 * (72 + 120) + 330},
      {"left, one row of the whole operand", to_f8, {tensor({1, 96}, f16)}, tensor({1, 96}, f8, amp(AmpOrder::Left)),
       24 * 2 + 330},
      {"left, one row of a larger operand", to_f8, {tensor({2, 96}, f16)},
       tensor({1, 96}, f8, amp(AmpOrder::Left)), 3 * (72 + 120) + 330},
      {"transposed left: group of the width", to_f8, {}, tensor({4, 96}, f8, amp(AmpOrder::TransposedLeft)),
       72 * 16 + 120 + 330},
      {"transposed right", to_f8, {}, tensor({4, 96}, f8, amp(AmpOrder::TransposedRight)), 72 * 3 + 120 + 330},
      {"output", to_f8, {}, tensor({4, 96}, f8, amp(AmpOrder::Output)), 24 * 8 + 330},
      {"16 to 32 bits", {TileKernelSpec::Cast{f16, f32}}, {}, tensor({10, 10}, f32), 75 + 11},
  });
}

TEST(KernelCycles, Relayout) {
  Layout transposed_left = Layout::row_sharded(1);
  transposed_left.order = amp(AmpOrder::TransposedLeft);
  const TileKernelSpec from_transposed_left{TileKernelSpec::Relayout{transposed_left, Layout::row_sharded(1)}};
  const TileKernelSpec from_rows{TileKernelSpec::Relayout{Layout::row_sharded(1), Layout::row_sharded(1)}};
  expect_cycles({
      // 2 matrices, 2 groups of 12 rows, 5 column pairs.
      {"transposed left to rows", from_transposed_left, {}, tensor({2, 24, 10}, f16), 2 * 2 * (90 * 5 + 100) + 300},
      {"transposed left to 32-bit rows", from_transposed_left, {}, tensor({2, 24, 10}, f32), 10 * 480 + 11},
      {"transposed left to a vector", from_transposed_left, {}, tensor({24}, f16), 10 * 24 + 11},
      {"packing", from_rows, {}, tensor({64, 128}, f16, matrix(64)), 6 * 6 * 1132 + 300},
      {"rows to rows", from_rows, {}, tensor({4, 10}, f16), 10 * 40 + 11},
  });
}

TEST(KernelCycles, ShardsWithoutPrecision) {
  const Layout layout = Layout::row_sharded(1);
  const std::vector<ShardExtent> extents{{.start = 0, .end = 2, .allocated_end = 2, .axis = 0},
                                         {.start = 0, .end = 48, .allocated_end = 48, .axis = 1}};
  const Geometry shards = Geometry::shards(layout, extents);
  const std::vector<TensorType> none;
  // Figures that depend on the result's precision have no estimate ...
  EXPECT_EQ(kernel_cycles({TileKernelSpec::Gelu{}}, none, shards), M);
  EXPECT_EQ(kernel_cycles({TileKernelSpec::Add{}}, none, shards), M);
  EXPECT_EQ(kernel_cycles({TileKernelSpec::LayerNorm{}}, none, shards), M);
  // ... the others read only the extents.
  EXPECT_EQ(kernel_cycles({TileKernelSpec::AddLayerNorm{}}, none, shards), 2 * (72 * 4 + 72 * 4 + 1290) + 132);
  EXPECT_EQ(kernel_cycles({TileKernelSpec::Cast{f16, f32}}, none, shards), 72 + 11);
}

}  // namespace
}  // namespace vexa_codegen::estimate::primitive
