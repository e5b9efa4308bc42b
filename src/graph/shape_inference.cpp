// Shape inference of the graph builder: `broadcast` and `infer_shape`.
#include <algorithm>
#include <bit>
#include <cmath>
#include <variant>

#include "vexa_codegen/graph/builder.hpp"

namespace vexa_codegen::graph {

namespace {

using Inference = std::expected<TensorShape, std::string>;
using Shapes = std::map<ValueId, TensorShape>;

const std::string wrong_arity = "wrong input arity";

/// The shape of operand `index`, or null when the operand list is too short or
/// the operand has no shape.
const TensorShape* operand_shape(std::span<const ValueId> operands, const Shapes& shapes, std::size_t index) {
  if (index >= operands.size()) {
    return nullptr;
  }
  const auto found = shapes.find(operands[index]);
  return found == shapes.end() ? nullptr : &found->second;
}

/// The batch dimensions of a shape used as a matrix: all but the last two.
std::span<const std::uint32_t> batch(const TensorShape& shape) {
  return std::span(shape.dimensions).first(shape.rank() - 2);
}

/// `batch` followed by `rows` and `columns`.
TensorShape matrix_shape(std::vector<std::uint32_t> batch, std::uint32_t rows, std::uint32_t columns) {
  batch.push_back(rows);
  batch.push_back(columns);
  return TensorShape{std::move(batch)};
}

/// Whether `vector` holds one value per element of a last axis of extent
/// `width`: its last extent is `width` and every other extent is 1. The other
/// extents are compared with 1 one by one rather than through the product of
/// all extents, which can wrap in 64 bits and which says nothing about them
/// when `width` is 0.
bool is_last_axis_vector(const TensorShape& vector, std::uint32_t width) {
  if (vector.rank() == 0 || vector.dimensions.back() != width) {
    return false;
  }
  return std::ranges::all_of(std::span(vector.dimensions).first(vector.rank() - 1),
                             [](std::uint32_t extent) { return extent == 1; });
}

Inference infer_gemm(const GemmOptions& options, std::span<const ValueId> operands, const Shapes& shapes) {
  const TensorShape* left = operand_shape(operands, shapes, 0);
  const TensorShape* right = left != nullptr ? operand_shape(operands, shapes, 1) : nullptr;
  if (right == nullptr) {
    return std::unexpected(wrong_arity);
  }
  if (left->rank() < 2 || right->rank() < 2) {
    return std::unexpected("GEMM inputs must have rank at least two");
  }
  const std::size_t a = left->rank();
  const std::size_t b = right->rank();
  const std::size_t tl = options.transpose_left ? 1 : 0;
  const std::size_t tr = options.transpose_right ? 1 : 0;
  if (left->dimensions[a - 1 - tl] != right->dimensions[b - 2 + tr]) {
    return std::unexpected("GEMM inner dimensions do not match");
  }
  auto batch_dimensions = broadcast(batch(*left), batch(*right));
  if (!batch_dimensions) {
    return std::unexpected(std::move(batch_dimensions.error()));
  }
  return matrix_shape(std::move(*batch_dimensions), left->dimensions[a - 2 + tl], right->dimensions[b - 1 - tr]);
}

Inference infer_layer_norm(std::span<const ValueId> operands, const Shapes& shapes) {
  const TensorShape* x = operand_shape(operands, shapes, 0);
  if (x == nullptr) {
    return std::unexpected(wrong_arity);
  }
  if (x->rank() == 0) {
    return std::unexpected("layernorm needs an axis");
  }
  const std::uint32_t width = x->dimensions.back();
  for (const std::size_t vector : {std::size_t{1}, std::size_t{2}}) {  // scale, then bias
    const TensorShape* shape = operand_shape(operands, shapes, vector);
    if (shape == nullptr) {
      return std::unexpected(wrong_arity);
    }
    if (!is_last_axis_vector(*shape, width)) {
      return std::unexpected("layernorm scale/bias must be last-axis vectors");
    }
  }
  return *x;
}

Inference infer_add(std::span<const ValueId> operands, const Shapes& shapes) {
  const TensorShape* left = operand_shape(operands, shapes, 0);
  const TensorShape* right = left != nullptr ? operand_shape(operands, shapes, 1) : nullptr;
  if (right == nullptr) {
    return std::unexpected(wrong_arity);
  }
  auto dimensions = broadcast(left->dimensions, right->dimensions);
  if (!dimensions) {
    return std::unexpected(std::move(dimensions.error()));
  }
  return TensorShape{std::move(*dimensions)};
}

/// Whether an explicit attention scale is a finite number above zero; positive
/// subnormal numbers qualify.
bool is_valid_scale(const AttentionScale& scale) {
  const auto* bits = std::get_if<AttentionScale::ValueBits>(&scale.value);
  if (bits == nullptr) {
    return true;
  }
  const float value = std::bit_cast<float>(bits->bits);
  return std::isfinite(value) && value > 0.0f;
}

Inference infer_flash_attention(const AttentionOptions& options, std::span<const ValueId> operands,
                                const Shapes& shapes) {
  const TensorShape* q = operand_shape(operands, shapes, 0);
  const TensorShape* k = q != nullptr ? operand_shape(operands, shapes, 1) : nullptr;
  const TensorShape* v = k != nullptr ? operand_shape(operands, shapes, 2) : nullptr;
  if (v == nullptr) {
    return std::unexpected(wrong_arity);
  }
  if (q->rank() < 2 || k->rank() < 2 || v->rank() < 2) {
    return std::unexpected("FlashAttention inputs must have rank at least two");
  }
  const std::size_t rq = q->rank();
  const std::size_t rk = k->rank();
  const std::size_t rv = v->rank();
  if (q->dimensions[rq - 1] != k->dimensions[rk - 1] || k->dimensions[rk - 2] != v->dimensions[rv - 2]) {
    return std::unexpected("FlashAttention head or sequence dimensions do not match");
  }
  if (!is_valid_scale(options.scale)) {
    return std::unexpected("attention scale must be finite and positive");
  }
  auto key_value_batch = broadcast(batch(*k), batch(*v));
  if (!key_value_batch) {
    return std::unexpected(std::move(key_value_batch.error()));
  }
  auto batch_dimensions = broadcast(batch(*q), *key_value_batch);
  if (!batch_dimensions) {
    return std::unexpected(std::move(batch_dimensions.error()));
  }
  return matrix_shape(std::move(*batch_dimensions), q->dimensions[rq - 2], v->dimensions[rv - 1]);
}

/// The shape of a single-operand kind: `output` applied to operand 0, or
/// `invalid` when it yields nothing.
template <class Output>
Inference infer_unary(std::span<const ValueId> operands, const Shapes& shapes, Output output,
                      const char* invalid) {
  const TensorShape* x = operand_shape(operands, shapes, 0);
  if (x == nullptr) {
    return std::unexpected(wrong_arity);
  }
  std::optional<TensorShape> result = output(*x);
  if (!result) {
    return std::unexpected(invalid);
  }
  return std::move(*result);
}

}  // namespace

std::expected<std::vector<std::uint32_t>, std::string> broadcast(std::span<const std::uint32_t> left,
                                                                std::span<const std::uint32_t> right) {
  const std::size_t n = std::max(left.size(), right.size());
  const std::size_t left_offset = n - left.size();
  const std::size_t right_offset = n - right.size();
  std::vector<std::uint32_t> result;
  result.reserve(n);
  for (std::size_t j = 0; j < n; ++j) {
    const std::uint32_t l = j < left_offset ? 1 : left[j - left_offset];
    const std::uint32_t r = j < right_offset ? 1 : right[j - right_offset];
    if (l != 1 && r != 1 && l != r) {
      return std::unexpected("dimensions " + std::to_string(l) + " and " + std::to_string(r) + " cannot be broadcast");
    }
    // A 1 stretches to the other extent, including 0: an empty axis stays
    // empty rather than taking the larger extent 1.
    result.push_back(l == 1 ? r : l);
  }
  return result;
}

std::expected<TensorShape, std::string> infer_shape(const OperationKind& kind, std::span<const ValueId> operands,
                                                    const std::map<ValueId, TensorShape>& shapes) {
  return std::visit(
      [&](const auto& alternative) -> Inference {
        using Alternative = std::remove_cvref_t<decltype(alternative)>;
        if constexpr (std::is_same_v<Alternative, OperationKind::Gemm>) {
          return infer_gemm(alternative.options, operands, shapes);
        } else if constexpr (std::is_same_v<Alternative, OperationKind::Gelu>) {
          return infer_unary(
              operands, shapes, [](const TensorShape& x) { return std::optional(x); }, "");
        } else if constexpr (std::is_same_v<Alternative, OperationKind::LayerNorm>) {
          return infer_layer_norm(operands, shapes);
        } else if constexpr (std::is_same_v<Alternative, OperationKind::Add>) {
          return infer_add(operands, shapes);
        } else if constexpr (std::is_same_v<Alternative, OperationKind::View>) {
          return infer_unary(
              operands, shapes, [&](const TensorShape& x) { return alternative.view.output_shape(x); },
              "view axes, factor, or output dimensions are invalid");
        } else if constexpr (std::is_same_v<Alternative, OperationKind::Slice>) {
          return infer_unary(
              operands, shapes, [&](const TensorShape& x) { return alternative.slice.output_shape(x); },
              "slice lies outside its input");
        } else if constexpr (std::is_same_v<Alternative, OperationKind::FlashAttention>) {
          return infer_flash_attention(alternative.options, operands, shapes);
        } else {
          static_assert(std::is_same_v<Alternative, OperationKind::Repeat>);
          return std::unexpected("repeat result shapes are defined by carried values");
        }
      },
      kind.value);
}

}  // namespace vexa_codegen::graph
