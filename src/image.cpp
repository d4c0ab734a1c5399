#include "image.hpp"

#include "codec/record.hpp"
#include "quote.hpp"
#include "utf8.hpp"

namespace halvo {

using bson::BsonResult;
using bson::Status;

namespace {

std::vector<std::string_view> components(std::string_view p) {
    std::vector<std::string_view> out;
    if (!p.empty() && p[0] == '/') out.push_back("/");
    size_t i = 0;
    while (i <= p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string_view::npos) j = p.size();
        auto piece = p.substr(i, j - i);
        if (!piece.empty() && (piece != "." || i == 0)) out.push_back(piece);
        i = j + 1;
    }
    return out;
}

bson::Error unknown_step(std::string_view name) { return bson::unknown_variant(name, {"run", "copy", "env", "workdir"}); }

bool known_step(std::string_view name) { return name == "run" || name == "copy" || name == "env" || name == "workdir"; }

}  // namespace

bool same_path(std::string_view a, std::string_view b) { return a == b || components(a) == components(b); }

bool Step::operator==(const Step& other) const {
    if (v.index() != other.v.index()) return false;
    if (const auto* r = std::get_if<Run>(&v)) return r->command == std::get<Run>(other.v).command;
    if (const auto* c = std::get_if<Copy>(&v)) {
        const auto& o = std::get<Copy>(other.v);
        return same_path(c->src, o.src) && c->dst == o.dst;
    }
    if (const auto* e = std::get_if<Env>(&v)) {
        const auto& o = std::get<Env>(other.v);
        return e->key == o.key && e->value == o.value;
    }
    return std::get<Workdir>(v).dir == std::get<Workdir>(other.v).dir;
}

std::string Step::text() const {
    if (const auto* r = std::get_if<Run>(&v)) return "RUN " + r->command;
    if (const auto* c = std::get_if<Copy>(&v)) return "COPY " + utf8::lossy(c->src) + " " + c->dst;
    if (const auto* e = std::get_if<Env>(&v)) return "ENV " + e->key + "=" + e->value;
    return "WORKDIR " + std::get<Workdir>(v).dir;
}

std::string Step::debug() const {
    if (const auto* r = std::get_if<Run>(&v)) return "Run(" + quoted(r->command) + ")";
    if (const auto* c = std::get_if<Copy>(&v))
        return codec::DebugStruct("Copy").field("src", quoted(c->src)).field("dst", quoted(c->dst)).finish();
    if (const auto* e = std::get_if<Env>(&v))
        return codec::DebugStruct("Env").field("key", quoted(e->key)).field("value", quoted(e->value)).finish();
    return "Workdir(" + quoted(std::get<Workdir>(v).dir) + ")";
}

Status Step::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    if (const auto* r = std::get_if<Run>(&v)) {
        w.add_string("run", r->command);
    } else if (const auto* c = std::get_if<Copy>(&v)) {
        if (!utf8::valid(c->src)) return fail(bson::Error::serialize("path contains invalid UTF-8 characters"));
        w.begin_document("copy");
        w.add_string("src", c->src);
        w.add_string("dst", c->dst);
        w.end();
    } else if (const auto* e = std::get_if<Env>(&v)) {
        w.begin_document("env");
        w.add_string("key", e->key);
        w.add_string("value", e->value);
        w.end();
    } else {
        w.add_string("workdir", std::get<Workdir>(v).dir);
    }
    w.end();
    return {};
}

