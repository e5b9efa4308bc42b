#include "vexa_codegen/estimate/tensor.hpp"

#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::estimate::tensor {

std::uint64_t maximum_shard_bytes(const vexa_codegen::mid::layout::TensorType& type) {
  const auto sizes = vexa_codegen::mid::resolved::shard_sizes(type.format.layout, type.shape);
  if (!sizes) {
    return support::saturated;
  }
  return support::sat_mul(sizes->maximum_tile_elements, type.format.precision.element_bytes());
}

}  // namespace vexa_codegen::estimate::tensor
