#include "request.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "formats.hpp"
#include "request_reader.hpp"
#include "text_forms.hpp"

namespace vexa_plan {

using graph::ValueId;
using layout::Layout;
using layout::Precision;
using layout::TensorFormat;
using vexa_codegen::support::quote;

Result<graph::GemmOptions> read_gemm_options(const Node& object) {
  const auto transpose_left = optional_bool(object, "transpose_left", false);
  const auto transpose_right = optional_bool(object, "transpose_right", false);
  if (auto fault = first_fault(transpose_left, transpose_right)) {
    return std::unexpected(*fault);
  }
  return graph::GemmOptions{*transpose_left, *transpose_right};
}

std::string list_names(std::span<const std::string_view> names) {
  std::string text;
  for (const auto name : names) {
    text += text.empty() ? "" : ", ";
    text += name;
  }
  return text;
}

Result<PlanRequest> RequestReader::read() {
  if (auto object = expect_object(root_, {"description", "inputs", "operations", "outputs", "pipeline", "limits"});
      !object) {
    return std::unexpected(object.error());
  }
  if (const auto description = root_.find("description")) {
    if (auto text = read_string(*description); !text) {
      return std::unexpected(text.error());
    }
  }
  const auto pipeline = required(root_, "pipeline");
  if (!pipeline) {
    return std::unexpected(pipeline.error());
  }
  // In this order each step finds what it needs: the tile count gives the
  // default layouts, and the graph defines the names that the pipeline
  // settings and the outputs refer to.
  for (const auto step : {&RequestReader::read_tiles, &RequestReader::read_inputs, &RequestReader::read_operations,
                          &RequestReader::read_settings, &RequestReader::read_input_formats,
                          &RequestReader::read_gemm_constraints, &RequestReader::read_catalogue}) {
    if (auto done = (this->*step)(*pipeline); !done) {
      return std::unexpected(done.error());
    }
  }
  if (auto done = read_outputs(); !done) {
    return std::unexpected(done.error());
  }
  if (auto done = read_limits(); !done) {
    return std::unexpected(done.error());
  }
  return std::move(request_);
}

Checked RequestReader::read_inputs(const Node&) {
  const auto inputs = root_.find("inputs");
  if (!inputs) {
    return {};
  }
  if (auto is_array = expect_array(*inputs); !is_array) {
    return is_array;
  }
  for (std::size_t i = 0; i < inputs->json().size(); ++i) {
    const Node entry = inputs->element(i);
    if (auto object = expect_object(entry, {"name", "shape", "parameter"}); !object) {
      return object;
    }
    if (auto added = add_input(entry); !added) {
      return added;
    }
  }
  return {};
}

Checked RequestReader::add_input(const Node& entry) {
  const auto name = new_name(entry, /*may_be_empty=*/true);
  if (!name) {
    return std::unexpected(name.error());
  }
  const auto shape_node = required(entry, "shape");
  if (!shape_node) {
    return std::unexpected(shape_node.error());
  }
  const auto shape = read_shape(*shape_node);
  if (!shape) {
    return std::unexpected(shape.error());
  }
  const auto parameter = optional_bool(entry, "parameter", false);
  if (!parameter) {
    return std::unexpected(parameter.error());
  }
  const auto value = request_.graph.input(*name, *parameter, *shape);
  if (!value) {
    return std::unexpected(InputError{entry.pointer() + "/name", graph::message(value.error())});
  }
  define(*name, *value, entry);
  return {};
}

Checked RequestReader::read_operations(const Node&) {
  const auto operations = required(root_, "operations");
  if (!operations) {
    return std::unexpected(operations.error());
  }
  if (auto is_array = expect_array(*operations); !is_array) {
    return is_array;
  }
  for (std::size_t i = 0; i < operations->json().size(); ++i) {
    if (auto added = add_operation(operations->element(i)); !added) {
      return added;
    }
  }
  return {};
}

Checked RequestReader::add_operation(const Node& entry) {
  if (!entry.json().is_object()) {
    return std::unexpected(entry.expected("an object"));
  }
  const auto kind_node = required(entry, "kind");
  if (!kind_node) {
    return std::unexpected(kind_node.error());
  }
  const auto kind = read_string(*kind_node);
  if (!kind) {
    return std::unexpected(kind.error());
  }
  using Build = Result<ValueId> (RequestReader::*)(const Node&);
  struct Kind {
    std::string_view name;
    std::vector<std::string_view> fields;
    Build build;
  };
  static const std::array<Kind, 8> kinds{{
      {"input", {"kind", "name", "shape", "parameter"}, nullptr},
      {"gemm", {"kind", "name", "left", "right", "transpose_left", "transpose_right"}, &RequestReader::gemm},
      {"gelu", {"kind", "name", "x"}, &RequestReader::gelu},
      {"layer_norm", {"kind", "name", "x", "scale", "bias"}, &RequestReader::layer_norm},
      {"add", {"kind", "name", "left", "right"}, &RequestReader::add},
      {"view", {"kind", "name", "x", "split_axis", "merge_axis", "factor", "reversed"}, &RequestReader::view},
      {"slice", {"kind", "name", "x", "axis", "start", "length"}, &RequestReader::slice},
      {"flash_attention", {"kind", "name", "query", "key", "value", "causal", "scale"},
       &RequestReader::flash_attention},
  }};
  const auto found = std::ranges::find(kinds, std::string_view(*kind), &Kind::name);
  if (found == kinds.end()) {
    std::vector<std::string_view> names;
    for (const auto& known : kinds) {
      names.push_back(known.name);
    }
    return std::unexpected(
        kind_node->fault("unknown operation kind " + quote(*kind) + "; expected one of: " + list_names(names)));
  }
  if (auto object = expect_object(entry, found->fields); !object) {
    return object;
  }
  if (found->build == nullptr) {
    return add_input(entry);
  }
  const auto name = new_name(entry, /*may_be_empty=*/false);
  if (!name) {
    return std::unexpected(name.error());
  }
  const auto result = (this->*found->build)(entry);
  if (!result) {
    return std::unexpected(result.error());
  }
  request_.places.operations.insert_or_assign(request_.graph.operations().back().id.number, entry.pointer());
  define(*name, *result, entry);
  return {};
}

Result<ValueId> RequestReader::built(const Node& entry, std::expected<ValueId, graph::GraphError> result) {
  if (!result) {
    return std::unexpected(entry.fault(graph::message(result.error())));
  }
  return *result;
}

template <std::size_t N>
Result<std::array<ValueId, N>> RequestReader::operands(const Node& entry, const std::array<std::string_view, N>& keys) {
  std::array<ValueId, N> values{};
  for (std::size_t i = 0; i < N; ++i) {
    const auto member = required(entry, keys[i]);
    if (!member) {
      return std::unexpected(member.error());
    }
    const auto value = value_named(*member);
    if (!value) {
      return std::unexpected(value.error());
    }
    values[i] = *value;
  }
  return values;
}

Result<ValueId> RequestReader::gemm(const Node& entry) {
  const auto values = operands(entry, std::array<std::string_view, 2>{"left", "right"});
  const auto options = read_gemm_options(entry);
  if (auto fault = first_fault(values, options)) {
    return std::unexpected(*fault);
  }
  return built(entry, request_.graph.gemm((*values)[0], (*values)[1], *options));
}

Result<ValueId> RequestReader::gelu(const Node& entry) {
  const auto values = operands(entry, std::array<std::string_view, 1>{"x"});
  if (!values) {
    return std::unexpected(values.error());
  }
  return built(entry, request_.graph.gelu((*values)[0]));
}

Result<ValueId> RequestReader::layer_norm(const Node& entry) {
  const auto values = operands(entry, std::array<std::string_view, 3>{"x", "scale", "bias"});
  if (!values) {
    return std::unexpected(values.error());
  }
  return built(entry, request_.graph.layer_norm((*values)[0], (*values)[1], (*values)[2]));
}

Result<ValueId> RequestReader::add(const Node& entry) {
  const auto values = operands(entry, std::array<std::string_view, 2>{"left", "right"});
  if (!values) {
    return std::unexpected(values.error());
  }
  return built(entry, request_.graph.add((*values)[0], (*values)[1]));
}

Result<ValueId> RequestReader::view(const Node& entry) {
  const auto values = operands(entry, std::array<std::string_view, 1>{"x"});
  const auto split_axis = required_unsigned<std::size_t>(entry, "split_axis");
  const auto merge_axis = required_unsigned<std::size_t>(entry, "merge_axis");
  const auto factor = required_unsigned<std::uint32_t>(entry, "factor");
  const auto reversed = optional_bool(entry, "reversed", false);
  if (auto fault = first_fault(values, split_axis, merge_axis, factor, reversed)) {
    return std::unexpected(*fault);
  }
  return built(entry, request_.graph.view((*values)[0], graph::view::AxisFactorView{*split_axis, *merge_axis,
                                                                                      *factor, *reversed}));
}

Result<ValueId> RequestReader::slice(const Node& entry) {
  const auto values = operands(entry, std::array<std::string_view, 1>{"x"});
  const auto axis = required_unsigned<std::size_t>(entry, "axis");
  const auto start = required_unsigned<std::uint32_t>(entry, "start");
  const auto length = required_unsigned<std::uint32_t>(entry, "length");
  if (auto fault = first_fault(values, axis, start, length)) {
    return std::unexpected(*fault);
  }
  return built(entry, request_.graph.slice((*values)[0], graph::AxisSlice{*axis, *start, *length}));
}

Result<ValueId> RequestReader::flash_attention(const Node& entry) {
  const auto values = operands(entry, std::array<std::string_view, 3>{"query", "key", "value"});
  const auto causal = optional_bool(entry, "causal", false);
  if (auto fault = first_fault(values, causal)) {
    return std::unexpected(*fault);
  }
  graph::AttentionOptions options{*causal, graph::AttentionScale::inverse_sqrt_query_width()};
  if (const auto scale = entry.find("scale")) {
    if (scale->json().is_number()) {
      // A double beyond the float range has no float value; it becomes an
      // infinity, which the builder refuses like any other unusable scale.
      const double wanted = scale->json().get<double>();
      const float narrowed = std::fabs(wanted) > static_cast<double>(FLT_MAX)
                                 ? std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(wanted))
                                 : static_cast<float>(wanted);
      options.scale = graph::AttentionScale::fixed(narrowed);
    } else if (!scale->json().is_string() || scale->json().get<std::string>() != "inverse_sqrt_query_width") {
      return std::unexpected(scale->expected("a positive number or \"inverse_sqrt_query_width\""));
    }
  }
  return built(entry, request_.graph.flash_attention((*values)[0], (*values)[1], (*values)[2], options));
}

