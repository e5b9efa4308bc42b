#include "vexa_codegen/estimate/tensor.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace vexa_codegen::estimate::tensor {
namespace {

using graph::TensorShape;
using mid::layout::Layout;
using mid::layout::Precision;
using mid::layout::TensorFormat;
using mid::layout::TensorType;

constexpr std::uint64_t no_figure = std::numeric_limits<std::uint64_t>::max();

TensorType typed(std::vector<std::uint32_t> shape, Layout layout, Precision precision) {
  return TensorType{TensorShape{std::move(shape)}, TensorFormat{precision, std::move(layout)}};
}

TEST(MaximumShardBytes, LargestPaddedShardTimesElementSize) {
  // Key layout on [1, 100, 20]: largest shard 1 x 64 x 32 elements (padded).
  const Layout key = Layout::attention_key(1, 2);
  EXPECT_EQ(maximum_shard_bytes(typed({1, 100, 20}, key, Precision::f8f143(0))), 2048U);
  EXPECT_EQ(maximum_shard_bytes(typed({1, 100, 20}, key, Precision::f16())), 4096U);
  EXPECT_EQ(maximum_shard_bytes(typed({1, 100, 20}, key, Precision::f32())), 8192U);
  // 8 rows over 3 tiles: 3 rows of 128.
  EXPECT_EQ(maximum_shard_bytes(typed({1, 8, 128}, Layout::row_sharded(3), Precision::f16())), 768U);
}

TEST(MaximumShardBytes, NoFigureWhenUnresolvableAndSaturatesWhenHuge) {
  EXPECT_EQ(maximum_shard_bytes(typed({8}, Layout::row_sharded(2), Precision::f16())), no_figure);
  const std::uint32_t huge = std::numeric_limits<std::uint32_t>::max();
  EXPECT_EQ(maximum_shard_bytes(typed({huge, huge}, Layout::row_sharded(1), Precision::f32())), no_figure);
  // The element count fits but the bytes do not.
  EXPECT_EQ(maximum_shard_bytes(typed({1U << 31, 1U << 31, 4}, Layout::row_sharded(1), Precision::f32())), no_figure);
}

}  // namespace
}  // namespace vexa_codegen::estimate::tensor
