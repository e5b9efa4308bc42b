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
#include <expected>
#include <map>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vexa_codegen/graph/builder.hpp"
#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/optimistic/conversion.hpp"
#include "vexa_codegen/mid/optimistic/trace.hpp"
#include "vexa_codegen/mid/optimistic/types.hpp"
#include "vexa_codegen/mid/pipeline.hpp"
#include "vexa_codegen/support/diagnostics.hpp"

namespace vexa_codegen::mid::optimistic::search {

/// The conversion paths of one search, per (source type, target type), as
/// `enumerate_conversions` returned them. Only ever added to. It also counts,
/// for measurement only, how often `State::convert` looked a pair up and how
/// often the pair was already there.
struct ConversionCache : std::unordered_map<conversion::ConversionKey, std::vector<conversion::ConversionPath>> {
  std::size_t lookups = 0;
  std::size_t hits = 0;
};

/// One beam entry: the candidate built so far and, for every graph value that
/// is still needed, the index in `graph.values` of the tensor that carries it.
/// Equality compares both fields.
struct State {
  DiagnosticMidGraph graph;
  std::map<vexa_codegen::graph::ValueId, std::size_t> values;

  /// Appends `Value { tensor, high }` to `graph.values` and returns its index.
  /// Touches neither `values` nor any other field.
  std::size_t value(vexa_codegen::graph::ValueId high, layout::TensorType tensor);

  /// The ways of holding the graph value of `graph.values[index]` in `target`:
  /// (successor state, index of the value in `target`) pairs, best first. When
  /// a value of that graph value already has that type, the only successor is
  /// an unrefreshed copy pointing at the first such value. Otherwise each path
  /// of the cached (or newly enumerated and cached) conversion is replayed onto
  /// a refreshed copy as transform steps, reusing values the copy already holds
  /// for that graph value. `values` is left as it was. An empty list means the
  /// value cannot reach `target`; the enumeration's error is returned unchanged.
  [[nodiscard]] std::expected<std::vector<std::pair<State, std::size_t>>, SearchError> convert(
      std::size_t index, const layout::TensorType& target, std::uint16_t tiles, const SearchLimits& limits,
      ConversionCache& cache) const;

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

// ---------------------------------------------------------------------------
// The region search

/// What a search's caches saved it: the program requests to the memoised cost
/// model and the conversion-cache lookups of `State::convert`, each with the
/// number the cache answered.
struct SearchStatistics {
  std::size_t program_requests = 0;
  std::size_t program_hits = 0;
  std::size_t conversion_lookups = 0;
  std::size_t conversion_hits = 0;

  friend bool operator==(const SearchStatistics&, const SearchStatistics&) = default;
};

/// How a search runs, beyond what it plans. No field changes the result.
struct SearchOptions {
  /// Receives the diagnostic events of plan enumeration; none by default.
  support::DiagnosticReceiver* diagnostics = nullptr;
  /// Worker threads that price candidate plans; 0 lets the pool use the machine.
  std::uint16_t threads = 0;
  /// When set, receives the search's cache statistics when it ends, whether it
  /// succeeds or fails after its request checks.
  SearchStatistics* statistics = nullptr;
  /// Receives the search's decision trace, on the calling thread; none by
  /// default, and then no event is built.
  trace::SearchObserver* observer = nullptr;
};

/// Plans one straight-line region of `graph`: a beam search over its operations
/// in graph order. Each state of the beam is expanded by every plan that plan
/// enumeration offers, its operands converted into the plan's types, the plan's
/// lowered program priced, states over the tile memory dropped and the beam
/// pruned; finally the outputs are converted into their required formats, every
/// candidate is offered to fusion, and the report lists the candidates best
/// first. Fails with `InvalidRequest` for a malformed request,
/// `UnsupportedOperation` for a repeat or a multi-result operation, and
/// `NoCandidates` when nothing survives.
[[nodiscard]] std::expected<SearchReport, SearchError> plan_region(const graph::ComputeGraph& graph,
                                                                   const RegionRequest& request,
                                                                   const PipelineConfig& config,
                                                                   const SearchLimits& limits);
[[nodiscard]] std::expected<SearchReport, SearchError> plan_region(const graph::ComputeGraph& graph,
                                                                   const RegionRequest& request,
                                                                   const PipelineConfig& config,
                                                                   const SearchLimits& limits,
                                                                   const SearchOptions& options);

/// Plans the whole graph as one region. Every graph input that an operation
/// reads arrives in its fixed format from `config.input_formats`, or else in
/// its automatic precision row-sharded over all tiles; an input with neither
/// fails with "missing boundary input ValueId(n)".
[[nodiscard]] std::expected<SearchReport, SearchError> plan_graph(
    const graph::ComputeGraph& graph, const PipelineConfig& config,
    std::map<graph::ValueId, layout::TensorFormat> outputs, const SearchLimits& limits);
[[nodiscard]] std::expected<SearchReport, SearchError> plan_graph(
    const graph::ComputeGraph& graph, const PipelineConfig& config,
    std::map<graph::ValueId, layout::TensorFormat> outputs, const SearchLimits& limits,
    const SearchOptions& options);

}  // namespace vexa_codegen::mid::optimistic::search
