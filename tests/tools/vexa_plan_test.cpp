// End-to-end tests of vexa-plan: the built program is run as a process on the
// shipped example requests and on malformed ones, and its standard output,
// standard error, exit status and files are checked. Searches take seconds in a
// debug build, so the examples are small and each test runs few searches.
#include <gtest/gtest.h>

#ifndef VEXA_PLAN_PROGRAM

TEST(VexaPlan, NeedsTheTools) { GTEST_SKIP() << "vexa-plan is built with the examples, which are switched off"; }

#else

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

const fs::path graphs = VEXA_PLAN_GRAPHS;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::set<std::string> entries_of(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// A scratch directory of its own for each test, removed afterwards.
class VexaPlan : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "vexa_plan_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    scratch_ = name;
  }
  void TearDown() override { fs::remove_all(scratch_); }

  [[nodiscard]] const fs::path& scratch() const { return scratch_; }

  // Runs `program` with `arguments`, `input` on standard input and, when
  // given, `path` as the search path; standard output and error are captured.
  Outcome run_program(const std::string& program, const std::vector<std::string>& arguments,
                      std::string_view input = {}, std::optional<std::string> path = std::nullopt) {
    const fs::path in = scratch_ / ".stdin";
    const fs::path out = scratch_ / ".stdout";
    const fs::path err = scratch_ / ".stderr";
    write_file(in, input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<std::string> argument_texts{program};
    argument_texts.insert(argument_texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argument_texts) {
      argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (!path || !std::string_view(*entry).starts_with("PATH=")) {
        environment.emplace_back(*entry);
      }
    }
    if (path) {
      environment.push_back("PATH=" + *path);
    }
    std::vector<char*> envp;
    for (auto& text : environment) {
      envp.push_back(text.data());
    }
    envp.push_back(nullptr);

    Outcome outcome;
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << std::strerror(spawned);
    if (spawned != 0) {
      return outcome;
    }
    int status = 0;
    waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = read_file(out);
    outcome.err = read_file(err);
    fs::remove(in);
    fs::remove(out);
    fs::remove(err);
    return outcome;
  }

  Outcome plan(const std::vector<std::string>& arguments, std::string_view input = {},
               std::optional<std::string> path = std::nullopt) {
    return run_program(VEXA_PLAN_PROGRAM, arguments, input, std::move(path));
  }

 private:
  fs::path scratch_;
};

// Whether `text` has the shape of `pattern`, in which `#` stands for one or
// more decimal digits, `*` for any text and every other character for itself.
// (std::regex would do, but draws false warnings from g++ 12 under the sanitizers.)
bool like(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) {
    return text.empty();
  }
  if (pattern.front() == '*') {
    for (std::size_t skip = 0; skip <= text.size(); ++skip) {
      if (like(text.substr(skip), pattern.substr(1))) {
        return true;
      }
    }
    return false;
  }
  if (pattern.front() == '#') {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
      ++digits;
      if (like(text.substr(digits), pattern.substr(1))) {
        return true;
      }
    }
    return false;
  }
  return !text.empty() && text.front() == pattern.front() && like(text.substr(1), pattern.substr(1));
}

// The decimal number that follows `key` in `text`.
std::size_t number_after(std::string_view text, std::string_view key) {
  std::size_t at = text.find(key);
  EXPECT_NE(at, std::string_view::npos) << key << " in " << text;
  std::size_t value = 0;
  for (at = at == std::string_view::npos ? text.size() : at + key.size();
       at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + static_cast<std::size_t>(text[at] - '0');
  }
  return value;
}

// The shape of the summary lines: the counters, the reference's cycles when
// there is a reference, and one line per candidate up to five.
void expect_summary_shape(const std::string& out) {
  const auto lines = lines_of(out);
  ASSERT_FALSE(lines.empty());
  ASSERT_TRUE(like(lines[0], "expanded=# truncated=true candidates=# opportunities=#") ||
              like(lines[0], "expanded=# truncated=false candidates=# opportunities=#"))
      << lines[0];
  const std::size_t candidates = number_after(lines[0], "candidates=");
  const std::size_t opportunities = number_after(lines[0], "opportunities=");
  ASSERT_GE(candidates, 1u);
  std::size_t next = 1;
  const bool has_reference = lines.size() > 1 && lines[1].starts_with("referenceCycles=");
  if (has_reference) {
    EXPECT_TRUE(like(lines[1], "referenceCycles=#")) << lines[1];
    ++next;
  } else {
    EXPECT_EQ(opportunities, 0u) << "opportunities need a reference";
  }
  const std::size_t shown = std::min<std::size_t>(candidates, 5);
  ASSERT_EQ(lines.size(), next + shown) << out;
  for (std::size_t i = 0; i < shown; ++i) {
    const std::string candidate = "candidate=" + std::to_string(i) +
                                  " cycles=CycleEstimate { optimistic: #, conservative: # }"
                                  " memory=MemoryPeaks { standard: #, interleaved: #, total: #,"
                                  " exchange_rows: #, maximum_standard_allocation: # } assumptions={*}";
    EXPECT_TRUE(like(lines[next + i], candidate)) << lines[next + i];
  }
}