namespace {

// The content of a copy or env step: two required texts, by key or by position.
Status read_pair(const bson::Value& v, std::string_view name, std::string_view k1, std::string_view k2,
                 std::string& a, std::string& b) {
    const codec::Field fields[] = {{k1, true}, {k2, true}};
    return codec::read_record(v, name, fields,
                              [&](size_t i, const bson::Value& x) { return codec::decode(x, i == 0 ? a : b); });
}

BsonResult<Step> step_content(std::string_view name, const bson::Value& content, StepContext ctx) {
    if (name == "run" || name == "workdir") {
        std::string text;
        HALVO_CHECK(codec::decode(content, text));
        if (name == "run") return Step{Step::Run{std::move(text)}};
        return Step{Step::Workdir{std::move(text)}};
    }
    bool ok_shape = content.get<bson::Document>() ||
                    (ctx == StepContext::Gathered && content.get<bson::Array>());
    if (!ok_shape)
        return fail(bson::invalid_type(content, ctx == StepContext::Gathered ? "struct variant" : "expected a struct"));
    if (name == "copy") {
        Step::Copy c;
        HALVO_CHECK(read_pair(content, "variant Copy", "src", "dst", c.src, c.dst));
        return Step{std::move(c)};
    }
    Step::Env e;
    HALVO_CHECK(read_pair(content, "variant Env", "key", "value", e.key, e.value));
    return Step{std::move(e)};
}

}  // namespace

BsonResult<Step> Step::read(const bson::Value& v, StepContext ctx) {
    bool gathered = ctx == StepContext::Gathered;
    if (const auto* s = v.get<std::string>()) {
        if (!known_step(*s)) return fail(unknown_step(*s));
        if (!gathered) return fail(bson::Error::decode("unexpected end of input"));
        bool newtype = *s == "run" || *s == "workdir";
        return fail(bson::invalid_type_named("unit variant", newtype ? "newtype variant" : "struct variant"));
    }
    const auto* d = v.get<bson::Document>();
    if (!d) return fail(bson::invalid_type(v, gathered ? "string or map" : "expected an enum"));
    if (gathered && d->size() != 1) return fail(bson::invalid_value_named("map", "map with a single key"));
    if (d->empty()) return fail(bson::invalid_value_named("empty document", "variant name"));
    if (d->size() > 1)
        return fail(bson::invalid_value_named(
            "map", "expected map with a single key, got extra key " + quoted(d->entries()[1].key)));
    const auto& [name, content] = d->entries()[0];
    if (!known_step(name)) return fail(unknown_step(name));
    return step_content(name, content, ctx);
}

std::string Recipe::debug() const {
    return codec::DebugStruct("Recipe")
        .field("version", codec::show(version))
        .field("base", codec::show(base))
        .field("steps", codec::show(steps))
        .finish();
}

Status Recipe::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    w.add_int64("v", version);
    w.add_string("base", base);
    w.begin_array("steps");
    for (const auto& s : steps) {
        HALVO_CHECK(s.write(w, {}));
    }
    w.end();
    w.end();
    return {};
}

BsonResult<Recipe> Recipe::read(const bson::Value& v, StepContext ctx) {
    static constexpr codec::Field fields[] = {{"v", true}, {"base", true}, {"steps", true}};
    Recipe r;
    HALVO_CHECK(codec::read_record(v, "Recipe", fields, [&](size_t i, const bson::Value& x) -> Status {
        switch (i) {
            case 0: {
                HALVO_CHECK(codec::decode(x, r.version));
                if (r.version != 1)
                    return fail(bson::Error::decode("this image is written in format " + std::to_string(r.version) +
                                                    ", and this halvo reads 1"));
                return {};
            }
            case 1: {
                HALVO_CHECK(codec::decode(x, r.base));
                if (r.base.empty())
                    return fail(bson::Error::decode("this image names no base, and there is no build without one"));
                return {};
            }
            default: {
                const auto* a = x.get<bson::Array>();
                if (!a) return fail(bson::invalid_type(x, "a sequence"));
                std::vector<Step> steps;
                for (const auto& item : a->items()) {
                    HALVO_TRY(auto s, Step::read(item, ctx));
                    steps.push_back(std::move(s));
                }
                r.steps = std::move(steps);
                return {};
            }
        }
    }));
    return r;
}

