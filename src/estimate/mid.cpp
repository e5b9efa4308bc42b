#include "vexa_codegen/estimate/mid.hpp"

#include <algorithm>
#include <limits>

#include "vexa_codegen/estimate/cycles.hpp"
#include "vexa_codegen/estimate/movement.hpp"
#include "vexa_codegen/estimate/pack.hpp"
#include "vexa_codegen/estimate/primitive.hpp"
#include "vexa_codegen/estimate/tensor.hpp"
#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::estimate::mid {
namespace {

namespace program = vexa_codegen::mid;
namespace operators = vexa_codegen::mid::operators;
namespace prim = vexa_codegen::mid::primitive;
using layout::AmpOrder;
using layout::ElementOrder;
using layout::TensorType;
using program::MidOperation;
using program::MidOperationKind;
using program::MidValue;
using program::MidValueId;
using support::ceil_div;
using support::sat_add;
using support::sat_mul;
using vexa_codegen::mid::optimistic::CycleEstimate;

[[noreturn]] void index_out_of_bounds() { support::invariant_failed("index out of bounds"); }

const MidValue& value_at(const std::vector<MidValue>& values, MidValueId id) {
  if (id >= values.size()) {
    index_out_of_bounds();
  }
  return values[id];
}

// ---- pricing one step --------------------------------------------------------

// The local operand types of a `Compute` step: each input's local tensor with
// its window applied, for the pairs of inputs and windows up to the shorter list.
std::optional<std::vector<TensorType>> windowed_operands(const MidOperation& operation,
                                                         const prim::Primitive::Compute& compute,
                                                         const std::vector<MidValue>& values) {
  const std::size_t count = std::min(operation.inputs.size(), compute.windows.size());
  std::vector<TensorType> operands;
  operands.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto local = local_tensor(value_at(values, operation.inputs[i]).tensor);
    if (!local) {
      return std::nullopt;
    }
    auto& extents = local->shape.dimensions;
    for (const auto& entry : compute.windows[i].entries) {
      if (entry.end < entry.start) {
        return std::nullopt;
      }
      if (entry.axis >= extents.size()) {
        index_out_of_bounds();
      }
      extents[entry.axis] = std::min(entry.end - entry.start, extents[entry.axis]);
    }
    operands.push_back(std::move(*local));
  }
  return operands;
}

std::optional<OperationCost> compute_cost(const MidOperation& operation, const prim::Primitive::Compute& compute,
                                          const std::vector<MidValue>& values, TensorType out) {
  auto operands = windowed_operands(operation, compute, values);
  if (!operands) {
    return std::nullopt;
  }
  operators::TileKernelSpec kernel = compute.kernel;
  std::uint64_t invocations = 1;
  if (compute.axes) {
    if (operands->size() < 2) {
      return std::nullopt;
    }
    auto& left = (*operands)[0].shape.dimensions;
    auto& right = (*operands)[1].shape.dimensions;
    auto& columns = out.shape.dimensions;
    const auto left_axis = compute.axes->left_contraction.resolve(left.size());
    const auto right_axis = compute.axes->right_contraction.resolve(right.size());
    const auto column_axis = compute.axes->output_columns.resolve(columns.size());
    if (!left_axis || !right_axis || !column_axis) {
      return std::nullopt;
    }
    auto* gemm = std::get_if<operators::TileKernelSpec::PackedGemm>(&kernel.value);
    if (gemm != nullptr && gemm->inner_chunk != 0 && gemm->output_column_block != 0) {
      // A product longer or wider than one kernel invocation runs in chunks.
      const std::uint32_t inner_block = gemm->inner_chunk;
      std::uint32_t column_block = gemm->output_column_block;
      if (const auto group = out.format.layout.order.gemm_output_group()) {
        column_block = std::min<std::uint32_t>(column_block, *group);
      }
      const std::uint32_t inner = left[*left_axis];
      const std::uint32_t width = columns[*column_axis];
      const std::uint32_t inner_chunk = std::min(inner, inner_block);
      const std::uint32_t column_chunk = std::min(width, column_block);
      left[*left_axis] = inner_chunk;
      right[*right_axis] = inner_chunk;
      columns[*column_axis] = column_chunk;
      gemm->inner_chunk = inner_chunk;
      gemm->output_column_block = column_chunk;
      invocations = sat_mul(ceil_div(inner, inner_block), ceil_div(width, column_block));
    }
  }
  const std::uint64_t cycles =
      sat_mul(primitive::kernel_cycles(kernel, *operands, primitive::Geometry::whole(out)), invocations);
  return OperationCost{CycleEstimate{cycles, 0}, 0, 0, 0};
}

