#include "text_forms.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <variant>
#include <vector>

#include "vexa_codegen/support/dump.hpp"

namespace vexa_plan {
namespace {

using layout::AmpOrder;
using layout::Layout;
using layout::MemoryClass;
using vexa_codegen::support::quote;

// One parsed text: an integer, or a name with optional positional arguments
// `Name(a, b)` or record fields `Name { f: a }`.
struct Term {
  bool is_integer = false;
  std::int64_t integer = 0;
  std::string name;
  bool has_arguments = false;
  std::vector<Term> arguments;
  bool has_fields = false;
  std::vector<std::pair<std::string, Term>> fields;

  [[nodiscard]] bool bare() const { return !is_integer && !has_arguments && !has_fields; }
};

// Reads the small grammar of dump forms. Nesting is bounded so that no text
// can exhaust the stack.
class TermReader {
 public:
  explicit TermReader(std::string_view text) : text_(text) {}

  std::expected<Term, std::string> read() {
    auto term = read_term(0);
    if (!term) {
      return term;
    }
    skip_blanks();
    if (position_ != text_.size()) {
      return std::unexpected(fault("unexpected " + quote(text_.substr(position_, 1))));
    }
    return term;
  }

 private:
  static constexpr int max_depth = 16;

  std::string fault(std::string what) const {
    return "cannot read " + quote(text_) + ": " + what + " at offset " + std::to_string(position_);
  }

  void skip_blanks() {
    while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_])) != 0) {
      ++position_;
    }
  }

  bool take(char c) {
    skip_blanks();
    if (position_ < text_.size() && text_[position_] == c) {
      ++position_;
      return true;
    }
    return false;
  }

  static bool name_char(char c, bool first) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalpha(u) != 0 || c == '_' || (!first && std::isdigit(u) != 0);
  }

  std::expected<std::string, std::string> read_name() {
    skip_blanks();
    const std::size_t start = position_;
    while (position_ < text_.size() && name_char(text_[position_], position_ == start)) {
      ++position_;
    }
    if (position_ == start) {
      return std::unexpected(fault(position_ == text_.size() ? "unexpected end" : "expected a name"));
    }
    return std::string(text_.substr(start, position_ - start));
  }

  std::expected<Term, std::string> read_integer() {
    const std::size_t start = position_;
    if (text_[position_] == '-') {
      ++position_;
    }
    while (position_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[position_])) != 0) {
      ++position_;
    }
    Term term;
    term.is_integer = true;
    const auto [end, error] = std::from_chars(text_.data() + start, text_.data() + position_, term.integer);
    if (error != std::errc{} || end != text_.data() + position_) {
      position_ = start;
      return std::unexpected(fault("expected a 64-bit integer"));
    }
    return term;
  }

  std::expected<Term, std::string> read_term(int depth) {
    if (depth > max_depth) {
      return std::unexpected(fault("nesting too deep"));
    }
    skip_blanks();
    if (position_ < text_.size() &&
        (text_[position_] == '-' || std::isdigit(static_cast<unsigned char>(text_[position_])) != 0)) {
      return read_integer();
    }
    auto name = read_name();
    if (!name) {
      return std::unexpected(name.error());
    }
    Term term;
    term.name = std::move(*name);
    if (take('(')) {
      term.has_arguments = true;
      if (take(')')) {
        return term;
      }
      do {
        auto argument = read_term(depth + 1);
        if (!argument) {
          return argument;
        }
        term.arguments.push_back(std::move(*argument));
      } while (take(','));
      if (!take(')')) {
        return std::unexpected(fault("expected ',' or ')'"));
      }
    } else if (take('{')) {
      term.has_fields = true;
      do {
        auto field = read_name();
        if (!field) {
          return std::unexpected(field.error());
        }
        if (!take(':')) {
          return std::unexpected(fault("expected ':'"));
        }
        auto value = read_term(depth + 1);
        if (!value) {
          return value;
        }
        term.fields.emplace_back(std::move(*field), std::move(*value));
      } while (take(','));
      if (!take('}')) {
        return std::unexpected(fault("expected ',' or '}'"));
      }
    }
    return term;
  }

  std::string_view text_;
  std::size_t position_ = 0;
};