// --- The shipped examples ----------------------------------------------------

struct Example {
  const char* file;
  int status;
  const char* message;  // words of standard error for a failed search
};

// demo.json has its own test below (it is compared with the driver).
const Example examples[] = {
    {"encoder_block.json", 0, ""},
    {"slices.json", 0, ""},
    {"f8_constrained.json", 0, ""},
    // No matrix-product plan reads a transposed operand, so this search fails.
    {"transposed_product.json", 1, "search failed: no regional candidates"},
};

void PrintTo(const Example& example, std::ostream* out) { *out << example.file; }

class ExampleRequest : public VexaPlan, public ::testing::WithParamInterface<Example> {};

TEST_P(ExampleRequest, PlansWithItsExpectedOutcome) {
  const Example& example = GetParam();
  const Outcome outcome = plan({(graphs / example.file).string()});
  ASSERT_EQ(outcome.status, example.status) << outcome.err;
  if (example.status == 0) {
    EXPECT_EQ(outcome.err, "");
    expect_summary_shape(outcome.out);
  } else {
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find(example.message), std::string::npos) << outcome.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleRequest, ::testing::ValuesIn(examples),
                         [](const auto& test) {
                           std::string name = test.param.file;
                           name = name.substr(0, name.find('.'));
                           return name;
                         });

TEST_F(VexaPlan, EveryShippedExampleIsExercised) {
  std::set<std::string> exercised{"demo.json"};
  for (const auto& example : examples) {
    exercised.insert(example.file);
  }
  EXPECT_EQ(entries_of(graphs), exercised);
}

TEST_F(VexaPlan, DemonstrationGraphPrintsAndDrawsExactlyWhatTheDriverDoes) {
  const fs::path driver_dot = scratch() / "driver.dot";
  const fs::path plan_dot = scratch() / "plan.dot";
  const Outcome driver = run_program(VEXA_CODEGEN_DEMO_PROGRAM, {driver_dot.string()});
  const Outcome planned = plan({"--dot", plan_dot.string(), (graphs / "demo.json").string()});
  ASSERT_EQ(driver.status, 0) << driver.err;
  ASSERT_EQ(planned.status, 0) << planned.err;
  EXPECT_EQ(planned.out, driver.out);
  EXPECT_EQ(planned.err, "");
  EXPECT_EQ(read_file(plan_dot), read_file(driver_dot));
  // Nothing but the two drawings is left behind (no temporary file).
  EXPECT_EQ(entries_of(scratch()), (std::set<std::string>{"driver.dot", "plan.dot"}));
}

// --- The report as JSON --------------------------------------------------------

// The summary lines rebuilt from the JSON report.
std::string summary_from(const Json& report) {
  std::ostringstream out;
  out << "expanded=" << report["expanded"].get<std::size_t>()
      << " truncated=" << (report["truncated"].get<bool>() ? "true" : "false")
      << " candidates=" << report["candidates"].size() << " opportunities=" << report["opportunities"].size()
      << '\n';
  if (!report["reference"].is_null()) {
    out << "referenceCycles=" << report["reference_cycles"].get<std::uint64_t>() << '\n';
  }
  for (std::size_t i = 0; i < report["candidates"].size() && i < 5; ++i) {
    const Json& candidate = report["candidates"][i];
    const Json& memory = candidate["memory"];
    std::string assumptions;
    for (const auto& assumption : candidate["assumptions"]) {
      assumptions += (assumptions.empty() ? "" : ", ") + assumption.get<std::string>();
    }
    out << "candidate=" << i << " cycles=CycleEstimate { optimistic: " << candidate["cycles"]["optimistic"]
        << ", conservative: " << candidate["cycles"]["conservative"] << " } memory=MemoryPeaks { standard: "
        << memory["standard"] << ", interleaved: " << memory["interleaved"] << ", total: " << memory["total"]
        << ", exchange_rows: " << memory["exchange_rows"]
        << ", maximum_standard_allocation: " << memory["maximum_standard_allocation"] << " } assumptions={"
        << assumptions << "}\n";
  }
  return out.str();
}

