// The textual dump format shared by every printable type.
//
// Every type that the system prints (summaries, DOT labels, assumption texts,
// error messages) has `std::string dump(const T&)` in its own namespace, built
// with the pieces here so that the rules are implemented exactly once:
//
// - a record:          `Name { field: value, other: value }`, or `Name` without fields
// - a positional form: `Name(a, b)` (tagged-variant payloads and one-value wrappers)
// - a list:            `[a, b]`;  an ordered set: `{a, b}`;  an ordered map: `{k: v}`
// - an optional:       `Some(v)` or `None`;  a pair: `(a, b)`
// - integers in decimal, booleans as `true`/`false`, texts quoted and escaped
// - shared and owned pointers dump as the value they point to
//
// `append_dump` picks the rule from the C++ type; any other type is printed by
// its own `dump`, found by argument-dependent lookup.
#pragma once

#include <charconv>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vexa_codegen::support {

/// Appends `text` as a quoted text: backslash and double quote are preceded by a
/// backslash; tab, carriage return, line feed and NUL are written `\t`, `\r`, `\n`,
/// `\0`; the other C0 controls, U+007F and the C1 controls are written `\u{..}` in
/// lower-case hexadecimal without leading zeros; every other character is written
/// as it is. An invalid UTF-8 sequence is written as U+FFFD, one replacement per
/// maximal ill-formed subpart.
void append_text(std::string& out, std::string_view text);

/// `text` quoted and escaped as by `append_text`.
[[nodiscard]] std::string quote(std::string_view text);

template <class T>
void append_dump(std::string& out, const T& value);

namespace detail {

template <class T>
inline constexpr bool is_text_v = std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view> ||
                                  std::is_same_v<T, const char*> ||
                                  (std::is_array_v<T> && std::is_same_v<std::remove_extent_t<T>, char>);

template <class T>
struct dump_kind {
  static constexpr int value = 0;
};
template <class T, class A>
struct dump_kind<std::vector<T, A>> {
  static constexpr int value = 1;
};
template <class T, class C, class A>
struct dump_kind<std::set<T, C, A>> {
  static constexpr int value = 2;
};
template <class K, class V, class C, class A>
struct dump_kind<std::map<K, V, C, A>> {
  static constexpr int value = 3;
};
template <class T>
struct dump_kind<std::optional<T>> {
  static constexpr int value = 4;
};
template <class A, class B>
struct dump_kind<std::pair<A, B>> {
  static constexpr int value = 5;
};
template <class T>
struct dump_kind<std::shared_ptr<T>> {
  static constexpr int value = 6;
};
template <class T, class D>
struct dump_kind<std::unique_ptr<T, D>> {
  static constexpr int value = 6;
};

template <class Range>
void append_sequence(std::string& out, const Range& range, char open, char close) {
  out.push_back(open);
  bool first = true;
  for (const auto& element : range) {
    if (!first) {
      out += ", ";
    }
    first = false;
    append_dump(out, element);
  }
  out.push_back(close);
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
  char buffer[24];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)error;  // 24 characters hold every 64-bit value
  out.append(buffer, end);
}

}  // namespace detail

/// Appends the dump of `value` to `out`, by the rule for its C++ type.
template <class T>
void append_dump(std::string& out, const T& value) {
  using Type = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<Type, bool>) {
    out += value ? "true" : "false";
  } else if constexpr (std::is_integral_v<Type>) {
    if constexpr (std::is_signed_v<Type>) {
      detail::append_integer(out, static_cast<std::int64_t>(value));
    } else {
      detail::append_integer(out, static_cast<std::uint64_t>(value));
    }
  } else if constexpr (detail::is_text_v<Type>) {
    append_text(out, value);
  } else if constexpr (detail::dump_kind<Type>::value == 1) {
    detail::append_sequence(out, value, '[', ']');
  } else if constexpr (detail::dump_kind<Type>::value == 2) {
    detail::append_sequence(out, value, '{', '}');
  } else if constexpr (detail::dump_kind<Type>::value == 3) {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, mapped] : value) {
      if (!first) {
        out += ", ";
      }
      first = false;
      append_dump(out, key);
      out += ": ";
      append_dump(out, mapped);
    }
    out.push_back('}');
  } else if constexpr (detail::dump_kind<Type>::value == 4) {
    if (value) {
      out += "Some(";
      append_dump(out, *value);
      out.push_back(')');
    } else {
      out += "None";
    }
  } else if constexpr (detail::dump_kind<Type>::value == 5) {
    out.push_back('(');
    append_dump(out, value.first);
    out += ", ";
    append_dump(out, value.second);
    out.push_back(')');
  } else if constexpr (detail::dump_kind<Type>::value == 6) {
    append_dump(out, *value);
  } else {
    out += dump(value);  // the type's own dump, found by argument-dependent lookup
  }
}

/// The dump of `value` as a new text.
template <class T>
[[nodiscard]] std::string dump_value(const T& value) {
  std::string out;
  append_dump(out, value);
  return out;
}

/// Builds a record dump field by field: `Name { a: 1, b: 2 }`, or `Name` when
/// no field is added.
class RecordDump {
 public:
  explicit RecordDump(std::string_view name) : out_(name) {}

  template <class T>
  RecordDump& field(std::string_view name, const T& value) {
    out_ += has_fields_ ? ", " : " { ";
    has_fields_ = true;
    out_ += name;
    out_ += ": ";
    append_dump(out_, value);
    return *this;
  }

  [[nodiscard]] std::string str() const { return has_fields_ ? out_ + " }" : out_; }

 private:
  std::string out_;
  bool has_fields_ = false;
};

/// `Name(a, b, ...)`: a positional variant alternative or a one-value wrapper.
/// Without payloads it is `Name` alone, the form of a unit alternative.
template <class... Ts>
[[nodiscard]] std::string positional(std::string_view name, const Ts&... payloads) {
  std::string out(name);
  if constexpr (sizeof...(Ts) > 0) {
    out.push_back('(');
    bool first = true;
    (
        [&] {
          if (!first) {
            out += ", ";
          }
          first = false;
          append_dump(out, payloads);
        }(),
        ...);
    out.push_back(')');
  }
  return out;
}

}  // namespace vexa_codegen::support
