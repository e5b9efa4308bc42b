#include "vexa_codegen/graph/builder.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::graph {

namespace {

template <class Alternative>
std::unexpected<GraphError> fail(Alternative alternative) {
  return std::unexpected(GraphError{std::move(alternative)});
}

/// `counter` advanced by `count`. Identifiers are never reused, so a counter
/// that would wrap stops the program; four billion values do not fit in memory
/// long before that.
std::uint32_t advanced(std::uint32_t counter, std::size_t count) {
  if (count > std::size_t{std::numeric_limits<std::uint32_t>::max() - counter}) {
    support::invariant_failed("graph identifiers are exhausted");
  }
  return static_cast<std::uint32_t>(counter + count);
}

/// The shapes of the arguments of a repeat body over `operands`, in argument
/// order, after checking that every operand exists and that every iterated
/// sequence has at least `count` entries.
std::expected<std::vector<TensorShape>, GraphError> argument_shapes(const ComputeGraph& graph,
                                                                    const RepeatOperands& operands,
                                                                    std::uint32_t count) {
  std::vector<ValueId> values = operands.carried;
  values.insert(values.end(), operands.invariant.begin(), operands.invariant.end());
  if (auto known = validate_inputs(graph.values(), values); !known) {
    return std::unexpected(known.error());
  }
  std::vector<TensorShape> shapes;
  shapes.reserve(values.size() + operands.iterated.size());
  for (const ValueId value : values) {
    shapes.push_back(graph.value_shapes().at(value));
  }
  for (const ValueSequenceId id : operands.iterated) {
    const auto sequence = graph.find_sequence(id);
    if (!sequence) {
      return fail(GraphError::UnknownSequence{id});
    }
    const std::vector<ValueId>& entries = sequence->get().entries;
    if (entries.size() < count) {
      return fail(GraphError::ShortSequence{id, entries.size(), count});
    }
    shapes.push_back(graph.value_shapes().at(entries.front()));
  }
  return shapes;
}

}  // namespace

std::expected<void, GraphError> validate_inputs(const std::set<ValueId>& values, std::span<const ValueId> ids) {
  for (const ValueId id : ids) {
    if (!values.contains(id)) {
      return fail(GraphError::UnknownValue{id});
    }
  }
  return {};
}

std::expected<std::vector<ValueId>, GraphError> append_operation(
    std::vector<Operation>& operations, std::set<ValueId>& values, std::map<ValueId, TensorShape>& value_shapes,
    std::uint32_t& next_operation, std::uint32_t& next_value, OperationKind kind, std::span<const ValueId> operands,
    std::span<const TensorShape> result_shapes) {
  std::vector<ValueId> inputs(operands.begin(), operands.end());
  if (auto known = validate_inputs(values, inputs); !known) {
    return std::unexpected(known.error());
  }
  const OperationId id{next_operation};
  const std::uint32_t first_result = next_value;
  next_operation = advanced(next_operation, 1);
  next_value = advanced(next_value, result_shapes.size());
  std::vector<ValueId> results;
  results.reserve(result_shapes.size());
  for (std::size_t i = 0; i < result_shapes.size(); ++i) {
    const ValueId result{first_result + static_cast<std::uint32_t>(i)};
    results.push_back(result);
    values.insert(result);
    value_shapes.insert_or_assign(result, result_shapes[i]);
  }
  operations.push_back(Operation{id, std::move(inputs), results, std::move(kind)});
  return results;
}

std::optional<std::reference_wrapper<const TensorShape>> ComputeGraph::value_shape(ValueId value) const {
  const auto found = value_shapes_.find(value);
  if (found == value_shapes_.end()) {
    return std::nullopt;
  }
  return std::cref(found->second);
}

std::optional<std::reference_wrapper<const ValueSequence>> ComputeGraph::find_sequence(ValueSequenceId id) const {
  const auto found = std::ranges::find(sequences_, id, &ValueSequence::id);
  if (found == sequences_.end()) {
    return std::nullopt;
  }
  return std::cref(*found);
}

