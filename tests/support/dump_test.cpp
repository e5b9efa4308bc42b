#include "vexa_codegen/support/dump.hpp"

#include <gtest/gtest.h>

#include <limits>

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


/// A type with its own dump, found by argument-dependent lookup.
struct Wrapper {
  int value = 0;
  friend auto operator<=>(const Wrapper&, const Wrapper&) = default;
};
std::string dump(const Wrapper& wrapper) { return positional("Wrapper", wrapper.value); }

TEST(Dump, ScalarsAndTexts) {
  EXPECT_EQ(dump_value(true), "true");
  EXPECT_EQ(dump_value(false), "false");
  EXPECT_EQ(dump_value(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(dump_value(0u), "0");
  EXPECT_EQ(dump_value(std::string("a\tb")), "\"a\\tb\"");
  EXPECT_EQ(dump_value(std::string_view("x")), "\"x\"");
  EXPECT_EQ(dump_value("lit"), "\"lit\"");
  EXPECT_EQ(quote(""), "\"\"");
}

TEST(Dump, ControlCharactersAndOtherCharacters) {
  // C1 controls are escaped; every other non-ASCII character is written as it is,
  // including invisible ones such as U+200B, U+2028 and U+FEFF.
  EXPECT_EQ(quote("\xC2\x85"), "\"\\u{85}\"");
  EXPECT_EQ(quote("\x1b[0m"), "\"\\u{1b}[0m\"");
  EXPECT_EQ(quote("\xE2\x80\x8B\xE2\x80\xA8\xEF\xBB\xBF"), "\"\xE2\x80\x8B\xE2\x80\xA8\xEF\xBB\xBF\"");
  EXPECT_EQ(quote("\xF4\x8F\xBF\xBF"), "\"\xF4\x8F\xBF\xBF\"");  // U+10FFFF, the last code point
}

TEST(Dump, MoreInvalidUtf8) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(quote("\x80" "a"), "\"" + fffd + "a\"");                          // lone continuation byte
  EXPECT_EQ(quote("\xF0\x9F\x98"), "\"" + fffd + "\"");                   // truncated at the end
  EXPECT_EQ(quote("\xF0\x9F\x98\"x"), "\"" + fffd + "\\\"x\"");            // truncated before a quote
  EXPECT_EQ(quote("\xF4\x90\x80\x80"), "\"" + fffd + fffd + fffd + fffd + "\"");  // above U+10FFFF
  EXPECT_EQ(quote("\xE0\x80\x80"), "\"" + fffd + fffd + fffd + "\"");        // overlong three-byte form
  EXPECT_EQ(quote("\xFE\xFF"), "\"" + fffd + fffd + "\"");
}

TEST(Dump, TypesWithTheirOwnDump) {
  EXPECT_EQ(dump_value(Wrapper{4}), "Wrapper(4)");
  EXPECT_EQ(dump_value(std::vector<Wrapper>{{1}, {2}}), "[Wrapper(1), Wrapper(2)]");
  EXPECT_EQ(dump_value(std::set<Wrapper>{{2}, {1}}), "{Wrapper(1), Wrapper(2)}");
  EXPECT_EQ(dump_value(std::map<Wrapper, std::string>{{{0}, "a"}}), "{Wrapper(0): \"a\"}");
  EXPECT_EQ(dump_value(std::optional<Wrapper>{Wrapper{3}}), "Some(Wrapper(3))");
  EXPECT_EQ(dump_value(std::make_unique<Wrapper>(Wrapper{5})), "Wrapper(5)");
  EXPECT_EQ(dump_value(std::make_shared<const Wrapper>(Wrapper{6})), "Wrapper(6)");
  EXPECT_EQ(dump_value(std::pair<Wrapper, std::optional<int>>{{7}, std::nullopt}), "(Wrapper(7), None)");
}

TEST(Dump, EmptyAndNestedContainers) {
  EXPECT_EQ(dump_value(std::set<int>{}), "{}");
  EXPECT_EQ(dump_value(std::map<int, int>{}), "{}");
  EXPECT_EQ(dump_value(std::vector<std::vector<int>>{{}, {1, 2}}), "[[], [1, 2]]");
  EXPECT_EQ(dump_value(std::vector<std::optional<int>>{1, std::nullopt}), "[Some(1), None]");
  EXPECT_EQ(dump_value(std::optional<std::optional<int>>{std::optional<int>{}}), "Some(None)");
}

TEST(Dump, RecordFieldsAndAlternatives) {
  EXPECT_EQ(RecordDump("NoCandidates").field("expanded", 5).field("memory", 0).field("implementations", 2).str(),
            "NoCandidates { expanded: 5, memory: 0, implementations: 2 }");
  EXPECT_EQ(RecordDump("R").field("name", "a\"b").field("list", std::vector<int>{}).field("flag", true).str(),
            "R { name: \"a\\\"b\", list: [], flag: true }");
  EXPECT_EQ(RecordDump("Outer").field("inner", Wrapper{1}).str(), "Outer { inner: Wrapper(1) }");
  EXPECT_EQ(positional("MissingCostModel"), "MissingCostModel");  // an alternative without payload
  EXPECT_EQ(positional("TensorShape", std::vector<std::uint32_t>{1, 8, 128}), "TensorShape([1, 8, 128])");
  EXPECT_EQ(positional("Empty", std::vector<int>{}), "Empty([])");
}

}  // namespace
}  // namespace vexa_codegen::support
