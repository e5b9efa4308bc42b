#include "vexa_codegen/mid/pipeline.hpp"

#include <algorithm>
#include <utility>

#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid {

PipelineConfig PipelineConfig::make(std::uint16_t tiles) {
  PipelineConfig config;
  config.operator_candidates = catalogue::default_operator_candidates(tiles);
  config.tiles = tiles;
  return config;
}

PipelineConfig PipelineConfig::with_automatic_input(graph::ValueId value, layout::Precision precision) && {
  input_formats.erase(value);
  automatic_inputs.insert_or_assign(value, std::move(precision));
  return std::move(*this);
}

PipelineConfig PipelineConfig::with_automatic_input(graph::ValueId value, layout::Precision precision) const& {
  return PipelineConfig(*this).with_automatic_input(value, std::move(precision));
}

std::uint64_t PipelineConfig::tile_memory_capacity() const noexcept {
  return std::min(tile_memory_bytes, vexa21_tile_memory_bytes);
}

std::string dump(const GemmPlanConstraint& constraint) {
  return support::RecordDump("GemmPlanConstraint")
      .field("source_operation", constraint.source_operation)
      .field("orientation", constraint.orientation)
      .field("row_partitions", constraint.row_partitions)
      .field("column_partitions", constraint.column_partitions)
      .field("inner_partitions", constraint.inner_partitions)
      .field("result_row_partitions", constraint.result_row_partitions)
      .field("result_column_partitions", constraint.result_column_partitions)
      .field("output_column_block", constraint.output_column_block)
      .field("weight_memory_class", constraint.weight_memory_class)
      .field("reduction_staging", constraint.reduction_staging)
      .field("local_weight_staging", constraint.local_weight_staging)
      .str();
}

}  // namespace vexa_codegen::mid
