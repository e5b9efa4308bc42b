// Tensor shapes of the compute graph.
//
// A tensor shape is a list of unsigned 32-bit extents, outermost first. It sits
// in a header of its own because the view payload (`graph::view`) needs it
// while the operation types (`graph/types.hpp`) need the view payload.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vexa_codegen::graph {

/// The extents of a tensor, outermost first; rank 0 is allowed.
/// Dump: `TensorShape([1, 8, 128])`.
struct TensorShape {
  std::vector<std::uint32_t> dimensions;

  [[nodiscard]] std::size_t rank() const noexcept { return dimensions.size(); }
  friend bool operator==(const TensorShape&, const TensorShape&) = default;
  friend auto operator<=>(const TensorShape&, const TensorShape&) = default;
};

[[nodiscard]] std::string dump(const TensorShape& shape);

}  // namespace vexa_codegen::graph

template <>
struct std::hash<vexa_codegen::graph::TensorShape> {
  std::size_t operator()(const vexa_codegen::graph::TensorShape& shape) const noexcept;
};
