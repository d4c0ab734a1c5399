#pragma once
// Byte paths split by our own rules: repeated "/" collapse, "." is dropped,
// a trailing "/" is ignored and ".." is kept for each tree to judge.
// std::filesystem::path iteration differs ("." and empty elements).
#include <string>
#include <string_view>
#include <vector>

namespace halvo::inline base::pathx {

bool is_absolute(std::string_view path);
std::vector<std::string_view> components(std::string_view path);

// The components joined by "/" with a leading "/": "/a/./b//" and "/a/b"
// give the same key, "/a/.." keeps its "..".
std::string key(std::string_view path);

// Names joined as raw bytes, no checks: join("/", "a") is "/a".
std::string join(std::string_view dir, std::string_view name);

// Whether `path` lies at or under `prefix`, both keys or both relative
// normalized paths ("" and "/" are the roots): "/ab" is not under "/a".
bool at_or_under(std::string_view path, std::string_view prefix);
// What follows `prefix` in a path at or under it, without the separator.
std::string_view remainder(std::string_view path, std::string_view prefix);

// Orders paths component by component: a, a/x, a/y, "a b". Everything at or
// under a path then follows it without a gap.
struct Less {
    bool operator()(std::string_view a, std::string_view b) const;
    using is_transparent = void;
};

}  // namespace halvo::base::pathx
