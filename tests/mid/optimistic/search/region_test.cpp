#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "examples/demonstration.hpp"
#include "mid/optimistic/fixtures.hpp"
#include "vexa_codegen/graph/builder.hpp"
#include "vexa_codegen/mid/catalogue.hpp"
#include "vexa_codegen/mid/optimistic/report.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/mid/pipeline.hpp"

namespace vexa_codegen::mid::optimistic::search {

// Failure messages show errors in their dump form.
inline void PrintTo(const SearchError& error, std::ostream* out) { *out << dump(error); }

namespace {

using namespace fixtures;
using catalogue::OperatorCandidate;
using graph::ComputeGraph;
using graph::RepeatOperands;
using operators::MidOperator;
using operators::OperatorDispatch;

using Formats = std::map<ValueId, TensorFormat>;
using SearchResult = std::expected<SearchReport, SearchError>;

template <class T, class E>
T ok(std::expected<T, E> result) {
  EXPECT_TRUE(result.has_value());
  return std::move(result).value();
}

// The demonstration's limits: wide enough that no test below runs into them
// unless it says so.
constexpr SearchLimits demo_limits = examples::demonstration_limits;

TensorFormat f16_rows(std::uint16_t tiles) { return TensorFormat{Precision::f16(), Layout::row_sharded(tiles)}; }
TensorFormat f32_rows(std::uint16_t tiles) { return TensorFormat{Precision::f32(), Layout::row_sharded(tiles)}; }

SearchError invalid_request(const char* text) { return invalid(text); }

// ---------------------------------------------------------------------------
// Request checks

// x [1, 8, 128], scale and bias [1, 1, 128] (parameters), then
//   op 0: n = layer_norm(x, scale, bias)   (ValueId 3)
//   op 1: g = gelu(n)                      (ValueId 4)
//   op 2: s = add(g, x)                    (ValueId 5), the graph output
// planned on 8 tiles.
class SmallRegion : public ::testing::Test {
 protected:
  static constexpr std::uint16_t tiles = 8;

  SmallRegion() {
    x = ok(graph.input("x", false, TensorShape{{1, 8, 128}}));
    scale = ok(graph.input("scale", true, TensorShape{{1, 1, 128}}));
    bias = ok(graph.input("bias", true, TensorShape{{1, 1, 128}}));
    n = ok(graph.layer_norm(x, scale, bias));
    g = ok(graph.gelu(n));
    s = ok(graph.add(g, x));
    EXPECT_TRUE(graph.set_outputs({s}));
  }

  // The whole graph, every input row-sharded in F16, the sum leaving row-sharded.
  RegionRequest whole() const {
    return RegionRequest{.operations = {0, 3},
                         .inputs = {{x, f16_rows(tiles)}, {scale, f16_rows(tiles)}, {bias, f16_rows(tiles)}},
                         .outputs = {{s, f16_rows(tiles)}}};
  }

  SearchResult plan(const RegionRequest& request) const { return plan_region(graph, request, config, demo_limits); }

