#pragma once
// The init call: the console configuration, its result, and the mount and
// port texts it carries.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/record.hpp"
#include "image/model.hpp"
#include "base/result.hpp"

namespace halvo::protocol::message::call {

// A mount or port text that does not parse: a fixed reason and the text.
struct InvalidSpec {
    std::string_view why;
    std::string spec;
    // "{}: {:?}"
    std::string text() const;
    std::string debug(std::string_view name) const;
    bool operator==(const InvalidSpec&) const = default;
};
struct InvalidMount : InvalidSpec {
    std::string debug() const { return InvalidSpec::debug("InvalidMount"); }
};
struct InvalidPort : InvalidSpec {
    std::string debug() const { return InvalidSpec::debug("InvalidPort"); }
};

struct MountSpec {
    std::string host_url;
    std::string guest_path;
    bool readonly = false;

    // The URL holds "://" with something after it; the guest path is
    // absolute and holds no colon.
    static Result<MountSpec, InvalidMount> make(std::string host_url, std::string_view guest_path);
    // "URL:guest" with any number of ":ro"/":rw" flags behind; the one next
    // to the guest path decides.
    static Result<MountSpec, InvalidMount> parse(std::string_view text);
    // URL, colon, guest path, then ":ro" for a read-only mount.
    std::string text() const;
    std::string debug() const;
    bool operator==(const MountSpec&) const = default;
};

struct Port {
    uint16_t host = 0;
    uint16_t console = 0;

    // "<host>:<console>", each an optional "+" and decimal digits, non-zero.
    static Result<Port, InvalidPort> parse(std::string_view text);
    std::string text() const;
    std::string debug() const;
    bool operator==(const Port&) const = default;
};

struct InitCall {
    std::optional<ImageSource> image;
    // Travels as an array of int32, one per byte, unlike every other byte field.
    std::optional<codec::Bytes> snapshot;
    bool network = true;
    std::vector<Port> ports;
    std::optional<uint8_t> vcpus;
    std::optional<uint32_t> memory_mib;
    std::optional<bool> gpu;
    std::optional<uint32_t> gpu_memory_mib;
    std::optional<uint32_t> disk_gib;
    std::vector<MountSpec> mounts;

    HALVO_RECORD(InitCall);
};

struct InitResp {
    std::optional<std::string> cwd;

    HALVO_RECORD(InitResp);
};

}  // namespace halvo::protocol::message::call
