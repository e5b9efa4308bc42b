// The compute graph's data model: identifiers, shapes, operations and their
// payloads, graph inputs, value sequences, repeated regions and graph errors.
//
// Everything here is a plain value: copies are deep (a repeat owns its body
// region, which owns its operations), equality is structural, and every type
// has a dump form. Values and operations are named by identifiers that wrap one
// unsigned 32-bit number and order by it. The builder that fills a graph and
// the shape rules live in `graph/builder.hpp`.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vexa_codegen/graph/shape.hpp"
#include "vexa_codegen/graph/view.hpp"

namespace vexa_codegen::graph {

// ---------------------------------------------------------------------------
// Identifiers

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

[[nodiscard]] std::string dump(const ValueId& id);
[[nodiscard]] std::string dump(const OperationId& id);
[[nodiscard]] std::string dump(const ValueSequenceId& id);

// ---------------------------------------------------------------------------
// Operation payloads

/// Whether the operands of a matrix product are stored transposed in their last
/// two axes. Dump: `GemmOptions { transpose_left: false, transpose_right: true }`.
struct GemmOptions {
  bool transpose_left = false;
  bool transpose_right = false;
  friend bool operator==(const GemmOptions&, const GemmOptions&) = default;
};

/// The factor applied to attention scores.
/// Dump: `InverseSqrtQueryWidth` or `ValueBits(1065353216)`.
struct AttentionScale {
  /// One over the square root of the query width.
  struct InverseSqrtQueryWidth {
    friend bool operator==(const InverseSqrtQueryWidth&, const InverseSqrtQueryWidth&) = default;
  };
  /// An explicit scale: the bit pattern of a 32-bit floating-point number.
  struct ValueBits {
    std::uint32_t bits = 0;
    friend bool operator==(const ValueBits&, const ValueBits&) = default;
  };

  std::variant<InverseSqrtQueryWidth, ValueBits> value;

  [[nodiscard]] static AttentionScale inverse_sqrt_query_width() noexcept { return {InverseSqrtQueryWidth{}}; }
  [[nodiscard]] static AttentionScale value_bits(std::uint32_t bits) noexcept { return {ValueBits{bits}}; }
  /// `ValueBits` holding the bit pattern of `scale`.
  [[nodiscard]] static AttentionScale fixed(float scale) noexcept;

  friend bool operator==(const AttentionScale&, const AttentionScale&) = default;
};

/// Dump: `AttentionOptions { causal: true, scale: InverseSqrtQueryWidth }`.
struct AttentionOptions {
  bool causal = false;
  AttentionScale scale;
  friend bool operator==(const AttentionOptions&, const AttentionOptions&) = default;
};

/// A contiguous sub-range of one axis: `length` elements from `start`.
/// Dump: `AxisSlice { axis: 2, start: 0, length: 64 }`.
struct AxisSlice {
  std::size_t axis = 0;
  std::uint32_t start = 0;
  std::uint32_t length = 0;

  /// `input` with the extent at `axis` replaced by `length`, or nothing when
  /// the slice is empty, its end overflows 32 bits, `axis` is outside the input
  /// or the slice reaches past the input's extent.
  [[nodiscard]] std::optional<TensorShape> output_shape(const TensorShape& input) const;

  friend bool operator==(const AxisSlice&, const AxisSlice&) = default;
};

[[nodiscard]] std::string dump(const GemmOptions& options);
[[nodiscard]] std::string dump(const AttentionScale& scale);
[[nodiscard]] std::string dump(const AttentionOptions& options);
[[nodiscard]] std::string dump(const AxisSlice& slice);

// ---------------------------------------------------------------------------
// Inputs and value sequences

/// One entry of a graph's input list. `name` is never empty; `is_parameter`
/// marks inputs that carry weights, scales or biases rather than activations.
/// Dump: `GraphInput { name: "x", shape: TensorShape([8]), value: ValueId(0), is_parameter: false }`.
struct GraphInput {
  std::string name;
  TensorShape shape;
  ValueId value;
  bool is_parameter = false;
  friend bool operator==(const GraphInput&, const GraphInput&) = default;
};

/// An ordered list of values of one shape; a repeat that iterates it receives
/// entry i in iteration i.
/// Dump: `ValueSequence { name: "layers", entries: [ValueId(1)], id: ValueSequenceId(0) }`.
struct ValueSequence {
  std::string name;
  std::vector<ValueId> entries;
  ValueSequenceId id;
  friend bool operator==(const ValueSequence&, const ValueSequence&) = default;
};

[[nodiscard]] std::string dump(const GraphInput& input);
[[nodiscard]] std::string dump(const ValueSequence& sequence);

// ---------------------------------------------------------------------------
// Operations and regions

struct Operation;

/// A nested operation list: the body of a repeat. Its value identifiers are its
/// own, numbered independently of the enclosing graph; `arguments` receive the
/// repeat's inputs and `yields` give back the next carried values.
/// Dump: `Region { arguments: [...], operations: [...], yields: [...], value_shapes: {...} }`.
struct Region {
  std::vector<ValueId> arguments;
  std::vector<Operation> operations;
  std::vector<ValueId> yields;
  std::map<ValueId, TensorShape> value_shapes;

