#include "vexa_codegen/estimate/primitive.hpp"

#include <algorithm>

#include "vexa_codegen/estimate/pack.hpp"
#include "vexa_codegen/kernel/cost.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/invariant.hpp"
#include "vexa_codegen/support/overloaded.hpp"

namespace vexa_codegen::estimate::primitive {

using vexa_codegen::mid::layout::AmpOrder;
using vexa_codegen::mid::layout::Precision;
using vexa_codegen::mid::layout::TensorType;
using vexa_codegen::mid::operators::TileKernelSpec;
using support::ceil_div;
using support::sat_add;
using support::sat_mul;
using support::saturated;

namespace {

using support::Overloaded;

std::uint64_t shape_elements(const graph::TensorShape& shape) noexcept {
  std::uint64_t product = 1;
  for (const std::uint32_t extent : shape.dimensions) {
    product = sat_mul(product, extent);
  }
  return product;
}

}  // namespace

// --- Geometry ---------------------------------------------------------------

const vexa_codegen::mid::layout::Layout& Geometry::layout() const noexcept {
  return std::visit(Overloaded{[](const Shards& shards) -> const vexa_codegen::mid::layout::Layout& { return *shards.layout; },
                               [](const Whole& whole) -> const vexa_codegen::mid::layout::Layout& {
                                 return whole.tensor->format.layout;
                               }},
                    value);
}

std::optional<Precision> Geometry::precision() const {
  if (const auto* whole = std::get_if<Whole>(&value)) {
    return whole->tensor->format.precision;
  }
  return std::nullopt;
}

std::size_t Geometry::rank() const noexcept {
  return std::visit(Overloaded{[](const Shards& shards) { return shards.extents.size(); },
                               [](const Whole& whole) { return whole.tensor->shape.rank(); }},
                    value);
}

std::uint32_t Geometry::dimension(std::size_t index) const noexcept {
  if (index >= rank()) {
    support::invariant_failed("geometry dimension index out of bounds");
  }
  return std::visit(Overloaded{[index](const Shards& shards) { return shards.extents[index].allocated_size(); },
                               [index](const Whole& whole) { return whole.tensor->shape.dimensions[index]; }},
                    value);
}

std::optional<std::uint32_t> Geometry::trailing_dimension(std::size_t k) const noexcept {
  const std::size_t n = rank();
  if (n <= k) {
    return std::nullopt;
  }
  return dimension(n - 1 - k);
}

std::uint64_t Geometry::elements() const noexcept {
  std::uint64_t product = 1;
  for (std::size_t i = 0; i < rank(); ++i) {
    product = sat_mul(product, dimension(i));
  }
  return product;
}

std::uint64_t Geometry::width() const noexcept { return trailing_dimension(0).value_or(0); }

std::uint64_t Geometry::rows() const noexcept {
  std::uint64_t product = 1;
  for (std::size_t i = 0; i + 1 < rank(); ++i) {
    product = sat_mul(product, dimension(i));
  }
  return product;
}

// --- Casts --------------------------------------------------------------------

std::uint64_t cast_cycles(const Precision& from, const Precision& to, std::uint64_t elements,
                          std::uint64_t group) noexcept {
  if (from.is_f32() && to.is_f16()) {
    return sat_add(sat_mul(48, ceil_div(elements, 12)), 330);
  }
  if (from.is_f16() && to.is_f8f143()) {
    if (group == 0) {
      return sat_add(sat_mul(24, ceil_div(elements, 48)), 330);
    }
    // The kernel converts one group of 32-element vectors per pass and runs six
    // passes side by side when groups are short and plentiful.
    const std::uint64_t passes = ceil_div(elements, sat_mul(32, group));
    if (group > 32 || passes < 6) {
      return sat_add(sat_mul(passes, sat_add(sat_mul(72, ceil_div(group, 6)), 120)), 330);
    }
    return sat_add(sat_mul(ceil_div(passes, 6), 72 * group + 120), 330);
  }
  const std::uint64_t bytes_per_element = from.element_bytes() + to.element_bytes();
  return ceil_div(sat_mul(elements, bytes_per_element), 8) + 11;
}

// --- Kernel steps -------------------------------------------------------------

namespace {

// What every kernel formula reads: the output's element count E, width W and
// rows R, and the same figures of operand 0 (R0 = E0 / W0, both 0 when W0 is).
struct StepShape {
  std::span<const TensorType> operands;
  const Geometry& output;
  std::uint64_t elements;
  std::uint64_t width;
  std::uint64_t rows;
  std::uint64_t operand_elements = 0;
  std::uint64_t operand_width = 0;
  std::uint64_t operand_rows = 0;

