// The operator catalogue: the fixed menu of plans the planner considers.
//
// For a tile count the catalogue lists matrix-product plans over every grid
// the tile count allows, the element-wise, layer-norm, GELU and attention
// plans, and one open matrix-product entry (`GemmFamily`) that plan
// enumeration expands for the concrete shapes of an operation. A pipeline
// configuration stores `default_operator_candidates(tiles)` as its candidate
// list, which callers may edit before a search. Every list here is produced in
// a fixed order, and repeats are removed keeping the first occurrence.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"

namespace vexa_codegen::mid::catalogue {

using layout::Layout;
using layout::Precision;
using layout::TensorFormat;
using operators::AccumulationPrecision;
using operators::MidOperator;
using operators::OperatorDispatch;
using operators::OperatorPlan;

/// How far the formats written in a catalogue plan bind plan enumeration.
/// Dump: `Fixed`, `ShapeGrid`, `ShapeGridWithPartials`, `FollowOperand(0)`.
struct CandidateLayouts {
  /// The plan's formats are used as written.
  struct Fixed {
    friend bool operator==(const Fixed&, const Fixed&) = default;
  };
  /// The plan's tilings are replaced by a grid over the actual result shape.
  struct ShapeGrid {
    friend bool operator==(const ShapeGrid&, const ShapeGrid&) = default;
  };
  /// As `ShapeGrid`, and the split-moment layer-norm dispatch is tried with
  /// several partial counts.
  struct ShapeGridWithPartials {
    friend bool operator==(const ShapeGridWithPartials&, const ShapeGridWithPartials&) = default;
  };
  /// Operand `operand` and the result take the layout operand `operand` has.
  struct FollowOperand {
    std::uint16_t operand = 0;
    friend bool operator==(const FollowOperand&, const FollowOperand&) = default;
  };

  std::variant<Fixed, ShapeGrid, ShapeGridWithPartials, FollowOperand> value;

  [[nodiscard]] static CandidateLayouts fixed() { return {Fixed{}}; }
  [[nodiscard]] static CandidateLayouts shape_grid() { return {ShapeGrid{}}; }
  [[nodiscard]] static CandidateLayouts shape_grid_with_partials() { return {ShapeGridWithPartials{}}; }
  [[nodiscard]] static CandidateLayouts follow_operand(std::uint16_t operand) { return {FollowOperand{operand}}; }

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const CandidateLayouts&, const CandidateLayouts&) = default;
};

/// A finished plan and how binding its formats are.
/// Dump: `ConcreteOperatorCandidate { plan: ..., layouts: Fixed }`.
struct ConcreteOperatorCandidate {
  OperatorPlan plan;
  CandidateLayouts layouts;

  friend bool operator==(const ConcreteOperatorCandidate&, const ConcreteOperatorCandidate&) = default;
};

/// One entry of the catalogue.
/// Dump: `Concrete(ConcreteOperatorCandidate { ... })` or
/// `GemmFamily { options: ..., multiply: F16, accumulate: F16, tile_count: 64 }`.
struct OperatorCandidate {
  struct Concrete {
    ConcreteOperatorCandidate candidate;
    friend bool operator==(const Concrete&, const Concrete&) = default;
  };
  /// All matrix-product plans that plan enumeration generates for an operation,
  /// for the operator `Gemm { options, multiply, accumulate }` on `tile_count` tiles.
  struct GemmFamily {
    graph::GemmOptions options;
    Precision multiply;
    AccumulationPrecision accumulate = AccumulationPrecision::F16;
    std::uint16_t tile_count = 0;
    friend bool operator==(const GemmFamily&, const GemmFamily&) = default;
  };

  std::variant<Concrete, GemmFamily> value;

  [[nodiscard]] static OperatorCandidate concrete(ConcreteOperatorCandidate candidate) {
    return {Concrete{std::move(candidate)}};
  }
  [[nodiscard]] static OperatorCandidate gemm_family(GemmFamily family) { return {std::move(family)}; }

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const OperatorCandidate&, const OperatorCandidate&) = default;
};

