#include "vexa_codegen/graph/shape.hpp"

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::graph {

std::string dump(const TensorShape& shape) { return support::positional("TensorShape", shape.dimensions); }

}  // namespace vexa_codegen::graph

std::size_t std::hash<vexa_codegen::graph::TensorShape>::operator()(
    const vexa_codegen::graph::TensorShape& shape) const noexcept {
  return vexa_codegen::support::hash_value(shape.dimensions);
}
