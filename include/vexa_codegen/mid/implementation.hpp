// Lowering: one operation with a chosen plan becomes an analysed mid-level program.
//
// A lowered program holds the operation's operands as its inputs (operand i is
// value i), the steps that bring each operand into the layout the plan's
// kernels read, the kernel steps themselves, and whatever brings the result
// into the requested output type. `implement` selects the lowering from the
// plan's dispatch, runs it on a `Builder`, and prices the finished program with
// the program analysis. A plan that cannot implement the given types yields no
// program; only broken invariants of the caller (operand positions, value
// identifiers, slice axes) stop the process.
//
// This module holds the builder, the entry, the tile-kernel, view and slice
// lowerings and the two tiling functions that plan enumeration uses as well;
// layer normalisation, matrix products and attention have modules of their own
// below `mid::implementation`. The layout relation `same_distribution` that the
// builder uses lives in `mid::resolved`, because the analysis needs it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/primitive.hpp"
#include "vexa_codegen/mid/program.hpp"

namespace vexa_codegen::mid::implementation {

using layout::Precision;
using layout::TensorTiling;
using layout::TensorType;
using operators::OperatorPlan;
using operators::TileKernelSpec;
using primitive::OperandWindow;
using primitive::ProductAxes;

/// Builds one program by appending values and steps. Values and operations are
/// only ever appended, so identifiers stay valid and the operation list is in
/// dependency order. Every operation that takes value identifiers stops the
/// process when one of them does not name an existing value.
class Builder {
 public:
  /// Appends a program input of `type`: a new value and an input record (empty
  /// name, flag cleared) that provides it. Returns the value's identifier.
  MidValueId add_input(const TensorType& type);

  /// Appends a value of type `output` and one operation with `primitive` that
  /// reads `inputs` and writes that value. Returns the new value.
  MidValueId emit(const std::vector<MidValueId>& inputs, const TensorType& output, primitive::Primitive primitive);

  /// Appends one `Compute` step running `kernel`. Without windows every input
  /// is read whole (one empty window each). With `accumulate` the step writes
  /// its result in place over `accumulator`, which is appended to the inputs
  /// without a window; `accumulator` is not read otherwise.
  MidValueId compute(std::vector<MidValueId> inputs, const TensorType& output, const TileKernelSpec& kernel,
                     const std::optional<ProductAxes>& axes, bool accumulate, MidValueId accumulator,
                     std::vector<OperandWindow> windows);

  /// `value` in precision `target`: the value itself when its precision already
  /// is `target` (an 8-bit precision with another scale exponent is another
  /// precision), else the result of a `Cast` step.
  MidValueId cast(MidValueId value, const Precision& target);

  /// `value` brought into `target`, read from `origin` on (one start coordinate
  /// per source axis; empty means all zero). The value itself when nothing has
  /// to move: the origin is all zero and the types are equal, or they differ
  /// only in how the same distribution is described (same precision, order and
  /// memory class). Otherwise a `Rearrange` step with the given `direct` flag.
  MidValueId materialize(MidValueId value, const TensorType& target, const std::vector<std::uint32_t>& origin,
                         bool direct);

  /// The type of a value of the program under construction.
  [[nodiscard]] const TensorType& type(MidValueId value) const;
  /// The program built so far.
  [[nodiscard]] const MidProgram& program() const noexcept { return program_; }

  /// The finished program: its single output is `result` and its tile
  /// footprint the largest tile count over all its values. The analysis
  /// figures are left for the caller to fill.
  [[nodiscard]] MidProgram finish(MidValueId result) &&;

 private:
  MidValueId append_value(const TensorType& type);
  void check_value(MidValueId value) const;

  MidProgram program_;
};

/// The lowered, analysed program of `plan` for operands of types `inputs` and a
/// result of type `output`, shared read-only; null when the plan cannot
/// implement these types (an unsuitable dispatch, a failed lowering or a step
/// that the analysis cannot price).
[[nodiscard]] std::shared_ptr<const MidProgram> implement(const OperatorPlan& plan,
                                                          const std::vector<TensorType>& inputs,
                                                          const TensorType& output);

/// The tiling in which an operand of type `input` of a tile kernel must lie so
/// that every tile finds the operand elements of its own `output` shard. The
/// operand's axes align with the last axes of the output; along output axes
/// the operand lacks or has extent 1 on, the operand is replicated instead of
/// cut. Kept entries carry explicit strides, so each operand shard sits on
/// exactly the tiles of the matching output shard. Nothing when the operand has
/// the higher rank, the output's tiling has no strides, names an axis it does
/// not have, or a stride or the replication does not fit 16 bits.
[[nodiscard]] std::optional<TensorTiling> pointwise_input_tiling(const TensorType& input, const TensorType& output);

/// Projects the tiling of a matrix-product result `tensor` onto an operand of
/// rank `target_rank`: the entry on `kept_axis` moves to axis `kept_position`,
/// batch entries (more than two axes from the end, when `kept_axis` is one of
/// the last two) keep their distance from the last axis, and every other entry
/// turns into replication. Nothing under the same conditions as
/// `pointwise_input_tiling`.
[[nodiscard]] std::optional<TensorTiling> project_grid(const TensorType& tensor, std::size_t target_rank,
                                                       std::size_t kept_axis, std::size_t kept_position);

/// The tile-kernel lowering: every operand in its pointwise tiling, one
/// `Compute` step with the plan's kernel (accumulating in place into the first
/// listed output alias whose prepared operand has exactly the output type),
/// then a cast to the output's precision. Nothing when the dispatch is not a
/// tile kernel or an operand has no pointwise tiling.
[[nodiscard]] std::optional<MidValueId> tile_kernel(Builder& builder, const OperatorPlan& plan,
                                                    const std::vector<TensorType>& inputs, const TensorType& output);

/// The view and slice lowering: one non-direct `Rearrange` of operand 0 into
/// `output`, with the plan's view, or with an origin at the slice's start.
/// Nothing when the plan's operator is neither a view nor a slice. Stops the
/// process when there is no operand 0 or the slice axis is outside it.
[[nodiscard]] std::optional<MidValueId> view_or_slice(Builder& builder, const OperatorPlan& plan,
                                                      const std::vector<TensorType>& inputs,
                                                      const TensorType& output);

}  // namespace vexa_codegen::mid::implementation
