#include "vexa_codegen/mid/optimistic/report.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>

#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid::optimistic::report {
namespace {

constexpr std::size_t label_width = 52;

bool is_opportunity(const DiagnosticMidGraph& candidate, std::uint64_t bound) {
  return !candidate.assumptions.empty() && candidate.cycles.optimistic < bound;
}

// The length in bytes of the white-space character at the start of `text`, or 0
// when it does not start with one (Unicode White_Space, encoded in UTF-8).
std::size_t white_space_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  switch (byte(0)) {
    case '\t': case '\n': case '\v': case '\f': case '\r': case ' ':
      return 1;
    default:
      break;
  }
  if (text.size() >= 2 && byte(0) == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) {
    return 2;  // U+0085, U+00A0
  }
  if (text.size() >= 3) {
    const std::uint32_t code = (std::uint32_t{byte(0)} << 16) | (std::uint32_t{byte(1)} << 8) | byte(2);
    const bool space = code == 0xE19A80                       // U+1680
                       || (code >= 0xE28080 && code <= 0xE2808A)  // U+2000..U+200A
                       || code == 0xE280A8 || code == 0xE280A9    // U+2028, U+2029
                       || code == 0xE280AF || code == 0xE2819F    // U+202F, U+205F
                       || code == 0xE38080;                       // U+3000
    if (space) {
      return 3;
    }
  }
  return 0;
}

void wrap_line(std::string_view line, std::string& out) {
  std::size_t width = 0;
  std::size_t i = 0;
  while (i < line.size()) {
    if (const std::size_t blank = white_space_length(line.substr(i)); blank > 0) {
      i += blank;
      continue;
    }
    std::size_t end = i;
    while (end < line.size() && white_space_length(line.substr(end)) == 0) {
      ++end;
    }
    const std::string_view word = line.substr(i, end - i);
    if (width == 0) {
      out += word;
    } else if (width + 1 + word.size() > label_width) {
      out += '\n';
      out += word;
      width = 0;
    } else {
      out += ' ';
      out += word;
      width += 1;
    }
    width += word.size();
    i = end;
  }
}

std::string value_label(std::size_t index, const Value& value) {
  std::string label = "v" + std::to_string(index) + " / high " + std::to_string(value.high.number) + "\n";
  support::append_dump(label, value.tensor.shape.dimensions);
  label += '\n';
  label += dump(value.tensor.format.precision);
  label += ' ';
  label += dump(value.tensor.format.layout.order);
  label += '\n';
  const auto& tiling = value.tensor.format.layout.tiling;
  label += std::to_string(tiling.tile_count) + " owners, " + std::to_string(tiling.replication) + " replicas";
  return label;
}

std::string kind_text(const StepKind& kind) {
  if (const auto* op = kind.get_if<StepKind::Operator>()) {
    return dump(op->plan.operator_);
  }
  if (const auto* transform = kind.get_if<StepKind::Transform>()) {
    return dump(transform->transform.kind);
  }
  std::vector<graph::OperationKind> kinds;
  for (const auto& operation : std::get<StepKind::Fused>(kind.value).operations) {
    kinds.push_back(operation.kind);
  }
  return "fused " + support::dump_value(kinds);
}

std::string step_label(const Step& step) {
  return kind_text(step.kind) + "\n" + std::to_string(step.cycles.optimistic) + " / " +
         std::to_string(step.cycles.conservative) + " cycles\n" + support::dump_value(step.assumptions);
}

}  // namespace

const DiagnosticMidGraph* reference(const SearchReport& report) {
  const DiagnosticMidGraph* best = nullptr;
  for (const auto& candidate : report.candidates) {
    if (candidate.assumptions.empty() &&
        (best == nullptr || candidate.cycles.conservative < best->cycles.conservative)) {
      best = &candidate;
    }
  }
  return best;
}

void Opportunities::Iterator::skip() {
  while (current_ != end_ && !is_opportunity(*current_, bound_)) {
    ++current_;
  }
}

Opportunities::Opportunities(const SearchReport& report) {
  if (const auto* baseline = reference(report)) {
    first_ = report.candidates.data();
    last_ = first_ + report.candidates.size();
    bound_ = baseline->cycles.conservative;
  }
}

std::size_t Opportunities::size() const {
  std::size_t count = 0;
  for (auto it = begin(); it != end(); ++it) {
    ++count;
  }
  return count;
}

Opportunities opportunities(const SearchReport& report) { return Opportunities(report); }

std::vector<AssumptionWorth> assumption_worth(const SearchReport& report) {
  const DiagnosticMidGraph* baseline = reference(report);
  if (baseline == nullptr) {
    return {};
  }
  // Ordered by assumption, so that the stable sort below leaves equal savings
  // in the assumptions' own order.
  std::map<Assumption, std::uint64_t> largest;
  for (const DiagnosticMidGraph& candidate : opportunities(report)) {
    const std::uint64_t saving = baseline->cycles.conservative - candidate.cycles.optimistic;
    for (const Assumption& assumption : candidate.assumptions) {
      auto [entry, inserted] = largest.try_emplace(assumption, saving);
      if (!inserted) {
        entry->second = std::max(entry->second, saving);
      }
    }
  }
  std::vector<AssumptionWorth> ranked;
  ranked.reserve(largest.size());
  for (const auto& [assumption, saving] : largest) {
    ranked.push_back(AssumptionWorth{assumption, saving});
  }
  std::ranges::stable_sort(ranked, std::greater<>{}, &AssumptionWorth::saving);
  return ranked;
}

std::string wrap_label(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    const bool has_break = end != std::string_view::npos;
    if (!has_break) {
      end = text.size();
    }
    std::string_view line = text.substr(start, end - start);
    if (has_break && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);  // the carriage return belongs to the line break
    }
    if (!first) {
      out += '\n';
    }
    first = false;
    wrap_line(line, out);
    start = end + 1;
  }
  return out;
}

std::string to_dot(const DiagnosticMidGraph& graph) {
  std::string out =
      "digraph optimistic_mid {\n"
      "  rankdir=TB; nodesep=0.2; ranksep=0.35;\n"
      "  node [fontname=monospace,fontsize=11];\n";
  for (std::size_t i = 0; i < graph.values.size(); ++i) {
    out += "  v" + std::to_string(i) + " [shape=box,label=";
    support::append_text(out, wrap_label(value_label(i, graph.values[i])));
    out += "];\n";
  }
  for (std::size_t j = 0; j < graph.steps.size(); ++j) {
    const Step& step = graph.steps[j];
    const std::string node = "s" + std::to_string(j);
    out += "  " + node + " [label=";
    support::append_text(out, wrap_label(step_label(step)));
    out += step.assumptions.empty() ? ",color=black];\n" : ",color=red];\n";
    for (const std::size_t input : step.inputs) {
      out += "  v" + std::to_string(input) + " -> " + node + ";\n";
    }
    for (const std::size_t output : step.outputs) {
      out += "  " + node + " -> v" + std::to_string(output) + ";\n";
    }
  }
  for (const std::size_t output : graph.outputs) {
    out += "  v" + std::to_string(output) + " [penwidth=3];\n";
  }
  out += "}\n";
  return out;
}

}  // namespace vexa_codegen::mid::optimistic::report
