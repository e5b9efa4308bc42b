// The optimistic search's data model: candidate programs, their steps and
// values, the assumptions a candidate rests on, the request and limits of a
// search, its report and its error type.
//
// The search turns one straight-line region of a compute graph into a few
// candidate programs (`DiagnosticMidGraph`). Where it lacks a kernel, a cost
// figure or a proof that two layouts share storage, it keeps the candidate,
// prices the step optimistically and records an `Assumption`; every cycle
// figure is therefore an optimistic and a conservative pair. Everything here is
// a plain value except the lowered programs of operator steps, which are
// shared read-only with the cost model's cache, so that copying a candidate
// never copies a program.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vexa_codegen/estimate/memory_peaks.hpp"
#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/optimistic/cycle_estimate.hpp"
#include "vexa_codegen/mid/program.hpp"

namespace vexa_codegen::mid::optimistic {

// ---------------------------------------------------------------------------
// Assumptions

/// A gap in the planner's knowledge that a step was priced across. Assumptions
/// order by alternative in declaration order; two `MissingKernel` values order
/// by their texts compared byte by byte as unsigned bytes (a prefix first).
/// Dump: `MissingKernel("F16 RowMajor -> F32 RowMajor")`, `MissingEquivalenceRule`,
/// `ConversionEligibility`, `MissingCostModel`.
struct Assumption {
  /// A conversion was priced for which no kernel exists; `text` names it.
  struct MissingKernel {
    std::string text;
    friend bool operator==(const MissingKernel&, const MissingKernel&) = default;
    friend std::strong_ordering operator<=>(const MissingKernel& left, const MissingKernel& right) noexcept;
  };
  /// Two layouts were treated as the same storage without a rule proving it.
  struct MissingEquivalenceRule {
    friend auto operator<=>(const MissingEquivalenceRule&, const MissingEquivalenceRule&) = default;
  };
  /// A precision-lowering conversion was taken from a producer layout not known to be eligible.
  struct ConversionEligibility {
    friend auto operator<=>(const ConversionEligibility&, const ConversionEligibility&) = default;
  };
  /// A redistribution was priced without a cost model.
  struct MissingCostModel {
    friend auto operator<=>(const MissingCostModel&, const MissingCostModel&) = default;
  };

  std::variant<MissingKernel, MissingEquivalenceRule, ConversionEligibility, MissingCostModel> value;

  [[nodiscard]] static Assumption missing_kernel(std::string text) { return {MissingKernel{std::move(text)}}; }
  [[nodiscard]] static Assumption missing_equivalence_rule() { return {MissingEquivalenceRule{}}; }
  [[nodiscard]] static Assumption conversion_eligibility() { return {ConversionEligibility{}}; }
  [[nodiscard]] static Assumption missing_cost_model() { return {MissingCostModel{}}; }

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }

  friend bool operator==(const Assumption&, const Assumption&) = default;
  friend std::strong_ordering operator<=>(const Assumption& left, const Assumption& right) noexcept;
};

/// The assumptions of a step, a transform or a candidate, in their order.
/// Dump: `{MissingKernel("a"), MissingCostModel}`, `{}`.
using Assumptions = std::set<Assumption>;

// ---------------------------------------------------------------------------
// Transforms

/// What a conversion step changes. Dump: the name.
enum class TransformKind : std::uint8_t {
  Alias,         ///< the same storage viewed as another type; no data moves
  Cast,          ///< precision change only
  Pack,          ///< element-order change
  CastAndPack,   ///< precision and element order at once
  Redistribute,  ///< tiling change: data moves between tiles
};

/// One conversion step between two tensor types.
/// Dump: `Transform { from: ..., to: ..., cycles: ..., assumptions: {...}, kind: Cast }`.
struct Transform {
  layout::TensorType from;
  layout::TensorType to;
  CycleEstimate cycles;
  Assumptions assumptions;
  TransformKind kind = TransformKind::Alias;

  friend bool operator==(const Transform&, const Transform&) = default;
};

// ---------------------------------------------------------------------------
// Candidate programs

/// One tensor held by a candidate program: its type and the graph value it
/// carries (several values may carry one graph value in different types).
/// Dump: `Value { tensor: TensorType {...}, high: ValueId(0) }`.
struct Value {
  layout::TensorType tensor;
  graph::ValueId high;

