#include "vexa_codegen/mid/layout.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

#include "vexa_codegen/mid/resolved.hpp"

namespace vexa_codegen::mid::layout {
namespace {

using graph::TensorShape;

TensorAxis lead(std::uint16_t i) { return TensorAxis::leading(i); }
TensorAxis trail(std::uint16_t i) { return TensorAxis::trailing(i); }

// A tiling as the constructor tables list it: groups and shard alignment 1.
AxisTiling row(TensorAxis axis, std::uint16_t parts, std::uint32_t panel, std::uint32_t padding_multiple,
               AxisPadding padding, std::optional<std::uint16_t> stride) {
  return AxisTiling{.axis = axis,
                    .parts = parts,
                    .groups = 1,
                    .panel = panel,
                    .padding_multiple = padding_multiple,
                    .shard_alignment = 1,
                    .padding = padding,
                    .tile_stride = stride};
}

constexpr auto Exact = AxisPadding::Exact;
constexpr auto Padded = AxisPadding::Padded;
constexpr auto none = std::nullopt;

struct ConstructorCase {
  const char* name;
  Layout built;
  ElementOrder order;
  std::vector<AxisTiling> axes;
  std::uint16_t tile_count;
  std::uint16_t replication;
  MemoryClass memory_class;
};

TEST(LayoutConstructors, MatchTheirTables) {
  const auto interleaved = MemoryClass::Vexa21Interleaved;
  const auto standard = MemoryClass::Vexa21Standard;
  const auto amp = [](AmpOrder o) { return ElementOrder::amp(o); };
  const std::vector<ConstructorCase> cases = {
      {"row_sharded", Layout::row_sharded(3), ElementOrder::row_major(), {row(trail(2), 3, 1, 1, Exact, none)}, 3, 1,
       standard},
      {"attention_key", Layout::attention_key(2, 4), amp(AmpOrder::TransposedRight),
       {row(trail(3), 2, 1, 1, Exact, 1), row(trail(2), 4, 64, 64, Padded, 2), row(trail(1), 1, 16, 16, Padded, none)},
       8, 1, standard},
      {"attention_output", Layout::attention_output(2, 4), ElementOrder::row_major(),
       {row(trail(2), 4, 1, 1, Exact, 2), row(trail(3), 2, 1, 1, Exact, 1), row(trail(1), 1, 16, 16, Padded, none)}, 8,
       1, standard},
      {"amp_output_grid special", Layout::amp_output_grid(64, 8, 8, 1, false), amp(AmpOrder::Output),
       {row(trail(2), 8, 1, 1, Exact, none), row(trail(1), 1, 64, 64, Padded, none)}, 8, 1, interleaved},
      {"amp_output_grid special ignores column_major", Layout::amp_output_grid(64, 8, 8, 1, true),
       amp(AmpOrder::Output), {row(trail(2), 8, 1, 1, Exact, none), row(trail(1), 1, 64, 64, Padded, none)}, 8, 1,
       interleaved},
      {"amp_output_grid block 32", Layout::amp_output_grid(32, 8, 8, 1, false), amp(AmpOrder::Output),
       {row(trail(1), 1, 32, 32, Padded, 1), row(trail(2), 8, 1, 1, Exact, 1)}, 8, 1, interleaved},
      {"amp_output_grid row major", Layout::amp_output_grid(64, 8, 2, 4, false), amp(AmpOrder::Output),
       {row(trail(1), 4, 64, 64, Padded, 1), row(trail(2), 2, 1, 1, Exact, 4)}, 8, 1, interleaved},
      {"amp_output_grid column major", Layout::amp_output_grid(64, 8, 2, 4, true), amp(AmpOrder::Output),
       {row(trail(1), 4, 64, 64, Padded, 2), row(trail(2), 2, 1, 1, Exact, 1)}, 8, 1, interleaved},
      {"amp_output_grid tiles differ from rows", Layout::amp_output_grid(64, 16, 8, 1, false), amp(AmpOrder::Output),
       {row(trail(1), 1, 64, 64, Padded, 1), row(trail(2), 8, 1, 1, Exact, 1)}, 16, 1, interleaved},
      {"amp_left_result_grid", Layout::amp_left_result_grid(64, 8, 2, 4, true), amp(AmpOrder::Left),
       {row(trail(1), 4, 64, 64, Padded, 2), row(trail(2), 2, 1, 1, Exact, 1)}, 8, 1, interleaved},
      {"amp_left_result_grid special", Layout::amp_left_result_grid(64, 4, 4, 1, false), amp(AmpOrder::Left),
       {row(trail(2), 4, 1, 1, Exact, none), row(trail(1), 1, 64, 64, Padded, none)}, 4, 1, interleaved},
      {"amp_transposed_output_grid column major", Layout::amp_transposed_output_grid(32, 8, 2, 4, true),
       amp(AmpOrder::TransposedOutput), {row(trail(2), 4, 32, 32, Padded, 2), row(trail(1), 2, 1, 1, Exact, 1)}, 8, 1,
       interleaved},
      {"amp_transposed_output_grid row major", Layout::amp_transposed_output_grid(32, 8, 2, 4, false),
       amp(AmpOrder::TransposedOutput), {row(trail(2), 4, 32, 32, Padded, 1), row(trail(1), 2, 1, 1, Exact, 4)}, 8, 1,
       interleaved},
      {"amp_transposed_left_result_grid", Layout::amp_transposed_left_result_grid(32, 8, 2, 4, false),
       amp(AmpOrder::TransposedLeft), {row(trail(2), 4, 32, 32, Padded, 1), row(trail(1), 2, 1, 1, Exact, 4)}, 8, 1,
       interleaved},
      {"amp_left_parallel_grid", Layout::amp_left_parallel_grid(64, 12, 2, 2, 3), amp(AmpOrder::Left),
       {row(trail(1), 3, 64, 64, Padded, none), row(trail(2), 2, 1, 1, Exact, none)}, 12, 2, standard},
      {"amp_transposed_left_parallel_grid", Layout::amp_transposed_left_parallel_grid(64, 12, 2, 2, 3),
       amp(AmpOrder::TransposedLeft), {row(trail(2), 3, 64, 64, Padded, none), row(trail(1), 2, 1, 1, Exact, none)},
       12, 2, standard},
      {"block_major_matrix_storage", Layout::block_major_matrix_storage(64, 128, 2, 3, 1, interleaved),
       ElementOrder::block_major(BlockMajorOrder::matrix(64, 16)),
       {row(trail(1), 2, 128, 128, Padded, 1), row(trail(2), 3, 64, 64, Padded, none)}, 6, 1, interleaved},
      {"transposed_block_major_matrix_storage",
       Layout::transposed_block_major_matrix_storage(32, 64, 2, 3, 2, standard),
       ElementOrder::block_major(BlockMajorOrder::transposed_matrix(32, 16)),
       {row(trail(2), 2, 64, 64, Padded, 1), row(trail(1), 3, 32, 32, Padded, none)}, 12, 2, standard},
  };
  for (const ConstructorCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Layout expected{.order = c.order,
                          .tiling = TensorTiling{.axes = c.axes, .tile_count = c.tile_count, .replication = c.replication},
                          .memory_class = c.memory_class};
    EXPECT_EQ(c.built, expected) << dump(c.built);
  }
}

TEST(LayoutConstructors, TileCountsSaturateOrDropToZero) {
  EXPECT_EQ(Layout::attention_key(256, 256).tiling.tile_count, 65535);
  EXPECT_EQ(Layout::attention_output(256, 256).tiling.tile_count, 65535);
  EXPECT_EQ(Layout::attention_key(255, 257).tiling.tile_count, 65535);

  const Layout overflowing = Layout::block_major_matrix_storage(64, 16, 300, 300, 1, MemoryClass::Vexa21Standard);
  EXPECT_EQ(overflowing.tiling.tile_count, 0);
  EXPECT_EQ(Layout::block_major_matrix_storage(64, 16, 255, 257, 1, MemoryClass::Vexa21Standard).tiling.tile_count,
            65535);
  EXPECT_EQ(Layout::block_major_matrix_storage(64, 16, 256, 128, 2, MemoryClass::Vexa21Standard).tiling.tile_count,
            0);  // 65536 does not fit 16 bits
  const auto resolution = overflowing.resolve(TensorShape{{640, 640}});
  ASSERT_FALSE(resolution.has_value());
  EXPECT_EQ(resolution.error(), LayoutError{LayoutError::EmptyTiling{}});
}

TEST(ElementOrder, GemmOutputGroup) {
  const auto block = [](std::uint16_t rows, std::uint16_t columns) {
    return ElementOrder::block_major(BlockMajorOrder::matrix(rows, columns));
  };
  struct Case {
    ElementOrder order;
    std::optional<std::uint16_t> group;
  };
  const std::vector<Case> cases = {
      {block(64, 16), 64},
      {block(16, 16), 16},
      {block(48, 16), none},  // not a power of two
      {block(8, 16), none},   // below 16
      {block(64, 32), none},  // column block must be 16
      {ElementOrder::block_major(BlockMajorOrder::transposed_matrix(64, 16)), 64},
      {ElementOrder::row_major(), none},
      {ElementOrder::amp(AmpOrder::Output), none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(dump(c.order));
    EXPECT_EQ(c.order.gemm_output_group(), c.group);
    EXPECT_EQ(c.order.has_gemm_output_group(), c.group.has_value());
  }
}

TEST(TensorAxis, ResolvesAgainstRankAndOrdersByVariantThenIndex) {
  EXPECT_EQ(lead(0).resolve(3), 0U);
  EXPECT_EQ(lead(2).resolve(3), 2U);
  EXPECT_EQ(lead(3).resolve(3), none);
  EXPECT_EQ(trail(1).resolve(3), 2U);
  EXPECT_EQ(trail(3).resolve(3), 0U);
  EXPECT_EQ(trail(4).resolve(3), none);
  EXPECT_EQ(trail(0).resolve(3), none);
  EXPECT_EQ(TensorAxis::flattened().resolve(1), none);

  EXPECT_LT(lead(5), trail(1));
  EXPECT_LT(trail(1), trail(2));
  EXPECT_LT(trail(9), TensorAxis::flattened());
}

TEST(LayoutDump, GivenForms) {
  EXPECT_EQ(dump(Precision::f16()), "F16");
  EXPECT_EQ(dump(Precision::f32()), "F32");
  EXPECT_EQ(dump(Precision::f8f143(-3)), "F8F143 { scale_exponent: -3 }");
  EXPECT_EQ(dump(MemoryClass::Vexa21Interleaved), "Vexa21Interleaved");
  EXPECT_EQ(dump(BlockMajorOrder::matrix(64, 16)), "Matrix { row_block: 64, column_block: 16 }");
  EXPECT_EQ(dump(ElementOrder::row_major()), "RowMajor");
  EXPECT_EQ(dump(ElementOrder::block_major(BlockMajorOrder::matrix(64, 16))),
            "BlockMajor(Matrix { row_block: 64, column_block: 16 })");
  EXPECT_EQ(dump(ElementOrder::block_major(BlockMajorOrder::transposed_matrix(32, 16))),
            "BlockMajor(TransposedMatrix { row_block: 32, column_block: 16 })");
  EXPECT_EQ(dump(ElementOrder::amp(AmpOrder::Output)), "Amp(Output)");
  EXPECT_EQ(dump(ElementOrder::amp(AmpOrder::TransposedRight)), "Amp(TransposedRight)");
  EXPECT_EQ(dump(Layout::row_sharded(2)),
            "Layout { order: RowMajor, tiling: TensorTiling { axes: [AxisTiling { axis: Trailing(2), parts: 2, "
            "groups: 1, panel: 1, padding_multiple: 1, shard_alignment: 1, padding: Exact, tile_stride: None }], "
            "tile_count: 2, replication: 1 }, memory_class: Vexa21Standard }");
  EXPECT_EQ(dump(LayoutError{LayoutError::NotMultiple{6, 4, lead(1)}}),
            "NotMultiple { extent: 6, multiple: 4, axis: Leading(1) }");
  EXPECT_EQ(dump(LayoutError{LayoutError::ExtentOverflow{none}}), "ExtentOverflow { axis: None }");
  EXPECT_EQ(dump(LayoutError{LayoutError::IrregularTileMapping{}}), "IrregularTileMapping");
}

TEST(LayoutValues, EqualValuesHashEqualAndKeyHashSets) {
  const TensorFormat format{Precision::f16(), Layout::attention_key(2, 4)};
  TensorFormat other = format;
  other.precision = Precision::f8f143(0);
  TensorFormat scaled = other;
  scaled.precision = Precision::f8f143(2);
  TensorFormat restrided = format;
  restrided.layout.tiling.axes[1].tile_stride = none;

  EXPECT_EQ(std::hash<TensorFormat>{}(format), std::hash<TensorFormat>{}(TensorFormat{format}));
  const std::unordered_set<TensorFormat> formats = {format, other, scaled, restrided, format};
  EXPECT_EQ(formats.size(), 4U);

  const std::unordered_set<TensorType> types = {TensorType{TensorShape{{8, 4}}, format},
                                                TensorType{TensorShape{{4, 8}}, format},
                                                TensorType{TensorShape{{8, 4}}, format}};
  EXPECT_EQ(types.size(), 2U);
}

// ---- 8-bit cast layouts ------------------------------------------------------

TensorType typed(std::vector<std::uint32_t> shape, Layout layout, Precision precision = Precision::f16()) {
  return TensorType{TensorShape{std::move(shape)}, TensorFormat{precision, std::move(layout)}};
}

Layout with_order(Layout layout, ElementOrder order) {
  layout.order = order;
  return layout;
}

// An AMP left operand whose last axis is cut into `parts` shards of panels of 16.
Layout left_columns(std::uint16_t parts, std::uint32_t alignment = 1, AxisPadding padding = Padded) {
  return Layout{.order = ElementOrder::amp(AmpOrder::Left),
                .tiling = TensorTiling{.axes = {AxisTiling{.axis = trail(1),
                                                           .parts = parts,
                                                           .panel = 16,
                                                           .padding_multiple = 16,
                                                           .shard_alignment = alignment,
                                                           .padding = padding,
                                                           .tile_stride = none}},
                                       .tile_count = parts,
                                       .replication = 1},
                .memory_class = MemoryClass::Vexa21Standard};
}

TEST(Fp8CastLayout, KeepsLayoutsWhoseVectorAxisHoldsWholeVectors) {
  const Layout row_major = Layout::row_sharded(2);
  const Layout block64 = Layout::block_major_matrix_storage(64, 16, 1, 1, 1, MemoryClass::Vexa21Standard);
  const Layout block16 = Layout::block_major_matrix_storage(16, 16, 1, 1, 1, MemoryClass::Vexa21Standard);
  const Layout output = Layout::amp_output_grid(64, 2, 2, 1, false);
  const Layout transposed_output = with_order(Layout::row_sharded(7), ElementOrder::amp(AmpOrder::TransposedOutput));
  const Layout key = Layout::attention_key(1, 1);
  const Layout transposed_left = Layout::amp_transposed_left_parallel_grid(16, 2, 1, 1, 2);
  const Layout untiled_transposed_left{.order = ElementOrder::amp(AmpOrder::TransposedLeft),
                                       .tiling = TensorTiling{.axes = {}, .tile_count = 1, .replication = 1},
                                       .memory_class = MemoryClass::Vexa21Standard};

  struct Case {
    const char* name;
    TensorType type;
    std::optional<Layout> expected;
  };
  const std::vector<Case> cases = {
      {"row-major as it is", typed({3, 5}, row_major), row_major},
      {"block-major row block 64", typed({64, 16}, block64), block64},
      {"block-major row block 16", typed({64, 16}, block16), none},
      {"product output, not even resolved", typed({2, 64}, output), output},
      {"transposed output on a shape it does not fit", typed({1}, transposed_output), transposed_output},
      {"key with 32-wide columns", typed({1, 64, 32}, key), key},
      {"key with 16-wide columns", typed({1, 64, 16}, key), none},
      {"key that does not resolve", typed({64, 16}, key), none},
      {"transposed left, rows in shards of 32", typed({64, 8}, transposed_left), transposed_left},
      {"transposed left, rows in shards of 32 and 16", typed({48, 8}, transposed_left), none},
      {"transposed left, resolved with one axis", typed({64}, untiled_transposed_left), none},
      {"left, columns in shards of 32", typed({4, 64}, left_columns(2)), left_columns(2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.type.fp8_cast_layout(), c.expected);
  }
}

TEST(Fp8CastLayout, LeftOperandAlignsAShortTailShard) {
  // Columns 48 in panels of 16 over two shards: 32 and 16.
  EXPECT_EQ(typed({4, 48}, left_columns(2)).fp8_cast_layout(), left_columns(2, 32));
  // The precision is not looked at.
  EXPECT_EQ(typed({4, 48}, left_columns(2), Precision::f32()).fp8_cast_layout(), left_columns(2, 32));
  // Columns 80 over two shards: 48 and 32; a short shard before the tail cannot be fixed.
  EXPECT_EQ(typed({4, 80}, left_columns(2)).fp8_cast_layout(), none);

  // The last axis named from the front counts as well.
  Layout leading = left_columns(2);
  leading.tiling.axes[0].axis = lead(1);
  Layout leading_aligned = leading;
  leading_aligned.tiling.axes[0].shard_alignment = 32;
  EXPECT_EQ(typed({4, 48}, leading).fp8_cast_layout(), leading_aligned);

  // No tiling cuts the last axis (20 columns in one shard): nothing to align.
  EXPECT_EQ(typed({4, 20}, with_order(Layout::row_sharded(2), ElementOrder::amp(AmpOrder::Left))).fp8_cast_layout(),
            none);
  // Does not resolve.
  EXPECT_EQ(typed({4, 50}, left_columns(2, 1, Exact)).fp8_cast_layout(), none);
}

TEST(Fp8ProducerLayout, RowMajorProducerWritesTheLeftOperandOrder) {
  const TensorFormat left_f8{Precision::f8f143(0), left_columns(1)};
  const Layout rows = Layout::row_sharded(2);

  // Columns already whole vectors: only the order changes.
  EXPECT_EQ(typed({8, 64}, rows).fp8_producer_layout(left_f8), with_order(rows, ElementOrder::amp(AmpOrder::Left)));

  // 20 columns, not cut: a padding tiling aligns the row to 32.
  Layout appended = with_order(rows, ElementOrder::amp(AmpOrder::Left));
  appended.tiling.axes.push_back(AxisTiling{.axis = trail(1),
                                            .parts = 1,
                                            .groups = 1,
                                            .panel = 1,
                                            .padding_multiple = 1,
                                            .shard_alignment = 32,
                                            .padding = Padded,
                                            .tile_stride = none});
  const auto produced = typed({8, 20}, rows).fp8_producer_layout(left_f8);
  EXPECT_EQ(produced, appended);
  ASSERT_TRUE(produced.has_value());
  const auto resolution = produced->resolve(TensorShape{{8, 20}});
  ASSERT_TRUE(resolution.has_value());
  EXPECT_EQ(resolution->axes[1].maximum_extent(), 32U);

  // 18 columns are not whole 4-element groups.
  EXPECT_EQ(typed({8, 18}, rows).fp8_producer_layout(left_f8), none);
  // Rank 1 has no rows to pack.
  EXPECT_EQ(typed({64}, Layout::row_sharded(1)).fp8_producer_layout(left_f8), none);

  // A cut last axis has its alignment raised; a larger one is kept.
  Layout cut = with_order(left_columns(2, 8), ElementOrder::row_major());
  Layout cut_raised = left_columns(2, 32);
  EXPECT_EQ(typed({4, 48}, cut).fp8_producer_layout(left_f8), cut_raised);
  Layout cut48 = with_order(left_columns(2, 48), ElementOrder::row_major());
  EXPECT_EQ(typed({4, 48}, cut48).fp8_producer_layout(left_f8), left_columns(2, 48));

  // A row-major target keeps the row-major layout.
  const TensorFormat row_f8{Precision::f8f143(0), rows};
  EXPECT_EQ(typed({8, 20}, rows).fp8_producer_layout(row_f8), rows);
}

TEST(Fp8ProducerLayout, OtherOrdersMustShareTheTargetsOrientation) {
  const Layout left = left_columns(2);  // Amp(Left) on [4, 64]: shards of 32
  const auto target = [](ElementOrder order, Precision precision = Precision::f8f143(0)) {
    return TensorFormat{precision, with_order(Layout::row_sharded(1), order)};
  };
  const auto block = [](bool transposed) {
    return ElementOrder::block_major(transposed ? BlockMajorOrder::transposed_matrix(64, 16)
                                                : BlockMajorOrder::matrix(64, 16));
  };
  const TensorType source = typed({4, 64}, left);
  struct Case {
    const char* name;
    TensorFormat target;
    std::optional<Layout> expected;
  };
  const std::vector<Case> cases = {
      {"same order", target(ElementOrder::amp(AmpOrder::Left)), left},
      {"same order, F32 target", target(ElementOrder::amp(AmpOrder::Left), Precision::f32()), left},
      {"transposed block-major", target(block(true)), left},
      {"transposed right", target(ElementOrder::amp(AmpOrder::TransposedRight)), left},
      {"transposed block-major, F32 target", target(block(true), Precision::f32()), none},
      {"block-major", target(block(false)), none},
      {"transposed left", target(ElementOrder::amp(AmpOrder::TransposedLeft)), none},
      {"product output", target(ElementOrder::amp(AmpOrder::Output)), none},
      {"row-major", target(ElementOrder::row_major()), none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(source.fp8_producer_layout(c.target), c.expected);
  }

  const Layout matrix = Layout::block_major_matrix_storage(64, 16, 1, 1, 1, MemoryClass::Vexa21Standard);
  const TensorType block_source = typed({64, 16}, matrix);
  EXPECT_EQ(block_source.fp8_producer_layout(target(ElementOrder::amp(AmpOrder::TransposedLeft))), matrix);
  EXPECT_EQ(block_source.fp8_producer_layout(target(ElementOrder::amp(AmpOrder::TransposedOutput))), none);
  // The cast layout itself must exist.
  const TensorType block16 =
      typed({64, 16}, Layout::block_major_matrix_storage(16, 16, 1, 1, 1, MemoryClass::Vexa21Standard));
  EXPECT_EQ(block16.fp8_producer_layout(TensorFormat{Precision::f8f143(0), block16.format.layout}), none);
}

}  // namespace
}  // namespace vexa_codegen::mid::layout
