#include "base/pathx.hpp"

#include <algorithm>

namespace halvo::inline base::pathx {

bool is_absolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view c = path.substr(i, j - i);
        if (!c.empty() && c != ".") out.push_back(c);
        i = j + 1;
    }
    return out;
}

std::string key(std::string_view path) {
    std::string out;
    for (auto c : components(path)) {
        out += '/';
        out += c;
    }
    return out.empty() ? "/" : out;
}

std::string join(std::string_view dir, std::string_view name) {
    std::string out(dir);
    if (out.empty() || out.back() != '/') out += '/';
    out += name;
    return out;
}

static bool is_root(std::string_view p) { return p.empty() || p == "/"; }

bool at_or_under(std::string_view path, std::string_view prefix) {
    if (is_root(prefix)) return true;
    if (path.substr(0, prefix.size()) != prefix) return false;
    return path.size() == prefix.size() || path[prefix.size()] == '/';
}

std::string_view remainder(std::string_view path, std::string_view prefix) {
    if (is_root(prefix)) return path.substr(path.empty() || path[0] != '/' ? 0 : 1);
    path.remove_prefix(prefix.size());
    if (!path.empty()) path.remove_prefix(1);
    return path;
}

bool Less::operator()(std::string_view a, std::string_view b) const {
    // A separator sorts below every byte, which is component-wise order.
    auto rank = [](char c) { return c == '/' ? -1 : static_cast<int>(static_cast<unsigned char>(c)); };
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return rank(a[i]) < rank(b[i]);
    }
    return a.size() < b.size();
}

}  // namespace halvo::base::pathx
