#include "vexa_codegen/graph/types.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <unordered_set>

namespace vexa_codegen::graph {
namespace {

using view::AxisFactorView;

TensorShape shape(std::vector<std::uint32_t> dimensions) { return TensorShape{std::move(dimensions)}; }

struct SliceCase {
  AxisSlice slice;
  TensorShape input;
  std::optional<TensorShape> expected;
};

TEST(AxisSlice, OutputShape) {
  constexpr std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
  const std::vector<SliceCase> cases = {
      {{1, 4, 4}, shape({2, 8}), shape({2, 4})},
      {{1, 5, 4}, shape({2, 8}), std::nullopt},   // 5 + 4 exceeds 8
      {{1, 0, 8}, shape({2, 8}), shape({2, 8})},  // the whole axis
      {{1, 0, 0}, shape({2, 8}), std::nullopt},   // empty slices never apply
      {{2, 0, 1}, shape({2, 8}), std::nullopt},   // axis outside the input
      {{0, 2, max}, shape({max, 1}), std::nullopt},  // end wraps past 32 bits
      {{0, 0, max}, shape({max, 1}), shape({max, 1})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.slice.output_shape(c.input), c.expected) << dump(c.slice) << " on " << dump(c.input);
  }
}

struct ViewCase {
  AxisFactorView view;
  TensorShape input;
  std::optional<TensorShape> expected;
};

TEST(AxisFactorView, OutputShape) {
  const std::vector<ViewCase> cases = {
      {{1, 2, 4, false}, shape({1, 8, 128}), shape({1, 2, 512})},
      {{1, 2, 4, true}, shape({1, 8, 128}), shape({1, 32, 32})},
      {{1, 2, 3, false}, shape({1, 8, 128}), std::nullopt},  // 8 is not a multiple of 3
      {{1, 2, 3, true}, shape({1, 8, 128}), std::nullopt},   // reversed: 128 is not either
      {{1, 1, 4, false}, shape({1, 8, 128}), std::nullopt},  // equal axes
      {{1, 2, 0, false}, shape({1, 8, 128}), std::nullopt},  // zero factor
      {{1, 3, 2, false}, shape({1, 8, 128}), std::nullopt},  // multiplied axis outside
      {{3, 1, 2, true}, shape({1, 8, 128}), std::nullopt},   // reversed: split axis multiplied, outside
      {{0, 1, 2, false}, shape({4, 0x80000000u}), std::nullopt},  // 2^31 * 2 does not fit
      {{0, 1, 2, false}, shape({4, 0x7fffffffu}), shape({2, 0xfffffffeu})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.view.output_shape(c.input), c.expected) << dump(c.view) << " on " << dump(c.input);
  }
}

TEST(GraphTypes, PayloadDumps) {
  EXPECT_EQ(dump(ValueId{5}), "ValueId(5)");
  EXPECT_EQ(dump(OperationId{0}), "OperationId(0)");
  EXPECT_EQ(dump(ValueSequenceId{1}), "ValueSequenceId(1)");
  EXPECT_EQ(dump(shape({1, 8, 128})), "TensorShape([1, 8, 128])");
  EXPECT_EQ(dump(shape({})), "TensorShape([])");
  EXPECT_EQ(dump(GemmOptions{false, true}), "GemmOptions { transpose_left: false, transpose_right: true }");
  EXPECT_EQ(dump(AttentionOptions{true, AttentionScale::inverse_sqrt_query_width()}),
            "AttentionOptions { causal: true, scale: InverseSqrtQueryWidth }");
  EXPECT_EQ(dump(AttentionScale::fixed(1.0f)), "ValueBits(1065353216)");
  EXPECT_EQ(dump(AxisSlice{2, 0, 64}), "AxisSlice { axis: 2, start: 0, length: 64 }");
  EXPECT_EQ(dump(AxisFactorView{1, 2, 4, false}), "AxisFactorView { split_axis: 1, merge_axis: 2, factor: 4, reversed: false }");
  EXPECT_EQ(dump(GraphInput{"x\"", shape({8}), ValueId{0}, true}),
            "GraphInput { name: \"x\\\"\", shape: TensorShape([8]), value: ValueId(0), is_parameter: true }");
  EXPECT_EQ(dump(ValueSequence{"layers", {ValueId{1}, ValueId{2}}, ValueSequenceId{0}}),
            "ValueSequence { name: \"layers\", entries: [ValueId(1), ValueId(2)], id: ValueSequenceId(0) }");
}

TEST(GraphTypes, OperationDumps) {
  EXPECT_EQ(dump(Operation{OperationId{4}, {ValueId{3}, ValueId{5}}, {ValueId{6}}, OperationKind::gemm()}),
            "Operation { id: OperationId(4), inputs: [ValueId(3), ValueId(5)], results: [ValueId(6)], kind: "
            "Gemm(GemmOptions { transpose_left: false, transpose_right: false }) }");
  EXPECT_EQ(dump(OperationKind::gelu()), "Gelu");
  EXPECT_EQ(dump(OperationKind::layer_norm()), "LayerNorm");
  EXPECT_EQ(dump(OperationKind::add()), "Add");
  EXPECT_EQ(dump(OperationKind::view({0, 1, 2, true})),
            "View(AxisFactorView { split_axis: 0, merge_axis: 1, factor: 2, reversed: true })");
  EXPECT_EQ(dump(OperationKind::slice({0, 1, 2})), "Slice(AxisSlice { axis: 0, start: 1, length: 2 })");
  EXPECT_EQ(dump(OperationKind::flash_attention({false, AttentionScale::value_bits(7)})),
            "FlashAttention(AttentionOptions { causal: false, scale: ValueBits(7) })");

  Region body;
  body.arguments = {ValueId{0}};
  body.operations = {Operation{OperationId{0}, {ValueId{0}}, {ValueId{1}}, OperationKind::gelu()}};
  body.yields = {ValueId{1}};
  body.value_shapes = {{ValueId{0}, shape({8, 64})}, {ValueId{1}, shape({8, 64})}};
  const Repeat repeat{3, 1, 0, {ValueSequenceId{2}}, body};
  EXPECT_EQ(dump(OperationKind::repeat(repeat)),
            "Repeat(Repeat { count: 3, carried_inputs: 1, invariant_inputs: 0, iterated_inputs: [ValueSequenceId(2)], "
            "body: Region { arguments: [ValueId(0)], operations: [Operation { id: OperationId(0), inputs: "
            "[ValueId(0)], results: [ValueId(1)], kind: Gelu }], yields: [ValueId(1)], value_shapes: "
            "{ValueId(0): TensorShape([8, 64]), ValueId(1): TensorShape([8, 64])} } })");
}

TEST(GraphTypes, RepeatCopiesAreDeepAndCompareByStructure) {
  Region body;
  body.operations = {Operation{OperationId{0}, {ValueId{0}}, {ValueId{1}}, OperationKind::gelu()}};
  const Operation original{OperationId{1}, {ValueId{0}}, {ValueId{1}}, OperationKind::repeat(Repeat{2, 1, 0, {}, body})};
  Operation copy = original;
  EXPECT_EQ(copy, original);
  std::get<OperationKind::Repeat>(copy.kind.value).repeat.body.operations[0].kind = OperationKind::add();
  EXPECT_NE(copy, original);
  EXPECT_TRUE(original.kind.get_if<OperationKind::Repeat>()->repeat.body.operations[0].kind.is<OperationKind::Gelu>());
}

TEST(GraphTypes, KeyPayloadsHashByValue) {
  // The bit pattern takes part in the hash and equality of attention scales.
  std::unordered_set<AttentionOptions> options = {{false, AttentionScale::value_bits(1)},
                                                  {false, AttentionScale::value_bits(2)},
                                                  {false, AttentionScale::inverse_sqrt_query_width()},
                                                  {false, AttentionScale::value_bits(1)}};
  EXPECT_EQ(options.size(), 3u);
  EXPECT_EQ(std::hash<AxisSlice>{}(AxisSlice{1, 2, 3}), std::hash<AxisSlice>{}(AxisSlice{1, 2, 3}));
  EXPECT_EQ(std::hash<AxisFactorView>{}(AxisFactorView{1, 2, 4, true}),
            std::hash<AxisFactorView>{}(AxisFactorView{1, 2, 4, true}));
}


struct ErrorCase {
  GraphError error;
  std::string message;
  std::string dump;
};

TEST(GraphError, MessagesAndDumps) {
  const std::vector<ErrorCase> cases = {
      {{GraphError::EmptyName{}}, "graph name must not be empty", "EmptyName"},
      {{GraphError::UnknownValue{ValueId{9}}},
       "value ValueId(9) is not available in this operation list",
       "UnknownValue(ValueId(9))"},
      {{GraphError::UnknownSequence{ValueSequenceId{2}}},
       "value sequence ValueSequenceId(2) does not exist",
       "UnknownSequence(ValueSequenceId(2))"},
      {{GraphError::EmptyRepeat{}}, "repeat count must be nonzero", "EmptyRepeat"},
      {{GraphError::ShortSequence{ValueSequenceId{0}, 3, 4}},
       "value sequence ValueSequenceId(0) has 3 entries for 4 iterations",
       "ShortSequence { sequence: ValueSequenceId(0), available: 3, required: 4 }"},
      // The actual count comes first in the message, the expected one first in the dump.
      {{GraphError::YieldArity{3, 1}},
       "repeat body yielded 1 values for 3 carried values",
       "YieldArity { expected: 3, actual: 1 }"},
      {{GraphError::InvalidShape{"GEMM inner dimensions do not match"}},
       "operation has invalid shapes: GEMM inner dimensions do not match",
       "InvalidShape(\"GEMM inner dimensions do not match\")"},
      {{GraphError::InvalidShape{"a \"b\"\n"}}, "operation has invalid shapes: a \"b\"\n",
       "InvalidShape(\"a \\\"b\\\"\\n\")"},
      {{GraphError::SequenceShape{3}},
       "value sequence entry 3 has a different shape from its first entry",
       "SequenceShape { entry: 3 }"},
      {{GraphError::YieldShape{2}},
       "repeat yield 2 does not have the shape of carried value 2",
       "YieldShape { index: 2 }"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(message(c.error), c.message);
    EXPECT_EQ(dump(c.error), c.dump);
  }
}

}  // namespace
}  // namespace vexa_codegen::graph
