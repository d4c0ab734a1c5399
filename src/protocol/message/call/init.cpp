#include "protocol/message/call/init.hpp"

#include "codec/record.hpp"
#include "quote.hpp"

namespace halvo::protocol::message::call {

using bson::BsonResult;
using bson::Status;

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

// Read as a string, then parsed; a parse failure carries its text form.
template <class T>
BsonResult<T> read_spec(const bson::Value& v) {
    const auto* s = v.get<std::string>();
    if (!s) return fail(bson::invalid_type(v, "a string"));
    auto parsed = T::parse(*s);
    if (!parsed) return fail(bson::Error::decode(parsed.error().text()));
    return std::move(parsed).value();
}

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

BsonResult<MountSpec> MountSpec::read(const bson::Value& v) { return read_spec<MountSpec>(v); }

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

BsonResult<Port> Port::read(const bson::Value& v) { return read_spec<Port>(v); }

Status InitCall::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    if (image) {
        HALVO_CHECK(image->write(w, "image"));
    }
    if (snapshot) {
        w.begin_array("snapshot");
        for (uint8_t b : *snapshot) w.add_int32({}, b);
        w.end();
    }
    if (!network) w.add_bool("network", false);
    if (!ports.empty()) {
        w.begin_array("ports");
        for (const auto& p : ports) w.add_string({}, p.text());
        w.end();
    }
    if (vcpus) codec::encode(w, "vcpus", *vcpus);
    if (memory_mib) codec::encode(w, "memory_mib", *memory_mib);
    if (gpu) codec::encode(w, "gpu", *gpu);
    if (gpu_memory_mib) codec::encode(w, "gpu_memory_mib", *gpu_memory_mib);
    if (disk_gib) codec::encode(w, "disk_gib", *disk_gib);
    if (!mounts.empty()) {
        w.begin_array("mounts");
        for (const auto& m : mounts) w.add_string({}, m.text());
        w.end();
    }
    w.end();
    return {};
}

BsonResult<InitCall> InitCall::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {
        {"image", false}, {"snapshot", false},       {"network", false},  {"ports", false},  {"vcpus", false},
        {"memory_mib", false}, {"gpu", false}, {"gpu_memory_mib", false}, {"disk_gib", false}, {"mounts", false},
    };
    InitCall c;
    HALVO_CHECK(codec::read_record(v, "InitCall", fields, [&](size_t i, const bson::Value& x) -> Status {
        switch (i) {
            case 0: return codec::decode(x, c.image);
            case 1: {
                if (x.is_null()) {
                    c.snapshot.reset();
                    return {};
                }
                // Only an array: a binary here is refused.
                const auto* a = x.get<bson::Array>();
                if (!a) return fail(bson::invalid_type(x, "a sequence"));
                HALVO_TRY(c.snapshot, codec::read_byte_array(*a));
                return {};
            }
            case 2: return codec::decode(x, c.network);
            case 3: return codec::decode(x, c.ports);
            case 4: return codec::decode(x, c.vcpus);
            case 5: return codec::decode(x, c.memory_mib);
            case 6: return codec::decode(x, c.gpu);
            case 7: return codec::decode(x, c.gpu_memory_mib);
            case 8: return codec::decode(x, c.disk_gib);
            default: return codec::decode(x, c.mounts);
        }
    }));
    return c;
}

std::string InitCall::debug() const {
    return codec::DebugStruct("InitCall")
        .field("image", codec::show(image))
        .field("snapshot", codec::show(snapshot))
        .field("network", codec::show(network))
        .field("ports", codec::show(ports))
        .field("vcpus", codec::show(vcpus))
        .field("memory_mib", codec::show(memory_mib))
        .field("gpu", codec::show(gpu))
        .field("gpu_memory_mib", codec::show(gpu_memory_mib))
        .field("disk_gib", codec::show(disk_gib))
        .field("mounts", codec::show(mounts))
        .finish();
}

Status InitResp::write(bson::Writer& w, std::string_view key) const {
    w.begin_document(key);
    if (cwd) codec::encode(w, "cwd", *cwd);
    w.end();
    return {};
}

BsonResult<InitResp> InitResp::read(const bson::Value& v) {
    static constexpr codec::Field fields[] = {{"cwd", false}};
    InitResp r;
    HALVO_CHECK(codec::read_record(v, "InitResp", fields,
                                   [&](size_t, const bson::Value& x) { return codec::decode(x, r.cwd); }));
    return r;
}

std::string InitResp::debug() const { return codec::DebugStruct("InitResp").field("cwd", codec::show(cwd)).finish(); }

}  // namespace halvo::protocol::message::call
