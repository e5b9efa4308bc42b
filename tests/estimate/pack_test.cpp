#include "vexa_codegen/estimate/pack.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vexa_codegen::estimate::cycles {
namespace {

using vexa_codegen::mid::layout::AmpOrder;
using vexa_codegen::mid::layout::BlockMajorOrder;
using vexa_codegen::mid::layout::ElementOrder;
using vexa_codegen::mid::layout::Layout;
using vexa_codegen::mid::layout::Precision;
using vexa_codegen::mid::layout::ShardExtent;
using vexa_codegen::mid::layout::TensorType;
using primitive::Geometry;

ElementOrder matrix(std::uint16_t row_block) {
  return ElementOrder::block_major(BlockMajorOrder::matrix(row_block, 16));
}

TensorType tensor(std::vector<std::uint32_t> shape, ElementOrder order) {
  Layout layout = Layout::row_sharded(1);
  layout.order = order;
  return TensorType{graph::TensorShape{std::move(shape)}, {Precision::f16(), layout}};
}

TEST(PackGeometryCycles, Figures) {
  struct Case {
    std::string label;
    TensorType geometry;
    std::uint64_t elements, cycles;
  };
  const Case cases[] = {
      {"row-major", tensor({64, 128}, ElementOrder::row_major()), 8192, 0},
      {"row-major, no figure", tensor({64, 128}, ElementOrder::row_major()), std::numeric_limits<std::uint64_t>::max(),
       0},
      // n = 64 x 8 = 512 elements per group: one group of the coefficient packer.
      {"coefficients", tensor({64, 128}, matrix(64)), 8192, 6 * 6 * 1132 + 300},
      {"coefficients, three groups", tensor({64, 128}, matrix(64)), 3 * 8192, 3 * 6 * 6 * 1132 + 300},
      {"coefficients 16 wide", tensor({32, 16}, matrix(32)), 512, 3 * 6 * 60 + 300},
      // Outside the packer's reach: 10 per element.
      {"rows beyond the block", tensor({128, 128}, matrix(64)), 16384, 10 * 16384 + 11},
      {"width not a multiple of 4", tensor({64, 126}, matrix(64)), 8064, 10 * 8064 + 11},
      {"row block not a multiple of 16", tensor({8, 128}, matrix(8)), 1024, 10 * 1024 + 11},
      {"a vector", tensor({128}, matrix(64)), 128, 10 * 128 + 11},
      {"zero row block", tensor({0, 128}, matrix(0)), 0, 11},
      {"no columns", tensor({64, 0}, matrix(64)), 0, 11},
      {"transposed blocks",
       tensor({64, 128}, ElementOrder::block_major(BlockMajorOrder::transposed_matrix(64, 16))), 8192,
       10 * 8192 + 11},
      {"left", tensor({64, 128}, ElementOrder::amp(AmpOrder::Left)), 8192, 8192 + 11},
      {"transposed right", tensor({64, 128}, ElementOrder::amp(AmpOrder::TransposedRight)), 8192, 3 * 8192 + 11},
      {"transposed left", tensor({64, 128}, ElementOrder::amp(AmpOrder::TransposedLeft)), 8192, 10 * 8192 + 11},
      {"output", tensor({64, 128}, ElementOrder::amp(AmpOrder::Output)), 8192, 10 * 8192 + 11},
      {"saturates", tensor({64, 128}, ElementOrder::amp(AmpOrder::Output)), std::numeric_limits<std::uint64_t>::max(),
       std::numeric_limits<std::uint64_t>::max()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pack_geometry_cycles(Geometry::whole(c.geometry), c.elements), c.cycles) << c.label;
  }
}

TEST(PackGeometryCycles, ShardGeometryUsesAllocatedExtents) {
  // Rows 64 to 100 of a tensor padded to 128: the shard still spans 64 rows.
  Layout layout = Layout::row_sharded(2);
  layout.order = matrix(64);
  const std::vector<ShardExtent> extents{{.start = 64, .end = 100, .allocated_end = 128, .axis = 0},
                                         {.start = 0, .end = 128, .allocated_end = 128, .axis = 1}};
  EXPECT_EQ(pack_geometry_cycles(Geometry::shards(layout, extents), 8192), 6u * 6 * 1132 + 300);
}

}  // namespace
}  // namespace vexa_codegen::estimate::cycles