  friend bool operator==(const Region& left, const Region& right);
};

/// A region executed `count` times (never 0). The first `carried_inputs`
/// operands are loop-carried: the body yields their next values and the
/// repeat's results are their final values. The next `invariant_inputs`
/// operands reach every iteration unchanged. Iteration i also receives entry i
/// of each sequence in `iterated_inputs`.
/// Dump: `Repeat { count: 4, carried_inputs: 1, invariant_inputs: 0, iterated_inputs: [], body: Region {...} }`.
struct Repeat {
  std::uint32_t count = 1;
  std::size_t carried_inputs = 0;
  std::size_t invariant_inputs = 0;
  std::vector<ValueSequenceId> iterated_inputs;
  Region body;

  friend bool operator==(const Repeat& left, const Repeat& right);
};

/// What an operation computes. Operand order per alternative:
/// `Gemm` left, right; `Gelu` x; `LayerNorm` x, scale, bias; `Add` left, right;
/// `View` x; `Slice` x; `FlashAttention` query, key, value; `Repeat` the
/// carried values, then the invariant values.
/// Dump: the alternative's name, followed by `(payload)` when it has one, e.g.
/// `Gemm(GemmOptions { transpose_left: false, transpose_right: false })`, `Gelu`.
struct OperationKind {
  struct Gemm {
    GemmOptions options;
    friend bool operator==(const Gemm&, const Gemm&) = default;
  };
  struct Gelu {
    friend bool operator==(const Gelu&, const Gelu&) = default;
  };
  struct LayerNorm {
    friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
  };
  struct Add {
    friend bool operator==(const Add&, const Add&) = default;
  };
  struct View {
    graph::view::AxisFactorView view;
    friend bool operator==(const View&, const View&) = default;
  };
  struct Slice {
    graph::AxisSlice slice;
    friend bool operator==(const Slice&, const Slice&) = default;
  };
  struct FlashAttention {
    graph::AttentionOptions options;
    friend bool operator==(const FlashAttention&, const FlashAttention&) = default;
  };
  struct Repeat {
    graph::Repeat repeat;
    friend bool operator==(const Repeat& left, const Repeat& right);
  };

  std::variant<Gemm, Gelu, LayerNorm, Add, View, Slice, FlashAttention, Repeat> value;

  // Defined out of line: building a kind destroys a variant that may hold a
  // region, whose operation list needs `Operation` complete.
  [[nodiscard]] static OperationKind gemm(GemmOptions options = {});
  [[nodiscard]] static OperationKind gelu();
  [[nodiscard]] static OperationKind layer_norm();
  [[nodiscard]] static OperationKind add();
  [[nodiscard]] static OperationKind view(graph::view::AxisFactorView view);
  [[nodiscard]] static OperationKind slice(graph::AxisSlice slice);
  [[nodiscard]] static OperationKind flash_attention(graph::AttentionOptions options);
  [[nodiscard]] static OperationKind repeat(graph::Repeat repeat);

  /// Whether this kind is the alternative `A` (e.g. `kind.is<OperationKind::Gemm>()`).
  template <class A>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<A>(value);
  }
  /// The alternative `A`, or null when this kind is another one.
  template <class A>
  [[nodiscard]] const A* get_if() const noexcept {
    return std::get_if<A>(&value);
  }

  friend bool operator==(const OperationKind& left, const OperationKind& right);
};

/// One operation: its identifier, its operands in the order its kind defines,
/// the values it defines and its kind.
/// Dump: `Operation { id: OperationId(4), inputs: [ValueId(3), ValueId(5)], results: [ValueId(6)], kind: Gemm(...) }`.
struct Operation {
  OperationId id;
  std::vector<ValueId> inputs;
  std::vector<ValueId> results;
  OperationKind kind;

