// What every fuzz target shares: a reader that turns the fuzzer's byte string
// into the values the target needs, and the check that stops a run when a
// promise of the library is broken.
//
// Every read consumes bytes from the front and never fails: once the input is
// used up, numbers read as 0, flags as false and texts as empty, so every input
// (the empty one included) drives the target to a defined end. Small choices
// take one byte; wide numbers take their width in little-endian order, so that
// the fuzzer's byte mutations map onto nearby numbers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace vexa_codegen::fuzz {

class ByteSource {
 public:
  explicit ByteSource(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  ByteSource(const std::uint8_t* data, std::size_t size) noexcept : bytes_(data, size) {}

  [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }

  /// The next `sizeof(T)` bytes as an unsigned number, little-endian; missing bytes are 0.
  template <class T>
    requires std::is_unsigned_v<T>
  [[nodiscard]] T number() noexcept {
    T result = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      result = static_cast<T>(result | static_cast<T>(static_cast<T>(byte()) << (8 * i)));
    }
    return result;
  }

  /// The next byte, 0 once the input is used up.
  [[nodiscard]] std::uint8_t byte() noexcept {
    if (bytes_.empty()) {
      return 0;
    }
    const std::uint8_t value = bytes_.front();
    bytes_ = bytes_.subspan(1);
    return value;
  }

  [[nodiscard]] bool flag() noexcept { return (byte() & 1U) != 0; }

  /// A number in [0, count) from one byte (two when `count` exceeds 256); 0 for a count of 0.
  [[nodiscard]] std::size_t choice(std::size_t count) noexcept {
    if (count == 0) {
      return 0;
    }
    const std::size_t raw = count <= 256 ? byte() : number<std::uint16_t>();
    return raw % count;
  }

  /// A 32-bit extent, mostly small: the first byte picks small values, values
  /// near a power of two, or any 32-bit number.
  [[nodiscard]] std::uint32_t extent() noexcept {
    const std::uint8_t kind = byte();
    switch (kind % 8) {
      case 0:
        return number<std::uint32_t>();
      case 1: {
        const unsigned shift = byte() % 33U;
        const std::uint64_t power = std::uint64_t{1} << shift;
        const std::uint64_t offset = byte() % 5U;
        return static_cast<std::uint32_t>(power + offset >= 2 ? power + offset - 2 : 0);
      }
      case 2:
        return number<std::uint16_t>();
      default:
        return byte();
    }
  }

  /// A text of up to 255 bytes taken as they stand (not necessarily UTF-8).
  [[nodiscard]] std::string text() {
    const std::size_t length = std::min<std::size_t>(byte(), bytes_.size());
    std::string result(reinterpret_cast<const char*>(bytes_.data()), length);
    bytes_ = bytes_.subspan(length);
    return result;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

/// Stops the run (so that the fuzzer records the input) when `holds` is false.
inline void expect(bool holds, const char* promise) {
  if (!holds) {
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
  }
}

/// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code
/// points past U+10FFFF).
[[nodiscard]] inline bool is_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t smallest = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if ((lead & 0xE0U) == 0xC0) {
      length = 2;
      code = lead & 0x1FU;
      smallest = 0x80;
    } else if ((lead & 0xF0U) == 0xE0) {
      length = 3;
      code = lead & 0x0FU;
      smallest = 0x800;
    } else if ((lead & 0xF8U) == 0xF0) {
      length = 4;
      code = lead & 0x07U;
      smallest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0U) != 0x80) {
        return false;
      }
      code = (code << 6) | (next & 0x3FU);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace vexa_codegen::fuzz