std::string unknown(std::string_view what, std::string_view text, std::string_view choices) {
  return "unknown " + std::string(what) + " " + quote(text) + "; expected " + std::string(choices);
}

// An integer term within [minimum, maximum].
std::expected<std::int64_t, std::string> integer_in(const Term& term, std::int64_t minimum, std::int64_t maximum,
                                                    std::string_view what) {
  if (!term.is_integer || term.integer < minimum || term.integer > maximum) {
    return std::unexpected(std::string(what) + " must be an integer from " + std::to_string(minimum) + " to " +
                           std::to_string(maximum));
  }
  return term.integer;
}

// The value of a bare name from a closed list of (name, value) pairs.
template <class T, std::size_t N>
std::expected<T, std::string> choose(std::string_view text, std::string_view what,
                                     const std::array<std::pair<std::string_view, T>, N>& choices) {
  std::string listed;
  for (const auto& [name, value] : choices) {
    if (name == text) {
      return value;
    }
    listed += listed.empty() ? "" : ", ";
    listed += name;
  }
  return std::unexpected(unknown(what, text, "one of: " + listed));
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
    text.remove_suffix(1);
  }
  return text;
}

constexpr std::array amp_orders{
    std::pair{std::string_view("Left"), AmpOrder::Left},
    std::pair{std::string_view("TransposedLeft"), AmpOrder::TransposedLeft},
    std::pair{std::string_view("TransposedRight"), AmpOrder::TransposedRight},
    std::pair{std::string_view("Output"), AmpOrder::Output},
    std::pair{std::string_view("TransposedOutput"), AmpOrder::TransposedOutput},
};

constexpr std::array memory_classes{
    std::pair{std::string_view("Vexa21Standard"), MemoryClass::Vexa21Standard},
    std::pair{std::string_view("Vexa21Interleaved"), MemoryClass::Vexa21Interleaved},
};

// `Matrix { row_block: R, column_block: C }` or the same with `TransposedMatrix`.
std::expected<layout::BlockMajorOrder, std::string> block_major(const Term& term) {
  const bool transposed = term.name == "TransposedMatrix";
  if ((term.name != "Matrix" && !transposed) || !term.has_fields || term.fields.size() != 2) {
    return std::unexpected(
        std::string("a block-major order is Matrix { row_block: R, column_block: C } or TransposedMatrix { ... }"));
  }
  std::int64_t blocks[2] = {-1, -1};
  for (const auto& [field, value] : term.fields) {
    const int slot = field == "row_block" ? 0 : field == "column_block" ? 1 : -1;
    if (slot < 0 || blocks[slot] >= 0) {
      return std::unexpected("unexpected field " + quote(field) + " in a block-major order");
    }
    const auto block = integer_in(value, 0, std::numeric_limits<std::uint16_t>::max(), field);
    if (!block) {
      return std::unexpected(block.error());
    }
    blocks[slot] = *block;
  }
  const auto row = static_cast<std::uint16_t>(blocks[0]);
  const auto column = static_cast<std::uint16_t>(blocks[1]);
  return transposed ? layout::BlockMajorOrder::transposed_matrix(row, column)
                    : layout::BlockMajorOrder::matrix(row, column);
}

// --- Named layout constructors --------------------------------------------

enum class Parameter { U16, U32, Flag, Memory };
using Argument = std::variant<std::uint64_t, bool, MemoryClass>;
using Arguments = std::vector<Argument>;

std::uint16_t u16(const Argument& argument) { return static_cast<std::uint16_t>(std::get<std::uint64_t>(argument)); }
std::uint32_t u32(const Argument& argument) { return static_cast<std::uint32_t>(std::get<std::uint64_t>(argument)); }
bool flag(const Argument& argument) { return std::get<bool>(argument); }
MemoryClass memory(const Argument& argument) { return std::get<MemoryClass>(argument); }

struct Constructor {
  std::string_view name;
  std::vector<std::pair<std::string_view, Parameter>> parameters;
  std::function<Layout(const Arguments&)> build;
};

using P = Parameter;

