#include "vexa_codegen/graph/types.hpp"

#include <array>
#include <bit>
#include <string_view>
#include <utility>

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::graph {

namespace {

/// Names of the alternatives of `OperationKind`, in declaration order.
constexpr std::array<std::string_view, 8> operation_kind_names = {
    "Gemm", "Gelu", "LayerNorm", "Add", "View", "Slice", "FlashAttention", "Repeat"};
static_assert(operation_kind_names.size() == std::variant_size_v<decltype(OperationKind::value)>);

}  // namespace

// ---------------------------------------------------------------------------
// Identifiers

std::string dump(const ValueId& id) { return support::positional("ValueId", id.number); }
std::string dump(const OperationId& id) { return support::positional("OperationId", id.number); }
std::string dump(const ValueSequenceId& id) { return support::positional("ValueSequenceId", id.number); }

// ---------------------------------------------------------------------------
// Operation payloads

AttentionScale AttentionScale::fixed(float scale) noexcept { return value_bits(std::bit_cast<std::uint32_t>(scale)); }

std::optional<TensorShape> AxisSlice::output_shape(const TensorShape& input) const {
  std::uint32_t end = 0;
  if (length == 0 || __builtin_add_overflow(start, length, &end) || axis >= input.rank() ||
      input.dimensions[axis] < end) {
    return std::nullopt;
  }
  TensorShape output = input;
  output.dimensions[axis] = length;
  return output;
}

std::string dump(const GemmOptions& options) {
  return support::RecordDump("GemmOptions")
      .field("transpose_left", options.transpose_left)
      .field("transpose_right", options.transpose_right)
      .str();
}

std::string dump(const AttentionScale& scale) {
  if (const auto* bits = std::get_if<AttentionScale::ValueBits>(&scale.value)) {
    return support::positional("ValueBits", bits->bits);
  }
  return "InverseSqrtQueryWidth";
}

std::string dump(const AttentionOptions& options) {
  return support::RecordDump("AttentionOptions").field("causal", options.causal).field("scale", options.scale).str();
}

std::string dump(const AxisSlice& slice) {
  return support::RecordDump("AxisSlice")
      .field("axis", slice.axis)
      .field("start", slice.start)
      .field("length", slice.length)
      .str();
}

// ---------------------------------------------------------------------------
// Inputs and value sequences

std::string dump(const GraphInput& input) {
  return support::RecordDump("GraphInput")
      .field("name", input.name)
      .field("shape", input.shape)
      .field("value", input.value)
      .field("is_parameter", input.is_parameter)
      .str();
}

std::string dump(const ValueSequence& sequence) {
  return support::RecordDump("ValueSequence")
      .field("name", sequence.name)
      .field("entries", sequence.entries)
      .field("id", sequence.id)
      .str();
}

// ---------------------------------------------------------------------------
// Operations and regions

bool operator==(const Region& left, const Region& right) {
  return left.arguments == right.arguments && left.operations == right.operations && left.yields == right.yields &&
         left.value_shapes == right.value_shapes;
}

bool operator==(const Repeat& left, const Repeat& right) {
  return left.count == right.count && left.carried_inputs == right.carried_inputs &&
         left.invariant_inputs == right.invariant_inputs && left.iterated_inputs == right.iterated_inputs &&
         left.body == right.body;
}

bool operator==(const OperationKind::Repeat& left, const OperationKind::Repeat& right) {
  return left.repeat == right.repeat;
}

bool operator==(const OperationKind& left, const OperationKind& right) { return left.value == right.value; }

bool operator==(const Operation& left, const Operation& right) {
  return left.id == right.id && left.inputs == right.inputs && left.results == right.results &&
         left.kind == right.kind;
}

OperationKind OperationKind::gemm(GemmOptions options) { return {Gemm{options}}; }
OperationKind OperationKind::gelu() { return {Gelu{}}; }
OperationKind OperationKind::layer_norm() { return {LayerNorm{}}; }
OperationKind OperationKind::add() { return {Add{}}; }
OperationKind OperationKind::view(graph::view::AxisFactorView view) { return {View{view}}; }
OperationKind OperationKind::slice(graph::AxisSlice slice) { return {Slice{slice}}; }
OperationKind OperationKind::flash_attention(graph::AttentionOptions options) { return {FlashAttention{options}}; }
OperationKind OperationKind::repeat(graph::Repeat repeat) { return {Repeat{std::move(repeat)}}; }

std::string dump(const Region& region) {
  return support::RecordDump("Region")
      .field("arguments", region.arguments)
      .field("operations", region.operations)
      .field("yields", region.yields)
      .field("value_shapes", region.value_shapes)
      .str();
}

std::string dump(const Repeat& repeat) {
  return support::RecordDump("Repeat")
      .field("count", repeat.count)
      .field("carried_inputs", repeat.carried_inputs)
      .field("invariant_inputs", repeat.invariant_inputs)
      .field("iterated_inputs", repeat.iterated_inputs)
      .field("body", repeat.body)
      .str();
}

std::string dump(const OperationKind& kind) {
  const std::string_view name = operation_kind_names[kind.value.index()];
  return std::visit(
      [name](const auto& alternative) -> std::string {
        using Alternative = std::remove_cvref_t<decltype(alternative)>;
        if constexpr (std::is_same_v<Alternative, OperationKind::Gemm> ||
                      std::is_same_v<Alternative, OperationKind::FlashAttention>) {
          return support::positional(name, alternative.options);
        } else if constexpr (std::is_same_v<Alternative, OperationKind::View>) {
          return support::positional(name, alternative.view);
        } else if constexpr (std::is_same_v<Alternative, OperationKind::Slice>) {
          return support::positional(name, alternative.slice);
        } else if constexpr (std::is_same_v<Alternative, OperationKind::Repeat>) {
          return support::positional(name, alternative.repeat);
        } else {
          return std::string(name);
        }
      },
      kind.value);
}

std::string dump(const Operation& operation) {
  return support::RecordDump("Operation")
      .field("id", operation.id)
      .field("inputs", operation.inputs)
      .field("results", operation.results)
      .field("kind", operation.kind)
      .str();
}

// ---------------------------------------------------------------------------
// Errors

std::string message(const GraphError& error) {
  return std::visit(
      [](const auto& alternative) -> std::string {
        using Alternative = std::remove_cvref_t<decltype(alternative)>;
        if constexpr (std::is_same_v<Alternative, GraphError::EmptyName>) {
          return "graph name must not be empty";
        } else if constexpr (std::is_same_v<Alternative, GraphError::UnknownValue>) {
          return "value " + dump(alternative.value) + " is not available in this operation list";
        } else if constexpr (std::is_same_v<Alternative, GraphError::UnknownSequence>) {
          return "value sequence " + dump(alternative.sequence) + " does not exist";
        } else if constexpr (std::is_same_v<Alternative, GraphError::EmptyRepeat>) {
          return "repeat count must be nonzero";
        } else if constexpr (std::is_same_v<Alternative, GraphError::ShortSequence>) {
          return "value sequence " + dump(alternative.sequence) + " has " + std::to_string(alternative.available) +
                 " entries for " + std::to_string(alternative.required) + " iterations";
        } else if constexpr (std::is_same_v<Alternative, GraphError::YieldArity>) {
          return "repeat body yielded " + std::to_string(alternative.actual) + " values for " +
                 std::to_string(alternative.expected) + " carried values";
        } else if constexpr (std::is_same_v<Alternative, GraphError::InvalidShape>) {
          return "operation has invalid shapes: " + alternative.text;
        } else if constexpr (std::is_same_v<Alternative, GraphError::SequenceShape>) {
          return "value sequence entry " + std::to_string(alternative.entry) +
                 " has a different shape from its first entry";
        } else {
          static_assert(std::is_same_v<Alternative, GraphError::YieldShape>);
          return "repeat yield " + std::to_string(alternative.index) + " does not have the shape of carried value " +
                 std::to_string(alternative.index);
        }
      },
      error.value);
}

std::string dump(const GraphError& error) {
  return std::visit(
      [](const auto& alternative) -> std::string {
        using Alternative = std::remove_cvref_t<decltype(alternative)>;
        if constexpr (std::is_same_v<Alternative, GraphError::EmptyName>) {
          return "EmptyName";
        } else if constexpr (std::is_same_v<Alternative, GraphError::UnknownValue>) {
          return support::positional("UnknownValue", alternative.value);
        } else if constexpr (std::is_same_v<Alternative, GraphError::UnknownSequence>) {
          return support::positional("UnknownSequence", alternative.sequence);
        } else if constexpr (std::is_same_v<Alternative, GraphError::EmptyRepeat>) {
          return "EmptyRepeat";
        } else if constexpr (std::is_same_v<Alternative, GraphError::ShortSequence>) {
          return support::RecordDump("ShortSequence")
              .field("sequence", alternative.sequence)
              .field("available", alternative.available)
              .field("required", alternative.required)
              .str();
        } else if constexpr (std::is_same_v<Alternative, GraphError::YieldArity>) {
          return support::RecordDump("YieldArity")
              .field("expected", alternative.expected)
              .field("actual", alternative.actual)
              .str();
        } else if constexpr (std::is_same_v<Alternative, GraphError::InvalidShape>) {
          return support::positional("InvalidShape", alternative.text);
        } else if constexpr (std::is_same_v<Alternative, GraphError::SequenceShape>) {
          return support::RecordDump("SequenceShape").field("entry", alternative.entry).str();
        } else {
          static_assert(std::is_same_v<Alternative, GraphError::YieldShape>);
          return support::RecordDump("YieldShape").field("index", alternative.index).str();
        }
      },
      error.value);
}

}  // namespace vexa_codegen::graph

