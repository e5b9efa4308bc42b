// The program builder of the lowering.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "implementation/detail.hpp"
#include "vexa_codegen/mid/implementation.hpp"
#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::mid::implementation {

MidValueId Builder::append_value(const TensorType& type) {
  if (program_.values.size() >= std::numeric_limits<MidValueId>::max()) {
    support::invariant_failed("program value identifiers are exhausted");
  }
  const auto id = static_cast<MidValueId>(program_.values.size());
  program_.values.push_back(MidValue{.tensor = type, .storage = id, .graph_value = 0, .origin = id, .version = 0});
  return id;
}

void Builder::check_value(MidValueId value) const {
  if (value >= program_.values.size()) {
    detail::index_out_of_bounds(program_.values.size(), value);
  }
}

MidValueId Builder::add_input(const TensorType& type) {
  const MidValueId id = append_value(type);
  program_.inputs.push_back(MidInput{.name = {}, .value = id, .flag = false});
  return id;
}

MidValueId Builder::emit(const std::vector<MidValueId>& inputs, const TensorType& output,
                         primitive::Primitive primitive) {
  for (const MidValueId input : inputs) {
    check_value(input);
  }
  const MidValueId id = append_value(output);
  program_.operations.push_back(MidOperation{
      .inputs = inputs,
      .outputs = {id},
      .kind = MidOperationKind{MidOperationKind::Primitive{std::move(primitive)}},
      .reserved_slot = std::nullopt,
      .reserved_figures = {},
  });
  return id;
}

MidValueId Builder::compute(std::vector<MidValueId> inputs, const TensorType& output, const TileKernelSpec& kernel,
                            const std::optional<ProductAxes>& axes, bool accumulate, MidValueId accumulator,
                            std::vector<OperandWindow> windows) {
  if (windows.empty() && !inputs.empty()) {
    windows.assign(inputs.size(), OperandWindow{});
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> aliases;
  if (accumulate) {
    inputs.push_back(accumulator);
    aliases.emplace_back(0, inputs.size() - 1);
  }
  return emit(inputs, output,
              primitive::Primitive{primitive::Primitive::Compute{
                  .kernel = kernel, .windows = std::move(windows), .axes = axes, .aliases = std::move(aliases)}});
}

MidValueId Builder::cast(MidValueId value, const Precision& target) {
  const TensorType& source = type(value);
  if (source.format.precision == target) {
    return value;
  }
  TensorType cast_type = source;
  cast_type.format.precision = target;
  const TileKernelSpec kernel{TileKernelSpec::Cast{.from = source.format.precision, .to = target}};
  return compute({value}, cast_type, kernel, std::nullopt, false, 0, {});
}

MidValueId Builder::materialize(MidValueId value, const TensorType& target, const std::vector<std::uint32_t>& origin,
                                bool direct) {
  const TensorType& source = type(value);
  const bool moved_origin = std::ranges::any_of(origin, [](std::uint32_t coordinate) { return coordinate != 0; });
  if (!moved_origin) {
    if (source == target) {
      return value;
    }
    const layout::TensorFormat& from = source.format;
    const layout::TensorFormat& to = target.format;
    if (from.precision == to.precision && from.layout.order == to.layout.order &&
        from.layout.memory_class == to.layout.memory_class && resolved::same_distribution(source, target)) {
      return value;
    }
  }
  return emit({value}, target,
              primitive::Primitive{primitive::Primitive::Rearrange{
                  .mapping = primitive::CoordinateMapping{.origin = origin, .view = std::nullopt}, .direct = direct}});
}

const TensorType& Builder::type(MidValueId value) const {
  check_value(value);
  return program_.values[value].tensor;
}

MidProgram Builder::finish(MidValueId result) && {
  check_value(result);
  program_.outputs = {result};
  std::uint16_t footprint = 0;
  for (const MidValue& value : program_.values) {
    footprint = std::max(footprint, value.tensor.format.layout.tiling.tile_count);
  }
  program_.tile_footprint = footprint;
  return std::move(program_);
}

}  // namespace vexa_codegen::mid::implementation
