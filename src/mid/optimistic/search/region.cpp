// The region search: a beam search over the operations of a straight-line
// region, and the whole-graph entry that plans a graph as one region.
#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <ranges>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "vexa_codegen/estimate/memoized.hpp"
#include "vexa_codegen/estimate/tensor.hpp"
#include "vexa_codegen/mid/candidates.hpp"
#include "vexa_codegen/mid/candidates/demand.hpp"
#include "vexa_codegen/mid/optimistic/fusion.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::mid::optimistic::search {
namespace {

using graph::ComputeGraph;
using graph::Operation;
using graph::ValueId;
using layout::TensorFormat;
using layout::TensorType;

constexpr std::string_view limits_message = "empty region or invalid/exceeded search limits";
constexpr std::string_view escaping_message = "outputs must include every escaping regional result";

std::size_t lookup(const std::map<ValueId, std::size_t>& values, ValueId id) {
  const auto found = values.find(id);
  if (found == values.end()) {
    support::invariant_failed("no entry found for key");
  }
  return found->second;
}

// What the request checks establish about the region.
struct RegionFacts {
  std::set<ValueId> defined;
  std::set<ValueId> free;
};

std::expected<RegionFacts, SearchError> check_region(const ComputeGraph& graph, const RegionRequest& request,
                                                     const PipelineConfig& config, const SearchLimits& limits) {
  const auto& operations = graph.operations();
  const auto [start, end] = request.operations;
  if (start > end || end > operations.size()) {
    return std::unexpected(invalid("invalid operation range"));
  }
  if (start == end || end - start > limits.max_operations || limits.beam_width == 0 ||
      limits.max_conversion_steps == 0 || limits.max_conversion_paths == 0 || limits.max_expansions == 0 ||
      config.tiles == 0) {
    return std::unexpected(invalid(limits_message));
  }

  RegionFacts facts;
  for (std::size_t i = start; i < end; ++i) {
    const Operation& operation = operations[i];
    if (operation.kind.is<graph::OperationKind::Repeat>() || operation.results.size() != 1) {
      return std::unexpected(SearchError{SearchError::UnsupportedOperation{operation.id}});
    }
    for (const ValueId operand : operation.inputs) {
      if (!facts.defined.contains(operand)) {
        facts.free.insert(operand);
      }
    }
    facts.defined.insert(operation.results.front());
  }

  const bool inputs_cover = std::ranges::equal(request.inputs | std::views::keys, facts.free);
  if (!inputs_cover) {
    return std::unexpected(invalid("boundary inputs must exactly cover region free values"));
  }

  // Values of the region that something after it still reads.
  std::set<ValueId> escaping;
  const auto escape = [&](ValueId id) {
    if (facts.defined.contains(id)) {
      escaping.insert(id);
    }
  };
  for (std::size_t i = end; i < operations.size(); ++i) {
    for (const ValueId operand : operations[i].inputs) {
      escape(operand);
    }
    if (const auto* repeat = operations[i].kind.get_if<graph::OperationKind::Repeat>()) {
      for (const auto sequence_id : repeat->repeat.iterated_inputs) {
        if (const auto sequence = graph.find_sequence(sequence_id)) {
          for (const ValueId entry : sequence->get().entries) {
            escape(entry);
          }
        }
      }
    }
  }
  for (const ValueId output : graph.outputs()) {
    escape(output);
  }
  const bool outputs_cover = std::ranges::all_of(escaping, [&](ValueId id) { return request.outputs.contains(id); });
  if (!outputs_cover || request.outputs.empty() ||
      !std::ranges::all_of(request.outputs | std::views::keys, [&](ValueId id) { return facts.defined.contains(id); })) {
    return std::unexpected(invalid(escaping_message));
  }

  for (const auto& [id, format] : request.inputs) {
    const auto shape = graph.value_shape(id);
    if (!shape) {
      return std::unexpected(invalid("unknown input"));
    }
    if (!valid_tensor(TensorType{shape->get(), format}, config.tiles)) {
      return std::unexpected(invalid("invalid input format"));
    }
  }
  for (const auto& [id, format] : request.outputs) {
    const auto shape = graph.value_shape(id);
    if (!shape) {
      return std::unexpected(invalid("unknown output"));
    }
    if (!valid_tensor(TensorType{shape->get(), format}, config.tiles)) {
      return std::unexpected(invalid("invalid output format"));
    }
  }
  return facts;
}

State initial_state(const ComputeGraph& graph, const RegionRequest& request, std::uint16_t tiles) {
  State state;
  state.graph.tiles = tiles;
  for (const auto& [id, format] : request.inputs) {
    const std::size_t index = state.value(id, TensorType{graph.value_shape(id)->get(), format});
    state.graph.inputs.push_back(index);
    state.values.emplace(id, index);
  }
  return state;
}

// The working data of one search.
class RegionSearch {
 public:
  RegionSearch(const ComputeGraph& graph, const RegionRequest& request, const PipelineConfig& config,
               const SearchLimits& limits, const SearchOptions& options)
      : graph_(graph),
        request_(request),
        config_(config),
        limits_(limits),
        operations_(std::span(graph.operations()).subspan(request.operations.start,
                                                          request.operations.end - request.operations.start)),
        demands_(candidates::demand::OutputDemands::make(operations_, graph.value_shapes(), config)),
        cost_model_(std::make_shared<estimate::cycles::Vexa21CostModel>(), config.tiles),
        context_{options.diagnostics, options.threads},
        observer_(options.observer) {
    for (const auto& input : graph.inputs()) {
      if (input.is_parameter) {
        parameters_.insert(input.value);
      }
    }
  }

