// The cost of packing one tile's data into a block-major or matrix-unit order.
//
// Rewriting a shard from row-major into the order a matrix product or a cast
// kernel reads is a local step on every tile. Block-major coefficient matrices
// with 16-column blocks have a dedicated packing kernel; every other order is
// priced per element. Used by relayout kernel steps and by the program analysis
// for conversions that change the element order.
#pragma once

#include <cstdint>

#include "vexa_codegen/estimate/primitive.hpp"

namespace vexa_codegen::estimate::cycles {

/// Cycles of packing `elements` elements of a tile's data of geometry
/// `geometry` into the geometry's element order; 0 for row-major data.
[[nodiscard]] std::uint64_t pack_geometry_cycles(const primitive::Geometry& geometry, std::uint64_t elements) noexcept;

}  // namespace vexa_codegen::estimate::cycles
