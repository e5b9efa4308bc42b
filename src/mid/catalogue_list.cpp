// The catalogue's lists: the candidates for one tile count and the default
// catalogue over a tile count and the powers of two below it.
#include <unordered_set>

#include "catalogue_tilings.hpp"
#include "vexa_codegen/mid/catalogue.hpp"

namespace vexa_codegen::mid::catalogue {
namespace {

using layout::AmpOrder;
using layout::BlockMajorOrder;
using layout::ElementOrder;
using layout::MemoryClass;
using layout::TensorTiling;
using operators::GemmOrientation;
using operators::LocalOperandStaging;

// Appends candidates to a list unless an equal candidate is already in it, so
// that the first occurrence of every candidate survives in its place.
class UniqueList {
 public:
  explicit UniqueList(std::vector<OperatorCandidate>& out) : out_(out) {
    for (std::size_t i = 0; i < out_.size(); ++i) {
      seen_.insert(i);
    }
  }

  void add(OperatorCandidate candidate) {
    out_.push_back(std::move(candidate));
    if (!seen_.insert(out_.size() - 1).second) {
      out_.pop_back();
    }
  }

 private:
  // Indices into `out_`, hashed and compared by the candidate they name.
  struct Hash {
    const std::vector<OperatorCandidate>* list;
    std::size_t operator()(std::size_t i) const noexcept { return std::hash<OperatorCandidate>{}((*list)[i]); }
  };
  struct Equal {
    const std::vector<OperatorCandidate>* list;
    bool operator()(std::size_t a, std::size_t b) const noexcept { return (*list)[a] == (*list)[b]; }
  };

