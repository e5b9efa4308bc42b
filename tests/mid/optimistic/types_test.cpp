#include "vexa_codegen/mid/optimistic/types.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid::optimistic {
namespace {

using graph::TensorShape;
using layout::AmpOrder;
using layout::AxisPadding;
using layout::AxisTiling;
using layout::BlockMajorOrder;
using layout::ElementOrder;
using layout::Layout;
using layout::MemoryClass;
using layout::Precision;
using layout::TensorAxis;
using layout::TensorTiling;
using layout::TensorType;

// ---- assumptions -------------------------------------------------------------

TEST(Assumption, SetsListKernelsByTextThenTheOthersInDeclarationOrder) {
  const Assumptions set{Assumption::missing_cost_model(), Assumption::missing_kernel("b"),
                        Assumption::missing_kernel("a"), Assumption::missing_equivalence_rule(),
                        Assumption::conversion_eligibility()};
  EXPECT_EQ(support::dump_value(set),
            "{MissingKernel(\"a\"), MissingKernel(\"b\"), MissingEquivalenceRule, ConversionEligibility, "
            "MissingCostModel}");
  EXPECT_EQ(support::dump_value(Assumptions{}), "{}");
}

TEST(Assumption, KernelTextsCompareAsUnsignedBytesWithPrefixesFirst) {
  const auto kernel = [](std::string text) { return Assumption::missing_kernel(std::move(text)); };
  EXPECT_LT(kernel("F16"), kernel("F16 RowMajor"));
  EXPECT_LT(kernel("B"), kernel("a"));
  // A byte above 0x7f sorts after every ASCII byte, whatever the signedness of char.
  EXPECT_LT(kernel("z"), kernel("\xc3\xa9"));
  EXPECT_LT(kernel(std::string("a\0b", 3)), kernel("ab"));
  EXPECT_EQ(kernel("x") <=> kernel("x"), std::strong_ordering::equal);
  EXPECT_LT(kernel("\xff"), Assumption::missing_equivalence_rule());
  EXPECT_LT(Assumption::conversion_eligibility(), Assumption::missing_cost_model());
}

TEST(Assumption, KernelTextsAreDumpedEscaped) {
  EXPECT_EQ(dump(Assumption::missing_kernel("say \"hi\" \\ now")), R"(MissingKernel("say \"hi\" \\ now"))");
  EXPECT_EQ(dump(Assumption::missing_kernel("F16 RowMajor -> F8F143 { scale_exponent: 0 } Amp(Left)")),
            R"x(MissingKernel("F16 RowMajor -> F8F143 { scale_exponent: 0 } Amp(Left)"))x");
}

// ---- errors ------------------------------------------------------------------

TEST(SearchError, MessagesAndDumps) {
  struct Case {
    SearchError error;
    std::string message;
    std::string dump;
  };
  const std::vector<Case> cases{
      {invalid("invalid operation range"), "invalid optimistic search request: invalid operation range",
       R"(InvalidRequest("invalid operation range"))"},
      {invalid("say \"no\""), "invalid optimistic search request: say \"no\"", R"(InvalidRequest("say \"no\""))"},
      {SearchError{SearchError::UnsupportedOperation{graph::OperationId{3}}},
       "unsupported regional operator OperationId(3); choose a straight-line region",
       "UnsupportedOperation(OperationId(3))"},
      {SearchError{SearchError::NoCandidates{.expanded = 40, .memory = 3, .implementations = 0}},
       "no regional candidates; expanded 40, memory rejections 3, implementation rejections 0",
       "NoCandidates { expanded: 40, memory: 3, implementations: 0 }"},
      {SearchError{SearchError::NoCandidates{}},
       "no regional candidates; expanded 0, memory rejections 0, implementation rejections 0",
       "NoCandidates { expanded: 0, memory: 0, implementations: 0 }"},
      {SearchError{SearchError::NoCandidates{.expanded = 1, .memory = 2, .implementations = 3}},
       "no regional candidates; expanded 1, memory rejections 2, implementation rejections 3",
       "NoCandidates { expanded: 1, memory: 2, implementations: 3 }"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(message(c.error), c.message);
    EXPECT_EQ(dump(c.error), c.dump);
  }
}

TEST(SearchError, InvalidCopiesItsText) {
  std::string text = "unknown input";
  const SearchError error = invalid(text);
  text.assign("changed");
  ASSERT_TRUE(error.is<SearchError::InvalidRequest>());
  EXPECT_EQ(error.get_if<SearchError::InvalidRequest>()->text, "unknown input");
}

