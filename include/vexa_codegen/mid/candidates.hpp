// Candidate generation: the operator plans the search tries for one operation.
//
// For one graph operation, with the current types of its operands, the shape
// of its result and the demands that later consumers place on that result,
// `plans` lists the plans the search will try, in the order it tries them. It
// draws on the configuration's catalogue: fixed plans are taken as written,
// plans marked for re-gridding are re-tiled over the actual result shape,
// element-wise plans are re-laid to follow their operand or a flat range over
// the tiles, the open matrix-product entry is expanded into distributed
// products, and attention, view and slice operations get plans built from
// their own shapes.
//
// Distributed products are too many to price all of them: a closed-form proxy
// first keeps the grids that no other grid beats, and demand-driven retention
// then prices the plan variants of those grids (on a work-stealing pool, one
// plan per task) and keeps a bounded, diverse subset. Every list is produced in
// a fixed order, so the result never depends on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vexa_codegen/estimate/cycles.hpp"
#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/candidates/demand.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/pipeline.hpp"
#include "vexa_codegen/support/diagnostics.hpp"

namespace vexa_codegen::mid::candidates {

using demand::OutputDemand;
using demand::OutputDemands;
using layout::Layout;
using layout::TensorType;
using operators::GemmOrientation;
using operators::MidOperator;
using operators::OperatorPlan;

/// How candidate generation runs within one search.
struct GenerationContext {
  /// Receives the diagnostic events of enumeration; without one no event is built.
  support::DiagnosticReceiver* diagnostics = nullptr;
  /// Threads that price plans during retention; 0 lets the pool use the machine.
  std::uint16_t threads = 0;
};

// ---------------------------------------------------------------------------
// What consumers read

/// The layouts in which the `consumers` read `value` of shape `shape` directly.
/// Only flash attention reads its operands in layouts of its own: the query in
/// the attention-output grid (order `Amp(Left)`), the key in the attention-key
/// grid and the value in that grid stored block-major. Distinct layouts in the
/// order found; empty for a shape of rank below 2 or a head count outside
/// 1..65535.
[[nodiscard]] std::vector<Layout> direct_consumer_layouts(std::span<const graph::Operation> consumers,
                                                          graph::ValueId value, const graph::TensorShape& shape,
                                                          const PipelineConfig& config);

// ---------------------------------------------------------------------------
// Plan enumeration

/// The plans the search tries for `operation`, in order: attention, slice or
/// view plans built from the shapes; flattened plans for element-wise
/// operators whose result has the operand's shape; the catalogue's plans
/// (re-gridded, following their operand, or expanded into distributed
/// products); then only those that fit the operator memory, under output
/// grouping 2 only products with a grouped output, and under a matching
/// `gemm_constraints` entry only the distributed products that satisfy it.
/// `parameter_flags[i]` tells whether operand i is a parameter (missing flags
/// count as false). An attention whose key length leaves no key partition gets
/// no plan at all. The constraint filter emits the info event "applied GEMM
/// plan constraint" to `context.diagnostics`.
[[nodiscard]] std::vector<OperatorPlan> plans(const graph::Operation& operation,
                                              const std::vector<TensorType>& operand_types,
                                              const std::vector<bool>& parameter_flags,
                                              const graph::TensorShape& result_shape, const PipelineConfig& config,
                                              const estimate::cycles::CostModel& cost_model,
                                              std::span<const OutputDemand> demands,
                                              const GenerationContext& context = {});

/// `plans` of `operation` for each entry of `operand_types` (one list of the
/// operation's current operand types per entry), in entry order; entries with
/// equal operand types share one list, enumerated once. The distinct lists are
/// enumerated side by side on `context.threads` threads, each exactly as
/// `plans` would enumerate it; the diagnostic events of each entry are handed
/// to `context.diagnostics` on the calling thread, entry after entry, so that a
/// receiver sees what one-by-one enumeration shows it.
[[nodiscard]] std::vector<std::shared_ptr<const std::vector<OperatorPlan>>> plans_for_each(
    const graph::Operation& operation, std::span<const std::vector<TensorType>> operand_types,
    const std::vector<bool>& parameter_flags, const graph::TensorShape& result_shape, const PipelineConfig& config,
    const estimate::cycles::CostModel& cost_model, std::span<const OutputDemand> demands,
    const GenerationContext& context = {});

/// Whether a plan's operator implements an operation of this kind: products
/// with the same transposes (precisions are not compared), views and slices
/// with equal payloads, attention with equal options, element-wise operators by
/// name; nothing implements a repeat.
[[nodiscard]] bool operator_matches(const graph::OperationKind& kind, const MidOperator& operator_);

/// Whether `plan` is a distributed product that satisfies `constraint`: same
/// orientation, output column block, partition counts and reduction staging,
/// and a weight operand in the constraint's memory class and staging.
[[nodiscard]] bool satisfies_gemm_constraint(const OperatorPlan& plan, const GemmPlanConstraint& constraint);

/// A copy of the product `plan` whose block-major operand `operand` (a
/// parameter) is spread over its own grid of tiles, the grid that leaves the
/// fewest blocks on one tile (then the most tiles, then the fewer column and
/// row parts). Empty when the plan is not a product, the operand is not stored
/// as a block-major matrix, its type has rank below 2, the output column block
/// is below 64 or no grid exists; at most one plan. Stops the program on a
/// block-major order with a zero row block.
[[nodiscard]] std::vector<OperatorPlan> independent_parameter_storage(const OperatorPlan& plan,
                                                                      const std::vector<TensorType>& operand_types,
                                                                      std::size_t operand,
                                                                      const PipelineConfig& config);

/// The positions of `plan.storage.output_aliases`, in order, whose operand the
/// result may actually overwrite for these operand types and this result
/// shape; empty when the plan lists none.
[[nodiscard]] std::vector<std::uint16_t> resolved_output_aliasing(const OperatorPlan& plan,
                                                                  const std::vector<TensorType>& operand_types,
                                                                  const graph::TensorShape& result_shape);

// ---------------------------------------------------------------------------
// Demand-driven retention

/// How one operand requirement connects to its producer.
struct OperandCompatibility {
  layout::Precision precision;
  layout::ElementOrder order;
  layout::MemoryClass memory_class = layout::MemoryClass::Vexa21Standard;
  operators::LocalOperandStaging staging = operators::LocalOperandStaging::Direct;

