// Closed-form cycle figures of the VEXA21 tile kernels.
//
// Each function gives the cycles one tile spends in one kernel over the data it
// holds. They are the measured shapes of the hand-written kernels: rows are
// dealt to the tile's six workers, vector loops run over 8, 16, 24 or 48
// elements, and every kernel pays a fixed entry cost. Figures saturate at the
// largest unsigned 64-bit value (which also stands for "no figure") except
// where a kernel's figure is documented as plain arithmetic, which wraps.
#pragma once

#include <cstdint>

namespace vexa_codegen::kernel::cost {

/// GELU (tanh approximation) over `n` 16-bit elements.
[[nodiscard]] std::uint64_t f16_gelu_cycles(std::uint64_t n) noexcept;

/// Softmax statistics over `rows` rows of `length` 16-bit scores, processed in
/// key blocks of `block` elements.
[[nodiscard]] std::uint64_t f16_softmax_cycles(std::uint64_t rows, std::uint64_t length, std::uint64_t block) noexcept;

/// Layer normalisation of `rows` rows of `width` 16-bit elements, optionally
/// fused with a preceding element-wise addition (`with_add`).
[[nodiscard]] std::uint64_t f16_layernorm_cycles(std::uint64_t rows, std::uint64_t width, bool with_add) noexcept;

/// A 16-bit packed matrix product of `rows` x `inner` by `inner` x `columns`,
/// rows split over the six workers; `interleaved` when the right operand sits in
/// interleaved memory.
[[nodiscard]] std::uint64_t f16_packed_gemm_cycles(std::uint64_t rows, std::uint64_t inner, std::uint64_t columns,
                                                   bool interleaved) noexcept;

/// An 8-bit element-wise kernel over `rows` x `width`: GELU when `gelu`, layer
/// normalisation otherwise; `amp_left` when the result is written in the
/// matrix-unit left-operand order. Plain (wrapping) arithmetic.
[[nodiscard]] std::uint64_t fp8_elementwise_cycles(bool gelu, std::uint64_t rows, std::uint64_t width,
                                                   bool amp_left) noexcept;

/// Packing `groups` groups of `row_block` rows of `width` 16-bit coefficients
/// into block-major order.
[[nodiscard]] std::uint64_t f16_coefficient_pack_cycles(std::uint64_t groups, std::uint64_t row_block,
                                                        std::uint64_t width) noexcept;

}  // namespace vexa_codegen::kernel::cost
