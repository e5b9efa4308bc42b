// Output demands: the layouts that consumers would like to read a value in.
//
// Before a region is searched, the planner works out for every value the region
// produces which element orders (and shard and group granularities) its
// consumers read without a conversion. Plan enumeration uses these wishes to
// keep, among the many plans of a producer, those whose output some consumer
// can take as it is. Demands are hints: a plan that meets none is not
// forbidden, since conversions can still bridge any mismatch.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/pipeline.hpp"

namespace vexa_codegen::mid::candidates::demand {

/// One consumer's wish for a value's layout. Demands order field by field in
/// declaration order: element orders by alternative (`RowMajor`, `BlockMajor`,
/// `Amp`), block-major orders with `Matrix` before `TransposedMatrix`, then by
/// `row_block` and `column_block`, AMP orders by their declared order.
/// Dump: `OutputDemand { order: Amp(Left), last_axis_groups: 1, shard_multiple: 32 }`.
struct OutputDemand {
  /// The element order the consumer reads.
  layout::ElementOrder order;
  /// The layout must cut the last axis into a multiple of this many independent
  /// groups (1: no requirement).
  std::uint16_t last_axis_groups = 1;
  /// Along the axis that is contiguous in `order`, every shard but the last must
  /// hold a multiple of this many elements and the largest at least this many
  /// (1: no requirement).
  std::uint32_t shard_multiple = 1;

  /// Whether a producer output with `layout` over `shape` satisfies the demand:
  /// the orders share an orientation, the shard granularity holds on the
  /// contiguous axis and the last axis has the requested groups. A zero
  /// `shard_multiple` or `last_axis_groups` matches nothing.
  [[nodiscard]] bool matches(const layout::Layout& layout, const graph::TensorShape& shape) const;

  friend bool operator==(const OutputDemand&, const OutputDemand&) = default;
  friend std::strong_ordering operator<=>(const OutputDemand& left, const OutputDemand& right);
};

/// The element-order comparison under which demands are sorted.
[[nodiscard]] std::strong_ordering compare_orders(const layout::ElementOrder& left,
                                                  const layout::ElementOrder& right) noexcept;

/// The demands on every value of a region: each value's list is ascending and
/// holds no two equal demands. Values without consumers in the region have none.
class OutputDemands {
 public:
  /// An empty table.
  OutputDemands() = default;

  /// The table of a region. `operations` are the region's operations in graph
  /// order, `shapes` the graph's value shapes and `config` the pipeline whose
  /// catalogue and tile count decide what the consumers read. The operations are
  /// walked from the last to the first, so that a value's consumers are visited
  /// before its producer and element-wise operations and views can hand their
  /// consumers' wishes on to their own inputs.
  [[nodiscard]] static OutputDemands make(std::span<const graph::Operation> operations,
                                          const std::map<graph::ValueId, graph::TensorShape>& shapes,
                                          const PipelineConfig& config);

  /// The demands on `value` in table order; empty when there are none. The view
  /// stays valid until the table is next changed.
  [[nodiscard]] std::span<const OutputDemand> get(graph::ValueId value) const;

  /// Adds `demand` to `value`'s list unless an equal demand is there; the list
  /// stays ascending.
  void insert(graph::ValueId value, const OutputDemand& demand);

  /// The whole table, keyed by value.
  [[nodiscard]] const std::map<graph::ValueId, std::vector<OutputDemand>>& table() const noexcept { return table_; }

  friend bool operator==(const OutputDemands&, const OutputDemands&) = default;

 private:
  std::map<graph::ValueId, std::vector<OutputDemand>> table_;
};

[[nodiscard]] std::string dump(const OutputDemand& demand);

}  // namespace vexa_codegen::mid::candidates::demand
