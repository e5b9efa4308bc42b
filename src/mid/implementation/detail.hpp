// Helpers shared by the lowerings; not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vexa_codegen/mid/implementation.hpp"
#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::mid::implementation::detail {

/// Stops the process: an index the callers guarantee to be in range is not.
[[noreturn]] void index_out_of_bounds(std::size_t length, std::size_t index) noexcept;

/// `items[index]`, stopping the process when the index is out of range.
template <class T>
[[nodiscard]] const T& checked_at(const std::vector<T>& items, std::size_t index) {
  if (index >= items.size()) {
    index_out_of_bounds(items.size(), index);
  }
  return items[index];
}

/// `value` when it fits 16 bits.
[[nodiscard]] std::optional<std::uint16_t> narrow16(std::uint64_t value) noexcept;

/// The first tiling entry whose axis denotes axis `index` of a tensor of rank
/// `rank`, or null.
[[nodiscard]] const layout::AxisTiling* entry_on(const layout::TensorTiling& tiling, std::size_t index,
                                                  std::size_t rank) noexcept;

/// A padded cut of axis `Leading(axis)` into `parts` shards of whole panels of
/// `panel` elements (the panel also being the padding multiple).
[[nodiscard]] layout::AxisTiling padded_cut(std::uint16_t axis, std::uint16_t parts, std::uint32_t panel,
                                            std::optional<std::uint16_t> stride = std::nullopt);

/// `type` with its tiling replaced.
[[nodiscard]] layout::TensorType with_tiling(layout::TensorType type, layout::TensorTiling tiling);

/// A list of `rank` zeros with `start` at `axis`: the origin of a cut along one axis.
[[nodiscard]] std::vector<std::uint32_t> origin_at(std::size_t rank, std::size_t axis, std::uint32_t start);

/// Operand `operand` laid out for a tile kernel that writes `output`: in its
/// pointwise tiling (shape, order, memory class and precision unchanged),
/// moved directly when it is not there yet. Nothing without a pointwise tiling.
[[nodiscard]] std::optional<MidValueId> prepare_pointwise(Builder& builder, MidValueId operand,
                                                          const layout::TensorType& output);

}  // namespace vexa_codegen::mid::implementation::detail