  StepShape(std::span<const TensorType> operands_, const Geometry& output_)
      : operands(operands_),
        output(output_),
        elements(output_.elements()),
        width(output_.width()),
        rows(output_.rows()) {
    if (!operands.empty()) {
      const auto& dimensions = operands.front().shape.dimensions;
      operand_elements = shape_elements(operands.front().shape);
      operand_width = dimensions.empty() ? 0 : dimensions.back();
      operand_rows = operand_width == 0 ? 0 : operand_elements / operand_width;
    }
  }

  [[nodiscard]] bool has_operand() const noexcept { return !operands.empty(); }
  [[nodiscard]] bool output_is(AmpOrder order) const noexcept { return output.layout().order.is_amp(order); }
};

// The general packed-product loop: `chunks` passes of `inner_chunk`-deep
// blocks, each streaming `rows` rows into `columns` output columns.
std::uint64_t general_packed_gemm(std::uint64_t inner, std::uint64_t columns, std::uint64_t rows,
                                  std::uint64_t column_cycles) noexcept {
  const std::uint64_t streamed = sat_mul(rows, columns);
  const std::uint64_t per_chunk = ceil_div(streamed, 4) + ceil_div(ceil_div(columns, 16) * column_cycles, 4);
  return sat_add(sat_mul(ceil_div(inner, 16), per_chunk), 294);
}

std::uint64_t packed_gemm_cycles(const TileKernelSpec::PackedGemm& kernel, const StepShape& step) {
  const auto& order = step.output.layout().order;
  const auto* block_major = order.as_block_major();
  // The output's column axis: the last one, or the second-last for the orders
  // in which a product with swapped operands writes its (transposed) result.
  const bool swapped_output = (block_major != nullptr && !block_major->is_transposed()) ||
                              order.is_amp(AmpOrder::TransposedLeft) || order.is_amp(AmpOrder::TransposedOutput);
  const std::size_t rank = step.output.rank();
  const std::size_t skipped = swapped_output ? 2 : 1;
  std::uint64_t rows = 1;
  for (std::size_t i = 0; i < rank; ++i) {
    if (rank < skipped || i != rank - skipped) {
      rows = sat_mul(rows, step.output.dimension(i));
    }
  }
  const std::uint64_t inner = kernel.multiply.is_f8f143() ? ceil_div(kernel.inner_chunk, 2) : kernel.inner_chunk;
  const std::uint64_t columns = kernel.output_column_block;
  const bool interleaved = step.operands.size() > 1 && step.operands[1].format.layout.memory_class ==
                                                           vexa_codegen::mid::layout::MemoryClass::Vexa21Interleaved;
  if (kernel.multiply.is_f32()) {
    return general_packed_gemm(inner, columns, sat_mul(4, rows), 2126);
  }
  if (kernel.multiply.is_f16() && order.has_gemm_output_group()) {
    return kernel::cost::f16_packed_gemm_cycles(rows, inner, columns, interleaved);
  }
  if (interleaved) {
    const std::uint64_t blocks = sat_mul(ceil_div(inner, 16), ceil_div(columns, 16));
    return sat_add(sat_mul(blocks, sat_add(sat_mul(4, rows), 160)), 294);
  }
  return general_packed_gemm(inner, columns, rows, 1063);
}

std::uint64_t add_cycles(const StepShape& step, const Precision& output) {
  const std::uint64_t e = step.elements;
  if (!output.is_f16()) {
    return sat_add(sat_mul(3, e), 11);
  }
  const auto operand_elements = [&](std::size_t i) {
    return i < step.operands.size() ? shape_elements(step.operands[i].shape) : e;
  };
  const std::uint64_t a0 = operand_elements(0);
  const std::uint64_t a1 = operand_elements(1);
  const std::uint64_t m = std::min(a0, a1);
  // A broadcast add vectorises when one operand is the whole output and the
  // other repeats a whole number of times in it, all in 4-element vectors.
  if ((a0 == e || a1 == e) && m != 0 && e % m == 0 && e % 4 == 0 && a0 % 4 == 0 && a1 % 4 == 0) {
    const std::uint64_t repeats = e / m;
    const std::uint64_t pass = sat_add(sat_mul(repeats, sat_mul(24, ceil_div(m, 24))), 492);
    return sat_add(pass, sat_mul(234, repeats >= 1 ? repeats - 1 : 0));
  }
  return sat_add(sat_mul(54, ceil_div(e, 12)), 450);
}

std::uint64_t moments_cycles(const StepShape& step, bool with_add) {
  if (!step.has_operand()) {
    return saturated;
  }
  const std::uint64_t length = step.operand_width;
  const std::uint64_t per_row = (length >= 96 && length % 8 == 0)
                                    ? 36 * ceil_div(length, 24) + 18 * ceil_div(length, 48)
                                    : 48 * ceil_div(length, 12);
  const std::uint64_t moments = sat_add(sat_mul(step.operand_rows, per_row + 1080), 126);
  if (!with_add) {
    return moments;
  }
  // Plain arithmetic: this term is defined to wrap rather than saturate.
  return moments + 4 * step.operand_rows * (6 * ceil_div(length, 48) + 27);
}

std::uint64_t attention_cycles(std::span<const TensorType> operands) {
  if (operands.size() != 3) {
    return saturated;
  }
  const std::size_t rank = operands[0].shape.rank();
  if (rank < 2 || operands[1].shape.rank() != rank || operands[2].shape.rank() != rank) {
    return saturated;
  }
  std::uint64_t queries = 1;
  for (std::size_t i = 0; i + 1 < rank; ++i) {
    queries = sat_mul(queries, operands[0].shape.dimensions[i]);
  }
  const std::uint64_t keys = operands[1].shape.dimensions[rank - 2];
  const std::uint64_t widths = std::uint64_t{operands[0].shape.dimensions.back()} + operands[2].shape.dimensions.back();
  const std::uint64_t products = sat_mul(sat_mul(queries, keys), widths);
  const std::uint64_t work = products >= (std::uint64_t{1} << 62) ? saturated : 4 * products;
  return ceil_div(work, 6) + 11;
}

std::uint64_t attention_output_cycles(const TileKernelSpec::AttentionOutput& kernel, const StepShape& step) {
  if (step.rows == 0) {
    return 0;
  }
  const std::uint64_t d = kernel.output_parameter;
  std::uint64_t fixed = 0;
  if (kernel.first_block) {
    fixed = kernel.last_block ? 30 : 27;
  } else {
    fixed = kernel.last_block ? 39 : 34;
  }
  const std::uint64_t per_row = 3 * (d / 16) + (kernel.first_block ? 4 : 6) * ceil_div(d, 2) + fixed + (d >= 16 ? 1 : 0);
  return sat_add(sat_mul(sat_mul(6, ceil_div(step.rows, 6)), per_row), 222);
}

// The run length the cast kernel handles at once, by the output's order.
std::uint64_t cast_group(const StepShape& step) {
  const auto& order = step.output.layout().order;
  if (const auto* block_major = order.as_block_major()) {
    return block_major->column_block();
  }
  const auto amp = order.as_amp();
  if (!amp) {
    return 0;
  }
  switch (*amp) {
    case AmpOrder::Left:
      if (step.rows == 1 && step.has_operand()) {
        return step.operand_elements == step.elements ? 0 : 1;
      }
      return step.rows;
    case AmpOrder::TransposedLeft:
      return step.width;
    case AmpOrder::TransposedRight:
      return 16;
    case AmpOrder::Output:
    case AmpOrder::TransposedOutput:
      return 0;
  }
  return 0;
}

std::uint64_t relayout_cycles(const TileKernelSpec::Relayout& kernel, const StepShape& step) {
  const auto& output = step.output;
  const bool to_row_major = output.layout().order.is_row_major();
  if (kernel.from.order.is_amp(AmpOrder::TransposedLeft) && to_row_major && output.rank() >= 2) {
    const auto precision = output.precision();
    if (!precision) {
      return saturated;
    }
    if (precision->is_f16()) {
      // Transposing the left-operand order back to rows: 12-row groups of
      // column pairs.
      const std::size_t rank = output.rank();
      std::uint64_t outer = 1;
      for (std::size_t i = 0; i + 2 < rank; ++i) {
        outer = sat_mul(outer, output.dimension(i));
      }
      const std::uint64_t row_groups = ceil_div(output.dimension(rank - 2), 12);
      const std::uint64_t per_group = sat_add(sat_mul(90, ceil_div(output.dimension(rank - 1), 2)), 100);
      return sat_add(sat_mul(sat_mul(outer, row_groups), per_group), 300);
    }
  }
  if (!to_row_major) {
    return cycles::pack_geometry_cycles(output, step.elements);
  }
  return sat_add(sat_mul(10, step.elements), 11);
}

}  // namespace

std::uint64_t kernel_cycles(const TileKernelSpec& kernel, std::span<const TensorType> operands,
                            const Geometry& output) {
  const StepShape step(operands, output);
  const auto precision = output.precision();
  const bool amp_left = step.output_is(AmpOrder::Left);
  // Kernels whose figure depends on the result's precision have none when the
  // geometry does not carry it.
  const auto by_precision = [&](auto&& formula) -> std::uint64_t {
    return precision ? formula(*precision) : saturated;
  };
  return std::visit(
      Overloaded{
          [&](const TileKernelSpec::FillZero& fill) { return ceil_div(fill.second, 48) + 11; },
          [&](const TileKernelSpec::PackedGemm& gemm) { return packed_gemm_cycles(gemm, step); },
          [&](const TileKernelSpec::Gelu&) {
            return by_precision([&](const Precision& p) -> std::uint64_t {
              if (p.is_f8f143()) {
                return step.has_operand()
                           ? kernel::cost::fp8_elementwise_cycles(true, step.operand_rows, step.operand_width, amp_left)
                           : saturated;
              }
              if (p.is_f16()) {
                return kernel::cost::f16_gelu_cycles(step.elements);
              }
              return sat_add(sat_mul(10, step.elements), 11);
            });
          },
          [&](const TileKernelSpec::BiasGelu&) {
            const std::uint64_t row_length = step.rows == 0 ? 0 : step.elements / step.rows;
            const std::uint64_t gelu = kernel::cost::f16_gelu_cycles(row_length);
            const std::uint64_t per_row = gelu < 330 ? 40 : gelu - 290;
            return sat_add(sat_add(sat_mul(step.rows, per_row), sat_mul(2, step.elements)), 330);
          },
          [&](const TileKernelSpec::AddLayerNorm&) {
            return kernel::cost::f16_layernorm_cycles(step.rows, step.width, true);
          },
          [&](const TileKernelSpec::LayerNorm&) {
            return by_precision([&](const Precision& p) -> std::uint64_t {
              if (p.is_f8f143()) {
                return step.has_operand() ? kernel::cost::fp8_elementwise_cycles(false, step.operand_rows,
                                                                                 step.operand_width, amp_left)
                                          : saturated;
              }
              return kernel::cost::f16_layernorm_cycles(step.rows, step.width, false);
            });
          },
          [&](const TileKernelSpec::LayerNormMoments&) { return moments_cycles(step, false); },
          [&](const TileKernelSpec::AddLayerNormMoments&) { return moments_cycles(step, true); },
          [&](const TileKernelSpec::LayerNormApply& apply) {
            const std::uint64_t per_row = 54 * std::uint64_t{apply.partials} + 60 * ceil_div(step.width, 12) + 324;
            return sat_add(sat_mul(step.rows, per_row), 558);
          },
          [&](const TileKernelSpec::ReduceSum& reduce) -> std::uint64_t {
            if (reduce.partials < 2 || step.elements == 0) {
              return 0;
            }
            const std::uint64_t vectors = sat_mul(6, ceil_div(step.elements, 48));
            return sat_add(sat_mul(2 * std::uint64_t{reduce.partials} + 9, vectors), 282);
          },
          [&](const TileKernelSpec::Add&) {
            return by_precision([&](const Precision& p) { return add_cycles(step, p); });
          },
          [&](const TileKernelSpec::Attention&) { return attention_cycles(operands); },
          [&](const TileKernelSpec::AttentionStatistics& statistics) {
            return kernel::cost::f16_softmax_cycles(step.rows, statistics.length, statistics.block);
          },
          [&](const TileKernelSpec::AttentionOutput& attention) { return attention_output_cycles(attention, step); },
          [&](const TileKernelSpec::Cast& cast) {
            return cast_cycles(cast.from, cast.to, step.elements, cast_group(step));
          },
          [&](const TileKernelSpec::Relayout& relayout) { return relayout_cycles(relayout, step); },
      },
      kernel.value);
}

}  // namespace vexa_codegen::estimate::primitive
