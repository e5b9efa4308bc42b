// The mid-level program: a small data-flow program over typed tensors.
//
// Lowering one operation with a chosen plan produces a program, the analysis
// prices it (its `cycles` and `memory`), and the search and fusion hold it as
// the implementation of a step. Finished programs are shared read-only as
// `std::shared_ptr<const MidProgram>`; everything else is a plain value.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vexa_codegen/estimate/memory_peaks.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/optimistic/cycle_estimate.hpp"
#include "vexa_codegen/mid/primitive.hpp"

namespace vexa_codegen::mid {

/// The position of a value in its program's value list. Values are only
/// appended, so an identifier stays valid for the life of the program.
using MidValueId = std::uint32_t;

/// A program input: the value it provides. `name` is empty and `flag` false in
/// every program the planner builds; both take part in equality.
struct MidInput {
  std::string name;
  MidValueId value = 0;
  bool flag = false;

  friend bool operator==(const MidInput&, const MidInput&) = default;
};

/// One tensor of a program. `storage` names the value whose buffer holds this
/// one (the analysis accounts memory per storage); `graph_value` is the graph
/// value a search candidate's value carries (0 in lowered programs); `origin`
/// and `version` track rewrites of one buffer.
struct MidValue {
  layout::TensorType tensor;
  MidValueId storage = 0;
  std::uint32_t graph_value = 0;
  MidValueId origin = 0;
  std::uint16_t version = 0;

  friend bool operator==(const MidValue&, const MidValue&) = default;
};

struct MidOperation;
struct MidProgram;

/// A nested program with its own peaks.
struct MidRegion {
  std::vector<MidValueId> inputs;
  std::vector<MidOperation> operations;
  std::vector<MidValueId> outputs;
  std::uint32_t reserved = 0;  ///< carried, read by nothing in the planner
  estimate::memory::MemoryPeaks memory;

  friend bool operator==(const MidRegion& left, const MidRegion& right);
};

/// One binding record of an `Operator` operation; carried, never interpreted.
struct OperatorBinding {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  std::uint32_t third = 0;
  std::optional<std::uint8_t> marker;
  std::uint32_t fourth = 0;
  std::uint32_t fifth = 0;

  friend bool operator==(const OperatorBinding&, const OperatorBinding&) = default;
};

/// What an operation does.
struct MidOperationKind {
  /// One data-movement, kernel or reduction step; every lowered operation is one.
  struct Primitive {
    primitive::Primitive primitive;
    friend bool operator==(const Primitive&, const Primitive&) = default;
  };
  /// An operator executed with a plan, optionally with the program implementing
  /// it. Programs compare equal when both are absent, when they are the same
  /// shared object, or when the programs are equal.
  struct Operator {
    operators::OperatorPlan plan;
    std::vector<OperatorBinding> bindings;
    std::shared_ptr<const MidProgram> program;
    friend bool operator==(const Operator& left, const Operator& right);
  };
  /// A layout conversion between two requirements.
  struct Convert {
    operators::OperandRequirement from;
    operators::OperandRequirement to;
    operators::ConversionStrategy strategy = operators::ConversionStrategy::PreserveOrder;
    friend bool operator==(const Convert&, const Convert&) = default;
  };
  /// A nested program run `iterations` times over the `carried` values; the
  /// analysis multiplies the nested operations' cycles by `iterations`.
  struct Region {
    std::vector<MidValueId> carried;
    MidRegion region;
    std::uint32_t iterations = 1;
    std::uint32_t reserved_first = 0;  ///< carried, read by nothing in the planner
    std::uint32_t reserved_second = 0;  ///< carried, read by nothing in the planner
    friend bool operator==(const Region&, const Region&) = default;
  };

  std::variant<Primitive, Operator, Convert, Region> value;

  template <class Alternative>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<Alternative>(value);
  }
  template <class Alternative>
  [[nodiscard]] const Alternative* get_if() const noexcept {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const MidOperationKind&, const MidOperationKind&) = default;
};

/// One operation of a program. `reserved_slot` and `reserved_figures` are
/// carried through copies and equality; every operation the planner builds
/// leaves them absent and zero.
struct MidOperation {
  std::vector<MidValueId> inputs;
  std::vector<MidValueId> outputs;
  MidOperationKind kind;
  std::optional<std::uint32_t> reserved_slot;
  std::array<std::uint64_t, 2> reserved_figures{};

  friend bool operator==(const MidOperation&, const MidOperation&) = default;
};

/// A mid-level program. Operations are in dependency order; value i has
/// identifier i. `cycles` and `memory` hold the analysis result; `tile_footprint`
/// is the largest tile count over the types of all values.
struct MidProgram {
  std::vector<MidInput> inputs;
  std::vector<MidValue> values;
  std::vector<MidOperation> operations;
  std::vector<MidValueId> outputs;
  optimistic::CycleEstimate cycles;
  estimate::memory::MemoryPeaks memory;
  std::uint16_t tile_footprint = 0;

  friend bool operator==(const MidProgram&, const MidProgram&) = default;
};

[[nodiscard]] std::string dump(const MidInput& input);
[[nodiscard]] std::string dump(const MidValue& value);
[[nodiscard]] std::string dump(const MidRegion& region);
[[nodiscard]] std::string dump(const OperatorBinding& binding);
[[nodiscard]] std::string dump(const MidOperationKind& kind);
[[nodiscard]] std::string dump(const MidOperation& operation);
[[nodiscard]] std::string dump(const MidProgram& program);

}  // namespace vexa_codegen::mid
