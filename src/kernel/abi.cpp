#include "vexa_codegen/kernel/abi.hpp"

#include <algorithm>
#include <initializer_list>

#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/overloaded.hpp"

namespace vexa_codegen::kernel::abi {

using mid::layout::AmpOrder;
using mid::layout::ElementOrder;
using mid::layout::Precision;
using mid::operators::AccumulationPrecision;
using mid::operators::TileKernelSpec;

namespace {

using support::Overloaded;

KernelAbi entry(const char* name, std::initializer_list<std::uint8_t> parameters, std::size_t inputs,
                bool placeholder = false) {
  return KernelAbi{.parameters = parameters,
                   .name = name == nullptr ? std::nullopt : std::optional<std::string>(name),
                   .inputs = inputs,
                   .placeholder = placeholder};
}

// The parameters of the 8-bit element-wise kernels (GELU, layer normalisation).
constexpr std::initializer_list<std::uint8_t> fp8_elementwise_parameters = {14, 7, 15, 16};
// The parameters of the 16-bit normalisation kernels.
constexpr std::initializer_list<std::uint8_t> f16_norm_parameters = {1, 24};
// The parameters of the element-wise add kernels.
constexpr std::initializer_list<std::uint8_t> add_parameters = {0, 27, 28};

const char* cast_name(const Precision& from, const Precision& to) {
  if (from.is_f8f143()) {
    return to.is_f8f143() ? "cast_f8_f8" : to.is_f16() ? "cast_f8_f16" : "cast_f8_f32";
  }
  if (from.is_f16()) {
    return to.is_f8f143() ? "cast_f16_f8" : to.is_f16() ? "cast_identity" : "cast_f16_f32";
  }
  return to.is_f8f143() ? "cast_f32_f8" : to.is_f16() ? "cast_f32_f16" : "cast_identity";
}

std::optional<KernelAbi> packed_gemm_abi(const TileKernelSpec::PackedGemm& gemm,
                                         const low::call::KernelRequirements& requirements) {
  if (requirements.accesses.size() != 2) {
    return std::nullopt;
  }
  if (gemm.multiply.is_f16() || (gemm.multiply.is_f32() && gemm.reserved == 0)) {
    return entry(nullptr, {}, 2);
  }
  if (gemm.multiply.is_f8f143() && requirements.output.precision.is_f16() &&
      gemm.accumulate == AccumulationPrecision::F16) {
    return entry(nullptr, {8}, 2);
  }
  return std::nullopt;
}

KernelAbi relayout_abi(const TileKernelSpec::Relayout& relayout, const Precision& output) {
  const ElementOrder& from = relayout.from.order;
  const ElementOrder& to = relayout.to.order;
  if (output.is_f16()) {
    // Unpacking a block-major, left-operand-transposed or result order into rows.
    if (to.is_row_major() &&
        (from.is_block_major() || from.is_amp(AmpOrder::TransposedLeft) || from.is_amp(AmpOrder::Output))) {
      return entry(nullptr, {23, 21, 22, 24, 25}, 1);
    }
    // Packing rows into an order a matrix product reads.
    const auto* block_major = to.as_block_major();
    if (from.is_row_major() && (to.is_amp(AmpOrder::Left) || to.is_amp(AmpOrder::TransposedRight) ||
                                (block_major != nullptr && !block_major->is_transposed()))) {
      return entry(nullptr, {21, 22, 26, 24, 25, 23}, 1);
    }
  }
  return entry("rearrange", {}, 1, true);
}

}  // namespace

std::optional<KernelAbi> tile_kernel_abi(const TileKernelSpec& kernel,
                                         const low::call::KernelRequirements& requirements) {
  const Precision& output = requirements.output.precision;
  return std::visit(
      Overloaded{
          [&](const TileKernelSpec::FillZero&) -> std::optional<KernelAbi> {
            return entry("fill_zero_u64", {19, 20}, 0);
          },
          [&](const TileKernelSpec::PackedGemm& gemm) { return packed_gemm_abi(gemm, requirements); },
          [&](const TileKernelSpec::Gelu&) -> std::optional<KernelAbi> {
            if (output.is_f8f143()) {
              return entry("gelu_f8", fp8_elementwise_parameters, 1);
            }
            const auto& accesses = requirements.accesses;
            if (output.is_f16() && accesses.size() == 1 && accesses.front().format.precision.is_f16() &&
                accesses.front().format.layout == requirements.output.layout) {
              return entry("gelu_tanh_approx_f16", {0}, 1);
            }
            return entry("unsupported_gelu", {0}, 1, true);
          },
          [&](const TileKernelSpec::BiasGelu&) -> std::optional<KernelAbi> {
            return entry("bias_gelu_f16", f16_norm_parameters, 2);
          },
          [&](const TileKernelSpec::AddLayerNorm&) -> std::optional<KernelAbi> {
            return entry("add_layer_norm_f16", f16_norm_parameters, 4);
          },
          [&](const TileKernelSpec::LayerNorm&) -> std::optional<KernelAbi> {
            if (output.is_f8f143()) {
              return entry("layer_norm_f8", fp8_elementwise_parameters, 3);
            }
            return entry("layer_norm_f16", f16_norm_parameters, 3, output.is_f32());
          },
          [&](const TileKernelSpec::LayerNormMoments&) -> std::optional<KernelAbi> {
            return entry("layer_norm_moments", {1, 7}, 1);
          },
          [&](const TileKernelSpec::AddLayerNormMoments&) -> std::optional<KernelAbi> {
            return entry("add_layer_norm_moments", {14, 7}, 2);
          },
          [&](const TileKernelSpec::LayerNormApply&) -> std::optional<KernelAbi> {
            return entry("layer_norm_apply", {1, 24, 6}, 4);
          },
          [&](const TileKernelSpec::ReduceSum&) -> std::optional<KernelAbi> {
            if (!output.is_f16()) {
              return std::nullopt;
            }
            return entry("reduce_sum_f16", {5, 0}, 2);
          },
          [&](const TileKernelSpec::Add&) -> std::optional<KernelAbi> {
            if (output.is_f8f143()) {
              return entry("unsupported_f8_kernel", add_parameters, 2, true);
            }
            return output.is_f16() ? entry("add_f16", add_parameters, 2) : entry("add_f32", add_parameters, 2, true);
          },
          [&](const TileKernelSpec::Attention&) -> std::optional<KernelAbi> {
            const bool f16_inputs = std::ranges::all_of(
                requirements.accesses, [](const low::call::KernelAccess& access) { return access.format.precision.is_f16(); });
            return entry(nullptr, {}, 3, !(output.is_f32() && f16_inputs));
          },
          [&](const TileKernelSpec::AttentionStatistics&) -> std::optional<KernelAbi> {
            return entry(nullptr, {2, 3, 4}, 1);
          },
          [&](const TileKernelSpec::AttentionOutput&) -> std::optional<KernelAbi> {
            return entry(nullptr, {17, 18, 2}, 2);
          },
          [&](const TileKernelSpec::Cast& cast) -> std::optional<KernelAbi> {
            const std::string_view name = cast_name(cast.from, cast.to);
            const bool placeholder = name == "cast_identity" || name == "cast_f16_f32";
            if (cast.from.is_f8f143() || cast.to.is_f8f143()) {
              return entry(name.data(), {0, 9, 10, 11, 12, 13}, 1, placeholder);
            }
            return entry(name.data(), {0}, 1, placeholder);
          },
          [&](const TileKernelSpec::Relayout& relayout) -> std::optional<KernelAbi> {
            return relayout_abi(relayout, output);
          },
      },
      kernel.value);
}

std::string dump(const KernelAbi& abi) {
  return support::RecordDump("KernelAbi")
      .field("parameters", abi.parameters)
      .field("name", abi.name)
      .field("inputs", abi.inputs)
      .field("placeholder", abi.placeholder)
      .str();
}

}  // namespace vexa_codegen::kernel::abi
