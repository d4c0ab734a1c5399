#include "fs/mount/support.hpp"

#include "platform/fuse_shim.hpp"

namespace halvo::fs::mount::support {

IoResult<void> mount_support() {
    if (auto problem = platform::fuse_support_problem()) return fail(IoError(ErrorKind::Unsupported, *problem));
    return {};
}

}  // namespace halvo::fs::mount::support
