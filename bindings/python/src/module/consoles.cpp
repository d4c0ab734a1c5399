#include "module/consoles.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "console/session.hpp"
#include "console/relay.hpp"
#include "module/direct.hpp"
#include "module/errors.hpp"
#include "module/filesystems.hpp"
#include "module/images.hpp"
#include "py/handle.hpp"
#include "py/once.hpp"
#include "py/py.hpp"

namespace halvo::module::console {
// The relay's frame: exactly a bytes object, copied.
struct RelayFrame {
    std::string bytes;
};
// ReadResult as the script holds it: the data made into bytes once, at the
// first `data`, which is that same object ever after. Not at delivery: the
// frame's body let go of while its copy lives costs a megabyte read fresh
// pages every time.
struct ReadResult {
    Blob data;
    uint64_t size;
    py::Ref bytes;  // data as bytes, once asked for
};
}  // namespace halvo::module::console

namespace halvo::py {

template <>
struct ToPython<protocol::message::call::ReadResp> {
    static Ref convert(protocol::message::call::ReadResp r) {
        return Class<module::console::ReadResult>::create({std::move(r.data), r.size, Ref()});
    }
};

template <>
struct FromPython<module::console::RelayFrame> {
    static module::console::RelayFrame convert(PyObject* o) {
        if (!PyBytes_Check(o)) raise(PyExc_TypeError, "expected bytes, got " + type_name(o));
        return {std::string(bytes_view(o))};
    }
};

}  // namespace halvo::py

