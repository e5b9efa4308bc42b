// Closed-form proxies of distributed matrix-product grids and their frontier.
#include <algorithm>
#include <array>
#include <functional>
#include <tuple>

#include "detail.hpp"
#include "gemm_grid.hpp"
#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

using support::sat_add;
using support::sat_mul;

/// Grids whose per-tile result reaches this many elements are not considered.
constexpr std::uint64_t result_element_limit = std::uint64_t{1} << 60;

bool dominates(const ParallelGridProxy& better, const ParallelGridProxy& worse) {
  const auto figures = [](const ParallelGridProxy& proxy) {
    return std::array{proxy.cycles, proxy.exchange, proxy.memory, proxy.idle_tiles};
  };
  const auto mine = figures(better);
  const auto theirs = figures(worse);
  return better.inner_partitions == worse.inner_partitions && mine != theirs &&
         std::ranges::equal(mine, theirs, std::less_equal<>{});
}

}  // namespace

namespace detail {

std::optional<ProductGeometry> product_geometry(const MidOperator::Gemm& gemm,
                                                const std::vector<TensorType>& operand_types,
                                                GemmOrientation orientation) {
  if (operand_types.size() != 2 || operand_types[0].shape.rank() < 2 || operand_types[1].shape.rank() < 2) {
    return std::nullopt;
  }
  const auto& left = operand_types[0].shape.dimensions;
  const auto& right = operand_types[1].shape.dimensions;
  const std::uint64_t rows = left[left.size() - 2];
  const std::uint64_t contraction = left.back();
  const std::uint64_t columns = right.back();
  ProductGeometry geometry;
  const bool normal = orientation == GemmOrientation::Normal;
  geometry.streamed_rows = normal ? rows : columns;
  geometry.other_columns = normal ? columns : rows;
  geometry.contraction_block = gemm.multiply.is_f8f143() ? 32 : 16;
  geometry.element_bytes = gemm.multiply.element_bytes();
  geometry.contraction_blocks = support::ceil_div(contraction, geometry.contraction_block);
  geometry.column_blocks = support::ceil_div(geometry.other_columns, 16);
  for (std::size_t i = 0; i + 2 < left.size(); ++i) {
    geometry.batch = sat_mul(geometry.batch, left[i]);
  }
  if (geometry.contraction_blocks > max16 || geometry.column_blocks > max16) {
    return std::nullopt;
  }
  return geometry;
}

}  // namespace detail

std::vector<ParallelGridProxy> parallel_grid_proxies(const MidOperator::Gemm& gemm, std::uint16_t tile_count,
                                                     const std::vector<TensorType>& operand_types,
                                                     GemmOrientation orientation) {
  std::vector<ParallelGridProxy> proxies;
  const auto geometry = detail::product_geometry(gemm, operand_types, orientation);
  if (!geometry) {
    return proxies;
  }
  const std::uint64_t tiles = tile_count;
  const std::uint64_t streamed = geometry->streamed_rows;
  const std::uint64_t block_bytes = geometry->contraction_block * geometry->element_bytes;
  const std::uint64_t half = support::ceil_div(tiles, 2);
  const std::uint64_t max_inner = std::min(tiles, geometry->contraction_blocks);
  for (std::uint64_t inner = 2; inner <= max_inner; ++inner) {
    const std::uint64_t max_columns = std::min(tiles / inner, geometry->column_blocks);
    for (std::uint64_t columns = 1; columns <= max_columns; ++columns) {
      const std::uint64_t row_parts =
          std::min(std::min<std::uint64_t>(streamed, detail::max16), tiles / inner / columns);
      if (row_parts == 0) {
        continue;
      }
      const std::uint64_t used = std::min(columns * inner * row_parts, detail::max16);
      if (used < half) {
        continue;
      }
      const std::uint64_t rows = support::ceil_div(streamed, row_parts);
      const std::uint64_t inner_blocks = geometry->blocks_per_inner_part(inner);
      if (inner_blocks * (inner - 1) >= geometry->contraction_blocks) {
        continue;  // the last contraction part would be empty
      }
      const std::uint64_t column_blocks = geometry->blocks_per_column_part(columns);
      const std::uint64_t streamed_rows = sat_mul(geometry->batch, rows);
      const std::uint64_t cycles =
          sat_mul(sat_mul(column_blocks, inner_blocks), sat_add(sat_mul(4, streamed_rows), 160));
      const std::uint64_t exchange = sat_add(sat_mul(inner_blocks, sat_add(column_blocks, rows)),
                                             sat_mul(sat_mul(rows, inner - 1), column_blocks));
      const std::uint64_t streamed_bytes = sat_mul(sat_mul(inner_blocks, streamed_rows), block_bytes);
      const std::uint64_t weight_bytes = sat_mul(sat_mul(column_blocks, inner_blocks), 16 * block_bytes);
      const std::uint64_t results = sat_mul(streamed_rows, column_blocks);
      if (results >= result_element_limit) {
        continue;
      }
      const std::uint64_t memory =
          std::max(sat_add(sat_add(streamed_bytes, weight_bytes), sat_mul(32, results)), sat_mul(128, results));
      const std::uint64_t interleaved = sat_add(weight_bytes, sat_mul(32, results));
      if (memory > vexa21_tile_memory_bytes || interleaved > vexa21_interleaved_memory_bytes) {
        continue;
      }
      proxies.push_back(ParallelGridProxy{.cycles = cycles,
                                          .exchange = exchange,
                                          .memory = memory,
                                          .idle_tiles = tiles - used,
                                          .row_partitions = static_cast<std::uint16_t>(row_parts),
                                          .column_partitions = static_cast<std::uint16_t>(columns),
                                          .inner_partitions = static_cast<std::uint16_t>(inner)});
    }
  }
  return proxies;
}

std::vector<ParallelGridProxy> parallel_grid_frontier(const std::vector<ParallelGridProxy>& proxies) {
  std::vector<ParallelGridProxy> frontier;
  for (const ParallelGridProxy& proxy : proxies) {
    if (std::ranges::any_of(frontier, [&](const ParallelGridProxy& kept) { return dominates(kept, proxy); })) {
      continue;
    }
    std::erase_if(frontier, [&](const ParallelGridProxy& kept) { return dominates(proxy, kept); });
    frontier.push_back(proxy);
  }
  std::ranges::stable_sort(frontier, {}, [](const ParallelGridProxy& proxy) {
    return std::tuple{proxy.cycles,         proxy.exchange,          proxy.memory,          proxy.idle_tiles,
                      proxy.row_partitions, proxy.column_partitions, proxy.inner_partitions};
  });
  return frontier;
}

std::string dump(const ParallelGridProxy& proxy) {
  return support::RecordDump("ParallelGridProxy")
      .field("cycles", proxy.cycles)
      .field("exchange", proxy.exchange)
      .field("memory", proxy.memory)
      .field("idle_tiles", proxy.idle_tiles)
      .field("row_partitions", proxy.row_partitions)
      .field("column_partitions", proxy.column_partitions)
      .field("inner_partitions", proxy.inner_partitions)
      .str();
}

}  // namespace vexa_codegen::mid::candidates