  friend bool operator==(const Operation& left, const Operation& right);
};

[[nodiscard]] std::string dump(const Region& region);
[[nodiscard]] std::string dump(const Repeat& repeat);
[[nodiscard]] std::string dump(const OperationKind& kind);
[[nodiscard]] std::string dump(const Operation& operation);

// ---------------------------------------------------------------------------
// Errors

/// Why a builder call was refused. `message` gives the display text.
struct GraphError {
  /// "graph name must not be empty"
  struct EmptyName {
    friend bool operator==(const EmptyName&, const EmptyName&) = default;
  };
  /// "value ValueId(9) is not available in this operation list"
  struct UnknownValue {
    ValueId value;
    friend bool operator==(const UnknownValue&, const UnknownValue&) = default;
  };
  /// "value sequence ValueSequenceId(2) does not exist"
  struct UnknownSequence {
    ValueSequenceId sequence;
    friend bool operator==(const UnknownSequence&, const UnknownSequence&) = default;
  };
  /// "repeat count must be nonzero"
  struct EmptyRepeat {
    friend bool operator==(const EmptyRepeat&, const EmptyRepeat&) = default;
  };
  /// "value sequence ValueSequenceId(0) has 3 entries for 4 iterations"
  struct ShortSequence {
    ValueSequenceId sequence;
    std::size_t available = 0;
    std::uint32_t required = 0;
    friend bool operator==(const ShortSequence&, const ShortSequence&) = default;
  };
  /// "repeat body yielded 1 values for 2 carried values" (actual, then expected)
  struct YieldArity {
    std::size_t expected = 0;
    std::size_t actual = 0;
    friend bool operator==(const YieldArity&, const YieldArity&) = default;
  };
  /// "operation has invalid shapes: " followed by `text`
  struct InvalidShape {
    std::string text;
    friend bool operator==(const InvalidShape&, const InvalidShape&) = default;
  };
  /// "value sequence entry 3 has a different shape from its first entry"
  struct SequenceShape {
    std::size_t entry = 0;
    friend bool operator==(const SequenceShape&, const SequenceShape&) = default;
  };
  /// "repeat yield 0 does not have the shape of carried value 0"
  struct YieldShape {
    std::size_t index = 0;
    friend bool operator==(const YieldShape&, const YieldShape&) = default;
  };

  std::variant<EmptyName, UnknownValue, UnknownSequence, EmptyRepeat, ShortSequence, YieldArity, InvalidShape,
               SequenceShape, YieldShape>
      value;

  friend bool operator==(const GraphError&, const GraphError&) = default;
};

/// The display text of `error`.
[[nodiscard]] std::string message(const GraphError& error);

/// `EmptyName`, `UnknownValue(ValueId(9))`, `InvalidShape("...")`,
/// `ShortSequence { sequence: ValueSequenceId(0), available: 3, required: 4 }`, ...
[[nodiscard]] std::string dump(const GraphError& error);

}  // namespace vexa_codegen::graph

template <>
struct std::hash<vexa_codegen::graph::ValueId> {
  std::size_t operator()(const vexa_codegen::graph::ValueId& id) const noexcept {
    return std::hash<std::uint32_t>{}(id.number);
  }
};

template <>
struct std::hash<vexa_codegen::graph::OperationId> {
  std::size_t operator()(const vexa_codegen::graph::OperationId& id) const noexcept {
    return std::hash<std::uint32_t>{}(id.number);
  }
};

template <>
struct std::hash<vexa_codegen::graph::ValueSequenceId> {
  std::size_t operator()(const vexa_codegen::graph::ValueSequenceId& id) const noexcept {
    return std::hash<std::uint32_t>{}(id.number);
  }
};

template <>
struct std::hash<vexa_codegen::graph::GemmOptions> {
  std::size_t operator()(const vexa_codegen::graph::GemmOptions& options) const noexcept;
};

template <>
struct std::hash<vexa_codegen::graph::AttentionScale> {
  std::size_t operator()(const vexa_codegen::graph::AttentionScale& scale) const noexcept;
};

template <>
struct std::hash<vexa_codegen::graph::AttentionOptions> {
  std::size_t operator()(const vexa_codegen::graph::AttentionOptions& options) const noexcept;
};

template <>
struct std::hash<vexa_codegen::graph::AxisSlice> {
  std::size_t operator()(const vexa_codegen::graph::AxisSlice& slice) const noexcept;
};