std::uint64_t staging_batch(const operators::ReductionStaging& staging, std::uint64_t partials) {
  const std::uint64_t all = std::max<std::uint64_t>(1, partials);
  if (std::holds_alternative<operators::ReductionStaging::Complete>(staging.value)) {
    return all;
  }
  if (std::holds_alternative<operators::ReductionStaging::Streamed>(staging.value)) {
    return 1;
  }
  // A batch of zero is never built; it is read as one at a time.
  const std::uint64_t count = std::get<operators::ReductionStaging::Batched>(staging.value).count;
  return std::min(all, std::max<std::uint64_t>(count, 1));
}

OperationCost reduce_cost(const MidOperation& operation, const prim::Primitive::Reduce& reduce,
                          const std::vector<MidValue>& values, const TensorType& output) {
  if (operation.inputs.empty()) {
    index_out_of_bounds();
  }
  const auto& input_shape = value_at(values, operation.inputs[0]).tensor.shape.dimensions;
  if (reduce.axis >= input_shape.size()) {
    index_out_of_bounds();
  }
  const std::uint64_t shard_bytes = tensor::maximum_shard_bytes(output);
  const std::uint64_t extent = input_shape[reduce.axis];
  const std::uint64_t partials = extent > 0 ? extent - 1 : 0;
  const std::uint64_t batch = staging_batch(reduce.staging, partials);
  const std::uint64_t rounds = ceil_div(partials, batch);
  const std::uint64_t full = partials / batch;
  const std::uint64_t rest = partials % batch;
  const std::uint64_t bytes = sat_mul(partials, shard_bytes);

  OperationCost cost;
  if (rounds > 0 && bytes > 0) {
    const std::uint64_t pieces = std::max(ceil_div(bytes, 256), rounds);
    cost.cycles.conservative = sat_add(sat_mul(600, rounds), std::max(ceil_div(bytes, 4), sat_mul(160, pieces)));
    cost.exchange_rows = sat_mul(4, sat_add(sat_mul(9, pieces), rounds));
  }
  const std::uint64_t elements = ceil_div(shard_bytes, output.format.precision.element_bytes());
  const std::uint64_t width = sat_mul(6, ceil_div(elements, 48));
  cost.cycles.optimistic = cost.cycles.conservative;
  if (elements > 0) {
    const auto round_cost = [width](std::uint64_t batched) {
      return sat_add(sat_mul(width, sat_add(sat_mul(2, batched), 11)), 282);
    };
    cost.cycles.optimistic = sat_add(cost.cycles.optimistic, sat_mul(full, round_cost(batch)));
    if (rest > 0) {
      cost.cycles.optimistic = sat_add(cost.cycles.optimistic, round_cost(rest));
    }
  }
  cost.standard_scratch = sat_mul(shard_bytes, sat_add(batch, 2));
  return cost;
}

// Whether the layout is cut by a single flattened tiling.
bool single_flattened_tiling(const layout::Layout& layout) {
  return layout.tiling.axes.size() == 1 && layout.tiling.axes.front().axis.is_flattened();
}

