// Cycle estimates of the kernel steps of a mid-level program.
//
// A kernel step runs one tile kernel on every tile over the shards it holds.
// This module picks the cycle formula of such a step from the kernel, the
// operand types as one tile sees them and the geometry of the tile's output,
// and prices precision casts, which the cost model also uses for conversions.
// A figure of the largest unsigned 64-bit value means "no estimate".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::mid::operators {
struct TileKernelSpec;
}  // namespace vexa_codegen::mid::operators

namespace vexa_codegen::estimate::primitive {

/// The extents of a tensor as one tile sees them. A geometry refers to data it
/// does not own: the layout, extents or type it was made from must outlive it.
struct Geometry {
  /// One tile's shards of a tensor: dimension i is the allocated size of extent i.
  struct Shards {
    const vexa_codegen::mid::layout::Layout* layout = nullptr;
    std::span<const vexa_codegen::mid::layout::ShardExtent> extents;
  };
  /// A whole tensor (typically the part one tile holds): dimension i is shape extent i.
  struct Whole {
    const vexa_codegen::mid::layout::TensorType* tensor = nullptr;
  };

  std::variant<Shards, Whole> value;

  [[nodiscard]] static Geometry shards(const vexa_codegen::mid::layout::Layout& layout,
                                       std::span<const vexa_codegen::mid::layout::ShardExtent> extents) noexcept {
    return {Shards{&layout, extents}};
  }
  static Geometry shards(const vexa_codegen::mid::layout::Layout&& layout, std::span<const vexa_codegen::mid::layout::ShardExtent>) = delete;
  [[nodiscard]] static Geometry whole(const vexa_codegen::mid::layout::TensorType& tensor) noexcept { return {Whole{&tensor}}; }
  static Geometry whole(const vexa_codegen::mid::layout::TensorType&&) = delete;

  /// The tensor's layout.
  [[nodiscard]] const vexa_codegen::mid::layout::Layout& layout() const noexcept;
  /// The tensor's precision when the geometry knows it (a whole tensor); shards
  /// carry no precision.
  [[nodiscard]] std::optional<vexa_codegen::mid::layout::Precision> precision() const;
  /// The number of dimensions.
  [[nodiscard]] std::size_t rank() const noexcept;
  /// Dimension `index`; an index past the rank stops the program.
  [[nodiscard]] std::uint32_t dimension(std::size_t index) const noexcept;
  /// Dimension rank - 1 - `k`, or nothing when the rank is at most `k`.
  [[nodiscard]] std::optional<std::uint32_t> trailing_dimension(std::size_t k) const noexcept;
  /// The saturating product of all dimensions; 1 for rank 0.
  [[nodiscard]] std::uint64_t elements() const noexcept;
  /// The last dimension; 0 for rank 0.
  [[nodiscard]] std::uint64_t width() const noexcept;
  /// The saturating product of all dimensions but the last; 1 for rank at most 1.
  [[nodiscard]] std::uint64_t rows() const noexcept;
};

/// Cycles of casting `elements` elements on one tile from `from` to `to`.
/// `group` is the run length the cast kernel handles at once, set by the
/// element order of the data (0 for plain row-major data); it only matters for
/// casts from 16-bit to 8-bit, whose kernel packs groups of vectors.
[[nodiscard]] std::uint64_t cast_cycles(const vexa_codegen::mid::layout::Precision& from, const vexa_codegen::mid::layout::Precision& to,
                                        std::uint64_t elements, std::uint64_t group) noexcept;

/// Cycles of one tile running `kernel` over `operands` (the operand types as the
/// tile holds them) into a result of geometry `output`. The largest unsigned
/// 64-bit value when the kernel has no estimate for these operands, including
/// when the figure depends on the result's precision and `output` does not
/// carry one.
[[nodiscard]] std::uint64_t kernel_cycles(const vexa_codegen::mid::operators::TileKernelSpec& kernel,
                                          std::span<const vexa_codegen::mid::layout::TensorType> operands,
                                          const Geometry& output);

}  // namespace vexa_codegen::estimate::primitive
