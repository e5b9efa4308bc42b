// The compute graph's vocabulary: identifiers and tensor shapes.
//
// Values and operations are named by identifiers that wrap one unsigned 32-bit
// number and order by it; a tensor shape is a list of unsigned 32-bit extents,
// outermost first.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vexa_codegen::graph {

/// A value of a compute graph. Dump: `ValueId(5)`.
struct ValueId {
  std::uint32_t number = 0;
  friend constexpr auto operator<=>(const ValueId&, const ValueId&) = default;
};

/// An operation of a compute graph. Dump: `OperationId(0)`.
struct OperationId {
  std::uint32_t number = 0;
  friend constexpr auto operator<=>(const OperationId&, const OperationId&) = default;
};

/// A value sequence of a compute graph. Dump: `ValueSequenceId(1)`.
struct ValueSequenceId {
  std::uint32_t number = 0;
  friend constexpr auto operator<=>(const ValueSequenceId&, const ValueSequenceId&) = default;
};

/// The extents of a tensor, outermost first; rank 0 is allowed.
/// Dump: `TensorShape([1, 8, 128])`.
struct TensorShape {
  std::vector<std::uint32_t> dimensions;

  [[nodiscard]] std::size_t rank() const noexcept { return dimensions.size(); }
  friend bool operator==(const TensorShape&, const TensorShape&) = default;
  friend auto operator<=>(const TensorShape&, const TensorShape&) = default;
};

[[nodiscard]] std::string dump(const ValueId& id);
[[nodiscard]] std::string dump(const OperationId& id);
[[nodiscard]] std::string dump(const ValueSequenceId& id);
[[nodiscard]] std::string dump(const TensorShape& shape);

}  // namespace vexa_codegen::graph

template <>
struct std::hash<vexa_codegen::graph::ValueId> {
  std::size_t operator()(const vexa_codegen::graph::ValueId& id) const noexcept {
    return std::hash<std::uint32_t>{}(id.number);
  }
};

template <>
struct std::hash<vexa_codegen::graph::TensorShape> {
  std::size_t operator()(const vexa_codegen::graph::TensorShape& shape) const noexcept;
};
