// Operator plans: how one graph operation is executed on the tiles.
//
// A plan names the operator it implements (`MidOperator`), the layouts and
// precisions its operands and result must have (`StorageRequirements`) and the
// kernel family that runs it with its parameters (`OperatorDispatch`). Plans
// come from the catalogue and from plan enumeration; a plan serves a concrete
// operation only when `supports` holds for its shapes. Plans and operand
// requirements key the caches of the cost model, so they hash field by field.
//
// (The module is the operator-plan module; `operator` being a keyword, its
// namespace is `mid::operators`, and a plan's operator field is `operator_`.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/graph/view.hpp"
#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::mid::operators {

using layout::Layout;
using layout::Precision;
using layout::TensorFormat;
using layout::TensorType;

/// Whether a product's left operand streams first (`Normal`) or its right one (`Swapped`).
enum class GemmOrientation : std::uint8_t { Normal, Swapped };

/// The precision partial sums accumulate in.
enum class AccumulationPrecision : std::uint8_t { F16, F32 };

/// How a product stages its local (non-streamed) operand.
enum class LocalOperandStaging : std::uint8_t { Direct, MatchRemote };

/// How the partial sums of a split reduction are combined.
/// Dump: `Complete`, `Streamed`, `Batched(4)`.
struct ReductionStaging {
  struct Complete {
    friend bool operator==(const Complete&, const Complete&) = default;
  };
  struct Streamed {
    friend bool operator==(const Streamed&, const Streamed&) = default;
  };
  /// Partials combined `count` at a time (non-zero).
  struct Batched {
    std::uint16_t count = 1;
    friend bool operator==(const Batched&, const Batched&) = default;
  };

  std::variant<Complete, Streamed, Batched> value;

  [[nodiscard]] static ReductionStaging complete() { return {Complete{}}; }
  [[nodiscard]] static ReductionStaging streamed() { return {Streamed{}}; }
  [[nodiscard]] static ReductionStaging batched(std::uint16_t count) { return {Batched{count}}; }

  friend bool operator==(const ReductionStaging&, const ReductionStaging&) = default;
};

/// The operation a plan implements.
struct MidOperator {
  // The first alternative of each variant here has no default member
  // initialisers: a nested class that has them is not yet default-constructible
  // inside its enclosing class, which would make the variant not default-constructible.
  struct Gemm {
    graph::GemmOptions options;
    Precision multiply;
    AccumulationPrecision accumulate;
    friend bool operator==(const Gemm&, const Gemm&) = default;
  };
  struct Gelu {
    friend bool operator==(const Gelu&, const Gelu&) = default;
  };
  struct LayerNorm {
    friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
  };
  struct Add {
    friend bool operator==(const Add&, const Add&) = default;
  };
  struct View {
    graph::view::AxisFactorView view;
    friend bool operator==(const View&, const View&) = default;
  };
  struct Slice {
    graph::AxisSlice slice;
    friend bool operator==(const Slice&, const Slice&) = default;
  };
  struct FlashAttention {
    graph::AttentionOptions options;
    AccumulationPrecision accumulate = AccumulationPrecision::F32;
    friend bool operator==(const FlashAttention&, const FlashAttention&) = default;
  };

  std::variant<Gemm, Gelu, LayerNorm, Add, View, Slice, FlashAttention> value;

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const MidOperator&, const MidOperator&) = default;
};

/// A product spread over tiles with a split reduction: `row_partitions` x
/// `column_partitions` x `inner_partitions` partial products; the partials of
/// each (row, column) block are reduced and the block's result is spread over
/// `result_row_partitions` x `result_column_partitions` tiles.
struct GemmDistribution {
  ReductionStaging reduction_staging;
  std::uint16_t row_partitions = 1;
  std::uint16_t column_partitions = 1;
  std::uint16_t inner_partitions = 1;
  std::uint16_t result_row_partitions = 1;
  std::uint16_t result_column_partitions = 1;

