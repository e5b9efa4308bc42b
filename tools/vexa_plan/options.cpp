#include "options.hpp"

#include <charconv>
#include <limits>
#include <vector>

namespace vexa_plan {
namespace {

std::expected<std::uint64_t, std::string> number(std::string_view option, std::string_view text, std::uint64_t minimum,
                                                 std::uint64_t maximum) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < minimum || value > maximum) {
    return std::unexpected(std::string(option) + " takes a whole number from " + std::to_string(minimum) + " to " +
                           std::to_string(maximum) + ", not '" + std::string(text) + "'");
  }
  return value;
}

}  // namespace

std::expected<Options, std::string> parse_options(std::span<const std::string_view> arguments) {
  Options options;
  std::vector<std::string_view> positional;
  bool candidate_given = false;
  bool options_end = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (options_end || argument == "-" || !argument.starts_with("-")) {
      positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      options_end = true;
      continue;
    }
    std::optional<std::string_view> attached;
    if (const auto equals = argument.find('='); argument.starts_with("--") && equals != std::string_view::npos) {
      attached = argument.substr(equals + 1);
      argument = argument.substr(0, equals);
    }
    const bool takes_value =
        argument == "--dot" || argument == "--svg" || argument == "--candidate" || argument == "--threads" ||
        argument == "--trace";
    if (!takes_value && attached) {
      return std::unexpected("option " + std::string(argument) + " takes no value");
    }
    std::string_view value;
    if (takes_value) {
      if (attached) {
        value = *attached;
      } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
      } else {
        return std::unexpected("option " + std::string(argument) + " needs a value");
      }
    }
    if (argument == "-h" || argument == "--help") {
      options.help = true;
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument == "--progress") {
      options.progress = true;
    } else if (argument == "--explain") {
      options.explain = true;
    } else if (argument == "--trace") {
      options.trace_path = std::string(value);
    } else if (argument == "--dot") {
      options.dot_path = std::string(value);
    } else if (argument == "--svg") {
      options.svg_path = std::string(value);
    } else if (argument == "--candidate") {
      const auto index = number(argument, value, 0, std::numeric_limits<std::size_t>::max());
      if (!index) {
        return std::unexpected(index.error());
      }
      options.candidate = static_cast<std::size_t>(*index);
      candidate_given = true;
    } else if (argument == "--threads") {
      const auto threads = number(argument, value, 1, std::numeric_limits<std::uint16_t>::max());
      if (!threads) {
        return std::unexpected(threads.error());
      }
      options.threads = static_cast<std::uint16_t>(*threads);
    } else {
      return std::unexpected("unknown option " + std::string(argument));
    }
  }
  if (options.help) {
    return options;
  }
  if (positional.size() != 1) {
    return std::unexpected(positional.empty() ? std::string("no request file given (use - for standard input)")
                                              : "only one request file can be planned at a time, got " +
                                                    std::to_string(positional.size()));
  }
  options.input = std::string(positional.front());
  if (candidate_given && !options.dot_path && !options.svg_path) {
    return std::unexpected(std::string("--candidate chooses what --dot and --svg render; give one of them"));
  }
  if (options.dot_path && options.svg_path && *options.dot_path == *options.svg_path) {
    return std::unexpected(std::string("--dot and --svg name the same file"));
  }
  if (options.trace_path && (options.trace_path == options.dot_path || options.trace_path == options.svg_path)) {
    return std::unexpected(std::string("--trace names the same file as --dot or --svg"));
  }
  return options;
}

std::string_view help_text() {
  return R"(Usage: vexa-plan [OPTIONS] REQUEST.json
       vexa-plan [OPTIONS] -            (read the request from standard input)

Plans a compute graph for the VEXA21 accelerator. The request is one JSON
document holding the graph, the pipeline configuration, the required output
formats and the search limits (see docs/graph-format.md). By default the
summary of the search report is printed: the counters, the reference's cycles
and the first five candidates.

Options:
  --json            print the whole report as JSON instead of the summary
  --dot FILE        write the Graphviz DOT rendering of a candidate to FILE
  --svg FILE        render that candidate to FILE as SVG with Graphviz's dot
                    program (which must be installed)
  --candidate N     the candidate that --dot and --svg render (default 0, the best)
  --threads N       price candidate plans on at most N worker threads
                    (default: as many as the machine has; the result is the same)
  --progress        report on standard error, as the search runs: its size, every
                    diagnostic event of plan enumeration (the events that
                    distributed matrix-product generation and plan constraints
                    emit) with the time elapsed, and the counters at the end. The
                    library reports no per-operation figures, so none are shown.
  --explain         after the summary, print for every operation the plan the
                    best candidate used and the best plan tried but not used,
                    with its cycles and why it lost, then every assumption among
                    the opportunities with the most cycles it stands in the way of
  --trace FILE      write every decision of the search to FILE, one JSON object
                    a line (see docs/trace-format.md)
  -h, --help        print this help

Files are written whole or not at all (written under a temporary name, then
renamed into place).

Exit status: 0 when the search succeeded and every file was written; 1 when
the search failed or an output file could not be written; 2 for a usage error
or a request that cannot be read (the message names its JSON location).
)";
}

}  // namespace vexa_plan
