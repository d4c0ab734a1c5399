#include "console/session.hpp"

#include <iterator>

#include "console/relay.hpp"
#include "install/cache.hpp"
#include "base/pathx.hpp"
#include "base/quote.hpp"
#include "base/utf8.hpp"

namespace halvo::console {

using protocol::Client;
using protocol::FailureResult;
using protocol::PoolHeld;
using protocol::release_on_pool;

namespace {
constexpr protocol::ServerRole kServer{"a console server needs a program to run", "starting the console server"};
}  // namespace

ClientResult Factory::operator()(platform::Env env) && {
    auto run = std::move(run_);
    return run->run(std::move(env));
}

Factory stdio_factory(std::vector<std::string> argv, std::string_view if_missing) {
    return [argv = std::move(argv), if_missing](platform::Env env) mutable -> ClientResult {
        return protocol::start_server(std::move(argv), std::move(env), kServer, if_missing);
    };
}

ChainResult<call::MountSpec> named(const Mounted& m) {
    std::string mountpoint = m.mount->mountpoint();
    if (!pathx::is_absolute(mountpoint) || !utf8::valid(mountpoint))
        return fail(Chain("a mount point that is not an absolute UTF-8 path cannot be named: " + quoted(mountpoint)));
    if (!utf8::valid(m.at)) return fail(Chain("a tree can only be mounted at a UTF-8 path: " + quoted(m.at)));
    auto spec = call::MountSpec::make("file://" + mountpoint, m.at);
    if (!spec) return fail(Chain(spec.error().text()));
    spec->readonly = m.readonly;
    return std::move(spec).value();
}

namespace {

Factory default_factory() {
    auto root = cache_root();
    if (!root) return [](platform::Env) -> ClientResult { return fail(Chain(std::string(kNoCacheRoot))); };
    return stdio_factory({server_program(std::move(*root))}, kInstallHint);
}

}  // namespace

ConsoleClientBuilder::ConsoleClientBuilder() : ConsoleClientBuilder(default_factory()) {}

ConsoleClientBuilder::ConsoleClientBuilder(Factory factory) : factory_(std::move(factory)) {}

ConsoleClientBuilder ConsoleClientBuilder::cmd(std::vector<std::string> argv) && {
    factory_ = stdio_factory(std::move(argv));
    return std::move(*this);
}

ConsoleClientBuilder ConsoleClientBuilder::mount(std::unique_ptr<fs::mount::Mount> mount, std::string at) && {
    mounts_.push_back(Mounted{std::move(at), std::move(mount), false});
    return std::move(*this);
}

ConsoleClientBuilder ConsoleClientBuilder::mount_readonly(std::unique_ptr<fs::mount::Mount> mount, std::string at) && {
    mounts_.push_back(Mounted{std::move(at), std::move(mount), true});
    return std::move(*this);
}

// The rest only fill in the init call.
#define HALVO_SETTING(name, type)                                          \
    ConsoleClientBuilder ConsoleClientBuilder::name(type value) && {      \
        init_.name = std::move(value);                                     \
        return std::move(*this);                                           \
    }
HALVO_SETTING(image, ImageSource)
HALVO_SETTING(snapshot, Bytes)
HALVO_SETTING(network, bool)
HALVO_SETTING(ports, std::vector<call::Port>)
HALVO_SETTING(vcpus, uint8_t)
HALVO_SETTING(memory_mib, uint32_t)
HALVO_SETTING(gpu, bool)
HALVO_SETTING(gpu_memory_mib, uint32_t)
HALVO_SETTING(disk_gib, uint32_t)
#undef HALVO_SETTING

asio::awaitable<ChainResult<ConsoleClient>> ConsoleClientBuilder::build() && {
    return ConsoleClient::create(std::move(*this), platform::environ_snapshot());
}

asio::awaitable<ChainResult<ConsoleClient>> ConsoleClient::create(ConsoleClientBuilder builder, platform::Env env) {
    auto started = std::move(builder.factory_)(std::move(env));
    std::vector<Mounted> mounts = std::move(builder.mounts_);
    if (!started) {
        co_await release_on_pool(std::move(mounts));
        co_return fail(std::move(started).error());
    }
    std::unique_ptr<Client> client = std::move(started).value();

    // A cancelled boot lets go of the trees on the pool too.
    std::vector<call::MountSpec> specs;
    PoolHeld trees(std::vector<Tree>{});
    specs.reserve(mounts.size());
    trees->reserve(mounts.size());
    for (auto it = mounts.begin(); it != mounts.end(); ++it) {
        auto spec = named(*it);
        if (!spec) {
            // This mount and those not yet taken, then those taken, then the
            // client: its pipes close, and no quit is sent.
            std::vector<Mounted> rest(std::make_move_iterator(it), std::make_move_iterator(mounts.end()));
            auto taken = trees.take();
            co_await release_on_pool(std::move(rest), std::move(taken));
            specs.clear();
            client.reset();
            co_return fail(std::move(spec).error());
        }
        specs.push_back(std::move(spec).value());
        trees->push_back(Tree{std::move(it->at), std::move(it->mount)});
    }

    call::InitCall init = std::move(builder.init_);
    init.mounts = std::move(specs);
    auto booted = co_await client->init(std::move(init));
    if (!booted) {
        auto taken = trees.take();
        co_await release_on_pool(std::move(taken));
        client.reset();
        co_return fail(protocol::chain_of(booted.error()));
    }
    co_return ConsoleClient(trees.take(), std::move(client));
}

ConsoleClient& ConsoleClient::operator=(ConsoleClient&& o) noexcept {
    if (this != &o) {
        protocol::hang_up(client_, std::move(trees_));
        trees_ = std::move(o.trees_);
        client_ = std::move(o.client_);
    }
    return *this;
}

ConsoleClient::~ConsoleClient() { protocol::hang_up(client_, std::move(trees_)); }

protocol::Exchange<call::ExecResp> ConsoleClient::exec_exchange(std::vector<std::string> cmd,
                                                                 std::optional<uint64_t> timeout_ms) {
    return protocol::exchange::of<call::ExecResp>(protocol::message::Call{call::ExecCall{std::move(cmd), timeout_ms}});
}

protocol::Exchange<call::ReadResp> ConsoleClient::read_exchange(std::string path, std::optional<uint64_t> offset,
                                                                std::optional<uint64_t> len) {
    return protocol::exchange::of<call::ReadResp>(protocol::message::Call{call::ReadCall{std::move(path), offset, len}});
}

protocol::Exchange<uint64_t> ConsoleClient::write_exchange(std::string path, Bytes data,
                                                           std::optional<uint64_t> offset) {
    return protocol::exchange::of<call::WriteResp, &call::WriteResp::size>(
        protocol::message::Call{call::WriteCall{std::move(path), std::move(data), offset}});
}

protocol::Exchange<Bytes> ConsoleClient::snapshot_exchange() {
    return protocol::exchange::of<call::SnapshotResp, &call::SnapshotResp::blob>(
        protocol::message::Call{call::SnapshotCall{}});
}

ConsoleClient::Outcome<call::ExecResp> ConsoleClient::exec(std::vector<std::string> cmd,
                                                           std::optional<uint64_t> timeout_ms) {
    return client_->run(exec_exchange(std::move(cmd), timeout_ms));
}

ConsoleClient::Outcome<call::ReadResp> ConsoleClient::read(std::string path, std::optional<uint64_t> offset,
                                                           std::optional<uint64_t> len) {
    return client_->run(read_exchange(std::move(path), offset, len));
}

ConsoleClient::Outcome<uint64_t> ConsoleClient::write(std::string path, Bytes data, std::optional<uint64_t> offset) {
    return client_->run(write_exchange(std::move(path), std::move(data), offset));
}

ConsoleClient::Outcome<Bytes> ConsoleClient::snapshot() { return client_->run(snapshot_exchange()); }

ConsoleClient::Outcome<void> ConsoleClient::start() { return client_->start(); }

ConsoleClient::Outcome<void> ConsoleClient::stop() { return client_->stop(); }

ConsoleClient::Outcome<std::string> ConsoleClient::relay(std::string frame) {
    return relay::answer(*client_, std::move(frame));
}

asio::awaitable<void> ConsoleClient::close() && {
    // Spent stays behind, so the emptied console refuses calls and hangs up nothing.
    auto client = std::exchange(client_, std::make_unique<protocol::Spent>());
    return protocol::quit_then_release(std::move(client), std::move(trees_));
}

std::vector<std::string_view> ConsoleClient::mounts() const {
    std::vector<std::string_view> out;
    out.reserve(trees_.size());
    for (const auto& t : trees_) out.push_back(t.at);
    return out;
}

}  // namespace halvo::console
