// Cycle estimates of the kernel steps of a mid-level program.
//
// A kernel step runs one tile kernel on every tile over the shards it holds.
// This module picks the cycle formula of such a step from the kernel, the
// operand types as one tile sees them and the geometry of the tile's output,
// and prices precision casts, which the cost model also uses for conversions.
// A figure of the largest unsigned 64-bit value means "no estimate".
#pragma once

#include <cstdint>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::estimate::primitive {

/// Cycles of casting `elements` elements on one tile from `from` to `to`.
/// `group` is the run length the cast kernel handles at once, set by the
/// element order of the data (0 for plain row-major data); it only matters for
/// casts from 16-bit to 8-bit, whose kernel packs groups of vectors.
[[nodiscard]] std::uint64_t cast_cycles(const mid::layout::Precision& from, const mid::layout::Precision& to,
                                        std::uint64_t elements, std::uint64_t group) noexcept;

}  // namespace vexa_codegen::estimate::primitive