  friend bool operator==(const GemmDistribution&, const GemmDistribution&) = default;
};

/// The grid of one distributed product step.
struct ProductGrid {
  std::uint16_t row_partitions = 1;
  std::uint16_t column_partitions = 1;
  std::uint16_t inner_partitions = 1;

  friend bool operator==(const ProductGrid&, const ProductGrid&) = default;
};

/// The kernel every tile runs over its own shards.
struct TileKernelSpec {
  /// Zero fill; only the second parameter enters the cycle estimate.
  struct FillZero {
    std::uint32_t first;
    std::uint32_t second;
    std::uint32_t third;
    friend bool operator==(const FillZero&, const FillZero&) = default;
  };
  struct PackedGemm {
    std::uint32_t inner_chunk = 0;
    std::uint32_t output_column_block = 0;
    Precision multiply;
    AccumulationPrecision accumulate = AccumulationPrecision::F32;
    bool add_to_output = false;
    std::uint8_t reserved = 0;
    friend bool operator==(const PackedGemm&, const PackedGemm&) = default;
  };
  struct Gelu {
    friend bool operator==(const Gelu&, const Gelu&) = default;
  };
  struct BiasGelu {
    friend bool operator==(const BiasGelu&, const BiasGelu&) = default;
  };
  struct AddLayerNorm {
    friend bool operator==(const AddLayerNorm&, const AddLayerNorm&) = default;
  };
  struct LayerNorm {
    friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
  };
  struct LayerNormMoments {
    friend bool operator==(const LayerNormMoments&, const LayerNormMoments&) = default;
  };
  struct AddLayerNormMoments {
    friend bool operator==(const AddLayerNormMoments&, const AddLayerNormMoments&) = default;
  };
  struct LayerNormApply {
    std::uint16_t partials = 1;
    friend bool operator==(const LayerNormApply&, const LayerNormApply&) = default;
  };
  struct ReduceSum {
    std::uint16_t partials = 1;
    friend bool operator==(const ReduceSum&, const ReduceSum&) = default;
  };
  struct Add {
    friend bool operator==(const Add&, const Add&) = default;
  };
  struct Attention {
    graph::AttentionScale scale;
    bool causal = false;
    AccumulationPrecision accumulate = AccumulationPrecision::F32;
    friend bool operator==(const Attention&, const Attention&) = default;
  };
  struct AttentionStatistics {
    std::uint32_t head_width = 0;
    std::uint32_t length = 0;
    std::uint32_t block = 0;
    friend bool operator==(const AttentionStatistics&, const AttentionStatistics&) = default;
  };
  struct AttentionOutput {
    std::uint32_t output_parameter = 0;
    std::uint32_t value_parameter = 0;
    std::uint32_t block = 0;
    bool first_block = false;
    bool last_block = false;
    friend bool operator==(const AttentionOutput&, const AttentionOutput&) = default;
  };
  struct Cast {
    Precision from;
    Precision to;
    friend bool operator==(const Cast&, const Cast&) = default;
  };
  /// Rewrites a shard from one layout into another on the same tile.
  struct Relayout {
    Layout from;
    Layout to;
    friend bool operator==(const Relayout&, const Relayout&) = default;
  };

  std::variant<FillZero, PackedGemm, Gelu, BiasGelu, AddLayerNorm, LayerNorm, LayerNormMoments, AddLayerNormMoments,
               LayerNormApply, ReduceSum, Add, Attention, AttentionStatistics, AttentionOutput, Cast, Relayout>
      value;

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const TileKernelSpec&, const TileKernelSpec&) = default;
};

