// Fuzz target: layout conversion paths and conversion traffic.
//
// The input gives a pipeline of 1 to 64 tiles, one shape and two tensor types
// over it (any precision, any layout whose partition counts mostly fit the
// pipeline), and the conversion limits. The target measures the traffic
// between the two layouts and enumerates the conversion paths, then checks
// their promises: a local share never exceeds its region; a tile that sends or
// receives is one of the layout's tiles; the request is refused exactly when
// the shapes differ, an endpoint is invalid or a limit is out of range; every
// path leads from the source to the target one step after another within the
// step bound, its cycles are the saturating sums of its steps' and its
// assumptions include theirs; equal endpoints give the identity path alone; no
// more paths come back than the bound plus the one assumption-free path.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "layout_source.hpp"
#include "support.hpp"
#include "vexa_codegen/estimate/movement.hpp"
#include "vexa_codegen/estimate/traffic.hpp"
#include "vexa_codegen/mid/optimistic/conversion.hpp"

namespace {

using namespace vexa_codegen;
using fuzz::ByteSource;
using fuzz::expect;
namespace layout = mid::layout;
namespace optimistic = mid::optimistic;

// A flattened layout lists one fragment per row a tile touches; shapes with
// more rows than this are kept away from flattened layouts so a run stays fast.
constexpr std::uint64_t max_flattened_rows = 1U << 14;

bool is_flattened(const layout::Layout& layout_) {
  return std::any_of(layout_.tiling.axes.begin(), layout_.tiling.axes.end(),
                     [](const layout::AxisTiling& axis) { return axis.axis.is_flattened(); });
}

bool has_few_rows(const graph::TensorShape& shape) {
  if (shape.dimensions.empty() || shape.dimensions.back() == 0) {
    return true;
  }
  std::uint64_t rows = 1;
  for (std::size_t i = 0; i + 1 < shape.dimensions.size(); ++i) {
    rows = std::min<std::uint64_t>(rows * shape.dimensions[i], std::uint64_t{1} << 32);
  }
  return rows <= max_flattened_rows;
}

void check_traffic(const graph::TensorShape& shape, const layout::Precision& precision, const layout::Layout& source,
                   const layout::Layout& target) {
  const auto traffic = estimate::traffic::conversion_traffic(shape, precision, source, target);
  if (!traffic) {
    return;
  }
  expect(traffic->largest_local_bytes <= traffic->largest_region_bytes, "a local share lies inside its region");
  expect(traffic->largest_local_pieces <= traffic->largest_region_pieces, "local pieces are pieces of the region");
  expect(traffic->endpoints.sends.size() <= source.tiling.tile_count, "only source tiles send");
  expect(traffic->endpoints.receives.size() <= target.tiling.tile_count, "only target tiles receive");
}

void check_path(const optimistic::conversion::ConversionPath& path, const layout::TensorType& source,
                const layout::TensorType& target, const optimistic::SearchLimits& limits) {
  expect(path.transforms.size() <= limits.max_conversion_steps, "a path keeps to the step bound");
  optimistic::CycleEstimate cycles;
  const layout::TensorType* at = &source;
  for (const auto& transform : path.transforms) {
    expect(transform.from == *at, "each step starts where the previous one ended");
    expect(transform.from.shape == transform.to.shape, "a step keeps the shape");
    expect(std::includes(path.assumptions.begin(), path.assumptions.end(), transform.assumptions.begin(),
                         transform.assumptions.end()),
           "a path rests on every assumption of its steps");
    cycles += transform.cycles;
    at = &transform.to;
  }
  expect(*at == target, "a path ends at the target");
  expect(cycles == path.cycles, "a path's cycles are the sums of its steps'");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in(data, size);
  const auto tiles = static_cast<std::uint16_t>(1 + in.choice(64));
  layout::TensorType source;
  layout::TensorType target;
  source.shape = fuzz::draw_shape(in, 4);
  target.shape = in.byte() < 240 ? source.shape : fuzz::draw_shape(in, 4);
  source.format = fuzz::draw_format(in, tiles);
  target.format = in.byte() < 16 ? source.format : fuzz::draw_format(in, tiles);
  if (!has_few_rows(source.shape) && (is_flattened(source.format.layout) || is_flattened(target.format.layout))) {
    return 0;
  }
  if (!has_few_rows(target.shape) && is_flattened(target.format.layout)) {
    return 0;
  }
  optimistic::SearchLimits limits;
  limits.max_conversion_steps = in.byte() < 224 ? 1 + in.choice(4) : in.choice(8);
  limits.max_conversion_paths = in.byte() < 224 ? 1 + in.choice(8) : in.number<std::uint16_t>();

  // Traffic and single steps only between layouts on the pipeline's tiles:
  // the work of measuring traffic grows with the square of the tile count.
  const bool alias = in.flag();
  if (source.format.layout.tiling.tile_count <= tiles && target.format.layout.tiling.tile_count <= tiles) {
    check_traffic(source.shape, source.format.precision, source.format.layout, target.format.layout);
    (void)estimate::movement::grid_fragments(source, target);
    (void)optimistic::conversion::edge(source, target, alias);
    (void)optimistic::conversion::word_unpack(source, target);
    (void)optimistic::conversion::equivalent(source, target);
  }

  const auto paths = optimistic::conversion::enumerate_conversions(source, target, tiles, limits);
  const bool valid_request = source.shape == target.shape && optimistic::valid_tensor(source, tiles) &&
                             optimistic::valid_tensor(target, tiles) && limits.max_conversion_steps >= 1 &&
                             limits.max_conversion_steps <= 4 && limits.max_conversion_paths >= 1;
  expect(paths.has_value() == valid_request, "a conversion is refused exactly for an invalid request");
  if (!paths) {
    expect(paths.error() == optimistic::invalid("invalid conversion endpoints or search limits"),
           "the refusal names the endpoints or limits");
    return 0;
  }
  if (source == target) {
    expect(paths->size() == 1 && paths->front() == optimistic::conversion::ConversionPath{},
           "equal endpoints give the identity path alone");
    return 0;
  }
  expect(paths->size() <= limits.max_conversion_paths + 1, "at most the bound plus one assumption-free path");
  for (const auto& path : *paths) {
    check_path(path, source, target, limits);
  }
  return 0;
}
