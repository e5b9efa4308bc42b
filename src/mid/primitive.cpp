#include "vexa_codegen/mid/primitive.hpp"

#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid::primitive {

using support::RecordDump;

std::string dump(const CoordinateMapping& mapping) {
  return RecordDump("CoordinateMapping").field("origin", mapping.origin).field("view", mapping.view).str();
}

std::string dump(const WindowRange& range) {
  return RecordDump("WindowRange").field("start", range.start).field("axis", range.axis).field("end", range.end).str();
}

std::string dump(const OperandWindow& window) { return support::positional("OperandWindow", window.entries); }

std::string dump(const ProductAxes& axes) {
  return RecordDump("ProductAxes")
      .field("left_contraction", axes.left_contraction)
      .field("right_contraction", axes.right_contraction)
      .field("output_columns", axes.output_columns)
      .field("first_bound", axes.first_bound)
      .field("second_bound", axes.second_bound)
      .str();
}

std::string dump(const Primitive& primitive) {
  if (const auto* rearrange = primitive.get_if<Primitive::Rearrange>()) {
    return RecordDump("Rearrange").field("mapping", rearrange->mapping).field("direct", rearrange->direct).str();
  }
  if (const auto* compute = primitive.get_if<Primitive::Compute>()) {
    return RecordDump("Compute")
        .field("kernel", compute->kernel)
        .field("windows", compute->windows)
        .field("axes", compute->axes)
        .field("aliases", compute->aliases)
        .str();
  }
  const auto& reduce = std::get<Primitive::Reduce>(primitive.value);
  return RecordDump("Reduce").field("staging", reduce.staging).field("axis", reduce.axis).str();
}

}  // namespace vexa_codegen::mid::primitive
