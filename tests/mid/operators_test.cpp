#include "vexa_codegen/mid/operators.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "vexa_codegen/mid/catalogue.hpp"

namespace vexa_codegen::mid::operators {
namespace {

using graph::TensorShape;
using layout::AmpOrder;
using layout::AxisPadding;
using layout::AxisTiling;
using layout::BlockMajorOrder;
using layout::ElementOrder;
using layout::MemoryClass;
using layout::TensorAxis;

TensorShape shape(std::vector<std::uint32_t> dimensions) { return TensorShape{std::move(dimensions)}; }

AxisTiling exact(std::uint16_t trailing, std::uint16_t parts, std::optional<std::uint16_t> stride = std::nullopt) {
  return {TensorAxis::trailing(trailing), parts, 1, 1, 1, 1, AxisPadding::Exact, stride};
}

AxisTiling padded(std::uint16_t trailing, std::uint16_t parts, std::uint32_t panel,
                  std::optional<std::uint16_t> stride = std::nullopt) {
  return {TensorAxis::trailing(trailing), parts, 1, panel, panel, 1, AxisPadding::Padded, stride};
}

Layout make_layout(ElementOrder order, std::vector<AxisTiling> axes, std::uint16_t tile_count,
                   MemoryClass memory = MemoryClass::Vexa21Standard, std::uint16_t replication = 1) {
  return {std::move(order), {std::move(axes), tile_count, replication}, memory};
}

Layout row_major(std::vector<AxisTiling> axes = {}, std::uint16_t tile_count = 1) {
  return make_layout(ElementOrder::row_major(), std::move(axes), tile_count);
}

ElementOrder amp(AmpOrder order) { return ElementOrder::amp(order); }
ElementOrder matrix(std::uint16_t row_block = 64) {
  return ElementOrder::block_major(BlockMajorOrder::matrix(row_block, 16));
}
ElementOrder transposed_matrix(std::uint16_t row_block = 64) {
  return ElementOrder::block_major(BlockMajorOrder::transposed_matrix(row_block, 16));
}

OperandRequirement requirement(Layout layout, Precision precision = Precision::f16(), std::uint32_t alignment = 8) {
  return {{std::move(precision), std::move(layout)}, alignment, 0, LocalOperandStaging::Direct, false};
}

TensorType type(TensorShape s, const OperandRequirement& r) { return {std::move(s), r.format}; }

OperatorDispatch tile_kernel(TileKernelSpec kernel) { return {OperatorDispatch::TileKernel{std::move(kernel)}}; }

// ---------------------------------------------------------------------------
// supports: the checks before validation

// An element-wise addition of two [1, 4, 64] operands over two tiles whose
// result may overwrite either operand.
struct AddFixture {
  OperatorPlan plan;
  std::vector<TensorType> inputs;
  TensorShape output = shape({1, 4, 64});

