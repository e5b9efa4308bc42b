// Dump forms of the operator-plan vocabulary.
#include "vexa_codegen/mid/operators.hpp"

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/overloaded.hpp"

namespace vexa_codegen::mid::operators {
namespace {

using support::positional;
using support::RecordDump;

using support::Overloaded;

}  // namespace

std::string dump(GemmOrientation orientation) {
  return orientation == GemmOrientation::Normal ? "Normal" : "Swapped";
}

std::string dump(AccumulationPrecision precision) {
  return precision == AccumulationPrecision::F16 ? "F16" : "F32";
}

std::string dump(LocalOperandStaging staging) {
  return staging == LocalOperandStaging::Direct ? "Direct" : "MatchRemote";
}

std::string dump(const ReductionStaging& staging) {
  return std::visit(Overloaded{
                        [](const ReductionStaging::Complete&) -> std::string { return "Complete"; },
                        [](const ReductionStaging::Streamed&) -> std::string { return "Streamed"; },
                        [](const ReductionStaging::Batched& b) { return positional("Batched", b.count); },
                    },
                    staging.value);
}

std::string dump(const MidOperator& op) {
  return std::visit(Overloaded{
                        [](const MidOperator::Gemm& g) {
                          return RecordDump("Gemm")
                              .field("options", g.options)
                              .field("multiply", g.multiply)
                              .field("accumulate", g.accumulate)
                              .str();
                        },
                        [](const MidOperator::Gelu&) -> std::string { return "Gelu"; },
                        [](const MidOperator::LayerNorm&) -> std::string { return "LayerNorm"; },
                        [](const MidOperator::Add&) -> std::string { return "Add"; },
                        [](const MidOperator::View& v) { return positional("View", v.view); },
                        [](const MidOperator::Slice& s) { return positional("Slice", s.slice); },
                        [](const MidOperator::FlashAttention& f) {
                          return RecordDump("FlashAttention")
                              .field("options", f.options)
                              .field("accumulate", f.accumulate)
                              .str();
                        },
                    },
                    op.value);
}

std::string dump(const GemmDistribution& distribution) {
  return RecordDump("GemmDistribution")
      .field("reduction_staging", distribution.reduction_staging)
      .field("row_partitions", distribution.row_partitions)
      .field("column_partitions", distribution.column_partitions)
      .field("inner_partitions", distribution.inner_partitions)
      .field("result_row_partitions", distribution.result_row_partitions)
      .field("result_column_partitions", distribution.result_column_partitions)
      .str();
}

std::string dump(const ProductGrid& grid) {
  return RecordDump("ProductGrid")
      .field("row_partitions", grid.row_partitions)
      .field("column_partitions", grid.column_partitions)
      .field("inner_partitions", grid.inner_partitions)
      .str();
}

std::string dump(const TileKernelSpec& kernel) {
  using K = TileKernelSpec;
  return std::visit(
      Overloaded{
          [](const K::FillZero& k) {
            return RecordDump("FillZero").field("first", k.first).field("second", k.second).field("third", k.third).str();
          },
          [](const K::PackedGemm& k) {
            return RecordDump("PackedGemm")
                .field("inner_chunk", k.inner_chunk)
                .field("output_column_block", k.output_column_block)
                .field("multiply", k.multiply)
                .field("accumulate", k.accumulate)
                .field("add_to_output", k.add_to_output)
                .field("reserved", k.reserved)
                .str();
          },
          [](const K::Gelu&) -> std::string { return "Gelu"; },
          [](const K::BiasGelu&) -> std::string { return "BiasGelu"; },
          [](const K::AddLayerNorm&) -> std::string { return "AddLayerNorm"; },
          [](const K::LayerNorm&) -> std::string { return "LayerNorm"; },
          [](const K::LayerNormMoments&) -> std::string { return "LayerNormMoments"; },
          [](const K::AddLayerNormMoments&) -> std::string { return "AddLayerNormMoments"; },
          [](const K::LayerNormApply& k) { return RecordDump("LayerNormApply").field("partials", k.partials).str(); },
          [](const K::ReduceSum& k) { return RecordDump("ReduceSum").field("partials", k.partials).str(); },
          [](const K::Add&) -> std::string { return "Add"; },
          [](const K::Attention& k) {
            return RecordDump("Attention")
                .field("scale", k.scale)
                .field("causal", k.causal)
                .field("accumulate", k.accumulate)
                .str();
          },
          [](const K::AttentionStatistics& k) {
            return RecordDump("AttentionStatistics")
                .field("head_width", k.head_width)
                .field("length", k.length)
                .field("block", k.block)
                .str();
          },
          [](const K::AttentionOutput& k) {
            return RecordDump("AttentionOutput")
                .field("output_parameter", k.output_parameter)
                .field("value_parameter", k.value_parameter)
                .field("block", k.block)
                .field("first_block", k.first_block)
                .field("last_block", k.last_block)
                .str();
          },
          [](const K::Cast& k) { return RecordDump("Cast").field("from", k.from).field("to", k.to).str(); },
          [](const K::Relayout& k) { return RecordDump("Relayout").field("from", k.from).field("to", k.to).str(); },
      },
      kernel.value);
}

std::string dump(const OperatorDispatch& dispatch) {
  using D = OperatorDispatch;
  return std::visit(Overloaded{
                        [](const D::LayerNorm& d) { return RecordDump("LayerNorm").field("partials", d.partials).str(); },
                        [](const D::TileKernel& d) { return positional("TileKernel", d.kernel); },
                        [](const D::Gemm& d) {
                          return RecordDump("Gemm")
                              .field("inner_chunk", d.inner_chunk)
                              .field("output_column_block", d.output_column_block)
                              .field("distribution", d.distribution)
                              .field("orientation", d.orientation)
                              .str();
                        },
                        [](const D::FlashAttention& d) {
                          return RecordDump("FlashAttention")
                              .field("score_grid", d.score_grid)
                              .field("value_grid", d.value_grid)
                              .field("block", d.block)
                              .field("output_parameter", d.output_parameter)
                              .field("value_parameter", d.value_parameter)
                              .field("unaligned_block", d.unaligned_block)
                              .str();
                        },
                        [](const D::Alias&) -> std::string { return "Alias"; },
                    },
                    dispatch.value);
}

std::string dump(const MemoryOperand& operand) {
  return std::visit(Overloaded{
                        [](const MemoryOperand::Output&) -> std::string { return "Output"; },
                        [](const MemoryOperand::Input& i) { return positional("Input", i.index); },
                    },
                    operand.value);
}

std::string dump(const OperandRequirement& requirement) {
  return RecordDump("OperandRequirement")
      .field("format", requirement.format)
      .field("alignment", requirement.alignment)
      .field("stream_panel", requirement.stream_panel)
      .field("staging", requirement.staging)
      .field("streamed", requirement.streamed)
      .str();
}

std::string dump(const StorageRequirements& storage) {
  return RecordDump("StorageRequirements")
      .field("operands", storage.operands)
      .field("output", storage.output)
      .field("shared_memory", storage.shared_memory)
      .field("output_aliases", storage.output_aliases)
      .str();
}

std::string dump(PlanCheck check) {
  switch (check) {
    case PlanCheck::Valid: return "Valid";
    case PlanCheck::WrongArity: return "WrongArity";
    case PlanCheck::DispatchMismatch: return "DispatchMismatch";
    case PlanCheck::GeometryMismatch: return "GeometryMismatch";
    case PlanCheck::TileCountMismatch: return "TileCountMismatch";
    case PlanCheck::UnresolvedOutput: return "UnresolvedOutput";
    case PlanCheck::OrderMismatch: return "OrderMismatch";
  }
  return {};
}

std::string dump(ConversionStrategy strategy) {
  switch (strategy) {
    case ConversionStrategy::LocalReorder: return "LocalReorder";
    case ConversionStrategy::PreserveOrder: return "PreserveOrder";
    case ConversionStrategy::ChangeOrder: return "ChangeOrder";
  }
  return {};
}

std::string dump(const OperatorPlan& plan) {
  return RecordDump("OperatorPlan")
      .field("storage", plan.storage)
      .field("dispatch", plan.dispatch)
      .field("operator", plan.operator_)
      .str();
}

}  // namespace vexa_codegen::mid::operators