std::string ImageSource::debug() const {
    if (const auto* r = std::get_if<Recipe>(&v))
        return codec::DebugStruct("Recipe").field("recipe", r->recipe.debug()).finish();
    if (const auto* r = std::get_if<Ref>(&v))
        return codec::DebugStruct("Ref").field("reference", quoted(r->reference)).finish();
    return codec::DebugStruct("Digest").field("digest", quoted(std::get<Digest>(v).digest)).finish();
}

Status ImageSource::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    if (const auto* r = std::get_if<Recipe>(&v)) {
        w.add_string("type", "recipe");
        HALVO_CHECK(r->recipe.write(w, "recipe"));
    } else if (const auto* r = std::get_if<Ref>(&v)) {
        w.add_string("type", "ref");
        w.add_string("ref", r->reference);
    } else {
        w.add_string("type", "digest");
        w.add_string("digest", std::get<Digest>(v).digest);
    }
    w.end();
    return {};
}

BsonResult<ImageSource> ImageSource::read(const bson::Value& v) {
    constexpr std::string_view kName = "internally tagged enum ImageSource";
    const bson::Value* type = nullptr;
    const bson::Value* field = nullptr;
    const auto* d = v.get<bson::Document>();
    const auto* a = v.get<bson::Array>();
    if (d) {
        type = d->find("type");
        if (!type) return fail(bson::missing_field("type"));
    } else if (a) {
        if (a->size() < 2) return fail(bson::invalid_length(a->size(), std::string(kName) + " with 2 elements"));
        type = &a->items()[0];
        field = &a->items()[1];
    } else {
        return fail(bson::invalid_type(v, kName));
    }

    std::string name;
    if (const auto* s = type->get<std::string>())
        name = *s;
    else if (const auto* b = type->get<bson::Binary>(); b && b->subtype == 0)
        name = utf8::lossy(b->bytes);
    else
        return fail(bson::invalid_type(*type, "variant identifier"));
    if (name != "recipe" && name != "ref" && name != "digest")
        return fail(bson::unknown_variant(name, {"recipe", "ref", "digest"}));

    if (d) {
        field = d->find(name);
        if (!field) return fail(bson::missing_field(name));
    }
    if (name == "recipe") {
        HALVO_TRY(auto r, halvo::Recipe::read(*field, StepContext::Gathered));
        return ImageSource{Recipe{std::move(r)}};
    }
    std::string text;
    HALVO_CHECK(codec::decode(*field, text));
    if (name == "ref") return ImageSource{Ref{std::move(text)}};
    return ImageSource{Digest{std::move(text)}};
}

std::string ImageEntry::debug() const {
    return codec::DebugStruct("ImageEntry").field("digest", quoted(digest)).field("refs", quoted_list(refs)).finish();
}

Status ImageEntry::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    w.add_string("digest", digest);
    if (!refs.empty()) codec::encode(w, "refs", refs);
    w.end();
    return {};
}

BsonResult<ImageEntry> ImageEntry::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"digest", true}, {"refs", false}};
    ImageEntry e;
    HALVO_CHECK(codec::read_record(v, "ImageEntry", fields, [&](size_t i, const bson::Value& x) {
        return i == 0 ? codec::decode(x, e.digest) : codec::decode(x, e.refs);
    }));
    return e;
}

std::string ImageEntries::debug() const {
    return codec::DebugStruct("ImageEntries").field("images", codec::show(images)).finish();
}

Status ImageEntries::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    w.begin_array("images");
    for (const auto& e : images) {
        HALVO_CHECK(e.write(w, {}));
    }
    w.end();
    w.end();
    return {};
}

BsonResult<ImageEntries> ImageEntries::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"images", true}};
    ImageEntries e;
    HALVO_CHECK(codec::read_record(v, "ImageEntries", fields,
                                   [&](size_t, const bson::Value& x) { return codec::decode(x, e.images); }));
    return e;
}

}  // namespace halvo