/// The kernel family that executes a plan, with its parameters.
struct OperatorDispatch {
  /// Layer normalisation in two kernels with `partials` partial moments.
  struct LayerNorm {
    std::uint16_t partials;
    friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
  };
  /// One kernel run on every tile over its own shards.
  struct TileKernel {
    TileKernelSpec kernel;
    friend bool operator==(const TileKernel&, const TileKernel&) = default;
  };
  /// A matrix product: `inner_chunk` contraction elements per kernel step,
  /// `output_column_block` result columns per product, optionally distributed.
  struct Gemm {
    std::uint32_t inner_chunk = 0;
    std::uint32_t output_column_block = 0;
    std::optional<GemmDistribution> distribution;
    GemmOrientation orientation = GemmOrientation::Normal;
    friend bool operator==(const Gemm&, const Gemm&) = default;
  };
  /// Blocked attention: the grids of the query-key and statistics-value products,
  /// the key block length, two parameters of the attention-output kernel, and
  /// whether blocks other than 64 are allowed.
  struct FlashAttention {
    std::optional<ProductGrid> score_grid;
    std::optional<ProductGrid> value_grid;
    std::uint32_t block = 0;
    std::uint32_t output_parameter = 0;
    std::uint32_t value_parameter = 0;
    bool unaligned_block = false;
    friend bool operator==(const FlashAttention&, const FlashAttention&) = default;
  };
  /// No computation: the result is a view or slice of the operand.
  struct Alias {
    friend bool operator==(const Alias&, const Alias&) = default;
  };

  std::variant<LayerNorm, TileKernel, Gemm, FlashAttention, Alias> value;

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  /// The type of the partial products of a distributed matrix product whose
  /// result has type `output`; a copy of `output` for any other dispatch or a
  /// product without distribution.
  [[nodiscard]] TensorType gemm_partial_tensor(const TensorType& output) const;

  friend bool operator==(const OperatorDispatch&, const OperatorDispatch&) = default;
};

/// A member of a shared-memory group: the result or operand `index`.
/// Dump: `Output`, `Input(1)`.
struct MemoryOperand {
  struct Output {
    friend bool operator==(const Output&, const Output&) = default;
  };
  struct Input {
    std::uint16_t index = 0;
    friend bool operator==(const Input&, const Input&) = default;
  };

  std::variant<Output, Input> value;

  [[nodiscard]] static MemoryOperand output() { return {Output{}}; }
  [[nodiscard]] static MemoryOperand input(std::uint16_t index) { return {Input{index}}; }

  friend bool operator==(const MemoryOperand&, const MemoryOperand&) = default;
};

/// What a plan requires of one operand (or of its result).
struct OperandRequirement {
  TensorFormat format;
  std::uint32_t alignment = 8;     ///< bytes, a power of two
  std::uint32_t stream_panel = 0;  ///< non-zero only on the streamed operand of a product
  LocalOperandStaging staging = LocalOperandStaging::Direct;
  bool streamed = false;  ///< the operand a product streams

  friend bool operator==(const OperandRequirement&, const OperandRequirement&) = default;
};

/// The storage a plan requires: one requirement per operand and one for the
/// result, groups of operands that share one buffer, and the operand positions
/// whose buffer the result may overwrite.
struct StorageRequirements {
  std::vector<OperandRequirement> operands;
  OperandRequirement output;
  std::vector<std::vector<MemoryOperand>> shared_memory;
  std::optional<std::vector<std::uint16_t>> output_aliases;

  friend bool operator==(const StorageRequirements&, const StorageRequirements&) = default;
};

/// The detailed answer of plan validation; only `Valid` matters to callers.
enum class PlanCheck : std::uint8_t {
  Valid,
  WrongArity,
  DispatchMismatch,
  GeometryMismatch,
  TileCountMismatch,
  UnresolvedOutput,
  OrderMismatch,
};

/// How a layout rearrangement is priced; part of the rearrangement-cost cache key.
enum class ConversionStrategy : std::uint8_t {
  LocalReorder,   ///< stays on each tile: no exchange is charged
  PreserveOrder,  ///< moves between tiles and keeps the element order
  ChangeOrder,    ///< moves between tiles and changes the element order
};

/// How one graph operation is executed.
struct OperatorPlan {
  StorageRequirements storage;
  OperatorDispatch dispatch;
  MidOperator operator_;

