#include "vexa_codegen/mid/optimistic/report.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace vexa_codegen::mid::optimistic::report {
namespace {

using layout::Layout;
using layout::Precision;
using layout::TensorFormat;
using layout::TensorType;

DiagnosticMidGraph candidate(std::uint64_t optimistic, std::uint64_t conservative, Assumptions assumptions = {}) {
  DiagnosticMidGraph graph;
  graph.cycles = {optimistic, conservative};
  graph.assumptions = std::move(assumptions);
  return graph;
}

const Assumptions missing_cost{Assumption::missing_cost_model()};

TEST(Reference, CheapestAssumptionFreeCandidateFirstOfEquals) {
  SearchReport report;
  report.candidates = {candidate(10, 50, missing_cost), candidate(40, 40), candidate(30, 40), candidate(20, 60)};
  const auto* best = reference(report);
  ASSERT_NE(best, nullptr);
  EXPECT_EQ(best, &report.candidates[1]);
}

TEST(Reference, LastCandidateCanBeTheReference) {
  SearchReport report;
  report.candidates = {candidate(1, 2, missing_cost), candidate(3, 4, missing_cost), candidate(900, 1000)};
  EXPECT_EQ(reference(report), &report.candidates[2]);
  // Opportunities: every candidate with assumptions whose optimistic figure is below 1000.
  EXPECT_EQ(opportunities(report).size(), 2u);
}

TEST(Reference, AbsentWhenEveryCandidateRestsOnAnAssumption) {
  SearchReport report;
  report.candidates = {candidate(1, 2, missing_cost), candidate(3, 4, missing_cost)};
  EXPECT_EQ(reference(report), nullptr);
  EXPECT_TRUE(opportunities(report).empty());
  EXPECT_EQ(opportunities(report).size(), 0u);
}

TEST(Opportunities, StrictlyBelowTheReferenceInReportOrder) {
  SearchReport report;
  report.candidates = {candidate(99, 300, missing_cost),   // below 100: opportunity
                       candidate(100, 100),                // the reference
                       candidate(100, 500, missing_cost),  // equal: not an opportunity
                       candidate(50, 50),                  // assumption-free: never an opportunity
                       candidate(7, 700, missing_cost)};
  report.candidates[3].cycles = {120, 120};  // keep the reference at 100
  const auto view = opportunities(report);
  std::vector<const DiagnosticMidGraph*> walked;
  for (const auto& graph : view) {
    walked.push_back(&graph);
  }
  EXPECT_EQ(walked, (std::vector<const DiagnosticMidGraph*>{&report.candidates[0], &report.candidates[4]}));
  EXPECT_EQ(view.size(), 2u);
  EXPECT_EQ(std::distance(view.begin(), view.end()), 2);
}

TEST(AssumptionWorth, LargestSavingPerAssumptionRankedWithTiesInAssumptionOrder) {
  const Assumption kernel_a = Assumption::missing_kernel("a");
  const Assumption kernel_b = Assumption::missing_kernel("b");
  const Assumption equivalence = Assumption::missing_equivalence_rule();
  const Assumption eligibility = Assumption::conversion_eligibility();
  const Assumption cost = Assumption::missing_cost_model();
  SearchReport report;
  report.candidates = {candidate(400, 900, {cost, kernel_b}),  // saves 1000 - 400 = 600
                       candidate(1000, 1000),                          // the reference
                       candidate(700, 800, {cost}),                    // saves 300: below cost's 600
                       candidate(900, 950, {kernel_a}),                // saves 100
                       candidate(900, 950, {equivalence}),             // saves 100, ties with kernel_a
                       candidate(1000, 1200, {eligibility}),           // equal to the reference: no opportunity
                       candidate(50, 50)};
  report.candidates[6].cycles = {1100, 1100};  // keep the reference at 1000
  const std::vector<AssumptionWorth> expected{
      {kernel_b, 600}, {cost, 600}, {kernel_a, 100}, {equivalence, 100}};
  ASSERT_LT(kernel_b, cost);
  ASSERT_LT(kernel_a, equivalence);
  EXPECT_EQ(assumption_worth(report), expected);
}

TEST(AssumptionWorth, NothingWithoutAReferenceOrOpportunities) {
  SearchReport no_reference;
  no_reference.candidates = {candidate(1, 2, missing_cost)};
  EXPECT_TRUE(assumption_worth(no_reference).empty());
  SearchReport no_opportunity;
  no_opportunity.candidates = {candidate(5, 5), candidate(5, 9, missing_cost)};
  EXPECT_TRUE(assumption_worth(no_opportunity).empty());
}

TEST(WrapLabel, KeepsLinesAndWrapsAtFiftyTwoBytes) {
  EXPECT_EQ(wrap_label(""), "");
  EXPECT_EQ(wrap_label("a\n\nb"), "a\n\nb");
  EXPECT_EQ(wrap_label("a\r\nb\n"), "a\nb");
  EXPECT_EQ(wrap_label("  spaced \t out\r  "), "spaced out");
  const std::string word(60, 'x');
  EXPECT_EQ(wrap_label("a " + word + " b"), "a\n" + word + "\nb");
  const std::string fifty(50, 'y');
  EXPECT_EQ(wrap_label(fifty + " z"), fifty + " z");         // 52 bytes fit
  EXPECT_EQ(wrap_label(fifty + " zz"), fifty + "\nzz");      // 53 do not
  EXPECT_EQ(wrap_label("a\xC2\xA0" "b\xE3\x80\x80" "c"), "a b c");  // Unicode blanks split words
}

TensorType f16_rows(std::vector<std::uint32_t> shape, std::uint16_t tiles) {
  return TensorType{graph::TensorShape{std::move(shape)}, TensorFormat{Precision::f16(), Layout::row_sharded(tiles)}};
}

TEST(ToDot, StepFreeCandidate) {
  DiagnosticMidGraph graph;
  graph.values = {Value{f16_rows({1, 8, 128}, 64), graph::ValueId{0}}};
  graph.inputs = {0};
  graph.outputs = {0, 0};
  EXPECT_EQ(to_dot(graph),
            "digraph optimistic_mid {\n"
            "  rankdir=TB; nodesep=0.2; ranksep=0.35;\n"
            "  node [fontname=monospace,fontsize=11];\n"
            "  v0 [shape=box,label=\"v0 / high 0\\n[1, 8, 128]\\nF16 RowMajor\\n64 owners, 1 replicas\"];\n"
            "  v0 [penwidth=3];\n"
            "  v0 [penwidth=3];\n"
            "}\n");
}

TEST(ToDot, StepsEdgesColoursAndWrappedAssumptions) {
  DiagnosticMidGraph graph;
  graph.values = {Value{f16_rows({8, 128}, 2), graph::ValueId{3}}, Value{f16_rows({8, 128}, 4), graph::ValueId{3}}};
  Transform transform{graph.values[0].tensor, graph.values[1].tensor, {5, 9}, {}, TransformKind::Redistribute};
  const std::string text = "F16 RowMajor -> F8F143 { scale_exponent: 0 } Amp(Left)";
  Step step{{}, {0}, {1}, StepKind{StepKind::Transform{transform}}, {5, 9},
            Assumptions{Assumption::missing_kernel(text), Assumption::missing_cost_model()}};
  graph.steps = {step};
  graph.outputs = {1};
  const std::string dot = to_dot(graph);
  // The assumption line `{MissingKernel("..."), MissingCostModel}` is longer
  // than 52 bytes and wraps at the last blank that keeps the first line within 52.
  EXPECT_NE(dot.find("  s0 [label=\"Redistribute\\n5 / 9 cycles\\n"
                     "{MissingKernel(\\\"F16 RowMajor -> F8F143 {\\n"
                     "scale_exponent: 0 } Amp(Left)\\\"), MissingCostModel}\",color=red];\n"
                     "  v0 -> s0;\n"
                     "  s0 -> v1;\n"
                     "  v1 [penwidth=3];\n"
                     "}\n"),
            std::string::npos)
      << dot;

  graph.steps[0].assumptions.clear();
  EXPECT_NE(to_dot(graph).find("\\n5 / 9 cycles\\n{}\",color=black];"), std::string::npos);
}

TEST(ToDot, FusedAndOperatorStepKinds) {
  DiagnosticMidGraph graph;
  graph.values = {Value{f16_rows({8, 128}, 2), graph::ValueId{0}}};
  graph::Operation add{graph::OperationId{1}, {}, {}, graph::OperationKind::add()};
  graph::Operation gelu{graph::OperationId{2}, {}, {}, graph::OperationKind::gelu()};
  graph.steps = {Step{{}, {0}, {0}, StepKind{StepKind::Fused{{add, gelu}}}, {}, {}}};
  EXPECT_NE(to_dot(graph).find("label=\"fused [Add, Gelu]\\n0 / 0 cycles\\n{}\""), std::string::npos);

  operators::OperatorPlan plan{};
  plan.operator_ = operators::MidOperator{operators::MidOperator::Gelu{}};
  graph.steps = {Step{{}, {0}, {0}, StepKind{StepKind::Operator{plan, nullptr}}, {}, {}}};
  EXPECT_NE(to_dot(graph).find("label=\"Gelu\\n0 / 0 cycles\\n{}\""), std::string::npos);
}

}  // namespace
}  // namespace vexa_codegen::mid::optimistic::report
