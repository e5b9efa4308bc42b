// Mid-level step primitives: the steps a lowered operation is made of.
//
// Each step is one data movement (`Rearrange`), one kernel that every tile
// runs over its shards (`Compute`), or one reduction of partial results
// (`Reduce`). The small records here say how a target's coordinates map onto a
// source, which window of an operand a tile reads, and which axes a matrix
// product contracts. The steps carry no behaviour; the program analysis prices
// them and the lowering and fusion build them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "vexa_codegen/graph/view.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"

namespace vexa_codegen::mid::primitive {

/// Where the target's first element lies in the source (one coordinate per
/// source axis; empty means all zero), after the source is reshaped by `view`
/// when one is given. The identity mapping has an empty origin and no view.
struct CoordinateMapping {
  std::vector<std::uint32_t> origin;
  std::optional<graph::view::AxisFactorView> view;

  /// Whether this is the identity mapping (an origin of explicit zeros is not).
  [[nodiscard]] bool is_identity() const noexcept { return origin.empty() && !view; }

  friend bool operator==(const CoordinateMapping&, const CoordinateMapping&) = default;
};

/// One limit of an operand window: the range [`start`, `end`) along `axis`.
struct WindowRange {
  std::uint32_t start = 0;
  std::uint16_t axis = 0;
  std::uint32_t end = 0;

  friend bool operator==(const WindowRange&, const WindowRange&) = default;
};

/// The part of its local operand a tile reads; no entries stands for the whole
/// local operand.
struct OperandWindow {
  std::vector<WindowRange> entries;

  friend bool operator==(const OperandWindow&, const OperandWindow&) = default;
};

/// The axes a matrix-product step contracts and writes. The two bounds are
/// carried but left absent by every step the planner builds.
struct ProductAxes {
  layout::TensorAxis left_contraction;
  layout::TensorAxis right_contraction;
  layout::TensorAxis output_columns;
  std::optional<std::uint32_t> first_bound;
  std::optional<std::uint32_t> second_bound;

  friend bool operator==(const ProductAxes&, const ProductAxes&) = default;
};

/// One mid-level step.
struct Primitive {
  /// Brings its single input into the operation's output type.
  struct Rearrange {  // no default member initialisers, so that the variant is default-constructible
    CoordinateMapping mapping;
    bool direct;
    friend bool operator==(const Rearrange&, const Rearrange&) = default;
  };
  /// Every tile runs `kernel` over its shards, reading operand i through
  /// `windows[i]`; `axes` is present on matrix-product steps; `aliases` lists
  /// (output position, input position) pairs written in place.
  struct Compute {
    operators::TileKernelSpec kernel;
    std::vector<OperandWindow> windows;
    std::optional<ProductAxes> axes;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> aliases;
    friend bool operator==(const Compute&, const Compute&) = default;
  };
  /// Sums its single input along `axis` into the output type.
  struct Reduce {
    operators::ReductionStaging staging;
    std::uint16_t axis = 0;
    friend bool operator==(const Reduce&, const Reduce&) = default;
  };

  std::variant<Rearrange, Compute, Reduce> value;

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const Primitive&, const Primitive&) = default;
};

[[nodiscard]] std::string dump(const CoordinateMapping& mapping);
[[nodiscard]] std::string dump(const WindowRange& range);
[[nodiscard]] std::string dump(const OperandWindow& window);
[[nodiscard]] std::string dump(const ProductAxes& axes);
[[nodiscard]] std::string dump(const Primitive& primitive);

}  // namespace vexa_codegen::mid::primitive
