#include "vexa_codegen/mid/optimistic/cycle_estimate.hpp"

#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid::optimistic {

std::string dump(const CycleEstimate& estimate) {
  return support::RecordDump("CycleEstimate")
      .field("optimistic", estimate.optimistic)
      .field("conservative", estimate.conservative)
      .str();
}

}  // namespace vexa_codegen::mid::optimistic
