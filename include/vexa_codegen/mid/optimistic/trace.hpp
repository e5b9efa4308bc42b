// Watching a region search decide: the events of its decision trace, the
// observer interface that receives them, and the "why not" explanation built
// from them.
//
// A search with an observer raises one event per decision: every operator plan
// it tried (with the types the plan needs and what became of it), every state
// left untried because the expansion budget ran out, every prune of the beam,
// every delivery of an output and every offer to fusion. Events are raised on
// the search thread only, in the order the search made the decisions, so a
// trace never depends on the number of worker threads that price plans. With
// no observer installed the search builds no event at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vexa_codegen/estimate/memory_peaks.hpp"
#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/optimistic/types.hpp"

namespace vexa_codegen::mid::optimistic::trace {

/// What became of a plan the search tried.
enum class PlanFate : std::uint8_t {
  InvalidType,       ///< a required operand type or the result type is not a valid tensor
  NoImplementation,  ///< the cost model has no lowered program for it
  Priced,            ///< lowered and priced; its successors say what followed
};

/// One state a priced plan (or an output delivery) produced: the conversion
/// steps replayed to bring the operands into the required types, the state's
/// refreshed cycle pair and balanced peak, and whether it fitted the tile
/// memory (false: counted as a memory rejection and dropped).
struct Successor {
  std::vector<TransformKind> conversions;
  CycleEstimate cycles;
  std::uint64_t balanced_peak = 0;
  bool kept = false;

  friend bool operator==(const Successor&, const Successor&) = default;
};

/// One operator plan tried for the `operation`-th operation of the region
/// (graph operation `id`) from the `state`-th state of the beam. `cycles` and
/// `memory` are the lowered program's, set only when the plan was priced; no
/// successor for a priced plan means no conversion path reached its types.
struct PlanTried {
  std::size_t operation = 0;
  graph::OperationId id;
  std::size_t state = 0;
  std::string plan;  ///< the plan's dump
  std::vector<layout::TensorType> required;
  layout::TensorType result;
  PlanFate fate = PlanFate::Priced;
  std::optional<CycleEstimate> cycles;
  std::optional<estimate::memory::MemoryPeaks> memory;
  std::vector<Successor> successors;

  friend bool operator==(const PlanTried&, const PlanTried&) = default;
};

/// The expansion budget of a state ran out: the plans it left untried, in order.
struct BudgetExhausted {
  std::size_t operation = 0;
  graph::OperationId id;
  std::size_t state = 0;
  std::vector<std::string> untried;  ///< the plans' dumps

  friend bool operator==(const BudgetExhausted&, const BudgetExhausted&) = default;
};

/// Where a prune happened.
enum class PruneSite : std::uint8_t {
  Overflow,   ///< the next beam grew past four times the beam width
  Operation,  ///< the end of an operation's expansion
  Output,     ///< the end of an output's delivery
};

/// A prune of the beam: states before and after, and whether it cut states for
/// the beam width (duplicates removed do not count as a cut).
struct Pruned {
  PruneSite site = PruneSite::Operation;
  std::size_t states_in = 0;
  std::size_t states_out = 0;
  bool truncated = false;

  friend bool operator==(const Pruned&, const Pruned&) = default;
};

/// The delivery of region output `output` from the `state`-th state of the beam.
/// No successor means the value could not reach the output's format.
struct OutputDelivered {
  graph::ValueId output;
  std::size_t state = 0;
  std::vector<Successor> successors;

  friend bool operator==(const OutputDelivered&, const OutputDelivered&) = default;
};

/// The final `state`-th candidate offered to fusion: the cycle pair of the fused
/// candidate when fusion produced one, and whether the unfused candidate joined
/// the report (false: an equal candidate was already there).
struct FusionOffered {
  std::size_t state = 0;
  std::optional<CycleEstimate> fused;
  bool unfused_kept = false;

  friend bool operator==(const FusionOffered&, const FusionOffered&) = default;
};

/// One decision of a search.
struct Event {
  std::variant<PlanTried, BudgetExhausted, Pruned, OutputDelivered, FusionOffered> value;

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const Event&, const Event&) = default;
};

/// Receives the events of one search, on the thread that called the search.
class SearchObserver {
 public:
  virtual ~SearchObserver() = default;
  virtual void observe(const Event& event) = 0;

 protected:
  SearchObserver() = default;
  SearchObserver(const SearchObserver&) = default;
  SearchObserver& operator=(const SearchObserver&) = default;
};

/// An observer that keeps every event, in order.
class Recorder final : public SearchObserver {
 public:
  void observe(const Event& event) override;
  [[nodiscard]] const std::vector<Event>& events() const noexcept { return events_; }

 private:
  std::vector<Event> events_;
};

// ---------------------------------------------------------------------------
// Why not

/// Why a plan that was tried (or left untried) is not the one the best
/// candidate uses. Ordered from the closest miss to the farthest.
enum class LossReason : std::uint8_t {
  BeamRank,          ///< a state using it survived the memory check but lost on rank
  Memory,            ///< every state using it exceeded the tile memory
  NoConversion,      ///< no conversion path reached the types it needs
  NoImplementation,  ///< no lowered program
  InvalidType,       ///< it needs a type that is not a valid tensor
  Budget,            ///< never tried: the expansion budget ran out first
};

/// For one operation of the region: the plan the best candidate used (absent
/// when that candidate runs the operation inside a fused step, or when the
/// report has no candidate) and the best plan not used, with the cycle pair of
/// its program when it was priced and the reason it lost (absent when every
/// plan seen was the one used).
struct WhyNot {
  graph::OperationId operation;
  std::optional<std::string> chosen;
  bool fused = false;
  std::optional<std::string> alternative;
  std::optional<CycleEstimate> cycles;
  std::optional<LossReason> reason;

  friend bool operator==(const WhyNot&, const WhyNot&) = default;
};

/// An observer that keeps, per operation, what the "why not" query needs: each
/// distinct plan tried with its best outcome, and the plans left untried.
class Explanation final : public SearchObserver {
 public:
  void observe(const Event& event) override;

  /// What happened to one distinct plan of one operation, over every state.
  struct Outcome {
    std::string plan;
    std::optional<CycleEstimate> cycles;  ///< set when it was priced
    LossReason best = LossReason::Budget;  ///< the closest miss over all its tries
  };
  struct Operation {
    graph::OperationId id;
    std::vector<Outcome> plans;  ///< in the order first seen
  };
  [[nodiscard]] const std::vector<Operation>& operations() const noexcept { return operations_; }

 private:
  Outcome& outcome(std::size_t operation, graph::OperationId id, const std::string& plan);
  std::vector<Operation> operations_;
};

/// For every operation the explanation saw, in region order: the plan the first
/// (best) candidate of `report` used and the best plan not used. Among plans
/// not used, the priced ones come first, cheapest optimistic then conservative
/// cycles first (the first tried among equals); then the others by their
/// closest miss, the first seen among equals.
[[nodiscard]] std::vector<WhyNot> why_not(const Explanation& explanation, const SearchReport& report);

[[nodiscard]] std::string dump(PlanFate fate);
[[nodiscard]] std::string dump(PruneSite site);
[[nodiscard]] std::string dump(LossReason reason);
[[nodiscard]] std::string dump(const Successor& successor);
[[nodiscard]] std::string dump(const Event& event);
[[nodiscard]] std::string dump(const WhyNot& why);

}  // namespace vexa_codegen::mid::optimistic::trace
