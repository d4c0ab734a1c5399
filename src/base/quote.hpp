#pragma once
// The quoted ({:?}) form of texts, paths, lists and durations in messages.
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace halvo::inline base {

// In double quotes, with \\ \" \t \r \n \0 escaped and any character that
// is not printable or is a combining mark written as \u{hex}. Invalid UTF-8
// is shown as U+FFFD, which is how a path is quoted too.
std::string quoted(std::string_view text);
// ["a", "b"]
std::string quoted_list(const std::vector<std::string>& items);
// A duration as its number and unit: 10s, 1.5s, 20ms.
std::string quoted_duration(std::chrono::nanoseconds d);

// True for a code point that the quoted form writes as \u{..}; the table
// behind it is generated from Python's unicodedata.
bool escaped_in_quotes(char32_t cp);

}  // namespace halvo::base
