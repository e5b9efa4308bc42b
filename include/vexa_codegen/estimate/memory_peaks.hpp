// The per-tile memory figures of a program or a search candidate.
//
// Part of the `estimate::memory` module; kept in its own header because
// programs, the analysis and the search all carry it.
#pragma once

#include <cstdint>
#include <string>

namespace vexa_codegen::estimate::memory {

/// Per-tile byte figures. Dump:
/// `MemoryPeaks { standard: 1, interleaved: 2, total: 3, exchange_rows: 4, maximum_standard_allocation: 5 }`.
struct MemoryPeaks {
  std::uint64_t standard = 0;                     ///< peak live standard bytes, plus `exchange_rows`
  std::uint64_t interleaved = 0;                  ///< peak live interleaved bytes
  std::uint64_t total = 0;                        ///< peak of standard + interleaved, plus `exchange_rows`
  std::uint64_t exchange_rows = 0;                ///< exchange rows summed over all steps
  std::uint64_t maximum_standard_allocation = 0;  ///< largest single standard buffer or scratch area

  friend bool operator==(const MemoryPeaks&, const MemoryPeaks&) = default;
};

[[nodiscard]] std::string dump(const MemoryPeaks& peaks);

}  // namespace vexa_codegen::estimate::memory
