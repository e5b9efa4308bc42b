#include "json_input.hpp"

#include <algorithm>
#include <functional>
#include <set>
#include <vector>

#include "vexa_codegen/support/dump.hpp"

namespace vexa_plan {
namespace {

using vexa_codegen::support::quote;

// Follows the parser's events to know where every key stands, and notes the
// first key that an object repeats (the tree would silently keep only one).
// Each open container keeps only the token by which it was reached, so the
// memory needed grows with the depth of the document, not its square.
class DuplicateKeys {
 public:
  bool operator()(int /*depth*/, nlohmann::detail::parse_event_t event, Json& parsed) {
    using Event = nlohmann::detail::parse_event_t;
    switch (event) {
      case Event::object_start:
      case Event::array_start:
        frames_.push_back(Frame{event == Event::array_start, enter(), 0, {}, {}});
        break;
      case Event::key:
        key(parsed);
        break;
      case Event::value:
        if (!frames_.empty() && frames_.back().is_array) {
          ++frames_.back().next_index;
        }
        break;
      case Event::object_end:
      case Event::array_end:
        if (!frames_.empty()) {
          frames_.pop_back();
        }
        break;
    }
    return true;
  }

  [[nodiscard]] const std::optional<InputError>& duplicate() const { return duplicate_; }

 private:
  struct Frame {
    bool is_array = false;
    std::string token;  // how the container is reached from its parent
    std::size_t next_index = 0;
    std::set<std::string> keys;
    std::string pending_key;
  };

  // The token of a container that starts now, counting it as an element of an
  // enclosing array.
  std::string enter() {
    if (frames_.empty()) {
      return {};
    }
    Frame& parent = frames_.back();
    return parent.is_array ? std::to_string(parent.next_index++) : pointer_token(parent.pending_key);
  }

  void key(const Json& parsed) {
    if (frames_.empty() || !parsed.is_string()) {
      return;
    }
    Frame& frame = frames_.back();
    const auto& name = parsed.get_ref<const std::string&>();
    if (!frame.keys.insert(name).second && !duplicate_) {
      std::string pointer;
      for (std::size_t i = 1; i < frames_.size(); ++i) {
        pointer += "/" + frames_[i].token;
      }
      duplicate_ = InputError{pointer + "/" + pointer_token(name),
                              "the key " + quote(name) + " appears twice in one object"};
    }
    frame.pending_key = name;
  }

  std::vector<Frame> frames_;
  std::optional<InputError> duplicate_;
};

// Accepts every event and keeps the parser's description of the first fault;
// run only on text that failed to parse, to learn why.
class FaultFinder : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& fault) override {
    message = fault.what();
    // The parser prefixes its messages with an internal tag such as
    // "[json.exception.parse_error.101] "; the rest is what a reader needs.
    if (const auto tag_end = message.find("] "); message.starts_with("[json.exception.") && tag_end != std::string::npos) {
      message.erase(0, tag_end + 2);
    }
    return false;
  }

  std::string message = "malformed JSON";
};

std::string range_text(std::uint64_t maximum) { return "an integer from 0 to " + std::to_string(maximum); }

}  // namespace

std::expected<Json, InputError> parse_document(std::string_view text) {
  DuplicateKeys duplicates;
  Json document = Json::parse(text, std::ref(duplicates), /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    FaultFinder finder;
    (void)Json::sax_parse(text, &finder);
    return std::unexpected(InputError{"", finder.message});
  }
  if (duplicates.duplicate()) {
    return std::unexpected(*duplicates.duplicate());
  }
  return document;
}

std::string pointer_token(std::string_view token) {
  std::string escaped;
  for (const char c : token) {
    if (c == '~') {
      escaped += "~0";
    } else if (c == '/') {
      escaped += "~1";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string describe(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::string:
      return "the string " + quote(value.get_ref<const std::string&>());
    case Json::value_t::boolean:
      return value.get<bool>() ? "true" : "false";
    case Json::value_t::number_integer:
      return std::to_string(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return std::to_string(value.get<std::uint64_t>());
    case Json::value_t::number_float:
      return "the number " + value.dump();
    default:
      return "an unsupported value";
  }
}

std::optional<Node> Node::find(std::string_view key) const {
  if (!value_->is_object()) {
    return std::nullopt;
  }
  const auto found = value_->find(std::string(key));
  if (found == value_->end()) {
    return std::nullopt;
  }
  return Node(*found, pointer_ + "/" + pointer_token(key));
}

Node Node::element(std::size_t index) const {
  return Node((*value_)[index], pointer_ + "/" + std::to_string(index));
}

InputError Node::expected(std::string_view what) const {
  return fault("expected " + std::string(what) + ", found " + describe(*value_));
}

std::expected<void, InputError> expect_object(const Node& node, std::span<const std::string_view> allowed) {
  if (!node.json().is_object()) {
    return std::unexpected(node.expected("an object"));
  }
  for (const auto& [key, value] : node.json().items()) {
    if (std::ranges::find(allowed, std::string_view(key)) == allowed.end()) {
      std::string known;
      for (const std::string_view name : allowed) {
        known += known.empty() ? "" : ", ";
        known += name;
      }
      return std::unexpected(InputError{node.pointer() + "/" + pointer_token(key),
                                        "unknown field " + quote(key) + "; expected one of: " + known});
    }
  }
  return {};
}

std::expected<void, InputError> expect_array(const Node& node) {
  if (!node.json().is_array()) {
    return std::unexpected(node.expected("an array"));
  }
  return {};
}

std::expected<Node, InputError> required(const Node& node, std::string_view key) {
  if (auto member = node.find(key)) {
    return *member;
  }
  return std::unexpected(node.fault("missing field " + quote(key)));
}

std::expected<std::uint64_t, InputError> read_unsigned(const Node& node, std::uint64_t maximum) {
  const Json& value = node.json();
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() > maximum) {
    return std::unexpected(node.expected(range_text(maximum)));
  }
  return value.get<std::uint64_t>();
}

std::expected<std::int64_t, InputError> read_signed(const Node& node, std::int64_t minimum, std::int64_t maximum) {
  const Json& value = node.json();
  const std::string wanted = "an integer from " + std::to_string(minimum) + " to " + std::to_string(maximum);
  if (value.is_number_unsigned()) {
    if (maximum < 0 || value.get<std::uint64_t>() > static_cast<std::uint64_t>(maximum)) {
      return std::unexpected(node.expected(wanted));
    }
    return static_cast<std::int64_t>(value.get<std::uint64_t>());
  }
  if (!value.is_number_integer() || value.get<std::int64_t>() < minimum || value.get<std::int64_t>() > maximum) {
    return std::unexpected(node.expected(wanted));
  }
  return value.get<std::int64_t>();
}

std::expected<bool, InputError> read_bool(const Node& node) {
  if (!node.json().is_boolean()) {
    return std::unexpected(node.expected("true or false"));
  }
  return node.json().get<bool>();
}

std::expected<std::string, InputError> read_string(const Node& node) {
  if (!node.json().is_string()) {
    return std::unexpected(node.expected("a string"));
  }
  return node.json().get<std::string>();
}

std::expected<double, InputError> read_number(const Node& node) {
  if (!node.json().is_number()) {
    return std::unexpected(node.expected("a number"));
  }
  return node.json().get<double>();
}

std::expected<bool, InputError> optional_bool(const Node& object, std::string_view key, bool fallback) {
  const auto member = object.find(key);
  return member ? read_bool(*member) : std::expected<bool, InputError>(fallback);
}

}  // namespace vexa_plan
