#pragma once
// Whether this host can mount, and if not, what to install.
#include "base/error.hpp"

namespace halvo::fs::mount::support {

// Nothing when mounting can work; else the kind unsupported with advice,
// or the error of opening the FUSE device (permission denied, say).
// The first call loads the FUSE library, once per process.
IoResult<void> mount_support();

}  // namespace halvo::fs::mount::support
