#include "vexa_codegen/support/diagnostics.hpp"

#include <algorithm>

namespace vexa_codegen::support {

DiagnosticReceiver::~DiagnosticReceiver() = default;

bool DiagnosticReceiver::accepts(DiagnosticLevel /*level*/) const noexcept { return true; }

std::optional<std::string_view> DiagnosticEvent::field(std::string_view name) const {
  const auto found = std::ranges::find(fields, name, &DiagnosticField::name);
  if (found == fields.end()) {
    return std::nullopt;
  }
  return found->value;
}

std::string dump(DiagnosticLevel level) {
  switch (level) {
    case DiagnosticLevel::Error:
      return "Error";
    case DiagnosticLevel::Warning:
      return "Warning";
    case DiagnosticLevel::Info:
      return "Info";
    case DiagnosticLevel::Debug:
      return "Debug";
    case DiagnosticLevel::Trace:
      return "Trace";
  }
  return "Unknown";
}

}  // namespace vexa_codegen::support
