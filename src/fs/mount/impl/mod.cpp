#include "fs/mount/impl/mod.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace halvo::fs::mount::impl {

void fatal(std::string_view what) noexcept {
    std::fprintf(stderr, "halvo: a file-system request failed past recovery: %.*s\n", static_cast<int>(what.size()),
                 what.data());
    std::fflush(stderr);
    std::abort();
}

}  // namespace halvo::fs::mount::impl
