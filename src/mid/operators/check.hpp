// Plan validation over borrowed tensor types (private to the operator-plan module).
//
// `supports` checks a plan against the operands' shapes combined with the
// plan's own formats, and it has already resolved every one of those layouts
// by the time it validates. The check therefore works on views that borrow a
// shape and a format from wherever they live and may carry a resolution that
// is already known, so that the search's hot path neither assembles tensor
// types nor resolves a layout twice.
#pragma once

#include <optional>
#include <span>

#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/resolved.hpp"

namespace vexa_codegen::mid::operators::check {

/// A tensor type made of a borrowed shape and format, with its resolution when
/// the caller already holds it (null otherwise).
struct TypeView {
  const graph::TensorShape* shape = nullptr;
  const TensorFormat* format = nullptr;
  const resolved::ResolvedLayout* resolution = nullptr;

  [[nodiscard]] const Layout& layout() const noexcept { return format->layout; }
  [[nodiscard]] std::uint16_t tile_count() const noexcept { return format->layout.tiling.tile_count; }
};

/// The resolution of a view's layout against its shape: the one the view
/// carries, or one computed here and owned by this object.
class Resolution {
 public:
  explicit Resolution(const TypeView& view);
  Resolution(const Resolution&) = delete;
  Resolution& operator=(const Resolution&) = delete;

  /// The resolution, or null when the layout does not resolve.
  [[nodiscard]] const resolved::ResolvedLayout* get() const noexcept { return resolution_; }

 private:
  std::optional<resolved::ResolvedLayout> owned_;
  const resolved::ResolvedLayout* resolution_ = nullptr;
};

/// Whether some shard of some axis holds no data (`start` equal to `end`).
[[nodiscard]] bool has_empty_shard(const resolved::ResolvedLayout& layout) noexcept;

/// The whole validation of `plan` (see `OperatorPlan::validate`).
[[nodiscard]] PlanCheck validate(const OperatorPlan& plan, std::span<const TypeView> operands, const TypeView& output);

/// The matrix-product rules of validation, after the arity and output checks.
/// `output_resolution` is the output's resolution; it is present whenever the
/// dispatch is not a tile kernel (the output check before has resolved it).
[[nodiscard]] PlanCheck validate_gemm(const OperatorPlan& plan, const MidOperator::Gemm& gemm,
                                      std::span<const TypeView> operands, const TypeView& output,
                                      const resolved::ResolvedLayout* output_resolution);

}  // namespace vexa_codegen::mid::operators::check
