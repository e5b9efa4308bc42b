// Plan enumeration for several operand-type lists of one operation at once.
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "vexa_codegen/mid/candidates.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

// Keeps the events of one enumeration for the host's receiver, asking that
// receiver which levels it wants.
class HeldEvents final : public support::DiagnosticReceiver {
 public:
  explicit HeldEvents(const support::DiagnosticReceiver& host) : host_(&host) {}

  [[nodiscard]] bool accepts(support::DiagnosticLevel level) const noexcept override { return host_->accepts(level); }
  void receive(const support::DiagnosticEvent& event) override {
    const std::scoped_lock lock(mutex_);
    events_.push_back(event);
  }
  // Hands every held event to `host` in the order received.
  void replay_to(support::DiagnosticReceiver& host) const {
    for (const support::DiagnosticEvent& event : events_) {
      host.receive(event);
    }
  }

 private:
  const support::DiagnosticReceiver* host_;
  std::mutex mutex_;
  std::vector<support::DiagnosticEvent> events_;
};

// For every entry, the position of the first entry with equal operand types.
std::vector<std::size_t> first_equal_entries(std::span<const std::vector<TensorType>> operand_types) {
  std::vector<std::size_t> first(operand_types.size());
  std::unordered_map<std::size_t, std::vector<std::size_t>> by_hash;
  for (std::size_t i = 0; i < operand_types.size(); ++i) {
    std::vector<std::size_t>& same_hash = by_hash[support::hash_value(operand_types[i])];
    const auto equal = std::ranges::find_if(same_hash, [&](std::size_t j) { return operand_types[j] == operand_types[i]; });
    first[i] = equal != same_hash.end() ? *equal : i;
    if (equal == same_hash.end()) {
      same_hash.push_back(i);
    }
  }
  return first;
}

}  // namespace

std::vector<std::shared_ptr<const std::vector<OperatorPlan>>> plans_for_each(
    const graph::Operation& operation, std::span<const std::vector<TensorType>> operand_types,
    const std::vector<bool>& parameter_flags, const graph::TensorShape& result_shape, const PipelineConfig& config,
    const estimate::cycles::CostModel& cost_model, std::span<const OutputDemand> demands,
    const GenerationContext& context) {
  const std::vector<std::size_t> first = first_equal_entries(operand_types);
  std::vector<std::size_t> distinct;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (first[i] == i) {
      distinct.push_back(i);
    }
  }

  std::vector<std::shared_ptr<const std::vector<OperatorPlan>>> lists(operand_types.size());
  std::vector<std::unique_ptr<HeldEvents>> held(operand_types.size());
  const auto enumerate = [&](const tbb::blocked_range<std::size_t>& range) {
    for (std::size_t d = range.begin(); d != range.end(); ++d) {
      const std::size_t i = distinct[d];
      if (context.diagnostics != nullptr) {
        held[i] = std::make_unique<HeldEvents>(*context.diagnostics);
      }
      const GenerationContext own{.diagnostics = held[i].get(), .threads = context.threads};
      lists[i] = std::make_shared<const std::vector<OperatorPlan>>(
          plans(operation, operand_types[i], parameter_flags, result_shape, config, cost_model, demands, own));
    }
  };
  tbb::task_arena arena(context.threads == 0 ? tbb::task_arena::automatic : static_cast<int>(context.threads));
  arena.execute([&] { tbb::parallel_for(tbb::blocked_range<std::size_t>(0, distinct.size(), 1), enumerate); });

  for (std::size_t i = 0; i < lists.size(); ++i) {
    lists[i] = lists[first[i]];
    if (context.diagnostics != nullptr) {
      held[first[i]]->replay_to(*context.diagnostics);
    }
  }
  return lists;
}

}  // namespace vexa_codegen::mid::candidates