// The `name` member of `entry`, which must not name a value already.
Result<std::string> RequestReader::new_name(const Node& entry, bool may_be_empty) {
  const auto name_node = required(entry, "name");
  if (!name_node) {
    return std::unexpected(name_node.error());
  }
  auto name = read_string(*name_node);
  if (!name) {
    return name;
  }
  // An empty input name is refused by the graph builder in its own words.
  if (name->empty() && !may_be_empty) {
    return std::unexpected(name_node->fault("a value name must not be empty"));
  }
  if (const auto earlier = by_name_.find(*name); earlier != by_name_.end()) {
    return std::unexpected(name_node->fault("the name " + quote(*name) + " is already given to the value defined at " +
                                            request_.places.values.at(earlier->second)));
  }
  return name;
}

void RequestReader::define(const std::string& name, ValueId value, const Node& entry) {
  by_name_.emplace(name, value);
  request_.places.names.emplace(value, name);
  request_.places.values.emplace(value, entry.pointer());
}

Result<ValueId> RequestReader::value_named(const Node& node) {
  const auto name = read_string(node);
  if (!name) {
    return std::unexpected(name.error());
  }
  if (const auto found = by_name_.find(*name); found != by_name_.end()) {
    return found->second;
  }
  std::string known;
  for (const auto& [id, known_name] : request_.places.names) {
    known += (known.empty() ? "" : ", ") + quote(known_name);
  }
  return std::unexpected(node.fault("unknown value " + quote(*name) + "; values defined before this point: " +
                                    (known.empty() ? "none" : known)));
}

