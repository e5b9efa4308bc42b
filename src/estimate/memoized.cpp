#include "vexa_codegen/estimate/memoized.hpp"

#include <utility>

#include "vexa_codegen/mid/implementation.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::estimate::cycles {

// The target model lowers through the implementation layer, which sits above
// the cost model; the definition lives here so that no header includes upward.
std::shared_ptr<const MidProgram> Vexa21CostModel::implementation(const operators::OperatorPlan& plan,
                                                                  const std::vector<layout::TensorType>& inputs,
                                                                  const layout::TensorType& output) const {
  return vexa_codegen::mid::implementation::implement(plan, inputs, output);
}

std::size_t ImplementationKeyHash::operator()(const ImplementationKey& key) const noexcept {
  return support::hash_fields(key.plan, key.inputs, key.output);
}

MemoizedCostModel::MemoizedCostModel(std::shared_ptr<const CostModel> model, std::uint32_t tiles)
    : model_(std::move(model)), tiles_(tiles) {}

std::shared_ptr<const MidProgram> MemoizedCostModel::implementation(const operators::OperatorPlan& plan,
                                                                    const std::vector<layout::TensorType>& inputs,
                                                                    const layout::TensorType& output) const {
  requests_.fetch_add(1, std::memory_order_relaxed);
  const ImplementationRequest request{plan, inputs, output, support::hash_fields(plan, inputs, output)};
  {
    const std::lock_guard lock(implementations_mutex_);
    if (const auto found = implementations_.find(request); found != implementations_.end()) {
      hits_.fetch_add(1, std::memory_order_relaxed);
      return found->second;
    }
  }
  auto program = model_->implementation(plan, inputs, output);  // lowered without holding the lock
  if (!program) {
    return nullptr;
  }
  ImplementationKey key{plan, inputs, output};
  const std::lock_guard lock(implementations_mutex_);
  implementations_.insert_or_assign(std::move(key), program);
  return program;
}

std::uint64_t MemoizedCostModel::cast_cycles(const layout::TensorType& source, const layout::Precision& to) const {
  return model_->cast_cycles(source, to);
}

RearrangementCost MemoizedCostModel::rearrangement_cost(const graph::TensorShape& shape,
                                                        const layout::Precision& precision,
                                                        operators::ConversionStrategy strategy,
                                                        const layout::Layout& from, const layout::Layout& to) const {
  return model_->rearrangement_cost(shape, precision, strategy, from, to);
}

std::size_t MemoizedCostModel::cached_programs() const {
  const std::lock_guard lock(implementations_mutex_);
  return implementations_.size();
}

CacheStatistics MemoizedCostModel::statistics() const noexcept {
  return CacheStatistics{.requests = requests_.load(std::memory_order_relaxed),
                         .hits = hits_.load(std::memory_order_relaxed)};
}

}  // namespace vexa_codegen::estimate::cycles
