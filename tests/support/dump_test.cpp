#include "vexa_codegen/support/dump.hpp"

#include <gtest/gtest.h>

namespace vexa_codegen::support {
namespace {

TEST(Dump, TextEscapes) {
  EXPECT_EQ(quote("plain 'text'"), "\"plain 'text'\"");
  EXPECT_EQ(quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote(std::string_view("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(quote("\x01\x1f\x7f"), "\"\\u{1}\\u{1f}\\u{7f}\"");
  EXPECT_EQ(quote("\xC2\x80\xC2\x9F\xC2\xA0"), "\"\\u{80}\\u{9f}\xC2\xA0\"");
  EXPECT_EQ(quote("\xE2\x82\xAC \xF0\x9F\x98\x80"), "\"\xE2\x82\xAC \xF0\x9F\x98\x80\"");
}

TEST(Dump, InvalidUtf8BecomesReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(quote("\xFF"), "\"" + fffd + "\"");
  EXPECT_EQ(quote("a\xE2\x82"), "\"a" + fffd + "\"");          // truncated sequence: one replacement
  EXPECT_EQ(quote("\xE2\x82z"), "\"" + fffd + "z\"");          // maximal subpart, then the next char
  EXPECT_EQ(quote("\xC0\xAF"), "\"" + fffd + fffd + "\"");     // overlong lead is invalid byte by byte
  EXPECT_EQ(quote("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\"");  // surrogate
}

TEST(Dump, CompositeForms) {
  EXPECT_EQ(dump_value(std::vector<int>{1, 8, 128}), "[1, 8, 128]");
  EXPECT_EQ(dump_value(std::vector<int>{}), "[]");
  EXPECT_EQ(dump_value(std::set<int>{3, 1}), "{1, 3}");
  EXPECT_EQ(dump_value(std::map<int, bool>{{2, true}, {1, false}}), "{1: false, 2: true}");
  EXPECT_EQ(dump_value(std::optional<int>{}), "None");
  EXPECT_EQ(dump_value(std::optional<int>{4}), "Some(4)");
  EXPECT_EQ(dump_value(std::pair<int, std::string>{1, "x"}), "(1, \"x\")");
  EXPECT_EQ(dump_value(std::make_shared<std::uint64_t>(18446744073709551615ULL)), "18446744073709551615");
  EXPECT_EQ(dump_value(static_cast<std::int8_t>(-3)), "-3");
  EXPECT_EQ(dump_value(static_cast<std::uint8_t>(200)), "200");
}

TEST(Dump, RecordsAndPositionalForms) {
  EXPECT_EQ(RecordDump("CycleEstimate").field("optimistic", 10).field("conservative", 12).str(),
            "CycleEstimate { optimistic: 10, conservative: 12 }");
  EXPECT_EQ(RecordDump("MissingCostModel").str(), "MissingCostModel");
  EXPECT_EQ(positional("ValueId", 4u), "ValueId(4)");
  EXPECT_EQ(positional("Pair", 1, "a"), "Pair(1, \"a\")");
}

}  // namespace
}  // namespace vexa_codegen::support
