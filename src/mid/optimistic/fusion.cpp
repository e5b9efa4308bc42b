#include "vexa_codegen/mid/optimistic/fusion.hpp"

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vexa_codegen/estimate/mid.hpp"
#include "vexa_codegen/estimate/tensor.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::mid::optimistic::fusion {

namespace {

using vexa_codegen::graph::Operation;
using vexa_codegen::graph::OperationKind;
using support::sat_add;
using support::sat_mul;

// The launch floor of a tile kernel: no fused step is priced below it, and
// every operator step a group saves spares that much.
constexpr std::uint64_t kernel_floor = 330;

template <class T>
const T& element(const std::vector<T>& list, std::size_t index) {
  if (index >= list.size()) {
    support::invariant_failed("index out of bounds");
  }
  return list[index];
}

const layout::TensorType& type_of(const DiagnosticMidGraph& candidate, std::size_t index) {
  return element(candidate.values, index).tensor;
}

// The graph operation of an operator step that may join a group, or null.
const Operation* fusible(const Step& step, std::span<const Operation> operations) {
  if (!step.kind.is<StepKind::Operator>() || step.operations.size() != 1) {
    return nullptr;
  }
  const auto found = std::ranges::find(operations, step.operations.front(), &Operation::id);
  if (found == operations.end()) {
    return nullptr;
  }
  const OperationKind& kind = found->kind;
  const bool element_wise =
      kind.is<OperationKind::Gelu>() || kind.is<OperationKind::LayerNorm>() || kind.is<OperationKind::Add>();
  return element_wise ? &*found : nullptr;
}

bool contains(const std::vector<std::size_t>& list, std::size_t index) {
  return std::ranges::find(list, index) != list.end();
}

// Steps merged into one fused step, with what they read and write.
struct Group {
  std::vector<std::size_t> steps;  // positions of the operator steps, in program order
  std::vector<Operation> operations;
  std::set<std::size_t> produced;
  std::vector<std::size_t> deferred;  // positions of transforms standing between them
  std::size_t end = 0;                // one past the last operator step
};

// Whether the operator step `step` continues the group: it reads an output of
// the group's latest step and writes a tensor of the same type.
bool joins(const DiagnosticMidGraph& candidate, const Group& group, const Step& step) {
  const Step& latest = candidate.steps[group.steps.back()];
  const bool reads_latest =
      std::ranges::any_of(step.inputs, [&latest](std::size_t input) { return contains(latest.outputs, input); });
  return reads_latest && type_of(candidate, element(step.outputs, 0)) ==
                             type_of(candidate, element(latest.outputs, 0));
}

// The longest group that starts at `start`, within the size limit.
Group scan(const DiagnosticMidGraph& candidate, std::span<const Operation> operations, std::size_t start,
           std::size_t max_fused_steps) {
  Group group;
  group.end = start;
  for (std::size_t i = start; group.steps.size() < max_fused_steps && i < candidate.steps.size(); ++i) {
    const Step& step = candidate.steps[i];
    if (step.kind.is<StepKind::Operator>()) {
      const Operation* operation = fusible(step, operations);
      if (operation == nullptr || (!group.steps.empty() && !joins(candidate, group, step))) {
        break;
      }
      group.steps.push_back(i);
      group.operations.push_back(*operation);
      group.produced.insert(step.outputs.begin(), step.outputs.end());
      group.end = i + 1;
    } else if (step.kind.is<StepKind::Transform>() && i != start) {
      const bool reads_group =
          std::ranges::any_of(step.inputs, [&group](std::size_t input) { return group.produced.contains(input); });
      if (reads_group) {
        break;
      }
      group.deferred.push_back(i);
    } else {
      break;
    }
  }
  return group;
}

// The price of a two-step group with a dedicated fused kernel, or nothing when
// the pair, its types or its price do not fit one.
std::optional<std::uint64_t> known_fusion_cost(const DiagnosticMidGraph& candidate, const Group& group,
                                               std::size_t live_output) {
  const Step& first = candidate.steps[group.steps[0]];
  const Step& second = candidate.steps[group.steps[1]];
  if (!group.operations[0].kind.is<OperationKind::Add>()) {
    return std::nullopt;
  }
  const OperationKind& second_kind = group.operations[1].kind;
  const bool bias_gelu = second_kind.is<OperationKind::Gelu>();
  if (!bias_gelu && !second_kind.is<OperationKind::LayerNorm>()) {
    return std::nullopt;
  }
  if (second.inputs.empty() || element(first.outputs, 0) != second.inputs.front()) {
    return std::nullopt;
  }
  const layout::TensorType& a = type_of(candidate, element(first.inputs, 0));
  const layout::TensorType& b = type_of(candidate, element(first.inputs, 1));
  const layout::TensorType& o = type_of(candidate, live_output);
  if (!(a == o) || !o.format.precision.is_f16() || !o.format.layout.order.is_row_major() ||
      !b.format.precision.is_f16()) {
    return std::nullopt;
  }
  if (bias_gelu) {
    const auto& bias = b.shape.dimensions;
    const auto& out = o.shape.dimensions;
    if (bias.empty() || out.empty() || bias.back() != out.back() ||
        !std::all_of(bias.begin(), bias.end() - 1, [](std::uint32_t extent) { return extent == 1; })) {
      return std::nullopt;
    }
  } else if (!(b == o)) {
    return std::nullopt;
  }

  MidOperation operation;
  for (const std::size_t input : first.inputs) {
    operation.inputs.push_back(static_cast<MidValueId>(input));
  }
  for (std::size_t k = 1; k < second.inputs.size(); ++k) {
    operation.inputs.push_back(static_cast<MidValueId>(second.inputs[k]));
  }
  operation.outputs = {static_cast<MidValueId>(live_output)};
  primitive::Primitive::Compute compute;
  compute.kernel = bias_gelu ? operators::TileKernelSpec{operators::TileKernelSpec::BiasGelu{}}
                             : operators::TileKernelSpec{operators::TileKernelSpec::AddLayerNorm{}};
  compute.windows.resize(operation.inputs.size());
  operation.kind = MidOperationKind{MidOperationKind::Primitive{primitive::Primitive{std::move(compute)}}};

  std::vector<MidValue> values;
  values.reserve(candidate.values.size());
  for (std::size_t i = 0; i < candidate.values.size(); ++i) {
    const auto id = static_cast<MidValueId>(i);
    values.push_back(MidValue{.tensor = candidate.values[i].tensor,
                              .storage = id,
                              .graph_value = candidate.values[i].high.number,
                              .origin = id,
                              .version = 0});
  }
  const auto cost = estimate::mid::operation_cost(operation, values);
  if (!cost) {
    return std::nullopt;
  }
  return cost->cycles.optimistic;
}

// The fused step for `group`, or nothing when a known kernel prices the group
// no cheaper than its steps (the group is then not fused at all).
std::optional<Step> fused_step(const DiagnosticMidGraph& candidate, const Group& group) {
  std::set<std::size_t> inputs;
  CycleEstimate sum;
  for (const std::size_t position : group.steps) {
    const Step& step = candidate.steps[position];
    for (const std::size_t input : step.inputs) {
      if (!group.produced.contains(input)) {
        inputs.insert(input);
      }
    }
    sum += step.cycles;
  }

  std::set<std::size_t> read_later(candidate.outputs.begin(), candidate.outputs.end());
  for (std::size_t position = group.end; position < candidate.steps.size(); ++position) {
    const Step& step = candidate.steps[position];
    read_later.insert(step.inputs.begin(), step.inputs.end());
  }
  std::vector<std::size_t> live;
  std::uint64_t discarded_bytes = 0;
  for (const std::size_t value : group.produced) {
    if (read_later.contains(value)) {
      live.push_back(value);
    } else {
      // Written once and read once more inside the group, per tile.
      discarded_bytes =
          sat_add(discarded_bytes, sat_mul(2, estimate::tensor::maximum_shard_bytes(type_of(candidate, value))));
    }
  }

  Step fused;
  for (const Operation& operation : group.operations) {
    fused.operations.push_back(operation.id);
  }
  fused.inputs.assign(inputs.begin(), inputs.end());
  fused.outputs = live;
  fused.kind = StepKind{StepKind::Fused{group.operations}};

  if (group.steps.size() == 2 && live.size() == 1) {
    if (const auto price = known_fusion_cost(candidate, group, live.front())) {
      if (*price >= sum.conservative) {
        return std::nullopt;
      }
      fused.cycles = CycleEstimate{*price, *price};
      return fused;
    }
  }

  const std::uint64_t savings =
      sat_add(sat_mul(kernel_floor, group.steps.size() - 1), support::ceil_div(discarded_bytes, 8));
  const std::uint64_t discounted = sum.optimistic > savings ? sum.optimistic - savings : 0;
  fused.cycles = CycleEstimate{std::max(discounted, kernel_floor), sum.conservative};
  std::vector<OperationKind> kinds;
  for (const Operation& operation : group.operations) {
    kinds.push_back(operation.kind);
  }
  fused.assumptions.insert(Assumption::missing_kernel("fused " + support::dump_value(kinds) + " with " +
                                                      std::to_string(live.size()) + " live outputs"));
  return fused;
}

}  // namespace

std::optional<DiagnosticMidGraph> fuse(const DiagnosticMidGraph& candidate, std::span<const Operation> operations,
                                       std::size_t max_fused_steps) {
  if (max_fused_steps < 2) {
    return std::nullopt;
  }
  std::vector<Step> steps;
  steps.reserve(candidate.steps.size());
  bool fused_any = false;
  std::size_t i = 0;
  while (i < candidate.steps.size()) {
    const Group group = scan(candidate, operations, i, max_fused_steps);
    std::optional<Step> fused = group.steps.size() >= 2 ? fused_step(candidate, group) : std::nullopt;
    if (!fused) {
      // The step stays as it is; the steps after it are examined afresh.
      steps.push_back(candidate.steps[i]);
      ++i;
      continue;
    }
    for (const std::size_t position : group.deferred) {
      if (position < group.end) {
        steps.push_back(candidate.steps[position]);
      }
    }
    steps.push_back(std::move(*fused));
    i = group.end;
    fused_any = true;
  }
  if (!fused_any) {
    return std::nullopt;
  }
  DiagnosticMidGraph result = candidate;
  result.steps = std::move(steps);
  search::refresh(result);
  return result;
}

}  // namespace vexa_codegen::mid::optimistic::fusion
