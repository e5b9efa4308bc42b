#include "vexa_codegen/kernel/abi.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vexa_codegen/mid/operators.hpp"

namespace vexa_codegen::kernel::abi {
namespace {

using low::call::KernelRequirements;
using mid::layout::AmpOrder;
using mid::layout::BlockMajorOrder;
using mid::layout::ElementOrder;
using mid::layout::Layout;
using mid::layout::Precision;
using mid::layout::TensorFormat;
using mid::operators::AccumulationPrecision;
using mid::operators::TileKernelSpec;

const Precision f8 = Precision::f8f143(0);
const Precision f16 = Precision::f16();
const Precision f32 = Precision::f32();

Layout ordered(ElementOrder order) {
  Layout layout = Layout::row_sharded(2);
  layout.order = order;
  return layout;
}

const Layout rows = ordered(ElementOrder::row_major());
const Layout left = ordered(ElementOrder::amp(AmpOrder::Left));
const Layout transposed_left = ordered(ElementOrder::amp(AmpOrder::TransposedLeft));
const Layout transposed_right = ordered(ElementOrder::amp(AmpOrder::TransposedRight));
const Layout output_order = ordered(ElementOrder::amp(AmpOrder::Output));
const Layout transposed_output = ordered(ElementOrder::amp(AmpOrder::TransposedOutput));
const Layout blocks = ordered(ElementOrder::block_major(BlockMajorOrder::matrix(64, 16)));
const Layout transposed_blocks = ordered(ElementOrder::block_major(BlockMajorOrder::transposed_matrix(64, 16)));

TileKernelSpec packed_gemm(Precision multiply, AccumulationPrecision accumulate, std::uint8_t reserved = 0) {
  return {TileKernelSpec::PackedGemm{.inner_chunk = 64,
                                     .output_column_block = 64,
                                     .multiply = multiply,
                                     .accumulate = accumulate,
                                     .add_to_output = false,
                                     .reserved = reserved}};
}

TileKernelSpec relayout(Layout from, Layout to) { return {TileKernelSpec::Relayout{std::move(from), std::move(to)}}; }

KernelAbi named(std::string name, std::vector<std::uint8_t> parameters, std::size_t inputs, bool placeholder = false) {
  return KernelAbi{std::move(parameters), std::move(name), inputs, placeholder};
}
KernelAbi unnamed(std::vector<std::uint8_t> parameters, std::size_t inputs, bool placeholder = false) {
  return KernelAbi{std::move(parameters), std::nullopt, inputs, placeholder};
}

struct Case {
  std::string label;
  TileKernelSpec kernel;
  std::vector<TensorFormat> inputs;
  TensorFormat output;
  std::optional<KernelAbi> abi;
};

void expect_abis(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    const auto requirements = KernelRequirements::make(c.kernel, c.inputs, c.output);
    const auto abi = tile_kernel_abi(c.kernel, requirements);
    EXPECT_EQ(abi, c.abi) << c.label << ": " << (abi ? dump(*abi) : "no entry");
  }
}

TEST(TileKernelAbi, PackedGemm) {
  const std::vector<TensorFormat> two{{f16, left}, {f16, blocks}};
  const TensorFormat out{f16, left};
  expect_abis({
      {"f16", packed_gemm(f16, AccumulationPrecision::F32), two, out, unnamed({}, 2)},
      {"f16, reserved byte set", packed_gemm(f16, AccumulationPrecision::F32, 1), two, out, unnamed({}, 2)},
      {"f32", packed_gemm(f32, AccumulationPrecision::F32), two, {f32, output_order}, unnamed({}, 2)},
      {"f32, reserved byte set", packed_gemm(f32, AccumulationPrecision::F32, 1), two, {f32, output_order},
       std::nullopt},
      {"f8 accumulating in f16", packed_gemm(f8, AccumulationPrecision::F16), two, out, unnamed({8}, 2)},
      {"f8 accumulating in f32", packed_gemm(f8, AccumulationPrecision::F32), two, out, std::nullopt},
      {"f8 into f32", packed_gemm(f8, AccumulationPrecision::F16), two, {f32, output_order}, std::nullopt},
      {"one input", packed_gemm(f16, AccumulationPrecision::F32), {{f16, left}}, out, std::nullopt},
  });
}

TEST(TileKernelAbi, ElementWiseAndNormalisation) {
  const TensorFormat f16_rows{f16, rows};
  expect_abis({
      {"fill zero", {TileKernelSpec::FillZero{0, 64, 0}}, {}, f16_rows, named("fill_zero_u64", {19, 20}, 0)},
      {"gelu f8", {TileKernelSpec::Gelu{}}, {f16_rows}, {f8, rows}, named("gelu_f8", {14, 7, 15, 16}, 1)},
      {"gelu f16", {TileKernelSpec::Gelu{}}, {f16_rows}, f16_rows, named("gelu_tanh_approx_f16", {0}, 1)},
      {"gelu f16 changing layout", {TileKernelSpec::Gelu{}}, {f16_rows}, {f16, left},
       named("unsupported_gelu", {0}, 1, true)},
      {"gelu from f32", {TileKernelSpec::Gelu{}}, {{f32, rows}}, f16_rows, named("unsupported_gelu", {0}, 1, true)},
      {"gelu f32", {TileKernelSpec::Gelu{}}, {{f32, rows}}, {f32, rows}, named("unsupported_gelu", {0}, 1, true)},
      {"bias gelu", {TileKernelSpec::BiasGelu{}}, {f16_rows, f16_rows}, f16_rows, named("bias_gelu_f16", {1, 24}, 2)},
      {"add layer norm", {TileKernelSpec::AddLayerNorm{}}, {}, f16_rows, named("add_layer_norm_f16", {1, 24}, 4)},
      {"layer norm f8", {TileKernelSpec::LayerNorm{}}, {}, {f8, rows}, named("layer_norm_f8", {14, 7, 15, 16}, 3)},
      {"layer norm f16", {TileKernelSpec::LayerNorm{}}, {}, f16_rows, named("layer_norm_f16", {1, 24}, 3)},
      {"layer norm f32", {TileKernelSpec::LayerNorm{}}, {}, {f32, rows}, named("layer_norm_f16", {1, 24}, 3, true)},
      {"moments", {TileKernelSpec::LayerNormMoments{}}, {}, {f32, rows}, named("layer_norm_moments", {1, 7}, 1)},
      {"add moments", {TileKernelSpec::AddLayerNormMoments{}}, {}, {f32, rows},
       named("add_layer_norm_moments", {14, 7}, 2)},
      {"apply", {TileKernelSpec::LayerNormApply{2}}, {}, f16_rows, named("layer_norm_apply", {1, 24, 6}, 4)},
      {"reduce f16", {TileKernelSpec::ReduceSum{2}}, {}, f16_rows, named("reduce_sum_f16", {5, 0}, 2)},
      {"reduce f32", {TileKernelSpec::ReduceSum{2}}, {}, {f32, rows}, std::nullopt},
      {"add f8", {TileKernelSpec::Add{}}, {}, {f8, rows}, named("unsupported_f8_kernel", {0, 27, 28}, 2, true)},
      {"add f16", {TileKernelSpec::Add{}}, {}, f16_rows, named("add_f16", {0, 27, 28}, 2)},
      {"add f32", {TileKernelSpec::Add{}}, {}, {f32, rows}, named("add_f32", {0, 27, 28}, 2, true)},
  });
}

TEST(TileKernelAbi, Attention) {
  const TileKernelSpec attention{
      TileKernelSpec::Attention{.scale = {}, .causal = false, .accumulate = AccumulationPrecision::F32}};
  const std::vector<TensorFormat> f16_inputs(3, TensorFormat{f16, rows});
  expect_abis({
      {"f16 into f32", attention, f16_inputs, {f32, rows}, unnamed({}, 3)},
      {"f16 into f16", attention, f16_inputs, {f16, rows}, unnamed({}, 3, true)},
      {"f8 input", attention, {{f16, rows}, {f8, rows}, {f16, rows}}, {f32, rows}, unnamed({}, 3, true)},
      {"statistics", {TileKernelSpec::AttentionStatistics{64, 128, 64}}, {}, {f32, rows}, unnamed({2, 3, 4}, 1)},
      {"output", {TileKernelSpec::AttentionOutput{64, 64, 64, true, false}}, {}, {f16, rows},
       unnamed({17, 18, 2}, 2)},
  });
}

TEST(TileKernelAbi, Casts) {
  const std::vector<std::uint8_t> fp8 = {0, 9, 10, 11, 12, 13};
  const auto cast = [](Precision from, Precision to) { return TileKernelSpec{TileKernelSpec::Cast{from, to}}; };
  expect_abis({
      {"f8 to f8", cast(f8, Precision::f8f143(2)), {}, {f8, rows}, named("cast_f8_f8", fp8, 1)},
      {"f8 to f16", cast(f8, f16), {}, {f16, rows}, named("cast_f8_f16", fp8, 1)},
      {"f8 to f32", cast(f8, f32), {}, {f32, rows}, named("cast_f8_f32", fp8, 1)},
      {"f16 to f8", cast(f16, f8), {}, {f8, rows}, named("cast_f16_f8", fp8, 1)},
      // No kernel widens 16-bit data: the entry only stands in for one.
      {"f16 to f32", cast(f16, f32), {}, {f32, rows}, named("cast_f16_f32", {0}, 1, true)},
      {"f32 to f8", cast(f32, f8), {}, {f8, rows}, named("cast_f32_f8", fp8, 1)},
      {"f32 to f16", cast(f32, f16), {}, {f16, rows}, named("cast_f32_f16", {0}, 1)},
      {"f16 to f16", cast(f16, f16), {}, {f16, rows}, named("cast_identity", {0}, 1, true)},
      {"f32 to f32", cast(f32, f32), {}, {f32, rows}, named("cast_identity", {0}, 1, true)},
  });
}

TEST(TileKernelAbi, Relayouts) {
  const std::vector<std::uint8_t> unpack = {23, 21, 22, 24, 25};
  const std::vector<std::uint8_t> pack = {21, 22, 26, 24, 25, 23};
  const KernelAbi rearrange = named("rearrange", {}, 1, true);
  const std::vector<TensorFormat> input{{f16, rows}};
  const TensorFormat f16_out{f16, rows};
  expect_abis({
      {"blocks to rows", relayout(blocks, rows), input, f16_out, unnamed(unpack, 1)},
      {"transposed blocks to rows", relayout(transposed_blocks, rows), input, f16_out, unnamed(unpack, 1)},
      {"transposed left to rows", relayout(transposed_left, rows), input, f16_out, unnamed(unpack, 1)},
      {"output to rows", relayout(output_order, rows), input, f16_out, unnamed(unpack, 1)},
      {"transposed output to rows", relayout(transposed_output, rows), input, f16_out, rearrange},
      {"left to rows", relayout(left, rows), input, f16_out, rearrange},
      {"rows to left", relayout(rows, left), input, f16_out, unnamed(pack, 1)},
      {"rows to transposed right", relayout(rows, transposed_right), input, f16_out, unnamed(pack, 1)},
      {"rows to blocks", relayout(rows, blocks), input, f16_out, unnamed(pack, 1)},
      {"rows to transposed blocks", relayout(rows, transposed_blocks), input, f16_out, rearrange},
      {"rows to rows", relayout(rows, rows), input, f16_out, rearrange},
      {"blocks to rows in f32", relayout(blocks, rows), input, {f32, rows}, rearrange},
      {"rows to left in f8", relayout(rows, left), input, {f8, rows}, rearrange},
  });
}

TEST(KernelAbi, Dump) {
  EXPECT_EQ(dump(named("add_f16", {0, 27, 28}, 2)),
            "KernelAbi { parameters: [0, 27, 28], name: Some(\"add_f16\"), inputs: 2, placeholder: false }");
  EXPECT_EQ(dump(unnamed({}, 3, true)), "KernelAbi { parameters: [], name: None, inputs: 3, placeholder: true }");
}

}  // namespace
}  // namespace vexa_codegen::kernel::abi