  /// Whether the plan can execute an operation with operands of these types
  /// (only their shapes are read) and this result shape.
  [[nodiscard]] bool supports(const std::vector<TensorType>& inputs, const graph::TensorShape& output) const;
  /// The detailed check behind `supports`, on the operand and result types the
  /// plan requires.
  [[nodiscard]] PlanCheck validate(const std::vector<TensorType>& operands, const TensorType& output) const;
  /// The operand and result types the plan requires: input i's shape with
  /// operand requirement i's format, and the result shape with the output format.
  /// Entries beyond the shorter of the two lists are dropped.
  [[nodiscard]] std::pair<std::vector<TensorType>, TensorType> tensor_types(const std::vector<TensorType>& inputs,
                                                                           const graph::TensorShape& output) const;

  friend bool operator==(const OperatorPlan&, const OperatorPlan&) = default;
};

/// Whether operand `index` may be overwritten by the result: the index is below
/// both the requirement and shape counts, shape `index` equals the output shape,
/// and the operand's format equals the output format (precision, order, tile
/// count, replication, axis tilings and memory class).
[[nodiscard]] bool alias_compatible(std::size_t index, const std::vector<OperandRequirement>& operands,
                                    std::span<const graph::TensorShape> input_shapes,
                                    const TensorFormat& output_format, const graph::TensorShape& output_shape);
/// As above, reading only the shapes of `inputs` (callers that hold the
/// operands' types need not copy their shapes out).
[[nodiscard]] bool alias_compatible(std::size_t index, const std::vector<OperandRequirement>& operands,
                                    std::span<const TensorType> inputs, const TensorFormat& output_format,
                                    const graph::TensorShape& output_shape);

[[nodiscard]] std::string dump(GemmOrientation orientation);
[[nodiscard]] std::string dump(AccumulationPrecision precision);
[[nodiscard]] std::string dump(LocalOperandStaging staging);
[[nodiscard]] std::string dump(const ReductionStaging& staging);
[[nodiscard]] std::string dump(const MidOperator& op);
[[nodiscard]] std::string dump(const GemmDistribution& distribution);
[[nodiscard]] std::string dump(const ProductGrid& grid);
[[nodiscard]] std::string dump(const TileKernelSpec& kernel);
[[nodiscard]] std::string dump(const OperatorDispatch& dispatch);
[[nodiscard]] std::string dump(const MemoryOperand& operand);
[[nodiscard]] std::string dump(const OperandRequirement& requirement);
[[nodiscard]] std::string dump(const StorageRequirements& storage);
[[nodiscard]] std::string dump(PlanCheck check);
[[nodiscard]] std::string dump(ConversionStrategy strategy);
[[nodiscard]] std::string dump(const OperatorPlan& plan);

}  // namespace vexa_codegen::mid::operators

#define VEXA_CODEGEN_OPERATORS_HASH(Type)                                                        \
  template <>                                                                                    \
  struct std::hash<vexa_codegen::mid::operators::Type> {                                         \
    std::size_t operator()(const vexa_codegen::mid::operators::Type& value) const noexcept;      \
  }

VEXA_CODEGEN_OPERATORS_HASH(ReductionStaging);
VEXA_CODEGEN_OPERATORS_HASH(MidOperator);
VEXA_CODEGEN_OPERATORS_HASH(GemmDistribution);
VEXA_CODEGEN_OPERATORS_HASH(ProductGrid);
VEXA_CODEGEN_OPERATORS_HASH(TileKernelSpec);
VEXA_CODEGEN_OPERATORS_HASH(OperatorDispatch);
VEXA_CODEGEN_OPERATORS_HASH(MemoryOperand);
VEXA_CODEGEN_OPERATORS_HASH(OperandRequirement);
VEXA_CODEGEN_OPERATORS_HASH(StorageRequirements);
VEXA_CODEGEN_OPERATORS_HASH(OperatorPlan);

#undef VEXA_CODEGEN_OPERATORS_HASH
