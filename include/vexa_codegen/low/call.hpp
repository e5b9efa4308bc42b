// What a tile kernel call requires of its buffers.
//
// Before a kernel is called on a tile, every input and the output must sit in
// the format the kernel reads, aligned as it expects. `KernelRequirements`
// records that for one call; the kernel ABI table (`kernel::abi`) reads it to
// pick the kernel symbol and its parameters.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::mid::operators {
struct TileKernelSpec;
}  // namespace vexa_codegen::mid::operators

namespace vexa_codegen::low::call {

/// How a kernel reads one input buffer.
struct KernelAccess {
  mid::layout::TensorFormat format;
  std::uint32_t alignment = 0;     ///< bytes
  std::uint32_t element_bits = 0;  ///< element width the kernel streams; 0 when not fixed

  friend bool operator==(const KernelAccess&, const KernelAccess&) = default;
};

/// What one kernel call requires of its inputs and output.
struct KernelRequirements {
  std::vector<KernelAccess> accesses;  ///< one per input, in input order
  mid::layout::TensorFormat output;
  std::uint32_t alignment = 0;  ///< bytes, for every buffer of the call
  /// Groups of (input, input) pairs whose buffers the kernel reads as segments
  /// of one stream.
  std::vector<std::vector<std::pair<std::uint16_t, std::uint16_t>>> segment_groups;

  /// The requirements of calling `kernel` on inputs of `inputs` formats into an
  /// output of `output` format: 32-byte alignment for packed products, 2 for
  /// relayouts and 8 otherwise. A packed product streams its first input in
  /// elements of its multiply precision, read together with the second input.
  [[nodiscard]] static KernelRequirements make(const mid::operators::TileKernelSpec& kernel,
                                               std::span<const mid::layout::TensorFormat> inputs,
                                               const mid::layout::TensorFormat& output);

  friend bool operator==(const KernelRequirements&, const KernelRequirements&) = default;
};

[[nodiscard]] std::string dump(const KernelAccess& access);
[[nodiscard]] std::string dump(const KernelRequirements& requirements);

}  // namespace vexa_codegen::low::call