  std::expected<SearchReport, SearchError> run() {
    beam_ = {initial_state(graph_, request_, config_.tiles)};
    for (std::size_t k = 0; k < operations_.size(); ++k) {
      if (auto expanded = expand(k); !expanded) {
        return std::unexpected(expanded.error());
      }
      if (beam_.empty()) {
        return std::unexpected(no_candidates());
      }
    }
    if (auto delivered = deliver_outputs(); !delivered) {
      return std::unexpected(delivered.error());
    }
    finish();
    if (report_.candidates.empty()) {
      return std::unexpected(no_candidates());
    }
    return std::move(report_);
  }

  SearchStatistics statistics() const {
    const auto programs = cost_model_.statistics();
    return SearchStatistics{.program_requests = programs.requests,
                            .program_hits = programs.hits,
                            .conversion_lookups = conversions_.lookups,
                            .conversion_hits = conversions_.hits};
  }

 private:
  struct Partial {
    State state;
    std::vector<std::size_t> operands;
  };

  // Orders partial states stably by score, each score computed once.
  static void sort_by_score(std::vector<Partial>& partials) {
    std::vector<std::pair<Score, std::size_t>> keys;
    keys.reserve(partials.size());
    for (std::size_t i = 0; i < partials.size(); ++i) {
      keys.emplace_back(score(partials[i].state.graph), i);
    }
    std::ranges::stable_sort(keys, {}, [](const auto& key) { return key.first; });
    std::vector<Partial> sorted;
    sorted.reserve(partials.size());
    for (const auto& key : keys) {
      sorted.push_back(std::move(partials[key.second]));
    }
    partials = std::move(sorted);
  }

  SearchError no_candidates() const {
    return SearchError{SearchError::NoCandidates{report_.expanded, report_.memory_rejections,
                                                 report_.implementation_rejections}};
  }

  // Whether a state fits the tile memory: its balanced peak with the reserve,
  // and every tensor's largest shard.
  bool fits(const State& state) const {
    if (support::sat_add(state.graph.balanced_peak, config_.reserved_bytes) > config_.tile_memory_bytes) {
      return false;
    }
    return std::ranges::all_of(state.graph.values, [&](const Value& value) {
      return estimate::tensor::maximum_shard_bytes(value.tensor) <= config_.tile_memory_bytes;
    });
  }

  // Adds a refreshed state to the next beam when it fits, pruning the beam early
  // when it grows past four times the beam width. With an observer, `traced`
  // (when given) gets the refreshed figures and whether the state fitted.
  void admit(State state, std::vector<State>& next, trace::Successor* traced = nullptr) {
    refresh(state.graph);
    const bool fitted = fits(state);
    if (traced != nullptr) {
      traced->cycles = state.graph.cycles;
      traced->balanced_peak = state.graph.balanced_peak;
      traced->kept = fitted;
    }
    if (!fitted) {
      ++report_.memory_rejections;
      return;
    }
    next.push_back(std::move(state));
    const std::size_t width = limits_.beam_width;
    if (width <= std::numeric_limits<std::size_t>::max() / 4 && next.size() > 4 * width) {
      next = prune_beam(std::move(next), trace::PruneSite::Overflow);
    }
  }

