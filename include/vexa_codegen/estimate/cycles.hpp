// The target's cost model: the pricing questions the search asks.
//
// `CostModel` answers what a plan costs once lowered (its analysed program),
// what a precision cast costs, and what a layout rearrangement costs.
// `Vexa21CostModel` is the model of the VEXA21 processor; it is stateless and
// its operations are pure, so it may be used from any number of threads.
// (The caching model the search uses is `MemoizedCostModel`, estimate/memoized.hpp.)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vexa_codegen/graph/shape.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/program.hpp"

namespace vexa_codegen::estimate::cycles {

namespace layout = vexa_codegen::mid::layout;
namespace operators = vexa_codegen::mid::operators;
using vexa_codegen::mid::MidProgram;

/// The price of a layout rearrangement: its whole cost and the part spent on
/// the exchange between tiles.
struct RearrangementCost {
  /// Both fields of the no-figure value: 2^61 - 1.
  static constexpr std::uint64_t no_figure = (std::uint64_t{1} << 61) - 1;
  /// Any `cycles` at or above this (2^60 - 1) stands for the absence of a figure.
  static constexpr std::uint64_t absent_threshold = (std::uint64_t{1} << 60) - 1;

  std::uint64_t cycles = 0;
  std::uint64_t exchange = 0;

  /// The value a model returns when it has no figure.
  [[nodiscard]] static constexpr RearrangementCost none() noexcept { return {no_figure, no_figure}; }
  /// Whether this is a real figure rather than the lack of one.
  [[nodiscard]] constexpr bool has_figure() const noexcept { return cycles < absent_threshold; }

  friend bool operator==(const RearrangementCost&, const RearrangementCost&) = default;
};

[[nodiscard]] std::string dump(const RearrangementCost& cost);

/// The pricing interface of a target.
class CostModel {
 public:
  CostModel() = default;
  CostModel(const CostModel&) = default;
  CostModel& operator=(const CostModel&) = default;
  virtual ~CostModel() = default;

  /// The lowered and analysed program of `plan` for these operand types and this
  /// result type; null when the plan cannot be lowered for them.
  [[nodiscard]] virtual std::shared_ptr<const MidProgram> implementation(
      const operators::OperatorPlan& plan, const std::vector<layout::TensorType>& inputs,
      const layout::TensorType& output) const = 0;

  /// The cycles of casting `source`, as one tile holds it, to precision `to`.
  [[nodiscard]] virtual std::uint64_t cast_cycles(const layout::TensorType& source,
                                                  const layout::Precision& to) const = 0;

  /// The cycles of casting `source` into `target`: `cast_cycles` of a tensor with
  /// `source`'s shape and precision laid out as `target` says.
  [[nodiscard]] std::uint64_t cast_format_cycles(const layout::TensorType& source,
                                                 const layout::TensorFormat& target) const;

  /// The price of moving a tensor of this shape and precision from layout `from`
  /// to layout `to` with the given strategy; `RearrangementCost::none()` when the
  /// model has no figure.
  [[nodiscard]] virtual RearrangementCost rearrangement_cost(const graph::TensorShape& shape,
                                                             const layout::Precision& precision,
                                                             operators::ConversionStrategy strategy,
                                                             const layout::Layout& from,
                                                             const layout::Layout& to) const = 0;
};

/// The cost model of the VEXA21 processor.
class Vexa21CostModel final : public CostModel {
 public:
  /// Lowers and analyses the plan (defined with the memoised model, which sits
  /// above the lowering).
  [[nodiscard]] std::shared_ptr<const MidProgram> implementation(
      const operators::OperatorPlan& plan, const std::vector<layout::TensorType>& inputs,
      const layout::TensorType& output) const override;

  /// The cast kernel's cycles over the largest shard, with the cast group that
  /// the source's element order implies.
  [[nodiscard]] std::uint64_t cast_cycles(const layout::TensorType& source,
                                          const layout::Precision& to) const override;

  /// Local work plus exchange, from the conversion traffic (and, when the order
  /// is kept, the fragment count). No figure for an order change between two
  /// non-row-major layouts or when either layout cannot produce its fragments.
  [[nodiscard]] RearrangementCost rearrangement_cost(const graph::TensorShape& shape,
                                                     const layout::Precision& precision,
                                                     operators::ConversionStrategy strategy,
                                                     const layout::Layout& from,
                                                     const layout::Layout& to) const override;
};

}  // namespace vexa_codegen::estimate::cycles
