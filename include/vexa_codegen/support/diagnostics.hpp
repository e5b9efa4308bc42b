// Structured diagnostic events.
//
// A few places of the planner report what they decided (how many plans a
// constraint left, how many distributed products were generated and kept) as
// events: a level, a fixed message, the source location that emitted it and
// named fields rendered as text. The host that wants them installs a
// `DiagnosticReceiver` for a search and the planner passes it explicitly to the
// functions that emit; there is no global registry. With no receiver the
// planner builds no event at all, so the fields cost nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::support {

/// How important an event is, most important first. Dump: the bare name.
enum class DiagnosticLevel : std::uint8_t { Error, Warning, Info, Debug, Trace };

/// One named field of an event; the value is the dump of what it reports.
struct DiagnosticField {
  std::string name;
  std::string value;

  friend bool operator==(const DiagnosticField&, const DiagnosticField&) = default;
};

/// One event as a receiver sees it.
struct DiagnosticEvent {
  DiagnosticLevel level = DiagnosticLevel::Info;
  std::string message;
  std::source_location location;
  std::vector<DiagnosticField> fields;

  /// The value of the field called `name`, or nothing when the event has none.
  [[nodiscard]] std::optional<std::string_view> field(std::string_view name) const;
};

/// Takes the events of one search. The planner may emit from worker threads,
/// so an implementation must accept concurrent calls of both members.
class DiagnosticReceiver {
 public:
  DiagnosticReceiver() = default;
  DiagnosticReceiver(const DiagnosticReceiver&) = default;
  DiagnosticReceiver& operator=(const DiagnosticReceiver&) = default;
  virtual ~DiagnosticReceiver();

  /// Whether events of `level` are wanted; an event refused here is not built.
  /// Every level is wanted unless a receiver says otherwise.
  [[nodiscard]] virtual bool accepts(DiagnosticLevel level) const noexcept;
  /// Takes one event.
  virtual void receive(const DiagnosticEvent& event) = 0;
};

/// A field whose value is the dump of `value` (texts quoted, numbers in decimal).
template <class T>
[[nodiscard]] DiagnosticField diagnostic_field(std::string_view name, const T& value) {
  return DiagnosticField{std::string(name), dump_value(value)};
}

/// Hands `receiver` an event with `message` and the fields that `build_fields`
/// returns, stamped with the caller's source location. Without a receiver, or
/// when it refuses `level`, `build_fields` is never called and nothing is built.
template <class BuildFields>
void emit_diagnostic(DiagnosticReceiver* receiver, DiagnosticLevel level, std::string_view message,
                     BuildFields&& build_fields, std::source_location location = std::source_location::current()) {
  if (receiver == nullptr || !receiver->accepts(level)) {
    return;
  }
  receiver->receive(DiagnosticEvent{level, std::string(message), location, std::forward<BuildFields>(build_fields)()});
}

[[nodiscard]] std::string dump(DiagnosticLevel level);

}  // namespace vexa_codegen::support
