// Tensor types and layouts: how a tensor is described to the planner.
//
// A tensor type is a shape plus a format; the format is an element precision and
// a layout. A layout says in which order the elements are stored inside a tile,
// which kind of tile memory holds them, and how the tensor's axes are cut into
// shards and dealt out to the tiles (the tiling). Layouts are rules: they are
// applied to a concrete shape by resolution (`Layout::resolve`, module
// `mid::resolved`), which is also where every invariant of a layout is checked.
// The named constructors here therefore never validate their arguments.
//
// Every type is a plain value: copyable, compared field by field and hashed
// field by field in declaration order (layouts, formats and types key hash maps).
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vexa_codegen/graph/shape.hpp"

namespace vexa_codegen::mid::resolved {
struct ResolvedLayout;
struct Fragment;
}  // namespace vexa_codegen::mid::resolved

namespace vexa_codegen::mid::layout {

/// Element precision. Dump: `F16`, `F32`, `F8F143 { scale_exponent: N }`.
struct Precision {
  /// 8-bit floating point (1 sign, 4 exponent, 3 mantissa bits) with a scale exponent.
  struct F8F143 {
    std::int8_t scale_exponent;  // no default member initialiser: see `value`
    friend bool operator==(const F8F143&, const F8F143&) = default;
  };
  /// 16-bit floating point.
  struct F16 {
    friend bool operator==(const F16&, const F16&) = default;
  };
  /// 32-bit floating point.
  struct F32 {
    friend bool operator==(const F32&, const F32&) = default;
  };

  /// Value-initialised by default (`F8F143 { scale_exponent: 0 }`). The first
  /// alternative of each variant here has no default member initialisers, so that
  /// the variant is default-constructible inside the enclosing class.
  std::variant<F8F143, F16, F32> value;

  [[nodiscard]] static Precision f8f143(std::int8_t scale_exponent = 0) { return {F8F143{scale_exponent}}; }
  [[nodiscard]] static Precision f16() { return {F16{}}; }
  [[nodiscard]] static Precision f32() { return {F32{}}; }

  [[nodiscard]] bool is_f8f143() const noexcept { return std::holds_alternative<F8F143>(value); }
  [[nodiscard]] bool is_f16() const noexcept { return std::holds_alternative<F16>(value); }
  [[nodiscard]] bool is_f32() const noexcept { return std::holds_alternative<F32>(value); }

  /// Bytes of one element: 1 for `F8F143`, 2 for `F16`, 4 for `F32`.
  [[nodiscard]] std::uint64_t element_bytes() const noexcept;

  friend bool operator==(const Precision&, const Precision&) = default;
};

/// The kind of tile memory a tensor lives in. Dump: the bare name.
enum class MemoryClass : std::uint8_t {
  Vexa21Standard,     ///< ordinary tile memory
  Vexa21Interleaved,  ///< the tile's interleaved memory, accounted separately
};

/// Block-major storage of a tensor's last two axes as blocks of
/// `row_block` x `column_block` elements; `TransposedMatrix` stores the transposed
/// matrix that way. Dump: `Matrix { row_block: 64, column_block: 16 }`.
struct BlockMajorOrder {
  struct Matrix {
    std::uint16_t row_block;  // no default member initialisers: see `value`
    std::uint16_t column_block;
    friend bool operator==(const Matrix&, const Matrix&) = default;
  };
  struct TransposedMatrix {
    std::uint16_t row_block = 0;
    std::uint16_t column_block = 0;
    friend bool operator==(const TransposedMatrix&, const TransposedMatrix&) = default;
  };

  std::variant<Matrix, TransposedMatrix> value;

  [[nodiscard]] static BlockMajorOrder matrix(std::uint16_t row_block, std::uint16_t column_block) {
    return {Matrix{row_block, column_block}};
  }
  [[nodiscard]] static BlockMajorOrder transposed_matrix(std::uint16_t row_block, std::uint16_t column_block) {
    return {TransposedMatrix{row_block, column_block}};
  }

  [[nodiscard]] bool is_transposed() const noexcept { return std::holds_alternative<TransposedMatrix>(value); }
  /// The block height; both alternatives carry it.
  [[nodiscard]] std::uint16_t row_block() const noexcept;
  /// The block width; both alternatives carry it.
  [[nodiscard]] std::uint16_t column_block() const noexcept;

