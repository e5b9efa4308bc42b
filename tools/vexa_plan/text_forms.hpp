// The texts by which a request names library values.
//
// Precisions, element orders, axes and the other small variants are written
// exactly as the library dumps them (`F16`, `F8F143 { scale_exponent: -4 }`,
// `BlockMajor(Matrix { row_block: 64, column_block: 16 })`, `Trailing(2)`,
// `Batched(4)`), so that what a report prints can be pasted back into a
// request. A layout may be written as a call of one of the library's named
// layout constructors with its arguments, e.g. `row_sharded(64)` or
// `amp_output_grid(64, 64, 8, 8, false)`. Each parser returns the value or a
// sentence saying what is wrong with the text.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"

namespace vexa_plan {

namespace layout = vexa_codegen::mid::layout;
namespace operators = vexa_codegen::mid::operators;

[[nodiscard]] std::expected<layout::Precision, std::string> parse_precision(std::string_view text);
[[nodiscard]] std::expected<layout::ElementOrder, std::string> parse_element_order(std::string_view text);
[[nodiscard]] std::expected<layout::TensorAxis, std::string> parse_axis(std::string_view text);
[[nodiscard]] std::expected<layout::MemoryClass, std::string> parse_memory_class(std::string_view text);
[[nodiscard]] std::expected<layout::AxisPadding, std::string> parse_padding(std::string_view text);
[[nodiscard]] std::expected<operators::AccumulationPrecision, std::string> parse_accumulation(std::string_view text);
[[nodiscard]] std::expected<operators::GemmOrientation, std::string> parse_orientation(std::string_view text);
[[nodiscard]] std::expected<operators::ReductionStaging, std::string> parse_reduction_staging(std::string_view text);
[[nodiscard]] std::expected<operators::LocalOperandStaging, std::string> parse_local_staging(std::string_view text);

/// The layout that a named constructor builds from the given arguments:
/// integers, `true`/`false` and memory class names, e.g. `row_sharded(64)`.
/// Every argument is checked against the width of its parameter; the layout
/// itself is not validated (the search rejects layouts that do not fit).
[[nodiscard]] std::expected<layout::Layout, std::string> parse_layout_call(std::string_view text);

}  // namespace vexa_plan
