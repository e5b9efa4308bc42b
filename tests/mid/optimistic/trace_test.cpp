#include "vexa_codegen/mid/optimistic/trace.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "vexa_codegen/graph/builder.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/mid/pipeline.hpp"

namespace vexa_codegen::mid::optimistic::trace {

// Failure messages show events in their dump form.
inline void PrintTo(const Event& event, std::ostream* out) { *out << dump(event); }
inline void PrintTo(const WhyNot& why, std::ostream* out) { *out << dump(why); }

namespace {

using graph::OperationId;
using graph::TensorShape;
using graph::ValueId;
using layout::Layout;
using layout::Precision;
using layout::TensorFormat;
using search::SearchOptions;

constexpr SearchLimits limits{.max_operations = 8,
                              .beam_width = 4,
                              .max_conversion_steps = 3,
                              .max_conversion_paths = 8,
                              .max_expansions = 2048,
                              .max_fused_steps = 4};

// n = layer_norm(x, scale, bias), y = n @ w, z = gelu(y) on 8 tiles with the
// full catalogue; the output leaves row-sharded in F16. `tile_memory` tightens
// the tile memory so that some states are dropped for it.
std::expected<SearchReport, SearchError> plan(std::uint16_t threads, SearchObserver* observer,
                                              std::uint64_t tile_memory = vexa21_tile_memory_bytes) {
  graph::ComputeGraph graph;
  const ValueId x = graph.input("x", false, TensorShape{{1, 16, 128}}).value();
  const ValueId scale = graph.input("scale", true, TensorShape{{1, 1, 128}}).value();
  const ValueId bias = graph.input("bias", true, TensorShape{{1, 1, 128}}).value();
  const ValueId w = graph.parameter("w", {128, 128}).value();
  const ValueId z = graph.gelu(graph.gemm(graph.layer_norm(x, scale, bias).value(), w).value()).value();
  graph.set_outputs({z}).value();
  PipelineConfig config = PipelineConfig::make(8);
  config.tile_memory_bytes = tile_memory;
  for (const auto& input : graph.inputs()) {
    config = std::move(config).with_automatic_input(input.value, Precision::f16());
  }
  const TensorFormat output{Precision::f16(), Layout::row_sharded(8)};
  return search::plan_graph(graph, config, {{z, output}}, limits,
                            SearchOptions{.threads = threads, .observer = observer});
}

struct Traced {
  SearchReport report;
  std::vector<Event> events;
};

Traced traced(std::uint16_t threads, std::uint64_t tile_memory = vexa21_tile_memory_bytes) {
  Recorder recorder;
  auto report = plan(threads, &recorder, tile_memory);
  EXPECT_TRUE(report.has_value());
  return {report.value_or(SearchReport{}), recorder.events()};
}

// A tile memory that the leanest candidate of the unconstrained search just
// fits: states on its way fit, and states with a larger peak are dropped.
std::uint64_t tight_memory() {
  static const std::uint64_t bytes = [] {
    const auto report = plan(1, nullptr);
    EXPECT_TRUE(report.has_value());
    std::uint64_t leanest = vexa21_tile_memory_bytes;
    for (const DiagnosticMidGraph& candidate : report.value_or(SearchReport{}).candidates) {
      leanest = std::min(leanest, candidate.balanced_peak);
    }
    return leanest + PipelineConfig::make(8).reserved_bytes;
  }();
  return bytes;
}

// Parameter: whether the tile memory is tight.
class TraceOfASearch : public ::testing::TestWithParam<bool> {
 protected:
  static std::uint64_t memory() { return GetParam() ? tight_memory() : vexa21_tile_memory_bytes; }
};

TEST_P(TraceOfASearch, FatesAddUpToTheReportCountersInTheOrderTried) {
  const Traced run = traced(1, memory());
  std::size_t tried = 0;
  std::size_t no_implementation = 0;
  std::size_t memory = 0;
  std::size_t delivered = 0;
  std::size_t offered = 0;
  // (operation, state) of the plans never go back; prunes close each step.
  std::pair<std::size_t, std::size_t> last{0, 0};
  for (const Event& event : run.events) {
    if (const auto* plan_tried = event.get_if<PlanTried>()) {
      ++tried;
      EXPECT_EQ(delivered + offered, 0u) << "plans are tried before outputs are delivered";
      const std::pair at{plan_tried->operation, plan_tried->state};
      EXPECT_LE(last, at);
      last = at;
      no_implementation += plan_tried->fate == PlanFate::NoImplementation ? 1 : 0;
      EXPECT_EQ(plan_tried->cycles.has_value(), plan_tried->fate == PlanFate::Priced);
      memory += static_cast<std::size_t>(std::ranges::count(plan_tried->successors, false, &Successor::kept));
    } else if (const auto* output = event.get_if<OutputDelivered>()) {
      ++delivered;
      EXPECT_EQ(offered, 0u);
      memory += static_cast<std::size_t>(std::ranges::count(output->successors, false, &Successor::kept));
    } else if (event.is<FusionOffered>()) {
      ++offered;
    }
  }
  EXPECT_EQ(tried, run.report.expanded);
  EXPECT_EQ(no_implementation, run.report.implementation_rejections);
  EXPECT_EQ(memory, run.report.memory_rejections);
  EXPECT_GT(delivered, 0u);
  EXPECT_GT(offered, 0u);
  // The last events are the offers to fusion, one per state of the final beam.
  EXPECT_TRUE(run.events.back().is<FusionOffered>());
}

TEST_P(TraceOfASearch, IsTheSameOnSeveralThreads) {
  const Traced one = traced(1, memory());
  for (const std::uint16_t threads : {std::uint16_t{2}, std::uint16_t{4}}) {
    const Traced several = traced(threads, memory());
    EXPECT_TRUE(several.report == one.report);
    EXPECT_TRUE(several.events == one.events) << threads << " threads";
  }
}

INSTANTIATE_TEST_SUITE_P(TileMemory, TraceOfASearch, ::testing::Bool());

TEST(TraceOfASearch, TightMemoryRejectsStates) {
  // Otherwise the counts above would not show that memory rejections are traced.
  EXPECT_GT(traced(1, tight_memory()).report.memory_rejections, 0u);
}

TEST(TraceOfASearch, AnObserverLeavesTheReportUnchanged) {
  const auto without = plan(1, nullptr);
  ASSERT_TRUE(without.has_value());
  EXPECT_TRUE(traced(1).report == *without);
}

TEST(TraceOfASearch, PrunesReportWhatTheyCut) {
  const Traced run = traced(1);
  bool cut = false;
  for (const Event& event : run.events) {
    if (const auto* pruned = event.get_if<Pruned>()) {
      EXPECT_LE(pruned->states_out, pruned->states_in);
      // A cut keeps the beam width, plus possibly one assumption-free state.
      if (pruned->truncated) {
        cut = true;
        EXPECT_GE(pruned->states_out, limits.beam_width);
      }
    }
  }
  EXPECT_EQ(cut, run.report.truncated);
}

TEST(TraceOfASearch, WhyNotNamesTheBestCandidatesPlanForEveryOperation) {
  Explanation explanation;
  const auto report = plan(1, &explanation);
  ASSERT_TRUE(report.has_value());
  const auto answers = why_not(explanation, *report);
  ASSERT_EQ(answers.size(), 3u);
  for (std::size_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].operation, OperationId{static_cast<std::uint32_t>(i)});
    EXPECT_TRUE(answers[i].chosen.has_value() || answers[i].fused);
    if (answers[i].alternative) {
      EXPECT_NE(answers[i].alternative, answers[i].chosen);
      EXPECT_TRUE(answers[i].reason.has_value());
    }
  }
}

