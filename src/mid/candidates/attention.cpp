#include "vexa_codegen/mid/candidates/attention.hpp"

#include <algorithm>
#include <array>

#include "detail.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

using operators::OperatorDispatch;
using operators::ProductGrid;

/// x rounded up to a multiple of `multiple` in 32 bits. A rounding past the
/// 32-bit range yields 0, which plan validation refuses as a block or parameter.
std::uint32_t round_up_32(std::uint32_t x, std::uint32_t multiple) {
  return static_cast<std::uint32_t>(support::round_up(x, multiple));
}

/// The product grids over `rows` query rows for an extent `extent` and the
/// given inner partition counts: for every row split r (1, 2, 4, 8, 16 while
/// the queries have r rows) and inner count i (while the keys have i rows),
/// the widest column split that the tiles of one head allow, at most one part
/// per 16 columns.
std::vector<ProductGrid> product_grids(std::uint32_t query_length, std::uint32_t key_length,
                                       std::uint16_t tiles_per_head, std::uint32_t extent,
                                       std::span<const std::uint16_t> inner_counts) {
  std::vector<ProductGrid> grids;
  const std::uint64_t column_blocks = support::ceil_div(extent, 16);
  for (const std::uint16_t rows : std::array<std::uint16_t, 5>{1, 2, 4, 8, 16}) {
    if (query_length < rows) {
      break;
    }
    for (const std::uint16_t inner : inner_counts) {
      if (key_length < inner) {
        continue;
      }
      const std::uint64_t columns = std::min<std::uint64_t>(tiles_per_head / rows / inner, column_blocks);
      if (columns == 0) {
        continue;
      }
      grids.push_back(ProductGrid{
          .row_partitions = rows, .column_partitions = static_cast<std::uint16_t>(columns), .inner_partitions = inner});
    }
  }
  return grids;
}

}  // namespace

namespace attention {

std::vector<OperatorPlan> product_variants(const OperatorPlan& plan, const std::vector<TensorType>& operand_types,
                                           const PipelineConfig& config) {
  const auto* dispatch = plan.dispatch.get_if<OperatorDispatch::FlashAttention>();
  if (dispatch == nullptr) {
    return {plan};
  }
  const std::uint8_t setting = config.attention_variants <= 3 ? config.attention_variants : 0;
  if (!dispatch->unaligned_block) {
    return setting <= 1 ? std::vector<OperatorPlan>{plan} : std::vector<OperatorPlan>{};
  }
  if (setting == 1) {
    return {plan};
  }
  if (operand_types.size() < 3 || std::ranges::any_of(operand_types.begin(), operand_types.begin() + 3,
                                                      [](const TensorType& type) { return type.shape.rank() < 3; })) {
    support::invariant_failed("attention plan variants need three operands of rank 3");
  }
  const auto& query = operand_types[0].shape.dimensions;
  const auto& key = operand_types[1].shape.dimensions;
  const auto& value = operand_types[2].shape.dimensions;
  if (query[0] == 0) {
    support::invariant_failed("attempt to divide by zero");
  }
  const auto tiles_per_head = static_cast<std::uint16_t>(config.tiles / query[0]);
  constexpr std::array<std::uint16_t, 1> score_inner{1};
  constexpr std::array<std::uint16_t, 4> value_inner{1, 2, 4, 8};
  const std::vector<ProductGrid> score_grids = product_grids(query[1], key[1], tiles_per_head, key[1], score_inner);
  const std::vector<ProductGrid> value_grids = product_grids(query[1], key[1], tiles_per_head, value[2], value_inner);

  std::vector<std::optional<ProductGrid>> score_options;
  std::vector<std::optional<ProductGrid>> value_options;
  if (setting != 3) {
    score_options.assign(score_grids.begin(), score_grids.end());
  }
  if (setting != 2) {
    value_options.assign(value_grids.begin(), value_grids.end());
  }
  if (setting == 0 || setting == 3) {
    score_options.emplace_back(std::nullopt);
  }
  if (setting == 0 || setting == 2) {
    value_options.emplace_back(std::nullopt);
  }
  std::vector<OperatorPlan> variants;
  variants.reserve(score_options.size() * value_options.size());
  for (const auto& score : score_options) {
    for (const auto& product : value_options) {
      OperatorPlan variant = plan;
      auto& grids = std::get<OperatorDispatch::FlashAttention>(variant.dispatch.value);
      grids.score_grid = score;
      grids.value_grid = product;
      variants.push_back(std::move(variant));
    }
  }
  return variants;
}

}  // namespace attention