std::size_t std::hash<vexa_codegen::graph::GemmOptions>::operator()(
    const vexa_codegen::graph::GemmOptions& options) const noexcept {
  return vexa_codegen::support::hash_fields(options.transpose_left, options.transpose_right);
}

std::size_t std::hash<vexa_codegen::graph::AttentionScale>::operator()(
    const vexa_codegen::graph::AttentionScale& scale) const noexcept {
  // The alternative first, then its payload, so that no bit pattern collides
  // with the unit alternative by construction.
  const auto* bits = std::get_if<vexa_codegen::graph::AttentionScale::ValueBits>(&scale.value);
  return bits != nullptr ? vexa_codegen::support::hash_fields(scale.value.index(), bits->bits)
                         : vexa_codegen::support::hash_fields(scale.value.index());
}

std::size_t std::hash<vexa_codegen::graph::AttentionOptions>::operator()(
    const vexa_codegen::graph::AttentionOptions& options) const noexcept {
  return vexa_codegen::support::hash_fields(options.causal, options.scale);
}

std::size_t std::hash<vexa_codegen::graph::AxisSlice>::operator()(
    const vexa_codegen::graph::AxisSlice& slice) const noexcept {
  return vexa_codegen::support::hash_fields(slice.axis, slice.start, slice.length);
}
