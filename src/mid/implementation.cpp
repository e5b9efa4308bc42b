// The lowering entry: select the lowering of a plan, finish and analyse the program.
#include "vexa_codegen/mid/implementation.hpp"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "vexa_codegen/estimate/mid.hpp"
#include "vexa_codegen/mid/implementation/attention.hpp"
#include "vexa_codegen/mid/implementation/gemm.hpp"
#include "vexa_codegen/mid/implementation/layernorm.hpp"

namespace vexa_codegen::mid::implementation {
namespace {

using operators::MidOperator;
using operators::OperatorDispatch;

/// The lowering the plan's dispatch (and, for products, attention and aliases,
/// its operator) selects; nothing for any other combination.
std::optional<MidValueId> lower(Builder& builder, const OperatorPlan& plan, const std::vector<TensorType>& inputs,
                                const TensorType& output) {
  const OperatorDispatch& dispatch = plan.dispatch;
  const MidOperator& op = plan.operator_;
  if (dispatch.is<OperatorDispatch::LayerNorm>()) {
    return layernorm::layer_norm(builder, plan, inputs, output);
  }
  if (dispatch.is<OperatorDispatch::TileKernel>()) {
    return tile_kernel(builder, plan, inputs, output);
  }
  if (dispatch.is<OperatorDispatch::Gemm>() && op.is<MidOperator::Gemm>()) {
    return gemm::gemm(builder, plan, inputs, output);
  }
  if (dispatch.is<OperatorDispatch::FlashAttention>() && op.is<MidOperator::FlashAttention>()) {
    return attention::attention(builder, plan, inputs, output);
  }
  if (dispatch.is<OperatorDispatch::Alias>() && (op.is<MidOperator::View>() || op.is<MidOperator::Slice>())) {
    return view_or_slice(builder, plan, inputs, output);
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<const MidProgram> implement(const OperatorPlan& plan, const std::vector<TensorType>& inputs,
                                            const TensorType& output) {
  Builder builder;
  for (const TensorType& input : inputs) {
    builder.add_input(input);
  }
  const auto result = lower(builder, plan, inputs, output);
  if (!result) {
    return nullptr;
  }
  MidProgram program = std::move(builder).finish(*result);
  const auto analysis = estimate::mid::analyze(program, {});
  if (!analysis) {
    return nullptr;
  }
  program.cycles = analysis->first;
  program.memory = analysis->second;
  return std::make_shared<const MidProgram>(std::move(program));
}

}  // namespace vexa_codegen::mid::implementation