// The size of one exchanged piece when a flattened layout meets another tiling:
// the AMP orders move in row groups, everything else in 256-byte pieces.
std::uint64_t piece_size(const TensorType& source, const TensorType& target) {
  const auto& from = source.format.layout;
  const auto& to = target.format.layout;
  const bool tilings_differ = from.tiling != to.tiling;
  if (!tilings_differ || !(single_flattened_tiling(from) || single_flattened_tiling(to))) {
    return 256;
  }
  const std::uint64_t source_group = 16 * source.format.precision.element_bytes();
  const std::uint64_t target_group = 16 * target.format.precision.element_bytes();
  std::optional<std::uint64_t> from_source;
  if (from.order.is_amp(AmpOrder::Output)) {
    from_source = source_group;
  } else if (from.order.is_amp(AmpOrder::Left)) {
    from_source = 32;
  }
  if (from_source) {
    if (to.order.is_amp(AmpOrder::Left)) {
      return std::min<std::uint64_t>(*from_source, 32);
    }
    if (to.order.is_amp(AmpOrder::Output)) {
      return std::min(*from_source, target_group);
    }
    return *from_source;
  }
  if (to.order.is_amp(AmpOrder::Output)) {
    return target_group;
  }
  if (to.order.is_amp(AmpOrder::Left)) {
    return 32;
  }
  return 256;
}

