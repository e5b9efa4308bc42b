#include "vexa_codegen/estimate/memory_peaks.hpp"

#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::estimate::memory {

std::string dump(const MemoryPeaks& peaks) {
  return support::RecordDump("MemoryPeaks")
      .field("standard", peaks.standard)
      .field("interleaved", peaks.interleaved)
      .field("total", peaks.total)
      .field("exchange_rows", peaks.exchange_rows)
      .field("maximum_standard_allocation", peaks.maximum_standard_allocation)
      .str();
}

}  // namespace vexa_codegen::estimate::memory