  friend bool operator==(const Value&, const Value&) = default;
};

/// What a step does.
/// Dump: `Operator { plan: ..., program: ... }`, `Transform(Transform {...})`,
/// `Fused([Operation {...}, ...])`.
struct StepKind {
  /// An operator implemented by `plan`; `program` is the lowered, analysed
  /// implementation, shared with the cost model's cache. Programs compare equal
  /// when they are the same object, both absent, or equal in value.
  struct Operator {
    operators::OperatorPlan plan;
    std::shared_ptr<const MidProgram> program;
    friend bool operator==(const Operator& left, const Operator& right);
  };
  /// A layout conversion.
  struct Transform {
    optimistic::Transform transform;
    friend bool operator==(const Transform&, const Transform&) = default;
  };
  /// Several element-wise operators run as one step, in program order.
  struct Fused {
    std::vector<graph::Operation> operations;
    friend bool operator==(const Fused&, const Fused&) = default;
  };

  std::variant<Operator, Transform, Fused> value;

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const StepKind&, const StepKind&) = default;
};

/// One step of a candidate program. `inputs` and `outputs` are indices into the
/// candidate's `values`; `operations` names the graph operations carried out
/// (none for a conversion). Dump: a record of the fields in this order.
struct Step {
  std::vector<graph::OperationId> operations;
  std::vector<std::size_t> inputs;
  std::vector<std::size_t> outputs;
  StepKind kind;
  CycleEstimate cycles;
  Assumptions assumptions;

  friend bool operator==(const Step&, const Step&) = default;
};

/// One candidate program. Values are addressed by their index in `values`, which
/// never changes once the value exists. `inputs` hold the region's boundary
/// inputs and `outputs` its outputs in their required types, both in ascending
/// graph-value order. `cycles`, `memory`, `balanced_peak` and `assumptions` are
/// summaries that the search's refresh derives from the other fields; equality
/// compares every field. Dump: a record of the fields in this order.
struct DiagnosticMidGraph {
  std::vector<Value> values;
  std::vector<std::size_t> inputs;
  std::vector<std::size_t> outputs;
  std::vector<Step> steps;
  CycleEstimate cycles;
  estimate::memory::MemoryPeaks memory;
  std::uint64_t balanced_peak = 0;  ///< peak bytes of the live values spread evenly over the tiles
  Assumptions assumptions;
  std::uint16_t tiles = 0;  ///< tile count of the pipeline

  friend bool operator==(const DiagnosticMidGraph&, const DiagnosticMidGraph&) = default;
};

// ---------------------------------------------------------------------------
// Requests, limits and reports

/// A half-open range [`start`, `end`) of indices into a graph's operation list.
/// Dump: `OperationRange { start: 0, end: 3 }`.
struct OperationRange {
  std::size_t start = 0;
  std::size_t end = 0;

  friend bool operator==(const OperationRange&, const OperationRange&) = default;
};

/// The input of a region search: the operations that form the region, the
/// format in which each boundary input arrives and the format in which each
/// region output must leave. Dump: a record of the fields in this order.
struct RegionRequest {
  OperationRange operations;
  std::map<graph::ValueId, layout::TensorFormat> inputs;
  std::map<graph::ValueId, layout::TensorFormat> outputs;

  friend bool operator==(const RegionRequest&, const RegionRequest&) = default;
};

/// The limits of one search. Dump: a record of the fields in this order.
struct SearchLimits {
  std::size_t max_operations = 0;        ///< most operations a region may hold
  std::size_t beam_width = 0;            ///< most states kept between operations, and partial states per operand
  std::size_t max_conversion_steps = 0;  ///< most transforms in one conversion path (1 to 4)
  std::size_t max_conversion_paths = 0;  ///< most conversion paths kept per conversion
  std::size_t max_expansions = 0;        ///< most operator plans tried over the whole search
  std::size_t max_fused_steps = 0;       ///< most operator steps in one fused group; below 2 nothing is fused

  friend bool operator==(const SearchLimits&, const SearchLimits&) = default;
};

