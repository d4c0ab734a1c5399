#include "module/filesystems.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "fs/directory.hpp"
#include "fs/mount/impl/fuse_t.hpp"
#include "fs/mount/support.hpp"
#include "base/pathx.hpp"
#include "py/once.hpp"
#include "py/py.hpp"
#include "py/state.hpp"
#include "base/quote.hpp"
#include "rt/runtime.hpp"

namespace halvo::module::fs {

namespace {

using halvo::fs::Directory;
using halvo::fs::mount::impl::FuseTMount;
using halvo::fs::mount::impl::Shared;
namespace mnt = halvo::fs::mount;
using py::Ref;
using py::ScriptError;

const char kTaken[] = "this Directory has been mounted, and the mount owns it now";

// The script's Directory: the tree until a HostMount takes it.
using DirectoryObject = py::Once<std::unique_ptr<Directory>>;

void or_raise(IoResult<void> r) {
    if (!r) py::raise_io(r.error());
}

DirectoryObject new_directory() { return DirectoryObject(std::make_unique<Directory>()); }

void add_file(DirectoryObject& d, std::filesystem::path path, py::Content content) {
    or_raise(d.with(kTaken, [&](auto& tree) { return tree->add_file(path.native(), content.view()); }));
}

void remove_file(DirectoryObject& d, std::filesystem::path path) {
    or_raise(d.with(kTaken, [&](auto& tree) { return tree->remove_file(path.native()); }));
}

void mount(DirectoryObject& d, std::filesystem::path path, std::filesystem::path host_dir) {
    or_raise(d.with(kTaken, [&](auto& tree) { return tree->mount(path.native(), host_dir.native()); }));
}

void unmount(DirectoryObject& d, std::filesystem::path path) {
    or_raise(d.with(kTaken, [&](auto& tree) { return tree->unmount(path.native()); }));
}

PyTypeObject* define_directory() {
    py::ClassSpec spec{.name = "halvo.Directory"};
    py::constructor<DirectoryObject,
                    "Directory()\n--\n\n"
                    "A tree assembled in place. Mounting it with `HostMount` takes it: the mount owns the tree,\n"
                    "and this `Directory` is empty afterwards and refuses further use.",
                    &new_directory>(spec);
    spec.methods = {
        py::method<"add_file($self, path, content)\n--\n\n"
                   "Put a file at `path` in the tree holding `content`: bytes, a bytearray, a sequence of\n"
                   "ints 0 to 255, or a str stored as UTF-8.",
                   &add_file>(),
        py::method<"with_file($self, path, content)\n--\n\n"
                   "As `add_file`, returning this same `Directory` so calls chain.",
                   py::chained<&add_file>>(),
        py::method<"remove_file($self, path)\n--\n\nTake the file at `path` out of the tree.", &remove_file>(),
        py::method<"mount($self, path, host_dir)\n--\n\nPlace the host folder `host_dir` in the tree at `path`.", &mount>(),
        py::method<"with_mount($self, path, host_dir)\n--\n\n"
                   "As `mount`, returning this same `Directory` so calls chain.",
                   py::chained<&mount>>(),
        py::method<"unmount($self, path)\n--\n\nTake the host folder placed at `path` out of the tree.", &unmount>(),
    };
    return py::Class<DirectoryObject>::define(std::move(spec));
}

// HostMount: its share of the live mount.
struct HostMountObject {
    std::shared_ptr<Shared> shared;

    explicit HostMountObject(std::shared_ptr<Shared> s) : shared(std::move(s)) {}
    HostMountObject(HostMountObject&&) = default;
    // Destroyed only by the object's dealloc, with the GIL held. The last
    // share takes the mount down, which may take seconds: other script
    // threads run meanwhile.
    ~HostMountObject() {
        if (!shared) return;
        py::NoGil nogil;
        shared.reset();
    }
};

// The fs argument of HostMount: exactly a Directory, held by the caller.
struct DirectoryArg {
    PyObject* object;
};

}  // namespace
}  // namespace halvo::module::fs

namespace halvo::py {
template <>
struct FromPython<module::fs::DirectoryArg> {
    static module::fs::DirectoryArg convert(PyObject* o) {
        Class<module::fs::DirectoryObject>::get(o);
        return {o};
    }
};
}  // namespace halvo::py

