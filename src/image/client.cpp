#include "image/client.hpp"

#include "console/session.hpp"
#include "install/cache.hpp"
#include "platform/process.hpp"
#include "protocol/stdio/client.hpp"

namespace halvo::inline image {

using protocol::Failure;
using protocol::FailureResult;
namespace call = protocol::message::call;

namespace {

ImageClient::Outcome<ImageClient> failed(Failure f) { co_return fail(std::move(f)); }

ImageClient::Outcome<ImageClient> start(platform::Command cmd) {
    auto client = protocol::stdio::StdioClient::create(std::move(cmd));
    if (!client) co_return fail(Failure::broken(Chain(client.error()).context("starting the image server")));
    std::unique_ptr<protocol::Client> boxed = std::make_unique<protocol::stdio::StdioClient>(std::move(client).value());
    co_return co_await ImageClient::try_from_client(std::move(boxed));
}

}  // namespace

ImageClient::Outcome<ImageClient> ImageClient::try_from_client(std::unique_ptr<protocol::Client> client) {
    HALVO_CO_CHECK(co_await client->version());
    co_return ImageClient(std::move(client));
}

ImageClient::Outcome<ImageClient> ImageClient::try_from_cmd(std::vector<std::string> cmd) {
    if (cmd.empty()) return failed(Failure::broken(Chain("an image server needs a program to run")));
    std::string program = std::move(cmd.front());
    cmd.erase(cmd.begin());
    platform::Command command(std::move(program), std::move(cmd));
    // getenv on a runtime thread would race with os.environ writes.
    command.env = platform::environ_snapshot();
    return start(std::move(command));
}

ImageClient::Outcome<ImageClient> ImageClient::try_new() {
    auto root = cache_root();
    if (!root) return failed(Failure::broken(Chain(std::string(kNoCacheRoot))));
    return try_from_cmd({join_path(join_path(std::move(*root), "bin"), "halvo-uvm")});
}

ImageClient& ImageClient::operator=(ImageClient&& o) noexcept {
    if (this != &o) {
        console::hang_up(client_);
        client_ = std::move(o.client_);
    }
    return *this;
}

ImageClient::~ImageClient() { console::hang_up(client_); }

protocol::Exchange<std::string> ImageClient::version_exchange() {
    return {protocol::msg::Call{call::VersionCall{}}, [](FailureResult<protocol::msg::Response> r) {
                return protocol::expect<call::VersionResp>(std::move(r)).map([](call::VersionResp v) {
                    return std::move(v.version);
                });
            }};
}

protocol::Exchange<ImageClient::BuildResult> ImageClient::build_exchange(Recipe recipe,
                                                                         std::optional<std::string> reference) {
    return protocol::exchange::of<BuildResult>(
        protocol::msg::Call{call::BuildImageCall{std::move(recipe), std::move(reference)}});
}

protocol::Exchange<std::vector<ImageEntry>> ImageClient::list_exchange() {
    return {protocol::msg::Call{call::ListImagesCall{}}, [](FailureResult<protocol::msg::Response> r) {
                return protocol::expect<ImageEntries>(std::move(r)).map([](ImageEntries e) {
                    return std::move(e.images);
                });
            }};
}

protocol::Exchange<void> ImageClient::remove_exchange(ImageSource source) {
    return {protocol::msg::Call{call::RemoveImageCall{std::move(source)}}, [](FailureResult<protocol::msg::Response> r) {
                // The server's record says nothing a caller needs.
                return protocol::expect<call::RemoveImageResp>(std::move(r)).map([](call::RemoveImageResp) {});
            }};
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
