#include "vexa_codegen/estimate/traffic.hpp"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <unordered_set>

#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/hash.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::estimate::traffic {

using vexa_codegen::mid::layout::Layout;
using vexa_codegen::mid::layout::Precision;
using support::sat_add;
using support::sat_mul;

namespace {

using Words = std::span<const std::uint32_t>;

// Distinct keys made of 32-bit words, stored back to back; each key keeps the
// index of its first insertion. Keys are boxes written as (start, end) per axis,
// optionally preceded by a tile. Lookups take a span, so a key is copied only
// when it is new.
class KeyTable {
 public:
  KeyTable() : index_(16, Hash{this}, Equal{this}) {}
  KeyTable(const KeyTable&) = delete;
  KeyTable& operator=(const KeyTable&) = delete;

  // The index of `key`, and whether the key was new.
  std::pair<std::size_t, bool> insert(Words key) {
    if (const auto found = index_.find(key); found != index_.end()) {
      return {*found, false};
    }
    const std::size_t index = size();
    words_.insert(words_.end(), key.begin(), key.end());
    offsets_.push_back(words_.size());
    index_.insert(index);
    return {index, true};
  }

  [[nodiscard]] Words key(std::size_t index) const {
    return Words(words_).subspan(offsets_[index], offsets_[index + 1] - offsets_[index]);
  }
  [[nodiscard]] std::size_t size() const noexcept { return offsets_.size() - 1; }

 private:
  struct Hash {
    using is_transparent = void;
    const KeyTable* table;
    std::size_t operator()(Words key) const noexcept {
      std::size_t seed = key.size();
      for (const std::uint32_t word : key) {
        support::hash_mix(seed, word);
      }
      return seed;
    }
    std::size_t operator()(std::size_t index) const noexcept { return (*this)(table->key(index)); }
  };
  struct Equal {
    using is_transparent = void;
    const KeyTable* table;
    [[nodiscard]] Words words(Words key) const noexcept { return key; }
    [[nodiscard]] Words words(std::size_t index) const noexcept { return table->key(index); }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
      return std::ranges::equal(words(a), words(b));
    }
  };

  std::vector<std::uint32_t> words_;
  std::vector<std::size_t> offsets_{0};
  std::unordered_set<std::size_t, Hash, Equal> index_;
};

// The boxes of one side of a conversion, replicas grouped: box i of `boxes` is
// held by the tiles `tiles[i]`, in ascending order.
struct BoxGroups {
  KeyTable boxes;
  std::vector<std::vector<std::uint16_t>> tiles;
};

// Groups the fragments of `layout` over `shape` by box; false when the layout
// does not fit the shape.
bool group_fragments(const Layout& layout, const graph::TensorShape& shape, BoxGroups& groups) {
  const auto fragments = layout.shard_extents(shape);
  if (!fragments) {
    return false;
  }
  std::vector<std::uint32_t> key;
  for (const auto& fragment : *fragments) {
    if (fragment.extents.size() != shape.rank()) {
      support::invariant_failed("fragment rank differs from the tensor rank");
    }
    key.clear();
    for (const auto& extent : fragment.extents) {
      key.push_back(extent.start);
      key.push_back(extent.end);
    }
    const auto [index, added] = groups.boxes.insert(key);
    if (added) {
      groups.tiles.emplace_back();
    }
    groups.tiles[index].push_back(fragment.tile);
  }
  return true;
}

// Writes the intersection of two boxes (as (start, end) words) to `out`;
// false when they are disjoint on some axis.
bool intersect_words(Words a, Words b, std::uint32_t* out) noexcept {
  for (std::size_t i = 0; i < a.size(); i += 2) {
    const std::uint32_t lo = std::max(a[i], b[i]);
    const std::uint32_t hi = std::min(a[i + 1], b[i + 1]);
    if (lo >= hi) {
      return false;
    }
    out[i] = lo;
    out[i + 1] = hi;
  }
  return true;
}

std::uint64_t box_bytes(Words box, std::uint64_t element_bytes) noexcept {
  std::uint64_t bytes = element_bytes;
  for (std::size_t i = 0; i < box.size(); i += 2) {
    bytes = sat_mul(bytes, box[i + 1] - box[i]);
  }
  return bytes;
}

