#include <gtest/gtest.h>

#include "image/model.hpp"
#include "protocol/message/call/build_image.hpp"
#include "protocol_fixture.hpp"

using namespace halvo;
using namespace halvo::fixture;
using bson::Null;

namespace {

std::string recipe_outcome(const bson::Value& v) {
    auto r = Recipe::read(as_read(v), StepContext::BuildImage);
    return r ? r->debug() : r.error().display();
}

bson::Value recipe_with(const bson::Value& step) { return doc({{"v", 1}, {"base", "b"}, {"steps", arr({step})}}); }

// The same step read straight from build-image params, and from an image
// source's gathered entries.
std::string under_build_image(const bson::Value& step) {
    auto r = protocol::message::call::BuildImageCall::read(as_read(doc({{"recipe", recipe_with(step)}})));
    return r ? r->recipe.steps.at(0).debug() : r.error().display();
}

std::string under_image_source(const bson::Value& step) {
    auto r = ImageSource::read(as_read(doc({{"type", "recipe"}, {"recipe", recipe_with(step)}})));
    return r ? std::get<ImageSource::Recipe>(r->v).recipe.steps.at(0).debug() : r.error().display();
}

std::string source_outcome(const bson::Value& v) {
    auto r = ImageSource::read(as_read(v));
    return r ? r->debug() : r.error().display();
}

}  // namespace

TEST(Recipe, ReadingTable) {
    struct C {
        const char* what;
        bson::Value v;
        std::string expect;
    } cases[] = {
        {"int32 v", doc({{"v", 1}, {"base", "b"}, {"steps", arr({})}}), "Recipe { version: 1, base: \"b\", steps: [] }"},
        {"int64 v, keys in another order", doc({{"steps", arr({})}, {"base", "b"}, {"v", i64(1)}, {"x", bin("", 4)}}),
         "Recipe { version: 1, base: \"b\", steps: [] }"},
        {"v as a double", doc({{"v", 1.0}}), "invalid type: floating point `1.0`, expected u32"},
        {"v as a string", doc({{"v", "1"}}), "invalid type: string \"1\", expected u32"},
        {"v negative", doc({{"v", -1}}), "invalid value: integer `-1`, expected u32"},
        {"v past u32", doc({{"v", i64(4294967296)}}), "invalid value: integer `4294967296`, expected u32"},
        {"another format", doc({{"v", i64(2)}, {"base", ""}}), "Message: this image is written in format 2, and this halvo reads 1."},
        {"empty base wins over later faults", doc({{"base", ""}, {"v", 1}, {"steps", arr({})}}),
         "this image names no base, and there is no build without one"},
        {"empty base even without v", doc({{"base", ""}}), "this image names no base"},
        {"no base", doc({{"v", 1}, {"steps", arr({})}}), "missing field `base`"},
        {"nothing", doc({}), "missing field `v`"},
        {"v repeated: the last counts", doc({{"v", 2}, {"base", "b"}, {"steps", arr({})}, {"v", 1}}), "version: 1"},
        {"steps not an array", doc({{"v", 1}, {"base", "b"}, {"steps", "run"}}),
         "invalid type: string \"run\", expected a sequence"},
        {"by position", arr({1, "b", arr({doc({{"run", "x"}})})}), "steps: [Run(\"x\")]"},
        {"by position, another format", arr({3, "b", arr({})}), "written in format 3"},
        {"a number", 5, "invalid type: integer `5`, expected struct Recipe"},
    };
    for (const auto& c : cases) {
        std::string got = recipe_outcome(c.v);
        EXPECT_NE(got.find(c.expect), std::string::npos) << c.what << ": " << got;
    }
}

TEST(Step, ReadingInBothContexts) {
    struct C {
        const char* what;
        bson::Value step;
        std::string build_image, image_source;
    } cases[] = {
        {"a number", 5, "invalid type: integer `5`, expected expected an enum",
         "invalid type: integer `5`, expected string or map"},
        {"an empty document", doc({}), "invalid value: empty document, expected variant name",
         "invalid value: map, expected map with a single key"},
        {"two entries", doc({{"run", "a"}, {"env", doc({})}}),
         "invalid value: map, expected expected map with a single key, got extra key \"env\"",
         "invalid value: map, expected map with a single key"},
        {"a bare run", "run", "unexpected end of input", "invalid type: unit variant, expected newtype variant"},
        {"a bare copy", "copy", "unexpected end of input", "invalid type: unit variant, expected struct variant"},
        {"an unknown bare name", "RUN", "unknown variant `RUN`, expected one of `run`, `copy`, `env`, `workdir`",
         "unknown variant `RUN`, expected one of `run`, `copy`, `env`, `workdir`"},
        {"an unknown key", doc({{"RUN", "x"}}), "unknown variant `RUN`", "unknown variant `RUN`"},
        {"copy content by position", doc({{"copy", arr({"a", "b"})}}), "invalid type: sequence, expected expected a struct",
         "Copy { src: \"a\", dst: \"b\" }"},
        {"copy content by position, short", doc({{"copy", arr({"a"})}}), "expected expected a struct",
         "invalid length 1, expected struct variant Copy with 2 elements"},
        {"env content a string", doc({{"env", "x"}}), "invalid type: string \"x\", expected expected a struct",
         "invalid type: string \"x\", expected struct variant"},
        {"copy without dst", doc({{"copy", doc({{"src", "a"}})}}), "missing field `dst`", "missing field `dst`"},
        {"copy in another order", doc({{"copy", doc({{"dst", "b"}, {"x", 1}, {"src", "a"}})}}),
         "Copy { src: \"a\", dst: \"b\" }", "Copy { src: \"a\", dst: \"b\" }"},
        {"env without key", doc({{"env", doc({{"value", "v"}})}}), "missing field `key`", "missing field `key`"},
        {"run with a number", doc({{"run", 5}}), "invalid type: integer `5`, expected a string",
         "invalid type: integer `5`, expected a string"},
        {"run twice: the last counts", doc({{"run", "a"}, {"run", "b"}}), "Run(\"b\")", "Run(\"b\")"},
        {"workdir", doc({{"workdir", "/w"}}), "Workdir(\"/w\")", "Workdir(\"/w\")"},
    };
    for (const auto& c : cases) {
        std::string a = under_build_image(c.step), b = under_image_source(c.step);
        EXPECT_NE(a.find(c.build_image), std::string::npos) << c.what << " under build_image: " << a;
        EXPECT_NE(b.find(c.image_source), std::string::npos) << c.what << " in an image source: " << b;
    }
}

