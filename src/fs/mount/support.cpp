#include "fs/mount/support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fuse_shim.hpp"

namespace halvo::fs::mount::support {

namespace {

// Every mount goes through this device. Without root, libfuse opens it
// itself and gives up when it cannot, before its setuid helper is tried,
// so a device this user may not open means no mount at all.
constexpr const char* kDevice = "/dev/fuse";

IoResult<void> device_opens() {
    int fd = ::open(kDevice, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    int err = errno;
    std::string text = std::string("cannot open the FUSE device ") + kDevice + ": " + IoError::os(err).text();
    if (err == EACCES || err == EPERM)
        text += "; mounting needs it readable and writable by this user (Debian installs it with mode 0666)";
    return fail(IoError(kind_of_errno(err), std::move(text)));
}

}  // namespace

IoResult<void> mount_support() {
    if (auto problem = platform::fuse_support_problem()) return fail(IoError(ErrorKind::Unsupported, *problem));
    return device_opens();
}

}  // namespace halvo::fs::mount::support
