#pragma once
// UTF-8 helpers shared by the quoted form, the BSON reader and path display.
#include <optional>
#include <string>
#include <string_view>

namespace halvo::inline base::utf8 {

// Decodes one code point at s[i], advancing i past it. On an invalid
// sequence returns nullopt and advances i past its maximal subpart.
std::optional<char32_t> next(std::string_view s, size_t& i);
bool valid(std::string_view s);
// Each invalid sequence becomes U+FFFD (the maximal-subpart rule).
std::string lossy(std::string_view s);
void append(std::string& out, char32_t cp);

}  // namespace halvo::base::utf8
