#include "vexa_codegen/graph/view.hpp"

#include <limits>

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::graph::view {

std::optional<TensorShape> AxisFactorView::output_shape(const TensorShape& input) const {
  if (factor == 0 || split_axis == merge_axis) {
    return std::nullopt;
  }
  const std::size_t divided = reversed ? merge_axis : split_axis;
  const std::size_t multiplied = reversed ? split_axis : merge_axis;
  if (divided >= input.rank() || multiplied >= input.rank()) {
    return std::nullopt;
  }
  if (input.dimensions[divided] % factor != 0) {
    return std::nullopt;
  }
  const std::uint64_t grown = std::uint64_t{input.dimensions[multiplied]} * factor;
  if (grown > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  TensorShape output = input;
  output.dimensions[divided] /= factor;
  output.dimensions[multiplied] = static_cast<std::uint32_t>(grown);
  return output;
}

std::string dump(const AxisFactorView& view) {
  return support::RecordDump("AxisFactorView")
      .field("split_axis", view.split_axis)
      .field("merge_axis", view.merge_axis)
      .field("factor", view.factor)
      .field("reversed", view.reversed)
      .str();
}

}  // namespace vexa_codegen::graph::view

std::size_t std::hash<vexa_codegen::graph::view::AxisFactorView>::operator()(
    const vexa_codegen::graph::view::AxisFactorView& view) const noexcept {
  return vexa_codegen::support::hash_fields(view.split_axis, view.merge_axis, view.factor, view.reversed);
}
