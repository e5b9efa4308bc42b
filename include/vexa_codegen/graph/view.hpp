// Reshaping views of the compute graph.
//
// A view reinterprets a tensor without moving data: it takes a factor out of
// the extent of one axis and multiplies it into another, as happens when a
// hidden dimension is split into heads or heads are merged back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "vexa_codegen/graph/shape.hpp"

namespace vexa_codegen::graph::view {

/// Moves `factor` between two axes. Not reversed, the extent of `split_axis`
/// is divided by `factor` and that of `merge_axis` multiplied by it; reversed,
/// `merge_axis` is divided and `split_axis` multiplied.
/// Dump: `AxisFactorView { split_axis: 1, merge_axis: 2, factor: 4, reversed: false }`.
struct AxisFactorView {
  std::size_t split_axis = 0;
  std::size_t merge_axis = 0;
  std::uint32_t factor = 1;
  bool reversed = false;

  /// The viewed shape of `input`, or nothing when the view does not apply:
  /// a zero factor, equal axes, an axis outside the input, a divided extent
  /// that is not a multiple of `factor`, or a multiplied extent that would not
  /// fit in 32 bits.
  [[nodiscard]] std::optional<TensorShape> output_shape(const TensorShape& input) const;

  friend bool operator==(const AxisFactorView&, const AxisFactorView&) = default;
};

[[nodiscard]] std::string dump(const AxisFactorView& view);

}  // namespace vexa_codegen::graph::view

template <>
struct std::hash<vexa_codegen::graph::view::AxisFactorView> {
  std::size_t operator()(const vexa_codegen::graph::view::AxisFactorView& view) const noexcept;
};