  ComputeGraph graph;
  PipelineConfig config = PipelineConfig::make(tiles);
  ValueId x, scale, bias, n, g, s;
};

TEST_F(SmallRegion, RangeAndLimitChecksComeFirstInOrder) {
  const SearchError range = invalid_request("invalid operation range");
  const SearchError limits_error = invalid_request("empty region or invalid/exceeded search limits");
  struct Case {
    const char* name;
    OperationRange operations;
    SearchLimits limits;
    std::uint16_t config_tiles;
    SearchError expected;
  };
  const auto with = [](auto change) {
    SearchLimits limits = demo_limits;
    change(limits);
    return limits;
  };
  const SearchLimits no_beam = with([](SearchLimits& l) { l.beam_width = 0; });
  const Case cases[] = {
      {"start after end", {3, 2}, demo_limits, tiles, range},
      {"end past the graph", {0, 4}, demo_limits, tiles, range},
      {"range wins over limits", {3, 2}, no_beam, 0, range},
      {"empty range", {2, 2}, demo_limits, tiles, limits_error},
      {"longer than max_operations", {0, 3}, with([](SearchLimits& l) { l.max_operations = 2; }), tiles, limits_error},
      {"no beam", {0, 3}, no_beam, tiles, limits_error},
      {"no conversion steps", {0, 3}, with([](SearchLimits& l) { l.max_conversion_steps = 0; }), tiles, limits_error},
      {"no conversion paths", {0, 3}, with([](SearchLimits& l) { l.max_conversion_paths = 0; }), tiles, limits_error},
      {"no expansions", {0, 3}, with([](SearchLimits& l) { l.max_expansions = 0; }), tiles, limits_error},
      {"no tiles", {0, 3}, demo_limits, 0, limits_error},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegionRequest request = whole();
    request.operations = c.operations;
    // The boundary inputs do not cover the region either: the earlier check must answer.
    request.inputs.clear();
    PipelineConfig changed = config;
    changed.tiles = c.config_tiles;
    const SearchResult result = plan_region(graph, request, changed, c.limits);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.expected);
  }
}

TEST_F(SmallRegion, SmallestLimitsAreAcceptedAndFusionLimitIsNotChecked) {
  const SearchLimits smallest{.max_operations = 3,
                              .beam_width = 1,
                              .max_conversion_steps = 1,
                              .max_conversion_paths = 1,
                              .max_expansions = 3,
                              .max_fused_steps = 0};
  const SearchResult result = plan_region(graph, whole(), config, smallest);
  ASSERT_TRUE(result.has_value()) << dump(result.error());
  // One plan per operation: each takes its third of the budget and stops there.
  EXPECT_EQ(result->expanded, 3u);
  EXPECT_TRUE(result->truncated);
}

TEST_F(SmallRegion, RequestsThatDoNotFitTheRegionAreRefusedInCheckOrder) {
  const TensorFormat row = f16_rows(tiles);
  const TensorFormat too_wide = f16_rows(16);  // sixteen tiles do not exist on an eight-tile pipeline
  const Formats all_inputs{{x, row}, {scale, row}, {bias, row}};
  const Formats sum_out{{s, row}};
  const char* cover = "boundary inputs must exactly cover region free values";
  const char* escaping = "outputs must include every escaping regional result";
  struct Case {
    const char* name;
    RegionRequest request;
    const char* expected;
  };
  const Case cases[] = {
      {"a free value omitted", {{0, 3}, {{x, row}, {scale, row}}, sum_out}, cover},
      {"a value defined inside the region", {{0, 3}, {{x, row}, {scale, row}, {bias, row}, {n, row}}, sum_out}, cover},
      // Operations 1 and 2 read n and x, not scale.
      {"a value the region does not read", {{1, 3}, {{x, row}, {n, row}, {scale, row}}, sum_out}, cover},
      {"no inputs", {{1, 3}, {}, sum_out}, cover},
      {"inputs before outputs", {{1, 3}, {}, {}}, cover},
      // g is read by operation 2, after the region.
      {"a result read after the region", {{0, 2}, all_inputs, {{n, row}}}, escaping},
      {"a graph output", {{0, 3}, all_inputs, {{g, row}}}, escaping},
      {"no outputs", {{0, 3}, all_inputs, {}}, escaping},
      {"a boundary input as output", {{0, 3}, all_inputs, {{s, row}, {x, row}}}, escaping},
      {"a value of no operation", {{0, 3}, all_inputs, {{s, row}, {ValueId{99}, row}}}, escaping},
      {"outputs before formats", {{0, 3}, {{x, row}, {scale, row}, {bias, too_wide}}, {}}, escaping},
      {"input format", {{0, 3}, {{x, row}, {scale, row}, {bias, too_wide}}, sum_out}, "invalid input format"},
      {"input format first", {{0, 3}, {{x, row}, {scale, row}, {bias, too_wide}}, {{s, too_wide}}},
       "invalid input format"},
      {"output format", {{0, 3}, all_inputs, {{s, too_wide}}}, "invalid output format"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SearchResult result = plan(c.request);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), invalid_request(c.expected));
  }
}

