#include "base/quote.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "unicode_table.hpp"
#include "base/utf8.hpp"

namespace halvo::inline base {

bool escaped_in_quotes(char32_t cp) {
    const auto* begin = std::begin(unicode_table::kEscaped);
    const auto* end = std::end(unicode_table::kEscaped);
    auto it = std::upper_bound(begin, end, cp, [](char32_t c, const unicode_table::Range& r) { return c < r.first; });
    return it != begin && cp <= (it - 1)->last;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    size_t i = 0;
    while (i < text.size()) {
        auto cp = utf8::next(text, i).value_or(0xFFFD);
        switch (cp) {
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (escaped_in_quotes(cp)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        } else {
            utf8::append(out, cp);
        }
    }
    out += '"';
    return out;
}

std::string quoted_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += quoted(items[i]);
    }
    return out + "]";
}

std::string quoted_duration(std::chrono::nanoseconds d) {
    // Integer part, then the fraction with trailing zeros dropped.
    auto fmt = [](uint64_t whole, uint64_t frac, int digits, const char* unit) {
        std::string s = std::to_string(whole);
        if (frac) {
            std::string f = std::to_string(frac);
            f.insert(0, digits - f.size(), '0');
            while (!f.empty() && f.back() == '0') f.pop_back();
            s += "." + f;
        }
        return s + unit;
    };
    uint64_t ns = static_cast<uint64_t>(std::max<int64_t>(0, d.count()));
    if (ns >= 1'000'000'000) return fmt(ns / 1'000'000'000, ns % 1'000'000'000, 9, "s");
    if (ns >= 1'000'000) return fmt(ns / 1'000'000, ns % 1'000'000, 6, "ms");
    if (ns >= 1'000) return fmt(ns / 1'000, ns % 1'000, 3, "\xC2\xB5s");
    return fmt(ns, 0, 0, "ns");
}

}  // namespace halvo::base