// ---------------------------------------------------------------------------
// Why not, on hand-made events

Successor successor(bool kept) {
  Successor made;
  made.kept = kept;
  return made;
}

Event tried(std::size_t operation, std::size_t state, std::string plan, PlanFate fate,
            std::optional<CycleEstimate> cycles = std::nullopt, std::vector<Successor> successors = {}) {
  PlanTried event;
  event.operation = operation;
  event.id = OperationId{static_cast<std::uint32_t>(operation)};
  event.state = state;
  event.plan = std::move(plan);
  event.fate = fate;
  event.cycles = cycles;
  event.successors = std::move(successors);
  return Event{std::move(event)};
}

TEST(WhyNot, BestUnusedPlanAndTheReasonItLost) {
  const operators::OperatorPlan used_plan{};
  const std::string used = dump(used_plan);
  // The best candidate runs operation 0 with `used_plan` and operation 1 fused.
  DiagnosticMidGraph best;
  best.steps.push_back(Step{{OperationId{0}}, {}, {}, StepKind{StepKind::Operator{used_plan, nullptr}}, {}, {}});
  best.steps.push_back(Step{{OperationId{1}, OperationId{2}}, {}, {}, StepKind{StepKind::Fused{}}, {}, {}});
  SearchReport report;
  report.candidates = {best};

  Explanation explanation;
  const std::vector<Event> events{
      // Operation 0: "slow" kept somewhere but lost on rank, "fast" dropped for
      // memory from one state and with no conversion from another: its closest
      // miss is memory, and it is the cheaper of the two.
      tried(0, 0, used, PlanFate::Priced, CycleEstimate{30, 30}, {successor(true)}),
      tried(0, 0, "slow", PlanFate::Priced, CycleEstimate{50, 60}, {successor(false), successor(true)}),
      tried(0, 0, "fast", PlanFate::Priced, CycleEstimate{40, 45}, {successor(false)}),
      tried(0, 1, "fast", PlanFate::Priced, CycleEstimate{40, 45}, {}),
      tried(0, 1, "missing", PlanFate::NoImplementation),
      // Operation 1: nothing priced; no implementation beats an invalid type.
      tried(1, 0, "invalid", PlanFate::InvalidType),
      tried(1, 0, "unlowered", PlanFate::NoImplementation),
      // Operation 2: the only other plan was never tried.
      Event{BudgetExhausted{2, OperationId{2}, 0, {"late"}}},
  };
  for (const Event& event : events) {
    explanation.observe(event);
  }
  const std::vector<WhyNot> expected{
      {OperationId{0}, used, false, "fast", CycleEstimate{40, 45}, LossReason::Memory},
      {OperationId{1}, std::nullopt, true, "unlowered", std::nullopt, LossReason::NoImplementation},
      {OperationId{2}, std::nullopt, true, "late", std::nullopt, LossReason::Budget},
  };
  EXPECT_EQ(why_not(explanation, report), expected);
}

