#include "protocol/server.hpp"

#include <iterator>

#include "protocol/stdio/client.hpp"

namespace halvo::protocol {

ChainResult<std::unique_ptr<Client>> start_server(std::vector<std::string> argv, platform::Env env,
                                                  const ServerRole& role) {
    if (argv.empty()) return fail(Chain(std::string(role.needs_program)));
    platform::Command cmd(std::move(argv.front()),
                          {std::make_move_iterator(argv.begin() + 1), std::make_move_iterator(argv.end())});
    cmd.env = std::move(env);
    auto client = stdio::StdioClient::create(std::move(cmd));
    if (!client) return fail(Chain(client.error()).context(std::string(role.starting)));
    return std::unique_ptr<Client>(std::make_unique<stdio::StdioClient>(std::move(client).value()));
}

}  // namespace halvo::protocol
