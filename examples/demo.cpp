// Demonstration driver: plans a layer normalisation feeding two matrix products
// on a 64-tile VEXA21 pipeline restricted to 8-bit matrix-product plans, prints
// a summary of the search report, and writes the DOT rendering of the best
// candidate to the path given as the first argument (if any).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <expected>
#include <iostream>
#include <map>
#include <string>
#include <string_view>

#include "vexa_codegen/vexa_codegen.hpp"

namespace {

using namespace vexa_codegen;
namespace layout = mid::layout;
namespace optimistic = mid::optimistic;

// A failed write of the DOT file. Dump: `FileError { path: "...", reason: "..." }`.
struct FileError {
  std::string path;
  std::string reason;
};

std::string dump(const FileError& error) {
  return support::RecordDump("FileError").field("path", error.path).field("reason", error.reason).str();
}

template <class Error>
int fail(const Error& error) {
  std::cerr << "Error: " << dump(error) << '\n';
  return 1;
}

std::expected<void, FileError> write_file(const char* path, std::string_view text) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    return std::unexpected(FileError{path, std::strerror(errno)});
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int saved = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    return std::unexpected(FileError{path, std::strerror(written ? errno : saved)});
  }
  return {};
}

struct DemoGraph {
  graph::ComputeGraph graph;
  graph::ValueId first;
  graph::ValueId second;
};

std::expected<DemoGraph, graph::GraphError> build_graph() {
  DemoGraph demo;
  auto& g = demo.graph;
  const auto x = g.input("x", false, graph::TensorShape{{1, 8, 128}});
  if (!x) return std::unexpected(x.error());
  const auto scale = g.input("scale", true, graph::TensorShape{{1, 1, 128}});
  if (!scale) return std::unexpected(scale.error());
  const auto bias = g.input("bias", true, graph::TensorShape{{1, 1, 128}});
  if (!bias) return std::unexpected(bias.error());
  const auto normalised = g.layer_norm(*x, *scale, *bias);
  if (!normalised) return std::unexpected(normalised.error());
  const auto w0 = g.parameter("w0", {128, 128});
  if (!w0) return std::unexpected(w0.error());
  const auto w1 = g.parameter("w1", {128, 128});
  if (!w1) return std::unexpected(w1.error());
  const auto first = g.gemm(*normalised, *w0);
  if (!first) return std::unexpected(first.error());
  const auto second = g.gemm(*normalised, *w1);
  if (!second) return std::unexpected(second.error());
  if (const auto set = g.set_outputs({*first, *second}); !set) return std::unexpected(set.error());
  demo.first = *first;
  demo.second = *second;
  return demo;
}

mid::PipelineConfig configure(const graph::ComputeGraph& graph) {
  auto config = mid::PipelineConfig::make(64);
  for (const auto& input : graph.inputs()) {
    config = std::move(config).with_automatic_input(input.value, layout::Precision::f16());
  }
  using mid::catalogue::OperatorCandidate;
  std::erase_if(config.operator_candidates, [](const OperatorCandidate& candidate) {
    if (candidate.is<OperatorCandidate::GemmFamily>()) {
      return true;
    }
    const auto& plan = std::get<OperatorCandidate::Concrete>(candidate.value).candidate.plan;
    return plan.operator_.is<mid::operators::MidOperator::Gemm>();
  });
  config.operator_candidates.push_back(OperatorCandidate::gemm_family(
      {graph::GemmOptions{false, false}, layout::Precision::f8f143(-4), mid::operators::AccumulationPrecision::F16, 64}));
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  auto demo = build_graph();
  if (!demo) {
    return fail(demo.error());
  }
  const auto config = configure(demo->graph);
  const layout::TensorFormat output_format{layout::Precision::f16(), layout::Layout::row_sharded(64)};
  const std::map<graph::ValueId, layout::TensorFormat> outputs{{demo->first, output_format},
                                                               {demo->second, output_format}};
  const optimistic::SearchLimits limits{8, 16, 3, 8, 2048, 4};

  const auto report = optimistic::search::plan_graph(demo->graph, config, outputs, limits);
  if (!report) {
    return fail(report.error());
  }

  std::cout << "expanded=" << report->expanded << " truncated=" << (report->truncated ? "true" : "false")
            << " candidates=" << report->candidates.size()
            << " opportunities=" << optimistic::report::opportunities(*report).size() << '\n';
  if (const auto* reference = optimistic::report::reference(*report)) {
    std::cout << "referenceCycles=" << reference->cycles.conservative << '\n';
  }
  for (std::size_t i = 0; i < report->candidates.size() && i < 5; ++i) {
    const auto& candidate = report->candidates[i];
    std::cout << "candidate=" << i << " cycles=" << dump(candidate.cycles) << " memory=" << dump(candidate.memory)
              << " assumptions=" << support::dump_value(candidate.assumptions) << '\n';
  }
  std::cout.flush();

  if (argc > 1) {
    if (const auto written = write_file(argv[1], optimistic::report::to_dot(report->candidates.front())); !written) {
      return fail(written.error());
    }
  }
  return 0;
}
