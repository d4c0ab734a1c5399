#include "image.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dockerfile.hpp"
#include "error.hpp"
#include "image_client.hpp"
#include "protocol/message/call/build_image.hpp"
#include "py/py.hpp"
#include "quote.hpp"
#include "rt/runtime.hpp"

namespace halvo::py {

image::StepLike FromPython<image::StepLike>::convert(PyObject* o) {
    if (Class<Step>::is(o)) return {Class<Step>::value(o)};
    if (PyUnicode_Check(o)) return {Step{Step::Run{to_text(o)}}};
    raise(PyExc_TypeError, "expected Step or str, got " + type_name(o));
}

image::ImageSourceLike FromPython<image::ImageSourceLike>::convert(PyObject* o) {
    if (Class<ImageSource>::is(o)) return {Class<ImageSource>::value(o)};
    if (Class<Recipe>::is(o)) return {ImageSource{ImageSource::Recipe{Class<Recipe>::value(o)}}};
    raise(PyExc_TypeError, "expected ImageSource or Recipe, got " + type_name(o));
}

}  // namespace halvo::py

namespace halvo::image {

namespace {

using BuildImageResp = protocol::message::call::BuildImageResp;
using py::Ref;

// Step

Step step_run(std::string cmd) { return Step{Step::Run{std::move(cmd)}}; }
Step step_copy(std::filesystem::path src, std::string dst) {
    return Step{Step::Copy{src.native(), std::move(dst)}};
}
Step step_env(std::string key, std::string value) { return Step{Step::Env{std::move(key), std::move(value)}}; }
Step step_workdir(std::string dir) { return Step{Step::Workdir{std::move(dir)}}; }

std::string step_str(const Step& s) { return s.text(); }
std::string step_repr(const Step& s) { return "Step(" + s.text() + ")"; }

void define_step() {
    py::ClassSpec spec{.name = "halvo.Step"};
    spec.methods = {
        py::static_method<"run(cmd)\n--\n\n", &step_run>(),
        py::static_method<"copy(src, dst)\n--\n\n", &step_copy>(),
        py::static_method<"env(key, value)\n--\n\n", &step_env>(),
        py::static_method<"workdir(dir)\n--\n\n", &step_workdir>(),
    };
    spec.str = &py::of_value<Step, &step_str>;
    spec.repr = &py::of_value<Step, &step_repr>;
    spec.compare = &py::eq_only<Step>;
    py::Class<Step>::define(std::move(spec));
}

// Recipe

void append(Recipe& r, std::vector<StepLike> steps) {
    for (StepLike& s : steps) r.steps.push_back(std::move(s.step));
}

Recipe recipe_new(std::string base, std::optional<std::vector<StepLike>> steps) {
    Recipe r{.version = 1, .base = std::move(base), .steps = {}};
    if (steps) append(r, std::move(*steps));
    return r;
}

Recipe recipe_from_dockerfile(std::string content) {
    auto r = dockerfile::translate(content);
    if (!r) py::raise(error::from_chain(std::move(r).error()));
    return std::move(r).value();
}

Recipe recipe_step(const Recipe& self, StepLike step) {
    Recipe r = self;
    r.steps.push_back(std::move(step.step));
    return r;
}

Recipe recipe_steps(const Recipe& self, std::vector<StepLike> steps) {
    Recipe r = self;
    append(r, std::move(steps));
    return r;
}

std::string recipe_base(const Recipe& r) { return r.base; }

std::string recipe_repr(const Recipe& r) {
    std::vector<std::string> texts;
    for (const Step& s : r.steps) texts.push_back(s.text());
    return "Recipe(base=" + halvo::quoted(r.base) + ", steps=" + quoted_list(texts) + ")";
}

void define_recipe() {
    py::ClassSpec spec{.name = "halvo.Recipe"};
    py::constructor<Recipe, "Recipe(base, steps=...)\n--\n\n", &recipe_new>(spec);
    spec.methods = {
        py::static_method<"from_dockerfile(content)\n--\n\n", &recipe_from_dockerfile>(),
        py::method<"step($self, step)\n--\n\n", &recipe_step>(),
        py::method<"steps($self, steps)\n--\n\n", &recipe_steps>(),
    };
    spec.getters = {py::getter<Recipe, "base", &recipe_base>()};
    spec.repr = &py::of_value<Recipe, &recipe_repr>;
    spec.compare = &py::eq_only<Recipe>;
    py::Class<Recipe>::define(std::move(spec));
}

// ImageSource

ImageSource source_reference(std::string reference) { return ImageSource{ImageSource::Ref{std::move(reference)}}; }
ImageSource source_digest(std::string digest) { return ImageSource{ImageSource::Digest{std::move(digest)}}; }
ImageSource source_recipe(Recipe recipe) { return ImageSource{ImageSource::Recipe{std::move(recipe)}}; }

std::string source_repr(const ImageSource& s) {
    if (const auto* r = std::get_if<ImageSource::Ref>(&s.v)) return "ImageSource.reference(" + halvo::quoted(r->reference) + ")";
    if (const auto* d = std::get_if<ImageSource::Digest>(&s.v)) return "ImageSource.digest(" + halvo::quoted(d->digest) + ")";
    return "ImageSource.recipe(" + recipe_repr(std::get<ImageSource::Recipe>(s.v).recipe) + ")";
}

void define_image_source() {
    py::ClassSpec spec{.name = "halvo.ImageSource"};
    spec.methods = {
        py::static_method<"reference(reference)\n--\n\n", &source_reference>(),
        py::static_method<"digest(digest)\n--\n\n", &source_digest>(),
        py::static_method<"recipe(recipe)\n--\n\n", &source_recipe>(),
    };
    spec.repr = &py::of_value<ImageSource, &source_repr>;
    spec.compare = &py::eq_only<ImageSource>;
    py::Class<ImageSource>::define(std::move(spec));
}

// BuildImageResult and ImageEntry: results, compared by identity.

std::string built_reference(const BuildImageResp& b) { return b.reference; }
std::string built_digest(const BuildImageResp& b) { return b.digest; }
std::string built_repr(const BuildImageResp& b) {
    return "BuildImageResult(reference=" + halvo::quoted(b.reference) + ", digest=" + halvo::quoted(b.digest) + ")";
}

void define_build_result() {
    py::ClassSpec spec{.name = "halvo.BuildImageResult"};
    spec.getters = {
        py::getter<BuildImageResp, "reference", &built_reference>(),
        py::getter<BuildImageResp, "digest", &built_digest>(),
    };
    spec.repr = &py::of_value<BuildImageResp, &built_repr>;
    py::Class<BuildImageResp>::define(std::move(spec));
}

std::string entry_digest(const ImageEntry& e) { return e.digest; }
std::vector<std::string> entry_refs(const ImageEntry& e) { return e.refs; }
std::string entry_repr(const ImageEntry& e) {
    return "ImageEntry(digest=" + halvo::quoted(e.digest) + ", refs=" + quoted_list(e.refs) + ")";
}

void define_image_entry() {
    py::ClassSpec spec{.name = "halvo.ImageEntry"};
    spec.getters = {
        py::getter<ImageEntry, "digest", &entry_digest>(),
        py::getter<ImageEntry, "refs", &entry_refs>(),
    };
    spec.repr = &py::of_value<ImageEntry, &entry_repr>;
    py::Class<ImageEntry>::define(std::move(spec));
}

// ImageClient: a share of the core client behind an async mutex; the
// option is emptied by close.

using Core = halvo::ImageClient;
using Slot = rt::Locked<std::optional<Core>>;
using py::ScriptError;

constexpr char kClosed[] = "this image client has been closed";

struct ClientHandle {
    std::shared_ptr<Slot> shared;
    rt::Strand strand;  // every operation starts here, in call order

