#include "vexa_codegen/estimate/cycles.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "vexa_codegen/estimate/memoized.hpp"

namespace vexa_codegen::estimate::cycles {
namespace {

using layout::BlockMajorOrder;
using layout::ElementOrder;
using layout::Layout;
using layout::Precision;
using layout::TensorFormat;
using layout::TensorType;
using operators::ConversionStrategy;

graph::TensorShape shape(std::vector<std::uint32_t> dimensions) { return graph::TensorShape{std::move(dimensions)}; }

TEST(Vexa21CostModel, OrderChangeBetweenMatrixOrdersHasNoFigure) {
  Layout block = Layout::row_sharded(2);
  block.order = ElementOrder::block_major(BlockMajorOrder::matrix(64, 16));
  Layout amp = Layout::row_sharded(2);
  amp.order = ElementOrder::amp(layout::AmpOrder::Left);
  const auto cost = Vexa21CostModel{}.rearrangement_cost(shape({128, 128}), Precision::f16(),
                                                         ConversionStrategy::ChangeOrder, block, amp);
  EXPECT_EQ(cost, (RearrangementCost{2305843009213693951ULL, 2305843009213693951ULL}));
  EXPECT_FALSE(cost.has_figure());
}

TEST(Vexa21CostModel, UnresolvableLayoutHasNoFigure) {
  const auto cost = Vexa21CostModel{}.rearrangement_cost(shape({8, 128}), Precision::f16(),
                                                         ConversionStrategy::PreserveOrder, Layout::row_sharded(2),
                                                         Layout::row_sharded(0));
  EXPECT_EQ(cost, RearrangementCost::none());
}

TEST(Vexa21CostModel, RearrangementWithoutTrafficCostsOnlyLocalWork) {
  // Identical layouts: nothing crosses tiles; each tile copies its 4 x 128 F16 rows.
  const auto cost = Vexa21CostModel{}.rearrangement_cost(shape({8, 128}), Precision::f16(),
                                                         ConversionStrategy::PreserveOrder, Layout::row_sharded(2),
                                                         Layout::row_sharded(2));
  EXPECT_EQ(cost.exchange, 0u);
  EXPECT_EQ(cost.cycles, 1024u / 8 + 288);
}

TEST(Vexa21CostModel, RedistributionPricesTheExchange) {
  // row_sharded(2) -> row_sharded(4) of [8, 128] F16: the largest endpoint moves
  // 1024 bytes; two fragments; tile 0 keeps 512 bytes of its own box locally.
  const auto preserve = Vexa21CostModel{}.rearrangement_cost(shape({8, 128}), Precision::f16(),
                                                             ConversionStrategy::PreserveOrder,
                                                             Layout::row_sharded(2), Layout::row_sharded(4));
  const std::uint64_t exchange = std::max<std::uint64_t>(1024 / 4, 2 * 160) + 600;
  EXPECT_EQ(preserve.exchange, exchange);
  EXPECT_EQ(preserve.cycles, 512 / 8 + 288 + exchange);

  // Changing the order prices the whole destination region twice, without fragments.
  const auto change = Vexa21CostModel{}.rearrangement_cost(shape({8, 128}), Precision::f16(),
                                                           ConversionStrategy::ChangeOrder, Layout::row_sharded(2),
                                                           Layout::row_sharded(4));
  EXPECT_EQ(change.exchange, 1024 / 4 + 600);
  EXPECT_EQ(change.cycles, 2 * 512 / 8 + 288 + change.exchange);
}

TEST(Vexa21CostModel, CastOfRowMajorShard) {
  // The largest shard holds one row of 128 F16 values: 256 bytes, E = 128, group 0.
  const TensorType source{shape({2, 128}), TensorFormat{Precision::f16(), Layout::row_sharded(2)}};
  EXPECT_EQ(Vexa21CostModel{}.cast_cycles(source, Precision::f32()), 107u);
}

TEST(Vexa21CostModel, CastFormatUsesTheTargetLayout) {
  const TensorType source{shape({2, 128}), TensorFormat{Precision::f16(), Layout::row_sharded(1)}};
  const TensorFormat target{Precision::f32(), Layout::row_sharded(2)};
  const Vexa21CostModel model;
  const TensorType relaid{shape({2, 128}), TensorFormat{Precision::f16(), Layout::row_sharded(2)}};
  EXPECT_EQ(model.cast_format_cycles(source, target), model.cast_cycles(relaid, Precision::f32()));
  EXPECT_EQ(model.cast_format_cycles(source, target), 107u);
}

// A model that counts lowering requests and answers with one fixed program, or
// with nothing for plans whose result type has no tiles.
class CountingModel final : public CostModel {
 public:
  std::shared_ptr<const MidProgram> implementation(const operators::OperatorPlan&,
                                                   const std::vector<TensorType>&,
                                                   const TensorType& output) const override {
    ++requests;
    if (output.format.layout.tiling.tile_count == 0) {
      return nullptr;
    }
    return std::make_shared<const MidProgram>();
  }
  std::uint64_t cast_cycles(const TensorType&, const Precision&) const override { return 7; }
  RearrangementCost rearrangement_cost(const graph::TensorShape&, const Precision&, ConversionStrategy,
                                       const Layout&, const Layout&) const override {
    return {11, 5};
  }

