#include "vexa_codegen/support/diagnostics.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexa_codegen::support {
namespace {

class Collector final : public DiagnosticReceiver {
 public:
  explicit Collector(DiagnosticLevel most_detailed = DiagnosticLevel::Trace) : most_detailed_(most_detailed) {}
  [[nodiscard]] bool accepts(DiagnosticLevel level) const noexcept override { return level <= most_detailed_; }
  void receive(const DiagnosticEvent& event) override { events.push_back(event); }
  std::vector<DiagnosticEvent> events;

 private:
  DiagnosticLevel most_detailed_;
};

TEST(DiagnosticsTest, WithoutAReceiverNothingIsBuilt) {
  int built = 0;
  const auto fields = [&] {
    ++built;
    return std::vector<DiagnosticField>{};
  };
  emit_diagnostic(nullptr, DiagnosticLevel::Info, "nobody listens", fields);
  Collector quiet(DiagnosticLevel::Info);
  emit_diagnostic(&quiet, DiagnosticLevel::Debug, "too detailed", fields);
  EXPECT_EQ(built, 0);
  EXPECT_TRUE(quiet.events.empty());
}

TEST(DiagnosticsTest, AReceiverGetsLevelMessageFieldsAndTheEmittingLine) {
  Collector collector;
  const std::uint_least32_t line = std::source_location::current().line() + 1;
  emit_diagnostic(&collector, DiagnosticLevel::Debug, "counted", [] {
    return std::vector<DiagnosticField>{diagnostic_field("count", 42U), diagnostic_field("label", std::string("a\"b"))};
  });
  ASSERT_EQ(collector.events.size(), 1U);
  const DiagnosticEvent& event = collector.events[0];
  EXPECT_EQ(event.level, DiagnosticLevel::Debug);
  EXPECT_EQ(event.message, "counted");
  EXPECT_EQ(event.location.line(), line);
  EXPECT_EQ(event.field("count"), "42");
  EXPECT_EQ(event.field("label"), "\"a\\\"b\"");
  EXPECT_EQ(event.field("missing"), std::nullopt);
  EXPECT_EQ(dump(event.level), "Debug");
}

}  // namespace
}  // namespace vexa_codegen::support