TEST(RegionChecks, RegionLengthIsBoundByMaxOperations) {
  // A chain of nine GELUs.
  ComputeGraph graph;
  ValueId value = ok(graph.input("x", false, TensorShape{{1, 8, 128}}));
  for (int i = 0; i < 9; ++i) {
    value = ok(graph.gelu(value));
  }
  const PipelineConfig config = PipelineConfig::make(8);
  const RegionRequest nine{.operations = {0, 9}, .inputs = {}, .outputs = {{value, f16_rows(8)}}};
  const SearchResult too_long = plan_region(graph, nine, config, demo_limits);
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.error(), invalid_request("empty region or invalid/exceeded search limits"));

  // Eight operations pass the length check and fail at the next one.
  RegionRequest eight = nine;
  eight.operations = {1, 9};
  const SearchResult next_check = plan_region(graph, eight, config, demo_limits);
  ASSERT_FALSE(next_check.has_value());
  EXPECT_EQ(next_check.error(), invalid_request("boundary inputs must exactly cover region free values"));
}

// x [1, 8, 128]; op 0: a = gelu(x); op 1: one repeat carrying a; op 2: a
// repeat carrying x and a (two results); op 3: b = gelu(x).
class RegionWithRepeats : public ::testing::Test {
 protected:
  RegionWithRepeats() {
    x = ok(graph.input("x", false, TensorShape{{1, 8, 128}}));
    a = ok(graph.gelu(x));
    one = ok(graph.repeat(2, RepeatOperands{{a}, {}, {}}, body(RepeatOperands{{a}, {}, {}})))[0];
    two = ok(graph.repeat(2, RepeatOperands{{x, a}, {}, {}}, body(RepeatOperands{{x, a}, {}, {}})));
    b = ok(graph.gelu(x));
  }

  // A body that applies GELU to every carried value.
  ComputeGraph body(const RepeatOperands& operands) const {
    ComputeGraph region = ok(graph.repeat_body(operands));
    std::vector<ValueId> yields;
    for (const auto& argument : region.inputs()) {
      yields.push_back(ok(region.gelu(argument.value)));
    }
    EXPECT_TRUE(region.set_outputs(yields));
    return region;
  }

  ComputeGraph graph;
  ValueId x, a, one, b;
  std::vector<ValueId> two;
};

TEST_F(RegionWithRepeats, FirstUnsupportedOperationIsReportedBeforeAnyFormatCheck) {
  ASSERT_EQ(two.size(), 2u);
  const PipelineConfig config = PipelineConfig::make(8);
  struct Case {
    const char* name;
    OperationRange operations;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"a repeat with one result", {0, 2}, 1},
      {"the first of two repeats", {1, 4}, 1},
      {"a repeat with two results", {2, 4}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Neither inputs nor outputs fit the region, and the formats are invalid.
    const RegionRequest request{.operations = c.operations,
                                .inputs = {{ValueId{42}, f16_rows(64)}},
                                .outputs = {{ValueId{43}, f16_rows(64)}}};
    const SearchResult result = plan_region(graph, request, config, demo_limits);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), SearchError{SearchError::UnsupportedOperation{graph::OperationId{c.expected}}});
  }
}