std::expected<ValueId, GraphError> ComputeGraph::input(std::string_view name, bool is_parameter, TensorShape shape) {
  if (name.empty()) {
    return fail(GraphError::EmptyName{});
  }
  const ValueId id{next_value_};
  next_value_ = advanced(next_value_, 1);
  values_.insert(id);
  value_shapes_.insert_or_assign(id, shape);
  inputs_.push_back(GraphInput{std::string(name), std::move(shape), id, is_parameter});
  return id;
}

std::expected<ValueId, GraphError> ComputeGraph::parameter(std::string_view name,
                                                           std::span<const std::uint32_t> dimensions) {
  return input(name, true, TensorShape{{dimensions.begin(), dimensions.end()}});
}

std::expected<ValueId, GraphError> ComputeGraph::parameter(std::string_view name,
                                                           std::initializer_list<std::uint32_t> dimensions) {
  return parameter(name, std::span(dimensions.begin(), dimensions.size()));
}

std::expected<void, GraphError> ComputeGraph::set_outputs(std::span<const ValueId> ids) {
  if (auto known = validate_inputs(values_, ids); !known) {
    return known;
  }
  // Copied before assignment: `ids` may view the current outputs.
  outputs_ = std::vector<ValueId>(ids.begin(), ids.end());
  return {};
}

std::expected<void, GraphError> ComputeGraph::set_outputs(std::initializer_list<ValueId> ids) {
  return set_outputs(std::span(ids.begin(), ids.size()));
}

std::expected<ValueId, GraphError> ComputeGraph::inferred_result(const OperationKind& kind,
                                                                 std::span<const ValueId> operands) {
  if (auto known = validate_inputs(values_, operands); !known) {
    return std::unexpected(known.error());
  }
  auto shape = infer_shape(kind, operands, value_shapes_);
  if (!shape) {
    return fail(GraphError::InvalidShape{std::move(shape.error())});
  }
  auto results = append_operation(operations_, values_, value_shapes_, next_operation_, next_value_, kind, operands,
                                  std::span(&*shape, 1));
  if (!results) {
    return std::unexpected(results.error());
  }
  if (results->empty()) {
    support::invariant_failed("one result was requested");
  }
  return results->front();
}

std::expected<ValueId, GraphError> ComputeGraph::inferred_result(const OperationKind& kind,
                                                                 std::initializer_list<ValueId> operands) {
  return inferred_result(kind, std::span(operands.begin(), operands.size()));
}

std::expected<ValueId, GraphError> ComputeGraph::layer_norm(ValueId x, ValueId scale, ValueId bias) {
  return inferred_result(OperationKind::layer_norm(), {x, scale, bias});
}

std::expected<ValueId, GraphError> ComputeGraph::gemm(ValueId left, ValueId right) {
  return gemm(left, right, GemmOptions{false, false});
}

std::expected<ValueId, GraphError> ComputeGraph::gemm(ValueId left, ValueId right, GemmOptions options) {
  return inferred_result(OperationKind::gemm(options), {left, right});
}

std::expected<ValueId, GraphError> ComputeGraph::gelu(ValueId x) {
  return inferred_result(OperationKind::gelu(), {x});
}

std::expected<ValueId, GraphError> ComputeGraph::add(ValueId left, ValueId right) {
  return inferred_result(OperationKind::add(), {left, right});
}

std::expected<ValueId, GraphError> ComputeGraph::view(ValueId x, view::AxisFactorView factor_view) {
  return inferred_result(OperationKind::view(factor_view), {x});
}

std::expected<ValueId, GraphError> ComputeGraph::slice(ValueId x, AxisSlice range) {
  return inferred_result(OperationKind::slice(range), {x});
}

std::expected<ValueId, GraphError> ComputeGraph::flash_attention(ValueId query, ValueId key, ValueId value,
                                                                 AttentionOptions options) {
  return inferred_result(OperationKind::flash_attention(options), {query, key, value});
}

