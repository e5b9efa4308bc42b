#include <algorithm>
#include <limits>
#include <utility>

#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::optimistic::search {

namespace {

using support::sat_add;
using support::sat_mul;
using support::saturated;

// The bytes of a tensor across all tiles (every allocated shard element once
// per replica, padding included) and the bytes of its largest shard; the
// largest 64-bit value for both when the layout does not resolve.
std::pair<std::uint64_t, std::uint64_t> stored_and_per_tile_bytes(const layout::TensorType& tensor) {
  const auto sizes = resolved::shard_sizes(tensor.format.layout, tensor.shape);
  if (!sizes) {
    return {saturated, saturated};
  }
  const std::uint64_t element_bytes = tensor.format.precision.element_bytes();
  return {sat_mul(sizes->allocated_elements, element_bytes), sat_mul(sizes->maximum_tile_elements, element_bytes)};
}

// The lifetime of one storage: the first and last time points at which it is live.
struct Lifetime {
  std::size_t first = std::numeric_limits<std::size_t>::max();
  std::size_t last = 0;
};

Lifetime& at(std::vector<Lifetime>& lifetimes, std::size_t index) {
  if (index >= lifetimes.size()) {
    support::invariant_failed("value index out of bounds");
  }
  return lifetimes[index];
}

}  // namespace

std::size_t State::value(vexa_codegen::graph::ValueId high, layout::TensorType tensor) {
  graph.values.push_back(Value{.tensor = std::move(tensor), .high = high});
  return graph.values.size() - 1;
}

Score score(const DiagnosticMidGraph& graph) {
  CycleEstimate sum;
  for (const Step& step : graph.steps) {
    sum += step.cycles;
  }
  return {sum.optimistic, sum.conservative, graph.memory.total, graph.assumptions.size()};
}

void refresh(DiagnosticMidGraph& graph) {
  graph.cycles = CycleEstimate{};
  graph.assumptions.clear();
  graph.memory = estimate::memory::MemoryPeaks{};
  graph.balanced_peak = 0;

  const std::size_t step_count = graph.steps.size();
  std::vector<Lifetime> lifetimes(graph.values.size());
  for (const std::size_t input : graph.inputs) {
    at(lifetimes, input).first = 0;
  }
  for (std::size_t i = 0; i < step_count; ++i) {
    const Step& step = graph.steps[i];
    for (const std::size_t output : step.outputs) {
      at(lifetimes, output) = Lifetime{.first = i, .last = i};
    }
    for (const std::size_t input : step.inputs) {
      Lifetime& lifetime = at(lifetimes, input);
      lifetime.last = std::max(lifetime.last, i);
    }
    graph.cycles += step.cycles;
    graph.assumptions.insert(step.assumptions.begin(), step.assumptions.end());
  }
  for (const std::size_t output : graph.outputs) {
    at(lifetimes, output).last = step_count;
  }

  // An alias occupies its source's storage: the storage lives as long as any
  // of the values that share it.
  std::vector<std::size_t> roots(graph.values.size());
  for (std::size_t v = 0; v < roots.size(); ++v) {
    roots[v] = v;
  }
  for (const Step& step : graph.steps) {
    const auto* transform = step.kind.get_if<StepKind::Transform>();
    if (transform == nullptr || transform->transform.kind != TransformKind::Alias || step.inputs.empty()) {
      continue;
    }
    const std::size_t root = roots[step.inputs.front()];
    for (const std::size_t output : step.outputs) {
      roots[output] = root;
      const Lifetime alias = lifetimes[output];
      Lifetime& shared = lifetimes[root];
      shared.first = std::min(shared.first, alias.first);
      shared.last = std::max(shared.last, alias.last);
    }
  }

  struct Storage {
    Lifetime lifetime;
    std::uint64_t stored = 0;
    std::uint64_t per_tile = 0;
    bool interleaved = false;
  };
  std::vector<Storage> storages;
  for (std::size_t v = 0; v < roots.size(); ++v) {
    if (roots[v] != v || lifetimes[v].first > lifetimes[v].last) {
      continue;  // shares another value's storage, or is never live
    }
    const layout::TensorType& tensor = graph.values[v].tensor;
    const auto [stored, per_tile] = stored_and_per_tile_bytes(tensor);
    storages.push_back(Storage{
        .lifetime = lifetimes[v],
        .stored = stored,
        .per_tile = per_tile,
        .interleaved = tensor.format.layout.memory_class == layout::MemoryClass::Vexa21Interleaved,
    });
  }

  const std::uint64_t tiles = std::max<std::uint64_t>(graph.tiles, 1);
  for (std::size_t t = 0; t <= step_count; ++t) {
    std::uint64_t live = 0;
    std::uint64_t standard = 0;
    std::uint64_t interleaved = 0;
    std::uint64_t largest = 0;
    for (const Storage& storage : storages) {
      if (storage.lifetime.first > t || t > storage.lifetime.last) {
        continue;
      }
      live = sat_add(live, storage.stored);
      if (storage.interleaved) {
        interleaved = sat_add(interleaved, storage.per_tile);
      } else {
        standard = sat_add(standard, storage.per_tile);
        largest = std::max(largest, storage.per_tile);
      }
    }
    if (t < step_count) {
      const auto* op = graph.steps[t].kind.get_if<StepKind::Operator>();
      if (op != nullptr && op->program != nullptr) {
        standard = sat_add(standard, op->program->memory.standard);
        interleaved = sat_add(interleaved, op->program->memory.interleaved);
      }
    }
    estimate::memory::MemoryPeaks& peaks = graph.memory;
    peaks.standard = std::max(peaks.standard, standard);
    peaks.interleaved = std::max(peaks.interleaved, interleaved);
    peaks.total = std::max(peaks.total, sat_add(standard, interleaved));
    peaks.maximum_standard_allocation = std::max(peaks.maximum_standard_allocation, largest);
    graph.balanced_peak = std::max(graph.balanced_peak, support::ceil_div(live, tiles));
  }
}

}  // namespace vexa_codegen::mid::optimistic::search
