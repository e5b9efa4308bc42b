// The one stop for broken internal invariants.
//
// Conditions that ordinary input cannot reach (an index a builder never
// produces, a map entry an earlier check guarantees) end the program here with
// a fixed message; everything a caller can cause is a returned error instead.
#pragma once

#include <string_view>

namespace vexa_codegen::support {

/// Prints `message` to standard error and aborts the process.
[[noreturn]] void invariant_failed(std::string_view message) noexcept;

}  // namespace vexa_codegen::support