namespace halvo::module::fs {

namespace {

HostMountObject new_host_mount(DirectoryArg fs, std::filesystem::path mountpoint) {
    std::unique_ptr<Directory> tree = py::Class<DirectoryObject>::value(fs.object).take(kTaken);
    auto live = [&] {
        py::NoGil nogil;
        return FuseTMount::mount(std::move(tree), std::move(mountpoint).native());
    }();
    if (!live) py::raise_io(live.error());
    auto shared = std::make_shared<Shared>(std::move(live).value());
    return HostMountObject(std::move(shared));
}

// Dropped on the blocking pool, so a task that holds the last share never
// runs the tear-down on a runtime worker.
struct Share {
    std::shared_ptr<Shared> shared;
    explicit Share(std::shared_ptr<Shared> s) : shared(std::move(s)) {}
    Share(Share&&) = default;
    ~Share() {
        if (shared) rt::blocking([s = std::move(shared)] {});
    }
};

asio::awaitable<Result<void, ScriptError>> take_down(Share share) {
    auto live = share.shared->take();
    if (!live) co_return Result<void, ScriptError>();
    // A named job: gcc 12 destroys a temporary passed to a coroutine inside
    // co_await twice.
    auto job = [m = std::move(live)]() mutable { m.reset(); };
    try {
        // Cancelling stops only this wait: the tear-down runs to its end.
        co_await rt::run_blocking(std::move(job));
    } catch (const asio::system_error& e) {
        if (e.code() == asio::error::operation_aborted) throw;
        co_return fail(ScriptError::runtime(std::string("unmounting panicked: ") + e.what()));
    } catch (const std::exception& e) {
        co_return fail(ScriptError::runtime(std::string("unmounting panicked: ") + e.what()));
    }
    co_return Result<void, ScriptError>();
}

Ref unmount_host(HostMountObject& h) { return py::awaitable(take_down(Share(h.shared))); }

// A new pathlib.Path each read; pathlib is imported on the first.
Ref mountpoint_of(const HostMountObject& h) {
    const std::string mp = h.shared->mountpoint();
    auto text = py::check(PyUnicode_DecodeFSDefaultAndSize(mp.data(), static_cast<Py_ssize_t>(mp.size())));
    return py::call(py::library().path, text.get());
}

std::string repr_of(const HostMountObject& h) { return "HostMount(" + halvo::quoted(h.shared->mountpoint()) + ")"; }

PyTypeObject* define_host_mount() {
    py::ClassSpec spec{.name = "halvo.HostMount"};
    py::constructor<HostMountObject,
                    "HostMount(fs, mountpoint)\n--\n\n"
                    "A tree mounted on this host until `unmount()` or until nothing holds it.\n\n"
                    "A console builder shares it rather than taking it, so without `unmount()` it comes down\n"
                    "when the last holder lets go: the console's copy with the console, this one with garbage\n"
                    "collection.",
                    &new_host_mount>(spec);
    spec.methods = {
        py::method<"unmount($self)\n--\n\n"
                   "Take the mount down now, whatever consoles still hold it, and resolve once it is down.\n\n"
                   "Consoles it was handed to are left with an unmounted mount point, so call this after\n"
                   "closing them. A repeat call resolves at once.",
                   &unmount_host>(),
    };
    spec.getters = {py::getter<HostMountObject, "mountpoint", &mountpoint_of>("The mount point, as it was given.")};
    spec.repr = &py::of_value<HostMountObject, &repr_of>;
    return py::Class<HostMountObject>::define(std::move(spec));
}

void check_support() { or_raise(mnt::support::mount_support()); }

// Made absolute by its text alone: "." and repeated separators go, ".."
// and a trailing "/" stay, and so does a leading "//" (exactly two).
IoResult<std::string> absolute(const std::string& p) {
    if (p.empty()) return fail(IoError(ErrorKind::InvalidInput, "cannot make an empty path absolute"));
    std::string out;
    if (!pathx::is_absolute(p)) {
        std::error_code ec;
        out = std::filesystem::current_path(ec).native();
        if (ec) return fail(IoError::os(ec.value()));
    } else {
        out = p.starts_with("//") && !p.starts_with("///") ? "//" : "/";
    }
    for (auto c : pathx::components(p)) out = pathx::join(out, c);
    if (p.back() == '/' && out.back() != '/') out += '/';
    return out;
}

// A box of its own around a share, as the console keeps each mount boxed.
class ShareMount final : public mnt::Mount {
public:
    explicit ShareMount(std::shared_ptr<Shared> s) : shared_(std::move(s)) {}
    std::string mountpoint() const override { return shared_->mountpoint(); }

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace

IoResult<std::unique_ptr<mnt::Mount>> MountLike::into_mount() && {
    if (auto* shared = std::get_if<std::shared_ptr<Shared>>(&value))
        return std::unique_ptr<mnt::Mount>(new ShareMount(std::move(*shared)));
    HALVO_TRY(auto path, absolute(std::get<std::filesystem::path>(value).native()));
    return std::unique_ptr<mnt::Mount>(new mnt::PathMount(std::move(path)));
}

namespace {
// At the very end of the interpreter, mounts still up (with a daemon thread
// alive their holders are never collected) come down before the process.
void take_down_mounts() { mnt::impl::take_down_all(); }
}  // namespace

void register_in(PyObject* module) {
    static bool once = false;  // the GIL guards it; a second module object adds nothing
    if (!once) once = Py_AtExit(&take_down_mounts) == 0;
    py::add_type(module, define_directory());
    py::add_type(module, define_host_mount());
    py::add_function(module, py::function<"mount_support()\n--\n\n"
                                          "Raise `OSError`, saying what to install, if this host cannot mount.\n\n"
                                          "`HostMount` checks the same before mounting; this lets a caller find out "
                                          "ahead. halvo\nstill imports without libfuse 2 or `/dev/fuse`: only "
                                          "mounting fails. A FUSE device that\nthis user may not open raises "
                                          "`PermissionError` naming it.",
                                          &check_support>());
}

}  // namespace halvo::module::fs

namespace halvo::py {

module::fs::MountLike FromPython<module::fs::MountLike>::convert(PyObject* o) {
    if (Class<module::fs::HostMountObject>::is(o)) return {Class<module::fs::HostMountObject>::value(o).shared};
    return {to_path(o)};
}

}  // namespace halvo::py
