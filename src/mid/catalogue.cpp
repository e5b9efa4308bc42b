// The plan builders of the catalogue: matrix products over fixed layouts and
// over tile grids, element-wise plans and format-preserving unary plans.
#include "vexa_codegen/mid/catalogue.hpp"

#include <algorithm>

#include "catalogue_tilings.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::mid::catalogue {
namespace {

using layout::AmpOrder;
using layout::BlockMajorOrder;
using layout::ElementOrder;
using layout::MemoryClass;
using operators::LocalOperandStaging;
using operators::MemoryOperand;
using operators::OperandRequirement;
using operators::StorageRequirements;
using operators::TileKernelSpec;

// An operand or result requirement with no streaming, staged directly.
OperandRequirement plain_requirement(TensorFormat format, std::uint32_t alignment) {
  return {std::move(format), alignment, 0, LocalOperandStaging::Direct, false};
}

// a x b, or 0 when the product does not fit 16 bits (resolution then rejects
// the layout that carries it).
std::uint16_t product_or_zero(std::uint16_t a, std::uint16_t b) {
  const std::uint32_t product = std::uint32_t{a} * b;
  return product > 0xFFFF ? 0 : static_cast<std::uint16_t>(product);
}

// The dispatch that runs `operator_` on every tile over its own shards.
OperatorDispatch tile_dispatch(const MidOperator& operator_) {
  const auto kernel = [](auto spec) { return OperatorDispatch{OperatorDispatch::TileKernel{TileKernelSpec{spec}}}; };
  if (operator_.is<MidOperator::Gemm>()) {
    return {OperatorDispatch::Gemm{64, 64, std::nullopt, operators::GemmOrientation::Normal}};
  }
  if (operator_.is<MidOperator::Gelu>()) {
    return kernel(TileKernelSpec::Gelu{});
  }
  if (operator_.is<MidOperator::LayerNorm>()) {
    return kernel(TileKernelSpec::LayerNorm{});
  }
  if (operator_.is<MidOperator::Add>()) {
    return kernel(TileKernelSpec::Add{});
  }
  if (const auto* attention = operator_.get_if<MidOperator::FlashAttention>()) {
    return kernel(
        TileKernelSpec::Attention{attention->options.scale, attention->options.causal, attention->accumulate});
  }
  return {OperatorDispatch::Alias{}};  // views and slices
}

// The block-major weights of a grid product (operand 1). Unsplit weights in
// standard memory keep whole columns of blocks per tile and are replicated over
// the row parts; split or interleaved weights cut the reduction axis into
// `inner_partitions` parts and share the replicas among them.
Layout grid_weights(std::uint32_t block, std::uint32_t output_column_block, const TileGrid& grid,
                    std::uint16_t inner_partitions, bool interleaved_weights) {
  Layout weights;
  weights.order = ElementOrder::block_major(BlockMajorOrder::matrix(static_cast<std::uint16_t>(block), 16));
  const std::uint16_t rows = grid.row_partitions;
  const std::uint16_t columns = grid.column_partitions;
  if (inner_partitions == 1 && !interleaved_weights) {
    const std::uint16_t stride = grid.column_major ? rows : std::uint16_t{1};
    weights.tiling = {{tilings::padded(2, 1, block), tilings::padded(1, columns, output_column_block, stride)},
                      grid.tiles,
                      rows};
    weights.memory_class = MemoryClass::Vexa21Standard;
    return weights;
  }
  const auto replication = static_cast<std::uint16_t>(rows / inner_partitions);
  weights.tiling = {{tilings::padded(1, columns, output_column_block, 1), tilings::padded(2, inner_partitions, block)},
                    product_or_zero(product_or_zero(columns, inner_partitions), replication),
                    replication};
  weights.memory_class = interleaved_weights ? MemoryClass::Vexa21Interleaved : MemoryClass::Vexa21Standard;
  return weights;
}

// The activations of a grid product (operand 0): rows cut over the row parts,
// the reduction axis padded to whole blocks, replicated over the column parts.
Layout grid_activations(std::uint32_t block, const TileGrid& grid) {
  const std::uint16_t rows = grid.row_partitions;
  const std::uint16_t columns = grid.column_partitions;
  std::optional<std::uint16_t> stride;
  if (rows != grid.tiles || columns != 1) {
    stride = grid.column_major ? std::uint16_t{1} : columns;
  }
  return {ElementOrder::amp(AmpOrder::Left),
          {{tilings::exact(2, rows, stride), tilings::padded(1, 1, block)}, grid.tiles, columns},
          MemoryClass::Vexa21Standard};
}

}  // namespace

