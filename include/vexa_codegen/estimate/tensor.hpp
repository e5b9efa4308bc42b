// Per-tile size of a tensor: the bytes of the largest shard one tile holds.
#pragma once

#include <cstdint>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::estimate::tensor {

/// The bytes of the largest shard (padding included) that one tile holds: the
/// resolution's largest per-tile element count times the element size,
/// saturating; the largest unsigned 64-bit value (no figure) when the layout
/// does not resolve against the shape.
[[nodiscard]] std::uint64_t maximum_shard_bytes(const vexa_codegen::mid::layout::TensorType& type);

}  // namespace vexa_codegen::estimate::tensor