TEST(WhyNot, EqualCyclesKeepTheFirstTriedAndTheUsedPlanIsNeverTheAnswer) {
  const operators::OperatorPlan used_plan{};
  DiagnosticMidGraph best;
  best.steps.push_back(Step{{OperationId{0}}, {}, {}, StepKind{StepKind::Operator{used_plan, nullptr}}, {}, {}});
  SearchReport report;
  report.candidates = {best};
  Explanation explanation;
  explanation.observe(tried(0, 0, "first", PlanFate::Priced, CycleEstimate{40, 45}, {successor(true)}));
  explanation.observe(tried(0, 0, "second", PlanFate::Priced, CycleEstimate{40, 45}, {successor(true)}));
  explanation.observe(tried(0, 0, dump(used_plan), PlanFate::Priced, CycleEstimate{10, 10}, {successor(true)}));
  const auto answers = why_not(explanation, report);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].alternative, "first");
  EXPECT_EQ(answers[0].reason, LossReason::BeamRank);

  Explanation only_used;
  only_used.observe(tried(0, 0, dump(used_plan), PlanFate::Priced, CycleEstimate{10, 10}, {successor(true)}));
  const auto alone = why_not(only_used, report);
  ASSERT_EQ(alone.size(), 1u);
  EXPECT_EQ(alone[0].alternative, std::nullopt);
  EXPECT_EQ(alone[0].reason, std::nullopt);
}

}  // namespace
}  // namespace vexa_codegen::mid::optimistic::trace
