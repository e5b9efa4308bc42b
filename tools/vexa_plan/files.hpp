// The files vexa-plan writes: every file is written whole or not at all.
//
// A file is first written under a temporary name in the directory of its
// destination and then renamed over the destination, so that a reader (or a
// failure halfway) never sees a partial file and an earlier file of that name
// stays intact until the new one is complete.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace vexa_plan {

/// Nothing when a file named `path` can be created: its directory exists and
/// is writable, and `path` is not a directory. Otherwise why not.
[[nodiscard]] std::expected<void, std::string> check_writable(const std::string& path);

/// Writes `text` to `path` atomically (see the header comment).
[[nodiscard]] std::expected<void, std::string> write_atomically(const std::string& path, std::string_view text);

/// The full path of the executable `name` on the search path, or nothing.
[[nodiscard]] std::optional<std::string> find_program(std::string_view name);

/// Renders the DOT text `dot_text` to SVG at `path` with Graphviz's `dot`
/// program at `dot_program`, atomically.
[[nodiscard]] std::expected<void, std::string> render_svg(const std::string& dot_program, std::string_view dot_text,
                                                          const std::string& path);

}  // namespace vexa_plan