/// The result of a successful search: the candidates best first and counters of
/// what was tried and rejected. Dump: a record of the fields in this order.
struct SearchReport {
  std::vector<DiagnosticMidGraph> candidates;
  std::size_t expanded = 0;                   ///< operator plans tried
  std::size_t memory_rejections = 0;          ///< states dropped for not fitting the tile memory
  std::size_t implementation_rejections = 0;  ///< plans without an implementation
  bool truncated = false;                     ///< something was dropped because of a limit

  friend bool operator==(const SearchReport&, const SearchReport&) = default;
};

/// Why a search failed. `message` gives the display text.
/// Dump: `InvalidRequest("invalid operation range")`,
/// `UnsupportedOperation(OperationId(3))`,
/// `NoCandidates { expanded: 40, memory: 3, implementations: 0 }`.
struct SearchError {
  /// "invalid optimistic search request: " followed by `text`
  struct InvalidRequest {
    std::string text;
    friend bool operator==(const InvalidRequest&, const InvalidRequest&) = default;
  };
  /// "unsupported regional operator OperationId(3); choose a straight-line region"
  struct UnsupportedOperation {
    graph::OperationId operation;
    friend bool operator==(const UnsupportedOperation&, const UnsupportedOperation&) = default;
  };
  /// "no regional candidates; expanded 40, memory rejections 3, implementation rejections 0"
  struct NoCandidates {
    std::size_t expanded = 0;
    std::size_t memory = 0;
    std::size_t implementations = 0;
    friend bool operator==(const NoCandidates&, const NoCandidates&) = default;
  };

  std::variant<InvalidRequest, UnsupportedOperation, NoCandidates> value;

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const SearchError&, const SearchError&) = default;
};

/// `SearchError::InvalidRequest` holding a copy of `text`; every request check
/// of the search reports through it.
[[nodiscard]] SearchError invalid(std::string_view text);

/// The display text of `error`.
[[nodiscard]] std::string message(const SearchError& error);

/// Whether a tensor of `type` can be held by a pipeline of `tiles` tiles: its
/// tile count lies in 1..=`tiles`; its layout resolves for its shape; the
/// largest per-tile byte count neither overflows nor equals the largest 64-bit
/// value; and, for a block-major or AMP order, the resolution is unflattened
/// with at least two axes and the order's storage coordinates accept every
/// pair of distinct nonzero shard sizes (rows from the second-last axis,
/// columns from the last). This gates every boundary format, plan operand and
/// result type, and conversion endpoint.
[[nodiscard]] bool valid_tensor(const layout::TensorType& type, std::uint16_t tiles);

[[nodiscard]] std::string dump(const Assumption& assumption);
[[nodiscard]] std::string dump(TransformKind kind);
[[nodiscard]] std::string dump(const Transform& transform);
[[nodiscard]] std::string dump(const Value& value);
[[nodiscard]] std::string dump(const StepKind& kind);
[[nodiscard]] std::string dump(const Step& step);
[[nodiscard]] std::string dump(const DiagnosticMidGraph& graph);
[[nodiscard]] std::string dump(const OperationRange& range);
[[nodiscard]] std::string dump(const RegionRequest& request);
[[nodiscard]] std::string dump(const SearchLimits& limits);
[[nodiscard]] std::string dump(const SearchReport& report);
[[nodiscard]] std::string dump(const SearchError& error);

}  // namespace vexa_codegen::mid::optimistic

// Hashes combine the fields in declaration order. A step's shared program is
// left out (equal programs may be distinct objects); its plan is hashed.
#define VEXA_CODEGEN_OPTIMISTIC_HASH(Type)                                                      \
  template <>                                                                                   \
  struct std::hash<vexa_codegen::mid::optimistic::Type> {                                       \
    std::size_t operator()(const vexa_codegen::mid::optimistic::Type& value) const noexcept;     \
  }

VEXA_CODEGEN_OPTIMISTIC_HASH(Assumption);
VEXA_CODEGEN_OPTIMISTIC_HASH(Transform);
VEXA_CODEGEN_OPTIMISTIC_HASH(Value);
VEXA_CODEGEN_OPTIMISTIC_HASH(StepKind);
VEXA_CODEGEN_OPTIMISTIC_HASH(Step);
VEXA_CODEGEN_OPTIMISTIC_HASH(DiagnosticMidGraph);

#undef VEXA_CODEGEN_OPTIMISTIC_HASH
