// What the two sources of layout resolution share: the checks of a layout's
// padding and tile numbering, whose results resolution and the closed-form
// shard sizes both read.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::mid::layout::detail {

inline constexpr std::uint64_t max_u32 = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint64_t max_u16 = std::numeric_limits<std::uint16_t>::max();

template <class Alternative>
std::unexpected<LayoutError> fail(Alternative alternative) {
  return std::unexpected(LayoutError{std::move(alternative)});
}

/// A list of fixed length that lives inline up to `Inline` entries and on the
/// heap beyond: tensor ranks and tiling counts are small, and resolution runs
/// often enough that a heap allocation per list shows.
template <class T, std::size_t Inline>
class ShortList {
 public:
  explicit ShortList(std::size_t size, T value = T{}) : size_(size) {
    if (size > Inline) {
      heap_.assign(size, value);
    } else {
      std::fill_n(inline_.begin(), size, value);
    }
  }
  ShortList(const ShortList&) = delete;
  ShortList& operator=(const ShortList&) = delete;

  [[nodiscard]] std::span<T> all() noexcept {
    return size_ > Inline ? std::span<T>(heap_) : std::span<T>(inline_.data(), size_);
  }
  [[nodiscard]] std::span<const T> all() const noexcept {
    return size_ > Inline ? std::span<const T>(heap_) : std::span<const T>(inline_.data(), size_);
  }
  [[nodiscard]] T& operator[](std::size_t i) noexcept { return all()[i]; }
  [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return all()[i]; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  std::array<T, Inline> inline_;  // only the first `size_` entries are ever set or read
  std::vector<T> heap_;
  std::size_t size_;
};

/// The layout's only tiling when that tiling is `Flattened`.
[[nodiscard]] const AxisTiling* flattened_tiling(const TensorTiling& tiling);

/// Whether a flattened layout fits: the tensor has at least one axis and its
/// element count is a whole number of panels, at least one panel per tile.
[[nodiscard]] std::expected<void, LayoutError> check_flattened(const AxisTiling& flat, std::uint16_t tile_count,
                                                               std::span<const std::uint32_t> shape);

/// What the padding and tile-numbering checks establish for a layout that is
/// not flattened.
struct Padding {
  Padding(std::size_t rank, std::size_t tilings) : padded(rank), axis_of(tilings), strides(tilings) {}

  ShortList<std::uint32_t, 8> padded;  ///< the padded extent of every tensor axis
  ShortList<std::size_t, 8> axis_of;   ///< the tensor axis every tiling cuts
  ShortList<std::uint32_t, 8> strides; ///< every tiling's tile stride
};

/// Checks every rule of the non-flattened `tiling` against `shape` in the order
/// resolution reports them (tiling by tiling: its fields, the tile product, its
/// axis, padding and panels; then the tile count, the strides and the tile
/// numbering) and fills `padding`, sized for `shape` and `tiling`.
[[nodiscard]] std::expected<void, LayoutError> pad(const TensorTiling& tiling, std::span<const std::uint32_t> shape,
                                                   Padding& padding);

}  // namespace vexa_codegen::mid::layout::detail
