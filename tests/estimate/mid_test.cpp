#include "vexa_codegen/estimate/mid.hpp"

#include <gtest/gtest.h>

#include "vexa_codegen/estimate/tensor.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::estimate::mid {
namespace {

namespace program = vexa_codegen::mid;
namespace operators = vexa_codegen::mid::operators;
namespace prim = vexa_codegen::mid::primitive;
using layout::Layout;
using layout::MemoryClass;
using layout::Precision;
using layout::TensorFormat;
using layout::TensorType;
using program::MidOperation;
using program::MidOperationKind;
using program::MidProgram;
using program::MidValue;
using program::MidValueId;
using vexa_codegen::mid::optimistic::CycleEstimate;

TensorType f16(std::vector<std::uint32_t> shape, Layout layout) {
  return TensorType{graph::TensorShape{std::move(shape)}, TensorFormat{Precision::f16(), std::move(layout)}};
}

// Builds programs value by value and step by step, as the lowering does.
class ProgramBuilder {
 public:
  MidValueId input(TensorType type) {
    const MidValueId id = value(std::move(type));
    program_.inputs.push_back({"", id, false});
    return id;
  }
  MidValueId value(TensorType type) {
    const auto id = static_cast<MidValueId>(program_.values.size());
    program_.values.push_back(MidValue{std::move(type), id, 0, id, 0});
    return id;
  }
  MidValueId step(std::vector<MidValueId> inputs, TensorType type, prim::Primitive primitive) {
    const MidValueId id = value(std::move(type));
    program_.operations.push_back(
        MidOperation{std::move(inputs), {id}, MidOperationKind{MidOperationKind::Primitive{std::move(primitive)}}, {}, {}});
    return id;
  }
  MidProgram& program() { return program_; }

 private:
  MidProgram program_;
};

prim::Primitive identity_rearrange() { return {prim::Primitive::Rearrange{{}, true}}; }

prim::Primitive reduce(operators::ReductionStaging staging) { return {prim::Primitive::Reduce{staging, 0}}; }

TEST(Analysis, ProgramWithoutOperationsCostsNothing) {
  ProgramBuilder builder;
  builder.input(f16({8, 128}, Layout::row_sharded(2)));
  builder.program().outputs = {0};
  const auto result = analyze(builder.program());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->first, (CycleEstimate{0, 0}));
  EXPECT_EQ(result->second, (memory::MemoryPeaks{}));
}

TEST(Analysis, SameDistributionRearrangeIsALocalCopy) {
  ProgramBuilder builder;
  const auto type = f16({8, 128}, Layout::row_sharded(2));
  const MidValueId x = builder.input(type);
  const MidValueId y = builder.step({x}, type, identity_rearrange());
  builder.program().outputs = {y};

  const std::uint64_t shard = 4 * 128 * 2;  // four rows of 128 F16 per tile
  const auto cost = operation_cost(builder.program().operations[0], builder.program().values);
  ASSERT_TRUE(cost);
  EXPECT_EQ(cost->cycles, (CycleEstimate{shard / 8 + 288, 0}));
  EXPECT_EQ(cost->exchange_rows, 0u);
  EXPECT_EQ(cost->standard_scratch, 0u);

  const auto result = analyze(builder.program());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->first, (CycleEstimate{shard / 8 + 288, 0}));
  // Both buffers are live during the copy.
  EXPECT_EQ(result->second.standard, 2 * shard);
  EXPECT_EQ(result->second.total, 2 * shard);
  EXPECT_EQ(result->second.maximum_standard_allocation, shard);
}

TEST(Analysis, RedistributionChargesTheExchange) {
  ProgramBuilder builder;
  const MidValueId x = builder.input(f16({8, 128}, Layout::row_sharded(2)));
  builder.step({x}, f16({8, 128}, Layout::row_sharded(4)), identity_rearrange());
  const auto cost = operation_cost(builder.program().operations[0], builder.program().values);
  ASSERT_TRUE(cost);
  // S = 512 bytes per target shard; moved = max(512, min(ceil(512 x 4 / 2), 2048)) = 1024.
  // Identity mapping: pieces = grid_fragments = 2.
  EXPECT_EQ(cost->cycles.conservative, 600u + std::max<std::uint64_t>(1024 / 4, 160 * 2));
  EXPECT_EQ(cost->exchange_rows, 4u * (9 * 2 + 1));
  EXPECT_EQ(cost->cycles.optimistic, cost->cycles.conservative + 512 / 8 + 288);
}

