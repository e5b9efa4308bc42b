// End-to-end tests of the demonstration driver: the built program is run as a
// process in a fresh working directory, and its standard output, standard
// error, exit status and files are checked. Each run plans the whole
// demonstration, which takes seconds in a debug build, so every test runs the
// driver once.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "examples/demonstration.hpp"
#include "vexa_codegen/mid/optimistic/report.hpp"
#include "vexa_codegen/support/dump.hpp"

#ifndef VEXA_CODEGEN_DEMO_PATH
#error "VEXA_CODEGEN_DEMO_PATH must name the built demonstration driver"
#endif

namespace vexa_codegen::examples {
namespace {

namespace fs = std::filesystem;
namespace optimistic = mid::optimistic;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string shell_quoted(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<fs::path> entries_of(const fs::path& directory) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(directory)) {
    entries.push_back(entry.path().filename());
  }
  std::ranges::sort(entries);
  return entries;
}

// One run of the driver in an empty working directory of its own.
class DriverRun {
 public:
  explicit DriverRun(const std::vector<std::string>& arguments) {
    static int runs = 0;
    root_ = fs::temp_directory_path() /
            ("vexa_codegen_demo_test_" + std::to_string(::getpid()) + "_" + std::to_string(runs++));
    fs::remove_all(root_);
    fs::create_directories(working_directory());
    std::string command = "cd " + shell_quoted(working_directory().string()) + " && " +
                          shell_quoted(VEXA_CODEGEN_DEMO_PATH);
    for (const std::string& argument : arguments) {
      command += " " + shell_quoted(argument);
    }
    command += " >" + shell_quoted((root_ / "stdout").string()) + " 2>" + shell_quoted((root_ / "stderr").string());
    const int status = std::system(command.c_str());
    exited_ = WIFEXITED(status);
    exit_status_ = exited_ ? WEXITSTATUS(status) : -1;
    out_ = read_file(root_ / "stdout");
    err_ = read_file(root_ / "stderr");
  }
  ~DriverRun() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  DriverRun(const DriverRun&) = delete;
  DriverRun& operator=(const DriverRun&) = delete;

  [[nodiscard]] fs::path working_directory() const { return root_ / "work"; }
  [[nodiscard]] bool exited() const { return exited_; }
  [[nodiscard]] int exit_status() const { return exit_status_; }
  [[nodiscard]] const std::string& out() const { return out_; }
  [[nodiscard]] const std::string& err() const { return err_; }

 private:
  fs::path root_;
  bool exited_ = false;
  int exit_status_ = -1;
  std::string out_;
  std::string err_;
};

// Checks that `out` is a whole summary: the counters line, the reference line
// when there is a reference, and one line per candidate up to five.
void expect_summary(const std::string& out) {
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), '\n');
  const std::vector<std::string> lines = lines_of(out);
  ASSERT_FALSE(lines.empty());

  const std::string number = "(0|[1-9][0-9]*)";
  const std::regex counters("expanded=" + number + " truncated=(true|false) candidates=" + number +
                            " opportunities=" + number);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match, counters)) << lines[0];
  const std::size_t expanded = std::stoul(match[1]);
  const std::size_t candidates = std::stoul(match[3]);
  const std::size_t opportunities = std::stoul(match[4]);
  EXPECT_LE(expanded, demonstration_limits.max_expansions);
  EXPECT_GE(candidates, 1u);
  EXPECT_LE(opportunities, candidates);

  std::size_t next = 1;
  const std::regex reference("referenceCycles=" + number);
  if (next < lines.size() && std::regex_match(lines[next], reference)) {
    ++next;
  } else {
    EXPECT_EQ(opportunities, 0u) << "opportunities without a reference";
  }

  const std::string assumption =
      R"((MissingKernel\("(?:[^"\\]|\\.)*"\)|MissingEquivalenceRule|ConversionEligibility|MissingCostModel))";
  const std::regex candidate_line(
      "candidate=" + number + " cycles=CycleEstimate \\{ optimistic: " + number + ", conservative: " + number +
      " \\} memory=MemoryPeaks \\{ standard: " + number + ", interleaved: " + number + ", total: " + number +
      ", exchange_rows: " + number + ", maximum_standard_allocation: " + number + " \\} assumptions=\\{(?:" +
      assumption + "(?:, " + assumption + ")*)?\\}");
  const std::size_t shown = std::min<std::size_t>(candidates, 5);
  ASSERT_EQ(lines.size(), next + shown) << out;
  for (std::size_t i = 0; i < shown; ++i) {
    const std::string& line = lines[next + i];
    ASSERT_TRUE(std::regex_match(line, match, candidate_line)) << line;
    EXPECT_EQ(std::stoul(match[1]), i);
  }
}