// The grid constructors share one parameter list each; the lambdas below pass
// the arguments on in that order.
const std::vector<std::pair<std::string_view, Parameter>> output_grid{
    {"block", P::U32}, {"tiles", P::U16}, {"row_partitions", P::U16}, {"column_partitions", P::U16},
    {"column_major", P::Flag}};
const std::vector<std::pair<std::string_view, Parameter>> transposed_grid{
    {"block", P::U32}, {"tiles", P::U16}, {"column_partitions", P::U16}, {"row_partitions", P::U16},
    {"column_major", P::Flag}};
const std::vector<std::pair<std::string_view, Parameter>> parallel_grid{
    {"block", P::U32}, {"tiles", P::U16}, {"row_partitions", P::U16}, {"replication", P::U16},
    {"column_partitions", P::U16}};
const std::vector<std::pair<std::string_view, Parameter>> matrix_storage{
    {"row_block", P::U16},      {"column_panel", P::U32}, {"column_partitions", P::U16},
    {"row_partitions", P::U16}, {"replication", P::U16},  {"memory_class", P::Memory}};

const std::vector<Constructor>& constructors() {
  static const std::vector<Constructor> table{
      {"row_sharded", {{"tiles", P::U16}}, [](const Arguments& a) { return Layout::row_sharded(u16(a[0])); }},
      {"attention_key",
       {{"batch_partitions", P::U16}, {"sequence_partitions", P::U16}},
       [](const Arguments& a) { return Layout::attention_key(u16(a[0]), u16(a[1])); }},
      {"attention_output",
       {{"batch_partitions", P::U16}, {"sequence_partitions", P::U16}},
       [](const Arguments& a) { return Layout::attention_output(u16(a[0]), u16(a[1])); }},
      {"amp_output_grid", output_grid,
       [](const Arguments& a) {
         return Layout::amp_output_grid(u32(a[0]), u16(a[1]), u16(a[2]), u16(a[3]), flag(a[4]));
       }},
      {"amp_left_result_grid", output_grid,
       [](const Arguments& a) {
         return Layout::amp_left_result_grid(u32(a[0]), u16(a[1]), u16(a[2]), u16(a[3]), flag(a[4]));
       }},
      {"amp_transposed_output_grid", transposed_grid,
       [](const Arguments& a) {
         return Layout::amp_transposed_output_grid(u32(a[0]), u16(a[1]), u16(a[2]), u16(a[3]), flag(a[4]));
       }},
      {"amp_transposed_left_result_grid", transposed_grid,
       [](const Arguments& a) {
         return Layout::amp_transposed_left_result_grid(u32(a[0]), u16(a[1]), u16(a[2]), u16(a[3]), flag(a[4]));
       }},
      {"amp_left_parallel_grid", parallel_grid,
       [](const Arguments& a) {
         return Layout::amp_left_parallel_grid(u32(a[0]), u16(a[1]), u16(a[2]), u16(a[3]), u16(a[4]));
       }},
      {"amp_transposed_left_parallel_grid", parallel_grid,
       [](const Arguments& a) {
         return Layout::amp_transposed_left_parallel_grid(u32(a[0]), u16(a[1]), u16(a[2]), u16(a[3]), u16(a[4]));
       }},
      {"block_major_matrix_storage", matrix_storage,
       [](const Arguments& a) {
         return Layout::block_major_matrix_storage(u16(a[0]), u32(a[1]), u16(a[2]), u16(a[3]), u16(a[4]),
                                                   memory(a[5]));
       }},
      {"transposed_block_major_matrix_storage", matrix_storage,
       [](const Arguments& a) {
         return Layout::transposed_block_major_matrix_storage(u16(a[0]), u32(a[1]), u16(a[2]), u16(a[3]),
                                                              u16(a[4]), memory(a[5]));
       }},
  };
  return table;
}

std::string signature(const Constructor& constructor) {
  std::string text = std::string(constructor.name) + "(";
  for (std::size_t i = 0; i < constructor.parameters.size(); ++i) {
    text += (i == 0 ? "" : ", ") + std::string(constructor.parameters[i].first);
  }
  return text + ")";
}

