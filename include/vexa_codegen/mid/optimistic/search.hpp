// The region search's beam entries and the operations on them: the state of
// one partial candidate, the key that orders candidates, the recomputation of a
// candidate's summaries after every change, and the pruning of the beam.
//
// A state pairs a candidate program under construction with the map that says
// which of its tensors currently carries each graph value still needed. States
// are copied whenever the search branches; the copies are cheap because the
// lowered programs inside operator steps are shared, never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/optimistic/types.hpp"

namespace vexa_codegen::mid::optimistic::search {

/// One beam entry: the candidate built so far and, for every graph value that
/// is still needed, the index in `graph.values` of the tensor that carries it.
/// Equality compares both fields.
struct State {
  DiagnosticMidGraph graph;
  std::map<vexa_codegen::graph::ValueId, std::size_t> values;

  /// Appends `Value { tensor, high }` to `graph.values` and returns its index.
  /// Touches neither `values` nor any other field.
  std::size_t value(vexa_codegen::graph::ValueId high, layout::TensorType tensor);

  friend bool operator==(const State&, const State&) = default;
};

/// The key by which states and candidates are ordered, smaller first: the
/// saturating sums of the steps' optimistic and conservative cycles, the total
/// memory peak and the number of assumptions.
using Score = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::size_t>;

/// The ordering key of `graph`. The cycle sums are taken from the steps, not
/// from the summary field, so that a candidate need not be refreshed to be ranked.
[[nodiscard]] Score score(const DiagnosticMidGraph& graph);

/// Recomputes `graph`'s summaries from its values and steps: the cycle sum,
/// the union of the assumptions, the memory peaks over the execution (values
/// live from the step that writes them, or from the start for boundary inputs,
/// to their last reader, or to the end for outputs; a value written by an
/// alias transform shares its source's storage and extends its lifetime; an
/// operator step adds its program's own standard and interleaved peaks while it
/// runs) and the balanced peak (the bytes of the live values spread evenly over
/// the tiles). A value whose layout does not resolve counts as the largest
/// 64-bit number of bytes. `memory.exchange_rows` is left zero.
void refresh(DiagnosticMidGraph& graph);

/// Cuts a list of states back to `beam_width` (never 0): orders them stably by
/// score, drops exact duplicates (the first in score order stays), puts the
/// best state of every distinct signature (the live graph values with the
/// types that carry them) ahead of all second-best states, and keeps the first
/// `beam_width`, setting `report.truncated` when that cut drops a state. When
/// the input held an assumption-free state and the cut kept none, the best
/// assumption-free state is appended, so the result may hold `beam_width` + 1
/// states. The result is not sorted again: leaders, followers, then that state.
[[nodiscard]] std::vector<State> prune(std::vector<State> states, std::size_t beam_width, SearchReport& report);

}  // namespace vexa_codegen::mid::optimistic::search