  // `prune` of `states`, reported to the observer with whether it cut states.
  std::vector<State> prune_beam(std::vector<State> states, trace::PruneSite site) {
    if (observer_ == nullptr) {
      return prune(std::move(states), limits_.beam_width, report_);
    }
    const bool truncated_before = report_.truncated;
    report_.truncated = false;
    const std::size_t states_in = states.size();
    auto pruned = prune(std::move(states), limits_.beam_width, report_);
    observer_->observe(trace::Event{trace::Pruned{site, states_in, pruned.size(), report_.truncated}});
    report_.truncated = report_.truncated || truncated_before;
    return pruned;
  }

  // The kinds of the conversion steps `successor` holds beyond the first `from` steps.
  static std::vector<TransformKind> conversions_after(const State& successor, std::size_t from) {
    std::vector<TransformKind> kinds;
    for (std::size_t i = from; i < successor.graph.steps.size(); ++i) {
      if (const auto* transform = successor.graph.steps[i].kind.get_if<StepKind::Transform>()) {
        kinds.push_back(transform->transform.kind);
      }
    }
    return kinds;
  }

  // Whether graph value `id` is read by an operation after the k-th or leaves the region.
  bool needed_after(ValueId id, std::size_t k) const {
    if (request_.outputs.contains(id)) {
      return true;
    }
    for (std::size_t later = k + 1; later < operations_.size(); ++later) {
      if (std::ranges::find(operations_[later].inputs, id) != operations_[later].inputs.end()) {
        return true;
      }
    }
    return false;
  }

  // Brings every operand of `operation` into its required type, keeping at most
  // `beam_width` partial states per operand (plus the best assumption-free one).
  std::expected<std::vector<Partial>, SearchError> convert_operands(const State& state, const Operation& operation,
                                                                    const std::vector<TensorType>& required) {
    const std::size_t count = std::min(operation.inputs.size(), required.size());
    if (count == 0) {
      return std::vector<Partial>{Partial{state, {}}};
    }
    std::vector<Partial> partials;
    for (std::size_t i = 0; i < count; ++i) {
      std::vector<Partial> converted;
      // The successors of one partial state; the first operand is converted
      // from the beam's state itself, which needs no copy of its own.
      const auto convert_from = [&](const State& source, const std::vector<std::size_t>& operands) {
        const std::size_t index = lookup(source.values, operation.inputs[i]);
        auto successors = source.convert(index, required[i], config_.tiles, limits_, conversions_);
        if (!successors) {
          return std::optional<SearchError>(successors.error());
        }
        for (auto& [successor, value] : *successors) {
          std::vector<std::size_t> extended = operands;
          extended.push_back(value);
          converted.push_back(Partial{std::move(successor), std::move(extended)});
        }
        return std::optional<SearchError>();
      };
      if (i == 0) {
        if (auto error = convert_from(state, {})) {
          return std::unexpected(*error);
        }
      }
      for (const Partial& partial : partials) {
        if (auto error = convert_from(partial.state, partial.operands)) {
          return std::unexpected(*error);
        }
      }
      sort_by_score(converted);
      if (converted.size() > limits_.beam_width) {
        report_.truncated = true;
      }
      const auto assumption_free = [](const Partial& partial) { return partial.state.graph.assumptions.empty(); };
      const auto noted = std::ranges::find_if(converted, assumption_free);
      std::optional<Partial> kept_noted;
      if (noted != converted.end() && static_cast<std::size_t>(noted - converted.begin()) >= limits_.beam_width) {
        kept_noted = std::move(*noted);  // past the cut below
      }
      if (converted.size() > limits_.beam_width) {
        converted.resize(limits_.beam_width);
      }
      if (kept_noted && std::ranges::none_of(converted, assumption_free)) {
        converted.push_back(std::move(*kept_noted));
      }
      partials = std::move(converted);
    }
    return partials;
  }


