#include "vexa_codegen/graph/builder.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <limits>

#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::graph {
namespace {

using view::AxisFactorView;
using Dims = std::vector<std::uint32_t>;

TensorShape shape(Dims dimensions) { return TensorShape{std::move(dimensions)}; }

/// Unwraps a builder result that the test expects to succeed.
template <class T>
T ok(std::expected<T, GraphError> result) {
  if (!result) {
    ADD_FAILURE() << "unexpected " << dump(result.error());
    return T{};
  }
  return std::move(*result);
}

// ---------------------------------------------------------------------------
// Main paths

TEST(ComputeGraph, StartsEmpty) {
  const ComputeGraph graph;
  EXPECT_EQ(dump(graph),
            "ComputeGraph { inputs: [], sequences: [], operations: [], outputs: [], values: {}, value_shapes: {}, "
            "next_operation: 0, next_value: 0 }");
}

TEST(ComputeGraph, BuildsLayerNormFeedingTwoProducts) {
  ComputeGraph graph;
  const ValueId x = ok(graph.input("x", false, shape({1, 8, 128})));
  const ValueId scale = ok(graph.parameter("scale", {1, 128}));
  const ValueId bias = ok(graph.parameter("bias", {1, 128}));
  const ValueId w1 = ok(graph.parameter("w1", {128, 128}));
  const ValueId w2 = ok(graph.parameter("w2", {128, 64}));
  const ValueId normed = ok(graph.layer_norm(x, scale, bias));
  const ValueId first = ok(graph.gemm(normed, w1));
  const ValueId second = ok(graph.gemm(normed, w2));
  ASSERT_TRUE(graph.set_outputs({first, second}));

  // Inputs and results share one value counter; only operations take operation ids.
  EXPECT_EQ(x, ValueId{0});
  EXPECT_EQ(w2, ValueId{4});
  EXPECT_EQ(normed, ValueId{5});
  EXPECT_EQ(second, ValueId{7});
  EXPECT_EQ(graph.next_value(), 8u);
  EXPECT_EQ(graph.next_operation(), 3u);
  EXPECT_EQ(graph.outputs(), (std::vector<ValueId>{first, second}));
  EXPECT_EQ(graph.values().size(), 8u);
  EXPECT_EQ(graph.value_shapes().size(), 8u);

  EXPECT_EQ(dump(graph.inputs()[1]),
            "GraphInput { name: \"scale\", shape: TensorShape([1, 128]), value: ValueId(1), is_parameter: true }");
  EXPECT_FALSE(graph.inputs()[0].is_parameter);
  ASSERT_EQ(graph.operations().size(), 3u);
  EXPECT_EQ(dump(graph.operations()[0]),
            "Operation { id: OperationId(0), inputs: [ValueId(0), ValueId(1), ValueId(2)], results: [ValueId(5)], "
            "kind: LayerNorm }");
  EXPECT_EQ(dump(graph.operations()[2]),
            "Operation { id: OperationId(2), inputs: [ValueId(5), ValueId(4)], results: [ValueId(7)], kind: "
            "Gemm(GemmOptions { transpose_left: false, transpose_right: false }) }");

  EXPECT_EQ(graph.value_shape(normed)->get(), shape({1, 8, 128}));
  EXPECT_EQ(graph.value_shape(first)->get(), shape({1, 8, 128}));
  EXPECT_EQ(graph.value_shape(second)->get(), shape({1, 8, 64}));
  EXPECT_FALSE(graph.value_shape(ValueId{8}).has_value());
}

TEST(ComputeGraph, OtherKindsRecordTheirPayloads) {
  ComputeGraph graph;
  const ValueId x = ok(graph.input("x", false, shape({1, 8, 128})));
  const ValueId b = ok(graph.parameter("b", {128}));
  const ValueId sum = ok(graph.add(x, b));
  const ValueId act = ok(graph.gelu(sum));
  const ValueId heads = ok(graph.view(act, AxisFactorView{2, 1, 4, false}));
  const ValueId half = ok(graph.slice(heads, AxisSlice{1, 16, 16}));
  const AttentionOptions options{true, AttentionScale::fixed(0.125f)};
  const ValueId attended = ok(graph.flash_attention(half, half, half, options));
  const ValueId transposed = ok(graph.gemm(attended, attended, GemmOptions{false, true}));

  EXPECT_EQ(graph.value_shape(sum)->get(), shape({1, 8, 128}));
  EXPECT_EQ(graph.value_shape(act)->get(), shape({1, 8, 128}));
  EXPECT_EQ(graph.value_shape(heads)->get(), shape({1, 32, 32}));
  EXPECT_EQ(graph.value_shape(half)->get(), shape({1, 16, 32}));
  EXPECT_EQ(graph.value_shape(attended)->get(), shape({1, 16, 32}));
  EXPECT_EQ(graph.value_shape(transposed)->get(), shape({1, 16, 16}));

  const std::vector<Operation>& operations = graph.operations();
  ASSERT_EQ(operations.size(), 6u);
  EXPECT_EQ(operations[0].kind, OperationKind::add());
  EXPECT_EQ(operations[1].kind, OperationKind::gelu());
  EXPECT_EQ(operations[2].kind, OperationKind::view({2, 1, 4, false}));
  EXPECT_EQ(operations[3].kind, OperationKind::slice({1, 16, 16}));
  EXPECT_EQ(operations[4].kind, OperationKind::flash_attention(options));
  EXPECT_EQ(operations[4].inputs, (std::vector<ValueId>{half, half, half}));
  EXPECT_EQ(operations[5].kind, OperationKind::gemm({false, true}));
}

TEST(ComputeGraph, InputsAcceptAnyShape) {
  ComputeGraph graph;
  EXPECT_EQ(ok(graph.input("scalar", false, shape({}))), ValueId{0});
  EXPECT_EQ(ok(graph.input("scalar", false, shape({0, 3}))), ValueId{1});  // names may repeat
  EXPECT_EQ(graph.value_shape(ValueId{1})->get(), shape({0, 3}));
}

TEST(ComputeGraph, SetOutputsReplacesTheWholeList) {
  ComputeGraph graph;
  const ValueId a = ok(graph.input("a", false, shape({2})));
  const ValueId b = ok(graph.input("b", false, shape({2})));
  ASSERT_TRUE(graph.set_outputs({a, b}));
  ASSERT_TRUE(graph.set_outputs({b}));
  EXPECT_EQ(graph.outputs(), std::vector<ValueId>{b});
  ASSERT_TRUE(graph.set_outputs(std::span<const ValueId>{}));
  EXPECT_TRUE(graph.outputs().empty());
}

TEST(ComputeGraph, AppendOperationHandsOutConsecutiveIds) {
  std::vector<Operation> operations;
  std::set<ValueId> values = {ValueId{0}};
  std::map<ValueId, TensorShape> shapes = {{ValueId{0}, shape({4})}};
  std::uint32_t next_operation = 7;
  std::uint32_t next_value = 10;
  const std::vector<TensorShape> result_shapes = {shape({1}), shape({2}), shape({3})};
  const std::vector<ValueId> operands = {ValueId{0}};
  const auto results = append_operation(operations, values, shapes, next_operation, next_value,
                                        OperationKind::gelu(), operands, result_shapes);
  ASSERT_TRUE(results);
  EXPECT_EQ(*results, (std::vector<ValueId>{ValueId{10}, ValueId{11}, ValueId{12}}));
  EXPECT_EQ(next_operation, 8u);
  EXPECT_EQ(next_value, 13u);
  EXPECT_EQ(shapes.at(ValueId{12}), shape({3}));
  EXPECT_EQ(values.size(), 4u);
  ASSERT_EQ(operations.size(), 1u);
  EXPECT_EQ(operations[0].id, OperationId{7});
  EXPECT_EQ(operations[0].results, *results);

  const std::vector<ValueId> unknown = {ValueId{0}, ValueId{3}, ValueId{4}};
  const auto failed = append_operation(operations, values, shapes, next_operation, next_value, OperationKind::gelu(),
                                       unknown, result_shapes);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), GraphError{GraphError::UnknownValue{ValueId{3}}});
  EXPECT_EQ(next_operation, 8u);
  EXPECT_EQ(next_value, 13u);
  EXPECT_EQ(operations.size(), 1u);
}