  friend bool operator==(const OperandCompatibility&, const OperandCompatibility&) = default;
};

/// One tiling of a result layout as its consumers see it.
struct OutputAxisCompatibility {
  layout::TensorAxis axis;
  std::uint16_t groups = 1;
  std::uint32_t shard_alignment = 1;

  friend bool operator==(const OutputAxisCompatibility&, const OutputAxisCompatibility&) = default;
};

/// How a result requirement connects to its consumers.
struct OutputCompatibility {
  layout::Precision precision;
  layout::ElementOrder order;
  layout::MemoryClass memory_class = layout::MemoryClass::Vexa21Standard;
  std::vector<OutputAxisCompatibility> axes;

  friend bool operator==(const OutputCompatibility&, const OutputCompatibility&) = default;
};

/// The summary of how a plan connects to its neighbours. Two plans with equal
/// summaries are interchangeable for the rest of the program, so only their
/// metrics decide between them.
struct OperatorCompatibility {
  std::vector<OperandCompatibility> operands;
  OutputCompatibility output;
  /// The orientation of a product dispatch; absent for other dispatches.
  std::optional<GemmOrientation> orientation;
  /// The inner partitions of a product dispatch (1 without distribution).
  std::optional<std::uint16_t> inner_partitions;
  /// (result rows, result columns) of a distributed product.
  std::optional<std::pair<std::uint16_t, std::uint16_t>> result_partitions;
  /// The reduction staging of a distributed product.
  std::optional<operators::ReductionStaging> reduction_staging;

  [[nodiscard]] static OperatorCompatibility of(const OperatorPlan& plan);

