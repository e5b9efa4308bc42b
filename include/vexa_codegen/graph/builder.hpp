// The graph builder and its shape inference.
//
// `ComputeGraph` is how a caller describes a computation: it registers inputs
// and parameters, appends operations whose result shapes it infers from their
// operands, groups values into sequences, nests repeated bodies, and records the
// graph's outputs. Every call is checked when it is made, so a graph is always
// well formed and knows the static shape of every value. A refused call returns
// its `GraphError` and leaves the graph exactly as it was; identifiers are
// handed out only after every check of a call has passed and are never reused.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vexa_codegen/graph/shape.hpp"
#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/graph/view.hpp"

namespace vexa_codegen::graph {

/// Nothing when every id of `ids` is in `values`; otherwise `UnknownValue` of
/// the first one, in list order, that is not.
[[nodiscard]] std::expected<void, GraphError> validate_inputs(const std::set<ValueId>& values,
                                                              std::span<const ValueId> ids);

/// Broadcasts two dimension lists aligned at their last entries: where one list
/// is shorter its missing outer entries count as 1, and at each position the
/// two dimensions must be equal or one of them 1, which stretches to the other
/// (an extent 1 against an empty axis gives 0). Fails with "dimensions L and
/// R cannot be broadcast" for the outermost position where they are not.
[[nodiscard]] std::expected<std::vector<std::uint32_t>, std::string> broadcast(std::span<const std::uint32_t> left,
                                                                              std::span<const std::uint32_t> right);

/// The result shape of an operation of `kind` over `operands`, whose shapes are
/// looked up in `shapes`, or the text saying why the shapes do not fit. Operands
/// beyond those the kind uses are ignored; a missing operand, or one without a
/// shape, is "wrong input arity". A repeat's results are never inferred: their
/// shapes are those of its carried values.
[[nodiscard]] std::expected<TensorShape, std::string> infer_shape(const OperationKind& kind,
                                                                  std::span<const ValueId> operands,
                                                                  const std::map<ValueId, TensorShape>& shapes);

/// Appends one operation of `kind` over `operands` with one result per entry of
/// `result_shapes`: the operation takes the number `next_operation`, its results
/// the numbers from `next_value` upward, and both counters advance. Fails with
/// `UnknownValue` of the first operand not in `values`, changing nothing.
[[nodiscard]] std::expected<std::vector<ValueId>, GraphError> append_operation(
    std::vector<Operation>& operations, std::set<ValueId>& values, std::map<ValueId, TensorShape>& value_shapes,
    std::uint32_t& next_operation, std::uint32_t& next_value, OperationKind kind, std::span<const ValueId> operands,
    std::span<const TensorShape> result_shapes);

/// The operands of a repeat. The repeat's operation lists `carried` and then
/// `invariant` as its inputs; `iterated` names the sequences that feed one entry
/// per iteration and are not operands. The body's arguments stand in the same
/// order: the carried values, the invariant values, then one argument per
/// iterated sequence (shaped like that sequence's entries).
struct RepeatOperands {
  std::vector<ValueId> carried;
  std::vector<ValueId> invariant;
  std::vector<ValueSequenceId> iterated;
};

/// A compute graph under construction. See the header comment for the rules
/// every builder call follows.
class ComputeGraph {
 public:
  /// An empty graph.
  ComputeGraph() = default;

  // -- Reading ---------------------------------------------------------------

  /// The graph inputs, in creation order.
  [[nodiscard]] const std::vector<GraphInput>& inputs() const noexcept { return inputs_; }
  /// The value sequences, in creation order; sequence number i is entry i.
  [[nodiscard]] const std::vector<ValueSequence>& sequences() const noexcept { return sequences_; }
  /// The operations, in append order (a topological order).
  [[nodiscard]] const std::vector<Operation>& operations() const noexcept { return operations_; }
  /// The graph outputs, in the order the caller gave them.
  [[nodiscard]] const std::vector<ValueId>& outputs() const noexcept { return outputs_; }
  /// Every value defined so far: the inputs and the operations' results.
  [[nodiscard]] const std::set<ValueId>& values() const noexcept { return values_; }
  /// The shape of every value defined so far.
  [[nodiscard]] const std::map<ValueId, TensorShape>& value_shapes() const noexcept { return value_shapes_; }
  /// The number of the next operation identifier.
  [[nodiscard]] std::uint32_t next_operation() const noexcept { return next_operation_; }
  /// The number of the next value identifier.
  [[nodiscard]] std::uint32_t next_value() const noexcept { return next_value_; }

  /// The shape of `value`, or nothing when the graph has no such value.
  [[nodiscard]] std::optional<std::reference_wrapper<const TensorShape>> value_shape(ValueId value) const;
  /// The sequence `id`, or nothing when the graph has no such sequence.
  [[nodiscard]] std::optional<std::reference_wrapper<const ValueSequence>> find_sequence(ValueSequenceId id) const;

  // -- Inputs and outputs ----------------------------------------------------

  /// Registers a graph input of any shape (zero extents and rank 0 included).
  /// Fails with `EmptyName` for an empty name. Names need not be unique.
  [[nodiscard]] std::expected<ValueId, GraphError> input(std::string_view name, bool is_parameter,
                                                         TensorShape shape);
  /// `input` with `is_parameter` set, shaped by `dimensions`.
  [[nodiscard]] std::expected<ValueId, GraphError> parameter(std::string_view name,
                                                             std::span<const std::uint32_t> dimensions);
  [[nodiscard]] std::expected<ValueId, GraphError> parameter(std::string_view name,
                                                             std::initializer_list<std::uint32_t> dimensions);