  mutable std::atomic<int> requests{0};
};

TEST(MemoizedCostModel, SharesOneProgramPerKeyAcrossThreads) {
  auto counting = std::make_shared<CountingModel>();
  const MemoizedCostModel model(counting, 4);
  const operators::OperatorPlan plan{};
  const TensorType output{shape({8, 128}), TensorFormat{Precision::f16(), Layout::row_sharded(2)}};

  std::vector<std::shared_ptr<const MidProgram>> programs(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    threads.emplace_back([&, i] { programs[i] = model.implementation(plan, {output}, output); });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (const auto& program : programs) {
    ASSERT_NE(program, nullptr);
  }
  EXPECT_EQ(model.cached_programs(), 1u);
  const int lowered = counting->requests;
  EXPECT_EQ(model.implementation(plan, {output}, output), model.implementation(plan, {output}, output));
  EXPECT_EQ(counting->requests, lowered);  // later requests are served from the cache
  // Every request either lowered the plan or was a hit.
  const auto lowerings = static_cast<std::size_t>(counting->requests.load());
  EXPECT_EQ(model.statistics(), (CacheStatistics{.requests = 10, .hits = 10 - lowerings}));
}

TEST(MemoizedCostModel, FailuresAreNotCached) {
  auto counting = std::make_shared<CountingModel>();
  const MemoizedCostModel model(counting, 4);
  const TensorType impossible{shape({8, 128}), TensorFormat{Precision::f16(), Layout::row_sharded(0)}};
  EXPECT_EQ(model.implementation({}, {}, impossible), nullptr);
  EXPECT_EQ(model.implementation({}, {}, impossible), nullptr);
  EXPECT_EQ(counting->requests, 2);
  EXPECT_EQ(model.cached_programs(), 0u);
  EXPECT_EQ(model.statistics(), (CacheStatistics{.requests = 2, .hits = 0}));
}

TEST(MemoizedCostModel, ForwardsTheOtherQuestions) {
  const MemoizedCostModel model(std::make_shared<CountingModel>(), 4);
  const TensorType source{shape({8, 128}), TensorFormat{Precision::f16(), Layout::row_sharded(2)}};
  EXPECT_EQ(model.cast_cycles(source, Precision::f32()), 7u);
  EXPECT_EQ(model.rearrangement_cost(source.shape, Precision::f16(), ConversionStrategy::PreserveOrder,
                                     Layout::row_sharded(2), Layout::row_sharded(2)),
            (RearrangementCost{11, 5}));
  EXPECT_EQ(model.tiles(), 4u);
}

}  // namespace
}  // namespace vexa_codegen::estimate::cycles