TEST(Analysis, ExplicitZeroOriginIsNotTheIdentity) {
  // With an explicit origin the pieces are 256-byte chunks of the moved bytes,
  // not the fragment count of the two grids.
  ProgramBuilder builder;
  const MidValueId x = builder.input(f16({8, 128}, Layout::row_sharded(2)));
  builder.step({x}, f16({8, 128}, Layout::row_sharded(4)), prim::Primitive{prim::Primitive::Rearrange{{{0, 0}, std::nullopt}, true}});
  const auto cost = operation_cost(builder.program().operations[0], builder.program().values);
  ASSERT_TRUE(cost);
  const std::uint64_t pieces = 1024 / 256;
  EXPECT_EQ(cost->cycles.conservative, 600u + std::max<std::uint64_t>(1024 / 4, 160 * pieces));
  EXPECT_EQ(cost->exchange_rows, 4u * (9 * pieces + 1));
}

TEST(Analysis, PrecisionChangeIsPricedAsACastIntoTheTargetFormat) {
  ProgramBuilder builder;
  const MidValueId x = builder.input(f16({8, 128}, Layout::row_sharded(2)));
  const TensorType wide{graph::TensorShape{{8, 128}}, TensorFormat{Precision::f32(), Layout::row_sharded(2)}};
  builder.step({x}, wide, identity_rearrange());
  const auto cost = operation_cost(builder.program().operations[0], builder.program().values);
  ASSERT_TRUE(cost);
  // Same tiles, same version: no exchange. 512 F16 elements per tile, row-major
  // (cast group 0): ceil(512 x 6 / 8) + 11.
  EXPECT_EQ(cost->cycles, (CycleEstimate{512 * 6 / 8 + 11, 0}));
  EXPECT_EQ(cost->standard_scratch, 0u);
  EXPECT_EQ(cost->exchange_rows, 0u);
}

TEST(Analysis, ZeroByteMovementHasNoExchange) {
  ProgramBuilder builder;
  const MidValueId x = builder.input(f16({0, 128}, Layout::row_sharded(2)));
  builder.step({x}, f16({0, 128}, Layout::row_sharded(4)), identity_rearrange());
  const auto cost = operation_cost(builder.program().operations[0], builder.program().values);
  ASSERT_TRUE(cost);
  EXPECT_EQ(cost->cycles.conservative, 0u);
  EXPECT_EQ(cost->exchange_rows, 0u);
  EXPECT_EQ(cost->cycles.optimistic, 288u);
}

TEST(Analysis, ReduceOfOnePartialOnlyNeedsScratch) {
  ProgramBuilder builder;
  const MidValueId partials = builder.input(f16({1, 8, 128}, Layout::row_sharded(1)));
  const auto output = f16({8, 128}, Layout::row_sharded(1));
  builder.step({partials}, output, reduce(operators::ReductionStaging::complete()));
  const auto cost = operation_cost(builder.program().operations[0], builder.program().values);
  ASSERT_TRUE(cost);
  const std::uint64_t shard = tensor::maximum_shard_bytes(output);
  EXPECT_EQ(cost->cycles, (CycleEstimate{0, 0}));
  EXPECT_EQ(cost->exchange_rows, 0u);
  EXPECT_EQ(cost->standard_scratch, 3 * shard);
}

TEST(Analysis, BatchedReduceRunsFullRounds) {
  ProgramBuilder builder;
  const MidValueId partials = builder.input(f16({5, 8, 128}, Layout::row_sharded(1)));
  const auto output = f16({8, 128}, Layout::row_sharded(1));
  builder.step({partials}, output, reduce(operators::ReductionStaging::batched(2)));
  const auto cost = operation_cost(builder.program().operations[0], builder.program().values);
  ASSERT_TRUE(cost);
  const std::uint64_t shard = 8 * 128 * 2;
  // Four partials, two at a time: two rounds, no rest.
  const std::uint64_t bytes = 4 * shard;
  const std::uint64_t pieces = std::max<std::uint64_t>(bytes / 256, 2);
  const std::uint64_t conservative = 600 * 2 + std::max<std::uint64_t>(bytes / 4, 160 * pieces);
  const std::uint64_t width = 6 * support::ceil_div(shard / 2, 48);
  EXPECT_EQ(cost->cycles.conservative, conservative);
  EXPECT_EQ(cost->cycles.optimistic, conservative + 2 * (width * (2 * 2 + 11) + 282));
  EXPECT_EQ(cost->exchange_rows, 4 * (9 * pieces + 2));
  EXPECT_EQ(cost->standard_scratch, shard * 4);
}

