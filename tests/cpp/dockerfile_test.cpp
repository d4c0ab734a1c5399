#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/dockerfile.hpp"

using halvo::Step;

namespace {

Step run(std::string c) { return Step{Step::Run{std::move(c)}}; }
Step copy(std::string s, std::string d) { return Step{Step::Copy{std::move(s), std::move(d)}}; }
Step env(std::string k, std::string v) { return Step::env(k, v); }
Step workdir(std::string d) { return Step{Step::Workdir{std::move(d)}}; }

const std::string kDash = "\u2014";

}  // namespace

TEST(Dockerfile, Translates) {
    struct Case {
        std::string text;
        std::string base;
        std::vector<Step> steps;
    } cases[] = {
        {"from alpine\nrun echo hi\n", "alpine", {run("echo hi")}},
        {"FROM alpine As build", "alpine As build", {}},
        {"FROM --platform=linux/arm64 alpine", "--platform=linux/arm64 alpine", {}},
        // Continuations join with single blanks; a comment inside neither ends nor extends them.
        {"FROM a\nRUN one \\\n# note \\\n  two\\\n three\n", "a", {run("one two three")}},
        {"FROM a\n\\\nRUN x\n", "a", {run("x")}},
        {"FROM a\r\nRUN x\r\n", "a", {run("x")}},
        {"FROM a\nRUN x \\", "a", {run("x")}},
        {"FROM a\n \\\n", "a", {}},
        {"FROM a\nRUN a\\\\\n b", "a", {run("a\\ b")}},
        {"FROM a\nRUN [\"echo\", \"hi\"]", "a", {run("[\"echo\", \"hi\"]")}},
        {"FROM a\nCOPY src/x  /dst\n", "a", {copy("src/x", "/dst")}},
        {"FROM a\nENV A=1 B='two words'", "a", {env("A", "1"), env("B", "two words")}},
        {"FROM a\nENV A=\"x y\" C= D=\"open", "a", {env("A", "x y"), env("C", ""), env("D", "\"open")}},
        {"FROM a\nENV A b  c ", "a", {env("A", "b  c")}},
        {"FROM a\nENV =v", "a", {env("", "v")}},
        {"FROM a\nWORKDIR /app\n", "a", {workdir("/app")}},
        // The instruction word is upper-cased with the full mapping.
        {"FROM a\nrUn x\n", "a", {run("x")}},
    };
    for (const auto& c : cases) {
        auto r = halvo::dockerfile::translate(c.text);
        ASSERT_TRUE(r.ok()) << c.text << " -> " << r.error().render();
        EXPECT_EQ(r->version, 1u);
        EXPECT_EQ(r->base, c.base) << c.text;
        EXPECT_EQ(r->steps, c.steps) << c.text;
    }
}

TEST(Dockerfile, Refuses) {
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "this Dockerfile has no FROM, so there is no base to build on"},
        {"# only a comment\n\n", "this Dockerfile has no FROM, so there is no base to build on"},
        {"FROM alpine AS build", "Dockerfile:1: a named stage " + kDash + " this builds one stage only"},
        {"FROM alpine as build", "Dockerfile:1: a named stage " + kDash + " this builds one stage only"},
        {"FROM a\nFROM b",
         "Dockerfile:2: a second FROM " + kDash +
             " this builds one stage only, and a multi-stage Dockerfile would silently build the last stage over "
             "the wrong base"},
        {"FROM", "Dockerfile:1: FROM names no image"},
        {"expose 80\nFROM a", "Dockerfile:1: EXPOSE before any FROM " + kDash + " a build has to start from a base"},
        {"FROM a\nRUN", "Dockerfile:2: RUN names no command"},
        {"FROM a\nCOPY --chown=1 a b",
         "Dockerfile:2: COPY with a flag (--chown=1 a b) " + kDash +
             " this translates `COPY <src> <dst>` and nothing else"},
        {"FROM a\nCOPY [\"a\", \"b\"]",
         "Dockerfile:2: COPY in its JSON form " + kDash + " this translates `COPY <src> <dst>` and nothing else"},
        {"FROM a\nCOPY a b c", "Dockerfile:2: COPY takes one source and one destination here, and this has 3"},
        {"FROM a\nCOPY", "Dockerfile:2: COPY takes one source and one destination here, and this has 0"},
        {"FROM a\nENV A=1 B",
         "Dockerfile:2: ENV mixes `k=v` pairs with a bare word (B), which is two spellings in one instruction"},
        {"FROM a\nENV A", "Dockerfile:2: ENV names a variable and no value"},
        {"FROM a\nENV", "Dockerfile:2: ENV names a variable and no value"},
        {"FROM a\nWORKDIR", "Dockerfile:2: WORKDIR names no directory"},
        {"FROM a\n\n# c\n\nMAINTAINER x",
         "Dockerfile:5: MAINTAINER is not one of FROM, RUN, COPY, ENV and WORKDIR, which is all a declaration has"},
        // A continued line reports its first line.
        {"FROM a\nRUN \\\n\\\n", "Dockerfile:2: RUN names no command"},
        {"FROM a\nstra\xC3\x9F" "e x", "Dockerfile:2: STRASSE is not one of FROM, RUN, COPY, ENV and WORKDIR, which is "
                                   "all a declaration has"},
    };
    for (const auto& c : cases) {
        auto r = halvo::dockerfile::translate(c.text);
        ASSERT_FALSE(r.ok()) << c.text;
        EXPECT_EQ(r.error().render(), c.message) << c.text;
    }
}
