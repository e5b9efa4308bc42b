#include <algorithm>
#include <cstddef>
#include <numeric>
#include <optional>
#include <unordered_map>
#include <utility>

#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/support/hash.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::mid::optimistic::search {

namespace {

// Equal states hash equally; the hash only narrows the duplicate search. It
// reads the summaries and sizes of the candidate rather than its whole
// contents: states that agree on all of them are rare, and comparing two
// states stops at their first difference.
std::size_t hash_state(const State& state) {
  const DiagnosticMidGraph& graph = state.graph;
  std::size_t seed = graph.values.size();
  support::hash_combine(seed, graph.steps.size());
  support::hash_combine(seed, graph.cycles.optimistic);
  support::hash_combine(seed, graph.cycles.conservative);
  support::hash_combine(seed, graph.memory.total);
  support::hash_combine(seed, graph.memory.standard);
  support::hash_combine(seed, graph.balanced_peak);
  support::hash_combine(seed, graph.assumptions.size());
  for (const auto& [high, index] : state.values) {
    support::hash_combine(seed, high);
    support::hash_combine(seed, index);
  }
  return seed;
}

// Which graph values are live and in which tensor types: one (graph value,
// type) pair per entry of the state's map, in ascending graph-value order.
using Signature = std::vector<std::pair<vexa_codegen::graph::ValueId, const layout::TensorType*>>;

Signature signature(const State& state) {
  Signature pairs;
  pairs.reserve(state.values.size());
  for (const auto& [high, index] : state.values) {
    if (index >= state.graph.values.size()) {
      support::invariant_failed("value index out of bounds");
    }
    pairs.emplace_back(high, &state.graph.values[index].tensor);
  }
  return pairs;
}

bool same_signature(const Signature& left, const Signature& right) {
  return std::ranges::equal(left, right, [](const auto& a, const auto& b) {
    return a.first == b.first && *a.second == *b.second;
  });
}

std::size_t hash_signature(const Signature& pairs) {
  std::size_t seed = pairs.size();
  for (const auto& [high, tensor] : pairs) {
    support::hash_combine(seed, high);
    support::hash_combine(seed, *tensor);
  }
  return seed;
}

bool rests_on_nothing(const State& state) { return state.graph.assumptions.empty(); }

}  // namespace

std::vector<State> prune(std::vector<State> states, std::size_t beam_width, SearchReport& report) {
  // 1. Order: a stable sort of positions by score.
  std::vector<Score> scores;
  scores.reserve(states.size());
  for (const State& state : states) {
    scores.push_back(score(state.graph));
  }
  std::vector<std::size_t> order(states.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::ranges::stable_sort(order, [&scores](std::size_t a, std::size_t b) { return scores[a] < scores[b]; });

  // 2. The reserve: the best assumption-free state, by its input position.
  // It is never a duplicate (an equal state would be assumption-free and
  // better placed), so it is always among the unique states below.
  const auto reserve_at = std::ranges::find_if(order, [&states](std::size_t i) { return rests_on_nothing(states[i]); });
  const std::optional<std::size_t> reserve =
      reserve_at != order.end() ? std::optional<std::size_t>(*reserve_at) : std::nullopt;

  // 3. Duplicates: the first of each group of equal states, in score order.
  std::vector<std::size_t> unique;
  unique.reserve(order.size());
  std::unordered_map<std::size_t, std::vector<std::size_t>> by_hash;
  for (const std::size_t i : order) {
    std::vector<std::size_t>& same_hash = by_hash[hash_state(states[i])];
    const bool duplicate =
        std::ranges::any_of(same_hash, [&](std::size_t position) { return states[unique[position]] == states[i]; });
    if (!duplicate) {
      same_hash.push_back(unique.size());
      unique.push_back(i);
    }
  }

  // 4. Variety: the first state of every signature leads; the rest follow.
  std::vector<std::size_t> leaders;
  std::vector<std::size_t> followers;
  std::vector<std::pair<std::size_t, Signature>> leader_signatures;
  for (const std::size_t i : unique) {
    Signature pairs = signature(states[i]);
    const std::size_t hash = hash_signature(pairs);
    const bool follows = std::ranges::any_of(leader_signatures, [&](const auto& leader) {
      return leader.first == hash && same_signature(leader.second, pairs);
    });
    if (follows) {
      followers.push_back(i);
    } else {
      leaders.push_back(i);
      leader_signatures.emplace_back(hash, std::move(pairs));
    }
  }

  // 5. and 6. Leaders, then followers, cut to the beam width.
  std::vector<std::size_t> kept = std::move(leaders);
  kept.insert(kept.end(), followers.begin(), followers.end());
  if (kept.size() > beam_width) {
    report.truncated = true;
    kept.resize(beam_width);
  }

  // 7. The guarantee: keep an assumption-free state whenever there was one.
  if (reserve && std::ranges::none_of(kept, [&states](std::size_t i) { return rests_on_nothing(states[i]); })) {
    kept.push_back(*reserve);
  }

  std::vector<State> result;
  result.reserve(kept.size());
  for (const std::size_t i : kept) {
    result.push_back(std::move(states[i]));
  }
  return result;
}

}  // namespace vexa_codegen::mid::optimistic::search