  friend bool operator==(const BlockMajorOrder&, const BlockMajorOrder&) = default;
};

/// The role and orientation in which the matrix-product (AMP) unit reads or
/// writes a tensor. Dump: the bare name.
enum class AmpOrder : std::uint8_t {
  Left,              ///< left operand
  TransposedLeft,    ///< left operand, transposed
  TransposedRight,   ///< right operand, transposed
  Output,            ///< result
  TransposedOutput,  ///< result, transposed
};

/// The order of the elements inside a tile.
/// Dump: `RowMajor`, `BlockMajor(Matrix { row_block: 64, column_block: 16 })`, `Amp(Output)`.
struct ElementOrder {
  struct RowMajor {
    friend bool operator==(const RowMajor&, const RowMajor&) = default;
  };
  struct BlockMajor {
    BlockMajorOrder order{};
    friend bool operator==(const BlockMajor&, const BlockMajor&) = default;
  };
  struct Amp {
    AmpOrder order = AmpOrder::Left;
    friend bool operator==(const Amp&, const Amp&) = default;
  };

  std::variant<RowMajor, BlockMajor, Amp> value;

  [[nodiscard]] static ElementOrder row_major() { return {RowMajor{}}; }
  [[nodiscard]] static ElementOrder block_major(BlockMajorOrder order) { return {BlockMajor{order}}; }
  [[nodiscard]] static ElementOrder amp(AmpOrder order) { return {Amp{order}}; }

  [[nodiscard]] bool is_row_major() const noexcept { return std::holds_alternative<RowMajor>(value); }
  [[nodiscard]] bool is_block_major() const noexcept { return std::holds_alternative<BlockMajor>(value); }
  [[nodiscard]] bool is_amp() const noexcept { return std::holds_alternative<Amp>(value); }
  /// Whether the order is `Amp(order)`.
  [[nodiscard]] bool is_amp(AmpOrder order) const noexcept;

  /// The block-major order, or null when the order is not block-major.
  [[nodiscard]] const BlockMajorOrder* as_block_major() const noexcept;
  /// The AMP order, or nothing when the order is not an AMP order.
  [[nodiscard]] std::optional<AmpOrder> as_amp() const noexcept;

  /// The product output group: `row_block` when the order is block-major (either
  /// orientation) with `column_block` 16 and `row_block` a power of two of at
  /// least 16; otherwise nothing.
  [[nodiscard]] std::optional<std::uint16_t> gemm_output_group() const noexcept;
  /// Whether `gemm_output_group` has a value.
  [[nodiscard]] bool has_gemm_output_group() const noexcept;

  friend bool operator==(const ElementOrder&, const ElementOrder&) = default;
};

/// One axis of a tensor, named independently of the rank.
/// Ordered by alternative, then index. Dump: `Leading(0)`, `Trailing(1)`, `Flattened`.
struct TensorAxis {
  /// Axis i counted from the first axis, 0-based; valid when i < rank.
  struct Leading {
    std::uint16_t index;  // no default member initialiser: see `value`
    friend auto operator<=>(const Leading&, const Leading&) = default;
  };
  /// Axis rank - i: `Trailing(1)` is the last axis; valid when 1 <= i <= rank.
  struct Trailing {
    std::uint16_t index = 0;
    friend auto operator<=>(const Trailing&, const Trailing&) = default;
  };
  /// The whole tensor viewed as one row-major axis; only meaningful as the single
  /// tiling of a layout.
  struct Flattened {
    friend auto operator<=>(const Flattened&, const Flattened&) = default;
  };

  std::variant<Leading, Trailing, Flattened> value;

  [[nodiscard]] static TensorAxis leading(std::uint16_t index) { return {Leading{index}}; }
  [[nodiscard]] static TensorAxis trailing(std::uint16_t index) { return {Trailing{index}}; }
  [[nodiscard]] static TensorAxis flattened() { return {Flattened{}}; }

  [[nodiscard]] bool is_flattened() const noexcept { return std::holds_alternative<Flattened>(value); }

  /// The 0-based axis index in a tensor of rank `rank`, or nothing when the axis
  /// does not exist there (`Flattened` never resolves to one axis).
  [[nodiscard]] std::optional<std::size_t> resolve(std::size_t rank) const noexcept;

  friend bool operator==(const TensorAxis&, const TensorAxis&) = default;
  friend auto operator<=>(const TensorAxis&, const TensorAxis&) = default;
};

/// Whether the rounding rules of a tiling may pad. Dump: the bare name.
enum class AxisPadding : std::uint8_t {
  Exact,   ///< extents must already satisfy the tiling's multiples
  Padded,  ///< extents are rounded up to them
};

struct ShardExtent;
struct LayoutError;

/// The cutting of one tensor axis into shards.
struct AxisTiling {
  TensorAxis axis{};                           ///< the axis that is cut
  std::uint16_t parts = 1;                     ///< shards along the axis (non-zero)
  std::uint16_t groups = 1;                    ///< independent equal sub-ranges, each cut into parts / groups shards
  std::uint32_t panel = 1;                     ///< the unit of distribution inside a group
  std::uint32_t padding_multiple = 1;          ///< each group's extent is a multiple of this
  std::uint32_t shard_alignment = 1;           ///< each shard's element count is a multiple of this
  AxisPadding padding = AxisPadding::Exact;    ///< whether the two rules above may pad
  std::optional<std::uint16_t> tile_stride{};  ///< explicit stride of the shard index in the tile numbering

