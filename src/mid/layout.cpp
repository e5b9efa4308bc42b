#include "vexa_codegen/mid/layout.hpp"

#include <bit>
#include <type_traits>

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/hash.hpp"
#include "vexa_codegen/support/invariant.hpp"
#include "vexa_codegen/support/overloaded.hpp"

namespace vexa_codegen::mid::layout {
namespace {

using support::Overloaded;

}  // namespace

std::uint64_t Precision::element_bytes() const noexcept {
  return std::visit(Overloaded{[](const F8F143&) -> std::uint64_t { return 1; },
                               [](const F16&) -> std::uint64_t { return 2; },
                               [](const F32&) -> std::uint64_t { return 4; }},
                    value);
}

std::uint16_t BlockMajorOrder::row_block() const noexcept {
  return std::visit([](const auto& blocks) { return blocks.row_block; }, value);
}

std::uint16_t BlockMajorOrder::column_block() const noexcept {
  return std::visit([](const auto& blocks) { return blocks.column_block; }, value);
}

bool ElementOrder::is_amp(AmpOrder order) const noexcept {
  const auto* amp = std::get_if<Amp>(&value);
  return amp != nullptr && amp->order == order;
}

const BlockMajorOrder* ElementOrder::as_block_major() const noexcept {
  const auto* block_major = std::get_if<BlockMajor>(&value);
  return block_major != nullptr ? &block_major->order : nullptr;
}

std::optional<AmpOrder> ElementOrder::as_amp() const noexcept {
  const auto* amp = std::get_if<Amp>(&value);
  return amp != nullptr ? std::optional<AmpOrder>(amp->order) : std::nullopt;
}

std::optional<std::uint16_t> ElementOrder::gemm_output_group() const noexcept {
  const BlockMajorOrder* blocks = as_block_major();
  if (blocks == nullptr || blocks->column_block() != 16) {
    return std::nullopt;
  }
  const std::uint16_t row_block = blocks->row_block();
  if (row_block < 16 || !std::has_single_bit(row_block)) {
    return std::nullopt;
  }
  return row_block;
}

bool ElementOrder::has_gemm_output_group() const noexcept { return gemm_output_group().has_value(); }

std::optional<std::size_t> TensorAxis::resolve(std::size_t rank) const noexcept {
  return std::visit(Overloaded{[rank](const Leading& axis) -> std::optional<std::size_t> {
                                 if (axis.index < rank) {
                                   return axis.index;
                                 }
                                 return std::nullopt;
                               },
                               [rank](const Trailing& axis) -> std::optional<std::size_t> {
                                 if (axis.index >= 1 && axis.index <= rank) {
                                   return rank - axis.index;
                                 }
                                 return std::nullopt;
                               },
                               [](const Flattened&) -> std::optional<std::size_t> { return std::nullopt; }},
                    value);
}

// ---- dumps -----------------------------------------------------------------

std::string dump(const Precision& precision) {
  return std::visit(Overloaded{[](const Precision::F8F143& p) {
                                 return support::RecordDump("F8F143").field("scale_exponent", p.scale_exponent).str();
                               },
                               [](const Precision::F16&) { return std::string("F16"); },
                               [](const Precision::F32&) { return std::string("F32"); }},
                    precision.value);
}

std::string dump(MemoryClass memory_class) {
  switch (memory_class) {
    case MemoryClass::Vexa21Standard: return "Vexa21Standard";
    case MemoryClass::Vexa21Interleaved: return "Vexa21Interleaved";
  }
  support::invariant_failed("unknown memory class");
}

std::string dump(const BlockMajorOrder& order) {
  return support::RecordDump(order.is_transposed() ? "TransposedMatrix" : "Matrix")
      .field("row_block", order.row_block())
      .field("column_block", order.column_block())
      .str();
}

std::string dump(AmpOrder order) {
  switch (order) {
    case AmpOrder::Left: return "Left";
    case AmpOrder::TransposedLeft: return "TransposedLeft";
    case AmpOrder::TransposedRight: return "TransposedRight";
    case AmpOrder::Output: return "Output";
    case AmpOrder::TransposedOutput: return "TransposedOutput";
  }
  support::invariant_failed("unknown AMP order");
}

std::string dump(const ElementOrder& order) {
  return std::visit(
      Overloaded{[](const ElementOrder::RowMajor&) { return std::string("RowMajor"); },
                 [](const ElementOrder::BlockMajor& o) { return support::positional("BlockMajor", o.order); },
                 [](const ElementOrder::Amp& o) { return support::positional("Amp", o.order); }},
      order.value);
}

std::string dump(const TensorAxis& axis) {
  return std::visit(Overloaded{[](const TensorAxis::Leading& a) { return support::positional("Leading", a.index); },
                               [](const TensorAxis::Trailing& a) { return support::positional("Trailing", a.index); },
                               [](const TensorAxis::Flattened&) { return std::string("Flattened"); }},
                    axis.value);
}

std::string dump(AxisPadding padding) {
  switch (padding) {
    case AxisPadding::Exact: return "Exact";
    case AxisPadding::Padded: return "Padded";
  }
  support::invariant_failed("unknown axis padding");
}

std::string dump(const AxisTiling& tiling) {
  return support::RecordDump("AxisTiling")
      .field("axis", tiling.axis)
      .field("parts", tiling.parts)
      .field("groups", tiling.groups)
      .field("panel", tiling.panel)
      .field("padding_multiple", tiling.padding_multiple)
      .field("shard_alignment", tiling.shard_alignment)
      .field("padding", tiling.padding)
      .field("tile_stride", tiling.tile_stride)
      .str();
}

std::string dump(const TensorTiling& tiling) {
  return support::RecordDump("TensorTiling")
      .field("axes", tiling.axes)
      .field("tile_count", tiling.tile_count)
      .field("replication", tiling.replication)
      .str();
}

std::string dump(const Layout& layout) {
  return support::RecordDump("Layout")
      .field("order", layout.order)
      .field("tiling", layout.tiling)
      .field("memory_class", layout.memory_class)
      .str();
}

std::string dump(const TensorFormat& format) {
  return support::RecordDump("TensorFormat")
      .field("precision", format.precision)
      .field("layout", format.layout)
      .str();
}

std::string dump(const TensorType& type) {
  return support::RecordDump("TensorType").field("shape", type.shape).field("format", type.format).str();
}

std::string dump(const ShardExtent& extent) {
  return support::RecordDump("ShardExtent")
      .field("start", extent.start)
      .field("end", extent.end)
      .field("allocated_end", extent.allocated_end)
      .field("axis", extent.axis)
      .str();
}

std::string dump(const LayoutError& error) {
  using E = LayoutError;
  return std::visit(
      Overloaded{
          [](const E::EmptyTiling&) { return std::string("EmptyTiling"); },
          [](const E::InvalidTiling&) { return std::string("InvalidTiling"); },
          [](const E::TileOverflow&) { return std::string("TileOverflow"); },
          [](const E::AxisOutOfRange& e) {
            return support::RecordDump("AxisOutOfRange").field("axis", e.axis).field("rank", e.rank).str();
          },
          [](const E::DuplicateAxis& e) { return support::RecordDump("DuplicateAxis").field("axis", e.axis).str(); },
          [](const E::NotMultiple& e) {
            return support::RecordDump("NotMultiple")
                .field("extent", e.extent)
                .field("multiple", e.multiple)
                .field("axis", e.axis)
                .str();
          },
          [](const E::MisalignedShard& e) {
            return support::RecordDump("MisalignedShard").field("size", e.size).field("alignment", e.alignment).str();
          },
          [](const E::UnevenGroups& e) {
            return support::RecordDump("UnevenGroups")
                .field("groups", e.groups)
                .field("parts", e.parts)
                .field("extent", e.extent)
                .str();
          },
          [](const E::ExtentOverflow& e) { return support::RecordDump("ExtentOverflow").field("axis", e.axis).str(); },
          [](const E::TileCountMismatch& e) {
            return support::RecordDump("TileCountMismatch")
                .field("tile_count", e.tile_count)
                .field("tiles", e.tiles)
                .str();
          },
          [](const E::IrregularTileMapping&) { return std::string("IrregularTileMapping"); },
      },
      error.value);
}

std::string message(const LayoutError& error) { return dump(error); }

// ---- hashing ---------------------------------------------------------------

namespace {

// The hash of one alternative's payload, fields in declaration order; unit
// alternatives hash to 0.
template <class Unit>
  requires std::is_empty_v<Unit>
std::size_t payload_hash(const Unit&) {
  return 0;
}
std::size_t payload_hash(const Precision::F8F143& p) { return support::hash_fields(p.scale_exponent); }
std::size_t payload_hash(const BlockMajorOrder::Matrix& b) { return support::hash_fields(b.row_block, b.column_block); }
std::size_t payload_hash(const BlockMajorOrder::TransposedMatrix& b) {
  return support::hash_fields(b.row_block, b.column_block);
}
std::size_t payload_hash(const ElementOrder::BlockMajor& o) { return support::hash_fields(o.order); }
std::size_t payload_hash(const ElementOrder::Amp& o) { return support::hash_fields(o.order); }
std::size_t payload_hash(const TensorAxis::Leading& a) { return support::hash_fields(a.index); }
std::size_t payload_hash(const TensorAxis::Trailing& a) { return support::hash_fields(a.index); }
std::size_t payload_hash(const LayoutError::AxisOutOfRange& e) { return support::hash_fields(e.axis, e.rank); }
std::size_t payload_hash(const LayoutError::DuplicateAxis& e) { return support::hash_fields(e.axis); }
std::size_t payload_hash(const LayoutError::NotMultiple& e) {
  return support::hash_fields(e.extent, e.multiple, e.axis);
}
std::size_t payload_hash(const LayoutError::MisalignedShard& e) { return support::hash_fields(e.size, e.alignment); }
std::size_t payload_hash(const LayoutError::UnevenGroups& e) {
  return support::hash_fields(e.groups, e.parts, e.extent);
}
std::size_t payload_hash(const LayoutError::ExtentOverflow& e) { return support::hash_fields(e.axis); }
std::size_t payload_hash(const LayoutError::TileCountMismatch& e) {
  return support::hash_fields(e.tile_count, e.tiles);
}

// A tagged variant hashes its alternative index, then its payload.
template <class Variant>
std::size_t variant_hash(const Variant& variant) {
  std::size_t seed = variant.index();
  std::visit([&seed](const auto& alternative) { support::hash_mix(seed, payload_hash(alternative)); }, variant);
  return seed;
}

}  // namespace

}  // namespace vexa_codegen::mid::layout