// ---------------------------------------------------------------------------
// Value sequences and repeats

/// A graph with a hidden state h [8, 64], a weight w [64, 64] and a sequence
/// of three per-iteration biases [64].
struct RepeatSetting {
  RepeatSetting() {
    h = ok(graph.input("h", false, shape({8, 64})));
    w = ok(graph.parameter("w", {64, 64}));
    for (int i = 0; i < 3; ++i) {
      biases.push_back(ok(graph.parameter("bias", {64})));
    }
    sequence = ok(graph.value_sequence("biases", biases));
  }

  /// h' = gelu(h x w + bias): a body over carried h, invariant w and the biases.
  ComputeGraph body_for(const RepeatOperands& operands) {
    ComputeGraph body = ok(graph.repeat_body(operands));
    const auto& arguments = body.inputs();
    const ValueId product = ok(body.gemm(arguments[0].value, arguments[1].value));
    const ValueId biased = ok(body.add(product, arguments[2].value));
    const ValueId next = ok(body.gelu(biased));
    EXPECT_TRUE(body.set_outputs({next}));
    return body;
  }

  RepeatOperands operands() const { return RepeatOperands{{h}, {w}, {sequence}}; }

  ComputeGraph graph;
  ValueId h;
  ValueId w;
  std::vector<ValueId> biases;
  ValueSequenceId sequence;
};