  /// The range shard `part` covers along an axis whose padded extent is
  /// `padded_extent` and whose data extent is `extent`. The result's `axis` is
  /// left 0 for the caller to fill in. Shards past the data are empty
  /// (`start` = `end`) but keep their allocated size.
  [[nodiscard]] std::expected<ShardExtent, LayoutError> shard_bounds(std::uint32_t padded_extent,
                                                                     std::uint32_t extent,
                                                                     std::uint16_t part) const;

  friend bool operator==(const AxisTiling&, const AxisTiling&) = default;
};

/// The cutting of a whole tensor and its numbering over tiles. Tile t holds,
/// along the axis of tiling k, the shard (t / stride_k) mod parts_k.
struct TensorTiling {
  std::vector<AxisTiling> axes{};   ///< at most one per tensor axis
  std::uint16_t tile_count = 0;     ///< tiles the tensor occupies
  std::uint16_t replication = 1;    ///< tiles holding each shard

  /// The tile stride of every tiling, in tiling order: the explicit `tile_stride`
  /// when present, else the product of `replication` and the `parts` of all
  /// earlier tilings. Fails with `TileOverflow` when that running product exceeds
  /// 32 bits and with `InvalidTiling` for a zero stride.
  [[nodiscard]] std::expected<std::vector<std::uint32_t>, LayoutError> axis_strides() const;

  friend bool operator==(const TensorTiling&, const TensorTiling&) = default;
};

/// Element order, tiling and memory class of a tensor.
struct Layout {
  ElementOrder order{};
  TensorTiling tiling{};
  MemoryClass memory_class = MemoryClass::Vexa21Standard;

  // Named layouts. None validates its arguments; resolution rejects what does
  // not fit. `groups` and `shard_alignment` are 1 in every tiling they make.

  /// Rows (the second-last axis) dealt out to `tiles` tiles; row-major, standard memory.
  [[nodiscard]] static Layout row_sharded(std::uint16_t tiles);
  /// Attention keys: batch x sequence shards, 64-row sequence panels and
  /// 16-element columns; order `Amp(TransposedRight)`. The tile count saturates at 65535.
  [[nodiscard]] static Layout attention_key(std::uint16_t batch_partitions, std::uint16_t sequence_partitions);
  /// Attention output: sequence x batch shards with 16-element columns;
  /// row-major. The tile count saturates at 65535.
  [[nodiscard]] static Layout attention_output(std::uint16_t batch_partitions, std::uint16_t sequence_partitions);
  /// A product result over a row x column grid of tiles, columns padded to
  /// `block`; order `Amp(Output)`, interleaved memory. With row_partitions =
  /// tiles, block 64 and one column partition the grid is a plain row split.
  [[nodiscard]] static Layout amp_output_grid(std::uint32_t block, std::uint16_t tiles, std::uint16_t row_partitions,
                                              std::uint16_t column_partitions, bool column_major);
  /// As `amp_output_grid` with order `Amp(Left)`.
  [[nodiscard]] static Layout amp_left_result_grid(std::uint32_t block, std::uint16_t tiles,
                                                   std::uint16_t row_partitions, std::uint16_t column_partitions,
                                                   bool column_major);
  /// The transposed product result: rows padded to `block`; order
  /// `Amp(TransposedOutput)`, interleaved memory. `column_partitions` counts the
  /// shards of the unpadded last axis.
  [[nodiscard]] static Layout amp_transposed_output_grid(std::uint32_t block, std::uint16_t tiles,
                                                         std::uint16_t column_partitions,
                                                         std::uint16_t row_partitions, bool column_major);
  /// As `amp_transposed_output_grid` with order `Amp(TransposedLeft)`.
  [[nodiscard]] static Layout amp_transposed_left_result_grid(std::uint32_t block, std::uint16_t tiles,
                                                              std::uint16_t column_partitions,
                                                              std::uint16_t row_partitions, bool column_major);
  /// A replicated left operand: columns padded to `block`; order `Amp(Left)`, standard memory.
  [[nodiscard]] static Layout amp_left_parallel_grid(std::uint32_t block, std::uint16_t tiles,
                                                     std::uint16_t row_partitions, std::uint16_t replication,
                                                     std::uint16_t column_partitions);
  /// As `amp_left_parallel_grid` with order `Amp(TransposedLeft)` and the two axes exchanged.
  [[nodiscard]] static Layout amp_transposed_left_parallel_grid(std::uint32_t block, std::uint16_t tiles,
                                                                std::uint16_t row_partitions,
                                                                std::uint16_t replication,
                                                                std::uint16_t column_partitions);
  /// Block-major matrix storage with blocks of `row_block` x 16. The tile count
  /// is column_partitions x row_partitions x replication, or 0 when that product
  /// does not fit 16 bits (so that resolution rejects the layout).
  [[nodiscard]] static Layout block_major_matrix_storage(std::uint16_t row_block, std::uint32_t column_panel,
                                                         std::uint16_t column_partitions,
                                                         std::uint16_t row_partitions, std::uint16_t replication,
                                                         MemoryClass memory_class);
  /// As `block_major_matrix_storage` for the transposed matrix, axes exchanged.
  [[nodiscard]] static Layout transposed_block_major_matrix_storage(std::uint16_t row_block,
                                                                    std::uint32_t column_panel,
                                                                    std::uint16_t column_partitions,
                                                                    std::uint16_t row_partitions,
                                                                    std::uint16_t replication,
                                                                    MemoryClass memory_class);