TEST(Analysis, InPlaceAccumulationSharesOneBuffer) {
  ProgramBuilder builder;
  const auto type = f16({8, 128}, Layout::row_sharded(1));
  const MidValueId a = builder.input(type);
  const MidValueId b = builder.input(type);
  prim::Primitive add{prim::Primitive::Compute{operators::TileKernelSpec{operators::TileKernelSpec::Add{}},
                                               {{}, {}},
                                               std::nullopt,
                                               {{0, 1}}}};
  const MidValueId sum = builder.step({a, b}, type, add);
  builder.program().outputs = {sum};
  const auto result = analyze(builder.program());
  ASSERT_TRUE(result);
  const std::uint64_t shard = 8 * 128 * 2;
  // The sum is written over b: two buffers, not three.
  EXPECT_EQ(result->second.standard, 2 * shard);
}

struct AmpCase {
  std::uint64_t columns;  // F16 columns of a one-row tensor: bytes = 2 x columns
  MemoryClass memory_class;
  std::uint64_t expected;
};

class AmpAlignment : public testing::TestWithParam<AmpCase> {};

// A product's operand buffer is rounded up to the AMP alignment of its memory
// class after its margin (16 bytes for F16) is added.
TEST_P(AmpAlignment, RoundsClassSizes) {
  const AmpCase c = GetParam();
  Layout interleaved = Layout::row_sharded(1);
  interleaved.memory_class = c.memory_class;
  ProgramBuilder builder;
  const auto operand_type = f16({1, static_cast<std::uint32_t>(c.columns)}, interleaved);
  const MidValueId left = builder.input(operand_type);
  prim::Primitive gemm{prim::Primitive::Compute{
      operators::TileKernelSpec{operators::TileKernelSpec::PackedGemm{0, 0, Precision::f16(), operators::AccumulationPrecision::F16, false, 0}},
      {},
      std::nullopt,
      {}}};
  const MidValueId out = builder.step({left}, f16({1, 1}, Layout::row_sharded(1)), gemm);
  builder.program().outputs = {out};
  const auto result = analyze(builder.program());
  ASSERT_TRUE(result);
  const std::uint64_t operand = c.memory_class == MemoryClass::Vexa21Standard ? result->second.standard - 16384
                                                                             : result->second.interleaved;
  EXPECT_EQ(operand, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AmpAlignment,
                         testing::Values(AmpCase{8184, MemoryClass::Vexa21Standard, 16384},
                                         AmpCase{8185, MemoryClass::Vexa21Standard, 32768},
                                         AmpCase{8185, MemoryClass::Vexa21Interleaved, 32768},
                                         AmpCase{16377, MemoryClass::Vexa21Interleaved, 65536}));

TEST(Analysis, RegionRepetitionMultipliesCyclesNotExchangeRows) {
  ProgramBuilder builder;
  const MidValueId x = builder.input(f16({8, 128}, Layout::row_sharded(2)));
  const MidValueId moved = builder.value(f16({8, 128}, Layout::row_sharded(4)));
  const MidValueId result_value = builder.value(f16({8, 128}, Layout::row_sharded(4)));
  program::MidRegion body;
  body.inputs = {x};
  body.outputs = {moved};
  body.operations.push_back(MidOperation{{x}, {moved}, MidOperationKind{MidOperationKind::Primitive{identity_rearrange()}}, {}, {}});
  auto& operations = builder.program().operations;
  operations.push_back(MidOperation{{x}, {result_value}, MidOperationKind{MidOperationKind::Region{{x}, body, 3, 0, 0}}, {}, {}});
  builder.program().outputs = {result_value};

  const auto once = operation_cost(body.operations[0], builder.program().values);
  ASSERT_TRUE(once);
  const auto result = analyze(builder.program());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->first.optimistic, 3 * once->cycles.optimistic);
  EXPECT_EQ(result->first.conservative, 3 * once->cycles.conservative);
  EXPECT_EQ(result->second.exchange_rows, once->exchange_rows);
}

TEST(Analysis, OperatorStepsHaveNoPrice) {
  ProgramBuilder builder;
  const MidValueId x = builder.input(f16({8, 128}, Layout::row_sharded(2)));
  const MidValueId y = builder.value(f16({8, 128}, Layout::row_sharded(2)));
  builder.program().operations.push_back(
      MidOperation{{x}, {y}, MidOperationKind{MidOperationKind::Operator{}}, {}, {}});
  EXPECT_FALSE(operation_cost(builder.program().operations[0], builder.program().values));
  EXPECT_FALSE(analyze(builder.program()));
}

TEST(LocalTensor, TakesTheLargestShardPerAxis) {
  const auto local = local_tensor(f16({1, 8, 128}, Layout::row_sharded(3)));
  ASSERT_TRUE(local);
  EXPECT_EQ(local->shape.dimensions, (std::vector<std::uint32_t>{1, 3, 128}));
  EXPECT_EQ(local->format, f16({}, Layout::row_sharded(3)).format);
  EXPECT_FALSE(local_tensor(f16({1, 8, 128}, Layout::row_sharded(0))));
}

}  // namespace
}  // namespace vexa_codegen::estimate::mid
