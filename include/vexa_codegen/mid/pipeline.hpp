// The pipeline configuration: everything a caller sets to steer a search.
//
// A configuration carries the target's tile count and per-tile memory budget,
// the catalogue of operator candidates that plan enumeration consults, the
// caller's constraints on matrix-product plans, the formats or precisions of
// the graph inputs, and a few switches of plan enumeration and retention.
// `PipelineConfig::make(tiles)` fills every field with its default, the
// catalogue included; the caller may then edit any field. The search only
// reads the configuration.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/catalogue.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"

namespace vexa_codegen::mid {

/// The VEXA21's memory per tile: no configuration can grant a plan more.
inline constexpr std::uint64_t vexa21_tile_memory_bytes = 586960;
/// The VEXA21's interleaved memory per tile.
inline constexpr std::uint64_t vexa21_interleaved_memory_bytes = 424880;

/// A caller's restriction of the matrix-product plans of one graph operation:
/// the orientation, partition counts, result column block, weight memory and
/// staging a plan must have. The defaults describe an undistributed product on
/// one tile. Dump:
/// `GemmPlanConstraint { source_operation: 3, orientation: Normal, row_partitions: 8, column_partitions: 8,
/// inner_partitions: 1, result_row_partitions: 8, result_column_partitions: 8, output_column_block: 64,
/// weight_memory_class: Vexa21Standard, reduction_staging: Complete, local_weight_staging: Direct }`.
struct GemmPlanConstraint {
  std::uint32_t source_operation = 0;  ///< the graph operation (`OperationId` number) it applies to
  operators::GemmOrientation orientation = operators::GemmOrientation::Normal;
  std::uint16_t row_partitions = 1;            ///< partitions of the left operand's rows
  std::uint16_t column_partitions = 1;         ///< partitions of the right operand's columns
  std::uint16_t inner_partitions = 1;          ///< partitions of the reduction
  std::uint16_t result_row_partitions = 1;     ///< partitions of the result's rows
  std::uint16_t result_column_partitions = 1;  ///< partitions of the result's columns
  std::uint32_t output_column_block = 64;      ///< column block of the result
  layout::MemoryClass weight_memory_class = layout::MemoryClass::Vexa21Standard;
  operators::ReductionStaging reduction_staging = operators::ReductionStaging::complete();
  operators::LocalOperandStaging local_weight_staging = operators::LocalOperandStaging::Direct;

  friend bool operator==(const GemmPlanConstraint&, const GemmPlanConstraint&) = default;
};

/// The configuration of one search. Build it with `make(tiles)`, which sets
/// the defaults documented on each field and the catalogue for `tiles` tiles.
struct PipelineConfig {
  /// The catalogue plan enumeration consults; `make` stores
  /// `catalogue::default_operator_candidates(tiles)`. Callers may edit it.
  std::vector<catalogue::OperatorCandidate> operator_candidates;
  /// Matrix-product constraints; enumeration applies the first one whose
  /// `source_operation` is the operation being planned. Default empty.
  std::vector<GemmPlanConstraint> gemm_constraints;
  /// Graph inputs with a fixed format. Default empty.
  std::map<graph::ValueId, layout::TensorFormat> input_formats;
  /// Graph inputs whose layout the search chooses, with their precision. Default empty.
  std::map<graph::ValueId, layout::Precision> automatic_inputs;
  /// Per-tile bytes kept free of tensors. Default 49152.
  std::uint64_t reserved_bytes = 49152;
  /// Per-tile memory budget. Default 586960 (the whole VEXA21 tile); a larger
  /// figure grants nothing more (see `tile_memory_capacity`).
  std::uint64_t tile_memory_bytes = vexa21_tile_memory_bytes;
  /// Tiles of the target.
  std::uint16_t tiles = 0;
  /// 0, 1 or 2; 2 switches off the flattened layouts offered to single-operand
  /// operations whose result has the operand's shape. Default 1.
  std::uint8_t unary_flattening = 1;
  /// 0, 1 or 2; 2 discards every matrix-product plan whose output order has no
  /// product output group. Default 0.
  std::uint8_t gemm_output_grouping = 0;
  /// 0, 1 or 2: 0 keeps every flash-attention plan, 1 drops those whose block
  /// may differ from 64, 2 drops those whose block is 64. Default 0.
  std::uint8_t plan_filter = 0;
  /// 0 to 3: which distributed product grids attention enumeration adds. Default 0.
  std::uint8_t attention_variants = 0;
  /// The keep limit, max(1, this), of distributed matrix-product plans per
  /// orientation. Default 64.
  std::uint64_t retained_gemm_plans = 64;
  /// Settings carried for the host and read by nothing in the planner.
  /// Defaults 16, 4, 1, 65536, 16384, 0, 3.
  std::array<std::uint64_t, 7> reserved_settings{16, 4, 1, 65536, 16384, 0, 3};
  /// A switch carried for the host and read by nothing in the planner. Default 1.
  std::uint8_t spare_switch = 1;

  /// A configuration for `tiles` tiles with every default and the catalogue
  /// for that tile count.
  [[nodiscard]] static PipelineConfig make(std::uint16_t tiles);

  /// The configuration with `value` removed from `input_formats` and
  /// `value -> precision` in `automatic_inputs` (replacing an earlier entry).
  [[nodiscard]] PipelineConfig with_automatic_input(graph::ValueId value, layout::Precision precision) &&;
  /// As above, on a copy.
  [[nodiscard]] PipelineConfig with_automatic_input(graph::ValueId value, layout::Precision precision) const&;

  /// The memory one tile offers a plan: `tile_memory_bytes`, but never more
  /// than the VEXA21 tile has.
  [[nodiscard]] std::uint64_t tile_memory_capacity() const noexcept;

  friend bool operator==(const PipelineConfig&, const PipelineConfig&) = default;
};

[[nodiscard]] std::string dump(const GemmPlanConstraint& constraint);

}  // namespace vexa_codegen::mid
