#include <gtest/gtest.h>

#include "base/quote.hpp"
#include "base/utf8.hpp"

using namespace halvo;

TEST(Quoted, Table) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"t\tr\rn\n", "\"t\\tr\\rn\\n\""},
        {std::string("nul\0x", 5), "\"nul\\0x\""},
        {"it's", "\"it's\""},
        {"\x01", "\"\\u{1}\""},
        {"\x7f", "\"\\u{7f}\""},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},                 // printable é stays
        {"e\xCC\x81", "\"e\\u{301}\""},                      // combining acute accent
        {"\xE2\x80\x8B", "\"\\u{200b}\""},                   // zero width space (Cf)
        {"\xC2\xA0", "\"\\u{a0}\""},                         // no-break space (Zs)
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},      // emoji
        {"bad\xFFpath", "\"bad\xEF\xBF\xBDpath\""},          // invalid UTF-8 shown as U+FFFD
    };
    for (const auto& c : cases) EXPECT_EQ(halvo::quoted(c.in), c.out) << c.in;
    EXPECT_EQ(quoted_list({"a", "b c"}), "[\"a\", \"b c\"]");
    EXPECT_EQ(quoted_list({}), "[]");
}

TEST(Quoted, Durations) {
    using namespace std::chrono;
    EXPECT_EQ(quoted_duration(seconds(10)), "10s");
    EXPECT_EQ(quoted_duration(milliseconds(1500)), "1.5s");
    EXPECT_EQ(quoted_duration(milliseconds(20)), "20ms");
}

TEST(Utf8, LossyUsesMaximalSubparts) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"ok", "ok"},
        {"\xE2\x82", "\xEF\xBF\xBD"},                                  // truncated 3-byte: one U+FFFD
        {"\xF0\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},      // overlong lead: each byte
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},      // surrogate
        {"a\xC3(b", "a\xEF\xBF\xBD(b"},
    };
    for (const auto& c : cases) EXPECT_EQ(utf8::lossy(c.in), c.out);
    EXPECT_TRUE(utf8::valid("h\xC3\xA9"));
    EXPECT_FALSE(utf8::valid("\xC0\x80"));
}