Result<ValueId> RequestReader::graph_input_named(const Node& entry, const std::string& name) {
  const auto found = by_name_.find(name);
  const auto& inputs = request_.graph.inputs();
  if (found == by_name_.end() || std::ranges::none_of(inputs, [&](const graph::GraphInput& input) {
        return input.value == found->second;
      })) {
    return std::unexpected(entry.fault(quote(name) + " is not a graph input"));
  }
  return found->second;
}

Checked RequestReader::read_outputs() {
  const auto outputs = required(root_, "outputs");
  if (!outputs) {
    return std::unexpected(outputs.error());
  }
  if (auto is_array = expect_array(*outputs); !is_array) {
    return is_array;
  }
  std::vector<ValueId> order;
  for (std::size_t i = 0; i < outputs->json().size(); ++i) {
    const Node entry = outputs->element(i);
    TensorFormat format{Precision::f16(), Layout::row_sharded(tiles_)};
    std::optional<Node> name_node = entry;
    if (entry.json().is_object()) {
      auto read = read_format(entry, tiles_, {"value", "precision", "layout"});
      if (!read) {
        return std::unexpected(read.error());
      }
      format = std::move(*read);
      const auto value_node = required(entry, "value");
      if (!value_node) {
        return std::unexpected(value_node.error());
      }
      name_node = *value_node;
    } else if (!entry.json().is_string()) {
      return std::unexpected(entry.expected("a value name or an object { \"value\": ..., \"precision\": ..., "
                                            "\"layout\": ... }"));
    }
    const auto value = value_named(*name_node);
    if (!value) {
      return std::unexpected(value.error());
    }
    if (request_.outputs.contains(*value)) {
      return std::unexpected(name_node->fault("the value " + quote(request_.places.names.at(*value)) +
                                              " is already an output at " + request_.places.outputs.at(*value)));
    }
    request_.outputs.emplace(*value, std::move(format));
    request_.places.outputs.emplace(*value, entry.pointer());
    order.push_back(*value);
  }
  if (auto set = request_.graph.set_outputs(order); !set) {
    return std::unexpected(outputs->fault(graph::message(set.error())));
  }
  return {};
}

