#include "vexa_codegen/estimate/memory.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace vexa_codegen::estimate::memory {
namespace {

using graph::TensorShape;
using mid::layout::Layout;
using mid::layout::MemoryClass;
using mid::layout::Precision;
using mid::layout::TensorFormat;
using mid::layout::TensorType;
using Bytes = std::pair<std::uint64_t, std::uint64_t>;

TEST(TensorMemory, BytesOnTheSideOfTheMemoryClass) {
  // 8 rows over 3 tiles: the largest shard holds 3 rows of 128 F16 values.
  const TensorType standard{TensorShape{{1, 8, 128}}, TensorFormat{Precision::f16(), Layout::row_sharded(3)}};
  EXPECT_EQ(tensor_memory(standard), (Bytes{768, 0}));

  TensorType interleaved = standard;
  interleaved.format.layout.memory_class = MemoryClass::Vexa21Interleaved;
  EXPECT_EQ(tensor_memory(interleaved), (Bytes{0, 768}));

  const TensorType unresolvable{TensorShape{{8}}, TensorFormat{Precision::f16(), Layout::row_sharded(2)}};
  EXPECT_EQ(tensor_memory(unresolvable), (Bytes{std::numeric_limits<std::uint64_t>::max(), 0}));
}

}  // namespace
}  // namespace vexa_codegen::estimate::memory
