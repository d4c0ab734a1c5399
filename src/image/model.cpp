#include "image/model.hpp"

#include "base/quote.hpp"
#include "base/utf8.hpp"

namespace halvo::inline image {

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

// A host path: any bytes in memory, but only UTF-8 can be written.
struct HostPath : codec::Plain {
    Status write(bson::Writer& w, std::string_view key, const std::string& path) const {
        if (!utf8::valid(path)) return fail(bson::Error::serialize("path contains invalid UTF-8 characters"));
        w.add_string(key, path);
        return {};
    }
};

// The content of a copy or env step: two required texts, by key or, in an
// image source, by position.
constexpr auto kCopy = codec::table<Step::Copy>(
    "Copy",
    codec::required("src", &Step::Copy::src, HostPath{}),
    codec::required("dst", &Step::Copy::dst)).named_in_errors("variant Copy");

constexpr auto kEnv = codec::table<Step::Env>(
    "Env",
    codec::required("key", &Step::Env::key),
    codec::required("value", &Step::Env::value)).named_in_errors("variant Env");

Status known_format(const uint32_t& version) {
    if (version == 1) return {};
    return fail(bson::Error::decode("this image is written in format " + std::to_string(version) +
                                    ", and this halvo reads 1"));
}

Status has_base(const std::string& base) {
    if (!base.empty()) return {};
    return fail(bson::Error::decode("this image names no base, and there is no build without one"));
}

// Where the recipe is read from decides its steps' failure texts.
template <StepContext Where>
constexpr auto kRecipe = codec::table<Recipe>(
    "Recipe",
    codec::required("v", &Recipe::version, codec::Checked<known_format>{}).shown_as("version"),
    codec::required("base", &Recipe::base, codec::Checked<has_base>{}),
    codec::required("steps", &Recipe::steps, codec::List<codec::ReadIn<Where>>{}));

// Each image source's one field, which stands beside "type" and repeats
// its word.
constexpr auto kRecipeSource = codec::table<ImageSource::Recipe>(
    "Recipe", codec::required("recipe", &ImageSource::Recipe::recipe, codec::ReadIn<StepContext::Gathered>{}));
constexpr auto kRefSource =
    codec::table<ImageSource::Ref>("Ref", codec::required("ref", &ImageSource::Ref::reference).shown_as("reference"));
constexpr auto kDigestSource =
    codec::table<ImageSource::Digest>("Digest", codec::required("digest", &ImageSource::Digest::digest));

constexpr const auto& table_of(const ImageSource::Recipe&) { return kRecipeSource; }
constexpr const auto& table_of(const ImageSource::Ref&) { return kRefSource; }
constexpr const auto& table_of(const ImageSource::Digest&) { return kDigestSource; }

// In the order of ImageSource's alternatives.
constexpr std::string_view kSourceWords[] = {"recipe", "ref", "digest"};

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
    if (const auto* c = std::get_if<Copy>(&v)) return kCopy.debug(*c);
    if (const auto* e = std::get_if<Env>(&v)) return kEnv.debug(*e);
    return "Workdir(" + quoted(std::get<Workdir>(v).dir) + ")";
}

Status Step::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    Status s;
    if (const auto* r = std::get_if<Run>(&v))
        s = codec::encode(w, "run", r->command);
    else if (const auto* c = std::get_if<Copy>(&v))
        s = kCopy.write(w, "copy", *c);
    else if (const auto* e = std::get_if<Env>(&v))
        s = kEnv.write(w, "env", *e);
    else
        s = codec::encode(w, "workdir", std::get<Workdir>(v).dir);
    if (!s) return s;
    w.end();
    return {};
}

namespace {

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
        HALVO_TRY(auto c, kCopy.read(content));
        return Step{std::move(c)};
    }
    HALVO_TRY(auto e, kEnv.read(content));
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

std::string Recipe::debug() const { return kRecipe<StepContext::BuildImage>.debug(*this); }

Status Recipe::write(bson::Writer& w, std::string_view key) const {
    return kRecipe<StepContext::BuildImage>.write(w, key, *this);
}

BsonResult<Recipe> Recipe::read(const bson::Value& v, StepContext ctx) {
    if (ctx == StepContext::Gathered) return kRecipe<StepContext::Gathered>.read(v);
    return kRecipe<StepContext::BuildImage>.read(v);
}

std::string ImageSource::debug() const {
    return std::visit([](const auto& s) { return table_of(s).debug(s); }, v);
}

Status ImageSource::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    w.add_string("type", kSourceWords[v.index()]);
    HALVO_CHECK(std::visit([&](const auto& s) { return table_of(s).write_entries(w, s); }, v));
    w.end();
    return {};
}

namespace {

template <class Table>
BsonResult<ImageSource> read_source(const Table& table, const bson::Value& fields) {
    HALVO_TRY(auto s, table.read(fields));
    return ImageSource{std::move(s)};
}

}  // namespace

BsonResult<ImageSource> ImageSource::read(const bson::Value& v) {
    constexpr std::string_view kName = "internally tagged enum ImageSource";
    const bson::Value* type = nullptr;
    const auto* d = v.get<bson::Document>();
    const auto* a = v.get<bson::Array>();
    // The variant's field is read from the same document, "type" skipped
    // with any other key, or from the array's second element.
    bson::Value by_position;
    if (d) {
        type = d->find("type");
        if (!type) return fail(bson::missing_field("type"));
    } else if (a) {
        if (a->size() < 2) return fail(bson::invalid_length(a->size(), std::string(kName) + " with 2 elements"));
        type = &a->items()[0];
        by_position = bson::Array({a->items()[1]});
    } else {
        return fail(bson::invalid_type(v, kName));
    }
    const bson::Value& fields = d ? v : by_position;

    std::string name;
    if (const auto* s = type->get<std::string>())
        name = *s;
    else if (const auto* b = type->get<bson::Binary>(); b && b->subtype == 0)
        name = utf8::lossy(b->bytes.view());
    else
        return fail(bson::invalid_type(*type, "variant identifier"));
    if (name == kSourceWords[0]) return read_source(kRecipeSource, fields);
    if (name == kSourceWords[1]) return read_source(kRefSource, fields);
    if (name == kSourceWords[2]) return read_source(kDigestSource, fields);
    return fail(bson::unknown_variant(name, {kSourceWords[0], kSourceWords[1], kSourceWords[2]}));
}

HALVO_RECORD_TABLE(ImageEntry, codec::required("digest", &ImageEntry::digest), codec::optional("refs", &ImageEntry::refs))
HALVO_RECORD_TABLE(ImageEntries, codec::required("images", &ImageEntries::images))

}  // namespace halvo::image