TEST(ImageSource, ReadingTable) {
    struct C {
        const char* what;
        bson::Value v;
        std::string expect;
    } cases[] = {
        {"type after its field", doc({{"ref", "x"}, {"type", "ref"}}), "Ref { reference: \"x\" }"},
        {"digest", doc({{"type", "digest"}, {"digest", "sha256:a"}}), "Digest { digest: \"sha256:a\" }"},
        {"type as a generic binary", doc({{"type", bin("digest")}, {"digest", "d"}}), "Digest { digest: \"d\" }"},
        {"recipe", doc({{"type", "recipe"}, {"recipe", doc({{"v", 1}, {"base", "b"}, {"steps", arr({})}})}}),
         "Recipe { recipe: Recipe { version: 1, base: \"b\", steps: [] } }"},
        {"the field of another type", doc({{"type", "ref"}, {"digest", "d"}}), "missing field `ref`"},
        {"type repeated: the last counts", doc({{"type", "ref"}, {"ref", "a"}, {"type", "digest"}}),
         "missing field `digest`"},
        {"type with a capital", doc({{"type", "Ref"}, {"ref", "a"}}),
         "unknown variant `Ref`, expected one of `recipe`, `ref`, `digest`"},
        {"no type", doc({{"ref", "a"}}), "missing field `type`"},
        {"type not text", doc({{"type", 5}}), "invalid type: integer `5`, expected variant identifier"},
        {"by position", arr({"ref", "x"}), "Ref { reference: \"x\" }"},
        {"a recipe by position", arr({"recipe", arr({1, "b", arr({"run"})})}),
         "invalid type: unit variant, expected newtype variant"},
        {"a string", "ref", "invalid type: string \"ref\", expected internally tagged enum ImageSource"},
        {"a generic binary", bin("x"), "invalid type: byte array, expected internally tagged enum ImageSource"},
    };
    for (const auto& c : cases) {
        std::string got = source_outcome(c.v);
        EXPECT_NE(got.find(c.expect), std::string::npos) << c.what << ": " << got;
    }
}

TEST(ImageSource, WritesTypeFirstAndNothingSkipped) {
    auto src = ImageSource::read(as_read(doc({{"x", 1}, {"ref", "r"}, {"type", "ref"}})));
    ASSERT_TRUE(src);
    bson::Writer w;
    ASSERT_TRUE(src->write(w, "image"));
    auto d = bson::read_document(std::move(w).finish());
    EXPECT_EQ(*d->find("image"), as_read(doc({{"type", "ref"}, {"ref", "r"}})));
}

TEST(Step, EqualityAndText) {
    auto copy = [](std::string src) { return Step{Step::Copy{std::move(src), "/d"}}; };
    EXPECT_EQ(copy("a//b/"), copy("a/b"));
    EXPECT_EQ(copy("a/./b"), copy("a/b"));
    EXPECT_EQ(copy("/"), copy("//"));
    EXPECT_NE(copy("./a"), copy("a"));
    EXPECT_NE(copy("/a"), copy("a"));
    EXPECT_NE(copy("a/../b"), copy("b"));
    EXPECT_NE(copy("a"), (Step{Step::Copy{"a", "/e"}}));
    EXPECT_NE(Step{Step::Run{"a"}}, Step{Step::Workdir{"a"}});
    EXPECT_EQ(Step::env("K", "V"), Step::env("K", "V"));
    EXPECT_NE(Step::env("K", "V"), Step::env("K", "W"));

    Recipe a{1, "b", {copy("x/")}}, b{1, "b", {copy("x")}};
    EXPECT_EQ(a, b);
    EXPECT_EQ(ImageSource{ImageSource::Recipe{a}}, ImageSource{ImageSource::Recipe{b}});
    EXPECT_NE(ImageSource{ImageSource::Ref{"x"}}, ImageSource{ImageSource::Digest{"x"}});

    EXPECT_EQ(Step::env("PATH", "/bin").text(), "ENV PATH=/bin");
    EXPECT_EQ(Step{Step::Run{"echo hi"}}.text(), "RUN echo hi");
    EXPECT_EQ(Step{Step::Workdir{"/w"}}.text(), "WORKDIR /w");
    EXPECT_EQ(copy("a\xFF").text(), "COPY a\xEF\xBF\xBD /d");
    EXPECT_EQ(copy("a").debug(), "Copy { src: \"a\", dst: \"/d\" }");
}
