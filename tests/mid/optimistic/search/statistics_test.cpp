// The cache statistics a search hands back through its options.
#include <gtest/gtest.h>

#include <cstdint>
#include <expected>

#include "vexa_codegen/graph/builder.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/mid/pipeline.hpp"

namespace vexa_codegen::mid::optimistic::search {
namespace {

using graph::TensorShape;
using graph::ValueId;
using layout::Layout;
using layout::Precision;
using layout::TensorFormat;

constexpr SearchLimits limits{.max_operations = 8,
                              .beam_width = 16,
                              .max_conversion_steps = 3,
                              .max_conversion_paths = 8,
                              .max_expansions = 2048,
                              .max_fused_steps = 4};

// n = layer_norm(x, scale, bias); y = gelu(n); x + y, planned on 8 tiles with
// every input in F16 and the sum leaving row-sharded.
class SmallSearch : public ::testing::Test {
 protected:
  SmallSearch() {
    x = graph.input("x", false, TensorShape{{1, 8, 128}}).value();
    const ValueId scale = graph.input("scale", true, TensorShape{{1, 1, 128}}).value();
    const ValueId bias = graph.input("bias", true, TensorShape{{1, 1, 128}}).value();
    sum = graph.add(graph.gelu(graph.layer_norm(x, scale, bias).value()).value(), x).value();
    EXPECT_TRUE(graph.set_outputs({sum}));
    for (const auto& input : graph.inputs()) {
      config = std::move(config).with_automatic_input(input.value, Precision::f16());
    }
  }

  std::expected<SearchReport, SearchError> plan(const SearchLimits& with, SearchStatistics* statistics) const {
    return plan_graph(graph, config, {{sum, TensorFormat{Precision::f16(), Layout::row_sharded(8)}}}, with,
                      SearchOptions{.threads = 1, .statistics = statistics});
  }

  graph::ComputeGraph graph;
  PipelineConfig config = PipelineConfig::make(8);
  ValueId x;
  ValueId sum;
};

TEST_F(SmallSearch, StatisticsCountCacheUseWithoutChangingTheReport) {
  SearchStatistics statistics;
  const auto counted = plan(limits, &statistics);
  const auto plain = plan(limits, nullptr);
  ASSERT_TRUE(counted.has_value());
  ASSERT_TRUE(plain.has_value());
  EXPECT_TRUE(*counted == *plain);

  // Every operator plan that passed the type checks asked for its program, and
  // the beam's states share conversions, so both caches answer some requests.
  EXPECT_GE(statistics.program_requests, counted->implementation_rejections);
  EXPECT_GT(statistics.program_hits, 0u);
  EXPECT_LT(statistics.program_hits, statistics.program_requests);
  EXPECT_GT(statistics.conversion_hits, 0u);
  EXPECT_LT(statistics.conversion_hits, statistics.conversion_lookups);

  // On one thread the counts are as deterministic as the report.
  SearchStatistics again;
  ASSERT_TRUE(plan(limits, &again).has_value());
  EXPECT_EQ(again, statistics);
}

TEST_F(SmallSearch, RejectedRequestsLeaveTheStatisticsAlone) {
  SearchLimits no_beam = limits;
  no_beam.beam_width = 0;
  SearchStatistics statistics{.program_requests = 7, .program_hits = 3, .conversion_lookups = 5,
                              .conversion_hits = 1};
  const SearchStatistics before = statistics;
  ASSERT_FALSE(plan(no_beam, &statistics).has_value());
  EXPECT_EQ(statistics, before);
}

}  // namespace
}  // namespace vexa_codegen::mid::optimistic::search
