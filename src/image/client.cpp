#include "image/client.hpp"

#include "install/cache.hpp"
#include "platform/process.hpp"
#include "protocol/server.hpp"

namespace halvo::inline image {

using protocol::Failure;
using protocol::FailureResult;
namespace call = protocol::message::call;

namespace {

constexpr protocol::ServerRole kServer{"an image server needs a program to run", "starting the image server"};

ImageClient::Outcome<ImageClient> failed(Failure f) { co_return fail(std::move(f)); }

// Started when first awaited, in the environment taken at the call.
ImageClient::Outcome<ImageClient> start(std::vector<std::string> cmd, platform::Env env,
                                        std::string_view if_missing = {}) {
    auto client = protocol::start_server(std::move(cmd), std::move(env), kServer, if_missing);
    if (!client) co_return fail(Failure::broken(std::move(client).error()));
    co_return co_await ImageClient::try_from_client(std::move(client).value());
}

// The server's record says nothing a caller needs.
void nothing(call::RemoveImageResp&&) {}

}  // namespace

ImageClient::Outcome<ImageClient> ImageClient::try_from_client(std::unique_ptr<protocol::Client> client) {
    HALVO_CO_CHECK(co_await client->version());
    co_return ImageClient(std::move(client));
}

ImageClient::Outcome<ImageClient> ImageClient::try_from_cmd(std::vector<std::string> cmd) {
    // getenv on a runtime thread would race with os.environ writes.
    return start(std::move(cmd), platform::environ_snapshot());
}

ImageClient::Outcome<ImageClient> ImageClient::try_new() {
    platform::Env env = platform::environ_snapshot();
    auto root = cache_root(env);
    if (!root) return failed(Failure::broken(Chain(std::string(kNoCacheRoot))));
    return start({server_program(std::move(*root))}, std::move(env), kInstallHint);
}

ImageClient& ImageClient::operator=(ImageClient&& o) noexcept {
    if (this != &o) {
        protocol::hang_up(client_);
        client_ = std::move(o.client_);
    }
    return *this;
}

ImageClient::~ImageClient() { protocol::hang_up(client_); }

protocol::Exchange<std::string> ImageClient::version_exchange() {
    return protocol::exchange::of<call::VersionResp, &call::VersionResp::version>(protocol::msg::Call{call::VersionCall{}});
}

protocol::Exchange<ImageClient::BuildResult> ImageClient::build_exchange(Recipe recipe,
                                                                         std::optional<std::string> reference) {
    return protocol::exchange::of<BuildResult>(
        protocol::msg::Call{call::BuildImageCall{std::move(recipe), std::move(reference)}});
}

protocol::Exchange<std::vector<ImageEntry>> ImageClient::list_exchange() {
    return protocol::exchange::of<ImageEntries, &ImageEntries::images>(protocol::msg::Call{call::ListImagesCall{}});
}

protocol::Exchange<void> ImageClient::remove_exchange(ImageSource source) {
    return protocol::exchange::of<call::RemoveImageResp, &nothing>(
        protocol::msg::Call{call::RemoveImageCall{std::move(source)}});
}

ImageClient::Outcome<std::string> ImageClient::version() { return client_->run(version_exchange()); }

ImageClient::Outcome<ImageClient::BuildResult> ImageClient::build(Recipe recipe, std::optional<std::string> reference) {
    return client_->run(build_exchange(std::move(recipe), std::move(reference)));
}

ImageClient::Outcome<std::vector<ImageEntry>> ImageClient::list() { return client_->run(list_exchange()); }

ImageClient::Outcome<void> ImageClient::remove(ImageSource source) {
    return client_->run(remove_exchange(std::move(source)));
}

}  // namespace halvo::image