std::expected<ValueSequenceId, GraphError> ComputeGraph::value_sequence(std::string_view name,
                                                                        std::span<const ValueId> entries) {
  if (name.empty()) {
    return fail(GraphError::EmptyName{});
  }
  if (auto known = validate_inputs(values_, entries); !known) {
    return std::unexpected(known.error());
  }
  for (std::size_t entry = 1; entry < entries.size(); ++entry) {
    if (value_shapes_.at(entries[entry]) != value_shapes_.at(entries[0])) {
      return fail(GraphError::SequenceShape{entry});
    }
  }
  const ValueSequenceId id{static_cast<std::uint32_t>(sequences_.size())};
  if (sequences_.size() >= std::numeric_limits<std::uint32_t>::max()) {
    support::invariant_failed("graph identifiers are exhausted");
  }
  sequences_.push_back(ValueSequence{std::string(name), {entries.begin(), entries.end()}, id});
  return id;
}

std::expected<ValueSequenceId, GraphError> ComputeGraph::value_sequence(std::string_view name,
                                                                        std::initializer_list<ValueId> entries) {
  return value_sequence(name, std::span(entries.begin(), entries.size()));
}

std::expected<ComputeGraph, GraphError> ComputeGraph::repeat_body(const RepeatOperands& operands) const {
  // A repeat runs at least once, so every iterated sequence needs an entry.
  auto shapes = argument_shapes(*this, operands, 1);
  if (!shapes) {
    return std::unexpected(shapes.error());
  }
  const std::size_t carried = operands.carried.size();
  const std::size_t invariant = operands.invariant.size();
  ComputeGraph body;
  for (std::size_t i = 0; i < shapes->size(); ++i) {
    const std::string name = i < carried               ? "carried[" + std::to_string(i) + "]"
                             : i < carried + invariant ? "invariant[" + std::to_string(i - carried) + "]"
                                                       : "iterated[" + std::to_string(i - carried - invariant) + "]";
    // The name is never empty, so registering the argument cannot fail.
    (void)body.input(name, false, std::move((*shapes)[i]));
  }
  return body;
}

std::expected<std::vector<ValueId>, GraphError> ComputeGraph::repeat(std::uint32_t count,
                                                                     const RepeatOperands& operands,
                                                                     const ComputeGraph& body) {
  if (count == 0) {
    return fail(GraphError::EmptyRepeat{});
  }
  auto shapes = argument_shapes(*this, operands, count);
  if (!shapes) {
    return std::unexpected(shapes.error());
  }
  const std::vector<GraphInput>& arguments = body.inputs();
  if (!std::ranges::equal(arguments, *shapes, {}, &GraphInput::shape)) {
    return fail(GraphError::InvalidShape{"repeat body arguments do not match the repeat's operands"});
  }
  for (const Operation& operation : body.operations()) {
    const auto* nested = operation.kind.get_if<OperationKind::Repeat>();
    if (nested != nullptr && !nested->repeat.iterated_inputs.empty()) {
      return fail(GraphError::UnknownSequence{nested->repeat.iterated_inputs.front()});
    }
  }
  const std::vector<ValueId>& yields = body.outputs();
  const std::size_t carried = operands.carried.size();
  if (yields.size() != carried) {
    return fail(GraphError::YieldArity{carried, yields.size()});
  }
  for (std::size_t index = 0; index < carried; ++index) {
    if (body.value_shapes().at(yields[index]) != (*shapes)[index]) {
      return fail(GraphError::YieldShape{index});
    }
  }

  Region region;
  region.arguments.reserve(arguments.size());
  for (const GraphInput& argument : arguments) {
    region.arguments.push_back(argument.value);
  }
  region.operations = body.operations();
  region.yields = yields;
  region.value_shapes = body.value_shapes();

  std::vector<ValueId> inputs = operands.carried;
  inputs.insert(inputs.end(), operands.invariant.begin(), operands.invariant.end());
  shapes->resize(carried);
  return append_operation(
      operations_, values_, value_shapes_, next_operation_, next_value_,
      OperationKind::repeat(Repeat{count, carried, operands.invariant.size(), operands.iterated, std::move(region)}),
      inputs, *shapes);
}

std::string dump(const ComputeGraph& graph) {
  return support::RecordDump("ComputeGraph")
      .field("inputs", graph.inputs())
      .field("sequences", graph.sequences())
      .field("operations", graph.operations())
      .field("outputs", graph.outputs())
      .field("values", graph.values())
      .field("value_shapes", graph.value_shapes())
      .field("next_operation", graph.next_operation())
      .field("next_value", graph.next_value())
      .str();
}

}  // namespace vexa_codegen::graph