// Orientation classes of the 8- and 16-bit matrix orders: 1 for the row-block
// orientation, 2 for the transposed one, nothing for the other orders.
std::optional<int> orientation_class(const ElementOrder& order) {
  if (const auto* block = order.as_block_major()) {
    return block->is_transposed() ? 2 : 1;
  }
  if (const auto amp = order.as_amp()) {
    switch (*amp) {
      case AmpOrder::TransposedLeft: return 1;
      case AmpOrder::Left:
      case AmpOrder::TransposedRight: return 2;
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

OperationCost movement_cost(const MidOperation& operation, const std::vector<MidValue>& values,
                            const TensorType& out) {
  if (operation.inputs.empty()) {
    index_out_of_bounds();
  }
  const MidValue& source_value = value_at(values, operation.inputs[0]);
  const MidValue& target_value = value_at(values, operation.outputs[0]);
  const TensorType& source = source_value.tensor;
  const TensorType& target = target_value.tensor;
  const std::uint64_t shard_bytes = tensor::maximum_shard_bytes(target);

  const auto* rearrange = [&]() -> const prim::Primitive::Rearrange* {
    const auto* primitive = operation.kind.get_if<MidOperationKind::Primitive>();
    return primitive != nullptr ? primitive->primitive.get_if<prim::Primitive::Rearrange>() : nullptr;
  }();
  const auto* convert = operation.kind.get_if<MidOperationKind::Convert>();
  const bool viewed = rearrange != nullptr && rearrange->mapping.view.has_value();
  // A conversion counts its pieces by the fragments of the two grids, as does a
  // rearrangement that maps every coordinate onto itself.
  const bool whole_grid = convert != nullptr || (rearrange != nullptr && rearrange->mapping.is_identity());

  bool charged = convert == nullptr || convert->strategy != operators::ConversionStrategy::LocalReorder;
  if (charged && !viewed && source_value.version == target_value.version &&
      vexa_codegen::mid::resolved::same_distribution(source, target)) {
    charged = false;
  }

  OperationCost cost;
  if (charged) {
    const std::uint64_t source_tiles = std::max<std::uint64_t>(1, source.format.layout.tiling.tile_count);
    const std::uint64_t spread = ceil_div(sat_mul(shard_bytes, target.format.layout.tiling.tile_count), source_tiles);
    const std::uint64_t moved = std::max(shard_bytes, std::min(spread, tensor::maximum_shard_bytes(source)));
    std::optional<std::uint64_t> pieces;
    if (whole_grid) {
      pieces = movement::grid_fragments(source, target);
    }
    if (!pieces) {
      pieces = ceil_div(moved, piece_size(source, target));
    }
    if (moved > 0) {
      const std::uint64_t count = std::max<std::uint64_t>(*pieces, 1);
      cost.cycles.conservative = sat_add(600, std::max(ceil_div(moved, 4), sat_mul(160, count)));
      cost.exchange_rows = sat_mul(4, sat_add(sat_mul(9, count), 1));
    }
  }

  const auto& source_precision = source.format.precision;
  const auto& target_precision = target.format.precision;
  if (source_precision != target_precision) {
    cost.cycles.optimistic = sat_add(cost.cycles.conservative, cycles::Vexa21CostModel{}.cast_format_cycles(source, target.format));
    return cost;
  }
  cost.cycles.optimistic = sat_add(sat_add(cost.cycles.conservative, ceil_div(shard_bytes, 8)), 288);
  const auto& from_order = source.format.layout.order;
  const auto& to_order = target.format.layout.order;
  if (from_order == to_order) {
    return cost;
  }
  if (!source_precision.is_f32()) {
    const auto from_class = orientation_class(from_order);
    if (from_class && from_class == orientation_class(to_order)) {
      return cost;  // the same storage read in the other orientation: no repacking
    }
  }
  cost.standard_scratch = shard_bytes;
  const std::uint64_t elements = ceil_div(shard_bytes, target_precision.element_bytes());
  const std::uint64_t repack = to_order.is_row_major()
                                   ? sat_mul(10, elements)
                                   : cycles::pack_geometry_cycles(primitive::Geometry::whole(out), elements);
  cost.cycles.optimistic = sat_add(cost.cycles.optimistic, repack);
  return cost;
}

// ---- the whole program ---------------------------------------------------------

struct FlatStep {
  const MidOperation* operation;
  std::uint64_t multiplicity;
};

void flatten(const std::vector<MidOperation>& operations, std::uint64_t multiplicity, std::vector<FlatStep>& steps) {
  for (const auto& operation : operations) {
    if (const auto* region = operation.kind.get_if<MidOperationKind::Region>()) {
      flatten(region->region.operations, sat_mul(multiplicity, region->iterations), steps);
    }
    steps.push_back({&operation, multiplicity});
  }
}

// Union-find over value identifiers; a class is represented by its smallest member.
class StorageClasses {
 public:
  explicit StorageClasses(std::size_t count) : parent_(count) {
    for (std::size_t i = 0; i < count; ++i) {
      parent_[i] = static_cast<MidValueId>(i);
    }
  }

  MidValueId find(MidValueId id) const {
    if (id >= parent_.size()) {
      index_out_of_bounds();
    }
    while (parent_[id] != id) {
      id = parent_[id];
    }
    return id;
  }

  void join(MidValueId a, MidValueId b) {
    const MidValueId left = find(a);
    const MidValueId right = find(b);
    if (left != right) {
      parent_[std::max(left, right)] = std::min(left, right);
    }
  }

 private:
  std::vector<MidValueId> parent_;
};

const std::vector<MidValueId>* carried_values(const MidOperation& operation) {
  const auto* region = operation.kind.get_if<MidOperationKind::Region>();
  return region != nullptr ? &region->carried : nullptr;
}

}  // namespace

std::string dump(const OperationCost& cost) {
  return support::RecordDump("OperationCost")
      .field("cycles", cost.cycles)
      .field("standard_scratch", cost.standard_scratch)
      .field("interleaved_scratch", cost.interleaved_scratch)
      .field("exchange_rows", cost.exchange_rows)
      .str();
}

std::optional<TensorType> local_tensor(const TensorType& type) {
  const auto resolved = type.format.layout.resolve(type.shape);
  if (!resolved) {
    return std::nullopt;
  }
  TensorType local{graph::TensorShape{}, type.format};
  if (resolved->flattened) {
    const std::uint64_t elements = resolved->maximum_tile_elements();
    if (elements > std::numeric_limits<std::uint32_t>::max()) {
      return std::nullopt;
    }
    local.shape.dimensions.push_back(static_cast<std::uint32_t>(elements));
    return local;
  }
  local.shape.dimensions.reserve(resolved->axes.size());
  for (const auto& axis : resolved->axes) {
    local.shape.dimensions.push_back(axis.maximum_extent());
  }
  return local;
}

std::optional<OperationCost> operation_cost(const MidOperation& operation, const std::vector<MidValue>& values) {
  if (operation.kind.is<MidOperationKind::Region>()) {
    return OperationCost{};
  }
  if (operation.kind.is<MidOperationKind::Operator>() || operation.outputs.empty()) {
    return std::nullopt;
  }
  const auto out = local_tensor(value_at(values, operation.outputs[0]).tensor);
  if (!out) {
    return std::nullopt;
  }
  if (const auto* primitive = operation.kind.get_if<MidOperationKind::Primitive>()) {
    if (const auto* compute = primitive->primitive.get_if<prim::Primitive::Compute>()) {
      return compute_cost(operation, *compute, values, *out);
    }
    if (const auto* reduce = primitive->primitive.get_if<prim::Primitive::Reduce>()) {
      return reduce_cost(operation, *reduce, values, value_at(values, operation.outputs[0]).tensor);
    }
  }
  return movement_cost(operation, values, *out);
}

std::optional<std::pair<CycleEstimate, memory::MemoryPeaks>> analyze(const program::MidProgram& program,
                                                                    const std::map<MidValueId, std::uint32_t>& factors) {
  const auto& values = program.values;
  std::vector<FlatStep> steps;
  flatten(program.operations, 1, steps);

  // Storage classes: in-place writes and region plumbing share one buffer.
  StorageClasses classes(values.size());
  const auto storage_of = [&values](MidValueId id) { return value_at(values, id).storage; };
  const auto join_values = [&](MidValueId a, MidValueId b) { classes.join(storage_of(a), storage_of(b)); };
  for (const auto& step : steps) {
    const MidOperation& operation = *step.operation;
    if (const auto* primitive = operation.kind.get_if<MidOperationKind::Primitive>()) {
      if (const auto* compute = primitive->primitive.get_if<prim::Primitive::Compute>()) {
        for (const auto& [output, input] : compute->aliases) {
          if (output >= operation.outputs.size() || input >= operation.inputs.size()) {
            index_out_of_bounds();
          }
          join_values(operation.outputs[output], operation.inputs[input]);
        }
      }
    } else if (const auto* region = operation.kind.get_if<MidOperationKind::Region>()) {
      const auto& nested = region->region;
      for (std::size_t k = 0; k < std::min(nested.inputs.size(), operation.inputs.size()); ++k) {
        join_values(nested.inputs[k], operation.inputs[k]);
      }
      for (std::size_t k = 0; k < std::min(operation.outputs.size(), operation.inputs.size()); ++k) {
        join_values(operation.outputs[k], operation.inputs[k]);
      }
      for (std::size_t k = operation.inputs.size(); k < nested.inputs.size(); ++k) {
        if (region->carried.empty()) {
          return std::nullopt;
        }
        join_values(nested.inputs[k], region->carried.front());
      }
    }
  }
  const auto class_of = [&](MidValueId id) { return classes.find(storage_of(id)); };

  // Matrix-product operands and results live in AMP-aligned buffers with a margin.
  std::vector<bool> amp_aligned(values.size(), false);
  std::vector<std::uint64_t> margin(values.size(), 0);
  for (const auto& step : steps) {
    const auto* primitive = step.operation->kind.get_if<MidOperationKind::Primitive>();
    const auto* compute = primitive != nullptr ? primitive->primitive.get_if<prim::Primitive::Compute>() : nullptr;
    const auto* gemm = compute != nullptr ? compute->kernel.get_if<operators::TileKernelSpec::PackedGemm>() : nullptr;
    if (gemm == nullptr) {
      continue;
    }
    if (!step.operation->inputs.empty()) {
      const MidValueId operand = class_of(step.operation->inputs.front());
      amp_aligned[operand] = true;
      margin[operand] = 8 * gemm->multiply.element_bytes();
    }
    if (!step.operation->outputs.empty()) {
      amp_aligned[class_of(step.operation->outputs.front())] = true;
    }
  }

  // Class sizes and memory classes.
  std::vector<std::uint64_t> size(values.size(), 0);
  std::vector<layout::MemoryClass> memory_class(values.size(), layout::MemoryClass::Vexa21Standard);
  for (MidValueId id = 0; id < values.size(); ++id) {
    const MidValueId cls = class_of(id);
    const auto& tensor = values[id].tensor;
    std::uint64_t bytes = 0;
    if (__builtin_add_overflow(tensor::maximum_shard_bytes(tensor), margin[cls], &bytes)) {
      return std::nullopt;
    }
    const auto value_class = tensor.format.layout.memory_class;
    if (amp_aligned[cls]) {
      const std::uint64_t alignment = value_class == layout::MemoryClass::Vexa21Standard ? 16384 : 32768;
      const std::uint64_t remainder = bytes % alignment;
      if (remainder != 0 && __builtin_add_overflow(bytes, alignment - remainder, &bytes)) {
        return std::nullopt;
      }
    }
    if (const auto factor = factors.find(id); factor != factors.end()) {
      if (__builtin_mul_overflow(bytes, std::uint64_t{factor->second}, &bytes)) {
        return std::nullopt;
      }
    }
    size[cls] = std::max(size[cls], bytes);
    memory_class[cls] = value_class;
  }

  // Liveness: a class stays live up to its last use; program outputs to the end.
  std::vector<std::uint64_t> last_use(values.size(), 0);
  const auto touch = [&](MidValueId id, std::uint64_t step) {
    const MidValueId cls = class_of(id);
    last_use[cls] = std::max(last_use[cls], step);
  };
  for (std::uint64_t index = 0; index < steps.size(); ++index) {
    const MidOperation& operation = *steps[index].operation;
    for (const MidValueId id : operation.inputs) touch(id, index);
    for (const MidValueId id : operation.outputs) touch(id, index);
    if (const auto* carried = carried_values(operation)) {
      for (const MidValueId id : *carried) touch(id, index);
    }
  }
  for (const MidValueId id : program.outputs) {
    touch(id, steps.size());
  }

  std::vector<bool> live(values.size(), false);
  for (const auto& input : program.inputs) {
    live[class_of(input.value)] = true;
  }

  CycleEstimate cycles;
  std::uint64_t exchange = 0;
  std::uint64_t peak_standard = 0;
  std::uint64_t peak_interleaved = 0;
  std::uint64_t peak_total = 0;
  std::uint64_t peak_allocation = 0;
  for (std::uint64_t index = 0; index < steps.size(); ++index) {
    const auto& [operation, multiplicity] = steps[index];
    for (const MidValueId id : operation->inputs) live[class_of(id)] = true;
    for (const MidValueId id : operation->outputs) live[class_of(id)] = true;

    const auto cost = operation_cost(*operation, values);
    if (!cost) {
      return std::nullopt;
    }
    cycles += CycleEstimate{sat_mul(multiplicity, cost->cycles.optimistic),
                            sat_mul(multiplicity, cost->cycles.conservative)};
    exchange = sat_add(exchange, cost->exchange_rows);

    std::uint64_t standard = cost->standard_scratch;
    std::uint64_t interleaved = cost->interleaved_scratch;
    std::uint64_t largest = cost->standard_scratch;
    for (MidValueId cls = 0; cls < values.size(); ++cls) {
      if (!live[cls]) {
        continue;
      }
      if (memory_class[cls] == layout::MemoryClass::Vexa21Standard) {
        standard = sat_add(standard, size[cls]);
        largest = std::max(largest, size[cls]);
      } else {
        interleaved = sat_add(interleaved, size[cls]);
      }
    }
    peak_standard = std::max(peak_standard, standard);
    peak_interleaved = std::max(peak_interleaved, interleaved);
    peak_total = std::max(peak_total, sat_add(standard, interleaved));
    peak_allocation = std::max(peak_allocation, largest);

    for (MidValueId cls = 0; cls < values.size(); ++cls) {
      if (live[cls] && last_use[cls] <= index) {
        live[cls] = false;
      }
    }
  }

  const memory::MemoryPeaks peaks{sat_add(peak_standard, exchange), peak_interleaved, sat_add(peak_total, exchange),
                                  exchange, peak_allocation};
  return std::pair{cycles, peaks};
}

}  // namespace vexa_codegen::estimate::mid