std::expected<Argument, std::string> argument(const Constructor& constructor, std::size_t index, const Term& term) {
  const auto& [name, kind] = constructor.parameters[index];
  const std::string what = "argument " + std::to_string(index + 1) + " (" + std::string(name) + ") of " +
                           std::string(constructor.name);
  switch (kind) {
    case P::U16:
    case P::U32: {
      const std::int64_t maximum = kind == P::U16 ? std::numeric_limits<std::uint16_t>::max()
                                                  : std::numeric_limits<std::uint32_t>::max();
      const auto value = integer_in(term, 0, maximum, what);
      if (!value) {
        return std::unexpected(value.error());
      }
      return Argument{static_cast<std::uint64_t>(*value)};
    }
    case P::Flag:
      if (term.bare() && (term.name == "true" || term.name == "false")) {
        return Argument{term.name == "true"};
      }
      return std::unexpected(what + " must be true or false");
    case P::Memory: {
      if (!term.bare()) {
        return std::unexpected(what + " must be Vexa21Standard or Vexa21Interleaved");
      }
      const auto value = choose(term.name, "memory class", memory_classes);
      if (!value) {
        return std::unexpected(value.error());
      }
      return Argument{*value};
    }
  }
  return std::unexpected(what + " has an unknown kind");
}

}  // namespace

std::expected<layout::Precision, std::string> parse_precision(std::string_view text) {
  constexpr std::string_view choices = "F16, F32 or F8F143 { scale_exponent: N }";
  const auto term = TermReader(text).read();
  if (!term) {
    return std::unexpected(term.error());
  }
  if (term->bare() && term->name == "F16") {
    return layout::Precision::f16();
  }
  if (term->bare() && term->name == "F32") {
    return layout::Precision::f32();
  }
  if (term->name == "F8F143" && term->has_fields && term->fields.size() == 1 &&
      term->fields.front().first == "scale_exponent") {
    const auto exponent = integer_in(term->fields.front().second, std::numeric_limits<std::int8_t>::min(),
                                     std::numeric_limits<std::int8_t>::max(), "scale_exponent");
    if (!exponent) {
      return std::unexpected(exponent.error());
    }
    return layout::Precision::f8f143(static_cast<std::int8_t>(*exponent));
  }
  return std::unexpected(unknown("precision", text, choices));
}

std::expected<layout::ElementOrder, std::string> parse_element_order(std::string_view text) {
  constexpr std::string_view choices =
      "RowMajor, Amp(Left), Amp(TransposedLeft), Amp(TransposedRight), Amp(Output), Amp(TransposedOutput), "
      "BlockMajor(Matrix { row_block: R, column_block: C }) or BlockMajor(TransposedMatrix { ... })";
  const auto term = TermReader(text).read();
  if (!term) {
    return std::unexpected(term.error());
  }
  if (term->bare() && term->name == "RowMajor") {
    return layout::ElementOrder::row_major();
  }
  if (term->name == "Amp" && term->has_arguments && term->arguments.size() == 1 && term->arguments[0].bare()) {
    const auto order = choose(term->arguments[0].name, "AMP order", amp_orders);
    if (!order) {
      return std::unexpected(order.error());
    }
    return layout::ElementOrder::amp(*order);
  }
  if (term->name == "BlockMajor" && term->has_arguments && term->arguments.size() == 1) {
    const auto order = block_major(term->arguments[0]);
    if (!order) {
      return std::unexpected(order.error());
    }
    return layout::ElementOrder::block_major(*order);
  }
  return std::unexpected(unknown("element order", text, choices));
}

std::expected<layout::TensorAxis, std::string> parse_axis(std::string_view text) {
  constexpr std::string_view choices = "Leading(i), Trailing(i) or Flattened";
  const auto term = TermReader(text).read();
  if (!term) {
    return std::unexpected(term.error());
  }
  if (term->bare() && term->name == "Flattened") {
    return layout::TensorAxis::flattened();
  }
  if ((term->name == "Leading" || term->name == "Trailing") && term->has_arguments && term->arguments.size() == 1) {
    const auto index = integer_in(term->arguments[0], 0, std::numeric_limits<std::uint16_t>::max(), "an axis index");
    if (!index) {
      return std::unexpected(index.error());
    }
    const auto value = static_cast<std::uint16_t>(*index);
    return term->name == "Leading" ? layout::TensorAxis::leading(value) : layout::TensorAxis::trailing(value);
  }
  return std::unexpected(unknown("axis", text, choices));
}