namespace halvo::module::console {

namespace {

using Core = halvo::console::ConsoleClient;
using CoreBuilder = halvo::console::ConsoleClientBuilder;
namespace call = protocol::message::call;
using py::Ref;
using py::ScriptError;

// ExecResult and ReadResult: the records themselves, compared by identity.

// Each getter call of ExecResult makes a new bytes object, in one copy.
int32_t exec_code(const call::ExecResp& r) { return r.code; }
Blob exec_stdout(const call::ExecResp& r) { return r.stdout_bytes; }
Blob exec_stderr(const call::ExecResp& r) { return r.stderr_bytes; }
bool exec_truncated(const call::ExecResp& r) { return r.truncated; }
std::string exec_repr(const call::ExecResp& r) {
    return "ExecResult(code=" + std::to_string(r.code) + ", stdout=<" + std::to_string(r.stdout_bytes.size()) +
           " bytes>, stderr=<" + std::to_string(r.stderr_bytes.size()) +
           " bytes>, truncated=" + (r.truncated ? "True" : "False") + ")";
}

Ref read_data(ReadResult& r) {
    if (!r.bytes) r.bytes = py::to_python(r.data);
    return Ref::borrow(r.bytes.get());
}
uint64_t read_size(const ReadResult& r) { return r.size; }
std::string read_repr(const ReadResult& r) {
    return "ReadResult(data=<" + std::to_string(r.data.size()) + " bytes>, size=" + std::to_string(r.size) + ")";
}

PyTypeObject* define_exec_result() {
    py::ClassSpec spec{.name = "halvo.ExecResult",
                       .doc = "What a command run by `ConsoleClient.exec` ended with: its exit code and output."};
    spec.getters = {
        py::getter<call::ExecResp, "code", &exec_code>("The command's exit code."),
        py::getter<call::ExecResp, "stdout", &exec_stdout>("What the command wrote to its standard output."),
        py::getter<call::ExecResp, "stderr", &exec_stderr>("What the command wrote to its standard error."),
        py::getter<call::ExecResp, "truncated", &exec_truncated>("Whether the server cut the output short."),
    };
    spec.repr = &py::of_value<call::ExecResp, &exec_repr>;
    return py::Class<call::ExecResp>::define(std::move(spec));
}

PyTypeObject* define_read_result() {
    py::ClassSpec spec{.name = "halvo.ReadResult",
                       .doc = "What `ConsoleClient.read` read: the bytes and the size of the whole file."};
    spec.getters = {
        py::getter<ReadResult, "data", &read_data>("The bytes read."),
        py::getter<ReadResult, "size", &read_size>("The size of the whole file in bytes."),
    };
    spec.repr = &py::of_value<ReadResult, &read_repr>;
    return py::Class<ReadResult>::define(std::move(spec));
}

// ConsoleClient: the generic handle; close waits for the server to go and
// its mounts to be let go of.

struct ConsolePolicy : ClientPolicy {
    static constexpr const char* kClosed = Core::kClosed.data();
    static constexpr const char* kEnded = "this console was closed before the call was answered";
    static asio::awaitable<void> end(Core c) { co_await std::move(c).close(); }
};
using ConsoleHandle = py::Handle<Core, ConsolePolicy>;

struct ConsoleObject {
    ConsoleHandle handle;
    std::vector<std::string> mounts;  // the guest paths, kept after close
};

// ConsoleClientBuilder: the core builder, which each setter consumes and
// gives back, until build() takes it.
using BuilderObject = py::Once<CoreBuilder>;
constexpr char kBuilt[] = "this ConsoleClientBuilder has already been built";

// A setter: the builder taken, changed by f and put back.
template <class F>
void apply(BuilderObject& b, F f) {
    b.with(kBuilt, [&](CoreBuilder& core) { core = f(std::move(core)); });
}

BuilderObject new_builder() { return BuilderObject(Core::builder()); }

void set_cmd(BuilderObject& b, std::vector<std::string> cmd) {
    apply(b, [&](CoreBuilder c) { return std::move(c).cmd(std::move(cmd)); });
}

// Taken, then the mount made (a path made absolute now); a mount that cannot
// be made leaves the builder as it was.
void add_mount(BuilderObject& b, fs::MountLike mount, std::filesystem::path at, bool readonly) {
    b.with(kBuilt, [&](CoreBuilder& core) {
        auto m = std::move(mount).into_mount();
        if (!m) py::raise_io(m.error());
        core = readonly ? std::move(core).mount_readonly(std::move(m).value(), at.native())
                        : std::move(core).mount(std::move(m).value(), at.native());
    });
}
void set_mount(BuilderObject& b, fs::MountLike mount, std::filesystem::path at) {
    add_mount(b, std::move(mount), std::move(at), false);
}
void set_mount_readonly(BuilderObject& b, fs::MountLike mount, std::filesystem::path at) {
    add_mount(b, std::move(mount), std::move(at), true);
}

void set_image(BuilderObject& b, image::ImageSourceLike image) {
    apply(b, [&](CoreBuilder c) { return std::move(c).image(std::move(image.source)); });
}
void set_snapshot(BuilderObject& b, py::Bytes snapshot) {
    apply(b, [&](CoreBuilder c) { return std::move(c).snapshot(Blob(std::move(snapshot.data))); });
}
void set_network(BuilderObject& b, bool network) {
    apply(b, [&](CoreBuilder c) { return std::move(c).network(network); });
}

// Every text parsed before the builder is touched.
void set_ports(BuilderObject& b, std::vector<std::string> texts) {
    std::vector<call::Port> ports;
    for (const auto& t : texts) {
        auto p = call::Port::parse(t);
        if (!p) py::raise(PyExc_ValueError, p.error().text());
        ports.push_back(*p);
    }
    apply(b, [&](CoreBuilder c) { return std::move(c).ports(std::move(ports)); });
}

void set_vcpus(BuilderObject& b, uint8_t v) {
    apply(b, [&](CoreBuilder c) { return std::move(c).vcpus(v); });
}
void set_memory_mib(BuilderObject& b, uint32_t v) {
    apply(b, [&](CoreBuilder c) { return std::move(c).memory_mib(v); });
}
void set_gpu(BuilderObject& b, bool v) {
    apply(b, [&](CoreBuilder c) { return std::move(c).gpu(v); });
}
void set_gpu_memory_mib(BuilderObject& b, uint32_t v) {
    apply(b, [&](CoreBuilder c) { return std::move(c).gpu_memory_mib(v); });
}
void set_disk_gib(BuilderObject& b, uint32_t v) {
    apply(b, [&](CoreBuilder c) { return std::move(c).disk_gib(v); });
}

asio::awaitable<Result<ConsoleObject, ScriptError>> boot(asio::awaitable<ChainResult<Core>> building) {
    auto console = co_await std::move(building);
    if (!console) co_return fail(error::from_chain(console.error()));
    std::vector<std::string> mounts;
    for (std::string_view at : console->mounts()) mounts.emplace_back(at);
    co_return ConsoleObject{ConsoleHandle(std::move(console).value()), std::move(mounts)};
}

// Emptied first: with no running loop the builder is gone all the same.
// build() runs here, on the script's thread, which copies the environment
// the server will inherit as it is now.
Ref build(BuilderObject& b) { return py::awaitable(boot(b.take(kBuilt).build())); }

PyTypeObject* define_builder() {
    py::ClassSpec spec{.name = "halvo.ConsoleClientBuilder"};
    py::constructor<BuilderObject,
                    "ConsoleClientBuilder()\n--\n\n"
                    "A console's settings, changed in place: the builder inside is consumed by every call and\n"
                    "cannot be copied. `build()` empties it; every other method returns this same object.",
                    &new_builder>(spec);
    spec.methods = {
        py::method<"cmd($self, cmd)\n--\n\n"
                   "Start the console's server with the command line `cmd`, a list of str, in place of\n"
                   "`bin/halvo-uvm` of halvo's cache folder.",
                   py::chained<&set_cmd>>(),
        py::method<"mount($self, mount, at)\n--\n\n"
                   "Show `mount` in the console at the guest path `at`: a host folder's path, made absolute\n"
                   "now, or a `HostMount`, which the console then shares.",
                   py::chained<&set_mount>>(),
        py::method<"mount_readonly($self, mount, at)\n--\n\nAs `mount`, read-only in the console.",
                   py::chained<&set_mount_readonly>>(),
        py::method<"image($self, image)\n--\n\nBoot from `image`: an `ImageSource` or a `Recipe`.",
                   py::chained<&set_image>>(),
        py::method<"snapshot($self, snapshot)\n--\n\n"
                   "Resume from `snapshot`, the bytes that `ConsoleClient.snapshot()` gave.",
                   py::chained<&set_snapshot>>(),
        py::method<"network($self, network)\n--\n\nWhether the console has a network; it has one unless this says False.",
                   py::chained<&set_network>>(),
        py::method<"ports($self, ports)\n--\n\n"
                   "Ports on the server's machine that lead into the session, written the way docker's `-p`\n"
                   "writes them, host port first: 8080:80.",
                   py::chained<&set_ports>>(),
        py::method<"vcpus($self, vcpus)\n--\n\nThe number of virtual CPUs, 0 to 255.", py::chained<&set_vcpus>>(),
        py::method<"memory_mib($self, memory_mib)\n--\n\nThe console's memory in MiB.", py::chained<&set_memory_mib>>(),
        py::method<"gpu($self, gpu)\n--\n\nWhether the console has a GPU.", py::chained<&set_gpu>>(),
        py::method<"gpu_memory_mib($self, gpu_memory_mib)\n--\n\nThe GPU's memory in MiB.",
                   py::chained<&set_gpu_memory_mib>>(),
        py::method<"disk_gib($self, disk_gib)\n--\n\nThe size of the console's disk in GiB.", py::chained<&set_disk_gib>>(),
        py::method<"build($self)\n--\n\n"
                   "Announce the session to the server; the awaitable resolves to the resulting\n"
                   "`ConsoleClient`.",
                   &build>(),
    };
    return py::Class<BuilderObject>::define(std::move(spec));
}

// ConsoleClient

BuilderObject console_builder() { return new_builder(); }

std::vector<std::string> console_mounts(const ConsoleObject& c) { return c.mounts; }

template <class F>
Ref notify(ConsoleObject& self, F send) {
    return self.handle.run([send](Core& c) -> asio::awaitable<Result<void, ScriptError>> {
        auto sent = co_await send(c);
        co_return error::scripted(std::move(sent));
    });
}

Ref console_start(ConsoleObject& self) {
    return notify(self, [](Core& c) { return c.start(); });
}
Ref console_stop(ConsoleObject& self) {
    return notify(self, [](Core& c) { return c.stop(); });
}

Ref console_exec(ConsoleObject& self, std::vector<std::string> cmd, std::optional<uint64_t> timeout_ms) {
    return self.handle.call(exchange_op<Core>(Core::exec_exchange(std::move(cmd), timeout_ms)));
}

Ref console_read(ConsoleObject& self, std::string path, std::optional<uint64_t> offset, std::optional<uint64_t> len) {
    return self.handle.call(exchange_op<Core>(Core::read_exchange(std::move(path), offset, len)));
}

Ref console_write(ConsoleObject& self, std::string path, py::Content data, std::optional<uint64_t> offset) {
    return self.handle.call(exchange_op<Core>(Core::write_exchange(std::move(path), std::move(data.data), offset)));
}

// A blob reaches the script as bytes.
Ref console_snapshot(ConsoleObject& self) { return self.handle.call(exchange_op<Core>(Core::snapshot_exchange())); }

// reply's two arguments: the answer, or the reason it has none.
using Reply = std::tuple<std::optional<Blob>, std::optional<std::string>>;

asio::awaitable<Reply> relay_frame(Core* core, std::string frame) {
    if (!core) co_return Reply{std::nullopt, std::string(ConsolePolicy::kClosed)};
    auto answered = co_await core->relay(std::move(frame));
    if (!answered) co_return Reply{std::nullopt, halvo::console::relay::reason(answered.error())};
    co_return Reply{Blob(std::move(answered).value()), std::nullopt};
}

// Its lock goes before reply runs, so reply may start operations of its own.
void console_relay(ConsoleObject& self, RelayFrame frame, Ref reply) {
    self.handle.later(std::move(reply), [frame = std::move(frame.bytes)](Core* core) mutable {
        return relay_frame(core, std::move(frame));
    });
}

Ref console_close(ConsoleObject& self) { return self.handle.close(); }
Ref console_aenter(PyObject* self) { return py::ready(self); }
Ref console_aexit(ConsoleObject& self, Ref, Ref, Ref) { return self.handle.close(); }

PyTypeObject* define_console() {
    py::ClassSpec spec{.name = "halvo.ConsoleClient",
                       .doc = "A booted console, made by `ConsoleClientBuilder.build()`; its calls run one at a time.\n"
                              "`async with` closes it when the block ends."};
    spec.methods = {
        py::static_method<"builder()\n--\n\nA new `ConsoleClientBuilder`, as `ConsoleClientBuilder()` makes.", &console_builder>(),
        py::method<"start($self)\n--\n\nTell the server to start the console; the awaitable resolves once it is told.",
                   &console_start>(),
        py::method<"stop($self)\n--\n\nTell the server to stop the console; the awaitable resolves once it is told.",
                   &console_stop>(),
        py::method<"exec($self, cmd, timeout_ms=None)\n--\n\n"
                   "Run the command line `cmd`, a list of str, in the console; the awaitable resolves to an\n"
                   "`ExecResult`.\n"
                   "\n"
                   "The server ends a command that runs longer than `timeout_ms` milliseconds, and the call\n"
                   "raises `ConsoleRefused` with the code `TIMED_OUT`. Cancelling the awaitable leaves the\n"
                   "command running.",
                   &console_exec>(),
        py::method<"read($self, path, offset=None, len=None)\n--\n\n"
                   "Read the console's file `path`, from `offset` on and at most `len` bytes; the awaitable\n"
                   "resolves to a `ReadResult`.",
                   &console_read>(),
        py::method<"write($self, path, data, offset=None)\n--\n\n"
                   "Put `data` in a file, answering with the file's size afterwards.\n"
                   "\n"
                   "Without `offset` the file is replaced: it holds `data` alone afterwards. With one, `data`\n"
                   "is written in place from that byte on, and the rest of the file stays. Either way a\n"
                   "missing file is made. `data` is bytes, a bytearray, a sequence of ints 0 to 255, or a str\n"
                   "sent as UTF-8.",
                   &console_write>(),
        py::method<"snapshot($self)\n--\n\n"
                   "Take a snapshot of the console; the awaitable resolves to its bytes, which\n"
                   "`ConsoleClientBuilder.snapshot` boots another console from.",
                   &console_snapshot>(),
        py::method<"_relay($self, frame, reply)\n--\n\n"
                   "Answer one protocol frame on this console's channel, for an extension that drives this\n"
                   "session as a console of its own (see `halvo::console::Relay`); not for Python callers.\n"
                   "\n"
                   "Runs on this module's runtime, then calls `reply(answer, None)` with the answer frame,\n"
                   "or `reply(None, reason)` when the channel is broken or this console closed. A callback\n"
                   "rather than an awaitable, so the caller needs no event loop: it may be a thread of\n"
                   "another extension's runtime.",
                   &console_relay>(),
        py::method<"close($self)\n--\n\n"
                   "End the session and resolve once the server is gone and its mounts are let go of.\n"
                   "Closing twice is the same as closing once.\n"
                   "\n"
                   "A garbage-collected console ends on a task nothing waits for, so a program exiting right\n"
                   "after may leave its mounts up; close it, or use `async with`, when they must be down.\n"
                   "\n"
                   "A server still busy gets up to 10 seconds to quit, the time a real server needs to shut\n"
                   "its VM down cleanly, and is killed after it. Under `asyncio.run` the first Ctrl-C cancels\n"
                   "the script, whose `async with` then closes its consoles; a second Ctrl-C during that wait\n"
                   "ends the script at once.",
                   &console_close>(),
        py::method<"__aenter__($self)\n--\n\nResolve to this console, for `async with`.", &console_aenter>(),
        py::method<"__aexit__($self, _exc_type, _exc, _tb)\n--\n\n"
                   "Close this console as `close` does; an exception leaving the block goes on.",
                   &console_aexit>(),
    };
    spec.getters = {py::getter<ConsoleObject, "mounts", &console_mounts>(
        "The guest path of each mount, in the order they were given; kept after `close`.")};
    return py::Class<ConsoleObject>::define(std::move(spec));
}

}  // namespace

void register_in(PyObject* module) {
    py::add_type(module, define_builder());
    py::add_type(module, define_console());
    py::add_type(module, define_exec_result());
    py::add_type(module, define_read_result());
}

}  // namespace halvo::module::console
