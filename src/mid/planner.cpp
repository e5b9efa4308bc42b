#include "vexa_codegen/mid/planner.hpp"

#include <algorithm>
#include <array>
#include <functional>

#include "vexa_codegen/estimate/memory.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid::planner {
namespace {

std::array<std::uint64_t, 6> figures(const PlanMetrics& m) {
  return {m.cycles, m.standard, m.interleaved, m.total, m.exchange_rows, m.maximum_standard_allocation};
}

}  // namespace

PlanMetrics PlanMetrics::of(const MidProgram& program) noexcept {
  const estimate::memory::MemoryPeaks& memory = program.memory;
  return {program.cycles.optimistic, memory.standard,      memory.interleaved,
          memory.total,              memory.exchange_rows, memory.maximum_standard_allocation};
}

PlanMetrics PlanMetrics::unpriced() noexcept { return {support::saturated, 0, 0, 0, 0, 0}; }

bool PlanMetrics::dominates(const PlanMetrics& other) const noexcept {
  const auto mine = figures(*this);
  const auto theirs = figures(other);
  return mine != theirs && std::ranges::equal(mine, theirs, std::less_equal<>{});
}

bool plan_fits_operator_memory(const operators::OperatorPlan& plan, const std::vector<layout::TensorType>& inputs,
                               const graph::TensorShape& output, const PipelineConfig& config) {
  const auto [operands, result] = plan.tensor_types(inputs, output);
  std::uint64_t standard = 0;
  std::uint64_t interleaved = 0;
  const auto account = [&](const layout::TensorType& type) {
    const auto [type_standard, type_interleaved] = estimate::memory::tensor_memory(type);
    standard = std::max(standard, type_standard);
    interleaved = std::max(interleaved, type_interleaved);
  };
  std::ranges::for_each(operands, account);
  account(result);
  const std::uint64_t needed = support::sat_add(support::sat_add(interleaved, standard), config.reserved_bytes);
  return interleaved <= vexa21_interleaved_memory_bytes && needed <= config.tile_memory_capacity();
}

std::string dump(const PlanMetrics& metrics) {
  return support::RecordDump("PlanMetrics")
      .field("cycles", metrics.cycles)
      .field("standard", metrics.standard)
      .field("interleaved", metrics.interleaved)
      .field("total", metrics.total)
      .field("exchange_rows", metrics.exchange_rows)
      .field("maximum_standard_allocation", metrics.maximum_standard_allocation)
      .str();
}

}  // namespace vexa_codegen::mid::planner