  /// Replaces the graph outputs by `ids`. Fails with `UnknownValue` of the first
  /// id that is not a value of the graph, keeping the old outputs.
  [[nodiscard]] std::expected<void, GraphError> set_outputs(std::span<const ValueId> ids);
  [[nodiscard]] std::expected<void, GraphError> set_outputs(std::initializer_list<ValueId> ids);

  // -- Operations ------------------------------------------------------------

  /// Appends an operation of `kind` over `operands` with the one result whose
  /// shape `infer_shape` gives. Fails with `UnknownValue` of the first unknown
  /// operand, or with `InvalidShape` carrying the inference's text.
  [[nodiscard]] std::expected<ValueId, GraphError> inferred_result(const OperationKind& kind,
                                                                   std::span<const ValueId> operands);
  [[nodiscard]] std::expected<ValueId, GraphError> inferred_result(const OperationKind& kind,
                                                                   std::initializer_list<ValueId> operands);

  /// Layer normalisation of `x` over its last axis; `scale` and `bias` are
  /// last-axis vectors (every extent but the last is 1).
  [[nodiscard]] std::expected<ValueId, GraphError> layer_norm(ValueId x, ValueId scale, ValueId bias);
  /// The batched matrix product of `left` and `right`, neither transposed.
  [[nodiscard]] std::expected<ValueId, GraphError> gemm(ValueId left, ValueId right);
  /// The batched matrix product of `left` and `right` as `options` store them.
  [[nodiscard]] std::expected<ValueId, GraphError> gemm(ValueId left, ValueId right, GemmOptions options);
  /// The element-wise GELU activation of `x`.
  [[nodiscard]] std::expected<ValueId, GraphError> gelu(ValueId x);
  /// The element-wise sum of `left` and `right`, broadcast against each other.
  [[nodiscard]] std::expected<ValueId, GraphError> add(ValueId left, ValueId right);
  /// `x` viewed through `factor_view`.
  [[nodiscard]] std::expected<ValueId, GraphError> view(ValueId x, view::AxisFactorView factor_view);
  /// The part of `x` that `range` selects.
  [[nodiscard]] std::expected<ValueId, GraphError> slice(ValueId x, AxisSlice range);
  /// Attention of `query` over `key` and `value`.
  [[nodiscard]] std::expected<ValueId, GraphError> flash_attention(ValueId query, ValueId key, ValueId value,
                                                                   AttentionOptions options);

  // -- Value sequences and repeats -------------------------------------------

  /// Groups `entries` into a new value sequence, numbered by creation order.
  /// Fails with `EmptyName` for an empty name, `UnknownValue` of the first
  /// unknown entry, or `SequenceShape` of the first entry shaped unlike entry 0.
  [[nodiscard]] std::expected<ValueSequenceId, GraphError> value_sequence(std::string_view name,
                                                                          std::span<const ValueId> entries);
  [[nodiscard]] std::expected<ValueSequenceId, GraphError> value_sequence(std::string_view name,
                                                                          std::initializer_list<ValueId> entries);

  /// A fresh graph in which to build the body of a repeat over `operands`: its
  /// inputs are the body's arguments in the order `RepeatOperands` describes,
  /// so the i-th argument is `inputs()[i].value`. Append the body's operations
  /// to it and set its outputs to the values to yield. Fails with `UnknownValue`
  /// or `UnknownSequence` of the first unknown operand; changes nothing here.
  [[nodiscard]] std::expected<ComputeGraph, GraphError> repeat_body(const RepeatOperands& operands) const;

  /// Appends a repeat that runs `body` `count` times and returns its results,
  /// one per carried value and shaped like it. `body` is a graph whose inputs
  /// are the arguments (in the order of `repeat_body`, whose result fits) and
  /// whose outputs are the yields; its value and operation numbers are its own
  /// and become the region's. Checks, in this order: `EmptyRepeat` for a zero
  /// count; `UnknownValue` of the first unknown carried or invariant value; for
  /// each iterated sequence in order, `UnknownSequence` or `ShortSequence` when
  /// it has fewer than `count` entries; `InvalidShape` when the body's inputs
  /// are not one argument per operand with the operand's shape; `UnknownSequence`
  /// when a repeat inside the body iterates a sequence (sequences exist only at
  /// the level where they were made, and a region carries none); `YieldArity`
  /// when the body does not yield one value per carried value; `YieldShape` of
  /// the first yield shaped unlike its carried value.
  [[nodiscard]] std::expected<std::vector<ValueId>, GraphError> repeat(std::uint32_t count,
                                                                       const RepeatOperands& operands,
                                                                       const ComputeGraph& body);

  friend bool operator==(const ComputeGraph&, const ComputeGraph&) = default;

 private:
  std::vector<GraphInput> inputs_;
  std::vector<ValueSequence> sequences_;
  std::vector<Operation> operations_;
  std::vector<ValueId> outputs_;
  std::set<ValueId> values_;
  std::map<ValueId, TensorShape> value_shapes_;
  std::uint32_t next_operation_ = 0;
  std::uint32_t next_value_ = 0;
};

/// `ComputeGraph { inputs: [...], sequences: [...], operations: [...], outputs: [...],
/// values: {...}, value_shapes: {...}, next_operation: 2, next_value: 5 }`.
[[nodiscard]] std::string dump(const ComputeGraph& graph);

}  // namespace vexa_codegen::graph
