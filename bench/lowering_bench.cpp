// Lowering and analysis of one distributed matrix product: the first product
// with a distributed dispatch that the demonstration's search placed in one of
// its candidates, lowered again from its plan and operand types.
#include <benchmark/benchmark.h>

#include <optional>
#include <vector>

#include "graphs.hpp"
#include "vexa_codegen/mid/implementation.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"

namespace vexa_codegen::bench {
namespace {

using mid::layout::TensorType;
using mid::operators::OperatorDispatch;
using mid::operators::OperatorPlan;

struct Lowering {
  OperatorPlan plan;
  std::vector<TensorType> inputs;
  TensorType output;
};

std::optional<Lowering> distributed_product() {
  const Problem problem = demonstration();
  const auto report = mid::optimistic::search::plan_graph(problem.graph, problem.config, problem.outputs,
                                                          driver_limits);
  if (!report) {
    return std::nullopt;
  }
  for (const auto& candidate : report->candidates) {
    for (const auto& step : candidate.steps) {
      const auto* op = step.kind.get_if<mid::optimistic::StepKind::Operator>();
      const auto* gemm = op == nullptr ? nullptr : op->plan.dispatch.get_if<OperatorDispatch::Gemm>();
      if (gemm == nullptr || !gemm->distribution || step.outputs.size() != 1) {
        continue;
      }
      Lowering lowering{op->plan, {}, candidate.values[step.outputs.front()].tensor};
      for (const std::size_t input : step.inputs) {
        lowering.inputs.push_back(candidate.values[input].tensor);
      }
      return lowering;
    }
  }
  return std::nullopt;
}

void BM_LowerDistributedProduct(benchmark::State& state) {
  static const std::optional<Lowering> lowering = distributed_product();
  if (!lowering) {
    state.SkipWithError("the demonstration placed no distributed product");
    return;
  }
  for (auto _ : state) {
    auto program = mid::implementation::implement(lowering->plan, lowering->inputs, lowering->output);
    if (program == nullptr) {
      state.SkipWithError("the product no longer lowers");
      return;
    }
    benchmark::DoNotOptimize(program);
  }
  state.SetLabel(mid::operators::dump(*lowering->plan.dispatch.get_if<OperatorDispatch::Gemm>()->distribution));
}
BENCHMARK(BM_LowerDistributedProduct)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vexa_codegen::bench
