#include "module/images.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "image/dockerfile.hpp"
#include "module/direct.hpp"
#include "module/errors.hpp"
#include "image/client.hpp"
#include "protocol/message/call/build_image.hpp"
#include "py/handle.hpp"
#include "py/py.hpp"
#include "base/quote.hpp"
#include "rt/runtime.hpp"

namespace halvo::py {

module::image::StepLike FromPython<module::image::StepLike>::convert(PyObject* o) {
    if (Class<Step>::is(o)) return {Class<Step>::value(o)};
    if (PyUnicode_Check(o)) return {Step{Step::Run{to_text(o)}}};
    raise(PyExc_TypeError, "expected Step or str, got " + type_name(o));
}

module::image::ImageSourceLike FromPython<module::image::ImageSourceLike>::convert(PyObject* o) {
    if (Class<ImageSource>::is(o)) return {Class<ImageSource>::value(o)};
    if (Class<Recipe>::is(o)) return {ImageSource{ImageSource::Recipe{Class<Recipe>::value(o)}}};
    raise(PyExc_TypeError, "expected ImageSource or Recipe, got " + type_name(o));
}

}  // namespace halvo::py

namespace halvo::module::image {

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
    py::ClassSpec spec{.name = "halvo.Step",
                       .doc = "One step of a `Recipe`, made by `run`, `copy`, `env` or `workdir`; `str()` gives its\n"
                              "text, as a Dockerfile writes it."};
    spec.methods = {
        py::static_method<"run(cmd)\n--\n\nA step that runs the command `cmd` with the image's shell.",
                          &step_run>(),
        py::static_method<"copy(src, dst)\n--\n\nA step that copies the host path `src` to `dst` in the image.",
                          &step_copy>(),
        py::static_method<"env(key, value)\n--\n\nA step that sets the environment variable `key` to `value`.", &step_env>(),
        py::static_method<"workdir(dir)\n--\n\n"
                          "A step that makes `dir` the working folder of the steps after it and of the image.", &step_workdir>(),
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
    if (!r) error::from_chain(r.error()).raise();
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
    py::constructor<Recipe,
                    "Recipe(base, steps=())\n--\n\n"
                    "An image to build: the base image `base`, then `steps` in order, each a `Step` or a str\n"
                    "run as a command. A value: `step` and `steps` return a new `Recipe`.",
                    &recipe_new>(spec);
    spec.methods = {
        py::static_method<"from_dockerfile(content)\n--\n\n"
                          "The `Recipe` of a one-stage Dockerfile's text; `HalvoError` names what it cannot take.",
                          &recipe_from_dockerfile>(),
        py::method<"step($self, step)\n--\n\nA new `Recipe`: this one with `step` (a `Step`, or a str to run) appended.",
                   &recipe_step>(),
        py::method<"steps($self, steps)\n--\n\nA new `Recipe`: this one with each of `steps` appended, in order.",
                   &recipe_steps>(),
    };
    spec.getters = {py::getter<Recipe, "base", &recipe_base>("The name of the base image.")};
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
    py::ClassSpec spec{.name = "halvo.ImageSource",
                       .doc = "The image a call acts on: a `Recipe`, a stored image's reference name or its digest."};
    spec.methods = {
        py::static_method<"reference(reference)\n--\n\nThe stored image that the reference name `reference` names.", &source_reference>(),
        py::static_method<"digest(digest)\n--\n\nThe stored image whose content digest is `digest`.", &source_digest>(),
        py::static_method<"recipe(recipe)\n--\n\nThe image that the `Recipe` `recipe` builds.", &source_recipe>(),
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
    py::ClassSpec spec{.name = "halvo.BuildImageResult",
                       .doc = "What `ImageClient.build` made: the image's reference name and digest."};
    spec.getters = {
        py::getter<BuildImageResp, "reference", &built_reference>("The reference name the server gave the image."),
        py::getter<BuildImageResp, "digest", &built_digest>("The image's content digest."),
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
    py::ClassSpec spec{.name = "halvo.ImageEntry",
                       .doc = "One stored image, as `ImageClient.list` answers: its digest and reference names."};
    spec.getters = {
        py::getter<ImageEntry, "digest", &entry_digest>("The image's content digest."),
        py::getter<ImageEntry, "refs", &entry_refs>("The reference names that name the image, in the server's order."),
    };
    spec.repr = &py::of_value<ImageEntry, &entry_repr>;
    py::Class<ImageEntry>::define(std::move(spec));
}

// ImageClient: the generic handle; close hands the server to a quit task
// that nobody waits for.

using Core = halvo::ImageClient;
using py::ScriptError;

struct ImagePolicy : ClientPolicy {
    static constexpr const char* kClosed = Core::kClosed.data();
    static constexpr const char* kEnded = "this image client was closed before the call was answered";
    // Dropping the client hangs up: its server gets quit from a task.
    static asio::awaitable<void> end(Core) { co_return; }
};
using ClientHandle = py::Handle<Core, ImagePolicy>;

asio::awaitable<Result<ClientHandle, ScriptError>> opened(Core::Outcome<Core> start) {
    auto r = co_await std::move(start);
    if (!r) co_return fail(error::failure(r.error()));
    co_return ClientHandle(std::move(r).value());
}

Ref client_try_new() { return py::awaitable(opened(Core::try_new())); }
Ref client_try_from_cmd(std::vector<std::string> cmd) { return py::awaitable(opened(Core::try_from_cmd(std::move(cmd)))); }

Ref client_version(ClientHandle& self) { return self.call(exchange_op<Core>(Core::version_exchange())); }

Ref client_build(ClientHandle& self, Recipe recipe, std::optional<std::string> reference) {
    return self.call(exchange_op<Core>(Core::build_exchange(std::move(recipe), std::move(reference))));
}

Ref client_list(ClientHandle& self) { return self.call(exchange_op<Core>(Core::list_exchange())); }

Ref client_remove(ClientHandle& self, ImageSourceLike image) {
    return self.call(exchange_op<Core>(Core::remove_exchange(std::move(image.source))));
}

Ref client_close(ClientHandle& self) { return self.close(); }
Ref client_aenter(PyObject* self) { return py::ready(self); }
Ref client_aexit(ClientHandle& self, Ref, Ref, Ref) { return self.close(); }

void define_image_client() {
    py::ClassSpec spec{.name = "halvo.ImageClient",
                       .doc = "A channel to an image server, made by `try_new` or `try_from_cmd`; its calls run one\n"
                              "at a time. `async with` closes it when the block ends."};
    spec.methods = {
        py::static_method<"try_new()\n--\n\n"
                          "Start `halvo-uvm` from halvo's cache `bin`; the awaitable resolves to the client.",
                          &client_try_new>(),
        py::static_method<"try_from_cmd(cmd)\n--\n\n"
                          "Start the server with the command line `cmd`, a list of str; the awaitable resolves to\n"
                          "the client once the server has answered a version call.",
                          &client_try_from_cmd>(),
        py::method<"version($self)\n--\n\nAsk the server for its version; the awaitable resolves to the text.", &client_version>(),
        py::method<"build($self, recipe, reference=None)\n--\n\n"
                   "Build `recipe`, named `reference` when given; the awaitable resolves to a\n"
                   "`BuildImageResult`.",
                   &client_build>(),
        py::method<"list($self)\n--\n\nThe stored images; the awaitable resolves to a list of `ImageEntry`.", &client_list>(),
        py::method<"remove($self, image)\n--\n\n"
                   "Remove the stored image that `image` (an `ImageSource` or a `Recipe`) names; without one\n"
                   "the server refuses with `UNKNOWN_IMAGE`.",
                   &client_remove>(),
        py::method<"close($self)\n--\n\nEnd the channel now. Closing twice is the same as closing once.",
                   &client_close>(),
        py::method<"__aenter__($self)\n--\n\nResolve to this client, for `async with`.", &client_aenter>(),
        py::method<"__aexit__($self, _exc_type, _exc, _tb)\n--\n\n"
                   "Close this client as `close` does; an exception leaving the block goes on.",
                   &client_aexit>(),
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

}  // namespace halvo::module::image
