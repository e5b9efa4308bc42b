// Field-order hashes of plans and their parts (they key the cost-model caches).
#include "vexa_codegen/mid/operators.hpp"

#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::mid::operators {
namespace {

using support::hash_fields;

// The hash of one alternative's payload, fields in declaration order.
template <class Unit>
  requires std::is_empty_v<Unit>
std::size_t payload_hash(const Unit&) {
  return 0;
}
std::size_t payload_hash(const ReductionStaging::Batched& b) { return hash_fields(b.count); }
std::size_t payload_hash(const MidOperator::Gemm& g) { return hash_fields(g.options, g.multiply, g.accumulate); }
std::size_t payload_hash(const MidOperator::View& v) { return hash_fields(v.view); }
std::size_t payload_hash(const MidOperator::Slice& s) { return hash_fields(s.slice); }
std::size_t payload_hash(const MidOperator::FlashAttention& f) { return hash_fields(f.options, f.accumulate); }
std::size_t payload_hash(const TileKernelSpec::FillZero& k) { return hash_fields(k.first, k.second, k.third); }
std::size_t payload_hash(const TileKernelSpec::PackedGemm& k) {
  return hash_fields(k.inner_chunk, k.output_column_block, k.multiply, k.accumulate, k.add_to_output, k.reserved);
}
std::size_t payload_hash(const TileKernelSpec::LayerNormApply& k) { return hash_fields(k.partials); }
std::size_t payload_hash(const TileKernelSpec::ReduceSum& k) { return hash_fields(k.partials); }
std::size_t payload_hash(const TileKernelSpec::Attention& k) { return hash_fields(k.scale, k.causal, k.accumulate); }
std::size_t payload_hash(const TileKernelSpec::AttentionStatistics& k) {
  return hash_fields(k.head_width, k.length, k.block);
}
std::size_t payload_hash(const TileKernelSpec::AttentionOutput& k) {
  return hash_fields(k.output_parameter, k.value_parameter, k.block, k.first_block, k.last_block);
}
std::size_t payload_hash(const TileKernelSpec::Cast& k) { return hash_fields(k.from, k.to); }
std::size_t payload_hash(const TileKernelSpec::Relayout& k) { return hash_fields(k.from, k.to); }
std::size_t payload_hash(const OperatorDispatch::LayerNorm& d) { return hash_fields(d.partials); }
std::size_t payload_hash(const OperatorDispatch::TileKernel& d) { return hash_fields(d.kernel); }
std::size_t payload_hash(const OperatorDispatch::Gemm& d) {
  return hash_fields(d.inner_chunk, d.output_column_block, d.distribution, d.orientation);
}
std::size_t payload_hash(const OperatorDispatch::FlashAttention& d) {
  return hash_fields(d.score_grid, d.value_grid, d.block, d.output_parameter, d.value_parameter, d.unaligned_block);
}
std::size_t payload_hash(const MemoryOperand::Input& i) { return hash_fields(i.index); }

template <class Variant>
std::size_t variant_hash(const Variant& variant) {
  return support::hash_variant(variant, [](const auto& payload) { return payload_hash(payload); });
}

}  // namespace
}  // namespace vexa_codegen::mid::operators

namespace operators = vexa_codegen::mid::operators;
using vexa_codegen::support::hash_fields;

std::size_t std::hash<operators::ReductionStaging>::operator()(const operators::ReductionStaging& v) const noexcept {
  return operators::variant_hash(v.value);
}
std::size_t std::hash<operators::MidOperator>::operator()(const operators::MidOperator& v) const noexcept {
  return operators::variant_hash(v.value);
}
std::size_t std::hash<operators::GemmDistribution>::operator()(const operators::GemmDistribution& v) const noexcept {
  return hash_fields(v.reduction_staging, v.row_partitions, v.column_partitions, v.inner_partitions,
                     v.result_row_partitions, v.result_column_partitions);
}
std::size_t std::hash<operators::ProductGrid>::operator()(const operators::ProductGrid& v) const noexcept {
  return hash_fields(v.row_partitions, v.column_partitions, v.inner_partitions);
}
std::size_t std::hash<operators::TileKernelSpec>::operator()(const operators::TileKernelSpec& v) const noexcept {
  return operators::variant_hash(v.value);
}
std::size_t std::hash<operators::OperatorDispatch>::operator()(const operators::OperatorDispatch& v) const noexcept {
  return operators::variant_hash(v.value);
}
std::size_t std::hash<operators::MemoryOperand>::operator()(const operators::MemoryOperand& v) const noexcept {
  return operators::variant_hash(v.value);
}
std::size_t std::hash<operators::OperandRequirement>::operator()(
    const operators::OperandRequirement& v) const noexcept {
  return hash_fields(v.format, v.alignment, v.stream_panel, v.staging, v.streamed);
}
std::size_t std::hash<operators::StorageRequirements>::operator()(
    const operators::StorageRequirements& v) const noexcept {
  return hash_fields(v.operands, v.output, v.shared_memory, v.output_aliases);
}
std::size_t std::hash<operators::OperatorPlan>::operator()(const operators::OperatorPlan& v) const noexcept {
  return hash_fields(v.storage, v.dispatch, v.operator_);
}
