#pragma once
// Anything that names a host folder a console can be given: a plain host
// path, or a live host mount.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace halvo::fs::mount {

class Mount {
public:
    virtual ~Mount() = default;

    // The host folder where the tree can be found.
    virtual std::string mountpoint() const = 0;
    // "file://" and the mount point unchanged, when it is absolute and UTF-8.
    std::optional<std::string> url() const;
    // The mount point joined with `rel`; an absolute `rel` replaces it.
    std::string host_path(std::string_view rel) const;
};

class PathMount : public Mount {
public:
    explicit PathMount(std::string path) : path_(std::move(path)) {}
    std::string mountpoint() const override { return path_; }

private:
    std::string path_;
};

// Forwards only the mount point; url and host_path work on the forwarded one.
class BoxedMount : public Mount {
public:
    explicit BoxedMount(std::unique_ptr<Mount> inner) : inner_(std::move(inner)) {}
    std::string mountpoint() const override { return inner_->mountpoint(); }

private:
    std::unique_ptr<Mount> inner_;
};

}  // namespace halvo::fs::mount
