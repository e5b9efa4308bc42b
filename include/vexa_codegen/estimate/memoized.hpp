// The caching cost model that a search uses.
//
// `MemoizedCostModel` wraps the target model and keeps every lowered and
// analysed program, so that a repeated request for the same plan and operand
// types costs one lookup and all requesters share one program. It is shared by
// the threads of one search: the program cache's lock is held only for lookup
// and insertion, never while a plan is lowered, so two threads may lower the
// same key at once (both get equal programs; the later insertion wins).
// Failed lowerings are not cached. Part of `estimate::cycles`; it sits in its
// own file because it lowers through `mid::implementation`.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "vexa_codegen/estimate/cycles.hpp"

namespace vexa_codegen::estimate::cycles {

/// The key of a lowered program: the plan, the operand types and the result type.
struct ImplementationKey {
  operators::OperatorPlan plan;
  std::vector<layout::TensorType> inputs;
  layout::TensorType output;

  friend bool operator==(const ImplementationKey&, const ImplementationKey&) = default;
};

/// A request's key as the caller holds it, with its hash computed once, so
/// that a lookup neither copies the key nor hashes it while the cache is locked.
struct ImplementationRequest {
  const operators::OperatorPlan& plan;
  const std::vector<layout::TensorType>& inputs;
  const layout::TensorType& output;
  std::size_t hash;
};

/// Hashes keys and requests alike (field by field, in declaration order).
struct ImplementationKeyHash {
  using is_transparent = void;
  [[nodiscard]] std::size_t operator()(const ImplementationKey& key) const noexcept;
  [[nodiscard]] std::size_t operator()(const ImplementationRequest& request) const noexcept { return request.hash; }
};

/// Compares keys and requests field by field.
struct ImplementationKeyEqual {
  using is_transparent = void;
  [[nodiscard]] bool operator()(const ImplementationKey& left, const ImplementationKey& right) const {
    return left == right;
  }
  [[nodiscard]] bool operator()(const ImplementationRequest& left, const ImplementationKey& right) const {
    return left.plan == right.plan && left.inputs == right.inputs && left.output == right.output;
  }
  [[nodiscard]] bool operator()(const ImplementationKey& left, const ImplementationRequest& right) const {
    return (*this)(right, left);
  }
};

/// How often a memoised model was asked for a program, and how often its cache
/// already held the answer.
struct CacheStatistics {
  std::size_t requests = 0;
  std::size_t hits = 0;

  friend bool operator==(const CacheStatistics&, const CacheStatistics&) = default;
};

/// A `CostModel` that caches the programs of the model it wraps.
class MemoizedCostModel final : public CostModel {
 public:
  /// A model with an empty cache over `model`, for a pipeline of `tiles` tiles.
  MemoizedCostModel(std::shared_ptr<const CostModel> model, std::uint32_t tiles);

  /// The cached program for this key, or the wrapped model's lowering of it
  /// (cached when it succeeds); null when the plan cannot be lowered.
  [[nodiscard]] std::shared_ptr<const MidProgram> implementation(
      const operators::OperatorPlan& plan, const std::vector<layout::TensorType>& inputs,
      const layout::TensorType& output) const override;

  /// Forwarded to the wrapped model.
  [[nodiscard]] std::uint64_t cast_cycles(const layout::TensorType& source,
                                          const layout::Precision& to) const override;

  /// Forwarded to the wrapped model.
  [[nodiscard]] RearrangementCost rearrangement_cost(const graph::TensorShape& shape,
                                                     const layout::Precision& precision,
                                                     operators::ConversionStrategy strategy,
                                                     const layout::Layout& from,
                                                     const layout::Layout& to) const override;

  /// The tile count given at construction.
  [[nodiscard]] std::uint32_t tiles() const noexcept { return tiles_; }
  /// The number of cached programs.
  [[nodiscard]] std::size_t cached_programs() const;
  /// The program requests so far and how many of them the cache answered. The
  /// counts are kept for measurement only; no answer depends on them.
  [[nodiscard]] CacheStatistics statistics() const noexcept;

 private:
  std::shared_ptr<const CostModel> model_;
  std::uint32_t tiles_;
  mutable std::atomic<std::size_t> requests_{0};
  mutable std::atomic<std::size_t> hits_{0};
  mutable std::mutex implementations_mutex_;
  mutable std::unordered_map<ImplementationKey, std::shared_ptr<const MidProgram>, ImplementationKeyHash,
                             ImplementationKeyEqual>
      implementations_;
};

}  // namespace vexa_codegen::estimate::cycles