OperatorPlan gemm_plan(MidOperator operator_, std::array<Layout, 3> layouts, std::uint32_t stream_panel,
                       OperatorDispatch dispatch) {
  const auto* gemm = operator_.get_if<MidOperator::Gemm>();
  if (gemm == nullptr) {
    support::invariant_failed("internal error: entered unreachable code: GEMM operand contract requires a GEMM operator");
  }
  const auto* product = dispatch.get_if<OperatorDispatch::Gemm>();
  if (product == nullptr) {
    support::invariant_failed("internal error: entered unreachable code: GEMM operand contract requires a GEMM dispatch");
  }
  const std::uint16_t streamed = product->orientation == operators::GemmOrientation::Normal ? 0 : 1;
  StorageRequirements storage;
  storage.operands.reserve(2);
  for (std::size_t i = 0; i < 2; ++i) {
    storage.operands.push_back(plain_requirement({gemm->multiply, std::move(layouts[i])}, 32));
  }
  storage.operands[streamed].stream_panel = stream_panel;
  storage.operands[streamed].streamed = true;
  const Precision result_precision = gemm->multiply.is_f32() ? Precision::f32() : Precision::f16();
  storage.output = plain_requirement({result_precision, std::move(layouts[2])}, 32);
  storage.shared_memory = {{MemoryOperand::output(), MemoryOperand::input(streamed)}};
  return {std::move(storage), std::move(dispatch), std::move(operator_)};
}

ConcreteOperatorCandidate amp_grid_gemm_operator_candidate(Precision multiply, std::uint32_t block,
                                                           std::uint32_t stream_panel,
                                                           std::uint32_t output_column_block, TileGrid grid,
                                                           std::uint16_t inner_partitions, bool interleaved_weights) {
  if (inner_partitions == 0) {
    support::invariant_failed("a grid product needs at least one inner partition");
  }
  if (block > 0xFFFF) {
    support::invariant_failed("a grid product's block must fit the weights' 16-bit row block");
  }
  Layout result = Layout::amp_output_grid(output_column_block, grid.tiles, grid.row_partitions,
                                          grid.column_partitions, grid.column_major);
  if (multiply.is_f16()) {
    result.order = ElementOrder::amp(AmpOrder::Left);
  }
  const AccumulationPrecision accumulate =
      multiply.is_f32() ? AccumulationPrecision::F32 : AccumulationPrecision::F16;
  MidOperator operator_{MidOperator::Gemm{{false, false}, std::move(multiply), accumulate}};
  OperatorDispatch dispatch{
      OperatorDispatch::Gemm{64, output_column_block, std::nullopt, operators::GemmOrientation::Normal}};
  std::array<Layout, 3> layouts{grid_activations(block, grid),
                                grid_weights(block, output_column_block, grid, inner_partitions, interleaved_weights),
                                std::move(result)};
  return {gemm_plan(std::move(operator_), std::move(layouts), stream_panel, std::move(dispatch)),
          CandidateLayouts::fixed()};
}

ConcreteOperatorCandidate pointwise_operator_candidate(MidOperator operator_, std::vector<TensorFormat> inputs,
                                                       TensorFormat output) {
  StorageRequirements storage;
  storage.operands.reserve(inputs.size());
  for (TensorFormat& input : inputs) {
    storage.operands.push_back(plain_requirement(std::move(input), 8));
  }
  storage.output = plain_requirement(std::move(output), 8);
  OperatorDispatch dispatch = tile_dispatch(operator_);
  return {{std::move(storage), std::move(dispatch), std::move(operator_)}, CandidateLayouts::fixed()};
}

ConcreteOperatorCandidate format_preserving_unary_candidate(MidOperator operator_, TensorFormat format) {
  StorageRequirements storage;
  storage.operands.push_back(plain_requirement(format, 8));
  storage.output = plain_requirement(std::move(format), 8);
  storage.output_aliases = std::vector<std::uint16_t>{0};
  OperatorDispatch dispatch = tile_dispatch(operator_);
  return {{std::move(storage), std::move(dispatch), std::move(operator_)}, CandidateLayouts::follow_operand(0)};
}

}  // namespace vexa_codegen::mid::catalogue
