// Enumeration of conversion paths between two tensor types.
#include "vexa_codegen/mid/optimistic/conversion.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::mid::optimistic::conversion {
namespace {

using layout::Layout;
using layout::TensorFormat;
using layout::TensorType;

constexpr std::string_view invalid_endpoints = "invalid conversion endpoints or search limits";
constexpr std::size_t largest_step_bound = 4;

// The types a conversion may pass through: the source (node 0), the target
// (node 1), then every valid mix of the endpoints' placements, orders and
// precisions, in that nesting, without repeats. At most eight nodes.
std::vector<TensorType> conversion_nodes(const TensorType& source, const TensorType& target, std::uint16_t tiles) {
  std::vector<TensorType> nodes{source, target};
  const std::array<const TensorFormat*, 2> endpoints{&source.format, &target.format};
  for (const TensorFormat* placement : endpoints) {
    for (const TensorFormat* order : endpoints) {
      for (const TensorFormat* precision : endpoints) {
        TensorType node{.shape = source.shape,
                        .format = TensorFormat{.precision = precision->precision,
                                               .layout = Layout{.order = order->layout.order,
                                                                .tiling = placement->layout.tiling,
                                                                .memory_class = placement->layout.memory_class}}};
        if (std::ranges::find(nodes, node) == nodes.end() && valid_tensor(node, tiles)) {
          nodes.push_back(std::move(node));
        }
      }
    }
  }
  return nodes;
}

// The direct steps from node i to node j, at index i * nodes + j: the plain
// step, then the alias when the two types may share storage. Between different
// tilings the alias alternative is the same redistribution again; it is copied
// rather than priced twice, and selection later drops the repeated path.
std::vector<std::vector<Transform>> conversion_edges(const std::vector<TensorType>& nodes) {
  const std::size_t count = nodes.size();
  std::vector<std::vector<Transform>> edges(count * count);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < count; ++j) {
      if (i == j) {
        continue;
      }
      std::vector<Transform>& alternatives = edges[i * count + j];
      std::optional<Transform> plain = edge(nodes[i], nodes[j], false);
      const bool redistributes = plain.has_value() && plain->kind == TransformKind::Redistribute;
      if (plain) {
        alternatives.push_back(*plain);
      }
      if (equivalent(nodes[i], nodes[j])) {
        std::optional<Transform> alias = redistributes ? std::move(plain) : edge(nodes[i], nodes[j], true);
        if (alias) {
          alternatives.push_back(std::move(*alias));
        }
      }
    }
  }
  return edges;
}

// A path under construction: where it stands, the nodes it visited (one bit
// per node) and the steps it took, which point into the edge table.
struct PartialPath {
  std::size_t node = 0;
  std::uint32_t visited = 0;
  std::vector<const Transform*> steps;
  CycleEstimate cycles;
  Assumptions assumptions;
};

// Every simple path from node 0 to node 1 of at most `step_bound` steps, in
// the order a last-in-first-out walk reaches them. A path stops at the target,
// and once it holds the target's precision it never casts away from it again.
std::vector<ConversionPath> walk_paths(const std::vector<TensorType>& nodes,
                                       const std::vector<std::vector<Transform>>& edges, std::size_t step_bound) {
  const std::size_t count = nodes.size();
  const auto& target_precision = nodes[1].format.precision;
  std::vector<ConversionPath> found;
  std::vector<PartialPath> stack;
  stack.push_back(PartialPath{.node = 0, .visited = 1U, .steps = {}, .cycles = {}, .assumptions = {}});
  while (!stack.empty()) {
    PartialPath top = std::move(stack.back());
    stack.pop_back();
    if (top.node == 1) {
      ConversionPath path{.transforms = {}, .cycles = top.cycles, .assumptions = std::move(top.assumptions)};
      path.transforms.reserve(top.steps.size());
      for (const Transform* step : top.steps) {
        path.transforms.push_back(*step);
      }
      found.push_back(std::move(path));
      continue;
    }
    if (top.steps.size() >= step_bound) {
      continue;
    }
    const bool at_target_precision = nodes[top.node].format.precision == target_precision;
    for (std::size_t j = 1; j < count; ++j) {
      if ((top.visited >> j) & 1U) {
        continue;
      }
      if (at_target_precision && nodes[j].format.precision != target_precision) {
        continue;
      }
      for (const Transform& step : edges[top.node * count + j]) {
        PartialPath next{.node = j,
                         .visited = top.visited | (1U << j),
                         .steps = top.steps,
                         .cycles = top.cycles + step.cycles,
                         .assumptions = top.assumptions};
        next.steps.push_back(&step);
        next.assumptions.insert(step.assumptions.begin(), step.assumptions.end());
        stack.push_back(std::move(next));
      }
    }
  }
  return found;
}

