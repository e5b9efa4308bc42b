// vexa-plan: plans a compute graph described in a JSON document and prints the
// search report's summary (or the whole report as JSON), optionally writing
// the Graphviz rendering of one candidate.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "explain_output.hpp"
#include "files.hpp"
#include "json_input.hpp"
#include "options.hpp"
#include "report_output.hpp"
#include "request.hpp"

namespace {

using namespace vexa_plan;
namespace support = vexa_codegen::support;

constexpr int failed = 1;  // the search failed, or an output file could not be written
constexpr int bad_input = 2;  // a usage error or a request that cannot be read

int complain(std::string_view message, int status) {
  std::cerr << "vexa-plan: " << message << '\n';
  return status;
}

// "<source>: message" for the whole document, "<source> at <pointer>: message"
// for a part of it.
std::string located(std::string_view source, std::string_view pointer, std::string_view message) {
  std::string text(source);
  if (!pointer.empty()) {
    text += " at ";
    text += pointer;
  }
  return text + ": " + std::string(message);
}

std::expected<std::string, std::string> read_input(const std::string& path) {
  std::ostringstream text;
  if (path == "-") {
    text << std::cin.rdbuf();
    if (std::cin.bad()) {
      return std::unexpected(std::string("cannot read standard input"));
    }
    return text.str();
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::unexpected("cannot read " + path + ": " + std::strerror(errno));
  }
  text << file.rdbuf();
  if (file.bad()) {
    return std::unexpected("cannot read " + path);
  }
  return text.str();
}

// Prints the search's diagnostic events on standard error as they arrive,
// each with the time since the search started. Events may come from the
// worker threads that price plans, so lines are written under a lock.
/// --progress: one line per planned operation (its beam and the plans tried so
/// far, taken from the search's decision trace), the diagnostic events of plan
/// enumeration, and the start and end of the search, each with the elapsed time.
class ProgressReport final : public support::DiagnosticReceiver, public optimistic::trace::SearchObserver {
 public:
  ProgressReport() : start_(std::chrono::steady_clock::now()) {}

  void receive(const support::DiagnosticEvent& event) override {
    std::string text = event.message;
    for (const auto& field : event.fields) {
      text += " " + field.name + "=" + field.value;
    }
    line(text);
  }

  void observe(const optimistic::trace::Event& event) override {
    namespace trace = optimistic::trace;
    if (const auto* tried = event.get_if<trace::PlanTried>()) {
      ++plans_tried_;
      operation_ = tried->id;
    } else if (const auto* exhausted = event.get_if<trace::BudgetExhausted>()) {
      operation_ = exhausted->id;
    } else if (const auto* pruned = event.get_if<trace::Pruned>(); pruned && pruned->site == trace::PruneSite::Operation) {
      ++operations_done_;
      const std::string operation = operation_ ? graph::dump(*operation_) : "operation " + std::to_string(operations_done_);
      line("planned " + operation + ": " + std::to_string(pruned->states_out) + " states in the beam, " +
           std::to_string(plans_tried_) + " plans tried so far");
      operation_.reset();
    }
  }

  void line(std::string_view text) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
    std::ostringstream out;
    out << "vexa-plan: [" << std::fixed << std::setprecision(1) << elapsed.count() << "s] " << text << '\n';
    const std::lock_guard lock(mutex_);
    std::cerr << out.str() << std::flush;
  }

 private:
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::size_t plans_tried_ = 0;
  std::size_t operations_done_ = 0;
  std::optional<graph::OperationId> operation_;
};

