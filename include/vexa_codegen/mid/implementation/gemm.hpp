// Lowering of matrix products onto the matrix-product (AMP) units.
//
// A product streams its first operand P against its second operand Q; with the
// `Normal` orientation P is the left operand [.., M, K] and Q the right one
// [.., K, N], with `Swapped` the right operand streams first. Without a
// distribution every tile computes its block of the result: when the operands
// already sit on the result's grid this is a single step, otherwise the
// contraction is walked in chunks, each cut out of the operands and added into
// the result of the chunk before. With a distribution the contraction is split
// over R groups of tiles whose partial results one `Reduce` step sums.
//
// `distributed_product` is the batched product over a row x column x inner
// grid that the attention lowering uses for its two products.
#pragma once

#include <optional>
#include <vector>

#include "vexa_codegen/mid/implementation.hpp"

namespace vexa_codegen::mid::implementation::gemm {

/// Lowers a `Gemm` operator with a `Gemm` dispatch on operands 0 and 1 into a
/// result of type `output`. Every product step runs `PackedGemm` with the
/// dispatch's chunk and column block and the operator's precisions, and names
/// as product axes the contraction axes of P and Q and the output axis of Q's
/// free dimension (`Trailing(1)` for `Normal`, `Trailing(2)` for `Swapped`).
///
/// Without a distribution: one step on the operands as they are when both
/// already have the distribution and order of the result's grid projected onto
/// them; otherwise one step per chunk of `inner_chunk` contraction elements,
/// each reading the chunk moved out of P and Q (Q's chunks in interleaved
/// memory for 16-bit products), the first writing the result and every later
/// one adding into it in place.
///
/// With a distribution of A x B x R partitions: P in its required type, Q staged
/// on A x B x R tiles (replicated A times), one step writing partial results
/// with a new leading axis of R partials, and one `Reduce` over that axis with
/// the distribution's staging into `output`.
///
/// Nothing when the operator or dispatch is not a matrix product, the plan has
/// fewer than two operand requirements, a rank is below 2, a projection or a
/// required tiling entry is missing, the chunk or the contraction is empty, or
/// a tile count or stride exceeds 16 bits. Stops the process when an operand is
/// missing.
[[nodiscard]] std::optional<MidValueId> gemm(Builder& builder, const OperatorPlan& plan,
                                             const std::vector<TensorType>& inputs, const TensorType& output);

/// A batched product of the rank-3 values `left` [H, M, L] and `right` (heads on
/// axis 0, contraction on the `right_contraction` axis x) into `output`
/// [H, M, N], over `grid`: g1 row parts, g2 column parts and g3 contraction
/// parts, H x g1 x g2 x g3 tiles in all. Both operands are staged on that grid
/// (the left replicated over the column parts, the right over the row parts),
/// cut into 16-element column panels and contraction parts of a multiple of 16
/// elements; the bounds of `axes` cap the contraction and give the column count.
/// With g3 >= 2 the partial results carry a leading axis of g3 partials that a
/// `Reduce { Complete, 0 }` sums into `output`; otherwise the product is moved
/// into `output`.
///
/// Nothing when a value or `output` is not of rank 3, `output` is not 16-bit,
/// the left contraction or the output axis is not axis 2, the right contraction
/// is not axis 1 or 2 (the head axis cannot be contracted), a grid count is 0,
/// the contraction or column count is 0, or a tile count exceeds 16 bits.
[[nodiscard]] std::optional<MidValueId> distributed_product(Builder& builder, MidValueId left, MidValueId right,
                                                            const TensorType& output, const ProductAxes& axes,
                                                            const operators::ProductGrid& grid);

}  // namespace vexa_codegen::mid::implementation::gemm
