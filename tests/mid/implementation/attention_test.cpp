#include "vexa_codegen/mid/implementation/attention.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mid/implementation/fixtures.hpp"

namespace vexa_codegen::mid::implementation::attention {
namespace {

using namespace fixtures;
using operators::ProductGrid;
using primitive::Primitive;

constexpr MemoryClass standard = MemoryClass::Vexa21Standard;
constexpr MemoryClass interleaved = MemoryClass::Vexa21Interleaved;

TensorType query_type() {
  Layout layout = Layout::attention_output(2, 8);
  layout.order = amp(layout::AmpOrder::Left);
  return tensor({2, 128, 64}, layout);
}

TensorType key_type(std::uint32_t length) { return tensor({2, length, 64}, Layout::attention_key(2, 4)); }

TensorType value_type(std::uint32_t length) {
  Layout layout = Layout::attention_key(2, 4);
  layout.order = block_major(64);
  return tensor({2, length, 64}, layout);
}

const TensorType output_type = tensor({2, 128, 64}, Layout::attention_output(2, 8));

struct Attention {
  std::vector<TensorType> inputs;
  OperatorPlan plan;
};

/// Two heads of 128 queries against `length` keys, widths 64, on 16 tiles.
Attention attention_case(std::uint32_t length, std::uint32_t block, bool unaligned,
                         std::optional<ProductGrid> score_grid = std::nullopt,
                         std::optional<ProductGrid> value_grid = std::nullopt) {
  const std::vector<TensorType> inputs{query_type(), key_type(length), value_type(length)};
  const OperatorPlan attention_plan = plan(
      OperatorDispatch{OperatorDispatch::FlashAttention{.score_grid = score_grid, .value_grid = value_grid,
                                                        .block = block, .output_parameter = 64,
                                                        .value_parameter = 64, .unaligned_block = unaligned}},
      MidOperator{MidOperator::FlashAttention{.options = {}, .accumulate = operators::AccumulationPrecision::F32}},
      {inputs[0].format, inputs[1].format, inputs[2].format}, output_type.format);
  return {inputs, attention_plan};
}

/// `axis` cut into `parts` padded panels of `panel` within a padding of `multiple`.
AxisTiling panels(TensorAxis axis, std::uint16_t parts, std::uint32_t panel, std::uint32_t multiple,
                  std::uint16_t stride) {
  AxisTiling entry = padded(axis, parts, multiple, stride);
  entry.panel = panel;
  return entry;
}

TEST(PrepareAttentionOperand, SequenceBlocksAndTileSplit) {
  const TensorType heads_only = tensor({2, 256, 64}, layout_of(row_major(), {exact(trailing(3), 2)}, 2));
  struct Case {
    std::string name;
    TensorType templ;
    std::uint32_t block;
    std::vector<AxisTiling> axes;
  };
  const Case cases[] = {
      // Transposed-right keys are read in 64-row panels: 4 sequence parts x 1 width part per head.
      {"key, block 128", key_type(256), 128,
       {exact(trailing(3), 2, 1), panels(trailing(2), 4, 64, 64, 2), panels(trailing(1), 1, 16, 16, 2)}},
      {"key, block 32", key_type(256), 32,
       {exact(trailing(3), 2, 1), panels(trailing(2), 4, 32, 64, 2), panels(trailing(1), 1, 16, 16, 2)}},
      // Values keep the block: 2 sequence parts leave room for 2 width parts.
      {"value, block 128", value_type(256), 128,
       {exact(trailing(3), 2, 1), panels(trailing(2), 2, 128, 64, 4), panels(trailing(1), 2, 16, 16, 2)}},
      {"template cutting only the heads", heads_only, 64,
       {exact(trailing(3), 2, 1), panels(leading(1), 4, 64, 64, 2), panels(leading(2), 1, 16, 16, 2)}},
  };
  // An operand held whole by each of 8 tiles, so that staging always moves it.
  const TensorType operand = tensor({2, 256, 64}, layout_of(row_major(), {}, 8, 8));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Builder builder = builder_with({query_type(), operand});
    const auto staged = prepare_attention_operand(builder, 1, c.templ, c.block);
    ASSERT_TRUE(staged.has_value());
    TensorType expected = c.templ;
    expected.format.layout.tiling = TensorTiling{.axes = c.axes, .tile_count = 8, .replication = 1};
    EXPECT_EQ(builder.type(*staged), expected);
    ASSERT_EQ(builder.program().operations.size(), 1U);
    EXPECT_EQ(step(builder.program(), 0), (Primitive{Primitive::Rearrange{.mapping = {}, .direct = true}}));
  }
}

TEST(PrepareAttentionOperand, RefusesTemplatesItCannotStage) {
  TensorType far_axis = key_type(256);
  far_axis.format.layout.tiling.axes.push_back(exact(leading(3), 1));
  struct Case {
    std::string name;
    TensorType templ;
    std::uint32_t block;
  };
  const Case cases[] = {
      {"two axes", tensor({256, 64}, Layout::row_sharded(8)), 64},
      {"no heads", tensor({0, 256, 64}, Layout::attention_key(2, 4)), 64},
      {"too many heads", tensor({65536, 256, 64}, Layout::attention_key(2, 4)), 64},
      {"too wide", tensor({2, 256, 1048576}, Layout::attention_key(2, 4)), 64},
      {"entry beyond the third axis", far_axis, 64},
      {"empty block", value_type(256), 0},
      {"too many sequence blocks", tensor({2, 70000, 64}, Layout::row_sharded(8)), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Builder builder = builder_with({query_type(), key_type(256)});
    EXPECT_EQ(prepare_attention_operand(builder, 1, c.templ, c.block), std::nullopt);
  }
}

TensorType intermediate(std::uint32_t last) {
  TensorType type = output_type;
  type.shape.dimensions[2] = last;
  type.format.layout.order = amp(layout::AmpOrder::Left);
  type.format.layout.memory_class = interleaved;
  return type;
}

std::size_t position(const MidProgram& program, const MidOperation* operation) {
  return static_cast<std::size_t>(operation - program.operations.data());
}

TEST(AttentionLowering, EveryKeyBlockScoresWeighsAndFoldsIntoTheRunningOutput) {
  struct Case {
    std::uint32_t length;
    std::vector<std::uint32_t> block_lengths;
  };
  const Case cases[] = {{256, {64, 64, 64, 64}}, {200, {64, 64, 64, 8}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const Attention a = attention_case(c.length, 64, false);
    Builder builder = builder_with(a.inputs);
    const auto result = attention(builder, a.plan, a.inputs, output_type);
    ASSERT_TRUE(result.has_value());
    const MidProgram& program = builder.program();
    const std::size_t blocks = c.block_lengths.size();
    // Query, key and value already have their staged distributions: six steps per block and a cast.
    ASSERT_EQ(program.operations.size(), 6 * blocks + 1);
    EXPECT_EQ(step(program, program.operations.size() - 1),
              (Primitive{Primitive::Compute{
                  .kernel = TileKernelSpec{TileKernelSpec::Cast{.from = Precision::f32(), .to = Precision::f16()}},
                  .windows = std::vector<OperandWindow>(1), .axes = std::nullopt, .aliases = {}}}));
    EXPECT_EQ(builder.type(*result), output_type);

    const auto products = kernel_steps<TileKernelSpec::PackedGemm>(program);
    const auto statistics = kernel_steps<TileKernelSpec::AttentionStatistics>(program);
    const auto outputs = kernel_steps<TileKernelSpec::AttentionOutput>(program);
    ASSERT_EQ(products.size(), 2 * blocks);
    ASSERT_EQ(statistics.size(), blocks);
    ASSERT_EQ(outputs.size(), blocks);
    TensorType running = output_type;
    running.format.precision = Precision::f32();
    for (std::size_t j = 0; j < blocks; ++j) {
      SCOPED_TRACE(j);
      const std::uint32_t start = static_cast<std::uint32_t>(64 * j);
      const std::uint32_t length = c.block_lengths[j];
      const MidOperation& scores = *products[2 * j];
      const MidOperation& weighted = *products[2 * j + 1];

      // Scores: the query against the key block cut at [0, start, 0].
      EXPECT_EQ(compute_of(scores).kernel,
                (TileKernelSpec{TileKernelSpec::PackedGemm{.inner_chunk = 64, .output_column_block = 64,
                                                           .multiply = Precision::f16(),
                                                           .accumulate = operators::AccumulationPrecision::F32,
                                                           .add_to_output = false, .reserved = 0}}));
      EXPECT_EQ(compute_of(scores).axes,
                (ProductAxes{.left_contraction = trailing(1), .right_contraction = trailing(1),
                             .output_columns = trailing(1), .first_bound = 64, .second_bound = length}));
      EXPECT_EQ(scores.inputs[0], 0U);
      EXPECT_EQ(builder.type(scores.outputs[0]), intermediate(64));
      const auto* key_cut = producer(program, scores.inputs[1])->get_if<Primitive::Rearrange>();
      ASSERT_NE(key_cut, nullptr);
      EXPECT_EQ(key_cut->mapping.origin, (std::vector<std::uint32_t>{0, start, 0}));
      const TensorType& key_block = builder.type(scores.inputs[1]);
      EXPECT_EQ(key_block.shape.dimensions[1], length);
      EXPECT_EQ(key_block.format.layout.order, amp(layout::AmpOrder::TransposedRight));
      EXPECT_EQ(key_block.format.layout.memory_class, interleaved);

      // Statistics fold into the previous block's in place.
      EXPECT_EQ(compute_of(*statistics[j]).kernel,
                (TileKernelSpec{TileKernelSpec::AttentionStatistics{.head_width = 64, .length = length, .block = 64}}));
      EXPECT_EQ(statistics[j]->inputs[0], scores.outputs[0]);
      EXPECT_EQ(builder.type(statistics[j]->outputs[0]), intermediate(80));
      if (j == 0) {
        EXPECT_TRUE(compute_of(*statistics[j]).aliases.empty());
      } else {
        EXPECT_EQ(statistics[j]->inputs[1], statistics[j - 1]->outputs[0]);
        EXPECT_FALSE(compute_of(*statistics[j]).aliases.empty());
      }

      // Weighted values: the first b statistics columns against the value block,
      // which was cut before the scores.
      EXPECT_EQ(weighted.inputs[0], statistics[j]->outputs[0]);
      EXPECT_EQ(compute_of(weighted).windows,
                (std::vector<OperandWindow>{
                    OperandWindow{.entries = {primitive::WindowRange{.start = 0, .axis = 2, .end = 64}}},
                    OperandWindow{}}));
      EXPECT_EQ(compute_of(weighted).axes,
                (ProductAxes{.left_contraction = trailing(1), .right_contraction = trailing(2),
                             .output_columns = trailing(1), .first_bound = length, .second_bound = 64}));
      EXPECT_EQ(builder.type(weighted.outputs[0]), intermediate(64));
      const auto value_cut = std::ranges::find_if(program.operations, [&](const MidOperation& operation) {
        return operation.outputs[0] == weighted.inputs[1];
      });
      ASSERT_NE(value_cut, program.operations.end());
      EXPECT_LT(position(program, &*value_cut), position(program, &scores));
      EXPECT_EQ(value_cut->kind.get_if<MidOperationKind::Primitive>()->primitive.get_if<Primitive::Rearrange>()
                    ->mapping.origin,
                (std::vector<std::uint32_t>{0, start, 0}));
      const TensorType& value_block = builder.type(weighted.inputs[1]);
      EXPECT_EQ(value_block.format.layout.order, block_major(64));
      EXPECT_EQ(value_block.format.layout.memory_class, interleaved);

      // The running output.
      EXPECT_EQ(compute_of(*outputs[j]).kernel,
                (TileKernelSpec{TileKernelSpec::AttentionOutput{.output_parameter = 64, .value_parameter = 64,
                                                                .block = 64, .first_block = j == 0,
                                                                .last_block = j + 1 == blocks}}));
      EXPECT_EQ(outputs[j]->inputs[0], weighted.outputs[0]);
      EXPECT_EQ(outputs[j]->inputs[1], statistics[j]->outputs[0]);
      EXPECT_EQ(builder.type(outputs[j]->outputs[0]), running);
      if (j > 0) {
        EXPECT_EQ(outputs[j]->inputs[2], outputs[j - 1]->outputs[0]);
      }
    }
  }
}

TEST(AttentionLowering, UnalignedBlockCutsTheValueAfterTheStatistics) {
  const Attention a = attention_case(200, 256, true);
  Builder builder = builder_with(a.inputs);
  ASSERT_TRUE(attention(builder, a.plan, a.inputs, output_type).has_value());
  const MidProgram& program = builder.program();
  const auto statistics = kernel_steps<TileKernelSpec::AttentionStatistics>(program);
  const auto products = kernel_steps<TileKernelSpec::PackedGemm>(program);
  const auto outputs = kernel_steps<TileKernelSpec::AttentionOutput>(program);
  ASSERT_EQ(statistics.size(), 1U);
  ASSERT_EQ(products.size(), 2U);
  ASSERT_EQ(outputs.size(), 1U);
  const MidValueId value_block = products[1]->inputs[1];
  EXPECT_GT(value_block, statistics[0]->outputs[0]);
  EXPECT_EQ(builder.type(value_block).format.layout.order, block_major(256));
  EXPECT_EQ(builder.type(value_block).format.layout.memory_class, standard);
  EXPECT_EQ(builder.type(products[0]->inputs[1]).format.layout.memory_class, standard);
  const auto& kernel = *compute_of(*outputs[0]).kernel.get_if<TileKernelSpec::AttentionOutput>();
  EXPECT_TRUE(kernel.first_block);
  EXPECT_TRUE(kernel.last_block);
  EXPECT_EQ(builder.type(statistics[0]->outputs[0]), intermediate(256 + 16));
}

TEST(AttentionLowering, ScoreGridUsesTheDistributedProduct) {
  const Attention a = attention_case(200, 256, true, ProductGrid{.row_partitions = 2, .column_partitions = 2,
                                                                 .inner_partitions = 1});
  Builder builder = builder_with(a.inputs);
  ASSERT_TRUE(attention(builder, a.plan, a.inputs, output_type).has_value());
  const MidProgram& program = builder.program();
  const auto products = kernel_steps<TileKernelSpec::PackedGemm>(program);
  ASSERT_EQ(products.size(), 2U);
  // 200 key columns over 2 column parts of 112; the whole width of 64 in one part.
  const auto& kernel = *compute_of(*products[0]).kernel.get_if<TileKernelSpec::PackedGemm>();
  EXPECT_EQ(kernel.inner_chunk, 64U);
  EXPECT_EQ(kernel.output_column_block, 112U);
  const auto statistics = kernel_steps<TileKernelSpec::AttentionStatistics>(program);
  ASSERT_EQ(statistics.size(), 1U);
  EXPECT_EQ(builder.type(statistics[0]->inputs[0]), intermediate(256));
}

TEST(AttentionLowering, RefusesPlansItCannotImplement) {
  const ProductGrid grid{.row_partitions = 1, .column_partitions = 1, .inner_partitions = 1};
  Attention few = attention_case(256, 64, false);
  few.plan.storage.operands.pop_back();
  struct Case {
    std::string name;
    Attention attention;
    TensorType output;
  };
  const Case cases[] = {
      {"score grid on aligned blocks", attention_case(256, 64, false, grid), output_type},
      {"value grid on aligned blocks", attention_case(256, 64, false, std::nullopt, grid), output_type},
      {"empty block", attention_case(256, 0, false), output_type},
      {"empty key sequence", attention_case(0, 64, false), output_type},
      {"rank-2 output", attention_case(256, 64, false), tensor({128, 64}, Layout::row_sharded(8))},
      {"two requirements", few, output_type},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Builder builder = builder_with(c.attention.inputs);
    EXPECT_EQ(attention(builder, c.attention.plan, c.attention.inputs, c.output), std::nullopt);
  }
}

TEST(AttentionLowering, LoweredAttentionCanBePriced) {
  const ProductGrid grid{.row_partitions = 2, .column_partitions = 2, .inner_partitions = 2};
  const Attention cases[] = {
      attention_case(256, 64, false),
      attention_case(200, 64, false),
      attention_case(200, 256, true),
      attention_case(200, 256, true, grid, grid),
  };
  for (const Attention& a : cases) {
    SCOPED_TRACE(dump(a.plan.dispatch));
    EXPECT_NE(implement(a.plan, a.inputs, output_type), nullptr);
  }
}

TEST(AttentionLoweringDeathTest, ThreeOperandsAreAnInvariant) {
  Attention a = attention_case(256, 64, false);
  a.inputs.pop_back();
  Builder builder = builder_with(a.inputs);
  EXPECT_DEATH(static_cast<void>(attention(builder, a.plan, a.inputs, output_type)),
               "index out of bounds: the len is 2 but the index is 2");
}

}  // namespace
}  // namespace vexa_codegen::mid::implementation::attention
