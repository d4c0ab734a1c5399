#pragma once
// The file-system classes of the module: Directory, HostMount and
// mount_support, and MountLike, what a console builder mounts.
#include <Python.h>

#include <filesystem>
#include <memory>
#include <variant>

#include "fs/mount/impl/fuse_t.hpp"
#include "fs/mount/mount.hpp"
#include "py/convert.hpp"

namespace halvo::module::fs {

// A HostMount's Shared, or a host path.
struct MountLike {
    std::variant<std::shared_ptr<halvo::fs::mount::impl::Shared>, std::filesystem::path> value;

    // A share of the live mount, or the path made absolute now (without
    // touching the file system); an empty path is invalid input.
    IoResult<std::unique_ptr<halvo::fs::mount::Mount>> into_mount() &&;
};

// Adds the class Directory, the class HostMount, then mount_support.
void register_in(PyObject* module);

}  // namespace halvo::module::fs

namespace halvo::py {

// A HostMount (shared, not taken), else a path-like.
template <>
struct FromPython<module::fs::MountLike> {
    static module::fs::MountLike convert(PyObject* o);
};

}  // namespace halvo::py
