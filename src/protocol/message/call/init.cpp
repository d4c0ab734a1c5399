#include "protocol/message/call/init.hpp"

#include "base/quote.hpp"

namespace halvo::protocol::message::call {

std::string InvalidSpec::text() const { return std::string(why) + ": " + quoted(spec); }

std::string InvalidSpec::debug(std::string_view name) const {
    return codec::DebugStruct(name).field("why", quoted(why)).field("spec", quoted(spec)).finish();
}

namespace {

InvalidMount bad_mount(std::string_view why, std::string spec) { return InvalidMount{{why, std::move(spec)}}; }

}  // namespace

Result<MountSpec, InvalidMount> MountSpec::make(std::string host_url, std::string_view guest_path) {
    auto spec = [&] { return host_url + ":" + std::string(guest_path); };
    auto sep = host_url.find("://");
    if (sep == std::string::npos) return fail(bad_mount("a mount URL needs a scheme", spec()));
    if (sep + 3 == host_url.size()) return fail(bad_mount("a mount URL needs something after its scheme", spec()));
    if (guest_path.empty() || guest_path[0] != '/') return fail(bad_mount("a guest path is absolute", spec()));
    if (guest_path.find(':') != std::string_view::npos)
        return fail(bad_mount("a guest path cannot carry a colon", spec()));
    return MountSpec{std::move(host_url), std::string(guest_path), false};
}

Result<MountSpec, InvalidMount> MountSpec::parse(std::string_view text) {
    auto sep = text.find("://");
    if (sep == std::string_view::npos) return fail(bad_mount("a mount URL needs a scheme", std::string(text)));
    size_t rest = sep + 3;
    size_t end = text.size();  // flags are stripped from the right
    bool readonly = false;
    for (;;) {
        auto colon = text.substr(rest, end - rest).rfind(':');
        if (colon == std::string_view::npos)
            return fail(bad_mount("a mount needs a guest path to appear at", std::string(text)));
        colon += rest;
        auto tail = text.substr(colon + 1, end - colon - 1);
        if (!tail.empty() && tail[0] == '/') {
            HALVO_TRY(auto m, make(std::string(text.substr(0, colon)), tail));
            m.readonly = readonly;
            return m;
        }
        if (tail == "ro")
            readonly = true;
        else if (tail == "rw")
            readonly = false;
        else
            return fail(bad_mount("a mount trails an absolute guest path with `ro` or `rw`", std::string(text)));
        end = colon;
    }
}

std::string MountSpec::text() const { return host_url + ":" + guest_path + (readonly ? ":ro" : ""); }

std::string MountSpec::debug() const {
    return codec::DebugStruct("MountSpec")
        .field("host_url", codec::show(host_url))
        .field("guest_path", codec::show(guest_path))
        .field("readonly", codec::show(readonly))
        .finish();
}

namespace {

// An optional "+", then one or more ASCII digits, at most 65535.
std::optional<uint16_t> port_number(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    uint32_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<uint32_t>(c - '0');
        if (n > 65535) return std::nullopt;  // also stops long digit runs from overflowing
    }
    return static_cast<uint16_t>(n);
}

}  // namespace

Result<Port, InvalidPort> Port::parse(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos) return fail(InvalidPort{{"not <host>:<console>", std::string(text)}});
    auto host = port_number(text.substr(0, colon));
    auto console = host ? port_number(text.substr(colon + 1)) : std::nullopt;
    if (!host || !console) return fail(InvalidPort{{"not a port number", std::string(text)}});
    Port p{*host, *console};
    if (p.host == 0 || p.console == 0) return fail(InvalidPort{{"port 0 is no port", p.text()}});
    return p;
}

std::string Port::text() const { return std::to_string(host) + ":" + std::to_string(console); }

std::string Port::debug() const {
    return codec::DebugStruct("Port").field("host", std::to_string(host)).field("console", std::to_string(console)).finish();
}

// The snapshot alone of all byte fields travels as a number per byte.
HALVO_RECORD_TABLE(InitCall,
                   codec::optional("image", &InitCall::image),
                   codec::optional("snapshot", &InitCall::snapshot, codec::ByteArray{}),
                   codec::optional("network", &InitCall::network),
                   codec::optional("ports", &InitCall::ports, codec::List<codec::TextForm>{}),
                   codec::optional("vcpus", &InitCall::vcpus),
                   codec::optional("memory_mib", &InitCall::memory_mib),
                   codec::optional("gpu", &InitCall::gpu),
                   codec::optional("gpu_memory_mib", &InitCall::gpu_memory_mib),
                   codec::optional("disk_gib", &InitCall::disk_gib),
                   codec::optional("mounts", &InitCall::mounts, codec::List<codec::TextForm>{}))

HALVO_RECORD_TABLE(InitResp, codec::optional("cwd", &InitResp::cwd))

}  // namespace halvo::protocol::message::call
