#include "explain_output.hpp"

#include "vexa_codegen/mid/optimistic/report.hpp"
#include "vexa_codegen/support/overloaded.hpp"

namespace vexa_plan {
namespace {

namespace trace = optimistic::trace;

Json cycles_json(const optimistic::CycleEstimate& cycles) {
  return Json{{"optimistic", cycles.optimistic}, {"conservative", cycles.conservative}};
}

Json successors_json(const std::vector<trace::Successor>& successors) {
  Json list = Json::array();
  for (const trace::Successor& successor : successors) {
    Json conversions = Json::array();
    for (const optimistic::TransformKind kind : successor.conversions) {
      conversions.push_back(optimistic::dump(kind));
    }
    list.push_back(Json{{"conversions", std::move(conversions)},
                        {"cycles", cycles_json(successor.cycles)},
                        {"balanced_peak", successor.balanced_peak},
                        {"kept", successor.kept}});
  }
  return list;
}

Json event_json(const trace::Event& event) {
  return std::visit(
      vexa_codegen::support::Overloaded{
          [](const trace::PlanTried& tried) {
            Json required = Json::array();
            for (const auto& type : tried.required) {
              required.push_back(vexa_codegen::mid::layout::dump(type));
            }
            return Json{{"event", "plan_tried"},
                        {"operation", tried.operation},
                        {"id", tried.id.number},
                        {"state", tried.state},
                        {"plan", tried.plan},
                        {"required", std::move(required)},
                        {"result", vexa_codegen::mid::layout::dump(tried.result)},
                        {"fate", trace::dump(tried.fate)},
                        {"cycles", tried.cycles ? cycles_json(*tried.cycles) : Json()},
                        {"memory", tried.memory ? Json(vexa_codegen::estimate::memory::dump(*tried.memory)) : Json()},
                        {"successors", successors_json(tried.successors)}};
          },
          [](const trace::BudgetExhausted& exhausted) {
            return Json{{"event", "budget_exhausted"},
                        {"operation", exhausted.operation},
                        {"id", exhausted.id.number},
                        {"state", exhausted.state},
                        {"untried", exhausted.untried}};
          },
          [](const trace::Pruned& pruned) {
            return Json{{"event", "pruned"},
                        {"site", trace::dump(pruned.site)},
                        {"states_in", pruned.states_in},
                        {"states_out", pruned.states_out},
                        {"truncated", pruned.truncated}};
          },
          [](const trace::OutputDelivered& delivered) {
            return Json{{"event", "output_delivered"},
                        {"output", delivered.output.number},
                        {"state", delivered.state},
                        {"successors", successors_json(delivered.successors)}};
          },
          [](const trace::FusionOffered& offered) {
            return Json{{"event", "fusion_offered"},
                        {"state", offered.state},
                        {"fused", offered.fused ? cycles_json(*offered.fused) : Json()},
                        {"unfused_kept", offered.unfused_kept}};
          }},
      event.value);
}

}  // namespace

std::string trace_lines(const std::vector<trace::Event>& events) {
  std::string text;
  for (const trace::Event& event : events) {
    text += event_json(event).dump(-1, ' ', false, Json::error_handler_t::replace);
    text += '\n';
  }
  return text;
}

std::string explanation_text(const trace::Explanation& explanation, const optimistic::SearchReport& report) {
  std::string text = "why not:\n";
  for (const trace::WhyNot& why : trace::why_not(explanation, report)) {
    text += "  " + vexa_codegen::graph::dump(why.operation) + ": used ";
    text += why.fused ? std::string("a fused step") : why.chosen.value_or("nothing");
    text += '\n';
    if (why.alternative) {
      text += "    best not used: " + *why.alternative + '\n';
      text += "    " + (why.cycles ? optimistic::dump(*why.cycles) : std::string("not priced")) +
              ", lost on " + trace::dump(why.reason.value_or(trace::LossReason::Budget)) + '\n';
    } else {
      text += "    no other plan was seen\n";
    }
  }
  const auto worth = optimistic::report::assumption_worth(report);
  text += "what each missing piece is worth:\n";
  if (worth.empty()) {
    text += "  nothing: no opportunity beats the reference\n";
  }
  for (const auto& entry : worth) {
    text += "  " + optimistic::dump(entry.assumption) + ": up to " + std::to_string(entry.saving) +
            " cycles faster\n";
  }
  return text;
}

}  // namespace vexa_plan