namespace layout = vexa_codegen::mid::layout;
using vexa_codegen::support::hash_fields;

std::size_t std::hash<layout::Precision>::operator()(const layout::Precision& value) const noexcept {
  return layout::variant_hash(value.value);
}
std::size_t std::hash<layout::BlockMajorOrder>::operator()(const layout::BlockMajorOrder& value) const noexcept {
  return layout::variant_hash(value.value);
}
std::size_t std::hash<layout::ElementOrder>::operator()(const layout::ElementOrder& value) const noexcept {
  return layout::variant_hash(value.value);
}
std::size_t std::hash<layout::TensorAxis>::operator()(const layout::TensorAxis& value) const noexcept {
  return layout::variant_hash(value.value);
}
std::size_t std::hash<layout::AxisTiling>::operator()(const layout::AxisTiling& value) const noexcept {
  return hash_fields(value.axis, value.parts, value.groups, value.panel, value.padding_multiple,
                     value.shard_alignment, value.padding, value.tile_stride);
}
std::size_t std::hash<layout::TensorTiling>::operator()(const layout::TensorTiling& value) const noexcept {
  return hash_fields(value.axes, value.tile_count, value.replication);
}
std::size_t std::hash<layout::Layout>::operator()(const layout::Layout& value) const noexcept {
  return hash_fields(value.order, value.tiling, value.memory_class);
}
std::size_t std::hash<layout::TensorFormat>::operator()(const layout::TensorFormat& value) const noexcept {
  return hash_fields(value.precision, value.layout);
}
std::size_t std::hash<layout::TensorType>::operator()(const layout::TensorType& value) const noexcept {
  return hash_fields(value.shape, value.format);
}
std::size_t std::hash<layout::ShardExtent>::operator()(const layout::ShardExtent& value) const noexcept {
  return hash_fields(value.start, value.end, value.allocated_end, value.axis);
}
std::size_t std::hash<layout::LayoutError>::operator()(const layout::LayoutError& value) const noexcept {
  return layout::variant_hash(value.value);
}
