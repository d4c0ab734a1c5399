#include "protocol/server.hpp"

#include <filesystem>
#include <iterator>
#include <system_error>

#include "protocol/stdio/client.hpp"

namespace halvo::protocol {

namespace {

// The bare OS error says nothing of which program it was about. A NotFound
// with a file at the path is exec's word for a missing interpreter, which
// getting the program again would not mend.
Chain start_failure(const std::string& program, const IoError& err, const ServerRole& role,
                    std::string_view if_missing) {
    Chain chain(err);
    if (err.os_errno != 0) {
        std::string named = program;
        std::error_code ec;
        if (!if_missing.empty() && err.kind == ErrorKind::NotFound && !std::filesystem::is_regular_file(program, ec))
            named.append(" (").append(if_missing).append(")");
        chain.add_context(std::move(named));
    }
    return std::move(chain).context(std::string(role.starting));
}

}  // namespace

ChainResult<std::unique_ptr<Client>> start_server(std::vector<std::string> argv, platform::Env env,
                                                  const ServerRole& role, std::string_view if_missing) {
    if (argv.empty()) return fail(Chain(std::string(role.needs_program)));
    const std::string program = argv.front();
    platform::Command cmd(std::move(argv.front()),
                          {std::make_move_iterator(argv.begin() + 1), std::make_move_iterator(argv.end())});
    cmd.env = std::move(env);
    auto client = stdio::StdioClient::create(std::move(cmd));
    if (!client) return fail(start_failure(program, client.error(), role, if_missing));
    return std::unique_ptr<Client>(std::make_unique<stdio::StdioClient>(std::move(client).value()));
}

}  // namespace halvo::protocol
