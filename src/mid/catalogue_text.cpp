// Dump forms and field-order hashes of catalogue entries.
#include "vexa_codegen/mid/catalogue.hpp"

#include "vexa_codegen/support/dump.hpp"
#include "vexa_codegen/support/hash.hpp"

namespace vexa_codegen::mid::catalogue {

std::string dump(const CandidateLayouts& layouts) {
  if (const auto* follow = layouts.get_if<CandidateLayouts::FollowOperand>()) {
    return support::positional("FollowOperand", follow->operand);
  }
  if (layouts.is<CandidateLayouts::ShapeGrid>()) {
    return "ShapeGrid";
  }
  if (layouts.is<CandidateLayouts::ShapeGridWithPartials>()) {
    return "ShapeGridWithPartials";
  }
  return "Fixed";
}

std::string dump(const ConcreteOperatorCandidate& candidate) {
  return support::RecordDump("ConcreteOperatorCandidate")
      .field("plan", candidate.plan)
      .field("layouts", candidate.layouts)
      .str();
}

std::string dump(const OperatorCandidate& candidate) {
  if (const auto* concrete = candidate.get_if<OperatorCandidate::Concrete>()) {
    return support::positional("Concrete", concrete->candidate);
  }
  const auto& family = std::get<OperatorCandidate::GemmFamily>(candidate.value);
  return support::RecordDump("GemmFamily")
      .field("options", family.options)
      .field("multiply", family.multiply)
      .field("accumulate", family.accumulate)
      .field("tile_count", family.tile_count)
      .str();
}

}  // namespace vexa_codegen::mid::catalogue

namespace catalogue = vexa_codegen::mid::catalogue;
using vexa_codegen::support::hash_fields;

std::size_t std::hash<catalogue::CandidateLayouts>::operator()(const catalogue::CandidateLayouts& layouts) const noexcept {
  const auto* follow = layouts.get_if<catalogue::CandidateLayouts::FollowOperand>();
  return hash_fields(layouts.value.index(), follow != nullptr ? follow->operand : std::uint16_t{0});
}

std::size_t std::hash<catalogue::ConcreteOperatorCandidate>::operator()(
    const catalogue::ConcreteOperatorCandidate& candidate) const noexcept {
  return hash_fields(candidate.plan, candidate.layouts);
}

std::size_t std::hash<catalogue::OperatorCandidate>::operator()(
    const catalogue::OperatorCandidate& candidate) const noexcept {
  if (const auto* concrete = candidate.get_if<catalogue::OperatorCandidate::Concrete>()) {
    return hash_fields(std::size_t{0}, concrete->candidate);
  }
  const auto& family = std::get<catalogue::OperatorCandidate::GemmFamily>(candidate.value);
  return hash_fields(std::size_t{1}, family.options, family.multiply, family.accumulate, family.tile_count);
}
