// Small builders of tensor types, steps and states for the search tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/mid/optimistic/types.hpp"

namespace vexa_codegen::mid::optimistic {

// Failure messages show steps and candidates in their dump form.
inline void PrintTo(const Step& step, std::ostream* out) { *out << dump(step); }
inline void PrintTo(const DiagnosticMidGraph& graph, std::ostream* out) { *out << dump(graph); }

}  // namespace vexa_codegen::mid::optimistic

namespace vexa_codegen::mid::optimistic::fixtures {

using graph::OperationId;
using graph::TensorShape;
using graph::ValueId;
using layout::AxisPadding;
using layout::AxisTiling;
using layout::ElementOrder;
using layout::Layout;
using layout::MemoryClass;
using layout::Precision;
using layout::TensorAxis;
using layout::TensorFormat;
using layout::TensorTiling;
using layout::TensorType;

/// A cut of `axis` into `parts` shards of whole panels (padded when asked).
inline AxisTiling cut(TensorAxis axis, std::uint16_t parts, std::uint32_t panel = 1,
                      AxisPadding padding = AxisPadding::Exact) {
  return AxisTiling{.axis = axis, .parts = parts, .panel = panel, .padding_multiple = panel, .padding = padding};
}

inline Layout layout_of(std::vector<AxisTiling> axes, std::uint16_t tiles, std::uint16_t replication = 1,
                        MemoryClass memory = MemoryClass::Vexa21Standard,
                        ElementOrder order = ElementOrder::row_major()) {
  return Layout{.order = std::move(order),
                .tiling = TensorTiling{.axes = std::move(axes), .tile_count = tiles, .replication = replication},
                .memory_class = memory};
}

inline TensorType tensor(std::vector<std::uint32_t> shape, Layout layout, Precision precision = Precision::f16()) {
  return TensorType{.shape = TensorShape{std::move(shape)},
                    .format = TensorFormat{.precision = precision, .layout = std::move(layout)}};
}

/// A row-major `F16` tensor whose rows are dealt out to `tiles` tiles.
inline TensorType rows(std::vector<std::uint32_t> shape, std::uint16_t tiles,
                       MemoryClass memory = MemoryClass::Vexa21Standard) {
  return tensor(std::move(shape), layout_of({cut(TensorAxis::trailing(2), tiles)}, tiles, 1, memory));
}

/// A program whose only figures are its memory peaks.
inline std::shared_ptr<const MidProgram> program_with_memory(std::uint64_t standard, std::uint64_t interleaved) {
  auto program = std::make_shared<MidProgram>();
  program->memory.standard = standard;
  program->memory.interleaved = interleaved;
  return program;
}

/// An operator step carrying graph operation `operation`.
inline Step operator_step(std::uint32_t operation, std::vector<std::size_t> inputs, std::vector<std::size_t> outputs,
                          CycleEstimate cycles = {}, std::shared_ptr<const MidProgram> program = nullptr,
                          Assumptions assumptions = {}) {
  return Step{.operations = {OperationId{operation}},
              .inputs = std::move(inputs),
              .outputs = std::move(outputs),
              .kind = StepKind{StepKind::Operator{.plan = {}, .program = std::move(program)}},
              .cycles = cycles,
              .assumptions = std::move(assumptions)};
}

/// A conversion step of `kind` from value `input` to value `output`.
inline Step transform_step(TransformKind kind, const TensorType& from, const TensorType& to, std::size_t input,
                           std::size_t output, CycleEstimate cycles = {}, Assumptions assumptions = {}) {
  return Step{.operations = {},
              .inputs = {input},
              .outputs = {output},
              .kind = StepKind{StepKind::Transform{
                  Transform{.from = from, .to = to, .cycles = cycles, .assumptions = assumptions, .kind = kind}}},
              .cycles = cycles,
              .assumptions = assumptions};
}

}  // namespace vexa_codegen::mid::optimistic::fixtures
