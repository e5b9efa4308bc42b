#include <algorithm>
#include <functional>
#include <limits>
#include <type_traits>
#include <vector>

#include "formats.hpp"
#include "request_reader.hpp"
#include "text_forms.hpp"

namespace vexa_plan {

using graph::ValueId;
using layout::Precision;
using vexa_codegen::support::quote;

namespace {

// Which operator kind a catalogue edit names; `GemmFamily` entries count as
// matrix products.
using OperatorTest = std::function<bool(const mid::catalogue::OperatorCandidate&)>;

template <class Alternative>
OperatorTest operator_is() {
  return [](const mid::catalogue::OperatorCandidate& candidate) {
    const auto* concrete = candidate.get_if<mid::catalogue::OperatorCandidate::Concrete>();
    if (concrete == nullptr) {
      return std::is_same_v<Alternative, operators::MidOperator::Gemm>;
    }
    return concrete->candidate.plan.operator_.is<Alternative>();
  };
}

const std::vector<std::pair<std::string_view, OperatorTest>>& operator_kinds() {
  using M = operators::MidOperator;
  static const std::vector<std::pair<std::string_view, OperatorTest>> kinds{
      {"gemm", operator_is<M::Gemm>()},       {"gelu", operator_is<M::Gelu>()},
      {"layer_norm", operator_is<M::LayerNorm>()}, {"add", operator_is<M::Add>()},
      {"view", operator_is<M::View>()},       {"slice", operator_is<M::Slice>()},
      {"flash_attention", operator_is<M::FlashAttention>()}};
  return kinds;
}

}  // namespace

Checked RequestReader::read_tiles(const Node& pipeline) {
  if (auto object = expect_object(pipeline, {"tiles", "tile_memory_bytes", "reserved_bytes", "unary_flattening",
                                             "gemm_output_grouping", "plan_filter", "attention_variants",
                                             "retained_gemm_plans", "reserved_settings", "spare_switch",
                                             "input_formats", "automatic_inputs", "gemm_constraints", "catalogue"});
      !object) {
    return std::unexpected(object.error());
  }
  const auto tiles_node = required(pipeline, "tiles");
  if (!tiles_node) {
    return std::unexpected(tiles_node.error());
  }
  const auto tiles = read_unsigned_as<std::uint16_t>(*tiles_node);
  if (!tiles) {
    return std::unexpected(tiles.error());
  }
  tiles_ = *tiles;
  request_.config = mid::PipelineConfig::make(tiles_);
  return {};
}

Checked RequestReader::read_settings(const Node& pipeline) {
  auto& config = request_.config;
  const auto set = [&](std::string_view key, auto& field, std::uint64_t maximum) -> Checked {
    using Field = std::remove_reference_t<decltype(field)>;
    const auto value = optional_unsigned<std::uint64_t>(pipeline, key, field, maximum);
    if (!value) {
      return std::unexpected(value.error());
    }
    field = static_cast<Field>(*value);
    return {};
  };
  constexpr auto u64 = std::numeric_limits<std::uint64_t>::max();
  for (auto checked : {set("tile_memory_bytes", config.tile_memory_bytes, u64),
                       set("reserved_bytes", config.reserved_bytes, u64),
                       set("unary_flattening", config.unary_flattening, 2),
                       set("gemm_output_grouping", config.gemm_output_grouping, 2),
                       set("plan_filter", config.plan_filter, 2),
                       set("attention_variants", config.attention_variants, 3),
                       set("retained_gemm_plans", config.retained_gemm_plans, u64),
                       set("spare_switch", config.spare_switch, std::numeric_limits<std::uint8_t>::max())}) {
    if (!checked) {
      return checked;
    }
  }
  if (const auto settings = pipeline.find("reserved_settings")) {
    if (!settings->json().is_array() || settings->json().size() != config.reserved_settings.size()) {
      return std::unexpected(settings->expected("an array of " + std::to_string(config.reserved_settings.size()) +
                                                " unsigned integers"));
    }
    for (std::size_t i = 0; i < config.reserved_settings.size(); ++i) {
      const auto value = read_unsigned(settings->element(i), u64);
      if (!value) {
        return std::unexpected(value.error());
      }
      config.reserved_settings[i] = *value;
    }
  }
  return {};
}

Checked RequestReader::read_input_formats(const Node& pipeline) {
  auto& config = request_.config;
  if (const auto formats = pipeline.find("input_formats")) {
    if (!formats->json().is_object()) {
      return std::unexpected(formats->expected("an object mapping input names to formats"));
    }
    for (const auto& [name, value] : formats->json().items()) {
      const Node entry(value, formats->pointer() + "/" + pointer_token(name));
      const auto input = graph_input_named(entry, name);
      if (!input) {
        return std::unexpected(input.error());
      }
      auto format = read_format(entry, tiles_);
      if (!format) {
        return std::unexpected(format.error());
      }
      config.input_formats.insert_or_assign(*input, std::move(*format));
      request_.places.input_formats.insert_or_assign(*input, entry.pointer());
    }
  }
  std::map<ValueId, Precision> precisions;
  if (const auto automatic = pipeline.find("automatic_inputs")) {
    if (!automatic->json().is_object()) {
      return std::unexpected(automatic->expected("an object mapping input names to precisions"));
    }
    for (const auto& [name, value] : automatic->json().items()) {
      const Node entry(value, automatic->pointer() + "/" + pointer_token(name));
      const auto input = graph_input_named(entry, name);
      if (!input) {
        return std::unexpected(input.error());
      }
      if (config.input_formats.contains(*input)) {
        return std::unexpected(entry.fault("the input " + quote(name) + " has a fixed format in " +
                                           request_.places.input_formats.at(*input) +
                                           "; an input is either fixed or automatic"));
      }
      auto precision = read_text_form(entry, parse_precision);
      if (!precision) {
        return std::unexpected(precision.error());
      }
      precisions.insert_or_assign(*input, *precision);
      request_.places.automatic_inputs.insert_or_assign(*input, entry.pointer());
    }
  }
  for (const auto& input : request_.graph.inputs()) {
    if (!config.input_formats.contains(input.value)) {
      const auto found = precisions.find(input.value);
      config = std::move(config).with_automatic_input(input.value,
                                                      found == precisions.end() ? Precision::f16() : found->second);
    }
  }
  return {};
}

Checked RequestReader::read_gemm_constraints(const Node& pipeline) {
  const auto constraints = pipeline.find("gemm_constraints");
  if (!constraints) {
    return {};
  }
  if (auto is_array = expect_array(*constraints); !is_array) {
    return is_array;
  }
  for (std::size_t i = 0; i < constraints->json().size(); ++i) {
    auto constraint = read_gemm_constraint(constraints->element(i));
    if (!constraint) {
      return std::unexpected(constraint.error());
    }
    request_.config.gemm_constraints.push_back(*constraint);
  }
  return {};
}

Result<mid::GemmPlanConstraint> RequestReader::read_gemm_constraint(const Node& node) {
  if (auto object = expect_object(node, {"operation", "orientation", "row_partitions", "column_partitions",
                                         "inner_partitions", "result_row_partitions", "result_column_partitions",
                                         "output_column_block", "weight_memory_class", "reduction_staging",
                                         "local_weight_staging"});
      !object) {
    return std::unexpected(object.error());
  }
  const auto operation_node = required(node, "operation");
  if (!operation_node) {
    return std::unexpected(operation_node.error());
  }
  const auto value = value_named(*operation_node);
  if (!value) {
    return std::unexpected(value.error());
  }
  const auto& operations = request_.graph.operations();
  const auto producer = std::ranges::find_if(operations, [&](const graph::Operation& operation) {
    return std::ranges::find(operation.results, *value) != operation.results.end();
  });
  if (producer == operations.end() || !producer->kind.is<graph::OperationKind::Gemm>()) {
    return std::unexpected(operation_node->fault(
        "a constraint names the result of a gemm operation, and " + quote(operation_node->json().get<std::string>()) +
        " is not one"));
  }
  // Every other field defaults to the library's default constraint.
  const mid::GemmPlanConstraint defaults;
  const auto partitions = [&](std::string_view key, std::uint16_t fallback) {
    return optional_unsigned<std::uint16_t>(node, key, fallback);
  };
  const auto orientation = optional_text_form(node, "orientation", parse_orientation, defaults.orientation);
  const auto rows = partitions("row_partitions", defaults.row_partitions);
  const auto columns = partitions("column_partitions", defaults.column_partitions);
  const auto inner = partitions("inner_partitions", defaults.inner_partitions);
  const auto result_rows = partitions("result_row_partitions", defaults.result_row_partitions);
  const auto result_columns = partitions("result_column_partitions", defaults.result_column_partitions);
  const auto block = optional_unsigned<std::uint32_t>(node, "output_column_block", defaults.output_column_block);
  const auto weight_class =
      optional_text_form(node, "weight_memory_class", parse_memory_class, defaults.weight_memory_class);
  const auto reduction =
      optional_text_form(node, "reduction_staging", parse_reduction_staging, defaults.reduction_staging);
  const auto local = optional_text_form(node, "local_weight_staging", parse_local_staging, defaults.local_weight_staging);
  if (auto fault = first_fault(orientation, rows, columns, inner, result_rows, result_columns, block, weight_class,
                               reduction, local)) {
    return std::unexpected(*fault);
  }
  return mid::GemmPlanConstraint{producer->id.number, *orientation, *rows, *columns, *inner, *result_rows,
                                 *result_columns, *block, *weight_class, *reduction, *local};
}

Checked RequestReader::read_catalogue(const Node& pipeline) {
  const auto catalogue = pipeline.find("catalogue");
  if (!catalogue) {
    return {};
  }
  if (auto object = expect_object(*catalogue, {"remove", "append"}); !object) {
    return object;
  }
  auto& candidates = request_.config.operator_candidates;
  if (const auto remove = catalogue->find("remove")) {
    if (auto is_array = expect_array(*remove); !is_array) {
      return is_array;
    }
    for (std::size_t i = 0; i < remove->json().size(); ++i) {
      const Node entry = remove->element(i);
      const auto kind = read_string(entry);
      if (!kind) {
        return std::unexpected(kind.error());
      }
      const auto& kinds = operator_kinds();
      const auto found = std::ranges::find(kinds, std::string_view(*kind), &std::pair<std::string_view, OperatorTest>::first);
      if (found == kinds.end()) {
        std::vector<std::string_view> names;
        for (const auto& known : kinds) {
          names.push_back(known.first);
        }
        return std::unexpected(entry.fault("unknown operator kind " + quote(*kind) + "; expected one of: " +
                                           list_names(names)));
      }
      std::erase_if(candidates, found->second);
    }
  }
  if (const auto append = catalogue->find("append")) {
    if (auto is_array = expect_array(*append); !is_array) {
      return is_array;
    }
    for (std::size_t i = 0; i < append->json().size(); ++i) {
      auto family = read_gemm_family(append->element(i));
      if (!family) {
        return std::unexpected(family.error());
      }
      candidates.push_back(mid::catalogue::OperatorCandidate::gemm_family(*family));
    }
  }
  return {};
}

Result<mid::catalogue::OperatorCandidate::GemmFamily> RequestReader::read_gemm_family(const Node& node) {
  if (auto object = expect_object(node, {"kind", "multiply", "accumulate", "tile_count", "transpose_left",
                                         "transpose_right"});
      !object) {
    return std::unexpected(object.error());
  }
  const auto kind_node = required(node, "kind");
  if (!kind_node) {
    return std::unexpected(kind_node.error());
  }
  if (!kind_node->json().is_string() || kind_node->json().get<std::string>() != "gemm_family") {
    return std::unexpected(kind_node->expected("\"gemm_family\" (the only kind of entry that can be appended)"));
  }
  const auto multiply_node = required(node, "multiply");
  if (!multiply_node) {
    return std::unexpected(multiply_node.error());
  }
  const auto multiply = read_text_form(*multiply_node, parse_precision);
  if (!multiply) {
    return std::unexpected(multiply.error());
  }
  // The catalogue's own products accumulate in F32 exactly when they multiply in F32.
  const auto accumulate = optional_text_form(
      node, "accumulate", parse_accumulation,
      multiply->is_f32() ? operators::AccumulationPrecision::F32 : operators::AccumulationPrecision::F16);
  const auto tile_count = optional_unsigned<std::uint16_t>(node, "tile_count", tiles_);
  const auto options = read_gemm_options(node);
  if (auto fault = first_fault(accumulate, tile_count, options)) {
    return std::unexpected(*fault);
  }
  return mid::catalogue::OperatorCandidate::GemmFamily{*options, *multiply, *accumulate, *tile_count};
}

}  // namespace vexa_plan