  std::expected<void, SearchError> expand(std::size_t k) {
    const Operation& operation = operations_[k];
    const std::size_t remaining = operations_.size() - k;
    const std::size_t operation_budget =
        report_.expanded + (limits_.max_expansions - std::min(limits_.max_expansions, report_.expanded)) / remaining;
    const ValueId result = operation.results.front();
    const auto result_shape = graph_.value_shape(result);
    if (!result_shape) {
      return std::unexpected(invalid("unknown result"));
    }

    // Every state's plans depend only on its operand types, so the lists of
    // the whole beam are enumerated side by side before any state is expanded.
    std::vector<std::vector<TensorType>> beam_operand_types(beam_.size());
    std::vector<bool> parameter_flags;
    for (const ValueId operand : operation.inputs) {
      parameter_flags.push_back(parameters_.contains(operand));
      for (std::size_t j = 0; j < beam_.size(); ++j) {
        beam_operand_types[j].push_back(beam_[j].graph.values[lookup(beam_[j].values, operand)].tensor);
      }
    }
    const auto beam_plans = candidates::plans_for_each(operation, beam_operand_types, parameter_flags,
                                                       result_shape->get(), config_, cost_model_,
                                                       demands_.get(result), context_);

    std::vector<State> next;
    for (std::size_t j = 0; j < beam_.size(); ++j) {
      const State& state = beam_[j];
      const std::size_t state_budget =
          report_.expanded + (operation_budget - std::min(operation_budget, report_.expanded)) / (beam_.size() - j);
      const std::vector<TensorType>& operand_types = beam_operand_types[j];
      const auto& plans = *beam_plans[j];
      for (const auto& plan : plans) {
        if (state_budget <= report_.expanded) {
          report_.truncated = true;
          if (observer_ != nullptr) {
            trace::BudgetExhausted exhausted{k, operation.id, j, {}};
            for (const auto& untried : std::span(plans).subspan(static_cast<std::size_t>(&plan - plans.data()))) {
              exhausted.untried.push_back(dump(untried));
            }
            observer_->observe(trace::Event{std::move(exhausted)});
          }
          break;
        }
        ++report_.expanded;
        const auto [required, result_type] = plan.tensor_types(operand_types, result_shape->get());
        std::optional<trace::PlanTried> tried;
        if (observer_ != nullptr) {
          tried.emplace();
          tried->operation = k;
          tried->id = operation.id;
          tried->state = j;
          tried->plan = dump(plan);
          tried->required = required;
          tried->result = result_type;
        }
        const auto observe_tried = [&](trace::PlanFate fate) {
          if (tried) {
            tried->fate = fate;
            observer_->observe(trace::Event{std::move(*tried)});
          }
        };
        const bool valid = valid_tensor(result_type, config_.tiles) &&
                           std::ranges::all_of(required, [&](const TensorType& type) {
                             return valid_tensor(type, config_.tiles);
                           });
        if (!valid) {
          observe_tried(trace::PlanFate::InvalidType);
          continue;
        }
        const auto program = cost_model_.implementation(plan, required, result_type);
        if (!program) {
          ++report_.implementation_rejections;
          observe_tried(trace::PlanFate::NoImplementation);
          continue;
        }
        auto partials = convert_operands(state, operation, required);
        if (!partials) {
          return std::unexpected(partials.error());
        }
        if (tried) {
          tried->cycles = program->cycles;
          tried->memory = program->memory;
        }
        for (auto& partial : *partials) {
          State& successor = partial.state;
          trace::Successor* traced = nullptr;
          if (tried) {
            traced = &tried->successors.emplace_back();
            traced->conversions = conversions_after(successor, state.graph.steps.size());
          }
          const std::size_t index = successor.value(result, result_type);
          successor.values.insert_or_assign(result, index);
          const CycleEstimate cycles{program->cycles.optimistic, program->cycles.optimistic};
          successor.graph.steps.push_back(Step{{operation.id},
                                               std::move(partial.operands),
                                               {index},
                                               StepKind{StepKind::Operator{plan, program}},
                                               cycles,
                                               {}});
          std::erase_if(successor.values, [&](const auto& entry) { return !needed_after(entry.first, k); });
          admit(std::move(successor), next, traced);
        }
        observe_tried(trace::PlanFate::Priced);
      }
    }
    beam_ = prune_beam(std::move(next), trace::PruneSite::Operation);
    return {};
  }

  std::expected<void, SearchError> deliver_outputs() {
    for (const auto& [id, format] : request_.outputs) {
      const auto shape = graph_.value_shape(id);
      if (!shape) {
        support::invariant_failed("region output without a shape");
      }
      const TensorType target{shape->get(), format};
      std::vector<State> next;
      for (std::size_t j = 0; j < beam_.size(); ++j) {
        const State& state = beam_[j];
        auto successors = state.convert(lookup(state.values, id), target, config_.tiles, limits_, conversions_);
        if (!successors) {
          return std::unexpected(successors.error());
        }
        std::optional<trace::OutputDelivered> delivered;
        if (observer_ != nullptr) {
          delivered = trace::OutputDelivered{id, j, {}};
        }
        for (auto& [successor, index] : *successors) {
          successor.graph.outputs.push_back(index);
          trace::Successor* traced = nullptr;
          if (delivered) {
            traced = &delivered->successors.emplace_back();
            traced->conversions = conversions_after(successor, state.graph.steps.size());
          }
          admit(std::move(successor), next, traced);
        }
        if (delivered) {
          observer_->observe(trace::Event{std::move(*delivered)});
        }
      }
      beam_ = prune_beam(std::move(next), trace::PruneSite::Output);
    }
    return {};
  }