  AddFixture() {
    const OperandRequirement rows = requirement(Layout::row_sharded(2));
    plan.storage.operands = {rows, rows};
    plan.storage.output = rows;
    plan.storage.output_aliases = std::vector<std::uint16_t>{0, 1};
    plan.dispatch = tile_kernel({TileKernelSpec::Add{}});
    plan.operator_ = {MidOperator::Add{}};
    // Only the shapes of the inputs are read: their formats differ on purpose.
    const TensorFormat other{Precision::f32(), make_layout(amp(AmpOrder::Output), {}, 7)};
    inputs = {{output, other}, {output, other}};
  }
};

TEST(OperatorPlanSupports, ChecksArityAlignmentsAndResolution) {
  const AddFixture base;
  EXPECT_TRUE(base.plan.supports(base.inputs, base.output));

  struct Case {
    std::string name;
    std::function<void(AddFixture&)> edit;
  };
  const std::vector<Case> cases{
      {"three shapes for two requirements", [](AddFixture& f) { f.inputs.push_back(f.inputs[0]); }},
      {"one shape for two requirements", [](AddFixture& f) { f.inputs.pop_back(); }},
      {"output alignment not a power of two", [](AddFixture& f) { f.plan.storage.output.alignment = 12; }},
      {"operand alignment zero", [](AddFixture& f) { f.plan.storage.operands[1].alignment = 0; }},
      {"output does not resolve",
       [](AddFixture& f) {
         f.plan.storage.output_aliases.reset();
         f.output = shape({64});
       }},
      {"operand does not resolve", [](AddFixture& f) { f.inputs[1].shape = shape({64}); }},
  };
  for (const Case& c : cases) {
    AddFixture f;
    c.edit(f);
    EXPECT_FALSE(f.plan.supports(f.inputs, f.output)) << c.name;
  }
}

TEST(OperatorPlanSupports, OutputAliasesNeedOneCompatibleOperand) {
  struct Case {
    std::string name;
    std::function<void(AddFixture&)> edit;
    bool supported;
  };
  const std::vector<Case> cases{
      {"empty alias list", [](AddFixture& f) { f.plan.storage.output_aliases = std::vector<std::uint16_t>{}; },
       false},
      {"no alias list", [](AddFixture& f) { f.plan.storage.output_aliases.reset(); }, true},
      {"position beyond the operands", [](AddFixture& f) { f.plan.storage.output_aliases = {{2}}; }, false},
      {"operand of another precision",
       [](AddFixture& f) {
         f.plan.storage.operands[1].format.precision = Precision::f32();
         f.plan.storage.output_aliases = {{1}};
       },
       false},
      {"one of two compatible",
       [](AddFixture& f) { f.plan.storage.operands[1].format.precision = Precision::f32(); }, true},
      {"operand of another shape",
       [](AddFixture& f) {
         f.inputs[0].shape = shape({1, 2, 64});
         f.plan.storage.output_aliases = {{0}};
       },
       false},
  };
  for (const Case& c : cases) {
    AddFixture f;
    c.edit(f);
    EXPECT_EQ(f.plan.supports(f.inputs, f.output), c.supported) << c.name;
  }
}

TEST(OperatorPlanSupports, SharedMemoryGroups) {
  using Group = std::vector<MemoryOperand>;
  const MemoryOperand out = MemoryOperand::output();
  struct Case {
    std::string name;
    std::vector<Group> groups;
    bool supported;
  };
  const std::vector<Case> cases{
      {"output with operand 1", {{out, MemoryOperand::input(1)}}, true},
      {"two groups", {{out, MemoryOperand::input(0)}, {MemoryOperand::input(0), MemoryOperand::input(1)}}, true},
      {"single member", {{out}}, false},
      {"output twice", {{out, out}}, false},
      {"operand twice", {{MemoryOperand::input(0), MemoryOperand::input(1), MemoryOperand::input(0)}}, false},
      {"operand beyond the operands", {{out, MemoryOperand::input(2)}}, false},
  };
  for (const Case& c : cases) {
    AddFixture f;
    f.plan.storage.shared_memory = c.groups;
    EXPECT_EQ(f.plan.supports(f.inputs, f.output), c.supported) << c.name;
  }
}

TEST(OperatorPlanSupports, EndsWithValidation) {
  AddFixture f;
  f.plan.dispatch = tile_kernel({TileKernelSpec::Gelu{}});
  EXPECT_FALSE(f.plan.supports(f.inputs, f.output));
}

TEST(OperatorPlanTensorTypes, PairsShapesWithRequiredFormats) {
  const AddFixture f;
  std::vector<TensorType> inputs = f.inputs;
  inputs.push_back({shape({9}), inputs[0].format});
  const auto [operands, result] = f.plan.tensor_types(inputs, shape({2, 3}));
  ASSERT_EQ(operands.size(), 2U);  // the third shape has no requirement
  EXPECT_EQ(operands[1], (TensorType{f.output, f.plan.storage.operands[1].format}));
  EXPECT_EQ(result, (TensorType{shape({2, 3}), f.plan.storage.output.format}));

  const auto [fewer, ignored] = f.plan.tensor_types({f.inputs[0]}, f.output);
  EXPECT_EQ(fewer.size(), 1U);
}

TEST(AliasCompatible, IndexShapeAndFormat) {
  const OperandRequirement rows = requirement(Layout::row_sharded(2));
  OperandRequirement replicated = rows;
  replicated.format.layout.tiling.replication = 2;
  const std::vector<OperandRequirement> operands{rows, replicated, rows};
  const std::vector<TensorShape> shapes{shape({4, 8}), shape({4, 8})};
  const TensorShape out = shape({4, 8});
  EXPECT_TRUE(alias_compatible(0, operands, shapes, rows.format, out));
  EXPECT_FALSE(alias_compatible(1, operands, shapes, rows.format, out));  // replication differs
  EXPECT_FALSE(alias_compatible(2, operands, shapes, rows.format, out));  // no shape for operand 2
  EXPECT_FALSE(alias_compatible(0, operands, shapes, rows.format, shape({4, 9})));
  const std::vector<TensorType> types{{out, replicated.format}};
  EXPECT_TRUE(alias_compatible(0, operands, types, rows.format, out));  // only the shape of a type counts
}

// ---------------------------------------------------------------------------
// validate: element-wise operators, views and slices

struct UnaryCase {
  std::string name;
  MidOperator op;
  OperatorDispatch dispatch;
  std::vector<TensorType> operands;
  TensorType output;
  PlanCheck expected;
};

PlanCheck check(const UnaryCase& c) {
  OperatorPlan plan;
  for (const TensorType& operand : c.operands) {
    plan.storage.operands.push_back({operand.format, 8, 0, LocalOperandStaging::Direct, false});
  }
  plan.storage.output = {c.output.format, 8, 0, LocalOperandStaging::Direct, false};
  plan.dispatch = c.dispatch;
  plan.operator_ = c.op;
  return plan.validate(c.operands, c.output);
}

TEST(OperatorPlanValidate, ElementWiseViewsAndSlices) {
  const TensorFormat f16{Precision::f16(), row_major()};
  const TensorFormat f8{Precision::f8f143(-4), row_major()};
  const TensorFormat on_two{Precision::f16(), Layout::row_sharded(2)};
  const TensorFormat on_three{Precision::f16(), Layout::row_sharded(3)};
  const TensorType x{shape({1, 8, 128}), f16};
  const TensorType x2{shape({1, 8, 128}), on_two};
  const MidOperator gelu{MidOperator::Gelu{}};
  const MidOperator add{MidOperator::Add{}};
  const MidOperator norm{MidOperator::LayerNorm{}};
  const MidOperator view{MidOperator::View{{1, 2, 4, false}}};  // [1, 8, 128] -> [1, 2, 512]
  const MidOperator slice{MidOperator::Slice{{2, 0, 64}}};       // [1, 8, 128] -> [1, 8, 64]
  const OperatorDispatch alias{OperatorDispatch::Alias{}};
  const OperatorDispatch split_norm{OperatorDispatch::LayerNorm{4}};
  const auto kernel = [](auto spec) { return tile_kernel({spec}); };

  const std::vector<UnaryCase> cases{
      {"gelu", gelu, kernel(TileKernelSpec::Gelu{}), {x}, x, PlanCheck::Valid},
      {"gelu with another kernel", gelu, kernel(TileKernelSpec::Add{}), {x}, x, PlanCheck::DispatchMismatch},
      {"gelu across tile counts", gelu, kernel(TileKernelSpec::Gelu{}), {x2}, x, PlanCheck::TileCountMismatch},
      {"add", add, kernel(TileKernelSpec::Add{}), {x, x}, x, PlanCheck::Valid},
      {"add with the gelu kernel", add, kernel(TileKernelSpec::Gelu{}), {x, x}, x, PlanCheck::DispatchMismatch},
      {"add across tile counts", add, kernel(TileKernelSpec::Add{}), {x, x2}, x, PlanCheck::TileCountMismatch},
      {"layer norm kernel", norm, kernel(TileKernelSpec::LayerNorm{}), {x, x, x}, x, PlanCheck::Valid},
      {"split layer norm", norm, split_norm, {x, x, x}, x, PlanCheck::Valid},
      {"layer norm as an alias", norm, alias, {x, x, x}, x, PlanCheck::DispatchMismatch},
      {"view", view, alias, {x}, {shape({1, 2, 512}), f16}, PlanCheck::Valid},
      {"view keeps no tile count", view, alias, {x2}, {shape({1, 2, 512}), f16}, PlanCheck::Valid},
      {"view to another shape", view, alias, {x}, {shape({1, 4, 256}), f16}, PlanCheck::GeometryMismatch},
      {"view to another precision", view, alias, {x}, {shape({1, 2, 512}), f8}, PlanCheck::GeometryMismatch},
      {"view with a kernel", view, kernel(TileKernelSpec::Gelu{}), {x}, {shape({1, 2, 512}), f16},
       PlanCheck::DispatchMismatch},
      {"view of two operands", view, alias, {x, x}, {shape({1, 2, 512}), f16}, PlanCheck::WrongArity},
      {"slice", slice, alias, {x}, {shape({1, 8, 64}), f16}, PlanCheck::Valid},
      {"slice of another scale", slice, alias, {{x.shape, {Precision::f8f143(-3), row_major()}}},
       {shape({1, 8, 64}), f8}, PlanCheck::GeometryMismatch},
      // Two rows over three tiles leave one shard empty: fatal for an alias,
      // not looked at for a tile kernel.
      {"alias onto an empty shard", view, alias, {{shape({1, 8, 128}), on_three}}, {shape({1, 2, 512}), on_three},
       PlanCheck::UnresolvedOutput},
      {"alias onto an unresolvable output", view, alias, {x}, {shape({512}), on_two}, PlanCheck::UnresolvedOutput},
      {"kernel onto an empty shard", gelu, kernel(TileKernelSpec::Gelu{}), {{shape({2, 4}), on_three}},
       {shape({2, 4}), on_three}, PlanCheck::Valid},
  };
  for (const UnaryCase& c : cases) {
    EXPECT_EQ(check(c), c.expected) << c.name;
  }
}

TEST(OperatorPlanValidate, ArityComesFirst) {
  OperatorPlan plan;
  plan.storage.operands = {requirement(row_major()), requirement(row_major())};
  plan.storage.output = requirement(row_major());
  plan.dispatch = tile_kernel({TileKernelSpec::Add{}});
  plan.operator_ = {MidOperator::Add{}};
  const TensorType x{shape({4}), plan.storage.output.format};
  EXPECT_EQ(plan.validate({x, x, x}, x), PlanCheck::WrongArity);
  EXPECT_EQ(plan.validate({x, x}, x), PlanCheck::Valid);
}

// ---------------------------------------------------------------------------
// validate: attention

// Blocked attention over [2, 64, 64] query, key and value on one tile.
struct AttentionFixture {
  MidOperator::FlashAttention op{{false, graph::AttentionScale::inverse_sqrt_query_width()},
                                 AccumulationPrecision::F32};
  OperatorDispatch::FlashAttention dispatch{std::nullopt, std::nullopt, 64, 1, 1, false};
  std::vector<Layout> operands{make_layout(amp(AmpOrder::Left), {}, 1),
                               make_layout(amp(AmpOrder::TransposedRight), {}, 1), make_layout(matrix(), {}, 1)};
  Layout output = row_major();

