#include "vexa_codegen/low/call.hpp"

#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::low::call {

using mid::operators::TileKernelSpec;

KernelRequirements KernelRequirements::make(const TileKernelSpec& kernel,
                                            std::span<const mid::layout::TensorFormat> inputs,
                                            const mid::layout::TensorFormat& output) {
  const auto* gemm = kernel.get_if<TileKernelSpec::PackedGemm>();
  std::uint32_t alignment = 8;
  if (gemm != nullptr) {
    alignment = 32;
  } else if (kernel.is<TileKernelSpec::Relayout>()) {
    alignment = 2;
  }
  KernelRequirements requirements{.accesses = {}, .output = output, .alignment = alignment, .segment_groups = {}};
  requirements.accesses.reserve(inputs.size());
  for (const auto& format : inputs) {
    requirements.accesses.push_back(KernelAccess{.format = format, .alignment = alignment, .element_bits = 0});
  }
  if (gemm != nullptr && !inputs.empty()) {
    requirements.accesses.front().element_bits =
        static_cast<std::uint32_t>(8 * gemm->multiply.element_bytes());
    requirements.segment_groups.push_back({{0, 1}});
  }
  return requirements;
}

std::string dump(const KernelAccess& access) {
  return support::RecordDump("KernelAccess")
      .field("format", access.format)
      .field("alignment", access.alignment)
      .field("element_bits", access.element_bits)
      .str();
}

std::string dump(const KernelRequirements& requirements) {
  return support::RecordDump("KernelRequirements")
      .field("accesses", requirements.accesses)
      .field("output", requirements.output)
      .field("alignment", requirements.alignment)
      .field("segment_groups", requirements.segment_groups)
      .str();
}

}  // namespace vexa_codegen::low::call
