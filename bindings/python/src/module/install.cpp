#include "module/install.hpp"

#include <string>
#include <utility>

#include "install/ensure.hpp"
#include "module/errors.hpp"
#include "py/py.hpp"

namespace halvo::module::ensure {

using halvo::ensure::Settings;

namespace {

asio::awaitable<Result<std::string, py::ScriptError>> install(Settings settings) {
    auto bin = co_await halvo::ensure::ensure_halvo(std::move(settings));
    if (!bin) co_return fail(error::from_chain(bin.error()));
    co_return std::move(bin).value();
}

// The environment is read here, on the script's thread.
py::Ref start_install() { return py::awaitable(install(halvo::ensure::read_settings())); }

}  // namespace

void register_in(PyObject* module) {
    py::add_function(module,
                     py::function<"ensure_halvo()\n--\n\n"
                                  "Fetch the console server into halvo's cache if missing; the awaitable resolves to "
                                  "its\ndirectory.\n\n"
                                  "Console builders and `ImageClient` start `halvo-uvm` from that cache, which a host "
                                  "that\ninstalled only this package lacks, so such a host calls this first. An "
                                  "existing server,\nfetched or installed by hand, is left alone.",
                                  &start_install>());
}

}  // namespace halvo::module::ensure
