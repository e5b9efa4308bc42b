#include "vexa_codegen/storage.hpp"

#include <gtest/gtest.h>

namespace vexa_codegen::storage {
namespace {

using mid::layout::AmpOrder;
using mid::layout::BlockMajorOrder;
using mid::layout::Precision;

struct Case {
  std::uint32_t position;
  std::uint32_t row;
  std::uint32_t column;
};

void expect_coordinates(const std::function<std::expected<MatrixCoordinates, StorageError>(std::uint32_t)>& at,
                        const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.position);
    const auto coordinates = at(c.position);
    ASSERT_TRUE(coordinates.has_value()) << dump(coordinates.error());
    EXPECT_EQ(*coordinates, (MatrixCoordinates{c.row, c.column}));
  }
}

TEST(StorageCoordinates, VectorWidthIsOneThirtyTwoByteVector) {
  EXPECT_EQ(vector_width(Precision::f8f143(3)), 32U);
  EXPECT_EQ(vector_width(Precision::f16()), 16U);
  EXPECT_EQ(vector_width(Precision::f32()), 8U);
}

TEST(StorageCoordinates, OutputPermutesEachRowGroup) {
  const std::vector<std::uint32_t> columns = {0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15};
  for (std::uint32_t position = 0; position < 16; ++position) {
    EXPECT_EQ(amp_matrix_coordinates(AmpOrder::Output, Precision::f16(), 1, 16, position),
              (MatrixCoordinates{0, columns[position]}))
        << position;
    EXPECT_EQ(amp_matrix_coordinates(AmpOrder::TransposedOutput, Precision::f16(), 16, 1, position),
              (MatrixCoordinates{columns[position], 0}))
        << position;
  }
  // Two rows of 32: row groups of 16 values, all rows of one column group first.
  expect_coordinates([](std::uint32_t p) { return amp_matrix_coordinates(AmpOrder::Output, Precision::f32(), 2, 32, p); },
                     {{16, 1, 0}, {18, 1, 8}, {32, 0, 16}, {63, 1, 31}});
  expect_coordinates(
      [](std::uint32_t p) { return amp_matrix_coordinates(AmpOrder::TransposedOutput, Precision::f32(), 32, 2, p); },
      {{16, 0, 1}, {18, 8, 1}, {32, 16, 0}, {63, 31, 1}});
}

TEST(StorageCoordinates, AmpOperandOrders) {
  // F16: vectors of 16. Left stores column strips of 16, row by row.
  expect_coordinates([](std::uint32_t p) { return amp_matrix_coordinates(AmpOrder::Left, Precision::f16(), 2, 32, p); },
                     {{0, 0, 0}, {15, 0, 15}, {16, 1, 0}, {32, 0, 16}, {63, 1, 31}});
  expect_coordinates(
      [](std::uint32_t p) { return amp_matrix_coordinates(AmpOrder::TransposedLeft, Precision::f16(), 32, 2, p); },
      {{0, 0, 0}, {15, 15, 0}, {16, 0, 1}, {32, 16, 0}, {63, 31, 1}});
  // F32: vectors of 8; groups of 16 rows x one vector, column vectors fastest.
  expect_coordinates(
      [](std::uint32_t p) { return amp_matrix_coordinates(AmpOrder::TransposedRight, Precision::f32(), 32, 16, p); },
      {{0, 0, 0}, {7, 0, 7}, {8, 1, 0}, {127, 15, 7}, {128, 0, 8}, {256, 16, 0}, {511, 31, 15}});
}

