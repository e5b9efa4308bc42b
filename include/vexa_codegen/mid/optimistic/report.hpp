// Reading a search report: its reference, its opportunities, and the Graphviz
// rendering of one candidate program.
//
// The reference is the trustworthy baseline: the cheapest candidate (by
// conservative cycles) that rests on no assumption. The opportunities are the
// candidates that would beat it if their assumptions held. The DOT rendering
// draws one box per value, one node per step (red when the step rests on an
// assumption) and marks the outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "vexa_codegen/mid/optimistic/types.hpp"

namespace vexa_codegen::mid::optimistic::report {

/// The assumption-free candidate with the fewest conservative cycles (the first
/// of equals in report order), or null when every candidate rests on an assumption.
[[nodiscard]] const DiagnosticMidGraph* reference(const SearchReport& report);

/// The opportunities of a report, in report order, walked in place: the
/// candidates with assumptions whose optimistic cycles are strictly below the
/// reference's conservative cycles (none without a reference). The view refers
/// to the report's candidates and is valid while the report is unchanged.
class Opportunities {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = DiagnosticMidGraph;
    using difference_type = std::ptrdiff_t;
    using pointer = const DiagnosticMidGraph*;
    using reference = const DiagnosticMidGraph&;

    Iterator() = default;
    reference operator*() const { return *current_; }
    pointer operator->() const { return current_; }
    Iterator& operator++() {
      ++current_;
      skip();
      return *this;
    }
    Iterator operator++(int) {
      Iterator previous = *this;
      ++*this;
      return previous;
    }
    friend bool operator==(const Iterator& left, const Iterator& right) { return left.current_ == right.current_; }

   private:
    friend class Opportunities;
    Iterator(pointer current, pointer end, std::uint64_t bound) : current_(current), end_(end), bound_(bound) {
      skip();
    }
    void skip();

    pointer current_ = nullptr;
    pointer end_ = nullptr;
    std::uint64_t bound_ = 0;
  };

  explicit Opportunities(const SearchReport& report);

  [[nodiscard]] Iterator begin() const { return {first_, last_, bound_}; }
  [[nodiscard]] Iterator end() const { return {last_, last_, bound_}; }
  /// The number of opportunities (walks the candidates once).
  [[nodiscard]] std::size_t size() const;
  [[nodiscard]] bool empty() const { return begin() == end(); }

 private:
  const DiagnosticMidGraph* first_ = nullptr;
  const DiagnosticMidGraph* last_ = nullptr;
  std::uint64_t bound_ = 0;  ///< the reference's conservative cycles
};

/// The opportunities of `report`.
[[nodiscard]] Opportunities opportunities(const SearchReport& report);

/// What one missing piece stands in the way of: the largest saving, in cycles,
/// of an opportunity resting on `assumption` (the reference's conservative
/// cycles minus the opportunity's optimistic cycles).
struct AssumptionWorth {
  Assumption assumption;
  std::uint64_t saving = 0;

  friend bool operator==(const AssumptionWorth&, const AssumptionWorth&) = default;
};

/// Every distinct assumption among the opportunities of `report` with the
/// largest saving it stands in the way of, largest saving first; equal savings
/// keep the assumptions' own order. Empty without opportunities.
[[nodiscard]] std::vector<AssumptionWorth> assumption_worth(const SearchReport& report);

/// `text` re-wrapped for a DOT label: each line broken at blanks so that no line
/// is longer than 52 bytes unless a single word is; line structure kept.
[[nodiscard]] std::string wrap_label(std::string_view text);

/// The Graphviz DOT text of one candidate program (digraph `optimistic_mid`).
[[nodiscard]] std::string to_dot(const DiagnosticMidGraph& graph);

}  // namespace vexa_codegen::mid::optimistic::report