TEST_F(VexaPlan, JsonReportHoldsTheSummaryFiguresAndEveryCandidate) {
  const std::string request = (graphs / "slices.json").string();
  const Outcome summary = plan({request});
  const Outcome json = plan({"--json", request});
  ASSERT_EQ(summary.status, 0) << summary.err;
  ASSERT_EQ(json.status, 0) << json.err;
  const Json report = Json::parse(json.out, nullptr, /*allow_exceptions=*/false);
  ASSERT_FALSE(report.is_discarded()) << json.out;
  EXPECT_EQ(summary_from(report), summary.out);

  // The example has a reference and opportunities, so both are exercised.
  ASSERT_FALSE(report["reference"].is_null());
  const Json& reference = report["candidates"][report["reference"].get<std::size_t>()];
  EXPECT_EQ(reference["assumptions"], Json::array());
  EXPECT_EQ(reference["cycles"]["conservative"], report["reference_cycles"]);
  EXPECT_FALSE(report["opportunities"].empty());

  for (const Json& candidate : report["candidates"]) {
    const std::size_t values = candidate["values"].size();
    std::uint64_t optimistic = 0;
    std::set<std::string> assumptions;
    for (const Json& step : candidate["steps"]) {
      EXPECT_TRUE(step["kind"] == "Operator" || step["kind"] == "Transform" || step["kind"] == "Fused") << step;
      for (const auto* list : {&step["inputs"], &step["outputs"]}) {
        for (const Json& index : *list) {
          EXPECT_LT(index.get<std::size_t>(), values) << step;
        }
      }
      optimistic += step["cycles"]["optimistic"].get<std::uint64_t>();
      for (const Json& assumption : step["assumptions"]) {
        assumptions.insert(assumption.get<std::string>());
      }
    }
    // A candidate's figures summarise its steps: the cycle sum and the union
    // of the assumptions (the figures here are far from saturating).
    EXPECT_EQ(candidate["cycles"]["optimistic"].get<std::uint64_t>(), optimistic);
    EXPECT_EQ(candidate["assumptions"].size(), assumptions.size());
    for (const Json& value : candidate["values"]) {
      EXPECT_TRUE(value["name"].is_string()) << value;
    }
  }
}

TEST_F(VexaPlan, ThreadCountLeavesTheReportUnchanged) {
  const std::string request = (graphs / "slices.json").string();
  const Outcome all = plan({request});
  const Outcome one = plan({"--threads", "1", request});
  ASSERT_EQ(all.status, 0) << all.err;
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, all.out);
}

// --- Requests from standard input, and the documented defaults ---------------

constexpr std::string_view minimal = R"~({
  "inputs": [ { "name": "x", "shape": [1, 16, 64] }, { "name": "w", "shape": [64, 64], "parameter": true } ],
  "operations": [ { "kind": "gemm", "name": "y", "left": "x", "right": "w" }, { "kind": "gelu", "name": "z", "x": "y" } ],
  "outputs": [ "z" ],
  "pipeline": { "tiles": 8 }
})~";

// The same request with every default written out as docs/graph-format.md gives it.
constexpr std::string_view spelt_out = R"~({
  "description": "every default written out",
  "inputs": [ { "name": "x", "shape": [1, 16, 64], "parameter": false },
              { "name": "w", "shape": [64, 64], "parameter": true } ],
  "operations": [ { "kind": "gemm", "name": "y", "left": "x", "right": "w", "transpose_left": false, "transpose_right": false },
                  { "kind": "gelu", "name": "z", "x": "y" } ],
  "outputs": [ { "value": "z", "precision": "F16", "layout": "row_sharded(8)" } ],
  "pipeline": { "tiles": 8, "tile_memory_bytes": 586960, "reserved_bytes": 49152, "unary_flattening": 1,
                "gemm_output_grouping": 0, "plan_filter": 0, "attention_variants": 0, "retained_gemm_plans": 64,
                "reserved_settings": [16, 4, 1, 65536, 16384, 0, 3], "spare_switch": 1,
                "input_formats": {}, "automatic_inputs": { "x": "F16", "w": "F16" }, "gemm_constraints": [],
                "catalogue": { "remove": [], "append": [] } },
  "limits": { "max_operations": 2, "beam_width": 16, "max_conversion_steps": 3, "max_conversion_paths": 8,
              "max_expansions": 2048, "max_fused_steps": 4 }
})~";