    explicit ClientHandle(Core core)
        : shared(std::make_shared<Slot>(std::in_place, std::move(core))), strand(rt::make_strand()) {}
    ClientHandle(ClientHandle&&) noexcept = default;
    ClientHandle& operator=(ClientHandle&&) = delete;
    // Collected without close: the runtime must be up before the last share
    // goes, so that the client's hang-up can send quit from a task. An
    // operation still in flight holds a share and releases it on the runtime.
    ~ClientHandle() {
        if (shared) rt::io();
    }
};

// Runs op on the open client, one operation at a time.
template <class T, class F>
asio::awaitable<Result<T, ScriptError>> with_open(std::shared_ptr<Slot> shared, F op) {
    auto guard = co_await shared->lock();
    if (!*guard) co_return fail(ScriptError::halvo(kClosed));
    auto r = co_await op(**guard);
    if (!r) co_return fail(ScriptError::failure(r.error()));
    if constexpr (std::is_void_v<T>)
        co_return Result<void, ScriptError>();
    else
        co_return std::move(r).value();
}

asio::awaitable<Result<ClientHandle, ScriptError>> opened(Core::Outcome<Core> start) {
    auto r = co_await std::move(start);
    if (!r) co_return fail(ScriptError::failure(r.error()));
    co_return ClientHandle(std::move(r).value());
}

// Waits for an operation in flight, then empties the option; the taken
// client's release hands its server to a quit task, which nobody waits for.
asio::awaitable<Result<void, ScriptError>> close_client(std::shared_ptr<Slot> shared) {
    std::optional<Core> taken;
    {
        auto guard = co_await shared->lock();
        taken.swap(*guard);
    }
    taken.reset();
    co_return Result<void, ScriptError>();
}

Ref client_try_new() { return py::awaitable(opened(Core::try_new())); }
Ref client_try_from_cmd(std::vector<std::string> cmd) { return py::awaitable(opened(Core::try_from_cmd(std::move(cmd)))); }

Ref client_version(ClientHandle& self) {
    return py::awaitable(with_open<std::string>(self.shared, [](Core& c) { return c.version(); }), &self.strand);
}

Ref client_build(ClientHandle& self, Recipe recipe, std::optional<std::string> reference) {
    return py::awaitable(with_open<BuildImageResp>(
        self.shared, [recipe = std::move(recipe), reference = std::move(reference)](Core& c) mutable {
            return c.build(std::move(recipe), std::move(reference));
        }),
        &self.strand);
}

Ref client_list(ClientHandle& self) {
    return py::awaitable(with_open<std::vector<ImageEntry>>(self.shared, [](Core& c) { return c.list(); }),
                         &self.strand);
}

Ref client_remove(ClientHandle& self, ImageSourceLike image) {
    return py::awaitable(with_open<void>(
        self.shared, [source = std::move(image.source)](Core& c) mutable { return c.remove(std::move(source)); }),
        &self.strand);
}

Ref client_close(ClientHandle& self) { return py::awaitable(close_client(self.shared), &self.strand); }
Ref client_aenter(PyObject* self) { return py::ready(self); }
Ref client_aexit(ClientHandle& self, Ref, Ref, Ref) { return client_close(self); }

void define_image_client() {
    py::ClassSpec spec{.name = "halvo.ImageClient"};
    spec.methods = {
        py::static_method<"try_new()\n--\n\n"
                          "Start `halvo-uvm` from halvo's cache `bin`; the awaitable resolves to the client.",
                          &client_try_new>(),
        py::static_method<"try_from_cmd(cmd)\n--\n\n", &client_try_from_cmd>(),
        py::method<"version($self)\n--\n\n", &client_version>(),
        py::method<"build($self, recipe, reference=None)\n--\n\n", &client_build>(),
        py::method<"list($self)\n--\n\n", &client_list>(),
        py::method<"remove($self, image)\n--\n\n", &client_remove>(),
        py::method<"close($self)\n--\n\nEnd the channel now. Closing twice is the same as closing once.",
                   &client_close>(),
        py::method<"__aenter__($self)\n--\n\n", &client_aenter>(),
        py::method<"__aexit__($self, _exc_type, _exc, _tb)\n--\n\n", &client_aexit>(),
    };
    py::Class<ClientHandle>::define(std::move(spec));
}

}  // namespace

void register_in(PyObject* module) {
    define_step();
    define_recipe();
    define_image_source();
    define_build_result();
    define_image_entry();
    define_image_client();
    py::add_type(module, py::Class<Step>::type());
    py::add_type(module, py::Class<Recipe>::type());
    py::add_type(module, py::Class<ImageSource>::type());
    py::add_type(module, py::Class<BuildImageResp>::type());
    py::add_type(module, py::Class<ImageEntry>::type());
    py::add_type(module, py::Class<ClientHandle>::type());
}

}  // namespace halvo::image