int run(const Options& options) {
  std::optional<std::string> dot_program;
  if (options.svg_path) {
    dot_program = find_program("dot");
    if (!dot_program) {
      return complain("cannot write " + *options.svg_path +
                          ": Graphviz is not installed (no 'dot' program on the search path); install graphviz, "
                          "or write the DOT text with --dot and render it elsewhere",
                      bad_input);
    }
  }
  for (const auto* path : {&options.dot_path, &options.svg_path, &options.trace_path}) {
    if (*path) {
      if (auto writable = check_writable(**path); !writable) {
        return complain("cannot write " + **path + ": " + writable.error(), bad_input);
      }
    }
  }

  const std::string source = options.input == "-" ? "<stdin>" : options.input;
  const auto text = read_input(options.input);
  if (!text) {
    return complain(text.error(), bad_input);
  }
  const auto document = parse_document(*text);
  if (!document) {
    return complain(located(source, document.error().pointer, document.error().message), bad_input);
  }
  const auto request = read_request(*document);
  if (!request) {
    return complain(located(source, request.error().pointer, request.error().message), bad_input);
  }

  std::optional<ProgressReport> progress;
  optimistic::search::SearchOptions search_options;
  search_options.threads = options.threads;
  if (options.progress) {
    progress.emplace();
    search_options.diagnostics = &*progress;
    progress->line("planning " + std::to_string(request->graph.operations().size()) + " operations on " +
                   std::to_string(request->config.tiles) + " tiles (beam width " +
                   std::to_string(request->limits.beam_width) + ", at most " +
                   std::to_string(request->limits.max_expansions) + " plans)");
  }
  optimistic::trace::Recorder recorder;
  optimistic::trace::Explanation explanation;
  FanOut observers;
  if (options.trace_path) {
    observers.add(recorder);
  }
  if (options.explain) {
    observers.add(explanation);
  }
  if (progress) {
    observers.add(*progress);
  }
  if (!observers.empty()) {
    search_options.observer = &observers;
  }
  const auto report = optimistic::search::plan_graph(request->graph, request->config, request->outputs,
                                                     request->limits, search_options);
  if (options.trace_path) {
    // Written whether the search succeeded or not: a trace shows why it failed.
    if (auto written = write_atomically(*options.trace_path, trace_lines(recorder.events())); !written) {
      return complain("cannot write " + *options.trace_path + ": " + written.error(), failed);
    }
  }
  if (!report) {
    if (progress) {
      progress->line("search failed");
    }
    return complain(located(source, locate(report.error(), *request),
                            "search failed: " + optimistic::message(report.error())),
                    failed);
  }
  if (progress) {
    progress->line("search finished: " + std::to_string(report->expanded) + " plans tried, " +
                   std::to_string(report->memory_rejections) + " memory rejections, " +
                   std::to_string(report->implementation_rejections) + " implementation rejections, " +
                   std::to_string(report->candidates.size()) + " candidates");
  }
  if ((options.dot_path || options.svg_path) && options.candidate >= report->candidates.size()) {
    return complain("--candidate " + std::to_string(options.candidate) + ": the report has " +
                        std::to_string(report->candidates.size()) + " candidates, numbered from 0",
                    bad_input);
  }

  if (options.json) {
    // Every text in the report is valid UTF-8 (request names were checked when
    // parsed, library dumps escape or replace what is not), but a replacement
    // character is still better than an exception should one slip through.
    std::cout << report_json(*report, request->places).dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
  } else {
    std::cout << summary(*report);
  }
  if (options.explain) {
    std::cout << explanation_text(explanation, *report);
  }
  std::cout.flush();

  if (options.dot_path || options.svg_path) {
    const std::string dot = optimistic::report::to_dot(report->candidates[options.candidate]);
    if (options.dot_path) {
      if (auto written = write_atomically(*options.dot_path, dot); !written) {
        return complain("cannot write " + *options.dot_path + ": " + written.error(), failed);
      }
    }
    if (options.svg_path) {
      if (auto rendered = render_svg(*dot_program, dot, *options.svg_path); !rendered) {
        return complain("cannot write " + *options.svg_path + ": " + rendered.error(), failed);
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + std::min(argc, 1), argv + argc);
  const auto options = parse_options(arguments);
  if (!options) {
    std::cerr << "vexa-plan: " << options.error() << "\nTry 'vexa-plan --help' for more information.\n";
    return bad_input;
  }
  if (options->help) {
    std::cout << help_text();
    return 0;
  }
  return run(*options);
}