/// The catalogue for `tiles` tiles and then for every power of two below it:
/// the candidates for `tiles`, then for g, g/2, ..., 1 where g is the largest
/// power of two not above `tiles` (each count once), with repeats removed.
[[nodiscard]] std::vector<OperatorCandidate> default_operator_candidates(std::uint16_t tiles);

/// The catalogue for exactly `tiles` tiles: the grid products over every
/// divisor of `tiles`, the whole-row products, the element-wise, layer-norm,
/// GELU and attention plans (repeats removed), then one `GemmFamily`.
[[nodiscard]] std::vector<OperatorCandidate> operator_candidates_for_tile_count(std::uint16_t tiles);

/// A matrix-product plan over `layouts` (operand 0, operand 1, result): the
/// streamed operand (operand 0 with `Normal`, operand 1 with `Swapped`) gets
/// `stream_panel`, the streamed operand shares its buffer with the result.
/// Stops the program when `operator_` is not `Gemm` or `dispatch` is not `Gemm`.
[[nodiscard]] OperatorPlan gemm_plan(MidOperator operator_, std::array<Layout, 3> layouts, std::uint32_t stream_panel,
                                     OperatorDispatch dispatch);

/// The tile count and grid of a distributed product: `tiles` tiles,
/// `row_partitions` x `column_partitions` shards, numbered column-major when
/// `column_major` is set.
struct TileGrid {
  std::uint16_t tiles = 0;
  std::uint16_t row_partitions = 0;
  std::uint16_t column_partitions = 0;
  bool column_major = false;
};

/// A product over a row x column grid of tiles: activations in `Amp(Left)`
/// replicated over the column parts, block-major weights (split `inner_partitions`
/// ways along the reduction, in interleaved memory when `interleaved_weights`),
/// and the result on the AMP output grid with column blocks of `output_column_block`.
/// `block` pads the reduction axis and is the weights' block height, so it must
/// fit 16 bits; `inner_partitions` must be non-zero (the program stops otherwise).
[[nodiscard]] ConcreteOperatorCandidate amp_grid_gemm_operator_candidate(
    Precision multiply, std::uint32_t block, std::uint32_t stream_panel, std::uint32_t output_column_block,
    TileGrid grid, std::uint16_t inner_partitions, bool interleaved_weights);

/// A plan over the given operand formats (two or three) and result format, with
/// the dispatch that runs `operator_` on every tile; layouts `Fixed`.
[[nodiscard]] ConcreteOperatorCandidate pointwise_operator_candidate(MidOperator operator_,
                                                                    std::vector<TensorFormat> inputs,
                                                                    TensorFormat output);

/// A one-operand plan whose result has the operand's format and may overwrite
/// it; layouts `FollowOperand(0)`.
[[nodiscard]] ConcreteOperatorCandidate format_preserving_unary_candidate(MidOperator operator_, TensorFormat format);

[[nodiscard]] std::string dump(const CandidateLayouts& layouts);
[[nodiscard]] std::string dump(const ConcreteOperatorCandidate& candidate);
[[nodiscard]] std::string dump(const OperatorCandidate& candidate);

}  // namespace vexa_codegen::mid::catalogue

template <>
struct std::hash<vexa_codegen::mid::catalogue::CandidateLayouts> {
  std::size_t operator()(const vexa_codegen::mid::catalogue::CandidateLayouts& layouts) const noexcept;
};
template <>
struct std::hash<vexa_codegen::mid::catalogue::ConcreteOperatorCandidate> {
  std::size_t operator()(const vexa_codegen::mid::catalogue::ConcreteOperatorCandidate& candidate) const noexcept;
};
template <>
struct std::hash<vexa_codegen::mid::catalogue::OperatorCandidate> {
  std::size_t operator()(const vexa_codegen::mid::catalogue::OperatorCandidate& candidate) const noexcept;
};
