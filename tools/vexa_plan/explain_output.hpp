// What vexa-plan says about how a search decided: the decision trace as JSON
// lines (docs/trace-format.md) and the --explain text ("why not" per operation
// and what each missing piece is worth).
#pragma once

#include <string>
#include <vector>

#include "request.hpp"
#include "vexa_codegen/mid/optimistic/trace.hpp"

namespace vexa_plan {

/// Passes every event to both observers.
class BothObservers final : public optimistic::trace::SearchObserver {
 public:
  BothObservers(optimistic::trace::SearchObserver& first, optimistic::trace::SearchObserver& second)
      : first_(first), second_(second) {}
  void observe(const optimistic::trace::Event& event) override {
    first_.observe(event);
    second_.observe(event);
  }

 private:
  optimistic::trace::SearchObserver& first_;
  optimistic::trace::SearchObserver& second_;
};

/// One JSON object per event, each on its own line ending in a line feed.
[[nodiscard]] std::string trace_lines(const std::vector<optimistic::trace::Event>& events);

/// The --explain text: for every operation the plan used and the best plan not
/// used with its cycles and why it lost, then every assumption among the
/// opportunities with the largest saving it stands in the way of.
[[nodiscard]] std::string explanation_text(const optimistic::trace::Explanation& explanation,
                                           const optimistic::SearchReport& report);

}  // namespace vexa_plan