TEST(DemoDriver, WithoutArgumentsPrintsTheSummaryAndWritesNoFile) {
  const DriverRun run({});
  ASSERT_TRUE(run.exited());
  EXPECT_EQ(run.exit_status(), 0);
  EXPECT_EQ(run.err(), "");
  expect_summary(run.out());
  EXPECT_TRUE(entries_of(run.working_directory()).empty());
}

TEST(DemoDriver, FirstArgumentNamesTheDotFileAndTheOutputIsTheLibrarysReport) {
  // The path is taken as it stands, blank included; later arguments are ignored.
  const DriverRun run({"best plan.dot", "second.dot", "--help"});
  ASSERT_TRUE(run.exited());
  EXPECT_EQ(run.exit_status(), 0);
  EXPECT_EQ(run.err(), "");
  expect_summary(run.out());
  ASSERT_EQ(entries_of(run.working_directory()), std::vector<fs::path>{"best plan.dot"});

  const std::string dot = read_file(run.working_directory() / "best plan.dot");
  EXPECT_TRUE(dot.starts_with(
      "digraph optimistic_mid {\n"
      "  rankdir=TB; nodesep=0.2; ranksep=0.35;\n"
      "  node [fontname=monospace,fontsize=11];\n"))
      << dot;
  EXPECT_TRUE(dot.ends_with("\n}\n")) << dot;

  // The same search in this process, on one thread, gives the same summary
  // and the same rendering of the best candidate.
  const auto report = plan_demonstration(1);
  ASSERT_TRUE(report.has_value()) << dump(report.error());
  std::string expected = "expanded=" + std::to_string(report->expanded) +
                         " truncated=" + (report->truncated ? "true" : "false") +
                         " candidates=" + std::to_string(report->candidates.size()) +
                         " opportunities=" + std::to_string(optimistic::report::opportunities(*report).size()) + "\n";
  if (const auto* reference = optimistic::report::reference(*report)) {
    expected += "referenceCycles=" + std::to_string(reference->cycles.conservative) + "\n";
  }
  for (std::size_t i = 0; i < report->candidates.size() && i < 5; ++i) {
    const auto& candidate = report->candidates[i];
    expected += "candidate=" + std::to_string(i) + " cycles=" + dump(candidate.cycles) +
                " memory=" + dump(candidate.memory) +
                " assumptions=" + support::dump_value(candidate.assumptions) + "\n";
  }
  EXPECT_EQ(run.out(), expected);
  EXPECT_EQ(dot, optimistic::report::to_dot(report->candidates.front()));
}

TEST(DemoDriver, UnwritablePathFailsAfterTheSummary) {
  const std::string path = "missing/directory/plan.dot";
  const DriverRun run({path});
  ASSERT_TRUE(run.exited());
  EXPECT_EQ(run.exit_status(), 1);
  expect_summary(run.out());
  ASSERT_TRUE(run.err().starts_with("Error: ")) << run.err();
  EXPECT_EQ(lines_of(run.err()).size(), 1u) << run.err();
  EXPECT_TRUE(run.err().ends_with("\n"));
  EXPECT_NE(run.err().find(support::quote(path)), std::string::npos) << "the error names the path: " << run.err();
  EXPECT_TRUE(entries_of(run.working_directory()).empty());
}

}  // namespace
}  // namespace vexa_codegen::examples