class RepeatGraph : public ::testing::Test, public RepeatSetting {};

TEST_F(RepeatGraph, SequencesAreNumberedInCreationOrder) {
  EXPECT_EQ(sequence, ValueSequenceId{0});
  EXPECT_EQ(ok(graph.value_sequence("again", {biases[0]})), ValueSequenceId{1});
  EXPECT_EQ(ok(graph.value_sequence("none", std::span<const ValueId>{})), ValueSequenceId{2});
  EXPECT_EQ(dump(graph.find_sequence(sequence)->get()),
            "ValueSequence { name: \"biases\", entries: [ValueId(2), ValueId(3), ValueId(4)], id: "
            "ValueSequenceId(0) }");
  EXPECT_FALSE(graph.find_sequence(ValueSequenceId{3}).has_value());
}

TEST_F(RepeatGraph, BodyArgumentsFollowTheOperandOrder) {
  const ComputeGraph body = ok(graph.repeat_body(operands()));
  ASSERT_EQ(body.inputs().size(), 3u);
  EXPECT_EQ(body.inputs()[0].value, ValueId{0});
  EXPECT_EQ(body.inputs()[0].shape, shape({8, 64}));
  EXPECT_EQ(body.inputs()[1].shape, shape({64, 64}));
  EXPECT_EQ(body.inputs()[2].shape, shape({64}));  // the shape of the sequence's entries
  EXPECT_TRUE(body.operations().empty());
}

TEST_F(RepeatGraph, RepeatAppendsOneOperationOwningItsBody) {
  const ComputeGraph body = body_for(operands());
  const std::uint32_t next_value = graph.next_value();
  const std::vector<ValueId> results = ok(graph.repeat(3, operands(), body));

  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0], ValueId{next_value});
  EXPECT_EQ(graph.value_shape(results[0])->get(), shape({8, 64}));
  ASSERT_EQ(graph.operations().size(), 1u);
  const Operation& operation = graph.operations()[0];
  EXPECT_EQ(operation.id, OperationId{0});
  EXPECT_EQ(operation.inputs, (std::vector<ValueId>{h, w}));  // carried, then invariant
  EXPECT_EQ(operation.results, results);

  const auto* repeat = operation.kind.get_if<OperationKind::Repeat>();
  ASSERT_NE(repeat, nullptr);
  EXPECT_EQ(repeat->repeat.count, 3u);
  EXPECT_EQ(repeat->repeat.carried_inputs, 1u);
  EXPECT_EQ(repeat->repeat.invariant_inputs, 1u);
  EXPECT_EQ(repeat->repeat.iterated_inputs, std::vector<ValueSequenceId>{sequence});
  const Region& region = repeat->repeat.body;
  EXPECT_EQ(region.arguments, (std::vector<ValueId>{ValueId{0}, ValueId{1}, ValueId{2}}));
  EXPECT_EQ(region.operations, body.operations());
  EXPECT_EQ(region.yields, body.outputs());
  EXPECT_EQ(region.value_shapes, body.value_shapes());

  // The repeat's result feeds later operations like any other value.
  const ValueId after = ok(graph.gemm(results[0], w));
  EXPECT_EQ(graph.value_shape(after)->get(), shape({8, 64}));
}

