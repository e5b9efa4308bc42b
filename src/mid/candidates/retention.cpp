// Demand-driven retention: pricing a list of plans and keeping a bounded,
// diverse subset of them.
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <tuple>
#include <unordered_map>

#include "detail.hpp"
#include "vexa_codegen/mid/planner.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

using planner::PlanMetrics;

/// A plan with its figures and its interface summary.
struct PricedEntry {
  const OperatorPlan* plan = nullptr;
  PlanMetrics metrics;
  OperatorCompatibility compatibility;
};

/// Bytes a plan's largest standard allocation exceeds the interleaved capacity by.
std::uint64_t excess(const PricedEntry& entry) {
  const std::uint64_t allocation = entry.metrics.maximum_standard_allocation;
  return allocation > vexa21_interleaved_memory_bytes ? allocation - vexa21_interleaved_memory_bytes : 0;
}

bool fits(const PricedEntry& entry) { return excess(entry) == 0; }

/// Prices every plan through the cost model on the work-stealing pool; entry i
/// belongs to plan i whatever thread priced it.
std::vector<PricedEntry> price(const std::vector<OperatorPlan>& plans, const std::vector<TensorType>& operand_types,
                               const graph::TensorShape& result_shape, const estimate::cycles::CostModel& cost_model,
                               std::uint16_t threads) {
  std::vector<PricedEntry> entries(plans.size());
  const auto price_range = [&](const tbb::blocked_range<std::size_t>& range) {
    for (std::size_t i = range.begin(); i != range.end(); ++i) {
      const OperatorPlan& plan = plans[i];
      const auto [types, result_type] = plan.tensor_types(operand_types, result_shape);
      const auto program = cost_model.implementation(plan, types, result_type);
      entries[i] = PricedEntry{&plan, program ? PlanMetrics::of(*program) : PlanMetrics::unpriced(),
                               OperatorCompatibility::of(plan)};
    }
  };
  tbb::task_arena arena(threads == 0 ? tbb::task_arena::automatic : static_cast<int>(threads));
  arena.execute([&] { tbb::parallel_for(tbb::blocked_range<std::size_t>(0, plans.size(), 1), price_range); });
  return entries;
}

/// A hash of an interface summary: equal summaries hash equally.
std::size_t compatibility_hash(const OperatorCompatibility& compatibility) {
  std::size_t seed = compatibility.operands.size();
  for (const OperandCompatibility& operand : compatibility.operands) {
    support::hash_combine(seed, operand.precision);
    support::hash_combine(seed, operand.order);
    support::hash_combine(seed, operand.memory_class);
    support::hash_combine(seed, operand.staging);
  }
  const OutputCompatibility& output = compatibility.output;
  support::hash_combine(seed, output.precision);
  support::hash_combine(seed, output.order);
  support::hash_combine(seed, output.memory_class);
  for (const OutputAxisCompatibility& axis : output.axes) {
    support::hash_combine(seed, axis.axis);
    support::hash_combine(seed, axis.groups);
    support::hash_combine(seed, axis.shard_alignment);
  }
  support::hash_combine(seed, compatibility.orientation);
  support::hash_combine(seed, compatibility.inner_partitions);
  support::hash_combine(seed, compatibility.result_partitions);
  support::hash_combine(seed, compatibility.reduction_staging);
  return seed;
}

/// The entries that no entry with the same interface beats on every figure,
/// in input order (an entry removes the kept entries it beats). Only entries
/// whose interfaces hash alike are compared.
std::vector<PricedEntry> undominated(std::vector<PricedEntry> entries) {
  const auto beats = [](const PricedEntry& better, const PricedEntry& worse) {
    return better.compatibility == worse.compatibility && better.metrics.dominates(worse.metrics);
  };
  std::unordered_map<std::size_t, std::vector<std::size_t>> kept_by_interface;
  std::vector<bool> kept(entries.size(), false);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::vector<std::size_t>& rivals = kept_by_interface[compatibility_hash(entries[i].compatibility)];
    if (std::ranges::any_of(rivals, [&](std::size_t j) { return beats(entries[j], entries[i]); })) {
      continue;
    }
    std::erase_if(rivals, [&](std::size_t j) {
      const bool beaten = beats(entries[i], entries[j]);
      kept[j] = kept[j] && !beaten;
      return beaten;
    });
    rivals.push_back(i);
    kept[i] = true;
  }
  std::vector<PricedEntry> survivors;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (kept[i]) {
      survivors.push_back(std::move(entries[i]));
    }
  }
  return survivors;
}

/// What makes two results different interfaces for the diversity step: the
/// product's shape of distribution, and the result's precision and order (and
/// for plans that are not products, the whole result summary).
struct InterfaceKey {
  std::optional<GemmOrientation> orientation;
  std::optional<std::uint16_t> inner_partitions;
  std::optional<std::pair<bool, bool>> result_split;
  layout::Precision precision;
  layout::ElementOrder order;
  std::optional<OutputCompatibility> output;

  friend bool operator==(const InterfaceKey&, const InterfaceKey&) = default;
};

InterfaceKey interface_key(const OperatorCompatibility& compatibility) {
  InterfaceKey key{.orientation = compatibility.orientation,
                   .inner_partitions = compatibility.inner_partitions,
                   .result_split = std::nullopt,
                   .precision = compatibility.output.precision,
                   .order = compatibility.output.order,
                   .output = std::nullopt};
  if (compatibility.result_partitions) {
    key.result_split =
        std::pair{compatibility.result_partitions->first > 1, compatibility.result_partitions->second > 1};
  }
  if (!compatibility.inner_partitions) {
    key.output = compatibility.output;
  }
  return key;
}