TEST_F(VexaPlan, MinimalRequestPlansWithTheDocumentedDefaults) {
  const Outcome short_form = plan({"-"}, minimal);
  const Outcome long_form = plan({"-"}, spelt_out);
  ASSERT_EQ(short_form.status, 0) << short_form.err;
  ASSERT_EQ(long_form.status, 0) << long_form.err;
  expect_summary_shape(short_form.out);
  EXPECT_EQ(long_form.out, short_form.out);
}

TEST_F(VexaPlan, FormatDocumentsCompleteExamplePlans) {
  const std::string doc = read_file(VEXA_PLAN_FORMAT_DOC);
  const std::size_t section = doc.find("## A complete example");
  ASSERT_NE(section, std::string::npos);
  const std::size_t start = doc.find("```json\n", section);
  ASSERT_NE(start, std::string::npos);
  const std::size_t end = doc.find("```\n", start + 8);
  ASSERT_NE(end, std::string::npos);
  // The example explains itself in `//` comments, which JSON does not have.
  std::string example;
  for (std::string line : lines_of(doc.substr(start + 8, end - start - 8))) {
    if (const std::size_t comment = line.find("//"); comment != std::string::npos) {
      line.erase(comment);
    }
    example += line + "\n";
  }
  const Outcome outcome = plan({"-"}, example);
  ASSERT_EQ(outcome.status, 0) << outcome.err << example;
  expect_summary_shape(outcome.out);
}

TEST_F(VexaPlan, ProgressReportsTheSearchOnStandardError) {
  const Outcome outcome = plan({"--progress", (graphs / "f8_constrained.json").string()});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const auto lines = lines_of(outcome.err);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(like(lines.front(), "vexa-plan: [#.#s] planning 3 operations on 8 tiles *")) << lines.front();
  // The constraints of the request show up as the library's own events.
  EXPECT_TRUE(std::ranges::any_of(lines, [](const std::string& line) {
    return line.find("applied GEMM plan constraint matching_plans=") != std::string::npos;
  })) << outcome.err;
  ASSERT_TRUE(like(lines.back(), "vexa-plan: [#.#s] search finished: # plans tried, *")) << lines.back();
  const std::size_t tried = number_after(lines.back(), "search finished: ");
  EXPECT_TRUE(outcome.out.starts_with("expanded=" + std::to_string(tried) + " ")) << outcome.out;
  // One line per planned operation, in graph order, the plans tried never
  // decreasing and reaching the search's total.
  std::vector<std::string> planned;
  std::ranges::copy_if(lines, std::back_inserter(planned), [](const std::string& line) {
    return line.find("] planned OperationId(") != std::string::npos;
  });
  ASSERT_EQ(planned.size(), 3u) << outcome.err;
  std::size_t previous = 0;
  for (std::size_t k = 0; k < planned.size(); ++k) {
    EXPECT_TRUE(like(planned[k], "vexa-plan: [#.#s] planned OperationId(" + std::to_string(k) +
                                     "): # states in the beam, # plans tried so far"))
        << planned[k];
    const std::size_t so_far = number_after(planned[k], "states in the beam, ");
    EXPECT_GE(so_far, previous);
    previous = so_far;
  }
  EXPECT_EQ(previous, tried);
}

TEST_F(VexaPlan, ExplainsTheSearchAndWritesItsTrace) {
  const fs::path trace = scratch() / "trace.jsonl";
  const Outcome outcome = plan({"--explain", "--trace", trace.string(), (graphs / "slices.json").string()});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  // The summary comes first, unchanged, then the explanation.
  const Outcome plain = plan({(graphs / "slices.json").string()});
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_TRUE(outcome.out.starts_with(plain.out)) << outcome.out;
  const std::string explanation = outcome.out.substr(plain.out.size());
  EXPECT_NE(explanation.find("OperationId(0): used "), std::string::npos) << explanation;
  EXPECT_NE(explanation.find("what each missing piece is worth:"), std::string::npos) << explanation;

  // One JSON object per line; as many plans tried as the summary counts.
  const std::size_t expanded = number_after(plain.out, "expanded=");
  std::size_t plans_tried = 0;
  for (const std::string& line : lines_of(read_file(trace))) {
    const Json event = Json::parse(line);
    ASSERT_TRUE(event.contains("event")) << line;
    plans_tried += event["event"] == "plan_tried" ? 1 : 0;
  }
  EXPECT_EQ(plans_tried, expanded);
}

// --- Output files ---------------------------------------------------------------

