#include "fs.hpp"

#include <filesystem>
#include <memory>
#include <string>

#include "fs/directory.hpp"
#include "py/py.hpp"

namespace halvo::fs {

namespace {

using py::Ref;

const char kTaken[] = "this Directory has been mounted, and the mount owns it now";

// The script's Directory: the tree until a HostMount takes it.
struct DirectoryObject {
    std::unique_ptr<Directory> tree;
};

Directory& tree_of(DirectoryObject& d) {
    if (!d.tree) py::raise(PyExc_ValueError, kTaken);
    return *d.tree;
}

void or_raise(IoResult<void> r) {
    if (!r) py::raise_io(r.error());
}

DirectoryObject new_directory() { return DirectoryObject{std::make_unique<Directory>()}; }

void add_file(DirectoryObject& d, std::filesystem::path path, py::Content content) {
    or_raise(tree_of(d).add_file(path.native(), content.view()));
}

Ref with_file(PyObject* self, std::filesystem::path path, py::Content content) {
    add_file(py::Class<DirectoryObject>::value(self), std::move(path), std::move(content));
    return Ref::borrow(self);
}

void remove_file(DirectoryObject& d, std::filesystem::path path) { or_raise(tree_of(d).remove_file(path.native())); }

void mount(DirectoryObject& d, std::filesystem::path path, std::filesystem::path host_dir) {
    or_raise(tree_of(d).mount(path.native(), host_dir.native()));
}

Ref with_mount(PyObject* self, std::filesystem::path path, std::filesystem::path host_dir) {
    mount(py::Class<DirectoryObject>::value(self), std::move(path), std::move(host_dir));
    return Ref::borrow(self);
}

void unmount(DirectoryObject& d, std::filesystem::path path) { or_raise(tree_of(d).unmount(path.native())); }

PyTypeObject* define_directory() {
    py::ClassSpec spec{.name = "halvo.Directory"};
    py::constructor<DirectoryObject,
                    "Directory()\n--\n\n"
                    "A tree assembled in place. Mounting it with `HostMount` takes it: the mount owns the tree,\n"
                    "and this `Directory` is empty afterwards and refuses further use.",
                    &new_directory>(spec);
    spec.methods = {
        py::method<"add_file($self, path, content)\n--\n\n", &add_file>(),
        py::method<"with_file($self, path, content)\n--\n\n"
                   "[`add_file`](Self::add_file), returning this same `Directory` so calls chain.",
                   &with_file>(),
        py::method<"remove_file($self, path)\n--\n\n", &remove_file>(),
        py::method<"mount($self, path, host_dir)\n--\n\n", &mount>(),
        py::method<"with_mount($self, path, host_dir)\n--\n\n"
                   "[`mount`](Self::mount), returning this same `Directory` so calls chain.",
                   &with_mount>(),
        py::method<"unmount($self, path)\n--\n\n", &unmount>(),
    };
    return py::Class<DirectoryObject>::define(std::move(spec));
}

}  // namespace

void register_in(PyObject* module) {
    py::add_type(module, define_directory());
}

}  // namespace halvo::fs
