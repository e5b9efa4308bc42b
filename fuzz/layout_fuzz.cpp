// Fuzz target: layout resolution, per-tile figures and storage coordinates.
//
// The input gives a layout (from a named constructor or a raw tiling with any
// field values) and a shape of rank 0 to 5 with any extents, then a matrix
// geometry for the storage-coordinate functions. The target resolves the
// layout and checks what resolution promises: the padded shape agrees with
// `padded_shape` and never shrinks an extent; every shard extent is ordered
// start <= end <= allocated end; the fragments list every tile once in order
// (or, flattened, cover every element once); no tile holds more elements than
// `maximum_tile_elements`; a type has the same distribution as itself exactly
// when it resolves unflattened; `maximum_shard_bytes` and `tensor_memory`
// agree with the resolution. The storage-coordinate functions must answer
// inside the matrix and, for small matrices, map positions one-to-one.
#include <cstddef>
#include <cstdint>
#include <set>
#include <utility>

#include "layout_source.hpp"
#include "support.hpp"
#include "vexa_codegen/estimate/memory.hpp"
#include "vexa_codegen/estimate/tensor.hpp"
#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/storage.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace {

using namespace vexa_codegen;
using fuzz::ByteSource;
using fuzz::expect;
namespace layout = mid::layout;
namespace resolved = mid::resolved;

// Flattened fragments are one per row a tile touches; beyond this many rows
// the listing is skipped so that a run stays fast.
constexpr std::uint64_t max_listed_rows = 1U << 16;
// Matrices up to this many elements are checked position by position.
constexpr std::uint64_t max_checked_elements = 1U << 12;

std::uint64_t element_count(const std::vector<std::uint32_t>& shape) {
  std::uint64_t product = 1;
  for (const std::uint32_t extent : shape) {
    product = support::sat_mul(product, extent);
  }
  return product;
}

void check_axis(const resolved::ResolvedAxis& axis, std::uint32_t m) {
  std::uint32_t largest = 0;
  for (const auto& extent : axis.extents) {
    expect(extent.start <= extent.end && extent.end <= extent.allocated_end,
           "a shard extent has start <= end <= allocated end");
    largest = std::max(largest, extent.allocated_size());
  }
  expect(axis.maximum_extent() == largest, "maximum_extent is the largest allocated size");
  expect(axis.minimum_extent() <= axis.maximum_extent(), "minimum_extent is at most maximum_extent");
  if (axis.extents_are_multiple_of(m)) {
    expect(axis.complete_panels_except_tail(m), "whole multiples on every shard include all shards but the last");
  }
  (void)axis.extent_sizes();
}

void check_fragments(const resolved::ResolvedLayout& resolution) {
  if (resolution.flattened) {
    const std::uint64_t elements = element_count(resolution.shape);
    const std::uint32_t width = resolution.shape.empty() ? 1 : resolution.shape.back();
    if (width == 0 || elements / width > max_listed_rows) {
      return;
    }
  }
  const auto fragments = resolution.shard_extents();
  if (!fragments) {
    return;
  }
  if (!resolution.flattened) {
    const std::uint64_t most = resolution.maximum_tile_elements();
    expect(fragments->size() == resolution.tile_count, "one fragment per tile");
    for (std::size_t t = 0; t < fragments->size(); ++t) {
      const auto& fragment = (*fragments)[t];
      expect(fragment.tile == t, "fragments are listed tile by tile");
      expect(fragment.extents.size() == resolution.shape.size(), "a fragment has one extent per axis");
      std::uint64_t held = 1;
      for (const auto& extent : fragment.extents) {
        held = support::sat_mul(held, extent.allocated_size());
      }
      expect(held <= most, "no tile holds more than maximum_tile_elements");
    }
    return;
  }
  std::uint64_t covered = 0;
  std::uint32_t previous_tile = 0;
  for (const auto& fragment : *fragments) {
    expect(fragment.tile < resolution.tile_count && fragment.tile >= previous_tile,
           "flattened fragments are listed tile by tile");
    previous_tile = fragment.tile;
    expect(fragment.extents.size() == resolution.shape.size(), "a fragment has one extent per axis");
    const auto& last = fragment.extents.back();
    expect(last.start < last.end, "a flattened fragment is a non-empty run of one row");
    covered += last.end - last.start;
  }
  expect(covered == element_count(resolution.shape), "flattened fragments cover every element once");
}

