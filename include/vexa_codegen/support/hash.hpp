// Field-by-field hashing for value types that key hash maps.
//
// A key type hashes its fields in declaration order with `hash_combine` and
// exposes the result through a `std::hash` specialisation, so that it can key
// `std::unordered_map` directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vexa_codegen::support {

/// Mixes `value` into `seed` (a 64-bit variant of the classic golden-ratio mix).
constexpr void hash_mix(std::size_t& seed, std::size_t value) noexcept {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 12) + (seed >> 4);
}

template <class T>
void hash_combine(std::size_t& seed, const T& value);

namespace detail {

template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T>
struct is_variant : std::false_type {};
template <class... Ts>
struct is_variant<std::variant<Ts...>> : std::true_type {};

template <class T>
struct is_pair : std::false_type {};
template <class A, class B>
struct is_pair<std::pair<A, B>> : std::true_type {};

}  // namespace detail

/// Hashes one value: lists element by element (length first), optionals by
/// presence then value, variants by alternative index then payload, pairs by
/// both members, everything else through `std::hash`.
template <class T>
[[nodiscard]] std::size_t hash_value(const T& value) {
  if constexpr (detail::is_vector<T>::value) {
    std::size_t seed = value.size();
    for (const auto& element : value) {
      hash_combine(seed, element);
    }
    return seed;
  } else if constexpr (detail::is_optional<T>::value) {
    std::size_t seed = value.has_value() ? 1 : 0;
    if (value) {
      hash_combine(seed, *value);
    }
    return seed;
  } else if constexpr (detail::is_variant<T>::value) {
    std::size_t seed = value.index();
    std::visit([&seed](const auto& alternative) { hash_combine(seed, alternative); }, value);
    return seed;
  } else if constexpr (detail::is_pair<T>::value) {
    std::size_t seed = 0;
    hash_combine(seed, value.first);
    hash_combine(seed, value.second);
    return seed;
  } else if constexpr (std::is_empty_v<T>) {
    return 0;  // unit alternatives of tagged variants carry no data
  } else {
    return std::hash<T>{}(value);
  }
}

template <class T>
void hash_combine(std::size_t& seed, const T& value) {
  hash_mix(seed, hash_value(value));
}

/// Hashes a tagged variant: its alternative index, then `payload_hash` of the
/// alternative it holds (unit alternatives usually hash to 0).
template <class Variant, class PayloadHash>
[[nodiscard]] std::size_t hash_variant(const Variant& variant, PayloadHash&& payload_hash) {
  std::size_t seed = variant.index();
  std::visit([&](const auto& alternative) { hash_mix(seed, payload_hash(alternative)); }, variant);
  return seed;
}

/// Hashes several fields in the order given.
template <class... Ts>
[[nodiscard]] std::size_t hash_fields(const Ts&... fields) {
  std::size_t seed = 0;
  (hash_combine(seed, fields), ...);
  return seed;
}

}  // namespace vexa_codegen::support
