#include "report_output.hpp"

#include <sstream>

namespace vexa_plan {
namespace {

using optimistic::DiagnosticMidGraph;
using optimistic::StepKind;
using vexa_codegen::support::dump_value;

Json cycles_json(const optimistic::CycleEstimate& cycles) {
  return Json{{"optimistic", cycles.optimistic}, {"conservative", cycles.conservative}};
}

Json assumptions_json(const optimistic::Assumptions& assumptions) {
  Json list = Json::array();
  for (const auto& assumption : assumptions) {
    list.push_back(dump(assumption));
  }
  return list;
}

Json value_json(std::size_t index, const optimistic::Value& value, const Places& places) {
  const auto& tensor = value.tensor;
  const auto name = places.names.find(value.high);
  return Json{{"index", index},
              {"high", value.high.number},
              {"name", name != places.names.end() ? Json(name->second) : Json()},
              {"shape", tensor.shape.dimensions},
              {"precision", dump(tensor.format.precision)},
              {"order", dump(tensor.format.layout.order)},
              {"memory_class", dump(tensor.format.layout.memory_class)},
              {"tile_count", tensor.format.layout.tiling.tile_count},
              {"replication", tensor.format.layout.tiling.replication},
              {"layout", dump(tensor.format.layout)}};
}

Json step_json(const optimistic::Step& step) {
  Json operations = Json::array();
  for (const auto& operation : step.operations) {
    operations.push_back(operation.number);
  }
  Json json{{"operations", operations},
            {"inputs", step.inputs},
            {"outputs", step.outputs},
            {"cycles", cycles_json(step.cycles)},
            {"assumptions", assumptions_json(step.assumptions)}};
  if (const auto* op = step.kind.get_if<StepKind::Operator>()) {
    json["kind"] = "Operator";
    json["operator"] = dump(op->plan.operator_);
    json["dispatch"] = dump(op->plan.dispatch);
  } else if (const auto* transform = step.kind.get_if<StepKind::Transform>()) {
    json["kind"] = "Transform";
    json["transform"] = dump(transform->transform.kind);
    json["from"] = dump(transform->transform.from);
    json["to"] = dump(transform->transform.to);
  } else if (const auto* fused = step.kind.get_if<StepKind::Fused>()) {
    json["kind"] = "Fused";
    Json kinds = Json::array();
    for (const auto& operation : fused->operations) {
      kinds.push_back(dump(operation.kind));
    }
    json["fused"] = kinds;
  }
  return json;
}

Json candidate_json(std::size_t index, const DiagnosticMidGraph& candidate, const Places& places) {
  const auto& memory = candidate.memory;
  Json values = Json::array();
  for (std::size_t i = 0; i < candidate.values.size(); ++i) {
    values.push_back(value_json(i, candidate.values[i], places));
  }
  Json steps = Json::array();
  for (const auto& step : candidate.steps) {
    steps.push_back(step_json(step));
  }
  return Json{{"index", index},
              {"cycles", cycles_json(candidate.cycles)},
              {"memory",
               {{"standard", memory.standard},
                {"interleaved", memory.interleaved},
                {"total", memory.total},
                {"exchange_rows", memory.exchange_rows},
                {"maximum_standard_allocation", memory.maximum_standard_allocation}}},
              {"balanced_peak", candidate.balanced_peak},
              {"assumptions", assumptions_json(candidate.assumptions)},
              {"tiles", candidate.tiles},
              {"inputs", candidate.inputs},
              {"outputs", candidate.outputs},
              {"values", values},
              {"steps", steps}};
}

}  // namespace

std::string summary(const optimistic::SearchReport& report) {
  namespace queries = optimistic::report;
  std::ostringstream out;
  out << "expanded=" << report.expanded << " truncated=" << (report.truncated ? "true" : "false")
      << " candidates=" << report.candidates.size() << " opportunities=" << queries::opportunities(report).size()
      << '\n';
  if (const auto* reference = queries::reference(report)) {
    out << "referenceCycles=" << reference->cycles.conservative << '\n';
  }
  for (std::size_t i = 0; i < report.candidates.size() && i < 5; ++i) {
    const auto& candidate = report.candidates[i];
    out << "candidate=" << i << " cycles=" << dump(candidate.cycles) << " memory=" << dump(candidate.memory)
        << " assumptions=" << dump_value(candidate.assumptions) << '\n';
  }
  return out.str();
}

Json report_json(const optimistic::SearchReport& report, const Places& places) {
  namespace queries = optimistic::report;
  const DiagnosticMidGraph* reference = queries::reference(report);
  const DiagnosticMidGraph* first = report.candidates.data();
  Json opportunities = Json::array();
  for (const auto& opportunity : queries::opportunities(report)) {
    opportunities.push_back(static_cast<std::size_t>(&opportunity - first));
  }
  Json candidates = Json::array();
  for (std::size_t i = 0; i < report.candidates.size(); ++i) {
    candidates.push_back(candidate_json(i, report.candidates[i], places));
  }
  return Json{{"expanded", report.expanded},
              {"memory_rejections", report.memory_rejections},
              {"implementation_rejections", report.implementation_rejections},
              {"truncated", report.truncated},
              {"reference", reference != nullptr ? Json(static_cast<std::size_t>(reference - first)) : Json()},
              {"reference_cycles", reference != nullptr ? Json(reference->cycles.conservative) : Json()},
              {"opportunities", opportunities},
              {"candidates", candidates}};
}

}  // namespace vexa_plan
