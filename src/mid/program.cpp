#include "vexa_codegen/mid/program.hpp"

#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid {

using support::RecordDump;

bool operator==(const MidRegion& left, const MidRegion& right) {
  return left.inputs == right.inputs && left.operations == right.operations && left.outputs == right.outputs &&
         left.reserved == right.reserved && left.memory == right.memory;
}

bool operator==(const MidOperationKind::Operator& left, const MidOperationKind::Operator& right) {
  if (!(left.plan == right.plan && left.bindings == right.bindings)) {
    return false;
  }
  if (left.program == right.program) {
    return true;  // both absent, or the same shared program
  }
  return left.program && right.program && *left.program == *right.program;
}

std::string dump(const MidInput& input) {
  return RecordDump("MidInput").field("name", input.name).field("value", input.value).field("flag", input.flag).str();
}

std::string dump(const MidValue& value) {
  return RecordDump("MidValue")
      .field("tensor", value.tensor)
      .field("storage", value.storage)
      .field("graph_value", value.graph_value)
      .field("origin", value.origin)
      .field("version", value.version)
      .str();
}

std::string dump(const MidRegion& region) {
  return RecordDump("MidRegion")
      .field("inputs", region.inputs)
      .field("operations", region.operations)
      .field("outputs", region.outputs)
      .field("reserved", region.reserved)
      .field("memory", region.memory)
      .str();
}

std::string dump(const OperatorBinding& binding) {
  return RecordDump("OperatorBinding")
      .field("first", binding.first)
      .field("second", binding.second)
      .field("third", binding.third)
      .field("marker", binding.marker)
      .field("fourth", binding.fourth)
      .field("fifth", binding.fifth)
      .str();
}

std::string dump(const MidOperationKind& kind) {
  if (const auto* primitive = kind.get_if<MidOperationKind::Primitive>()) {
    return support::positional("Primitive", primitive->primitive);
  }
  if (const auto* op = kind.get_if<MidOperationKind::Operator>()) {
    RecordDump record("Operator");
    record.field("plan", op->plan).field("bindings", op->bindings);
    if (op->program) {
      record.field("program", std::optional<MidProgram>(*op->program));
    } else {
      record.field("program", std::optional<MidProgram>());
    }
    return record.str();
  }
  if (const auto* convert = kind.get_if<MidOperationKind::Convert>()) {
    return RecordDump("Convert")
        .field("from", convert->from)
        .field("to", convert->to)
        .field("strategy", convert->strategy)
        .str();
  }
  const auto& region = std::get<MidOperationKind::Region>(kind.value);
  return RecordDump("Region")
      .field("carried", region.carried)
      .field("region", region.region)
      .field("iterations", region.iterations)
      .field("reserved_first", region.reserved_first)
      .field("reserved_second", region.reserved_second)
      .str();
}

std::string dump(const MidOperation& operation) {
  return RecordDump("MidOperation")
      .field("inputs", operation.inputs)
      .field("outputs", operation.outputs)
      .field("kind", operation.kind)
      .field("reserved_slot", operation.reserved_slot)
      .field("reserved_figures", std::vector<std::uint64_t>(operation.reserved_figures.begin(),
                                                            operation.reserved_figures.end()))
      .str();
}

std::string dump(const MidProgram& program) {
  return RecordDump("MidProgram")
      .field("inputs", program.inputs)
      .field("values", program.values)
      .field("operations", program.operations)
      .field("outputs", program.outputs)
      .field("cycles", program.cycles)
      .field("memory", program.memory)
      .field("tile_footprint", program.tile_footprint)
      .str();
}

}  // namespace vexa_codegen::mid