TEST(StorageCoordinates, BlockMajorChunksOfVectorRows) {
  // Blocks of 32 x 16 in F16 (vectors of 16) over a 64 x 32 matrix: chunks of
  // 16 rows x 16 columns, column vector after column vector.
  const auto matrix = [](std::uint32_t p) {
    return block_major_matrix_coordinates(BlockMajorOrder::matrix(32, 16), Precision::f16(), 64, 32, p);
  };
  expect_coordinates(matrix, {{0, 0, 0}, {1, 1, 0}, {16, 0, 1}, {255, 15, 15}, {256, 16, 0}, {512, 0, 16},
                              {768, 16, 16}, {1024, 32, 0}, {2047, 63, 31}});
  const auto transposed = [](std::uint32_t p) {
    return block_major_matrix_coordinates(BlockMajorOrder::transposed_matrix(32, 16), Precision::f16(), 32, 64, p);
  };
  expect_coordinates(transposed, {{0, 0, 0}, {1, 0, 1}, {16, 1, 0}, {256, 0, 16}, {512, 16, 0}, {1024, 0, 32}});
}

TEST(StorageCoordinates, UnaddressableGeometries) {
  const auto block = [](std::uint16_t rows_block, std::uint16_t columns_block, Precision precision,
                        std::uint32_t rows, std::uint32_t columns, std::uint32_t position = 0) {
    return block_major_matrix_coordinates(BlockMajorOrder::matrix(rows_block, columns_block), precision, rows, columns,
                                          position);
  };
  const auto unexpected = [](StorageError error) { return std::unexpected(error); };
  EXPECT_EQ(block(0, 16, Precision::f16(), 32, 32), unexpected(StorageError::ZeroBlock));
  EXPECT_EQ(block(32, 0, Precision::f16(), 32, 32), unexpected(StorageError::ZeroBlock));
  EXPECT_EQ(block(32, 16, Precision::f16(), 48, 32), unexpected(StorageError::UnalignedGeometry));
  EXPECT_EQ(block(32, 16, Precision::f16(), 64, 24), unexpected(StorageError::UnalignedGeometry));
  EXPECT_EQ(block(16, 16, Precision::f8f143(0), 32, 32), unexpected(StorageError::UnalignedGeometry));
  EXPECT_EQ(block(32, 16, Precision::f16(), 32, 32, 1024), unexpected(StorageError::PositionOutOfRange));
  EXPECT_EQ(block(32, 16, Precision::f16(), 0, 32), unexpected(StorageError::PositionOutOfRange));

  const auto amp = [](AmpOrder order, std::uint32_t rows, std::uint32_t columns, std::uint32_t position = 0) {
    return amp_matrix_coordinates(order, Precision::f16(), rows, columns, position);
  };
  EXPECT_EQ(amp(AmpOrder::Left, 4, 8), unexpected(StorageError::UnalignedGeometry));
  EXPECT_EQ(amp(AmpOrder::Left, 1U << 28, 16), unexpected(StorageError::GeometryOverflow));
  EXPECT_EQ(amp(AmpOrder::Left, 4, 16, 64), unexpected(StorageError::PositionOutOfRange));
  EXPECT_EQ(amp(AmpOrder::TransposedLeft, 8, 4), unexpected(StorageError::UnalignedGeometry));
  EXPECT_EQ(amp(AmpOrder::TransposedLeft, 16, 1U << 28), unexpected(StorageError::GeometryOverflow));
  EXPECT_EQ(amp(AmpOrder::TransposedRight, 16, 8), unexpected(StorageError::UnalignedGeometry));
  EXPECT_EQ(amp(AmpOrder::TransposedRight, 8, 16), unexpected(StorageError::UnalignedGeometry));
  EXPECT_EQ(amp(AmpOrder::Output, 4, 8), unexpected(StorageError::UnalignedGeometry));
  EXPECT_EQ(amp(AmpOrder::Output, 1U << 28, 16), unexpected(StorageError::GeometryOverflow));
  EXPECT_EQ(amp(AmpOrder::TransposedOutput, 8, 4), unexpected(StorageError::UnalignedGeometry));
  EXPECT_EQ(amp(AmpOrder::TransposedOutput, 16, 1U << 28), unexpected(StorageError::GeometryOverflow));
  EXPECT_EQ(amp(AmpOrder::Output, 0, 16), unexpected(StorageError::PositionOutOfRange));
}

}  // namespace
}  // namespace vexa_codegen::storage
