#pragma once
// A console session: the settings it boots from, its server, the mounts it
// holds, its operations, and how it ends, closed or let go.
#include <asio/awaitable.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "fs/mount/mount.hpp"
#include "image/model.hpp"
#include "platform/process.hpp"
#include "protocol/base.hpp"
#include "protocol/message/call/exec.hpp"
#include "protocol/message/call/init.hpp"
#include "protocol/message/call/read.hpp"
#include "codec/bytes.hpp"
#include "protocol/mod.hpp"
#include "protocol/server.hpp"

namespace halvo::console {

namespace call = protocol::message::call;
using Bytes = codec::Bytes;
using ClientResult = ChainResult<std::unique_ptr<protocol::Client>>;

// Starts a console's server, once: calling it consumes it. It is given the
// environment as build() found it, for the server to inherit.
class Factory {
public:
    template <class F>
        requires(!std::is_same_v<std::decay_t<F>, Factory> && std::is_invocable_r_v<ClientResult, F&, platform::Env>)
    Factory(F f) : run_(std::make_unique<Of<F>>(std::move(f))) {}
    Factory(Factory&&) noexcept = default;
    Factory& operator=(Factory&&) noexcept = default;

    ClientResult operator()(platform::Env env) &&;

private:
    struct Base {
        virtual ~Base() = default;
        virtual ClientResult run(platform::Env env) = 0;
    };
    template <class F>
    struct Of final : Base {
        explicit Of(F fn) : f(std::move(fn)) {}
        ClientResult run(platform::Env env) override { return f(std::move(env)); }
        F f;
    };
    std::unique_ptr<Base> run_;
};

// argv[0] run with the rest as its arguments, under the request client, in
// the environment the factory is given (its PATH finds the program). An empty
// argv fails only when the factory is called. `if_missing`, a text that lives
// as long as the factory, says how to get a program that is not there.
Factory stdio_factory(std::vector<std::string> argv, std::string_view if_missing = {});

// A mount waiting in a builder.
struct Mounted {
    std::string at;  // the guest path, as given
    std::unique_ptr<fs::mount::Mount> mount;
    bool readonly = false;
};

// A mount held by a live console; letting go of it may take a host mount down.
struct Tree {
    std::string at;
    std::unique_ptr<fs::mount::Mount> mount;
};

// The init call's spec of a mount: "file://" and its mount point, unchanged,
// at its guest path. Each failure is one message.
ChainResult<call::MountSpec> named(const Mounted& m);

class ConsoleClient;

// The settings of one console. Setters check nothing; what is wrong shows
// when the console is built. Released unbuilt, it starts nothing.
class ConsoleClientBuilder {
public:
    // The server is bin/halvo-uvm below the cache root as it is now. Without
    // a cache root the build fails, naming why.
    ConsoleClientBuilder();
    // Any server factory, such as a client of a test's own.
    explicit ConsoleClientBuilder(Factory factory);
    ConsoleClientBuilder(ConsoleClientBuilder&&) noexcept = default;
    ConsoleClientBuilder& operator=(ConsoleClientBuilder&&) noexcept = default;

    // Each consumes the builder and returns it.
    ConsoleClientBuilder cmd(std::vector<std::string> argv) &&;
    ConsoleClientBuilder mount(std::unique_ptr<fs::mount::Mount> mount, std::string at) &&;
    ConsoleClientBuilder mount_readonly(std::unique_ptr<fs::mount::Mount> mount, std::string at) &&;
    ConsoleClientBuilder image(ImageSource image) &&;
    ConsoleClientBuilder snapshot(Bytes snapshot) &&;
    ConsoleClientBuilder network(bool network) &&;
    ConsoleClientBuilder ports(std::vector<call::Port> ports) &&;
    ConsoleClientBuilder vcpus(uint8_t vcpus) &&;
    ConsoleClientBuilder memory_mib(uint32_t memory_mib) &&;
    ConsoleClientBuilder gpu(bool gpu) &&;
    ConsoleClientBuilder gpu_memory_mib(uint32_t gpu_memory_mib) &&;
    ConsoleClientBuilder disk_gib(uint32_t disk_gib) &&;

    // ConsoleClient::create of this builder, in this process's environment as
    // it is now: copied here, on the calling thread, since getenv on a runtime
    // thread races with writes to os.environ.
    asio::awaitable<ChainResult<ConsoleClient>> build() &&;

private:
    friend class ConsoleClient;
    Factory factory_;
    call::InitCall init_;  // every setting but the mounts, which boot names
    std::vector<Mounted> mounts_;
};

// One live console: its server's client and the mounts it was given.
class ConsoleClient {
public:
    template <class T>
    using Outcome = asio::awaitable<protocol::FailureResult<T>>;

    // What a script handle says once its console has been closed.
    static constexpr std::string_view kClosed = "this console has been closed";

    static ConsoleClientBuilder builder() { return ConsoleClientBuilder(); }

    // Starts the server in `env`, names the mounts in order and sends init. A
    // failure lets go of what was made so far, mounts before the client, and
    // sends no quit: the server sees its input end. A failed init is the
    // chain's cause.
    static asio::awaitable<ChainResult<ConsoleClient>> create(ConsoleClientBuilder builder, platform::Env env);

    ConsoleClient(ConsoleClient&&) noexcept = default;
    ConsoleClient& operator=(ConsoleClient&& o) noexcept;
    // Hangs up, keeping the trees until the server has been asked to quit.
    ~ConsoleClient();

    // Each needs exclusive use of the console until it ends. A Failure of
    // the client comes back unchanged.
    Outcome<call::ExecResp> exec(std::vector<std::string> cmd, std::optional<uint64_t> timeout_ms);
    Outcome<call::ReadResp> read(std::string path, std::optional<uint64_t> offset, std::optional<uint64_t> len);
    // The file's size after the write.
    Outcome<uint64_t> write(std::string path, Bytes data, std::optional<uint64_t> offset);
    Outcome<Bytes> snapshot();
    Outcome<void> start();
    Outcome<void> stop();
    // One encoded message answered on this console's channel; empty bytes
    // answer a notification.
    Outcome<std::string> relay(std::string frame);

    // The calls above as data, for a caller that runs them on client().
    static protocol::Exchange<call::ExecResp> exec_exchange(std::vector<std::string> cmd,
                                                            std::optional<uint64_t> timeout_ms);
    static protocol::Exchange<call::ReadResp> read_exchange(std::string path, std::optional<uint64_t> offset,
                                                            std::optional<uint64_t> len);
    static protocol::Exchange<uint64_t> write_exchange(std::string path, Bytes data, std::optional<uint64_t> offset);
    static protocol::Exchange<Bytes> snapshot_exchange();
    protocol::Client& client() { return *client_; }

    // Quit awaited and its outcome dropped, the client released, then the
    // trees released in order on the blocking pool, awaited. Never fails.
    // The console is taken at the call.
    asio::awaitable<void> close() &&;

    // The guest path of each tree, in configuration order.
    std::vector<std::string_view> mounts() const;

private:
    ConsoleClient(std::vector<Tree> trees, std::unique_ptr<protocol::Client> client)
        : trees_(std::move(trees)), client_(std::move(client)) {}

    std::vector<Tree> trees_;
    std::unique_ptr<protocol::Client> client_;
};

}  // namespace halvo::console