Checked RequestReader::read_limits() {
  auto& limits = request_.limits;
  limits = optimistic::SearchLimits{request_.graph.operations().size(), 16, 3, 8, 2048, 4};
  const auto node = root_.find("limits");
  if (!node) {
    return {};
  }
  if (auto object = expect_object(*node, {"max_operations", "beam_width", "max_conversion_steps",
                                          "max_conversion_paths", "max_expansions", "max_fused_steps"});
      !object) {
    return object;
  }
  for (const auto& [key, field] :
       {std::pair{"max_operations", &limits.max_operations}, std::pair{"beam_width", &limits.beam_width},
        std::pair{"max_conversion_steps", &limits.max_conversion_steps},
        std::pair{"max_conversion_paths", &limits.max_conversion_paths},
        std::pair{"max_expansions", &limits.max_expansions}, std::pair{"max_fused_steps", &limits.max_fused_steps}}) {
    const auto value = optional_unsigned<std::size_t>(*node, key, *field);
    if (!value) {
      return std::unexpected(value.error());
    }
    *field = *value;
  }
  return {};
}

namespace {

// The boundary format in which the whole-graph search receives `input`.
TensorFormat boundary_format(const PlanRequest& request, ValueId input) {
  const auto& config = request.config;
  if (const auto fixed = config.input_formats.find(input); fixed != config.input_formats.end()) {
    return fixed->second;
  }
  const auto automatic = config.automatic_inputs.find(input);
  return TensorFormat{automatic != config.automatic_inputs.end() ? automatic->second : Precision::f16(),
                      Layout::row_sharded(config.tiles)};
}

// The first graph input that an operation reads and whose boundary format the
// pipeline cannot hold.
std::string locate_input_format(const PlanRequest& request) {
  const auto& graph = request.graph;
  for (const auto& input : graph.inputs()) {
    const bool used = std::ranges::any_of(graph.operations(), [&](const graph::Operation& operation) {
      return std::ranges::find(operation.inputs, input.value) != operation.inputs.end();
    });
    if (!used ||
        optimistic::valid_tensor(layout::TensorType{input.shape, boundary_format(request, input.value)},
                                 request.config.tiles)) {
      continue;
    }
    for (const auto* places : {&request.places.input_formats, &request.places.automatic_inputs}) {
      if (const auto found = places->find(input.value); found != places->end()) {
        return found->second;
      }
    }
    return request.places.values.at(input.value);
  }
  return {};
}

std::string locate_output_format(const PlanRequest& request) {
  for (const auto& [value, format] : request.outputs) {
    const auto shape = request.graph.value_shape(value);
    if (shape && !optimistic::valid_tensor(layout::TensorType{shape->get(), format}, request.config.tiles)) {
      return request.places.outputs.at(value);
    }
  }
  return {};
}

}  // namespace

std::expected<PlanRequest, InputError> read_request(const Json& document) { return RequestReader(document).read(); }

std::string locate(const optimistic::SearchError& error, const PlanRequest& request) {
  using optimistic::SearchError;
  if (const auto* unsupported = error.get_if<SearchError::UnsupportedOperation>()) {
    const auto found = request.places.operations.find(unsupported->operation.number);
    return found != request.places.operations.end() ? found->second : std::string();
  }
  const auto* invalid = error.get_if<SearchError::InvalidRequest>();
  if (invalid == nullptr) {
    return {};
  }
  const std::string_view text = invalid->text;
  if (text == "empty region or invalid/exceeded search limits") {
    if (request.graph.operations().empty()) {
      return "/operations";
    }
    return request.config.tiles == 0 ? "/pipeline/tiles" : "/limits";
  }
  if (text == "invalid conversion endpoints or search limits") {
    return request.limits.max_conversion_steps > 4 ? "/limits/max_conversion_steps" : std::string();
  }
  if (text == "outputs must include every escaping regional result") {
    return "/outputs";
  }
  if (text == "invalid input format") {
    return locate_input_format(request);
  }
  if (text == "invalid output format") {
    return locate_output_format(request);
  }
  return {};
}

}  // namespace vexa_plan