TEST_F(VexaPlan, WritesTheChosenCandidateAsDotAndSvg) {
  const fs::path dot = scratch() / "second.dot";
  const fs::path svg = scratch() / "second.svg";
  const Outcome outcome =
      plan({"--candidate", "1", "--dot", dot.string(), "--svg=" + svg.string(), (graphs / "slices.json").string()});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::string text = read_file(dot);
  EXPECT_TRUE(text.starts_with("digraph optimistic_mid {\n")) << text;
  EXPECT_TRUE(text.ends_with("}\n"));
  EXPECT_NE(read_file(svg).find("<svg"), std::string::npos);
  EXPECT_EQ(entries_of(scratch()), (std::set<std::string>{"second.dot", "second.svg"}));
}

TEST_F(VexaPlan, SaysSoWhenGraphvizIsMissing) {
  const fs::path svg = scratch() / "plan.svg";
  const Outcome outcome = plan({"--svg", svg.string(), (graphs / "slices.json").string()}, {},
                               (scratch() / "no-such-directory").string());
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find("Graphviz is not installed"), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.out, "");
  EXPECT_FALSE(fs::exists(svg));
}

TEST_F(VexaPlan, KeepsAnEarlierFileWhenTheRunFails) {
  const fs::path dot = scratch() / "plan.dot";
  write_file(dot, "earlier drawing\n");
  // A search that fails writes nothing.
  const Outcome failed = plan({"--dot", dot.string(), (graphs / "transposed_product.json").string()});
  EXPECT_EQ(failed.status, 1);
  // A candidate that does not exist is refused before anything is written.
  const Outcome missing = plan({"--dot", dot.string(), "--candidate", "99", (graphs / "slices.json").string()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("--candidate 99: the report has 7 candidates"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(read_file(dot), "earlier drawing\n");
  EXPECT_EQ(entries_of(scratch()), (std::set<std::string>{"plan.dot"}));
}

TEST_F(VexaPlan, RefusesAnUnwritablePathBeforeSearching) {
  const fs::path dot = scratch() / "missing" / "plan.dot";
  const Outcome outcome = plan({"--dot", dot.string(), (graphs / "demo.json").string()});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find("does not exist"), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.out, "");
}

// --- Usage errors ----------------------------------------------------------------

struct Usage {
  std::vector<std::string> arguments;
  int status;
  const char* words;
};

TEST_F(VexaPlan, ReportsUsageErrors) {
  const std::string request = (graphs / "slices.json").string();
  const Usage cases[] = {
      {{}, 2, "no request file given"},
      {{request, request}, 2, "only one request file"},
      {{"--bogus", request}, 2, "unknown option --bogus"},
      {{"--threads", "0", request}, 2, "--threads takes a whole number from 1 to 65535"},
      {{"--threads", "many", request}, 2, "--threads takes a whole number"},
      {{"--json=yes", request}, 2, "option --json takes no value"},
      {{request, "--dot"}, 2, "option --dot needs a value"},
      {{"--candidate", "1", request}, 2, "--candidate chooses what --dot and --svg render"},
      {{(scratch() / "absent.json").string()}, 2, "cannot read"},
  };
  for (const Usage& usage : cases) {
    const Outcome outcome = plan(usage.arguments);
    EXPECT_EQ(outcome.status, usage.status) << usage.words;
    EXPECT_NE(outcome.err.find(usage.words), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out, "") << usage.words;
  }
  const Outcome help = plan({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: vexa-plan")) << help.out;
}

// --- Malformed requests ---------------------------------------------------------

struct Malformed {
  const char* name;
  std::string document;
  int status;
  const char* pointer;  // where the message says the fault is; empty for the whole document
  std::vector<const char*> words;
};

constexpr std::string_view gelu = R"~([{ "kind": "gelu", "name": "y", "x": "x" }])~";

// A small graph (x -> gelu -> y) with `operations`, `outputs`, `pipeline` and
// `rest` (further top-level members) substituted.
std::string request(std::string_view operations = gelu,
                    std::string_view outputs = R"~(["y"])~", std::string_view pipeline = R"~({ "tiles": 8 })~",
                    std::string_view rest = "", std::string_view inputs = R"~([{ "name": "x", "shape": [1, 16, 64] }])~") {
  return std::string(R"~({ "inputs": )~") + std::string(inputs) + R"~(, "operations": )~" + std::string(operations) +
         R"~(, "outputs": )~" + std::string(outputs) + R"~(, "pipeline": )~" + std::string(pipeline) + std::string(rest) +
         " }";
}

std::string with_operation(std::string_view operation, std::string_view inputs,
                           std::string_view pipeline = R"~({ "tiles": 8 })~") {
  return request("[" + std::string(operation) + "]", R"~(["y"])~", pipeline, "", inputs);
}

const std::string weights = R"~([{ "name": "x", "shape": [1, 16, 64] }, { "name": "w", "shape": [32, 64] },
                                 { "name": "v", "shape": [64, 64] }, { "name": "s", "shape": [2, 32] }])~";

std::vector<Malformed> malformed_requests() {
  return {
      // Documents that are not JSON, or not an object.
      {"empty", "", 2, "", {"parse error", "line 1"}},
      {"truncated", R"~({ "operations": [)~", 2, "", {"parse error", "unexpected end of input"}},
      {"array", "[]", 2, "", {"expected an object, found an array"}},
      {"duplicate key", R"~({ "pipeline": { "tiles": 8, "tiles": 9 } })~", 2, "/pipeline/tiles", {"appears twice"}},
      // Unknown and missing fields, wrong types and ranges.
      {"unknown field", request(gelu, R"~(["y"])~", R"~({ "tiles": 8 })~", R"~(, "extra": 1)~"), 2, "/extra",
       {"unknown field \"extra\"", "expected one of"}},
      {"missing pipeline", R"~({ "operations": [], "outputs": [] })~", 2, "", {"missing field \"pipeline\""}},
      {"missing tiles", request(gelu, R"~(["y"])~", "{}"), 2, "/pipeline", {"missing field \"tiles\""}},
      {"tiles as text", request(gelu, R"~(["y"])~", R"~({ "tiles": "8" })~"), 2, "/pipeline/tiles",
       {"expected an integer from 0 to 65535, found the string \"8\""}},
      {"tiles too large", request(gelu, R"~(["y"])~", R"~({ "tiles": 65536 })~"), 2, "/pipeline/tiles",
       {"expected an integer from 0 to 65535, found 65536"}},
      {"setting out of range", request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "unary_flattening": 3 })~"), 2,
       "/pipeline/unary_flattening", {"from 0 to 2"}},
      {"reserved settings too short", request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "reserved_settings": [1, 2] })~"), 2,
       "/pipeline/reserved_settings", {"an array of 7 unsigned integers"}},
      {"negative extent", request(gelu, R"~(["y"])~", R"~({ "tiles": 8 })~", "", R"~([{ "name": "x", "shape": [1, -16, 64] }])~"),
       2, "/inputs/0/shape/1", {"expected an integer"}},
      {"fractional extent", request(gelu, R"~(["y"])~", R"~({ "tiles": 8 })~", "", R"~([{ "name": "x", "shape": [1, 1.5, 64] }])~"),
       2, "/inputs/0/shape/1", {"found the number 1.5"}},
      {"unknown limit", request(gelu, R"~(["y"])~", R"~({ "tiles": 8 })~", R"~(, "limits": { "beam": 4 })~"), 2,
       "/limits/beam", {"unknown field \"beam\""}},
      // Operations and value names.
      {"operation not an object", request("[3]"), 2, "/operations/0", {"expected an object, found 3"}},
      {"unknown kind", request(R"~([{ "kind": "gemmm", "name": "y" }])~"), 2, "/operations/0/kind",
       {"unknown operation kind \"gemmm\"", "gemm, gelu"}},
      {"field of another kind", request(R"~([{ "kind": "gelu", "name": "y", "x": "x", "left": "x" }])~"), 2,
       "/operations/0/left", {"unknown field \"left\""}},
      {"unknown value", request(R"~([{ "kind": "gelu", "name": "y", "x": "z" }])~"), 2, "/operations/0/x",
       {"unknown value \"z\"", "\"x\""}},
      {"value before its definition",
       request(R"~([{ "kind": "gelu", "name": "y", "x": "later" }, { "kind": "gelu", "name": "later", "x": "x" }])~"), 2,
       "/operations/0/x", {"unknown value \"later\""}},
      {"name given twice", request(R"~([{ "kind": "gelu", "name": "x", "x": "x" }])~"), 2, "/operations/0/name",
       {"already given to the value defined at /inputs/0"}},
      {"missing operand", request(R"~([{ "kind": "gelu", "name": "y" }])~"), 2, "/operations/0", {"missing field \"x\""}},
      {"operand as number", request(R"~([{ "kind": "gelu", "name": "y", "x": 0 }])~"), 2, "/operations/0/x",
       {"expected a string, found 0"}},
      // The graph builder's own checks.
      {"empty input name", request(gelu, R"~(["y"])~", R"~({ "tiles": 8 })~", "", R"~([{ "name": "", "shape": [1, 16, 64] }])~"),
       2, "/inputs/0/name", {"graph name must not be empty"}},
      {"inner extents differ", with_operation(R"~({ "kind": "gemm", "name": "y", "left": "x", "right": "w" })~", weights),
       2, "/operations/0", {"operation has invalid shapes: GEMM inner dimensions do not match"}},
      {"slice outside", with_operation(R"~({ "kind": "slice", "name": "y", "x": "x", "axis": 2, "start": 60, "length": 8 })~",
                                       weights),
       2, "/operations/0", {"slice lies outside its input"}},
      {"view factor", with_operation(R"~({ "kind": "view", "name": "y", "x": "x", "split_axis": 1, "merge_axis": 2, "factor": 3 })~",
                                     weights),
       2, "/operations/0", {"view axes, factor, or output dimensions are invalid"}},
      {"scale not a vector",
       with_operation(R"~({ "kind": "layer_norm", "name": "y", "x": "w", "scale": "s", "bias": "s" })~", weights), 2,
       "/operations/0", {"layernorm scale/bias must be last-axis vectors"}},
      {"negative attention scale",
       with_operation(R"~({ "kind": "flash_attention", "name": "y", "query": "x", "key": "x", "value": "x", "scale": -0.5 })~",
                      weights),
       2, "/operations/0", {"attention scale must be finite and positive"}},
      {"attention scale beyond float",
       with_operation(R"~({ "kind": "flash_attention", "name": "y", "query": "x", "key": "x", "value": "x", "scale": 1e300 })~",
                      weights),
       2, "/operations/0", {"attention scale must be finite and positive"}},
      {"attention scale text",
       with_operation(R"~({ "kind": "flash_attention", "name": "y", "query": "x", "key": "x", "value": "x", "scale": "one" })~",
                      weights),
       2, "/operations/0/scale", {"a positive number or \"inverse_sqrt_query_width\""}},
      // Text forms of library values.
      {"unknown precision", request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "automatic_inputs": { "x": "F18" } })~"), 2,
       "/pipeline/automatic_inputs/x", {"unknown precision \"F18\""}},
      {"scale exponent out of range",
       request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "automatic_inputs": { "x": "F8F143 { scale_exponent: 200 }" } })~"), 2,
       "/pipeline/automatic_inputs/x", {"scale_exponent must be an integer from -128 to 127"}},
      {"unknown layout constructor", request(gelu, R"~([{ "value": "y", "layout": "column_sharded(8)" }])~"), 2,
       "/outputs/0/layout", {"unknown layout constructor \"column_sharded\"", "row_sharded"}},
      {"constructor arity", request(gelu, R"~([{ "value": "y", "layout": "row_sharded(8, 2)" }])~"), 2, "/outputs/0/layout",
       {"row_sharded takes 1 argument: row_sharded(tiles)"}},
      {"constructor argument width", request(gelu, R"~([{ "value": "y", "layout": "row_sharded(70000)" }])~"), 2,
       "/outputs/0/layout", {"argument 1 (tiles) of row_sharded must be an integer from 0 to 65535"}},
      {"constructor flag", request(gelu, R"~([{ "value": "y", "layout": "amp_output_grid(64, 8, 8, 1, yes)" }])~"), 2,
       "/outputs/0/layout", {"argument 5 (column_major) of amp_output_grid must be true or false"}},
      {"unclosed call", request(gelu, R"~([{ "value": "y", "layout": "row_sharded(8" }])~"), 2, "/outputs/0/layout",
       {"cannot read \"row_sharded(8\"", "expected ',' or ')'"}},
      {"full tiling field",
       request(gelu, R"~([{ "value": "y", "layout": { "axes": [ { "axis": "Trailing(2)", "part": 8 } ] } }])~"), 2,
       "/outputs/0/layout/axes/0/part", {"unknown field \"part\""}},
      {"full tiling axis", request(gelu, R"~([{ "value": "y", "layout": { "axes": [ { "axis": "Last" } ] } }])~"), 2,
       "/outputs/0/layout/axes/0/axis", {"unknown axis \"Last\""}},
      // Pipeline entries that name values.
      {"fixed and automatic",
       request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "input_formats": { "x": {} }, "automatic_inputs": { "x": "F16" } })~"), 2,
       "/pipeline/automatic_inputs/x", {"either fixed or automatic"}},
      {"format for a result", request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "input_formats": { "y": {} } })~"), 2,
       "/pipeline/input_formats/y", {"\"y\" is not a graph input"}},
      {"constraint on a non-product",
       request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "gemm_constraints": [ { "operation": "y" } ] })~"), 2,
       "/pipeline/gemm_constraints/0/operation", {"names the result of a gemm operation"}},
      {"constraint staging",
       with_operation(R"~({ "kind": "gemm", "name": "y", "left": "x", "right": "v" })~", weights,
                      R"~({ "tiles": 8, "gemm_constraints": [ { "operation": "y", "reduction_staging": "Batched(0)" } ] })~"),
       2, "/pipeline/gemm_constraints/0/reduction_staging", {"the batch count must be an integer from 1 to 65535"}},
      {"remove unknown kind", request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "catalogue": { "remove": ["matmul"] } })~"), 2,
       "/pipeline/catalogue/remove/0", {"unknown operator kind \"matmul\""}},
      {"append another kind",
       request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "catalogue": { "append": [ { "kind": "layer_norm", "multiply": "F16" } ] } })~"),
       2, "/pipeline/catalogue/append/0/kind", {"\"gemm_family\""}},
      // Outputs.
      {"output twice", request(gelu, R"~(["y", "y"])~"), 2, "/outputs/1", {"already an output at /outputs/0"}},
      {"output as number", request(gelu, "[1]"), 2, "/outputs/0", {"expected a value name or an object"}},
      // Failed searches: exit status 1, the library's message, the place concerned.
      {"no operations", request("[]", "[]"), 1, "/operations",
       {"search failed: invalid optimistic search request: empty region or invalid/exceeded search limits"}},
      {"no outputs", request(gelu, "[]"), 1, "/outputs", {"outputs must include every escaping regional result"}},
      {"output format the tiles cannot hold", request(gelu, R"~([{ "value": "y", "layout": "row_sharded(16)" }])~"), 1,
       "/outputs/0", {"invalid output format"}},
      {"automatic input of rank one",
       request(gelu, R"~(["y"])~", R"~({ "tiles": 8 })~", "", R"~([{ "name": "x", "shape": [64] }])~"), 1, "/inputs/0",
       {"invalid input format"}},
      {"fixed input format the tiles cannot hold",
       request(gelu, R"~(["y"])~", R"~({ "tiles": 8, "input_formats": { "x": { "layout": "row_sharded(9)" } } })~"), 1,
       "/pipeline/input_formats/x", {"invalid input format"}},
      {"zero tiles", request(gelu, R"~(["y"])~", R"~({ "tiles": 0 })~"), 1, "/pipeline/tiles", {"search limits"}},
      {"zero beam", request(gelu, R"~(["y"])~", R"~({ "tiles": 8 })~", R"~(, "limits": { "beam_width": 0 })~"), 1, "/limits",
       {"empty region or invalid/exceeded search limits"}},
      {"too many conversion steps", request(gelu, R"~(["y"])~", R"~({ "tiles": 8 })~", R"~(, "limits": { "max_conversion_steps": 9 })~"),
       1, "/limits/max_conversion_steps", {"invalid conversion endpoints or search limits"}},
      {"too few operations allowed", request(gelu, R"~(["y"])~", R"~({ "tiles": 8 })~", R"~(, "limits": { "max_operations": 0 })~"),
       1, "/limits", {"empty region or invalid/exceeded search limits"}},
  };
}

