// Reading the JSON document of a planning request.
//
// The document is parsed once into a tree; every later check walks it through
// `Node`, which carries the JSON pointer (RFC 6901) of the part it stands for,
// so that whatever does not fit is reported together with its location, e.g.
// `/operations/3/kind`. Nothing here throws: type checks come before every
// access, and each reader returns the value or the fault.
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vexa_plan {

/// Objects keep the order of their members, so that faults are reported in
/// document order and the report's JSON reads in a fixed order.
using Json = nlohmann::ordered_json;

/// A fault in the request: the JSON pointer of the part it concerns (empty for
/// the document as a whole) and what is wrong with it.
struct InputError {
  std::string pointer;
  std::string message;
};

/// Parses `text` as one JSON document. Malformed text fails with the parser's
/// own message, which names the line and column; an object that names one key
/// twice fails at the pointer of the second occurrence.
[[nodiscard]] std::expected<Json, InputError> parse_document(std::string_view text);

/// `token` escaped for use as one reference token of a JSON pointer.
[[nodiscard]] std::string pointer_token(std::string_view token);

/// How a JSON value reads in a message: "a string", "an object", "-3", ...
[[nodiscard]] std::string describe(const Json& value);

/// One part of the document and its JSON pointer. The node refers to the
/// document, which must outlive it.
class Node {
 public:
  Node(const Json& value, std::string pointer) : value_(&value), pointer_(std::move(pointer)) {}

  [[nodiscard]] const Json& json() const noexcept { return *value_; }
  [[nodiscard]] const std::string& pointer() const noexcept { return pointer_; }

  /// The member `key` of this object, or nothing when this is not an object
  /// or has no such member.
  [[nodiscard]] std::optional<Node> find(std::string_view key) const;
  /// Element `index` of this array (which must have it).
  [[nodiscard]] Node element(std::size_t index) const;

  /// A fault at this node.
  [[nodiscard]] InputError fault(std::string message) const { return InputError{pointer_, std::move(message)}; }
  /// A fault at this node saying what was expected and what was found.
  [[nodiscard]] InputError expected(std::string_view what) const;

 private:
  const Json* value_;
  std::string pointer_;
};

using Fields = std::initializer_list<std::string_view>;

/// Nothing when `node` is an object whose members are all named in `allowed`;
/// otherwise the fault: not an object, or the first unknown member.
[[nodiscard]] std::expected<void, InputError> expect_object(const Node& node, std::span<const std::string_view> allowed);
[[nodiscard]] inline std::expected<void, InputError> expect_object(const Node& node, Fields allowed) {
  return expect_object(node, std::span<const std::string_view>(allowed.begin(), allowed.size()));
}
/// Nothing when `node` is an array.
[[nodiscard]] std::expected<void, InputError> expect_array(const Node& node);
/// The member `key` of the object `node`, or the fault that it is missing.
[[nodiscard]] std::expected<Node, InputError> required(const Node& node, std::string_view key);

/// An integer from 0 to `maximum`.
[[nodiscard]] std::expected<std::uint64_t, InputError> read_unsigned(const Node& node, std::uint64_t maximum);
/// An integer from `minimum` to `maximum`.
[[nodiscard]] std::expected<std::int64_t, InputError> read_signed(const Node& node, std::int64_t minimum,
                                                                  std::int64_t maximum);
[[nodiscard]] std::expected<bool, InputError> read_bool(const Node& node);
[[nodiscard]] std::expected<std::string, InputError> read_string(const Node& node);
/// Any JSON number, as a double.
[[nodiscard]] std::expected<double, InputError> read_number(const Node& node);

/// An unsigned integer that fits `T`.
template <class T>
[[nodiscard]] std::expected<T, InputError> read_unsigned_as(const Node& node, T maximum = std::numeric_limits<T>::max()) {
  const auto value = read_unsigned(node, static_cast<std::uint64_t>(maximum));
  if (!value) {
    return std::unexpected(value.error());
  }
  return static_cast<T>(*value);
}

/// The member `key` of `object` read as an unsigned `T` up to `maximum`, or
/// `fallback` when the member is absent.
template <class T>
[[nodiscard]] std::expected<T, InputError> optional_unsigned(const Node& object, std::string_view key, T fallback,
                                                             T maximum = std::numeric_limits<T>::max()) {
  const auto member = object.find(key);
  return member ? read_unsigned_as<T>(*member, maximum) : std::expected<T, InputError>(fallback);
}

/// The member `key` of `object` as a boolean, or `fallback` when absent.
[[nodiscard]] std::expected<bool, InputError> optional_bool(const Node& object, std::string_view key, bool fallback);

template <class T>
using Result = std::expected<T, InputError>;
using Checked = Result<void>;

/// The required member `key` of `object` as an unsigned `T`.
template <class T>
[[nodiscard]] Result<T> required_unsigned(const Node& object, std::string_view key) {
  const auto member = required(object, key);
  if (!member) {
    return std::unexpected(member.error());
  }
  return read_unsigned_as<T>(*member);
}

/// A text read by `parse` (which says what is wrong with a text it refuses),
/// faulted at the text's own pointer.
template <class T>
[[nodiscard]] Result<T> read_text_form(const Node& node, std::expected<T, std::string> (*parse)(std::string_view)) {
  const auto text = read_string(node);
  if (!text) {
    return std::unexpected(text.error());
  }
  auto value = parse(*text);
  if (!value) {
    return std::unexpected(node.fault(value.error()));
  }
  return std::move(*value);
}

/// The member `key` of `object` read by `parse`, or `fallback` when absent.
template <class T>
[[nodiscard]] Result<T> optional_text_form(const Node& object, std::string_view key,
                                           std::expected<T, std::string> (*parse)(std::string_view), T fallback) {
  const auto member = object.find(key);
  return member ? read_text_form(*member, parse) : Result<T>(std::move(fallback));
}

/// The fault of the first of `results` that failed, in argument order, or
/// nothing when all of them hold a value. Lets a reader take several members
/// and report them in a fixed order.
template <class... Results>
[[nodiscard]] std::optional<InputError> first_fault(const Results&... results) {
  std::optional<InputError> fault;
  ((fault || results.has_value() ? void() : void(fault = results.error())), ...);
  return fault;
}

}  // namespace vexa_plan
