// The command line of vexa-plan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vexa_plan {

struct Options {
  std::string input;                    ///< the request's path, or "-" for standard input
  bool json = false;                    ///< print the whole report as JSON instead of the summary
  std::optional<std::string> dot_path;  ///< write the chosen candidate's DOT text here
  std::optional<std::string> svg_path;  ///< render the chosen candidate to SVG here
  std::size_t candidate = 0;            ///< the candidate that --dot and --svg render
  std::uint16_t threads = 0;            ///< worker threads; 0 lets the pool use the machine
  bool progress = false;                ///< report the search's progress on standard error
  bool explain = false;                 ///< print "why not" per operation and what each assumption is worth
  std::optional<std::string> trace_path;  ///< write the search's decision trace here as JSON lines
  bool help = false;
};

/// The options of `arguments` (the program name excluded), or what is wrong
/// with them.
[[nodiscard]] std::expected<Options, std::string> parse_options(std::span<const std::string_view> arguments);

/// The text printed by --help.
[[nodiscard]] std::string_view help_text();

}  // namespace vexa_plan
