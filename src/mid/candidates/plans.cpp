// Plan enumeration for one operation.
#include <algorithm>
#include <ranges>

#include "detail.hpp"
#include "vexa_codegen/mid/planner.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

std::optional<GemmPlanConstraint> constraint_for(const graph::Operation& operation, const PipelineConfig& config) {
  const auto found =
      std::ranges::find(config.gemm_constraints, operation.id.number, &GemmPlanConstraint::source_operation);
  if (found == config.gemm_constraints.end()) {
    return std::nullopt;
  }
  return *found;
}

/// Whether output grouping 2 refuses the plan: a product whose result order
/// has no product output group.
bool lacks_output_group(const OperatorPlan& plan) {
  return plan.operator_.is<MidOperator::Gemm>() && !plan.storage.output.format.layout.order.has_gemm_output_group();
}

}  // namespace

std::vector<OperatorPlan> plans(const graph::Operation& operation, const std::vector<TensorType>& operand_types,
                                const std::vector<bool>& parameter_flags, const graph::TensorShape& result_shape,
                                const PipelineConfig& config, const estimate::cycles::CostModel& cost_model,
                                std::span<const OutputDemand> demands, const GenerationContext& context) {
  const std::optional<GemmPlanConstraint> constraint = constraint_for(operation, config);
  detail::PlanList listed;

  using Kind = graph::OperationKind;
  if (operation.kind.is<Kind::FlashAttention>()) {
    auto attention = detail::attention_plans(operation, operand_types, config);
    if (!attention) {
      return {};
    }
    for (OperatorPlan& plan : *attention) {
      listed.push(std::move(plan));
    }
  } else if (const auto* slice = operation.kind.get_if<Kind::Slice>()) {
    for (OperatorPlan& plan : detail::slice_plans(slice->slice, operand_types, result_shape, config)) {
      listed.push(std::move(plan));
    }
  } else if (const auto* view = operation.kind.get_if<Kind::View>()) {
    detail::add_view_plans(listed, view->view, operand_types, result_shape, config);
  }

  if (operand_types.size() == 1 && operand_types[0].shape == result_shape && config.unary_flattening != 2) {
    detail::add_flattened_plans(listed, operation, operand_types[0], result_shape, config);
  }

  for (const catalogue::OperatorCandidate& candidate : config.operator_candidates) {
    const detail::PlanList generated =
        detail::catalogue_entry_plans(candidate, operation, operand_types, parameter_flags, result_shape, config,
                                      cost_model, constraint, demands, context);
    for (OperatorPlan plan : generated.plans()) {
      if (!plan.supports(operand_types, result_shape)) {
        continue;
      }
      if (plan.storage.output_aliases) {
        plan.storage.output_aliases = resolved_output_aliasing(plan, operand_types, result_shape);
      }
      listed.push_unique(std::move(plan));
    }
  }

  std::vector<OperatorPlan> result = std::move(listed).release();
  std::erase_if(result, [&](const OperatorPlan& plan) {
    return !planner::plan_fits_operator_memory(plan, operand_types, result_shape, config) ||
           (config.gemm_output_grouping == 2 && lacks_output_group(plan));
  });

  if (constraint) {
    std::erase_if(result, [&](const OperatorPlan& plan) { return !satisfies_gemm_constraint(plan, *constraint); });
    support::emit_diagnostic(context.diagnostics, support::DiagnosticLevel::Info, "applied GEMM plan constraint", [&] {
      return std::vector<support::DiagnosticField>{support::diagnostic_field("matching_plans", result.size()),
                                                   support::diagnostic_field("constraint", *constraint)};
    });
  }
  return result;
}

}  // namespace vexa_codegen::mid::candidates