  [[nodiscard]] PlanCheck check() const {
    OperatorPlan plan;
    std::vector<TensorType> types;
    for (const Layout& layout : operands) {
      plan.storage.operands.push_back(requirement(layout));
      types.push_back(type(shape({2, 64, 64}), plan.storage.operands.back()));
    }
    plan.storage.output = requirement(output);
    plan.dispatch = {dispatch};
    plan.operator_ = {op};
    return plan.validate(types, type(shape({2, 64, 64}), plan.storage.output));
  }
};

TEST(OperatorPlanValidate, BlockedAttention) {
  EXPECT_EQ(AttentionFixture{}.check(), PlanCheck::Valid);
  const Layout on_two = make_layout(amp(AmpOrder::TransposedRight), {exact(3, 2)}, 2);
  struct Case {
    std::string name;
    std::function<void(AttentionFixture&)> edit;
    PlanCheck expected;
  };
  const std::vector<Case> cases{
      {"causal", [](AttentionFixture& f) { f.op.options.causal = true; }, PlanCheck::GeometryMismatch},
      {"F16 accumulation", [](AttentionFixture& f) { f.op.accumulate = AccumulationPrecision::F16; },
       PlanCheck::GeometryMismatch},
      {"block 128 unaligned", [](AttentionFixture& f) {
         f.dispatch.block = 128;
         f.dispatch.unaligned_block = true;
       },
       PlanCheck::Valid},
      {"block 128 aligned", [](AttentionFixture& f) { f.dispatch.block = 128; }, PlanCheck::GeometryMismatch},
      {"block 96", [](AttentionFixture& f) {
         f.dispatch.block = 96;
         f.dispatch.unaligned_block = true;
       },
       PlanCheck::GeometryMismatch},
      {"block 0", [](AttentionFixture& f) {
         f.dispatch.block = 0;
         f.dispatch.unaligned_block = true;
       },
       PlanCheck::GeometryMismatch},
      {"no output parameter", [](AttentionFixture& f) { f.dispatch.output_parameter = 0; },
       PlanCheck::GeometryMismatch},
      {"no value parameter", [](AttentionFixture& f) { f.dispatch.value_parameter = 0; },
       PlanCheck::GeometryMismatch},
      {"query transposed", [](AttentionFixture& f) { f.operands[0].order = amp(AmpOrder::TransposedLeft); },
       PlanCheck::GeometryMismatch},
      {"key as left operand", [](AttentionFixture& f) { f.operands[1].order = amp(AmpOrder::Left); },
       PlanCheck::GeometryMismatch},
      {"value transposed", [](AttentionFixture& f) { f.operands[2].order = transposed_matrix(); },
       PlanCheck::GeometryMismatch},
      {"output in AMP order", [](AttentionFixture& f) { f.output.order = amp(AmpOrder::Left); },
       PlanCheck::GeometryMismatch},
      {"output on other tiles than the query",
       [](AttentionFixture& f) { f.output = row_major({exact(3, 2)}, 2); }, PlanCheck::GeometryMismatch},
      {"key and value on different tiles", [&](AttentionFixture& f) { f.operands[1] = on_two; },
       PlanCheck::GeometryMismatch},
      {"two operands", [](AttentionFixture& f) { f.operands.pop_back(); }, PlanCheck::WrongArity},
  };
  for (const Case& c : cases) {
    AttentionFixture f;
    c.edit(f);
    EXPECT_EQ(f.check(), c.expected) << c.name;
  }
}

TEST(OperatorPlanValidate, AttentionKernelMustMatchTheOperator) {
  const TensorType x{shape({2, 64, 64}), {Precision::f16(), row_major()}};
  const graph::AttentionScale scale = graph::AttentionScale::inverse_sqrt_query_width();
  const MidOperator op{MidOperator::FlashAttention{{true, scale}, AccumulationPrecision::F32}};
  const auto attention = [](graph::AttentionScale s, bool causal, AccumulationPrecision a) {
    return tile_kernel({TileKernelSpec::Attention{s, causal, a}});
  };
  const std::vector<UnaryCase> cases{
      {"matching kernel", op, attention(scale, true, AccumulationPrecision::F32), {x, x, x}, x, PlanCheck::Valid},
      {"other scale", op, attention(graph::AttentionScale::value_bits(1), true, AccumulationPrecision::F32),
       {x, x, x}, x, PlanCheck::DispatchMismatch},
      {"not causal", op, attention(scale, false, AccumulationPrecision::F32), {x, x, x}, x,
       PlanCheck::DispatchMismatch},
      {"other accumulation", op, attention(scale, true, AccumulationPrecision::F16), {x, x, x}, x,
       PlanCheck::DispatchMismatch},
      {"other kernel", op, tile_kernel({TileKernelSpec::Add{}}), {x, x, x}, x, PlanCheck::DispatchMismatch},
      {"alias", op, {OperatorDispatch::Alias{}}, {x, x, x}, x, PlanCheck::DispatchMismatch},
  };
  for (const UnaryCase& c : cases) {
    EXPECT_EQ(check(c), c.expected) << c.name;
  }
}

// ---------------------------------------------------------------------------
// validate: matrix products

// A product [M, K] x [K, N] -> [M, N] built by `gemm_plan`. The defaults are
// an undistributed F16 product on one tile: activations [8, 128] in
// `Amp(Left)` with K padded to 64, weights [128, 64] in 64 x 16 blocks, the
// result [8, 64] in `Amp(Left)`, chunk 64 and column block 64.
struct GemmFixture {
  Precision multiply = Precision::f16();
  graph::GemmOptions options;
  GemmOrientation orientation = GemmOrientation::Normal;
  std::uint32_t chunk = 64;
  std::uint32_t block = 64;
  std::optional<GemmDistribution> distribution;
  std::vector<TensorShape> shapes{shape({8, 128}), shape({128, 64})};
  TensorShape output_shape = shape({8, 64});
  std::vector<Layout> layouts{
      make_layout(amp(AmpOrder::Left), {exact(2, 1), padded(1, 1, 64)}, 1),
      make_layout(matrix(), {padded(1, 1, 64, 1), padded(2, 1, 64)}, 1),
  };
  Layout output = make_layout(amp(AmpOrder::Left), {exact(2, 1), padded(1, 1, 64)}, 1, MemoryClass::Vexa21Interleaved);