void add_traffic(std::vector<TileTraffic>& list, std::uint16_t tile, std::uint64_t bytes, std::uint64_t messages) {
  if (list.size() <= tile) {
    list.resize(std::size_t{tile} + 1);
  }
  list[tile].bytes = sat_add(list[tile].bytes, bytes);
  list[tile].messages = sat_add(list[tile].messages, messages);
}

// Source boxes ordered by their start on one axis, with the running largest
// end, so that the boxes that can meet a target box on that axis form one
// contiguous run found by two binary searches. The axis is the one on which
// the source boxes have the most distinct starts (the first such axis on a
// tie): a flattened layout cuts its tensor into one box per row, and indexing
// an axis that few boxes differ on would compare every box with every other.
class SourceIndex {
 public:
  SourceIndex(const KeyTable& boxes, std::size_t rank) : order_(boxes.size()) {
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    if (rank == 0) {
      return;
    }
    std::size_t most = 0;
    std::vector<std::uint32_t> starts(boxes.size());
    for (std::size_t axis = 0; axis < rank; ++axis) {
      for (std::size_t i = 0; i < boxes.size(); ++i) {
        starts[i] = boxes.key(i)[2 * axis];
      }
      std::ranges::sort(starts);
      const auto unique_end = std::ranges::unique(starts).begin();
      const auto distinct = static_cast<std::size_t>(unique_end - starts.begin());
      if (distinct > most) {
        most = distinct;
        axis_ = axis;
      }
    }
    const std::size_t word = 2 * axis_;
    std::ranges::stable_sort(order_, {}, [&](std::size_t i) { return boxes.key(i)[word]; });
    starts_.reserve(order_.size());
    reach_.reserve(order_.size());
    std::uint32_t reach = 0;
    for (const std::size_t i : order_) {
      starts_.push_back(boxes.key(i)[word]);
      reach = std::max(reach, boxes.key(i)[word + 1]);
      reach_.push_back(reach);
    }
  }

  // The source boxes that may overlap `target` on the indexed axis.
  [[nodiscard]] std::span<const std::size_t> candidates(Words target) const {
    if (target.empty()) {
      return order_;
    }
    const std::size_t word = 2 * axis_;
    const auto first = std::ranges::upper_bound(reach_, target[word]) - reach_.begin();
    const auto last = std::ranges::lower_bound(starts_, target[word + 1]) - starts_.begin();
    if (first >= last) {
      return {};
    }
    return std::span<const std::size_t>(order_).subspan(static_cast<std::size_t>(first),
                                                        static_cast<std::size_t>(last - first));
  }

 private:
  std::vector<std::size_t> order_;
  std::size_t axis_ = 0;
  std::vector<std::uint32_t> starts_;
  std::vector<std::uint32_t> reach_;
};

// One source box's share of a target box. `words` indexes the piece's transfer
// key in the scratch buffer: the sending tile followed by the intersection.
struct Piece {
  std::size_t source = 0;
  std::size_t words = 0;
  std::uint64_t bytes = 0;
  bool sent = false;
};

}  // namespace

std::optional<std::vector<std::pair<std::uint16_t, Box>>> layout_extents(const Layout& layout,
                                                                         const graph::TensorShape& shape) {
  const auto fragments = layout.shard_extents(shape);
  if (!fragments) {
    return std::nullopt;
  }
  std::vector<std::pair<std::uint16_t, Box>> boxes;
  boxes.reserve(fragments->size());
  for (const auto& fragment : *fragments) {
    Box box;
    box.reserve(fragment.extents.size());
    for (const auto& extent : fragment.extents) {
      box.emplace_back(extent.start, extent.end);
    }
    boxes.emplace_back(fragment.tile, std::move(box));
  }
  return boxes;
}

std::optional<Box> intersect_ranges(std::span<const Range> a, std::span<const Range> b) {
  if (a.size() != b.size()) {
    return std::nullopt;
  }
  Box box;
  box.reserve(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::uint32_t lo = std::max(a[i].first, b[i].first);
    const std::uint32_t hi = std::min(a[i].second, b[i].second);
    if (lo >= hi) {
      return std::nullopt;
    }
    box.emplace_back(lo, hi);
  }
  return box;
}

