// _halvo_test: awaitables and conversions of the binding layer, with no
// real operation behind them. Built for the tests only.
#include <Python.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "module/errors.hpp"
#include "py/py.hpp"
#include "py/state.hpp"
#include "rt/runtime.hpp"

namespace {

using namespace halvo;
using py::Ref;
using py::ScriptError;

// Operations that began, and that ran to their end.
std::atomic<int> g_started{0};
std::atomic<int> g_finished{0};

// A Python object carried through a task and handed back at delivery.
struct Held {
    py::DeferredRef obj;
};

}  // namespace

namespace halvo::py {
template <>
struct ToPython<Held> {
    static Ref convert(Held h) { return h.obj.take(); }
};
}  // namespace halvo::py

namespace {

asio::awaitable<Result<std::string, ScriptError>> sleep_then(uint64_t ms, std::string value) {
    ++g_started;
    co_await rt::sleep(std::chrono::milliseconds(ms));
    ++g_finished;
    co_return value;
}

Ref sleep(uint64_t ms, std::string value) { return py::awaitable(sleep_then(ms, std::move(value))); }

asio::awaitable<Result<Held, ScriptError>> hold_then(uint64_t ms, py::DeferredRef obj) {
    ++g_started;
    co_await rt::sleep(std::chrono::milliseconds(ms));
    ++g_finished;
    co_return Held{std::move(obj)};
}

Ref hold(uint64_t ms, Ref obj) { return py::awaitable(hold_then(ms, py::DeferredRef(std::move(obj)))); }

int started() { return g_started.load(); }
int finished() { return g_finished.load(); }

// links: outermost context first, the cause last.
Chain chain_of(const std::vector<std::string>& links) {
    if (links.empty()) throw std::invalid_argument("links must not be empty");
    Chain c(links.back());
    for (size_t i = links.size() - 1; i-- > 0;) c.add_context(links[i]);
    return c;
}

ScriptError error_of(const std::string& kind, const std::vector<std::string>& links, int64_t code) {
    using protocol::Failure;
    using protocol::message::Error;
    namespace error = module::error;
    if (kind == "refused") return error::failure(Failure::refused(Error::make(code, links.at(0))));
    if (kind == "broken") return error::failure(Failure::broken(chain_of(links)));
    if (kind == "chain") return error::from_chain(chain_of(links));
    if (kind == "chain_refused") {
        // links are contexts around a refusal whose message is the last link.
        Chain c = protocol::chain_of(Failure::refused(Error::make(code, links.back())));
        for (size_t i = links.size() - 1; i-- > 0;) c.add_context(links[i]);
        return error::from_chain(c);
    }
    if (kind == "io") return ScriptError::io(IoError::os(static_cast<int>(code)));
    if (kind == "value") return ScriptError::value(links.at(0));
    throw std::invalid_argument("unknown kind " + kind);
}

asio::awaitable<Result<std::monostate, ScriptError>> fail_later(ScriptError e) {
    ++g_started;
    co_await rt::sleep(std::chrono::milliseconds(1));
    co_return fail(std::move(e));
}

Ref fail_with(std::string kind, std::vector<std::string> links, std::optional<uint64_t> code) {
    // code is unsigned here; negative codes come as their two's complement.
    return py::awaitable(fail_later(error_of(kind, links, static_cast<int64_t>(code.value_or(0)))));
}

asio::awaitable<Result<int, ScriptError>> throw_later(std::string what) {
    ++g_started;
    co_await rt::sleep(std::chrono::milliseconds(1));
    if (what == "bad_alloc") throw std::bad_alloc();
    throw std::runtime_error(what);
}

Ref panic(std::string what) { return py::awaitable(throw_later(std::move(what))); }

void raise_io(uint64_t os_errno, std::optional<std::string> message) {
    if (message) py::raise_io(IoError(kind_of_errno(static_cast<int>(os_errno)), *message));
    py::raise_io(IoError::os(static_cast<int>(os_errno)));
}

std::string echo_text(std::string v) { return v; }
py::Bytes echo_path(std::filesystem::path v) {
    const std::string& s = v.native();
    return py::Bytes{{s.begin(), s.end()}};
}
std::vector<std::string> echo_list(std::vector<std::string> v) { return v; }
std::vector<std::filesystem::path> echo_paths(std::vector<std::filesystem::path> v) { return v; }
int echo_u8(uint8_t v) { return v; }
uint32_t echo_u32(uint32_t v) { return v; }
uint64_t echo_u64(uint64_t v) { return v; }
std::optional<uint64_t> echo_opt_u64(std::optional<uint64_t> v) { return v; }
bool echo_bool(bool v) { return v; }
py::Bytes echo_bytes(py::Bytes v) { return v; }

std::vector<Ref> params(Ref a, Ref b, std::optional<Ref> c, std::optional<Ref> d) {
    std::vector<Ref> out;
    out.push_back(std::move(a));
    out.push_back(std::move(b));
    out.push_back(c ? std::move(*c) : Ref::borrow(Py_None));
    out.push_back(d ? std::move(*d) : Ref::borrow(Py_None));
    return out;
}

// A value class with a constructor and value equality.
struct Value {
    std::string text;
    bool operator==(const Value&) const = default;
};
// A class without a constructor.
struct Opaque {
    int n = 0;
};

Value make_value(std::string text) { return Value{std::move(text)}; }
std::string value_text(const Value& v) { return v.text; }
std::string value_repr(const Value& v) { return "Value(" + v.text + ")"; }
Value with_text(Value& v, std::string text) { return Value{v.text + text}; }
Ref itself(PyObject* self) { return Ref::borrow(self); }
Ref aenter(PyObject* self) { return py::ready(self); }
Value shout(Value v) { return Value{v.text + "!"}; }
Opaque make_opaque() { return Opaque{7}; }
int opaque_n(const Opaque& o) { return o.n; }
std::string take_value(Value v) { return v.text; }

void register_classes(PyObject* module) {
    py::ClassSpec value{.name = "_halvo_test.Value"};
    py::constructor<Value, "Value(text)\n--\n\nA text value.", &make_value>(value);
    value.methods = {
        py::method<"with_text($self, text)\n--\n\n", &with_text>(),
        py::method<"itself($self)\n--\n\n", &itself>(),
        py::method<"__aenter__($self)\n--\n\n", &aenter>(),
        py::static_method<"shout(value)\n--\n\n", &shout>(),
    };
    value.getters = {py::getter<Value, "text", &value_text>()};
    value.repr = &py::of_value<Value, &value_repr>;
    value.compare = &py::eq_only<Value>;
    py::add_type(module, py::Class<Value>::define(std::move(value)));

    py::ClassSpec opaque{.name = "_halvo_test.Opaque"};
    opaque.getters = {py::getter<Opaque, "n", &opaque_n>()};
    py::add_type(module, py::Class<Opaque>::define(std::move(opaque)));
}


void register_test(PyObject* module) {
    // The exceptions are the real module's: adopt its types.
    auto halvo = py::check(PyImport_ImportModule("halvo"));
    auto get = [&](const char* name) { return py::check(PyObject_GetAttrString(halvo.get(), name)); };
    auto h = get("HalvoError"), r = get("ConsoleRefused"), b = get("ConsoleBroken");
    py::make_state().exceptions = {h.release(), r.release(), b.release()};

    for (const PyMethodDef& d : {
             py::function<"sleep(ms, value)\n--\n\nResolve to value after ms milliseconds.", &sleep>(),
             py::function<"hold(ms, obj)\n--\n\n", &hold>(),
             py::function<"started()\n--\n\n", &started>(),
             py::function<"finished()\n--\n\n", &finished>(),
             py::function<"fail(kind, links, code=None)\n--\n\n", &fail_with>(),
             py::function<"panic(what)\n--\n\n", &panic>(),
             py::function<"raise_io(errno, message=None)\n--\n\n", &raise_io>(),
             py::function<"echo_text(value)\n--\n\n", &echo_text>(),
             py::function<"echo_path(value)\n--\n\n", &echo_path>(),
             py::function<"echo_list(value)\n--\n\n", &echo_list>(),
             py::function<"echo_paths(value)\n--\n\n", &echo_paths>(),
             py::function<"echo_u8(value)\n--\n\n", &echo_u8>(),
             py::function<"echo_u32(value)\n--\n\n", &echo_u32>(),
             py::function<"echo_u64(value)\n--\n\n", &echo_u64>(),
             py::function<"echo_opt_u64(value=None)\n--\n\n", &echo_opt_u64>(),
             py::function<"echo_bool(value)\n--\n\n", &echo_bool>(),
             py::function<"echo_bytes(value)\n--\n\n", &echo_bytes>(),
             py::function<"params(a, b, c=None, d=None)\n--\n\nEcho the arguments as a list.", &params>(),
             py::function<"make_opaque()\n--\n\n", &make_opaque>(),
             py::function<"take_value(value)\n--\n\n", &take_value>(),
         })
        py::add_function(module, d);
    register_classes(module);
}

int exec_test(PyObject* module) { return py::exec_module(module, &register_test); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_test)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_halvo_test", "Test-only awaitables and conversions.", 0, nullptr, kSlots, nullptr,
    nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__halvo_test() { return PyModuleDef_Init(&kModule); }