  [[nodiscard]] OperatorPlan plan() const {
    const MidOperator op{MidOperator::Gemm{options, multiply, AccumulationPrecision::F16}};
    const OperatorDispatch dispatch{OperatorDispatch::Gemm{chunk, block, distribution, orientation}};
    return catalogue::gemm_plan(op, {layouts[0], layouts[1], output}, 16, dispatch);
  }

  [[nodiscard]] PlanCheck check(const OperatorPlan& p) const {
    std::vector<TensorType> operands;
    for (std::size_t i = 0; i < p.storage.operands.size(); ++i) {
      operands.push_back(type(shapes[i], p.storage.operands[i]));
    }
    return p.validate(operands, type(output_shape, p.storage.output));
  }
  [[nodiscard]] PlanCheck check() const { return check(plan()); }
};

struct GemmCase {
  std::string name;
  std::function<void(GemmFixture&)> edit;
  PlanCheck expected;
};

void expect_cases(const std::vector<GemmCase>& cases) {
  for (const GemmCase& c : cases) {
    GemmFixture f;
    c.edit(f);
    EXPECT_EQ(f.check(), c.expected) << c.name;
  }
}

TEST(GemmValidate, DispatchArityAndTileCounts) {
  EXPECT_EQ(GemmFixture{}.check(), PlanCheck::Valid);
  GemmFixture f;
  OperatorPlan plan = f.plan();
  plan.dispatch = tile_kernel({TileKernelSpec::Add{}});
  EXPECT_EQ(f.check(plan), PlanCheck::DispatchMismatch);
  plan = f.plan();
  plan.storage.operands.push_back(plan.storage.operands[1]);
  f.shapes.push_back(f.shapes[1]);
  EXPECT_EQ(f.check(plan), PlanCheck::WrongArity);

  expect_cases({
      {"activations on two tiles",
       [](GemmFixture& g) { g.layouts[0] = make_layout(amp(AmpOrder::Left), {exact(2, 2), padded(1, 1, 64)}, 2); },
       PlanCheck::TileCountMismatch},
  });
}

TEST(GemmValidate, Orders) {
  expect_cases({
      {"F16 result in Amp(Output)", [](GemmFixture& f) { f.output.order = amp(AmpOrder::Output); },
       PlanCheck::OrderMismatch},
      {"F32 result in Amp(Output)",
       [](GemmFixture& f) {
         f.multiply = Precision::f32();
         f.output.order = amp(AmpOrder::Output);
       },
       PlanCheck::Valid},
      {"F32 result in Amp(Left)", [](GemmFixture& f) { f.multiply = Precision::f32(); }, PlanCheck::OrderMismatch},
      {"F8 result in Amp(Left)", [](GemmFixture& f) { f.multiply = Precision::f8f143(-4); }, PlanCheck::Valid},
      {"block-major result in the weights' orientation", [](GemmFixture& f) { f.output.order = matrix(); },
       PlanCheck::OrderMismatch},
      {"grouped transposed block-major result", [](GemmFixture& f) { f.output.order = transposed_matrix(); },
       PlanCheck::Valid},
      {"transposed block-major result without a group",
       [](GemmFixture& f) { f.output.order = transposed_matrix(48); }, PlanCheck::OrderMismatch},
      {"grouped block-major result of an F32 product",
       [](GemmFixture& f) {
         f.multiply = Precision::f32();
         f.output.order = transposed_matrix();
       },
       PlanCheck::OrderMismatch},
      {"activations block-major", [](GemmFixture& f) { f.layouts[0].order = matrix(); }, PlanCheck::OrderMismatch},
      {"weights transposed", [](GemmFixture& f) { f.layouts[1].order = transposed_matrix(); },
       PlanCheck::OrderMismatch},
      {"transposed left operand", [](GemmFixture& f) { f.options.transpose_left = true; },
       PlanCheck::OrderMismatch},
      {"transposed right operand", [](GemmFixture& f) { f.options.transpose_right = true; },
       PlanCheck::OrderMismatch},
  });
}

// The transposed product: weights [64, 128] in transposed blocks stream
// against activations [128, 8] in `Amp(TransposedLeft)`; the result is [64, 8].
void make_swapped(GemmFixture& f) {
  f.orientation = GemmOrientation::Swapped;
  f.shapes = {shape({64, 128}), shape({128, 8})};
  f.output_shape = shape({64, 8});
  f.layouts = {make_layout(transposed_matrix(), {}, 1), make_layout(amp(AmpOrder::TransposedLeft), {}, 1)};
  f.output = make_layout(amp(AmpOrder::TransposedLeft), {}, 1, MemoryClass::Vexa21Interleaved);
}

TEST(GemmValidate, SwappedOrientation) {
  expect_cases({
      {"swapped", make_swapped, PlanCheck::Valid},
      {"swapped with a grouped block-major result",
       [](GemmFixture& f) {
         make_swapped(f);
         f.output.order = matrix();
       },
       PlanCheck::Valid},
      {"swapped F16 result in Amp(TransposedOutput)",
       [](GemmFixture& f) {
         make_swapped(f);
         f.output.order = amp(AmpOrder::TransposedOutput);
       },
       PlanCheck::OrderMismatch},
      {"swapped F32 result in Amp(TransposedOutput)",
       [](GemmFixture& f) {
         make_swapped(f);
         f.multiply = Precision::f32();
         f.output.order = amp(AmpOrder::TransposedOutput);
       },
       PlanCheck::Valid},
      {"swapped with normal operand orders", [](GemmFixture& f) { f.orientation = GemmOrientation::Swapped; },
       PlanCheck::OrderMismatch},
      // The streamed operand is operand 1: its second-last axis (128) must be a
      // whole number of chunks.
      {"swapped streamed axis not whole chunks",
       [](GemmFixture& f) {
         make_swapped(f);
         f.chunk = 96;
       },
       PlanCheck::GeometryMismatch},
      {"swapped product with 32-row result blocks",
       [](GemmFixture& f) {
         make_swapped(f);
         f.shapes[0] = shape({32, 128});
         f.output_shape = shape({32, 8});
         f.block = 32;
         f.layouts[0] = make_layout(transposed_matrix(), {padded(2, 1, 64)}, 1);
         f.output = make_layout(amp(AmpOrder::TransposedLeft), {padded(2, 1, 32)}, 1);
       },
       PlanCheck::Valid},
  });
}

TEST(GemmValidate, Geometry) {
  expect_cases({
      {"chunk 0", [](GemmFixture& f) { f.chunk = 0; }, PlanCheck::GeometryMismatch},
      {"block 0", [](GemmFixture& f) { f.block = 0; }, PlanCheck::GeometryMismatch},
      {"activations of rank 1",
       [](GemmFixture& f) {
         f.shapes[0] = shape({128});
         f.layouts[0] = make_layout(amp(AmpOrder::Left), {}, 1);
       },
       PlanCheck::GeometryMismatch},
      {"reduction not whole chunks", [](GemmFixture& f) { f.chunk = 96; }, PlanCheck::GeometryMismatch},
      {"result columns wider than the block",
       [](GemmFixture& f) {
         f.shapes[1] = shape({128, 128});
         f.output_shape = shape({8, 128});
       },
       PlanCheck::GeometryMismatch},
      {"result columns equal to a wider block",
       [](GemmFixture& f) {
         f.shapes[1] = shape({128, 128});
         f.output_shape = shape({8, 128});
         f.block = 128;
       },
       PlanCheck::Valid},
      {"weight shards narrower than the block",
       [](GemmFixture& f) {
         f.shapes[1] = shape({128, 128});
         f.output_shape = shape({8, 128});
         f.block = 128;
         f.layouts[1] = make_layout(matrix(), {padded(1, 2, 64, 1), padded(2, 1, 64)}, 2);
       },
       PlanCheck::GeometryMismatch},
      {"result panels narrower than a block that the result fills",
       [](GemmFixture& f) { f.output.tiling.axes[1] = padded(1, 1, 32); }, PlanCheck::Valid},
      {"result narrower than a block",
       [](GemmFixture& f) {
         f.output_shape = shape({8, 32});
         f.shapes[1] = shape({128, 32});
         f.output.tiling.axes[1] = padded(1, 1, 32);
       },
       PlanCheck::GeometryMismatch},
      {"flattened result",
       [](GemmFixture& f) {
         f.output.tiling.axes = {{TensorAxis::flattened(), 1, 1, 8, 1, 1, AxisPadding::Exact, std::nullopt}};
       },
       PlanCheck::GeometryMismatch},
      {"weights do not resolve", [](GemmFixture& f) { f.shapes[1] = shape({128}); }, PlanCheck::GeometryMismatch},
  });
}

// Empty shards are tolerated unless an operand is replicated or the weights
// are cut along their rows.
TEST(GemmValidate, EmptyShards) {
  // Activations [8, 128] with K cut in three 64-element panels: 128 fills two,
  // so the third shard is empty. The result rows follow the activation tiles.
  const auto split_reduction = [](GemmFixture& f, std::uint16_t replication) {
    const auto tiles = static_cast<std::uint16_t>(3 * replication);
    f.layouts[0] = make_layout(amp(AmpOrder::Left), {padded(1, 3, 64)}, tiles, MemoryClass::Vexa21Standard,
                               replication);
    f.output = make_layout(amp(AmpOrder::Left), {exact(2, tiles), padded(1, 1, 64)}, tiles);
  };
  // Weights [128, 64] with K cut in two or three 64-row panels.
  const auto split_weights = [](GemmFixture& f, std::uint16_t parts) {
    f.layouts[1] = make_layout(matrix(), {padded(1, 1, 64, 1), padded(2, parts, 64)}, parts);
  };
  expect_cases({
      {"empty activation shard", [&](GemmFixture& f) { split_reduction(f, 1); }, PlanCheck::Valid},
      {"empty shard of replicated activations", [&](GemmFixture& f) { split_reduction(f, 2); },
       PlanCheck::GeometryMismatch},
      {"empty activation shard with replicated weights",
       [&](GemmFixture& f) {
         split_reduction(f, 1);
         f.layouts[1] = make_layout(matrix(), {padded(1, 1, 64, 1), padded(2, 1, 64)}, 2,
                                    MemoryClass::Vexa21Standard, 2);
       },
       PlanCheck::GeometryMismatch},
      {"weights cut along full rows", [&](GemmFixture& f) { split_weights(f, 2); }, PlanCheck::Valid},
      {"weights cut with an empty row shard", [&](GemmFixture& f) { split_weights(f, 3); },
       PlanCheck::GeometryMismatch},
  });
}

// A distributed product: activations [64, 256] with K in two parts, weights
// [256, 512] with 8 column shards of 64, and the result [64, 512] on a grid of
// 4 row parts and 8 column parts (32 tiles), 2 inner partitions.
void distribute(GemmFixture& f) {
  f.distribution = GemmDistribution{ReductionStaging::complete(), 4, 8, 2, 1, 1};
  f.shapes = {shape({64, 256}), shape({256, 512})};
  f.output_shape = shape({64, 512});
  f.layouts = {make_layout(amp(AmpOrder::Left), {padded(1, 2, 64)}, 2),
               make_layout(matrix(), {padded(1, 8, 64, 1)}, 8)};
  f.output = Layout::amp_left_result_grid(64, 32, 4, 8, false);
}

TEST(GemmValidate, Distribution) {
  const auto with = [](std::function<void(GemmFixture&)> edit) {
    return [edit](GemmFixture& f) {
      distribute(f);
      edit(f);
    };
  };
  const auto spread_result_blocks = [](GemmFixture& f, std::uint16_t inner_partitions) {
    f.distribution->result_row_partitions = 2;
    f.distribution->result_column_partitions = 2;
    f.distribution->inner_partitions = inner_partitions;
    f.output = Layout::amp_left_result_grid(32, 128, 8, 16, false);
  };
  expect_cases({
      {"4 x 8 grid on 32 tiles", distribute, PlanCheck::Valid},
      {"a single inner partition", with([](GemmFixture& f) { f.distribution->inner_partitions = 1; }),
       PlanCheck::GeometryMismatch},
      {"result on 16 tiles", with([](GemmFixture& f) { f.output = Layout::amp_left_result_grid(64, 16, 2, 8, false); }),
       PlanCheck::GeometryMismatch},
      {"result grid 8 x 4", with([](GemmFixture& f) { f.output = Layout::amp_left_result_grid(64, 32, 8, 4, false); }),
       PlanCheck::GeometryMismatch},
      {"no result rows", with([](GemmFixture& f) { f.distribution->result_row_partitions = 0; }),
       PlanCheck::GeometryMismatch},
      // Each result block spread over 2 x 2 tiles: 8 x 16 result parts on 128
      // tiles, and at least 4 inner partitions.
      {"result blocks over 2 x 2 tiles", with([&](GemmFixture& f) { spread_result_blocks(f, 4); }),
       PlanCheck::Valid},
      {"fewer inner partitions than result tiles per block", with([&](GemmFixture& f) { spread_result_blocks(f, 3); }),
       PlanCheck::GeometryMismatch},
      // Distributed, result shards may be wider than the column block; they
      // need only be whole 16-column groups.
      {"result shards wider than the block",
       with([](GemmFixture& f) {
         f.shapes[1] = shape({256, 1024});
         f.output_shape = shape({64, 1024});
         f.layouts[1] = make_layout(matrix(), {padded(1, 8, 128, 1)}, 8);
         f.output = Layout::amp_left_result_grid(128, 32, 4, 8, false);
       }),
       PlanCheck::Valid},
      // Distributed, the weights need one column shard as wide as the block,
      // not all: here 448 columns fill seven of eight 64-column shards.
      {"weights with an empty column shard",
       with([](GemmFixture& f) {
         f.shapes[1] = shape({256, 448});
         f.output_shape = shape({64, 448});
         f.output = Layout::amp_left_result_grid(16, 32, 4, 8, false);
       }),
       PlanCheck::Valid},
      {"result shards not whole 16-column groups",
       with([](GemmFixture& f) {
         f.shapes[1] = shape({256, 576});
         f.output_shape = shape({64, 576});
         f.layouts[1] = make_layout(matrix(), {padded(1, 8, 72, 1)}, 8);
         f.output = Layout::amp_left_result_grid(72, 32, 4, 8, false);
       }),
       PlanCheck::GeometryMismatch},
  });
}

// ---------------------------------------------------------------------------
// gemm_partial_tensor

OperatorDispatch distributed(std::uint16_t rows, std::uint16_t columns, GemmOrientation orientation,
                             std::uint32_t block = 64) {
  return {OperatorDispatch::Gemm{64, block, GemmDistribution{ReductionStaging::complete(), rows, columns, 2, 1, 1},
                                 orientation}};
}

TEST(GemmPartialTensor, CopiesTheOutputWithoutDistribution) {
  const TensorType output{shape({64, 512}), {Precision::f16(), Layout::amp_left_result_grid(64, 32, 4, 8, false)}};
  const OperatorDispatch local{OperatorDispatch::Gemm{64, 64, std::nullopt, GemmOrientation::Normal}};
  EXPECT_EQ(local.gemm_partial_tensor(output), output);
  EXPECT_EQ(tile_kernel({TileKernelSpec::Add{}}).gemm_partial_tensor(output), output);
}

TEST(GemmPartialTensor, NormalGridTakesTheResultColumnPadding) {
  // The result's column tiling: 8 parts of 32-element panels padded to 128,
  // shards aligned to 16.
  AxisTiling columns = padded(1, 8, 32);
  columns.padding_multiple = 128;
  columns.shard_alignment = 16;
  const TensorType output{shape({64, 512}),
                          {Precision::f16(), make_layout(amp(AmpOrder::Left), {columns, exact(2, 4)}, 32)}};
  const TensorType partial = distributed(4, 8, GemmOrientation::Normal).gemm_partial_tensor(output);
  EXPECT_EQ(partial.shape, output.shape);
  EXPECT_EQ(partial.format.precision, Precision::f16());
  const Layout& layout = partial.format.layout;
  EXPECT_EQ(layout.order, amp(AmpOrder::Left));
  EXPECT_EQ(layout.memory_class, MemoryClass::Vexa21Interleaved);
  EXPECT_EQ(layout.tiling.tile_count, 32);
  ASSERT_EQ(layout.tiling.axes.size(), 2U);
  AxisTiling expected_columns = padded(1, 8, 32, 1);
  expected_columns.padding_multiple = 128;
  expected_columns.shard_alignment = 16;
  EXPECT_EQ(layout.tiling.axes[0], expected_columns);
  EXPECT_EQ(layout.tiling.axes[1], exact(2, 4, 8));

  // With another number of column parts the alignment is not taken over.
  TensorType four_columns = output;
  four_columns.format.layout.tiling.axes[0].parts = 4;
  const Layout grid = distributed(4, 8, GemmOrientation::Normal).gemm_partial_tensor(four_columns).format.layout;
  EXPECT_EQ(grid.tiling.axes[0].panel, 32U);
  EXPECT_EQ(grid.tiling.axes[0].shard_alignment, 1U);
}

TEST(GemmPartialTensor, NormalGridOrderFollowsTheResult) {
  const auto order_for = [](ElementOrder result_order) {
    const TensorType output{shape({64, 512}), {Precision::f16(), make_layout(result_order, {}, 32)}};
    return distributed(4, 8, GemmOrientation::Normal).gemm_partial_tensor(output).format.layout.order;
  };
  EXPECT_EQ(order_for(amp(AmpOrder::Left)), amp(AmpOrder::Left));
  EXPECT_EQ(order_for(amp(AmpOrder::Output)), amp(AmpOrder::Output));
  EXPECT_EQ(order_for(row_major().order), amp(AmpOrder::Output));
  EXPECT_EQ(order_for(transposed_matrix()), transposed_matrix());     // grouped block-major order is kept
  EXPECT_EQ(order_for(transposed_matrix(48)), amp(AmpOrder::Output));  // no output group
}

TEST(GemmPartialTensor, SwappedGridPutsRowPartsOnTheLastAxis) {
  // Result [512, 64]: the block-padded axis is the second-last.
  AxisTiling rows = padded(2, 4, 128);
  const TensorType output{shape({512, 64}), {Precision::f32(), make_layout(amp(AmpOrder::TransposedOutput),
                                                                           {rows, exact(1, 2)}, 8)}};
  const Layout layout = distributed(2, 4, GemmOrientation::Swapped).gemm_partial_tensor(output).format.layout;
  EXPECT_EQ(layout.order, amp(AmpOrder::TransposedOutput));
  EXPECT_EQ(layout.tiling.tile_count, 8);
  ASSERT_EQ(layout.tiling.axes.size(), 2U);
  // Cp = 4 block-padded parts on Trailing(2), with the result's 128 panels;
  // Rp = 2 parts on Trailing(1).
  EXPECT_EQ(layout.tiling.axes[0], padded(2, 4, 128, 1));
  EXPECT_EQ(layout.tiling.axes[1], exact(1, 2, 4));

  TensorType left = output;
  left.format.layout.order = amp(AmpOrder::TransposedLeft);
  EXPECT_EQ(distributed(2, 4, GemmOrientation::Swapped).gemm_partial_tensor(left).format.layout.order,
            amp(AmpOrder::TransposedLeft));
}

TEST(GemmPartialTensor, TileCountSaturates) {
  const TensorType output{shape({64, 64}), {Precision::f16(), make_layout(amp(AmpOrder::Left), {}, 1)}};
  const TensorType partial = distributed(256, 256, GemmOrientation::Normal).gemm_partial_tensor(output);
  EXPECT_EQ(partial.format.layout.tiling.tile_count, 65535);
}

}  // namespace
}  // namespace vexa_codegen::mid::operators
