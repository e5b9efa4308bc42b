#include "vexa_codegen/support/invariant.hpp"

#include <cstdio>
#include <cstdlib>

namespace vexa_codegen::support {

void invariant_failed(std::string_view message) noexcept {
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace vexa_codegen::support
