// Flattened follow plans: an element-wise operator over one flat range of
// elements dealt out to the tiles, for operations whose result has the shape
// of their single operand.
#include <algorithm>
#include <map>

#include "detail.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::candidates::detail {
namespace {

/// A catalogue entry usable over `tiles` tiles, with its alignment in elements
/// and the number of tile boundaries that fall inside a row.
struct FlatRecord {
  std::uint64_t misplaced = 0;
  std::uint64_t alignment = 0;
  const catalogue::ConcreteOperatorCandidate* entry = nullptr;
};

/// The number of boundaries between the ranges of `tiles` tiles that do not
/// fall at the end of a row of `row` elements, when `units` units of
/// `alignment` elements are dealt out as evenly as possible.
std::uint64_t boundaries_inside_rows(std::uint64_t units, std::uint64_t alignment, std::uint16_t tiles,
                                     std::uint32_t row) {
  if (tiles < 2) {
    return 0;
  }
  const std::uint64_t quotient = units / tiles;
  const std::uint64_t remainder = units % tiles;
  std::uint64_t misplaced = 0;
  for (std::uint64_t tile = 1; tile < tiles; ++tile) {
    const std::uint64_t boundary = alignment * (quotient * tile + std::min(remainder, tile));
    if (row == 0 ? boundary != 0 : boundary % row != 0) {
      ++misplaced;
    }
  }
  return misplaced;
}

bool usable_entry(const catalogue::OperatorCandidate& candidate, const graph::Operation& operation,
                  const Precision& precision) {
  const auto* concrete = candidate.get_if<catalogue::OperatorCandidate::Concrete>();
  if (concrete == nullptr) {
    return false;
  }
  const OperatorPlan& plan = concrete->candidate.plan;
  const auto* follow = concrete->candidate.layouts.get_if<catalogue::CandidateLayouts::FollowOperand>();
  return operator_matches(operation.kind, plan.operator_) && plan.storage.operands.size() == 1 && follow != nullptr &&
         follow->operand == 0 && plan.dispatch.is<OperatorDispatch::TileKernel>() &&
         plan.storage.operands[0].format.precision == precision;
}

/// The unit of a flat layout in the operand's own order and memory, when the
/// order allows one: 1 for row-major, a 32-byte unit for `Amp(Left)`, 16 for `Amp(Output)`.
std::optional<std::uint32_t> own_order_unit(const TensorType& operand) {
  const ElementOrder& order = operand.format.layout.order;
  if (order.is_row_major()) {
    return 1;
  }
  if (order.is_amp(layout::AmpOrder::Left)) {
    return static_cast<std::uint32_t>(32 / operand.format.precision.element_bytes());
  }
  if (order.is_amp(layout::AmpOrder::Output)) {
    return 16;
  }
  return std::nullopt;
}

}  // namespace

void add_flattened_plans(PlanList& list, const graph::Operation& operation, const TensorType& operand,
                         const TensorShape& result_shape, const PipelineConfig& config) {
  const auto& extents = result_shape.dimensions;
  if (extents.empty()) {
    return;
  }
  std::uint64_t elements = 1;
  for (const std::uint32_t extent : extents) {
    elements = support::sat_mul(elements, extent);
  }
  if (elements == support::saturated) {
    return;  // no tensor of that many elements fits any memory
  }
  const Precision& precision = operand.format.precision;
  const std::uint64_t element_bytes = precision.element_bytes();

  // The first usable entry per result tile count.
  std::map<std::uint16_t, FlatRecord> records;
  for (const catalogue::OperatorCandidate& candidate : config.operator_candidates) {
    if (!usable_entry(candidate, operation, precision)) {
      continue;
    }
    const auto& entry = candidate.get_if<catalogue::OperatorCandidate::Concrete>()->candidate;
    const std::uint64_t alignment = support::ceil_div(entry.plan.storage.operands[0].alignment, element_bytes);
    if (alignment == 0 || elements % alignment != 0) {
      continue;
    }
    const std::uint16_t tiles = entry.plan.storage.output.format.layout.tiling.tile_count;
    if (records.contains(tiles)) {
      continue;
    }
    records.emplace(tiles, FlatRecord{boundaries_inside_rows(elements / alignment, alignment, tiles, extents.back()),
                                      alignment, &entry});
  }

  // More tiles against fewer boundaries inside rows: keep the tile counts that
  // no other count beats on both.
  for (const auto& [tiles, record] : records) {
    const bool dominated = std::ranges::any_of(records, [&](const auto& other) {
      return other.first >= tiles && other.second.misplaced <= record.misplaced &&
             (other.first > tiles || other.second.misplaced < record.misplaced);
    });
    if (dominated) {
      continue;
    }
    std::vector<Layout> layouts{flat_layout(tiles, static_cast<std::uint32_t>(record.alignment))};
    if (const auto unit = own_order_unit(operand);
        unit && *unit % record.alignment == 0 && elements % *unit == 0 && extents.back() % *unit == 0) {
      Layout own = flat_layout(tiles, *unit);
      own.order = operand.format.layout.order;
      own.memory_class = operand.format.layout.memory_class;
      layouts.push_back(std::move(own));
    }
    const OperatorPlan& entry = record.entry->plan;
    for (const Layout& layout : layouts) {
      OperatorPlan plan;
      plan.storage.operands = {requirement_at_8({entry.storage.operands[0].format.precision, layout})};
      plan.storage.output = requirement_at_8({entry.storage.output.format.precision, layout});
      plan.storage.output_aliases = std::vector<std::uint16_t>{0};
      plan.dispatch = entry.dispatch;
      plan.operator_ = entry.operator_;
      list.push_unique(std::move(plan));
    }
  }
}

}  // namespace vexa_codegen::mid::candidates::detail