std::expected<layout::MemoryClass, std::string> parse_memory_class(std::string_view text) {
  return choose(trimmed(text), "memory class", memory_classes);
}

std::expected<layout::AxisPadding, std::string> parse_padding(std::string_view text) {
  return choose(trimmed(text), "padding",
                std::array{std::pair{std::string_view("Exact"), layout::AxisPadding::Exact},
                           std::pair{std::string_view("Padded"), layout::AxisPadding::Padded}});
}

std::expected<operators::AccumulationPrecision, std::string> parse_accumulation(std::string_view text) {
  return choose(trimmed(text), "accumulation precision",
                std::array{std::pair{std::string_view("F16"), operators::AccumulationPrecision::F16},
                           std::pair{std::string_view("F32"), operators::AccumulationPrecision::F32}});
}

std::expected<operators::GemmOrientation, std::string> parse_orientation(std::string_view text) {
  return choose(trimmed(text), "orientation",
                std::array{std::pair{std::string_view("Normal"), operators::GemmOrientation::Normal},
                           std::pair{std::string_view("Swapped"), operators::GemmOrientation::Swapped}});
}

std::expected<operators::LocalOperandStaging, std::string> parse_local_staging(std::string_view text) {
  return choose(trimmed(text), "local operand staging",
                std::array{std::pair{std::string_view("Direct"), operators::LocalOperandStaging::Direct},
                           std::pair{std::string_view("MatchRemote"), operators::LocalOperandStaging::MatchRemote}});
}

std::expected<operators::ReductionStaging, std::string> parse_reduction_staging(std::string_view text) {
  constexpr std::string_view choices = "Complete, Streamed or Batched(N)";
  const auto term = TermReader(text).read();
  if (!term) {
    return std::unexpected(term.error());
  }
  if (term->bare() && term->name == "Complete") {
    return operators::ReductionStaging::complete();
  }
  if (term->bare() && term->name == "Streamed") {
    return operators::ReductionStaging::streamed();
  }
  if (term->name == "Batched" && term->has_arguments && term->arguments.size() == 1) {
    // Partials are combined `count` at a time, so a count of zero means nothing.
    const auto count = integer_in(term->arguments[0], 1, std::numeric_limits<std::uint16_t>::max(), "the batch count");
    if (!count) {
      return std::unexpected(count.error());
    }
    return operators::ReductionStaging::batched(static_cast<std::uint16_t>(*count));
  }
  return std::unexpected(unknown("reduction staging", text, choices));
}

std::expected<layout::Layout, std::string> parse_layout_call(std::string_view text) {
  const auto term = TermReader(text).read();
  if (!term) {
    return std::unexpected(term.error());
  }
  const auto& table = constructors();
  const auto constructor = std::ranges::find(table, term->name, &Constructor::name);
  if (term->is_integer || constructor == table.end()) {
    std::string listed;
    for (const auto& known : table) {
      listed += listed.empty() ? "" : ", ";
      listed += known.name;
    }
    return std::unexpected(unknown("layout constructor", term->is_integer ? text : term->name, "one of: " + listed));
  }
  if (!term->has_arguments || term->arguments.size() != constructor->parameters.size()) {
    return std::unexpected(std::string(constructor->name) + " takes " +
                           std::to_string(constructor->parameters.size()) + " argument" +
                           (constructor->parameters.size() == 1 ? "" : "s") + ": " + signature(*constructor));
  }
  Arguments arguments;
  for (std::size_t i = 0; i < term->arguments.size(); ++i) {
    auto value = argument(*constructor, i, term->arguments[i]);
    if (!value) {
      return std::unexpected(value.error());
    }
    arguments.push_back(*value);
  }
  return constructor->build(arguments);
}

}  // namespace vexa_plan
