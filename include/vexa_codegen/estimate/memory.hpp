// Tile memory figures: how many bytes of each memory class a tensor takes on
// one tile.
#pragma once

#include <cstdint>
#include <utility>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::estimate::memory {

/// The per-tile bytes of `type` as (standard bytes, interleaved bytes): the
/// largest shard's bytes (`estimate::tensor::maximum_shard_bytes`) on the side
/// of the layout's memory class and 0 on the other.
[[nodiscard]] std::pair<std::uint64_t, std::uint64_t> tensor_memory(
    const vexa_codegen::mid::layout::TensorType& type);

}  // namespace vexa_codegen::estimate::memory
