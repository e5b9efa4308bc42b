// Layout conversion paths: the priced ways of turning a tensor of one type into
// another.
//
// When a consumer needs a value in another precision, element order, tiling or
// memory class than its producer wrote, the search inserts conversion steps.
// This module builds a small graph whose nodes are tensor types mixed from the
// two endpoints, prices every direct step between two nodes (an alias, cast,
// pack, cast-and-pack or redistribution), enumerates the simple paths from the
// source to the target up to a step bound and returns a short, ordered list of
// paths that no other path beats. Steps without a kernel, a cost figure or a
// storage-identity rule are kept, priced optimistically, and marked with the
// assumption they rest on. Every function is pure; the search caches results
// per pair of types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/optimistic/types.hpp"

namespace vexa_codegen::mid::optimistic::conversion {

/// A chain of conversion steps. `cycles` is the component-wise saturating sum
/// of the steps' estimates; `assumptions` is the union of the steps' sets plus
/// any `ConversionEligibility` the path rule added. The default path (no steps,
/// zero cycles, no assumptions) is the identity.
/// Dump: `ConversionPath { transforms: [...], cycles: ..., assumptions: {...} }`.
struct ConversionPath {
  std::vector<Transform> transforms;
  CycleEstimate cycles;
  Assumptions assumptions;

  friend bool operator==(const ConversionPath&, const ConversionPath&) = default;
};

[[nodiscard]] std::string dump(const ConversionPath& path);

/// The direct step from `source` to `target`, or nothing when no single step
/// converts one into the other. A change of tiling or memory class is a
/// redistribution, which keeps the precision and the element order (except for
/// unpacking whole words from `Amp(Left)` into row-major). Without such a
/// change the step is an alias (only with `allow_alias` and when `equivalent`
/// holds), a cast, a pack or both at once. A step without a kernel records
/// `MissingKernel` and costs four times its optimistic floor conservatively; a
/// redistribution without a cost figure records `MissingCostModel` likewise.
[[nodiscard]] std::optional<Transform> edge(const layout::TensorType& source, const layout::TensorType& target,
                                            bool allow_alias);

/// Whether a row-major tensor and an `Amp(Left)` tensor of the same precision
/// can be taken to share storage: every shard of `source` holds a single row
/// (all axes but the last have one-element shards) whose allocated length is a
/// whole number of vectors (32 elements for `F8F143`, 16 otherwise). Only the
/// source's resolution is inspected. No rule proves this yet, so an alias built
/// on it records `MissingEquivalenceRule`.
[[nodiscard]] bool equivalent(const layout::TensorType& source, const layout::TensorType& target);

/// Whether an `Amp(Left)` tensor can be unpacked into a row-major tensor of the
/// same precision word by word: both resolve unflattened and every allocated
/// shard length of both last axes is a whole number of 32-bit words.
[[nodiscard]] bool word_unpack(const layout::TensorType& source, const layout::TensorType& target);

/// The ways of converting `source` into `target` on a pipeline of `tiles`
/// tiles, best first: paths of at most `limits.max_conversion_steps` steps
/// that never visit a type twice and never leave the target's precision once
/// they reach it, ordered by (optimistic cycles, conservative cycles, steps),
/// without paths that an earlier one dominates, cut to
/// `limits.max_conversion_paths` and followed by the best assumption-free path
/// when the cut lost every such path. Equal endpoints give the identity path
/// alone; an empty list means that the target cannot be reached within the
/// step bound. Fails with `InvalidRequest("invalid conversion endpoints or
/// search limits")` when the shapes differ, either endpoint is not a valid
/// tensor for the pipeline, the step bound is outside 1 to 4 or the path bound is 0.
[[nodiscard]] std::expected<std::vector<ConversionPath>, SearchError> enumerate_conversions(
    const layout::TensorType& source, const layout::TensorType& target, std::uint16_t tiles,
    const SearchLimits& limits);

/// The selection that `enumerate_conversions` applies to the paths it found:
/// a stable sort by (optimistic cycles, conservative cycles, number of steps);
/// a path is dropped when an earlier kept path costs no more in both figures
/// and rests on a subset of its assumptions; the rest is cut to `max_paths`,
/// and when the cut holds no assumption-free path but one was kept, the first
/// such path is appended, so that the search always keeps a safe way.
[[nodiscard]] std::vector<ConversionPath> select_conversions(std::vector<ConversionPath> found,
                                                             std::size_t max_paths);

/// The key of a conversion: (source type, target type).
using ConversionKey = std::pair<layout::TensorType, layout::TensorType>;

}  // namespace vexa_codegen::mid::optimistic::conversion

/// Hashes the source type, then the target type.
template <>
struct std::hash<vexa_codegen::mid::optimistic::conversion::ConversionKey> {
  std::size_t operator()(const vexa_codegen::mid::optimistic::conversion::ConversionKey& key) const noexcept;
};