TEST_F(RepeatGraph, RepeatsNest) {
  // The inner repeat carries the body's argument and iterates nothing.
  ComputeGraph outer_body = ok(graph.repeat_body(RepeatOperands{{h}, {}, {}}));
  const ValueId state = outer_body.inputs()[0].value;
  ComputeGraph inner_body = ok(outer_body.repeat_body(RepeatOperands{{state}, {}, {}}));
  ASSERT_TRUE(inner_body.set_outputs({ok(inner_body.gelu(inner_body.inputs()[0].value))}));
  const std::vector<ValueId> inner = ok(outer_body.repeat(2, RepeatOperands{{state}, {}, {}}, inner_body));
  ASSERT_TRUE(outer_body.set_outputs(inner));
  const std::vector<ValueId> outer = ok(graph.repeat(4, RepeatOperands{{h}, {}, {}}, outer_body));
  EXPECT_EQ(graph.value_shape(outer[0])->get(), shape({8, 64}));
  const Region& region = graph.operations()[0].kind.get_if<OperationKind::Repeat>()->repeat.body;
  ASSERT_EQ(region.operations.size(), 1u);
  EXPECT_TRUE(region.operations[0].kind.is<OperationKind::Repeat>());
}

TEST_F(RepeatGraph, ARepeatWithoutCarriedValuesHasNoResults) {
  ComputeGraph body = ok(graph.repeat_body(RepeatOperands{{}, {w}, {}}));
  (void)ok(body.gelu(body.inputs()[0].value));
  EXPECT_EQ(ok(graph.repeat(2, RepeatOperands{{}, {w}, {}}, body)), std::vector<ValueId>{});
  EXPECT_EQ(graph.operations().size(), 1u);
}

// ---------------------------------------------------------------------------
// Failures leave the graph exactly as it was

struct FailureCase {
  std::string name;
  std::function<std::optional<GraphError>(RepeatSetting&)> call;
  GraphError expected;
};

/// Runs `call` and returns its error, or nothing when it succeeded.
template <class T>
std::optional<GraphError> error_of(const std::expected<T, GraphError>& result) {
  return result ? std::nullopt : std::optional(result.error());
}

