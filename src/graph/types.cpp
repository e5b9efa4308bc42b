#include "vexa_codegen/graph/types.hpp"

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::graph {

std::string dump(const ValueId& id) { return support::positional("ValueId", id.number); }
std::string dump(const OperationId& id) { return support::positional("OperationId", id.number); }
std::string dump(const ValueSequenceId& id) { return support::positional("ValueSequenceId", id.number); }
std::string dump(const TensorShape& shape) { return support::positional("TensorShape", shape.dimensions); }

}  // namespace vexa_codegen::graph

std::size_t std::hash<vexa_codegen::graph::TensorShape>::operator()(
    const vexa_codegen::graph::TensorShape& shape) const noexcept {
  return vexa_codegen::support::hash_value(shape.dimensions);
}
