// Small fixtures shared by the candidate-generation tests: tensor types, a
// cost model whose figures the test chooses, and a receiver that records
// diagnostic events.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "vexa_codegen/estimate/cycles.hpp"
#include "vexa_codegen/mid/candidates.hpp"
#include "vexa_codegen/mid/planner.hpp"
#include "vexa_codegen/support/diagnostics.hpp"

namespace vexa_codegen::mid::layout {
inline void PrintTo(const Layout& layout, std::ostream* os) { *os << dump(layout); }
inline void PrintTo(const ElementOrder& order, std::ostream* os) { *os << dump(order); }
}  // namespace vexa_codegen::mid::layout

namespace vexa_codegen::mid::operators {
inline void PrintTo(const OperatorPlan& plan, std::ostream* os) { *os << dump(plan); }
}  // namespace vexa_codegen::mid::operators

namespace vexa_codegen::mid::candidates {
inline void PrintTo(const ParallelGridProxy& proxy, std::ostream* os) { *os << dump(proxy); }
}  // namespace vexa_codegen::mid::candidates

namespace vexa_codegen::mid::candidates::demand {
inline void PrintTo(const OutputDemand& demand, std::ostream* os) { *os << dump(demand); }
}  // namespace vexa_codegen::mid::candidates::demand

namespace vexa_codegen::mid::candidates::testing {

using graph::TensorShape;
using layout::ElementOrder;
using layout::Precision;
using layout::TensorFormat;
using layout::TensorType;
using operators::OperatorDispatch;
using operators::TileKernelSpec;
using planner::PlanMetrics;

/// The 16-bit product without transposes that most product tests plan.
inline const MidOperator::Gemm f16_gemm{graph::GemmOptions{}, Precision::f16(), operators::AccumulationPrecision::F16};

inline TensorShape shape(std::vector<std::uint32_t> dimensions) { return TensorShape{std::move(dimensions)}; }

inline TensorType tensor(std::vector<std::uint32_t> dimensions, const Layout& layout,
                         Precision precision = Precision::f16()) {
  return TensorType{shape(std::move(dimensions)), TensorFormat{precision, layout}};
}

/// A plan whose dispatch carries `id` (a zero-fill kernel's first parameter),
/// so that `ChosenCostModel` can price it.
inline std::uint32_t plan_id(const OperatorPlan& plan) {
  if (const auto* kernel = plan.dispatch.get_if<OperatorDispatch::TileKernel>()) {
    if (const auto* fill = kernel->kernel.get_if<TileKernelSpec::FillZero>()) {
      return fill->first;
    }
  }
  return 0;
}

/// A cost model whose programs carry the metrics the test assigns to plan ids;
/// a plan without an entry has no program. It counts its calls and may be
/// called from several threads.
class ChosenCostModel final : public estimate::cycles::CostModel {
 public:
  ChosenCostModel() = default;
  explicit ChosenCostModel(std::map<std::uint32_t, PlanMetrics> metrics) : metrics_(std::move(metrics)) {}

  [[nodiscard]] std::shared_ptr<const MidProgram> implementation(const OperatorPlan& plan,
                                                                 const std::vector<TensorType>& /*inputs*/,
                                                                 const TensorType& /*output*/) const override {
    calls_.fetch_add(1, std::memory_order_relaxed);
    const auto found = metrics_.find(plan_id(plan));
    if (found == metrics_.end()) {
      return nullptr;
    }
    const PlanMetrics& m = found->second;
    auto program = std::make_shared<MidProgram>();
    program->cycles = {m.cycles, m.cycles};
    program->memory = {m.standard, m.interleaved, m.total, m.exchange_rows, m.maximum_standard_allocation};
    return program;
  }

  [[nodiscard]] std::uint64_t cast_cycles(const TensorType& /*source*/, const Precision& /*to*/) const override {
    return 0;
  }

  [[nodiscard]] estimate::cycles::RearrangementCost rearrangement_cost(const TensorShape& /*shape*/,
                                                                       const Precision& /*precision*/,
                                                                       operators::ConversionStrategy /*strategy*/,
                                                                       const Layout& /*from*/,
                                                                       const Layout& /*to*/) const override {
    return estimate::cycles::RearrangementCost::none();
  }

  /// Replaces the figures; not to be called while the model is in use.
  void assign(std::map<std::uint32_t, PlanMetrics> metrics) { metrics_ = std::move(metrics); }

  [[nodiscard]] std::size_t calls() const { return calls_.load(); }

 private:
  std::map<std::uint32_t, PlanMetrics> metrics_;
  mutable std::atomic<std::size_t> calls_{0};
};

/// Records every event it receives.
class RecordingReceiver final : public support::DiagnosticReceiver {
 public:
  void receive(const support::DiagnosticEvent& event) override {
    const std::scoped_lock lock(mutex_);
    events_.push_back(event);
  }
  [[nodiscard]] std::vector<support::DiagnosticEvent> events() const {
    const std::scoped_lock lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<support::DiagnosticEvent> events_;
};

}  // namespace vexa_codegen::mid::candidates::testing