TEST_F(VexaPlan, ReportsEveryMalformedRequestAtItsLocation) {
  for (const Malformed& malformed : malformed_requests()) {
    SCOPED_TRACE(malformed.name);
    const Outcome outcome = plan({"-"}, malformed.document);
    EXPECT_EQ(outcome.status, malformed.status) << outcome.err;
    if (malformed.status == 0) {
      continue;
    }
    EXPECT_EQ(outcome.out, "");
    const std::string place = std::string("vexa-plan: <stdin>") +
                              (*malformed.pointer != '\0' ? std::string(" at ") + malformed.pointer : "") + ": ";
    EXPECT_TRUE(outcome.err.starts_with(place)) << outcome.err;
    for (const char* word : malformed.words) {
      EXPECT_NE(outcome.err.find(word), std::string::npos) << word << " in " << outcome.err;
    }
    EXPECT_EQ(std::ranges::count(outcome.err, '\n'), 1) << outcome.err;
  }
}

TEST_F(VexaPlan, SurvivesDeeplyNestedDocuments) {
  const Outcome arrays = plan({"-"}, std::string(200000, '['));
  EXPECT_EQ(arrays.status, 2);
  EXPECT_NE(arrays.err.find("parse error"), std::string::npos) << arrays.err.substr(0, 200);
  std::string objects;
  for (int i = 0; i < 100000; ++i) {
    objects += R"~({"a":)~";
  }
  objects += "1" + std::string(100000, '}');
  const Outcome nested = plan({"-"}, objects);
  EXPECT_EQ(nested.status, 2);
  EXPECT_TRUE(nested.err.starts_with("vexa-plan: <stdin> at /a: unknown field \"a\"")) << nested.err.substr(0, 200);
}

}  // namespace

#endif
