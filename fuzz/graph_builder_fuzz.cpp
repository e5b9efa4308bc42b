// Fuzz target: the graph builder driven by a stream of builder calls.
//
// Each call takes its kind and its arguments (names of any bytes, shapes with
// any extents, value and sequence identifiers that may or may not exist, view
// axes and factors, slices, attention scales, repeats with nested bodies) from
// the input. After every call the target checks the builder's promises: a
// refused call leaves the graph exactly as it was; an accepted operation takes
// the next value number and gets the shape that `infer_shape` gives; every
// error and the whole graph have a dump that is well-formed UTF-8.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "support.hpp"
#include "vexa_codegen/graph/builder.hpp"

namespace {

using namespace vexa_codegen;
using fuzz::ByteSource;
using fuzz::expect;

constexpr std::size_t max_calls = 48;
constexpr std::size_t max_depth = 2;

graph::TensorShape draw_shape(ByteSource& in) {
  graph::TensorShape shape;
  const std::size_t rank = in.choice(6);
  for (std::size_t i = 0; i < rank; ++i) {
    shape.dimensions.push_back(in.extent());
  }
  return shape;
}

// Mostly a value the graph has; sometimes one just past the last.
graph::ValueId draw_value(ByteSource& in, const graph::ComputeGraph& g) {
  return graph::ValueId{static_cast<std::uint32_t>(in.choice(std::size_t{g.next_value()} + 2))};
}

std::vector<graph::ValueId> draw_values(ByteSource& in, const graph::ComputeGraph& g) {
  std::vector<graph::ValueId> values;
  const std::size_t count = in.choice(5);
  for (std::size_t i = 0; i < count; ++i) {
    values.push_back(draw_value(in, g));
  }
  return values;
}

graph::AttentionOptions draw_attention(ByteSource& in) {
  graph::AttentionOptions options;
  options.causal = in.flag();
  if (in.flag()) {
    options.scale = graph::AttentionScale::value_bits(in.number<std::uint32_t>());
  }
  return options;
}

graph::OperationKind draw_kind(ByteSource& in) {
  switch (in.choice(8)) {
    case 0:
      return graph::OperationKind::gemm({in.flag(), in.flag()});
    case 1:
      return graph::OperationKind::gelu();
    case 2:
      return graph::OperationKind::layer_norm();
    case 3:
      return graph::OperationKind::add();
    case 4:
      return graph::OperationKind::view({in.choice(7), in.choice(7), in.extent(), in.flag()});
    case 5:
      return graph::OperationKind::slice({in.choice(7), in.extent(), in.extent()});
    case 6:
      return graph::OperationKind::flash_attention(draw_attention(in));
    default:
      return graph::OperationKind::repeat(graph::Repeat{});
  }
}

void check_dumps(const graph::GraphError& error) {
  expect(fuzz::is_utf8(graph::message(error)), "an error message is UTF-8");
  expect(fuzz::is_utf8(graph::dump(error)), "an error dump is UTF-8");
}

// Checks the promises of one call that returned `result` on the graph that
// was `before` it.
template <class T>
void check_call(const std::expected<T, graph::GraphError>& result, const graph::ComputeGraph& before,
                const graph::ComputeGraph& after) {
  if (!result) {
    check_dumps(result.error());
    expect(after == before, "a refused call leaves the graph unchanged");
  }
}

// Checks an operation appended through shape inference.
void check_operation(const std::expected<graph::ValueId, graph::GraphError>& result,
                     const graph::OperationKind& kind, const std::vector<graph::ValueId>& operands,
                     const graph::ComputeGraph& before, const graph::ComputeGraph& after) {
  check_call(result, before, after);
  std::expected<graph::TensorShape, graph::GraphError> inferred;
  if (const auto known = graph::validate_inputs(before.values(), operands); !known) {
    inferred = std::unexpected(known.error());
  } else if (auto shape = graph::infer_shape(kind, operands, before.value_shapes()); !shape) {
    inferred = std::unexpected(graph::GraphError{graph::GraphError::InvalidShape{std::move(shape.error())}});
  } else {
    inferred = std::move(*shape);
  }
  expect(result.has_value() == inferred.has_value(), "an operation is accepted exactly when its shape is inferred");
  if (!result) {
    expect(result.error() == inferred.error(), "the refusal is the first failed check");
    return;
  }
  expect(result->number == before.next_value(), "the result takes the next value number");
  expect(after.operations().size() == before.operations().size() + 1, "one operation is appended");
  const auto shape = after.value_shape(*result);
  expect(shape.has_value() && shape->get() == *inferred, "the result has the inferred shape");
}

void build(ByteSource& in, graph::ComputeGraph& g, std::size_t depth);

// A repeat over drawn operands whose body is built from the input when the
// operands are accepted, and is sometimes another graph altogether.
void build_repeat(ByteSource& in, graph::ComputeGraph& g, std::size_t depth) {
  graph::RepeatOperands operands;
  operands.carried = draw_values(in, g);
  operands.invariant = draw_values(in, g);
  const std::size_t iterated = in.choice(3);
  for (std::size_t i = 0; i < iterated; ++i) {
    operands.iterated.push_back(
        graph::ValueSequenceId{static_cast<std::uint32_t>(in.choice(g.sequences().size() + 1))});
  }
  const std::uint32_t count = in.flag() ? in.number<std::uint32_t>() : in.byte();
  const graph::ComputeGraph before = g;
  auto body = g.repeat_body(operands);
  check_call(body, before, g);
  graph::ComputeGraph chosen;
  if (body) {
    chosen = std::move(*body);
    if (depth < max_depth && !in.flag()) {
      build(in, chosen, depth + 1);
    }
  } else if (depth < max_depth) {
    build(in, chosen, depth + 1);
  }
  const auto results = g.repeat(count, operands, chosen);
  check_call(results, before, g);
  if (results) {
    expect(results->size() == operands.carried.size(), "a repeat has one result per carried value");
    for (std::size_t i = 0; i < results->size(); ++i) {
      const auto shape = g.value_shape((*results)[i]);
      const auto carried = before.value_shape(operands.carried[i]);
      expect(shape && carried && shape->get() == carried->get(), "a repeat result has its carried value's shape");
    }
  }
}

void build(ByteSource& in, graph::ComputeGraph& g, std::size_t depth) {
  for (std::size_t call = 0; call < max_calls && !in.empty(); ++call) {
    const graph::ComputeGraph before = g;
    switch (in.choice(12)) {
      case 0: {
        const std::string name = in.text();
        const bool is_parameter = in.flag();
        const auto result = g.input(name, is_parameter, draw_shape(in));
        check_call(result, before, g);
        expect(result.has_value() != name.empty(), "an input is refused exactly when its name is empty");
        break;
      }
      case 1: {
        const std::string name = in.text();
        const auto shape = draw_shape(in);
        check_call(g.parameter(name, shape.dimensions), before, g);
        break;
      }
      case 2: {
        const std::vector<graph::ValueId> operands{draw_value(in, g), draw_value(in, g), draw_value(in, g)};
        check_operation(g.layer_norm(operands[0], operands[1], operands[2]), graph::OperationKind::layer_norm(),
                        operands, before, g);
        break;
      }
      case 3: {
        const std::vector<graph::ValueId> operands{draw_value(in, g), draw_value(in, g)};
        const graph::GemmOptions options{in.flag(), in.flag()};
        check_operation(g.gemm(operands[0], operands[1], options), graph::OperationKind::gemm(options), operands,
                        before, g);
        break;
      }
      case 4: {
        const std::vector<graph::ValueId> operands{draw_value(in, g)};
        check_operation(g.gelu(operands[0]), graph::OperationKind::gelu(), operands, before, g);
        break;
      }
      case 5: {
        const std::vector<graph::ValueId> operands{draw_value(in, g), draw_value(in, g)};
        check_operation(g.add(operands[0], operands[1]), graph::OperationKind::add(), operands, before, g);
        break;
      }
      case 6: {
        const std::vector<graph::ValueId> operands{draw_value(in, g)};
        const graph::view::AxisFactorView view{in.choice(7), in.choice(7), in.extent(), in.flag()};
        check_operation(g.view(operands[0], view), graph::OperationKind::view(view), operands, before, g);
        break;
      }
      case 7: {
        const std::vector<graph::ValueId> operands{draw_value(in, g)};
        const graph::AxisSlice slice{in.choice(7), in.extent(), in.extent()};
        check_operation(g.slice(operands[0], slice), graph::OperationKind::slice(slice), operands, before, g);
        break;
      }
      case 8: {
        const std::vector<graph::ValueId> operands{draw_value(in, g), draw_value(in, g), draw_value(in, g)};
        const auto options = draw_attention(in);
        check_operation(g.flash_attention(operands[0], operands[1], operands[2], options),
                        graph::OperationKind::flash_attention(options), operands, before, g);
        break;
      }
      case 9: {
        const std::string name = in.text();
        check_call(g.value_sequence(name, draw_values(in, g)), before, g);
        break;
      }
      case 10:
        build_repeat(in, g, depth);
        break;
      default: {
        if (in.flag()) {
          const auto kind = draw_kind(in);
          const auto operands = draw_values(in, g);
          check_operation(g.inferred_result(kind, operands), kind, operands, before, g);
        } else {
          check_call(g.set_outputs(draw_values(in, g)), before, g);
        }
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in(data, size);
  graph::ComputeGraph g;
  build(in, g, 0);
  expect(fuzz::is_utf8(graph::dump(g)), "a graph dump is UTF-8");
  for (const auto& operation : g.operations()) {
    if (operation.results.empty()) {
      continue;
    }
    for (const auto input : operation.inputs) {
      expect(input < operation.results.front(), "an operation reads only values defined before it");
    }
  }
  return 0;
}