/// A set of positions that stops growing at `keep` (twins may pass the limit).
class Selection {
 public:
  Selection(std::size_t size, std::uint64_t keep) : selected_(size, false), keep_(keep) {}

  [[nodiscard]] bool full() const noexcept { return count_ >= keep_; }
  void add(std::size_t position) {
    if (!selected_[position]) {
      selected_[position] = true;
      ++count_;
    }
  }
  [[nodiscard]] bool contains(std::size_t position) const { return selected_[position]; }
  [[nodiscard]] std::vector<std::size_t> positions() const {
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < selected_.size(); ++i) {
      if (selected_[i]) {
        positions.push_back(i);
      }
    }
    return positions;
  }

 private:
  std::vector<bool> selected_;
  std::uint64_t keep_;
  std::uint64_t count_ = 0;
};

/// Selects, walking the eligible entries in order, each entry whose key (as
/// `key_of` forms it) was not seen before, until the selection is full.
template <class KeyOf>
void select_first_of_each(Selection& selection, const std::vector<PricedEntry>& entries,
                          const std::vector<std::size_t>& eligible, KeyOf&& key_of) {
  using Key = decltype(key_of(entries.front()));
  std::vector<Key> seen;
  for (const std::size_t position : eligible) {
    if (selection.full()) {
      return;
    }
    Key key = key_of(entries[position]);
    if (std::ranges::find(seen, key) == seen.end()) {
      seen.push_back(std::move(key));
      selection.add(position);
    }
  }
}

/// The first entry that yields the same result at the same cost as `entry`
/// from operands in another form.
std::optional<std::size_t> twin_of(const PricedEntry& entry, const std::vector<PricedEntry>& entries) {
  for (std::size_t position = 0; position < entries.size(); ++position) {
    const PricedEntry& other = entries[position];
    if (other.plan->operator_ == entry.plan->operator_ && other.plan->dispatch == entry.plan->dispatch &&
        other.plan->storage.output == entry.plan->storage.output &&
        other.compatibility.operands != entry.compatibility.operands && other.metrics.cycles == entry.metrics.cycles &&
        excess(other) == excess(entry)) {
      return position;
    }
  }
  return std::nullopt;
}

}  // namespace

OperatorCompatibility OperatorCompatibility::of(const OperatorPlan& plan) {
  OperatorCompatibility compatibility;
  for (const operators::OperandRequirement& requirement : plan.storage.operands) {
    const layout::TensorFormat& format = requirement.format;
    compatibility.operands.push_back(
        {format.precision, format.layout.order, format.layout.memory_class, requirement.staging});
  }
  const layout::TensorFormat& result = plan.storage.output.format;
  compatibility.output = {result.precision, result.layout.order, result.layout.memory_class, {}};
  for (const layout::AxisTiling& tiling : result.layout.tiling.axes) {
    compatibility.output.axes.push_back({tiling.axis, tiling.groups, tiling.shard_alignment});
  }
  if (const auto* gemm = plan.dispatch.get_if<operators::OperatorDispatch::Gemm>()) {
    compatibility.orientation = gemm->orientation;
    compatibility.inner_partitions = gemm->distribution ? gemm->distribution->inner_partitions : 1;
    if (gemm->distribution) {
      compatibility.result_partitions =
          std::pair{gemm->distribution->result_row_partitions, gemm->distribution->result_column_partitions};
      compatibility.reduction_staging = gemm->distribution->reduction_staging;
    }
  }
  return compatibility;
}

std::vector<OperatorPlan> retain_operator_candidates_for_demands(
    const std::vector<OperatorPlan>& plans, const std::vector<TensorType>& operand_types,
    const graph::TensorShape& result_shape, const estimate::cycles::CostModel& cost_model, std::uint64_t keep,
    std::span<const OutputDemand> demands, const GenerationContext& context) {
  if (plans.size() <= keep) {
    return plans;
  }
  std::vector<PricedEntry> entries =
      undominated(price(plans, operand_types, result_shape, cost_model, context.threads));
  std::ranges::stable_sort(entries, {}, [](const PricedEntry& entry) {
    return std::tuple{excess(entry), entry.metrics.cycles, entry.metrics.total, entry.metrics.interleaved,
                      entry.metrics.exchange_rows};
  });

  std::vector<std::size_t> eligible;
  const bool any_fits = std::ranges::any_of(entries, fits);
  for (std::size_t position = 0; position < entries.size(); ++position) {
    if (!any_fits || fits(entries[position])) {
      eligible.push_back(position);
    }
  }

  Selection selection(entries.size(), keep);
  if (!selection.full() && keep > 1 && !eligible.empty()) {
    const auto least_exchange = std::ranges::min(eligible, {}, [&](std::size_t position) {
      return std::tuple{entries[position].metrics.exchange_rows, entries[position].metrics.cycles, position};
    });
    selection.add(least_exchange);
  }
  if (!demands.empty()) {
    select_first_of_each(selection, entries, eligible, [&](const PricedEntry& entry) {
      std::vector<bool> pattern;
      for (const OutputDemand& demand : demands) {
        pattern.push_back(demand.matches(entry.plan->storage.output.format.layout, result_shape));
      }
      return pattern;
    });
  }
  select_first_of_each(selection, entries, eligible,
                       [](const PricedEntry& entry) { return interface_key(entry.compatibility); });
  for (const std::size_t position : eligible) {
    if (selection.full()) {
      break;
    }
    selection.add(position);
  }

  for (const std::size_t position : selection.positions()) {
    if (const auto twin = twin_of(entries[position], entries)) {
      selection.add(*twin);
    }
  }

  std::vector<OperatorPlan> retained;
  for (const std::size_t position : selection.positions()) {
    retained.push_back(*entries[position].plan);
  }
  return retained;
}

}  // namespace vexa_codegen::mid::candidates