  std::vector<OperatorCandidate>& out_;
  std::unordered_set<std::size_t, Hash, Equal> seen_{16, Hash{&out_}, Equal{&out_}};
};

TensorFormat f16(Layout layout) { return {Precision::f16(), std::move(layout)}; }

// Row(T): rows dealt out to T tiles.
TensorFormat row_format(std::uint16_t tiles) { return f16(Layout::row_sharded(tiles)); }

// Batch(T): the batch axis (third from last) dealt out to T tiles.
TensorFormat batch_format(std::uint16_t tiles) {
  return f16({ElementOrder::row_major(), {{tilings::exact(3, tiles)}, tiles, 1}, MemoryClass::Vexa21Standard});
}

// P(T): rows over T tiles, the last axis padded to whole 64-element panels.
TensorTiling padded_rows(std::uint16_t tiles) {
  return {{tilings::exact(2, tiles), tilings::padded(1, 1, 64)}, tiles, 1};
}

// W(T): weight columns over T tiles, both axes padded to 64-element panels.
TensorTiling sharded_weight_columns(std::uint16_t tiles) {
  return {{tilings::padded(1, tiles, 64, 1), tilings::padded(2, 1, 64)}, tiles, 1};
}

// AmpRows(T): P(T) in `Amp(Left)` order, in interleaved memory.
Layout amp_rows(std::uint16_t tiles) {
  return {ElementOrder::amp(AmpOrder::Left), padded_rows(tiles), MemoryClass::Vexa21Interleaved};
}

MidOperator gemm_operator(Precision multiply, AccumulationPrecision accumulate) {
  return {MidOperator::Gemm{{false, false}, std::move(multiply), accumulate}};
}

// A product over whole rows: activations P(T), weights W(T), result `result`,
// one output column block per product.
ConcreteOperatorCandidate row_product(MidOperator operator_, std::uint16_t tiles, Layout result,
                                      std::uint32_t stream_panel, std::uint32_t output_column_block) {
  Layout activations{ElementOrder::amp(AmpOrder::Left), padded_rows(tiles), MemoryClass::Vexa21Standard};
  Layout weights{ElementOrder::block_major(BlockMajorOrder::matrix(64, 16)), sharded_weight_columns(tiles),
                 MemoryClass::Vexa21Standard};
  OperatorDispatch dispatch{
      OperatorDispatch::Gemm{64, output_column_block, std::nullopt, GemmOrientation::Normal}};
  return {gemm_plan(std::move(operator_), {std::move(activations), std::move(weights), std::move(result)},
                    stream_panel, std::move(dispatch)),
          CandidateLayouts::fixed()};
}

// One grid-product configuration: multiply precision, stream panel, inner
// partitions and whether the weights live in interleaved memory.
struct GridConfiguration {
  Precision multiply;
  std::uint32_t stream_panel;
  std::uint16_t inner_partitions;
  bool interleaved_weights;
};

// The configurations tried on a grid with `rows` row parts, in order.
std::vector<GridConfiguration> grid_configurations(std::uint16_t rows) {
  std::vector<GridConfiguration> configurations{
      {Precision::f16(), 16, 1, false},
      {Precision::f16(), 16, 1, true},
      {Precision::f32(), 32, 1, false},
  };
  if (rows >= 2) {
    configurations.push_back({Precision::f16(), 16, rows, false});
    configurations.push_back({Precision::f16(), 16, rows, true});
    configurations.push_back({Precision::f32(), 32, rows, false});
  }
  if (rows >= 4 && rows % 2 == 0) {
    configurations.push_back({Precision::f16(), 16, 2, true});
  }
  return configurations;
}

// The grid products over every divisor N of `tiles`, N from `tiles` down to 1,
// with R = tiles / N row parts.
void add_grid_products(UniqueList& list, std::uint16_t tiles) {
  for (std::uint16_t columns = tiles; columns >= 1; --columns) {
    if (tiles % columns != 0) {
      continue;
    }
    const auto rows = static_cast<std::uint16_t>(tiles / columns);
    const TileGrid grid{tiles, rows, columns, false};
    for (const GridConfiguration& configuration : grid_configurations(rows)) {
      const bool is_f16 = configuration.multiply.is_f16();
      const std::vector<std::uint32_t> blocks = is_f16 ? std::vector<std::uint32_t>{64, 128, 32}
                                                    : std::vector<std::uint32_t>{64};
      for (const std::uint32_t block : blocks) {
        // A block below 64 columns is offered only with unsplit weights in
        // interleaved memory.
        if (block < 64 && !(configuration.inner_partitions == 1 && configuration.interleaved_weights)) {
          continue;
        }
        ConcreteOperatorCandidate candidate =
            amp_grid_gemm_operator_candidate(configuration.multiply, 64, configuration.stream_panel, block, grid,
                                             configuration.inner_partitions, configuration.interleaved_weights);
        if (is_f16 && !configuration.interleaved_weights) {
          ConcreteOperatorCandidate matched = candidate;
          matched.plan.storage.operands[1].staging = LocalOperandStaging::MatchRemote;
          list.add(OperatorCandidate::concrete(std::move(candidate)));
          list.add(OperatorCandidate::concrete(std::move(matched)));
        } else {
          list.add(OperatorCandidate::concrete(std::move(candidate)));
        }
      }
    }
  }
}

void add_row_products(UniqueList& list, std::uint16_t tiles) {
  for (const std::uint32_t block : {64U, 128U}) {
    list.add(OperatorCandidate::concrete(row_product(gemm_operator(Precision::f16(), AccumulationPrecision::F16),
                                                     tiles, amp_rows(tiles), 16, block)));
  }
  Layout f32_result{ElementOrder::amp(AmpOrder::Output), padded_rows(tiles), MemoryClass::Vexa21Interleaved};
  list.add(OperatorCandidate::concrete(row_product(gemm_operator(Precision::f32(), AccumulationPrecision::F32),
                                                   tiles, std::move(f32_result), 32, 64)));
}

ConcreteOperatorCandidate with_layouts(ConcreteOperatorCandidate candidate, CandidateLayouts layouts) {
  candidate.layouts = layouts;
  return candidate;
}

ConcreteOperatorCandidate with_aliases(ConcreteOperatorCandidate candidate, std::vector<std::uint16_t> aliases) {
  candidate.plan.storage.output_aliases = std::move(aliases);
  return candidate;
}

void add_element_wise(UniqueList& list, std::uint16_t tiles) {
  const MidOperator add{MidOperator::Add{}};
  const MidOperator layer_norm{MidOperator::LayerNorm{}};
  const MidOperator gelu{MidOperator::Gelu{}};
  const ConcreteOperatorCandidate row_add =
      with_aliases(pointwise_operator_candidate(add, {row_format(tiles), row_format(tiles)}, row_format(tiles)),
                   {0, 1});
  const ConcreteOperatorCandidate row_layer_norm = pointwise_operator_candidate(
      layer_norm, {row_format(tiles), row_format(tiles), row_format(tiles)}, row_format(tiles));
  const MidOperator attention{
      MidOperator::FlashAttention{{false, graph::AttentionScale::inverse_sqrt_query_width()},
                                  AccumulationPrecision::F32}};

  list.add(OperatorCandidate::concrete(with_layouts(row_add, CandidateLayouts::follow_operand(0))));
  list.add(OperatorCandidate::concrete(with_layouts(row_add, CandidateLayouts::follow_operand(1))));
  list.add(OperatorCandidate::concrete(with_layouts(row_add, CandidateLayouts::shape_grid())));
  list.add(OperatorCandidate::concrete(with_layouts(row_layer_norm, CandidateLayouts::shape_grid_with_partials())));
  list.add(OperatorCandidate::concrete(row_layer_norm));
  list.add(OperatorCandidate::concrete(format_preserving_unary_candidate(gelu, f16(amp_rows(tiles)))));
  list.add(OperatorCandidate::concrete(format_preserving_unary_candidate(gelu, row_format(tiles))));
  list.add(OperatorCandidate::concrete(row_add));
  list.add(OperatorCandidate::concrete(pointwise_operator_candidate(
      attention, {batch_format(tiles), batch_format(tiles), batch_format(tiles)}, batch_format(tiles))));
}

}  // namespace

std::vector<OperatorCandidate> operator_candidates_for_tile_count(std::uint16_t tiles) {
  std::vector<OperatorCandidate> candidates;
  UniqueList list(candidates);
  add_grid_products(list, tiles);
  add_row_products(list, tiles);
  add_element_wise(list, tiles);
  candidates.push_back(OperatorCandidate::gemm_family(
      {{false, false}, Precision::f16(), AccumulationPrecision::F16, tiles}));
  return candidates;
}

std::vector<OperatorCandidate> default_operator_candidates(std::uint16_t tiles) {
  // The tile count itself, then the powers of two not above it, largest first,
  // each count once; zero tiles have no power of two below them.
  std::vector<std::uint16_t> tile_counts{tiles};
  if (tiles != 0) {
    std::uint16_t power = 1;
    while (2 * std::uint32_t{power} <= tiles && power < 32768) {
      power = static_cast<std::uint16_t>(power * 2);
    }
    for (; power >= 1; power = static_cast<std::uint16_t>(power / 2)) {
      if (power != tiles) {
        tile_counts.push_back(power);
      }
    }
  }
  std::vector<OperatorCandidate> candidates;
  UniqueList list(candidates);
  for (const std::uint16_t count : tile_counts) {
    for (OperatorCandidate& candidate : operator_candidates_for_tile_count(count)) {
      list.add(std::move(candidate));
    }
  }
  return candidates;
}

}  // namespace vexa_codegen::mid::catalogue