  // Resolution against a concrete shape (defined with `mid::resolved`; include
  // "vexa_codegen/mid/resolved.hpp" to call the last two).

  /// The shape after padding, or the first rule of the layout that the shape breaks.
  [[nodiscard]] std::expected<std::vector<std::uint32_t>, LayoutError> padded_shape(
      const graph::TensorShape& shape) const;
  /// The layout applied to `shape`: padded extents, shard ranges and strides.
  [[nodiscard]] std::expected<resolved::ResolvedLayout, LayoutError> resolve(const graph::TensorShape& shape) const;
  /// The per-tile boxes of `shape` under this layout (`resolve`, then its fragments).
  [[nodiscard]] std::expected<std::vector<resolved::Fragment>, LayoutError> shard_extents(
      const graph::TensorShape& shape) const;

  friend bool operator==(const Layout&, const Layout&) = default;
};

/// Everything about a tensor except its shape.
struct TensorFormat {
  Precision precision{};
  Layout layout{};

  friend bool operator==(const TensorFormat&, const TensorFormat&) = default;
};

/// A tensor: its shape and its format.
struct TensorType {
  graph::TensorShape shape{};
  TensorFormat format{};

  /// The layout in which this tensor can be the input or output of a cast to or
  /// from `F8F143`, starting from its own layout, or nothing when there is none.
  [[nodiscard]] std::optional<Layout> fp8_cast_layout() const;
  /// The layout in which an operation producing this tensor in 8-bit should
  /// write it so that it can feed a consumer that wants `target`, or nothing.
  [[nodiscard]] std::optional<Layout> fp8_producer_layout(const TensorFormat& target) const;

  friend bool operator==(const TensorType&, const TensorType&) = default;
};

/// The range one shard covers along one axis. `end` is the end of valid data
/// (clamped to the unpadded extent); `allocated_end` is `start` plus the padded
/// shard size.
struct ShardExtent {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t allocated_end = 0;
  std::uint16_t axis = 0;  ///< index of the tensor axis

  /// `allocated_end` - `start`.
  [[nodiscard]] std::uint32_t allocated_size() const noexcept { return allocated_end - start; }

