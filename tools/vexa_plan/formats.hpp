// Reading shapes, layouts and tensor formats from a request.
//
// A layout is written either as a call of a named layout constructor
// (`"row_sharded(64)"`) or as an object spelling out the whole tiling; a
// format is an object with a precision and a layout, each with a default.
#pragma once

#include <cstdint>

#include "json_input.hpp"
#include "vexa_codegen/graph/shape.hpp"
#include "vexa_codegen/mid/layout.hpp"

namespace vexa_plan {

/// A list of extents, outermost first.
[[nodiscard]] Result<vexa_codegen::graph::TensorShape> read_shape(const Node& node);

/// A layout: a constructor call (a string) or a full tiling (an object).
[[nodiscard]] Result<vexa_codegen::mid::layout::Layout> read_layout(const Node& node);

/// A format object whose members are among `allowed`: `precision` (default
/// F16) and `layout` (default `row_sharded(tiles)`).
[[nodiscard]] Result<vexa_codegen::mid::layout::TensorFormat> read_format(const Node& node, std::uint16_t tiles,
                                                                          Fields allowed = {"precision", "layout"});

}  // namespace vexa_plan
