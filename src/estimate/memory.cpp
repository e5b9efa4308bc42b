#include "vexa_codegen/estimate/memory.hpp"

#include "vexa_codegen/estimate/tensor.hpp"

namespace vexa_codegen::estimate::memory {

std::pair<std::uint64_t, std::uint64_t> tensor_memory(const vexa_codegen::mid::layout::TensorType& type) {
  const std::uint64_t bytes = tensor::maximum_shard_bytes(type);
  if (type.format.layout.memory_class == vexa_codegen::mid::layout::MemoryClass::Vexa21Interleaved) {
    return {0, bytes};
  }
  return {bytes, 0};
}

}  // namespace vexa_codegen::estimate::memory
