#pragma once
// The owner of one image server: a server program proven alive by one
// version call, asked to build, list and remove images.
#include <asio/awaitable.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/model.hpp"
#include "protocol/base.hpp"
#include "protocol/message/call/build_image.hpp"
#include "protocol/mod.hpp"

namespace halvo::inline image {

class ImageClient {
public:
    // What a script handle says once its client has been closed.
    static constexpr std::string_view kClosed = "this image client has been closed";

    using BuildResult = protocol::message::call::BuildImageResp;
    template <class T>
    using Outcome = asio::awaitable<protocol::FailureResult<T>>;

    // Proves the server alive with one version call. On a failure the client
    // is released at once: no quit is sent, its pipes close.
    static Outcome<ImageClient> try_from_client(std::unique_ptr<protocol::Client> client);
    // The program and its arguments; it inherits our environment, taken here
    // on the calling thread, and our working folder. A failure to start is
    // Broken; the probe's failure comes back unchanged.
    static Outcome<ImageClient> try_from_cmd(std::vector<std::string> cmd);
    // bin/halvo-uvm below the cache root, read here on the calling thread.
    static Outcome<ImageClient> try_new();

    ImageClient(ImageClient&&) noexcept = default;
    ImageClient& operator=(ImageClient&& o) noexcept;
    // Hangs up: with the runtime up a detached task asks the server to quit
    // and nothing waits for it.
    ~ImageClient();

    // Each needs exclusive use of the client until it ends.
    Outcome<std::string> version();
    Outcome<BuildResult> build(Recipe recipe, std::optional<std::string> reference);
    Outcome<std::vector<ImageEntry>> list();
    Outcome<void> remove(ImageSource source);

    // The same operations as data, for a caller that runs them itself on
    // client().
    static protocol::Exchange<std::string> version_exchange();
    static protocol::Exchange<BuildResult> build_exchange(Recipe recipe, std::optional<std::string> reference);
    static protocol::Exchange<std::vector<ImageEntry>> list_exchange();
    static protocol::Exchange<void> remove_exchange(ImageSource source);
    protocol::Client& client() { return *client_; }

private:
    explicit ImageClient(std::unique_ptr<protocol::Client> client) : client_(std::move(client)) {}
    std::unique_ptr<protocol::Client> client_;
};

}  // namespace halvo::image