std::optional<ConversionTraffic> conversion_traffic(const graph::TensorShape& shape, const Precision& precision,
                                                    const Layout& source, const Layout& target) {
  BoxGroups sources;
  BoxGroups targets;
  if (!group_fragments(source, shape, sources) || !group_fragments(target, shape, targets)) {
    return std::nullopt;
  }
  const std::uint64_t element_bytes = precision.element_bytes();
  const std::size_t box_words = 2 * shape.rank();
  const SourceIndex index(sources.boxes, shape.rank());

  ConversionTraffic traffic;
  KeyTable transfers;
  std::vector<Piece> pieces;
  std::vector<std::uint32_t> scratch;
  for (std::size_t t = 0; t < targets.boxes.size(); ++t) {
    const Words target_box = targets.boxes.key(t);
    pieces.clear();
    scratch.clear();
    std::uint64_t region_bytes = 0;
    for (const std::size_t s : index.candidates(target_box)) {
      const std::size_t offset = scratch.size();
      scratch.resize(offset + 1 + box_words);
      if (!intersect_words(sources.boxes.key(s), target_box, scratch.data() + offset + 1)) {
        scratch.resize(offset);
        continue;
      }
      scratch[offset] = sources.tiles[s].front();
      const std::uint64_t bytes = box_bytes(Words(scratch).subspan(offset + 1, box_words), element_bytes);
      pieces.push_back(Piece{.source = s, .words = offset, .bytes = bytes});
      region_bytes = sat_add(region_bytes, bytes);
    }
    traffic.largest_region_bytes = std::max(traffic.largest_region_bytes, region_bytes);
    traffic.largest_region_pieces = std::max<std::uint64_t>(traffic.largest_region_pieces, pieces.size());

    for (const std::uint16_t tile : targets.tiles[t]) {
      TileTraffic local;
      TileTraffic remote;
      for (auto& piece : pieces) {
        if (std::ranges::binary_search(sources.tiles[piece.source], tile)) {
          local.bytes = sat_add(local.bytes, piece.bytes);
          local.messages = sat_add(local.messages, 1);
          continue;
        }
        remote.bytes = sat_add(remote.bytes, piece.bytes);
        remote.messages = sat_add(remote.messages, 1);
        // The lowest tile holding the piece sends it, once for every tile
        // that needs it.
        if (!piece.sent) {
          piece.sent = true;
          const Words key = Words(scratch).subspan(piece.words, 1 + box_words);
          if (transfers.insert(key).second) {
            add_traffic(traffic.endpoints.sends, static_cast<std::uint16_t>(key[0]), piece.bytes, 1);
          }
        }
      }
      if (remote.bytes != 0 || remote.messages != 0) {
        add_traffic(traffic.endpoints.receives, tile, remote.bytes, remote.messages);
      }
      traffic.largest_local_bytes = std::max(traffic.largest_local_bytes, local.bytes);
      traffic.largest_local_pieces = std::max(traffic.largest_local_pieces, local.messages);
    }
  }
  return traffic;
}

std::string dump(const TileTraffic& traffic) {
  return support::RecordDump("TileTraffic").field("bytes", traffic.bytes).field("messages", traffic.messages).str();
}

std::string dump(const ExchangeEndpointTraffic& traffic) {
  return support::RecordDump("ExchangeEndpointTraffic")
      .field("sends", traffic.sends)
      .field("receives", traffic.receives)
      .str();
}

std::string dump(const ConversionTraffic& traffic) {
  return support::RecordDump("ConversionTraffic")
      .field("endpoints", traffic.endpoints)
      .field("largest_region_bytes", traffic.largest_region_bytes)
      .field("largest_local_bytes", traffic.largest_local_bytes)
      .field("largest_region_pieces", traffic.largest_region_pieces)
      .field("largest_local_pieces", traffic.largest_local_pieces)
      .str();
}

}  // namespace vexa_codegen::estimate::traffic