TEST(RegionChecks, EntriesOfSequencesIteratedLaterEscape) {
  // op 0: g = gelu(x), op 1: h = gelu(x); then a repeat iterating a sequence
  // that holds g. The repeat does not list g among its operands.
  ComputeGraph graph;
  const ValueId x = ok(graph.input("x", false, TensorShape{{1, 8, 128}}));
  const ValueId g = ok(graph.gelu(x));
  const ValueId h = ok(graph.gelu(x));
  const graph::ValueSequenceId sequence = ok(graph.value_sequence("gs", {g}));
  const RepeatOperands operands{{x}, {}, {sequence}};
  ComputeGraph body = ok(graph.repeat_body(operands));
  EXPECT_TRUE(body.set_outputs({ok(body.add(body.inputs()[0].value, body.inputs()[1].value))}));
  ASSERT_TRUE(graph.repeat(1, operands, body).has_value());
  ASSERT_EQ(graph.operations()[2].inputs, std::vector<ValueId>{x});

  const PipelineConfig config = PipelineConfig::make(8);
  RegionRequest request{.operations = {0, 2}, .inputs = {{x, f16_rows(8)}}, .outputs = {{h, f16_rows(8)}}};
  const SearchResult without = plan_region(graph, request, config, demo_limits);
  ASSERT_FALSE(without.has_value());
  EXPECT_EQ(without.error(), invalid_request("outputs must include every escaping regional result"));

  // With g among the outputs the request passes on to the format checks.
  request.outputs = {{g, f16_rows(8)}, {h, f16_rows(64)}};
  const SearchResult with = plan_region(graph, request, config, demo_limits);
  ASSERT_FALSE(with.has_value());
  EXPECT_EQ(with.error(), invalid_request("invalid output format"));
}

// ---------------------------------------------------------------------------
// Whole-graph entry

TEST_F(SmallRegion, GraphInputsWithoutFormatAreReportedInInputOrder) {
  // x has a precision; scale and bias have nothing.
  config = std::move(config).with_automatic_input(x, Precision::f16());
  const SearchResult result = plan_graph(graph, config, {{s, f16_rows(tiles)}}, demo_limits);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), invalid_request("missing boundary input ValueId(1)"));
  EXPECT_EQ(message(result.error()), "invalid optimistic search request: missing boundary input ValueId(1)");
}