  friend bool operator==(const ShardExtent&, const ShardExtent&) = default;
};

/// Why a layout does not fit a shape. Callers treat any error alike; the
/// payloads say where resolution stopped.
struct LayoutError {
  /// `tile_count` or `replication` is zero.
  struct EmptyTiling {
    friend bool operator==(const EmptyTiling&, const EmptyTiling&) = default;
  };
  /// A zero `parts`, `groups`, `panel`, `padding_multiple`, `shard_alignment` or
  /// stride, or a `Flattened` tiling that does not fit the tensor.
  struct InvalidTiling {
    friend bool operator==(const InvalidTiling&, const InvalidTiling&) = default;
  };
  /// A tile product, stride, combination count or coverage counter exceeds its width.
  struct TileOverflow {
    friend bool operator==(const TileOverflow&, const TileOverflow&) = default;
  };
  /// A tiling names an axis the tensor does not have.
  struct AxisOutOfRange {
    TensorAxis axis{};
    std::uint64_t rank = 0;
    friend bool operator==(const AxisOutOfRange&, const AxisOutOfRange&) = default;
  };
  /// Two tilings cut the same axis.
  struct DuplicateAxis {
    TensorAxis axis{};
    friend bool operator==(const DuplicateAxis&, const DuplicateAxis&) = default;
  };
  /// An extent is not a multiple of what the tiling of `axis` needs.
  struct NotMultiple {
    std::uint32_t extent = 0;
    std::uint32_t multiple = 0;
    TensorAxis axis{};
    friend bool operator==(const NotMultiple&, const NotMultiple&) = default;
  };
  /// An exact shard whose size is not a multiple of the shard alignment.
  struct MisalignedShard {
    std::uint32_t size = 0;
    std::uint32_t alignment = 0;
    friend bool operator==(const MisalignedShard&, const MisalignedShard&) = default;
  };
  /// `groups` does not divide `parts` or the extent (or a part index is out of range).
  struct UnevenGroups {
    std::uint16_t groups = 0;
    std::uint16_t parts = 0;
    std::uint32_t extent = 0;
    friend bool operator==(const UnevenGroups&, const UnevenGroups&) = default;
  };
  /// A padded extent, shard bound or axis index exceeds its width. `axis` is the
  /// tiling's axis, or nothing when the tensor axis index itself does not fit 16 bits.
  struct ExtentOverflow {
    std::optional<TensorAxis> axis{};
    friend bool operator==(const ExtentOverflow&, const ExtentOverflow&) = default;
  };
  /// `tile_count` differs from replication x the product of all parts (`tiles`).
  struct TileCountMismatch {
    std::uint16_t tile_count = 0;
    std::uint32_t tiles = 0;
    friend bool operator==(const TileCountMismatch&, const TileCountMismatch&) = default;
  };
  /// Some combination of shard indices is not held by exactly `replication` tiles.
  struct IrregularTileMapping {
    friend bool operator==(const IrregularTileMapping&, const IrregularTileMapping&) = default;
  };

  std::variant<EmptyTiling, InvalidTiling, TileOverflow, AxisOutOfRange, DuplicateAxis, NotMultiple,
               MisalignedShard, UnevenGroups, ExtentOverflow, TileCountMismatch, IrregularTileMapping>
      value;

  friend bool operator==(const LayoutError&, const LayoutError&) = default;
};

[[nodiscard]] std::string dump(const Precision& precision);
[[nodiscard]] std::string dump(MemoryClass memory_class);
[[nodiscard]] std::string dump(const BlockMajorOrder& order);
[[nodiscard]] std::string dump(AmpOrder order);
[[nodiscard]] std::string dump(const ElementOrder& order);
[[nodiscard]] std::string dump(const TensorAxis& axis);
[[nodiscard]] std::string dump(AxisPadding padding);
[[nodiscard]] std::string dump(const AxisTiling& tiling);
[[nodiscard]] std::string dump(const TensorTiling& tiling);
[[nodiscard]] std::string dump(const Layout& layout);
[[nodiscard]] std::string dump(const TensorFormat& format);
[[nodiscard]] std::string dump(const TensorType& type);
[[nodiscard]] std::string dump(const ShardExtent& extent);
[[nodiscard]] std::string dump(const LayoutError& error);
/// The error's text; the same as its dump (layout errors are never shown to users).
[[nodiscard]] std::string message(const LayoutError& error);

}  // namespace vexa_codegen::mid::layout

#define VEXA_CODEGEN_LAYOUT_HASH(Type)                                               \
  template <>                                                                        \
  struct std::hash<vexa_codegen::mid::layout::Type> {                                \
    std::size_t operator()(const vexa_codegen::mid::layout::Type& value) const noexcept; \
  }

VEXA_CODEGEN_LAYOUT_HASH(Precision);
VEXA_CODEGEN_LAYOUT_HASH(BlockMajorOrder);
VEXA_CODEGEN_LAYOUT_HASH(ElementOrder);
VEXA_CODEGEN_LAYOUT_HASH(TensorAxis);
VEXA_CODEGEN_LAYOUT_HASH(AxisTiling);
VEXA_CODEGEN_LAYOUT_HASH(TensorTiling);
VEXA_CODEGEN_LAYOUT_HASH(Layout);
VEXA_CODEGEN_LAYOUT_HASH(TensorFormat);
VEXA_CODEGEN_LAYOUT_HASH(TensorType);
VEXA_CODEGEN_LAYOUT_HASH(ShardExtent);
VEXA_CODEGEN_LAYOUT_HASH(LayoutError);

#undef VEXA_CODEGEN_LAYOUT_HASH
