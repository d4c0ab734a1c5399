#include "image_client.hpp"

#include "console.hpp"
#include "lib.hpp"
#include "platform/process.hpp"
#include "protocol/stdio/client.hpp"

namespace halvo {

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

ImageClient::Outcome<std::string> ImageClient::version() {
    HALVO_CO_TRY(auto r, co_await client_->version());
    co_return std::move(r.version);
}

ImageClient::Outcome<ImageClient::BuildResult> ImageClient::build(Recipe recipe, std::optional<std::string> reference) {
    call::BuildImageCall c{std::move(recipe), std::move(reference)};
    co_return co_await client_->build_image(std::move(c));
}

ImageClient::Outcome<std::vector<ImageEntry>> ImageClient::list() {
    HALVO_CO_TRY(auto r, co_await client_->list_images());
    co_return std::move(r.images);
}

ImageClient::Outcome<void> ImageClient::remove(ImageSource source) {
    call::RemoveImageCall c{std::move(source)};
    HALVO_CO_CHECK(co_await client_->remove_image(std::move(c)));
    co_return FailureResult<void>();
}

}  // namespace halvo