TEST_F(SmallRegion, GraphInputsArriveInFixedFormatOrRowShardedAutomaticPrecision) {
  // An input no operation reads needs no format.
  ASSERT_TRUE(graph.input("unused", false, TensorShape{{3}}).has_value());
  const TensorFormat fixed = f16_rows(4);
  config.input_formats[x] = fixed;
  config = std::move(config).with_automatic_input(scale, Precision::f32()).with_automatic_input(bias, Precision::f16());
  config.automatic_inputs[x] = Precision::f32();  // the fixed format takes precedence

  const SearchReport report = ok(plan_graph(graph, config, {{s, f16_rows(tiles)}}, demo_limits));
  ASSERT_FALSE(report.candidates.empty());
  for (const DiagnosticMidGraph& candidate : report.candidates) {
    ASSERT_EQ(candidate.inputs, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(candidate.values[0].high, x);
    EXPECT_EQ(candidate.values[0].tensor, (TensorType{TensorShape{{1, 8, 128}}, fixed}));
    EXPECT_EQ(candidate.values[1].high, scale);
    EXPECT_EQ(candidate.values[1].tensor, (TensorType{TensorShape{{1, 1, 128}}, f32_rows(tiles)}));
    EXPECT_EQ(candidate.values[2].high, bias);
    EXPECT_EQ(candidate.values[2].tensor, (TensorType{TensorShape{{1, 1, 128}}, f16_rows(tiles)}));
  }
}

// ---------------------------------------------------------------------------
// Plans, conversions and counters on a one-operation region

// y = op(x) on 8 tiles with a catalogue of exactly the plans a test gives.
class SingleOperation : public ::testing::Test {
 protected:
  static constexpr std::uint16_t tiles = 8;

  SingleOperation() {
    config.operator_candidates.clear();
    config.unary_flattening = 2;  // no flattened plans beside the catalogue's
  }

  void offer(catalogue::ConcreteOperatorCandidate candidate) {
    config.operator_candidates.push_back(OperatorCandidate::concrete(std::move(candidate)));
  }

  SearchResult gelu(const TensorFormat& input, const TensorFormat& output, const SearchLimits& limits = demo_limits) {
    ComputeGraph graph;
    const ValueId x = ok(graph.input("x", false, TensorShape{{1, 8, 128}}));
    const ValueId y = ok(graph.gelu(x));
    const RegionRequest request{.operations = {0, 1}, .inputs = {{x, input}}, .outputs = {{y, output}}};
    return plan_region(graph, request, config, limits);
  }

  PipelineConfig config = PipelineConfig::make(tiles);
};

catalogue::ConcreteOperatorCandidate gelu_plan(const TensorFormat& input, const TensorFormat& output) {
  return catalogue::pointwise_operator_candidate(MidOperator{MidOperator::Gelu{}}, {input}, output);
}

TEST_F(SingleOperation, InputAlreadyInTheRequiredTypeIsReadWithoutConversion) {
  offer(gelu_plan(f16_rows(tiles), f16_rows(tiles)));
  const SearchReport report = ok(gelu(f16_rows(tiles), f16_rows(tiles)));
  EXPECT_EQ(report.expanded, 1u);
  ASSERT_EQ(report.candidates.size(), 1u);
  const DiagnosticMidGraph& candidate = report.candidates[0];
  ASSERT_EQ(candidate.values.size(), 2u);
  EXPECT_EQ(candidate.inputs, std::vector<std::size_t>{0});
  EXPECT_EQ(candidate.outputs, std::vector<std::size_t>{1});
  ASSERT_EQ(candidate.steps.size(), 1u);
  const Step& step = candidate.steps[0];
  EXPECT_TRUE(step.kind.is<StepKind::Operator>());
  EXPECT_EQ(step.operations, std::vector<OperationId>{OperationId{0}});
  EXPECT_EQ(step.inputs, std::vector<std::size_t>{0});
  EXPECT_EQ(step.outputs, std::vector<std::size_t>{1});
  EXPECT_EQ(step.cycles.optimistic, step.cycles.conservative);
  EXPECT_TRUE(candidate.assumptions.empty());
  EXPECT_EQ(report::reference(report), &candidate);
}

TEST_F(SingleOperation, InputInAnotherTilingIsConvertedBeforeTheOperator) {
  offer(gelu_plan(f16_rows(tiles), f16_rows(tiles)));
  const SearchReport report = ok(gelu(f16_rows(4), f16_rows(tiles)));
  ASSERT_FALSE(report.candidates.empty());
  for (const DiagnosticMidGraph& candidate : report.candidates) {
    ASSERT_GE(candidate.steps.size(), 2u);
    // Conversion steps lead from the boundary value to the operator's operand.
    const Step& first = candidate.steps.front();
    EXPECT_TRUE(first.kind.is<StepKind::Transform>());
    EXPECT_EQ(first.inputs, std::vector<std::size_t>{0});
    const Step& last = candidate.steps.back();
    ASSERT_TRUE(last.kind.is<StepKind::Operator>());
    ASSERT_EQ(last.inputs.size(), 1u);
    EXPECT_NE(last.inputs[0], 0u);
    EXPECT_EQ(candidate.values[last.inputs[0]].tensor, (TensorType{TensorShape{{1, 8, 128}}, f16_rows(tiles)}));
  }
}

TEST_F(SingleOperation, ConversionErrorsEndTheSearchUnchanged) {
  offer(gelu_plan(f16_rows(tiles), f16_rows(tiles)));
  SearchLimits limits = demo_limits;
  limits.max_conversion_steps = 5;  // the request checks accept it; path enumeration does not
  const SearchResult result = gelu(f16_rows(4), f16_rows(tiles), limits);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), invalid_request("invalid conversion endpoints or search limits"));
}

TEST_F(SingleOperation, EveryCandidateOnAnAssumptionLeavesTheReportWithoutReference) {
  // The plan reads F32; every way from F16 casts to F32, which has no kernel.
  offer(gelu_plan(f32_rows(tiles), f32_rows(tiles)));
  const SearchReport report = ok(gelu(f16_rows(tiles), f32_rows(tiles)));
  ASSERT_FALSE(report.candidates.empty());
  for (const DiagnosticMidGraph& candidate : report.candidates) {
    EXPECT_TRUE(candidate.assumptions.contains(Assumption{Assumption::MissingKernel{"F16 RowMajor -> F32 RowMajor"}}))
        << support::dump_value(candidate.assumptions);
  }
  EXPECT_EQ(report::reference(report), nullptr);
  EXPECT_TRUE(report::opportunities(report).empty());
}