void check_type(const layout::TensorType& type, std::uint32_t m) {
  const auto& layout_ = type.format.layout;
  const auto padded = layout_.padded_shape(type.shape);
  const auto resolution = layout_.resolve(type.shape);
  const std::uint64_t shard_bytes = estimate::tensor::maximum_shard_bytes(type);
  const auto [standard, interleaved] = estimate::memory::tensor_memory(type);
  const bool interleaved_class = layout_.memory_class == layout::MemoryClass::Vexa21Interleaved;
  expect(standard == (interleaved_class ? 0 : shard_bytes) && interleaved == (interleaved_class ? shard_bytes : 0),
         "tensor_memory puts maximum_shard_bytes in the layout's memory class");
  (void)type.fp8_cast_layout();
  if (!resolution) {
    expect(shard_bytes == support::saturated, "an unresolvable type has the largest byte figure");
    expect(!resolved::same_distribution(type, type), "an unresolvable type has no distribution");
    expect(!layout_.shard_extents(type.shape).has_value(), "an unresolvable layout has no fragments");
    return;
  }
  expect(padded.has_value() && *padded == resolution->padded_shape, "resolution pads as padded_shape does");
  expect(resolution->shape == type.shape.dimensions, "resolution keeps the shape");
  expect(resolution->padded_shape.size() == type.shape.rank(), "padding keeps the rank");
  for (std::size_t j = 0; j < type.shape.rank(); ++j) {
    expect(resolution->padded_shape[j] >= type.shape.dimensions[j], "padding never shrinks an extent");
  }
  expect(resolution->tile_count == layout_.tiling.tile_count, "resolution keeps the tile count");
  expect(shard_bytes == support::sat_mul(resolution->maximum_tile_elements(), type.format.precision.element_bytes()),
         "maximum_shard_bytes is maximum_tile_elements times the element size");
  expect(resolved::same_distribution(type, type) == !resolution->flattened,
         "a resolvable type has its own distribution unless flattened");
  if (!resolution->flattened) {
    expect(resolution->axes.size() == type.shape.rank(), "one resolved axis per tensor axis");
    for (const auto& axis : resolution->axes) {
      expect(!axis.extents.empty(), "every resolved axis has a shard");
      check_axis(axis, m);
    }
  }
  check_fragments(*resolution);
}

// Every position of a small matrix maps to a distinct element inside it.
template <class Coordinates>
void check_storage(Coordinates coordinates, std::uint32_t rows, std::uint32_t columns, std::uint32_t position) {
  const auto answer = coordinates(position);
  if (answer) {
    expect(answer->first < rows && answer->second < columns, "storage coordinates lie inside the matrix");
  }
  const std::uint64_t elements = std::uint64_t{rows} * columns;
  if (elements == 0 || elements > max_checked_elements || !coordinates(0)) {
    return;
  }
  std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
  for (std::uint32_t p = 0; p < elements; ++p) {
    const auto at = coordinates(p);
    expect(at.has_value(), "every position of an addressable matrix has coordinates");
    expect(at->first < rows && at->second < columns, "storage coordinates lie inside the matrix");
    expect(seen.insert(*at).second, "no two positions share an element");
  }
}

void check_storage_functions(ByteSource& in) {
  const auto precision = fuzz::draw_precision(in);
  const std::uint32_t rows = in.extent();
  const std::uint32_t columns = in.extent();
  const std::uint32_t position = in.flag() ? in.number<std::uint32_t>() : in.byte();
  if (in.flag()) {
    const std::uint16_t row_block = fuzz::draw_block(in);
    const std::uint16_t column_block = fuzz::draw_block(in);
    const auto order = in.flag() ? layout::BlockMajorOrder::transposed_matrix(row_block, column_block)
                                 : layout::BlockMajorOrder::matrix(row_block, column_block);
    check_storage(
        [&](std::uint32_t p) { return storage::block_major_matrix_coordinates(order, precision, rows, columns, p); },
        rows, columns, position);
  } else {
    const auto order = static_cast<layout::AmpOrder>(in.choice(5));
    check_storage([&](std::uint32_t p) { return storage::amp_matrix_coordinates(order, precision, rows, columns, p); },
                  rows, columns, position);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in(data, size);
  // Up to 65535 tiles now and then; mostly up to 64, which keeps runs fast.
  const std::uint16_t tile_limit = in.byte() < 32 ? std::uint16_t{65535} : std::uint16_t{64};
  layout::TensorType type;
  type.format = fuzz::draw_format(in, tile_limit);
  type.shape = fuzz::draw_shape(in, 5);
  check_type(type, fuzz::draw_multiple(in));
  (void)type.fp8_producer_layout(fuzz::draw_format(in, tile_limit));
  check_storage_functions(in);
  return 0;
}
