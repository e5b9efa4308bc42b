#include "vexa_codegen/mid/pipeline.hpp"

#include <gtest/gtest.h>

#include <array>
#include <map>

namespace vexa_codegen::mid {
namespace {

using graph::ValueId;
using layout::Precision;

TEST(PipelineConfig, Defaults) {
  const PipelineConfig config = PipelineConfig::make(64);
  EXPECT_EQ(config.tiles, 64);
  EXPECT_EQ(config.reserved_bytes, 49152U);
  EXPECT_EQ(config.tile_memory_bytes, 586960U);
  EXPECT_EQ(config.tile_memory_capacity(), 586960U);
  EXPECT_TRUE(config.gemm_constraints.empty());
  EXPECT_TRUE(config.input_formats.empty());
  EXPECT_TRUE(config.automatic_inputs.empty());
  EXPECT_EQ(config.unary_flattening, 1);
  EXPECT_EQ(config.gemm_output_grouping, 0);
  EXPECT_EQ(config.plan_filter, 0);
  EXPECT_EQ(config.attention_variants, 0);
  EXPECT_EQ(config.retained_gemm_plans, 64U);
  EXPECT_EQ(config.reserved_settings, (std::array<std::uint64_t, 7>{16, 4, 1, 65536, 16384, 0, 3}));
  EXPECT_EQ(config.spare_switch, 1);
  EXPECT_EQ(config.operator_candidates, catalogue::default_operator_candidates(64));
}

TEST(PipelineConfig, TileMemoryCapacityIsCappedByTheTile) {
  PipelineConfig config = PipelineConfig::make(1);
  config.tile_memory_bytes = 600000;
  EXPECT_EQ(config.tile_memory_capacity(), 586960U);
  config.tile_memory_bytes = 1000;
  EXPECT_EQ(config.tile_memory_capacity(), 1000U);
}

TEST(PipelineConfig, WithAutomaticInput) {
  const layout::TensorFormat fixed{Precision::f16(), layout::Layout::row_sharded(1)};
  PipelineConfig config = PipelineConfig::make(1);
  config.input_formats = {{ValueId{1}, fixed}, {ValueId{2}, fixed}};

  // A value in neither map is added.
  config = std::move(config).with_automatic_input(ValueId{0}, Precision::f16());
  EXPECT_EQ(config.automatic_inputs, (std::map<ValueId, Precision>{{ValueId{0}, Precision::f16()}}));
  EXPECT_EQ(config.input_formats.size(), 2U);

  // A value with a fixed format moves over.
  config = std::move(config).with_automatic_input(ValueId{1}, Precision::f32());
  EXPECT_EQ(config.input_formats, (std::map<ValueId, layout::TensorFormat>{{ValueId{2}, fixed}}));
  EXPECT_EQ(config.automatic_inputs.at(ValueId{1}), Precision::f32());

  // A second call keeps only the later precision.
  config = std::move(config).with_automatic_input(ValueId{0}, Precision::f8f143(-4));
  EXPECT_EQ(config.automatic_inputs,
            (std::map<ValueId, Precision>{{ValueId{0}, Precision::f8f143(-4)}, {ValueId{1}, Precision::f32()}}));

  // On a configuration that stays, the call works on a copy.
  const PipelineConfig kept = config;
  const PipelineConfig edited = kept.with_automatic_input(ValueId{2}, Precision::f16());
  EXPECT_EQ(kept, config);
  EXPECT_TRUE(edited.input_formats.empty());
  EXPECT_EQ(edited.automatic_inputs.size(), 3U);
}

TEST(GemmPlanConstraint, Dump) {
  const GemmPlanConstraint constraint{3,
                                      operators::GemmOrientation::Normal,
                                      8,
                                      8,
                                      1,
                                      8,
                                      8,
                                      64,
                                      layout::MemoryClass::Vexa21Standard,
                                      operators::ReductionStaging::complete(),
                                      operators::LocalOperandStaging::Direct};
  EXPECT_EQ(dump(constraint),
            "GemmPlanConstraint { source_operation: 3, orientation: Normal, row_partitions: 8, column_partitions: 8, "
            "inner_partitions: 1, result_row_partitions: 8, result_column_partitions: 8, output_column_block: 64, "
            "weight_memory_class: Vexa21Standard, reduction_staging: Complete, local_weight_staging: Direct }");
  GemmPlanConstraint batched = constraint;
  batched.orientation = operators::GemmOrientation::Swapped;
  batched.reduction_staging = operators::ReductionStaging::batched(4);
  batched.local_weight_staging = operators::LocalOperandStaging::MatchRemote;
  batched.weight_memory_class = layout::MemoryClass::Vexa21Interleaved;
  EXPECT_EQ(dump(batched),
            "GemmPlanConstraint { source_operation: 3, orientation: Swapped, row_partitions: 8, column_partitions: 8, "
            "inner_partitions: 1, result_row_partitions: 8, result_column_partitions: 8, output_column_block: 64, "
            "weight_memory_class: Vexa21Interleaved, reduction_staging: Batched(4), local_weight_staging: "
            "MatchRemote }");
}

}  // namespace
}  // namespace vexa_codegen::mid
