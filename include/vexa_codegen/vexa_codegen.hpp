// The public API of the planner in one include.
//
// A host builds a `graph::ComputeGraph`, fills a `mid::PipelineConfig` (tile
// count, memory budget, operator catalogue, input formats), chooses
// `mid::optimistic::SearchLimits`, and calls `mid::optimistic::search::plan_graph`
// (or `plan_region` for part of a graph). The `SearchReport` it gets back is
// read with `mid::optimistic::report` (reference, opportunities, what each
// assumption is worth, DOT rendering). An observer of `mid::optimistic::trace`
// in the search options receives the search's decisions and answers "why not";
// every value prints itself with `dump`.
#pragma once

#include "vexa_codegen/graph/builder.hpp"
#include "vexa_codegen/graph/shape.hpp"
#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/graph/view.hpp"
#include "vexa_codegen/mid/catalogue.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/optimistic/report.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/mid/optimistic/trace.hpp"
#include "vexa_codegen/mid/optimistic/types.hpp"
#include "vexa_codegen/mid/pipeline.hpp"
#include "vexa_codegen/mid/program.hpp"
#include "vexa_codegen/support/diagnostics.hpp"
#include "vexa_codegen/support/dump.hpp"
