// Bringing a value of a search state into another tensor type.
#include <optional>
#include <utility>

#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::mid::optimistic::search {
namespace {

// The first value of `graph` that carries `high` in `tensor`.
std::optional<std::size_t> held_as(const DiagnosticMidGraph& graph, vexa_codegen::graph::ValueId high,
                                   const layout::TensorType& tensor) {
  for (std::size_t index = 0; index < graph.values.size(); ++index) {
    if (graph.values[index].high == high && graph.values[index].tensor == tensor) {
      return index;
    }
  }
  return std::nullopt;
}

// The cached paths from `source` to `target`, enumerating and caching them on
// first use. An enumeration error is not cached.
std::expected<const std::vector<conversion::ConversionPath>*, SearchError> cached_paths(
    const layout::TensorType& source, const layout::TensorType& target, std::uint16_t tiles,
    const SearchLimits& limits, ConversionCache& cache) {
  ++cache.lookups;
  conversion::ConversionKey key{source, target};
  if (const auto found = cache.find(key); found != cache.end()) {
    ++cache.hits;
    return &found->second;
  }
  auto paths = conversion::enumerate_conversions(source, target, tiles, limits);
  if (!paths) {
    return std::unexpected(std::move(paths.error()));
  }
  return &cache.emplace(std::move(key), std::move(*paths)).first->second;
}

}  // namespace

std::expected<std::vector<std::pair<State, std::size_t>>, SearchError> State::convert(
    std::size_t index, const layout::TensorType& target, std::uint16_t tiles, const SearchLimits& limits,
    ConversionCache& cache) const {
  if (index >= graph.values.size()) {
    support::invariant_failed("value index out of bounds");
  }
  const vexa_codegen::graph::ValueId high = graph.values[index].high;
  if (const auto existing = held_as(graph, high, target)) {
    return std::vector<std::pair<State, std::size_t>>{{*this, *existing}};
  }

  const auto paths = cached_paths(graph.values[index].tensor, target, tiles, limits, cache);
  if (!paths) {
    return std::unexpected(paths.error());
  }
  std::vector<std::pair<State, std::size_t>> successors;
  successors.reserve((*paths)->size());
  for (const conversion::ConversionPath& path : **paths) {
    State successor = *this;
    std::size_t current = index;
    for (const Transform& transform : path.transforms) {
      if (const auto existing = held_as(successor.graph, high, transform.to)) {
        current = *existing;  // the copy already holds this step's result
        continue;
      }
      const std::size_t written = successor.value(high, transform.to);
      successor.graph.steps.push_back(Step{.operations = {},
                                           .inputs = {current},
                                           .outputs = {written},
                                           .kind = StepKind{StepKind::Transform{transform}},
                                           .cycles = transform.cycles,
                                           .assumptions = transform.assumptions});
      current = written;
    }
    refresh(successor.graph);
    successors.emplace_back(std::move(successor), current);
  }
  return successors;
}

}  // namespace vexa_codegen::mid::optimistic::search
