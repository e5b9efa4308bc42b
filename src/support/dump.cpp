#include "vexa_codegen/support/dump.hpp"

#include <cstddef>

namespace vexa_codegen::support {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";  // U+FFFD

void append_code_point_escape(std::string& out, std::uint32_t code_point) {
  constexpr std::string_view digits = "0123456789abcdef";
  char buffer[8];
  std::size_t length = 0;
  do {
    buffer[length++] = digits[code_point & 0xF];
    code_point >>= 4;
  } while (code_point != 0);
  out += "\\u{";
  while (length > 0) {
    out.push_back(buffer[--length]);
  }
  out.push_back('}');
}

// Ranges of the second byte of a well-formed UTF-8 sequence, by lead byte
// (Unicode, table "Well-Formed UTF-8 Byte Sequences"); later bytes are 80..BF.
struct LeadByte {
  std::size_t length;  // total bytes of the sequence; 0 for an invalid lead byte
  unsigned char second_low;
  unsigned char second_high;
};

constexpr LeadByte classify(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

void append_ascii(std::string& out, char c) {
  switch (c) {
    case '\\': out += "\\\\"; return;
    case '"': out += "\\\""; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\0': out += "\\0"; return;
    default: break;
  }
  const auto code = static_cast<unsigned char>(c);
  if (code < 0x20 || code == 0x7F) {
    append_code_point_escape(out, code);
  } else {
    out.push_back(c);
  }
}

}  // namespace

void append_text(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      append_ascii(out, text[i]);
      ++i;
      continue;
    }
    const LeadByte shape = classify(lead);
    if (shape.length == 0) {
      out += replacement_character;
      ++i;
      continue;
    }
    // Consume the longest well-formed prefix; an incomplete one is replaced whole.
    std::uint32_t code_point = lead & (shape.length == 2 ? 0x1F : shape.length == 3 ? 0x0F : 0x07);
    std::size_t consumed = 1;
    while (consumed < shape.length && i + consumed < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + consumed]);
      const unsigned char low = consumed == 1 ? shape.second_low : 0x80;
      const unsigned char high = consumed == 1 ? shape.second_high : 0xBF;
      if (next < low || next > high) {
        break;
      }
      code_point = (code_point << 6) | (next & 0x3Fu);
      ++consumed;
    }
    if (consumed < shape.length) {
      out += replacement_character;
    } else if (code_point <= 0x9F) {
      append_code_point_escape(out, code_point);  // C1 controls U+0080..U+009F
    } else {
      out.append(text.substr(i, consumed));
    }
    i += consumed;
  }
  out.push_back('"');
}

std::string quote(std::string_view text) {
  std::string out;
  append_text(out, text);
  return out;
}

}  // namespace vexa_codegen::support
