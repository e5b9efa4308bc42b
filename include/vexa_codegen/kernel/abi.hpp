// The calling convention of the VEXA21 tile kernels.
//
// For a kernel and what one call requires of its buffers, the ABI table names
// the kernel symbol, the codes of the parameters the call passes and the number
// of inputs. Some entries stand in for kernels that do not exist for the given
// precisions or orders (`placeholder`): the planner may still price such a step
// but must not count it as backed by a kernel. Combinations without any entry
// have no kernel at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vexa_codegen/low/call.hpp"

namespace vexa_codegen::mid::operators {
struct TileKernelSpec;
}  // namespace vexa_codegen::mid::operators

namespace vexa_codegen::kernel::abi {

/// One kernel's calling convention.
struct KernelAbi {
  std::vector<std::uint8_t> parameters;  ///< parameter codes, in call order
  std::optional<std::string> name;       ///< the kernel symbol, when the call goes through one
  std::size_t inputs = 0;
  /// The entry stands in for a kernel that does not exist for these types.
  bool placeholder = false;

  friend bool operator==(const KernelAbi&, const KernelAbi&) = default;
};

/// The convention of calling `kernel` with `requirements`, or nothing when no
/// kernel exists for the combination.
[[nodiscard]] std::optional<KernelAbi> tile_kernel_abi(const mid::operators::TileKernelSpec& kernel,
                                                       const low::call::KernelRequirements& requirements);

[[nodiscard]] std::string dump(const KernelAbi& abi);

}  // namespace vexa_codegen::kernel::abi
