// The geometry of a distributed matrix product, shared by the grid proxies
// and the plan variants built from them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::candidates::detail {

/// The extents of a product [.., M, K] x [.., K, N] as one orientation sees them.
struct ProductGeometry {
  std::uint64_t streamed_rows = 0;       ///< S: M for `Normal`, N for `Swapped`
  std::uint64_t other_columns = 0;       ///< X_col: N for `Normal`, M for `Swapped`
  std::uint64_t contraction_block = 0;   ///< kb: 32 for 8-bit products, else 16
  std::uint64_t element_bytes = 0;       ///< e: bytes of one multiplied element
  std::uint64_t contraction_blocks = 0;  ///< Kb = ceil(K / kb)
  std::uint64_t column_blocks = 0;       ///< Cb = ceil(X_col / 16)
  std::uint64_t batch = 1;               ///< B: the product of operand 0's leading extents

  /// Contraction blocks per inner part: ceil(Kb / R).
  [[nodiscard]] std::uint64_t blocks_per_inner_part(std::uint64_t inner) const {
    return support::ceil_div(contraction_blocks, inner);
  }
  /// 16-column blocks per column part: ceil(Cb / Nc).
  [[nodiscard]] std::uint64_t blocks_per_column_part(std::uint64_t columns) const {
    return support::ceil_div(column_blocks, columns);
  }
};

/// The geometry of `gemm` over two operands of rank 2 or more in `orientation`;
/// nothing when the operands do not fit or the contraction or the result
/// columns have more than 65535 blocks.
[[nodiscard]] std::optional<ProductGeometry> product_geometry(const operators::MidOperator::Gemm& gemm,
                                                              const std::vector<layout::TensorType>& operand_types,
                                                              operators::GemmOrientation orientation);

}  // namespace vexa_codegen::mid::candidates::detail