  void finish() {
    auto& candidates = report_.candidates;
    for (std::size_t j = 0; j < beam_.size(); ++j) {
      const State& state = beam_[j];
      std::optional<CycleEstimate> fused_cycles;
      if (auto fused = fusion::fuse(state.graph, operations_, limits_.max_fused_steps)) {
        fused_cycles = fused->cycles;
        candidates.push_back(std::move(*fused));
      }
      const bool unfused_kept = std::ranges::find(candidates, state.graph) == candidates.end();
      if (unfused_kept) {
        candidates.push_back(state.graph);
      }
      if (observer_ != nullptr) {
        observer_->observe(trace::Event{trace::FusionOffered{j, fused_cycles, unfused_kept}});
      }
    }
    std::ranges::stable_sort(candidates, {}, [](const DiagnosticMidGraph& graph) { return score(graph); });
  }

  const ComputeGraph& graph_;
  const RegionRequest& request_;
  const PipelineConfig& config_;
  const SearchLimits& limits_;
  std::span<const Operation> operations_;
  std::set<ValueId> parameters_;
  candidates::demand::OutputDemands demands_;
  estimate::cycles::MemoizedCostModel cost_model_;
  candidates::GenerationContext context_;
  trace::SearchObserver* observer_;
  ConversionCache conversions_;
  std::vector<State> beam_;
  SearchReport report_;
};

}  // namespace

std::expected<SearchReport, SearchError> plan_region(const ComputeGraph& graph, const RegionRequest& request,
                                                     const PipelineConfig& config, const SearchLimits& limits,
                                                     const SearchOptions& options) {
  if (auto checked = check_region(graph, request, config, limits); !checked) {
    return std::unexpected(checked.error());
  }
  RegionSearch search(graph, request, config, limits, options);
  auto report = search.run();
  if (options.statistics != nullptr) {
    *options.statistics = search.statistics();
  }
  return report;
}

std::expected<SearchReport, SearchError> plan_region(const ComputeGraph& graph, const RegionRequest& request,
                                                     const PipelineConfig& config, const SearchLimits& limits) {
  return plan_region(graph, request, config, limits, SearchOptions{});
}

std::expected<SearchReport, SearchError> plan_graph(const ComputeGraph& graph, const PipelineConfig& config,
                                                    std::map<ValueId, TensorFormat> outputs,
                                                    const SearchLimits& limits, const SearchOptions& options) {
  RegionRequest request;
  request.operations = {0, graph.operations().size()};
  request.outputs = std::move(outputs);
  if (!graph.inputs().empty() && !graph.operations().empty()) {
    for (const auto& input : graph.inputs()) {
      const bool used = std::ranges::any_of(graph.operations(), [&](const Operation& operation) {
        return std::ranges::find(operation.inputs, input.value) != operation.inputs.end();
      });
      if (!used) {
        continue;
      }
      if (const auto fixed = config.input_formats.find(input.value); fixed != config.input_formats.end()) {
        request.inputs.insert_or_assign(input.value, fixed->second);
      } else if (const auto automatic = config.automatic_inputs.find(input.value);
                 automatic != config.automatic_inputs.end()) {
        request.inputs.insert_or_assign(input.value,
                                        TensorFormat{automatic->second, layout::Layout::row_sharded(config.tiles)});
      } else {
        return std::unexpected(invalid("missing boundary input " + graph::dump(input.value)));
      }
    }
  }
  return plan_region(graph, request, config, limits, options);
}

std::expected<SearchReport, SearchError> plan_graph(const ComputeGraph& graph, const PipelineConfig& config,
                                                    std::map<ValueId, TensorFormat> outputs,
                                                    const SearchLimits& limits) {
  return plan_graph(graph, config, std::move(outputs), limits, SearchOptions{});
}

}  // namespace vexa_codegen::mid::optimistic::search