namespace detail {

std::optional<std::vector<OperatorPlan>> attention_plans(const graph::Operation& operation,
                                                         const std::vector<TensorType>& operand_types,
                                                         const PipelineConfig& config) {
  const auto* kind = operation.kind.get_if<graph::OperationKind::FlashAttention>();
  if (kind == nullptr || operand_types.size() != 3 || kind->options.causal ||
      std::ranges::any_of(operand_types, [](const TensorType& type) { return type.shape.rank() != 3; })) {
    return std::vector<OperatorPlan>{};
  }
  const auto& query = operand_types[0].shape.dimensions;
  const auto& key = operand_types[1].shape.dimensions;
  const auto& value = operand_types[2].shape.dimensions;
  const std::uint32_t heads = query[0];
  if (heads < 1 || heads > max16 || key[0] != heads || value[0] != heads) {
    return std::vector<OperatorPlan>{};
  }
  const std::uint32_t per_head = config.tiles / heads;
  const auto query_partitions = static_cast<std::uint16_t>(std::min<std::uint64_t>(saturate16(query[1]), per_head));
  if (query_partitions == 0) {
    return std::vector<OperatorPlan>{};
  }
  const auto key_partitions =
      static_cast<std::uint16_t>(std::min<std::uint64_t>(saturate16(support::ceil_div(key[1], 64)), per_head));
  if (key_partitions == 0) {
    return std::nullopt;
  }
  const auto batch = static_cast<std::uint16_t>(heads);
  const Precision f16 = Precision::f16();
  Layout query_layout = Layout::attention_output(batch, query_partitions);
  query_layout.order = ElementOrder::amp(layout::AmpOrder::Left);
  Layout value_layout = Layout::attention_key(batch, key_partitions);
  value_layout.order = ElementOrder::block_major(layout::BlockMajorOrder::matrix(64, 16));

  OperatorPlan base;
  base.storage.operands = {requirement_at_8({f16, query_layout}, true),
                           requirement_at_8({f16, Layout::attention_key(batch, key_partitions)}, true),
                           requirement_at_8({f16, value_layout}, true)};
  base.storage.output = requirement_at_8({f16, Layout::attention_output(batch, query_partitions)});
  base.operator_ = MidOperator{MidOperator::FlashAttention{kind->options, operators::AccumulationPrecision::F32}};
  OperatorDispatch::FlashAttention dispatch{.score_grid = std::nullopt,
                                            .value_grid = std::nullopt,
                                            .block = 64,
                                            .output_parameter = round_up_32(query[2], 16),
                                            .value_parameter = round_up_32(value[2], 16),
                                            .unaligned_block = false};
  base.dispatch = OperatorDispatch{dispatch};
  OperatorPlan free_blocks = base;
  dispatch.block = round_up_32(key[1], 64);
  dispatch.unaligned_block = true;
  free_blocks.dispatch = OperatorDispatch{dispatch};

  std::vector<OperatorPlan> plans = attention::product_variants(base, operand_types, config);
  std::ranges::move(attention::product_variants(free_blocks, operand_types, config), std::back_inserter(plans));
  if (config.plan_filter == 1 || config.plan_filter == 2) {
    const bool drop_unaligned = config.plan_filter == 1;
    std::erase_if(plans, [&](const OperatorPlan& plan) {
      const auto* attention = plan.dispatch.get_if<OperatorDispatch::FlashAttention>();
      return attention != nullptr && attention->unaligned_block == drop_unaligned;
    });
  }
  return plans;
}

}  // namespace detail
}  // namespace vexa_codegen::mid::candidates