  friend bool operator==(const OperatorCompatibility&, const OperatorCompatibility&) = default;
};

/// At most `keep` plans of `plans` (plus twins), chosen after pricing every plan
/// through `cost_model`: plans that another plan with the same interface beats
/// on every figure are dropped, the rest are ordered by memory excess and then
/// by their figures, and the selection takes the plan with the least exchange,
/// one plan per distinct pattern of met `demands`, one per kind of result
/// interface, then the best of the rest; every selected plan brings its twin
/// (the same result at the same cost from operands in another form). At most
/// `keep` plans come back unchanged and unpriced; a `keep` of 0 selects
/// nothing from a longer list (callers pass at least 1). The plans are priced in
/// parallel on `context.threads` threads, so `cost_model` must accept
/// concurrent calls (the search's memoised model does); the result is the same
/// for any number of threads.
[[nodiscard]] std::vector<OperatorPlan> retain_operator_candidates_for_demands(
    const std::vector<OperatorPlan>& plans, const std::vector<TensorType>& operand_types,
    const graph::TensorShape& result_shape, const estimate::cycles::CostModel& cost_model, std::uint64_t keep,
    std::span<const OutputDemand> demands, const GenerationContext& context = {});

// ---------------------------------------------------------------------------
// Distributed matrix products

/// One grid of a distributed product with its closed-form estimates.
/// Dump: `ParallelGridProxy { cycles: 1, exchange: 2, memory: 3, idle_tiles: 0,
/// row_partitions: 1, column_partitions: 32, inner_partitions: 2 }`.
struct ParallelGridProxy {
  std::uint64_t cycles = 0;             ///< cycle proxy
  std::uint64_t exchange = 0;           ///< exchange proxy
  std::uint64_t memory = 0;             ///< per-tile memory proxy, bytes
  std::uint64_t idle_tiles = 0;         ///< tiles of the family the grid leaves unused
  std::uint16_t row_partitions = 1;     ///< parts of the streamed operand's free extent
  std::uint16_t column_partitions = 1;  ///< parts of the result's other extent
  std::uint16_t inner_partitions = 1;   ///< parts of the contraction

  friend bool operator==(const ParallelGridProxy&, const ParallelGridProxy&) = default;
};

/// Every grid of a product with operator `gemm` on `tile_count` tiles that
/// splits the contraction at least two ways, occupies at least half of the
/// tiles and passes the tile-memory and interleaved-memory proxies, in
/// generation order (inner partitions ascending, then column partitions).
/// Empty when the operands are not two of rank 2 or more or the contraction or
/// the result columns have more than 65535 blocks.
[[nodiscard]] std::vector<ParallelGridProxy> parallel_grid_proxies(const MidOperator::Gemm& gemm,
                                                                   std::uint16_t tile_count,
                                                                   const std::vector<TensorType>& operand_types,
                                                                   GemmOrientation orientation);

/// The proxies that no proxy with the same inner partitions beats on cycles,
/// exchange, memory and idle tiles together (equal proxies are all kept),
/// sorted stably by their figures and then by their partitions.
[[nodiscard]] std::vector<ParallelGridProxy> parallel_grid_frontier(const std::vector<ParallelGridProxy>& proxies);

/// The distributed products of `operator_` on `tile_count` tiles for both
/// orientations, those of `Normal` first.
[[nodiscard]] std::vector<OperatorPlan> parallel_reduction_candidates(
    const MidOperator& operator_, std::uint16_t tile_count, const std::vector<TensorType>& operand_types,
    const graph::TensorShape& result_shape, const PipelineConfig& config, const estimate::cycles::CostModel& cost_model,
    const std::optional<GemmPlanConstraint>& constraint, std::span<const OutputDemand> demands,
    const GenerationContext& context = {});

/// The distributed products of one orientation: the plan variants of the
/// frontier grids (or, under `constraint`, of its grid only), then either the
/// variants that satisfy the constraint, in generation order, or what retention
/// keeps of them. Emits the debug event "retained parallel GEMM candidates" to
/// `context.diagnostics` once the selection is made. Empty when `operator_` is
/// not a product or the operands do not fit (see `parallel_grid_proxies`).
[[nodiscard]] std::vector<OperatorPlan> parallel_reduction_candidates_for_orientation(
    const MidOperator& operator_, std::uint16_t tile_count, const std::vector<TensorType>& operand_types,
    const graph::TensorShape& result_shape, const PipelineConfig& config, const estimate::cycles::CostModel& cost_model,
    GemmOrientation orientation, const std::optional<GemmPlanConstraint>& constraint,
    std::span<const OutputDemand> demands, const GenerationContext& context = {});

/// The variant of a 16-bit product whose result is stored block-major in
/// product output groups (`TransposedMatrix` 64 x 16 for `Normal`, `Matrix` for
/// `Swapped`), with the row and column tilings of operands and result aligned
/// to 16 and 64 elements. Nothing for other plans, for a distributed product
/// whose result is spread over more than one tile per block, or when one of the
/// four tilings is missing.
[[nodiscard]] std::optional<OperatorPlan> packed_gemm_output(const OperatorPlan& plan,
                                                             const graph::TensorShape& result_shape);

[[nodiscard]] std::string dump(const ParallelGridProxy& proxy);

}  // namespace vexa_codegen::mid::candidates