TEST(ComputeGraphFailures, RefusedCallsChangeNothing) {
  const ValueId unknown{99};
  const auto shaped = [](const char* text) { return GraphError{GraphError::InvalidShape{text}}; };
  const std::vector<FailureCase> cases = {
      {"input with empty name",
       [](RepeatSetting& g) { return error_of(g.graph.input("", false, shape({1}))); },
       {GraphError::EmptyName{}}},
      {"parameter with empty name", [](RepeatSetting& g) { return error_of(g.graph.parameter("", {1})); },
       {GraphError::EmptyName{}}},
      {"gemm of an unknown right operand",
       [&](RepeatSetting& g) { return error_of(g.graph.gemm(g.h, unknown)); },
       {GraphError::UnknownValue{unknown}}},
      {"layer norm reports the first unknown operand",
       [&](RepeatSetting& g) { return error_of(g.graph.layer_norm(g.h, ValueId{98}, unknown)); },
       {GraphError::UnknownValue{ValueId{98}}}},
      {"gemm with mismatched inner extents",
       [](RepeatSetting& g) { return error_of(g.graph.gemm(g.w, g.h)); },
       shaped("GEMM inner dimensions do not match")},
      {"inferred repeat", [](RepeatSetting& g) { return error_of(g.graph.inferred_result(OperationKind::repeat({}), {g.h})); },
       shaped("repeat result shapes are defined by carried values")},
      {"set_outputs naming an unknown value",
       [&](RepeatSetting& g) { return error_of(g.graph.set_outputs({g.h, unknown})); },
       {GraphError::UnknownValue{unknown}}},
      {"sequence with empty name", [](RepeatSetting& g) { return error_of(g.graph.value_sequence("", {g.h})); },
       {GraphError::EmptyName{}}},
      {"sequence of an unknown value",
       [&](RepeatSetting& g) { return error_of(g.graph.value_sequence("s", {g.h, unknown})); },
       {GraphError::UnknownValue{unknown}}},
      {"sequence entries of different shapes",
       [](RepeatSetting& g) { return error_of(g.graph.value_sequence("s", {g.h, g.h, g.w, g.h})); },
       {GraphError::SequenceShape{2}}},
      {"body over an unknown sequence",
       [](RepeatSetting& g) { return error_of(g.graph.repeat_body(RepeatOperands{{g.h}, {}, {ValueSequenceId{5}}})); },
       {GraphError::UnknownSequence{ValueSequenceId{5}}}},
      {"repeat zero times",
       [](RepeatSetting& g) { return error_of(g.graph.repeat(0, g.operands(), g.body_for(g.operands()))); },
       {GraphError::EmptyRepeat{}}},
      {"repeat over an unknown invariant value",
       [&](RepeatSetting& g) {
         return error_of(g.graph.repeat(3, RepeatOperands{{g.h}, {unknown}, {g.sequence}}, g.body_for(g.operands())));
       },
       {GraphError::UnknownValue{unknown}}},
      {"repeat over an unknown sequence",
       [](RepeatSetting& g) {
         return error_of(
             g.graph.repeat(3, RepeatOperands{{g.h}, {g.w}, {ValueSequenceId{7}}}, g.body_for(g.operands())));
       },
       {GraphError::UnknownSequence{ValueSequenceId{7}}}},
      {"repeat longer than its sequence",
       [](RepeatSetting& g) { return error_of(g.graph.repeat(4, g.operands(), g.body_for(g.operands()))); },
       {GraphError::ShortSequence{ValueSequenceId{0}, 3, 4}}},
      {"body with arguments in another order",
       [](RepeatSetting& g) {
         return error_of(g.graph.repeat(3, RepeatOperands{{g.w}, {g.h}, {g.sequence}}, g.body_for(g.operands())));
       },
       shaped("repeat body arguments do not match the repeat's operands")},
      {"body without the iterated argument",
       [](RepeatSetting& g) {
         return error_of(g.graph.repeat(3, g.operands(), ok(g.graph.repeat_body(RepeatOperands{{g.h}, {g.w}, {}}))));
       },
       shaped("repeat body arguments do not match the repeat's operands")},
      {"body iterating a sequence of its own",
       [](RepeatSetting& g) {
         ComputeGraph body = ok(g.graph.repeat_body(RepeatOperands{{g.h}, {}, {}}));
         const ValueId state = body.inputs()[0].value;
         const ValueSequenceId inner = ok(body.value_sequence("inner", {state}));
         ComputeGraph inner_body = ok(body.repeat_body(RepeatOperands{{state}, {}, {inner}}));
         EXPECT_TRUE(inner_body.set_outputs({inner_body.inputs()[0].value}));
         EXPECT_TRUE(body.set_outputs(ok(body.repeat(1, RepeatOperands{{state}, {}, {inner}}, inner_body))));
         return error_of(g.graph.repeat(1, RepeatOperands{{g.h}, {}, {}}, body));
       },
       {GraphError::UnknownSequence{ValueSequenceId{0}}}},
      {"body yielding nothing",
       [](RepeatSetting& g) {
         return error_of(g.graph.repeat(3, g.operands(), ok(g.graph.repeat_body(g.operands()))));
       },
       {GraphError::YieldArity{1, 0}}},
      {"body yielding two values for one",
       [](RepeatSetting& g) {
         ComputeGraph body = ok(g.graph.repeat_body(g.operands()));
         EXPECT_TRUE(body.set_outputs({body.inputs()[0].value, body.inputs()[0].value}));
         return error_of(g.graph.repeat(3, g.operands(), body));
       },
       {GraphError::YieldArity{1, 2}}},
      {"body yielding the wrong shape",
       [](RepeatSetting& g) {
         const RepeatOperands both{{g.h, g.w}, {}, {}};
         ComputeGraph body = ok(g.graph.repeat_body(both));
         EXPECT_TRUE(body.set_outputs({body.inputs()[0].value, body.inputs()[0].value}));
         return error_of(g.graph.repeat(3, both, body));
       },
       {GraphError::YieldShape{1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RepeatSetting fixture;
    (void)fixture.graph.set_outputs({fixture.h});
    const ComputeGraph before = fixture.graph;
    const std::optional<GraphError> error = c.call(fixture);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, c.expected) << dump(*error);
    EXPECT_EQ(fixture.graph, before) << dump(fixture.graph);
  }
}

TEST_F(RepeatGraph, BodyOverAnEmptySequenceIsRefused) {
  // Every repeat runs at least once, so an empty sequence can feed none.
  const ValueSequenceId empty = ok(graph.value_sequence("empty", std::span<const ValueId>{}));
  const auto body = graph.repeat_body(RepeatOperands{{h}, {}, {empty}});
  ASSERT_FALSE(body);
  EXPECT_EQ(body.error(), (GraphError{GraphError::ShortSequence{empty, 0, 1}}));
}

TEST(ComputeGraphFailures, IdentifiersAreNotConsumedByRefusedCalls) {
  ComputeGraph graph;
  const ValueId a = ok(graph.input("a", false, shape({2, 3})));
  EXPECT_FALSE(graph.input("", false, shape({2})));
  EXPECT_FALSE(graph.gemm(a, a));
  EXPECT_EQ(ok(graph.input("b", false, shape({3, 4}))), ValueId{1});
  const ValueId product = ok(graph.gemm(a, ValueId{1}));
  EXPECT_EQ(product, ValueId{2});
  EXPECT_EQ(graph.operations().back().id, OperationId{0});
}

// ---------------------------------------------------------------------------
// Shape rules

struct BroadcastCase {
  Dims left;
  Dims right;
  std::expected<Dims, std::string> expected;
};

TEST(Broadcast, AlignsAtTheLastAxis) {
  const std::vector<BroadcastCase> cases = {
      {{8, 1, 6}, {7, 1}, Dims{8, 7, 6}},
      {{}, {}, Dims{}},
      {{1}, {}, Dims{1}},
      {{0}, {1}, Dims{0}},  // a 1 stretches to an empty axis
      {{1, 1}, {0}, Dims{1, 0}},
      {{0}, {0}, Dims{0}},
      {{3}, {4}, std::unexpected("dimensions 3 and 4 cannot be broadcast")},
      {{0}, {2}, std::unexpected("dimensions 0 and 2 cannot be broadcast")},
      // the outermost conflict is the one reported
      {{2, 5}, {3, 6}, std::unexpected("dimensions 2 and 3 cannot be broadcast")},
      {{2, 1, 5}, {6}, std::unexpected("dimensions 5 and 6 cannot be broadcast")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(broadcast(c.left, c.right), c.expected)
        << support::dump_value(c.left) << " with " << support::dump_value(c.right);
  }
}

struct InferenceCase {
  std::string name;
  OperationKind kind;
  std::vector<Dims> operands;  // shapes of the operands, in order
  std::expected<Dims, std::string> expected;
};

std::expected<Dims, std::string> inferred(const OperationKind& kind, const std::vector<Dims>& operand_shapes,
                                          std::size_t extra_unknown = 0) {
  std::map<ValueId, TensorShape> shapes;
  std::vector<ValueId> operands;
  for (std::uint32_t i = 0; i < operand_shapes.size(); ++i) {
    shapes.emplace(ValueId{i}, shape(operand_shapes[i]));
    operands.push_back(ValueId{i});
  }
  for (std::size_t i = 0; i < extra_unknown; ++i) {
    operands.push_back(ValueId{1000});
  }
  auto result = infer_shape(kind, operands, shapes);
  if (!result) {
    return std::unexpected(result.error());
  }
  return result->dimensions;
}

std::uint32_t float_bits(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(InferShape, RulesAndMessages) {
  const auto fail = [](const char* text) { return std::unexpected(std::string(text)); };
  const OperationKind gemm = OperationKind::gemm();
  const auto attention = [](std::uint32_t bits) {
    return OperationKind::flash_attention({false, AttentionScale::value_bits(bits)});
  };
  const OperationKind default_attention = OperationKind::flash_attention({true, {}});
  const std::vector<InferenceCase> cases = {
      // Gemm
      {"gemm broadcasts against an empty batch", gemm, {{1, 8, 128}, {128, 128}}, Dims{1, 8, 128}},
      {"gemm batch conflict", gemm, {{4, 8, 16}, {2, 16, 32}}, fail("dimensions 4 and 2 cannot be broadcast")},
      {"gemm batch broadcast", gemm, {{4, 1, 8, 16}, {3, 16, 32}}, Dims{4, 3, 8, 32}},
      {"gemm rank one before inner extents", gemm, {{16}, {8, 32}},
       fail("GEMM inputs must have rank at least two")},
      {"gemm right rank one", gemm, {{8, 16}, {16}}, fail("GEMM inputs must have rank at least two")},
      {"gemm inner mismatch", gemm, {{8, 16}, {32, 8}}, fail("GEMM inner dimensions do not match")},
      {"gemm transposed left", OperationKind::gemm({true, false}), {{128, 8}, {128, 64}}, Dims{8, 64}},
      {"gemm transposed right", OperationKind::gemm({false, true}), {{8, 128}, {64, 128}}, Dims{8, 64}},
      {"gemm both transposed", OperationKind::gemm({true, true}), {{128, 8}, {64, 128}}, Dims{8, 64}},
      {"gemm transposed left mismatch", OperationKind::gemm({true, false}), {{8, 128}, {128, 64}},
       fail("GEMM inner dimensions do not match")},
      {"gemm one operand", gemm, {{8, 16}}, fail("wrong input arity")},
      {"gemm ignores extra operands", gemm, {{8, 16}, {16, 4}, {1}}, Dims{8, 4}},
      // Gelu
      {"gelu copies", OperationKind::gelu(), {{0, 3}}, Dims{0, 3}},
      {"gelu of rank zero", OperationKind::gelu(), {{}}, Dims{}},
      {"gelu without operand", OperationKind::gelu(), {}, fail("wrong input arity")},
      // LayerNorm
      {"layernorm", OperationKind::layer_norm(), {{1, 8, 128}, {1, 1, 128}, {128}}, Dims{1, 8, 128}},
      {"layernorm scale not a vector", OperationKind::layer_norm(), {{1, 8, 128}, {2, 64}, {128}},
       fail("layernorm scale/bias must be last-axis vectors")},
      {"layernorm scale on the wrong axis", OperationKind::layer_norm(), {{1, 8, 128}, {128, 1}, {128}},
       fail("layernorm scale/bias must be last-axis vectors")},
      {"layernorm bias rank zero", OperationKind::layer_norm(), {{1, 8, 128}, {128}, {}},
       fail("layernorm scale/bias must be last-axis vectors")},
      {"layernorm bias too wide", OperationKind::layer_norm(), {{1, 8, 128}, {128}, {256}},
       fail("layernorm scale/bias must be last-axis vectors")},
      {"layernorm rank zero before scale", OperationKind::layer_norm(), {{}}, fail("layernorm needs an axis")},
      {"layernorm scale checked before bias is missing", OperationKind::layer_norm(), {{8, 128}, {64}},
       fail("layernorm scale/bias must be last-axis vectors")},
      {"layernorm without bias", OperationKind::layer_norm(), {{8, 128}, {128}}, fail("wrong input arity")},
      {"layernorm without scale", OperationKind::layer_norm(), {{8, 128}}, fail("wrong input arity")},
      // 3 x 2863311531 x 2^31 wraps in 64 bits to 2^31, the last extent: still not a vector.
      {"layernorm product wrap", OperationKind::layer_norm(),
       {{1, 0x80000000u}, {3, 2863311531u, 0x80000000u}, {0x80000000u}},
       fail("layernorm scale/bias must be last-axis vectors")},
      {"layernorm empty last axis", OperationKind::layer_norm(), {{4, 0}, {5, 0}, {0}},
       fail("layernorm scale/bias must be last-axis vectors")},
      {"layernorm empty last axis with vectors", OperationKind::layer_norm(), {{4, 0}, {1, 0}, {0}}, Dims{4, 0}},
      // Add
      {"add broadcasts", OperationKind::add(), {{8, 1, 6}, {7, 1}}, Dims{8, 7, 6}},
      {"add conflict", OperationKind::add(), {{3}, {4}}, fail("dimensions 3 and 4 cannot be broadcast")},
      {"add one operand", OperationKind::add(), {{3}}, fail("wrong input arity")},
      // View and Slice
      {"view", OperationKind::view({1, 2, 4, false}), {{1, 8, 128}}, Dims{1, 2, 512}},
      {"view invalid", OperationKind::view({1, 2, 3, false}), {{1, 8, 128}},
       fail("view axes, factor, or output dimensions are invalid")},
      {"view without operand", OperationKind::view({1, 2, 4, false}), {}, fail("wrong input arity")},
      {"slice", OperationKind::slice({1, 4, 4}), {{2, 8}}, Dims{2, 4}},
      {"slice outside", OperationKind::slice({1, 5, 4}), {{2, 8}}, fail("slice lies outside its input")},
      {"slice without operand", OperationKind::slice({1, 4, 4}), {}, fail("wrong input arity")},
      // FlashAttention
      {"attention", default_attention, {{2, 16, 64}, {2, 32, 64}, {2, 32, 48}}, Dims{2, 16, 48}},
      {"attention batch broadcast", default_attention, {{4, 1, 16, 64}, {3, 32, 64}, {1, 32, 48}},
       Dims{4, 3, 16, 48}},
      {"attention key/value batch conflict first", default_attention, {{5, 16, 64}, {2, 32, 64}, {3, 32, 48}},
       fail("dimensions 2 and 3 cannot be broadcast")},
      {"attention query batch conflict", default_attention, {{5, 16, 64}, {2, 32, 64}, {1, 32, 48}},
       fail("dimensions 5 and 2 cannot be broadcast")},
      {"attention value rank one", default_attention, {{16, 64}, {32, 64}, {48}},
       fail("FlashAttention inputs must have rank at least two")},
      {"attention head width", default_attention, {{16, 64}, {32, 32}, {32, 48}},
       fail("FlashAttention head or sequence dimensions do not match")},
      {"attention key length", default_attention, {{16, 64}, {32, 64}, {16, 48}},
       fail("FlashAttention head or sequence dimensions do not match")},
      {"attention without value", default_attention, {{16, 64}, {32, 64}}, fail("wrong input arity")},
      {"attention scale checked before batches", attention(float_bits(-1.0f)), {{5, 16, 64}, {2, 32, 64}, {3, 32, 48}},
       fail("attention scale must be finite and positive")},
      {"attention scale positive", attention(float_bits(0.125f)), {{16, 64}, {32, 64}, {32, 48}}, Dims{16, 48}},
      {"attention scale smallest subnormal", attention(1u), {{16, 64}, {32, 64}, {32, 48}}, Dims{16, 48}},
      {"attention scale largest finite", attention(float_bits(std::numeric_limits<float>::max())),
       {{16, 64}, {32, 64}, {32, 48}}, Dims{16, 48}},
      {"attention scale zero", attention(0u), {{16, 64}, {32, 64}, {32, 48}},
       fail("attention scale must be finite and positive")},
      {"attention scale negative zero", attention(0x80000000u), {{16, 64}, {32, 64}, {32, 48}},
       fail("attention scale must be finite and positive")},
      {"attention scale infinity", attention(float_bits(std::numeric_limits<float>::infinity())),
       {{16, 64}, {32, 64}, {32, 48}}, fail("attention scale must be finite and positive")},
      {"attention scale negative infinity", attention(float_bits(-std::numeric_limits<float>::infinity())),
       {{16, 64}, {32, 64}, {32, 48}}, fail("attention scale must be finite and positive")},
      {"attention scale NaN", attention(0x7fc00000u), {{16, 64}, {32, 64}, {32, 48}},
       fail("attention scale must be finite and positive")},
      // Repeat
      {"repeat", OperationKind::repeat({}), {{8}}, fail("repeat result shapes are defined by carried values")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(inferred(c.kind, c.operands), c.expected) << c.name;
  }
}

TEST(InferShape, OperandsWithoutShapeAreMissing) {
  // The second operand of the gemm is in the operand list but has no shape.
  EXPECT_EQ(inferred(OperationKind::gemm(), {{8, 16}}, 1), std::unexpected(std::string("wrong input arity")));
  EXPECT_EQ(inferred(OperationKind::layer_norm(), {{8, 16}, {16}}, 1),
            std::unexpected(std::string("wrong input arity")));
}

}  // namespace
}  // namespace vexa_codegen::graph
