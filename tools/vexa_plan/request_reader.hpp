// The reader of a request document, shared by the translation units that
// read its parts: the graph and outputs (request.cpp) and the pipeline
// configuration (request_pipeline.cpp). Internal to vexa-plan.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "json_input.hpp"
#include "request.hpp"

namespace vexa_plan {

/// The transposes of a product or product family; both default to false.
[[nodiscard]] Result<graph::GemmOptions> read_gemm_options(const Node& object);

/// `names` separated by a comma and a blank.
[[nodiscard]] std::string list_names(std::span<const std::string_view> names);

/// Reads a document into a request, step by step in document order.
class RequestReader {
 public:
  explicit RequestReader(const Json& document) : root_(document, "") {}
  /// The request, or the first fault in document order.
  Result<PlanRequest> read();

 private:
  // Each `read_` step reads one part of the document; `read` runs them in order.

  // --- Pipeline ------------------------------------------------------------
  Checked read_tiles(const Node& pipeline);
  Checked read_settings(const Node& pipeline);
  // Fixed formats and automatic precisions of the graph inputs. Every graph
  // input without a fixed format is automatic, F16 unless stated otherwise.
  Checked read_input_formats(const Node& pipeline);
  Checked read_gemm_constraints(const Node& pipeline);
  Result<mid::GemmPlanConstraint> read_gemm_constraint(const Node& node);
  // Catalogue edits: first every candidate of the removed operator kinds is
  // dropped, then the appended entries are added at the end, in order.
  Checked read_catalogue(const Node& pipeline);
  Result<mid::catalogue::OperatorCandidate::GemmFamily> read_gemm_family(const Node& node);

  // --- Graph ---------------------------------------------------------------
  Checked read_inputs(const Node&);
  Checked add_input(const Node& entry);
  Checked read_operations(const Node&);
  Checked add_operation(const Node& entry);
  // Turns a builder refusal into a fault at the operation's entry.
  Result<graph::ValueId> built(const Node& entry, std::expected<graph::ValueId, graph::GraphError> result);
  // The values named by the members `keys` of `entry`, in order.
  template <std::size_t N>
  Result<std::array<graph::ValueId, N>> operands(const Node& entry, const std::array<std::string_view, N>& keys);
  Result<graph::ValueId> gemm(const Node& entry);
  Result<graph::ValueId> gelu(const Node& entry);
  Result<graph::ValueId> layer_norm(const Node& entry);
  Result<graph::ValueId> add(const Node& entry);
  Result<graph::ValueId> view(const Node& entry);
  Result<graph::ValueId> slice(const Node& entry);
  Result<graph::ValueId> flash_attention(const Node& entry);

  // --- Names ---------------------------------------------------------------
  // The `name` member of `entry`, which must not name a value already.
  Result<std::string> new_name(const Node& entry, bool may_be_empty);
  // Records that `value`, defined at `entry`, is called `name`.
  void define(const std::string& name, graph::ValueId value, const Node& entry);
  // The value that the string at `node` names.
  Result<graph::ValueId> value_named(const Node& node);
  // The graph input called `name`, or a fault at `entry` when there is none.
  Result<graph::ValueId> graph_input_named(const Node& entry, const std::string& name);

  // --- Outputs and limits --------------------------------------------------
  Checked read_outputs();
  Checked read_limits();

  Node root_;
  PlanRequest request_;
  std::uint16_t tiles_ = 0;
  std::map<std::string, graph::ValueId> by_name_;
};

}  // namespace vexa_plan
