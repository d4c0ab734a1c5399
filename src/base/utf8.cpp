#include "base/utf8.hpp"

namespace halvo::inline base::utf8 {

std::optional<char32_t> next(std::string_view s, size_t& i) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        ++i;
        return c;
    }
    size_t need;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2, cp = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3, cp = c & 0x07;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        ++i;
        return std::nullopt;
    }
    size_t start = i++;
    for (size_t k = 0; k < need; ++k) {
        if (i >= s.size()) return std::nullopt;
        unsigned char t = b(i);
        unsigned char l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
        if (t < l || t > h) return std::nullopt;
        cp = (cp << 6) | (t & 0x3F);
        ++i;
    }
    (void)start;
    return cp;
}

bool valid(std::string_view s) {
    size_t i = 0;
    while (i < s.size())
        if (!next(s, i)) return false;
    return true;
}

void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string lossy(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        size_t start = i;
        if (next(s, i))
            out.append(s.substr(start, i - start));
        else
            append(out, 0xFFFD);
    }
    return out;
}

}  // namespace halvo::base::utf8
