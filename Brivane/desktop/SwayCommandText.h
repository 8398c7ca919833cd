#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brivane {

// An absolute file path as one word of a command sent over sway's socket, such that sway's command
// parser and the wordexp(3) its `output … bg` runs on the file give back exactly these bytes
// (and run nothing). Nothing for a path with a line feed: sway turns every line feed of a command
// from its socket into ";" before anything else. Free of Qt, for the fuzzer.
std::optional<std::string> swayQuotedPath(std::string_view path);

} // namespace brivane
