#include "image/dockerfile.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "upper_table.hpp"
#include "base/utf8.hpp"

namespace halvo::inline image {

namespace dockerfile {
namespace {

using Text = std::u32string;

bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

Text trim_end(Text s) {
    while (!s.empty() && is_space(s.back())) s.pop_back();
    return s;
}

Text trim(const Text& s) {
    size_t a = 0;
    while (a < s.size() && is_space(s[a])) ++a;
    return trim_end(s.substr(a));
}

Text decode(std::string_view s) {
    Text out;
    size_t i = 0;
    while (i < s.size()) out += utf8::next(s, i).value_or(0xFFFD);
    return out;
}

std::string encode(const Text& s) {
    std::string out;
    for (char32_t c : s) utf8::append(out, c);
    return out;
}

Text upper(const Text& s) {
    const auto* begin = std::begin(upper_table::kUpper);
    const auto* end = std::end(upper_table::kUpper);
    Text out;
    for (char32_t c : s) {
        auto it = std::lower_bound(begin, end, c, [](const upper_table::Entry& e, char32_t v) { return e.cp < v; });
        if (it == end || it->cp != c) {
            out += c;
            continue;
        }
        for (char32_t u : it->upper)
            if (u) out += u;
    }
    return out;
}

struct Line {
    size_t number;
    Text text;
};

// Joins continued lines and drops comments and blank lines.
std::vector<Line> logical_lines(const Text& text) {
    std::vector<Line> out;
    // A line continued by a trailing backslash, while `continued`.
    Line pending;
    bool continued = false;
    auto append = [&](const Text& piece) {
        if (!pending.text.empty()) pending.text += U' ';
        pending.text += piece;
    };
    auto finish = [&] {
        if (continued && !pending.text.empty()) out.push_back(std::move(pending));
        continued = false;
    };

    size_t number = 0, pos = 0;
    while (pos < text.size()) {
        size_t lf = text.find(U'\n', pos);
        size_t stop = lf == Text::npos ? text.size() : lf;
        Text raw = text.substr(pos, stop - pos);
        if (lf != Text::npos && !raw.empty() && raw.back() == U'\r') raw.pop_back();
        pos = lf == Text::npos ? text.size() : lf + 1;
        ++number;

        Text line = trim(raw);
        if (line.empty()) {
            finish();
        } else if (line.front() == U'#') {
            continue;
        } else if (line.back() == U'\\') {
            Text piece = trim_end(line.substr(0, line.size() - 1));
            if (!continued) {
                pending = Line{number, piece};
                continued = true;
            } else if (!piece.empty()) {
                append(piece);
            }
        } else if (continued) {
            append(line);
            finish();
        } else {
            out.push_back({number, line});
        }
    }
    finish();
    return out;
}

// Words separated by runs of whitespace.
std::vector<Text> words(const Text& s) {
    std::vector<Text> out;
    Text cur;
    for (char32_t c : s) {
        if (is_space(c)) {
            if (!cur.empty()) out.push_back(std::move(cur)), cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(std::move(cur));
    return out;
}

// Words of ENV's k=v form: quotes are kept in the word and protect
// whitespace; there are no escapes, and an open quote runs to the end.
std::vector<Text> env_words(const Text& s) {
    std::vector<Text> out;
    Text cur;
    bool in_word = false;
    char32_t quote = 0;
    for (char32_t c : s) {
        if (quote) {
            cur += c;
            if (c == quote) quote = 0;
        } else if (is_space(c)) {
            if (in_word) out.push_back(std::move(cur)), cur.clear(), in_word = false;
        } else {
            if (c == U'\'' || c == U'"') quote = c;
            cur += c;
            in_word = true;
        }
    }
    if (in_word) out.push_back(std::move(cur));
    return out;
}

Text unquote(const Text& v) {
    if (v.size() >= 2 && v.front() == v.back() && (v.front() == U'\'' || v.front() == U'"'))
        return v.substr(1, v.size() - 2);
    return v;
}

}  // namespace

ChainResult<Recipe> translate(std::string_view input) {
    Recipe recipe;
    bool seen_from = false;
    for (const Line& line : logical_lines(decode(input))) {
        auto err = [&](const std::string& what) {
            return fail(Chain("Dockerfile:" + std::to_string(line.number) + ": " + what));
        };
        auto split = std::find_if(line.text.begin(), line.text.end(), is_space);
        Text word = upper(Text(line.text.begin(), split));
        Text operand = split == line.text.end() ? Text() : trim(Text(split + 1, line.text.end()));
        std::string op = encode(operand), w = encode(word);

        if (word == U"FROM") {
            if (seen_from)
                return err("a second FROM \u2014 this builds one stage only, and a multi-stage Dockerfile would "
                           "silently build the last stage over the wrong base");
            if (operand.empty()) return err("FROM names no image");
            if (op.find(" AS ") != std::string::npos || op.find(" as ") != std::string::npos)
                return err("a named stage \u2014 this builds one stage only");
            recipe.base = op;
            seen_from = true;
        } else if (!seen_from) {
            return err(w + " before any FROM \u2014 a build has to start from a base");
        } else if (word == U"RUN") {
            if (operand.empty()) return err("RUN names no command");
            recipe.steps.push_back(Step{Step::Run{op}});
        } else if (word == U"COPY") {
            if (operand.size() >= 2 && operand[0] == U'-' && operand[1] == U'-')
                return err("COPY with a flag (" + op + ") \u2014 this translates `COPY <src> <dst>` and nothing else");
            // The JSON form would turn its brackets and quotes into paths.
            if (!operand.empty() && operand[0] == U'[')
                return err("COPY in its JSON form \u2014 this translates `COPY <src> <dst>` and nothing else");
            auto ws = words(operand);
            if (ws.size() != 2)
                return err("COPY takes one source and one destination here, and this has " +
                           std::to_string(ws.size()));
            recipe.steps.push_back(Step{Step::Copy{encode(ws[0]), encode(ws[1])}});
        } else if (word == U"ENV") {
            auto first_end = std::find_if(operand.begin(), operand.end(), is_space);
            if (std::find(operand.begin(), first_end, U'=') != first_end) {
                for (const Text& kv : env_words(operand)) {
                    size_t eq = kv.find(U'=');
                    if (eq == Text::npos)
                        return err("ENV mixes `k=v` pairs with a bare word (" + encode(kv) +
                                   "), which is two spellings in one instruction");
                    recipe.steps.push_back(Step::env(encode(kv.substr(0, eq)), encode(unquote(kv.substr(eq + 1)))));
                }
            } else {
                if (first_end == operand.end()) return err("ENV names a variable and no value");
                recipe.steps.push_back(Step::env(encode(Text(operand.begin(), first_end)),
                                                 encode(trim(Text(first_end + 1, operand.end())))));
            }
        } else if (word == U"WORKDIR") {
            if (operand.empty()) return err("WORKDIR names no directory");
            recipe.steps.push_back(Step{Step::Workdir{op}});
        } else {
            return err(w + " is not one of FROM, RUN, COPY, ENV and WORKDIR, which is all a declaration has");
        }
    }
    if (!seen_from) return fail(Chain("this Dockerfile has no FROM, so there is no base to build on"));
    return recipe;
}

}  // namespace dockerfile
}  // namespace halvo::image
