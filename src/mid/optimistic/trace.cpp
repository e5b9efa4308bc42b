#include "vexa_codegen/mid/optimistic/trace.hpp"

#include <algorithm>
#include <tuple>

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/overloaded.hpp"

namespace vexa_codegen::mid::optimistic::trace {
namespace {

// The closest miss among the tries of one plan.
LossReason closest(LossReason left, LossReason right) { return std::min(left, right); }

// What one try of a plan came to.
LossReason loss_of(const PlanTried& tried) {
  switch (tried.fate) {
    case PlanFate::InvalidType:
      return LossReason::InvalidType;
    case PlanFate::NoImplementation:
      return LossReason::NoImplementation;
    case PlanFate::Priced:
      break;
  }
  if (tried.successors.empty()) {
    return LossReason::NoConversion;
  }
  const bool any_kept = std::ranges::any_of(tried.successors, &Successor::kept);
  return any_kept ? LossReason::BeamRank : LossReason::Memory;
}

// Where the best candidate carries out operation `id`: its operator step's plan,
// or a fused step.
struct Choice {
  std::optional<std::string> plan;
  bool fused = false;
};

Choice choice_of(const SearchReport& report, graph::OperationId id) {
  if (report.candidates.empty()) {
    return {};
  }
  for (const Step& step : report.candidates.front().steps) {
    if (std::ranges::find(step.operations, id) == step.operations.end()) {
      continue;
    }
    if (const auto* op = step.kind.get_if<StepKind::Operator>()) {
      return {dump(op->plan), false};
    }
    if (step.kind.is<StepKind::Fused>()) {
      return {std::nullopt, true};
    }
  }
  return {};
}

// Orders the outcomes of plans not used: priced ones first by their cycle pair,
// then by closest miss. Ties keep their order because the selection is stable.
auto rank_key(const Explanation::Outcome& outcome) {
  const bool priced = outcome.cycles.has_value();
  const CycleEstimate cycles = outcome.cycles.value_or(CycleEstimate{});
  return std::tuple{!priced, cycles.optimistic, cycles.conservative, outcome.best};
}

}  // namespace

void Recorder::observe(const Event& event) { events_.push_back(event); }

Explanation::Outcome& Explanation::outcome(std::size_t operation, graph::OperationId id, const std::string& plan) {
  if (operations_.size() <= operation) {
    operations_.resize(operation + 1);
  }
  Operation& entry = operations_[operation];
  entry.id = id;
  const auto found = std::ranges::find(entry.plans, plan, &Outcome::plan);
  if (found != entry.plans.end()) {
    return *found;
  }
  return entry.plans.emplace_back(Outcome{plan, std::nullopt, LossReason::Budget});
}

void Explanation::observe(const Event& event) {
  if (const auto* tried = event.get_if<PlanTried>()) {
    Outcome& entry = outcome(tried->operation, tried->id, tried->plan);
    if (tried->cycles && !entry.cycles) {
      entry.cycles = tried->cycles;
    }
    entry.best = closest(entry.best, loss_of(*tried));
  } else if (const auto* exhausted = event.get_if<BudgetExhausted>()) {
    for (const std::string& plan : exhausted->untried) {
      (void)outcome(exhausted->operation, exhausted->id, plan);
    }
  }
}

std::vector<WhyNot> why_not(const Explanation& explanation, const SearchReport& report) {
  std::vector<WhyNot> answers;
  for (const Explanation::Operation& operation : explanation.operations()) {
    const Choice choice = choice_of(report, operation.id);
    WhyNot answer;
    answer.operation = operation.id;
    answer.chosen = choice.plan;
    answer.fused = choice.fused;
    const Explanation::Outcome* best = nullptr;
    for (const Explanation::Outcome& outcome : operation.plans) {
      if (choice.plan == outcome.plan) {
        continue;
      }
      if (best == nullptr || rank_key(outcome) < rank_key(*best)) {
        best = &outcome;
      }
    }
    if (best != nullptr) {
      answer.alternative = best->plan;
      answer.cycles = best->cycles;
      answer.reason = best->best;
    }
    answers.push_back(std::move(answer));
  }
  return answers;
}

std::string dump(PlanFate fate) {
  switch (fate) {
    case PlanFate::InvalidType:
      return "InvalidType";
    case PlanFate::NoImplementation:
      return "NoImplementation";
    case PlanFate::Priced:
      return "Priced";
  }
  return {};
}

std::string dump(PruneSite site) {
  switch (site) {
    case PruneSite::Overflow:
      return "Overflow";
    case PruneSite::Operation:
      return "Operation";
    case PruneSite::Output:
      return "Output";
  }
  return {};
}

std::string dump(LossReason reason) {
  switch (reason) {
    case LossReason::BeamRank:
      return "BeamRank";
    case LossReason::Memory:
      return "Memory";
    case LossReason::NoConversion:
      return "NoConversion";
    case LossReason::NoImplementation:
      return "NoImplementation";
    case LossReason::InvalidType:
      return "InvalidType";
    case LossReason::Budget:
      return "Budget";
  }
  return {};
}

std::string dump(const Successor& successor) {
  return support::RecordDump("Successor")
      .field("conversions", successor.conversions)
      .field("cycles", successor.cycles)
      .field("balanced_peak", successor.balanced_peak)
      .field("kept", successor.kept)
      .str();
}

std::string dump(const Event& event) {
  return std::visit(
      support::Overloaded{
          [](const PlanTried& tried) {
            return support::RecordDump("PlanTried")
                .field("operation", tried.operation)
                .field("id", tried.id)
                .field("state", tried.state)
                .field("plan", tried.plan)
                .field("required", tried.required)
                .field("result", tried.result)
                .field("fate", tried.fate)
                .field("cycles", tried.cycles)
                .field("memory", tried.memory)
                .field("successors", tried.successors)
                .str();
          },
          [](const BudgetExhausted& exhausted) {
            return support::RecordDump("BudgetExhausted")
                .field("operation", exhausted.operation)
                .field("id", exhausted.id)
                .field("state", exhausted.state)
                .field("untried", exhausted.untried)
                .str();
          },
          [](const Pruned& pruned) {
            return support::RecordDump("Pruned")
                .field("site", pruned.site)
                .field("states_in", pruned.states_in)
                .field("states_out", pruned.states_out)
                .field("truncated", pruned.truncated)
                .str();
          },
          [](const OutputDelivered& delivered) {
            return support::RecordDump("OutputDelivered")
                .field("output", delivered.output)
                .field("state", delivered.state)
                .field("successors", delivered.successors)
                .str();
          },
          [](const FusionOffered& offered) {
            return support::RecordDump("FusionOffered")
                .field("state", offered.state)
                .field("fused", offered.fused)
                .field("unfused_kept", offered.unfused_kept)
                .str();
          }},
      event.value);
}

std::string dump(const WhyNot& why) {
  return support::RecordDump("WhyNot")
      .field("operation", why.operation)
      .field("chosen", why.chosen)
      .field("fused", why.fused)
      .field("alternative", why.alternative)
      .field("cycles", why.cycles)
      .field("reason", why.reason)
      .str();
}

}  // namespace vexa_codegen::mid::optimistic::trace
