// The pair of cycle figures in which every price of the planner is expressed.
//
// This small header belongs to the optimistic search's namespace but depends on
// nothing, so that programs, the analysis and the search share one record.
#pragma once

#include <cstdint>
#include <string>

#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::optimistic {

/// An optimistic and a conservative cycle figure. For an analysed program both
/// come from the analysis; on search steps and candidates `optimistic` holds if
/// every recorded assumption holds and `conservative` if none does.
/// Dump: `CycleEstimate { optimistic: 10, conservative: 12 }`.
struct CycleEstimate {
  std::uint64_t optimistic = 0;
  std::uint64_t conservative = 0;

  /// Adds both figures separately, each saturating.
  constexpr CycleEstimate& operator+=(const CycleEstimate& other) noexcept {
    optimistic = support::sat_add(optimistic, other.optimistic);
    conservative = support::sat_add(conservative, other.conservative);
    return *this;
  }
  [[nodiscard]] friend constexpr CycleEstimate operator+(CycleEstimate left, const CycleEstimate& right) noexcept {
    left += right;
    return left;
  }

  friend bool operator==(const CycleEstimate&, const CycleEstimate&) = default;
};

[[nodiscard]] std::string dump(const CycleEstimate& estimate);

}  // namespace vexa_codegen::mid::optimistic
