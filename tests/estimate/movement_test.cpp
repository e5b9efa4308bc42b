#include "vexa_codegen/estimate/movement.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vexa_codegen::estimate::movement {
namespace {

using graph::TensorShape;
using vexa_codegen::mid::layout::ElementOrder;
using vexa_codegen::mid::layout::Layout;
using vexa_codegen::mid::layout::MemoryClass;
using vexa_codegen::mid::layout::Precision;
using vexa_codegen::mid::layout::TensorType;

TensorType tensor(std::vector<std::uint32_t> shape, Precision precision, Layout layout) {
  return TensorType{TensorShape{std::move(shape)}, {precision, std::move(layout)}};
}

Layout with_order(Layout layout, ElementOrder order) {
  layout.order = order;
  return layout;
}

TEST(GridFragments, RowShardsSplitInTwo) {
  const auto two = tensor({8, 128}, Precision::f16(), Layout::row_sharded(2));
  const auto four = tensor({8, 128}, Precision::f16(), Layout::row_sharded(4));
  // Each source range meets two target ranges; each target range meets one.
  EXPECT_EQ(grid_fragments(two, four), 2u);
  EXPECT_EQ(grid_fragments(four, two), 2u);
  // Identical shards: the largest shard, 4 x 128 x 2 bytes, is one fragment.
  EXPECT_EQ(grid_fragments(two, two), 1u);
}

TEST(GridFragments, AbsentForIncomparableTypes) {
  const auto base = tensor({8, 128}, Precision::f16(), Layout::row_sharded(2));
  const auto four = Layout::row_sharded(4);
  EXPECT_FALSE(grid_fragments(base, tensor({8, 64}, Precision::f16(), four)));
  EXPECT_FALSE(grid_fragments(base, tensor({8, 128}, Precision::f32(), four)));
  EXPECT_FALSE(grid_fragments(tensor({8, 128}, Precision::f8f143(1), Layout::row_sharded(2)),
                              tensor({8, 128}, Precision::f8f143(2), four)));
  EXPECT_FALSE(grid_fragments(base, tensor({8, 128}, Precision::f16(),
                                           with_order(four, ElementOrder::amp(vexa_codegen::mid::layout::AmpOrder::Output)))));
  EXPECT_FALSE(grid_fragments(base, tensor({8, 128}, Precision::f16(), Layout::row_sharded(0))));
}

TEST(GridFragments, BlockMajorOnlyWithIdenticalShards) {
  const auto columns = Layout::block_major_matrix_storage(64, 64, 2, 1, 1, MemoryClass::Vexa21Standard);
  const auto rows = Layout::block_major_matrix_storage(64, 64, 1, 2, 1, MemoryClass::Vexa21Standard);
  const auto by_columns = tensor({128, 128}, Precision::f16(), columns);
  EXPECT_FALSE(grid_fragments(by_columns, tensor({128, 128}, Precision::f16(), rows)));
  // 128 x 64 x 2 bytes = 16384 fit one fragment.
  EXPECT_EQ(grid_fragments(by_columns, by_columns), 1u);
}

TEST(GridFragments, AmpLeftCountsWholeVectorColumns) {
  // [16, 64] F16 with its columns in 2 shards, then in 4. Stored as 16-element
  // column vectors, a source shard is two runs of 16 x 16 elements.
  const auto two = Layout::amp_left_parallel_grid(16, 2, 1, 1, 2);
  const auto four = Layout::amp_left_parallel_grid(16, 4, 1, 1, 4);
  EXPECT_EQ(grid_fragments(tensor({16, 64}, Precision::f16(), two), tensor({16, 64}, Precision::f16(), four)), 2u);
  // In row-major order the same shards are cut at every one of the 16 rows.
  const auto row_major = ElementOrder::row_major();
  EXPECT_EQ(grid_fragments(tensor({16, 64}, Precision::f16(), with_order(two, row_major)),
                           tensor({16, 64}, Precision::f16(), with_order(four, row_major))),
            32u);
}

TEST(GridFragments, AmpLeftAbsentForPartialVectors) {
  // Column shards of 8 elements are half an F16 vector.
  const auto source = tensor({16, 24}, Precision::f16(), Layout::amp_left_parallel_grid(8, 3, 1, 1, 3));
  const auto target = tensor({16, 24}, Precision::f16(), Layout::amp_left_parallel_grid(8, 6, 2, 1, 3));
  EXPECT_FALSE(grid_fragments(source, target));
}

TEST(GridFragments, AmpOutputCountsSixteenColumnGroups) {
  // [8, 64] F32 rows in 2 shards, then in 4. Each 16-column group of a source
  // shard is cut in two runs, and the 4 groups are separate runs: 8.
  const auto source = tensor({8, 64}, Precision::f32(), Layout::amp_output_grid(64, 2, 2, 1, false));
  const auto target = tensor({8, 64}, Precision::f32(), Layout::amp_output_grid(64, 4, 4, 1, false));
  EXPECT_EQ(grid_fragments(source, target), 8u);
}

TEST(GridFragments, TransposedAmpOrdersAbsentUnlessIdentical) {
  const auto by_batch = Layout::attention_key(2, 1);
  const auto by_sequence = Layout::attention_key(1, 2);
  const auto key = tensor({2, 128, 64}, Precision::f16(), by_batch);
  EXPECT_FALSE(grid_fragments(key, tensor({2, 128, 64}, Precision::f16(), by_sequence)));
  EXPECT_TRUE(grid_fragments(key, key));
  // The same shards in row-major order are counted.
  const auto row_major = ElementOrder::row_major();
  EXPECT_TRUE(grid_fragments(tensor({2, 128, 64}, Precision::f16(), with_order(by_batch, row_major)),
                             tensor({2, 128, 64}, Precision::f16(), with_order(by_sequence, row_major))));
}

TEST(EndpointFragments, RunBoundaries) {
  struct Case {
    std::vector<AxisRanges> a, b;
    std::uint64_t element_bytes, fragments;
  };
  const Case cases[] = {
      // Same cuts on every axis: the largest shard in whole fragments.
      {{{{0, 16592}}}, {{{0, 16592}}}, 1, 1},
      {{{{0, 2 * 16592 + 1}}}, {{{0, 2 * 16592 + 1}}}, 1, 3},
      {{{{0, 8296}}}, {{{0, 8296}}}, 2, 1},
      // A differing axis: the same limits apply to each shared run.
      {{{{0, 2 * 16592 + 1}}}, {{{0, 2 * 16592 + 1}, {2 * 16592 + 1, 40000}}}, 1, 3},
      {{{{0, 16593}}}, {{{0, 1}, {1, 16593}}}, 1, 2},
      // A range past every range of the other side contributes nothing.
      {{{{0, 4}, {10, 12}}}, {{{0, 4}}}, 1, 1},
      // Outer axes multiply: two rows, each cut once.
      {{{{0, 2}}, {{0, 64}, {64, 128}}}, {{{0, 2}}, {{0, 128}}}, 2, 2},
      // The inner block is counted in bytes: 2 rows of 10000 x 2 bytes.
      {{{{0, 2}, {2, 4}}, {{0, 10000}}}, {{{0, 4}}, {{0, 10000}}}, 2, 3},
      // An axis without ranges holds nothing.
      {{{}, {{0, 8}}}, {{}, {{0, 8}}}, 2, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(endpoint_fragments(c.a, c.b, c.element_bytes), c.fragments)
        << "a has " << c.a.size() << " axes, element bytes " << c.element_bytes;
  }
}

}  // namespace
}  // namespace vexa_codegen::estimate::movement
