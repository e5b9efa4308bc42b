// What vexa-plan says about how a search decided: the decision trace as JSON
// lines (docs/trace-format.md) and the --explain text ("why not" per operation
// and what each missing piece is worth).
#pragma once

#include <string>
#include <vector>

#include "request.hpp"
#include "vexa_codegen/mid/optimistic/trace.hpp"

namespace vexa_plan {

/// Passes every event to each observer added, in order.
class FanOut final : public optimistic::trace::SearchObserver {
 public:
  /// Adds an observer; events reach the observers in the order they were added.
  void add(optimistic::trace::SearchObserver& observer) { observers_.push_back(&observer); }
  [[nodiscard]] bool empty() const noexcept { return observers_.empty(); }
  void observe(const optimistic::trace::Event& event) override {
    for (auto* observer : observers_) {
      observer->observe(event);
    }
  }

 private:
  std::vector<optimistic::trace::SearchObserver*> observers_;
};

/// One JSON object per event, each on its own line ending in a line feed.
[[nodiscard]] std::string trace_lines(const std::vector<optimistic::trace::Event>& events);

/// The --explain text: for every operation the plan used and the best plan not
/// used with its cycles and why it lost, then every assumption among the
/// opportunities with the largest saving it stands in the way of.
[[nodiscard]] std::string explanation_text(const optimistic::trace::Explanation& explanation,
                                           const optimistic::SearchReport& report);

}  // namespace vexa_plan
