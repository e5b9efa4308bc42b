#include "vexa_codegen/mid/optimistic/types.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/storage.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::mid::optimistic {

namespace {

// Whether the order's storage coordinate function addresses the first element
// of a shard of `rows` x `columns` elements.
bool stores_shard(const layout::ElementOrder& order, const layout::Precision& precision, std::uint32_t rows,
                  std::uint32_t columns) {
  if (const layout::BlockMajorOrder* blocks = order.as_block_major()) {
    return storage::block_major_matrix_coordinates(*blocks, precision, rows, columns, 0).has_value();
  }
  const std::optional<layout::AmpOrder> amp = order.as_amp();
  return amp && storage::amp_matrix_coordinates(*amp, precision, rows, columns, 0).has_value();
}

std::size_t hash_assumptions(const Assumptions& assumptions) {
  std::size_t seed = assumptions.size();
  for (const Assumption& assumption : assumptions) {
    support::hash_combine(seed, assumption);
  }
  return seed;
}

std::size_t hash_cycles(const CycleEstimate& cycles) {
  return support::hash_fields(cycles.optimistic, cycles.conservative);
}

}  // namespace

// ---------------------------------------------------------------------------
// Ordering and equality

std::strong_ordering operator<=>(const Assumption::MissingKernel& left,
                                 const Assumption::MissingKernel& right) noexcept {
  // Unsigned bytes, so that the order does not depend on the signedness of char.
  const std::size_t common = std::min(left.text.size(), right.text.size());
  const int bytes = common == 0 ? 0 : std::memcmp(left.text.data(), right.text.data(), common);
  if (bytes != 0) {
    return bytes < 0 ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  return left.text.size() <=> right.text.size();
}

std::strong_ordering operator<=>(const Assumption& left, const Assumption& right) noexcept {
  if (left.value.index() != right.value.index()) {
    return left.value.index() <=> right.value.index();
  }
  const auto* left_kernel = std::get_if<Assumption::MissingKernel>(&left.value);
  const auto* right_kernel = std::get_if<Assumption::MissingKernel>(&right.value);
  return left_kernel != nullptr ? *left_kernel <=> *right_kernel : std::strong_ordering::equal;
}

bool operator==(const StepKind::Operator& left, const StepKind::Operator& right) {
  if (!(left.plan == right.plan)) {
    return false;
  }
  if (left.program == right.program) {
    return true;
  }
  return left.program != nullptr && right.program != nullptr && *left.program == *right.program;
}

// ---------------------------------------------------------------------------
// Errors and validity

SearchError invalid(std::string_view text) { return {SearchError::InvalidRequest{std::string(text)}}; }

std::string message(const SearchError& error) {
  return std::visit(
      [](const auto& alternative) -> std::string {
        using Alternative = std::remove_cvref_t<decltype(alternative)>;
        if constexpr (std::is_same_v<Alternative, SearchError::InvalidRequest>) {
          return "invalid optimistic search request: " + alternative.text;
        } else if constexpr (std::is_same_v<Alternative, SearchError::UnsupportedOperation>) {
          return "unsupported regional operator " + graph::dump(alternative.operation) +
                 "; choose a straight-line region";
        } else {
          static_assert(std::is_same_v<Alternative, SearchError::NoCandidates>);
          return "no regional candidates; expanded " + std::to_string(alternative.expanded) +
                 ", memory rejections " + std::to_string(alternative.memory) + ", implementation rejections " +
                 std::to_string(alternative.implementations);
        }
      },
      error.value);
}

bool valid_tensor(const layout::TensorType& type, std::uint16_t tiles) {
  const layout::Layout& layout = type.format.layout;
  if (layout.tiling.tile_count < 1 || layout.tiling.tile_count > tiles) {
    return false;
  }
  const auto resolution = layout.resolve(type.shape);
  if (!resolution) {
    return false;
  }
  const layout::Precision& precision = type.format.precision;
  if (support::sat_mul(resolution->maximum_tile_elements(), precision.element_bytes()) == support::saturated) {
    return false;
  }
  if (layout.order.is_row_major()) {
    return true;
  }
  if (resolution->flattened || resolution->axes.size() < 2) {
    return false;
  }
  const std::size_t rank = resolution->axes.size();
  const std::vector<std::uint32_t> rows = resolution->axes[rank - 2].extent_sizes();
  const std::vector<std::uint32_t> columns = resolution->axes[rank - 1].extent_sizes();
  for (const std::uint32_t row_count : rows) {
    if (row_count == 0) {
      continue;
    }
    for (const std::uint32_t column_count : columns) {
      if (column_count != 0 && !stores_shard(layout.order, precision, row_count, column_count)) {
        return false;
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Dumps

std::string dump(const Assumption& assumption) {
  return std::visit(
      [](const auto& alternative) -> std::string {
        using Alternative = std::remove_cvref_t<decltype(alternative)>;
        if constexpr (std::is_same_v<Alternative, Assumption::MissingKernel>) {
          return support::positional("MissingKernel", alternative.text);
        } else if constexpr (std::is_same_v<Alternative, Assumption::MissingEquivalenceRule>) {
          return "MissingEquivalenceRule";
        } else if constexpr (std::is_same_v<Alternative, Assumption::ConversionEligibility>) {
          return "ConversionEligibility";
        } else {
          static_assert(std::is_same_v<Alternative, Assumption::MissingCostModel>);
          return "MissingCostModel";
        }
      },
      assumption.value);
}

std::string dump(TransformKind kind) {
  switch (kind) {
    case TransformKind::Alias:
      return "Alias";
    case TransformKind::Cast:
      return "Cast";
    case TransformKind::Pack:
      return "Pack";
    case TransformKind::CastAndPack:
      return "CastAndPack";
    case TransformKind::Redistribute:
      return "Redistribute";
  }
  support::invariant_failed("unknown transform kind");
}

std::string dump(const Transform& transform) {
  return support::RecordDump("Transform")
      .field("from", transform.from)
      .field("to", transform.to)
      .field("cycles", transform.cycles)
      .field("assumptions", transform.assumptions)
      .field("kind", transform.kind)
      .str();
}

std::string dump(const Value& value) {
  return support::RecordDump("Value").field("tensor", value.tensor).field("high", value.high).str();
}

std::string dump(const StepKind& kind) {
  return std::visit(
      [](const auto& alternative) -> std::string {
        using Alternative = std::remove_cvref_t<decltype(alternative)>;
        if constexpr (std::is_same_v<Alternative, StepKind::Operator>) {
          support::RecordDump record("Operator");
          record.field("plan", alternative.plan);
          if (alternative.program != nullptr) {
            record.field("program", alternative.program);
          } else {
            record.field("program", std::optional<MidProgram>{});
          }
          return record.str();
        } else if constexpr (std::is_same_v<Alternative, StepKind::Transform>) {
          return support::positional("Transform", alternative.transform);
        } else {
          static_assert(std::is_same_v<Alternative, StepKind::Fused>);
          return support::positional("Fused", alternative.operations);
        }
      },
      kind.value);
}

std::string dump(const Step& step) {
  return support::RecordDump("Step")
      .field("operations", step.operations)
      .field("inputs", step.inputs)
      .field("outputs", step.outputs)
      .field("kind", step.kind)
      .field("cycles", step.cycles)
      .field("assumptions", step.assumptions)
      .str();
}

std::string dump(const DiagnosticMidGraph& graph) {
  return support::RecordDump("DiagnosticMidGraph")
      .field("values", graph.values)
      .field("inputs", graph.inputs)
      .field("outputs", graph.outputs)
      .field("steps", graph.steps)
      .field("cycles", graph.cycles)
      .field("memory", graph.memory)
      .field("balanced_peak", graph.balanced_peak)
      .field("assumptions", graph.assumptions)
      .field("tiles", graph.tiles)
      .str();
}

std::string dump(const OperationRange& range) {
  return support::RecordDump("OperationRange").field("start", range.start).field("end", range.end).str();
}

std::string dump(const RegionRequest& request) {
  return support::RecordDump("RegionRequest")
      .field("operations", request.operations)
      .field("inputs", request.inputs)
      .field("outputs", request.outputs)
      .str();
}

std::string dump(const SearchLimits& limits) {
  return support::RecordDump("SearchLimits")
      .field("max_operations", limits.max_operations)
      .field("beam_width", limits.beam_width)
      .field("max_conversion_steps", limits.max_conversion_steps)
      .field("max_conversion_paths", limits.max_conversion_paths)
      .field("max_expansions", limits.max_expansions)
      .field("max_fused_steps", limits.max_fused_steps)
      .str();
}

std::string dump(const SearchReport& report) {
  return support::RecordDump("SearchReport")
      .field("candidates", report.candidates)
      .field("expanded", report.expanded)
      .field("memory_rejections", report.memory_rejections)
      .field("implementation_rejections", report.implementation_rejections)
      .field("truncated", report.truncated)
      .str();
}

std::string dump(const SearchError& error) {
  return std::visit(
      [](const auto& alternative) -> std::string {
        using Alternative = std::remove_cvref_t<decltype(alternative)>;
        if constexpr (std::is_same_v<Alternative, SearchError::InvalidRequest>) {
          return support::positional("InvalidRequest", alternative.text);
        } else if constexpr (std::is_same_v<Alternative, SearchError::UnsupportedOperation>) {
          return support::positional("UnsupportedOperation", alternative.operation);
        } else {
          static_assert(std::is_same_v<Alternative, SearchError::NoCandidates>);
          return support::RecordDump("NoCandidates")
              .field("expanded", alternative.expanded)
              .field("memory", alternative.memory)
              .field("implementations", alternative.implementations)
              .str();
        }
      },
      error.value);
}

}  // namespace vexa_codegen::mid::optimistic

namespace optimistic = vexa_codegen::mid::optimistic;
using vexa_codegen::support::hash_combine;
using vexa_codegen::support::hash_fields;

std::size_t std::hash<optimistic::Assumption>::operator()(const optimistic::Assumption& value) const noexcept {
  const auto* kernel = std::get_if<optimistic::Assumption::MissingKernel>(&value.value);
  return kernel != nullptr ? hash_fields(value.value.index(), kernel->text) : hash_fields(value.value.index());
}

std::size_t std::hash<optimistic::Transform>::operator()(const optimistic::Transform& value) const noexcept {
  return hash_fields(value.from, value.to, optimistic::hash_cycles(value.cycles),
                     optimistic::hash_assumptions(value.assumptions), value.kind);
}

std::size_t std::hash<optimistic::Value>::operator()(const optimistic::Value& value) const noexcept {
  return hash_fields(value.tensor, value.high);
}

std::size_t std::hash<optimistic::StepKind>::operator()(const optimistic::StepKind& value) const noexcept {
  return vexa_codegen::support::hash_variant(value.value, [](const auto& alternative) -> std::size_t {
    using Alternative = std::remove_cvref_t<decltype(alternative)>;
    if constexpr (std::is_same_v<Alternative, optimistic::StepKind::Operator>) {
      return hash_fields(alternative.plan);  // the program is left out: see the header
    } else if constexpr (std::is_same_v<Alternative, optimistic::StepKind::Transform>) {
      return hash_fields(alternative.transform);
    } else {
      // Operations have no hash of their own; their identifiers and kinds
      // narrow the search enough.
      std::size_t seed = alternative.operations.size();
      for (const vexa_codegen::graph::Operation& operation : alternative.operations) {
        hash_combine(seed, operation.id);
        hash_combine(seed, operation.kind.value.index());
      }
      return seed;
    }
  });
}

std::size_t std::hash<optimistic::Step>::operator()(const optimistic::Step& value) const noexcept {
  return hash_fields(value.operations, value.inputs, value.outputs, value.kind, optimistic::hash_cycles(value.cycles),
                     optimistic::hash_assumptions(value.assumptions));
}

std::size_t std::hash<optimistic::DiagnosticMidGraph>::operator()(
    const optimistic::DiagnosticMidGraph& value) const noexcept {
  const vexa_codegen::estimate::memory::MemoryPeaks& memory = value.memory;
  return hash_fields(value.values, value.inputs, value.outputs, value.steps, optimistic::hash_cycles(value.cycles),
                     hash_fields(memory.standard, memory.interleaved, memory.total, memory.exchange_rows,
                                 memory.maximum_standard_allocation),
                     value.balanced_peak, optimistic::hash_assumptions(value.assumptions), value.tiles);
}
