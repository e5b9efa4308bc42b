// Lowering of blocked (flash) attention onto the matrix-product units.
//
// The key sequence is walked in blocks of b positions. For each block the
// query is multiplied with the key block (the scores), a softmax step folds the
// scores into the running statistics, the statistics are multiplied with the
// value block (the weighted values), and an output step folds those into the
// running output. Statistics and running output are updated in place from the
// second block on, so every block's step has the same result type.
//
// Intermediate types. Each per-block value lives on the output's tile grid
// (the output's tiling: its entries, tile count and replication), so that the
// per-block steps never move data between tiles:
// - scores: [H, Lq, b], 16-bit, order `Amp(Left)`, interleaved memory: what a
//   16-bit product writes, and the left operand layout of the value product;
// - statistics: [H, Lq, b + 16], 16-bit, `Amp(Left)`, interleaved memory: the
//   softmax of the scores followed by 16 columns of running row statistics; the
//   value product reads only its first b columns;
// - weighted values: [H, Lq, value_parameter], 16-bit, `Amp(Left)`,
//   interleaved memory;
// - running output: the output's shape and layout in 32-bit precision (the
//   attention accumulates in 32 bits), cast to the output's precision at the end.
// H and Lq are the output's first two extents. The shapes do not shrink for a
// short last block: the block length is carried by the kernels and the product
// bounds instead, which keeps the in-place updates type-consistent. With a
// product grid, `distributed_product` writes the scores or the weighted values
// in exactly these types. The output step reads the weighted values and the
// statistics, in that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vexa_codegen/mid/implementation.hpp"

namespace vexa_codegen::mid::implementation::attention {

/// Operand `index` (a key or value [h, m, w]) staged for blocked attention in
/// the form of `templ`: heads on axis 0 (stride 1), the sequence cut into
/// blocks (64 for a transposed-right key and a block above 63, else `block`)
/// dealt out over s parts (stride h x u), and the width over u parts of 16
/// elements (stride h), where the h x s x u tiles fit the larger of the
/// operand's and the template's tile counts. Template entries on the three axes
/// are rewritten in place; an axis the template does not cut gets a padded cut.
///
/// Nothing when the template has fewer than three axes, h is 0 or above 65535,
/// w is above 1048560, a template entry denotes no axis below 3, the sequence
/// block is 0, the sequence needs more than 65535 blocks, or h x s x u exceeds
/// 16 bits. Stops the process when value `index` does not exist.
[[nodiscard]] std::optional<MidValueId> prepare_attention_operand(Builder& builder, std::size_t index,
                                                                  const TensorType& templ, std::uint32_t block);

/// Lowers a `FlashAttention` dispatch on the query (value 0), key (value 1) and
/// value (value 2) into `output` [H, Lq, dv], one group of per-block steps per
/// key block. Key and value are staged with `prepare_attention_operand`, using
/// their required types as templates.
///
/// Nothing when the dispatch is not `FlashAttention`, a product grid is given
/// without `unaligned_block`, the output or query is not of rank 3, the block
/// is 0 or above 65535, the plan has fewer than three operand requirements, an
/// operand cannot be staged, the key sequence is empty, or a distributed
/// product fails. Stops the process when an operand is missing.
[[nodiscard]] std::optional<MidValueId> attention(Builder& builder, const OperatorPlan& plan,
                                                  const std::vector<TensorType>& inputs, const TensorType& output);

}  // namespace vexa_codegen::mid::implementation::attention