// A 16-to-8-bit conversion between different tilings may only cast before it
// redistributes when the source's producer layout is known to feed the target;
// otherwise the first cast ahead of any redistribution rests on that eligibility.
void mark_ineligible_casts(const TensorType& source, const TensorType& target, std::vector<ConversionPath>& paths) {
  const bool lowers_and_moves = source.format.precision.is_f16() && target.format.precision.is_f8f143() &&
                                source.format.layout.tiling != target.format.layout.tiling;
  if (!lowers_and_moves || source.fp8_producer_layout(target.format).has_value()) {
    return;
  }
  for (ConversionPath& path : paths) {
    for (Transform& step : path.transforms) {
      if (step.kind == TransformKind::Redistribute) {
        break;
      }
      if (step.from.format.precision != step.to.format.precision) {
        step.assumptions.insert(Assumption::conversion_eligibility());
        path.assumptions.insert(Assumption::conversion_eligibility());
        break;
      }
    }
  }
}

}  // namespace

std::string dump(const ConversionPath& path) {
  return support::RecordDump("ConversionPath")
      .field("transforms", path.transforms)
      .field("cycles", path.cycles)
      .field("assumptions", path.assumptions)
      .str();
}

std::vector<ConversionPath> select_conversions(std::vector<ConversionPath> found, std::size_t max_paths) {
  std::ranges::stable_sort(found, {}, [](const ConversionPath& path) {
    return std::tuple(path.cycles.optimistic, path.cycles.conservative, path.transforms.size());
  });
  std::vector<ConversionPath> kept;
  for (ConversionPath& path : found) {
    const bool dominated = std::ranges::any_of(kept, [&path](const ConversionPath& better) {
      return better.cycles.optimistic <= path.cycles.optimistic &&
             better.cycles.conservative <= path.cycles.conservative &&
             std::ranges::includes(path.assumptions, better.assumptions);
    });
    if (!dominated) {
      kept.push_back(std::move(path));
    }
  }
  if (kept.size() <= max_paths) {
    return kept;
  }
  const auto safe = std::ranges::find_if(kept, [](const ConversionPath& path) { return path.assumptions.empty(); });
  const auto safe_index = static_cast<std::size_t>(safe - kept.begin());
  std::optional<ConversionPath> rescued;
  if (safe != kept.end() && safe_index >= max_paths) {
    rescued = std::move(*safe);
  }
  kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(max_paths), kept.end());
  if (rescued) {
    kept.push_back(std::move(*rescued));
  }
  return kept;
}

std::expected<std::vector<ConversionPath>, SearchError> enumerate_conversions(const TensorType& source,
                                                                              const TensorType& target,
                                                                              std::uint16_t tiles,
                                                                              const SearchLimits& limits) {
  if (source.shape != target.shape || !valid_tensor(source, tiles) || !valid_tensor(target, tiles) ||
      limits.max_conversion_steps < 1 || limits.max_conversion_steps > largest_step_bound ||
      limits.max_conversion_paths == 0) {
    return std::unexpected(invalid(invalid_endpoints));
  }
  if (source == target) {
    return std::vector<ConversionPath>{ConversionPath{}};
  }
  const std::vector<TensorType> nodes = conversion_nodes(source, target, tiles);
  const std::vector<std::vector<Transform>> edges = conversion_edges(nodes);
  std::vector<ConversionPath> found = walk_paths(nodes, edges, limits.max_conversion_steps);
  mark_ineligible_casts(source, target, found);
  return select_conversions(std::move(found), limits.max_conversion_paths);
}

}  // namespace vexa_codegen::mid::optimistic::conversion

std::size_t std::hash<vexa_codegen::mid::optimistic::conversion::ConversionKey>::operator()(
    const vexa_codegen::mid::optimistic::conversion::ConversionKey& key) const noexcept {
  std::size_t seed = 0;
  vexa_codegen::support::hash_combine(seed, key.first);
  vexa_codegen::support::hash_combine(seed, key.second);
  return seed;
}
