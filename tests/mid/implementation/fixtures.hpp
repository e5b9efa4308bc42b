// Small builders of types, plans and step queries for the lowering tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "vexa_codegen/mid/implementation.hpp"

namespace vexa_codegen::mid::implementation::fixtures {

using layout::AxisPadding;
using layout::AxisTiling;
using layout::ElementOrder;
using layout::Layout;
using layout::MemoryClass;
using layout::TensorAxis;
using layout::TensorFormat;
using operators::MidOperator;
using operators::OperatorDispatch;

inline TensorAxis leading(std::uint16_t i) { return TensorAxis::leading(i); }
inline TensorAxis trailing(std::uint16_t i) { return TensorAxis::trailing(i); }

/// An unpadded cut into `parts` shards.
inline AxisTiling exact(TensorAxis axis, std::uint16_t parts, std::optional<std::uint16_t> stride = std::nullopt) {
  return AxisTiling{.axis = axis, .parts = parts, .groups = 1, .panel = 1, .padding_multiple = 1,
                    .shard_alignment = 1, .padding = AxisPadding::Exact, .tile_stride = stride};
}

/// A cut into `parts` shards of whole padded panels.
inline AxisTiling padded(TensorAxis axis, std::uint16_t parts, std::uint32_t panel,
                         std::optional<std::uint16_t> stride = std::nullopt) {
  return AxisTiling{.axis = axis, .parts = parts, .groups = 1, .panel = panel, .padding_multiple = panel,
                    .shard_alignment = 1, .padding = AxisPadding::Padded, .tile_stride = stride};
}

inline Layout layout_of(ElementOrder order, std::vector<AxisTiling> axes, std::uint16_t tiles,
                        std::uint16_t replication = 1, MemoryClass memory = MemoryClass::Vexa21Standard) {
  return Layout{.order = std::move(order),
                .tiling = TensorTiling{.axes = std::move(axes), .tile_count = tiles, .replication = replication},
                .memory_class = memory};
}

inline TensorType tensor(std::vector<std::uint32_t> shape, Layout layout, Precision precision = Precision::f16()) {
  return TensorType{.shape = graph::TensorShape{std::move(shape)},
                    .format = TensorFormat{.precision = precision, .layout = std::move(layout)}};
}

inline ElementOrder row_major() { return ElementOrder::row_major(); }
inline ElementOrder amp(layout::AmpOrder order) { return ElementOrder::amp(order); }
inline ElementOrder block_major(std::uint16_t row_block) {
  return ElementOrder::block_major(layout::BlockMajorOrder::matrix(row_block, 16));
}

/// A plan with one requirement per operand format (alignment 8, direct).
inline OperatorPlan plan(OperatorDispatch dispatch, MidOperator op, const std::vector<TensorFormat>& operands,
                         const TensorFormat& output,
                         std::optional<std::vector<std::uint16_t>> aliases = std::nullopt) {
  OperatorPlan result{.storage = {}, .dispatch = std::move(dispatch), .operator_ = std::move(op)};
  for (const TensorFormat& format : operands) {
    result.storage.operands.push_back(operators::OperandRequirement{.format = format});
  }
  result.storage.output = operators::OperandRequirement{.format = output};
  result.storage.output_aliases = std::move(aliases);
  return result;
}

/// A builder whose values 0, 1, ... are program inputs of these types.
inline Builder builder_with(const std::vector<TensorType>& inputs) {
  Builder builder;
  for (const TensorType& input : inputs) {
    builder.add_input(input);
  }
  return builder;
}

/// The primitive of operation `index`.
inline const primitive::Primitive& step(const MidProgram& program, std::size_t index) {
  return program.operations.at(index).kind.get_if<MidOperationKind::Primitive>()->primitive;
}

/// The primitive of the operation that writes `value`, or null for a program input.
inline const primitive::Primitive* producer(const MidProgram& program, MidValueId value) {
  for (const MidOperation& operation : program.operations) {
    if (!operation.outputs.empty() && operation.outputs[0] == value) {
      return &operation.kind.get_if<MidOperationKind::Primitive>()->primitive;
    }
  }
  return nullptr;
}

/// The operations whose primitive is `Alternative`, in program order.
template <class Alternative>
std::vector<const MidOperation*> steps_of(const MidProgram& program) {
  std::vector<const MidOperation*> found;
  for (const MidOperation& operation : program.operations) {
    if (operation.kind.get_if<MidOperationKind::Primitive>()->primitive.is<Alternative>()) {
      found.push_back(&operation);
    }
  }
  return found;
}

/// The `Compute` payload of an operation.
inline const primitive::Primitive::Compute& compute_of(const MidOperation& operation) {
  return *operation.kind.get_if<MidOperationKind::Primitive>()->primitive.get_if<primitive::Primitive::Compute>();
}

/// The `Compute` steps running kernel `Kernel`, in program order.
template <class Kernel>
std::vector<const MidOperation*> kernel_steps(const MidProgram& program) {
  std::vector<const MidOperation*> found;
  for (const MidOperation* operation : steps_of<primitive::Primitive::Compute>(program)) {
    if (compute_of(*operation).kernel.is<Kernel>()) {
      found.push_back(operation);
    }
  }
  return found;
}

}  // namespace vexa_codegen::mid::implementation::fixtures
