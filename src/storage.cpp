#include "vexa_codegen/storage.hpp"

#include <limits>

#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::storage {
namespace {

using mid::layout::AmpOrder;
using mid::layout::BlockMajorOrder;
using mid::layout::Precision;

constexpr std::uint64_t max_u32 = std::numeric_limits<std::uint32_t>::max();

std::expected<MatrixCoordinates, StorageError> at(std::uint64_t row, std::uint64_t column) {
  return MatrixCoordinates{static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(column)};
}

std::unexpected<StorageError> fail(StorageError error) { return std::unexpected(error); }

// Positions past the stored elements have no coordinates; this also keeps every
// division below away from a zero extent.
bool in_range(std::uint32_t rows, std::uint32_t columns, std::uint32_t position) {
  return position < std::uint64_t{rows} * columns;
}

// The four bits b0 b1 b2 b3 of `index` become b0 + 2 b2 + 4 b3 + 8 b1: the
// column order in which the product unit writes the 16 values of a row group.
std::uint64_t output_column(std::uint64_t index) {
  return (index & 1U) | (((index >> 2) & 1U) << 1) | (((index >> 3) & 1U) << 2) | (((index >> 1) & 1U) << 3);
}

std::expected<MatrixCoordinates, StorageError> matrix_coordinates(std::uint64_t row_block,
                                                                  std::uint64_t column_block, std::uint64_t width,
                                                                  std::uint32_t rows, std::uint32_t columns,
                                                                  std::uint32_t position) {
  if (row_block == 0 || column_block == 0) {
    return fail(StorageError::ZeroBlock);
  }
  if (rows % row_block != 0 || columns % column_block != 0 || row_block % width != 0) {
    return fail(StorageError::UnalignedGeometry);
  }
  if (!in_range(rows, columns, position)) {
    return fail(StorageError::PositionOutOfRange);
  }
  const std::uint64_t groups = row_block / width;                 // vector-row groups per block
  const std::uint64_t per_block_row = (columns / column_block) * groups;  // chunks per block row
  const std::uint64_t chunk = position / (column_block * width);
  const std::uint64_t offset = position % (column_block * width);
  const std::uint64_t in_row = chunk % per_block_row;
  return at(row_block * (chunk / per_block_row) + width * (in_row % groups) + offset % width,
            column_block * (in_row / groups) + offset / width);
}

}  // namespace

std::uint32_t vector_width(const Precision& precision) noexcept {
  if (precision.is_f8f143()) {
    return 32;
  }
  return precision.is_f16() ? 16 : 8;
}

std::expected<MatrixCoordinates, StorageError> block_major_matrix_coordinates(const BlockMajorOrder& order,
                                                                              const Precision& precision,
                                                                              std::uint32_t rows,
                                                                              std::uint32_t columns,
                                                                              std::uint32_t position) {
  const std::uint64_t width = vector_width(precision);
  if (!order.is_transposed()) {
    return matrix_coordinates(order.row_block(), order.column_block(), width, rows, columns, position);
  }
  auto transposed = matrix_coordinates(order.row_block(), order.column_block(), width, columns, rows, position);
  if (!transposed) {
    return transposed;
  }
  return MatrixCoordinates{transposed->second, transposed->first};
}

std::expected<MatrixCoordinates, StorageError> amp_matrix_coordinates(AmpOrder order, const Precision& precision,
                                                                      std::uint32_t rows, std::uint32_t columns,
                                                                      std::uint32_t position) {
  const std::uint64_t width = vector_width(precision);
  const std::uint64_t p = position;
  switch (order) {
    case AmpOrder::Left:
    case AmpOrder::TransposedLeft: {
      // Column vectors of V elements, one per row, a V-wide column strip after another.
      const bool transposed = order == AmpOrder::TransposedLeft;
      const std::uint64_t strip_length = transposed ? columns : rows;
      const std::uint64_t across = transposed ? rows : columns;
      if (across % width != 0) {
        return fail(StorageError::UnalignedGeometry);
      }
      if (strip_length * width > max_u32) {
        return fail(StorageError::GeometryOverflow);
      }
      if (!in_range(rows, columns, position)) {
        return fail(StorageError::PositionOutOfRange);
      }
      const std::uint64_t strip = strip_length * width;
      const std::uint64_t along = (p % strip) / width;
      const std::uint64_t lane = width * (p / strip) + (p % strip) % width;
      return transposed ? at(lane, along) : at(along, lane);
    }
    case AmpOrder::TransposedRight: {
      if (columns % width != 0 || rows % 16 != 0) {
        return fail(StorageError::UnalignedGeometry);
      }
      if (!in_range(rows, columns, position)) {
        return fail(StorageError::PositionOutOfRange);
      }
      const std::uint64_t group = p / (16 * width);
      const std::uint64_t offset = p % (16 * width);
      const std::uint64_t vectors_per_row = columns / width;
      return at(16 * (group / vectors_per_row) + offset / width, width * (group % vectors_per_row) + offset % width);
    }
    case AmpOrder::Output:
    case AmpOrder::TransposedOutput: {
      // Groups of 16 values of one row (one column for the transposed result).
      const bool transposed = order == AmpOrder::TransposedOutput;
      const std::uint64_t strip_length = transposed ? columns : rows;
      const std::uint64_t across = transposed ? rows : columns;
      if (across % 16 != 0) {
        return fail(StorageError::UnalignedGeometry);
      }
      if (strip_length * 16 > max_u32) {
        return fail(StorageError::GeometryOverflow);
      }
      if (!in_range(rows, columns, position)) {
        return fail(StorageError::PositionOutOfRange);
      }
      const std::uint64_t strip = 16 * strip_length;
      const std::uint64_t e = p % strip;
      const std::uint64_t along = e / 16;
      const std::uint64_t lane = 16 * (p / strip) + output_column(e % 16);
      return transposed ? at(lane, along) : at(along, lane);
    }
  }
  support::invariant_failed("unknown AMP order");
}

std::string dump(StorageError error) {
  switch (error) {
    case StorageError::ZeroBlock: return "ZeroBlock";
    case StorageError::UnalignedGeometry: return "UnalignedGeometry";
    case StorageError::GeometryOverflow: return "GeometryOverflow";
    case StorageError::PositionOutOfRange: return "PositionOutOfRange";
  }
  support::invariant_failed("unknown storage error");
}

}  // namespace vexa_codegen::storage
