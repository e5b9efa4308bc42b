// Storage coordinates: where an element stored at a given position of a tile's
// flat storage sits in the matrix that the tile holds.
//
// Inside a tile, a matrix of `rows` x `columns` elements in a block-major or
// AMP order is stored as one flat sequence of 32-byte vectors; a vector holds V
// elements (32 for `F8F143`, 16 for `F16`, 8 for `F32`). These functions map a
// storage position back to its (row, column). A geometry that the order cannot
// address is a `StorageError`; the tensor validity check reads any error as an
// invalid tensor.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::storage {

/// Why a matrix geometry has no storage coordinates. Dump: the bare name.
enum class StorageError : std::uint8_t {
  ZeroBlock,           ///< a block dimension is 0
  UnalignedGeometry,   ///< rows or columns are not a multiple of what the order stores at once
  GeometryOverflow,    ///< an intermediate size does not fit 32 bits
  PositionOutOfRange,  ///< the position lies past the rows x columns stored elements
};

/// A (row, column) pair.
using MatrixCoordinates = std::pair<std::uint32_t, std::uint32_t>;

/// The elements one 32-byte vector holds in `precision`: 32, 16 or 8.
[[nodiscard]] std::uint32_t vector_width(const mid::layout::Precision& precision) noexcept;

/// The (row, column) of storage `position` in a `rows` x `columns` matrix stored
/// in blocks of `row_block` x `column_block`: chunks of `column_block` x V
/// elements (V rows by `column_block` columns, column-vector by column-vector),
/// block-rows outermost. `TransposedMatrix` stores the transposed matrix that way.
[[nodiscard]] std::expected<MatrixCoordinates, StorageError> block_major_matrix_coordinates(
    const mid::layout::BlockMajorOrder& order, const mid::layout::Precision& precision, std::uint32_t rows,
    std::uint32_t columns, std::uint32_t position);

/// The (row, column) of storage `position` in a `rows` x `columns` matrix stored
/// in the AMP unit's order `order`.
[[nodiscard]] std::expected<MatrixCoordinates, StorageError> amp_matrix_coordinates(
    mid::layout::AmpOrder order, const mid::layout::Precision& precision, std::uint32_t rows, std::uint32_t columns,
    std::uint32_t position);

[[nodiscard]] std::string dump(StorageError error);

}  // namespace vexa_codegen::storage
