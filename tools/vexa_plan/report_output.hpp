// What vexa-plan prints about a search report: the summary lines of the
// demonstration driver, or the whole report as JSON.
#pragma once

#include <string>

#include "json_input.hpp"
#include "request.hpp"

namespace vexa_plan {

/// The summary lines, each ending in a line feed: the counters with the
/// number of candidates and opportunities, the reference's conservative cycles
/// when there is a reference, and the cycles, memory peaks and assumptions of
/// the first five candidates, each in its dump form.
[[nodiscard]] std::string summary(const optimistic::SearchReport& report);

/// The whole report as JSON: the counters, the reference and the
/// opportunities (as candidate indices), and every candidate with its values,
/// steps, cycle pairs, assumptions, memory peaks and balanced peak. Library
/// values without a JSON shape of their own (precisions, layouts, operators,
/// plans' dispatches, assumptions) are given in their dump form, which the
/// request format reads back where it takes such a value.
[[nodiscard]] Json report_json(const optimistic::SearchReport& report, const Places& places);

}  // namespace vexa_plan