TEST_F(SingleOperation, RejectedPlansStayCountedAsTried) {
  // A layer normalisation over x and two row vectors, on one plan.
  ComputeGraph graph;
  const ValueId x = ok(graph.input("x", false, TensorShape{{1, 8, 128}}));
  const ValueId scale = ok(graph.input("scale", true, TensorShape{{1, 1, 128}}));
  const ValueId bias = ok(graph.input("bias", true, TensorShape{{1, 1, 128}}));
  const ValueId y = ok(graph.layer_norm(x, scale, bias));
  const RegionRequest request{.operations = {0, 1},
                              .inputs = {{x, f16_rows(tiles)}, {scale, f16_rows(tiles)}, {bias, f16_rows(tiles)}},
                              .outputs = {{y, f16_rows(tiles)}}};
  const auto layer_norm_plan = [](std::uint16_t plan_tiles) {
    return catalogue::pointwise_operator_candidate(MidOperator{MidOperator::LayerNorm{}},
                                                   {f16_rows(plan_tiles), f16_rows(plan_tiles), f16_rows(plan_tiles)},
                                                   f16_rows(plan_tiles));
  };

  struct Case {
    const char* name;
    catalogue::ConcreteOperatorCandidate plan;
    std::optional<SearchError::NoCandidates> expected;  // none: the search succeeds
  };
  auto one_partial = layer_norm_plan(tiles);
  one_partial.plan.dispatch = OperatorDispatch{OperatorDispatch::LayerNorm{1}};  // cannot be lowered
  const Case cases[] = {
      {"implemented", layer_norm_plan(tiles), std::nullopt},
      {"no implementation", one_partial, SearchError::NoCandidates{1, 0, 1}},
      // Sixteen tiles are not a type an eight-tile pipeline can hold.
      {"invalid types", layer_norm_plan(16), SearchError::NoCandidates{1, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config.operator_candidates = {OperatorCandidate::concrete(c.plan)};
    const SearchResult result = plan_region(graph, request, config, demo_limits);
    if (!c.expected) {
      ASSERT_TRUE(result.has_value()) << dump(result.error());
      EXPECT_EQ(result->expanded, 1u);
      EXPECT_EQ(result->implementation_rejections, 0u);
      continue;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), SearchError{*c.expected});
  }
}

// ---------------------------------------------------------------------------
// Expansion budget

// On 64 tiles: op 0: p = x @ w0, op 1: q = x @ w1, op 2: r = gelu(q),
// op 3: gelu(r). The catalogue offers many matrix-product plans and none for
// GELU, so a region stops at its first GELU with `NoCandidates`, whose count of
// tried plans is what the budget let the matrix products try.
class ExpansionBudget : public ::testing::Test {
 protected:
  ExpansionBudget() {
    x = ok(graph.input("x", false, TensorShape{{1, 8, 128}}));
    w0 = ok(graph.parameter("w0", {128, 128}));
    w1 = ok(graph.parameter("w1", {128, 128}));
    ok(graph.gemm(x, w0));
    q = ok(graph.gemm(x, w1));
    r = ok(graph.gelu(q));
    last = ok(graph.gelu(r));
    std::erase_if(config.operator_candidates, [](const OperatorCandidate& candidate) {
      const auto* concrete = candidate.get_if<OperatorCandidate::Concrete>();
      return concrete != nullptr && concrete->candidate.plan.operator_.is<MidOperator::Gelu>();
    });
    config.unary_flattening = 2;
    config.retained_gemm_plans = 100000;  // keep every distributed product
  }

  std::size_t tried(const RegionRequest& request, std::size_t max_expansions) const {
    SearchLimits limits = demo_limits;
    limits.max_expansions = max_expansions;
    const SearchResult result = plan_region(graph, request, config, limits);
    EXPECT_FALSE(result.has_value());
    if (result) {
      return result->expanded;
    }
    const auto* none = std::get_if<SearchError::NoCandidates>(&result.error().value);
    EXPECT_NE(none, nullptr) << dump(result.error());
    return none != nullptr ? none->expanded : 0;
  }

  // q = x @ w1, gelu(q), gelu(r): the product comes first of three operations.
  RegionRequest product_first() const {
    return {.operations = {1, 4}, .inputs = {{x, f16_rows(64)}, {w1, f16_rows(64)}}, .outputs = {{last, f16_rows(64)}}};
  }

  ComputeGraph graph;
  PipelineConfig config = PipelineConfig::make(64);
  ValueId x, w0, w1, q, r, last;
};

TEST_F(ExpansionBudget, FirstOfThreeOperationsTriesAThirdOfTheBudget) {
  // Given two thirds of 6144, the product tries more plans than a third of 2048 ...
  EXPECT_GT(tried(product_first(), 3 * 2048), 682u);
  // ... but a third of 2048, rounded down, is all it may try here.
  EXPECT_EQ(tried(product_first(), 2048), 682u);
}

TEST_F(ExpansionBudget, LaterOperationsShareWhatEarlierOnesLeft) {
  // Two products, then a GELU: the first takes 2048 / 3 = 682, the second half
  // of the remaining 1366, spread over its states, 683 in all.
  const RegionRequest request{.operations = {0, 3},
                              .inputs = {{x, f16_rows(64)}, {w0, f16_rows(64)}, {w1, f16_rows(64)}},
                              .outputs = {{r, f16_rows(64)}}};
  EXPECT_EQ(tried(request, 2048), 1365u);
}

// ---------------------------------------------------------------------------
// Determinism

// y = x @ w, z = gelu(y), x + z on 16 tiles with the full catalogue.
SearchResult plan_residual_block(std::uint16_t threads) {
  ComputeGraph graph;
  const ValueId x = ok(graph.input("x", false, TensorShape{{1, 32, 256}}));
  const ValueId w = ok(graph.parameter("w", {256, 256}));
  const ValueId z = ok(graph.gelu(ok(graph.gemm(x, w))));
  const ValueId sum = ok(graph.add(z, x));
  EXPECT_TRUE(graph.set_outputs({sum}));
  PipelineConfig config = PipelineConfig::make(16);
  config = std::move(config).with_automatic_input(x, Precision::f16()).with_automatic_input(w, Precision::f16());
  return plan_graph(graph, config, {{sum, f16_rows(16)}}, demo_limits, SearchOptions{.threads = threads});
}

// One single-threaded run of `plan`, shared by every test of this program.
const SearchReport& single_threaded(SearchResult (*plan)(std::uint16_t)) {
  static std::map<SearchResult (*)(std::uint16_t), SearchReport> reports;
  auto found = reports.find(plan);
  if (found == reports.end()) {
    SearchResult result = plan(1);
    EXPECT_TRUE(result.has_value()) << dump(result.error());
    found = reports.emplace(plan, result.value_or(SearchReport{})).first;
  }
  return found->second;
}

void expect_same_report(SearchResult (*plan)(std::uint16_t), std::uint16_t threads) {
  const SearchReport& expected = single_threaded(plan);
  ASSERT_FALSE(expected.candidates.empty());
  const SearchResult result = plan(threads);
  ASSERT_TRUE(result.has_value()) << dump(result.error());
  EXPECT_TRUE(*result == expected);
}

TEST(SearchDeterminism, DemonstrationReportIsTheSameOnTwoThreads) {
  expect_same_report(examples::plan_demonstration, 2);
}

class ResidualBlockDeterminism : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(ResidualBlockDeterminism, ReportIsTheSameAsOnOneThread) { expect_same_report(plan_residual_block, GetParam()); }

INSTANTIATE_TEST_SUITE_P(Threads, ResidualBlockDeterminism, ::testing::Values(std::uint16_t{2}, std::uint16_t{4}));

}  // namespace
}  // namespace vexa_codegen::mid::optimistic::search