TEST(SearchLimits, DumpListsTheSixSizesInOrder) {
  const SearchLimits limits{.max_operations = 8,
                            .beam_width = 16,
                            .max_conversion_steps = 3,
                            .max_conversion_paths = 8,
                            .max_expansions = 2048,
                            .max_fused_steps = 4};
  EXPECT_EQ(dump(limits),
            "SearchLimits { max_operations: 8, beam_width: 16, max_conversion_steps: 3, max_conversion_paths: 8, "
            "max_expansions: 2048, max_fused_steps: 4 }");
}

// ---- tensor validity ---------------------------------------------------------

AxisTiling cut(TensorAxis axis, std::uint16_t parts, std::uint32_t panel = 1) {
  return AxisTiling{.axis = axis, .parts = parts, .panel = panel, .padding_multiple = panel};
}

TensorType tensor(std::vector<std::uint32_t> shape, Precision precision, ElementOrder order,
                  std::vector<AxisTiling> axes, std::uint16_t tile_count) {
  return TensorType{
      .shape = TensorShape{std::move(shape)},
      .format = {.precision = precision,
                 .layout = Layout{.order = order,
                                  .tiling = TensorTiling{.axes = std::move(axes), .tile_count = tile_count},
                                  .memory_class = MemoryClass::Vexa21Standard}}};
}

TEST(ValidTensor, Rules) {
  const ElementOrder row = ElementOrder::row_major();
  const ElementOrder left = ElementOrder::amp(AmpOrder::Left);
  const ElementOrder blocks = ElementOrder::block_major(BlockMajorOrder::matrix(16, 16));
  const Precision f16 = Precision::f16();
  const TensorAxis rows = TensorAxis::trailing(2);
  const TensorAxis columns = TensorAxis::trailing(1);
  constexpr std::uint32_t huge = std::numeric_limits<std::uint32_t>::max();

  struct Case {
    const char* name;
    TensorType type;
    std::uint16_t tiles;
    bool valid;
  };
  const std::vector<Case> cases{
      {"row-major rows over all tiles", tensor({8, 16}, f16, row, {cut(rows, 4)}, 4), 4, true},
      {"more tiles than the pipeline", tensor({8, 16}, f16, row, {cut(rows, 4)}, 4), 2, false},
      {"no tiles", tensor({8, 16}, f16, row, {}, 0), 4, false},
      {"does not resolve", tensor({8, 16}, f16, row, {cut(rows, 4)}, 3), 4, false},
      {"per-tile elements fit", tensor({huge, huge}, Precision::f8f143(0), row, {}, 1), 1, true},
      {"per-tile bytes overflow", tensor({huge, huge}, Precision::f32(), row, {}, 1), 1, false},
      // 65535 x 42009217 x 6700417 = 2^64 - 1: the figure that stands for "no figure".
      {"per-tile bytes equal the absent figure", tensor({65535, 42009217, 6700417}, Precision::f8f143(0), row, {}, 1),
       1, false},
      {"per-tile elements saturate", tensor({huge, huge, huge}, Precision::f8f143(0), row, {}, 1), 1, false},
      {"AMP left with whole vectors", tensor({2, 32}, f16, left, {}, 1), 1, true},
      {"AMP left with a partial vector", tensor({2, 24}, f16, left, {}, 1), 1, false},
      {"AMP left over one axis", tensor({32}, f16, left, {}, 1), 1, false},
      {"AMP left flattened",
       tensor({2, 32}, f16, left, {AxisTiling{.axis = TensorAxis::flattened(), .parts = 2, .panel = 32}}, 2), 2,
       false},
      // 56 columns in panels of 8 over two tiles: shards of 32 and 24 columns;
      // the smaller one does not hold whole 16-element vectors.
      {"a smaller shard is refused", tensor({2, 56}, f16, left, {cut(columns, 2, 8)}, 2), 2, false},
      {"every shard size accepted", tensor({2, 64}, f16, left, {cut(columns, 2, 16)}, 2), 2, true},
      {"block-major whole blocks", tensor({32, 32}, f16, blocks, {cut(rows, 2)}, 2), 2, true},
      {"block-major partial block", tensor({32, 24}, f16, blocks, {}, 1), 1, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(valid_tensor(c.type, c.tiles), c.valid) << c.name;
  }
}

TEST(ValidTensor, TheUnevenShardCaseReallyHasTwoShardSizes) {
  const TensorType type = tensor({2, 56}, Precision::f16(), ElementOrder::row_major(),
                                 {cut(TensorAxis::trailing(1), 2, 8)}, 2);
  const auto resolution = type.format.layout.resolve(type.shape);
  ASSERT_TRUE(resolution.has_value());
  EXPECT_EQ(resolution->axes[1].extent_sizes(), (std::vector<std::uint32_t>{24, 32}));
  EXPECT_TRUE(valid_tensor(type, 2));
}

}  // namespace
}  // namespace vexa_codegen::mid::optimistic
