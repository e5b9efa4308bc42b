// A planning request read from its JSON document: the compute graph, the
// pipeline configuration, the required output formats and the search limits,
// together with where in the document each part was written, so that a
// failed search can be reported at the place it concerns.
//
// The document format is described in docs/graph-format.md.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <string>

#include "json_input.hpp"
#include "vexa_codegen/vexa_codegen.hpp"

namespace vexa_plan {

namespace graph = vexa_codegen::graph;
namespace mid = vexa_codegen::mid;
namespace layout = vexa_codegen::mid::layout;
namespace operators = vexa_codegen::mid::operators;
namespace optimistic = vexa_codegen::mid::optimistic;

/// JSON pointers of the entries that define the parts of a request.
struct Places {
  std::map<graph::ValueId, std::string> names;             ///< the name of every value
  std::map<graph::ValueId, std::string> values;            ///< the entry that defines each value
  std::map<std::uint32_t, std::string> operations;         ///< the entry of each operation, by number
  std::map<graph::ValueId, std::string> outputs;           ///< the entry of each output
  std::map<graph::ValueId, std::string> input_formats;     ///< each fixed input format
  std::map<graph::ValueId, std::string> automatic_inputs;  ///< each automatic precision written out
};

/// Everything a search needs, read from one document.
struct PlanRequest {
  graph::ComputeGraph graph;
  mid::PipelineConfig config;
  std::map<graph::ValueId, layout::TensorFormat> outputs;
  optimistic::SearchLimits limits;
  Places places;
};

/// Reads a request from its document, checking every field: unknown fields,
/// wrong types, out-of-range numbers, unknown value names and the graph
/// builder's own shape checks are reported at their JSON pointer.
[[nodiscard]] std::expected<PlanRequest, InputError> read_request(const Json& document);

/// The JSON pointer of the part of the request that a failed search
/// concerns, or the empty pointer (the whole document) when no part can be named.
[[nodiscard]] std::string locate(const optimistic::SearchError& error, const PlanRequest& request);

}  // namespace vexa_plan
